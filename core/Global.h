// Small routines the program's units share: where the program lives, its version, integer
// text conversion with an error in the interface language, word splitting, the printf-like
// formatter, writing text files, and the conversions at the QString / wire-bytes boundary
// (Windows-1251, ISO-8859-1, and the KOI8-R recoder used for Russian mail).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <stdexcept>
#include <string>

class QIODevice;

// Asks the interface language without seeing the main window: true means Russian.
// Points at IsRussian once the program starts (see Language.h); null counts as English.
using TLanguageHook = bool (*)();
extern TLanguageHook LanguageHook;
// LanguageHook's answer, safe when the hook is not set yet.
bool HookSaysRussian();

// ---- Exceptions ---------------------------------------------------------------------------

// Base of the program's own errors; the message is kept as QString so that Cyrillic texts
// reach the error box intact (what() gives the same text in UTF-8).
class Exception : public std::runtime_error
{
public:
    explicit Exception(const QString &message);
    QString Message() const { return m_message; }

private:
    QString m_message;
};

// A text that is not an integer (TextToInt).
class EConvertError : public Exception
{
public:
    using Exception::Exception;
};

// A file that cannot be created, read or written.
class EInOutError : public Exception
{
public:
    using Exception::Exception;
};

// The silent abort: ends the running command without any further message. Thrown by
// ShowErrorAndAbort and Abort(); RunGuarded (Language.h) swallows it.
class EAbort : public std::exception
{
public:
    const char *what() const noexcept override { return "Operation aborted"; }
};

[[noreturn]] void Abort();

// ---- Program, version, folders ------------------------------------------------------------

// The folder of the running program, with a trailing '/'.
QString ProgramFolder();
// The version set by the build ("1.3.0.1"); empty if the build did not set one.
QString FileVersionText();
// Derives the major and minor version texts from a file version such as "1.3.0.67"
// ("1" and "03").
void MakeVersionTexts(const QString &fileVersion, QString &major, QString &minor);
// The platform's temporary folder (TMPDIR or /tmp), with a trailing '/'.
QString TempFolder();

// ---- Numbers and texts --------------------------------------------------------------------

QString IntText(long long value);
// Signed decimal integer, leading blanks allowed. Throws EConvertError with a message in the
// interface language (asked through LanguageHook) quoting ShortenText(text, 32).
int TextToInt(const QString &text);
// The text with control characters (C0, DEL, C1) shown as visible escapes such as "\x00", for
// texts from outside (server replies, file names, commands) wherever a user reads them: the
// protocol, labels, message boxes. Boxes keep their line breaks.
QString VisibleText(const QString &text, bool keepLineBreaks = false);

// First n characters followed by "..." when the text is longer than n; else the text.
QString ShortenText(const QString &text, int n);

inline int PickInt(bool flag, int a, int b) { return flag ? a : b; }
inline QString PickStr(bool flag, const QString &a, const QString &b) { return flag ? a : b; }
inline QString PickStr(bool flag, const char *a, const char *b)
{
    return QString::fromUtf8(flag ? a : b);
}
inline QByteArray PickStr(bool flag, const QByteArray &a, const QByteArray &b)
{
    return flag ? a : b;
}
inline std::string PickStr(bool flag, const std::string &a, const std::string &b)
{
    return flag ? a : b;
}

// "03" for 3, "12" for 12.
QString TwoDigits(int value);

// Word routines: a word is a maximal run of characters not in `delimiters` (each character of
// that string is one member of the set). Word numbers count from 1.
int CountWords(const QString &text, const QString &delimiters);
// From the first character of word n to the last of word n + count - 1 (or of the last word
// there is), the delimiters between them included; empty when there is no word n.
QString GetWords(int n, int count, const QString &text, const QString &delimiters);
QString GetWord(int n, const QString &text, const QString &delimiters);

// ---- The printf-like formatter ------------------------------------------------------------

// One argument of FormatText: a text or an integer.
class FormatArg
{
public:
    FormatArg(const QString &text) : m_text(text) {}
    FormatArg(const char *text) : m_text(QString::fromUtf8(text)) {}
    FormatArg(const std::string &text) : m_text(QString::fromStdString(text)) {}
    FormatArg(int value) : m_isNumber(true), m_number(value) {}
    FormatArg(unsigned value) : m_isNumber(true), m_number(value) {}
    FormatArg(long value) : m_isNumber(true), m_number(value) {}
    FormatArg(unsigned long value) : m_isNumber(true), m_number(static_cast<long long>(value)) {}
    FormatArg(long long value) : m_isNumber(true), m_number(value) {}
    FormatArg(unsigned long long value)
        : m_isNumber(true), m_number(static_cast<long long>(value)) {}

    bool IsNumber() const { return m_isNumber; }
    long long Number() const { return m_number; }
    QString Text() const { return m_isNumber ? QString::number(m_number) : m_text; }

private:
    QString m_text;
    bool m_isNumber = false;
    long long m_number = 0;
};

// "%s" a text, "%d" (and "%u") an integer, "%x" hexadecimal, an optional "-" (left-align),
// "0" (zero-pad) and width such as "%2d"; "%%" is a percent sign. Arguments are taken in order;
// a missing argument formats as empty text rather than failing, and an unknown directive is
// copied as it stands.
QString FormatText(const QString &format, std::initializer_list<FormatArg> args);
template <class... A> QString Format(const QString &format, const A &...args)
{
    return FormatText(format, {FormatArg(args)...});
}

// ---- Documents and text files -------------------------------------------------------------

// Writes the bytes and then CR LF; throws EInOutError when the device refuses.
void WriteTextLine(QIODevice &stream, const QByteArray &text);
// The same for a text, written as UTF-8 (files the program writes are UTF-8).
void WriteTextLine(QIODevice &stream, const QString &text);
// Creates (or empties) the file and writes each line with CR LF. Throws EInOutError when the
// file cannot be created or written; the file is closed on every way out.
void SaveMemoLines(const QString &fileName, const QStringList &lines);

// ---- Character sets at the wire boundary --------------------------------------------------

// The KOI8-R recoder for Windows-1251 bytes: bytes 0x80..0xFF go through a fixed 128-entry
// table (0 keeps the byte); ASCII never changes; the length is kept. Not its own inverse:
// recode each text exactly once.
QByteArray RecodeToKoi8(const QByteArray &win1251);
std::string RecodeToKoi8(const std::string &win1251);
// The table itself (entry i is for byte 0x80 + i), for the tests.
const unsigned char *Koi8RecodeTable();

// QString -> Windows-1251 bytes; characters the code page lacks become '?'.
QByteArray ToWin1251(const QString &text);
// QString -> ISO-8859-1 bytes; characters outside Latin-1 become '?'.
QByteArray ToLatin1(const QString &text);
// Windows-1251 bytes -> QString.
QString FromWin1251(const QByteArray &bytes);
// Text bytes read from a file: UTF-8 (a leading BOM dropped) when they are valid UTF-8, else
// Windows-1251 (files brought over from Windows).
QString DecodeTextBytes(const QByteArray &bytes);
// Reads a whole text file with DecodeTextBytes; throws EInOutError when it cannot be read.
QString ReadTextFile(const QString &fileName);

// Byte strings of the mail library <-> QByteArray, without any recoding.
inline std::string ToStdBytes(const QByteArray &bytes) { return bytes.toStdString(); }
inline QByteArray FromStdBytes(const std::string &bytes)
{
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
