// The message catalogue parser (a pure function over a buffer) and the font file reader; no
// window and no display are involved.
#include "fuzz/fuzz_support.h"
#include "gui/frame/app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    MessageTable table;
    const int r = Ui_ParseMessageCatalogue(&table, data, size);
    FUZZ_CHECK(r == UI_CATALOGUE_OK || r == UI_CATALOGUE_ERR_UTF8 || r == UI_CATALOGUE_ERR_BUILD);
    if (r == UI_CATALOGUE_OK) {
        FUZZ_CHECK(!table.texts.empty());
        for (const FXString& t : table.texts) FUZZ_CHECK(t.length() <= static_cast<FXint>(size));
    }
    std::string path = fuzz::WriteInput("font", data, size);
    FXString description;
    if (Ui_ReadFontFile(FXString(path.c_str()), &description))
        FUZZ_CHECK(description.length() >= 1 &&
                   description.length() + 4 <= static_cast<FXint>(size));
    else
        FUZZ_CHECK(description.empty());
    fuzz::ClearDir();
    return 0;
}
