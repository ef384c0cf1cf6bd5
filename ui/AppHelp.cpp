#include "AppHelp.h"

#include "ComDialogs.h"
#include "Desktop.h"
#include "Global.h"
#include "Strings.h"

#include <QDir>
#include <QShortcut>
#include <QWidget>
#include <QFileInfo>

namespace {

QString &helpFileName()
{
    static QString name;
    return name;
}

THelpHandler &handler()
{
    static THelpHandler h;
    return h;
}

QStringList &testFolders()
{
    static QStringList folders;
    return folders;
}

QString withSlash(const QString &folder)
{
    return folder.endsWith('/') ? folder : folder + '/';
}

}  // namespace

QString HelpManualName(bool russian)
{
    return Format(QStringLiteral("%s%s.html"), QStringLiteral("Sendorix"), PickStr(russian, "R", "E"));
}

QString HelpAnchor(int context)
{
    return context > 0 ? QStringLiteral("context-%1").arg(context) : QString();
}

QStringList HelpFolders()
{
    if (!testFolders().isEmpty())
        return testFolders();
    const QString program = ProgramFolder();
    QStringList folders{program + QStringLiteral("help/"), program};
    // An installation keeps the program in <prefix>/bin and the manual in <prefix>/share.
    folders << withSlash(QDir::cleanPath(program + QStringLiteral("../share/sendorix/help")));
#ifdef SENDORIX_HELP_INSTALL_DIR
    folders << withSlash(QDir::cleanPath(QStringLiteral(SENDORIX_HELP_INSTALL_DIR)));
#endif
    folders.removeDuplicates();
    return folders;
}

void SetHelpFoldersForTests(const QStringList &folders)
{
    testFolders().clear();
    for (const QString &f : folders)
        testFolders() << withSlash(f);
}

QString FindHelpFile(const QString &name)
{
    if (name.isEmpty())
        return {};
    if (name.contains('/'))
        return QFileInfo(name).isFile() ? QFileInfo(name).absoluteFilePath() : QString();
    for (const QString &folder : HelpFolders())
        if (QFileInfo(folder + name).isFile())
            return QFileInfo(folder + name).absoluteFilePath();
    return {};
}

QUrl HelpUrl(const QString &path, int context)
{
    QUrl url = QUrl::fromLocalFile(path);
    const QString anchor = HelpAnchor(context);
    if (!anchor.isEmpty())
        url.setFragment(anchor);
    return url;
}

QString MissingHelpText(const QString &name)
{
    const QStringList where = name.contains('/') ? QStringList{QFileInfo(name).absolutePath() + '/'}
                                                 : HelpFolders();
    const QString file = name.contains('/') ? QFileInfo(name).fileName() : name;
    return TextIn(HookSaysRussian(), TextId::HelpFileNotFound, file, where.join('\n'));
}

void SetApplicationHelpFile(const QString &fileName)
{
    helpFileName() = fileName;
}

QString ApplicationHelpFile()
{
    return helpFileName();
}

bool ShowHelpContext(int context, const QString &helpFile)
{
    const QString file = helpFile.isEmpty() ? helpFileName() : helpFile;
    if (handler())
        return handler()(file, context);
    const QString path = FindHelpFile(file);
    if (path.isEmpty()) {
        // Without a name there is nothing to name; the language switch always sets one.
        if (!file.isEmpty())
            ComMessageDlg(MissingHelpText(file), mtError, {mbOK}, 0);
        return false;
    }
    DocumentOpener(HelpUrl(path, context).toString(QUrl::FullyEncoded));
    return true;
}

THelpHandler SetHelpHandler(THelpHandler newHandler)
{
    THelpHandler old = std::move(handler());
    handler() = std::move(newHandler);
    return old;
}

void InstallHelpKey(QWidget *dialog, int context)
{
    auto *key = new QShortcut(QKeySequence(Qt::Key_F1), dialog);
    key->setObjectName(QStringLiteral("helpKey"));
    QObject::connect(key, &QShortcut::activated, dialog, [context] { ShowHelpContext(context); });
}
