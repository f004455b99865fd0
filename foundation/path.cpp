#include "foundation/path.h"

#include <cstring>

#include "foundation/encoding.h"
#include "foundation/platform.h"
#include "foundation/text_ops.h"

namespace {

// ---- Character walking --------------------------------------------------------
// Paths come from image files and may be malformed: a malformed sequence is stepped over as
// one code unit and never equals a separator, so that a Shift_JIS trail byte 0x5C is not taken
// for a backslash.

// Byte length of the character at p: its valid length, or one code unit (at most the bytes
// that remain) for a malformed sequence.
uint32_t StepLength(const uint8_t* p, uint32_t available, TextEncoding encoding)
{
    uint32_t length = Text_ValidCharLength(p, available, encoding);
    if (length != 0) return length;
    uint32_t unit = Text_UnitSize(encoding);
    return (unit == 0 || unit > available) ? available : unit;
}

// ASCII value of a one-unit character, or -1 for anything else.
int AsciiOf(const uint8_t* p, uint32_t length, TextEncoding encoding)
{
    uint32_t value;
    switch (encoding) {
    case TEXT_ENC_SJIS:
    case TEXT_ENC_EUCJP:
    case TEXT_ENC_UTF8:
        if (length != 1) return -1;
        value = p[0];
        break;
    case TEXT_ENC_UTF16LE:
        if (length != 2) return -1;
        value = p[0] | (static_cast<uint32_t>(p[1]) << 8);
        break;
    case TEXT_ENC_UTF16BE:
        if (length != 2) return -1;
        value = p[1] | (static_cast<uint32_t>(p[0]) << 8);
        break;
    case TEXT_ENC_UTF32LE:
        if (length != 4) return -1;
        value = Bytes_LoadLe32(p);
        break;
    case TEXT_ENC_UTF32BE:
        if (length != 4) return -1;
        value = Bytes_LoadBe32(p);
        break;
    default:
        return -1;
    }
    return value < 0x80 ? static_cast<int>(value) : -1;
}

// A position in a view with the character found there.
struct Cursor {
    TextView text;
    TextEncoding encoding;
    uint32_t pos;
    uint32_t length;  // byte length of the character at pos (0 at the end)
    int ascii;        // its ASCII value, or -1

    Cursor(TextView t, TextEncoding e, uint32_t start = 0) : text(t), encoding(e), pos(start)
    {
        Load();
    }
    bool AtEnd() const { return pos >= text.length; }
    void Next()
    {
        pos += length;
        Load();
    }
    void Load()
    {
        if (pos >= text.length) {
            length = 0;
            ascii = -1;
            return;
        }
        length = StepLength(text.data + pos, text.length - pos, encoding);
        ascii = AsciiOf(text.data + pos, length, encoding);
    }
};

int SeparatorAscii(bool posix) { return posix ? '/' : '\\'; }

bool IsAsciiLetter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int FoldAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool UsableView(TextView view, TextEncoding encoding)
{
    return Text_UnitSize(encoding) != 0 && (view.length == 0 || view.data != nullptr);
}

// Offset of the first character equal to `ascii` at or after `from`, or TEXT_NOT_FOUND.
uint32_t FindAscii(TextView text, uint32_t from, int ascii, TextEncoding encoding)
{
    for (Cursor c(text, encoding, from); !c.AtEnd(); c.Next())
        if (c.ascii == ascii) return c.pos;
    return TEXT_NOT_FOUND;
}

// Byte length of a drive prefix ("X:\") at the start of a path, 0 without one; the drive
// letter goes to *letter.
uint32_t DrivePrefixLength(TextView path, TextEncoding encoding, int* letter)
{
    Cursor c(path, encoding);
    if (!IsAsciiLetter(c.ascii)) return 0;
    int drive = c.ascii;
    c.Next();
    if (c.ascii != ':') return 0;
    c.Next();
    if (c.ascii != '\\') return 0;
    c.Next();
    if (letter != nullptr) *letter = drive;
    return c.pos;
}

// Byte length of the root prefix that normalisation keeps unchanged.
uint32_t RootPrefixLength(TextView path, TextEncoding encoding, bool posix)
{
    Cursor c(path, encoding);
    if (posix) return c.ascii == '/' ? c.length : 0;
    uint32_t drive = DrivePrefixLength(path, encoding, nullptr);
    if (drive != 0) return drive;
    if (c.ascii != '\\') return 0;
    c.Next();
    if (c.ascii != '\\') return c.pos;  // "\" alone
    c.Next();
    // "\\server\": up to and including the next backslash; just "\\" without one.
    uint32_t next = FindAscii(path, c.pos, '\\', encoding);
    if (next == TEXT_NOT_FOUND) return c.pos;
    Cursor s(path, encoding, next);
    return next + s.length;
}

bool EqualsView(TextView a, TextView b)
{
    return a.length == b.length && (a.length == 0 || std::memcmp(a.data, b.data, a.length) == 0);
}

// Drops the last component written in [floor, sub->length) together with the separator that
// follows it (the written text ends with that separator).
void RemoveLastComponent(TextBuffer* sub, uint32_t floor, uint32_t separatorLength, int separator,
                         TextEncoding encoding)
{
    TextView written = {sub->data, sub->length - separatorLength};
    uint32_t start = floor;
    for (Cursor c(written, encoding, floor); !c.AtEnd(); c.Next())
        if (c.ascii == separator) start = c.pos + c.length;
    sub->length = start;
}

// Checks that two paths are absolute in the style and lie under the same root, and gives the
// byte length of each root prefix.
bool SameRoot(TextView base, TextView target, TextEncoding encoding, bool posix, uint32_t* baseRoot,
              uint32_t* targetRoot)
{
    if (!UsableView(base, encoding) || !UsableView(target, encoding)) return false;
    if (posix) {
        Cursor b(base, encoding), t(target, encoding);
        if (b.ascii != '/' || t.ascii != '/') return false;
        *baseRoot = b.length;
        *targetRoot = t.length;
        return true;
    }
    int baseDrive = 0, targetDrive = 0;
    *baseRoot = DrivePrefixLength(base, encoding, &baseDrive);
    *targetRoot = DrivePrefixLength(target, encoding, &targetDrive);
    return *baseRoot != 0 && *targetRoot != 0 && FoldAscii(baseDrive) == FoldAscii(targetDrive);
}

// "_temp" and "_del" rendered in every encoding, in constant storage.
struct Rendering {
    uint8_t bytes[5 * 4];
    uint32_t length;
};

constexpr Rendering Render(const char* ascii, uint32_t unit, bool bigEndian)
{
    Rendering r{};
    uint32_t n = 0;
    for (; ascii[n] != '\0'; ++n)
        r.bytes[n * unit + (bigEndian ? unit - 1 : 0)] = static_cast<uint8_t>(ascii[n]);
    r.length = n * unit;
    return r;
}

constexpr Rendering kTempSuffix[TEXT_ENC_COUNT] = {
    Render("_temp", 1, false), Render("_temp", 1, false), Render("_temp", 1, false),
    Render("_temp", 2, false), Render("_temp", 2, true),  Render("_temp", 4, false),
    Render("_temp", 4, true)};
constexpr Rendering kDeleteSuffix[TEXT_ENC_COUNT] = {
    Render("_del", 1, false), Render("_del", 1, false), Render("_del", 1, false),
    Render("_del", 2, false), Render("_del", 2, true),  Render("_del", 4, false),
    Render("_del", 4, true)};

TextView RenderingView(const Rendering* table, TextEncoding encoding)
{
    TextView view;
    Text_InitEmpty(&view);
    if (encoding < TEXT_ENC_COUNT) {
        view.data = table[encoding].bytes;
        view.length = table[encoding].length;
    }
    return view;
}

}  // namespace

// ---- Splitting ----------------------------------------------------------------------

void Path_SplitDirStyle(TextView path, TextView* dir, TextView* name, TextEncoding encoding,
                        bool posix)
{
    uint32_t split = 0;
    if (UsableView(path, encoding)) {
        const int separator = SeparatorAscii(posix);
        for (Cursor c(path, encoding); !c.AtEnd(); c.Next())
            if (c.ascii == separator) split = c.pos + c.length;
    }
    Text_SplitAt(path, split, dir, name);
}

void Path_SplitDir(TextView path, TextView* dir, TextView* name, TextEncoding encoding)
{
    Path_SplitDirStyle(path, dir, name, encoding, true);
}

void Path_SplitStemExtStyle(TextView path, TextView* dir, TextView* stem, TextView* ext,
                            TextEncoding encoding, bool posix)
{
    TextView name;
    Path_SplitDirStyle(path, dir, &name, encoding, posix);
    uint32_t dot = TEXT_NOT_FOUND;
    uint32_t dotLength = 0;
    if (UsableView(name, encoding)) {
        for (Cursor c(name, encoding); !c.AtEnd(); c.Next()) {
            if (c.ascii == '.') {
                dot = c.pos;
                dotLength = c.length;
            }
        }
    }
    if (dot == TEXT_NOT_FOUND) {
        if (stem != nullptr) *stem = name;
        if (ext != nullptr) {
            ext->data = name.data == nullptr ? nullptr : name.data + name.length;
            ext->length = 0;
        }
        return;
    }
    TextView rest;
    Text_SplitAt(name, dot, stem, &rest);
    Text_Advance(&rest, dotLength);
    if (ext != nullptr) *ext = rest;
}

void Path_SplitStemExt(TextView path, TextView* dir, TextView* stem, TextView* ext,
                       TextEncoding encoding)
{
    Path_SplitStemExtStyle(path, dir, stem, ext, encoding, true);
}

void Path_SplitStemExtUtf8(TextView path, TextView* dir, TextView* stem, TextView* ext)
{
    Path_SplitStemExtStyle(path, dir, stem, ext, TEXT_ENC_UTF8, true);
}

// ---- Separators, suffixes and tests -----------------------------------------------------

TextView Path_SeparatorStyle(TextEncoding encoding, bool posix)
{
    return posix ? Text_SlashView(encoding) : Text_BackslashView(encoding);
}

TextView Path_Separator(TextEncoding encoding) { return Text_SlashView(encoding); }

TextView Path_TempSuffix(TextEncoding encoding) { return RenderingView(kTempSuffix, encoding); }

TextView Path_DeleteSuffix(TextEncoding encoding) { return RenderingView(kDeleteSuffix, encoding); }

TextView Path_CompactSuffix()
{
    static const uint8_t kSuffix[] = "_TEMP";
    return TextView{kSuffix, 5};
}

bool Path_IsAbsoluteStyle(TextView path, TextEncoding encoding, bool posix)
{
    return posix ? Path_IsAbsolutePosix(path, encoding) : Path_IsAbsoluteWindows(path, encoding);
}

bool Path_IsAbsolutePosix(TextView path, TextEncoding encoding)
{
    if (!UsableView(path, encoding)) return false;
    return Cursor(path, encoding).ascii == '/';
}

bool Path_IsAbsoluteWindows(TextView path, TextEncoding encoding)
{
    if (!UsableView(path, encoding)) return false;
    return DrivePrefixLength(path, encoding, nullptr) != 0;
}

bool Path_IsValid(TextView path, TextEncoding encoding)
{
    if (path.length == 0) return true;
    if (!UsableView(path, encoding)) return false;
    bool afterSlash = false;
    for (Cursor c(path, encoding); !c.AtEnd(); c.Next()) {
        if (c.ascii > 0 && std::strchr(":,;*?\"<>|", c.ascii) != nullptr) return false;
        if (c.ascii == '/' && afterSlash) return false;
        afterSlash = c.ascii == '/';
    }
    return true;
}

bool Path_IsValidWindows(TextView path, TextEncoding encoding)
{
    if (path.length == 0) return true;
    if (!UsableView(path, encoding)) return false;
    Cursor c(path, encoding);
    if (IsAsciiLetter(c.ascii)) {
        Cursor colon = c;
        colon.Next();
        if (colon.ascii == ':') {
            colon.Next();
            if (colon.ascii != '\\') return false;
            colon.Next();
            c = colon;
        }
    }
    if (c.ascii == '\\') return false;
    bool afterBackslash = false;
    for (; !c.AtEnd(); c.Next()) {
        if (c.ascii > 0 && std::strchr("/:*?\"<>|", c.ascii) != nullptr) return false;
        if (c.ascii == '\\' && afterBackslash) return false;
        afterBackslash = c.ascii == '\\';
    }
    return true;
}

bool Text_FirstCharEqualsNoCase(TextView text, const void* string, TextEncoding encoding)
{
    if (string == nullptr || !UsableView(text, encoding) || text.length == 0) return false;
    TextView other;
    Text_FromCString(&other, string, encoding);
    if (other.length == 0) return false;
    uint32_t a = Text_ValidCharLength(text.data, text.length, encoding);
    uint32_t b = Text_ValidCharLength(other.data, other.length, encoding);
    if (a != 0 && b != 0) return Text_CompareChar(text.data, a, other.data, b, true, encoding) == 0;
    // A malformed lead equals only the same bytes.
    a = StepLength(text.data, text.length, encoding);
    b = StepLength(other.data, other.length, encoding);
    return a == b && std::memcmp(text.data, other.data, a) == 0;
}

int Path_Compare(TextView a, TextView b, TextEncoding encoding)
{
    return Text_Compare(a, b, encoding);
}

int Path_CompareUtf8(TextView a, TextView b) { return Text_CompareUtf8(a, b); }

// ---- Building -------------------------------------------------------------------------

bool Path_Normalize(TextView path, TextBuffer* result, TextEncoding encoding, bool posix)
{
    if (result == nullptr || !UsableView(path, encoding)) return false;
    const int separator = SeparatorAscii(posix);
    const TextView separatorView = Path_SeparatorStyle(encoding, posix);
    const TextView dot = Path_Dot(encoding);
    const TextView dotDot = Path_DotDot(encoding);

    // Built in a sub-buffer, so that a failure leaves the result as it was.
    TextBuffer sub;
    TextBuffer_BeginSub(result, &sub);
    const uint32_t root = RootPrefixLength(path, encoding, posix);
    if (!TextBuffer_AppendPrefix(&sub, path, root)) return false;
    // The written components start at `floor`; surplus ".." of a relative path sit in front of
    // them and are never removed.
    uint32_t floor = sub.length;

    TextView rest;
    Text_SplitAt(path, root, nullptr, &rest);
    uint32_t pos = 0;
    bool endsInDots = false;
    for (;;) {
        uint32_t next = FindAscii(rest, pos, separator, encoding);
        const bool last = next == TEXT_NOT_FOUND;
        TextView component = {rest.data == nullptr ? nullptr : rest.data + pos,
                              (last ? rest.length : next) - pos};
        if (EqualsView(component, dot)) {
            endsInDots = last;
        } else if (EqualsView(component, dotDot)) {
            endsInDots = last;
            if (sub.length > floor) {
                RemoveLastComponent(&sub, floor, separatorView.length, separator, encoding);
            } else if (root != 0) {
                return false;  // climbs above the root
            } else {
                if (!TextBuffer_Append(&sub, dotDot)) return false;
                if (!last && !TextBuffer_Append(&sub, separatorView)) return false;
                floor = sub.length;
            }
        } else {
            if (!TextBuffer_Append(&sub, component)) return false;
            if (!last && !TextBuffer_Append(&sub, separatorView)) return false;
        }
        if (last) break;
        pos = next + Cursor(rest, encoding, next).length;
    }

    // "a/b/." and "a/b/c/.." end without a separator; "a/b/" keeps its own.
    if (endsInDots) {
        // The last character written after the root prefix, if it is a separator.
        TextView written = {sub.data, sub.length};
        uint32_t lastPos = TEXT_NOT_FOUND;
        int lastAscii = -1;
        for (Cursor c(written, encoding, root); !c.AtEnd(); c.Next()) {
            lastPos = c.pos;
            lastAscii = c.ascii;
        }
        if (lastAscii == separator) sub.length = lastPos;
    }
    TextBuffer_CommitSub(result, &sub);
    return true;
}

bool Path_MakeAbsoluteEx(TextView path, TextEncoding pathEncoding, TextView reference,
                         TextEncoding referenceEncoding, TextBuffer* work, TextBuffer* result,
                         TextEncoding resultEncoding, bool posix)
{
    if (work == nullptr || result == nullptr) return false;
    work->length = 0;
    result->length = 0;
    if (!UsableView(path, pathEncoding) || !UsableView(reference, referenceEncoding) ||
        Text_UnitSize(resultEncoding) == 0)
        return false;

    TextView input;
    if (!Path_IsAbsoluteStyle(path, pathEncoding, posix)) {
        TextView dir;
        Path_SplitDirStyle(reference, &dir, nullptr, referenceEncoding, posix);
        if (!Enc_ConvertAppend(work, resultEncoding, dir, referenceEncoding) ||
            !Enc_ConvertAppend(work, resultEncoding, path, pathEncoding)) {
            work->length = 0;
            return false;
        }
        TextBuffer_View(work, &input);
    } else if (pathEncoding == resultEncoding) {
        input = path;
    } else {
        if (!Enc_ConvertAppend(work, resultEncoding, path, pathEncoding)) {
            work->length = 0;
            return false;
        }
        TextBuffer_View(work, &input);
    }
    bool ok = Path_Normalize(input, result, resultEncoding, posix);
    work->length = 0;
    return ok;
}

bool Path_MakeAbsoluteStyle(TextView path, TextView reference, TextBuffer* work, TextBuffer* result,
                            TextEncoding encoding, bool posix)
{
    return Path_MakeAbsoluteEx(path, encoding, reference, encoding, work, result, encoding, posix);
}

bool Path_MakeAbsolute(TextView path, TextView reference, TextBuffer* work, TextBuffer* result,
                       TextEncoding encoding)
{
    return Path_MakeAbsoluteEx(path, encoding, reference, encoding, work, result, encoding, true);
}

bool Path_MakeAbsoluteCStr(const void* reference, const void* relative, void* result, uint32_t size,
                           TextEncoding encoding)
{
    const uint32_t unit = Text_UnitSize(encoding);
    if (result == nullptr || unit == 0 || size == 0) return false;
    bool ok = false;
    if (reference != nullptr && relative != nullptr) {
        void* workStorage = Mem_Alloc(size);
        if (workStorage != nullptr) {
            TextView referenceView, relativeView;
            Text_FromCString(&referenceView, reference, encoding);
            Text_FromCString(&relativeView, relative, encoding);
            TextBuffer work, out;
            TextBuffer_Init(&work, workStorage, 0, size);
            TextBuffer_Init(&out, result, 0, size);
            ok = Path_MakeAbsolute(relativeView, referenceView, &work, &out, encoding) &&
                 TextBuffer_Terminate(&out, encoding);
            Mem_Free(workStorage);
        }
    }
    if (!ok && size >= unit) Text_WriteTerminator(result, encoding);
    return ok;
}

bool Path_MakeRelativeStyle(TextView base, TextView target, TextBuffer* result,
                            TextEncoding encoding, bool posix)
{
    uint32_t baseRoot = 0, targetRoot = 0;
    if (result == nullptr || !SameRoot(base, target, encoding, posix, &baseRoot, &targetRoot))
        return false;
    const int separator = SeparatorAscii(posix);
    const TextView separatorView = Path_SeparatorStyle(encoding, posix);
    TextView b = base, t = target;
    Text_Advance(&b, baseRoot);
    Text_Advance(&t, targetRoot);

    // Drop the directories both paths share.
    for (;;) {
        uint32_t bs = FindAscii(b, 0, separator, encoding);
        if (bs == TEXT_NOT_FOUND) return TextBuffer_Append(result, t);  // same directory
        uint32_t ts = FindAscii(t, 0, separator, encoding);
        if (ts != bs) break;
        TextView bHead = {b.data, bs}, tHead = {t.data, ts};
        if (Text_CompareN(bHead, tHead, TEXT_NO_LIMIT, !posix, encoding) != 0) break;
        uint32_t step = bs + Cursor(b, encoding, bs).length;
        Text_Advance(&b, step);
        Text_Advance(&t, step);
    }

    // One ".." for every directory of the base below the shared part.
    TextBuffer sub;
    TextBuffer_BeginSub(result, &sub);
    const TextView dotDot = Path_DotDot(encoding);
    for (Cursor c(b, encoding); !c.AtEnd(); c.Next()) {
        if (c.ascii != separator) continue;
        if (!TextBuffer_AppendPair(&sub, dotDot, separatorView)) return false;
    }
    if (!TextBuffer_Append(&sub, t)) return false;
    TextBuffer_CommitSub(result, &sub);
    return true;
}

bool Path_MakeRelative(TextView base, TextView target, TextBuffer* result, TextEncoding encoding)
{
    return Path_MakeRelativeStyle(base, target, result, encoding, true);
}

bool Path_MakeRelativeWindows(TextView base, TextView target, TextBuffer* result,
                              TextEncoding encoding)
{
    return Path_MakeRelativeStyle(base, target, result, encoding, false);
}

bool Path_CanMakeRelativeStyle(TextView base, TextView target, TextEncoding encoding, bool posix)
{
    uint32_t baseRoot = 0, targetRoot = 0;
    return SameRoot(base, target, encoding, posix, &baseRoot, &targetRoot);
}

bool Path_CanMakeRelative(TextView base, TextView target, TextEncoding encoding)
{
    return Path_CanMakeRelativeStyle(base, target, encoding, true);
}

bool TextBuffer_ReplaceSameLength(TextBuffer* buffer, TextView pattern, TextView replacement,
                                  TextEncoding encoding)
{
    if (buffer == nullptr || pattern.length == 0 || pattern.length != replacement.length ||
        pattern.data == nullptr || replacement.data == nullptr || Text_UnitSize(encoding) == 0)
        return false;
    uint32_t pos = 0;
    while (pos < buffer->length) {
        const uint32_t remaining = buffer->length - pos;
        if (remaining >= pattern.length &&
            std::memcmp(buffer->data + pos, pattern.data, pattern.length) == 0) {
            std::memcpy(buffer->data + pos, replacement.data, replacement.length);
            pos += pattern.length;
        } else {
            pos += StepLength(buffer->data + pos, remaining, encoding);
        }
    }
    return true;
}
