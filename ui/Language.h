// The two-language interface's non-window half: the language offset, the string table, the
// error-and-abort used by input checks, and the guard that window slots run their bodies in.
#pragma once

#include "Global.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <exception>
#include <utility>

class QWidget;

// 0: Russian, 1000: English. English from program start until the stored setting is applied.
extern int StringBase;
constexpr int RussianBase = 0;
constexpr int EnglishBase = 1000;

bool IsRussian();
// Points LanguageHook at IsRussian; the program's start-up calls it before any window exists.
void InstallLanguageHook();

// The text under a string table id (either half); empty when the table has no such id.
QString LoadStr(int id);
// Message n in the current language: LoadStr(n + StringBase).
QString LoadMessage(int n);
// LoadStr(id) formatted with FormatText ("%s" text, "%d" integer). The caller adds
// StringBase itself, or passes a fixed id of either half (the protocol writes both).
template <class... A> QString LoadFormatted(int id, const A &...args)
{
    return FormatText(LoadStr(id), {FormatArg(args)...});
}
// Every id the table holds, ascending (for the tests).
QList<int> StringTableIds();

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

// The text an unexpected exception shows in the application's error box.
QString ExceptionMessage(const std::exception &e);

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
