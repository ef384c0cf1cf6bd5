// The program's texts in both languages: the string table and the interface language's offset
// into it. Everything here works without a window, so the send job reads the same table as
// the window does; switching the language is the window's business (ui/Language.h).
#pragma once

#include "Global.h"
#include "TextIds.h"

#include <QList>
#include <QString>

#include <exception>

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
// Message n in Russian or in English, formatted.
template <class... A> QString TextIn(bool russian, int n, const A &...args)
{
    return FormatText(LoadStr(n + (russian ? RussianBase : EnglishBase)), {FormatArg(args)...});
}
// Message n in the current language, formatted.
template <class... A> QString Text(int n, const A &...args)
{
    return TextIn(IsRussian(), n, args...);
}
// "Error <code>: <text>" (message 37) in Russian or English; without a code (a connection
// that failed has none) "Error: <text>".
QString ServerErrorText(bool russian, const QString &code, const QString &text);
// Every id the table holds, ascending (for the tests).
QList<int> StringTableIds();

// The text an unexpected exception shows in the application's error box.
QString ExceptionMessage(const std::exception &e);
