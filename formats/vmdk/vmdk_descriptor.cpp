// Reading, parsing, writing and rewriting VMDK descriptor texts.
#include "formats/vmdk/vmdk_descriptor.h"

#include <cstring>

#include "formats/vmdk/vmdk_sparse.h"
#include "foundation/encoding.h"
#include "foundation/format.h"
#include "foundation/platform.h"
#include "foundation/refusal.h"
#include "foundation/result_codes.h"
#include "foundation/text_ops.h"

namespace {

// ---- Tables -----------------------------------------------------------------------------------

const char* const kHwVersionNames[VMDK_HW_VERSION_COUNT] = {
    "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "14", "16", "17", "18"};

const char* const kCreateTypeNames[VMDK_CREATE_TYPE_COUNT] = {
    "monolithicSparse",   "twoGbMaxExtentSparse", "monolithicFlat",
    "twoGbMaxExtentFlat", "streamOptimized",      "vmfs"};

// The keys the descriptor operations know, in the order in which a rewrite appends them.
enum Key : int {
    KEY_VERSION = 0,
    KEY_ENCODING,
    KEY_CID,
    KEY_PARENT_CID,
    KEY_CREATE_TYPE,
    KEY_PARENT_HINT,
    KEY_HW_VERSION,
    KEY_UUID,
    KEY_CYLINDERS,
    KEY_HEADS,
    KEY_SECTORS,
    KEY_ADAPTER,
    KEY_COUNT,
    KEY_UNKNOWN = -1
};

const char* const kKeyNames[KEY_COUNT] = {"version",
                                          "encoding",
                                          "CID",
                                          "parentCID",
                                          "createType",
                                          "parentFileNameHint",
                                          "ddb.virtualHWVersion",
                                          "ddb.uuid",
                                          "ddb.geometry.cylinders",
                                          "ddb.geometry.heads",
                                          "ddb.geometry.sectors",
                                          "ddb.adapterType"};

// ---- Small helpers ----------------------------------------------------------------------------

inline bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

inline TextView Slice(TextView v, uint32_t from, uint32_t to)
{
    return TextView{v.data + from, to - from};
}

inline TextView CView(const char* s)
{
    TextView v;
    Text_FromCStringUtf8(&v, s);
    return v;
}

// Whole-text comparison with an ASCII literal, ignoring ASCII case.
bool EqualsNoCase(TextView text, const char* literal, TextEncoding encoding)
{
    uint32_t n = static_cast<uint32_t>(std::strlen(literal));
    if (text.length != n) return false;
    return Text_CompareNCString(text, literal, TEXT_NO_LIMIT, true, encoding) == 0;
}

int KeyIndex(TextView key, TextEncoding encoding)
{
    for (int k = 0; k < KEY_COUNT; ++k) {
        if (EqualsNoCase(key, kKeyNames[k], encoding)) return k;
    }
    return KEY_UNKNOWN;
}

bool StartsWithDdb(TextView key)
{
    if (key.length < 4) return false;
    static const char kDdb[] = "ddb.";
    for (uint32_t i = 0; i < 4; ++i) {
        uint8_t c = key.data[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
        if (c != static_cast<uint8_t>(kDdb[i])) return false;
    }
    return true;
}

// Whether the bytes are valid text of one encoding throughout.
bool IsValidText(const uint8_t* data, uint32_t length, TextEncoding encoding)
{
    uint32_t off = 0;
    while (off < length) {
        uint32_t n = Text_ValidCharLength(data + off, length - off, encoding);
        if (n == 0) return false;
        off += n;
    }
    return true;
}

// ---- Line grammar -----------------------------------------------------------------------------
// Delimiters are ASCII bytes below 0x40, which never occur inside a multi-byte character of
// Shift_JIS or UTF-8, so lines are scanned byte by byte.

enum LineKind { LINE_COMMENT, LINE_KEY, LINE_EXTENT, LINE_OTHER };

struct KeyLine {
    TextView key;
    TextView value;  // without quotes
    bool quoted;
    uint32_t valueStart;  // offset of the value token (its opening quote when quoted)
    uint32_t valueEnd;    // offset after the value token (after its closing quote)
};

struct ExtentLine {
    TextView access, size, type, fileName, offset;
    uint32_t accessStart, accessEnd;
    uint32_t sizeStart, sizeEnd;
    uint32_t typeStart, typeEnd;
    uint32_t nameStart, nameEnd;  // opening quote .. after the closing quote
    bool hasOffset;
    uint32_t offsetStart, offsetEnd;
};

bool IsCommentLine(TextView line)
{
    uint32_t i = 0;
    while (i < line.length && IsBlank(line.data[i])) ++i;
    return i == line.length || line.data[i] == '#';
}

bool ParseKeyLine(TextView line, KeyLine* out)
{
    const uint8_t* p = line.data;
    uint32_t n = line.length;
    uint32_t i = 0;
    while (i < n && IsBlank(p[i])) ++i;
    if (i == n || p[i] == '#' || p[i] == '=' || p[i] == '"') return false;
    uint32_t keyStart = i;
    while (i < n && !IsBlank(p[i]) && p[i] != '=') {
        if (p[i] == '#' || p[i] == '"') return false;
        ++i;
    }
    out->key = Slice(line, keyStart, i);
    while (i < n && IsBlank(p[i])) ++i;
    if (i == n || p[i] != '=') return false;
    ++i;
    out->quoted = false;
    if (i == n) {  // nothing at all: an empty value
        out->value = Slice(line, n, n);
        out->valueStart = out->valueEnd = n;
        return true;
    }
    while (i < n && IsBlank(p[i])) ++i;
    if (i == n) return false;  // a value of blanks only
    uint32_t valueStart = i;
    if (p[i] == '"') {
        uint32_t j = i + 1;
        while (j < n && p[j] != '"') ++j;
        if (j == n) return false;  // unclosed quote
        out->quoted = true;
        out->value = Slice(line, i + 1, j);
        i = j + 1;
    } else if (p[i] == '#') {
        out->value = Slice(line, i, i);
    } else {
        while (i < n && !IsBlank(p[i]) && p[i] != '#' && p[i] != '=' && p[i] != '"') ++i;
        if (i < n && (p[i] == '=' || p[i] == '"')) return false;
        out->value = Slice(line, valueStart, i);
    }
    out->valueStart = valueStart;
    out->valueEnd = i;
    uint32_t k = i;
    while (k < n && IsBlank(p[k])) ++k;
    if (k < n && p[k] != '#') return false;
    return true;
}

// A blank-separated token that holds no "#", "=" or double quote; false when none starts at i.
bool PlainToken(TextView line, uint32_t* i, uint32_t* start, uint32_t* end)
{
    const uint8_t* p = line.data;
    uint32_t n = line.length;
    uint32_t k = *i;
    while (k < n && IsBlank(p[k])) ++k;
    *start = k;
    while (k < n && !IsBlank(p[k])) {
        if (p[k] == '#' || p[k] == '=' || p[k] == '"') return false;
        ++k;
    }
    *end = k;
    *i = k;
    return *end > *start;
}

bool ParseExtentLine(TextView line, ExtentLine* out)
{
    const uint8_t* p = line.data;
    uint32_t n = line.length;
    uint32_t i = 0;
    if (!PlainToken(line, &i, &out->accessStart, &out->accessEnd)) return false;
    if (!PlainToken(line, &i, &out->sizeStart, &out->sizeEnd)) return false;
    if (!PlainToken(line, &i, &out->typeStart, &out->typeEnd)) return false;
    while (i < n && IsBlank(p[i])) ++i;
    if (i == n || p[i] != '"') return false;
    uint32_t q = i + 1;
    while (q < n && p[q] != '"') ++q;
    if (q == n) return false;
    out->nameStart = i;
    out->nameEnd = q + 1;
    out->fileName = Slice(line, i + 1, q);
    i = q + 1;
    out->hasOffset = false;
    out->offsetStart = out->offsetEnd = i;
    uint32_t k = i;
    while (k < n && IsBlank(p[k])) ++k;
    if (k < n && p[k] != '#') {
        uint32_t start = k;
        while (k < n && !IsBlank(p[k]) && p[k] != '#') {
            if (p[k] == '=' || p[k] == '"') return false;
            ++k;
        }
        out->hasOffset = true;
        out->offsetStart = start;
        out->offsetEnd = k;
        while (k < n && IsBlank(p[k])) ++k;
        if (k < n && p[k] != '#') return false;
    }
    out->access = Slice(line, out->accessStart, out->accessEnd);
    out->size = Slice(line, out->sizeStart, out->sizeEnd);
    out->type = Slice(line, out->typeStart, out->typeEnd);
    out->offset = Slice(line, out->offsetStart, out->offsetEnd);
    return true;
}

LineKind ClassifyLine(TextView line, KeyLine* key, ExtentLine* extent)
{
    if (IsCommentLine(line)) return LINE_COMMENT;
    if (ParseKeyLine(line, key)) return LINE_KEY;
    if (ParseExtentLine(line, extent)) return LINE_EXTENT;
    return LINE_OTHER;
}

// Calls fn(line) for every line of a text cut at CR, LF or CR LF; stops when fn answers false.
template <typename Fn>
bool ForEachLine(TextView text, TextEncoding encoding, Fn fn)
{
    TextView remaining = text;
    while (remaining.length != 0) {
        TextView line, rest;
        Text_SplitLine(remaining, &line, &rest, encoding);
        if (!fn(line)) return false;
        remaining = rest;
    }
    return true;
}

// ---- Parse helpers ----------------------------------------------------------------------------

bool ParseAdapter(TextView value, TextEncoding encoding, uint32_t* adapter)
{
    if (EqualsNoCase(value, "ide", encoding))
        *adapter = VMDK_ADAPTER_IDE;
    else if (EqualsNoCase(value, "buslogic", encoding))
        *adapter = VMDK_ADAPTER_BUSLOGIC;
    else if (EqualsNoCase(value, "lsilogic", encoding))
        *adapter = VMDK_ADAPTER_LSILOGIC;
    else
        return false;
    return true;
}

bool ApplyKey(VmdkDescriptor* d, int key, TextView value, TextEncoding* encoding)
{
    switch (key) {
    case KEY_VERSION: {
        uint32_t v = 0;
        return Num_ParseU32(value, *encoding, &v) && v == 1;
    }
    case KEY_ENCODING:
        d->encodingAbsent = 0;
        d->encoding = value;
        if (EqualsNoCase(value, "Shift_JIS", *encoding)) {
            d->encodingChoice = VMDK_ENCODING_SHIFT_JIS;
            *encoding = TEXT_ENC_SJIS;
        } else if (EqualsNoCase(value, "UTF-8", *encoding)) {
            d->encodingChoice = VMDK_ENCODING_UTF8;
            *encoding = TEXT_ENC_UTF8;
        } else {
            d->encodingChoice = VMDK_ENCODING_OTHER;
        }
        return true;
    case KEY_CID:
        d->cid = value;
        return true;
    case KEY_PARENT_CID:
        d->parentCid = value;
        return true;
    case KEY_CREATE_TYPE:
        d->createType = value;
        return true;
    case KEY_PARENT_HINT: {
        TextView trimmed;
        Text_Trim(value, &trimmed, *encoding);
        if (trimmed.length == 0) return false;
        d->parentFileNameHint = trimmed;
        return true;
    }
    case KEY_HW_VERSION: {
        uint32_t v = 0;
        if (!Num_ParseU32(value, *encoding, &v)) return false;
        uint32_t index = Vmdk_HwVersionIndexFromNumber(v);
        if (index == VMDK_HW_VERSION_UNSET) return false;
        d->hwVersionIndex = index;
        d->hwVersionAbsent = 0;
        return true;
    }
    case KEY_UUID:
        d->uuidAbsent = 0;
        d->uuid = value;
        return true;
    case KEY_CYLINDERS:
        return Num_ParseU32(value, *encoding, &d->cylinders);
    case KEY_HEADS:
        return Num_ParseU32(value, *encoding, &d->heads);
    case KEY_SECTORS:
        return Num_ParseU32(value, *encoding, &d->sectorsPerTrack);
    case KEY_ADAPTER:
        return ParseAdapter(value, *encoding, &d->adapter);
    default:
        return true;
    }
}

bool ApplyExtent(VmdkDescriptor* d, const ExtentLine& line, TextEncoding encoding)
{
    if (d->extentCount >= VMDK_MAX_EXTENTS) return false;
    if (!EqualsNoCase(line.access, "RW", encoding) &&
        !EqualsNoCase(line.access, "RDONLY", encoding))
        return false;
    VmdkExtentEntry& e = d->extents[d->extentCount];
    if (!Num_ParseU32(line.size, encoding, &e.sectors)) return false;
    if (EqualsNoCase(line.type, "SPARSE", encoding))
        e.type = VMDK_EXTENT_SPARSE;
    else if (EqualsNoCase(line.type, "FLAT", encoding) || EqualsNoCase(line.type, "VMFS", encoding))
        e.type = VMDK_EXTENT_FLAT;
    else
        return false;
    e.offset = 0;
    TextView offset;
    Text_Trim(line.offset, &offset, encoding);
    if (offset.length != 0 && !Num_ParseU64(offset, encoding, &e.offset)) return false;
    e.fileName = line.fileName;
    d->extentCount++;
    return true;
}

// Whether the extents fit the createType's rule; sets split and flat.
bool CheckCreateType(VmdkDescriptor* d)
{
    uint32_t n = d->extentCount;
    bool allSparseAtZero = n != 0;
    bool allFlat = n != 0;
    for (uint32_t i = 0; i < n; ++i) {
        const VmdkExtentEntry& e = d->extents[i];
        if (e.type != VMDK_EXTENT_SPARSE || e.offset != 0) allSparseAtZero = false;
        if (e.type != VMDK_EXTENT_FLAT) allFlat = false;
    }
    switch (d->createTypeIndex) {
    case VMDK_CREATE_MONOLITHIC_SPARSE:
    case VMDK_CREATE_STREAM_OPTIMIZED:
        if (n != 1 || !allSparseAtZero) return false;
        d->split = 0;
        d->flat = 0;
        return true;
    case VMDK_CREATE_SPLIT_SPARSE:
        if (!allSparseAtZero) return false;
        d->split = 1;
        d->flat = 0;
        return true;
    case VMDK_CREATE_MONOLITHIC_FLAT:
        if (n != 1 || !allFlat || d->isChild) return false;
        d->split = 0;
        d->flat = 1;
        return true;
    case VMDK_CREATE_SPLIT_FLAT:
    case VMDK_CREATE_VMFS:
        if (!allFlat || d->isChild) return false;
        d->split = 1;
        d->flat = 1;
        return true;
    default:
        return false;
    }
}

// ---- Rewrite helpers ----------------------------------------------------------------------------

// Appends a view converted from one encoding into the buffer's.
inline bool AppendConverted(TextBuffer* out, TextEncoding outEnc, TextView text, TextEncoding enc)
{
    return Enc_ConvertAppend(out, outEnc, text, enc);
}

inline bool AppendAscii(TextBuffer* out, TextEncoding outEnc, const char* ascii)
{
    return Enc_ConvertAppend(out, outEnc, CView(ascii), TEXT_ENC_UTF8);
}

inline bool AppendLineFeed(TextBuffer* out, TextEncoding outEnc)
{
    return AppendAscii(out, outEnc, "\n");
}

bool AppendU32(TextBuffer* out, TextEncoding outEnc, uint32_t value)
{
    return Num_AppendU32(out, value, false, -1, 10, false, outEnc);
}

// The new value of a known key as it appears in a line (quoted except for version, CID and
// parentCID).
bool AppendKeyValue(TextBuffer* out, TextEncoding outEnc, int key, const VmdkDescriptorEdits* e,
                    TextEncoding editEnc)
{
    bool quoted = key != KEY_VERSION && key != KEY_CID && key != KEY_PARENT_CID;
    if (quoted && !AppendAscii(out, outEnc, "\"")) return false;
    bool ok = true;
    switch (key) {
    case KEY_VERSION:
        ok = AppendU32(out, outEnc, e->version.value);
        break;
    case KEY_ENCODING:
        ok = AppendAscii(out, outEnc, Vmdk_EncodingName(e->encoding.value));
        break;
    case KEY_CID:
        ok = AppendConverted(out, outEnc, e->cid.value, editEnc);
        break;
    case KEY_PARENT_CID:
        ok = AppendConverted(out, outEnc, e->parentCid.value, editEnc);
        break;
    case KEY_CREATE_TYPE:
        ok = AppendConverted(out, outEnc, e->createType.value, editEnc);
        break;
    case KEY_PARENT_HINT:
        ok = AppendConverted(out, outEnc, e->parentFileNameHint.value, editEnc);
        break;
    case KEY_HW_VERSION:
        ok = AppendAscii(out, outEnc, Vmdk_HwVersionName(e->hwVersionIndex.value));
        break;
    case KEY_UUID:
        ok = AppendConverted(out, outEnc, e->uuid.value, editEnc);
        break;
    case KEY_CYLINDERS:
        ok = AppendU32(out, outEnc, e->cylinders.value);
        break;
    case KEY_HEADS:
        ok = AppendU32(out, outEnc, e->heads.value);
        break;
    case KEY_SECTORS:
        ok = AppendU32(out, outEnc, e->sectorsPerTrack.value);
        break;
    case KEY_ADAPTER:
        if (e->adapter.value > VMDK_ADAPTER_LSILOGIC) return false;
        ok = AppendAscii(out, outEnc, Vmdk_AdapterName(e->adapter.value));
        break;
    default:
        return false;
    }
    if (!ok) return false;
    return !quoted || AppendAscii(out, outEnc, "\"");
}

// The set/remove flags of a known key's edit.
void EditFlags(const VmdkDescriptorEdits* e, int key, bool* set, bool* remove)
{
    uint8_t s = 0, r = 0;
    switch (key) {
    case KEY_VERSION:
        s = e->version.set;
        r = e->version.remove;
        break;
    case KEY_ENCODING:
        s = e->encoding.set;
        r = e->encoding.remove;
        break;
    case KEY_CID:
        s = e->cid.set;
        r = e->cid.remove;
        break;
    case KEY_PARENT_CID:
        s = e->parentCid.set;
        r = e->parentCid.remove;
        break;
    case KEY_CREATE_TYPE:
        s = e->createType.set;
        r = e->createType.remove;
        break;
    case KEY_PARENT_HINT:
        s = e->parentFileNameHint.set;
        r = e->parentFileNameHint.remove;
        break;
    case KEY_HW_VERSION:
        s = e->hwVersionIndex.set;
        r = e->hwVersionIndex.remove;
        break;
    case KEY_UUID:
        s = e->uuid.set;
        r = e->uuid.remove;
        break;
    case KEY_CYLINDERS:
        s = e->cylinders.set;
        r = e->cylinders.remove;
        break;
    case KEY_HEADS:
        s = e->heads.set;
        r = e->heads.remove;
        break;
    case KEY_SECTORS:
        s = e->sectorsPerTrack.set;
        r = e->sectorsPerTrack.remove;
        break;
    case KEY_ADAPTER:
        s = e->adapter.set;
        r = e->adapter.remove;
        break;
    default:
        break;
    }
    *set = s != 0;
    *remove = r != 0;
}

inline bool Adds(const VmdkDescriptorEdits* e, int key)
{
    bool set, remove;
    EditFlags(e, key, &set, &remove);
    return set && !remove;
}

// A whole line for a key absent from the old text, in the form a new descriptor has.
bool AppendNewKeyLine(TextBuffer* out, TextEncoding outEnc, int key, const VmdkDescriptorEdits* e,
                      TextEncoding editEnc)
{
    bool ddbStyle = key >= KEY_HW_VERSION;
    if (!AppendAscii(out, outEnc, kKeyNames[key])) return false;
    if (!AppendAscii(out, outEnc, ddbStyle ? " = " : "=")) return false;
    if (!AppendKeyValue(out, outEnc, key, e, editEnc)) return false;
    return AppendLineFeed(out, outEnc);
}

bool AppendNewExtentLine(TextBuffer* out, TextEncoding outEnc, const VmdkExtentEdit& x,
                         TextEncoding nameEnc)
{
    return AppendAscii(out, outEnc, "RW ") && AppendU32(out, outEnc, x.sectors) &&
           AppendAscii(out, outEnc, " SPARSE \"") &&
           AppendConverted(out, outEnc, x.fileName, nameEnc) && AppendAscii(out, outEnc, "\"") &&
           AppendLineFeed(out, outEnc);
}

bool AppendRebuiltExtent(TextBuffer* out, TextEncoding outEnc, TextView line, TextEncoding oldEnc,
                         const ExtentLine& x, const VmdkExtentEdit& edit, TextEncoding nameEnc)
{
    bool ok = AppendConverted(out, outEnc, Slice(line, 0, x.accessStart), oldEnc);
    ok = ok && (edit.makeSparse ? AppendAscii(out, outEnc, "RW")
                                : AppendConverted(out, outEnc, x.access, oldEnc));
    ok = ok && AppendConverted(out, outEnc, Slice(line, x.accessEnd, x.sizeStart), oldEnc);
    ok = ok && AppendU32(out, outEnc, edit.sectors);
    ok = ok && AppendConverted(out, outEnc, Slice(line, x.sizeEnd, x.typeStart), oldEnc);
    ok = ok && (edit.makeSparse ? AppendAscii(out, outEnc, "SPARSE")
                                : AppendConverted(out, outEnc, x.type, oldEnc));
    ok = ok && AppendConverted(out, outEnc, Slice(line, x.typeEnd, x.nameStart), oldEnc);
    ok = ok && AppendAscii(out, outEnc, "\"") &&
         AppendConverted(out, outEnc, edit.fileName, nameEnc) && AppendAscii(out, outEnc, "\"");
    // A sparse extent has no data offset: the offset of a former flat extent is dropped.
    uint32_t restStart = (edit.makeSparse && x.hasOffset) ? x.offsetEnd : x.nameEnd;
    ok = ok && AppendConverted(out, outEnc, Slice(line, restStart, line.length), oldEnc);
    return ok && AppendLineFeed(out, outEnc);
}

}  // namespace

// ---- Options blocks -------------------------------------------------------------------------------

uint32_t Vmdk_CreateOptionsSize(uint32_t extentCount)
{
    if (extentCount > VMDK_MAX_EXTENTS) return 0;
    return VMDK_CREATE_OPTIONS_HEADER_BYTES + VMDK_CREATE_EXTENT_BYTES * extentCount;
}

VmdkCreateOptions* Vmdk_AllocCreateOptions(uint32_t extentCount)
{
    if (extentCount == 0 || extentCount > VMDK_MAX_EXTENTS) return nullptr;
    uint32_t size = Vmdk_CreateOptionsSize(extentCount);
    void* block = Mem_Alloc(size);
    if (!block) return nullptr;
    std::memset(block, 0, size);
    VmdkCreateOptions* options = static_cast<VmdkCreateOptions*>(block);
    options->extentCount = extentCount;
    return options;
}

VmdkCreateOptions* Vmdk_CopyCreateOptions(const VmdkCreateOptions* options)
{
    if (!options || options->extentCount == 0 || options->extentCount > VMDK_MAX_EXTENTS)
        return nullptr;
    uint32_t size = Vmdk_CreateOptionsSize(options->extentCount);
    void* block = Mem_Alloc(size);
    if (!block) return nullptr;
    std::memcpy(block, options, size);
    return static_cast<VmdkCreateOptions*>(block);
}

VmdkCreateExtent* Vmdk_CreateOptionsExtent(VmdkCreateOptions* options, uint32_t index)
{
    uint8_t* base = reinterpret_cast<uint8_t*>(options);
    return reinterpret_cast<VmdkCreateExtent*>(base + VMDK_CREATE_OPTIONS_HEADER_BYTES +
                                               static_cast<size_t>(VMDK_CREATE_EXTENT_BYTES) *
                                                   index);
}

const VmdkCreateExtent* Vmdk_CreateOptionsExtentConst(const VmdkCreateOptions* options,
                                                      uint32_t index)
{
    const uint8_t* base = reinterpret_cast<const uint8_t*>(options);
    return reinterpret_cast<const VmdkCreateExtent*>(base + VMDK_CREATE_OPTIONS_HEADER_BYTES +
                                                     static_cast<size_t>(VMDK_CREATE_EXTENT_BYTES) *
                                                         index);
}

void Vmdk_ClearDescriptorEdits(VmdkDescriptorEdits* edits)
{
    std::memset(static_cast<void*>(edits), 0, sizeof(VmdkDescriptorEdits));
}

// ---- Names ------------------------------------------------------------------------------------------

const char* Vmdk_EncodingName(uint32_t encodingChoice)
{
    return encodingChoice == VMDK_ENCODING_SHIFT_JIS ? "Shift_JIS" : "UTF-8";
}

const char* Vmdk_AdapterName(uint32_t adapter)
{
    if (adapter == VMDK_ADAPTER_IDE) return "ide";
    if (adapter == VMDK_ADAPTER_BUSLOGIC) return "buslogic";
    return "lsilogic";
}

const char* Vmdk_HwVersionName(uint32_t hwVersionIndex)
{
    return hwVersionIndex < VMDK_HW_VERSION_COUNT ? kHwVersionNames[hwVersionIndex] : "16";
}

uint32_t Vmdk_HwVersionIndexFromNumber(uint32_t number)
{
    if (number == 0) return VMDK_HW_VERSION_UNSET;
    if (number >= 3 && number <= 12) return number - 3;
    if (number == 14) return 10;
    if (number == 17) return 12;
    if (number == 18) return 13;
    return 11;
}

uint32_t Vmdk_CreateTypeIndex(TextView createType, TextEncoding encoding)
{
    for (uint32_t i = 0; i < VMDK_CREATE_TYPE_COUNT; ++i) {
        if (EqualsNoCase(createType, kCreateTypeNames[i], encoding)) return i;
    }
    return VMDK_CREATE_UNKNOWN;
}

const char* Vmdk_CreateTypeName(uint32_t createTypeIndex)
{
    return createTypeIndex < VMDK_CREATE_TYPE_COUNT ? kCreateTypeNames[createTypeIndex] : nullptr;
}

// ---- Parsing ----------------------------------------------------------------------------------------

void Vmdk_InitDescriptor(VmdkDescriptor* d)
{
    std::memset(static_cast<void*>(d), 0, sizeof(VmdkDescriptor));
    d->encodingAbsent = 1;
    d->uuidAbsent = 1;
    d->hwVersionAbsent = 1;
    d->textEncoding = TEXT_ENC_UTF8;
    d->hwVersionIndex = VMDK_HW_VERSION_UNSET;
    d->adapter = VMDK_ADAPTER_UNSET;
    d->createTypeIndex = VMDK_CREATE_UNKNOWN;
    Text_InitEmpty(&d->encoding);
    Text_InitEmpty(&d->cid);
    Text_InitEmpty(&d->parentCid);
    Text_InitEmpty(&d->createType);
    Text_InitEmpty(&d->parentFileNameHint);
    Text_InitEmpty(&d->uuid);
}

bool Vmdk_ParseDescriptor(VmdkDescriptor* d, TextView text)
{
    Vmdk_InitDescriptor(d);
    TextEncoding encoding = TEXT_ENC_UTF8;
    bool seen[KEY_COUNT] = {};
    bool ok = ForEachLine(text, encoding, [&](TextView line) {
        KeyLine key;
        ExtentLine extent;
        switch (ClassifyLine(line, &key, &extent)) {
        case LINE_KEY: {
            int k = KeyIndex(key.key, encoding);
            if (k == KEY_UNKNOWN) return true;
            if (seen[k] || (k != KEY_VERSION && !seen[KEY_VERSION])) return false;
            seen[k] = true;
            return ApplyKey(d, k, key.value, &encoding);
        }
        case LINE_EXTENT:
            if (!seen[KEY_VERSION]) return false;
            return ApplyExtent(d, extent, encoding);
        default:
            return true;
        }
    });
    d->textEncoding = encoding;
    if (!ok) return false;
    if (d->hwVersionAbsent) d->hwVersionIndex = VMDK_HW_VERSION_DEFAULT;
    if (!seen[KEY_VERSION] || !seen[KEY_CID] || !seen[KEY_PARENT_CID] || !seen[KEY_CREATE_TYPE])
        return false;
    if (seen[KEY_PARENT_HINT]) {
        // A child. Other tools write geometry and adapter keys into children too; the hint
        // alone decides.
        d->isChild = 1;
    } else {
        if (!seen[KEY_ADAPTER]) return false;
        d->isChild = 0;
        if (!seen[KEY_CYLINDERS]) d->cylinders = 0;
        if (!seen[KEY_HEADS]) d->heads = 16;
        if (!seen[KEY_SECTORS]) d->sectorsPerTrack = 63;
    }
    d->createTypeIndex = Vmdk_CreateTypeIndex(d->createType, d->textEncoding);
    return CheckCreateType(d);
}

int Vmdk_CheckDescriptorText(VmdkDescriptor* descriptor, const uint8_t* bytes, uint32_t length,
                             bool embedded, uint32_t* textLength)
{
    const void* nul = length ? std::memchr(bytes, 0, length) : nullptr;
    uint32_t n = nul ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - bytes) : length;
    if (!IsValidText(bytes, n, TEXT_ENC_SJIS) && !IsValidText(bytes, n, TEXT_ENC_UTF8))
        return Refusal_Record("VMDK descriptor: text is neither Shift_JIS nor UTF-8");
    if (!Vmdk_ParseDescriptor(descriptor, TextView{bytes, n}))
        return Refusal_Record("VMDK descriptor: text does not parse");
    if (embedded && descriptor->split == 1)
        return Refusal_Record("VMDK descriptor: embedded descriptor names separate extent files");
    if (textLength) *textLength = n;
    return DISK_OK;
}

int Vmdk_ReadDescriptor(ByteStream* stream, VmdkDescriptor* descriptor, TextBuffer* text)
{
    TextBuffer_InitEmpty(text);
    uint64_t size = 0;
    if (!Stream_GetSize(stream, &size)) return DISK_ERR_SIZE;
    uint8_t head[VMDK_SECTOR_BYTES];
    std::memset(head, 0, sizeof head);
    uint32_t headBytes = size < VMDK_SECTOR_BYTES ? static_cast<uint32_t>(size) : VMDK_SECTOR_BYTES;
    if (headBytes && !Stream_ReadAt(stream, 0, headBytes, head)) return DISK_ERR_READ;
    VmdkSparseHeader header;
    VmdkSparse_HeaderToHost(head, &header);

    uint64_t offset = 0;
    uint64_t length = 0;
    bool embedded = false;
    if (size >= VMDK_SECTOR_BYTES && VmdkSparse_HeaderIsValid(&header)) {
        uint32_t sectors = static_cast<uint32_t>(header.descriptorSize);
        if (sectors == 0) return Refusal_Record("VMDK sparse header: no embedded descriptor");
        length = static_cast<uint64_t>(sectors) * VMDK_SECTOR_BYTES;
        offset = VMDK_SECTOR_BYTES;
        embedded = true;
    } else {
        // Something that starts like a sparse header but fails its checks is no text either.
        if (headBytes >= 4 && Bytes_LoadLe32(head) == VMDK_SPARSE_MAGIC) {
            if (size < VMDK_SECTOR_BYTES)
                return Refusal_Record("VMDK sparse header: file shorter than the header");
            // The identity checks failed: the header check records which one.
            const int r = VmdkSparse_CheckHeader(&header);
            return r != DISK_OK ? r : Refusal_Record("VMDK sparse header: fields are wrong");
        }
        length = size;
    }
    if (length > VMDK_MAX_DESCRIPTOR_BYTES)
        return Refusal_Record("VMDK descriptor: text too large");
    if (length == 0) return Refusal_Record("VMDK descriptor: file is empty");
    uint32_t n = static_cast<uint32_t>(length);
    uint8_t* block = static_cast<uint8_t*>(Mem_Alloc(n));
    if (!block) return DISK_ERR_NOMEM;
    if (!Stream_ReadAt(stream, offset, n, block)) {
        Mem_Free(block);
        return DISK_ERR_READ;
    }
    uint32_t textLength = 0;
    int r = Vmdk_CheckDescriptorText(descriptor, block, n, embedded, &textLength);
    if (r != DISK_OK) {
        Mem_Free(block);
        return r;
    }
    TextBuffer_Init(text, block, textLength, n);
    return DISK_OK;
}

// ---- Writing ------------------------------------------------------------------------------------------

uint32_t Vmdk_WriteDescriptor(uint8_t* out, uint32_t capacity, const VmdkCreateOptions* options,
                              const DiskGeometry* geometry, TextEncoding outputEncoding)
{
    if (!out || !options || !geometry || capacity == 0) return 0;
    uint32_t count = options->extentCount;
    if (count == 0 || count > VMDK_MAX_EXTENTS) return 0;
    if (options->split == 0 && count != 1) return 0;
    if (options->streamOptimized && count != 1) return 0;
    if (geometry->heads == 0 || geometry->sectors_per_track == 0) return 0;

    const char* createType;
    if (options->streamOptimized)
        createType = "streamOptimized";
    else if (options->flat == VMDK_LAYOUT_SPARSE)
        createType = options->split ? "twoGbMaxExtentSparse" : "monolithicSparse";
    else if (options->flat == VMDK_LAYOUT_FLAT)
        createType = options->split ? "twoGbMaxExtentFlat" : "monolithicFlat";
    else
        createType = "vmfs";

    const char* type = "VMFS";
    const char* suffix = "";
    const char* trailer = "ddb.thinProvisioned = \"1\"\n";
    if (options->flat == VMDK_LAYOUT_FLAT) {
        type = "FLAT";
        suffix = " 0";
        trailer = "";
    } else if (options->flat == VMDK_LAYOUT_SPARSE) {
        type = "SPARSE";
        trailer = "";
    }
    const char* access = options->streamOptimized ? "RDONLY" : "RW";

    uint64_t cylinders =
        Geometry_GetTotalSectors(geometry) / geometry->heads / geometry->sectors_per_track;
    if (options->adapter == VMDK_ADAPTER_IDE && cylinders > 0x3FFF) cylinders = 0x3FFF;

    // The extent lines, in the output encoding.
    uint32_t linesCapacity = count * (VMDK_NAME_CAPACITY + 64);
    uint8_t* lines = static_cast<uint8_t*>(Mem_Alloc(linesCapacity));
    if (!lines) return 0;
    TextBuffer lineBuffer;
    TextBuffer_Init(&lineBuffer, lines, 0, linesCapacity);
    bool ok = true;
    for (uint32_t i = 0; ok && i < count; ++i) {
        const VmdkCreateExtent* x = Vmdk_CreateOptionsExtentConst(options, i);
        // Every extent line names its file, the stream-optimised file itself included.
        if (!std::memchr(x->fileName, 0, sizeof x->fileName)) {
            ok = false;
            break;
        }
        const char* slash = std::strrchr(x->fileName, '/');
        const char* name = slash ? slash + 1 : x->fileName;
        ok = Text_Format(&lineBuffer, outputEncoding, "%s %u %s \"%s\"%s\n", TEXT_ENC_UTF8, access,
                         TEXT_ENC_UTF8, x->sectors, type, TEXT_ENC_UTF8, name, TEXT_ENC_UTF8,
                         suffix, TEXT_ENC_UTF8);
    }
    uint32_t written = 0;
    if (ok) {
        const char* encodingLine = "";
        if (options->encodingChoice == VMDK_ENCODING_SHIFT_JIS)
            encodingLine = "encoding=\"Shift_JIS\"\n";
        else if (options->encodingChoice != VMDK_ENCODING_NONE)
            encodingLine = "encoding=\"UTF-8\"\n";
        TextView lineView;
        TextBuffer_View(&lineBuffer, &lineView);
        TextBuffer output;
        TextBuffer_Init(&output, out, 0, capacity);
        ok = Text_Format(
            &output, outputEncoding,
            "# Disk DescriptorFile\nversion=1\n%sCID=fffffffe\nparentCID=ffffffff\n"
            "createType=\"%s\"\n\n# Extent description\n%t\n# The Disk Data Base \n#DDB\n\n"
            "ddb.virtualHWVersion = \"%s\"\nddb.geometry.cylinders = \"%wu\"\n"
            "ddb.geometry.heads = \"%u\"\nddb.geometry.sectors = \"%u\"\n"
            "ddb.adapterType = \"%s\"\n%s",
            TEXT_ENC_UTF8, encodingLine, TEXT_ENC_UTF8, createType, TEXT_ENC_UTF8, lineView,
            outputEncoding, Vmdk_HwVersionName(options->hwVersionIndex), TEXT_ENC_UTF8, cylinders,
            geometry->heads, geometry->sectors_per_track, Vmdk_AdapterName(options->adapter),
            TEXT_ENC_UTF8, trailer, TEXT_ENC_UTF8);
        if (ok) written = output.length;
    }
    Mem_Free(lines);
    return written;
}

// ---- Rewriting ------------------------------------------------------------------------------------------

bool Vmdk_RewriteDescriptor(TextView oldText, TextEncoding oldEncoding, TextBuffer* output,
                            TextEncoding outputEncoding, const VmdkDescriptorEdits* edits,
                            TextEncoding editEncoding, TextEncoding fileNameEncoding)
{
    output->length = 0;
    if (edits->extentCount > VMDK_MAX_EXTENTS) return false;
    const TextEncoding outEnc = outputEncoding;

    // First pass: which known keys occur, and how many extent lines.
    bool present[KEY_COUNT] = {};
    uint32_t oldExtents = 0;
    ForEachLine(oldText, oldEncoding, [&](TextView line) {
        KeyLine key;
        ExtentLine extent;
        LineKind kind = ClassifyLine(line, &key, &extent);
        if (kind == LINE_KEY) {
            int k = KeyIndex(key.key, oldEncoding);
            if (k != KEY_UNKNOWN) present[k] = true;
        } else if (kind == LINE_EXTENT) {
            ++oldExtents;
        }
        return true;
    });

    bool inserted[KEY_COUNT] = {};
    bool extentsAdded = false;
    uint32_t extentIndex = 0;
    auto appendNewExtents = [&]() {
        for (uint32_t i = oldExtents; i < edits->extentCount; ++i) {
            if (!edits->extents[i].set) continue;
            if (!AppendNewExtentLine(output, outEnc, edits->extents[i], fileNameEncoding))
                return false;
        }
        extentsAdded = true;
        return true;
    };
    auto insertAfter = [&](int key) {
        if (present[key] || inserted[key] || !Adds(edits, key)) return true;
        inserted[key] = true;
        return AppendNewKeyLine(output, outEnc, key, edits, editEncoding);
    };

    // Second pass: line by line.
    bool ok = ForEachLine(oldText, oldEncoding, [&](TextView line) {
        KeyLine key;
        ExtentLine extent;
        LineKind kind = ClassifyLine(line, &key, &extent);
        if (kind == LINE_KEY) {
            if (edits->dropDdbLines && StartsWithDdb(key.key)) return true;
            int k = KeyIndex(key.key, oldEncoding);
            bool set = false, remove = false;
            if (k != KEY_UNKNOWN) EditFlags(edits, k, &set, &remove);
            if (!set) {
                if (!AppendConverted(output, outEnc, line, oldEncoding) ||
                    !AppendLineFeed(output, outEnc))
                    return false;
            } else if (!remove) {
                if (!AppendConverted(output, outEnc, Slice(line, 0, key.valueStart), oldEncoding) ||
                    !AppendKeyValue(output, outEnc, k, edits, editEncoding) ||
                    !AppendConverted(output, outEnc, Slice(line, key.valueEnd, line.length),
                                     oldEncoding) ||
                    !AppendLineFeed(output, outEnc))
                    return false;
            }
            if (k == KEY_VERSION) return insertAfter(KEY_ENCODING);
            if (k == KEY_CREATE_TYPE) return insertAfter(KEY_PARENT_HINT);
            if (k == KEY_HW_VERSION) return insertAfter(KEY_UUID);
            return true;
        }
        if (kind == LINE_EXTENT) {
            uint32_t i = extentIndex++;
            if (i < edits->extentCount) {
                const VmdkExtentEdit& x = edits->extents[i];
                bool done = x.set ? AppendRebuiltExtent(output, outEnc, line, oldEncoding, extent,
                                                        x, fileNameEncoding)
                                  : (AppendConverted(output, outEnc, line, oldEncoding) &&
                                     AppendLineFeed(output, outEnc));
                if (!done) return false;
            }
            if (extentIndex == oldExtents) return appendNewExtents();
            return true;
        }
        return AppendConverted(output, outEnc, line, oldEncoding) && AppendLineFeed(output, outEnc);
    });

    // Known keys the old text lacked, then the extents not yet placed.
    for (int k = 0; ok && k < KEY_COUNT; ++k) {
        if (present[k] || inserted[k] || !Adds(edits, k)) continue;
        ok = AppendNewKeyLine(output, outEnc, k, edits, editEncoding);
    }
    if (ok && !extentsAdded) ok = appendNewExtents();
    if (ok) ok = TextBuffer_Terminate(output, outEnc);
    if (!ok) output->length = 0;
    return ok;
}

bool Vmdk_RewriteDescriptorUtf8(TextView oldText, TextEncoding encoding, TextBuffer* output,
                                const VmdkDescriptorEdits* edits, TextEncoding editEncoding)
{
    return Vmdk_RewriteDescriptor(oldText, encoding, output, encoding, edits, editEncoding,
                                  TEXT_ENC_UTF8);
}

// ---- Geometry ---------------------------------------------------------------------------------------------

bool Vmdk_ComputeGeometry(uint64_t bytes, bool scsi, DiskGeometry* geometry)
{
    std::memset(geometry, 0, sizeof *geometry);
    geometry->bytes_per_sector = VMDK_SECTOR_BYTES;
    if (scsi) {
        // Whole MiB rounded up, so that the disk never loses the source's tail.
        uint64_t mib = bytes / 1048576 + (bytes % 1048576 != 0 ? 1 : 0);
        if (mib < 1024) {
            geometry->heads = 64;
            geometry->sectors_per_track = 32;
        } else {
            geometry->heads = 255;
            geometry->sectors_per_track = 63;
        }
        Geometry_SetTotalSectors(geometry, mib * 2048);
    } else {
        geometry->heads = 16;
        geometry->sectors_per_track = 63;
        Geometry_SetTotalSectors(
            geometry, bytes / VMDK_SECTOR_BYTES + (bytes % VMDK_SECTOR_BYTES != 0 ? 1 : 0));
    }
    return true;
}

bool Vmdk_GetDefaultGeometry(uint64_t bytes, bool scsi, DiskGeometry* geometry)
{
    return Vmdk_ComputeGeometry(bytes, scsi, geometry);
}
