// The program's entry: the language hook, the main window, the event loop.
#include "Global.h"
#include "Language.h"
#include "MainForm.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The common routines and message boxes ask the language through this hook.
    LanguageHook = IsRussian;
    TMainForm form;
    form.show();
    return app.exec();
}
