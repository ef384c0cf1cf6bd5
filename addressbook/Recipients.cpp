#include "Recipients.h"

namespace {

bool isBlank(QChar c)
{
    return c.unicode() <= 32;
}

// Control characters would break the one-line field; they become blanks.
QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c.unicode() < 32)
            c = QLatin1Char(' ');
    return text;
}

// The position just after the '"' closing the quoted run that opens at `open`, honouring
// backslash escapes; -1 when the run is never closed (a stray quote is an ordinary character).
qsizetype closingQuote(const QString &text, qsizetype open)
{
    for (qsizetype i = open + 1; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\\') && i + 1 < text.size())
            ++i;
        else if (text[i] == QLatin1Char('"'))
            return i + 1;
    }
    return -1;
}

// The first `wanted` character that is not inside a closed quoted run, from `from` on.
qsizetype findOutsideQuotes(const QString &text, QChar wanted, qsizetype from = 0)
{
    for (qsizetype i = from; i < text.size();) {
        if (text[i] == wanted)
            return i;
        if (text[i] == QLatin1Char('"')) {
            const qsizetype after = closingQuote(text, i);
            if (after > 0) {
                i = after;
                continue;
            }
        }
        ++i;
    }
    return -1;
}

// Undoes QuoteDisplayName's escapes, but only where the name is one escaped quoted string:
// any other name (with stray inner quotes, say) is taken as it stands.
QString unescapeName(const QString &name)
{
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c == QLatin1Char('"'))
            return name;   // an unescaped quote: not our own escaped form
        if (c == QLatin1Char('\\') && i + 1 < name.size()
            && (name[i + 1] == QLatin1Char('"') || name[i + 1] == QLatin1Char('\\'))) {
            out += name[++i];
            continue;
        }
        out += c;
    }
    return out;
}

QString item(const QString &name, const QString &address)
{
    return QStringLiteral("\"%1\" <%2>").arg(QuoteDisplayName(name), oneLine(address));
}

} // namespace

QString TrimBlanks(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && isBlank(text[b]))
        ++b;
    while (e > b && isBlank(text[e - 1]))
        --e;
    return text.mid(b, e - b);
}

void ParseRecipients(const QString &text, TRecipientList &list)
{
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = findOutsideQuotes(text, QLatin1Char(','), start);
        if (end < 0)
            end = text.size();
        const QString word = TrimBlanks(text.mid(start, end - start));
        start = end + 1;
        if (word.isEmpty())
            continue;
        TRecipient r;
        const qsizetype lt = findOutsideQuotes(word, QLatin1Char('<'));
        if (lt < 0) {
            r.Address = word;
        } else {
            QString name = TrimBlanks(word.left(lt));
            r.Address = TrimBlanks(word.mid(lt + 1));
            bool quoted = false;
            if (name.startsWith(QLatin1Char('"'))) {
                name.remove(0, 1);
                if (name.endsWith(QLatin1Char('"'))) {
                    name.chop(1);
                    quoted = true;
                }
            } else if (name.endsWith(QLatin1Char('"'))) {
                name.chop(1);
            }
            if (r.Address.endsWith(QLatin1Char('>')))
                r.Address.chop(1);
            r.Name = quoted ? unescapeName(name) : name;
        }
        list.append(r);
    }
}

QString QuoteDisplayName(const QString &name)
{
    QString n = oneLine(name);
    if (!n.contains(QLatin1Char(',')) && !n.contains(QLatin1Char('"'))
        && !n.contains(QLatin1Char('\\')))
        return n;
    QString out;
    out.reserve(n.size() + 4);
    for (const QChar c : n) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    return out;
}

QString FormatRecipients(const TRecipientList &list)
{
    QString text;
    for (const TRecipient &r : list) {
        const QString address = TrimBlanks(r.Address);
        QString name = TrimBlanks(r.Name);
        if (name.isEmpty())
            name = address;
        if (!text.isEmpty())
            text += QStringLiteral(", ");
        text += item(name, address);
    }
    return text;
}

QString FormatBookRecipients(const TRecipientList &list)
{
    QString text;
    for (const TRecipient &r : list) {
        if (!TrimBlanks(text).isEmpty())
            text += QLatin1Char(',');
        const QString name = TrimBlanks(r.Name);
        const QString address = TrimBlanks(r.Address);
        text = TrimBlanks(text) + (name.isEmpty() ? oneLine(address) : item(name, address));
    }
    return text;
}
