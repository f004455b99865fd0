// The sector size of the wizard's own arithmetic.
#pragma once

#include <cstdint>

// Bytes per sector assumed where a geometry states none, and taken by a new blank disk without
// a geometry of its own.
enum : uint32_t { UI_SECTOR_BYTES = 512 };
