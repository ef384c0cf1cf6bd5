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
        return PickStr(russian, "срок действия истёк", "expired");
    if (reason == "wrong name")
        return PickStr(russian, "выдан на другое имя", "issued for another name");
    if (reason == "unknown issuer")
        return PickStr(russian, "неизвестный издатель", "unknown issuer");
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
        throw Exception(PickStr(russian, "Команда пароля не завершилась за минуту.",
                                "The password command did not finish within a minute."));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw Exception(PickStr(russian, "Команда пароля завершилась с ошибкой (код %1).",
                                "The password command failed (exit code %1).")
                            .arg(process.exitCode()));
    QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    out = out.section(QLatin1Char('\n'), 0, 0);
    if (out.endsWith(QLatin1Char('\r')))
        out.chop(1);
    if (out.isEmpty())
        throw Exception(PickStr(russian, "Команда пароля ничего не вывела.", "The password command printed nothing."));
    return out;
}

}  // namespace

void TMainForm::btnSecurityClick()
{
    TSecurityDialog dialog(this, Secure, edPort->text());
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
        ComMessageDlg(PickStr(IsRussian(), "Связка ключей недоступна: пароль хранится только до выхода из программы.",
                              "No keyring is available: the password is kept only until the program ends."),
                      mtWarning, {mbOK}, 0);
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
    const QString prompt = PickStr(russian, "Пароль пользователя %1 на сервере %2:", "Password of %1 on %2:")
                               .arg(Secure.User, server.trimmed());
    std::optional<QString> answer;
    if (PasswordPrompt) {
        answer = PasswordPrompt(prompt);
    } else {
        bool ok = false;
        const QString typed = QInputDialog::getText(this, PickStr(russian, "Пароль", "Password"), prompt,
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
    const QString text =
        PickStr(IsRussian(),
                "Профиль сервера содержит команду, которая будет выполнена для получения пароля:\n\n%1\n\n"
                "Выполнять эту команду? Отвечайте «Да», только если вы сами её написали или знаете, что она делает.",
                "The server profile contains a command to run for the password:\n\n%1\n\n"
                "Run this command? Answer Yes only if you wrote it yourself or know what it does.")
            .arg(VisibleText(command));
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
        PickStr(russian,
                "Сертификат сервера %1 не прошёл проверку: %2.\n\nВладелец: %3\nИздатель: %4\nSHA-256: %5\n\n"
                "Доверять именно этому сертификату для этого сервера?",
                "The certificate of the server %1 did not verify: %2.\n\nSubject: %3\nIssuer: %4\nSHA-256: %5\n\n"
                "Trust exactly this certificate for this server?")
            .arg(server.trimmed(), ReasonInWords(problem.Reason, russian), QString::fromStdString(problem.Subject),
                 QString::fromStdString(problem.Issuer), fingerprint);
    if (ComMessageDlg(text, mtWarning, {mbYes, mbNo}, 0) != mrYes)
        return false;
    Secure.TrustedCertificate = fingerprint;
    SettingsChanged = true;
    return true;
}
