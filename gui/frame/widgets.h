// Widget makers, number fields, text conversions between FXString and the engine's text
// views, and the progress throttle.
//
// Every maker places its widget at a fixed position given in layout units (app.h): x and width
// are scaled with Ui_ScaleX, y and height with Ui_ScaleY (the separator alone takes pixels).
// Captions given by number come from the message catalogue; -1 means an empty caption where a
// maker says so.
#pragma once

#include <fx.h>

#include <cstdint>

#include "foundation/text.h"

// ---- Widget makers ----------------------------------------------------------------------
// Labels. `justify` holds the caller's JUSTIFY_* bits.
FXLabel* Ui_CreateLabelText(FXComposite* parent, const FXString& text, FXuint justify, FXint x,
                            FXint y, FXint w, FXint h);
FXLabel* Ui_CreateLeftLabelText(FXComposite* parent, const FXString& text, FXint x, FXint y,
                                FXint w, FXint h);
FXLabel* Ui_CreateLabel(FXComposite* parent, int message, FXint x, FXint y, FXint w, FXint h);
// Left and top justified, for texts of several lines.
FXLabel* Ui_CreateTopLabel(FXComposite* parent, int message, FXint x, FXint y, FXint w, FXint h);

// Text fields (sunken, thick frame, 0 columns).
FXTextField* Ui_CreateTextField(FXComposite* parent, FXint x, FXint y, FXint w, FXint h);
FXTextField* Ui_CreateNumberField(FXComposite* parent, FXint x, FXint y, FXint w, FXint h);
FXTextField* Ui_CreatePasswordField(FXComposite* parent, FXint x, FXint y, FXint w, FXint h);

// Buttons; the default buttons are also the initial default of their window.
FXButton* Ui_CreateButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                              FXSelector selector, FXint x, FXint y, FXint w, FXint h);
FXButton* Ui_CreateButton(FXComposite* parent, int message, FXObject* target, FXSelector selector,
                          FXint x, FXint y, FXint w, FXint h);
FXButton* Ui_CreateDefaultButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                                     FXSelector selector, FXint x, FXint y, FXint w, FXint h);
FXButton* Ui_CreateDefaultButton(FXComposite* parent, int message, FXObject* target,
                                 FXSelector selector, FXint x, FXint y, FXint w, FXint h);

// Radio and check buttons, each inside a packer of exactly the given place and vertically
// centred in it. The radio maker takes -1 as an empty caption.
FXRadioButton* Ui_CreateRadioButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                                        FXSelector selector, FXint x, FXint y, FXint w, FXint h);
FXRadioButton* Ui_CreateRadioButton(FXComposite* parent, int message, FXObject* target,
                                    FXSelector selector, FXint x, FXint y, FXint w, FXint h);
FXCheckButton* Ui_CreateCheckButtonText(FXComposite* parent, const FXString& text, FXObject* target,
                                        FXSelector selector, FXint x, FXint y, FXint w, FXint h);
FXCheckButton* Ui_CreateCheckButton(FXComposite* parent, int message, FXObject* target,
                                    FXSelector selector, FXint x, FXint y, FXint w, FXint h);

FXListBox* Ui_CreateListBox(FXComposite* parent, FXObject* target, FXSelector selector, FXint x,
                            FXint y, FXint w, FXint h);
FXProgressBar* Ui_CreateProgressBar(FXComposite* parent, FXObject* target, FXSelector selector,
                                    FXint x, FXint y, FXint w, FXint h);
// A groove line 2 pixels high; x, y and width in pixels.
FXHorizontalSeparator* Ui_CreateSeparator(FXComposite* parent, FXint x, FXint y, FXint w);

// A key press that a window received while a list's popup is open: Escape closes that popup
// only (true, the key is used up); any other key or no open popup gives false.
bool Ui_EscapeClosesOpenPopup(FXApp* app, void* keyEvent);

// ---- Number fields --------------------------------------------------------------------------
// Reads an unsigned decimal from the field (blanks around it are ignored). The text must start
// with a digit (a sign is refused) and its value must fit the width; reading stops at the
// first non-digit, so "12x" reads as 12. The parsed value is stored in *value also when the
// range test fails (0 when nothing could be parsed). Fails for an empty text, all ones
// (0xFFFFFFFF or 0xFFFFFFFFFFFFFFFF), or a value outside min..max; on failure the field gets
// the focus with its whole text selected.
bool Ui_GetFieldUInt32(FXTextField* field, uint32_t* value, uint32_t min, uint32_t max);
bool Ui_GetFieldUInt64(FXTextField* field, uint64_t* value, uint64_t min, uint64_t max);
// The same reading on a text, without a field: true when the text is acceptable.
bool Ui_ParseFieldUInt32(const FXString& text, uint32_t* value, uint32_t min, uint32_t max);
bool Ui_ParseFieldUInt64(const FXString& text, uint64_t* value, uint64_t min, uint64_t max);
// Writes the number in decimal into the field without notifying its target.
void Ui_SetFieldUInt32(FXTextField* field, uint32_t value);
void Ui_SetFieldUInt64(FXTextField* field, uint64_t value);

// Sets a label's text; always true.
bool Ui_SetLabelText(FXLabel* label, const char* text);

// ---- Text conversions ---------------------------------------------------------------------
// A terminated text in an encoding into an FXString (UTF-8); empty when the conversion fails.
void Ui_CStringToFXString(FXString* out, const void* text, TextEncoding encoding);
// An FXString as a view in an encoding. UTF-8: the view points at the FXString's bytes and the
// slot is untouched. Otherwise the text is converted into a new block (Mem_Alloc) that
// replaces and frees the one in *block. False, with view and slot untouched, on failure.
bool Ui_FXStringToText(const FXString& text, TextView* view, void** block, TextEncoding encoding);
// A view in an encoding into an FXString; empty for an empty view or a failed conversion.
void Ui_TextToFXString(FXString* out, TextView view, TextEncoding encoding);

// Hands FXString contents to the engine. The holder keeps its own copy of the FXString, so the
// view stays valid as long as the holder, whatever happens to the text it was made from.
struct FXStringText {
    TextView view;
    void* block;    // NULL, or an owned converted block (Mem_Alloc)
    FXString copy;  // the text the view points into for UTF-8 without conversion
    FXStringText() : view{nullptr, 0}, block(nullptr) {}
    ~FXStringText();
    FXStringText(const FXStringText&) = delete;
    FXStringText& operator=(const FXStringText&) = delete;
};
// UTF-8: the view points at the holder's copy of the text (no conversion); other encodings: as
// Ui_FXStringToText with the holder's block. A failed conversion leaves a NULL view of length 0.
bool Ui_SetFXStringText(FXStringText* holder, const FXString& text, TextEncoding encoding);
// Frees the holder's block and then Ui_SetFXStringText.
void Ui_InitFXStringTextAs(FXStringText* holder, const FXString& text, TextEncoding encoding);
void Ui_InitFXStringTextUtf8(FXStringText* holder, const FXString& text);
// Always converts into a new terminated block (also for UTF-8), replacing and freeing the old
// one. On failure the view becomes the encoding's empty text and the old block stays.
bool Ui_ConvertFXStringText(FXStringText* holder, const FXString& text, TextEncoding encoding);
// Frees the holder's block, then Ui_ConvertFXStringText.
void Ui_InitFXStringText(FXStringText* holder, const FXString& text, TextEncoding encoding);
// Frees the block and empties the view.
void Ui_ReleaseFXStringText(FXStringText* holder);

// ---- Progress throttle ---------------------------------------------------------------------
// Ticks of 100 ns since 1601-01-01 UTC, from gettimeofday.
uint64_t Ui_ProgressClockNow();
// Whether a progress report should be posted: at 0 done, at done == total, and otherwise when
// at least 1 ms has passed since the last post. *clock is the time of the last post, kept by
// the caller (0 at start); it changes only when the answer is true.
bool Ui_ShouldPostProgress(uint64_t done, uint64_t total, uint64_t* clock);
// The same rule at a given time.
bool Ui_ShouldPostProgressAt(uint64_t done, uint64_t total, uint64_t* clock, uint64_t now);
