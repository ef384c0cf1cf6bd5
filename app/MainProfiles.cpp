// Server profiles on the sender page: saving the sender fields to a profile file and loading
// them back, and the profile dialogs.
#include "MainForm.h"

#include "ComDialogs.h"
#include "Desktop.h"
#include "Global.h"
#include "Language.h"
#include "Profiles.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

namespace {

// The port field holds up to four digits; a hand-edited profile may hold anything.
QString PortText(const QString &stored)
{
    QString digits;
    for (const QChar c : stored)
        if (c.isDigit() && c.unicode() < 128)
            digits += c;
    return PortFieldText(digits.left(4));
}

} // namespace

// Presets a profile dialog for the current mode; returns its default extension.
static QString PrepareProfileDialog(TMainForm &f, QFileDialog *dialog, bool mail)
{
    if (TMainForm::InitialDir(dialog).isEmpty())
        TMainForm::SetInitialDir(dialog, SettingsFolder());   // where profiles live by default
    const QString preset = mail ? f.SMTPConfigFile : f.NNTPConfigFile;
    dialog->setProperty("sendorixPresetFile", preset);
    dialog->selectFile(preset.isEmpty() ? QString() : QFileInfo(preset).fileName());
    dialog->setNameFilters(DialogNameFilters(f.Msg(mail ? TextId::MailProfileFilter : TextId::NewsProfileFilter)));
    const QString ext = QString::fromLatin1(mail ? SMTPProfileExtension : NNTPProfileExtension);
    dialog->setDefaultSuffix(ext.mid(1));
    return ext;
}

// ---- profiles --------------------------------------------------------------------------------

void TMainForm::SaveSMTPProfile(const QString &path)
{
    TSMTPProfile p;
    p.Server = edSMTPName->currentText();
    p.Port = edPort->text();
    p.Account = edAccount->text();
    p.Name = edtName->currentText();
    p.Encoding = comboEncoding->currentIndex();
    p.ReplyTo = edtReplyTo->currentText();
    p.Security = Secure.Security;
    p.User = Secure.User;
    p.Authentication = Secure.Authentication;
    p.PasswordCommand = Secure.PasswordCommand;
    p.RememberPassword = Secure.RememberPassword;
    p.TrustedCertificate = Secure.TrustedCertificate;
    // A failed write throws: no "Settings saved" and the current profile stays the old one.
    ::SaveSMTPProfile(path, p);
    ComMessageDlg(Msg(TextId::SettingsSaved), mtInformation, {mbOK}, 0);
    SMTPConfigFile = path;
}

void TMainForm::LoadSMTPProfile(const QString &path)
{
    if (path.isEmpty())
        return;
    const TSMTPProfile p = ::LoadSMTPProfile(path);
    edSMTPName->setEditText(p.Server);
    edPort->setText(PortText(p.Port));
    edAccount->setText(p.Account);
    edtName->setEditText(p.Name);
    comboEncoding->setCurrentIndex(p.Encoding);
    edtReplyTo->setEditText(p.ReplyTo);
    Secure.Security = p.Security;
    Secure.User = p.User;
    Secure.Authentication = p.Authentication;
    // A profile may come from anybody: its command runs only once the user has seen it.
    Secure.PasswordCommand = ConfirmPasswordCommand(p.PasswordCommand) ? p.PasswordCommand : QString();
    Secure.RememberPassword = p.RememberPassword;
    Secure.TrustedCertificate = p.TrustedCertificate;
    SMTPConfigFile = path;
}

void TMainForm::SaveNNTPProfile(const QString &path)
{
    ::SaveNNTPProfile(path);
}

void TMainForm::LoadNNTPProfile(const QString &path)
{
    ::LoadNNTPProfile(path);
}

bool TMainForm::SaveProfileAs()
{
    const bool mail = IsMailMode();
    const QString ext = PrepareProfileDialog(*this, SaveConfigDialog, mail);
    QString file;
    if (!RunFileDialog(SaveConfigDialog, file))
        return false;
    file = WithDefaultExtension(file, ext);
    if (mail)
        SaveSMTPProfile(file);
    else
        SaveNNTPProfile(file);
    SetInitialDir(SaveConfigDialog, QFileInfo(file).absolutePath());
    SettingsChanged = false;
    return true;
}

void TMainForm::btnSaveConfigClick()
{
    RunGuarded(this, [this] { SaveProfileAs(); });
}

void TMainForm::btnLoadConfigClick()
{
    RunGuarded(this, [this] {
        // A cancelled save does not stop the load; a failed one does (its error is shown), so
        // the unsaved fields are not overwritten by the loaded profile.
        if (SettingsChanged
            && ComMessageDlg(Msg(TextId::SaveSenderSettings), mtConfirmation, {mbYes, mbNo}, 0) == mrYes)
            SaveProfileAs();
        const bool mail = IsMailMode();
        const QString ext = PrepareProfileDialog(*this, LoadConfigDialog, mail);
        QString file;
        if (!RunFileDialog(LoadConfigDialog, file))
            return;
        // A name typed without extension means the profile with one, unless it exists as typed.
        if (!QFileInfo::exists(file))
            file = WithDefaultExtension(file, ext);
        if (mail)
            LoadSMTPProfile(file);
        else
            LoadNNTPProfile(file);
        SetInitialDir(LoadConfigDialog, QFileInfo(file).absolutePath());
        SettingsChanged = false;
    });
}
