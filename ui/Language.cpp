#include "Language.h"

#include "AppHelp.h"
#include "ComDialogs.h"

#include <QWidget>

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
    QStringList names;
    for (int id = TextId::PriorityHighest; id <= TextId::PriorityLowest; ++id)
        names << Text(id);
    return names;
}

QString AddFilesDialogTitle()
{
    return Text(TextId::AddFilesTitle);
}

QString LanguageHelpFile()
{
    return HelpManualName(IsRussian());
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
