// Context help. The manual is one HTML page per language (SendorixE.html, SendorixR.html);
// every help context N is the heading with the anchor "context-N". Help opens the manual of
// the current language at that anchor through the desktop's opener (DocumentOpener).
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

#include <functional>

// The manual's file name for a language: "SendorixR.html" or "SendorixE.html".
QString HelpManualName(bool russian);
// The anchor of a help context: "context-N" (empty for 0: the top of the manual).
QString HelpAnchor(int context);

// Where manuals are looked for, in order: beside the program (its "help" folder, then the
// program's folder itself), then where an installation puts them. Each ends in "/".
QStringList HelpFolders();
// Tests only: look in these folders instead (empty: the real ones).
void SetHelpFoldersForTests(const QStringList &folders);
// The full path of the manual `name` (a bare file name is looked for in HelpFolders(), a path
// is taken as it is), or empty when there is none.
QString FindHelpFile(const QString &name);
// The address the opener is given: the file with the context's anchor.
QUrl HelpUrl(const QString &path, int context);
// The text shown when the manual `name` is missing, in the interface language.
QString MissingHelpText(const QString &name);

// The application's help file (a manual's name, or a path), set when the language is applied.
void SetApplicationHelpFile(const QString &fileName);
QString ApplicationHelpFile();

// Opens help at `context` in `helpFile` (empty: the application's help file). A missing
// manual shows an error box naming where it was looked for; returns false then.
bool ShowHelpContext(int context, const QString &helpFile = QString());

// The help contexts of the dialogs (the window's pages and fields carry theirs as a property),
// and of the questions about a certificate (sending through a provider) and about continuing
// a series cut short.
enum : int {
    OwnBookHelpContext = 11,
    SecurityHelpContext = 12,
    FolderBrowserHelpContext = 13,
    ProviderHelpContext = 14,
    SystemBookHelpContext = 16,   // the system address book's dialog (a plugin's)
    InterruptedSeriesHelpContext = 19,
};
// F1 anywhere in `dialog` opens the manual at `context`.
void InstallHelpKey(QWidget *dialog, int context);

// Test hook: replaces what ShowHelpContext does (with the file as given, not yet looked up);
// returns the previous handler. An empty function restores the real path.
using THelpHandler = std::function<bool(const QString &helpFile, int context)>;
THelpHandler SetHelpHandler(THelpHandler handler);
