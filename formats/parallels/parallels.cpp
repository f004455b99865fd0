// Parallels image files: single file, "Compressed" and "Plain" data files.
#include "formats/parallels/parallels.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "disk/disk_open.h"
#include "disk/writer_kit.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/work_pool.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

const char kSignature[16] = {'W', 'i', 't', 'h', 'o', 'u', 't', 'F',
                             'r', 'e', 'e', 'S', 'p', 'a', 'c', 'e'};
// The signature of the layout with whole-block table entries, the header's 64-bit sector count
// and data start, and an optional header-extension block (as qemu-img writes it).
const char kSignatureExt[16] = {'W', 'i', 't', 'h', 'o', 'u', 'F', 'r',
                                'e', 'S', 'p', 'a', 'c', 'E', 'x', 't'};

// Largest block accepted from a header: 2^22 sectors (2 GiB).
const uint32_t kMaxBlockSectors = 1u << 22;

void HeaderToDisk(const ParallelsHeader* h, ParallelsHeader* out)
{
    *out = *h;
    uint32_t* f = &out->version;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(out) + 16;
    for (int i = 0; i < 12; i++) {
        uint32_t v = f[i];
        Bytes_StoreLe32(bytes + 4 * i, v);
    }
}

char* CopyPath(const char* path)
{
    const size_t n = std::strlen(path);
    if (n >= 0x10000) return nullptr;
    char* p = static_cast<char*>(Mem_Alloc(static_cast<uint32_t>(n + 1)));
    if (p != nullptr) std::memcpy(p, path, n + 1);
    return p;
}

// Table area of n entries as the writers lay it out: bytes 64 .. data start.
uint64_t DataStartBytes(uint64_t entries) { return ((4 * entries + 65) & ~511ull) + 512; }

// Whether `count` sectors of data, the source's sectors from `first`, hold nothing the map uses.
int DataEmpty(UsedSectorMap* map, uint64_t first, uint32_t count, const uint8_t* data, bool* empty)
{
    if (map == nullptr) {
        *empty = Mem_IsZero(data, count * 512);
        return DISK_OK;
    }
    return UsedMap_IsDataEmpty(map, first, count, empty, data);
}

// Reads the stored piece [entryByte, +length) in pieces and answers whether it is empty;
// `mapFirst` is the disk sector of its first byte (length is a multiple of 512).
int StoredPieceEmpty(ByteStream* stream, uint64_t at, uint32_t length, UsedSectorMap* map,
                     uint64_t mapFirst, bool* empty)
{
    const uint32_t piece = length < PARALLELS_COPY_BYTES ? length : PARALLELS_COPY_BYTES;
    uint8_t* buf = static_cast<uint8_t*>(Mem_Alloc(piece));
    if (buf == nullptr) return DISK_ERR_NOMEM;
    int rc = DISK_OK;
    *empty = true;
    uint32_t done = 0;
    while (done < length && *empty) {
        const uint32_t n = length - done < piece ? length - done : piece;
        if (!Stream_ReadAt(stream, at + done, n, buf)) {
            rc = DISK_ERR_READ;
            break;
        }
        rc = DataEmpty(map, mapFirst + done / 512, n / 512, buf, empty);
        if (rc != DISK_OK) break;
        done += n;
    }
    Mem_Free(buf);
    return rc;
}

// Reads and checks a header, and with loadTable its table. On success the stream, header, file
// size and (loaded) the table in host order with its count of present entries are handed back.
struct TableFile {
    ByteStream* stream;
    ParallelsHeader header;
    uint32_t* table;
    uint64_t size;
    uint32_t allocated;
    bool extended;  // "WithouFreSpacExt": entries count whole blocks
};

int OpenTableFile(FileOpenFn open, void* user, const char* path, bool readOnly, bool loadTable,
                  TableFile* t)
{
    t->stream = nullptr;
    t->table = nullptr;
    t->extended = false;
    int orc = open(path, readOnly, &t->stream, user);
    if (orc != 0) {
        t->stream = nullptr;
        return orc == 1 ? DISK_CANCELLED : DISK_ERR_OPEN;
    }
    int rc = DISK_OK;
    uint8_t raw[64];
    if (!Stream_ReadAt(t->stream, 0, 64, raw)) rc = DISK_ERR_READ;
    if (rc == DISK_OK) {
        std::memcpy(&t->header, raw, 64);
        ParallelsData_HeaderToHost(&t->header);
        t->extended = std::memcmp(t->header.signature, kSignatureExt, 16) == 0;
        if (!t->extended && std::memcmp(t->header.signature, kSignature, 16) != 0)
            rc = Refusal_Record("Parallels header: no signature");
    }
    if (rc == DISK_OK && !Stream_GetSize(t->stream, &t->size)) rc = DISK_ERR_SIZE;
    const uint64_t n = rc == DISK_OK ? t->header.entries : 0;
    // The extended layout places its data where the header says; the table must be there.
    const uint64_t least = t->extended ? 64 + 4 * n : DataStartBytes(n);
    if (rc == DISK_OK && t->size < least)
        rc = Refusal_Record("Parallels header: file shorter than its block table");
    if (rc == DISK_OK && 4 * n > 0xFFFFFFF0ull)
        rc = Refusal_Record("Parallels header: block table too large");
    if (rc == DISK_OK &&
        (t->header.sectorsPerBlock == 0 || t->header.sectorsPerBlock > kMaxBlockSectors))
        rc = Refusal_Record("Parallels header: block size out of range");
    t->allocated = 0;
    if (rc == DISK_OK && loadTable && n != 0) {
        t->table = static_cast<uint32_t*>(Mem_Alloc(static_cast<uint32_t>(4 * n)));
        if (t->table == nullptr)
            rc = DISK_ERR_NOMEM;
        else if (!Stream_ReadAt(t->stream, 64, static_cast<uint32_t>(4 * n), t->table))
            rc = DISK_ERR_READ;
    }
    if (rc == DISK_OK && loadTable) {
        for (uint64_t i = 0; i < n; i++) {
            t->table[i] = Bytes_LoadLe32(reinterpret_cast<const uint8_t*>(&t->table[i]));
            if (t->table[i] != 0) t->allocated++;
        }
    }
    if (rc != DISK_OK) {
        if (t->stream != nullptr) Stream_Close(t->stream);
        Mem_Free(t->table);
        t->stream = nullptr;
        t->table = nullptr;
    }
    return rc;
}

void CloseTableFile(TableFile* t)
{
    if (t->stream != nullptr) Stream_Close(t->stream);
    Mem_Free(t->table);
    t->stream = nullptr;
    t->table = nullptr;
}

// Where a present entry may point: its block, at sector entry x unit + base, lies at or after
// `dataStart` sectors and inside the file.
struct EntryBounds {
    uint64_t base;
    uint64_t dataStart;
    uint64_t fileSectors;
    uint64_t unit;
    uint64_t blockSectors;
};

bool EntryInside(const EntryBounds& b, uint32_t entry)
{
    const uint64_t at = entry * b.unit + b.base;
    return at >= b.dataStart && at + b.blockSectors <= b.fileSectors;
}

// Every non-zero entry of a loaded table lies inside (EntryInside).
bool TableFile_CheckEntries(const TableFile* t, uint64_t base, uint64_t dataStart)
{
    const EntryBounds b = {base, dataStart, t->size / 512, 1, t->header.sectorsPerBlock};
    for (uint32_t i = 0; i < t->header.entries; i++) {
        if (t->table[i] != 0 && !EntryInside(b, t->table[i])) return false;
    }
    return true;
}

// Entries read at once when a single file's table is walked at open.
const uint32_t kScanEntries = 1u << 16;

// Walks the `entries` entries of a single file's table in pieces without keeping them: counts
// the present ones and tells whether all of them lie inside.
int ScanTable(ByteStream* stream, uint32_t entries, const EntryBounds& bounds, uint32_t* allocated,
              bool* inside)
{
    *allocated = 0;
    *inside = true;
    if (entries == 0) return DISK_OK;
    const uint32_t piece = entries < kScanEntries ? entries : kScanEntries;
    uint8_t* raw = static_cast<uint8_t*>(Mem_Alloc(4 * piece));
    if (raw == nullptr) return DISK_ERR_NOMEM;
    int rc = DISK_OK;
    for (uint64_t i = 0; i < entries && rc == DISK_OK; i += piece) {
        const uint32_t n = entries - i < piece ? static_cast<uint32_t>(entries - i) : piece;
        if (!Stream_ReadAt(stream, 64 + 4 * i, 4 * n, raw)) {
            rc = DISK_ERR_READ;
            break;
        }
        for (uint32_t j = 0; j < n; j++) {
            const uint32_t e = Bytes_LoadLe32(raw + 4 * j);
            if (e == 0) continue;
            (*allocated)++;
            if (!EntryInside(bounds, e)) *inside = false;
        }
    }
    Mem_Free(raw);
    return rc;
}

// Entries per window of the tables of single files opened from now on (a test hook may make
// the windows small); 0 stands for PARALLELS_TABLE_WINDOW_ENTRIES.
std::atomic<uint32_t> g_windowEntries{0};

// The entry of block `block` of a single file (0 past the table), through its table cache: the
// window holding it is read when no slot holds it, into the slot used longest ago, and its
// present entries are checked against the file's bounds.
int TableCache_Entry(ParallelsImage* image, uint64_t block, uint32_t* entry)
{
    *entry = 0;
    if (block >= image->entries) return DISK_OK;
    ParallelsTableCache* c = &image->tableCache;
    const uint64_t window = block / c->windowEntries;
    uint32_t slot = 0;
    for (uint32_t i = 0; i < c->slotCount; i++) {
        if (c->window[i] == window) {
            slot = i;
            break;
        }
        if (c->lastUse[i] < c->lastUse[slot]) slot = i;
    }
    uint32_t* entries = c->slots + static_cast<uint64_t>(slot) * c->windowEntries;
    if (c->window[slot] != window) {
        c->window[slot] = UINT64_MAX;
        const uint64_t first = window * c->windowEntries;
        const uint32_t n = image->entries - first < c->windowEntries
                               ? static_cast<uint32_t>(image->entries - first)
                               : c->windowEntries;
        if (!Stream_ReadAt(image->stream, 64 + 4 * first, 4 * n, entries)) return DISK_ERR_READ;
        const EntryBounds bounds = {0, image->dataStart, image->fileSectors, image->unit,
                                    image->sectorsPerBlock};
        for (uint32_t i = 0; i < n; i++) {
            entries[i] = Bytes_LoadLe32(&entries[i]);
            if (entries[i] != 0 && !EntryInside(bounds, entries[i]))
                return Refusal_Record("Parallels block table: entry points outside the data area");
        }
        c->window[slot] = window;
    }
    c->lastUse[slot] = ++c->clock;
    *entry = entries[block - window * c->windowEntries];
    return DISK_OK;
}

// Sets up an empty cache over the image's table.
int TableCache_Init(ParallelsImage* image)
{
    ParallelsTableCache* c = &image->tableCache;
    std::memset(c, 0, sizeof *c);
    const uint32_t configured = g_windowEntries.load();
    c->windowEntries = configured != 0 ? configured : PARALLELS_TABLE_WINDOW_ENTRIES;
    const uint64_t windows =
        (static_cast<uint64_t>(image->entries) + c->windowEntries - 1) / c->windowEntries;
    c->slotCount = windows < PARALLELS_TABLE_SLOTS ? static_cast<uint32_t>(windows)
                                                   : static_cast<uint32_t>(PARALLELS_TABLE_SLOTS);
    for (uint32_t i = 0; i < PARALLELS_TABLE_SLOTS; i++) c->window[i] = UINT64_MAX;
    if (c->slotCount == 0) return DISK_OK;
    c->slots = static_cast<uint32_t*>(Mem_Alloc(4 * c->slotCount * c->windowEntries));
    return c->slots != nullptr ? DISK_OK : DISK_ERR_NOMEM;
}

// Reads [offset, +length) of a table-mapped disk; absent blocks go to `absent`. A block lies at
// sector entry x unit + base; lookup(block, uint32_t* entry) -> result code gives the entries.
template <typename Lookup, typename Absent>
int ReadMapped(ByteStream* stream, Lookup lookup, uint32_t spb, uint32_t unit, uint64_t base,
               uint64_t offset, uint32_t length, uint8_t* out, Absent absent)
{
    const uint64_t blockBytes = static_cast<uint64_t>(spb) * 512;
    while (length != 0) {
        const uint64_t block = offset / blockBytes;
        const uint64_t in = offset % blockBytes;
        const uint32_t n =
            blockBytes - in < length ? static_cast<uint32_t>(blockBytes - in) : length;
        uint32_t e = 0;
        int rc = lookup(block, &e);
        if (rc != DISK_OK) return rc;
        if (e == 0) {
            rc = absent(offset, n, out);
            if (rc != DISK_OK) return rc;
        } else if (!Stream_ReadAt(stream, (static_cast<uint64_t>(e) * unit + base) * 512 + in, n,
                                  out)) {
            return DISK_ERR_READ;
        }
        offset += n;
        length -= n;
        out += n;
    }
    return DISK_OK;
}

// Empty-range over a table-mapped disk; mapOffset is added to sectors asked of the map.
template <typename Lookup>
int EmptyMapped(ByteStream* stream, Lookup lookup, uint32_t spb, uint32_t unit, uint64_t base,
                UsedSectorMap* map, uint64_t mapOffset, uint64_t first, uint32_t count, bool* empty)
{
    while (count != 0) {
        const uint64_t block = first / spb;
        const uint32_t in = static_cast<uint32_t>(first % spb);
        const uint32_t n = spb - in < count ? spb - in : count;
        uint32_t e = 0;
        int rc = lookup(block, &e);
        if (rc != DISK_OK) return rc;
        if (e != 0) {
            bool pieceEmpty = true;
            rc = StoredPieceEmpty(stream, (static_cast<uint64_t>(e) * unit + base + in) * 512,
                                  n * 512, map, first + mapOffset, &pieceEmpty);
            if (rc != DISK_OK) return rc;
            if (!pieceEmpty) {
                *empty = false;
                return DISK_OK;
            }
        }
        first += n;
        count -= n;
    }
    *empty = true;
    return DISK_OK;
}

// The writers work in batches: source sectors are read, and stored blocks written, in pieces of
// up to kBatchBytes, and the table is kept kWindowEntries entries at a time, so that a writer
// holds about 2 MiB whatever the size of the disk. A batch is small enough that its blocks are
// still in the processor's cache when they are tested and written.
const uint32_t kBatchBytes = 1u << 20;
const uint32_t kBatchSectors = kBatchBytes / 512;
const uint32_t kWindowEntries = 1u << 18;
// Largest piece of a block stored in pieces: a batch, or a caller's copy buffer.
const uint32_t kPieceSectors = PARALLELS_COPY_BYTES / 512;
static_assert(kBatchSectors <= kPieceSectors, "a batch is one piece at most");
// Most batches passed in one step inside a hole of the source (256 MiB).
const uint64_t kSkipBatches = 256;

// Zero-fills the buffer between the stretches WriterKit_ReadDataRuns hands out.
struct GapFill {
    uint8_t* buffer;
    uint32_t done;  // sectors from the start filled or read
};

int FillGapBefore(void* user, uint32_t offset, uint32_t n, const uint8_t*)
{
    GapFill* f = static_cast<GapFill*>(user);
    std::memset(f->buffer + f->done * 512ull, 0, (offset - f->done) * 512ull);
    f->done = offset + n;
    return DISK_OK;
}

// Reads `count` source sectors from `first` into buffer; stretches the source knows to read as
// zeros (holes of a raw file) become zeros without being read.
int ReadStored(const DiskHandle* source, uint64_t first, uint32_t count, uint8_t* buffer)
{
    if (count == 0) return DISK_OK;
    GapFill fill = {buffer, 0};
    const int rc =
        WriterKit_ReadDataRuns(source, nullptr, first, count, buffer, FillGapBefore, &fill);
    if (rc == DISK_OK) std::memset(buffer + fill.done * 512ull, 0, (count - fill.done) * 512ull);
    return rc;
}

// Reads `count` source sectors from `first` into buffer. With used bits (bit `bit` + i for
// sector first + i), only the used runs are read and the free sectors become
// zeros; holes of the source are not read either.
int ReadRuns(const DiskHandle* source, uint64_t first, const uint8_t* bits, uint32_t bit,
             uint32_t count, uint8_t* buffer)
{
    if (bits == nullptr) return ReadStored(source, first, count, buffer);
    uint32_t i = 0;
    while (i < count) {
        const bool used = Bits_Test(bits, bit + i);
        const uint32_t j = Bits_RunEnd(bits, bit + i + 1, bit + count, used) - bit;
        if (used) {
            int rc = ReadStored(source, first + i, j - i, buffer + i * 512ull);
            if (rc != DISK_OK) return rc;
        } else {
            std::memset(buffer + i * 512ull, 0, (j - i) * 512ull);
        }
        i = j;
    }
    return DISK_OK;
}

// Reads `count` source sectors from `first`; sectors the map marks free become zeros without
// being read. The used bits are fetched kBatchSectors at a time.
int ReadUsed(const DiskHandle* source, UsedSectorMap* map, uint64_t first, uint32_t count,
             uint8_t* buffer)
{
    if (map == nullptr) return ReadRuns(source, first, nullptr, 0, count, buffer);
    uint8_t bits[kBatchSectors / 8];
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = count - done < kBatchSectors ? count - done : kBatchSectors;
        int rc = UsedMap_GetUsedBits(map, first + done, static_cast<int32_t>(n), bits);
        if (rc == DISK_OK) rc = ReadRuns(source, first + done, bits, 0, n, buffer + done * 512ull);
        if (rc != DISK_OK) return rc;
        done += n;
    }
    return DISK_OK;
}

// Writes `fill` over [from, to) of the file in pieces of the buffer (which it overwrites). Zeros
// are left a hole up to the last sector's worth, which gives the file its length.
int FillRange(ByteStream* out, uint64_t from, uint64_t to, uint8_t fill, uint8_t* buffer,
              uint32_t bufferBytes)
{
    if (fill == 0 && to > from + 512) from = to - 512;
    if (from < to) std::memset(buffer, fill, to - from < bufferBytes ? to - from : bufferBytes);
    while (from < to) {
        const uint32_t n = to - from < bufferBytes ? static_cast<uint32_t>(to - from) : bufferBytes;
        int rc = WriteKit_WriteAt(out, from, n, buffer);
        if (rc != DISK_OK) return rc;
        from += n;
    }
    return DISK_OK;
}

// The table of a file being written. Entries are set in block order; a window of them is kept
// and written to its place (64 + 4 x index) once the blocks have moved past it.
struct TableWindow {
    uint8_t* raw;      // kWindowEntries entries, file order
    uint64_t first;    // table index of raw's first entry
    uint64_t entries;  // of the whole table
};

int Window_Flush(ByteStream* out, TableWindow* w)
{
    if (w->first >= w->entries) return DISK_OK;
    const uint64_t n =
        w->entries - w->first < kWindowEntries ? w->entries - w->first : kWindowEntries;
    int rc = WriteKit_WriteAt(out, 64 + 4 * w->first, static_cast<uint32_t>(4 * n), w->raw);
    std::memset(w->raw, 0, 4ull * kWindowEntries);
    w->first += kWindowEntries;
    return rc;
}

int Window_Set(ByteStream* out, TableWindow* w, uint64_t index, uint32_t value)
{
    if (index >= w->entries || index < w->first) return DISK_ERR_ARG;
    while (index >= w->first + kWindowEntries) {
        int rc = Window_Flush(out, w);
        if (rc != DISK_OK) return rc;
    }
    Bytes_StoreLe32(w->raw + 4 * (index - w->first), value);
    return DISK_OK;
}

// Everything of the walk that writes blocks into a table-mapped file.
struct BlockWriter {
    ByteStream* out;
    const DiskHandle* source;
    UsedSectorMap* map;
    uint8_t* buffer;  // kBatchBytes
    TableWindow table;
    uint32_t spb;
    uint64_t position;  // file sector where the next stored block goes
    uint64_t base;      // a block at sector p has the entry (p - base) / unit
    uint32_t unit;
    // Stores every block that the source allocates, zeros included, and only those.
    bool keepAllocation;
    // The source itself when a single file is compacted: the blocks its table leaves absent are
    // zeros without asking.
    ParallelsImage* present;
    ProgressCallback callback;  // told the source sector reached, of `total`
    void* user;
    uint64_t total;
};

void BlockWriter_Free(BlockWriter* w)
{
    Mem_Free(w->buffer);
    Mem_Free(w->table.raw);
    w->buffer = nullptr;
    w->table.raw = nullptr;
}

// Allocates the buffers for a table of `entries`; the caller sets the rest.
int BlockWriter_Init(BlockWriter* w, uint64_t entries)
{
    std::memset(w, 0, sizeof *w);
    w->unit = 1;
    w->buffer = static_cast<uint8_t*>(Mem_Alloc(kBatchBytes));
    w->table.raw = static_cast<uint8_t*>(Mem_Alloc(4 * kWindowEntries));
    w->table.entries = entries;
    if (w->buffer == nullptr || w->table.raw == nullptr) {
        BlockWriter_Free(w);
        return DISK_ERR_NOMEM;
    }
    std::memset(w->table.raw, 0, 4ull * kWindowEntries);
    return DISK_OK;
}

// The entry of a block stored at file sector `position`; DISK_ERR_ARG where the table cannot
// point there.
int EntryAt(const BlockWriter* w, uint64_t position, uint32_t* entry)
{
    if (position < w->base) return DISK_ERR_ARG;
    const uint64_t e = (position - w->base) / w->unit;
    if (e > 0xFFFFFFFFull || (w->unit == 1 && position + w->spb > 0xFFFFFFFFull + w->base))
        return DISK_ERR_ARG;
    *entry = static_cast<uint32_t>(e);
    return DISK_OK;
}

int Report(const BlockWriter* w, uint64_t sector)
{
    return WriteKit_Progress(w->callback, w->user, sector, w->total) ? DISK_OK : DISK_CANCELLED;
}

// DISK_ERR_FORMAT when two present entries of a table of `entries` place their blocks
// (`unitsPerBlock` table units from the entry's) over each other: compaction would store each of
// them on its own. lookup(index, uint32_t* entry) -> result code gives the entries, of which at
// most `present` are non-zero. The present entries are sorted in a copy (O(n log n) time, 4
// bytes per present entry).
template <typename Lookup>
int Parallels_CheckBlockTable(uint32_t entries, uint32_t present, uint32_t unitsPerBlock,
                              Lookup lookup)
{
    uint32_t* sorted = static_cast<uint32_t*>(Mem_Alloc(present != 0 ? present * 4ull : 4));
    if (sorted == nullptr) return DISK_ERR_NOMEM;
    uint32_t n = 0;
    int rc = DISK_OK;
    for (uint32_t i = 0; i < entries && rc == DISK_OK; i++) {
        uint32_t e = 0;
        rc = lookup(i, &e);
        if (rc != DISK_OK || e == 0) continue;
        if (n == present)
            rc = Refusal_Record("Parallels block table: more blocks than when the file was opened");
        else
            sorted[n++] = e;
    }
    if (rc == DISK_OK) std::sort(sorted, sorted + n);
    for (uint32_t i = 1; i < n && rc == DISK_OK; i++) {
        if (static_cast<uint64_t>(sorted[i]) - sorted[i - 1] < unitsPerBlock)
            rc = Refusal_Record("Parallels block table: two entries share a block");
    }
    Mem_Free(sorted);
    return rc;
}

// Entries of a loaded table.
struct LoadedTable {
    const uint32_t* table;
    uint32_t entries;
    int operator()(uint64_t index, uint32_t* entry) const
    {
        *entry = index < entries ? table[index] : 0;
        return DISK_OK;
    }
};

// Entries of a single file's table, through its cache.
struct CachedTable {
    ParallelsImage* image;
    int operator()(uint64_t index, uint32_t* entry) const
    {
        return TableCache_Entry(image, index, entry);
    }
};

}  // namespace

void ParallelsData_HeaderToHost(ParallelsHeader* header)
{
    uint32_t* const fields[12] = {
        &header->version,   &header->heads,        &header->cylinders,  &header->sectorsPerBlock,
        &header->entries,   &header->totalSectors, &header->reserved40, &header->reserved44,
        &header->dataStart, &header->reserved52,   &header->reserved56, &header->reserved60};
    uint8_t bytes[48];
    std::memcpy(bytes, reinterpret_cast<const uint8_t*>(header) + 16, sizeof bytes);
    for (int i = 0; i < 12; i++) *fields[i] = Bytes_LoadLe32(bytes + 4 * i);
}

// ---- Block writer ----------------------------------------------------------------------------------

namespace {

// Whether the block of `count` source sectors from `first` (table index k) stays out of the file
// without reading it: with keepAllocation when the source does not allocate it; else when it is
// known to read as zeros (absent in the source's own table, or Disk_IsRangeKnownZero).
int BlockLeftOut(const BlockWriter* w, uint64_t k, uint64_t first, uint32_t count, bool* out)
{
    *out = true;
    if (count == 0) return DISK_OK;
    if (w->keepAllocation) return Disk_IsRangeUnallocated(w->source, w->map, first, count, out);
    if (w->present != nullptr) {
        uint32_t entry = 0;
        const int rc = TableCache_Entry(w->present, k, &entry);
        *out = entry == 0;
        return rc;
    }
    return Disk_IsRangeKnownZero(w->source, first, count, out);
}

// Stores block k, `count` source sectors from `first` zero-padded to the block, reading it once
// in pieces of `pieceSectors` into `buffer`: pieces of zeros before the first piece with data
// are not written (the block's place reads as zeros until then), and a block of zeros is left
// out (with keepAllocation every piece is written). *entry is the block's entry, or 0.
int StoreBlockInPieces(BlockWriter* w, uint64_t k, uint64_t first, uint32_t count, uint8_t* buffer,
                       uint32_t pieceSectors, uint32_t* entry)
{
    *entry = 0;
    if (pieceSectors == 0 || pieceSectors > kPieceSectors) return DISK_ERR_ARG;
    bool leftOut = false;
    int rc = BlockLeftOut(w, k, first, count, &leftOut);
    if (rc != DISK_OK || leftOut) return rc;
    uint8_t bits[kPieceSectors / 8];
    bool placed = false;
    for (uint32_t done = 0; done < w->spb;) {
        const uint32_t n = w->spb - done < pieceSectors ? w->spb - done : pieceSectors;
        const uint32_t have = done >= count ? 0 : (count - done < n ? count - done : n);
        std::memset(buffer + have * 512ull, 0, (n - have) * 512ull);
        if (have != 0) {
            bool zero = false;
            if (!w->keepAllocation)
                rc = Disk_IsRangeKnownZero(w->source, first + done, have, &zero);
            if (rc == DISK_OK && !zero && w->map != nullptr) {
                rc = UsedMap_GetUsedBits(w->map, first + done, static_cast<int32_t>(have), bits);
                zero = rc == DISK_OK && !Bits_AnySet(bits, 0, have);
            }
            if (rc != DISK_OK) return rc;
            if (zero)
                std::memset(buffer, 0, have * 512ull);
            else if ((rc = ReadRuns(w->source, first + done, w->map != nullptr ? bits : nullptr, 0,
                                    have, buffer)) != DISK_OK)
                return rc;
        }
        if (!placed && (w->keepAllocation || !Mem_IsZero(buffer, n * 512))) {
            if ((rc = EntryAt(w, w->position, entry)) != DISK_OK) return rc;
            placed = true;
        }
        if (placed &&
            (rc = WriteKit_WriteAt(w->out, (w->position + done) * 512, n * 512, buffer)) != DISK_OK)
            return rc;
        done += n;
        if (w->callback != nullptr &&
            (rc = Report(w, first + (done < count ? done : count))) != DISK_OK)
            return rc;
    }
    if (placed) w->position += w->spb;
    return DISK_OK;
}

// One batch of whole blocks on its way from the reading thread to the storing one: the source
// sectors read, zero-padded to whole blocks, and which blocks were read.
struct Batch {
    uint8_t* buffer;  // kBatchBytes
    uint64_t k;       // table index of its first block
    uint32_t blocks;
    uint8_t read[kBatchSectors];  // per block: 1 read (to test and store), 0 left out
};

// Batches read ahead of the one being stored.
const uint32_t kPipeBatches = 4;

struct StorePipe {
    BlockWriter* w;
    Batch batches[kPipeBatches];
};

// Stores the blocks of a batch that hold data (with keepAllocation: every block read) at the next
// places of the file, in order, and sets their entries. A run of them that lies together in the
// buffer goes out in one write from where it was read. The places are bytes never written: runs
// of zeros stay holes of the file, and the run's last sector is written so that the file holds
// its last block whole.
int StoreBatch(BlockWriter* w, const Batch* b)
{
    const uint32_t spb = w->spb;
    const uint64_t blockBytes = spb * 512ull;
    int rc = DISK_OK;
    uint32_t stored = 0;
    for (uint32_t i = 0; rc == DISK_OK && i < b->blocks;) {
        uint32_t j = i;
        while (rc == DISK_OK && j < b->blocks && b->read[j] &&
               (w->keepAllocation ||
                !Mem_IsZero(b->buffer + j * blockBytes, static_cast<uint32_t>(blockBytes)))) {
            uint32_t entry = 0;
            rc = EntryAt(w, w->position + (stored + j - i) * static_cast<uint64_t>(spb), &entry);
            if (rc == DISK_OK) rc = Window_Set(w->out, &w->table, b->k + j, entry);
            j++;
        }
        if (rc == DISK_OK && j > i) {
            const uint64_t at = (w->position + stored * static_cast<uint64_t>(spb)) * 512;
            const uint8_t* run = b->buffer + i * blockBytes;
            const uint32_t head = static_cast<uint32_t>((j - i) * blockBytes) - 512;
            rc = WriteKit_WriteDataOnly(w->out, at, head, run);
            if (rc == DISK_OK) rc = WriteKit_WriteAt(w->out, at + head, 512, run + head);
            stored += j - i;
        }
        i = j + 1;  // block j (when there is one) is not stored
    }
    w->position += stored * static_cast<uint64_t>(spb);
    return rc;
}

int StoreTask(void* context, uint32_t, uint32_t slot)
{
    StorePipe* pipe = static_cast<StorePipe*>(context);
    return StoreBatch(pipe->w, &pipe->batches[slot]);
}

// Writes the blocks covering `count` source sectors from `first` (table indexes from 0), each
// zero-padded to the block, at the file's position onward; blocks of zeros stay out of the file
// (with keepAllocation: the blocks the source does not allocate). Each batch of whole blocks is
// read once, the used runs only, tested for zeros in memory, and its stored blocks written in one
// piece. Progress after each batch, as the source sector reached.
//
// Blocks of up to a batch go through two threads: this one does everything that asks the source
// (and the map), reading batches ahead; one worker tests and stores them in order and is the only
// one to touch the output, its table and its position until it has stored the last.
int WriteBlocks(BlockWriter* w, uint64_t first, uint64_t count)
{
    const uint32_t spb = w->spb;
    const uint64_t blockBytes = spb * 512ull;
    int rc = DISK_OK;
    if (blockBytes > kBatchBytes) {
        for (uint64_t k = 0; rc == DISK_OK && k * spb < count; k++) {
            const uint64_t at = k * spb;
            const uint32_t n = static_cast<uint32_t>(count - at < spb ? count - at : spb);
            uint32_t entry = 0;
            rc = StoreBlockInPieces(w, k, first + at, n, w->buffer, kBatchSectors, &entry);
            if (rc == DISK_OK && entry != 0) rc = Window_Set(w->out, &w->table, k, entry);
            if (rc == DISK_OK) rc = Report(w, first + at + n);
        }
        return rc;
    }
    StorePipe pipe;
    std::memset(&pipe, 0, sizeof pipe);
    pipe.w = w;
    pipe.batches[0].buffer = w->buffer;
    for (uint32_t i = 1; i < kPipeBatches; i++) {
        pipe.batches[i].buffer = static_cast<uint8_t*>(Mem_Alloc(kBatchBytes));
        if (pipe.batches[i].buffer == nullptr) rc = DISK_ERR_NOMEM;
    }
    WorkPool* pool = rc == DISK_OK ? WorkPool_Create(1, kPipeBatches, StoreTask, &pipe) : nullptr;
    if (pool == nullptr) rc = DISK_ERR_NOMEM;
    const uint32_t perBatch = static_cast<uint32_t>(kBatchBytes / blockBytes);
    uint8_t bits[kBatchSectors / 8];
    for (uint64_t k = 0; rc == DISK_OK && k * spb < count; k += perBatch) {
        const uint64_t at = k * spb;
        const uint64_t from = first + at;
        const uint32_t sectors =
            static_cast<uint32_t>(count - at < perBatch * spb ? count - at : perBatch * spb);
        const uint32_t blocks = (sectors + spb - 1) / spb;
        // Which blocks must be read: not known to be zeros, not free in the map.
        bool batchZero = false;
        if (!w->keepAllocation && w->present == nullptr)
            rc = Disk_IsRangeKnownZero(w->source, from, sectors, &batchZero);
        if (rc == DISK_OK && batchZero) {
            // A hole of the source is seldom one batch long: the whole batches after this one
            // that it covers are passed with it, up to kSkipBatches at once.
            uint64_t batches = 1;
            while (batches < kSkipBatches && (k + 2 * batches * perBatch) * spb <= count) {
                bool zero = false;
                rc = Disk_IsRangeKnownZero(w->source, from,
                                           static_cast<uint32_t>(2 * batches * perBatch * spb),
                                           &zero);
                if (rc != DISK_OK || !zero) break;
                batches *= 2;
            }
            // More than one batch is passed only in whole batches inside the range.
            const uint64_t passed = batches == 1 ? sectors : batches * perBatch * spb;
            if (rc == DISK_OK) rc = Report(w, from + passed);
            k += (batches - 1) * perBatch;
            continue;
        }
        // A free place for the batch: the oldest one handed over is stored first.
        uint32_t slot = 0;
        int stored = DISK_OK;
        if (rc == DISK_OK && WorkPool_IsFull(pool) && WorkPool_Take(pool, &slot, &stored))
            rc = stored;
        if (rc != DISK_OK) break;
        Batch* b = &pipe.batches[WorkPool_NextSlot(pool)];
        b->k = k;
        b->blocks = blocks;
        if (w->map != nullptr)
            rc = UsedMap_GetUsedBits(w->map, from, static_cast<int32_t>(sectors), bits);
        for (uint32_t i = 0; rc == DISK_OK && i < blocks; i++) {
            const uint32_t n = sectors - i * spb < spb ? sectors - i * spb : spb;
            bool leftOut =
                !w->keepAllocation && w->map != nullptr && !Bits_AnySet(bits, i * spb, n);
            if (!leftOut) rc = BlockLeftOut(w, k + i, from + i * spb, n, &leftOut);
            b->read[i] = leftOut ? 0 : 1;
        }
        // Runs of blocks to read, each with one read per used run.
        for (uint32_t i = 0; rc == DISK_OK && i < blocks;) {
            uint32_t j = i;
            while (j < blocks && b->read[j]) j++;
            if (j > i) {
                const uint32_t end = j * spb < sectors ? j * spb : sectors;
                rc = ReadRuns(w->source, from + i * spb, w->map != nullptr ? bits : nullptr,
                              i * spb, end - i * spb, b->buffer + i * blockBytes);
            }
            i = j + 1;
        }
        if (rc == DISK_OK && sectors % spb != 0)
            std::memset(b->buffer + sectors * 512ull, 0, blocks * blockBytes - sectors * 512ull);
        if (rc == DISK_OK) WorkPool_Submit(pool);
        if (rc == DISK_OK) rc = Report(w, from + sectors);
    }
    // Every batch handed over is stored before the output is used again; after a failure the
    // batches not started are dropped.
    if (pool != nullptr && rc != DISK_OK) WorkPool_Cancel(pool, rc);
    uint32_t slot = 0;
    int stored = DISK_OK;
    while (pool != nullptr && WorkPool_Take(pool, &slot, &stored))
        if (rc == DISK_OK) rc = stored;
    WorkPool_Free(pool);
    for (uint32_t i = 1; i < kPipeBatches; i++) Mem_Free(pipe.batches[i].buffer);
    return rc;
}

// Writes the rest of the table, then `fill` from its end to the data start.
int FinishTable(BlockWriter* w, uint64_t dataStartBytes, uint8_t fill)
{
    int rc = DISK_OK;
    while (rc == DISK_OK && w->table.first < w->table.entries) rc = Window_Flush(w->out, &w->table);
    if (rc == DISK_OK)
        rc = FillRange(w->out, 64 + 4 * w->table.entries, dataStartBytes, fill, w->buffer,
                       kBatchBytes);
    return rc;
}

}  // namespace

int Parallels_WriteBlock(ByteStream* out, uint64_t* position, const DiskHandle* source,
                         UsedSectorMap* map, uint64_t first, uint32_t count, uint32_t blockSectors,
                         uint8_t* buffer, uint32_t* entry, uint32_t base, bool keepAllocation)
{
    if (out == nullptr || position == nullptr || source == nullptr || buffer == nullptr ||
        entry == nullptr || blockSectors == 0 || count > blockSectors)
        return DISK_ERR_ARG;
    BlockWriter w;
    std::memset(&w, 0, sizeof w);
    w.out = out;
    w.source = source;
    w.map = map;
    w.spb = blockSectors;
    w.position = *position;
    w.base = base;
    w.unit = 1;
    w.keepAllocation = keepAllocation;
    int rc = StoreBlockInPieces(&w, 0, first, count, buffer, PARALLELS_COPY_BYTES / 512, entry);
    if (rc == DISK_OK) *position = w.position;
    return rc;
}

int ParallelsData_WriteBlock(ByteStream* out, uint64_t* position, const DiskHandle* source,
                             UsedSectorMap* map, uint64_t first, uint32_t count,
                             uint32_t blockSectors, uint8_t* buffer, uint32_t* entry, uint32_t base,
                             bool keepAllocation)
{
    return Parallels_WriteBlock(out, position, source, map, first, count, blockSectors, buffer,
                                entry, base, keepAllocation);
}

// ---- Single file -------------------------------------------------------------------------------

ParallelsImage* Parallels_Alloc()
{
    return static_cast<ParallelsImage*>(Mem_Alloc(sizeof(ParallelsImage)));
}

void Parallels_Init(ParallelsImage* image) { std::memset(image, 0, sizeof *image); }

void Parallels_Close(void* object)
{
    ParallelsImage* image = static_cast<ParallelsImage*>(object);
    if (image == nullptr) return;
    if (image->stream != nullptr) Stream_Close(image->stream);
    Mem_Free(image->tableCache.slots);
    Mem_Free(image->path);
    Parallels_Init(image);
}

static int ParallelsOpenCallback(ParallelsImage* image, FileOpenFn open, void* user,
                                 const char* path, bool readOnly)
{
    if (image == nullptr || path == nullptr) return DISK_ERR_ARG;
    Parallels_Init(image);
    // A bundle directory (same extension) is not a single file: leave it to the bundle.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return Refusal_Record("Parallels image: a directory, not a file");
    TableFile t;
    int rc = OpenTableFile(open, user, path, readOnly, false, &t);
    if (rc != DISK_OK) return rc;
    const ParallelsHeader& h = t.header;
    const uint64_t spb = h.sectorsPerBlock;
    uint64_t total = 0, dataStart = 0;
    uint32_t heads = h.heads, sectorsPerTrack = h.sectorsPerBlock;
    const char* why = nullptr;
    if (t.extended) {
        total = h.totalSectors | (static_cast<uint64_t>(h.reserved40) << 32);
        dataStart = h.dataStart != 0 ? h.dataStart : (64 + 4ull * h.entries + 511) / 512;
    } else {
        dataStart = DataStartBytes(h.entries) / 512;
    }
    // The table is walked once, in pieces: its present entries are counted and checked, and
    // only a few windows of it are kept while the image is open.
    const EntryBounds bounds = {0, dataStart, t.size / 512, t.extended ? spb : 1, spb};
    uint32_t allocated = 0;
    bool inside = true;
    rc = ScanTable(t.stream, h.entries, bounds, &allocated, &inside);
    if (rc != DISK_OK) {
        CloseTableFile(&t);
        return rc;
    }
    if (t.extended) {
        if (total == 0)
            why = "Parallels header: disk size is zero";
        else if (total > h.entries * spb)
            why = "Parallels header: block table does not cover the disk";
        else if (dataStart * 512 < 64 + 4ull * h.entries)
            why = "Parallels header: data start inside the block table";
        else if (t.size < dataStart * 512)
            why = "Parallels header: data start past the end of the file";
        // The geometry fields are informative only: heads x cylinders x a track of up to 255
        // sectors when they describe the disk, else 16 heads of 32 sectors.
        const uint64_t cylinder = static_cast<uint64_t>(h.heads) * h.cylinders;
        const uint64_t track = cylinder != 0 ? total / cylinder : 0;
        if (track >= 1 && track <= 255 && h.heads <= 255) {
            sectorsPerTrack = static_cast<uint32_t>(track);
        } else {
            heads = 16;
            sectorsPerTrack = 32;
        }
    } else {
        const uint64_t blocks = static_cast<uint64_t>(h.heads) * h.cylinders;
        total = blocks * spb;
        if (h.heads == 0 || h.cylinders == 0)
            why = "Parallels header: zero heads or cylinders";
        else if (total > 0xFFFFFFFFull)
            why = "Parallels header: disk of 2^32 sectors or more";
        else if (blocks > h.entries)
            why = "Parallels header: block table does not cover the disk";
        else if (t.size != dataStart * 512 + static_cast<uint64_t>(allocated) * spb * 512)
            why = "Parallels image: file size differs from its data start and stored blocks";
    }
    if (why == nullptr && !inside)
        why = "Parallels block table: entry points outside the data area";
    if (why != nullptr) {
        CloseTableFile(&t);
        return Refusal_Record(why);
    }
    image->path = CopyPath(path);
    if (image->path == nullptr) {
        CloseTableFile(&t);
        return DISK_ERR_NOMEM;
    }
    image->header = h;
    image->entries = h.entries;
    image->allocated = allocated;
    image->sectorsPerBlock = h.sectorsPerBlock;
    image->blockBytes = h.sectorsPerBlock * 512;
    image->extended = t.extended;
    image->unit = t.extended ? h.sectorsPerBlock : 1;
    image->dataStart = dataStart;
    image->fileSectors = t.size / 512;
    rc = TableCache_Init(image);
    if (rc != DISK_OK) {
        CloseTableFile(&t);
        Mem_Free(image->path);
        Parallels_Init(image);
        return rc;
    }
    image->stream = t.stream;
    image->geometry.heads = heads;
    image->geometry.sectors_per_track = sectorsPerTrack;
    image->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&image->geometry, total);
    return DISK_OK;
}

int Parallels_OpenWithHandler(ParallelsImage* image, const FileOpener* opener, const char* path,
                              bool readOnly)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return ParallelsOpenCallback(image, opener->open, opener->user, path, readOnly);
}

int Parallels_Open(ParallelsImage* image, const char* path, bool readOnly)
{
    return Parallels_OpenWithHandler(image, &FileOpener_Default, path, readOnly);
}

void Parallels_SetTableWindowEntries(uint32_t entries)
{
    g_windowEntries.store(
        entries < PARALLELS_TABLE_WINDOW_ENTRIES ? entries : PARALLELS_TABLE_WINDOW_ENTRIES);
}

int Disk_OpenParallelsWithHandler(DiskHandle* handle, const FileOpener* opener, const char* path,
                                  bool readOnly, int, void*)
{
    if (handle == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    ParallelsImage* image = Parallels_Alloc();
    if (image == nullptr) return DISK_ERR_NOMEM;
    Parallels_Init(image);
    int rc = Parallels_OpenWithHandler(image, opener, path, readOnly);
    if (rc != DISK_OK) {
        Mem_Free(image);
        return rc;
    }
    handle->kind = DISK_KIND_PARALLELS;
    handle->object = image;
    return DISK_OK;
}

int Disk_OpenParallels(DiskHandle* handle, const char* path, bool readOnly)
{
    return Disk_OpenParallelsWithHandler(handle, &FileOpener_Default, path, readOnly, 0, nullptr);
}

void Parallels_GetGeometry(void* object, DiskGeometry* out)
{
    if (object != nullptr && out != nullptr) *out = static_cast<ParallelsImage*>(object)->geometry;
}

int Parallels_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    ParallelsImage* image = static_cast<ParallelsImage*>(object);
    if (image == nullptr || image->stream == nullptr || buffer == nullptr ||
        !Geometry_IsByteRangeInside(offset, length, &image->geometry))
        return DISK_ERR_ARG;
    return ReadMapped(image->stream, CachedTable{image}, image->sectorsPerBlock, image->unit, 0,
                      offset, length, static_cast<uint8_t*>(buffer),
                      [](uint64_t, uint32_t n, uint8_t* out) {
                          std::memset(out, 0, n);
                          return static_cast<int>(DISK_OK);
                      });
}

int Parallels_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                           bool* empty, RangeProgressAdapter, RangeProgressRecord*)
{
    ParallelsImage* image = static_cast<ParallelsImage*>(object);
    if (image == nullptr || image->stream == nullptr || empty == nullptr ||
        !Geometry_IsSectorRangeInside(first, count, &image->geometry))
        return DISK_ERR_ARG;
    return EmptyMapped(image->stream, CachedTable{image}, image->sectorsPerBlock, image->unit, 0,
                       map, 0, first, count, empty);
}

bool Parallels_CanCompact(void*) { return true; }

int32_t Parallels_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry) ||
        geometry->bytes_per_sector != 512 || geometry->heads == 0 ||
        geometry->sectors_per_track == 0 || geometry->sectors_per_track > kMaxBlockSectors)
        return -1;
    // The file holds whole cylinders: the rounded-up total must fit too.
    const uint64_t cylinder = static_cast<uint64_t>(geometry->heads) * geometry->sectors_per_track;
    const uint64_t total = Geometry_GetTotalSectors(geometry);
    return (total + cylinder - 1) / cylinder * cylinder > 0xFFFFFFFFull ? -1 : 0;
}

int Parallels_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     ProgressCallback callback, void* user, uint32_t flags)
{
    if (path == nullptr || source == nullptr) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (Parallels_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    const uint64_t T = Geometry_GetTotalSectors(&g);
    const uint64_t h = g.heads, s = g.sectors_per_track;
    // Whole cylinders covering every source sector; the tail reads as zeros.
    const uint64_t c = (T + h * s - 1) / (h * s);
    const uint64_t blocks = h * c;
    if (c == 0 || c > 0xFFFFFFFFull || blocks * s > 0xFFFFFFFFull) return DISK_ERR_ARG;

    ParallelsHeader header = {};
    std::memcpy(header.signature, kSignature, 16);
    header.version = PARALLELS_VERSION;
    header.heads = g.heads;
    header.cylinders = static_cast<uint32_t>(c);
    header.sectorsPerBlock = g.sectors_per_track;
    header.entries = static_cast<uint32_t>(blocks);
    header.totalSectors = (flags & PARALLELS_FLAG_NO_TOTAL) ? 0 : static_cast<uint32_t>(blocks * s);
    const uint64_t dataStart = DataStartBytes(blocks);

    BlockWriter w;
    int rc = BlockWriter_Init(&w, blocks);
    if (rc != DISK_OK) return rc;
    ByteStream* out = nullptr;
    if (!Stream_CreateWriteOnly(path, 0, false, &out)) {
        BlockWriter_Free(&w);
        return DISK_ERR_CREATE;
    }
    w.out = out;
    w.source = source;
    w.map = map;
    w.spb = header.sectorsPerBlock;
    w.position = dataStart / 512;
    w.callback = callback;
    w.user = user;
    w.total = T;
    // The table goes out once its blocks are written and the header last (until then its place
    // is a hole that reads as zeros): an output that was cancelled or failed is not taken for an
    // image.
    rc = Report(&w, 0);
    if (rc == DISK_OK) rc = WriteBlocks(&w, 0, T);
    if (rc == DISK_OK) rc = FinishTable(&w, dataStart, 0xFF);
    ParallelsHeader disk;
    HeaderToDisk(&header, &disk);
    if (rc == DISK_OK) rc = WriteKit_WriteAt(out, 0, 64, &disk);
    rc = WriteKit_CloseOutput(out, false, rc);
    BlockWriter_Free(&w);
    return rc;
}

int Parallels_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map,
                      OutputFile* output, bool preallocate, ProgressCallback callback, void* user)
{
    if (output == nullptr || path == nullptr) return DISK_ERR_ARG;
    OutputFile_Init(output);
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_PARALLELS ||
        Disk_GetObject(source) == nullptr)
        return DISK_ERR_ARG;
    ParallelsImage* image = static_cast<ParallelsImage*>(Disk_GetObject(source));
    // Entries sharing a block are refused before anything is written.
    // Entries count sectors, or whole blocks in the extended layout: a block spans this many.
    int rc = Parallels_CheckBlockTable(image->entries, image->allocated,
                                       image->sectorsPerBlock / image->unit, CachedTable{image});
    if (rc != DISK_OK) return rc;
    const char* files[1] = {image->path};
    rc = OutputEntry_ChooseNames(&output->entry, path, Path_CompactSuffix(),
                                 Path_DeleteSuffix(TEXT_ENC_UTF8), files, 1);
    if (rc != DISK_OK) return rc;
    const char* temp = reinterpret_cast<const char*>(output->entry.tempPath.data);
    const uint32_t spb = image->sectorsPerBlock;
    const uint64_t total = Geometry_GetTotalSectors(&image->geometry);
    const uint32_t entries = image->entries;
    const bool extended = image->extended;
    const uint64_t dataStart = extended ? image->dataStart * 512 : DataStartBytes(entries);

    uint8_t raw[64];
    if (!Stream_ReadAt(image->stream, 0, 64, raw)) return DISK_ERR_READ;
    if (extended) {
        // The new file is closed cleanly and has no header extension: the extension describes
        // the old file, and its block is not copied.
        std::memset(raw + 44, 0, 4);
        std::memset(raw + 56, 0, 8);
    }
    BlockWriter w;
    rc = BlockWriter_Init(&w, entries);
    if (rc != DISK_OK) return rc;
    ByteStream* out = nullptr;
    uint64_t sourceSize = 0;
    if (preallocate) {
        if (!Stream_GetSize(image->stream, &sourceSize) ||
            !Stream_CreatePreallocated(temp, sourceSize, &out)) {
            BlockWriter_Free(&w);
            return DISK_ERR_SIZE;
        }
    } else if (!Stream_CreateWriteOnly(temp, 0, false, &out)) {
        BlockWriter_Free(&w);
        return DISK_ERR_CREATE;
    }
    output->armed = true;
    w.out = out;
    w.source = source;
    w.map = map;
    w.spb = spb;
    // Extended entries count whole blocks: the blocks start on a block boundary.
    w.position = extended ? (dataStart / 512 + spb - 1) / spb * spb : dataStart / 512;
    w.unit = image->unit;
    // The image is its own source: its absent blocks are zeros.
    w.present = image;
    w.callback = callback;
    w.user = user;
    w.total = total;
    // The header (the source's 64 bytes) goes last. The file reaches stable storage when the
    // commit syncs it, before it takes the image's name.
    rc = Report(&w, 0);
    if (rc == DISK_OK) rc = WriteBlocks(&w, 0, total);
    if (rc == DISK_OK) rc = FinishTable(&w, dataStart, extended ? 0 : 0xFF);
    if (rc == DISK_OK) rc = WriteKit_WriteAt(out, 0, 64, raw);
    rc = WriteKit_CloseOutput(out, preallocate, rc);
    BlockWriter_Free(&w);
    return rc;
}

int Parallels_CommitCompact(OutputFile* output, TextView suffix, uint32_t flags)
{
    return OutputFile_Commit(output, suffix, flags);
}

int Parallels_DiscardCompact(OutputFile* output) { return OutputFile_Rollback(output); }

// ---- "Compressed" data file ----------------------------------------------------------------------

void ParallelsData_Init(ParallelsDataFile* file) { std::memset(file, 0, sizeof *file); }

void ParallelsData_Close(ParallelsDataFile* file)
{
    if (file == nullptr) return;
    if (file->stream != nullptr) Stream_Close(file->stream);
    Mem_Free(file->table);
    ParallelsData_Init(file);
}

int ParallelsData_OpenWithCallback(ParallelsDataFile* file, FileOpenFn open, void* user,
                                   const char* path, bool readOnly, uint32_t base,
                                   const ParallelsStorageImage* previous, uint32_t firstSector)
{
    if (file == nullptr || path == nullptr || open == nullptr) return DISK_ERR_ARG;
    ParallelsData_Init(file);
    TableFile t;
    int rc = OpenTableFile(open, user, path, readOnly, true, &t);
    if (rc != DISK_OK) return rc;
    const ParallelsHeader& h = t.header;
    const uint64_t spb = h.sectorsPerBlock;
    const uint64_t blocks = (static_cast<uint64_t>(h.totalSectors) + spb - 1) / spb;
    const uint64_t dataStart = h.dataStart;
    // A data file has the sector-entry layout only.
    const char* why = nullptr;
    if (t.extended)
        why = "Parallels data file: header of a single image file";
    else if (h.totalSectors == 0)
        why = "Parallels data file: total sectors is zero";
    else if (h.heads == 0 || h.cylinders == 0)
        why = "Parallels data file: zero heads or cylinders";
    else if (blocks > h.entries)
        why = "Parallels data file: block table does not cover the storage";
    else if (64 + 4ull * h.entries > dataStart * 512)
        why = "Parallels data file: data start inside the block table";
    else if (t.size != (static_cast<uint64_t>(t.allocated) * spb + dataStart) * 512)
        why = "Parallels data file: file size differs from its data start and stored blocks";
    else if (!TableFile_CheckEntries(&t, base, dataStart))
        why = "Parallels data file: block entry points outside the data area";
    if (why != nullptr) {
        CloseTableFile(&t);
        return Refusal_Record(why);
    }
    file->stream = t.stream;
    file->table = t.table;
    file->header = h;
    file->entries = h.entries;
    file->sectorsPerBlock = h.sectorsPerBlock;
    file->blockBytes = h.sectorsPerBlock * 512;
    file->base = base;
    file->previous = previous;
    file->firstSector = firstSector;
    file->geometry.heads = h.heads;
    file->geometry.sectors_per_track = h.totalSectors / h.cylinders / h.heads;
    file->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&file->geometry, h.totalSectors);
    return DISK_OK;
}

int ParallelsData_Open(ParallelsDataFile* file, const char* path, bool readOnly, uint32_t base,
                       const ParallelsStorageImage* previous, uint32_t firstSector)
{
    return ParallelsData_OpenWithCallback(file, FileOpener_DefaultOpen, nullptr, path, readOnly,
                                          base, previous, firstSector);
}

int ParallelsData_Read(ParallelsDataFile* file, uint64_t offset, uint32_t length, void* buffer)
{
    if (file == nullptr || file->stream == nullptr || buffer == nullptr ||
        !Geometry_IsByteRangeInside(offset, length, &file->geometry))
        return DISK_ERR_ARG;
    const ParallelsStorageImage* previous = file->previous;
    return ReadMapped(file->stream, LoadedTable{file->table, file->entries}, file->sectorsPerBlock,
                      1, file->base, offset, length, static_cast<uint8_t*>(buffer),
                      [previous](uint64_t at, uint32_t n, uint8_t* out) {
                          if (previous == nullptr) {
                              std::memset(out, 0, n);
                              return static_cast<int>(DISK_OK);
                          }
                          return ParallelsStorageImage_Read(previous, at, n, out);
                      });
}

int ParallelsData_IsRangeEmpty(ParallelsDataFile* file, UsedSectorMap* map, uint64_t first,
                               uint32_t count, bool* empty)
{
    if (file == nullptr || file->stream == nullptr || empty == nullptr ||
        !Geometry_IsSectorRangeInside(first, count, &file->geometry))
        return DISK_ERR_ARG;
    const uint32_t spb = file->sectorsPerBlock;
    // Absent blocks hold what the earlier images hold.
    while (count != 0) {
        const uint64_t block = first / spb;
        const uint32_t in = static_cast<uint32_t>(first % spb);
        const uint32_t n = spb - in < count ? spb - in : count;
        const uint32_t e = block < file->entries ? file->table[block] : 0;
        bool pieceEmpty = true;
        int rc = DISK_OK;
        if (e != 0) {
            rc = StoredPieceEmpty(file->stream, (static_cast<uint64_t>(e) + file->base + in) * 512,
                                  n * 512, map, first + file->firstSector, &pieceEmpty);
        } else if (file->previous != nullptr) {
            const ParallelsStorageImage* p = file->previous;
            if (p->type == 0)
                rc = ParallelsData_IsRangeEmpty(const_cast<ParallelsDataFile*>(&p->data), map,
                                                first, n, &pieceEmpty);
            else if (p->type == 1)
                rc = ParallelsFlat_IsRangeEmpty(const_cast<ParallelsFlatFile*>(&p->flat), map,
                                                first, n, &pieceEmpty);
        }
        if (rc != DISK_OK) return rc;
        if (!pieceEmpty) {
            *empty = false;
            return DISK_OK;
        }
        first += n;
        count -= n;
    }
    *empty = true;
    return DISK_OK;
}

int ParallelsData_IsRangeUnallocated(ParallelsDataFile* file, UsedSectorMap* map, uint64_t first,
                                     uint32_t count, bool* out)
{
    if (file == nullptr || file->stream == nullptr || out == nullptr ||
        !Geometry_IsSectorRangeInside(first, count, &file->geometry))
        return DISK_ERR_ARG;
    const uint32_t spb = file->sectorsPerBlock;
    uint8_t bits[4096 / 8];
    while (count != 0) {
        const uint64_t block = first / spb;
        const uint32_t in = static_cast<uint32_t>(first % spb);
        uint32_t n = spb - in < count ? spb - in : count;
        if (n > 4096) n = 4096;
        const uint32_t e = block < file->entries ? file->table[block] : 0;
        if (e != 0) {
            if (map == nullptr) {
                *out = false;
                return DISK_OK;
            }
            int rc =
                UsedMap_GetUsedBits(map, first + file->firstSector, static_cast<int32_t>(n), bits);
            if (rc != DISK_OK) return rc;
            for (uint32_t i = 0; i < n; i++) {
                if (Bits_Test(bits, i)) {
                    *out = false;
                    return DISK_OK;
                }
            }
        }
        first += n;
        count -= n;
    }
    *out = true;
    return DISK_OK;
}

bool ParallelsData_CanCompact(const ParallelsDataFile*) { return true; }

namespace {

// Writes a data file's content: blocks of the source from disk sector `first`, the table with
// zeros after it up to the data start, and last the header (host order, dataStart set), so that
// a partial file has none. `out` is closed by the caller.
int WriteDataBody(ByteStream* out, const ParallelsHeader* header, const DiskHandle* source,
                  UsedSectorMap* map, uint64_t first, uint64_t count, uint32_t base,
                  ProgressCallback callback, void* user, uint64_t diskTotal, bool keepAllocation)
{
    BlockWriter w;
    int rc = BlockWriter_Init(&w, header->entries);
    if (rc != DISK_OK) return rc;
    w.out = out;
    w.source = source;
    w.map = map;
    w.spb = header->sectorsPerBlock;
    w.position = header->dataStart;
    w.base = base;
    w.keepAllocation = keepAllocation;
    w.callback = callback;
    w.user = user;
    w.total = diskTotal;
    // Blocks past the table (a header whose count of entries is short) are not walked.
    const uint64_t covered = static_cast<uint64_t>(header->entries) * w.spb;
    rc = Report(&w, first);
    if (rc == DISK_OK) rc = WriteBlocks(&w, first, count < covered ? count : covered);
    if (rc == DISK_OK) rc = FinishTable(&w, static_cast<uint64_t>(header->dataStart) * 512, 0);
    ParallelsHeader disk;
    HeaderToDisk(header, &disk);
    if (rc == DISK_OK) rc = WriteKit_WriteAt(out, 0, 64, &disk);
    BlockWriter_Free(&w);
    return rc;
}

}  // namespace

int ParallelsData_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                         uint32_t first, uint32_t count, uint32_t base, ProgressCallback callback,
                         void* user, uint64_t diskTotal)
{
    if (path == nullptr || source == nullptr || count == 0) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    const uint64_t h = g.heads, s = g.sectors_per_track;
    if (h == 0 || s == 0 || h * s > kMaxBlockSectors * 2ull) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    if (static_cast<uint64_t>(first) + count > total) return DISK_ERR_ARG;
    const uint64_t B = Parallels_BlockSectors(h, s);
    // Every sector of the storage is covered: a partial last block is zero-padded.
    const uint64_t entries = (static_cast<uint64_t>(count) + B - 1) / B;
    const uint64_t dataStart =
        (static_cast<uint64_t>(base) * 512 + 4 * entries + 64 + B * 512 - 1) / (B * 512) * B;
    if (dataStart + entries * B > 0xFFFFFFFFull + base) return DISK_ERR_ARG;
    const uint64_t cylinders = (total + h * s - 1) / (h * s);
    ParallelsHeader header = {};
    std::memcpy(header.signature, kSignature, 16);
    header.version = PARALLELS_VERSION;
    header.heads = static_cast<uint32_t>(h);
    header.cylinders = static_cast<uint32_t>(cylinders);
    header.sectorsPerBlock = static_cast<uint32_t>(B);
    header.entries = static_cast<uint32_t>(entries);
    header.totalSectors = count;
    header.dataStart = static_cast<uint32_t>(dataStart);
    ByteStream* out = nullptr;
    if (!Stream_CreateWriteOnly(path, 0, false, &out)) return DISK_ERR_CREATE;
    int rc = WriteDataBody(out, &header, source, map, first, count, base, callback, user, diskTotal,
                           false);
    return WriteKit_CloseOutput(out, false, rc);
}

int ParallelsData_Compact(ParallelsDataFile* file, const char* tempPath, const DiskHandle* source,
                          UsedSectorMap* map, bool preallocate, ProgressCallback callback,
                          void* user, uint64_t diskTotal, bool keepAllocation)
{
    if (file == nullptr || file->stream == nullptr || tempPath == nullptr || source == nullptr)
        return DISK_ERR_ARG;
    // Entries sharing a block are refused before the temporary file is created.
    const int shared =
        Parallels_CheckBlockTable(file->entries, file->entries, file->sectorsPerBlock,
                                  LoadedTable{file->table, file->entries});
    if (shared != DISK_OK) return shared;
    ByteStream* out = nullptr;
    uint64_t size = 0;
    if (preallocate) {
        if (!Stream_GetSize(file->stream, &size) ||
            !Stream_CreatePreallocated(tempPath, size, &out))
            return DISK_ERR_SIZE;
    } else if (!Stream_CreateWriteOnly(tempPath, 0, false, &out)) {
        return DISK_ERR_CREATE;
    }
    // The header is kept as it is, its data start included. The file reaches stable storage
    // when the commit syncs it, before it takes the data file's place.
    int rc =
        WriteDataBody(out, &file->header, source, map, file->firstSector, file->header.totalSectors,
                      file->base, callback, user, diskTotal, keepAllocation);
    return WriteKit_CloseOutput(out, preallocate, rc);
}

// ---- "Plain" data file -----------------------------------------------------------------------------

void ParallelsFlat_Init(ParallelsFlatFile* file) { std::memset(file, 0, sizeof *file); }

void ParallelsFlat_Close(ParallelsFlatFile* file)
{
    if (file == nullptr) return;
    if (file->stream != nullptr) Stream_Close(file->stream);
    ParallelsFlat_Init(file);
}

int ParallelsFlat_OpenWithCallback(ParallelsFlatFile* file, FileOpenFn open, void* user,
                                   const char* path, bool readOnly, uint32_t sectors,
                                   uint32_t firstSector)
{
    if (file == nullptr || path == nullptr || open == nullptr) return DISK_ERR_ARG;
    ParallelsFlat_Init(file);
    ByteStream* s = nullptr;
    int orc = open(path, readOnly, &s, user);
    if (orc != 0) return orc == 1 ? DISK_CANCELLED : DISK_ERR_OPEN;
    uint64_t size = 0;
    if (!Stream_GetSize(s, &size)) {
        Stream_Close(s);
        return DISK_ERR_SIZE;
    }
    if (size != static_cast<uint64_t>(sectors) * 512) {
        Stream_Close(s);
        return Refusal_Record("Parallels plain data file: size differs from its storage");
    }
    file->stream = s;
    file->firstSector = firstSector;
    file->geometry.heads = 16;
    file->geometry.sectors_per_track = 63;
    file->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&file->geometry, sectors);
    return DISK_OK;
}

int ParallelsFlat_Open(ParallelsFlatFile* file, const char* path, bool readOnly, uint32_t sectors,
                       uint32_t firstSector)
{
    return ParallelsFlat_OpenWithCallback(file, FileOpener_DefaultOpen, nullptr, path, readOnly,
                                          sectors, firstSector);
}

int ParallelsFlat_Read(ParallelsFlatFile* file, uint64_t offset, uint32_t length, void* buffer)
{
    if (file == nullptr || file->stream == nullptr || buffer == nullptr ||
        !Geometry_IsByteRangeInside(offset, length, &file->geometry))
        return DISK_ERR_ARG;
    return Stream_ReadAt(file->stream, offset, length, buffer) ? DISK_OK : DISK_ERR_READ;
}

int ParallelsFlat_IsRangeEmpty(ParallelsFlatFile* file, UsedSectorMap* map, uint64_t first,
                               uint32_t count, bool* empty)
{
    if (file == nullptr || file->stream == nullptr || empty == nullptr ||
        !Geometry_IsSectorRangeInside(first, count, &file->geometry))
        return DISK_ERR_ARG;
    return StoredPieceEmpty(file->stream, first * 512, count * 512, map, first + file->firstSector,
                            empty);
}

int ParallelsFlat_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                         uint32_t first, uint32_t count, uint32_t, ProgressCallback callback,
                         void* user, uint64_t diskTotal)
{
    if (path == nullptr || source == nullptr) return DISK_ERR_ARG;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(PARALLELS_COPY_BYTES));
    if (buffer == nullptr) return DISK_ERR_NOMEM;
    ByteStream* out = nullptr;
    if (!Stream_CreateWriteOnly(path, 0, false, &out)) {
        Mem_Free(buffer);
        return DISK_ERR_CREATE;
    }
    int rc = WriteKit_Progress(callback, user, first, diskTotal) ? DISK_OK : DISK_CANCELLED;
    const uint32_t step = PARALLELS_COPY_BYTES / 512;
    // Free sectors of the map and ranges the source knows to be zeros are not read; a piece of
    // zeros is left a hole, except the file's last sector, which gives the file its length.
    for (uint64_t done = 0; rc == DISK_OK && done < count; done += step) {
        const uint32_t n = static_cast<uint32_t>(count - done < step ? count - done : step);
        bool zero = false;
        rc = Disk_IsRangeKnownZero(source, first + done, n, &zero);
        if (rc == DISK_OK && zero)
            std::memset(buffer, 0, n * 512ull);
        else if (rc == DISK_OK)
            rc = ReadUsed(source, map, first + done, n, buffer);
        if (rc == DISK_OK) {
            const bool last = done + n == count;
            uint32_t from = 0;
            if (Mem_IsZero(buffer, n * 512)) from = last ? n - 1 : n;
            if (from < n)
                rc = WriteKit_WriteAt(out, (done + from) * 512, (n - from) * 512,
                                      buffer + from * 512ull);
        }
        if (rc == DISK_OK && !WriteKit_Progress(callback, user, first + done + n, diskTotal))
            rc = DISK_CANCELLED;
    }
    if (rc == DISK_OK && count == 0 && !Stream_WriteAt(out, 0, 0, buffer)) rc = DISK_ERR_WRITE;
    rc = WriteKit_CloseOutput(out, false, rc);
    Mem_Free(buffer);
    return rc;
}

// ---- Storage images -----------------------------------------------------------------------------

void ParallelsStorageImage_Init(ParallelsStorageImage* image)
{
    std::memset(image, 0, sizeof *image);
    image->type = -1;
}

void ParallelsStorageImage_Close(ParallelsStorageImage* image)
{
    if (image == nullptr) return;
    if (image->type == 0) ParallelsData_Close(&image->data);
    if (image->type == 1) ParallelsFlat_Close(&image->flat);
    Mem_Free(image->path);
    ParallelsStorageImage_Init(image);
}

int ParallelsStorageImage_Read(const ParallelsStorageImage* image, uint64_t offset, uint32_t length,
                               void* buffer)
{
    if (image == nullptr) return DISK_ERR_ARG;
    if (image->type == 0)
        return ParallelsData_Read(const_cast<ParallelsDataFile*>(&image->data), offset, length,
                                  buffer);
    if (image->type == 1)
        return ParallelsFlat_Read(const_cast<ParallelsFlatFile*>(&image->flat), offset, length,
                                  buffer);
    return DISK_ERR_ARG;
}
