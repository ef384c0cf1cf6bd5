// The program's entry: the command line, one window per user, the language hook, the main
// window, the event loop.
#include "Application.h"
#include "Desktop.h"
#include "Global.h"
#include "Language.h"
#include "MainForm.h"
#include "SingleInstance.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    // Asking for help or the version needs no display.
    if (WantsHelpOrVersion(argc, argv)) {
        QStringList args;
        for (int i = 1; i < argc; ++i)
            args << QString::fromLocal8Bit(argv[i]);
        const TCommandLine cl = ParseCommandLine(args, QString());
        std::fputs(qPrintable(cl.Action == TCommandLine::caVersion ? VersionLine() : CommandLineHelp()), stdout);
        return 0;
    }

    // Exceptions escaping a command end up in the application's error box, not in a crash.
    TApplication app(argc, argv);
    // The desktop entry's name (without .desktop), which a Wayland desktop matches windows with.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.sendorix.Sendorix"));
    QApplication::setWindowIcon(ProgramIcon());

    // Qt has taken its own options out by now.
    const TCommandLine cl = ParseCommandLine(QCoreApplication::arguments().mid(1), QDir::currentPath());
    if (cl.Action == TCommandLine::caError) {
        std::fprintf(stderr, "sendorix: %s\nTry 'sendorix --help' for more information.\n", qPrintable(cl.Error));
        return 2;
    }
    QStringList files;
    for (const QString &f : cl.Files) {
        if (QFileInfo::exists(f))
            files << f;
        else
            std::fprintf(stderr, "sendorix: %s: No such file or directory\n", qPrintable(f));
    }

    // A running window takes the files and comes forward; this start ends here.
    TSingleInstance instance;
    if (instance.HandOverOrListen(files))
        return 0;
    if (!instance.Problem().isEmpty())
        std::fprintf(stderr, "sendorix: opening a window of its own: %s\n", qPrintable(instance.Problem()));

    // The common routines and message boxes ask the language through this hook.
    LanguageHook = IsRussian;
    TMainForm form;
    form.AcceptFilesFromOutside(files, false);
    instance.SetReceiver([&form](const QStringList &handed) { form.AcceptFilesFromOutside(handed, true); });
    form.show();
    return app.exec();
}
