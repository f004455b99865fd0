// LVM2 physical volumes: one partition-list entry per usable logical volume.
//
// The reader finds the physical volume's label, reads the volume-group metadata text from its
// metadata area, parses it and appends one PartitionEntry per visible linear logical volume.
// Only the simplest layout is accepted: one volume group on this one physical volume, every
// logical volume one segment from extent 0. Hidden sub-volumes (thin pool data, raid images)
// and other segment types yield no entry: their sectors stay outside every partition, so they
// count as used.
//
// Units: LVM2 sector numbers are 512-byte units from the start of the physical volume, whose
// first byte is pvSector x the disk's bytes per sector B. Entries are in disk sectors; a logical
// volume that does not start on a disk sector yields no entry, and one that does not end on one
// is shortened to whole sectors.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "foundation/text.h"
#include "volume/partition.h"

enum : uint32_t {
    LVM2_LABEL_SCAN_BYTES = 2048,  // the label lies in one of the first four 512-byte sectors
    LVM2_MDA_HEADER_BYTES = 512,
    LVM2_MAX_LOCATION_BYTES = 0x10000,
    LVM2_LOCATION_IGNORED = 0x1,
    LVM2_MAX_VOLUME_GROUPS = 4,
    LVM2_MAX_PHYSICAL_VOLUMES = 4,
    LVM2_MAX_LOGICAL_VOLUMES = 40,
    LVM2_MAX_SEGMENTS = 4,
    LVM2_MAX_STRIPES = 4,
    LVM2_MAX_LIST_ITEMS = 16,
    LVM2_CRC_INITIAL = 0xf597a6cf
};

// A value of the metadata text: empty, a text (quoted or bare) or a list of texts.
struct Lvm2Value {
    uint32_t kind;       // 0 empty, 1 text, 2 list
    TextView text;       // kind 1
    bool quoted;         // kind 1: a quoted text
    uint32_t itemCount;  // kind 2: items kept (at most LVM2_MAX_LIST_ITEMS)
    bool itemOverflow;   // kind 2: the list held more items than were kept
    TextView items[LVM2_MAX_LIST_ITEMS];
    bool itemQuoted[LVM2_MAX_LIST_ITEMS];
};

struct Lvm2Segment {
    TextView name;
    uint64_t startExtent;
    uint64_t extentCount;
    TextView type;
    uint64_t stripeCount;
    uint32_t stripes;  // pairs kept
    TextView stripePv[LVM2_MAX_STRIPES];
    uint64_t stripeFirst[LVM2_MAX_STRIPES];
    uint32_t seen;  // bit per key given
};

struct Lvm2LogicalVolume {
    TextView name;
    TextView id;
    bool visible;  // "VISIBLE" in its status
    TextView creationHost;
    uint64_t creationTime;
    uint64_t segmentCount;
    uint32_t segments;
    Lvm2Segment segment[LVM2_MAX_SEGMENTS];
    uint32_t seen;
};

struct Lvm2PhysicalVolume {
    TextView name;
    TextView id;
    TextView device;
    uint64_t devSize;
    uint64_t peStart;
    uint64_t peCount;
    uint32_t seen;
};

struct Lvm2VolumeGroup {
    TextView name;
    TextView id;
    uint64_t seqno;
    TextView format;
    uint64_t extentSize;
    uint64_t maxLv;
    uint64_t maxPv;
    uint64_t metadataCopies;
    uint32_t pvCount;
    Lvm2PhysicalVolume pv[LVM2_MAX_PHYSICAL_VOLUMES];
    uint32_t lvCount;
    Lvm2LogicalVolume lv[LVM2_MAX_LOGICAL_VOLUMES];
    uint32_t seen;
};

struct Lvm2Metadata {
    TextView contents;
    uint64_t version;
    TextView description;
    TextView creationHost;
    uint64_t creationTime;
    uint32_t vgCount;
    Lvm2VolumeGroup vg[LVM2_MAX_VOLUME_GROUPS];
    uint32_t seen;
};

// Appends one PartitionEntry per visible linear logical volume of the physical volume starting
// at pvSector (the disk's own sectors), counting only when entries is NULL, and stopping when the
// count reaches the maximum. DISK_ERR_FS_CORRUPT for every breach of the on-disk rules (label,
// header lists, metadata-area header, location checksum), every parse failure and every layout
// the reader does not accept; DISK_ERR_ARG for a disk without bytes per sector; DISK_ERR_NOMEM;
// read codes.
int Lvm2_ReadVolumes(const DiskHandle* disk, uint64_t pvSector, uint32_t maximum, uint32_t* count,
                     PartitionEntry* entries);

// The reflected CRC-32 (polynomial 0xEDB88320) from `initial`, without final complement, four
// bits at a time.
uint32_t Lvm2_Crc(uint32_t initial, const uint8_t* data, uint32_t length);

// ---- Text scanner: each advances the cursor over what it read ----------------------------------
// Blanks " \t\r\n" and comments from "#" to the end of the line.
void Lvm2_SkipBlanks(TextView* cursor);
// A word of letters, digits, "_", "-", "." and "+"; false when there is none.
bool Lvm2_ReadName(TextView* cursor, TextView* name);
// Up to (not including) one of the terminator characters or the end; false when empty.
bool Lvm2_ReadBare(TextView* cursor, const char* terminators, TextView* word);
// After an opening quote: up to the closing quote on the same line (backslash escapes one
// character); false without one.
bool Lvm2_ReadQuoted(TextView* cursor, TextView* text);
// "=" then a value: empty (end of line or comment), a quoted text, a bare word, or a list.
bool Lvm2_ReadValue(TextView* cursor, Lvm2Value* value);
// After the "{" of a volume-group section named `name`: its keys and subsections up to the
// matching "}".
bool Lvm2_ParseVolumeGroup(TextView* cursor, TextView name, Lvm2VolumeGroup* vg);
// The whole text; true when it is exhausted without error and "version" was given.
bool Lvm2_ParseMetadata(TextView text, Lvm2Metadata* metadata);
