// Parallels bundles: descriptor, snapshot chains, reading, writer and compaction.
#include "formats/parallels/parallels_bundle.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "disk/builtin_disks.h"
#include "disk/disk_open.h"
#include "foundation/output_set.h"
#include "foundation/io_failure.h"
#include "foundation/path.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/text_ops.h"
#include "foundation/xml.h"
#include "volume/used_map.h"

namespace {

const char kDescriptorName[] = "DiskDescriptor.xml";
const char kNullGuid[] = "{00000000-0000-0000-0000-000000000000}";
const uint8_t kBundleGuid[16] = {0x5f, 0xba, 0xab, 0xe3, 0x69, 0x58, 0x40, 0xff,
                                 0x92, 0xa7, 0x86, 0x0e, 0x32, 0x9a, 0xab, 0x41};

TextView View(const char* s)
{
    return TextView{reinterpret_cast<const uint8_t*>(s), static_cast<uint32_t>(std::strlen(s))};
}

bool ViewIs(TextView v, const char* s)
{
    const size_t n = std::strlen(s);
    return v.length == n && std::memcmp(v.data, s, n) == 0;
}

bool ChildText(const XmlNode* parent, const char* name, TextView* out)
{
    return Xml_GetChildText(parent, name, out);
}

bool ChildNumber(const XmlNode* parent, const char* name, uint32_t* out)
{
    TextView t;
    return ChildText(parent, name, &t) && Num_ParseU32Utf8(t, out);
}

uint32_t CountChildren(const XmlNode* parent, const char* name)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < PtrArray_GetCount(&parent->children); i++)
        if (Xml_NameIs(static_cast<XmlNode*>(PtrArray_Get(&parent->children, i)), name)) n++;
    return n;
}

XmlNode* Child(const XmlNode* parent, uint32_t i)
{
    return static_cast<XmlNode*>(PtrArray_Get(&parent->children, i));
}

bool IsDirectory(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool EqualsNoCase(const char* a, const char* b)
{
    for (; *a && *b; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return *a == *b;
}

int OpenWith(FileOpenFn open, void* user, const char* path, ByteStream** s)
{
    int rc = open(path, true, s, user);
    if (rc == 0) return DISK_OK;
    *s = nullptr;
    return rc == 1 ? DISK_CANCELLED : DISK_ERR_OPEN;
}

}  // namespace

bool Parallels_GuidEquals(TextView a, TextView b)
{
    if (a.length != b.length) return false;
    for (uint32_t i = 0; i < a.length; i++) {
        uint8_t x = a.data[i], y = b.data[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

void ParallelsDescriptor_Init(ParallelsDescriptor* d) { std::memset(d, 0, sizeof *d); }

void ParallelsDescriptor_Free(ParallelsDescriptor* d)
{
    if (d == nullptr) return;
    if (d->document != nullptr) Xml_FreeNode(d->document);
    Mem_Free(d->text);
    ParallelsDescriptor_Init(d);
}

int ParallelsBundle_ReadDescriptor(ParallelsDescriptor* d, FileOpenFn open, void* user,
                                   const char* path, char* pathBuffer)
{
    if (d == nullptr || open == nullptr || path == nullptr || pathBuffer == nullptr)
        return DISK_ERR_ARG;
    ParallelsDescriptor_Init(d);
    std::string p = path;
    // The bundle directory itself stands for its descriptor.
    if (IsDirectory(path)) {
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        p += "/";
        p += kDescriptorName;
    }
    ByteStream* s = nullptr;
    int rc = OpenWith(open, user, p.c_str(), &s);
    if (rc != DISK_OK) return rc;
    uint64_t size = 0;
    if (!Stream_GetSize(s, &size)) {
        Stream_Close(s);
        return DISK_ERR_SIZE;
    }
    const size_t slash = p.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    const bool named = EqualsNoCase(name.c_str(), kDescriptorName);
    bool exempt = false;
    if (size == 0 && named) {
        Stream_Close(s);
        return Refusal_Record("Parallels descriptor: file is empty");
    }
    if ((size == 0 || size == 4096) && !named) {
        // An entry of the bundle directory: the descriptor lies beside it.
        p = dir + kDescriptorName;
        Stream_Close(s);
        if (p.size() >= PARALLELS_BUNDLE_PATH_BYTES)
            return Refusal_Record("Parallels descriptor: path too long");
        int orc = open(p.c_str(), true, &s, user);
        if (orc == 1) return DISK_CANCELLED;
        if (orc != 0) return Refusal_Record("Parallels descriptor: no descriptor beside the file");
        if (!Stream_GetSize(s, &size)) {
            Stream_Close(s);
            return DISK_ERR_SIZE;
        }
    } else if (size == 4096) {
        exempt = true;
    }
    if (p.size() >= PARALLELS_BUNDLE_PATH_BYTES || dir.size() >= PARALLELS_BUNDLE_PATH_BYTES ||
        (!exempt && (size < PARALLELS_DESCRIPTOR_MIN || size > PARALLELS_DESCRIPTOR_MAX))) {
        Stream_Close(s);
        return Refusal_Record(p.size() >= PARALLELS_BUNDLE_PATH_BYTES ||
                                      dir.size() >= PARALLELS_BUNDLE_PATH_BYTES
                                  ? "Parallels descriptor: path too long"
                                  : "Parallels descriptor: file size out of range");
    }
    std::memcpy(pathBuffer, p.c_str(), p.size() + 1);
    char* text = static_cast<char*>(Mem_Alloc(static_cast<uint32_t>(size + 1)));
    if (text == nullptr) {
        Stream_Close(s);
        return DISK_ERR_NOMEM;
    }
    const bool read = Stream_ReadAt(s, 0, static_cast<uint32_t>(size), text);
    Stream_Close(s);
    if (!read) {
        Mem_Free(text);
        return DISK_ERR_READ;
    }
    text[size] = 0;
    const uint32_t length = static_cast<uint32_t>(strnlen(text, static_cast<size_t>(size)));
    const char* why = "Parallels descriptor: not an XML document";
    XmlNode* doc = nullptr;
    if (std::strncmp(text, "<Parallels_disk_image", 21) == 0 || std::strncmp(text, "<?xml", 5) == 0)
        doc = Xml_Parse(text, length);
    if (doc != nullptr) {
        why = "Parallels descriptor: a required element is missing or not a number";
        XmlNode* root = Xml_FindChild(doc, "Parallels_disk_image");
        XmlNode* params = root ? Xml_FindChild(root, "Disk_Parameters") : nullptr;
        XmlNode* shots = root ? Xml_FindChild(root, "Snapshots") : nullptr;
        XmlNode* storage = root ? Xml_FindChild(root, "StorageData") : nullptr;
        bool ok = params && shots && storage && ChildNumber(params, "Disk_size", &d->diskSize) &&
                  ChildNumber(params, "Heads", &d->heads) &&
                  ChildNumber(params, "Sectors", &d->sectors) &&
                  ChildNumber(params, "Padding", &d->padding);
        if (ok) {
            d->shotCount = CountChildren(shots, "Shot");
            d->storageCount = CountChildren(storage, "Storage");
            ok = d->shotCount != 0 && d->storageCount != 0;
            if (!ok) why = "Parallels descriptor: no snapshot or no storage";
            TextView t;
            for (uint32_t i = 0; ok && i < PtrArray_GetCount(&shots->children); i++) {
                XmlNode* c = Child(shots, i);
                if (Xml_NameIs(c, "Shot"))
                    ok = ChildText(c, "GUID", &t) && ChildText(c, "ParentGUID", &t);
            }
            for (uint32_t i = 0; ok && i < PtrArray_GetCount(&storage->children); i++) {
                XmlNode* c = Child(storage, i);
                if (Xml_NameIs(c, "Storage"))
                    ok = ChildText(c, "Start", &t) && ChildText(c, "End", &t);
            }
        }
        if (ok) {
            d->text = text;
            d->document = doc;
            d->root = root;
            d->storageData = storage;
            d->snapshots = shots;
            std::memcpy(d->directory, dir.c_str(), dir.size() + 1);
            return DISK_OK;
        }
        Xml_FreeNode(doc);
    }
    Mem_Free(text);
    ParallelsDescriptor_Init(d);
    return Refusal_Record(why);
}

// ---- Snapshot list ---------------------------------------------------------------------------------

void ParallelsBundle_InitSnapshotList(ParallelsSnapshotList* list)
{
    std::memset(list, 0, sizeof *list);
}

void ParallelsBundle_FreeSnapshotList(ParallelsSnapshotList* list)
{
    if (list == nullptr) return;
    Mem_Free(list->text);
    Mem_Free(list->guids);
    Mem_Free(list->parents);
    ParallelsBundle_InitSnapshotList(list);
}

int ParallelsBundle_ReadSnapshotListWithCallback(ParallelsSnapshotList* list, FileOpenFn open,
                                                 void* user, const char* path)
{
    if (list == nullptr) return DISK_ERR_ARG;
    ParallelsBundle_InitSnapshotList(list);
    ParallelsDescriptor d;
    char buffer[PARALLELS_BUNDLE_PATH_BYTES];
    int rc = ParallelsBundle_ReadDescriptor(&d, open, user, path, buffer);
    if (rc != DISK_OK) return rc;
    list->guids = static_cast<TextView*>(Mem_Alloc(d.shotCount * sizeof(TextView)));
    list->parents = static_cast<TextView*>(Mem_Alloc(d.shotCount * sizeof(TextView)));
    if (list->guids == nullptr || list->parents == nullptr) {
        ParallelsBundle_FreeSnapshotList(list);
        ParallelsDescriptor_Free(&d);
        return DISK_ERR_NOMEM;
    }
    // The views point into the descriptor text unless an entity had to be decoded: then the
    // GUID cannot be a real one and is left empty.
    const uint8_t* begin = reinterpret_cast<const uint8_t*>(d.text);
    const uint8_t* end = begin + std::strlen(d.text);
    for (uint32_t i = 0; i < PtrArray_GetCount(&d.snapshots->children); i++) {
        XmlNode* c = Child(d.snapshots, i);
        if (!Xml_NameIs(c, "Shot")) continue;
        TextView g, p;
        ChildText(c, "GUID", &g);
        ChildText(c, "ParentGUID", &p);
        if (g.data < begin || g.data + g.length > end) g.length = 0;
        if (p.data < begin || p.data + p.length > end) p.length = 0;
        list->guids[list->count] = g;
        list->parents[list->count] = p;
        list->count++;
    }
    list->text = d.text;
    d.text = nullptr;
    ParallelsDescriptor_Free(&d);
    return DISK_OK;
}

int ParallelsBundle_ReadSnapshotList(ParallelsSnapshotList* list, const char* path)
{
    return ParallelsBundle_ReadSnapshotListWithCallback(list, FileOpener_DefaultOpen, nullptr,
                                                        path);
}

// ---- Opening ------------------------------------------------------------------------------------------

ParallelsBundle* ParallelsBundle_Alloc()
{
    return static_cast<ParallelsBundle*>(Mem_Alloc(sizeof(ParallelsBundle)));
}

void ParallelsBundle_Init(ParallelsBundle* b) { std::memset(b, 0, sizeof *b); }

static void CloseStorage(ParallelsStorage* s)
{
    if (s->images != nullptr) {
        for (uint32_t i = s->imageCount; i > 0; i--) ParallelsStorageImage_Close(&s->images[i - 1]);
        Mem_Free(s->images);
    }
    std::memset(s, 0, sizeof *s);
}

void ParallelsBundle_Close(void* object)
{
    ParallelsBundle* b = static_cast<ParallelsBundle*>(object);
    if (b == nullptr) return;
    if (b->storages != nullptr) {
        for (uint32_t i = 0; i < b->storageCount; i++) CloseStorage(&b->storages[i]);
        Mem_Free(b->storages);
    }
    ParallelsBundle_Init(b);
}

int ParallelsStorageImage_Open(ParallelsStorageImage* image, FileOpenFn open, void* user,
                               const char* path, bool readOnly, int32_t type, uint32_t padding,
                               const ParallelsStorageImage* previous, uint32_t sectorCount,
                               uint32_t firstSector)
{
    ParallelsStorageImage_Init(image);
    int rc;
    if (type == 0) {
        rc = ParallelsData_OpenWithCallback(&image->data, open, user, path, readOnly, padding,
                                            previous, firstSector);
        // The data file must describe exactly its storage.
        if (rc == DISK_OK && Geometry_GetTotalSectors(&image->data.geometry) != sectorCount) {
            ParallelsData_Close(&image->data);
            rc = Refusal_Record("Parallels data file: size differs from its storage");
        }
    } else if (type == 1) {
        rc = ParallelsFlat_OpenWithCallback(&image->flat, open, user, path, readOnly, sectorCount,
                                            firstSector);
    } else {
        return Refusal_Record("Parallels descriptor: unknown image type");
    }
    if (rc != DISK_OK) return rc;
    image->type = type;
    return DISK_OK;
}

int ParallelsStorage_Open(ParallelsStorage* storage, uint32_t chainLength, const TextView* chain,
                          XmlNode* node, const ParallelsDescriptor* d, FileOpenFn open, void* user,
                          bool readOnly)
{
    std::memset(storage, 0, sizeof *storage);
    uint32_t start = 0, end = 0;
    if (!ChildNumber(node, "Start", &start) || !ChildNumber(node, "End", &end) || start >= end)
        return Refusal_Record("Parallels descriptor: storage start or end not valid");
    storage->images =
        static_cast<ParallelsStorageImage*>(Mem_Alloc(chainLength * sizeof(ParallelsStorageImage)));
    if (storage->images == nullptr) return DISK_ERR_NOMEM;
    storage->imageCount = chainLength;
    for (uint32_t i = 0; i < chainLength; i++) ParallelsStorageImage_Init(&storage->images[i]);
    storage->firstSector = start;
    storage->sectorCount = end - start;
    const ParallelsStorageImage* previous = nullptr;
    for (uint32_t k = 0; k < chainLength; k++) {
        for (uint32_t i = 0; i < PtrArray_GetCount(&node->children); i++) {
            XmlNode* img = Child(node, i);
            if (!Xml_NameIs(img, "Image")) continue;
            TextView g, type, file;
            if (!ChildText(img, "GUID", &g))
                return Refusal_Record("Parallels descriptor: image without a GUID");
            if (!Parallels_GuidEquals(g, chain[k])) continue;
            if (storage->images[k].type != -1)
                return Refusal_Record("Parallels descriptor: two images of one snapshot");
            if (!ChildText(img, "Type", &type) || !ChildText(img, "File", &file))
                return Refusal_Record("Parallels descriptor: image without a type or file");
            std::string path = d->directory;
            path.append(reinterpret_cast<const char*>(file.data), file.length);
            if (path.size() >= PARALLELS_BUNDLE_PATH_BYTES || path.find('\0') != std::string::npos)
                return Refusal_Record("Parallels descriptor: image file name not valid");
            int32_t t = ViewIs(type, "Compressed") ? 0 : ViewIs(type, "Plain") ? 1 : -1;
            if (t < 0) return Refusal_Record("Parallels descriptor: unknown image type");
            int rc =
                ParallelsStorageImage_Open(&storage->images[k], open, user, path.c_str(), readOnly,
                                           t, d->padding, previous, storage->sectorCount, start);
            if (rc != DISK_OK) return rc;
            if (k == 0) std::memcpy(storage->path, path.c_str(), path.size() + 1);
            previous = &storage->images[k];
        }
    }
    storage->selected = chainLength - 1;
    return DISK_OK;
}

int ParallelsBundle_OpenWithCallback(ParallelsBundle* bundle, FileOpenFn open, void* user,
                                     const char* path, bool readOnly, const char* guid)
{
    if (bundle == nullptr || open == nullptr || path == nullptr) return DISK_ERR_ARG;
    ParallelsBundle_Init(bundle);
    ParallelsDescriptor d;
    char buffer[PARALLELS_BUNDLE_PATH_BYTES];
    int rc = ParallelsBundle_ReadDescriptor(&d, open, user, path, buffer);
    if (rc != DISK_OK) return rc;

    // The shots in document order.
    std::vector<XmlNode*> shots;
    for (uint32_t i = 0; i < PtrArray_GetCount(&d.snapshots->children); i++)
        if (Xml_NameIs(Child(d.snapshots, i), "Shot")) shots.push_back(Child(d.snapshots, i));
    std::vector<TextView> chain;
    bool leaf = true;
    rc = DISK_OK;
    if (guid != nullptr) {
        // Walk up from the snapshot to the root, each shot at most once.
        std::vector<bool> visited(shots.size(), false);
        TextView current = View(guid);
        for (;;) {
            size_t found = shots.size();
            for (size_t i = 0; i < shots.size(); i++) {
                TextView g;
                ChildText(shots[i], "GUID", &g);
                if (Parallels_GuidEquals(g, current)) {
                    found = i;
                    break;
                }
            }
            if (found == shots.size() || visited[found]) {
                rc = Refusal_Record("Parallels descriptor: unknown snapshot or a loop of parents");
                break;
            }
            visited[found] = true;
            TextView g, parent;
            ChildText(shots[found], "GUID", &g);
            ChildText(shots[found], "ParentGUID", &parent);
            chain.push_back(g);
            if (Parallels_GuidEquals(parent, View(kNullGuid))) break;
            current = parent;
        }
        for (XmlNode* s : shots) {
            TextView parent;
            ChildText(s, "ParentGUID", &parent);
            if (Parallels_GuidEquals(parent, View(guid))) leaf = false;
        }
        std::vector<TextView> reversed(chain.rbegin(), chain.rend());
        chain.swap(reversed);
    } else {
        TextView g, parent;
        if (shots.size() != 1 || !ChildText(shots[0], "ParentGUID", &parent) ||
            !Parallels_GuidEquals(parent, View(kNullGuid))) {
            rc = Refusal_Record("Parallels descriptor: not a single snapshot without a parent");
        } else {
            ChildText(shots[0], "GUID", &g);
            chain.push_back(g);
        }
    }

    // Storages in disk order, linked by their Start and End texts.
    std::vector<XmlNode*> order;
    if (rc == DISK_OK) {
        std::vector<XmlNode*> storages;
        for (uint32_t i = 0; i < PtrArray_GetCount(&d.storageData->children); i++)
            if (Xml_NameIs(Child(d.storageData, i), "Storage"))
                storages.push_back(Child(d.storageData, i));
        std::vector<bool> used(storages.size(), false);
        uint32_t expected = 0;
        for (size_t k = 0; k < storages.size() && rc == DISK_OK; k++) {
            size_t found = storages.size();
            for (size_t i = 0; i < storages.size(); i++) {
                uint32_t start = 0;
                if (!used[i] && ChildNumber(storages[i], "Start", &start) && start == expected) {
                    found = i;
                    break;
                }
            }
            uint32_t end = 0;
            if (found == storages.size() || !ChildNumber(storages[found], "End", &end) ||
                end <= expected) {
                rc = Refusal_Record("Parallels descriptor: storages do not follow each other");
                break;
            }
            used[found] = true;
            order.push_back(storages[found]);
            expected = end;
        }
        // The storages must hold the whole disk.
        if (rc == DISK_OK && d.diskSize > expected)
            rc = Refusal_Record("Parallels descriptor: storages do not cover the disk");
    }
    if (rc == DISK_OK) {
        bundle->storages = static_cast<ParallelsStorage*>(
            Mem_Alloc(static_cast<uint32_t>(order.size() * sizeof(ParallelsStorage))));
        if (bundle->storages == nullptr) rc = DISK_ERR_NOMEM;
    }
    // Every data file of every layer stays open.
    if (rc == DISK_OK) Os_EnsureOpenFiles(static_cast<uint64_t>(order.size()) * chain.size() + 64);
    for (size_t k = 0; rc == DISK_OK && k < order.size(); k++) {
        rc = ParallelsStorage_Open(&bundle->storages[k], static_cast<uint32_t>(chain.size()),
                                   chain.data(), order[k], &d, open, user, readOnly);
        bundle->storageCount = static_cast<uint32_t>(k + 1);
    }
    if (rc != DISK_OK) {
        ParallelsBundle_Close(bundle);
        ParallelsDescriptor_Free(&d);
        return rc;
    }
    bundle->leaf = leaf;
    bundle->geometry.heads = d.heads;
    bundle->geometry.sectors_per_track = d.sectors;
    bundle->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&bundle->geometry, d.diskSize);
    ParallelsDescriptor_Free(&d);
    return DISK_OK;
}

int ParallelsBundle_OpenSnapshot(ParallelsBundle* bundle, const char* path, bool readOnly,
                                 const char* guid)
{
    return ParallelsBundle_OpenWithCallback(bundle, FileOpener_DefaultOpen, nullptr, path, readOnly,
                                            guid);
}

int ParallelsBundle_Open(ParallelsBundle* bundle, const char* path, bool readOnly)
{
    return ParallelsBundle_OpenSnapshot(bundle, path, readOnly, nullptr);
}

int ParallelsBundle_OpenWithHandler(ParallelsBundle* bundle, const FileOpener* opener,
                                    const char* path, bool readOnly)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return ParallelsBundle_OpenWithCallback(bundle, opener->open, opener->user, path, readOnly,
                                            nullptr);
}

static int OpenBundleHandle(DiskHandle* handle, FileOpenFn open, void* user, const char* path,
                            bool readOnly, const char* guid)
{
    if (handle == nullptr || handle->object != nullptr) return DISK_ERR_ARG;
    ParallelsBundle* b = ParallelsBundle_Alloc();
    if (b == nullptr) return DISK_ERR_NOMEM;
    ParallelsBundle_Init(b);
    int rc = ParallelsBundle_OpenWithCallback(b, open, user, path, readOnly, guid);
    if (rc != DISK_OK) {
        Mem_Free(b);
        return rc;
    }
    handle->kind = DISK_KIND_PARALLELS_BUNDLE;
    handle->object = b;
    return DISK_OK;
}

int Disk_OpenParallelsBundle(DiskHandle* handle, const char* path, bool readOnly)
{
    return OpenBundleHandle(handle, FileOpener_DefaultOpen, nullptr, path, readOnly, nullptr);
}

int Disk_OpenParallelsBundleWithHandler(DiskHandle* handle, const FileOpener* opener,
                                        const char* path, bool readOnly, int, void*)
{
    if (opener == nullptr) opener = &FileOpener_Default;
    return OpenBundleHandle(handle, opener->open, opener->user, path, readOnly, nullptr);
}

int Disk_OpenParallelsSnapshot(DiskHandle* handle, const char* path, bool readOnly,
                               const char* guid)
{
    if (guid == nullptr) return DISK_ERR_ARG;
    return OpenBundleHandle(handle, FileOpener_DefaultOpen, nullptr, path, readOnly, guid);
}

// ---- Reading ------------------------------------------------------------------------------------------

void ParallelsBundle_GetGeometry(void* object, DiskGeometry* out)
{
    if (object != nullptr && out != nullptr) *out = static_cast<ParallelsBundle*>(object)->geometry;
}

namespace {

// The storage holding `sector` (the last whose first sector is not above it).
uint32_t FindStorage(const ParallelsBundle* b, uint64_t sector)
{
    uint32_t lo = 0, hi = b->storageCount;
    while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (b->storages[mid].firstSector <= sector)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

// The present image nearest at or below the selected one, or NULL.
ParallelsStorageImage* Serving(ParallelsStorage* s)
{
    for (uint32_t i = s->selected + 1; i > 0; i--)
        if (s->images[i - 1].type != -1) return &s->images[i - 1];
    return nullptr;
}

}  // namespace

int ParallelsBundle_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    ParallelsBundle* b = static_cast<ParallelsBundle*>(object);
    if (b == nullptr || b->storageCount == 0 || buffer == nullptr ||
        !Geometry_IsByteRangeInside(offset, length, &b->geometry))
        return DISK_ERR_ARG;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t k = FindStorage(b, offset / 512);
    while (length != 0) {
        if (k >= b->storageCount) return DISK_ERR_ARG;
        ParallelsStorage* s = &b->storages[k];
        const uint64_t begin = static_cast<uint64_t>(s->firstSector) * 512;
        const uint64_t end = begin + static_cast<uint64_t>(s->sectorCount) * 512;
        if (offset < begin || offset >= end) return DISK_ERR_ARG;
        const uint32_t n = end - offset < length ? static_cast<uint32_t>(end - offset) : length;
        ParallelsStorageImage* img = Serving(s);
        if (img == nullptr) return DISK_ERR_ARG;
        int rc = ParallelsStorageImage_Read(img, offset - begin, n, out);
        if (rc != DISK_OK) return rc;
        offset += n;
        length -= n;
        out += n;
        k++;
    }
    return DISK_OK;
}

int ParallelsBundle_IsRangeEmpty(void* object, UsedSectorMap* map, uint64_t first, uint32_t count,
                                 bool* empty, RangeProgressAdapter, RangeProgressRecord*)
{
    ParallelsBundle* b = static_cast<ParallelsBundle*>(object);
    if (b == nullptr || b->storageCount == 0 || empty == nullptr ||
        !Geometry_IsSectorRangeInside(first, count, &b->geometry))
        return DISK_ERR_ARG;
    uint32_t k = FindStorage(b, first);
    while (count != 0) {
        if (k >= b->storageCount) return DISK_ERR_ARG;
        ParallelsStorage* s = &b->storages[k];
        const uint64_t end = static_cast<uint64_t>(s->firstSector) + s->sectorCount;
        const uint32_t n = end - first < count ? static_cast<uint32_t>(end - first) : count;
        ParallelsStorageImage* img = Serving(s);
        if (img == nullptr) return DISK_ERR_ARG;
        bool pieceEmpty = true;
        int rc = img->type == 0 ? ParallelsData_IsRangeEmpty(&img->data, map,
                                                             first - s->firstSector, n, &pieceEmpty)
                                : ParallelsFlat_IsRangeEmpty(
                                      &img->flat, map, first - s->firstSector, n, &pieceEmpty);
        if (rc != DISK_OK) return rc;
        if (!pieceEmpty) {
            *empty = false;
            return DISK_OK;
        }
        first += n;
        count -= n;
        k++;
    }
    *empty = true;
    return DISK_OK;
}

int ParallelsBundle_IsRangeUnallocated(void* object, UsedSectorMap* map, uint64_t first,
                                       uint32_t count, bool* out)
{
    ParallelsBundle* b = static_cast<ParallelsBundle*>(object);
    if (b == nullptr || b->storageCount == 0 || out == nullptr ||
        !Geometry_IsSectorRangeInside(first, count, &b->geometry))
        return DISK_ERR_ARG;
    uint32_t k = FindStorage(b, first);
    while (count != 0) {
        if (k >= b->storageCount) return DISK_ERR_ARG;
        ParallelsStorage* s = &b->storages[k];
        const uint64_t end = static_cast<uint64_t>(s->firstSector) + s->sectorCount;
        const uint32_t n = end - first < count ? static_cast<uint32_t>(end - first) : count;
        ParallelsStorageImage* img = &s->images[s->selected];
        bool unallocated = true;
        if (img->type == 1) {
            unallocated = false;
        } else if (img->type == 0) {
            int rc = ParallelsData_IsRangeUnallocated(&img->data, map, first - s->firstSector, n,
                                                      &unallocated);
            if (rc != DISK_OK) return rc;
        }
        if (!unallocated) {
            *out = false;
            return DISK_OK;
        }
        first += n;
        count -= n;
        k++;
    }
    *out = true;
    return DISK_OK;
}

bool ParallelsBundle_CanCompact(void* object)
{
    ParallelsBundle* b = static_cast<ParallelsBundle*>(object);
    if (b == nullptr || !b->leaf) return false;
    for (uint32_t i = 0; i < b->storageCount; i++) {
        const ParallelsStorage& s = b->storages[i];
        if (s.images[s.selected].type == 1) return false;
    }
    return true;
}

bool ParallelsBundle_HasParent(void* object)
{
    ParallelsBundle* b = static_cast<ParallelsBundle*>(object);
    return b != nullptr && b->storageCount != 0 && b->storages[0].selected > 0;
}

int32_t ParallelsBundle_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr || !Geometry_FitsIn32Bits(geometry) ||
        geometry->bytes_per_sector != 512)
        return -1;
    return 0;
}

// ---- Writer -------------------------------------------------------------------------------------------

ParallelsBundleCreateOptions* ParallelsBundle_AllocCreateOptions()
{
    return static_cast<ParallelsBundleCreateOptions*>(
        Mem_Alloc(sizeof(ParallelsBundleCreateOptions)));
}

int ParallelsBundle_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                           ProgressCallback callback, void* user,
                           const ParallelsBundleCreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr) return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (ParallelsBundle_CheckGeometry(&g) != 0 || g.heads == 0 || g.sectors_per_track == 0)
        return DISK_ERR_ARG;
    const uint64_t h = g.heads, s = g.sectors_per_track;
    const uint64_t B = Parallels_BlockSectors(h, s);
    const uint64_t T = Geometry_GetTotalSectors(&g);
    const uint64_t written = options->extra != 0 ? T + B : T;
    if (written == 0 || written > 0xFFFFFFFFull || B > (1u << 22)) return DISK_ERR_ARG;
    // A storage holds whole blocks; a split size below one block cannot cut the disk.
    uint64_t storageSize = written;
    if (options->splitSectors != 0) {
        storageSize = options->splitSectors / B * B;
        if (storageSize == 0) return DISK_ERR_ARG;
    }
    if ((written + storageSize - 1) / storageSize > PARALLELS_BUNDLE_MAX_STORAGES)
        return DISK_ERR_ARG;
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const size_t slash = dir.rfind('/');
    const std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (dir.size() + name.size() + 64 >= PARALLELS_BUNDLE_PATH_BYTES) return DISK_ERR_ARG;

    // The written disk: the source, one block longer when the extra base is set.
    DiskHandle view;
    Disk_Init(&view);
    const DiskHandle* disk = source;
    if (options->extra != 0) {
        int rc = Disk_OpenResized(&view, const_cast<DiskHandle*>(source), false, written);
        if (rc != DISK_OK) return rc;
        ResizeDisk_SetHeadsAndSectors(static_cast<ResizeView*>(view.object), g.heads,
                                      g.sectors_per_track);
        disk = &view;
    }
    if (!Os_MakeDirectory(dir.c_str())) {
        const int error = errno;
        if (!IsDirectory(dir.c_str())) {
            // The run tells why: a file of that name, a missing folder, no permission.
            IoFailure_RecordFile(IO_FAILURE_CREATE, error);
            Disk_Close(&view);
            return DISK_ERR_MKDIR;
        }
        // A bundle written over: its descriptor goes first, so that the directory never
        // describes data files that are half rewritten. The new one is written last.
        const std::string old = dir + "/" + kDescriptorName;
        struct stat st;
        if (lstat(old.c_str(), &st) == 0 && !Os_RemoveFile(old.c_str())) {
            Disk_Close(&view);
            return DISK_ERR_CREATE;
        }
    }
    char guid[64];
    std::snprintf(guid, sizeof guid,
                  "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  kBundleGuid[0], kBundleGuid[1], kBundleGuid[2], kBundleGuid[3], kBundleGuid[4],
                  kBundleGuid[5], kBundleGuid[6], kBundleGuid[7], kBundleGuid[8], kBundleGuid[9],
                  kBundleGuid[10], kBundleGuid[11], kBundleGuid[12], kBundleGuid[13],
                  kBundleGuid[14], kBundleGuid[15]);

    int rc = DISK_OK;
    XmlNode* doc = Xml_NewDocument();
    std::vector<std::string> names;  // kept alive until serialised
    names.reserve(static_cast<size_t>((written + storageSize - 1) / storageSize));
    XmlNode* root = doc ? Xml_AddElement(doc, "Parallels_disk_image") : nullptr;
    XmlNode* params = root ? Xml_AddElement(root, "Disk_Parameters") : nullptr;
    XmlNode* misc = nullptr;
    XmlNode* storageData = nullptr;
    bool built = root && Xml_AddAttribute(root, "Version", "1.0") && params &&
                 Xml_AddIntElement(params, "Disk_size", static_cast<int64_t>(written)) &&
                 Xml_AddIntElement(params, "Cylinders", static_cast<int64_t>(T / (h * s))) &&
                 Xml_AddIntElement(params, "Heads", static_cast<int64_t>(h)) &&
                 Xml_AddIntElement(params, "Sectors", static_cast<int64_t>(s)) &&
                 Xml_AddIntElement(params, "Padding", options->extra) &&
                 (misc = Xml_AddElement(params, "Miscellaneous")) != nullptr &&
                 Xml_AddTextElement(misc, "CompatLevel", "level2") &&
                 (storageData = Xml_AddElement(root, "StorageData")) != nullptr;
    if (!built) rc = DISK_ERR_NOMEM;
    for (uint64_t first = 0, k = 0; rc == DISK_OK && first < written; first += storageSize, k++) {
        const uint64_t count = written - first < storageSize ? written - first : storageSize;
        char file[PARALLELS_BUNDLE_PATH_BYTES];
        const int n = std::snprintf(file, sizeof file, "%s.%u.%s.hds", name.c_str(),
                                    static_cast<unsigned>(k), guid);
        if (n < 0 || static_cast<size_t>(n) >= sizeof file ||
            dir.size() + 1 + static_cast<size_t>(n) >= PARALLELS_BUNDLE_PATH_BYTES) {
            rc = DISK_ERR_ARG;
            break;
        }
        names.push_back(file);
        XmlNode* st = Xml_AddElement(storageData, "Storage");
        XmlNode* image = nullptr;
        if (!st || !Xml_AddIntElement(st, "Start", static_cast<int64_t>(first)) ||
            !Xml_AddIntElement(st, "End", static_cast<int64_t>(first + count)) ||
            !Xml_AddIntElement(st, "Blocksize", static_cast<int64_t>(B)) ||
            (image = Xml_AddElement(st, "Image")) == nullptr ||
            !Xml_AddTextElement(image, "GUID", guid) ||
            !Xml_AddTextElement(image, "Type", options->compressed ? "Compressed" : "Plain") ||
            !Xml_AddElement(image, "Flags") ||
            !Xml_AddTextElement(image, "File", names.back().c_str())) {
            rc = DISK_ERR_NOMEM;
            break;
        }
        const std::string full = dir + "/" + file;
        rc = options->compressed
                 ? ParallelsData_Create(full.c_str(), disk, map, static_cast<uint32_t>(first),
                                        static_cast<uint32_t>(count), options->extra, callback,
                                        user, written)
                 : ParallelsFlat_Create(full.c_str(), disk, map, static_cast<uint32_t>(first),
                                        static_cast<uint32_t>(count), 0, callback, user, written);
    }
    XmlNode* shots = nullptr;
    XmlNode* shot = nullptr;
    if (rc == DISK_OK &&
        (!(shots = Xml_AddElement(root, "Snapshots")) || !(shot = Xml_AddElement(shots, "Shot")) ||
         !Xml_AddTextElement(shot, "GUID", guid) ||
         !Xml_AddTextElement(shot, "ParentGUID", kNullGuid)))
        rc = DISK_ERR_NOMEM;
    uint8_t* text = nullptr;
    if (rc == DISK_OK) {
        text = static_cast<uint8_t*>(Mem_Alloc(PARALLELS_DESCRIPTOR_MAX));
        if (text == nullptr) rc = DISK_ERR_NOMEM;
    }
    if (rc == DISK_OK) {
        TextBuffer buffer;
        TextBuffer_Init(&buffer, text, 0, PARALLELS_DESCRIPTOR_MAX);
        if (!Xml_Serialize(doc, View("\n"), View("    "), &buffer)) {
            rc = DISK_ERR_ARG;
        } else {
            ByteStream* out = nullptr;
            const std::string descriptor = dir + "/" + kDescriptorName;
            if (!Stream_CreateFile(descriptor.c_str(), &out)) {
                rc = DISK_ERR_CREATE;
            } else {
                if (!Stream_WriteAt(out, 0, buffer.length, buffer.data)) rc = DISK_ERR_WRITE;
                if (!Stream_Close(out) && rc == DISK_OK) rc = DISK_ERR_WRITE;
            }
            const std::string marker = dir + "/" + name;
            if (rc == DISK_OK) {
                if (!Stream_CreateFile(marker.c_str(), &out))
                    rc = DISK_ERR_CREATE;
                else if (!Stream_Close(out))
                    rc = DISK_ERR_WRITE;
            }
        }
    }
    Mem_Free(text);
    if (doc != nullptr) Xml_FreeNode(doc);
    Disk_Close(&view);
    return rc;
}

// ---- Compaction ---------------------------------------------------------------------------------------

int ParallelsStorageImage_Compact(ParallelsStorageImage* image, const char* tempPath,
                                  const DiskHandle* source, UsedSectorMap* map, bool preallocate,
                                  ProgressCallback callback, void* user, uint64_t diskTotal)
{
    if (image == nullptr || image->type != 0) return DISK_ERR_ARG;
    return ParallelsData_Compact(&image->data, tempPath, source, map, preallocate, callback, user,
                                 diskTotal, false);
}

int ParallelsStorage_Compact(ParallelsStorage* storage, const char* tempPath,
                             const DiskHandle* source, UsedSectorMap* map, bool preallocate,
                             ProgressCallback callback, void* user, uint64_t diskTotal)
{
    if (storage == nullptr || storage->imageCount != 1) return DISK_ERR_ARG;
    return ParallelsStorageImage_Compact(&storage->images[0], tempPath, source, map, preallocate,
                                         callback, user, diskTotal);
}

namespace {

// The escaped form of a name inside an XML element's text.
std::string XmlEscaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Calls `visit` with every "Image" element's "File" view of a parsed descriptor.
template <typename Visit>
void ForEachImageFile(XmlNode* storageData, Visit visit)
{
    for (uint32_t i = 0; i < PtrArray_GetCount(&storageData->children); i++) {
        XmlNode* storage = Child(storageData, i);
        if (!Xml_NameIs(storage, "Storage")) continue;
        for (uint32_t k = 0; k < PtrArray_GetCount(&storage->children); k++) {
            XmlNode* image = Child(storage, k);
            TextView file;
            if (Xml_NameIs(image, "Image") && ChildText(image, "File", &file)) visit(file);
        }
    }
}

// Lists the data files that a descriptor names (for the commit's clean-up of a replaced
// backup). The file is untrusted: a text that does not parse lists nothing.
void ListDataFiles(const char* path, OutputPathSink sink, void* sinkUser, void*)
{
    ByteStream* s = nullptr;
    if (!Stream_OpenFile(path, true, &s)) return;
    uint64_t size = 0;
    char* text = nullptr;
    if (Stream_GetSize(s, &size) && size >= PARALLELS_DESCRIPTOR_MIN &&
        size <= PARALLELS_DESCRIPTOR_MAX)
        text = static_cast<char*>(Mem_Alloc(static_cast<uint32_t>(size + 1)));
    const bool read = text != nullptr && Stream_ReadAt(s, 0, static_cast<uint32_t>(size), text);
    Stream_Close(s);
    XmlNode* doc = nullptr;
    if (read) {
        text[size] = 0;
        doc = Xml_Parse(text, static_cast<uint32_t>(strnlen(text, static_cast<size_t>(size))));
    }
    XmlNode* root = doc ? Xml_FindChild(doc, "Parallels_disk_image") : nullptr;
    XmlNode* storageData = root ? Xml_FindChild(root, "StorageData") : nullptr;
    if (storageData != nullptr) {
        const std::string folder = FolderOf(path);
        ForEachImageFile(storageData, [&](TextView file) {
            std::string member =
                folder + std::string(reinterpret_cast<const char*>(file.data), file.length);
            if (member.size() < PARALLELS_BUNDLE_PATH_BYTES &&
                member.find('\0') == std::string::npos)
                sink(member.c_str(), sinkUser);
        });
    }
    if (doc != nullptr) Xml_FreeNode(doc);
    Mem_Free(text);
}

bool SetEntry(OutputEntry* entry, const std::string& finalPath, const std::string& tempPath)
{
    return TextBuffer_Set(&entry->finalPath, View(finalPath.c_str())) &&
           TextBuffer_TerminateUtf8(&entry->finalPath) &&
           TextBuffer_Set(&entry->tempPath, View(tempPath.c_str())) &&
           TextBuffer_TerminateUtf8(&entry->tempPath);
}

// The new descriptor: the old text with the "File" texts of the compacted data files changed to
// their fresh names (everything else byte for byte). `fresh` holds each storage's fresh path.
int RewriteDescriptorText(const ParallelsBundle* b, const ParallelsDescriptor& d,
                          const char* descriptorPath, const std::vector<std::string>& fresh,
                          std::string* out)
{
    const char* begin = d.text;
    const size_t length = std::strlen(d.text);
    struct Edit {
        size_t at, length;
        std::string text;
    };
    std::vector<Edit> edits;
    std::vector<bool> named(b->storageCount, false);
    // The data files are told apart by device and inode.
    struct Id {
        dev_t device;
        ino_t inode;
    };
    std::vector<Id> ids(b->storageCount);
    for (uint32_t i = 0; i < b->storageCount; i++) {
        struct stat st;
        if (stat(b->storages[i].path, &st) != 0) return DISK_ERR_OPEN;
        ids[i] = Id{st.st_dev, st.st_ino};
    }
    bool ok = true;
    const std::string folder = FolderOf(descriptorPath);
    ForEachImageFile(d.storageData, [&](TextView file) {
        const std::string name(reinterpret_cast<const char*>(file.data), file.length);
        const std::string path = folder + name;
        struct stat st;
        if (!ok || name.find('\0') != std::string::npos || stat(path.c_str(), &st) != 0) return;
        for (uint32_t i = 0; ok && i < b->storageCount; i++) {
            if (ids[i].device != st.st_dev || ids[i].inode != st.st_ino) continue;
            // The text must be the element's own bytes (no entity in it) to be replaced in place.
            const char* at = reinterpret_cast<const char*>(file.data);
            if (at < begin || at + file.length > begin + length) {
                ok = false;
                break;
            }
            const size_t slash = name.rfind('/');
            const std::string prefix =
                slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
            const size_t freshSlash = fresh[i].rfind('/');
            const std::string bare =
                freshSlash == std::string::npos ? fresh[i] : fresh[i].substr(freshSlash + 1);
            edits.push_back(
                Edit{static_cast<size_t>(at - begin), file.length, XmlEscaped(prefix + bare)});
            named[i] = true;
            break;
        }
    });
    for (uint32_t i = 0; ok && i < b->storageCount; i++) ok = named[i];
    if (!ok) return DISK_ERR_ARG;
    std::sort(edits.begin(), edits.end(), [](const Edit& x, const Edit& y) { return x.at < y.at; });
    out->clear();
    size_t from = 0;
    for (const Edit& e : edits) {
        if (e.at < from) return DISK_ERR_ARG;
        out->append(begin + from, e.at - from);
        out->append(e.text);
        from = e.at + e.length;
    }
    out->append(begin + from, length - from);
    if (out->size() > PARALLELS_DESCRIPTOR_MAX) return DISK_ERR_ARG;
    // The new text reads back with the same shape.
    XmlNode* doc = Xml_Parse(out->c_str(), static_cast<uint32_t>(out->size()));
    XmlNode* root = doc ? Xml_FindChild(doc, "Parallels_disk_image") : nullptr;
    const bool shape = root != nullptr && Xml_FindChild(root, "StorageData") != nullptr;
    if (doc != nullptr) Xml_FreeNode(doc);
    return shape ? DISK_OK : Refusal_Record("Parallels descriptor: edited text does not read back");
}

}  // namespace

int ParallelsBundle_Compact(const char* path, const DiskHandle* source, UsedSectorMap* map,
                            OutputList* list, bool preallocate, ProgressCallback callback,
                            void* user)
{
    if (list == nullptr) return DISK_ERR_ARG;
    if (source == nullptr || Disk_GetKind(source) != DISK_KIND_PARALLELS_BUNDLE ||
        Disk_GetObject(source) == nullptr || !Disk_CanCompact(source))
        return DISK_ERR_ARG;
    ParallelsBundle* b = static_cast<ParallelsBundle*>(Disk_GetObject(source));
    if (b->storageCount == 0) return DISK_OK;
    for (uint32_t i = 0; i < b->storageCount; i++)
        if (b->storages[i].imageCount != 1) return DISK_ERR_ARG;
    // The descriptor: found from the path the bundle was opened by, or beside the first data file.
    char descriptorPath[PARALLELS_BUNDLE_PATH_BYTES];
    ParallelsDescriptor d;
    std::string beside = FolderOf(b->storages[0].path) + kDescriptorName;
    int rc =
        ParallelsBundle_ReadDescriptor(&d, FileOpener_DefaultOpen, nullptr,
                                       path != nullptr ? path : beside.c_str(), descriptorPath);
    if (rc != DISK_OK) return rc;
    // Members: the compacted data files under fresh names; then the descriptor; then the old data
    // files (final paths only), which the new descriptor no longer names.
    const uint32_t n = b->storageCount;
    if (!OutputList_Alloc(list, 2 * n + 1)) {
        ParallelsDescriptor_Free(&d);
        return DISK_ERR_NOMEM;
    }
    std::vector<const char*> files;
    files.push_back(descriptorPath);
    for (uint32_t i = 0; i < n; i++) files.push_back(b->storages[i].path);
    std::vector<std::string> fresh;
    const TextView none = {nullptr, 0};
    const uint64_t total = Geometry_GetTotalSectors(&b->geometry);
    // A backup name that is the descriptor itself is a trace of a killed commit, removed by the
    // commit; any other file of the bundle under it is refused.
    if (!OutputSet_IsCommitTrace(descriptorPath, Path_DeleteSuffix(TEXT_ENC_UTF8)))
        rc = Output_CheckBackupName(descriptorPath, Path_DeleteSuffix(TEXT_ENC_UTF8), files.data(),
                                    static_cast<uint32_t>(files.size()));
    for (uint32_t i = 0; rc == DISK_OK && i < n; i++) {
        char name[PARALLELS_BUNDLE_PATH_BYTES];
        std::vector<const char*> avoid(files);
        for (const std::string& f : fresh) avoid.push_back(f.c_str());
        rc = OutputSet_FreshName(b->storages[i].path, avoid.data(),
                                 static_cast<uint32_t>(avoid.size()), name, sizeof name);
        if (rc != DISK_OK) break;
        fresh.push_back(name);
        OutputEntry* entry = &list->entries[i];
        rc = OutputEntry_ChooseNames(entry, name, Path_CompactSuffix(), none, avoid.data(),
                                     static_cast<uint32_t>(avoid.size()));
        if (rc != DISK_OK) break;
        rc = ParallelsStorage_Compact(&b->storages[i],
                                      reinterpret_cast<const char*>(entry->tempPath.data), source,
                                      map, preallocate, callback, user, total);
        list->count = i + 1;
    }
    std::string text;
    if (rc == DISK_OK) rc = RewriteDescriptorText(b, d, descriptorPath, fresh, &text);
    ParallelsDescriptor_Free(&d);
    if (rc == DISK_OK) {
        OutputEntry* entry = &list->entries[n];
        rc = OutputEntry_ChooseNames(entry, descriptorPath, Path_CompactSuffix(), none,
                                     files.data(), static_cast<uint32_t>(files.size()));
        // Listed as soon as its name is claimed, so that a discard removes the claimed file.
        if (rc == DISK_OK) list->count = n + 1;
        ByteStream* s = nullptr;
        if (rc == DISK_OK &&
            !Stream_CreateFile(reinterpret_cast<const char*>(entry->tempPath.data), &s))
            rc = DISK_ERR_CREATE;
        if (rc == DISK_OK) {
            const bool written =
                Stream_WriteAt(s, 0, static_cast<uint32_t>(text.size()), text.data());
            if (!Stream_Close(s) || !written) rc = DISK_ERR_WRITE;
        }
    }
    for (uint32_t i = 0; rc == DISK_OK && i < n; i++) {
        if (!SetEntry(&list->entries[n + 1 + i], b->storages[i].path, std::string()))
            rc = DISK_ERR_ARG;
        list->count = n + 2 + i;
    }
    return rc;
}

int ParallelsBundle_CommitCompact(OutputList* list, TextView suffix, uint32_t flags)
{
    if (list == nullptr) return DISK_ERR_ARG;
    // The descriptor is the last entry with a temporary file; entries after it are retired.
    uint32_t descriptor = list->count;
    for (uint32_t i = list->count; i-- > 0;)
        if (list->entries[i].tempPath.length != 0) {
            descriptor = i;
            break;
        }
    if (descriptor == list->count || descriptor + 1 == list->count)
        return OutputList_Commit(list, suffix, flags);
    std::vector<const char*> finals, temps, retired;
    for (uint32_t i = 0; i < descriptor; i++) {
        finals.push_back(reinterpret_cast<const char*>(list->entries[i].finalPath.data));
        temps.push_back(reinterpret_cast<const char*>(list->entries[i].tempPath.data));
    }
    for (uint32_t i = descriptor + 1; i < list->count; i++)
        retired.push_back(reinterpret_cast<const char*>(list->entries[i].finalPath.data));
    OutputSetFiles set;
    std::memset(&set, 0, sizeof set);
    set.descriptorFinal = reinterpret_cast<const char*>(list->entries[descriptor].finalPath.data);
    set.descriptorTemp = reinterpret_cast<const char*>(list->entries[descriptor].tempPath.data);
    set.memberFinals = finals.data();
    set.memberTemps = temps.data();
    set.memberCount = static_cast<uint32_t>(finals.size());
    set.retired = retired.data();
    set.retiredCount = static_cast<uint32_t>(retired.size());
    set.lister = ListDataFiles;
    int rc = OutputSet_Commit(&set, suffix, flags);
    // A failed commit leaves the old bundle: the new files go.
    if (rc != DISK_OK) return OutputList_Rollback(list), rc;
    Mem_Free(list->entries);
    OutputList_Init(list);
    return DISK_OK;
}

int ParallelsBundle_DiscardCompact(OutputList* list) { return OutputList_Rollback(list); }
