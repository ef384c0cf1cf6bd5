// The manual and context help: both manuals carry a heading for every help context the window
// and its message boxes use; F1 and the Help buttons hand the desktop's opener the manual of the
// interface language at the right heading; a missing manual says where it was looked for.
// Also the pictures of the manual (written only when asked for, see scripts/help-pictures.sh).
#include "send_test_support.h"

#include "AddAddr.h"
#include "AddrBook.h"
#include "AppHelp.h"
#include "BrowseFolder.h"
#include "SecurityDialog.h"
#include "FindSettingsDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <QXmlStreamReader>

#include <map>
#include <set>

using namespace sendtest;

namespace {

const QString SourceHelp = QStringLiteral(TEST_SOURCE_DIR "/../help/");

// What a manual holds, read as the XML it is written in (a parse error fails the test).
struct TManual {
    QString Error;
    std::map<QString, QString> Ids;   // id -> element name
    QStringList HeadingIds;           // ids of headings, in order
    QStringList Links;                // in-page link targets (without '#')
    QStringList Pictures;             // src of images
    QString Text;                     // all text, for spot checks
};

TManual ReadManual(const QString &path)
{
    TManual m;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m.Error = "cannot open " + path;
        return m;
    }
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isCharacters())
            m.Text += xml.text();
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        const QXmlStreamAttributes a = xml.attributes();
        if (a.hasAttribute("id")) {
            const QString id = a.value("id").toString();
            if (m.Ids.count(id))
                m.Error += "duplicate id " + id + "; ";
            m.Ids[id] = name;
            static const QRegularExpression heading(QStringLiteral("^h[1-6]$"));
            if (heading.match(name).hasMatch())
                m.HeadingIds << id;
        }
        const QString href = a.value("href").toString();
        if (href.startsWith('#'))
            m.Links << href.mid(1);
        if (name == QLatin1String("img"))
            m.Pictures << a.value("src").toString();
    }
    if (xml.hasError())
        m.Error += QStringLiteral("%1 at line %2").arg(xml.errorString()).arg(xml.lineNumber());
    return m;
}

QShortcut *F1Shortcut(TMainForm &f)
{
    for (QShortcut *s : f.findChildren<QShortcut *>())
        if (s->key() == QKeySequence(Qt::Key_F1))
            return s;
    return nullptr;
}

// A modal box shown for real, answered by `act` from a zero-delay timer; a watchdog closes a
// box nobody answered so a fault cannot hang the suite.
void AnswerNextBox(const std::function<void(TMessageForm *)> &act, const std::function<void()> &open)
{
    bool seen = false;
    QTimer::singleShot(0, [&] {
        if (auto *box = qobject_cast<TMessageForm *>(QApplication::activeModalWidget())) {
            seen = true;
            act(box);
        }
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<TMessageForm *>(w); box && box->isVisible())
                box->done(mrCancel);
    });
    watchdog.start(10000);
    open();
    EXPECT_TRUE(seen) << "no box was shown";
}

class HelpTest : public WindowTestBase {
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        SetHelpHandler({});   // the real path, down to the window's document opener
        SetHelpFoldersForTests({SourceHelp});
        form = Start();
    }
    void TearDown() override
    {
        SetHelpFoldersForTests({});
        WindowTestBase::TearDown();
    }

    // Every help context the window and its boxes use: the controls' own, and that of each
    // box with a Help button (the system address book option is the one that shows such a box).
    std::set<int> ContextsInUse()
    {
        std::set<int> contexts;
        QList<QWidget *> widgets = form->findChildren<QWidget *>();
        widgets << form.get();
        for (QWidget *w : widgets)
            if (const int c = OwnHelpContext(w))
                contexts.insert(c);
        form->cbUseMAPIAddresBook->setChecked(false);
        ComDialogsTest::TakeLog();
        form->cbUseMAPIAddresBook->click();
        for (const TShownMessageDlg &box : ComDialogsTest::TakeLog())
            if (box.Buttons.Contains(mbHelp))
                contexts.insert(box.HelpContext);
        // And the dialogs' own (F1InEveryDialogOpensItsSection shows that they use them).
        contexts.insert({OwnBookHelpContext, SecurityHelpContext, FolderBrowserHelpContext});
        // And the Help buttons of the certificate and resume questions (their send tests show
        // them).
        contexts.insert({ProviderHelpContext, InterruptedSeriesHelpContext});
        return contexts;
    }

    // The one document opened since the last call, as a URL.
    QUrl TakeOpened()
    {
        EXPECT_EQ(opened.size(), 1) << opened.join(", ").toStdString();
        const QUrl url = opened.isEmpty() ? QUrl() : QUrl(opened.last());
        opened.clear();
        return url;
    }

    // The opened URL names the manual of the language and a heading of that manual.
    void ExpectManualAt(const QUrl &url, bool russian, int context)
    {
        ASSERT_TRUE(url.isLocalFile()) << url.toString().toStdString();
        EXPECT_EQ(QFileInfo(url.toLocalFile()).canonicalFilePath(),
                  QFileInfo(SourceHelp + HelpManualName(russian)).canonicalFilePath());
        EXPECT_EQ(url.fragment(), HelpAnchor(context));
        const TManual manual = ReadManual(url.toLocalFile());
        EXPECT_TRUE(manual.HeadingIds.contains(url.fragment()))
            << url.fragment().toStdString() << " is no heading of " << url.toLocalFile().toStdString();
    }
};

TEST_F(HelpTest, BothManualsHaveAHeadingForEveryContextAndNothingDangling)
{
    const std::set<int> contexts = ContextsInUse();
    ASSERT_TRUE(contexts.count(5) && contexts.count(8)) << "the window's and the box's contexts";
    QStringList headings[2];
    for (bool russian : {false, true}) {
        const QString path = SourceHelp + HelpManualName(russian);
        SCOPED_TRACE(path.toStdString());
        const TManual m = ReadManual(path);
        ASSERT_TRUE(m.Error.isEmpty()) << m.Error.toStdString();
        for (int c : contexts)
            EXPECT_TRUE(m.HeadingIds.contains(HelpAnchor(c))) << "no heading for context " << c;
        // No anchor for a context the program does not use (a renumbered page would leave one).
        for (const QString &id : m.HeadingIds) {
            if (id.startsWith("context-")) {
                EXPECT_TRUE(contexts.count(id.mid(8).toInt())) << id.toStdString();
            }
        }
        for (const QString &link : m.Links)
            EXPECT_TRUE(m.HeadingIds.contains(link)) << "link to #" << link.toStdString();
        EXPECT_FALSE(m.Pictures.isEmpty());
        for (const QString &picture : m.Pictures)
            EXPECT_TRUE(QFileInfo(SourceHelp + picture).isFile()) << picture.toStdString();
        headings[russian] = m.HeadingIds;
    }
    // The two languages tell the same story in the same order.
    EXPECT_EQ(headings[0], headings[1]);
}

TEST_F(HelpTest, F1OnEveryPageAndTheHelpButtonOpenTheManualOfTheLanguageAtItsHeading)
{
    TMainForm &f = *form;
    QShortcut *f1 = F1Shortcut(f);
    ASSERT_NE(f1, nullptr);
    QApplication::setActiveWindow(&f);
    for (int language : {0, 1}) {
        PickLanguage(language);
        const bool russian = language == 1;
        SCOPED_TRACE(russian ? "Russian" : "English");
        for (int i = 0; i < f.PageControl->count(); ++i) {
            QWidget *page = f.PageControl->widget(i);
            f.PageControl->setCurrentWidget(page);
            QApplication::processEvents();
            // The first control of the page that takes the focus.
            QWidget *field = nullptr;
            for (QWidget *w : page->findChildren<QWidget *>())
                if (w->isVisibleTo(page) && w->isEnabled() && w->focusPolicy() & Qt::TabFocus) {
                    field = w;
                    break;
                }
            ASSERT_NE(field, nullptr) << page->objectName().toStdString();
            field->setFocus();
            opened.clear();
            emit f1->activated();
            SCOPED_TRACE(field->objectName().toStdString());
            ExpectManualAt(TakeOpened(), russian, HelpContextOf(field));
        }

        // The Help button of the box that explains the system address book option, and F1 in
        // that box: both open its context and leave the box open.
        ComDialogsTest::SetRefuseUnanswered(false);
        f.cbUseMAPIAddresBook->setChecked(false);
        opened.clear();
        bool stillOpen = false;
        AnswerNextBox(
            [&](TMessageForm *box) {
                box->Button(mbHelp)->click();
                QKeyEvent key(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
                QApplication::sendEvent(box, &key);
                stillOpen = box->isVisible();
                box->Button(mbOK)->click();
            },
            [&] { f.cbUseMAPIAddresBook->click(); });
        EXPECT_TRUE(stillOpen);
        ASSERT_EQ(opened.size(), 2);
        ExpectManualAt(QUrl(opened[0]), russian, 8);
        EXPECT_EQ(opened[1], opened[0]);
        opened.clear();
        ComDialogsTest::SetRefuseUnanswered(true);
    }
}

TEST_F(HelpTest, F1InEveryDialogOpensItsSection)
{
    QTemporaryDir folder;
    for (int language : {0, 1}) {
        PickLanguage(language);
        const bool russian = language == 1;
        SCOPED_TRACE(russian ? "Russian" : "English");
        TAddressBook book(form.get(), folder.filePath("Sendorix.adr"));
        TAddAddress entry(form.get());
        TSecurityDialog security(form.get(), TSecureSettings{}, "25");
        TBrowseFolder browser(form.get());
        QShortcut *browserKey = nullptr;
        browser.OnInitialized = [&browserKey](TBrowseFolder *, QWidget *dialog) {
            browserKey = dialog->findChild<QShortcut *>("helpKey");
            QTimer::singleShot(0, dialog, [dialog] { static_cast<QDialog *>(dialog)->reject(); });
        };
        browser.Execute();   // the key is looked at while the dialog lives, pressed below
        const std::pair<QWidget *, int> dialogs[] = {
            {&book, OwnBookHelpContext}, {&entry, OwnBookHelpContext}, {&security, SecurityHelpContext}};
        for (const auto &[dialog, context] : dialogs) {
            SCOPED_TRACE(dialog->objectName().toStdString());
            auto *key = dialog->findChild<QShortcut *>("helpKey");
            ASSERT_NE(key, nullptr);
            EXPECT_EQ(key->key(), QKeySequence(Qt::Key_F1));
            opened.clear();
            emit key->activated();
            ExpectManualAt(TakeOpened(), russian, context);
        }
        EXPECT_NE(browserKey, nullptr) << "the folder browser has F1 too";
    }
}

// F1 pressed in the Security dialog (focus in a field, as a user has it) opens its section: the
// key reaches the dialog through the fields, not only through the shortcut's own signal.
TEST_F(HelpTest, F1PressedInTheSecurityDialogOpensTheSecuritySection)
{
    for (int language : {0, 1}) {
        PickLanguage(language);
        TSecurityDialog security(form.get(), TSecureSettings{}, "25");
        security.show();
        QApplication::processEvents();
        for (QWidget *field : std::initializer_list<QWidget *>{security.edUser, security.comboSecurity}) {
            SCOPED_TRACE(field->objectName().toStdString());
            field->setFocus();
            opened.clear();
            QKeyEvent press(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
            QApplication::sendEvent(field, &press);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_F1, Qt::NoModifier);
            QApplication::sendEvent(field, &release);
            ExpectManualAt(TakeOpened(), language == 1, SecurityHelpContext);
        }
    }
}

TEST_F(HelpTest, AMissingManualSaysWhereItWasLookedForInTheInterfaceLanguage)
{
    QTemporaryDir empty, other;
    SetHelpFoldersForTests({empty.path(), other.path()});
    for (int language : {0, 1}) {
        PickLanguage(language);
        form->edtTo->setFocus();
        ComDialogsTest::TakeLog();
        EXPECT_FALSE(form->OpenHelp(1));
        const QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
        ASSERT_EQ(boxes.size(), 1);
        const QString text = boxes[0].Text;
        EXPECT_EQ(boxes[0].DlgType, mtError);
        EXPECT_TRUE(text.contains(HelpManualName(language == 1))) << text.toStdString();
        EXPECT_TRUE(text.contains(empty.path() + '/') && text.contains(other.path() + '/'))
            << text.toStdString();
        EXPECT_EQ(text.startsWith(QStringLiteral("Файл справки")), language == 1) << text.toStdString();
    }
    EXPECT_TRUE(opened.isEmpty());
}

TEST(HelpFiles, FoundBesideTheProgramFirstThenWhereTheInstallPutsThem)
{
    const QStringList folders = HelpFolders();
    ASSERT_GE(folders.size(), 3);
    EXPECT_EQ(folders[0], ProgramFolder() + "help/");
    EXPECT_EQ(folders[1], ProgramFolder());
    EXPECT_TRUE(folders[2].endsWith("/share/sendorix/help/")) << folders[2].toStdString();

    // The first folder that holds the manual wins; a folder lacking it is passed over.
    QTemporaryDir none, first, second;
    for (const QTemporaryDir *d : {&first, &second}) {
        QFile f(d->filePath("SendorixR.html"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    SetHelpFoldersForTests({none.path(), first.path(), second.path()});
    EXPECT_EQ(FindHelpFile("SendorixR.html"), first.filePath("SendorixR.html"));
    EXPECT_EQ(FindHelpFile("SendorixE.html"), QString());
    SetHelpFoldersForTests({});

    // The anchor travels in the address, also for a path with blanks and Cyrillic letters.
    const QUrl url = QUrl(HelpUrl("/opt/Мои программы/help/SendorixR.html", 10).toString(QUrl::FullyEncoded));
    EXPECT_EQ(url.toLocalFile(), "/opt/Мои программы/help/SendorixR.html");
    EXPECT_EQ(url.fragment(), "context-10");
    EXPECT_FALSE(HelpUrl("/x/SendorixE.html", 0).hasFragment());
}

// ---- the manual's pictures ------------------------------------------------------------------

// Not a check: writes the pictures of the manual into SENDORIX_SCREENSHOT_DIR when it is set
// (scripts/help-pictures.sh runs it under Xvfb). The window is filled as in a real session and
// sends a real series to a local server, so the protocol page shows a real protocol.
class HelpPictures : public WindowTest {
protected:
    // A first start: no settings of other runs show in the pictures.
    void SetUp() override
    {
        TMainForm::SetSettingsFolderForTests(settings.path());
        WindowTest::SetUp();
    }
    void TearDown() override
    {
        WindowTest::TearDown();
        TMainForm::SetSettingsFolderForTests(QString());
    }
    QTemporaryDir settings;
};

TEST_F(HelpPictures, Manual)
{
    const QString dir = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set SENDORIX_SCREENSHOT_DIR to write the manual's pictures";
    QDir().mkpath(dir);
    TMainForm &f = *form;
    SmtpSink server;
    ASSERT_NE(server.port, 0);

    f.edtTo->setEditText(QStringLiteral("anna@example.org, \"Boris\" <boris@example.org>"));
    f.edtSubject->setEditText(QStringLiteral("Holiday photos"));
    f.cbAddPartNo->setChecked(true);
    f.cbAddFileName->setChecked(true);
    f.memoText->setPlainText(QStringLiteral("Hello!\nHere are the photos from our trip.\n"));
    f.spinFilesInMessage->setValue(2);
    f.edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
    f.edPort->setText(QString::number(server.port));
    f.edAccount->setText(QStringLiteral("me@example.org"));
    f.edtName->setEditText(QStringLiteral("Maria"));
    // Files in a folder with a name a person would give it.
    QTemporaryDir photos(QDir::tempPath() + "/Photos-XXXXXX");
    QStringList paths;
    int size = 40000;
    for (const char *name : {"beach.jpg", "harbour.jpg", "lighthouse.jpg", "market.jpg", "sunset.jpg"}) {
        QFile file(photos.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size += 7000, 'x'));
        paths << file.fileName();
    }
    AddThroughDialog(paths);
    ComDialogsTest::TakeLog();
    f.btnSend->click();
    ASSERT_EQ(server.Count(), 3);

    const std::map<QString, QString> names = {
        {"TabSheet1", "recipients"}, {"TabSheet2", "text"},     {"TabSheet3", "files"},
        {"TabSheet5", "protocol"},   {"TabSheet4", "sender"},   {"TabSheet7", "parameters"},
        {"TabSheet6", "about"},
    };
    for (int language : {0, 1}) {
        PickLanguage(language);
        const QString prefix = dir + '/' + (language ? "ru-" : "en-");
        for (int i = 0; i < f.PageControl->count(); ++i) {
            f.PageControl->setCurrentIndex(i);
            // The protocol's end: the messages and how the series ended.
            f.memoProtocol->moveCursor(QTextCursor::End);
            QApplication::processEvents();
            const auto name = names.find(f.PageControl->widget(i)->objectName());
            ASSERT_NE(name, names.end());
            EXPECT_TRUE(f.grab().save(prefix + name->second + ".png"));
        }
        // The box that explains the system address book option, with its Help button.
        ComDialogsTest::SetRefuseUnanswered(false);
        f.cbUseMAPIAddresBook->setChecked(false);
        AnswerNextBox(
            [&](TMessageForm *box) {
                QApplication::processEvents();
                EXPECT_TRUE(box->grab().save(prefix + "addressbook-box.png"));
                box->Button(mbOK)->click();
            },
            [&] { f.cbUseMAPIAddresBook->click(); });
        f.cbUseMAPIAddresBook->setChecked(false);
        ComDialogsTest::SetRefuseUnanswered(true);

        // The Security window as a provider's login fills it, and the question after a series
        // was cut short while the server took a message.
        TSecureSettings secure;
        secure.Security = 1;
        secure.User = QStringLiteral("maria@example.org");
        secure.RememberPassword = true;
        {
            TSecurityDialog security(&f, secure, QStringLiteral("587"), TKeyringState::Stored);
            security.show();
            QApplication::processEvents();
            EXPECT_TRUE(security.grab().save(prefix + "security.png"));
        }
        ComDialogsTest::SetRefuseUnanswered(false);
        AnswerNextBox(
            [&](TMessageForm *box) {
                QApplication::processEvents();
                EXPECT_TRUE(box->grab().save(prefix + "resume-box.png"));
                box->Button(mbNo)->click();
            },
            [&] {
                ComMessageDlg(Text(TextId::ContinueSeriesInFlight, 2, 5, QStringLiteral("#3"), 3, QStringLiteral("#3")),
                              mtConfirmation, {mbYes, mbNo, mbHelp}, InterruptedSeriesHelpContext);
            });
        ComDialogsTest::SetRefuseUnanswered(true);

        // What Find settings shows for an address of a listed provider (no network needed).
        const QString from = f.edAccount->text();
        f.edAccount->setText(QStringLiteral("maria@gmail.com"));
        bool grabbed = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *d = qobject_cast<TFindSettingsDialog *>(QApplication::activeModalWidget());
            if (!d || d->Searching())
                return;
            poll.stop();
            QApplication::processEvents();
            grabbed = d->grab().save(prefix + "find-settings.png");
            d->btnCancel->click();
        });
        poll.start(10);
        f.btnFindSettings->click();
        EXPECT_TRUE(grabbed);
        f.edAccount->setText(from);
    }
}

}  // namespace
