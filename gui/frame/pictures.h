// Pictures drawn for the program and embedded as GIF data.
#pragma once

#include <cstddef>

// 32 x 32: the trim settings dialog.
extern const unsigned char Ui_TrimPictureGif[];
extern const size_t Ui_TrimPictureGifSize;
// The wizard's pictures: 16 x 16 mini icon, 32 x 32 window and header icon, 32 x 16 picture
// for the source page's font button.
extern const unsigned char Ui_WizardMiniIconGif[];
extern const size_t Ui_WizardMiniIconGifSize;
extern const unsigned char Ui_WizardIconGif[];
extern const size_t Ui_WizardIconGifSize;
extern const unsigned char Ui_FontButtonPictureGif[];
extern const size_t Ui_FontButtonPictureGifSize;
