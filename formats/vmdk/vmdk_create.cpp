// The VMDK creator and the flat extent writer.
#include "formats/vmdk/vmdk_create.h"

#include <cstring>

#include "formats/vmdk/vmdk_sparse.h"
#include "disk/builtin_disks.h"
#include "disk/disk_source.h"
#include "disk/writer_kit.h"
#include "foundation/format.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "foundation/stream.h"
#include "foundation/write_kit.h"
#include "volume/used_map.h"

namespace {

const uint32_t kSector = VMDK_SECTOR_BYTES;
const uint32_t kNameCapacity = VMDK_NAME_CAPACITY;

inline bool Report(ProgressCallback progress, void* user, uint64_t done, uint64_t total)
{
    return WriteKit_Progress(progress, user, done, total);
}

inline TextView CView(const char* s)
{
    TextView v;
    Text_FromCStringUtf8(&v, s);
    return v;
}

// The bare file name of a UTF-8 path (the part after the last "/").
const char* BareName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Names the extents whose name is empty, in the caller's copy of the options.
int NameExtents(VmdkCreateOptions* options, const char* path)
{
    TextView dir, stem, ext;
    Path_SplitStemExtUtf8(CView(path), &dir, &stem, &ext);
    const uint32_t n = options->extentCount;
    const bool flat = options->flat != VMDK_LAYOUT_SPARSE;
    // One sparse extent is the output itself only when the descriptor is embedded in it; behind
    // a descriptor file of its own (split on, a disk smaller than one split piece) it is numbered.
    const bool embedded = !flat && options->split == 0;
    for (uint32_t i = 0; i < n; ++i) {
        VmdkCreateExtent* x = Vmdk_CreateOptionsExtent(options, i);
        if (!std::memchr(x->fileName, 0, sizeof x->fileName)) return DISK_ERR_ARG;
        if (x->fileName[0] != 0) continue;
        TextBuffer name;
        TextBuffer_Init(&name, x->fileName, 0, sizeof x->fileName);
        bool ok;
        if (n == 1 && embedded) {
            ok = TextBuffer_Set(&name, CView(path)) && TextBuffer_TerminateUtf8(&name);
        } else if (n == 1 && flat) {
            ok = ext.length ? Text_Format(&name, TEXT_ENC_UTF8, "%t%t-flat.%t", TEXT_ENC_UTF8, dir,
                                          TEXT_ENC_UTF8, stem, TEXT_ENC_UTF8, ext, TEXT_ENC_UTF8)
                            : Text_Format(&name, TEXT_ENC_UTF8, "%t%t-flat", TEXT_ENC_UTF8, dir,
                                          TEXT_ENC_UTF8, stem, TEXT_ENC_UTF8);
        } else {
            ok = ext.length
                     ? Text_Format(&name, TEXT_ENC_UTF8, "%t%t-s%03u.%t", TEXT_ENC_UTF8, dir,
                                   TEXT_ENC_UTF8, stem, TEXT_ENC_UTF8, i + 1, ext, TEXT_ENC_UTF8)
                     : Text_Format(&name, TEXT_ENC_UTF8, "%t%t-s%03u", TEXT_ENC_UTF8, dir,
                                   TEXT_ENC_UTF8, stem, TEXT_ENC_UTF8, i + 1);
        }
        if (!ok) {
            x->fileName[0] = 0;
            return DISK_ERR_ARG;
        }
    }
    return DISK_OK;
}

// The file path of extent i: the output directory joined with the extent's bare name.
int ExtentPath(const VmdkCreateExtent* x, const char* path, char* out)
{
    TextView dir;
    Path_SplitDir(CView(path), &dir, nullptr, TEXT_ENC_UTF8);
    const char* name = BareName(x->fileName);
    if (name[0] == 0) return DISK_ERR_ARG;
    TextBuffer b;
    TextBuffer_Init(&b, out, 0, kNameCapacity);
    if (!TextBuffer_AppendPair(&b, dir, CView(name)) || !TextBuffer_TerminateUtf8(&b))
        return DISK_ERR_ARG;
    return DISK_OK;
}

int WriteDescriptorFile(const char* path, const uint8_t* text, uint32_t length)
{
    ByteStream* out = nullptr;
    if (!Stream_CreateFile(path, &out)) return DISK_ERR_CREATE;
    bool ok = length == 0 || Stream_WriteAt(out, 0, length, text);
    bool closed = Stream_Close(out);
    return ok && closed ? DISK_OK : DISK_ERR_WRITE;
}

// Checks the options against each other and the source before anything is written.
int CheckOptions(const VmdkCreateOptions* o, uint64_t total)
{
    if (o->extentCount == 0 || o->extentCount > VMDK_MAX_EXTENTS) return DISK_ERR_ARG;
    if (o->flat > VMDK_LAYOUT_VMFS || o->split > 1) return DISK_ERR_ARG;
    // A stream-optimised image is one sparse file with its descriptor embedded.
    if (o->streamOptimized &&
        (o->extentCount != 1 || o->split != 0 || o->flat != VMDK_LAYOUT_SPARSE))
        return DISK_ERR_ARG;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < o->extentCount; ++i) {
        uint32_t sectors = Vmdk_CreateOptionsExtentConst(o, i)->sectors;
        if (sectors == 0) return DISK_ERR_ARG;
        sum += sectors;
    }
    return sum == total ? DISK_OK : DISK_ERR_ARG;
}

// The free-space filter: reads of the source with the sectors the map marks free zeroed.
struct FreeSpaceFilter {
    const DiskHandle* disk;
    UsedSectorMap* map;
    uint8_t bits[4096];  // used bits of up to 32768 sectors
};

void Filter_Close(void* impl) { Mem_Free(impl); }

void Filter_GetGeometry(void* impl, DiskGeometry* out)
{
    Disk_GetGeometry(static_cast<FreeSpaceFilter*>(impl)->disk, out);
}

int Filter_Read(void* impl, uint64_t offset, uint32_t length, void* buffer)
{
    FreeSpaceFilter* f = static_cast<FreeSpaceFilter*>(impl);
    int r = Disk_Read(f->disk, offset, length, buffer);
    if (r != DISK_OK || length == 0) return r;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint64_t end = offset + length;
    uint64_t sector = offset / kSector;
    const uint64_t last = (end - 1) / kSector;
    while (sector <= last) {
        uint64_t left = last - sector + 1;
        uint32_t n = left < sizeof f->bits * 8 ? static_cast<uint32_t>(left)
                                               : static_cast<uint32_t>(sizeof f->bits * 8);
        r = UsedMap_GetUsedBits(f->map, sector, static_cast<int32_t>(n), f->bits);
        if (r != DISK_OK) return r;
        for (uint32_t i = 0; i < n; ++i) {
            if (f->bits[i / 8] & (1u << (i % 8))) continue;
            uint64_t from = (sector + i) * kSector, to = from + kSector;
            if (from < offset) from = offset;
            if (to > end) to = end;
            std::memset(out + (from - offset), 0, static_cast<size_t>(to - from));
        }
        sector += n;
    }
    return DISK_OK;
}

int Filter_IsRangeEmpty(void* impl, UsedSectorMap* map, uint64_t first, uint32_t count, bool* empty,
                        RangeProgressAdapter adapter, RangeProgressRecord* record)
{
    FreeSpaceFilter* f = static_cast<FreeSpaceFilter*>(impl);
    return Disk_IsRangeEmpty(f->disk, map ? map : f->map, first, count, empty, adapter, record);
}

// Zeros of the disk stay zeros behind the filter.
int Filter_IsRangeKnownZero(void* impl, uint64_t first, uint32_t count, bool* zero)
{
    return Disk_IsRangeKnownZero(static_cast<FreeSpaceFilter*>(impl)->disk, first, count, zero);
}

const DiskSourceOps kFilterOps = {Filter_Close, Filter_GetGeometry, Filter_Read,
                                  Filter_IsRangeEmpty, Filter_IsRangeKnownZero};

}  // namespace

int Vmdk_OpenFreeSpaceFilter(DiskHandle* out, const DiskHandle* source, UsedSectorMap* map)
{
    if (!out || !source || !map) return DISK_ERR_ARG;
    Disk_Init(out);
    FreeSpaceFilter* f = static_cast<FreeSpaceFilter*>(Mem_Alloc(sizeof(FreeSpaceFilter)));
    DiskSource* wrapper = DiskSource_Alloc();
    ResizeView* view = ResizeDisk_Alloc();
    if (!f || !wrapper || !view) {
        Mem_Free(f);
        Mem_Free(wrapper);
        Mem_Free(view);
        return DISK_ERR_NOMEM;
    }
    f->disk = source;
    f->map = map;
    wrapper->impl = f;
    wrapper->ops = &kFilterOps;
    ResizeDisk_Init(view);
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(source, &g);
    int r = ResizeDisk_AttachStream(view, wrapper, true, Geometry_GetTotalSectors(&g));
    if (r != DISK_OK) {
        DiskSource_Close(wrapper);
        Mem_Free(view);
        return r;
    }
    out->kind = DISK_KIND_RESIZE;
    out->object = view;
    return DISK_OK;
}

int Vmdk_FillTempPair(OutputFile* output, const char* path, TextView suffix)
{
    OutputFile_Init(output);
    TextView none = {nullptr, 0};
    return OutputEntry_ChooseNames(&output->entry, path, suffix, none, nullptr, 0);
}

int VmdkFlat_Write(const char* path, const DiskHandle* source, UsedSectorMap* map, OutputFile* temp,
                   uint64_t dataOffset, uint64_t firstSourceSector, uint32_t sectors,
                   uint8_t* buffer, ProgressCallback progress, void* user, uint64_t total)
{
    if (!path || !source) return DISK_ERR_ARG;
    uint64_t sourceEnd = 0, fileEnd = 0;
    if (!Math_AddU64(firstSourceSector, sectors, &sourceEnd) ||
        !Math_AddU64(dataOffset, static_cast<uint64_t>(sectors) * kSector, &fileEnd))
        return DISK_ERR_ARG;
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    Disk_GetGeometry(source, &g);
    const uint64_t sourceTotal = Geometry_GetTotalSectors(&g);

    const char* outPath = path;
    if (temp) {
        int r = Vmdk_FillTempPair(temp, path, Path_TempSuffix(TEXT_ENC_UTF8));
        if (r != DISK_OK) return r;
        outPath = reinterpret_cast<const char*>(temp->entry.tempPath.data);
    }
    uint8_t* own = nullptr;
    if (!buffer) {
        own = static_cast<uint8_t*>(Mem_Alloc(VMDK_COPY_BLOCK_BYTES));
        if (!own) return DISK_ERR_NOMEM;
        buffer = own;
    }
    // Written on a write-only descriptor; what is left out stays a hole, and the file gets the
    // extent's full length when it is closed.
    ByteStream* out = nullptr;
    if (!Stream_CreateWriteOnly(outPath, fileEnd, false, &out)) {
        Mem_Free(own);
        return DISK_ERR_CREATE;
    }
    if (temp) temp->armed = true;

    int r = Report(progress, user, firstSourceSector, total) ? DISK_OK : DISK_CANCELLED;
    for (uint32_t done = 0; r == DISK_OK && done < sectors;) {
        uint32_t n =
            sectors - done < VMDK_COPY_BLOCK_SECTORS ? sectors - done : VMDK_COPY_BLOCK_SECTORS;
        uint64_t src = firstSourceSector + done;
        uint32_t inSource = 0;
        if (src < sourceTotal)
            inSource = sourceTotal - src < n ? static_cast<uint32_t>(sourceTotal - src) : n;
        bool store = false;
        if (inSource) {
            // One read of the used runs serves the zero test and the copy; a block known to be
            // zeros or free by the map is not read.
            WriterPiece piece;
            r = WriterKit_ReadPiece(source, map, src, inSource, buffer, &piece);
            if (r != DISK_OK) break;
            store = !piece.zero;
        }
        if (store) {
            if (inSource < n) std::memset(buffer + inSource * kSector, 0, (n - inSource) * kSector);
            uint64_t at = dataOffset + static_cast<uint64_t>(done) * kSector;
            if (WriteKit_WriteDataOnly(out, at, n * kSector, buffer) != DISK_OK) {
                r = DISK_ERR_WRITE;
                break;
            }
        }
        done += n;
        if (!Report(progress, user, firstSourceSector + done, total)) r = DISK_CANCELLED;
    }
    bool closed = Stream_Close(out);
    if (r == DISK_OK && !closed) r = DISK_ERR_WRITE;
    Mem_Free(own);
    return r;
}

int Vmdk_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                ProgressCallback progress, void* user, const VmdkCreateOptions* options)
{
    if (!path || !source || !options) return DISK_ERR_ARG;
    if (std::strlen(path) >= kNameCapacity) return DISK_ERR_ARG;
    if (options->extentCount == 0 || options->extentCount > VMDK_MAX_EXTENTS) return DISK_ERR_ARG;
    DiskGeometry geometry;
    std::memset(&geometry, 0, sizeof geometry);
    Disk_GetGeometry(source, &geometry);
    if (geometry.bytes_per_sector != kSector) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&geometry);
    int r = CheckOptions(options, total);
    if (r != DISK_OK) return r;

    VmdkCreateOptions* o = Vmdk_CopyCreateOptions(options);
    if (!o) return DISK_ERR_NOMEM;
    const uint32_t n = o->extentCount;
    const bool flat = o->flat != VMDK_LAYOUT_SPARSE;
    const bool separate = o->split != 0 || flat;
    const uint32_t textCapacity = n * VMDK_CREATE_TEXT_BYTES_PER_EXTENT > VMDK_CREATE_TEXT_MIN_BYTES
                                      ? n * VMDK_CREATE_TEXT_BYTES_PER_EXTENT
                                      : VMDK_CREATE_TEXT_MIN_BYTES;
    uint8_t* text = static_cast<uint8_t*>(Mem_Alloc(textCapacity));
    char* paths = static_cast<char*>(Mem_Alloc(n * kNameCapacity));
    uint8_t* buffer = flat ? static_cast<uint8_t*>(Mem_Alloc(VMDK_COPY_BLOCK_BYTES)) : nullptr;
    if (!text || !paths || (flat && !buffer)) r = DISK_ERR_NOMEM;

    // Names and paths, checked before anything is written.
    if (r == DISK_OK) r = NameExtents(o, path);
    for (uint32_t i = 0; r == DISK_OK && i < n; ++i) {
        char* p = paths + static_cast<size_t>(i) * kNameCapacity;
        if (!separate) {
            std::strcpy(p, path);
            continue;
        }
        r = ExtentPath(Vmdk_CreateOptionsExtent(o, i), path, p);
        if (r == DISK_OK && std::strcmp(p, path) == 0) r = DISK_ERR_ARG;
        for (uint32_t j = 0; r == DISK_OK && j < i; ++j)
            if (std::strcmp(p, paths + static_cast<size_t>(j) * kNameCapacity) == 0)
                r = DISK_ERR_ARG;
    }

    // The descriptor text.
    uint32_t textLength = 0;
    if (r == DISK_OK) {
        std::memset(text, 0, textCapacity);
        TextEncoding encoding =
            o->encodingChoice == VMDK_ENCODING_SHIFT_JIS ? TEXT_ENC_SJIS : TEXT_ENC_UTF8;
        textLength = Vmdk_WriteDescriptor(text, textCapacity, o, &geometry, encoding);
        if (textLength == 0)
            r = Refusal_Record("VMDK descriptor: the disk's layout cannot be described");
    }
    if (r == DISK_OK && !Report(progress, user, 0, total)) r = DISK_CANCELLED;

    const bool compressed = o->compressedGrains != 0 || o->streamOptimized != 0;
    // Grains that hold used sectors are stored without the garbage of their free sectors.
    DiskHandle filtered;
    Disk_Init(&filtered);
    const DiskHandle* sparseSource = source;
    if (r == DISK_OK && map && !flat) {
        r = Vmdk_OpenFreeSpaceFilter(&filtered, source, map);
        sparseSource = &filtered;
    }
    // Every extent but the last ends on a grain boundary (see VmdkSparse_GrainInImage).
    uint32_t* sizes = static_cast<uint32_t*>(Mem_Alloc(n * 4));
    if (r == DISK_OK && !sizes) r = DISK_ERR_NOMEM;
    for (uint32_t i = 0; r == DISK_OK && i < n; ++i)
        sizes[i] = Vmdk_CreateOptionsExtent(o, i)->sectors;
    if (r == DISK_OK && separate) {
        uint64_t first = 0;
        for (uint32_t i = 0; r == DISK_OK && i < n; ++i) {
            const char* p = paths + static_cast<size_t>(i) * kNameCapacity;
            uint32_t sectors = Vmdk_CreateOptionsExtent(o, i)->sectors;
            if (flat) {
                r = VmdkFlat_Write(p, source, map, nullptr, 0, first, sectors, buffer, progress,
                                   user, total);
            } else {
                r = VmdkSparse_Write(p, sparseSource, map, nullptr, 0, nullptr, o->hwVersionIndex,
                                     first, sectors, false, compressed, false, progress, user,
                                     total, VmdkSparse_GrainInImage(sizes, n, i));
            }
            first += sectors;
        }
    } else if (r == DISK_OK) {
        r = VmdkSparse_Write(path, sparseSource, map, nullptr, VMDK_EMBEDDED_DESCRIPTOR_SECTORS,
                             text, o->hwVersionIndex, 0, Vmdk_CreateOptionsExtent(o, 0)->sectors,
                             false, compressed, o->streamOptimized != 0, progress, user, total);
    }
    // A separate descriptor is written once every extent is whole: a run that was cancelled or
    // failed leaves extents that no descriptor names.
    if (r == DISK_OK && separate) r = WriteDescriptorFile(path, text, textLength);
    Disk_Close(&filtered);
    Mem_Free(sizes);
    Mem_Free(buffer);
    Mem_Free(paths);
    Mem_Free(text);
    Mem_Free(o);
    return r;
}
