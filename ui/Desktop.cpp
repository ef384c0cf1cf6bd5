#include "Desktop.h"

#include "Global.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QLibraryInfo>
#include <QTranslator>
#include <QUrl>

#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

QString WithSlash(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

// The settings folder holds the recipient history, the server and the user name: made
// owner-only when the program makes it; one the user made keeps its mode.
void MakePrivateFolder(const QString &folder)
{
    const QString path = QDir::cleanPath(folder);
    if (QFileInfo::exists(path))
        return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QDir().mkdir(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TFolderWritableCheck &writableCheck()
{
    static TFolderWritableCheck check = SystemFolderWritable;
    return check;
}

} // namespace

QString InstalledProgramFolder()
{
#ifdef SENDORIX_INSTALL_FULL_BINDIR
    return WithSlash(QDir::cleanPath(QStringLiteral(SENDORIX_INSTALL_FULL_BINDIR)));
#else
    return {};
#endif
}

bool SystemFolderWritable(const QString &folder)
{
    // The folder this build installs into (/usr/bin for the package) belongs to the system and
    // its package manager: root could write there, but files left there outlive the package.
    const QString installed = InstalledProgramFolder();
    if (!installed.isEmpty() && QDir(folder) == QDir(installed))
        return false;
    // access() also answers "no" for a read-only file system.
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

// ---- Where files live -----------------------------------------------------------------------

QString ChooseSettingsFolder(const QString &programFolder, const QString &configHome,
                             const TFolderWritableCheck &writable)
{
    const QString program = WithSlash(programFolder);
    if (QFileInfo::exists(program + QStringLiteral("Sendorix.cfg")))
        return program;
    const bool buildFolder = QFileInfo::exists(program + QStringLiteral("../CMakeCache.txt"));
    if (buildFolder && writable(program))
        return program;
    return WithSlash(configHome) + QStringLiteral("sendorix/");
}

QString ConfigHome()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative values are invalid by the base directory rules and are ignored.
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return WithSlash(QDir::cleanPath(xdg));
    return WithSlash(QDir::homePath()) + QStringLiteral(".config/");
}

QString SettingsFolder()
{
    const QString folder = ChooseSettingsFolder(ProgramFolder(), ConfigHome(), writableCheck());
    if (folder != ProgramFolder())
        MakePrivateFolder(folder);
    return folder;
}

QString DocumentsStartFolder()
{
    const QString settings = SettingsFolder();
    return settings == ProgramFolder() ? settings : WithSlash(QDir::homePath());
}

void SetFolderWritableCheck(TFolderWritableCheck check)
{
    writableCheck() = check ? std::move(check) : TFolderWritableCheck(SystemFolderWritable);
}

// ---- Command line ---------------------------------------------------------------------------

TCommandLine ParseCommandLine(const QStringList &args, const QString &workingFolder)
{
    TCommandLine result;
    bool options = true;
    for (const QString &arg : args) {
        if (options && arg == QLatin1String("--")) {
            options = false;
        } else if (options && (arg == QLatin1String("--help") || arg == QLatin1String("-h"))) {
            return TCommandLine{TCommandLine::caHelp, {}, {}};
        } else if (options && arg == QLatin1String("--version")) {
            return TCommandLine{TCommandLine::caVersion, {}, {}};
        } else if (options && arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return TCommandLine{TCommandLine::caError, {}, QStringLiteral("unknown option '%1'").arg(arg)};
        } else if (!arg.isEmpty()) {
            // A desktop may hand over file: URLs where it should give paths.
            QString path = arg.startsWith(QLatin1String("file://")) ? QUrl(arg).toLocalFile() : arg;
            result.Files << QDir::cleanPath(QDir(workingFolder).absoluteFilePath(path));
        }
    }
    return result;
}

bool WantsHelpOrVersion(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0
            || std::strcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

QString CommandLineHelp()
{
    return QStringLiteral(
        "Usage: sendorix [OPTION]... [FILE | FOLDER]...\n"
        "Sends a list of files by e-mail as a numbered series of messages.\n"
        "\n"
        "The files named are put in the list of files to send; a folder stands for the\n"
        "files directly in it. When Sendorix is already running, they join the list of\n"
        "the running window instead of opening a second one.\n"
        "\n"
        "  -h, --help     show this help and exit\n"
        "      --version  show the version and exit\n"
        "  --             end of options: every name after it is a file\n");
}

QString VersionLine()
{
    QString major, minor;
    const QString version = FileVersionText();
    MakeVersionTexts(version, major, minor);
    return QStringLiteral("Sendorix %1.%2 (%3)\n").arg(major, minor, version);
}

// ---- Files from outside ---------------------------------------------------------------------

QStringList ExpandFolders(const QStringList &paths)
{
    QStringList files;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            files << path;
            continue;
        }
        const QDir dir(path);
        for (const QFileInfo &f : dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot,
                                                    QDir::Name | QDir::IgnoreCase | QDir::LocaleAware))
            files << f.absoluteFilePath();
    }
    return files;
}

// ---- Qt's own texts -------------------------------------------------------------------------

bool UseQtRussian(bool russian)
{
    static std::unique_ptr<QTranslator> translator;
    if (!QCoreApplication::instance())
        return !russian;
    if (!russian) {
        if (translator) {
            QCoreApplication::removeTranslator(translator.get());
            translator.reset();
        }
        return true;
    }
    if (translator)
        return true;
    auto t = std::make_unique<QTranslator>();
    if (!t->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    QCoreApplication::installTranslator(t.get());
    translator = std::move(t);
    return true;
}

// ---- Icon and plugins -----------------------------------------------------------------------

// Outside any namespace: the resource initialiser must be reachable from a static library.
static void initIcons()
{
    Q_INIT_RESOURCE(icons);
}

QIcon ProgramIcon()
{
    initIcons();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/sendorix-%1.png").arg(size), QSize(size, size));
    return icon;
}

QStringList PluginFolders()
{
    QStringList folders{ProgramFolder()};
#ifdef SENDORIX_PLUGIN_RELATIVE_DIR
    // Relative to the program, so an installed tree can be moved as a whole.
    folders << WithSlash(QDir::cleanPath(ProgramFolder() + QStringLiteral(SENDORIX_PLUGIN_RELATIVE_DIR)));
#endif
#ifdef SENDORIX_PLUGIN_INSTALL_FULL_DIR
    folders << WithSlash(QDir::cleanPath(QStringLiteral(SENDORIX_PLUGIN_INSTALL_FULL_DIR)));
#endif
    folders.removeDuplicates();
    return folders;
}

QString FindPluginFile(const QString &fileName)
{
    for (const QString &folder : PluginFolders())
        if (QFileInfo::exists(folder + fileName))
            return folder + fileName;
    return ProgramFolder() + fileName;
}

QUrl DocumentUrl(const QString &target)
{
    const QString t = target.trimmed();
    // A scheme of two or more letters ("http:", "mailto:"); one letter would be a drive.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    if (scheme.match(t).hasMatch())
        return QUrl(t, QUrl::TolerantMode);
    if (t.startsWith(QStringLiteral("www."), Qt::CaseInsensitive))
        return QUrl(QStringLiteral("http://") + t, QUrl::TolerantMode);
    return QUrl::fromLocalFile(QFileInfo(t).absoluteFilePath());
}

bool OpenDocument(const QString &target, const QString &parameters)
{
    Q_UNUSED(parameters);
    if (target.trimmed().isEmpty())
        return false;
    return QDesktopServices::openUrl(DocumentUrl(target));
}

std::function<void(const QString &)> DocumentOpener = [](const QString &target) {
    OpenDocument(target);   // a failed open (no browser, no mail program) is not reported
};
