// Context help. The help files (one per language, named by the language switch) are opened
// with the desktop's opener; a missing file shows nothing.
#pragma once

#include <QString>

#include <functional>

// The application's help file, set when the language is applied.
void SetApplicationHelpFile(const QString &fileName);
QString ApplicationHelpFile();

// Opens help at `context` in `helpFile` (empty: the application's help file). Returns false
// when there is no help file to open.
bool ShowHelpContext(int context, const QString &helpFile = QString());

// Test hook: replaces what ShowHelpContext does (the file is already resolved); returns the
// previous handler. An empty function restores the desktop opener.
using THelpHandler = std::function<bool(const QString &helpFile, int context)>;
THelpHandler SetHelpHandler(THelpHandler handler);
