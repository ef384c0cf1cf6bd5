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
#include "SMAPI.h"
#include "ScreenFit.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QFileDialog>
#include <QKeyEvent>
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

// One dialog of the program, how it is reached and what a keyboard user finds in it.
struct TDialogWalk {
    const char *Dialog;        // its object name
    const char *Via;           // the dialog it is opened from ("" for the window), and
    const char *ViaButton;     // the button there that opens it
    const char *FirstFocus;    // where typing starts
    int Section;               // the help context F1 opens
    QStringList Lists;         // the grids and lists that Tab and Shift+Tab must leave
};

// The window's file dialogs are Qt's own: typing starts in the file name, F1 opens the section
// of the page they belong to.
// ("a|b": whichever of the two views the dialog shows).
const QStringList FileDialogLists{QStringLiteral("sidebar"), QStringLiteral("listView|treeView")};

const TDialogWalk DialogWalks[] = {
    {"AddressBook", "", "", "gridAdresses", OwnBookHelpContext, {"gridAdresses", "gridTarget"}},
    {"AddAddress", "AddressBook", "btnNewAddr", "edName", OwnBookHelpContext, {}},
    {"SimpleMapiAddressDialog", "", "", "edtSearch", SystemBookHelpContext, {"lvContacts", "lstTo", "lstCc", "lstBcc"}},
    {"SecurityDialog", "", "", "comboSecurity", SecurityHelpContext, {}},
    {"FindSettingsDialog", "", "", "btnUse", TFindSettingsDialog::HelpContext, {}},
    {"BrowseFolderDialog", "", "", "fileNameEdit", FolderBrowserHelpContext, FileDialogLists},
    {"FileDialog", "", "", "fileNameEdit", 4, FileDialogLists},
    {"SaveLogDialog", "", "", "fileNameEdit", 9, FileDialogLists},
    {"LoadConfigDialog", "", "", "fileNameEdit", 6, FileDialogLists},
    {"SaveConfigDialog", "", "", "fileNameEdit", 6, FileDialogLists},
};

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
        // And the dialogs' own (the walk over every dialog shows that F1 opens them).
        for (const TDialogWalk &walk : DialogWalks)
            contexts.insert(walk.Section);
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

// ---- every dialog: where typing starts, Tab out of its lists, F1, the screen ------------------

// A home of its own with a few contacts, and the project's address book library: the system
// address book dialog as a user with contacts sees it.
struct TContactsHome {
    TContactsHome()
    {
        for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            Saved.push_back({name, qgetenv(name)});
        qputenv("HOME", Home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (Home.path() + "/.local/share").toUtf8());
        qputenv("XDG_CONFIG_HOME", (Home.path() + "/.config").toUtf8());
        QDir().mkpath(Home.path() + "/.local/share/contacts");
        QFile cards(Home.path() + "/.local/share/contacts/friends.vcf");
        if (cards.open(QIODevice::WriteOnly))
            cards.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Smith\r\nEMAIL:anna@example.org\r\nEND:VCARD\r\n"
                        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Boris Petrov\r\nEMAIL:boris@example.org\r\nEND:VCARD\r\n"
                        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:\xd0\x81\xd0\xbb\xd0\xba\xd0\xb8\xd0\xbd\xd0\xb0 "
                        "\xd0\x9c\xd0\xb0\xd1\x80\xd0\xb8\xd1\x8f\r\nEMAIL:maria.yolkina@example.org\r\nEND:VCARD\r\n");
        SmapiSetLibraryName(QCoreApplication::applicationDirPath() + "/../bin/libsendorix_simplemapi.so");
    }
    ~TContactsHome()
    {
        SmapiSetLibraryName(QString());
        for (const auto &[name, value] : Saved) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
    }
    QTemporaryDir Home;
    std::vector<std::pair<const char *, QByteArray>> Saved;
};

class DialogWalkTest : public HelpTest {
protected:
    void SetUp() override
    {
        HelpTest::SetUp();
        // The file dialogs show for real here (and are closed by the walk).
        TMainForm::FileDialogsTest::Reset();
        for (TFileDialogSlot *slot : {&form->FileDialog, &form->SaveLogDialog, &form->LoadConfigDialog,
                                      &form->SaveConfigDialog})
            (*slot)->setOption(QFileDialog::DontUseNativeDialog);
        form->AddProtocolText(QStringLiteral("line"));
        form->edAccount->setText(QStringLiteral("maria@gmail.com"));   // a listed provider: no network
        form->SettingsChanged = false;
    }

    // Opens the dialog the way a user does (from the window, or from the dialog it lives in).
    void Open(const TDialogWalk &walk)
    {
        TMainForm &f = *form;
        const QString name = QString::fromLatin1(*walk.Via ? walk.Via : walk.Dialog);
        f.cbUseMAPIAddresBook->setChecked(name == QLatin1String("SimpleMapiAddressDialog"));
        const std::map<QString, std::function<void()>> commands = {
            {"AddressBook", [&] { f.btnAddressBookTo->click(); }},
            {"SimpleMapiAddressDialog", [&] { f.btnAddressBookCc->click(); }},
            {"SecurityDialog", [&] { f.btnSecurity->click(); }},
            {"FindSettingsDialog", [&] { f.btnFindSettings->click(); }},
            {"BrowseFolderDialog", [&] { f.btnSelectTempDirClick(); }},
            {"FileDialog", [&] { f.btnLoad->click(); }},
            {"SaveLogDialog", [&] { f.btnSaveLogClick(); }},
            {"LoadConfigDialog", [&] { f.btnLoadConfigClick(); }},
            {"SaveConfigDialog", [&] { f.btnSaveConfigClick(); }},
        };
        commands.at(name)();
        f.cbUseMAPIAddresBook->setChecked(false);
    }

    // Runs `inspect` on the dialog once it is up and ready, then closes every dialog that is up.
    void Walk(const TDialogWalk &walk, const std::function<void(QWidget *)> &inspect)
    {
        bool inspected = false, pressed = false;
        int ticks = 0;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            if (inspected || ++ticks > 3000) {   // done, or nothing came: close, never hang
                static_cast<QDialog *>(modal)->reject();
                return;
            }
            if (modal->objectName() == QLatin1String(walk.Via) && !pressed) {
                pressed = true;
                QTimer::singleShot(0, modal->findChild<QPushButton *>(walk.ViaButton), &QPushButton::click);
                return;
            }
            auto *finder = qobject_cast<TFindSettingsDialog *>(modal);
            if (modal->objectName() != QLatin1String(walk.Dialog) || (finder && finder->Searching()))
                return;
            inspected = true;
            modal->activateWindow();
            QApplication::processEvents();
            inspect(modal);
        });
        poll.start(10);
        Open(walk);
        EXPECT_TRUE(inspected) << walk.Dialog << " was not shown";
    }

    static QString Name(const QWidget *w) { return w ? w->objectName() : QStringLiteral("(none)"); }

    static void Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget *target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(target, &press);
        QApplication::processEvents();
    }

    // "left" when Tab takes the focus out of the list and Shift+Tab brings it back, else what
    // happened.
    static QString TabOutAndBack(QWidget *dialog, const QString &name)
    {
        QWidget *list = nullptr;
        for (const QString &alternative : name.split('|'))
            if (auto *w = dialog->findChild<QWidget *>(alternative); w && w->isVisible())
                list = w;
        if (!list)
            return "not shown";
        list->setFocus(Qt::TabFocusReason);
        if (QApplication::focusWidget() != list)
            return "takes no focus";
        if (auto *view = qobject_cast<QAbstractItemView *>(list); view && view->model()->rowCount() > 0)
            view->setCurrentIndex(view->model()->index(0, 0));
        Press(Qt::Key_Tab);
        QWidget *next = QApplication::focusWidget();
        if (next == list || list->isAncestorOf(next) || !dialog->isAncestorOf(next))
            return "Tab went to " + Name(next);
        Press(Qt::Key_Backtab, Qt::ShiftModifier);
        return QApplication::focusWidget() == list ? "left" : "Shift+Tab went to " + Name(QApplication::focusWidget());
    }
};

// Every dialog of the program in both languages: typing starts where it should, Tab and
// Shift+Tab leave every grid and list (arrows move inside them), F1 opens the dialog's own
// section of the manual of the language, and the dialog lies on the screen. The 2x run on a
// 1280x1024 screen (app.dialogs_at_2x) is this test too. With SENDORIX_SCREENSHOT_DIR set it
// also writes a picture of every dialog there.
TEST_F(DialogWalkTest, EveryDialogInBothLanguagesFocusTabF1AndScreen)
{
    const TContactsHome contacts;
    const QString shots = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    const int scale = qRound(QGuiApplication::primaryScreen()->devicePixelRatio());
    for (int language : {0, 1}) {
        PickLanguage(language);
        const bool russian = language == 1;
        for (const TDialogWalk &walk : DialogWalks) {
            SCOPED_TRACE(std::string(walk.Dialog) + (russian ? " Russian" : " English"));
            Walk(walk, [&](QWidget *dialog) {
                EXPECT_EQ(Name(QApplication::focusWidget()).toStdString(), walk.FirstFocus);
                QWidget *first = QApplication::focusWidget();
                for (const QString &list : walk.Lists)
                    EXPECT_EQ(TabOutAndBack(dialog, list).toStdString(), "left") << list.toStdString();

                const QRect screen = DialogScreen(dialog)->availableGeometry();
                EXPECT_TRUE(screen.contains(dialog->frameGeometry()))
                    << dialog->frameGeometry().width() << "x" << dialog->frameGeometry().height() << " at "
                    << dialog->frameGeometry().x() << "," << dialog->frameGeometry().y() << " (at least "
                    << dialog->minimumSizeHint().width() << "x" << dialog->minimumSizeHint().height() << ") on "
                    << screen.width() << "x" << screen.height();
                if (!shots.isEmpty()) {
                    QDir().mkpath(shots);
                    dialog->grab().save(QStringLiteral("%1/%2x-%3-%4.png")
                                            .arg(shots).arg(scale).arg(russian ? "ru" : "en", walk.Dialog));
                }

                if (first)
                    first->setFocus(Qt::TabFocusReason);
                opened.clear();
                Press(Qt::Key_F1);
                ExpectManualAt(TakeOpened(), russian, walk.Section);
                EXPECT_TRUE(dialog->isVisible()) << "F1 closed the dialog";
            });
        }
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
    // The system address book's dialog with a few contacts and a recipient in To.
    void ShootSystemBook(const QString &file)
    {
        TMainForm &f = *form;
        const TContactsHome contacts;
        f.cbUseMAPIAddresBook->setChecked(true);
        const QString to = f.edtTo->currentText();
        f.edtTo->setEditText(QStringLiteral("\"Anna Smith\" <anna@example.org>"));
        bool shot = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget *d = QApplication::activeModalWidget();
            if (!d || d->objectName() != QLatin1String("SimpleMapiAddressDialog"))
                return;
            poll.stop();
            QApplication::processEvents();
            shot = d->grab().save(file);
            static_cast<QDialog *>(d)->reject();
        });
        poll.start(10);
        f.btnAddressBookTo->click();
        EXPECT_TRUE(shot);
        f.cbUseMAPIAddresBook->setChecked(false);
        f.edtTo->setEditText(to);
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

        ShootSystemBook(prefix + "system-addressbook.png");

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
