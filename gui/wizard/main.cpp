// The program's entry point.
#include "gui/frame/app.h"
#include "gui/wizard/wizard.h"

int main(int argc, char* argv[]) { return Ui_Main(argc, argv, Ui_RunWizard); }
