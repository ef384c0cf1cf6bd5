#include "Strings.h"

#include <QFile>
#include <QHash>

#include <algorithm>

int StringBase = EnglishBase;

bool IsRussian()
{
    return StringBase == RussianBase;
}

void InstallLanguageHook()
{
    LanguageHook = &IsRussian;
}

// Outside any namespace: the resource initialiser must be reachable from a static library.
static void initResources()
{
    Q_INIT_RESOURCE(strings);
}

namespace {

// The string table, read once from the compiled-in resource.
const QHash<int, QString> &table()
{
    static const QHash<int, QString> strings = [] {
        initResources();
        QHash<int, QString> t;
        QFile file(QStringLiteral(":/strings.txt"));
        if (!file.open(QIODevice::ReadOnly))
            return t;
        const QString all = QString::fromUtf8(file.readAll());
        for (const QString &line : all.split(QLatin1Char('\n'))) {
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            const qsizetype tab = line.indexOf(QLatin1Char('\t'));
            if (tab <= 0)
                continue;
            bool ok = false;
            const int id = line.left(tab).toInt(&ok);
            if (!ok)
                continue;
            QString text = line.mid(tab + 1);
            if (text.endsWith(QLatin1Char('\r')))
                text.chop(1);
            // Line breaks inside a text are written as \n.
            text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
            t.insert(id, text);
        }
        return t;
    }();
    return strings;
}

}  // namespace

QString LoadStr(int id)
{
    return table().value(id);
}

QString LoadMessage(int n)
{
    return LoadStr(n + StringBase);
}

QString ServerErrorText(bool russian, const QString &code, const QString &text)
{
    QString pattern = LoadStr(TextId::ServerError + (russian ? RussianBase : EnglishBase));
    if (!code.isEmpty())
        return FormatText(pattern, {FormatArg(code), FormatArg(text)});
    pattern.replace(QStringLiteral(" %s: %s"), QStringLiteral(": %s"));
    return FormatText(pattern, {FormatArg(text)});
}

QList<int> StringTableIds()
{
    QList<int> ids = table().keys();
    std::sort(ids.begin(), ids.end());
    return ids;
}

QString ExceptionMessage(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        return own->Message();
    const QString text = QString::fromLocal8Bit(e.what());
    return text.isEmpty() ? QStringLiteral("Unknown error") : text;
}
