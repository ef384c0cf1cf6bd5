// The program on a Linux desktop: where its files live, its command line, files handed to it
// by a file manager, Qt's own texts in the interface language, and where its plugins are found.
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

// ---- Where the settings file, the address book and (by default) the profiles live ----------

// A folder the program may write its files into.
using TFolderWritableCheck = std::function<bool(const QString &folder)>;

// The rule: the program's folder for a portable copy, that is when it already holds
// Sendorix.cfg, or when the program runs from its build folder (the folder above it holds
// CMakeCache.txt) and may write there; otherwise configHome + "sendorix/", also for a program
// installed into any prefix.
// Every folder comes back with a trailing '/'.
QString ChooseSettingsFolder(const QString &programFolder, const QString &configHome,
                             const TFolderWritableCheck &writable);

// $XDG_CONFIG_HOME when it is set to an absolute path, else ~/.config; trailing '/'.
QString ConfigHome();

// The rule applied to this program: ProgramFolder() or $XDG_CONFIG_HOME/sendorix/, which is
// created when it is chosen.
QString SettingsFolder();

// Where file dialogs for the user's own documents start when they have no folder of their own:
// the program's folder for a portable copy (as always), the home folder for an installed one.
QString DocumentsStartFolder();

// The writability check SettingsFolder uses (SystemFolderWritable unless replaced). Tests run
// as root, for whom every folder is writable, so they replace it; nullptr restores it.
void SetFolderWritableCheck(TFolderWritableCheck check);

// The system's answer: the folder can be written by this user, and it is not
// InstalledProgramFolder(), which is never written even by root.
bool SystemFolderWritable(const QString &folder);

// The absolute folder this build installs the program into (trailing '/'), e.g. /usr/bin.
QString InstalledProgramFolder();

// ---- Command line ---------------------------------------------------------------------------

struct TCommandLine
{
    enum TAction { caRun, caHelp, caVersion, caError };
    TAction Action = caRun;
    QStringList Files;   // absolute, cleaned; files and folders, existing or not
    QString Error;       // caError: what was wrong
};

// Parses the arguments after the program name (Qt's own options already taken out). Relative
// names are taken in workingFolder. "--" ends the options.
TCommandLine ParseCommandLine(const QStringList &args, const QString &workingFolder);

// True when the raw arguments ask for --help or --version, which need no display.
bool WantsHelpOrVersion(int argc, char **argv);

QString CommandLineHelp();
QString VersionLine();

// ---- Files from outside (drops, command line, a second start) ------------------------------

// Files stay as they are; a folder stands for the files directly in it (not its subfolders or
// hidden files), by name. Paths that do not exist are kept: the add path decides about them.
QStringList ExpandFolders(const QStringList &paths);

// ---- Qt's own texts -------------------------------------------------------------------------

// Loads Qt's Russian translation (file dialogs, standard context menus) or drops it.
// False when Russian was asked for and the translation is not installed.
bool UseQtRussian(bool russian);

// ---- The program's icon and its plugins ---------------------------------------------------

QIcon ProgramIcon();

// Folders searched for a run-time plugin, in order: beside the program, then the folder the
// installation puts plugins in.
QStringList PluginFolders();
// The first existing file of that name in PluginFolders(), else the name beside the program.
QString FindPluginFile(const QString &fileName);

// ---- Documents and links ----------------------------------------------------------------

// The URL the desktop is asked to open: web and mailto: addresses as they stand, anything
// else as a local file.
QUrl DocumentUrl(const QString &target);
// Opens a file, web address or "mailto:" address with the desktop's default application.
// `parameters` is accepted for the callers' sake; the desktop opener takes none.
bool OpenDocument(const QString &target, const QString &parameters = QString());
// Where the program's documents and links (help pages, its web pages, the mail program) are
// opened: OpenDocument, unless a test replaces it. The window and the help share it.
extern std::function<void(const QString &target)> DocumentOpener;
