// Secure delivery in the window: the sender's security dialog, where the secret comes from
// (password command, this run's memory, the keyring, or the user), and the question about a
// server certificate that does not verify.
#include "MainForm.h"

#include "AppHelp.h"
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

// The first lines of what a failed command wrote to its standard error, on one line.
QString ErrorLines(QProcess &process)
{
    QStringList lines = QString::fromLocal8Bit(process.readAllStandardError()).split(QLatin1Char('\n'));
    for (QString &l : lines)
        l = VisibleText(l.trimmed());
    lines.removeAll(QString());
    QString text = lines.mid(0, 3).join(QStringLiteral(" / "));
    if (text.size() > 300)
        text = text.left(299) + QChar(0x2026);
    return text;
}

// The first line of what the command printed; the command runs without a terminal. A command
// that fails gives why, in both languages.
TSecretAnswer RunPasswordCommand(const QString &command)
{
    TSecretAnswer answer;
    auto fail = [&answer](auto text) {
        answer.ErrorRussian = text(true);
        answer.ErrorEnglish = text(false);
        return answer;
    };
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
        return fail([](bool r) { return TextIn(r, TextId::PasswordCommandTimedOut); });
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        // A command killed by a signal has no exit code of its own: the shell's 128 + signal.
        const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128 + 9;
        const QString errors = ErrorLines(process);
        if (errors.isEmpty())
            return fail([code](bool r) { return TextIn(r, TextId::PasswordCommandFailed, code); });
        return fail([&](bool r) { return TextIn(r, TextId::PasswordCommandFailedOutput, code, errors); });
    }
    QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    out = out.section(QLatin1Char('\n'), 0, 0);
    if (out.endsWith(QLatin1Char('\r')))
        out.chop(1);
    if (out.isEmpty())
        return fail([](bool r) { return TextIn(r, TextId::PasswordCommandSilent); });
    answer.Secret = out;
    answer.FromCommand = true;
    return answer;
}

}  // namespace

namespace {

// What the keyring holds for the login now: the dialog says what is true, not what was asked.
TKeyringState KeyringStateOf(const TSecureSettings &secure, const QString &server, const QString &port)
{
    if (secure.User.isEmpty() || !secure.RememberPassword)
        return TKeyringState::NotLookedUp;
    QString stored;
    switch (Keyring::Read(Keyring::EntryKey(server, port, secure.User), stored)) {
    case Keyring::krOk:
        stored.fill(QChar(0));
        return TKeyringState::Stored;
    case Keyring::krNotFound:
        return TKeyringState::NotStored;
    default:
        return TKeyringState::NoKeyring;
    }
}

}  // namespace

void TMainForm::btnSecurityClick()
{
    TSecurityDialog dialog(this, Secure, edPort->text(),
                           KeyringStateOf(Secure, edSMTPName->currentText(), edPort->text()));
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
    // Kept for the server and port of the next job (the user may type it before the server);
    // it reaches the keyring only once the server has accepted it.
    const QString typed = dialog.Password();
    if (!typed.isEmpty() && !Secure.User.isEmpty())
        TypedSecret = typed;
}

TSecretAnswer TMainForm::SecretForJob(const QString &server, const QString &port)
{
    RememberOnAcceptance = false;
    if (!Secure.PasswordCommand.isEmpty()) {
        if (!ConfirmPasswordCommand(Secure.PasswordCommand))
            return {};
        return RunPasswordCommand(Secure.PasswordCommand);
    }
    TSecretAnswer answer;
    answer.Secret = ObtainSecret(server, port);
    return answer;
}

void TMainForm::SecretAccepted(const QString &server, const QString &port, const QString &secret)
{
    const QString key = Keyring::EntryKey(server, port, Secure.User);
    RefusedLogins.remove(key);
    if (Secure.PasswordCommand.isEmpty())
        RunSecrets.insert(key, secret);
    if (RememberOnAcceptance && Secure.RememberPassword)
        KeyringMissing = Keyring::Write(key, secret) != Keyring::krOk;
    RememberOnAcceptance = false;
}

void TMainForm::SecretRefused(const QString &server, const QString &port, const QString &reply)
{
    const QString key = Keyring::EntryKey(server, port, Secure.User);
    RunSecrets.remove(key);
    RefusedLogins.insert(key, reply);
    RememberOnAcceptance = false;
}

std::optional<QString> TMainForm::ObtainSecret(const QString &server, const QString &port)
{
    const bool russian = IsRussian();
    const QString key = Keyring::EntryKey(server, port, Secure.User);
    if (!TypedSecret.isEmpty()) {
        // Typed in the Security dialog: tried on this server, remembered once accepted.
        const QString typed = std::exchange(TypedSecret, QString());
        RunSecrets.insert(key, typed);
        RememberOnAcceptance = true;
        return typed;
    }
    // A secret the server refused is not tried again: the user is asked, with its reply.
    const bool refused = RefusedLogins.contains(key);
    if (!refused && RunSecrets.contains(key))
        return RunSecrets.value(key);
    if (!refused && Secure.RememberPassword) {
        QString stored;
        if (Keyring::Read(key, stored) == Keyring::krOk) {
            RunSecrets.insert(key, stored);
            return stored;
        }
    }
    const QString prompt = refused ? TextIn(russian, TextId::PasswordPromptRefused, RefusedLogins.value(key),
                                            Secure.User, server.trimmed())
                                   : TextIn(russian, TextId::PasswordPrompt, Secure.User, server.trimmed());
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
    // Kept for this run once the server takes it; in the keyring too when asked to.
    RememberOnAcceptance = true;
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
    if (ComMessageDlg(text, mtWarning, {mbYes, mbNo, mbHelp}, ProviderHelpContext) != mrYes)
        return false;
    Secure.TrustedCertificate = fingerprint;
    // Kept in the profile in use at once: the user changed no field, so quitting must not
    // ask to save; without a profile the settings ask to be saved as before.
    bool saved = false;
    if (!SMTPConfigFile.isEmpty()) {
        try {
            SaveTrustedCertificate(SMTPConfigFile, fingerprint);
            saved = true;
        } catch (const EIniFileError &) {
            // kept in the window; the close question offers to save it
        }
    }
    if (!saved)
        SettingsChanged = true;
    return true;
}
