// The rows of the kinds whose code lies in the disk core: the PC-98 emulator images and, for
// probing only, the NDI descriptor image and the overlay.
#pragma once

#include "disk/format_registry.h"

extern const DiskFormatRow HdiRow;
extern const DiskFormatRow ThdRow;
extern const DiskFormatRow NhdRow;
extern const DiskFormatRow Vhd100Row;
extern const DiskFormatRow Pc98eRow;
extern const DiskFormatRow HdimRow;
extern const DiskFormatRow UnzRow;
// Built-in kinds: probing opens them through these rows; every other operation is the core's
// own dispatch of their negative kinds.
extern const DiskFormatRow NdiRow;
extern const DiskFormatRow OverlayRow;
