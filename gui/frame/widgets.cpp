// Widget makers, number fields, FXString conversions and the progress throttle.
#include "gui/frame/widgets.h"

#include <fxkeys.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/time.h>

#include "foundation/encoding.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"

namespace {

const FXuint kLabelOptions = LAYOUT_EXPLICIT | ICON_BEFORE_TEXT;
const FXuint kFieldOptions = LAYOUT_EXPLICIT | FRAME_SUNKEN | FRAME_THICK;
const FXuint kButtonOptions = LAYOUT_EXPLICIT | FRAME_RAISED | FRAME_THICK | ICON_AFTER_TEXT;
const FXuint kInnerButtonOptions = ICON_BEFORE_TEXT | LAYOUT_CENTER_Y;

static_assert(kLabelOptions == 1049404u, "label options");
static_assert(kFieldOptions == 21308u, "text field options");
static_assert((kFieldOptions | TEXTFIELD_INTEGER) == 1069884u, "number field options");
static_assert((kFieldOptions | TEXTFIELD_PASSWD) == 545596u, "password field options");
static_assert(kButtonOptions == 549692u, "button options");
static_assert((kButtonOptions | BUTTON_DEFAULT | BUTTON_INITIAL) == 201876284u,
              "default button options");
static_assert(kInnerButtonOptions == 1048608u, "radio and check options");
static_assert((LAYOUT_EXPLICIT | SEPARATOR_GROOVE) == 33596u, "separator options");

FXString Caption(int message) { return message < 0 ? FXString() : Ui_MessageText(message); }

// A packer of exactly the given place, holding one radio or check button.
FXPacker* ButtonFrame(FXComposite* parent, FXint x, FXint y, FXint w, FXint h)
{
    return new FXPacker(parent, LAYOUT_EXPLICIT, Ui_ScaleX(x), Ui_ScaleY(y), Ui_ScaleX(w),
                        Ui_ScaleY(h), 0, 0, 0, 0, 0, 0);
}

// Reads the unsigned decimal at the start of `text`; saturates at `limit + 1` (or at the
// largest 64-bit value) on overflow. False when the text does not start with a digit.
bool ParseDigits(const FXString& text, uint64_t* value, bool* overflow)
{
    *value = 0;
    *overflow = false;
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    uint64_t v = 0;
    for (FXint i = 0; i < text.length() && text[i] >= '0' && text[i] <= '9'; ++i) {
        uint64_t digit = (uint64_t)(text[i] - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            *overflow = true;
            v = UINT64_MAX;
            break;
        }
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

void FocusAndSelect(FXTextField* field)
{
    field->setFocus();
    field->selectAll();
}

}  // namespace

// ---- Widget makers ----------------------------------------------------------------------------

FXLabel* Ui_CreateLabelText(FXComposite* parent, const FXString& text, FXuint justify, FXint x,
                            FXint y, FXint w, FXint h)
{
    return new FXLabel(parent, text, NULL, kLabelOptions | justify, Ui_ScaleX(x), Ui_ScaleY(y),
                       Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXLabel* Ui_CreateLeftLabelText(FXComposite* parent, const FXString& text, FXint x, FXint y,
                                FXint w, FXint h)
{
    return Ui_CreateLabelText(parent, text, JUSTIFY_LEFT, x, y, w, h);
}

FXLabel* Ui_CreateLabel(FXComposite* parent, int message, FXint x, FXint y, FXint w, FXint h)
{
    return Ui_CreateLabelText(parent, Caption(message), JUSTIFY_LEFT, x, y, w, h);
}

FXLabel* Ui_CreateTopLabel(FXComposite* parent, int message, FXint x, FXint y, FXint w, FXint h)
{
    return Ui_CreateLabelText(parent, Caption(message), JUSTIFY_LEFT | JUSTIFY_TOP, x, y, w, h);
}

FXTextField* Ui_CreateTextField(FXComposite* parent, FXint x, FXint y, FXint w, FXint h)
{
    return new FXTextField(parent, 0, NULL, 0, kFieldOptions, Ui_ScaleX(x), Ui_ScaleY(y),
                           Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXTextField* Ui_CreateNumberField(FXComposite* parent, FXint x, FXint y, FXint w, FXint h)
{
    return new FXTextField(parent, 0, NULL, 0, kFieldOptions | TEXTFIELD_INTEGER, Ui_ScaleX(x),
                           Ui_ScaleY(y), Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXTextField* Ui_CreatePasswordField(FXComposite* parent, FXint x, FXint y, FXint w, FXint h)
{
    return new FXTextField(parent, 0, NULL, 0, kFieldOptions | TEXTFIELD_PASSWD, Ui_ScaleX(x),
                           Ui_ScaleY(y), Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXButton* Ui_CreateButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                              FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    return new FXButton(parent, text, NULL, target, selector, kButtonOptions, Ui_ScaleX(x),
                        Ui_ScaleY(y), Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXButton* Ui_CreateButton(FXComposite* parent, int message, FXObject* target, FXSelector selector,
                          FXint x, FXint y, FXint w, FXint h)
{
    return Ui_CreateButtonText(parent, Ui_MessageText(message), target, selector, x, y, w, h);
}

FXButton* Ui_CreateDefaultButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                                     FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    return new FXButton(parent, text, NULL, target, selector,
                        kButtonOptions | BUTTON_DEFAULT | BUTTON_INITIAL, Ui_ScaleX(x),
                        Ui_ScaleY(y), Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXButton* Ui_CreateDefaultButton(FXComposite* parent, int message, FXObject* target,
                                 FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    return Ui_CreateDefaultButtonText(parent, Ui_MessageText(message), target, selector, x, y, w,
                                      h);
}

FXRadioButton* Ui_CreateRadioButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                                        FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    FXPacker* frame = ButtonFrame(parent, x, y, w, h);
    return new FXRadioButton(frame, text, target, selector, kInnerButtonOptions, 0, 0, 0, 0, 2, 2,
                             2, 2);
}

FXRadioButton* Ui_CreateRadioButton(FXComposite* parent, int message, FXObject* target,
                                    FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    return Ui_CreateRadioButtonText(parent, Caption(message), target, selector, x, y, w, h);
}

FXCheckButton* Ui_CreateCheckButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                                        FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    FXPacker* frame = ButtonFrame(parent, x, y, w, h);
    return new FXCheckButton(frame, text, target, selector, kInnerButtonOptions, 0, 0, 0, 0, 2, 2,
                             2, 2);
}

FXCheckButton* Ui_CreateCheckButton(FXComposite* parent, int message, FXObject* target,
                                    FXSelector selector, FXint x, FXint y, FXint w, FXint h)
{
    return Ui_CreateCheckButtonText(parent, Ui_MessageText(message), target, selector, x, y, w, h);
}

FXListBox* Ui_CreateListBox(FXComposite* parent, FXObject* target, FXSelector selector, FXint x,
                            FXint y, FXint w, FXint h)
{
    return new FXListBox(parent, target, selector, kFieldOptions, Ui_ScaleX(x), Ui_ScaleY(y),
                         Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXProgressBar* Ui_CreateProgressBar(FXComposite* parent, FXObject* target, FXSelector selector,
                                    FXint x, FXint y, FXint w, FXint h)
{
    return new FXProgressBar(parent, target, selector, kFieldOptions, Ui_ScaleX(x), Ui_ScaleY(y),
                             Ui_ScaleX(w), Ui_ScaleY(h), 2, 2, 2, 2);
}

FXHorizontalSeparator* Ui_CreateSeparator(FXComposite* parent, FXint x, FXint y, FXint w)
{
    return new FXHorizontalSeparator(parent, LAYOUT_EXPLICIT | SEPARATOR_GROOVE, x, y, w, 2, 1, 1,
                                     0, 0);
}

bool Ui_EscapeClosesOpenPopup(FXApp* app, void* keyEvent)
{
    const FXEvent* event = static_cast<const FXEvent*>(keyEvent);
    if (!app || !event || (event->code != KEY_Escape && event->code != KEY_Cancel)) return false;
    FXPopup* popup = app->getPopupWindow();
    if (!popup || !popup->shown()) return false;
    // The popup's own unpost also releases the button that posted it.
    popup->handle(popup, FXSEL(SEL_COMMAND, FXWindow::ID_UNPOST), NULL);
    return true;
}

// ---- Number fields ----------------------------------------------------------------------------

bool Ui_ParseFieldUInt64(const FXString& text, uint64_t* value, uint64_t min, uint64_t max)
{
    FXString trimmed = text;
    trimmed.trim();
    if (trimmed.empty()) return false;
    uint64_t v = 0;
    bool overflow = false;
    bool digits = ParseDigits(trimmed, &v, &overflow);
    *value = v;
    if (!digits || overflow) return false;
    return v != UINT64_MAX && v >= min && v <= max;
}

bool Ui_ParseFieldUInt32(const FXString& text, uint32_t* value, uint32_t min, uint32_t max)
{
    FXString trimmed = text;
    trimmed.trim();
    if (trimmed.empty()) return false;
    uint64_t v = 0;
    bool overflow = false;
    bool digits = ParseDigits(trimmed, &v, &overflow);
    if (overflow || v > 0xFFFFFFFFu) {
        // Too large for the field: never wrapped into a small value.
        *value = 0xFFFFFFFFu;
        return false;
    }
    *value = (uint32_t)v;
    if (!digits) return false;
    return v != 0xFFFFFFFFu && v >= min && v <= max;
}

bool Ui_GetFieldUInt32(FXTextField* field, uint32_t* value, uint32_t min, uint32_t max)
{
    if (Ui_ParseFieldUInt32(field->getText(), value, min, max)) return true;
    FocusAndSelect(field);
    return false;
}

bool Ui_GetFieldUInt64(FXTextField* field, uint64_t* value, uint64_t min, uint64_t max)
{
    if (Ui_ParseFieldUInt64(field->getText(), value, min, max)) return true;
    FocusAndSelect(field);
    return false;
}

void Ui_SetFieldUInt32(FXTextField* field, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%" PRIu32, value);
    field->setText(text, FALSE);
}

void Ui_SetFieldUInt64(FXTextField* field, uint64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64, value);
    field->setText(text, FALSE);
}

bool Ui_SetLabelText(FXLabel* label, const char* text)
{
    label->setText(text);
    return true;
}

// ---- Text conversions ---------------------------------------------------------------------------

void Ui_CStringToFXString(FXString* out, const void* text, TextEncoding encoding)
{
    TextView view;
    Text_FromCString(&view, text, encoding);
    if (encoding == TEXT_ENC_UTF8) {
        out->assign((const FXchar*)view.data, (FXint)view.length);
        return;
    }
    Ui_TextToFXString(out, view, encoding);
}

bool Ui_FXStringToText(const FXString& text, TextView* view, void** block, TextEncoding encoding)
{
    TextView source = {(const uint8_t*)text.text(), (uint32_t)text.length()};
    if (encoding == TEXT_ENC_UTF8) {
        *view = source;
        return true;
    }
    TextView converted;
    if (!Enc_ConvertAlloc(&converted, encoding, source, TEXT_ENC_UTF8)) return false;
    if (*block) Mem_Free(*block);
    *block = (void*)converted.data;
    *view = converted;
    return true;
}

void Ui_TextToFXString(FXString* out, TextView view, TextEncoding encoding)
{
    out->clear();
    if (view.length == 0 || !view.data) return;
    if (encoding == TEXT_ENC_UTF8) {
        // Only valid text becomes an FXString, as for every other encoding.
        TextView copy;
        if (!Enc_ConvertAlloc(&copy, TEXT_ENC_UTF8, view, TEXT_ENC_UTF8)) return;
        out->assign((const FXchar*)copy.data, (FXint)copy.length);
        Mem_Free((void*)copy.data);
        return;
    }
    TextView converted;
    if (!Enc_ConvertAlloc(&converted, TEXT_ENC_UTF8, view, encoding)) return;
    out->assign((const FXchar*)converted.data, (FXint)converted.length);
    Mem_Free((void*)converted.data);
}

FXStringText::~FXStringText()
{
    if (block) Mem_Free(block);
}

bool Ui_SetFXStringText(FXStringText* holder, const FXString& text, TextEncoding encoding)
{
    if (encoding == TEXT_ENC_UTF8) {
        holder->copy = text;
        holder->view.data = (const uint8_t*)holder->copy.text();
        holder->view.length = (uint32_t)holder->copy.length();
        return true;
    }
    if (!Ui_FXStringToText(text, &holder->view, &holder->block, encoding)) {
        holder->view.data = NULL;
        holder->view.length = 0;
        return false;
    }
    return true;
}

void Ui_InitFXStringTextAs(FXStringText* holder, const FXString& text, TextEncoding encoding)
{
    Ui_ReleaseFXStringText(holder);
    Ui_SetFXStringText(holder, text, encoding);
}

void Ui_InitFXStringTextUtf8(FXStringText* holder, const FXString& text)
{
    Ui_InitFXStringTextAs(holder, text, TEXT_ENC_UTF8);
}

bool Ui_ConvertFXStringText(FXStringText* holder, const FXString& text, TextEncoding encoding)
{
    TextView source = {(const uint8_t*)text.text(), (uint32_t)text.length()};
    TextView converted;
    if (!Enc_ConvertAlloc(&converted, encoding, source, TEXT_ENC_UTF8)) {
        holder->view = Text_TerminatorView(encoding);
        holder->view.length = 0;
        return false;
    }
    if (holder->block) Mem_Free(holder->block);
    holder->block = (void*)converted.data;
    holder->view = converted;
    return true;
}

void Ui_InitFXStringText(FXStringText* holder, const FXString& text, TextEncoding encoding)
{
    Ui_ReleaseFXStringText(holder);
    Ui_ConvertFXStringText(holder, text, encoding);
}

void Ui_ReleaseFXStringText(FXStringText* holder)
{
    if (holder->block) Mem_Free(holder->block);
    holder->block = NULL;
    holder->view.data = NULL;
    holder->view.length = 0;
    holder->copy.clear();
}

// ---- Progress throttle ----------------------------------------------------------------------------

uint64_t Ui_ProgressClockNow()
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (uint64_t)tv.tv_sec * 10000000u + (uint64_t)tv.tv_usec * 10u + 116444736000000000ull;
}

bool Ui_ShouldPostProgressAt(uint64_t done, uint64_t total, uint64_t* clock, uint64_t now)
{
    // Measured from the last post: a producer that calls more often than once a millisecond
    // still posts once a millisecond, so the bar moves and a cancel is seen.
    bool post = done == 0 || done == total || now - *clock >= 10000u;
    if (post) *clock = now;
    return post;
}

bool Ui_ShouldPostProgress(uint64_t done, uint64_t total, uint64_t* clock)
{
    return Ui_ShouldPostProgressAt(done, total, clock, Ui_ProgressClockNow());
}
