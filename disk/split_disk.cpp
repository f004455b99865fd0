// Split sets of part files: descriptor, part reader, read window, writer.
#include "disk/split_disk.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/stream.h"
#include "foundation/zlib_stream.h"

namespace {

const char kDescriptorTooLong[] = "split descriptor: too long";
const char kDescriptorNotUtf8[] = "split descriptor: text is not UTF-8";

struct PartInfo {
    std::string path;
    uint64_t offset;  // stream offset of its data
    uint32_t bytes;
};

struct Header {
    uint8_t last;
    uint32_t crcAfter;
    uint16_t compressed;
    uint32_t crcBefore;
    uint64_t offset;
    uint32_t bytes;
    uint8_t firstValue;
    uint64_t heads, cylinders, spt, total;
    uint32_t bps;
};

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }
void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v)
{
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

int SplitDisk_CheckPartHeader(const uint8_t* b)
{
    if (Le16(b) != SPLIT_MAGIC || Le16(b + 102) != SPLIT_MAGIC)
        return Refusal_Record("split part header: no signature");
    if (Le16(b + 2) != SPLIT_VERSION) return Refusal_Record("split part header: unknown version");
    if (b[4] > 1) return Refusal_Record("split part header: last-part flag out of range");
    if (Le16(b + 13) > 1) return Refusal_Record("split part header: unknown compression");
    if (b[15] != 0 || b[16] != 1)
        return Refusal_Record("split part header: fixed field has another value");
    for (int i = 72; i < 102; i++)
        if (b[i] != 0) return Refusal_Record("split part header: reserved bytes are not zero");
    uint8_t copy[SPLIT_HEADER_BYTES];
    std::memcpy(copy, b, sizeof copy);
    std::memset(copy + 9, 0, 4);
    if (Zlib_Crc32(0, copy, sizeof copy) != Le32(b + 9))
        return Refusal_Record("split part header: checksum does not match");
    return DISK_OK;
}

void SplitDisk_PartHeaderToHost(const uint8_t* b, Header* h)
{
    h->last = b[4];
    h->crcAfter = Le32(b + 5);
    h->compressed = Le16(b + 13);
    h->crcBefore = Le32(b + 17);
    h->offset = Le64(b + 21);
    h->bytes = Le32(b + 29);
    h->firstValue = b[33];
    h->heads = Le64(b + 34);
    h->cylinders = Le64(b + 42);
    h->spt = Le64(b + 50);
    h->total = Le64(b + 58);
    h->bps = Le32(b + 66);
}

void BuildHeader(const Header& h, uint8_t* b)
{
    std::memset(b, 0, SPLIT_HEADER_BYTES);
    Put16(b, SPLIT_MAGIC);
    Put16(b + 2, SPLIT_VERSION);
    b[4] = h.last;
    Put32(b + 5, h.crcAfter);
    Put16(b + 13, h.compressed);
    b[16] = 1;
    Put32(b + 17, h.crcBefore);
    Put64(b + 21, h.offset);
    Put32(b + 29, h.bytes);
    b[33] = h.firstValue;
    Put64(b + 34, h.heads);
    Put64(b + 42, h.cylinders);
    Put64(b + 50, h.spt);
    Put64(b + 58, h.total);
    Put32(b + 66, h.bps);
    Put16(b + 102, SPLIT_MAGIC);
    Put32(b + 9, Zlib_Crc32(0, b, SPLIT_HEADER_BYTES));
}

std::string DirOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
std::string NameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Directory and stem of `path` followed by ".p" and the part number.
std::string PartName(const std::string& path, uint32_t index)
{
    std::string dir = DirOf(path), name = NameOf(path);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0) name.resize(dot);
    char number[16];
    std::snprintf(number, sizeof number, index <= 99 ? ".p%02u" : ".p%u", index);
    return dir + name + number;
}

struct Entry {
    std::string file;
    uint32_t mib;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads a descriptor's text into its "file" / "max_size" pairs.
int SplitDisk_CheckDescriptor(const std::string& text, std::vector<Entry>* entries)
{
    if (text.size() > SPLIT_MAX_DESCRIPTOR_BYTES) return Refusal_Record(kDescriptorTooLong);
    if (text.find('\0') != std::string::npos) return Refusal_Record("split descriptor: not text");
    std::vector<std::string> files, sizes;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t i = 0;
        while (i < line.size() && IsBlank(line[i])) i++;
        if (i == line.size() || line[i] == ';') continue;
        const size_t keyStart = i;
        while (i < line.size() && !IsBlank(line[i]) && line[i] != ';' && line[i] != '=' &&
               line[i] != '"')
            i++;
        if (i == keyStart) return Refusal_Record("split descriptor: line without a key");
        const std::string key = line.substr(keyStart, i - keyStart);
        while (i < line.size() && IsBlank(line[i])) i++;
        if (i == line.size() || line[i] != '=')
            return Refusal_Record("split descriptor: key without \"=\"");
        i++;
        while (i < line.size() && IsBlank(line[i])) i++;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string::npos)
                return Refusal_Record("split descriptor: quote not closed");
            value = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < line.size() && !IsBlank(line[i]) && line[i] != ';' && line[i] != '"' &&
                   line[i] != '=')
                i++;
            if (i == start) return Refusal_Record("split descriptor: key without a value");
            value = line.substr(start, i - start);
        }
        while (i < line.size() && IsBlank(line[i])) i++;
        if (i < line.size() && line[i] != ';')
            return Refusal_Record("split descriptor: text after a value");
        if (key == "file") files.push_back(value);
        if (key == "max_size") sizes.push_back(value);
    }
    if (files.size() != sizes.size())
        return Refusal_Record("split descriptor: file and max_size lines do not pair up");
    if (files.empty()) return Refusal_Record("split descriptor: names no part");
    if (files.size() > SPLIT_MAX_PARTS) return Refusal_Record("split descriptor: too many parts");
    entries->clear();
    for (size_t k = 0; k < files.size(); k++) {
        const std::string& s = sizes[k];
        uint64_t v = 0;
        size_t d = 0;
        while (d < s.size() && s[d] >= '0' && s[d] <= '9' && v <= 0xFFFFFFFFull)
            v = v * 10 + (s[d++] - '0');
        if (d == 0) return Refusal_Record("split descriptor: max_size is not a number");
        entries->push_back(
            Entry{files[k], v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v)});
    }
    return DISK_OK;
}

int ReadWholeFile(const std::string& path, uint64_t limit, std::string* out)
{
    ByteStream* s = nullptr;
    if (!Stream_OpenFile(path.c_str(), true, &s)) return DISK_ERR_OPEN;
    uint64_t size = 0;
    int rc = DISK_OK;
    if (!Stream_GetSize(s, &size))
        rc = DISK_ERR_SIZE;
    else if (size > limit)
        rc = Refusal_Record(kDescriptorTooLong);
    if (rc == DISK_OK) {
        out->assign(static_cast<size_t>(size), '\0');
        if (size != 0 && !Stream_ReadAt(s, 0, static_cast<uint32_t>(size), &(*out)[0]))
            rc = DISK_ERR_READ;
    }
    Stream_Close(s);
    return rc;
}

bool ValidUtf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t c = static_cast<uint8_t>(s[i]);
        int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (n < 0 || i + n >= s.size() + (n == 0 ? 1 : 0)) {
            if (n != 0) return false;
        }
        for (int k = 1; k <= n; k++)
            if (i + k >= s.size() || (static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

std::string Resolve(const std::string& base, const std::string& file)
{
    if (!file.empty() && file[0] == '/') return file;
    return DirOf(base) + file;
}

}  // namespace

struct SplitDisk {
    DiskGeometry geometry;
    bool descriptorMode;
    std::vector<PartInfo> parts;  // known parts (all of them in descriptor mode)
    uint64_t streamLength;        // descriptor mode; first-part mode: known once the last is met
    bool lengthKnown;
    ByteStream* file;  // the open part
    uint32_t fileIndex;
    Header first;
    Header current;  // header of the last part accepted (first-part mode)
    SplitPartCallback callback;
    void* callbackUser;
    bool compressed;
    InflateReader* inflate;
    uint64_t inflated;  // plain stream bytes delivered so far
    uint64_t windowStart;
    std::vector<uint8_t> window;
    bool windowSet;
};

namespace {

int OpenPart(SplitDisk* d, uint32_t index)
{
    if (d->file != nullptr && d->fileIndex == index) return DISK_OK;
    if (d->file != nullptr) Stream_Close(d->file);
    d->file = nullptr;
    if (!Stream_OpenFile(d->parts[index].path.c_str(), true, &d->file)) {
        d->file = nullptr;
        return DISK_ERR_READ;
    }
    d->fileIndex = index;
    return DISK_OK;
}

// Reads and validates the header of `path`; the stream stays open in *out on success.
int ReadPartHeader(const std::string& path, ByteStream** out, Header* h)
{
    ByteStream* s = nullptr;
    if (!Stream_OpenFile(path.c_str(), true, &s)) return DISK_ERR_CREATE;
    uint8_t b[SPLIT_HEADER_BYTES];
    uint64_t size = 0;
    int rc = DISK_OK;
    if (!Stream_ReadAt(s, 0, sizeof b, b))
        rc = DISK_ERR_READ;
    else if ((rc = SplitDisk_CheckPartHeader(b)) == DISK_OK) {
        SplitDisk_PartHeaderToHost(b, h);
        if (!Stream_GetSize(s, &size) ||
            size < SPLIT_HEADER_BYTES + static_cast<uint64_t>(h->bytes))
            rc = Refusal_Record("split part: file shorter than its data");
    }
    if (rc != DISK_OK) {
        Stream_Close(s);
        return rc;
    }
    *out = s;
    return DISK_OK;
}

// In first-part mode: asks for and accepts the next part. 1 when the callback gave up.
int NextPart(SplitDisk* d)
{
    if (d->callback == nullptr) return DISK_ERR_ARG;
    const uint32_t index = static_cast<uint32_t>(d->parts.size());
    if (index >= SPLIT_MAX_PARTS) return Refusal_Record("split set: too many parts");
    SplitPartRequest request;
    request.flag = 0;
    request.partIndex = index;
    for (;;) {
        const std::string suggested = PartName(d->parts.back().path, index);
        std::snprintf(request.path, sizeof request.path, "%s", suggested.c_str());
        if (!d->callback(&request, d->callbackUser)) return 1;
        request.path[sizeof request.path - 1] = 0;
        ByteStream* s = nullptr;
        Header h;
        if (ReadPartHeader(request.path, &s, &h) == DISK_OK) {
            const PartInfo& prev = d->parts.back();
            if (h.crcBefore == d->current.crcAfter && h.offset == prev.offset + prev.bytes &&
                h.compressed == d->first.compressed) {
                if (d->file != nullptr) Stream_Close(d->file);
                d->file = s;
                d->fileIndex = index;
                d->parts.push_back(PartInfo{request.path, h.offset, h.bytes});
                d->current = h;
                if (h.last) {
                    d->lengthKnown = true;
                    d->streamLength = h.offset + h.bytes;
                }
                return DISK_OK;
            }
            Stream_Close(s);
        }
        request.flag = 1;
    }
}

// Reads stream bytes [offset, offset + n); *got receives the count (short only at the end).
int StreamRead(SplitDisk* d, uint64_t offset, uint32_t n, uint8_t* out, uint32_t* got)
{
    *got = 0;
    while (n != 0) {
        if (d->lengthKnown && offset >= d->streamLength) return DISK_OK;
        // The part holding offset.
        uint32_t index;
        if (d->descriptorMode) {
            size_t lo = 0, hi = d->parts.size();
            while (hi - lo > 1) {
                const size_t mid = (lo + hi) / 2;
                if (d->parts[mid].offset <= offset)
                    lo = mid;
                else
                    hi = mid;
            }
            index = static_cast<uint32_t>(lo);
        } else {
            if (offset < d->parts.back().offset) {
                size_t k = d->parts.size() - 1;
                while (k > 0 && d->parts[k].offset > offset) k--;
                index = static_cast<uint32_t>(k);
            } else {
                while (offset >= d->parts.back().offset + d->parts.back().bytes) {
                    if (d->lengthKnown) return DISK_OK;
                    int rc = NextPart(d);
                    if (rc != DISK_OK) return rc;
                }
                index = static_cast<uint32_t>(d->parts.size() - 1);
            }
        }
        const PartInfo& p = d->parts[index];
        if (offset < p.offset || offset - p.offset >= p.bytes) return DISK_ERR_ARG;
        const uint64_t in = offset - p.offset;
        const uint32_t take = p.bytes - in < n ? static_cast<uint32_t>(p.bytes - in) : n;
        int rc = OpenPart(d, index);
        if (rc != DISK_OK) return rc;
        // A hole of a part file reads as zeros without being read.
        if (!Stream_ReadStoredAt(d->file, SPLIT_HEADER_BYTES + in, take, out)) return DISK_ERR_READ;
        offset += take;
        out += take;
        n -= take;
        *got += take;
    }
    return DISK_OK;
}

int InflateInput(void* user, uint64_t offset, uint32_t count, void* buffer, bool* last,
                 uint32_t* actual)
{
    SplitDisk* d = static_cast<SplitDisk*>(user);
    uint32_t got = 0;
    int rc = StreamRead(d, offset, count, static_cast<uint8_t*>(buffer), &got);
    if (rc != DISK_OK) return rc;
    if (got < count) {
        *last = true;
        *actual = got;
    }
    return 0;
}

// Fills `n` plain bytes of the stream that continue the window.
int ReadPlain(SplitDisk* d, uint64_t offset, uint32_t n, uint8_t* out)
{
    if (d->compressed) {
        if (offset != d->inflated) return DISK_ERR_ARG;
        int rc = InflateReader_Read(d->inflate, n, out);
        if (rc != 0) return rc;
        d->inflated += n;
        return DISK_OK;
    }
    uint32_t got = 0;
    int rc = StreamRead(d, offset, n, out, &got);
    if (rc != DISK_OK) return rc;
    return got == n ? DISK_OK : DISK_ERR_READ;
}

// Makes the window cover [offset, offset + n). Reads never go back before the window; a jump
// forward past its end skips the stream bytes between.
int FillWindow(SplitDisk* d, uint64_t offset, uint32_t n)
{
    const uint64_t end = d->windowStart + d->window.size();
    if (d->windowSet && offset < d->windowStart) return DISK_ERR_ARG;
    if (d->windowSet && offset + n <= end) return DISK_OK;
    std::vector<uint8_t> next(n);
    uint64_t have = 0;
    if (d->windowSet && offset < end) {
        have = end - offset;
        std::memcpy(next.data(), d->window.data() + (offset - d->windowStart),
                    static_cast<size_t>(have));
    }
    const uint64_t from = offset + have;
    if (d->compressed) {
        if (from < d->inflated) return DISK_ERR_ARG;
        std::vector<uint8_t> skip;
        while (d->inflated < from) {
            if (skip.empty()) skip.resize(1 << 16);
            const uint64_t gap = from - d->inflated;
            const uint32_t k = static_cast<uint32_t>(gap < skip.size() ? gap : skip.size());
            int rc = ReadPlain(d, d->inflated, k, skip.data());
            if (rc != DISK_OK) return rc;
        }
    }
    if (n > have) {
        int rc = ReadPlain(d, from, static_cast<uint32_t>(n - have), next.data() + have);
        if (rc != DISK_OK) return rc;
    }
    d->window.swap(next);
    d->windowStart = offset;
    d->windowSet = true;
    return DISK_OK;
}

int OpenCore(SplitDisk* d)
{
    const Header& h = d->first;
    if (h.bps != 512) return Refusal_Record("split part header: sector size is not 512");
    if (h.total == 0 || h.total > (1ull << 54))
        return Refusal_Record("split part header: disk size out of range");
    if (h.heads > 0xFFFFFFFFull || h.spt > 0xFFFFFFFFull)
        return Refusal_Record("split part header: geometry out of range");
    d->compressed = h.compressed != 0;
    if (d->compressed) {
        d->inflate = InflateReader_Alloc();
        if (d->inflate == nullptr) return DISK_ERR_NOMEM;
        InflateReader_Init(d->inflate);
        const uint64_t length = d->lengthKnown ? d->streamLength : ~0ull >> 1;
        if (InflateReader_Open(d->inflate, InflateInput, d, length, 0) != 0) return DISK_ERR_NOMEM;
    } else if (d->lengthKnown && d->streamLength < h.total * h.bps) {
        return Refusal_Record("split set: parts hold less than the disk");
    }
    d->geometry.heads = static_cast<uint32_t>(h.heads);
    d->geometry.sectors_per_track = static_cast<uint32_t>(h.spt);
    d->geometry.bytes_per_sector = 512;
    Geometry_SetTotalSectors(&d->geometry, h.total);
    return DISK_OK;
}

}  // namespace

SplitCreateOptions* SplitDisk_AllocCreateOptions()
{
    return static_cast<SplitCreateOptions*>(Mem_Alloc(sizeof(SplitCreateOptions)));
}

SplitDisk* SplitDisk_Alloc() { return static_cast<SplitDisk*>(Mem_Alloc(sizeof(SplitDisk))); }

void SplitDisk_Init(SplitDisk* disk)
{
    new (disk) SplitDisk();
    disk->file = nullptr;
    disk->inflate = nullptr;
    disk->callback = nullptr;
    disk->windowSet = false;
    disk->lengthKnown = false;
    disk->inflated = 0;
    disk->windowStart = 0;
    disk->geometry = DiskGeometry{};
}

void SplitDisk_Destroy(void* object)
{
    SplitDisk* d = static_cast<SplitDisk*>(object);
    if (d == nullptr) return;
    if (d->inflate != nullptr) {
        InflateReader_Destroy(d->inflate);
        Mem_Free(d->inflate);
    }
    if (d->file != nullptr) Stream_Close(d->file);
    d->~SplitDisk();
}

int SplitDisk_OpenDescriptor(SplitDisk* d, const char* path, bool)
{
    if (d == nullptr || path == nullptr) return DISK_ERR_ARG;
    std::string text;
    int rc = ReadWholeFile(path, SPLIT_MAX_DESCRIPTOR_BYTES, &text);
    if (rc == DISK_ERR_OPEN || rc == DISK_ERR_FORMAT) return rc;
    if (rc != DISK_OK) return Refusal_Record("split descriptor: cannot be read");
    if (!ValidUtf8(text)) return Refusal_Record(kDescriptorNotUtf8);
    std::vector<Entry> entries;
    if ((rc = SplitDisk_CheckDescriptor(text, &entries)) != DISK_OK) return rc;
    d->descriptorMode = true;
    uint64_t offset = 0;
    uint32_t crc = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        std::string p = Resolve(path, entries[i].file);
        ByteStream* s = nullptr;
        Header h;
        rc = ReadPartHeader(p, &s, &h);
        if (rc == DISK_ERR_CREATE) {
            p = DirOf(path) + NameOf(entries[i].file);
            rc = ReadPartHeader(p, &s, &h);
        }
        if (rc != DISK_OK) return rc;
        Stream_Close(s);
        if (h.crcBefore != crc) return Refusal_Record("split set: part checksum chain broken");
        if (h.offset != offset)
            return Refusal_Record("split set: part does not continue the previous one");
        if (i != 0 && h.compressed != d->first.compressed)
            return Refusal_Record("split set: parts differ in compression");
        if (i == 0) d->first = h;
        d->parts.push_back(PartInfo{p, offset, h.bytes});
        offset += h.bytes;
        crc = h.crcAfter;
        // The part flagged last ends the set; spare entries after it are not parts.
        if (h.last) break;
        if (i + 1 == entries.size()) return Refusal_Record("split set: no part is flagged last");
    }
    d->streamLength = offset;
    d->lengthKnown = true;
    return OpenCore(d);
}

int SplitDisk_OpenFirstPart(SplitDisk* d, const char* path, bool)
{
    if (d == nullptr || path == nullptr) return DISK_ERR_ARG;
    ByteStream* s = nullptr;
    Header h;
    int rc = ReadPartHeader(path, &s, &h);
    if (rc != DISK_OK) return rc;
    if (h.crcBefore != 0 || h.offset != 0) {
        Stream_Close(s);
        return Refusal_Record("split set: file is not the first part");
    }
    d->descriptorMode = false;
    d->file = s;
    d->fileIndex = 0;
    d->first = h;
    d->current = h;
    d->parts.push_back(PartInfo{path, 0, h.bytes});
    if (h.last) {
        d->lengthKnown = true;
        d->streamLength = h.bytes;
    }
    return OpenCore(d);
}

int Disk_OpenSplit(DiskHandle* handle, const char* path, bool readOnly)
{
    if (handle == nullptr || handle->object != nullptr || path == nullptr) return DISK_ERR_ARG;
    int results[2];
    for (int mode = 0; mode < 2; mode++) {
        SplitDisk* d = SplitDisk_Alloc();
        if (d == nullptr) return DISK_ERR_NOMEM;
        SplitDisk_Init(d);
        results[mode] = mode == 0 ? SplitDisk_OpenDescriptor(d, path, readOnly)
                                  : SplitDisk_OpenFirstPart(d, path, readOnly);
        if (results[mode] == DISK_OK) {
            handle->kind = DISK_KIND_SPLIT;
            handle->object = d;
            return DISK_OK;
        }
        SplitDisk_Destroy(d);
        Mem_Free(d);
    }
    return results[1];
}

void SplitDisk_SetPartRequestCallback(SplitDisk* d, SplitPartCallback callback, void* user)
{
    if (d == nullptr) return;
    d->callback = callback;
    d->callbackUser = user;
}

void SplitDisk_GetGeometry(void* object, DiskGeometry* out)
{
    if (object != nullptr && out != nullptr) *out = static_cast<SplitDisk*>(object)->geometry;
}

int SplitDisk_Read(void* object, uint64_t offset, uint32_t length, void* buffer)
{
    SplitDisk* d = static_cast<SplitDisk*>(object);
    if (d == nullptr || buffer == nullptr ||
        !Geometry_IsByteRangeInside(offset, length, &d->geometry))
        return DISK_ERR_ARG;
    if (length == 0) return DISK_OK;
    int rc = FillWindow(d, offset, length);
    if (rc != DISK_OK) return rc;
    std::memcpy(buffer, d->window.data() + (offset - d->windowStart), length);
    return DISK_OK;
}

int SplitDisk_IsRangeEmpty(void* object, UsedSectorMap*, uint64_t first, uint32_t count,
                           bool* empty, RangeProgressAdapter, RangeProgressRecord*)
{
    SplitDisk* d = static_cast<SplitDisk*>(object);
    if (d == nullptr || empty == nullptr || count > 0x7FFFFF ||
        !Geometry_IsSectorRangeInside(first, count, &d->geometry))
        return DISK_ERR_ARG;
    if (count == 0) {
        *empty = true;
        return DISK_OK;
    }
    // A range that lies in holes of the part files is empty without a read; the window stays.
    bool zero = false;
    if (SplitDisk_IsRangeKnownZero(object, first, count, &zero) == DISK_OK && zero) {
        *empty = true;
        return DISK_OK;
    }
    // The same window as the reads: the read of this range that follows costs nothing.
    int rc = FillWindow(d, first * 512, count * 512);
    if (rc != DISK_OK) return rc;
    const uint8_t* p = d->window.data() + (first * 512 - d->windowStart);
    *empty = true;
    for (uint32_t i = 0; i < count * 512; i++) {
        if (p[i] != 0) {
            *empty = false;
            break;
        }
    }
    return DISK_OK;
}

int SplitDisk_IsRangeKnownZero(void* object, uint64_t first, uint32_t count, bool* zero)
{
    SplitDisk* d = static_cast<SplitDisk*>(object);
    if (d == nullptr || zero == nullptr) return DISK_ERR_ARG;
    *zero = false;
    if (!Geometry_IsSectorRangeInside(first, count, &d->geometry)) return DISK_ERR_ARG;
    // A compressed stream's holes say nothing about the disk.
    if (d->compressed || count == 0 || d->parts.empty()) return DISK_OK;
    // The total is below 2^54 sectors: the byte range cannot wrap.
    uint64_t offset = first * 512;
    const uint64_t end = offset + static_cast<uint64_t>(count) * 512;
    while (offset < end) {
        // The known part holding offset; parts not met yet (or a failed open) cannot tell.
        size_t lo = 0, hi = d->parts.size();
        while (hi - lo > 1) {
            const size_t mid = (lo + hi) / 2;
            if (d->parts[mid].offset <= offset)
                lo = mid;
            else
                hi = mid;
        }
        const PartInfo& p = d->parts[lo];
        if (offset < p.offset || offset - p.offset >= p.bytes) return DISK_OK;
        const uint64_t in = offset - p.offset;
        const uint64_t take = p.bytes - in < end - offset ? p.bytes - in : end - offset;
        if (OpenPart(d, static_cast<uint32_t>(lo)) != DISK_OK) return DISK_OK;
        if (!Stream_IsHole(d->file, SPLIT_HEADER_BYTES + in, take)) return DISK_OK;
        offset += take;
    }
    *zero = true;
    return DISK_OK;
}

void SplitDisk_SetHeadsAndSectors(SplitDisk* d, uint32_t heads, uint32_t sectorsPerTrack)
{
    if (d == nullptr) return;
    d->geometry.heads = heads;
    d->geometry.sectors_per_track = sectorsPerTrack;
}

void SplitDisk_GetHeaderInfo(const SplitDisk* d, uint32_t* firstValue, uint32_t* cylindersValue,
                             uint32_t* heads, uint32_t* sectorsPerTrack)
{
    if (d == nullptr) return;
    if (firstValue) *firstValue = d->first.firstValue;
    if (cylindersValue) *cylindersValue = static_cast<uint32_t>(d->first.cylinders);
    if (heads) *heads = static_cast<uint32_t>(d->first.heads);
    if (sectorsPerTrack) *sectorsPerTrack = static_cast<uint32_t>(d->first.spt);
}

int32_t SplitDisk_CheckGeometry(const DiskGeometry* geometry)
{
    return geometry != nullptr && geometry->bytes_per_sector == 512 ? 0 : -1;
}

// ---- Writer -----------------------------------------------------------------------------------

namespace {

struct SourceInput {
    const DiskHandle* source;
};

int SourceInputFn(void* user, uint64_t offset, uint32_t count, void* buffer, bool*, uint32_t*)
{
    return Disk_Read(static_cast<SourceInput*>(user)->source, offset, count, buffer);
}

// The stream to write: the source's bytes, or their zlib compression.
struct StreamSource {
    const DiskHandle* source;
    uint64_t plainLength;
    uint64_t plainOffset;
    DeflateReader* deflate;
    SourceInput input;
    bool ended;

    // Up to capacity bytes; *n = 0 only at the end.
    int Pull(uint32_t capacity, uint8_t* out, uint32_t* n)
    {
        *n = 0;
        if (ended) return DISK_OK;
        if (deflate != nullptr) {
            bool done = false;
            while (*n == 0 && !done) {
                int rc = DeflateReader_Read(deflate, capacity, out, &done, n);
                if (rc != 0) return rc;
            }
            if (done && *n == 0) ended = true;
            return DISK_OK;
        }
        const uint64_t left = plainLength - plainOffset;
        if (left == 0) {
            ended = true;
            return DISK_OK;
        }
        const uint32_t k = left < capacity ? static_cast<uint32_t>(left) : capacity;
        int rc = Disk_Read(source, plainOffset, k, out);
        if (rc != DISK_OK) return rc;
        plainOffset += k;
        *n = k;
        return DISK_OK;
    }
    uint64_t Consumed() const
    {
        return deflate != nullptr ? DeflateReader_GetInputOffset(deflate) : plainOffset;
    }
};

const uint32_t kPiece = 65536;

}  // namespace

int SplitDisk_Create(const char* path, const DiskHandle* source, ProgressCallback callback,
                     void* user, SplitPartCallback partCallback, void* partUser,
                     const SplitCreateOptions* options)
{
    if (path == nullptr || source == nullptr || options == nullptr || options->compressionLevel > 9)
        return DISK_ERR_ARG;
    if (!options->partsFromDescriptor &&
        (options->partMiB == 0 || options->partMiB > SPLIT_MAX_PART_MIB))
        return DISK_ERR_ARG;
    DiskGeometry g = {};
    Disk_GetGeometry(source, &g);
    if (SplitDisk_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    const uint64_t total = Geometry_GetTotalSectors(&g);

    std::vector<Entry> entries;
    if (options->partsFromDescriptor) {
        std::string text;
        int rc = ReadWholeFile(path, SPLIT_MAX_DESCRIPTOR_BYTES, &text);
        if (rc != DISK_OK) return rc == DISK_ERR_OPEN ? DISK_ERR_CREATE : rc;
        if (!ValidUtf8(text)) return Refusal_Record(kDescriptorNotUtf8);
        if ((rc = SplitDisk_CheckDescriptor(text, &entries)) != DISK_OK) return rc;
        for (const Entry& e : entries)
            if (e.mib == 0 || e.mib > SPLIT_MAX_PART_MIB) return DISK_ERR_ARG;
    }

    StreamSource stream{source, total * 512, 0, nullptr, SourceInput{source}, false};
    if (options->compressionLevel != 0) {
        stream.deflate = DeflateReader_Alloc();
        if (stream.deflate == nullptr) return DISK_ERR_NOMEM;
        DeflateReader_Init(stream.deflate);
        if (DeflateReader_Open(stream.deflate, SourceInputFn, &stream.input, total * 512, 0,
                               static_cast<int>(options->compressionLevel)) != 0) {
            Mem_Free(stream.deflate);
            return DISK_ERR_NOMEM;
        }
    }
    std::vector<uint8_t> pending(kPiece);
    uint32_t pendingAt = 0, pendingLen = 0;

    Header h = {};
    h.compressed = options->compressionLevel != 0 ? 1 : 0;
    h.firstValue = static_cast<uint8_t>(options->firstValue);
    h.heads = options->heads;
    h.cylinders = options->cylindersValue;
    h.spt = options->sectorsPerTrack;
    h.total = total;
    h.bps = 512;

    int rc = DISK_OK;
    uint64_t offset = 0;
    uint32_t crc = 0;
    std::string previousPath = path;
    bool ended = false;
    if (callback != nullptr && !callback(0, total, user)) rc = 1;
    for (uint32_t k = 0; rc == DISK_OK && !ended; k++) {
        std::string partPath;
        uint64_t partBytes;
        if (options->partsFromDescriptor) {
            if (k >= entries.size()) {
                rc = DISK_ERR_ARG;  // the listed parts are used up before the stream ends
                break;
            }
            partPath = Resolve(path, entries[k].file);
            partBytes = static_cast<uint64_t>(entries[k].mib) << 20;
        } else {
            partBytes = static_cast<uint64_t>(options->partMiB) << 20;
            if (k == 0) {
                partPath = path;
            } else {
                partPath = PartName(path, k);
                if (!options->nameWithoutAsking) {
                    if (partCallback == nullptr) {
                        rc = DISK_ERR_ARG;
                        break;
                    }
                    SplitPartRequest request;
                    request.flag = 0;
                    request.partIndex = k;
                    std::snprintf(request.path, sizeof request.path, "%s", partPath.c_str());
                    if (!partCallback(&request, partUser)) {
                        rc = 1;
                        break;
                    }
                    request.path[sizeof request.path - 1] = 0;
                    partPath = request.path;
                }
            }
        }
        if (partPath.size() >= SPLIT_PATH_BYTES) {
            rc = DISK_ERR_ARG;
            break;
        }
        ByteStream* out = nullptr;
        if (!Stream_CreateFile(partPath.c_str(), &out)) {
            rc = DISK_ERR_CREATE;
            break;
        }
        h.crcBefore = crc;
        h.offset = offset;
        h.bytes = 0;
        h.last = 0;
        uint8_t raw[SPLIT_HEADER_BYTES];
        BuildHeader(h, raw);
        if (!Stream_WriteAt(out, 0, sizeof raw, raw)) rc = DISK_ERR_WRITE;
        const uint64_t room = partBytes - SPLIT_HEADER_BYTES;
        uint64_t written = 0;
        while (rc == DISK_OK && written < room) {
            if (pendingAt == pendingLen) {
                pendingAt = 0;
                rc = stream.Pull(kPiece, pending.data(), &pendingLen);
                if (rc != DISK_OK || pendingLen == 0) break;
            }
            uint32_t n = pendingLen - pendingAt;
            if (n > room - written) n = static_cast<uint32_t>(room - written);
            if (!Stream_WriteAt(out, SPLIT_HEADER_BYTES + written, n, pending.data() + pendingAt)) {
                rc = DISK_ERR_WRITE;
                break;
            }
            crc = Zlib_Crc32(crc, pending.data() + pendingAt, n);
            pendingAt += n;
            written += n;
            if (callback != nullptr && !callback(stream.Consumed() / 512, total, user)) rc = 1;
        }
        // Look ahead, so that a stream ending exactly at the part's end flags this part last.
        if (rc == DISK_OK && pendingAt == pendingLen) {
            pendingAt = 0;
            rc = stream.Pull(kPiece, pending.data(), &pendingLen);
        }
        if (rc == DISK_OK && pendingAt == pendingLen) ended = true;
        h.last = ended ? 1 : 0;
        h.crcAfter = crc;
        h.bytes = static_cast<uint32_t>(written);
        BuildHeader(h, raw);
        if (rc == DISK_OK && !Stream_WriteAt(out, 0, sizeof raw, raw)) rc = DISK_ERR_WRITE;
        if (!Stream_Close(out) && rc == DISK_OK) rc = DISK_ERR_WRITE;
        offset += written;
        previousPath = partPath;
    }
    if (stream.deflate != nullptr) {
        DeflateReader_Destroy(stream.deflate);
        Mem_Free(stream.deflate);
    }
    if (rc == DISK_OK && callback != nullptr && !callback(total, total, user)) rc = 1;
    return rc;
}
