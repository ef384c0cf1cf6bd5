// The two-language interface's window half: the error-and-abort used by input checks, texts
// that follow the language switch, and the guard that window slots run their bodies in. The
// string table and the language offset are below it (Strings.h).
#pragma once

#include "Global.h"
#include "Strings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <exception>
#include <utility>

class QWidget;

// Shows message n as an error box with OK (help context 0), puts the focus into `control`
// (may be null) and ends the running command silently by throwing EAbort.
[[noreturn]] void ShowErrorAndAbort(int n, QWidget *control);
// The same with a ready text.
[[noreturn]] void ShowErrorTextAndAbort(const QString &text, QWidget *control);

// Texts chosen in code that belong to the language switch rather than to a window caption.
// The five priority names, highest first, in the current language.
QStringList PriorityNames();
// Title of the add-files dialog in the current language.
QString AddFilesDialogTitle();
// The manual of the current language: "SendorixR.html" or "SendorixE.html" (AppHelp finds it).
QString LanguageHelpFile();

// Runs a command body the way the event loop needs it: nothing escapes. The silent abort
// (EAbort) ends the command quietly; any other exception shows its message in the
// application's standard error box (ShowApplicationError) parented to `owner`. The body's own
// RAII cleanup has run by then. Returns true when the body finished normally.
//
//   void TMainForm::btnSendClick() { RunGuarded(this, [&] { ...; }); }
bool ReportException(QWidget *owner, std::exception_ptr error);
template <class F> bool RunGuarded(QWidget *owner, F &&body)
{
    try {
        std::forward<F>(body)();
        return true;
    } catch (...) {
        return ReportException(owner, std::current_exception());
    }
}
