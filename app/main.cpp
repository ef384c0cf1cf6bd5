// The program's entry: the language hook, the main window, the event loop.
#include "Application.h"
#include "Global.h"
#include "Language.h"
#include "MainForm.h"

int main(int argc, char **argv)
{
    // Exceptions escaping a command end up in the application's error box, not in a crash.
    TApplication app(argc, argv);
    // The common routines and message boxes ask the language through this hook.
    LanguageHook = IsRussian;
    TMainForm form;
    form.show();
    return app.exec();
}
