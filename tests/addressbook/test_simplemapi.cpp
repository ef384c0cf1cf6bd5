// The project's Simple MAPI library through its real dialog, offscreen: contacts from a vCard
// folder and a Thunderbird profile made in a temporary home, search, add, remove, OK, Cancel.
#include "SimpleMapi.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLibrary>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace {

using TPair = std::pair<std::string, std::string>;   // name, address, as UTF-8

void Write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

// Version 2.1 as older phones export it: Windows-1251 in quoted-printable with a soft line
// break, a bare QUOTED-PRINTABLE parameter, CR LF.
const QByteArray Cards21 =
    "BEGIN:VCARD\r\nVERSION:2.1\r\n"
    "N;CHARSET=WINDOWS-1251;ENCODING=QUOTED-PRINTABLE:=CF=E5=F2=F0=EE=E2;=C8=E2=E0=ED\r\n"
    "FN;CHARSET=WINDOWS-1251;ENCODING=QUOTED-PRINTABLE:=C8=E2=E0=ED =CF=E5=\r\n"
    "=F2=F0=EE=E2\r\n"
    "EMAIL;PREF;INTERNET:ivan@example.ru\r\n"
    "EMAIL;INTERNET:ivan.petrov@example.com\r\n"
    "END:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:2.1\r\n"
    "FN;CHARSET=UTF-8;QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BCller\r\n"
    "EMAIL;INTERNET:jm@example.de\r\n"
    "END:VCARD\r\n";

// 3.0: folded lines, escapes, a group prefix, a structured name only, and a broken card
// between good ones.
const QByteArray Cards30 =
    "BEGIN:VCARD\nVERSION:3.0\n"
    "FN:Smith\\, Anna\n"
    "N:Smith;Anna;;;\n"
    "item1.EMAIL;type=INTERNET;type=pref:anna@example.org\n"
    "EMAIL;TYPE=work:anna.smith@wo\n rk.example\n"
    "END:VCARD\n"
    "BEGIN:VCARD\nVERSION:3.0\nFN:Broken Card\nthis line is no property\n"
    "EMAIL:broken@example.org\nEND:VCARD\n"
    "BEGIN:VCARD\nVERSION:3.0\n"
    "N:\xC3\x98rsted;Hans;Christian;;\n"
    "EMAIL:hc@example.dk\n"
    "END:VCARD\n";

// 4.0: quoted parameter values with a comma, a tab-folded name, a card cut off at the end.
const QByteArray Cards40 =
    "BEGIN:VCARD\r\nVERSION:4.0\r\n"
    "FN:Zo\xC3\xAB \xC3\x85ngstr\r\n\t\xC3\xB6m\r\n"
    "EMAIL;TYPE=\"work,voice\";PREF=1:zoe@example.se\r\n"
    "EMAIL;TYPE=home:zoe@home.example\r\n"
    "END:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:No End\r\nEMAIL:noend@example.org\r\n";

const char *ThunderbirdBook = R"(
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.executescript('''
CREATE TABLE cards (uid TEXT PRIMARY KEY, localId INTEGER);
CREATE TABLE properties (card TEXT, name TEXT, value TEXT);
CREATE TABLE lists (uid TEXT PRIMARY KEY, localId INTEGER, name TEXT, nickName TEXT, description TEXT);
CREATE TABLE list_cards (list TEXT, card TEXT, PRIMARY KEY(list, card));
''')
rows = [
  ('c1', 'DisplayName', 'Carol Tb'), ('c1', 'PrimaryEmail', 'carol@tb.example'),
  ('c1', 'SecondEmail', 'carol2@tb.example'), ('c1', 'LastModifiedDate', '0'),
  ('c2', 'FirstName', 'Дмитрий'), ('c2', 'LastName', 'Соколов'),
  ('c2', 'PrimaryEmail', 'dima@tb.example'),
  ('c2', '_vCard', 'BEGIN:VCARD\r\nVERSION:4.0\r\nEMAIL;PREF=1:dima@tb.example\r\nEMAIL:dima@work.example\r\nEND:VCARD\r\n'),
]
db.executemany('INSERT INTO cards VALUES (?, ?)', [('c1', 1), ('c2', 2)])
db.executemany('INSERT INTO properties VALUES (?, ?, ?)', rows)
db.commit()
)";

const std::set<TPair> AllContacts = {
    {"Иван Петров", "ivan@example.ru"}, {"Иван Петров", "ivan.petrov@example.com"},
    {"Jürgen Müller", "jm@example.de"},
    {"Smith, Anna", "anna@example.org"}, {"Smith, Anna", "anna.smith@work.example"},
    {"Hans Christian Ørsted", "hc@example.dk"},
    {"Zoë Ångström", "zoe@example.se"}, {"Zoë Ångström", "zoe@home.example"},
    {"Carol Tb", "carol@tb.example"}, {"Carol Tb", "carol2@tb.example"},
    {"Дмитрий Соколов", "dima@tb.example"}, {"Дмитрий Соколов", "dima@work.example"},
};

class SimpleMapiDialog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "SENDORIX_LANGUAGE"})
            saved.push_back({name, qgetenv(name)});
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
        qputenv("SENDORIX_LANGUAGE", "en");

        library.setFileName(QCoreApplication::applicationDirPath()
                            + "/../bin/libsendorix_simplemapi.so");
        ASSERT_TRUE(library.load()) << library.errorString().toStdString();
        Address = reinterpret_cast<LPMAPIADDRESS>(library.resolve("MAPIAddress"));
        FreeBuffer = reinterpret_cast<LPMAPIFREEBUFFER>(library.resolve("MAPIFreeBuffer"));
        ASSERT_TRUE(Address && FreeBuffer);
    }
    void TearDown() override
    {
        for (const auto &[name, value] : saved) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
    }

    void MakeContacts()
    {
        const QString contacts = home.path() + "/.local/share/contacts";
        Write(contacts + "/phone.vcf", Cards21);
        Write(contacts + "/sync.vcf", Cards30);
        Write(contacts + "/export.VCF", Cards40);
        Write(contacts + "/notes.txt", "BEGIN:VCARD\nFN:Not A Card File\nEMAIL:txt@example.org\nEND:VCARD\n");
        ASSERT_TRUE(QFile::link(home.path() + "/nowhere.vcf", contacts + "/gone.vcf"));

        const QString tb = home.path() + "/.thunderbird";
        Write(tb + "/profiles.ini",
              "[Install4F96D1932A9F858E]\nDefault=x1y2.default-release\nLocked=1\n\n"
              "[Profile0]\nName=default-release\nIsRelative=1\nPath=x1y2.default-release\n"
              "Default=1\n\n[General]\nStartWithLastProfile=1\nVersion=2\n");
        const QString profile = tb + "/x1y2.default-release";
        QDir().mkpath(profile);
        QProcess python;
        python.start(TEST_PYTHON, {"-c", ThunderbirdBook, profile + "/abook.sqlite"});
        ASSERT_TRUE(python.waitForFinished(60000));
        ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        Write(profile + "/abook-1.sqlite", QByteArray("this is no database ").repeated(100));
        Write(profile + "/history.sqlite", "collected addresses are not an address book");
    }

    // Calls MAPIAddress; drive answers the dialog once it is up.
    MapiULong Run(std::vector<MapiRecipDesc> in, const std::function<void(QDialog &)> &drive,
                  std::vector<std::pair<MapiULong, TPair>> &out, MapiHandle window = 0)
    {
        bool driven = false;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (dialog == nullptr || driven)
                return;
            driven = true;
            poll.stop();
            drive(*dialog);
        });
        poll.start();
        MapiULong count = 99;
        lpMapiRecipDesc recips = reinterpret_cast<lpMapiRecipDesc>(&count);   // overwritten
        char caption[] = "";
        const MapiULong result = Address(0, window, caption, 3, nullptr, MapiULong(in.size()),
                                         in.empty() ? nullptr : in.data(), 0, 0, &count, &recips);
        EXPECT_TRUE(driven);
        out.clear();
        for (MapiULong i = 0; i < count; ++i)
            out.push_back({recips[i].ulRecipClass,
                           {recips[i].lpszName, recips[i].lpszAddress}});
        if (count == 0)
            EXPECT_EQ(recips, nullptr);
        else
            EXPECT_EQ(FreeBuffer(recips), SUCCESS_SUCCESS);
        return result;
    }

    static std::set<TPair> Visible(QDialog &d)
    {
        std::set<TPair> shown;
        auto *tree = d.findChild<QTreeWidget *>("lvContacts");
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            if (!tree->topLevelItem(i)->isHidden())
                shown.insert({tree->topLevelItem(i)->text(0).toStdString(),
                              tree->topLevelItem(i)->text(1).toStdString()});
        }
        return shown;
    }
    static void Click(QDialog &d, const char *name)
    {
        auto *b = d.findChild<QPushButton *>(name);
        ASSERT_NE(b, nullptr) << name;
        b->click();
    }
    static void Search(QDialog &d, const QString &text)
    {
        d.findChild<QLineEdit *>("edtSearch")->setText(text);
    }

    QTemporaryDir home;
    QLibrary library;
    LPMAPIADDRESS Address = nullptr;
    LPMAPIFREEBUFFER FreeBuffer = nullptr;
    std::vector<std::pair<const char *, QByteArray>> saved;
};

MapiRecipDesc Recip(MapiULong cls, char *name, char *address)
{
    return MapiRecipDesc{0, cls, name, address, 0, nullptr};
}

} // namespace

TEST_F(SimpleMapiDialog, ListsEveryAddressOfBothSourcesAndNamesWhatItCouldNotRead)
{
    MakeContacts();
    std::set<TPair> shown;
    QString problems, sources, title, toButton;
    std::vector<std::pair<MapiULong, TPair>> out;
    qputenv("SENDORIX_LANGUAGE", "ru");
    const MapiULong result = Run({}, [&](QDialog &d) {
        shown = Visible(d);
        problems = d.findChild<QLabel *>("lblProblems")->text();
        sources = d.findChild<QLabel *>("lblSources")->text();
        title = d.windowTitle();
        toButton = d.findChild<QPushButton *>("btnTo")->text();
        d.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel)->click();
    }, out);

    EXPECT_EQ(result, MapiULong(MAPI_USER_ABORT));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(shown, AllContacts);
    // Unreadable sources are named with their reason; the rest is listed all the same.
    EXPECT_TRUE(problems.startsWith("Не удалось прочитать:")) << problems.toStdString();
    EXPECT_TRUE(problems.contains("gone.vcf")) << problems.toStdString();
    EXPECT_TRUE(problems.contains("abook-1.sqlite")) << problems.toStdString();
    EXPECT_TRUE(problems.contains("~/.local/share/contacts/sync.vcf: пропущено повреждённых карточек: 1"))
        << problems.toStdString();
    EXPECT_TRUE(problems.contains("export.VCF: пропущено повреждённых карточек: 1"))
        << problems.toStdString();
    EXPECT_FALSE(problems.contains("history.sqlite")) << problems.toStdString();
    EXPECT_TRUE(sources.contains("~/.local/share/contacts (8)")) << sources.toStdString();
    EXPECT_TRUE(sources.contains("Thunderbird default-release: abook.sqlite (4)")) << sources.toStdString();
    EXPECT_EQ(title, "Адресная книга");
    EXPECT_EQ(toButton, "Кому ->");
}

TEST_F(SimpleMapiDialog, SearchNarrowsAndOkReturnsThePickedRecipientsWithTheirClasses)
{
    MakeContacts();
    char oldName[] = "Old", oldAddress[] = "old@x.org", hiddenName[] = "", hiddenAddress[] = "h@x.org";
    char origin[] = "me@x.org";
    std::map<QString, std::set<TPair>> narrowed;
    QString searchAfterEnter = "unchanged";
    bool dialogOpenAfterEnter = false;
    std::vector<std::pair<MapiULong, TPair>> out;
    const MapiULong result = Run(
        {Recip(MAPI_TO, oldName, oldAddress), Recip(MAPI_ORIG, nullptr, origin),
         Recip(MAPI_BCC, hiddenName, hiddenAddress)},
        [&](QDialog &d) {
            for (const char *text : {"ПЕТРОВ", "пЁтров", "tb.example", "ZOE@HOME", "nobody-here"}) {
                Search(d, QString::fromUtf8(text));
                narrowed[QString::fromUtf8(text)] = Visible(d);
            }
            Search(d, "ivan@");
            Click(d, "btnCc");
            Search(d, "zoe@home");
            Click(d, "btnBcc");
            Click(d, "btnBcc");   // twice is once
            // Enter in the search box takes what was found or typed into To.
            Search(d, "typed@new.example");
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(d.findChild<QLineEdit *>("edtSearch"), &enter);
            searchAfterEnter = d.findChild<QLineEdit *>("edtSearch")->text();
            dialogOpenAfterEnter = d.isVisible();
            auto *to = d.findChild<QListWidget *>("lstTo");
            to->item(0)->setSelected(true);   // the old one
            Click(d, "btnRemove");
            d.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        },
        out);

    EXPECT_EQ(result, MapiULong(SUCCESS_SUCCESS));
    EXPECT_EQ(narrowed["ПЕТРОВ"], (std::set<TPair>{{"Иван Петров", "ivan@example.ru"},
                                                   {"Иван Петров", "ivan.petrov@example.com"}}));
    EXPECT_EQ(narrowed["пЁтров"], narrowed["ПЕТРОВ"]) << "ё is read as е, in any case";
    EXPECT_EQ(narrowed["tb.example"].size(), 3u);
    EXPECT_EQ(narrowed["ZOE@HOME"], (std::set<TPair>{{"Zoë Ångström", "zoe@home.example"}}));
    EXPECT_TRUE(narrowed["nobody-here"].empty());
    EXPECT_EQ(searchAfterEnter, "");
    EXPECT_TRUE(dialogOpenAfterEnter);
    const std::vector<std::pair<MapiULong, TPair>> expected = {
        {MAPI_TO, {"", "typed@new.example"}},
        {MAPI_CC, {"Иван Петров", "ivan@example.ru"}},
        {MAPI_BCC, {"", "h@x.org"}},
        {MAPI_BCC, {"Zoë Ångström", "zoe@home.example"}},
    };
    EXPECT_EQ(out, expected);
}

TEST_F(SimpleMapiDialog, WorksWithNoContactsAtAllAndTellsWhereTheyAreLookedFor)
{
    QString sources;
    bool problemsShown = true;
    QWidget window;   // the caller's window, by its id
    QWidget *parent = nullptr;
    std::vector<std::pair<MapiULong, TPair>> out;
    char name[] = "Kept", address[] = "kept@x.org";
    const MapiULong result = Run({Recip(MAPI_CC, name, address)}, [&](QDialog &d) {
        sources = d.findChild<QLabel *>("lblSources")->text();
        problemsShown = !d.findChild<QLabel *>("lblProblems")->isHidden();
        parent = d.parentWidget();
        d.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    }, out, MapiHandle(window.winId()));
    EXPECT_EQ(parent, &window);
    EXPECT_EQ(result, MapiULong(SUCCESS_SUCCESS));
    EXPECT_TRUE(sources.startsWith("No contacts found.")) << sources.toStdString();
    EXPECT_TRUE(sources.contains(home.path() + "/.local/share/contacts")) << sources.toStdString();
    EXPECT_FALSE(problemsShown);
    EXPECT_EQ(out, (std::vector<std::pair<MapiULong, TPair>>{{MAPI_CC, {"Kept", "kept@x.org"}}}));
}

// F1 calls what the program handed over, with its context, for as long as it is set; the
// dialog stays open. Without it (any other caller) F1 does nothing.
TEST_F(SimpleMapiDialog, F1CallsTheHelpTheProgramHandedOverAndNothingWithout)
{
    auto setHelp = reinterpret_cast<LPSENDORIXMAPISETHELP>(library.resolve("SendorixMapiSetHelp"));
    ASSERT_NE(setHelp, nullptr);
    std::vector<int> calls;
    const SENDORIXMAPIHELP record = [](void *c) { static_cast<std::vector<int> *>(c)->push_back(1); };
    std::vector<std::pair<MapiULong, TPair>> out;
    for (const bool handedOver : {true, false}) {
        setHelp(handedOver ? record : nullptr, handedOver ? &calls : nullptr);
        calls.clear();
        bool open = false;
        Run({}, [&](QDialog &d) {
            d.activateWindow();
            QApplication::processEvents();
            QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
            QApplication::sendEvent(d.findChild<QLineEdit *>("edtSearch"), &f1);
            open = d.isVisible();
            d.reject();
        }, out);
        EXPECT_TRUE(open);
        EXPECT_EQ(calls.size(), handedOver ? 1u : 0u) << handedOver;
    }
}

// Not a check: pictures of the dialog in both languages when SENDORIX_SCREENSHOT_DIR is set.
TEST_F(SimpleMapiDialog, Screenshots)
{
    const QString dir = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set SENDORIX_SCREENSHOT_DIR to write screenshots";
    QDir().mkpath(dir);
    MakeContacts();
    for (const char *language : {"en", "ru"}) {
        qputenv("SENDORIX_LANGUAGE", language);
        char name[] = "Anna Smith", address[] = "anna@example.org";
        std::vector<std::pair<MapiULong, TPair>> out;
        Run({Recip(MAPI_TO, name, address)}, [&](QDialog &d) {
            Search(d, "zoe@home");
            Click(d, "btnBcc");
            Search(d, "");
            QApplication::processEvents();
            d.grab().save(QStringLiteral("%1/addressbook-%2.png").arg(dir, language));
            d.reject();
        }, out);
    }
}
