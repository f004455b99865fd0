// Start-up of the program, the message catalogue, the layout units and the process-wide
// last-directory text.
//
// Every caption, label and message of the program is taken by number from the catalogue file
// "vdxmsg.txt" beside the executable: one message per line, the message number being the line
// number from 0, with "\n" and "\t" as the only escapes. Every window position and size is
// given in layout units, which follow the size of the application's normal font.
#pragma once

#include <fx.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// ---- Message catalogue ------------------------------------------------------------
// The texts by message number. The process has one (Ui_Messages), filled once at start-up and
// only read afterwards; tests may build their own.
struct MessageTable {
    std::vector<FXString> texts;
};

// Result codes of the catalogue loader.
enum : int {
    UI_CATALOGUE_OK = 0,
    UI_CATALOGUE_ERR_OPEN = -1,         // the file cannot be opened
    UI_CATALOGUE_ERR_SIZE = -2,         // its size cannot be determined
    UI_CATALOGUE_ERR_MEMORY = -3,       // no memory for its contents (or it is absurdly large)
    UI_CATALOGUE_ERR_READ = -4,         // it cannot be read completely
    UI_CATALOGUE_ERR_UTF8 = -5,         // the contents are not valid UTF-8
    UI_CATALOGUE_ERR_BUILD = -6,        // memory ran out while the table was built
    UI_CATALOGUE_ERR_PATH_MEMORY = -7,  // no memory for the path buffer
    UI_CATALOGUE_ERR_EXE_PATH = -8      // the executable's path cannot be read or is too long
};

// The process-wide table that Ui_MessageText reads.
MessageTable& Ui_Messages();

// Loads the catalogue `fileName` from the executable's directory into `table` (appending to it).
int Ui_LoadMessageCatalogue(MessageTable* table, const char* fileName);
// The same for a file given by its full path.
int Ui_LoadMessageCatalogueFile(MessageTable* table, const char* path);
// Parses catalogue contents held in memory: the text ends at the first NUL byte, must be valid
// UTF-8, is split at CR, LF and CR LF, and each line has its "\n" and "\t" escapes replaced;
// one empty message is appended after the last line. 0, -5 or -6.
int Ui_ParseMessageCatalogue(MessageTable* table, const uint8_t* data, size_t size);

// The text of a message of the process table. A number outside the table gives one empty text.
const FXString& Ui_MessageText(int number);

// ---- Layout units ---------------------------------------------------------------------
// Pixels per layout step: x and widths use the horizontal unit, y and heights the vertical one.
FXint Ui_ScaleX(FXint value);
FXint Ui_ScaleY(FXint value);
FXint Ui_LayoutUnitX();
FXint Ui_LayoutUnitY();
// vertical = decipoints * 11 / 90, horizontal = vertical * 12 / 11 (integer divisions).
void Ui_SetLayoutUnitsFromSize(FXuint decipoints);
// The same from the application's current normal font.
void Ui_ComputeLayoutUnits(FXApp* app);

// ---- Font file --------------------------------------------------------------------------
// The font choice lies in ".vdxfont" in the user's home directory: a native 32-bit length
// followed by that many bytes of font description, as FXFileStream stores one FXString.
FXString Ui_FontFilePath();
// Reads a font description from such a file. False, leaving *description empty, when the file
// is missing, too short, or its length field is out of range (0, beyond the file, or larger
// than any font description could be), or the text holds a NUL byte or is not UTF-8.
bool Ui_ReadFontFile(const FXString& path, FXString* description);
// Makes the font of the font file the application's normal font, when the file holds a usable
// description; otherwise the normal font stays as it is. The display resources must exist.
bool Ui_ApplyFontFile(FXApp* app);

// ---- Last directory ---------------------------------------------------------------------
// The directory where the last file dialog was left; empty at start. GUI thread only.
FXString& Ui_LastDirectory();

// ---- Start-up -----------------------------------------------------------------------------
// Runs one wizard window modally and answers its modal result; 1365 asks for a new wizard
// (the font changed).
typedef FXuint (*UiWizardRunner)(FXApp* app);
enum : FXuint { UI_RESULT_RESTART = 1365 };

// The whole start-up: application "Dedezivi" of "DidArur", the catalogue "vdxmsg.txt" (exit
// status 1 without any window when it cannot be loaded), display resources, the font file,
// then the wizard loop with the layout units recomputed before each wizard. Answers the exit
// status: the last wizard result.
int Ui_Main(int argc, char* argv[], UiWizardRunner runWizard);
