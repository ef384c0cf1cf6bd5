// The window's half of the program settings file: copying between the controls and the
// settings record, the input histories of the eight boxes, the temporary folder box at
// start-up and the one-time question about the system address book.
#include "MainForm.h"

#include "ArchiveSeries.h"
#include "ComDialogs.h"
#include "Desktop.h"
#include "Global.h"
#include "Language.h"
#include "Settings.h"

#include <QSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLineEdit>

namespace {

QString &settingsFolderOverride()
{
    static QString folder;
    return folder;
}

// Replaces a box's list without touching what the box shows (a list is not a text).
void SetHistory(QComboBox *box, const QStringList &list)
{
    const QString text = box->currentText();
    const QSignalBlocker block(box);
    box->clear();
    box->addItems(list);
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

QStringList History(const QComboBox *box)
{
    QStringList list;
    list.reserve(box->count());
    for (int i = 0; i < box->count(); ++i)
        list.append(box->itemText(i));
    return list;
}

// Runs the window's exit handler when the focus leaves a history box for another control.
// Switching to another window or opening the box's own list is not leaving it.
class THistoryExitWatcher : public QObject
{
public:
    THistoryExitWatcher(TMainForm *form) : QObject(form), form_(form) {}

protected:
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (e->type() == QEvent::FocusOut) {
            const Qt::FocusReason reason = static_cast<QFocusEvent *>(e)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                if (auto *box = qobject_cast<QComboBox *>(watched))
                    form_->AddEditToHistory(box);
        }
        return QObject::eventFilter(watched, e);
    }

private:
    TMainForm *form_;
};

const char *const InitialDirProperty = "sendorixInitialDir";
const char *const DirWhenSetProperty = "sendorixDirWhenSet";

} // namespace

void TMainForm::SetSettingsFolderForTests(const QString &folder)
{
    settingsFolderOverride() = folder;
}

QString TMainForm::SettingsIoPath(const QString &path)
{
    const QString folder = settingsFolderOverride();
    if (folder.isEmpty())
        return path;
    const QFileInfo info(path);
    if (info.fileName() == QStringLiteral("Sendorix.cfg")
        && QDir(info.absolutePath()) == QDir(ProgramFolder()))
        return SettingsFilePath(folder);
    return path;
}

QString TMainForm::InitialDir(const QFileDialog *dialog)
{
    // A dialog whose folder was moved by other code since it was last set keeps that folder.
    const QString now = dialog->directory().absolutePath();
    if (now != dialog->property(DirWhenSetProperty).toString())
        return now;
    return dialog->property(InitialDirProperty).toString();
}

void TMainForm::SetInitialDir(QFileDialog *dialog, const QString &dir)
{
    dialog->setProperty(InitialDirProperty, dir);
    // Without a folder of its own a dialog opens where its files belong (profiles beside the
    // settings; the user's files in the program's folder for a portable copy, else at home);
    // the setting stays empty unless the folder is moved.
    const bool profiles = dialog->objectName().endsWith(QLatin1String("ConfigDialog"));
    dialog->setDirectory(dir.isEmpty() ? (profiles ? SettingsFolder() : DocumentsStartFolder()) : dir);
    dialog->setProperty(DirWhenSetProperty, dialog->directory().absolutePath());
}

QString TMainForm::InitialDir(const TFileDialogSlot &slot)
{
    const QFileDialog *dialog = slot.Made();
    if (!dialog)
        return slot.InitialDir;
    // Pointed at a folder it has not gone to yet: as if it had.
    const QString next = slot.NextFolder();
    if (!next.isEmpty() && QDir(next).absolutePath() != dialog->property(DirWhenSetProperty).toString())
        return QDir(next).absolutePath();
    return next.isEmpty() ? InitialDir(dialog) : dialog->property(InitialDirProperty).toString();
}

void TMainForm::SetInitialDir(TFileDialogSlot &slot, const QString &dir)
{
    if (QFileDialog *dialog = slot.Made())
        SetInitialDir(dialog, dir);
    else
        slot.InitialDir = dir;   // the dialog is pointed there when it is made
}

void TMainForm::ReadSettings(const QString &path)
{
    QString error;
    const TProgramSettings s = ::ReadSettings(SettingsIoPath(path), &error);
    if (!error.isEmpty())
        ShowApplicationError(this, error);   // the defaults apply; the file is left alone
    FileMajorVersion = s.MajorVersion;
    FileMinorVersion = s.MinorVersion;
    // The interface itself is re-captioned later, by SetLanguage. An index the box does not
    // have selects nothing, as -1 does.
    comboLanguage->setCurrentIndex(s.Language >= 0 && s.Language < comboLanguage->count() ? s.Language : -1);
    SetSenderMode(s.MailMode);
    SMTPConfigFile = s.SMTPConfigFile;
    NNTPConfigFile = s.NNTPConfigFile;
    QComboBox *const boxes[hbCount] = {edtTo, edtCC, edBCC, edtSubject, edSMTPName, edtName, edtReplyTo, edTempDir};
    for (int b = 0; b < hbCount; ++b)
        SetHistory(boxes[b], s.Histories[b]);
    SetInitialDir(FileDialog, s.FileDialogDir);
    SetInitialDir(LoadConfigDialog, s.LoadConfigDialogDir);
    SetInitialDir(SaveConfigDialog, s.SaveConfigDialogDir);
    SetInitialDir(SaveLogDialog, s.SaveLogDialogDir);
    cbJumpToProtocol->setChecked(s.JumpToProtocol);
    // The box's click handler is attached later, so restoring it explains nothing.
    cbUseMAPIAddresBook->setChecked(s.UseMAPIAddresBook);
    ReconnectAttempts = s.ReconnectAttempts;
    spinServerTimeout->setValue(s.ServerTimeout);
    cbUseZip->setChecked(s.UseZip);
    spinOneMessSizeDef->setValue(s.MessageSizeKb);
    spinOneMessageSize->setValue(s.MessageSizeKb);
    ShowFilesPerMessage();
}

void TMainForm::WriteSettings(const QString &path)
{
    TProgramSettings s;
    s.Language = comboLanguage->currentIndex();
    s.MailMode = IsMailMode();
    s.SMTPConfigFile = SMTPConfigFile;
    s.NNTPConfigFile = NNTPConfigFile;
    const QComboBox *const boxes[hbCount] = {edtTo, edtCC, edBCC, edtSubject, edSMTPName, edtName, edtReplyTo, edTempDir};
    for (int b = 0; b < hbCount; ++b)
        s.Histories[b] = History(boxes[b]);
    s.FileDialogDir = InitialDir(FileDialog);
    s.LoadConfigDialogDir = InitialDir(LoadConfigDialog);
    s.SaveConfigDialogDir = InitialDir(SaveConfigDialog);
    s.SaveLogDialogDir = InitialDir(SaveLogDialog);
    s.JumpToProtocol = cbJumpToProtocol->isChecked();
    s.UseMAPIAddresBook = cbUseMAPIAddresBook->isChecked();
    s.ReconnectAttempts = ReconnectAttempts;
    s.ServerTimeout = spinServerTimeout->value();
    s.UseZip = cbUseZip->isChecked();
    s.MessageSizeKb = spinOneMessSizeDef->value();
    // The version texts ("1" and "03") go through the program's own integer conversion, which
    // reports a version that is not numeric.
    ::WriteSettings(SettingsIoPath(path), s, TextToInt(VersionMajor), TextToInt(VersionMinor));
}

void TMainForm::AddToHistory(QComboBox *box)
{
    QStringList list = History(box);
    QString text = box->currentText();
    if (!::AddToHistory(list, text))
        return;
    SetHistory(box, list);
    if (box->currentText() != text)
        box->setEditText(text);
}

void TMainForm::AddEditToHistory(QComboBox *box)
{
    AddToHistory(box);
}

void TMainForm::InstallHistoryHandlers()
{
    auto *watcher = new THistoryExitWatcher(this);
    for (QComboBox *box : {edtTo, edtCC, edBCC, edtSubject, edSMTPName, edtName, edtReplyTo, edTempDir})
        box->installEventFilter(watcher);
}

void TMainForm::SetupTempDirBox()
{
    QStringList history = History(edTempDir);
    const QString shown = StartupTempDir(history, TempFolder());
    SetHistory(edTempDir, history);
    edTempDir->setCurrentIndex(0);
    edTempDir->setEditText(shown);
    // An archive a killed run left in the folder goes now.
    Archive::RemoveStaleArchives(shown);
}

void TMainForm::AskWindowsAddressBook()
{
    TProgramSettings read;
    read.MajorVersion = FileMajorVersion;
    read.MinorVersion = FileMinorVersion;
    if (!NeedsAddressBookQuestion(read))
        return;
    const bool use = ComMessageDlg(AddressBookQuestion(IsRussian()), mtConfirmation, {mbYes, mbNo}, 0) == mrYes;
    if (cbUseMAPIAddresBook->isChecked() == use)
        return;
    // As a click would: switching it on here explains the option.
    cbUseMAPIAddresBook->setChecked(use);
    cbUseMAPIAddresBookClick();
}

void TMainForm::cbUseMAPIAddresBookClick()
{
    if (!cbUseMAPIAddresBook->isChecked())
        return;
    ComMessageDlg(Text(TextId::SystemAddressBookHelp), mtInformation, {mbOK, mbHelp}, 8);
}
