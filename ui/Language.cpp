#include "Language.h"

#include "AppHelp.h"
#include "ComDialogs.h"

#include <QFile>
#include <QHash>
#include <QWidget>

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
    Q_INIT_RESOURCE(resources);
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

QList<int> StringTableIds()
{
    QList<int> ids = table().keys();
    std::sort(ids.begin(), ids.end());
    return ids;
}

void ShowErrorAndAbort(int n, QWidget *control)
{
    ShowErrorTextAndAbort(LoadMessage(n), control);
}

void ShowErrorTextAndAbort(const QString &text, QWidget *control)
{
    ComMessageDlg(text, mtError, {mbOK}, 0);
    if (control != nullptr && control->isEnabled())
        control->setFocus(Qt::OtherFocusReason);
    throw EAbort();
}

QStringList PriorityNames()
{
    if (IsRussian())
        return {QStringLiteral("Высший"), QStringLiteral("Высокий"), QStringLiteral("Обычный"),
                QStringLiteral("Низкий"), QStringLiteral("Самый низкий")};
    return {QStringLiteral("Highest"), QStringLiteral("High"), QStringLiteral("Normal"),
            QStringLiteral("Low"), QStringLiteral("Lowest")};
}

QString AddFilesDialogTitle()
{
    return PickStr(IsRussian(), "Выбор файлов для отправки", "Select files for posting");
}

QString LanguageHelpFile()
{
    return HelpManualName(IsRussian());
}

QString ExceptionMessage(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        return own->Message();
    const QString text = QString::fromLocal8Bit(e.what());
    return text.isEmpty() ? QStringLiteral("Unknown error") : text;
}

bool ReportException(QWidget *owner, std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const EAbort &) {
        // The command has already said what was wrong.
    } catch (const std::exception &e) {
        ShowApplicationError(owner, ExceptionMessage(e));
    } catch (...) {
        ShowApplicationError(owner, QStringLiteral("Unknown error"));
    }
    return false;
}
