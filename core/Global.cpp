#include "Global.h"

#include "FileAccess.h"
#include "Strings.h"

#include <algorithm>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextCodec>

#include <cerrno>
#include <climits>
#include <cstring>

TLanguageHook LanguageHook = nullptr;

bool HookSaysRussian()
{
    return LanguageHook != nullptr && LanguageHook();
}

Exception::Exception(const QString &message)
    : std::runtime_error(message.toStdString()), m_message(message)
{
}

void Abort()
{
    throw EAbort();
}

// ---- Program, version, folders ------------------------------------------------------------

QString ProgramFolder()
{
    QString folder;
    if (QCoreApplication::instance() != nullptr)
        folder = QCoreApplication::applicationDirPath();
    else
        folder = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

QString FileVersionText()
{
#ifdef SENDORIX_FILE_VERSION
    return QStringLiteral(SENDORIX_FILE_VERSION);
#else
    return QString();
#endif
}

void MakeVersionTexts(const QString &fileVersion, QString &major, QString &minor)
{
    major = GetWord(1, fileVersion, ".").left(2);
    bool ok = false;
    int m = GetWord(2, fileVersion, ".").trimmed().toInt(&ok);
    if (!ok)
        m = 0;   // a version without a numeric second part reads as x.00
    minor = (m <= 9 ? Format("0%d", m) : Format("%2d", m)).left(2);
}

QString TempFolder()
{
    QString folder = QDir::tempPath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

// ---- Numbers and texts --------------------------------------------------------------------

QString IntText(long long value)
{
    return QString::number(value);
}

int TextToInt(const QString &text)
{
    qsizetype i = 0;
    const qsizetype len = text.size();
    while (i < len && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < len && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    const qsizetype digitsStart = i;
    long long value = 0;
    bool fits = true;
    while (i < len && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        if (fits)
            value = value * 10 + (text[i].unicode() - '0');
        // Stop accumulating once past any int; the text is still scanned for its shape.
        if (value > static_cast<long long>(INT_MAX) + 1)
            fits = false;
        ++i;
    }
    if (negative)
        value = -value;
    if (i == digitsStart || i != len || !fits || value > INT_MAX || value < INT_MIN) {
        throw EConvertError(TextIn(HookSaysRussian(), TextId::BadIntegerFormat, ShortenText(text, 32)));
    }
    return static_cast<int>(value);
}

QString ShortenText(const QString &text, int n)
{
    if (n < 0)
        n = 0;
    if (text.size() > n)
        return text.left(n) + QStringLiteral("...");
    return text;
}

QString TwoDigits(int value)
{
    if (value > 9)
        return Format(QStringLiteral("%2d"), value);
    return Format(QStringLiteral("0%d"), value);
}

// ---- Word routines ------------------------------------------------------------------------

int CountWords(const QString &text, const QString &delimiters)
{
    int count = 0;
    qsizetype i = 0;
    const qsizetype len = text.size();
    while (i < len) {
        while (i < len && delimiters.contains(text[i]))
            ++i;
        if (i < len) {
            ++count;
            while (i < len && !delimiters.contains(text[i]))
                ++i;
        }
    }
    return count;
}

QString GetWords(int n, int count, const QString &text, const QString &delimiters)
{
    long long first = n;
    long long k = count;
    if (first <= 0) {
        k = k + first - 1;  // the stretch keeps its last word
        first = 1;
    }
    if (k <= 0 || text.isEmpty())
        return QString();
    const long long last = first + k - 1;

    const qsizetype len = text.size();
    qsizetype i = 0;
    while (i < len && delimiters.contains(text[i]))
        ++i;
    long long word = 0;
    qsizetype start = -1;
    qsizetype end = -1;  // one past the last character of the stretch
    while (i < len) {
        ++word;
        const qsizetype wordStart = i;
        while (i < len && !delimiters.contains(text[i]))
            ++i;
        if (word == first)
            start = wordStart;
        if (start >= 0)
            end = i;
        if (word == last)
            break;
        while (i < len && delimiters.contains(text[i]))
            ++i;
    }
    if (start < 0)
        return QString();
    return text.mid(start, end - start);
}

QString GetWord(int n, const QString &text, const QString &delimiters)
{
    return GetWords(n, 1, text, delimiters);
}

// ---- Formatter ----------------------------------------------------------------------------

namespace {

// A number with at least `digits` digits, zeros put in after its sign.
QString WithMinimumDigits(const QString &number, int digits)
{
    const bool neg = number.startsWith(QLatin1Char('-'));
    QString body = neg ? number.mid(1) : number;
    if (body.size() < digits)
        body = QString(digits - body.size(), QLatin1Char('0')) + body;
    return neg ? QLatin1Char('-') + body : body;
}

// The piece widened to `width`: blanks after it (left-aligned), zeros after a number's sign,
// or blanks before it.
QString Padded(const QString &piece, int width, bool leftAlign, bool zeroPad)
{
    if (piece.size() >= width)
        return piece;
    const qsizetype pad = width - piece.size();
    if (leftAlign)
        return piece + QString(pad, QLatin1Char(' '));
    if (zeroPad) {
        const bool neg = piece.startsWith(QLatin1Char('-'));
        return (neg ? QStringLiteral("-") : QString()) + QString(pad, QLatin1Char('0')) + (neg ? piece.mid(1) : piece);
    }
    return QString(pad, QLatin1Char(' ')) + piece;
}

}  // namespace

QString FormatText(const QString &format, std::initializer_list<FormatArg> args)
{
    QString out;
    out.reserve(format.size() + 16);
    auto next = args.begin();
    const qsizetype len = format.size();
    qsizetype i = 0;
    while (i < len) {
        if (format[i] != QLatin1Char('%')) {
            // The text up to the next directive in one piece: per character it costs more
            // than the rest of a protocol line together.
            qsizetype end = format.indexOf(QLatin1Char('%'), i);
            if (end < 0)
                end = len;
            out += QStringView(format).sliced(i, end - i);
            i = end;
            continue;
        }
        const qsizetype directiveStart = i++;
        if (i < len && format[i] == QLatin1Char('%')) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        bool leftAlign = false;
        bool zeroPad = false;
        while (i < len && (format[i] == QLatin1Char('-') || format[i] == QLatin1Char('0'))) {
            if (format[i] == QLatin1Char('-'))
                leftAlign = true;
            else
                zeroPad = true;
            ++i;
        }
        int width = 0;
        while (i < len && format[i].isDigit() && width < 1000)
            width = width * 10 + format[i++].digitValue();
        int precision = -1;
        if (i < len && format[i] == QLatin1Char('.')) {
            ++i;
            precision = 0;
            while (i < len && format[i].isDigit() && precision < 1000)
                precision = precision * 10 + format[i++].digitValue();
        }
        if (i >= len) {
            out += format.mid(directiveStart);
            break;
        }
        const QChar conv = format[i++];
        QString piece;
        bool numeric = false;
        const FormatArg *arg = next != args.end() ? next : nullptr;
        switch (conv.unicode()) {
        case 's':
            if (arg != nullptr)
                piece = arg->Text();
            if (precision >= 0)
                piece = piece.left(precision);
            break;
        case 'd':
        case 'i':
        case 'u':
            numeric = true;
            if (arg != nullptr)
                piece = arg->Text();
            break;
        case 'x':
        case 'X':
            numeric = true;
            if (arg != nullptr) {
                piece = arg->IsNumber()
                            ? QString::number(static_cast<unsigned long long>(arg->Number()), 16)
                            : arg->Text();
                if (conv == QLatin1Char('X'))
                    piece = piece.toUpper();
            }
            break;
        default:
            // Not a directive we know: keep it visible rather than eat an argument.
            out += format.mid(directiveStart, i - directiveStart);
            continue;
        }
        if (next != args.end())
            ++next;
        if (numeric && precision >= 0 && arg != nullptr && arg->IsNumber())
            piece = WithMinimumDigits(piece, precision);
        out += Padded(piece, width, leftAlign, zeroPad && numeric);
    }
    return out;
}

// ---- Documents and text files -------------------------------------------------------------

void WriteTextLine(QIODevice &stream, const QByteArray &text)
{
    QByteArray line;
    line.reserve(text.size() + 2);
    line += text;
    line += "\r\n";
    if (stream.write(line) != line.size()) {
        QString name;
        if (auto *file = qobject_cast<QFile *>(&stream))
            name = file->fileName();
        throw EInOutError(Format(QStringLiteral("Cannot write \"%s\": %s"), name,
                                 stream.errorString()));
    }
}

void WriteTextLine(QIODevice &stream, const QString &text)
{
    WriteTextLine(stream, text.toUtf8());
}

QString VisibleText(const QString &text, bool keepLineBreaks)
{
    const auto hidden = [keepLineBreaks](char16_t u) {
        return (u < 0x20 && !(keepLineBreaks && u == u'\n')) || u == 0x7F || (u >= 0x80 && u < 0xA0);
    };
    // Nearly every text has nothing to show as a code: it is shared, not copied.
    if (std::none_of(text.cbegin(), text.cend(), [&](QChar c) { return hidden(c.unicode()); }))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (hidden(u))
            out += QStringLiteral("\\x") + QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void SaveMemoLines(const QString &fileName, const QStringList &lines)
{
    QByteArray data;
    for (const QString &line : lines) {
        data += line.toUtf8();
        data += "\r\n";
    }
    // Through a temporary file and a rename: a save that fails or is killed halfway keeps the
    // old file whole.
    const QString reason = ReplaceFileContent(fileName, data);
    if (!reason.isEmpty())
        throw EInOutError(Format(QStringLiteral("Cannot write \"%s\": %s"), fileName, reason));
}

// ---- Character sets -----------------------------------------------------------------------

namespace {

// Windows-1251 -> KOI8-R for bytes 0x80..0xFF; 0 keeps the byte. The Cyrillic letters and
// the six signs KOI8-R also has get their standard places; bullet, section sign and pilcrow,
// which KOI8-R lacks, get fixed bytes (0x95, 0x15, 0x14).
const unsigned char koi8Table[128] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 80
    0x00, 0x00, 0x00, 0x00, 0x00, 0x95, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 90
    0x9A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0xB3, 0xBF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // A0
    0x9C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x9E, 0xA3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // B0
    0xE1, 0xE2, 0xF7, 0xE7, 0xE4, 0xE5, 0xF6, 0xFA, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,  // C0
    0xF2, 0xF3, 0xF4, 0xF5, 0xE6, 0xE8, 0xE3, 0xFE, 0xFB, 0xFD, 0xFF, 0xF9, 0xF8, 0xFC, 0xE0, 0xF1,  // D0
    0xC1, 0xC2, 0xD7, 0xC7, 0xC4, 0xC5, 0xD6, 0xDA, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD0,  // E0
    0xD2, 0xD3, 0xD4, 0xD5, 0xC6, 0xC8, 0xC3, 0xDE, 0xDB, 0xDD, 0xDF, 0xD9, 0xD8, 0xDC, 0xC0, 0xD1,  // F0
};

template <class Bytes> Bytes recode(const Bytes &in)
{
    Bytes out = in;
    for (auto &ch : out) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x80 && koi8Table[b - 0x80] != 0)
            ch = static_cast<char>(koi8Table[b - 0x80]);
    }
    return out;
}

QTextCodec *win1251()
{
    static QTextCodec *codec = QTextCodec::codecForName("Windows-1251");
    return codec;
}

}  // namespace

QByteArray RecodeToKoi8(const QByteArray &win1251)
{
    return recode(win1251);
}

std::string RecodeToKoi8(const std::string &win1251)
{
    return recode(win1251);
}

const unsigned char *Koi8RecodeTable()
{
    return koi8Table;
}

QByteArray ToWin1251(const QString &text)
{
    if (QTextCodec *codec = win1251())
        return codec->fromUnicode(text);
    return text.toLatin1();
}

QByteArray ToLatin1(const QString &text)
{
    return text.toLatin1();
}

QString FromWin1251(const QByteArray &bytes)
{
    if (QTextCodec *codec = win1251())
        return codec->toUnicode(bytes);
    return QString::fromLatin1(bytes);
}

QString DecodeTextBytes(const QByteArray &bytes)
{
    QString text = DecodeTextLines(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

QString ReadTextFile(const QString &fileName)
{
    QByteArray bytes;
    QString error;
    switch (ReadRegularFile(fileName, bytes, error)) {
    case TReadResult::Missing:
        throw EInOutError(Format(QStringLiteral("Cannot open \"%s\": %s"), fileName,
                                 QString::fromLocal8Bit(std::strerror(ENOENT))));
    case TReadResult::Failed:
        throw EInOutError(error);
    case TReadResult::Ok:
        break;
    }
    return DecodeTextBytes(bytes);
}
