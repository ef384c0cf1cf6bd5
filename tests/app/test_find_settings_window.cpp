// Find settings in the real window, offscreen: the button on the sender page, the dialog that
// shows what was found and where it came from, the fields filled only when the user accepts,
// the offer made once on leaving From with the server empty, the profile named after the
// domain, help, both languages; and against the test's DNS and HTTPS servers an SRV domain, a
// configuration-file domain, a plain-text-password file and a domain where nothing is found.
#include "FindSettingsDialog.h"
#include "Profiles.h"
#include "provider_test_support.h"
#include "window_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

using namespace providertest;

namespace {

// The text a label shows, without the invisible break points of long names.
QString Shown(const QLabel *l)
{
    QString t = l->text();
    t.remove(QChar(0x200B));
    return t;
}

// Runs `open`; when the Find settings dialog has finished looking (or at once when
// `whileSearching`), `act` looks at it and closes it. A watchdog closes a dialog left open.
bool WithDialog(const std::function<void()> &open, const std::function<void(TFindSettingsDialog &)> &act,
                bool whileSearching = false)
{
    bool seen = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *d = qobject_cast<TFindSettingsDialog *>(QApplication::activeModalWidget());
        if (!d || (d->Searching() && !whileSearching))
            return;
        poll.stop();
        seen = true;
        QApplication::processEvents();
        act(*d);
        if (d->isVisible()) {
            ADD_FAILURE() << "the test left the dialog open";
            d->reject();
        }
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<TFindSettingsDialog *>(w); d && d->isVisible())
                d->reject();
    });
    poll.start();
    watchdog.start(60000);
    open();
    poll.stop();
    return seen;
}

// Every text of the dialog a user sees is whole: inside the dialog, not cut, not on another.
void ExpectReadable(TFindSettingsDialog &d)
{
    QApplication::processEvents();
    QList<QWidget *> shown;
    for (QWidget *w : d.findChildren<QWidget *>())
        if (w->isVisible() && (qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w)))
            shown << w;
    ASSERT_FALSE(shown.isEmpty());
    for (QWidget *w : shown) {
        const std::string name = (w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName()).toStdString();
        const QRect r(w->mapTo(&d, QPoint(0, 0)), w->size());
        EXPECT_TRUE(d.rect().contains(r)) << name << " leaves the dialog";
        if (auto *l = qobject_cast<QLabel *>(w)) {
            if (l->wordWrap()) {
                EXPECT_GE(l->height(), l->heightForWidth(l->width())) << name << " is cut";
            } else {
                EXPECT_GE(l->width(), l->sizeHint().width()) << name << " is cut";
            }
        } else {
            EXPECT_GE(w->width(), w->sizeHint().width()) << name << " is cut";
        }
        for (QWidget *o : shown) {
            if (o == w || o->isAncestorOf(w) || w->isAncestorOf(o))
                continue;
            const QRect q(o->mapTo(&d, QPoint(0, 0)), o->size());
            EXPECT_FALSE(r.intersects(q)) << name << " overlaps " << o->objectName().toStdString();
        }
    }
}

class FindSettingsWindow : public WindowTestBase {
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        form = Start();
        ComDialogsTest::TakeLog();
        form->PageControl->setCurrentWidget(form->TabSheet4);
        QApplication::setActiveWindow(form.get());
        TMainForm::SetInitialDir(form->SaveConfigDialog, profiles.path());
    }

    // The sender page as a user left it before looking.
    void Fill(const QString &from)
    {
        form->edAccount->setText(from);
        form->edSMTPName->setEditText("old.example.org");
        form->edPort->setText("  25");
        form->Secure = TSecureSettings();
        form->Secure.TrustedCertificate = "AA:BB";
        form->SettingsChanged = false;
    }
    void ExpectUnchanged()
    {
        EXPECT_EQ(form->edSMTPName->currentText(), "old.example.org");
        EXPECT_EQ(form->edPort->text(), "  25");
        EXPECT_EQ(form->Secure.Security, 0);
        EXPECT_TRUE(form->Secure.User.isEmpty());
        EXPECT_FALSE(form->SettingsChanged);
    }

    QTemporaryDir profiles;
};

TEST_F(FindSettingsWindow, TheButtonShowsWhatWasFoundAndFillsTheFieldsOnlyOnAcceptance)
{
    TMainForm &f = *form;
    for (int language : {0, 1}) {
        PickLanguage(language);
        const bool ru = language == 1;
        SCOPED_TRACE(ru ? "Russian" : "English");
        EXPECT_EQ(f.btnFindSettings->text(), ru ? "Найти настройки" : "Find settings");
        EXPECT_FALSE(f.btnFindSettings->toolTip().isEmpty());
        EXPECT_TRUE(f.btnFindSettings->isVisible());
        EXPECT_EQ(f.btnFindSettings->parentWidget(), f.SMTPPanel);

        // Looked at, then cancelled: nothing changes.
        Fill("Anna <anna@gmail.com>");
        EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                               [&](TFindSettingsDialog &d) {
                                   EXPECT_EQ(d.windowTitle(), ru ? "Поиск настроек сервера" : "Find server settings");
                                   EXPECT_EQ(Shown(d.lblHost), "smtp.gmail.com");
                                   EXPECT_EQ(Shown(d.lblPort), "465");
                                   EXPECT_EQ(Shown(d.lblSecurity), "SSL/TLS");
                                   EXPECT_EQ(Shown(d.lblUser), "anna@gmail.com");
                                   EXPECT_TRUE(Shown(d.lblSource).contains("Gmail"));
                                   EXPECT_TRUE(Shown(d.lblSource).contains("developers.google.com"));
                                   EXPECT_TRUE(Shown(d.lblNote).contains(ru ? "пароль приложения" : "app password"))
                                       << Shown(d.lblNote).toStdString();
                                   EXPECT_TRUE(d.btnUse->isVisible());
                                   EXPECT_EQ(d.btnUse->text(), ru ? "Использовать" : "Use these settings");
                                   EXPECT_FALSE(d.lblWarning->isVisible());
                                   // The provider's page opens through the window's opener.
                                   emit d.lblNote->linkActivated("https://myaccount.google.com/apppasswords");
                                   // Nothing is filled while the dialog is open.
                                   ExpectUnchanged();
                                   ExpectReadable(d);
                                   d.btnCancel->click();
                               }));
        ExpectUnchanged();
        EXPECT_EQ(opened.takeLast(), "https://myaccount.google.com/apppasswords");

        // Accepted: the server, port, security and login name are filled in.
        EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); }, [&](TFindSettingsDialog &d) { d.btnUse->click(); }));
        EXPECT_EQ(f.edSMTPName->currentText(), "smtp.gmail.com");
        EXPECT_EQ(f.edPort->text(), " 465");
        EXPECT_EQ(f.Secure.Security, 2);
        EXPECT_EQ(f.Secure.User, "anna@gmail.com");
        EXPECT_EQ(f.Secure.Authentication, 0);
        EXPECT_TRUE(f.Secure.TrustedCertificate.isEmpty()) << "a certificate trusted for the old server was kept";
        EXPECT_TRUE(f.SettingsChanged);
        EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    }

    // A provider that wants OAuth2 sets it; the next one without sets it back.
    Fill("x@outlook.com");
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); }, [&](TFindSettingsDialog &d) { d.btnUse->click(); }));
    EXPECT_EQ(f.edSMTPName->currentText(), "smtp-mail.outlook.com");
    EXPECT_EQ(f.Secure.Security, 1);
    EXPECT_EQ(f.Secure.Authentication, 3);
    f.edAccount->setText("x@yandex.ru");
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); }, [&](TFindSettingsDialog &d) { d.btnUse->click(); }));
    EXPECT_EQ(f.Secure.Authentication, 0);
}

TEST_F(FindSettingsWindow, LeavingFromWithTheServerEmptyOffersTheLookupOnce)
{
    TMainForm &f = *form;
    f.edSMTPName->setEditText(QString());
    f.edAccount->setText("anna@mail.ru");
    f.edAccount->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ComDialogsTest::TakeLog();

    ComDialogsTest::QueueAnswer(mrNo);
    f.edtName->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].DlgType, mtConfirmation);
    EXPECT_TRUE(boxes[0].Text.contains("mail.ru")) << boxes[0].Text.toStdString();
    EXPECT_TRUE(f.edSMTPName->currentText().isEmpty());

    // Once per run: leaving From again asks nothing.
    f.edAccount->setFocus(Qt::TabFocusReason);
    f.edtName->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());

    // Switching to another window is not leaving the field; a filled server field asks nothing.
    f.FindSettingsOffered = false;
    f.edAccount->setFocus(Qt::TabFocusReason);
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(f.edAccount, &away);
    QApplication::processEvents();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    f.edSMTPName->setEditText("smtp.example.org");
    f.edtName->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_FALSE(f.FindSettingsOffered);

    // Yes: the dialog, and the fields filled once accepted (here in Russian).
    PickLanguage(1);
    f.edSMTPName->setEditText(QString());
    f.edAccount->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ComDialogsTest::QueueAnswer(mrYes);
    EXPECT_TRUE(WithDialog(
        [&] {
            f.edtName->setFocus(Qt::TabFocusReason);
            QApplication::processEvents();
        },
        [&](TFindSettingsDialog &d) {
            EXPECT_EQ(Shown(d.lblHost), "smtp.mail.ru");
            d.btnUse->click();
        }));
    boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].Text.startsWith("Сервер SMTP не указан")) << boxes[0].Text.toStdString();
    EXPECT_EQ(f.edSMTPName->currentText(), "smtp.mail.ru");
    EXPECT_EQ(f.edPort->text(), " 465");
}

TEST_F(FindSettingsWindow, WithoutAnAddressInFromItSaysWhatToTypeInBothLanguages)
{
    TMainForm &f = *form;
    for (int language : {0, 1}) {
        PickLanguage(language);
        for (const char *text : {"", "anna", "anna@localhost"}) {
            f.edAccount->setText(text);
            f.edSMTPName->setFocus();
            f.btnFindSettings->click();
            const QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
            ASSERT_EQ(boxes.size(), 1) << text;
            EXPECT_EQ(boxes[0].DlgType, mtError);
            EXPECT_TRUE(boxes[0].Text.startsWith(language ? "Сначала введите в поле From" : "Type your e-mail address in From"))
                << boxes[0].Text.toStdString();
            EXPECT_EQ(QApplication::focusWidget(), f.edAccount);
            EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        }
    }
}

TEST_F(FindSettingsWindow, TheResultCanBeSavedAsAProfileNamedAfterTheDomain)
{
    TMainForm &f = *form;
    Fill("anna@gmail.com");
    f.edtName->setEditText("Anna");
    ComDialogsTest::QueueAnswer(mrOk);   // "Settings saved"
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                           [&](TFindSettingsDialog &d) {
                               EXPECT_TRUE(d.cbSaveProfile->text().contains("gmail.com.smt"));
                               EXPECT_FALSE(d.cbSaveProfile->isChecked());
                               d.cbSaveProfile->setChecked(true);
                               d.btnUse->click();
                           }));
    const QString path = QDir(profiles.path()).filePath("gmail.com.smt");
    ASSERT_TRUE(QFile::exists(path)) << f.SMTPConfigFile.toStdString() << " " << ComDialogsTest::PendingAnswers();
    const TSMTPProfile saved = ::LoadSMTPProfile(path);
    EXPECT_EQ(saved.Server, "smtp.gmail.com");
    EXPECT_EQ(saved.Port, "465");
    EXPECT_EQ(saved.Account, "anna@gmail.com");
    EXPECT_EQ(saved.Name, "Anna");
    EXPECT_EQ(saved.Security, 2);
    EXPECT_EQ(saved.User, "anna@gmail.com");
    EXPECT_EQ(f.SMTPConfigFile, path);
    EXPECT_FALSE(f.SettingsChanged);
    QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].Text, "Settings saved");

    // An existing profile is replaced only on Yes.
    f.edtName->setEditText("Someone else");
    ComDialogsTest::QueueAnswer(mrNo);
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                           [&](TFindSettingsDialog &d) {
                               d.cbSaveProfile->setChecked(true);
                               d.btnUse->click();
                           }));
    boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].Text.contains("gmail.com.smt")) << boxes[0].Text.toStdString();
    EXPECT_EQ(::LoadSMTPProfile(path).Name, "Anna");
    EXPECT_TRUE(f.SettingsChanged);
}

TEST_F(FindSettingsWindow, F1AndHelpOpenFindingTheServer)
{
    TMainForm &f = *form;
    EXPECT_EQ(HelpContextOf(f.btnFindSettings), TFindSettingsDialog::HelpContext);
    f.edAccount->setText("anna@gmail.com");
    helpRequests.clear();
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                           [&](TFindSettingsDialog &d) {
                               QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
                               QApplication::sendEvent(&d, &f1);
                               d.btnHelp->click();
                               EXPECT_TRUE(d.isVisible()) << "help closed the dialog";
                               d.btnCancel->click();
                           }));
    ASSERT_EQ(helpRequests.size(), 2u);
    for (const auto &request : helpRequests)
        EXPECT_EQ(request.second, TFindSettingsDialog::HelpContext);
}

// ---- against the test's DNS and HTTPS servers -------------------------------------------------

class FindSettingsNetworkWindow : public FindSettingsWindow {
protected:
    void SetUp() override
    {
        servers = StandardServers();
        if (!servers->skip.isEmpty())
            GTEST_SKIP() << servers->skip.toStdString();
        ASSERT_TRUE(servers->Ready());
        FindSettingsWindow::SetUp();
    }
    void TearDown() override
    {
        FindSettingsWindow::TearDown();
        servers.reset();
    }
    std::unique_ptr<ProviderServers> servers;
};

TEST_F(FindSettingsNetworkWindow, SrvAndFileDomainsAreFilledAndNothingFoundIsSaidPlainly)
{
    TMainForm &f = *form;
    const struct {
        const char *from;
        const char *source;   // in the Found in line
        const char *host;
        const char *port;
        int security;
    } found[] = {
        {"anna@srv.test", "_submissions._tcp.srv.test", "mail.srv.test", " 465", 2},
        {"anna@conf.test", "https://autoconfig.conf.test/mail/config-v1.1.xml", "smtp.conf.test", " 465", 2},
    };
    for (const auto &c : found) {
        SCOPED_TRACE(c.from);
        Fill(c.from);
        EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                               [&](TFindSettingsDialog &d) {
                                   EXPECT_TRUE(Shown(d.lblSource).contains(c.source)) << Shown(d.lblSource).toStdString();
                                   EXPECT_EQ(Shown(d.lblHost), c.host);
                                   ExpectUnchanged();
                                   d.btnUse->click();
                               }));
        EXPECT_EQ(f.edSMTPName->currentText(), c.host);
        EXPECT_EQ(f.edPort->text(), c.port);
        EXPECT_EQ(f.Secure.Security, c.security);
        EXPECT_EQ(f.Secure.User, "anna@" + QString(c.from).section('@', 1));
    }

    // A file that would send the password in plain text: said, and STARTTLS is what gets filled.
    Fill("anna@plain.test");
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                           [&](TFindSettingsDialog &d) {
                               EXPECT_TRUE(d.lblWarning->isVisible());
                               EXPECT_TRUE(Shown(d.lblWarning).contains("without encryption"));
                               EXPECT_EQ(Shown(d.lblSecurity), "STARTTLS");
                               ExpectReadable(d);
                               d.btnUse->click();
                           }));
    EXPECT_EQ(f.edSMTPName->currentText(), "smtp.plain.test");
    EXPECT_EQ(f.Secure.Security, 1);

    // A port longer than the field holds is said, and nothing changes.
    Fill("anna@bigport.test");
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); }, [&](TFindSettingsDialog &d) { d.btnUse->click(); }));
    const QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].Text.contains("10465")) << boxes[0].Text.toStdString();
    ExpectUnchanged();

    // Nothing found, in both languages: said plainly, with what was tried and the way to help.
    for (int language : {0, 1}) {
        PickLanguage(language);
        Fill("anna@broken.test");
        EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                               [&](TFindSettingsDialog &d) {
                                   EXPECT_FALSE(d.btnUse->isVisible());
                                   EXPECT_FALSE(d.ResultPanel->isVisible());
                                   const QString status = Shown(d.lblStatus);
                                   EXPECT_TRUE(status.contains(language ? "не найдены" : "No settings were found"))
                                       << status.toStdString();
                                   EXPECT_TRUE(status.contains(language ? "«Поиск сервера»" : "\"Finding the server\""));
                                   EXPECT_TRUE(d.lblTried->isVisible());
                                   EXPECT_TRUE(Shown(d.lblTried).contains(language ? "ошибка" : "error"));
                                   EXPECT_EQ(d.btnCancel->text(), language ? "Закрыть" : "Close");
                                   ExpectReadable(d);
                                   d.btnCancel->click();
                               }));
        ExpectUnchanged();
    }

    // Cancel while looking ends the dialog at once and changes nothing.
    PickLanguage(0);
    Fill("anna@slow.test");
    EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                           [&](TFindSettingsDialog &d) {
                               EXPECT_TRUE(d.Searching());
                               EXPECT_TRUE(d.Busy->isVisible());
                               d.btnCancel->click();
                               EXPECT_FALSE(d.Searching());
                           },
                           true));
    ExpectUnchanged();
}

// Not a check: pictures of the dialog for a table provider, an SRV domain, a configuration-file
// domain, a plain-text-password file and nothing found, in both languages, written when
// SENDORIX_SCREENSHOT_DIR is set.
TEST_F(FindSettingsNetworkWindow, Screenshots)
{
    const QString dir = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set SENDORIX_SCREENSHOT_DIR to write screenshots";
    QDir().mkpath(dir);
    TMainForm &f = *form;
    for (int language : {0, 1}) {
        PickLanguage(language);
        const QString prefix = dir + (language ? "/ru-find-" : "/en-find-");
        EXPECT_TRUE(f.grab().save(prefix + "sender-page.png"));
        for (const char *from : {"anna@gmail.com", "anna@srv.test", "anna@conf.test", "anna@plain.test", "anna@nothing.test"}) {
            Fill(from);
            EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                                   [&](TFindSettingsDialog &d) {
                                       QApplication::processEvents();
                                       const QString name = QString(from).section('@', 1).section('.', 0, 0);
                                       EXPECT_TRUE(d.grab().save(prefix + name + ".png"));
                                       d.btnCancel->click();
                                   }));
        }
        Fill("anna@slow.test");
        EXPECT_TRUE(WithDialog([&] { f.btnFindSettings->click(); },
                               [&](TFindSettingsDialog &d) {
                                   QApplication::processEvents();
                                   EXPECT_TRUE(d.grab().save(prefix + "searching.png"));
                                   d.btnCancel->click();
                               },
                               true));
    }
}

}  // namespace
