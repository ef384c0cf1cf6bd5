// Running the window's file dialogs, and the test hook that answers them instead.
#include "MainForm.h"

#include <QDir>
#include <QFileDialog>

#include <deque>
#include <optional>

namespace {

struct TFileDialogHook
{
    std::deque<std::optional<QStringList>> answers;   // nullopt: cancel
    QList<TMainForm::FileDialogsTest::TShown> log;
    bool refuseUnanswered = false;
};

TFileDialogHook &hook()
{
    static TFileDialogHook h;
    return h;
}

} // namespace

void TMainForm::FileDialogsTest::QueueAnswer(const QString &fileName)
{
    hook().answers.emplace_back(QStringList{fileName});
}

void TMainForm::FileDialogsTest::QueueAnswer(const QStringList &fileNames)
{
    // An empty choice is what a cancelled dialog returns.
    if (fileNames.isEmpty())
        QueueCancel();
    else
        hook().answers.emplace_back(fileNames);
}

void TMainForm::FileDialogsTest::QueueCancel()
{
    hook().answers.emplace_back(std::nullopt);
}

void TMainForm::FileDialogsTest::SetRefuseUnanswered(bool refuse)
{
    hook().refuseUnanswered = refuse;
}

QList<TMainForm::FileDialogsTest::TShown> TMainForm::FileDialogsTest::TakeLog()
{
    return std::exchange(hook().log, {});
}

void TMainForm::FileDialogsTest::Reset()
{
    hook() = TFileDialogHook{};
}

QStringList TMainForm::RunFileDialog(QFileDialog *dialog)
{
    TFileDialogHook &h = hook();
    if (!h.answers.empty() || h.refuseUnanswered) {
        FileDialogsTest::TShown shown;
        shown.Dialog = dialog->objectName();
        shown.Folder = dialog->directory().absolutePath();
        shown.FileName = dialog->property("sendorixPresetFile").toString();
        shown.Filters = dialog->nameFilters();
        shown.DefaultSuffix = dialog->defaultSuffix();
        std::optional<QStringList> answer;
        if (h.answers.empty()) {
            shown.Unanswered = true;
        } else {
            answer = h.answers.front();
            h.answers.pop_front();
        }
        shown.Accepted = answer.has_value();
        h.log.append(shown);
        if (!answer)
            return {};
        // Relative answers are taken in the dialog's folder, as a typed name would be.
        QStringList chosen;
        for (const QString &name : *answer)
            chosen << QDir(dialog->directory()).absoluteFilePath(name);
        return chosen;
    }
    // Browsing elsewhere and cancelling is not choosing: the dialog keeps the folder it had.
    const QString folder = dialog->directory().absolutePath();
    if (dialog->exec() == QDialog::Accepted)
        return dialog->selectedFiles();
    dialog->setDirectory(folder);
    return {};
}

bool TMainForm::RunFileDialog(QFileDialog *dialog, QString &fileName)
{
    const QStringList chosen = RunFileDialog(dialog);
    if (chosen.isEmpty())
        return false;
    fileName = chosen.constFirst();
    return true;
}
