// Used-sector map of a source disk: per-sector used/free knowledge built by volume analysis.
// Declared here so that the disk layer can pass maps along; the map itself and its queries
// belong to volume analysis. Until that exists, disk code treats a non-NULL map as marking
// every sector used.
#pragma once

struct UsedSectorMap;
