// The program's entry point.
#include "gui/frame/app.h"
#include "gui/frame/dialogs.h"
#include "gui/frame/widgets.h"

namespace {

// Stands in for the wizard window until it exists: the window with its title and Cancel.
FXuint RunWizard(FXApp* app) {
    FXDialogBox window(app, Ui_MessageText(8),
                       DECOR_TITLE | DECOR_MINIMIZE | DECOR_CLOSE | DECOR_BORDER | DECOR_RESIZE |
                           LAYOUT_FIX_WIDTH | LAYOUT_FIX_HEIGHT,
                       0, 0, Ui_ScaleX(42), Ui_ScaleY(28), 0, 0, 0, 0, 0, 0);
    FXPacker* frame = new FXPacker(&window, LAYOUT_EXPLICIT, 0, 0, Ui_ScaleX(42), Ui_ScaleY(28),
                                   0, 0, 0, 0, 0, 0);
    Ui_CreateLabel(frame, 25, 2, 1, 33, 2);
    Ui_CreateTopLabel(frame, 26, 4, 3, 33, 3);
    Ui_CreateButton(frame, 11, &window, FXDialogBox::ID_CANCEL, 33, 25, 7, 2);
    return window.execute(PLACEMENT_SCREEN);
}

}  // namespace

int main(int argc, char* argv[]) {
    return Ui_Main(argc, argv, RunWizard);
}
