#include "volume/lvm2.h"

#include <cstring>

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/text_ops.h"

namespace {

const uint8_t kLabelOne[8] = {'L', 'A', 'B', 'E', 'L', 'O', 'N', 'E'};
const uint8_t kLvm2Type[8] = {'L', 'V', 'M', '2', ' ', '0', '0', '1'};
const uint8_t kMdaMagic[16] = {' ', 'L', 'V', 'M', '2', ' ', 'x', '[',
                               '5', 'A', '%', 'r', '0', 'N', '*', '>'};
const char* const kBlanks = " \t\r\n";
const char* const kBareEnd = " \r\n\t#";
const char* const kItemEnd = " \r\n\t#],";

// Characters of a physical-volume id in the label.
const uint32_t kIdLength = 32;

bool IsNameChar(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == '+';
}

bool AtEnd(const TextView* c) { return c->length == 0; }

uint8_t Peek(const TextView* c) { return c->length == 0 ? 0 : c->data[0]; }

void Advance(TextView* c, uint32_t n)
{
    c->data += n;
    c->length -= n;
}

bool Is(TextView t, const char* s)
{
    size_t n = std::strlen(s);
    return t.length == n && std::memcmp(t.data, s, n) == 0;
}

// Takes the key's bit; false when the key was given before.
bool Once(uint32_t* seen, uint32_t bit)
{
    if ((*seen & bit) != 0) {
        return false;
    }
    *seen |= bit;
    return true;
}

bool TextOf(const Lvm2Value& v, TextView* out)
{
    if (v.kind != 1) {
        return false;
    }
    *out = v.text;
    return true;
}

bool NumberOf(const Lvm2Value& v, uint64_t* out)
{
    return v.kind == 1 && !v.quoted && v.text.length > 0 && Num_ParseU64Utf8(v.text, out);
}

// Skips spaces and tabs only (a value starts on the line of its "=").
void SkipSpaces(TextView* c)
{
    while (!AtEnd(c) && (Peek(c) == ' ' || Peek(c) == '\t')) {
        Advance(c, 1);
    }
}

bool ReadList(TextView* c, Lvm2Value* v)
{
    Advance(c, 1);  // "["
    v->kind = 2;
    v->itemCount = 0;
    v->itemOverflow = false;
    Lvm2_SkipBlanks(c);
    if (Peek(c) == ']') {
        Advance(c, 1);
        return true;
    }
    for (;;) {
        Lvm2_SkipBlanks(c);
        TextView item;
        bool quoted = Peek(c) == '"';
        if (quoted) {
            Advance(c, 1);
            if (!Lvm2_ReadQuoted(c, &item)) {
                return false;
            }
        } else if (!Lvm2_ReadBare(c, kItemEnd, &item)) {
            return false;
        }
        if (v->itemCount < LVM2_MAX_LIST_ITEMS) {
            v->items[v->itemCount] = item;
            v->itemQuoted[v->itemCount] = quoted;
            ++v->itemCount;
        } else {
            v->itemOverflow = true;
        }
        Lvm2_SkipBlanks(c);
        if (Peek(c) == ',') {
            Advance(c, 1);
            continue;
        }
        if (Peek(c) == ']') {
            Advance(c, 1);
            return true;
        }
        return false;
    }
}

// Reads "name" then either "= value" (*isSection false) or "{" (*isSection true); false at a
// "}" or the end (with *closed telling which) or on anything else.
bool ReadEntry(TextView* c, TextView* name, bool* isSection, Lvm2Value* value, bool* closed)
{
    *closed = false;
    Lvm2_SkipBlanks(c);
    if (Peek(c) == '}') {
        Advance(c, 1);
        *closed = true;
        return false;
    }
    if (!Lvm2_ReadName(c, name)) {
        return false;
    }
    Lvm2_SkipBlanks(c);
    if (Peek(c) == '{') {
        Advance(c, 1);
        *isSection = true;
        return true;
    }
    *isSection = false;
    return Lvm2_ReadValue(c, value);
}

// Keys whose values do not bear on where volumes lie; read and ignored.
bool IsIgnoredKey(TextView key, const char* const* keys)
{
    for (uint32_t i = 0; keys[i] != nullptr; ++i) {
        if (Is(key, keys[i])) {
            return true;
        }
    }
    return false;
}

const char* const kIgnoredVgKeys[] = {
    "tags", "system_id", "allocation_policy", "profile", "lock_type", "lock_args", nullptr};
const char* const kIgnoredPvKeys[] = {"tags",      "ba_start",       "ba_size",
                                      "device_id", "device_id_type", nullptr};
const char* const kIgnoredLvKeys[] = {"tags",    "allocation_policy", "read_ahead",
                                      "profile", "lock_args",         nullptr};

bool ParseSegment(TextView* c, TextView name, Lvm2Segment* s)
{
    std::memset(s, 0, sizeof *s);
    s->name = name;
    for (;;) {
        TextView key;
        bool section = false;
        bool closed = false;
        Lvm2Value v;
        if (!ReadEntry(c, &key, &section, &v, &closed)) {
            return closed;
        }
        if (section) {
            return false;
        }
        bool ok = true;
        if (Is(key, "start_extent")) {
            ok = Once(&s->seen, 1) && NumberOf(v, &s->startExtent);
        } else if (Is(key, "extent_count")) {
            ok = Once(&s->seen, 2) && NumberOf(v, &s->extentCount);
        } else if (Is(key, "type")) {
            ok = Once(&s->seen, 4) && TextOf(v, &s->type);
        } else if (Is(key, "stripe_count")) {
            ok = Once(&s->seen, 8) && NumberOf(v, &s->stripeCount);
        } else if (Is(key, "stripes")) {
            ok = Once(&s->seen, 16) && v.kind == 2 && !v.itemOverflow && v.itemCount % 2 == 0 &&
                 v.itemCount / 2 <= LVM2_MAX_STRIPES;
            for (uint32_t i = 0; ok && i < v.itemCount; i += 2) {
                ok = v.itemQuoted[i] && !v.itemQuoted[i + 1] &&
                     Num_ParseU64Utf8(v.items[i + 1], &s->stripeFirst[i / 2]);
                s->stripePv[i / 2] = v.items[i];
            }
            if (ok) {
                s->stripes = v.itemCount / 2;
            }
        }
        // Any other key of a segment is read and ignored.
        if (!ok) {
            return false;
        }
    }
}

bool ParseLogicalVolume(TextView* c, TextView name, Lvm2LogicalVolume* lv)
{
    std::memset(lv, 0, sizeof *lv);
    lv->name = name;
    for (;;) {
        TextView key;
        bool section = false;
        bool closed = false;
        Lvm2Value v;
        if (!ReadEntry(c, &key, &section, &v, &closed)) {
            return closed && (lv->seen & 32) != 0 && lv->segmentCount == lv->segments;
        }
        if (section) {
            if (lv->segments >= LVM2_MAX_SEGMENTS ||
                !ParseSegment(c, key, &lv->segment[lv->segments])) {
                return false;
            }
            ++lv->segments;
            continue;
        }
        bool ok = true;
        if (Is(key, "id")) {
            ok = Once(&lv->seen, 1) && TextOf(v, &lv->id);
        } else if (Is(key, "status")) {
            ok = Once(&lv->seen, 2) && v.kind == 2 && !v.itemOverflow;
            for (uint32_t i = 0; ok && i < v.itemCount; ++i) {
                lv->visible = lv->visible || Is(v.items[i], "VISIBLE");
            }
        } else if (Is(key, "flags")) {
            ok = Once(&lv->seen, 4);
        } else if (Is(key, "creation_host")) {
            ok = Once(&lv->seen, 8) && TextOf(v, &lv->creationHost);
        } else if (Is(key, "creation_time")) {
            ok = Once(&lv->seen, 16) && NumberOf(v, &lv->creationTime);
        } else if (Is(key, "segment_count")) {
            ok = Once(&lv->seen, 32) && NumberOf(v, &lv->segmentCount);
        } else {
            ok = IsIgnoredKey(key, kIgnoredLvKeys);
        }
        if (!ok) {
            return false;
        }
    }
}

bool ParsePhysicalVolume(TextView* c, TextView name, Lvm2PhysicalVolume* pv)
{
    std::memset(pv, 0, sizeof *pv);
    pv->name = name;
    for (;;) {
        TextView key;
        bool section = false;
        bool closed = false;
        Lvm2Value v;
        if (!ReadEntry(c, &key, &section, &v, &closed)) {
            return closed;
        }
        if (section) {
            return false;
        }
        bool ok;
        if (Is(key, "id")) {
            ok = Once(&pv->seen, 1) && TextOf(v, &pv->id);
        } else if (Is(key, "device")) {
            ok = Once(&pv->seen, 2) && TextOf(v, &pv->device);
        } else if (Is(key, "status")) {
            ok = Once(&pv->seen, 4);
        } else if (Is(key, "flags")) {
            ok = Once(&pv->seen, 8);
        } else if (Is(key, "dev_size")) {
            ok = Once(&pv->seen, 16) && NumberOf(v, &pv->devSize);
        } else if (Is(key, "pe_start")) {
            ok = Once(&pv->seen, 32) && NumberOf(v, &pv->peStart);
        } else if (Is(key, "pe_count")) {
            ok = Once(&pv->seen, 64) && NumberOf(v, &pv->peCount);
        } else {
            ok = IsIgnoredKey(key, kIgnoredPvKeys);
        }
        if (!ok) {
            return false;
        }
    }
}

// The named subsections of "physical_volumes" or "logical_volumes" up to the closing "}".
bool ParseVolumeList(TextView* c, Lvm2VolumeGroup* vg, bool physical)
{
    for (;;) {
        TextView key;
        bool section = false;
        bool closed = false;
        Lvm2Value v;
        if (!ReadEntry(c, &key, &section, &v, &closed)) {
            return closed;
        }
        if (!section) {
            return false;
        }
        if (physical) {
            if (vg->pvCount >= LVM2_MAX_PHYSICAL_VOLUMES ||
                !ParsePhysicalVolume(c, key, &vg->pv[vg->pvCount])) {
                return false;
            }
            ++vg->pvCount;
        } else {
            if (vg->lvCount >= LVM2_MAX_LOGICAL_VOLUMES ||
                !ParseLogicalVolume(c, key, &vg->lv[vg->lvCount])) {
                return false;
            }
            ++vg->lvCount;
        }
    }
}

// The label id in groups of 6-4-4-4-4-4-6 characters joined by "-".
bool SameId(TextView metadataId, const uint8_t* labelId)
{
    static const uint32_t kGroups[7] = {6, 4, 4, 4, 4, 4, 6};
    if (metadataId.length != kIdLength + 6) {
        return false;
    }
    uint32_t at = 0;
    uint32_t from = 0;
    for (uint32_t g = 0; g < 7; ++g) {
        if (g > 0) {
            if (metadataId.data[at] != '-') {
                return false;
            }
            ++at;
        }
        if (std::memcmp(metadataId.data + at, labelId + from, kGroups[g]) != 0) {
            return false;
        }
        at += kGroups[g];
        from += kGroups[g];
    }
    return true;
}

void Append(const PartitionEntry& e, uint32_t* count, PartitionEntry* entries)
{
    if (entries != nullptr) {
        entries[*count] = e;
    }
    ++*count;
}

// Checks the accepted layout and appends the entries.
int AppendVolumes(const Lvm2Metadata* md, const uint8_t* labelId, uint64_t pvByte,
                  uint32_t sectorBytes, uint32_t maximum, uint32_t* count, PartitionEntry* entries)
{
    if (md->vgCount != 1) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 metadata: not exactly one volume group");
    }
    const Lvm2VolumeGroup* vg = &md->vg[0];
    if (vg->pvCount != 1 || (vg->seen & 16) == 0 || vg->extentSize == 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 volume group: not one physical volume, or no extent size");
    }
    const Lvm2PhysicalVolume* pv = &vg->pv[0];
    if (!SameId(pv->id, labelId) || (pv->seen & (16 | 32 | 64)) != (16 | 32 | 64)) {
        return Refusal_RecordAs(
            DISK_ERR_FS_CORRUPT,
            "LVM2 physical volume: does not match the label, or fields missing");
    }
    // The extents must lie inside the device the metadata describes.
    uint64_t extentsEnd;
    if (!Math_MulU64(pv->peCount, vg->extentSize, &extentsEnd) ||
        !Math_AddU64(extentsEnd, pv->peStart, &extentsEnd) || extentsEnd > pv->devSize) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 physical volume: extents past the end of the device");
    }
    for (uint32_t i = 0; i < vg->lvCount; ++i) {
        const Lvm2LogicalVolume* lv = &vg->lv[i];
        if (lv->segments != 1) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                    "LVM2 logical volume: not exactly one segment");
        }
        const Lvm2Segment* s = &lv->segment[0];
        if ((s->seen & 1) == 0 || s->startExtent != 0 || (s->seen & 4) == 0) {
            return Refusal_RecordAs(
                DISK_ERR_FS_CORRUPT,
                "LVM2 segment: start or extent count missing or not at extent 0");
        }
        if (Is(s->type, "striped")) {
            if (s->stripeCount != 1 || s->stripes != 1 ||
                s->stripePv[0].length != pv->name.length ||
                std::memcmp(s->stripePv[0].data, pv->name.data, pv->name.length) != 0 ||
                (s->seen & 2) == 0) {
                return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                        "LVM2 segment: not one stripe on this physical volume");
            }
            uint64_t end;
            if (!Math_AddU64(s->stripeFirst[0], s->extentCount, &end) || end > pv->peCount) {
                return Refusal_RecordAs(
                    DISK_ERR_FS_CORRUPT,
                    "LVM2 segment: extents past the end of the physical volume");
            }
        }
    }
    for (uint32_t i = 0; i < vg->lvCount && *count < maximum; ++i) {
        const Lvm2LogicalVolume* lv = &vg->lv[i];
        const Lvm2Segment* s = &lv->segment[0];
        if (!Is(s->type, "striped") || !lv->visible || s->extentCount == 0) {
            continue;  // hidden sub-volumes and other layouts stay used space
        }
        uint64_t firstUnits;
        uint64_t units;
        uint64_t startByte;
        uint64_t bytes;
        if (!Math_MulU64(vg->extentSize, s->stripeFirst[0], &firstUnits) ||
            !Math_AddU64(firstUnits, pv->peStart, &firstUnits) ||
            !Math_MulU64(firstUnits, 512, &startByte) ||
            !Math_AddU64(startByte, pvByte, &startByte) ||
            !Math_MulU64(vg->extentSize, s->extentCount, &units) ||
            !Math_MulU64(units, 512, &bytes)) {
            return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 segment: position out of range");
        }
        if (startByte % sectorBytes != 0 || bytes / sectorBytes == 0) {
            continue;  // not on a disk sector: its sectors stay used
        }
        PartitionEntry e;
        e.first = startByte / sectorBytes;
        e.count = bytes / sectorBytes;
        e.type = 0;
        Append(e, count, entries);
    }
    return DISK_OK;
}

}  // namespace

uint32_t Lvm2_Crc(uint32_t initial, const uint8_t* data, uint32_t length)
{
    static const uint32_t kTable[16] = {
        0x00000000, 0x1db71064, 0x3b6e20c8, 0x26d930ac, 0x76dc4190, 0x6b6b51f4,
        0x4db26158, 0x5005713c, 0xedb88320, 0xf00f9344, 0xd6d6a3e8, 0xcb61b38c,
        0x9b64c2b0, 0x86d3d2d4, 0xa00ae278, 0xbdbdf21c,
    };
    uint32_t crc = initial;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= data[i];
        crc = (crc >> 4) ^ kTable[crc & 0xF];
        crc = (crc >> 4) ^ kTable[crc & 0xF];
    }
    return crc;
}

void Lvm2_SkipBlanks(TextView* c)
{
    while (!AtEnd(c)) {
        uint8_t ch = Peek(c);
        if (std::strchr(kBlanks, ch) != nullptr && ch != 0) {
            Advance(c, 1);
        } else if (ch == '#') {
            while (!AtEnd(c) && Peek(c) != '\n') {
                Advance(c, 1);
            }
        } else {
            return;
        }
    }
}

bool Lvm2_ReadName(TextView* c, TextView* name)
{
    uint32_t n = 0;
    while (n < c->length && IsNameChar(c->data[n])) {
        ++n;
    }
    if (n == 0) {
        return false;
    }
    name->data = c->data;
    name->length = n;
    Advance(c, n);
    return true;
}

bool Lvm2_ReadBare(TextView* c, const char* terminators, TextView* word)
{
    uint32_t n = 0;
    while (n < c->length && c->data[n] != 0 && std::strchr(terminators, c->data[n]) == nullptr) {
        ++n;
    }
    if (n == 0) {
        return false;
    }
    word->data = c->data;
    word->length = n;
    Advance(c, n);
    return true;
}

bool Lvm2_ReadQuoted(TextView* c, TextView* text)
{
    uint32_t n = 0;
    while (n < c->length) {
        uint8_t ch = c->data[n];
        if (ch == '"') {
            text->data = c->data;
            text->length = n;
            Advance(c, n + 1);
            return true;
        }
        if (ch == '\n' || ch == '\r') {
            return false;
        }
        n += (ch == '\\' && n + 1 < c->length) ? 2 : 1;
    }
    return false;
}

bool Lvm2_ReadValue(TextView* c, Lvm2Value* v)
{
    v->kind = 0;
    v->text.data = c->data;
    v->text.length = 0;
    v->itemCount = 0;
    v->itemOverflow = false;
    v->quoted = false;
    SkipSpaces(c);
    if (Peek(c) != '=' || AtEnd(c)) {
        return false;
    }
    Advance(c, 1);
    SkipSpaces(c);
    if (AtEnd(c) || Peek(c) == '\n' || Peek(c) == '\r' || Peek(c) == '#') {
        return true;  // empty
    }
    if (Peek(c) == '[') {
        return ReadList(c, v);
    }
    v->kind = 1;
    v->quoted = Peek(c) == '"';
    if (v->quoted) {
        Advance(c, 1);
        return Lvm2_ReadQuoted(c, &v->text);
    }
    return Lvm2_ReadBare(c, kBareEnd, &v->text);
}

bool Lvm2_ParseVolumeGroup(TextView* c, TextView name, Lvm2VolumeGroup* vg)
{
    std::memset(vg, 0, sizeof *vg);
    vg->name = name;
    for (;;) {
        TextView key;
        bool section = false;
        bool closed = false;
        Lvm2Value v;
        if (!ReadEntry(c, &key, &section, &v, &closed)) {
            return closed;
        }
        bool ok;
        if (section) {
            if (Is(key, "physical_volumes")) {
                ok = Once(&vg->seen, 1u << 10) && ParseVolumeList(c, vg, true);
            } else if (Is(key, "logical_volumes")) {
                ok = Once(&vg->seen, 1u << 11) && ParseVolumeList(c, vg, false);
            } else {
                ok = false;
            }
        } else if (Is(key, "id")) {
            ok = Once(&vg->seen, 1) && TextOf(v, &vg->id);
        } else if (Is(key, "seqno")) {
            ok = Once(&vg->seen, 2) && NumberOf(v, &vg->seqno);
        } else if (Is(key, "format")) {
            ok = Once(&vg->seen, 4) && TextOf(v, &vg->format);
        } else if (Is(key, "status")) {
            ok = Once(&vg->seen, 8);
        } else if (Is(key, "extent_size")) {
            ok = Once(&vg->seen, 16) && NumberOf(v, &vg->extentSize);
        } else if (Is(key, "flags")) {
            ok = Once(&vg->seen, 32);
        } else if (Is(key, "max_lv")) {
            ok = Once(&vg->seen, 64) && NumberOf(v, &vg->maxLv);
        } else if (Is(key, "max_pv")) {
            ok = Once(&vg->seen, 128) && NumberOf(v, &vg->maxPv);
        } else if (Is(key, "metadata_copies")) {
            ok = Once(&vg->seen, 256) && NumberOf(v, &vg->metadataCopies);
        } else {
            ok = IsIgnoredKey(key, kIgnoredVgKeys);
        }
        if (!ok) {
            return false;
        }
    }
}

bool Lvm2_ParseMetadata(TextView text, Lvm2Metadata* md)
{
    std::memset(md, 0, sizeof *md);
    TextView c = text;
    for (;;) {
        Lvm2_SkipBlanks(&c);
        if (AtEnd(&c)) {
            return (md->seen & 2) != 0;
        }
        TextView key;
        bool section = false;
        bool closed = false;
        Lvm2Value v;
        if (!ReadEntry(&c, &key, &section, &v, &closed)) {
            return false;  // a stray "}" or anything else
        }
        bool ok;
        if (section) {
            ok = md->vgCount < LVM2_MAX_VOLUME_GROUPS &&
                 Lvm2_ParseVolumeGroup(&c, key, &md->vg[md->vgCount]);
            if (ok) {
                ++md->vgCount;
            }
        } else if (Is(key, "contents")) {
            ok = Once(&md->seen, 1) && TextOf(v, &md->contents);
        } else if (Is(key, "version")) {
            ok = Once(&md->seen, 2) && NumberOf(v, &md->version);
        } else if (Is(key, "description")) {
            ok = Once(&md->seen, 4) && TextOf(v, &md->description);
        } else if (Is(key, "creation_host")) {
            ok = Once(&md->seen, 8) && TextOf(v, &md->creationHost);
        } else if (Is(key, "creation_time")) {
            ok = Once(&md->seen, 16) && NumberOf(v, &md->creationTime);
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
}

int Lvm2_ReadVolumes(const DiskHandle* disk, uint64_t pvSector, uint32_t maximum, uint32_t* count,
                     PartitionEntry* entries)
{
    if (*count >= maximum) {
        return DISK_OK;
    }
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(disk, &g);
    const uint32_t sectorBytes = g.bytes_per_sector;
    if (sectorBytes == 0) {
        return DISK_ERR_ARG;
    }
    uint64_t pvByte;
    if (!Math_MulU64(pvSector, sectorBytes, &pvByte)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 label: position out of range");
    }
    uint8_t head[LVM2_LABEL_SCAN_BYTES];
    int rc = Disk_Read(disk, pvByte, sizeof head, head);
    if (rc != DISK_OK) {
        return rc;
    }
    // 1. The label: the first of sectors 0..3 that passes every rule.
    const uint8_t* label = nullptr;
    for (uint32_t i = 0; i < 4 && label == nullptr; ++i) {
        const uint8_t* s = head + 512 * i;
        if (std::memcmp(s, kLabelOne, 8) == 0 && Bytes_LoadLe64(s + 8) == i &&
            std::memcmp(s + 24, kLvm2Type, 8) == 0 &&
            Bytes_LoadLe32(s + 16) == Lvm2_Crc(LVM2_CRC_INITIAL, s + 20, 492)) {
            label = s;
        }
    }
    if (label == nullptr) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 label: no valid label in the first four sectors");
    }
    // 2. The physical-volume header and its two lists, each within the label's sector.
    const uint32_t headerAt = Bytes_LoadLe32(label + 20);
    if (headerAt < 32 || headerAt > 512 - (kIdLength + 8)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 physical volume header: offset out of range");
    }
    const uint8_t* labelId = label + headerAt;
    uint32_t at = headerAt + kIdLength + 8;
    uint64_t areas[2][2] = {{0, 0}, {0, 0}};
    for (uint32_t list = 0; list < 2; ++list) {
        uint32_t n = 0;
        for (;;) {
            if (at + 16 > 512) {
                return Refusal_RecordAs(
                    DISK_ERR_FS_CORRUPT,
                    "LVM2 physical volume header: area list past the end of its sector");
            }
            uint64_t offset = Bytes_LoadLe64(label + at);
            uint64_t size = Bytes_LoadLe64(label + at + 8);
            at += 16;
            if (offset == 0) {
                break;
            }
            if (n == 0) {
                areas[list][0] = offset;
                areas[list][1] = size;
            }
            ++n;
        }
        if (n != 1) {
            return Refusal_RecordAs(
                DISK_ERR_FS_CORRUPT,
                "LVM2 physical volume header: not exactly one data and one metadata area");
        }
    }
    const uint64_t mdaOffset = areas[1][0];
    const uint64_t mdaSize = areas[1][1];
    if (mdaSize < LVM2_MDA_HEADER_BYTES) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 physical volume header: metadata area too small");
    }
    // 3. The metadata-area header.
    uint64_t mdaByte;
    if (!Math_AddU64(pvByte, mdaOffset, &mdaByte)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 metadata area: position out of range");
    }
    uint8_t mda[LVM2_MDA_HEADER_BYTES];
    rc = Disk_Read(disk, mdaByte, sizeof mda, mda);
    if (rc != DISK_OK) {
        return rc;
    }
    const uint64_t locOffset = Bytes_LoadLe64(mda + 40);
    const uint64_t locSize = Bytes_LoadLe64(mda + 48);
    const uint32_t locChecksum = Bytes_LoadLe32(mda + 56);
    const uint32_t locFlags = Bytes_LoadLe32(mda + 60);
    if (std::memcmp(mda + 4, kMdaMagic, sizeof kMdaMagic) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 metadata area header: no signature");
    }
    if (Bytes_LoadLe32(mda) != Lvm2_Crc(LVM2_CRC_INITIAL, mda + 4, 508)) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 metadata area header: checksum does not match");
    }
    if (Bytes_LoadLe32(mda + 20) != 1 || Bytes_LoadLe64(mda + 24) != mdaOffset ||
        Bytes_LoadLe64(mda + 32) != mdaSize) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 metadata area header: version or position does not match");
    }
    // The text must lie whole inside the area after its header: text that wraps round the end
    // of the circular area is not joined.
    if (locOffset < LVM2_MDA_HEADER_BYTES || locSize == 0 || locSize > LVM2_MAX_LOCATION_BYTES ||
        locOffset > mdaSize || locSize > mdaSize - locOffset ||
        (locFlags & LVM2_LOCATION_IGNORED) != 0) {
        return Refusal_RecordAs(DISK_ERR_FS_CORRUPT,
                                "LVM2 metadata area header: text location out of range");
    }
    // 4. The text, checked by its checksum, up to its first zero byte.
    uint8_t* text = static_cast<uint8_t*>(Mem_Alloc(static_cast<uint32_t>(locSize)));
    if (text == nullptr) {
        return DISK_ERR_NOMEM;
    }
    rc = Disk_Read(disk, mdaByte + locOffset, static_cast<uint32_t>(locSize), text);
    Lvm2Metadata* md = nullptr;
    if (rc == DISK_OK &&
        Lvm2_Crc(LVM2_CRC_INITIAL, text, static_cast<uint32_t>(locSize)) != locChecksum) {
        rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 metadata text: checksum does not match");
    }
    TextView view{text, 0};
    while (rc == DISK_OK && view.length < locSize && text[view.length] != 0) {
        uint32_t n = Text_ValidCharLength(
            text + view.length, static_cast<uint32_t>(locSize) - view.length, TEXT_ENC_UTF8);
        if (n == 0) {
            rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 metadata text: not valid UTF-8");
        }
        view.length += n;
    }
    // 5. Parse, 6. check the layout, 7. append.
    if (rc == DISK_OK) {
        md = static_cast<Lvm2Metadata*>(Mem_Alloc(sizeof(Lvm2Metadata)));
        if (md == nullptr) {
            rc = DISK_ERR_NOMEM;
        } else if (!Lvm2_ParseMetadata(view, md)) {
            rc = Refusal_RecordAs(DISK_ERR_FS_CORRUPT, "LVM2 metadata text: does not parse");
        }
    }
    if (rc == DISK_OK) {
        rc = AppendVolumes(md, labelId, pvByte, sectorBytes, maximum, count, entries);
    }
    Mem_Free(md);
    Mem_Free(text);
    return rc;
}
