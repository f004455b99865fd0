// Start-up, message catalogue, layout units, font file and last-directory text.
#include "gui/frame/app.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/text.h"
#include "foundation/text_ops.h"

namespace {

FXint g_unitX = 11;
FXint g_unitY = 12;

// Largest catalogue file taken into memory; a real catalogue is a few tens of kilobytes.
const size_t kMaxCatalogueSize = 64u * 1024u * 1024u;
// Longest font description accepted from the font file.
const int32_t kMaxFontDescription = 1024;

// Replaces every backslash followed by `letter` by `replacement`; each search resumes after the
// inserted character.
void ReplaceEscape(FXString& text, char letter, char replacement)
{
    FXint pos = 0;
    for (;;) {
        FXint found = -1;
        for (FXint i = pos; i + 1 < text.length(); ++i) {
            if (text[i] == '\\' && text[i + 1] == letter) {
                found = i;
                break;
            }
        }
        if (found < 0) return;
        text.replace(found, 2, &replacement, 1);
        pos = found + 1;
    }
}

bool IsValidUtf8(const uint8_t* data, size_t size)
{
    size_t pos = 0;
    while (pos < size) {
        size_t left = size - pos;
        uint32_t available = left > 8 ? 8u : (uint32_t)left;
        uint32_t n = Text_ValidCharLength(data + pos, available, TEXT_ENC_UTF8);
        if (n == 0) return false;
        pos += n;
    }
    return true;
}

}  // namespace

// ---- Message catalogue ------------------------------------------------------------------------

MessageTable& Ui_Messages()
{
    static MessageTable table;
    return table;
}

int Ui_ParseMessageCatalogue(MessageTable* table, const uint8_t* data, size_t size)
{
    const void* nul = size ? memchr(data, 0, size) : NULL;
    if (nul) size = (size_t)((const uint8_t*)nul - data);
    if (!IsValidUtf8(data, size)) return UI_CATALOGUE_ERR_UTF8;
    // The splitter works on 32-bit views; the loader never reads more than a few megabytes.
    if (size > 0x7FFFFFFFu) return UI_CATALOGUE_ERR_BUILD;
    try {
        TextView rest = {data, (uint32_t)size};
        while (rest.length > 0) {
            TextView line, after;
            bool more = Text_SplitLine(rest, &line, &after, TEXT_ENC_UTF8);
            FXString text((const FXchar*)line.data, (FXint)line.length);
            ReplaceEscape(text, 'n', '\n');
            ReplaceEscape(text, 't', '\t');
            table->texts.push_back(text);
            if (!more) break;
            rest = after;
        }
        table->texts.push_back(FXString());
    } catch (...) {
        return UI_CATALOGUE_ERR_BUILD;
    }
    return UI_CATALOGUE_OK;
}

int Ui_LoadMessageCatalogueFile(MessageTable* table, const char* path)
{
    FILE* file = fopen(path, "rb");
    if (!file) return UI_CATALOGUE_ERR_OPEN;
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) {
        fclose(file);
        return UI_CATALOGUE_ERR_SIZE;
    }
    if ((unsigned long long)info.st_size > kMaxCatalogueSize) {
        fclose(file);
        return UI_CATALOGUE_ERR_MEMORY;
    }
    size_t size = (size_t)info.st_size;
    uint8_t* buffer = (uint8_t*)malloc(size ? size : 1);
    if (!buffer) {
        fclose(file);
        return UI_CATALOGUE_ERR_MEMORY;
    }
    size_t got = size ? fread(buffer, 1, size, file) : 0;
    bool readError = ferror(file) != 0;
    fclose(file);
    if (got != size || readError) {
        free(buffer);
        return UI_CATALOGUE_ERR_READ;
    }
    int rc = Ui_ParseMessageCatalogue(table, buffer, size);
    free(buffer);
    return rc;
}

int Ui_LoadMessageCatalogue(MessageTable* table, const char* fileName)
{
    const size_t kPathSize = 4096;
    char* path = (char*)malloc(kPathSize);
    if (!path) return UI_CATALOGUE_ERR_PATH_MEMORY;
    ssize_t n = readlink("/proc/self/exe", path, kPathSize);
    if (n < 0 || (size_t)n >= kPathSize) {
        free(path);
        return UI_CATALOGUE_ERR_EXE_PATH;
    }
    path[n] = 0;
    char* slash = strrchr(path, '/');
    size_t dirLength = slash ? (size_t)(slash - path) + 1 : 0;
    size_t nameLength = strlen(fileName);
    if (dirLength + nameLength >= kPathSize) {
        free(path);
        return UI_CATALOGUE_ERR_EXE_PATH;
    }
    memcpy(path + dirLength, fileName, nameLength + 1);
    int rc = Ui_LoadMessageCatalogueFile(table, path);
    free(path);
    return rc;
}

const FXString& Ui_MessageText(int number)
{
    static const FXString empty;
    const MessageTable& table = Ui_Messages();
    if (number < 0 || (size_t)number >= table.texts.size()) return empty;
    return table.texts[(size_t)number];
}

// ---- Layout units -------------------------------------------------------------------------------

FXint Ui_ScaleX(FXint value) { return value * g_unitX; }
FXint Ui_ScaleY(FXint value) { return value * g_unitY; }
FXint Ui_LayoutUnitX() { return g_unitX; }
FXint Ui_LayoutUnitY() { return g_unitY; }

void Ui_SetLayoutUnitsFromSize(FXuint decipoints)
{
    FXuint vertical = decipoints * 11u / 90u;
    // A font too small to give a unit would make every window empty.
    if (vertical < 1) vertical = 1;
    if (vertical > 1000) vertical = 1000;
    g_unitY = (FXint)vertical;
    g_unitX = (FXint)(vertical * 12u / 11u);
}

void Ui_ComputeLayoutUnits(FXApp* app)
{
    FXFont* font = app ? app->getNormalFont() : NULL;
    if (!font) return;
    FXuint size = font->getActualSize();
    if (size == 0) size = font->getSize();
    Ui_SetLayoutUnitsFromSize(size);
}

// ---- Font file --------------------------------------------------------------------------------

FXString Ui_FontFilePath() { return FXSystem::getHomeDirectory() + "/" + ".vdxfont"; }

bool Ui_ReadFontFile(const FXString& path, FXString* description)
{
    description->clear();
    FILE* file = fopen(path.text(), "rb");
    if (!file) return false;
    bool ok = false;
    struct stat info;
    int32_t length = 0;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 4 &&
        fread(&length, 1, 4, file) == 4 && length >= 1 && length <= kMaxFontDescription &&
        (long long)length <= (long long)info.st_size - 4) {
        char text[kMaxFontDescription];
        if (fread(text, 1, (size_t)length, file) == (size_t)length &&
            !memchr(text, 0, (size_t)length) && IsValidUtf8((const uint8_t*)text, (size_t)length)) {
            description->assign(text, (FXint)length);
            ok = true;
        }
    }
    fclose(file);
    return ok;
}

bool Ui_ApplyFontFile(FXApp* app)
{
    FXString description;
    if (!Ui_ReadFontFile(Ui_FontFilePath(), &description)) return false;
    FXFont* font = new FXFont(app, description);
    font->create();
    FXFont* previous = app->getNormalFont();
    app->setNormalFont(font);
    if (previous) {
        previous->detach();
        previous->destroy();
    }
    return true;
}

// ---- Last directory ---------------------------------------------------------------------------

FXString& Ui_LastDirectory()
{
    static FXString directory;
    return directory;
}

// ---- Start-up ---------------------------------------------------------------------------------

int Ui_Main(int argc, char* argv[], UiWizardRunner runWizard)
{
    FXApp* app = new FXApp("Dedezivi", "DidArur");
    app->init(argc, argv);
    if (Ui_LoadMessageCatalogue(&Ui_Messages(), "vdxmsg.txt") != UI_CATALOGUE_OK) {
        delete app;
        return 1;
    }
    app->create();
    FXFont* stock = app->getNormalFont();
    bool ownFont = Ui_ApplyFontFile(app);
    FXFont* own = ownFont ? app->getNormalFont() : NULL;

    FXuint result = UI_RESULT_RESTART;
    for (;;) {
        Ui_ComputeLayoutUnits(app);
        if (result != UI_RESULT_RESTART) break;
        result = runWizard(app);
    }

    // The font made here is the program's; the stock font belongs to the application.
    if (own && app->getNormalFont() == own) {
        app->setNormalFont(stock);
        delete own;
    }
    app->destroy();
    delete app;
    return (int)result;
}

#if defined(__SANITIZE_ADDRESS__)
// The font library keeps caches for the life of the process that the leak checker cannot see
// being used; every program with a window reports them. They are not the program's.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libXft.so\n";
}
#endif
