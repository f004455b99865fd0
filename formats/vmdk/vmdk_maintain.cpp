// VMDK compaction, rewriting without free space, capacity expansion, child disks and
// descriptor parameter changes.
#include "formats/vmdk/vmdk_maintain.h"

#include <cstring>
#include <ctime>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "disk/builtin_disks.h"
#include "disk/disk_open.h"
#include "disk/disk_source.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_create.h"
#include "formats/vmdk/vmdk_sparse.h"
#include "foundation/array.h"
#include "foundation/encoding.h"
#include "foundation/format.h"
#include "foundation/in_place.h"
#include "foundation/output_set.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "foundation/stream.h"
#include "foundation/write_kit.h"
#include "foundation/text_ops.h"

namespace {

const uint32_t kSector = VMDK_SECTOR_BYTES;
const uint32_t kNameCapacity = VMDK_NAME_CAPACITY;
// Room for the longest descriptor a reader accepts, and its terminator.
const uint32_t kTextCapacity = VMDK_MAX_DESCRIPTOR_BYTES + 8;
const uint32_t kEmbeddedBytes = VMDK_EMBEDDED_DESCRIPTOR_SECTORS * VMDK_SECTOR_BYTES;

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

const char* BareName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

VmdkImage* ImageOf(const DiskHandle* handle)
{
    if (!handle || handle->kind != DISK_KIND_VMDK || !handle->object) return nullptr;
    VmdkImage* image = static_cast<VmdkImage*>(handle->object);
    if (image->extentCount == 0) return nullptr;
    if (image->flat ? image->flatExtents == nullptr : image->sparseExtents == nullptr)
        return nullptr;
    return image;
}

uint32_t ExtentSectors(const VmdkImage* image, uint32_t i)
{
    return image->flat ? image->flatExtents[i].sectors : image->sparseExtents[i].extentSectors;
}

uint64_t TotalOf(const VmdkImage* image) { return Geometry_GetTotalSectors(&image->geometry); }

// A descriptor path given by the caller, or the image's own.
const char* DescriptorPathOf(const VmdkImage* image, const char* given)
{
    const char* p = given ? given : image->path;
    return std::strlen(p) < kNameCapacity ? p : nullptr;
}

// Capacity written into a new header: rounded up to whole 128 sectors for the hardware
// versions "3", "4" and "5".
uint64_t HeaderCapacity(uint64_t sectors, uint32_t hwVersionIndex)
{
    return hwVersionIndex < 3 ? (sectors + 127) / 128 * 128 : sectors;
}

// A header with the writers' fixed layout (redundant set after the descriptor, then the
// primary set, grains from overHead) for any grain size.
int BuildFixedHeader(VmdkSparseHeader* h, uint64_t capacity, uint64_t grainSectors,
                     uint32_t descriptorSectors, bool compressed)
{
    if (grainSectors == 0 || (grainSectors & (grainSectors - 1)) != 0)
        return Refusal_Record("VMDK sparse header: grain size is not a power of two");
    if (grainSectors > VMDK_MAX_GRAIN_SECTORS)
        return Refusal_Record("VMDK sparse header: grain size too large");
    if (descriptorSectors > VMDK_MAX_DESCRIPTOR_SECTORS)
        return Refusal_Record("VMDK sparse header: descriptor size out of range");
    std::memset(h, 0, sizeof *h);
    h->magic = VMDK_SPARSE_MAGIC;
    h->version = compressed ? 3 : 1;
    h->flags = compressed ? VMDK_FLAGS_COMPRESSED_WRITTEN : VMDK_FLAGS_PLAIN;
    h->compressAlgorithm = compressed ? VMDK_COMPRESS_DEFLATE : VMDK_COMPRESS_NONE;
    h->capacity = capacity;
    h->grainSize = grainSectors;
    h->descriptorOffset = descriptorSectors ? 1 : 0;
    h->descriptorSize = descriptorSectors;
    h->numGTEsPerGT = VMDK_GT_ENTRIES;
    h->singleEndLineChar = 0x0A;
    h->nonEndLineChar = 0x20;
    h->doubleEndLineChar1 = 0x0D;
    h->doubleEndLineChar2 = 0x0A;
    const uint64_t perTable = VMDK_GT_ENTRIES * grainSectors;
    const uint64_t tables = (capacity + perTable - 1) / perTable;
    const uint64_t gdSectors = (tables + 127) / 128;
    const uint64_t setSectors = gdSectors + VMDK_GT_SECTORS * tables;
    h->rgdOffset = static_cast<uint64_t>(descriptorSectors) + 1;
    h->gdOffset = h->rgdOffset + setSectors;
    const uint64_t end = h->gdOffset + setSectors;
    const uint64_t round = grainSectors > 128 ? grainSectors : 128;
    h->overHead = (end + round - 1) / round * round;
    return h->overHead <= 0xFFFFFFFFull ? DISK_OK : DISK_ERR_ARG;
}

// A copy of an extent record that describes another output (header, extent sectors, first
// sector); it shares the original's stream and buffers and is freed with Mem_Free only.
VmdkSparseExtent* PrepareExtent(const VmdkSparseExtent* original)
{
    VmdkSparseExtent* copy = static_cast<VmdkSparseExtent*>(Mem_Alloc(sizeof(VmdkSparseExtent)));
    if (copy) std::memcpy(static_cast<void*>(copy), original, sizeof(VmdkSparseExtent));
    return copy;
}

// ---- Edits and descriptor texts ------------------------------------------------------------------

VmdkDescriptorEdits* AllocEdits()
{
    VmdkDescriptorEdits* edits =
        static_cast<VmdkDescriptorEdits*>(Mem_Alloc(sizeof(VmdkDescriptorEdits)));
    if (edits) Vmdk_ClearDescriptorEdits(edits);
    return edits;
}

VmdkDescriptor* AllocDescriptor()
{
    VmdkDescriptor* d = static_cast<VmdkDescriptor*>(Mem_Alloc(sizeof(VmdkDescriptor)));
    if (d) Vmdk_InitDescriptor(d);
    return d;
}

void SetText(VmdkEditText* item, TextView value)
{
    item->set = 1;
    item->remove = 0;
    item->value = value;
}

// Extent edit with a name given in some encoding, kept in UTF-8 in the edit's own storage.
bool SetExtent(VmdkExtentEdit* x, uint32_t sectors, TextView name, TextEncoding encoding,
               bool makeSparse)
{
    TextBuffer b;
    TextBuffer_Init(&b, x->fileNameStorage, 0, sizeof x->fileNameStorage);
    if (!Enc_ConvertAppend(&b, TEXT_ENC_UTF8, name, encoding)) return false;
    TextBuffer_View(&b, &x->fileName);
    x->set = 1;
    x->sectors = sectors;
    x->makeSparse = makeSparse ? 1 : 0;
    return true;
}

TextView OldText(const VmdkImage* image)
{
    return TextView{image->descriptorText.data, image->descriptorText.length};
}

// Rewrites the image's descriptor with the edits (values and names in UTF-8, output in the old
// text's encoding) and checks that the result reads back: valid text within the reader's
// limit that parses, with `extents` extents. DISK_ERR_FORMAT otherwise.
int RewriteChecked(const VmdkImage* image, const VmdkDescriptorEdits* edits, TextBuffer* out,
                   bool embedded, uint32_t extents, VmdkDescriptor* check)
{
    if (!Vmdk_RewriteDescriptorUtf8(OldText(image), image->descriptor.textEncoding, out, edits,
                                    TEXT_ENC_UTF8))
        return Refusal_Record("VMDK descriptor: cannot be rewritten");
    if (out->length > VMDK_MAX_DESCRIPTOR_BYTES)
        return Refusal_Record("VMDK descriptor: text too large");
    uint32_t length = 0;
    const int r = Vmdk_CheckDescriptorText(check, out->data, out->length, embedded, &length);
    if (r != DISK_OK) return r;
    if (length != out->length)
        return Refusal_Record("VMDK descriptor: rewritten text does not read back whole");
    if (check->extentCount != extents)
        return Refusal_Record("VMDK descriptor: rewritten text has another number of extents");
    return DISK_OK;
}

// After the last extent line of a rewritten text, inserts flat extent lines for edits
// from..to-1 (the rewrite adds new extents as sparse lines only).
int InsertFlatExtentLines(TextBuffer* text, TextEncoding encoding, const VmdkDescriptorEdits* edits,
                          uint32_t from, uint32_t to, VmdkDescriptor* scratch)
{
    Vmdk_InitDescriptor(scratch);
    if (!Vmdk_ParseDescriptor(scratch, TextView{text->data, text->length}))
        return Refusal_Record("VMDK descriptor: text does not parse");
    if (scratch->extentCount == 0) return Refusal_Record("VMDK descriptor: no extent lines");
    const TextView& name = scratch->extents[scratch->extentCount - 1].fileName;
    uint32_t at = static_cast<uint32_t>(name.data + name.length - text->data);
    while (at < text->length && text->data[at] != '\n') ++at;
    if (at < text->length) ++at;
    const uint32_t capacity = (to - from) * (kNameCapacity + 64) + 8;
    uint8_t* storage = static_cast<uint8_t*>(Mem_Alloc(capacity));
    if (!storage) return DISK_ERR_NOMEM;
    TextBuffer lines;
    TextBuffer_Init(&lines, storage, 0, capacity);
    bool ok = true;
    for (uint32_t i = from; ok && i < to; ++i)
        ok = Text_Format(&lines, encoding, "RW %u FLAT \"%t\" 0\n", TEXT_ENC_UTF8,
                         edits->extents[i].sectors, edits->extents[i].fileName, TEXT_ENC_UTF8);
    TextView view;
    TextBuffer_View(&lines, &view);
    ok = ok && TextBuffer_Insert(text, at, view) && TextBuffer_Terminate(text, encoding);
    Mem_Free(storage);
    return ok ? DISK_OK : Refusal_Record("VMDK descriptor: extent lines do not fit the text");
}

// ---- Files -------------------------------------------------------------------------------------

// Writes bytes into a new file under the temporary name of the output, arming it once created.
int WriteTempFile(OutputFile* output, const char* finalPath, const uint8_t* bytes, uint32_t length)
{
    int r = Vmdk_FillTempPair(output, finalPath, Path_TempSuffix(TEXT_ENC_UTF8));
    if (r != DISK_OK) return r;
    ByteStream* s = nullptr;
    if (!Stream_CreateFile(reinterpret_cast<const char*>(output->entry.tempPath.data), &s))
        return DISK_ERR_CREATE;
    output->armed = true;
    bool ok = length == 0 || Stream_WriteAt(s, 0, length, bytes);
    bool closed = Stream_Close(s);
    return ok && closed ? DISK_OK : DISK_ERR_WRITE;
}

// Copies the first `bytes` bytes of a flat extent's file (the part before its data) into the
// temporary file of its output.
int CopyFlatPrefix(VmdkFlatExtent* extent, const OutputFile* output, uint64_t bytes,
                   uint8_t* buffer)
{
    if (bytes == 0) return DISK_OK;
    ByteStream* s = nullptr;
    if (!Stream_OpenFile(reinterpret_cast<const char*>(output->entry.tempPath.data), false, &s))
        return DISK_ERR_CREATE;
    int r = DISK_OK;
    for (uint64_t at = 0; r == DISK_OK && at < bytes;) {
        uint32_t n = bytes - at < VMDK_COPY_BLOCK_BYTES ? static_cast<uint32_t>(bytes - at)
                                                        : VMDK_COPY_BLOCK_BYTES;
        if (!Stream_ReadAt(extent->stream, at, n, buffer))
            r = DISK_ERR_READ;
        else if (!Stream_WriteAt(s, at, n, buffer))
            r = DISK_ERR_WRITE;
        at += n;
    }
    if (!Stream_Close(s) && r == DISK_OK) r = DISK_ERR_WRITE;
    return r;
}

// The directory part of a UTF-8 path joined with a name.
int JoinDir(const char* path, TextView name, char* out)
{
    TextView dir;
    Path_SplitDir(CView(path), &dir, nullptr, TEXT_ENC_UTF8);
    TextBuffer b;
    TextBuffer_Init(&b, out, 0, kNameCapacity);
    return TextBuffer_AppendPair(&b, dir, name) && TextBuffer_TerminateUtf8(&b) ? DISK_OK
                                                                                : DISK_ERR_ARG;
}

// "<stem>-s<nnn>.<ext>" (or without the dot when the path has no extension), of a path's name.
bool NumberedName(const char* path, uint32_t number, TextBuffer* out)
{
    TextView stem, ext;
    Path_SplitStemExtUtf8(CView(path), nullptr, &stem, &ext);
    out->length = 0;
    return ext.length ? Text_Format(out, TEXT_ENC_UTF8, "%t-s%03u.%t", TEXT_ENC_UTF8, stem,
                                    TEXT_ENC_UTF8, number, ext, TEXT_ENC_UTF8)
                      : Text_Format(out, TEXT_ENC_UTF8, "%t-s%03u", TEXT_ENC_UTF8, stem,
                                    TEXT_ENC_UTF8, number);
}

// The VMDK image behind a parent source (also through a resizing view), or NULL.
const VmdkImage* ParentImage(const VmdkImage* image)
{
    const DiskSource* source = image->parent;
    if (!source) return nullptr;
    if (source->ops == &DiskSourceResizedOps) {
        const ResizeView* view = static_cast<const ResizeView*>(source->impl);
        source = view ? view->source : nullptr;
    }
    return source ? static_cast<const VmdkImage*>(DiskSource_GetVmdk(source)) : nullptr;
}

// The files (descriptor, extents) of the image and of the VMDK images further up its parent
// chain. The paths stay the images' own. False when memory is exhausted.
bool CollectChainFiles(const VmdkImage* image, PtrArray* files)
{
    PtrArray_Init(files);
    auto add = [&](const char* p) {
        return p[0] == 0 || PtrArray_Push(files, const_cast<char*>(p));
    };
    for (uint32_t depth = 0; image && depth <= VMDK_MAX_CHAIN_DEPTH; ++depth) {
        if (!add(image->path)) return false;
        for (uint32_t i = 0; i < image->extentCount; ++i) {
            if (!add(image->flat ? image->flatExtents[i].path : image->sparseExtents[i].path))
                return false;
        }
        image = ParentImage(image);
    }
    return true;
}

const char* const* ChainPaths(const PtrArray& files)
{
    return reinterpret_cast<const char* const*>(files.items);
}

// Whether a file exists at path and is one of the files (descriptor, extents) of the image or of
// a VMDK image further up its parent chain. Files are told apart by device and inode, so that
// another spelling of a path and links count as the same file. Memory exhaustion counts as a
// match (the caller refuses).
bool IsFileOfChain(const VmdkImage* image, const char* path)
{
    if (!Os_PathExists(path)) return false;
    PtrArray files;
    bool found =
        !CollectChainFiles(image, &files) || Output_IsFileOf(path, ChainPaths(files), files.count);
    PtrArray_Free(&files);
    return found;
}

// Output_CheckBackupName, except that a backup name that is the file itself (what a commit
// killed between its link and its rename leaves) passes: the commit removes it.
int CheckBackupName(const char* path, const char* const* files, uint32_t count)
{
    const TextView suffix = Path_DeleteSuffix(TEXT_ENC_UTF8);
    if (OutputSet_IsCommitTrace(path, suffix)) return DISK_OK;
    return Output_CheckBackupName(path, suffix, files, count);
}

// Refuses (DISK_ERR_ARG) an in-place rewrite whose backup name (a replaced file's name + "_del")
// of the descriptor at `path` or of an extent is a file of the image's chain: keeping the old
// file there would replace that file.
int CheckBackupNames(const VmdkImage* image, const char* path)
{
    PtrArray files;
    if (!CollectChainFiles(image, &files)) {
        PtrArray_Free(&files);
        return DISK_ERR_NOMEM;
    }
    int r = CheckBackupName(path, ChainPaths(files), files.count);
    for (uint32_t i = 0; r == DISK_OK && i < image->extentCount; ++i)
        r = CheckBackupName(image->flat ? image->flatExtents[i].path : image->sparseExtents[i].path,
                            ChainPaths(files), files.count);
    PtrArray_Free(&files);
    return r;
}

// Whether two extents of the image lie in one file (told apart by device and inode; a file that
// cannot be examined counts as shared). Such an image cannot get a new file per extent.
bool ExtentsShareAFile(const VmdkImage* image)
{
    const uint32_t n = image->extentCount;
    if (n < 2) return false;
    struct Id {
        dev_t device;
        ino_t inode;
    };
    Id* ids = static_cast<Id*>(Mem_Alloc(n * static_cast<uint32_t>(sizeof(Id))));
    if (!ids) return true;
    bool shared = false;
    for (uint32_t i = 0; i < n && !shared; ++i) {
        struct stat st;
        if (stat(image->flat ? image->flatExtents[i].path : image->sparseExtents[i].path, &st) !=
            0) {
            shared = true;
            break;
        }
        ids[i] = Id{st.st_dev, st.st_ino};
        for (uint32_t j = 0; j < i && !shared; ++j)
            shared = ids[j].device == ids[i].device && ids[j].inode == ids[i].inode;
    }
    Mem_Free(ids);
    return shared;
}

// ---- Committing sets as one ----------------------------------------------------------------------

bool CopyEntry(OutputEntry* to, const OutputEntry* from)
{
    TextView f{from->finalPath.data, from->finalPath.length};
    TextView t{from->tempPath.data, from->tempPath.length};
    return TextBuffer_Set(&to->finalPath, f) && TextBuffer_TerminateUtf8(&to->finalPath) &&
           TextBuffer_Set(&to->tempPath, t) && TextBuffer_TerminateUtf8(&to->tempPath);
}

// Commits copies of the armed outputs and the list entries as one list; the originals are not
// touched, so that the caller can still roll them back.
int CommitAsOne(const OutputFile* first, const OutputFileList* files, const OutputList* entries,
                TextView suffix, uint32_t flags)
{
    uint32_t count = first && first->armed ? 1 : 0;
    if (files)
        for (uint32_t i = 0; i < files->count; ++i) count += files->files[i].armed ? 1 : 0;
    if (entries) count += entries->count;
    if (count == 0) return DISK_OK;
    OutputFileList all;
    OutputFileList_Init(&all);
    if (!OutputFileList_Alloc(&all, count)) return DISK_ERR_NOMEM;
    bool ok = true;
    uint32_t k = 0;
    if (first && first->armed) {
        all.files[k].armed = true;
        ok = CopyEntry(&all.files[k++].entry, &first->entry);
    }
    for (uint32_t i = 0; ok && files && i < files->count; ++i) {
        if (!files->files[i].armed) continue;
        all.files[k].armed = true;
        ok = CopyEntry(&all.files[k++].entry, &files->files[i].entry);
    }
    for (uint32_t i = 0; ok && entries && i < entries->count; ++i) {
        all.files[k].armed = true;
        ok = CopyEntry(&all.files[k++].entry, &entries->entries[i]);
    }
    if (!ok) {
        // Nothing of the copy is armed for real files yet: drop it without touching a file.
        Mem_Free(all.files);
        return DISK_ERR_ARG;
    }
    all.count = k;
    return OutputFileList_Commit(&all, suffix, flags);
}

// ---- Fresh names for changed extent files --------------------------------------------------------

// A fresh name for the extent file at `path` (OutputSet_FreshName): never a file of the image's
// chain nor a name chosen before in this run (kept in `chosen`).
int ChooseFresh(const PtrArray& chain, std::vector<std::string>* chosen, const char* path,
                char* out)
{
    std::vector<const char*> avoid(ChainPaths(chain), ChainPaths(chain) + chain.count);
    for (const std::string& c : *chosen) avoid.push_back(c.c_str());
    int r = OutputSet_FreshName(path, avoid.data(), static_cast<uint32_t>(avoid.size()), out,
                                kNameCapacity);
    if (r == DISK_OK) chosen->push_back(out);
    return r;
}

// An extent edit that keeps extent i's line but names the file at freshPath: the old name's
// folder part (as the descriptor gives it) with the fresh file name.
bool RenamedExtent(const VmdkImage* image, uint32_t i, const char* freshPath, uint32_t sectors,
                   VmdkExtentEdit* x)
{
    const VmdkDescriptor& d = image->descriptor;
    if (!SetExtent(x, sectors, d.extents[i].fileName, static_cast<TextEncoding>(d.textEncoding),
                   false))
        return false;
    uint32_t keep = x->fileName.length;
    while (keep > 0 && x->fileNameStorage[keep - 1] != '/') --keep;
    TextBuffer b;
    TextBuffer_Init(&b, x->fileNameStorage, keep, sizeof x->fileNameStorage);
    if (!TextBuffer_Append(&b, CView(BareName(freshPath)))) return false;
    TextBuffer_View(&b, &x->fileName);
    return true;
}

// Appends a retired file (final path only) to a list allocated for enough entries.
bool AddRetired(OutputList* list, const char* path)
{
    OutputEntry* e = &list->entries[list->count];
    if (!TextBuffer_Set(&e->finalPath, CView(path)) || !TextBuffer_TerminateUtf8(&e->finalPath))
        return false;
    list->count++;
    return true;
}

// Whether a rewritten descriptor keeps the first `count` extents' types and offsets and their
// sizes, except the extent `resized` (VMDK_MAX_EXTENTS for none).
bool SameExtentLines(const VmdkDescriptor& old, const VmdkDescriptor& now, uint32_t count,
                     uint32_t resized)
{
    for (uint32_t i = 0; i < count; ++i)
        if (now.extents[i].type != old.extents[i].type ||
            now.extents[i].offset != old.extents[i].offset ||
            (i != resized && now.extents[i].sectors != old.extents[i].sectors))
            return false;
    return true;
}

// ---- Writing child and expanded extents -----------------------------------------------------------

// A zero disk of `sectors` sectors: the source of extents without grains.
int OpenZeroDisk(DiskHandle* zero, uint64_t sectors, const DiskGeometry* like)
{
    Disk_Init(zero);
    DiskGeometry g;
    std::memset(&g, 0, sizeof g);
    if (like) g = *like;
    Geometry_SetTotalSectors(&g, sectors);
    g.bytes_per_sector = kSector;
    return Disk_OpenZero(zero, &g);
}

}  // namespace

// ---- Sets ----------------------------------------------------------------------------------------

namespace {

// Lists the extent files that a descriptor file (or a one-file image) names, for the commit's
// clean-up of a replaced backup. The file is untrusted: it goes through the reader's checks.
void ListExtentFiles(const char* path, OutputPathSink sink, void* sinkUser, void*)
{
    ByteStream* stream = nullptr;
    if (!Stream_OpenFile(path, true, &stream)) return;
    VmdkDescriptor* d = AllocDescriptor();
    TextBuffer text;
    TextBuffer_InitEmpty(&text);
    int r = d ? Vmdk_ReadDescriptor(stream, d, &text) : DISK_ERR_NOMEM;
    Stream_Close(stream);
    char* joined = r == DISK_OK ? static_cast<char*>(Mem_Alloc(kNameCapacity)) : nullptr;
    for (uint32_t i = 0; joined && i < d->extentCount && i < VMDK_MAX_EXTENTS; ++i) {
        uint8_t storage[kNameCapacity];
        TextBuffer name;
        TextBuffer_Init(&name, storage, 0, sizeof storage);
        if (!Enc_ConvertAppend(&name, TEXT_ENC_UTF8, d->extents[i].fileName,
                               static_cast<TextEncoding>(d->textEncoding)))
            continue;
        TextView view;
        TextBuffer_View(&name, &view);
        if (std::memchr(view.data, 0, view.length) == nullptr &&
            JoinDir(path, view, joined) == DISK_OK)
            sink(joined, sinkUser);
    }
    Mem_Free(joined);
    Mem_Free(text.data);
    Mem_Free(d);
}

const char* PathOf(const TextBuffer& b) { return reinterpret_cast<const char*>(b.data); }

// Commits a descriptor with new extent files under fresh names (OutputSet_Commit). `entries`
// gives the new extents (unarmed outputs are skipped).
int CommitWithMembers(const OutputFile* descriptor, const std::vector<const OutputEntry*>& entries,
                      const OutputList* retired, TextView suffix, uint32_t flags)
{
    std::vector<const char*> finals, temps, old;
    for (const OutputEntry* e : entries) {
        finals.push_back(PathOf(e->finalPath));
        temps.push_back(PathOf(e->tempPath));
    }
    for (uint32_t i = 0; i < retired->count; ++i)
        old.push_back(PathOf(retired->entries[i].finalPath));
    OutputSetFiles files;
    std::memset(&files, 0, sizeof files);
    files.descriptorFinal = PathOf(descriptor->entry.finalPath);
    files.descriptorTemp = PathOf(descriptor->entry.tempPath);
    files.memberFinals = finals.data();
    files.memberTemps = temps.data();
    files.memberCount = static_cast<uint32_t>(finals.size());
    files.retired = old.data();
    files.retiredCount = static_cast<uint32_t>(old.size());
    files.lister = ListExtentFiles;
    return OutputSet_Commit(&files, suffix, flags);
}

// Whether the set switches a new descriptor (or one-file image) in, over new or retired extent
// files or none: the commit then also clears away the extent files of a backup it replaces.
bool HasMembers(const OutputFile& descriptor, uint32_t, const OutputList&)
{
    return descriptor.armed && descriptor.entry.tempPath.length != 0;
}

}  // namespace

void Vmdk_InitCompactSet(VmdkCompactSet* set)
{
    OutputFile_Init(&set->descriptor);
    OutputList_Init(&set->extents);
    OutputList_Init(&set->retired);
}

void Vmdk_InitTempFileSet(VmdkTempFileSet* set)
{
    OutputFile_Init(&set->descriptor);
    OutputFileList_Init(&set->extents);
    OutputList_Init(&set->retired);
}

int Vmdk_DiscardCompact(VmdkCompactSet* set)
{
    int r = OutputFile_Rollback(&set->descriptor);
    int s = OutputList_Rollback(&set->extents);
    OutputList_Rollback(&set->retired);  // final paths only: nothing to remove
    return r != DISK_OK ? r : s;
}

int Vmdk_DiscardTempFileSet(VmdkTempFileSet* set)
{
    int r = OutputFile_Rollback(&set->descriptor);
    int s = OutputFileList_Rollback(&set->extents);
    OutputList_Rollback(&set->retired);
    return r != DISK_OK ? r : s;
}

int Vmdk_CommitCompact(VmdkCompactSet* set, TextView suffix, uint32_t flags)
{
    int r;
    if (HasMembers(set->descriptor, set->extents.count, set->retired)) {
        std::vector<const OutputEntry*> entries;
        for (uint32_t i = 0; i < set->extents.count; ++i)
            entries.push_back(&set->extents.entries[i]);
        r = CommitWithMembers(&set->descriptor, entries, &set->retired, suffix, flags);
    } else {
        r = CommitAsOne(&set->descriptor, nullptr, &set->extents, suffix, flags);
    }
    if (r != DISK_OK) {
        Vmdk_DiscardCompact(set);
        return r;
    }
    set->descriptor.armed = false;
    Mem_Free(set->extents.entries);
    OutputList_Init(&set->extents);
    Mem_Free(set->retired.entries);
    OutputList_Init(&set->retired);
    return DISK_OK;
}

int Vmdk_CommitTempFileSet(VmdkTempFileSet* set, TextView suffix, uint32_t flags)
{
    int r;
    // Extent files under names that no file has (rewrite, expansion) take them before the
    // descriptor switches; a set that replaces files under their names (a child written over an
    // older one) is swapped entry by entry.
    uint32_t armed = 0;
    bool fresh = true;
    for (uint32_t i = 0; i < set->extents.count; ++i) {
        if (!set->extents.files[i].armed) continue;
        ++armed;
        fresh = fresh && !Os_PathExists(PathOf(set->extents.files[i].entry.finalPath));
    }
    if (fresh && HasMembers(set->descriptor, armed, set->retired)) {
        std::vector<const OutputEntry*> entries;
        for (uint32_t i = 0; i < set->extents.count; ++i)
            if (set->extents.files[i].armed) entries.push_back(&set->extents.files[i].entry);
        r = CommitWithMembers(&set->descriptor, entries, &set->retired, suffix, flags);
    } else {
        r = CommitAsOne(&set->descriptor, &set->extents, nullptr, suffix, flags);
    }
    if (r != DISK_OK) {
        Vmdk_DiscardTempFileSet(set);
        return r;
    }
    set->descriptor.armed = false;
    Mem_Free(set->extents.files);
    OutputFileList_Init(&set->extents);
    Mem_Free(set->retired.entries);
    OutputList_Init(&set->retired);
    return DISK_OK;
}

// ---- Compaction ------------------------------------------------------------------------------------

int Vmdk_Compact(const DiskHandle* source, UsedSectorMap* map, VmdkCompactSet* set,
                 bool preallocated, ProgressCallback progress, void* user)
{
    VmdkImage* image = ImageOf(source);
    if (!image || !set || image->flat || !Vmdk_CanCompact(image)) return DISK_ERR_ARG;
    if (ExtentsShareAFile(image)) return DISK_ERR_ARG;
    const uint32_t n = image->extentCount;
    // Compressed grains and the stream layout would end up under a header that no longer
    // describes them.
    for (uint32_t i = 0; i < n; ++i)
        if (VmdkSparse_IsCompressedOrStream(&image->sparseExtents[i])) return DISK_ERR_ARG;
    const uint64_t total = TotalOf(image);
    if (!OutputList_Alloc(&set->extents, n)) return DISK_ERR_NOMEM;
    int r = Report(progress, user, 0, total) ? DISK_OK : DISK_CANCELLED;
    const bool layer = Vmdk_HasParent(image);
    // Grains that hold used sectors are stored without the garbage of their free sectors (a
    // child keeps its layer as it is).
    DiskHandle filtered;
    Disk_Init(&filtered);
    const DiskHandle* from = source;
    if (r == DISK_OK && map && !layer) {
        r = Vmdk_OpenFreeSpaceFilter(&filtered, source, map);
        from = &filtered;
    }
    // Temporary names are never an existing file nor a file of the chain, and no replaced
    // file may be kept under the name of one. A descriptor file of its own names every extent
    // under a fresh name.
    const TextView suffix = Path_CompactSuffix();
    const bool separate = image->descriptor.split != 0;
    PtrArray files;
    PtrArray_Init(&files);
    std::vector<std::string> chosen;
    VmdkDescriptorEdits* edits = separate ? AllocEdits() : nullptr;
    VmdkDescriptor* check = separate ? AllocDescriptor() : nullptr;
    uint8_t* textStorage = separate ? static_cast<uint8_t*>(Mem_Alloc(kTextCapacity)) : nullptr;
    char* fresh = static_cast<char*>(Mem_Alloc(kNameCapacity));
    if (r == DISK_OK && (!fresh || (separate && (!edits || !check || !textStorage))))
        r = DISK_ERR_NOMEM;
    if (r == DISK_OK && !CollectChainFiles(image, &files)) r = DISK_ERR_NOMEM;
    if (r == DISK_OK && separate && !OutputList_Alloc(&set->retired, n)) r = DISK_ERR_NOMEM;
    const char* const backupOf = separate ? image->path : nullptr;
    if (r == DISK_OK && separate) r = CheckBackupName(backupOf, ChainPaths(files), files.count);
    for (uint32_t i = 0; r == DISK_OK && !separate && i < n; ++i)
        r = CheckBackupName(image->sparseExtents[i].path, ChainPaths(files), files.count);
    if (r == DISK_OK && separate) edits->extentCount = n;
    for (uint32_t i = 0; r == DISK_OK && i < n; ++i) {
        VmdkSparseExtent* e = &image->sparseExtents[i];
        OutputEntry* entry = &set->extents.entries[i];
        const char* target = e->path;
        if (separate) {
            r = ChooseFresh(files, &chosen, e->path, fresh);
            if (r == DISK_OK &&
                !RenamedExtent(image, i, fresh, image->descriptor.extents[i].sectors,
                               &edits->extents[i]))
                r = DISK_ERR_ARG;
            if (r == DISK_OK && !AddRetired(&set->retired, e->path)) r = DISK_ERR_ARG;
            if (r != DISK_OK) break;
            target = fresh;
        }
        r = OutputEntry_ChooseNames(
            entry, target, suffix,
            separate ? TextView{nullptr, 0} : Path_DeleteSuffix(TEXT_ENC_UTF8), ChainPaths(files),
            files.count);
        if (r != DISK_OK) break;
        // The temporary file exists from here on: a failure below discards it with the others.
        set->extents.count = i + 1;
        r = VmdkSparse_Compact(e, reinterpret_cast<const char*>(entry->tempPath.data), from, map,
                               layer, preallocated, progress, user, total);
    }
    if (r == DISK_OK && separate) {
        TextBuffer text;
        TextBuffer_Init(&text, textStorage, 0, kTextCapacity);
        r = RewriteChecked(image, edits, &text, false, n, check);
        if (r == DISK_OK && !SameExtentLines(image->descriptor, *check, n, VMDK_MAX_EXTENTS))
            r = Refusal_Record("VMDK descriptor: rewritten extent lines differ");
        if (r == DISK_OK) r = WriteTempFile(&set->descriptor, image->path, text.data, text.length);
    }
    Mem_Free(fresh);
    Mem_Free(textStorage);
    Mem_Free(check);
    Mem_Free(edits);
    PtrArray_Free(&files);
    Disk_Close(&filtered);
    if (r != DISK_OK) Vmdk_DiscardCompact(set);
    return r;
}

// ---- Rewriting without free space ---------------------------------------------------------------------

int Vmdk_RewriteWithoutFreeSpace(const char* descriptorPath, const DiskHandle* source,
                                 UsedSectorMap* map, VmdkTempFileSet* set, bool compress,
                                 ProgressCallback progress, void* user)
{
    VmdkImage* image = ImageOf(source);
    if (!image || !set || image->flat) return DISK_ERR_ARG;
    if (map && Vmdk_HasParent(image)) return DISK_ERR_ARG;
    if (ExtentsShareAFile(image)) return DISK_ERR_ARG;
    const char* path = DescriptorPathOf(image, descriptorPath);
    if (!path) return DISK_ERR_ARG;
    const VmdkDescriptor& d = image->descriptor;
    const uint32_t n = image->extentCount;
    const uint64_t total = TotalOf(image);
    const uint32_t hw = Vmdk_GetEffectiveHwVersion(image);
    const bool toOneFile = d.split != 0 && compress;
    const bool stream = d.split == 0 && (d.createTypeIndex == VMDK_CREATE_STREAM_OPTIMIZED ||
                                         image->sparseExtents[0].header.gdOffset == VMDK_GD_AT_END);
    if (toOneFile && total > 0xFFFFFFFFull) return DISK_ERR_ARG;
    int checked = CheckBackupNames(image, path);
    if (checked != DISK_OK) return checked;

    // A new embedded descriptor when the image becomes one file, or when a stream-optimised
    // image gets tables in place.
    VmdkDescriptorEdits* edits = nullptr;
    VmdkDescriptor* check = nullptr;
    uint8_t* textStorage = nullptr;
    VmdkSparseExtent* prepared = nullptr;
    TextBuffer text;
    TextBuffer_InitEmpty(&text);
    int r = DISK_OK;
    if (toOneFile || stream) {
        edits = AllocEdits();
        check = AllocDescriptor();
        textStorage = static_cast<uint8_t*>(Mem_Alloc(kTextCapacity));
        prepared = PrepareExtent(&image->sparseExtents[0]);
        if (!edits || !check || !textStorage || !prepared) r = DISK_ERR_NOMEM;
    }
    if (r == DISK_OK && (toOneFile || stream)) {
        SetText(&edits->createType, CView("monolithicSparse"));
        edits->extentCount = 1;
        if (!SetExtent(&edits->extents[0], static_cast<uint32_t>(total), CView(BareName(path)),
                       TEXT_ENC_UTF8, true))
            r = DISK_ERR_ARG;
        TextBuffer_Init(&text, textStorage, 0, kTextCapacity);
        if (r == DISK_OK) r = RewriteChecked(image, edits, &text, true, 1, check);
        const VmdkSparseHeader& old = image->sparseExtents[0].header;
        uint32_t descriptorSectors = VMDK_EMBEDDED_DESCRIPTOR_SECTORS;
        if (!toOneFile && old.descriptorOffset && old.descriptorSize > descriptorSectors)
            descriptorSectors = static_cast<uint32_t>(old.descriptorSize);
        if (r == DISK_OK && text.length > descriptorSectors * kSector) r = DISK_ERR_ARG;
        if (r == DISK_OK) {
            uint64_t capacity = toOneFile ? HeaderCapacity(total, hw) : old.capacity;
            // One file of a split image takes the grain of its last extent: the first may have
            // tiny grains of its own (a 63-sector first track).
            uint64_t grain = toOneFile
                                 ? image->sparseExtents[image->extentCount - 1].header.grainSize
                                 : old.grainSize;
            r = BuildFixedHeader(&prepared->header, capacity, grain, descriptorSectors, compress);
        }
        if (r == DISK_OK && toOneFile) {
            prepared->extentSectors = static_cast<uint32_t>(total);
            prepared->firstSector = 0;
        }
    }
    if (r == DISK_OK && !Report(progress, user, 0, total)) r = DISK_CANCELLED;
    // A map comes only with a base image: grains are stored without the garbage of their free
    // sectors.
    DiskHandle filtered;
    Disk_Init(&filtered);
    if (r == DISK_OK && map) {
        r = Vmdk_OpenFreeSpaceFilter(&filtered, source, map);
        source = &filtered;
    }

    if (r == DISK_OK && (toOneFile || stream)) {
        r = VmdkSparse_Rewrite(prepared, path, source, map, &set->descriptor, text.data,
                               text.length, compress, progress, user, total);
        // The old extents of a split image are retired on commit: the kept descriptor names them.
        if (r == DISK_OK && toOneFile) {
            if (!OutputList_Alloc(&set->retired, n)) r = DISK_ERR_NOMEM;
            for (uint32_t i = 0; r == DISK_OK && i < n; ++i) {
                const char* extentPath = image->sparseExtents[i].path;
                if (std::strcmp(extentPath, path) == 0) continue;
                if (!AddRetired(&set->retired, extentPath)) r = DISK_ERR_ARG;
            }
        }
    } else if (r == DISK_OK && d.split) {
        // Every extent rewritten for a fresh name, and the descriptor naming them.
        PtrArray files;
        PtrArray_Init(&files);
        std::vector<std::string> chosen;
        edits = AllocEdits();
        check = AllocDescriptor();
        textStorage = static_cast<uint8_t*>(Mem_Alloc(kTextCapacity));
        char* fresh = static_cast<char*>(Mem_Alloc(kNameCapacity));
        if (!edits || !check || !textStorage || !fresh || !CollectChainFiles(image, &files))
            r = DISK_ERR_NOMEM;
        if (r == DISK_OK &&
            (!OutputFileList_Alloc(&set->extents, n) || !OutputList_Alloc(&set->retired, n)))
            r = DISK_ERR_NOMEM;
        if (r == DISK_OK) edits->extentCount = n;
        for (uint32_t i = 0; r == DISK_OK && i < n; ++i) {
            VmdkSparseExtent* e = &image->sparseExtents[i];
            r = ChooseFresh(files, &chosen, e->path, fresh);
            if (r == DISK_OK &&
                (!RenamedExtent(image, i, fresh, d.extents[i].sectors, &edits->extents[i]) ||
                 !AddRetired(&set->retired, e->path)))
                r = DISK_ERR_ARG;
            if (r != DISK_OK) break;
            set->extents.count = i + 1;
            r = VmdkSparse_Rewrite(e, fresh, source, map, &set->extents.files[i], nullptr, 0,
                                   compress, progress, user, total);
        }
        TextBuffer_Init(&text, textStorage, 0, kTextCapacity);
        if (r == DISK_OK) r = RewriteChecked(image, edits, &text, false, n, check);
        if (r == DISK_OK && !SameExtentLines(d, *check, n, VMDK_MAX_EXTENTS))
            r = Refusal_Record("VMDK descriptor: rewritten extent lines differ");
        if (r == DISK_OK) r = WriteTempFile(&set->descriptor, path, text.data, text.length);
        Mem_Free(fresh);
        PtrArray_Free(&files);
    } else if (r == DISK_OK) {
        r = VmdkSparse_Rewrite(&image->sparseExtents[0], path, source, map, &set->descriptor,
                               nullptr, 0, compress, progress, user, total);
    }
    Disk_Close(&filtered);
    Mem_Free(prepared);
    Mem_Free(textStorage);
    Mem_Free(check);
    Mem_Free(edits);
    if (r != DISK_OK) Vmdk_DiscardTempFileSet(set);
    return r;
}

// ---- Expanding the capacity ------------------------------------------------------------------------

int Vmdk_ExpandCapacity(const char* descriptorPath, const DiskHandle* source, UsedSectorMap* map,
                        VmdkTempFileSet* set, uint64_t newSectors, ProgressCallback progress,
                        void* user)
{
    VmdkImage* image = ImageOf(source);
    if (!image || !set) return DISK_ERR_ARG;
    const char* path = DescriptorPathOf(image, descriptorPath);
    if (!path) return DISK_ERR_ARG;
    const VmdkDescriptor& d = image->descriptor;
    const uint32_t count = image->extentCount;
    const uint64_t total = TotalOf(image);
    const bool flat = image->flat != 0;
    const bool split = d.split != 0;
    if (newSectors <= total) return DISK_ERR_ARG;
    // Sparse extents are rewritten file by file (flat ones keep the bytes before their data).
    if (!flat && ExtentsShareAFile(image)) return DISK_ERR_ARG;
    int checked = CheckBackupNames(image, path);
    if (checked != DISK_OK) return checked;
    const uint32_t hw = Vmdk_GetEffectiveHwVersion(image);

    // The plan: sizes of the last old extent and of the new extents, refused before writing.
    const uint32_t last = count - 1;
    const uint64_t lastFirst = total - ExtentSectors(image, last);
    uint64_t unit = 0, grown = 0, added = 0, lastSize = 0;
    if (!split) {
        if (newSectors > 0xFFFFFFFFull) return DISK_ERR_ARG;
        lastSize = newSectors;
    } else {
        uint32_t largest = 0;
        for (uint32_t i = 0; i < count; ++i)
            if (ExtentSectors(image, i) > largest) largest = ExtentSectors(image, i);
        unit = largest > VMDK_EXPAND_MIN_UNIT ? largest : VMDK_EXPAND_MIN_UNIT;
        // Extents that another follows hold whole grains (of the last extent, at least 128
        // sectors): other readers take a whole grain from the extent that holds its start.
        if (!flat) {
            const uint64_t grain = image->sparseExtents[last].header.grainSize;
            const uint64_t g =
                grain > VMDK_DEFAULT_GRAIN_SECTORS ? grain : uint64_t(VMDK_DEFAULT_GRAIN_SECTORS);
            uint64_t rounded = (unit + g - 1) / g * g;
            if (rounded > 0xFFFFFFFFull) rounded = unit / g * g;
            unit = rounded;
        }
        grown = ExtentSectors(image, last) + (newSectors - total);
        added = (grown + unit - 1) / unit - 1;
        if (added > VMDK_MAX_EXTENTS - count) return DISK_ERR_ARG;
        lastSize = added ? unit : grown;
    }
    const uint32_t newCount = count + static_cast<uint32_t>(added);
    const bool stream = !split && !flat &&
                        (d.createTypeIndex == VMDK_CREATE_STREAM_OPTIMIZED ||
                         image->sparseExtents[0].header.gdOffset == VMDK_GD_AT_END);
    const bool embedded = !split && !flat;

    VmdkDescriptorEdits* edits = AllocEdits();
    VmdkDescriptor* check = AllocDescriptor();
    uint8_t* textStorage = static_cast<uint8_t*>(Mem_Alloc(kTextCapacity));
    uint8_t* buffer = flat ? static_cast<uint8_t*>(Mem_Alloc(VMDK_COPY_BLOCK_BYTES)) : nullptr;
    char* extentPath = static_cast<char*>(Mem_Alloc(kNameCapacity));
    int r = DISK_OK;
    if (!edits || !check || !textStorage || !extentPath || (flat && !buffer)) r = DISK_ERR_NOMEM;

    // A descriptor file of its own names the rewritten last extent and every new extent under
    // names that no file has.
    PtrArray files;
    PtrArray_Init(&files);
    std::vector<std::string> chosen;
    char* lastPath = static_cast<char*>(Mem_Alloc(kNameCapacity));
    if (r == DISK_OK && (!lastPath || !CollectChainFiles(image, &files))) r = DISK_ERR_NOMEM;
    if (r == DISK_OK && !embedded) {
        r = ChooseFresh(files, &chosen,
                        flat ? image->flatExtents[last].path : image->sparseExtents[last].path,
                        lastPath);
        if (r == DISK_OK && !OutputList_Alloc(&set->retired, 1)) r = DISK_ERR_NOMEM;
        if (r == DISK_OK && !AddRetired(&set->retired, flat ? image->flatExtents[last].path
                                                            : image->sparseExtents[last].path))
            r = DISK_ERR_ARG;
    }

    // The descriptor: geometry of a base image, the last extent's size and the new extents.
    if (r == DISK_OK) {
        if (!Vmdk_HasParent(image) && d.heads && d.sectorsPerTrack) {
            uint64_t cylinders = newSectors / d.heads / d.sectorsPerTrack;
            if (d.adapter == VMDK_ADAPTER_IDE && cylinders > 0x3FFF) cylinders = 0x3FFF;
            if (cylinders > 0xFFFFFFFFull) cylinders = 0xFFFFFFFFull;
            edits->cylinders.set = 1;
            edits->cylinders.value = static_cast<uint32_t>(cylinders);
        }
        if (stream) SetText(&edits->createType, CView("monolithicSparse"));
        edits->extentCount = flat ? count : newCount;
        if (embedded ? !SetExtent(&edits->extents[last], static_cast<uint32_t>(lastSize),
                                  d.extents[last].fileName, d.textEncoding, stream)
                     : !RenamedExtent(image, last, lastPath, static_cast<uint32_t>(lastSize),
                                      &edits->extents[last]))
            r = DISK_ERR_ARG;
        for (uint32_t j = 0; r == DISK_OK && j < added; ++j) {
            VmdkExtentEdit* x = &edits->extents[count + j];
            TextBuffer name;
            TextBuffer_Init(&name, x->fileNameStorage, 0, sizeof x->fileNameStorage);
            if (!NumberedName(path, count + j + 1, &name)) {
                r = DISK_ERR_ARG;
                break;
            }
            TextBuffer_View(&name, &x->fileName);
            // A new extent never takes the place of a file of the image or its parents, nor of
            // any other file: a name that is taken gets a fresh variant.
            r = JoinDir(path, x->fileName, extentPath);
            if (r == DISK_OK && IsFileOfChain(image, extentPath)) r = DISK_ERR_ARG;
            char* fresh = r == DISK_OK ? static_cast<char*>(Mem_Alloc(kNameCapacity)) : nullptr;
            if (r == DISK_OK && !fresh) r = DISK_ERR_NOMEM;
            if (r == DISK_OK) r = ChooseFresh(files, &chosen, extentPath, fresh);
            if (r == DISK_OK) {
                name.length = 0;
                if (!TextBuffer_Append(&name, CView(BareName(fresh)))) r = DISK_ERR_ARG;
                TextBuffer_View(&name, &x->fileName);
            }
            Mem_Free(fresh);
            if (r != DISK_OK) break;
            x->set = flat ? 0 : 1;
            x->sectors = j + 1 < added ? static_cast<uint32_t>(unit)
                                       : static_cast<uint32_t>(grown - added * unit);
        }
    }
    TextBuffer text;
    TextBuffer_Init(&text, textStorage, 0, kTextCapacity);
    if (r == DISK_OK && flat && added) {
        if (!Vmdk_RewriteDescriptorUtf8(OldText(image), d.textEncoding, &text, edits,
                                        TEXT_ENC_UTF8))
            r = Refusal_Record("VMDK descriptor: cannot be rewritten");
        if (r == DISK_OK)
            r = InsertFlatExtentLines(&text, d.textEncoding, edits, count, newCount, check);
        uint32_t length = 0;
        if (r == DISK_OK && text.length > VMDK_MAX_DESCRIPTOR_BYTES)
            r = Refusal_Record("VMDK descriptor: text too large");
        if (r == DISK_OK)
            r = Vmdk_CheckDescriptorText(check, text.data, text.length, false, &length);
        if (r == DISK_OK && check->extentCount != newCount)
            r = Refusal_Record("VMDK descriptor: rewritten text has another number of extents");
    } else if (r == DISK_OK) {
        r = RewriteChecked(image, edits, &text, embedded, newCount, check);
    }
    if (r == DISK_OK && !embedded && !SameExtentLines(d, *check, count, last))
        r = Refusal_Record("VMDK descriptor: rewritten extent lines differ");

    // A monolithic sparse image: one new file with the new descriptor embedded.
    VmdkSparseExtent* prepared = nullptr;
    uint32_t descriptorSectors = 0;
    if (r == DISK_OK && !flat) {
        const VmdkSparseExtent& e = image->sparseExtents[last];
        prepared = PrepareExtent(&e);
        if (!prepared) r = DISK_ERR_NOMEM;
        if (embedded) {
            descriptorSectors = VMDK_EMBEDDED_DESCRIPTOR_SECTORS;
            if (e.header.descriptorOffset && e.header.descriptorSize > descriptorSectors)
                descriptorSectors = static_cast<uint32_t>(e.header.descriptorSize);
            if (r == DISK_OK && text.length > descriptorSectors * kSector) r = DISK_ERR_ARG;
        }
        if (r == DISK_OK)
            r = BuildFixedHeader(&prepared->header, HeaderCapacity(lastSize, hw),
                                 e.header.grainSize, descriptorSectors, e.compressed != 0);
    }
    if (r == DISK_OK && !Report(progress, user, 0, newSectors)) r = DISK_CANCELLED;

    // With a map, a base image's kept grains lose the garbage of their free sectors; a child
    // is copied by its layer.
    DiskHandle filtered;
    Disk_Init(&filtered);
    const DiskHandle* from = source;
    if (r == DISK_OK && map && !flat && !Vmdk_HasParent(image)) {
        r = Vmdk_OpenFreeSpaceFilter(&filtered, source, map);
        from = &filtered;
    }
    const uint32_t outputs = embedded ? 0 : 1 + static_cast<uint32_t>(added);
    if (r == DISK_OK && outputs && !OutputFileList_Alloc(&set->extents, outputs))
        r = DISK_ERR_NOMEM;

    // The last old extent grows: its grains are copied (for a child by the per-layer query, so
    // that zero grains keep hiding the parent), the rest of it stays unallocated.
    if (r == DISK_OK) {
        if (embedded) {
            r = VmdkSparse_Rewrite(prepared, path, from, map, &set->descriptor, text.data,
                                   text.length, image->sparseExtents[0].compressed != 0, progress,
                                   user, newSectors);
        } else if (flat) {
            VmdkFlatExtent* e = &image->flatExtents[last];
            set->extents.count = 1;
            r = VmdkFlat_Write(lastPath, source, map, &set->extents.files[0], e->dataOffset,
                               lastFirst, static_cast<uint32_t>(lastSize), buffer, progress, user,
                               newSectors);
            if (r == DISK_OK) r = CopyFlatPrefix(e, &set->extents.files[0], e->dataOffset, buffer);
        } else {
            set->extents.count = 1;
            r = VmdkSparse_Rewrite(prepared, lastPath, from, map, &set->extents.files[0], nullptr,
                                   0, image->sparseExtents[last].compressed != 0, progress, user,
                                   newSectors);
        }
    }
    // New extents lie past the old end: nothing to read.
    DiskHandle zero;
    Disk_Init(&zero);
    if (r == DISK_OK && added && !flat) r = OpenZeroDisk(&zero, newSectors, &image->geometry);
    uint64_t first = lastFirst + lastSize;
    for (uint32_t j = 0; r == DISK_OK && j < added; ++j) {
        const VmdkExtentEdit& x = edits->extents[count + j];
        r = JoinDir(path, x.fileName, extentPath);
        if (r != DISK_OK) break;
        set->extents.count = 2 + j;
        OutputFile* out = &set->extents.files[1 + j];
        if (flat) {
            r = VmdkFlat_Write(extentPath, source, nullptr, out, 0, first, x.sectors, buffer,
                               progress, user, newSectors);
        } else {
            // The image's grain, so that every extent shares one grain size.
            const uint64_t grain = image->sparseExtents[last].header.grainSize;
            r = VmdkSparse_Write(extentPath, &zero, nullptr, out, 0, nullptr, hw, first, x.sectors,
                                 false, image->sparseExtents[last].compressed != 0, false, progress,
                                 user, newSectors,
                                 grain < VMDK_DEFAULT_GRAIN_SECTORS ? static_cast<uint32_t>(grain)
                                                                    : VMDK_DEFAULT_GRAIN_SECTORS);
        }
        first += x.sectors;
    }
    Disk_Close(&zero);
    Disk_Close(&filtered);
    if (r == DISK_OK && !embedded)
        r = WriteTempFile(&set->descriptor, path, text.data, text.length);
    if (r == DISK_OK && !Report(progress, user, newSectors, newSectors)) r = DISK_CANCELLED;

    Mem_Free(prepared);
    Mem_Free(lastPath);
    PtrArray_Free(&files);
    Mem_Free(extentPath);
    Mem_Free(buffer);
    Mem_Free(textStorage);
    Mem_Free(check);
    Mem_Free(edits);
    if (r != DISK_OK) Vmdk_DiscardTempFileSet(set);
    return r;
}

// ---- Child disks ---------------------------------------------------------------------------------

namespace {

// An absolute, normalised form of a UTF-8 path (relative paths against the working directory).
bool AbsolutePath(const char* path, char* out)
{
    char* joined = static_cast<char*>(Mem_Alloc(kNameCapacity));
    if (!joined) return false;
    bool ok = true;
    if (path[0] == '/') {
        std::strcpy(joined, path);
    } else {
        ok = getcwd(joined, kNameCapacity) != nullptr;
        size_t have = ok ? std::strlen(joined) : 0;
        ok = ok && have + 1 + std::strlen(path) < kNameCapacity;
        if (ok) {
            joined[have] = '/';
            std::strcpy(joined + have + 1, path);
        }
    }
    TextBuffer result;
    TextBuffer_Init(&result, out, 0, kNameCapacity);
    ok = ok && Path_Normalize(CView(joined), &result, TEXT_ENC_UTF8, true) &&
         TextBuffer_TerminateUtf8(&result);
    Mem_Free(joined);
    return ok;
}

// parentFileNameHint of a child: the parent path as given, the bare name when both lie in one
// directory, or the parent path relative to the child's directory.
int ParentHint(const char* parentPath, const char* childPath, bool absolute, TextBuffer* hint)
{
    hint->length = 0;
    if (absolute)
        return TextBuffer_Set(hint, CView(parentPath)) && TextBuffer_TerminateUtf8(hint)
                   ? DISK_OK
                   : DISK_ERR_ARG;
    char* a = static_cast<char*>(Mem_Alloc(kNameCapacity));
    char* b = static_cast<char*>(Mem_Alloc(kNameCapacity));
    int r = DISK_OK;
    if (!a || !b) r = DISK_ERR_NOMEM;
    if (r == DISK_OK && (!AbsolutePath(parentPath, a) || !AbsolutePath(childPath, b)))
        r = DISK_ERR_ARG;
    if (r == DISK_OK) {
        TextView parentDir, parentName, childDir;
        Path_SplitDir(CView(a), &parentDir, &parentName, TEXT_ENC_UTF8);
        Path_SplitDir(CView(b), &childDir, nullptr, TEXT_ENC_UTF8);
        bool ok = Text_CompareUtf8(parentDir, childDir) == 0
                      ? TextBuffer_Set(hint, parentName)
                      : Path_MakeRelative(CView(b), CView(a), hint, TEXT_ENC_UTF8);
        if (!ok || hint->length == 0 || !TextBuffer_TerminateUtf8(hint)) r = DISK_ERR_ARG;
    }
    Mem_Free(a);
    Mem_Free(b);
    return r;
}

}  // namespace

int Vmdk_CreateChild(const DiskHandle* parent, const char* parentPath, const char* childPath,
                     bool absoluteHint)
{
    VmdkImage* image = ImageOf(parent);
    if (!image || !parentPath || !childPath) return DISK_ERR_ARG;
    if (std::strlen(parentPath) >= kNameCapacity || std::strlen(childPath) >= kNameCapacity)
        return DISK_ERR_ARG;
    if (std::strcmp(parentPath, childPath) == 0 || std::strcmp(image->path, childPath) == 0)
        return DISK_ERR_ARG;
    const VmdkDescriptor& d = image->descriptor;
    const uint32_t count = image->extentCount;
    const uint64_t total = TotalOf(image);
    const bool split = d.split != 0;

    VmdkDescriptorEdits* edits = AllocEdits();
    VmdkDescriptor* check = AllocDescriptor();
    uint8_t* textStorage = static_cast<uint8_t*>(Mem_Alloc(kTextCapacity));
    uint8_t* hintStorage = static_cast<uint8_t*>(Mem_Alloc(kNameCapacity));
    char* extentPath = static_cast<char*>(Mem_Alloc(kNameCapacity));
    int r = DISK_OK;
    if (!edits || !check || !textStorage || !hintStorage || !extentPath) r = DISK_ERR_NOMEM;

    char cid[16];
    uint8_t parentCid[64];
    if (r == DISK_OK) {
        time_t now = std::time(nullptr);
        uint32_t seconds = now == static_cast<time_t>(-1) ? 0 : static_cast<uint32_t>(now);
        if (Text_FormatCrt(cid, sizeof cid, "%08x", seconds) < 0) r = DISK_ERR_ARG;
        SetText(&edits->cid, CView(cid));
        TextBuffer pc;
        TextBuffer_Init(&pc, parentCid, 0, sizeof parentCid);
        if (!Enc_ConvertAppend(&pc, TEXT_ENC_UTF8, d.cid, d.textEncoding))
            r = Refusal_Record("VMDK descriptor: CID does not convert to UTF-8");
        TextView pcView;
        TextBuffer_View(&pc, &pcView);
        SetText(&edits->parentCid, pcView);
    }
    // A child holds sparse extents: one file, or a descriptor with numbered extents.
    const uint32_t childType = split ? VMDK_CREATE_SPLIT_SPARSE : VMDK_CREATE_MONOLITHIC_SPARSE;
    if (r == DISK_OK && Vmdk_CreateTypeIndex(d.createType, d.textEncoding) != childType)
        SetText(&edits->createType, CView(Vmdk_CreateTypeName(childType)));
    TextBuffer hint;
    TextBuffer_Init(&hint, hintStorage, 0, kNameCapacity);
    if (r == DISK_OK) r = ParentHint(parentPath, childPath, absoluteHint, &hint);
    if (r == DISK_OK) {
        TextView hintView;
        TextBuffer_View(&hint, &hintView);
        SetText(&edits->parentFileNameHint, hintView);
        edits->extentCount = count;
        edits->dropDdbLines = 1;
    }
    for (uint32_t i = 0; r == DISK_OK && i < count; ++i) {
        VmdkExtentEdit* x = &edits->extents[i];
        TextBuffer name;
        TextBuffer_Init(&name, x->fileNameStorage, 0, sizeof x->fileNameStorage);
        bool ok = split ? NumberedName(childPath, i + 1, &name)
                        : TextBuffer_Set(&name, CView(BareName(childPath)));
        if (!ok) {
            r = DISK_ERR_ARG;
            break;
        }
        TextBuffer_View(&name, &x->fileName);
        x->set = 1;
        x->sectors = d.extents[i].sectors;
        x->makeSparse = 1;
    }
    TextBuffer text;
    TextBuffer_Init(&text, textStorage, 0, kTextCapacity);
    if (r == DISK_OK) r = RewriteChecked(image, edits, &text, !split, count, check);
    if (r == DISK_OK && (!check->isChild || check->split != d.split || check->flat))
        r = Refusal_Record("VMDK descriptor: rewritten text does not describe a child");
    if (r == DISK_OK && !split && text.length > kEmbeddedBytes)
        r = Refusal_Record("VMDK descriptor: child's text does not fit the embedded area");
    // The child's files are written over whatever lies at their paths: none may be a file of the
    // parent's chain.
    if (r == DISK_OK && IsFileOfChain(image, childPath)) r = DISK_ERR_ARG;
    for (uint32_t i = 0; r == DISK_OK && split && i < count; ++i) {
        r = JoinDir(childPath, edits->extents[i].fileName, extentPath);
        if (r == DISK_OK && IsFileOfChain(image, extentPath)) r = DISK_ERR_ARG;
    }

    // No grains: every extent is written from a zero disk. Every file goes under a temporary
    // name first; the child's names receive them only once all are written, so that a failure
    // or a crash never leaves a partial child under them.
    DiskHandle zero;
    Disk_Init(&zero);
    VmdkTempFileSet set;
    Vmdk_InitTempFileSet(&set);
    if (r == DISK_OK) r = OpenZeroDisk(&zero, total, &image->geometry);
    const uint32_t hw = Vmdk_GetEffectiveHwVersion(image);
    if (r == DISK_OK && !split) {
        // The text, zero-padded to the embedded area.
        std::memset(textStorage + text.length, 0, kEmbeddedBytes - text.length);
        r = VmdkSparse_Write(childPath, &zero, nullptr, &set.descriptor,
                             VMDK_EMBEDDED_DESCRIPTOR_SECTORS, textStorage, hw, 0,
                             d.extents[0].sectors, false, false, false, nullptr, nullptr, total);
    } else if (r == DISK_OK) {
        // The descriptor is the last file of the list, so that it takes its name only after
        // every extent it lists has taken its own.
        if (!OutputFileList_Alloc(&set.extents, count + 1)) r = DISK_ERR_NOMEM;
        if (r == DISK_OK) {
            set.extents.count = count + 1;
            r = WriteTempFile(&set.extents.files[count], childPath, text.data, text.length);
        }
        // The child's extents end on grain boundaries like a new image's (see the creator).
        uint32_t* sizes = static_cast<uint32_t*>(Mem_Alloc(count * 4));
        if (r == DISK_OK && !sizes) r = DISK_ERR_NOMEM;
        for (uint32_t i = 0; r == DISK_OK && i < count; ++i) sizes[i] = edits->extents[i].sectors;
        uint64_t first = 0;
        for (uint32_t i = 0; r == DISK_OK && i < count; ++i) {
            const VmdkExtentEdit& x = edits->extents[i];
            r = JoinDir(childPath, x.fileName, extentPath);
            if (r == DISK_OK && std::strcmp(extentPath, childPath) == 0) r = DISK_ERR_ARG;
            if (r == DISK_OK)
                r = VmdkSparse_Write(extentPath, &zero, nullptr, &set.extents.files[i], 0, nullptr,
                                     hw, first, x.sectors, false, false, false, nullptr, nullptr,
                                     total, VmdkSparse_GrainInImage(sizes, count, i));
            first += x.sectors;
        }
        Mem_Free(sizes);
    }
    Disk_Close(&zero);
    if (r == DISK_OK) {
        r = Vmdk_CommitTempFileSet(&set, Path_DeleteSuffix(TEXT_ENC_UTF8), true);
    } else {
        Vmdk_DiscardTempFileSet(&set);
    }
    Mem_Free(extentPath);
    Mem_Free(hintStorage);
    Mem_Free(textStorage);
    Mem_Free(check);
    Mem_Free(edits);
    return r;
}

// ---- Changing parameters --------------------------------------------------------------------------

namespace {

// Whether two names, each in its descriptor's encoding, are the same text.
bool SameName(TextView a, TextEncoding encodingA, TextView b, TextEncoding encodingB)
{
    uint8_t storageA[kNameCapacity], storageB[kNameCapacity];
    TextBuffer ua, ub;
    TextBuffer_Init(&ua, storageA, 0, sizeof storageA);
    TextBuffer_Init(&ub, storageB, 0, sizeof storageB);
    if (!Enc_ConvertAppend(&ua, TEXT_ENC_UTF8, a, encodingA) ||
        !Enc_ConvertAppend(&ub, TEXT_ENC_UTF8, b, encodingB))
        return false;
    return ua.length == ub.length && std::memcmp(storageA, storageB, ua.length) == 0;
}

}  // namespace

int Vmdk_ChangeParameters(DiskHandle* handle, const VmdkDescriptorEdits* edits,
                          const char* descriptorPath, TextEncoding editEncoding,
                          TextEncoding outputEncoding)
{
    VmdkImage* image = ImageOf(handle);
    if (!image || !edits) return DISK_ERR_ARG;
    if (outputEncoding != TEXT_ENC_SJIS && outputEncoding != TEXT_ENC_UTF8) return DISK_ERR_ARG;
    const char* path = DescriptorPathOf(image, descriptorPath);
    if (!path) return DISK_ERR_ARG;
    const VmdkDescriptor& d = image->descriptor;
    const bool embedded = d.split == 0 && image->flat == 0;
    // The descriptor and the extents are locked for the whole change: another in-place
    // operation on the image is refused.
    InPlaceLockScope inPlace;
    int locked = inPlace.Acquire(path);
    for (uint32_t i = 0;
         locked == DISK_OK && i < image->extentCount && inPlace.lock.count < IN_PLACE_LOCK_FILES;
         ++i)
        locked = inPlace.Acquire(image->flat ? image->flatExtents[i].path
                                             : image->sparseExtents[i].path);
    if (locked != DISK_OK) return locked;
    if (!embedded) {
        int checked = CheckBackupNames(image, path);
        if (checked != DISK_OK) return checked;
    }

    uint8_t* textStorage = static_cast<uint8_t*>(Mem_Alloc(kTextCapacity));
    VmdkDescriptor* check = AllocDescriptor();
    int r = DISK_OK;
    if (!textStorage || !check) r = DISK_ERR_NOMEM;
    TextBuffer text;
    TextBuffer_Init(&text, textStorage, 0, kTextCapacity);
    if (r == DISK_OK && !Vmdk_RewriteDescriptor(OldText(image), d.textEncoding, &text,
                                                outputEncoding, edits, editEncoding, TEXT_ENC_UTF8))
        r = Refusal_Record("VMDK descriptor: cannot be rewritten");

    // The new text must read back and describe the same extents, before anything is written.
    uint32_t length = 0;
    if (r == DISK_OK &&
        (text.length > VMDK_MAX_DESCRIPTOR_BYTES ||
         Vmdk_CheckDescriptorText(check, text.data, text.length, embedded, &length) != DISK_OK ||
         length != text.length))
        r = DISK_ERR_ARG;
    if (r == DISK_OK &&
        (check->extentCount != d.extentCount || check->split != d.split || check->flat != d.flat))
        r = DISK_ERR_ARG;
    for (uint32_t i = 0; r == DISK_OK && i < d.extentCount; ++i)
        if (check->extents[i].sectors != d.extents[i].sectors ||
            check->extents[i].type != d.extents[i].type ||
            check->extents[i].offset != d.extents[i].offset ||
            !SameName(check->extents[i].fileName, static_cast<TextEncoding>(check->textEncoding),
                      d.extents[i].fileName, static_cast<TextEncoding>(d.textEncoding)))
            r = DISK_ERR_ARG;

    if (r == DISK_OK && embedded) {
        VmdkSparseExtent* e = &image->sparseExtents[0];
        uint8_t sector[VMDK_SECTOR_BYTES];
        VmdkSparseHeader h;
        if (!Stream_ReadAt(e->stream, 0, kSector, sector)) r = DISK_ERR_READ;
        if (r == DISK_OK) {
            VmdkSparse_HeaderToHost(sector, &h);
            if (!VmdkSparse_HeaderIsValid(&h)) {
                // The header check records which identity check failed.
                r = VmdkSparse_CheckHeader(&h);
                if (r == DISK_OK) r = Refusal_Record("VMDK sparse header: fields are wrong");
            } else if (h.descriptorOffset != 1 || h.descriptorSize == 0) {
                r = Refusal_Record("VMDK sparse header: no embedded descriptor");
            } else if (h.descriptorSize > VMDK_MAX_DESCRIPTOR_SECTORS) {
                r = Refusal_Record("VMDK sparse header: descriptor size out of range");
            }
        }
        const uint32_t area = r == DISK_OK ? static_cast<uint32_t>(h.descriptorSize) * kSector : 0;
        if (r == DISK_OK && text.length > area) r = DISK_ERR_ARG;
        uint8_t* block = r == DISK_OK ? static_cast<uint8_t*>(Mem_Alloc(area)) : nullptr;
        uint8_t* previous = r == DISK_OK ? static_cast<uint8_t*>(Mem_Alloc(area)) : nullptr;
        if (r == DISK_OK && (!block || !previous)) r = DISK_ERR_NOMEM;
        // The area as it is, so that a failed write can be undone.
        if (r == DISK_OK && !Stream_ReadAt(e->stream, kSector, area, previous)) r = DISK_ERR_READ;
        if (r == DISK_OK) {
            std::memset(block, 0, area);
            std::memcpy(block, text.data, text.length);
            // The new text is on stable storage before it counts as written: written, flushed
            // and synced, every step checked. When a step fails, the old area is written back,
            // so that the image keeps the descriptor it had.
            if (!Stream_WriteAt(e->stream, kSector, area, block) || !Stream_Sync(e->stream)) {
                r = DISK_ERR_WRITE;
                if (Stream_WriteAt(e->stream, kSector, area, previous)) Stream_Sync(e->stream);
            }
        }
        Mem_Free(previous);
        // The image keeps the new text and its parse.
        if (r == DISK_OK) {
            Vmdk_InitDescriptor(check);
            r = Vmdk_CheckDescriptorText(check, block, area, true, &length);
        }
        if (r == DISK_OK) {
            Mem_Free(image->descriptorText.data);
            TextBuffer_Init(&image->descriptorText, block, length, area);
            std::memcpy(static_cast<void*>(&image->descriptor), check, sizeof(VmdkDescriptor));
            block = nullptr;
        }
        Mem_Free(block);
    } else if (r == DISK_OK) {
        // A descriptor file of its own: the new text under a temporary name, then swapped in
        // with the image closed, and the image opened again.
        OutputFile output;
        OutputFile_Init(&output);
        char* reopen = static_cast<char*>(Mem_Alloc(kNameCapacity));
        if (!reopen) r = DISK_ERR_NOMEM;
        if (r == DISK_OK) {
            std::strcpy(reopen, image->path);
            r = WriteTempFile(&output, path, text.data, text.length);
        }
        if (r == DISK_OK) {
            Vmdk_Close(image);
            r = OutputFile_Commit(&output, Path_DeleteSuffix(TEXT_ENC_UTF8), true);
            // A failed swap leaves the old file in place; the new text is not kept.
            if (r != DISK_OK) OutputEntry_Rollback(&output.entry);
            int o = Vmdk_OpenParentMode(image, reopen, false, VMDK_PARENT_OPTIONAL);
            // The new descriptor holds the name: the change is made, and an image that does not
            // open again is a note beside the success.
            if (r == DISK_OK && o != DISK_OK) InPlace_SetNote(IN_PLACE_NOTE_REOPEN_FAILED);
        } else {
            OutputFile_Rollback(&output);
        }
        Mem_Free(reopen);
    }
    Mem_Free(check);
    Mem_Free(textStorage);
    return r;
}

uint64_t Vmdk_MaxExpandCapacity(const VmdkImage* image)
{
    const uint64_t limit = 0x3FFFFFFFFFFFFFull;
    if (image == nullptr || image->extentCount == 0) return 0;
    if (!image->descriptor.split) return 0xFFFFFFFFull;
    const uint32_t count = image->extentCount;
    const bool flat = image->flat != 0;
    uint64_t total = 0;
    uint32_t largest = 0, last = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t s =
            flat ? image->flatExtents[i].sectors : image->sparseExtents[i].extentSectors;
        total += s;
        if (s > largest) largest = s;
        last = s;
    }
    if (count > VMDK_MAX_EXTENTS) return total;
    uint64_t unit = largest > VMDK_EXPAND_MIN_UNIT ? largest : VMDK_EXPAND_MIN_UNIT;
    if (!flat) {
        // The grain size was bounded when the extent was opened.
        const uint64_t grain = image->sparseExtents[count - 1].header.grainSize;
        const uint64_t smallest = VMDK_DEFAULT_GRAIN_SECTORS;
        const uint64_t g = grain > smallest ? grain : smallest;
        uint64_t rounded = (unit + g - 1) / g * g;
        if (rounded > 0xFFFFFFFFull) rounded = unit / g * g;
        unit = rounded;
    }
    // The last extent grows to the unit and at most VMDK_MAX_EXTENTS - count extents follow it.
    const uint64_t maximum = total - last + unit * (uint64_t)(VMDK_MAX_EXTENTS + 1 - count);
    return maximum < limit ? maximum : limit;
}
