// Secure delivery in the window: the sender's security dialog, where the secret comes from
// (password command, this run's memory, the keyring, or the user), and the question about a
// server certificate that does not verify.
#include "MainForm.h"

#include "ComDialogs.h"
#include "Global.h"
#include "Keyring.h"
#include "Language.h"
#include "Profiles.h"
#include "IniFile.h"
#include "ScreenFit.h"
#include "Settings.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QInputDialog>
#include <QLineEdit>
#include <QProcess>

std::function<std::optional<QString>(const QString &prompt)> TMainForm::PasswordPrompt;

namespace {

QString ReasonInWords(const std::string &reason, bool russian)
{
    if (reason == "expired")
        return TextIn(russian, TextId::CertificateExpired);
    if (reason == "wrong name")
        return TextIn(russian, TextId::CertificateOtherName);
    if (reason == "unknown issuer")
        return TextIn(russian, TextId::CertificateUnknownIssuer);
    return QString::fromStdString(reason);
}

// The first line of what the command printed; the command runs without a terminal.
QString RunPasswordCommand(const QString &command, bool russian)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    QDeadlineTimer deadline(60000);
    while (!process.waitForFinished(20) && process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QCoreApplication::processEvents();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
        throw Exception(TextIn(russian, TextId::PasswordCommandTimedOut));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw Exception(TextIn(russian, TextId::PasswordCommandFailed, process.exitCode()));
    QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    out = out.section(QLatin1Char('\n'), 0, 0);
    if (out.endsWith(QLatin1Char('\r')))
        out.chop(1);
    if (out.isEmpty())
        throw Exception(TextIn(russian, TextId::PasswordCommandSilent));
    return out;
}

}  // namespace

void TMainForm::btnSecurityClick()
{
    TSecurityDialog dialog(this, Secure, edPort->text());
    FitToScreen(&dialog);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const TSecureSettings chosen = dialog.Settings();
    if (!(chosen == Secure)) {
        // A command typed (or seen in full) in the dialog is the user's own.
        if (chosen.PasswordCommand != Secure.PasswordCommand)
            ApproveOwnPasswordCommand(chosen.PasswordCommand);
        Secure = chosen;
        SettingsChanged = true;
    }
    if (dialog.Port().trimmed() != edPort->text().trimmed())
        edPort->setText(PortFieldText(dialog.Port()));
    const QString typed = dialog.Password();
    if (typed.isEmpty() || Secure.User.isEmpty())
        return;
    const QString key = Keyring::EntryKey(edSMTPName->currentText(), edPort->text(), Secure.User);
    RunSecrets[key] = typed;
    if (Secure.RememberPassword && Keyring::Write(key, typed) != Keyring::krOk)
        ComMessageDlg(Text(TextId::NoKeyring), mtWarning, {mbOK}, 0);
}

std::optional<QString> TMainForm::ObtainSecret(const QString &server, const QString &port)
{
    const bool russian = IsRussian();
    if (!Secure.PasswordCommand.isEmpty()) {
        if (!ConfirmPasswordCommand(Secure.PasswordCommand))
            return std::nullopt;
        return RunPasswordCommand(Secure.PasswordCommand, russian);
    }
    const QString key = Keyring::EntryKey(server, port, Secure.User);
    if (RunSecrets.contains(key))
        return RunSecrets.value(key);
    if (Secure.RememberPassword) {
        QString stored;
        if (Keyring::Read(key, stored) == Keyring::krOk) {
            RunSecrets.insert(key, stored);
            return stored;
        }
    }
    const QString prompt = TextIn(russian, TextId::PasswordPrompt, Secure.User, server.trimmed());
    std::optional<QString> answer;
    if (PasswordPrompt) {
        answer = PasswordPrompt(prompt);
    } else {
        bool ok = false;
        const QString typed = QInputDialog::getText(this, TextIn(russian, TextId::PasswordTitle), prompt,
                                                    QLineEdit::Password, QString(), &ok);
        if (ok)
            answer = typed;
    }
    if (!answer)
        return std::nullopt;
    // Kept for this run; in the keyring too when asked to and one is there.
    RunSecrets.insert(key, *answer);
    if (Secure.RememberPassword)
        Keyring::Write(key, *answer);
    return answer;
}

void TMainForm::ApproveOwnPasswordCommand(const QString &command)
{
    if (command.isEmpty() || ApprovedThisRun.contains(command))
        return;
    ApprovedThisRun.insert(command);
    try {
        ApprovePasswordCommand(SettingsIoPath(SettingsFile), command);
    } catch (const EIniFileError &) {
        // Approved for this run; the next run asks again.
    }
}

bool TMainForm::ConfirmPasswordCommand(const QString &command)
{
    if (command.isEmpty() || ApprovedThisRun.contains(command)
        || PasswordCommandApproved(SettingsIoPath(SettingsFile), command))
        return true;
    const QString text = Text(TextId::RunPasswordCommand, VisibleText(command));
    if (ComMessageDlg(text, mtWarning, {mbYes, mbNo}, 0) != mrYes)
        return false;
    ApproveOwnPasswordCommand(command);
    return true;
}

bool TMainForm::TrustCertificate(const QString &server, const TCertificateProblem &problem)
{
    const bool russian = IsRussian();
    const QString fingerprint = QString::fromStdString(problem.Fingerprint);
    const QString text =
        TextIn(russian, TextId::TrustCertificate, server.trimmed(), ReasonInWords(problem.Reason, russian),
               QString::fromStdString(problem.Subject), QString::fromStdString(problem.Issuer), fingerprint);
    if (ComMessageDlg(text, mtWarning, {mbYes, mbNo}, 0) != mrYes)
        return false;
    Secure.TrustedCertificate = fingerprint;
    SettingsChanged = true;
    return true;
}
