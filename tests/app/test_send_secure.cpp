// Secure delivery through the real window: STARTTLS with a login against aiosmtpd, certificates
// made by openssl for the test and trusted through the component's test-only CA setting; the
// secret asked once per run and found in no file and no protocol line; a certificate that does
// not verify trusted on the user's word and pinned; the keyring through a real Secret Service
// (run by the keyring test entry inside a private D-Bus session).
#include "send_test_support.h"

#include "Keyring.h"
#include "Profiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>

using namespace sendtest;

namespace {

const QString Secret = QStringLiteral("Zq8-window-secret-4711");

bool OpenSsl(const QString &dir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("openssl"), args);
    return p.waitForFinished(60000) && p.exitCode() == 0;
}

// ca.pem; good.pem (signed by the CA, for 127.0.0.1); self.pem and other.pem (self-signed).
void MakePki(const QString &dir)
{
    const QStringList key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    ASSERT_TRUE(OpenSsl(dir, QStringList{"req", "-x509"} + key
                                 + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                                               "/CN=Window Test CA", "-addext", "basicConstraints=critical,CA:TRUE"}));
    ASSERT_TRUE(OpenSsl(dir, QStringList{"req"} + key
                                 + QStringList{"-keyout", "good.key", "-out", "good.csr", "-subj", "/CN=good.test"}));
    QFile ext(dir + "/good.ext");
    ASSERT_TRUE(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\n");
    ext.close();
    ASSERT_TRUE(OpenSsl(dir, {"x509", "-req", "-in", "good.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                              "-out", "good.pem", "-days", "2", "-extfile", "good.ext"}));
    for (const char *name : {"self", "other"})
        ASSERT_TRUE(OpenSsl(dir, QStringList{"req", "-x509"} + key
                                     + QStringList{"-keyout", QString(name) + ".key", "-out", QString(name) + ".pem",
                                                   "-days", "2", "-subj", QString("/CN=%1.test").arg(name), "-addext",
                                                   "subjectAltName=IP:127.0.0.1"}));
}

class SecureSendTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        MakePki(pki.path());
        QFile f(secretDir.filePath("secret"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(Secret.toUtf8());
        f.close();
        TMainForm::PasswordPrompt = [this](const QString &prompt) {
            prompts << prompt;
            return std::optional<QString>(Secret);
        };
    }
    void TearDown() override
    {
        TMainForm::PasswordPrompt = nullptr;
        WindowTest::TearDown();
    }
    QStringList ServerOptions(const QString &cert, bool implicit = false)
    {
        QStringList o = {"--tls-cert",      pki.filePath(cert + ".pem"),
                         "--tls-key",       pki.filePath(cert + ".key"),
                         "--login",         "alice",
                         "--password-file", secretDir.filePath("secret")};
        if (implicit)
            o << "--implicit";
        return o;
    }
    void Fill(int port, const QStringList &paths, int security)
    {
        form->edtTo->setEditText(QStringLiteral("to@example.org"));
        form->edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
        form->edPort->setText(QString::number(port));
        form->edAccount->setText(QStringLiteral("me@example.org"));
        form->Secure.Security = security;
        form->Secure.User = QStringLiteral("alice");
        if (!paths.isEmpty())
            AddThroughDialog(paths);
    }
    void Send() { form->btnSend->click(); }
    // With SENDORIX_EVIDENCE_DIR set: the prompts and both protocols of each Send, for a
    // closing note (the secret never appears in either).
    void Evidence(const char *step)
    {
        const QString dir = qEnvironmentVariable("SENDORIX_EVIDENCE_DIR");
        if (dir.isEmpty())
            return;
        QFile f(dir + "/refused-password.txt");
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(QStringLiteral("==== %1\nPrompt: %2\n-- SMTP dialogue (as the client's events show it)\n%3-- English "
                               "protocol\n%4\n-- Russian protocol\n%5\nStatus: %6\n\n")
                    .arg(step, prompts.join(" | "), wire, form->EnglishProtocol.join('\n'),
                         form->RussianProtocol.join('\n'), form->StatusText)
                    .toUtf8());
        wire.clear();
    }
    // The SMTP lines of the sends, for the evidence (secrets are masked by the client).
    void RecordWire()
    {
        if (qEnvironmentVariable("SENDORIX_EVIDENCE_DIR").isEmpty())
            return;
        form->VokSMTP.OnSendTextToSocket = [this, original = form->VokSMTP.OnSendTextToSocket](void *s,
                                                                                                  const std::string &t) {
            // Commands only: the message's lines between DATA and its end are left out.
            if (!inData)
                wire += "C: " + QString::fromStdString(t);
            if (t == "DATA\r\n")
                inData = true, wire += "C: (the message)\n";
            if (t.find("\r\n.\r\n") != std::string::npos)
                inData = false, wire += "C: .\r\n";
            if (original)
                original(s, t);
        };
        form->VokSMTP.OnReceiveTextFromSocket = [this, original = form->VokSMTP.OnReceiveTextFromSocket](
                                                    void *s, const std::string &t) {
            wire += "S: " + QString::fromStdString(t);
            if (original)
                original(s, t);
        };
    }
    QString wire;
    bool inData = false;

    QTemporaryDir pki, secretDir, written;
    QStringList prompts;
};

TEST_F(SecureSendTest, StartTlsWithALoginAskedOncePerRunAndKeptOutOfEveryFile)
{
    SmtpSink sink(ServerOptions("good"));
    form->VokSMTP.ExtraCaFile = pki.filePath("ca.pem").toStdString();
    const QStringList paths = MakeFiles({"a.bin", "b.bin", "c.bin"});
    Fill(sink.port, paths, 1);
    Send();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(form->EnglishProtocol.last(), "All done");
    ASSERT_EQ(sink.Count(), 3);
    for (int n = 1; n <= 3; ++n) {
        QFile f(paths[n - 1]);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(sink.Attachment(n, 1), f.readAll());
    }
    // The second job of this run takes the secret from memory.
    Send();
    EXPECT_EQ(sink.Count(), 6);
    EXPECT_EQ(prompts, QStringList{"Password of alice on 127.0.0.1:"});
    EXPECT_TRUE(form->VokSMTP.Password.empty()) << "the secret stays only while a job runs";

    // Everything the program writes: the protocol, the profile, the settings file.
    TMainForm::FileDialogsTest::QueueAnswer({written.filePath("protocol.log")});
    form->btnSaveLog->click();
    ComDialogsTest::QueueAnswer(mrOk);
    form->SaveSMTPProfile(written.filePath("office.smt"));
    form->WriteSettings(written.filePath("Sendorix.cfg"));
    int files = 0;
    for (QDirIterator it(written.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_FALSE(f.readAll().contains(Secret.toUtf8())) << f.fileName().toStdString();
        ++files;
    }
    EXPECT_EQ(files, 3);
    EXPECT_FALSE((form->EnglishProtocol + form->RussianProtocol).join('\n').contains(Secret));
    EXPECT_EQ(LoadSMTPProfile(written.filePath("office.smt")).Security, 1);
}

TEST_F(SecureSendTest, AnUntrustedCertificateIsPinnedOnConsentAndAnotherIsAskedAgain)
{
    SmtpSink sink(ServerOptions("self", true));
    Fill(sink.port, MakeFiles({"a.bin"}), 2);
    ComDialogsTest::QueueAnswer(mrYes);
    Send();
    QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].Text.contains("The certificate of the server 127.0.0.1 did not verify: unknown issuer"))
        << log[0].Text.toStdString();
    EXPECT_TRUE(log[0].Text.contains("self.test"));
    const QString pinned = form->Secure.TrustedCertificate;
    EXPECT_EQ(pinned.size(), 32 * 3 - 1);
    EXPECT_TRUE(log[0].Text.contains(pinned));
    EXPECT_TRUE(form->SettingsChanged);
    EXPECT_EQ(sink.Count(), 1);
    EXPECT_EQ(form->EnglishProtocol.last(), "All done");

    // The same certificate again: accepted without a question.
    Send();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(sink.Count(), 2);

    // Another certificate for the same server: asked again; refused, nothing is sent.
    SmtpSink other(ServerOptions("other", true));
    form->edPort->setText(QString::number(other.port));
    ComDialogsTest::QueueAnswer(mrNo);
    Send();
    log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].Text.contains("other.test"));
    EXPECT_EQ(form->Secure.TrustedCertificate, pinned);
    EXPECT_EQ(other.Count(), 0);
    EXPECT_TRUE(form->EnglishProtocol.last().startsWith("Error server connection: The certificate of 127.0.0.1"))
        << form->EnglishProtocol.last().toStdString();
}

// The user decides about the server's certificate before giving it a secret: the password is
// asked only after the certificate question, and never for a certificate refused.
TEST_F(SecureSendTest, TheCertificateIsTrustedBeforeThePasswordIsAsked)
{
    SmtpSink sink(ServerOptions("self", true));
    Fill(sink.port, MakeFiles({"a.bin"}), 2);
    bool asked = false;
    QList<TShownMessageDlg> shownBeforePrompt;
    TMainForm::PasswordPrompt = [&](const QString &) {
        asked = true;
        shownBeforePrompt = ComDialogsTest::TakeLog();
        return std::optional<QString>(Secret);
    };
    ComDialogsTest::QueueAnswer(mrYes);
    Send();
    ASSERT_TRUE(asked);
    ASSERT_EQ(shownBeforePrompt.size(), 1);
    EXPECT_TRUE(shownBeforePrompt[0].Text.contains("did not verify")) << shownBeforePrompt[0].Text.toStdString();
    EXPECT_EQ(sink.Count(), 1);

    SmtpSink other(ServerOptions("other", true));
    form->edPort->setText(QString::number(other.port));
    asked = false;
    ComDialogsTest::QueueAnswer(mrNo);
    Send();
    EXPECT_EQ(ComDialogsTest::TakeLog().size(), 1);
    EXPECT_FALSE(asked) << "no secret for a server the user did not trust";
    EXPECT_EQ(other.Count(), 0);
}

// Trusting a certificate keeps its pin in the profile in use at once (the user changed no
// field: quitting asks nothing); the close question, when it comes, has Cancel.
TEST_F(SecureSendTest, ATrustedCertificateGoesIntoTheProfileInUseWithoutAQuestion)
{
    SmtpSink sink(ServerOptions("self", true));
    Fill(sink.port, MakeFiles({"a.bin"}), 2);
    const QString profile = written.filePath("office.smt");
    ComDialogsTest::QueueAnswer(mrOk);   // "Settings saved"
    form->SaveSMTPProfile(profile);
    ComDialogsTest::TakeLog();
    form->SettingsChanged = false;
    ComDialogsTest::QueueAnswer(mrYes);   // trust it
    Send();
    const QList<TShownMessageDlg> trust = ComDialogsTest::TakeLog();
    ASSERT_EQ(trust.size(), 1);
    EXPECT_TRUE(trust[0].Buttons.Contains(mbHelp));
    EXPECT_EQ(trust[0].HelpContext, ProviderHelpContext);
    EXPECT_EQ(sink.Count(), 1);
    EXPECT_FALSE(form->Secure.TrustedCertificate.isEmpty());
    EXPECT_EQ(LoadSMTPProfile(profile).TrustedCertificate, form->Secure.TrustedCertificate);
    EXPECT_FALSE(form->SettingsChanged);
    bool canClose = false;
    form->FormCloseQuery(canClose);
    EXPECT_TRUE(canClose);
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty()) << "nothing to ask on quitting";

    form->SettingsChanged = true;
    ComDialogsTest::QueueAnswer(mrCancel);
    form->FormCloseQuery(canClose);
    const QList<TShownMessageDlg> asked = ComDialogsTest::TakeLog();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].Buttons.Contains(mbCancel));
    EXPECT_FALSE(canClose) << "Cancel keeps the window";
}

TEST_F(SecureSendTest, AMessageOverTheServersLimitIsRefusedInBothLanguages)
{
    SmtpSink sink(ServerOptions("good") + QStringList{"--size", "3000"});
    form->VokSMTP.ExtraCaFile = pki.filePath("ca.pem").toStdString();
    Fill(sink.port, MakeFiles({"small.bin", "big.bin", "big2.bin", "big3.bin", "big4.bin"}), 1);
    Send();
    EXPECT_EQ(sink.Count(), 2);   // files of 700 and 1400 bytes fit; the 2100-byte one's message does not
    const QStringList en = form->EnglishProtocol, ru = form->RussianProtocol;
    const auto limitLine = [](const QStringList &lines, const QString &start) {
        for (const QString &l : lines)
            if (l.startsWith(start))
                return l;
        return QString();
    };
    EXPECT_TRUE(limitLine(en, "The message has ").endsWith("the server accepts at most 3000 bytes"))
        << en.join('\n').toStdString();
    EXPECT_TRUE(limitLine(ru, "Сообщение занимает ").endsWith("сервер принимает не больше 3000 байт"));
    EXPECT_TRUE(en.contains("Transfer... cancelled by error."));
    // The closing line and the status line in the interface's language, whole.
    EXPECT_TRUE(ru.last().contains("Сообщение занимает ") && !ru.last().contains("The message"))
        << ru.last().toStdString();
    EXPECT_TRUE(en.last().contains("The message has ")) << en.last().toStdString();
    PickLanguage(1);
    Send();
    EXPECT_TRUE(form->StatusText.contains("сервер принимает не больше 3000 байт")) << form->StatusText.toStdString();
    EXPECT_FALSE(form->StatusText.contains("accepts"));
    PickLanguage(0);
}

// A message of exactly the server's limit goes out: the size announced with SIZE is what the
// server counts, the empty line before the end-of-data dot included.
TEST_F(SecureSendTest, AMessageOfExactlyTheServersLimitGoesOut)
{
    form->VokSMTP.ExtraCaFile = pki.filePath("ca.pem").toStdString();
    uint64_t size = 0;
    {
        SmtpSink unlimited(ServerOptions("good"));
        Fill(unlimited.port, MakeFiles({"one.bin"}), 1);
        Send();
        ASSERT_EQ(unlimited.Count(), 1);
        size = form->VokSMTP.MessageSize;
    }
    ASSERT_GT(size, 0u);
    // The same message again (only its date and ids change, at the same width).
    SmtpSink sink(ServerOptions("good") + QStringList{"--size", QString::number(size)});
    form->edPort->setText(QString::number(sink.port));
    Send();
    EXPECT_EQ(form->VokSMTP.MessageSize, size);
    EXPECT_EQ(sink.Count(), 1);
    EXPECT_EQ(form->EnglishProtocol.last().toStdString(), "All done");
}

// A profile from elsewhere that carries a password command: the command is shown in full and
// runs only on the user's Yes; No keeps the profile without it; a Yes is remembered for exactly
// that command, in the settings file.
TEST_F(SecureSendTest, AReceivedProfileRunsItsPasswordCommandOnlyWhenTheUserSaysSo)
{
    SmtpSink sink(ServerOptions("good"));
    form->VokSMTP.ExtraCaFile = pki.filePath("ca.pem").toStdString();
    const QString marker = written.filePath("RAN");
    const QString command = QStringLiteral("touch '%1'; cat '%2'").arg(marker, secretDir.filePath("secret"));
    const QString profile = written.filePath("received.smt");
    QFile f(profile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("[SMTP]\nServer=127.0.0.1\nPort=%1\nAccount=me@example.org\nSecurity=1\nUser=alice\n"
                           "PasswordCommand=%2\n")
                .arg(sink.port)
                .arg(command)
                .toUtf8());
    f.close();
    form->edtTo->setEditText(QStringLiteral("to@example.org"));
    AddThroughDialog(MakeFiles({"a.bin"}));

    ComDialogsTest::QueueAnswer(mrNo);
    form->LoadSMTPProfile(profile);
    QList<TShownMessageDlg> asked = ComDialogsTest::TakeLog();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].Text.contains(command)) << "the whole command, as it would run";
    EXPECT_TRUE(form->Secure.PasswordCommand.isEmpty());
    EXPECT_EQ(form->Secure.User, "alice") << "the rest of the profile is taken";
    Send();
    EXPECT_EQ(sink.Count(), 1);
    EXPECT_EQ(prompts.size(), 1) << "the password is asked instead";
    EXPECT_FALSE(QFileInfo::exists(marker)) << "the refused command ran";

    ComDialogsTest::QueueAnswer(mrYes);
    form->LoadSMTPProfile(profile);
    EXPECT_EQ(ComDialogsTest::TakeLog().size(), 1);
    EXPECT_EQ(form->Secure.PasswordCommand, command);
    form->RunSecrets.clear();
    Send();
    EXPECT_EQ(sink.Count(), 2);
    EXPECT_TRUE(QFileInfo::exists(marker));
    EXPECT_EQ(prompts.size(), 1) << "the command gave the password";

    // Remembered in the settings file, not only in this run's memory.
    form->ApprovedThisRun.clear();
    form->LoadSMTPProfile(profile);
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(form->Secure.PasswordCommand, command);
}

// The sender page's Security dialog in both languages: the texts fit, a choice proposes the
// usual port while the field still says 25, and what is chosen reaches the window and its
// profile (the typed password only the run's memory).
TEST_F(SecureSendTest, TheSecurityDialogInBothLanguages)
{
    const QString shots = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    for (int language : {1, 0}) {
        SCOPED_TRACE(language);
        PickLanguage(language);
        form->Secure = TSecureSettings();
        form->RunSecrets.clear();
        form->edSMTPName->setEditText(QStringLiteral("smtp.example.org"));
        form->edPort->setText(QStringLiteral("  25"));
        form->PageControl->setCurrentWidget(form->TabSheet4);
        QApplication::processEvents();
        // The button sits beside the fields, whole.
        EXPECT_GE(form->btnSecurity->width(), form->btnSecurity->sizeHint().width());
        EXPECT_LE(form->btnSecurity->geometry().right(), form->SMTPPanel->width());
        EXPECT_FALSE(form->btnSecurity->geometry().intersects(form->edtReplyTo->geometry()));
        if (!shots.isEmpty())
            form->grab().save(QStringLiteral("%1/%2-sender-security.png").arg(shots, language ? "ru" : "en"));
        bool answered = false;
        QTimer::singleShot(0, [&] {
            auto *dialog = dynamic_cast<TSecurityDialog *>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            for (QLabel *label : dialog->findChildren<QLabel *>())
                EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
            EXPECT_EQ(dialog->windowTitle(), language ? "Безопасность" : "Security");
            dialog->comboSecurity->setCurrentIndex(1);
            EXPECT_EQ(dialog->Port(), "587");
            dialog->comboSecurity->setCurrentIndex(2);
            EXPECT_EQ(dialog->Port(), "465") << "a usual port follows the security";
            dialog->edUser->setText(QStringLiteral("alice"));
            dialog->edPassword->setText(Secret);
            dialog->comboAuthentication->setCurrentIndex(2);
            // A long command is shown whole, with no part scrolled out of sight; what the
            // user typed, broken over lines, is still one command.
            const QString command = QStringLiteral("secret-tool lookup service smtp.example.org user alice ")
                                    + QString(120, QLatin1Char('x'));
            dialog->edPasswordCommand->setPlainText(command);
            QApplication::processEvents();
            EXPECT_FALSE(dialog->edPasswordCommand->verticalScrollBar()->isVisible());
            EXPECT_EQ(dialog->Settings().PasswordCommand, command);
            dialog->edPasswordCommand->setPlainText(QStringLiteral("pass show\nmail"));
            EXPECT_EQ(dialog->Settings().PasswordCommand, "pass show mail");
            dialog->edPasswordCommand->clear();
            if (!shots.isEmpty())
                dialog->grab().save(QStringLiteral("%1/%2-security-dialog.png").arg(shots, language ? "ru" : "en"));
            answered = true;
            dialog->accept();
        });
        form->btnSecurity->click();
        ASSERT_TRUE(answered);
        EXPECT_EQ(form->Secure.Security, 2);
        EXPECT_EQ(form->Secure.User, "alice");
        EXPECT_EQ(form->Secure.Authentication, 2);
        EXPECT_FALSE(form->Secure.RememberPassword);
        EXPECT_EQ(form->edPort->text().trimmed(), "465");
        EXPECT_TRUE(form->SettingsChanged);
        // Kept for whatever server and port the next job has, not yet for one of them.
        EXPECT_EQ(form->TypedSecret, Secret);
        EXPECT_TRUE(form->RunSecrets.isEmpty());
        // A job for that login takes the typed password without asking.
        EXPECT_EQ(form->ObtainSecret(QStringLiteral("smtp.example.org"), QStringLiteral("465")), Secret);
        EXPECT_TRUE(prompts.isEmpty());
    }
}

// The Security dialog in both languages says where the password comes from (as looked up),
// shows the trusted certificate with a way to forget it, proposes the usual port whenever the
// security changes and the port is a usual one, greys what does not apply, and has one name
// with its button.
TEST_F(SecureSendTest, TheSecurityDialogSaysWhatIsTrue)
{
    const QString shots = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    const QString fingerprint = QStringLiteral("AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:"
                                               "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89");
    for (const int language : {0, 1}) {
        SCOPED_TRACE(language);
        PickLanguage(language);
        const bool ru = language == 1;
        EXPECT_EQ(form->btnSecurity->text(), ru ? "Безопасность..." : "Security...");
        TSecureSettings settings;
        settings.User = "alice";
        settings.RememberPassword = true;
        settings.TrustedCertificate = fingerprint;
        const std::pair<TKeyringState, const char *> states[] = {
            {TKeyringState::Stored, ru ? "хранится в связке ключей" : "stored in the keyring"},
            {TKeyringState::NotStored, ru ? "ещё не сохранён: будет спрошен при отправке и сохранён, когда сервер его примет"
                                          : "not stored yet: asked at the next Send and stored once the server accepts it"},
            {TKeyringState::NoKeyring, ru ? "связки ключей нет: спрашивается раз за запуск программы"
                                          : "no keyring: asked once per run"},
        };
        for (const auto &[state, text] : states) {
            TSecurityDialog dialog(form.get(), settings, "587", state);
            EXPECT_EQ(dialog.windowTitle() + "...", form->btnSecurity->text());
            EXPECT_EQ(dialog.lblPasswordState->text(), QString::fromUtf8(text));
            dialog.cbRemember->setChecked(false);
            EXPECT_EQ(dialog.lblPasswordState->text(), ru ? "спрашивается раз за запуск программы" : "asked once per run");
        }
        TSecurityDialog dialog(form.get(), settings, "25", TKeyringState::Stored);
        dialog.show();
        QApplication::processEvents();
        for (QLabel *label : dialog.findChildren<QLabel *>())
            if (!label->wordWrap()) {
                EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
            }
        EXPECT_GE(dialog.height(), 4 * dialog.edUser->height() + 6 * dialog.fontMetrics().height());
        if (!shots.isEmpty())
            dialog.grab().save(QStringLiteral("%1/%2-security-states.png").arg(shots, ru ? "ru" : "en"));
        // The certificate: seen, then forgotten.
        EXPECT_EQ(dialog.lblCertificate->text(), fingerprint);
        dialog.btnForgetCertificate->click();
        EXPECT_TRUE(dialog.Settings().TrustedCertificate.isEmpty());
        EXPECT_FALSE(dialog.btnForgetCertificate->isEnabled());
        EXPECT_TRUE(dialog.lblCertificate->text().startsWith(ru ? "нет" : "none"));
        // A command stands in for the password; no user, no login fields.
        dialog.edPassword->setText("typed");
        dialog.edPasswordCommand->setPlainText("pass show mail");
        EXPECT_EQ(dialog.lblPasswordState->text(), ru ? "берётся из команды пароля" : "from the password command");
        EXPECT_FALSE(dialog.edPassword->isEnabled());
        EXPECT_FALSE(dialog.cbRemember->isEnabled());
        EXPECT_TRUE(dialog.Password().isEmpty()) << "a password the command replaces is not kept";
        dialog.edUser->clear();
        for (QWidget *w : std::initializer_list<QWidget *>{dialog.edPassword, dialog.cbRemember,
                                                           dialog.comboAuthentication, dialog.edPasswordCommand})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        dialog.edUser->setText("alice");
        EXPECT_TRUE(dialog.comboAuthentication->isEnabled());
    }
    // Port proposals: a usual port follows the security; another port is the user's own.
    const struct {
        const char *port;
        int security;
        const char *proposed;
    } ports[] = {{"25", 1, "587"}, {"  25", 2, "465"}, {"587", 2, "465"}, {"465", 1, "587"},
                 {"465", 0, "25"}, {"2525", 1, "2525"}, {"587", 1, "587"}};
    for (const auto &p : ports)
        EXPECT_EQ(ProposedPort(p.security, p.port), p.proposed) << p.port << " " << p.security;
}

// One login after another against aiosmtpd, each row a Send: what the user answers (or the
// password command), what the prompt said, what the protocol ends on, and what arrived. A
// refused secret is never sent again unasked; the prompt shows the server's reply.
TEST_F(SecureSendTest, LoginOutcomesOneSendAfterAnother)
{
    SmtpSink sink(ServerOptions("good"));
    form->VokSMTP.ExtraCaFile = pki.filePath("ca.pem").toStdString();
    Fill(sink.port, MakeFiles({"a.bin"}), 1);
    QStringList answers;
    TMainForm::PasswordPrompt = [&](const QString &prompt) {
        prompts << prompt;
        return answers.isEmpty() ? std::optional<QString>() : std::optional<QString>(answers.takeFirst());
    };
    RecordWire();
    const QString refused = "535 5.7.8 Authentication credentials invalid";
    const QString plainPrompt = "Password of alice on 127.0.0.1:";
    const QString refusedPrompt = "The server refused the password: " + refused + "\n\n" + plainPrompt;
    const QString refusedLine = "The server refused the login: " + refused
                                + ". Check the user name and the password (the Security... button); the next Send "
                                  "asks for the password again.";
    struct Row {
        const char *name;
        QString answer, command;
        QString prompt;     // empty: not asked
        QString lastLine;   // the English protocol's
        int arrived;
    } rows[] = {
        {"a mistyped password", "wrong", {}, plainPrompt, refusedLine, 0},
        {"asked again with the reply; mistyped again", "wrong", {}, refusedPrompt, refusedLine, 0},
        {"asked again; accepted", Secret, {}, refusedPrompt, "All done", 1},
        {"accepted before: not asked", {}, {}, {}, "All done", 2},
        {"a password command failing with its standard error", {}, "echo 'no entry for alice' >&2; exit 3", {},
         "The password command failed (exit code 3): no entry for alice", 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        prompts.clear();
        if (!row.answer.isEmpty())
            answers << row.answer;
        form->Secure.PasswordCommand = row.command;
        form->ApprovedThisRun.insert(row.command);
        Send();
        Evidence(row.name);
        EXPECT_EQ(prompts, row.prompt.isEmpty() ? QStringList() : QStringList{row.prompt});
        EXPECT_EQ(form->EnglishProtocol.last(), row.lastLine);
        EXPECT_EQ(sink.Count(), row.arrived);
        EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
        if (row.lastLine != "All done") {
            EXPECT_EQ(form->StatusText, row.lastLine);
        }
    }
    EXPECT_EQ(form->RussianProtocol.last(), "Команда пароля завершилась с ошибкой (код 3): no entry for alice");
    EXPECT_TRUE(answers.isEmpty());
    // A secret the server took earlier in the run and refuses now (changed meanwhile) is not
    // offered again from memory: the user is asked, with the reply.
    form->Secure.PasswordCommand.clear();
    const QString port = form->edPort->text();
    form->SecretAccepted("127.0.0.1", port, "old");
    form->SecretRefused("127.0.0.1", port, refused);
    prompts.clear();
    answers << "new";
    EXPECT_EQ(form->ObtainSecret("127.0.0.1", port), "new");
    EXPECT_EQ(prompts, QStringList{refusedPrompt});
}

// Runs only inside a session with a Secret Service (the keyring test entry starts one).
TEST(Keyring, RealSecretServiceKeepsThePasswordBetweenRuns)
{
    if (qEnvironmentVariableIsEmpty("SENDORIX_TEST_KEYRING"))
        GTEST_SKIP() << "needs the private keyring session of the keyring test entry";
    const QString key =
        Keyring::EntryKey(QStringLiteral("Mail.Example.org "), QStringLiteral("  587"), QStringLiteral("alice"));
    EXPECT_EQ(key, "alice@mail.example.org:587");
    QString read;
    EXPECT_EQ(Keyring::Read(key, read), Keyring::krNotFound);
    ASSERT_EQ(Keyring::Write(key, Secret), Keyring::krOk);
    ASSERT_EQ(Keyring::Read(key, read), Keyring::krOk);
    EXPECT_EQ(read, Secret);
    EXPECT_EQ(Keyring::Remove(key), Keyring::krOk);
    EXPECT_EQ(Keyring::Read(key, read), Keyring::krNotFound);
}

class KeyringWindowTest : public SecureSendTest
{
protected:
    void SetUp() override
    {
        SecureSendTest::SetUp();
        if (qEnvironmentVariableIsEmpty("SENDORIX_TEST_KEYRING"))
            GTEST_SKIP() << "needs the private keyring session of the keyring test entry";
    }
    // The window pointed at a server that wants the login, "Remember" ticked.
    void FillRemembering(const SmtpSink &sink)
    {
        form->VokSMTP.ExtraCaFile = pki.filePath("ca.pem").toStdString();
        Fill(sink.port, MakeFiles({"a.bin"}), 1);
        form->Secure.RememberPassword = true;
    }
};

TEST_F(KeyringWindowTest, ARememberedPasswordIsNotAskedInTheNextRun)
{
    SmtpSink sink(ServerOptions("good"));
    FillRemembering(sink);
    Send();
    EXPECT_EQ(prompts.size(), 1);
    EXPECT_EQ(sink.Count(), 1);
    // A new run: nothing in memory, the keyring answers.
    form->RunSecrets.clear();
    Send();
    EXPECT_EQ(prompts.size(), 1);
    EXPECT_EQ(sink.Count(), 2);
    Keyring::Remove(Keyring::EntryKey("127.0.0.1", form->edPort->text(), "alice"));
}

// "Remember" ticked: a mistyped password never reaches the keyring, also not when typed in the
// Security dialog; the one the server accepts does.
TEST_F(KeyringWindowTest, OnlyAPasswordTheServerAcceptedIsRemembered)
{
    SmtpSink sink(ServerOptions("good"));
    FillRemembering(sink);
    const QString key = Keyring::EntryKey("127.0.0.1", form->edPort->text(), "alice");
    QStringList answers = {"wrong", Secret};
    TMainForm::PasswordPrompt = [&](const QString &prompt) {
        prompts << prompt;
        return std::optional<QString>(answers.takeFirst());
    };
    QString stored;
    form->TypedSecret = "typed-wrong";   // as the Security dialog leaves it
    Send();
    EXPECT_EQ(sink.Count(), 0);
    EXPECT_TRUE(prompts.isEmpty()) << "the typed password was tried";
    EXPECT_EQ(Keyring::Read(key, stored), Keyring::krNotFound);
    Send();
    EXPECT_EQ(sink.Count(), 0);
    EXPECT_EQ(Keyring::Read(key, stored), Keyring::krNotFound);
    Send();
    EXPECT_EQ(sink.Count(), 1);
    ASSERT_EQ(Keyring::Read(key, stored), Keyring::krOk);
    EXPECT_EQ(stored, Secret);
    EXPECT_EQ(prompts.size(), 2);
    Keyring::Remove(key);
}

}   // namespace
