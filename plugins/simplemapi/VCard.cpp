#include "VCard.h"

#include <QTextCodec>

namespace {

struct TProperty
{
    QByteArray Name;           // upper case, group removed
    QList<QByteArray> Params;  // as written: "TYPE=work", "QUOTED-PRINTABLE", "CHARSET=utf-8"
    QByteArray Value;          // raw, still encoded and escaped
};

// The value of a parameter NAME=value, or a bare 2.1 parameter given by its value alone.
QByteArray Param(const TProperty &p, const char *name, const char *bareValue = nullptr)
{
    for (QByteArray param : p.Params) {
        const qsizetype eq = param.indexOf('=');
        if (eq < 0) {
            if (bareValue != nullptr && param.trimmed().compare(bareValue, Qt::CaseInsensitive) == 0)
                return bareValue;
            continue;
        }
        if (param.left(eq).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            QByteArray value = param.mid(eq + 1).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

bool IsQuotedPrintable(const QByteArray &head)
{
    return head.toUpper().contains("QUOTED-PRINTABLE");
}

// Splits the part before ':' at ';' outside double quotes (4.0 quotes parameter values).
QList<QByteArray> SplitHead(const QByteArray &head)
{
    QList<QByteArray> parts;
    QByteArray current;
    bool quoted = false;
    for (char c : head) {
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            parts << current;
            current.clear();
        } else {
            current += c;
        }
    }
    parts << current;
    return parts;
}

// The colon that ends the name and parameters: the first one outside double quotes.
qsizetype ValueColon(const QByteArray &line)
{
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ':' && !quoted)
            return i;
    }
    return -1;
}

bool ParseLine(const QByteArray &line, TProperty &p)
{
    const qsizetype colon = ValueColon(line);
    if (colon <= 0)
        return false;
    QList<QByteArray> head = SplitHead(line.left(colon));
    QByteArray name = head.takeFirst().trimmed().toUpper();
    if (const qsizetype dot = name.lastIndexOf('.'); dot >= 0)
        name = name.mid(dot + 1);   // "item1.EMAIL"
    if (name.isEmpty())
        return false;
    p.Name = name;
    p.Params = head;
    p.Value = line.mid(colon + 1);
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray DecodeQuotedPrintable(const QByteArray &value)
{
    QByteArray out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '=' && i + 2 < value.size() && HexDigit(value[i + 1]) >= 0
            && HexDigit(value[i + 2]) >= 0) {
            out += char(HexDigit(value[i + 1]) * 16 + HexDigit(value[i + 2]));
            i += 2;
        } else {
            out += c;   // a stray "=" stays as written
        }
    }
    return out;
}

// The value's bytes with the transfer encoding removed, then as text in its character set.
QString DecodeValue(const TProperty &p, const QByteArray &raw)
{
    QByteArray bytes = raw;
    const QByteArray encoding = Param(p, "ENCODING", "QUOTED-PRINTABLE").toUpper();
    if (encoding == "QUOTED-PRINTABLE")
        bytes = DecodeQuotedPrintable(bytes);
    else if (encoding == "B" || encoding == "BASE64" || Param(p, "ENCODING", "BASE64") == "BASE64")
        bytes = QByteArray::fromBase64(bytes);
    const QByteArray charset = Param(p, "CHARSET");
    if (!charset.isEmpty()) {
        if (QTextCodec *codec = QTextCodec::codecForName(charset))
            return codec->toUnicode(bytes);
    }
    QTextCodec::ConverterState state;
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    const QString text = utf8->toUnicode(bytes.constData(), int(bytes.size()), &state);
    if (state.invalidChars == 0)
        return text;
    return QTextCodec::codecForName("Windows-1251")->toUnicode(bytes);
}

// Splits a structured value at ';' that are not escaped by a backslash.
QList<QByteArray> SplitComponents(const QByteArray &value)
{
    QList<QByteArray> parts;
    QByteArray current;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            current += value[i];
            current += value[++i];
        } else if (value[i] == ';') {
            parts << current;
            current.clear();
        } else {
            current += value[i];
        }
    }
    parts << current;
    return parts;
}

QString Unescape(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            const QChar next = text[++i];
            if (next == QLatin1Char('n') || next == QLatin1Char('N'))
                out += QLatin1Char(' ');   // a name or address shows on one line
            else
                out += next;               // \\ \, \; \:
        } else {
            out += c;
        }
    }
    return out;
}

QString TextValue(const TProperty &p, const QByteArray &raw)
{
    return Unescape(DecodeValue(p, raw)).simplified();
}

// Raw lines, then logical ones: folded continuations and 2.1 soft line breaks joined.
QList<QByteArray> LogicalLines(const QByteArray &data)
{
    QList<QByteArray> raw = data.split('\n');
    for (QByteArray &line : raw) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    QList<QByteArray> lines;
    bool softBreak = false;
    for (const QByteArray &line : raw) {
        if (!lines.isEmpty() && softBreak) {
            lines.last().chop(1);   // the "=" of the soft break
            lines.last() += line;
        } else if (!lines.isEmpty() && !line.isEmpty() && (line[0] == ' ' || line[0] == '\t')) {
            lines.last() += line.mid(1);
        } else {
            lines << line;
        }
        const QByteArray &last = lines.last();
        const qsizetype colon = ValueColon(last);
        softBreak = colon > 0 && last.endsWith('=') && IsQuotedPrintable(last.left(colon));
    }
    return lines;
}

struct TCardBuilder
{
    TVCard Card;
    QString Formatted, Structured, Organisation;
    bool Broken = false;

    void Add(const TProperty &p)
    {
        if (p.Name == "FN") {
            Formatted = TextValue(p, p.Value);
        } else if (p.Name == "N") {
            // family; given; additional; prefixes; suffixes -> "prefixes given additional family suffixes"
            QList<QByteArray> parts = SplitComponents(p.Value);
            while (parts.size() < 5)
                parts << QByteArray();
            QStringList words;
            for (int i : {3, 1, 2, 0, 4}) {
                const QString w = TextValue(p, parts[i]).replace(QLatin1Char(','), QLatin1Char(' '));
                if (!w.trimmed().isEmpty())
                    words << w.trimmed();
            }
            Structured = words.join(QLatin1Char(' '));
        } else if (p.Name == "ORG") {
            Organisation = TextValue(p, SplitComponents(p.Value).value(0));
        } else if (p.Name == "EMAIL") {
            QString address = TextValue(p, p.Value);
            if (address.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
                address = address.mid(7);
            if (!address.isEmpty() && !Card.Emails.contains(address, Qt::CaseInsensitive))
                Card.Emails << address;
        }
    }

    TVCard Finish()
    {
        Card.Name = !Formatted.isEmpty() ? Formatted
                  : !Structured.isEmpty() ? Structured
                                          : Organisation;
        return Card;
    }
};

} // namespace

TVCardFile ReadVCards(const QByteArray &data)
{
    TVCardFile file;
    TCardBuilder card;
    bool inCard = false;
    for (const QByteArray &line : LogicalLines(data)) {
        const QByteArray marker = line.trimmed().toUpper();
        if (marker.isEmpty())
            continue;
        if (marker == "BEGIN:VCARD") {
            if (inCard)
                ++file.Broken;   // a new card before this one's END: this one is cut short
            card = TCardBuilder();
            inCard = true;
        } else if (marker == "END:VCARD") {
            if (inCard) {
                if (card.Broken)
                    ++file.Broken;
                else
                    file.Cards << card.Finish();
            }
            inCard = false;
        } else if (inCard) {
            TProperty p;
            if (!ParseLine(line, p))
                card.Broken = true;
            else if (!card.Broken)
                card.Add(p);
        }
    }
    if (inCard)
        ++file.Broken;   // no END before the end of the file
    return file;
}
