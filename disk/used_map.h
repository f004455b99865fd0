// Used-sector map of a source disk: per-sector used/free knowledge built by volume analysis.
// The disk layer passes maps along and asks them for the used bits of a range; the map itself
// and its queries belong to volume analysis.
#pragma once

#include "volume/used_map.h"
