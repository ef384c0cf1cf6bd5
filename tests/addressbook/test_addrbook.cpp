// The program's own address book: its file, and the book dialog and entry dialog driven
// through their real widgets offscreen.
#include "addressbook_test_support.h"

#include "Language.h"
#include "../app/window_test_support.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextCodec>

using namespace booktest;

// What a key press from the window system goes through first: the shortcut map. Exported by
// QtGui for its own test library.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject *o, ulong timestamp, int k,
                                               Qt::KeyboardModifiers mods, const QString &text,
                                               bool autorep, ushort count);

namespace {

class BookTest : public LanguageTestBase
{
protected:
    void SetUp() override
    {
        LanguageTestBase::SetUp();
        ComDialogsTest::SetRefuseUnanswered(true);
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override
    {
        book.reset();
        LanguageTestBase::TearDown();
    }
    QString BookPath() const { return dir.filePath("Sendorix.adr"); }
    void WriteBook(const TRecipientList &entries) { WriteAddressBook(BookPath(), entries); }
    TAddressBook &Open()
    {
        book = std::make_unique<TAddressBook>(nullptr, BookPath());
        return *book;
    }
    // Focuses `focused` and selects rows top..bottom, as a click and a Shift+click would.
    static void Select(TMyStringGrid *grid, int focused, int top, int bottom)
    {
        grid->setCurrentCell(focused, 0, QItemSelectionModel::NoUpdate);
        grid->clearSelection();
        grid->setRangeSelected(QTableWidgetSelectionRange(top, 0, bottom, 1), true);
    }
    static void DoubleClick(TMyStringGrid *grid, int row, Qt::KeyboardModifiers modifiers = {})
    {
        const QPoint at = grid->visualRect(grid->model()->index(row, 1)).center();
        grid->setCurrentCell(row, 0);
        QMouseEvent e(QEvent::MouseButtonDblClick, at, grid->viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, modifiers);
        QApplication::sendEvent(grid->viewport(), &e);
    }
    static TRecipientList Entries(int n)
    {
        TRecipientList list;
        for (int i = 1; i <= n; ++i)
            list.append({QStringLiteral("a%1@x.org").arg(i), QStringLiteral("N%1").arg(i)});
        return list;
    }

    QTemporaryDir dir;
    std::unique_ptr<TAddressBook> book;
};

// ---- The file -----------------------------------------------------------------------------

TEST_F(BookTest, FileIsReadUpToTheFirstAbsentName)
{
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    const struct {
        const char *what;
        QByteArray bytes;
        TRecipientList expected;
    } cases[] = {
        {"gap at Name3", "[Addresses]\nName1=A\nAddress1=a@x\nName2=B\nAddress2=b@x\nName4=D\nAddress4=d@x\n",
         {{"a@x", "A"}, {"b@x", "B"}}},
        {"marker value ends the list",
         "[Addresses]\nName1=A\nName2=this string is not in inifile\nAddress2=b@x\nName3=C\n",
         {{"", "A"}}},
        {"marker as an address is an empty address",
         "[Addresses]\nName1=A\nAddress1=this string is not in inifile\n", {{"", "A"}}},
        {"names and keys in other case, blanks around values",
         "[addresses]\nNAME1 =  Spaced Out \naddress1= s@x \n", {{"s@x", "Spaced Out"}}},
        {"another section only", "[Other]\nName1=A\n", {}},
        {"Windows-1251 from elsewhere",
         cp1251->fromUnicode(QStringLiteral("[Addresses]\r\nName1=Иван Петров\r\nAddress1=ivan@x.ru\r\n")),
         {{"ivan@x.ru", "Иван Петров"}}},
        {"UTF-8", QStringLiteral("[Addresses]\nName1=Иван\nAddress1=i@x.ru\n").toUtf8(),
         {{"i@x.ru", "Иван"}}},
    };
    for (const auto &c : cases) {
        WriteBytes(BookPath(), c.bytes);
        EXPECT_EQ(Show(ReadAddressBook(BookPath())), Show(c.expected)) << c.what;
    }
    QFile::remove(BookPath());
    EXPECT_TRUE(ReadAddressBook(BookPath()).isEmpty());
}

TEST_F(BookTest, FiveEntriesReducedToThreeAreSavedAsThree)
{
    WriteBytes(BookPath(), "[Other]\nKeep=1\n");
    WriteBook(Entries(5));
    Open();
    EXPECT_EQ(book->gridAdresses->rowCount(), 5);
    Select(book->gridAdresses, 3, 3, 4);
    ComDialogsTest::QueueAnswer(mrOk);
    book->btnDeleteAddress->click();
    book->FormDestroy();
    book.reset();

    const TIniFile ini(BookPath());
    EXPECT_EQ(ini.ReadSection("Addresses"),
              QStringList({"Name1", "Address1", "Name2", "Address2", "Name3", "Address3"}));
    EXPECT_EQ(ini.ReadString("Other", "Keep", ""), "1") << "other sections stay";
    EXPECT_EQ(Show(ReadAddressBook(BookPath())), Show(Entries(3)));
    Open();
    EXPECT_EQ(Show(book->gridAdresses), "[N1|a1@x.org][N2|a2@x.org][N3|a3@x.org]");
}

TEST_F(BookTest, AnEmptyBookIsStoredAsOneEmptyEntry)
{
    Open();   // no file yet
    EXPECT_TRUE(book->IsBookEmpty());
    EXPECT_FALSE(book->btnEditAddr->isEnabled());
    EXPECT_FALSE(book->btnDeleteAddress->isEnabled());
    book.reset();   // saved when destroyed, after Cancel as well
    const QByteArray text = ReadBytes(BookPath());
    EXPECT_TRUE(text.contains("[Addresses]\nName1=\nAddress1=\n")) << text.constData();
    EXPECT_EQ(Show(ReadAddressBook(BookPath())), "[|]");
    Open();
    EXPECT_TRUE(book->IsBookEmpty());
    EXPECT_EQ(book->gridAdresses->rowCount(), 1);
}

TEST_F(BookTest, AFailedSaveLeavesTheOldFileAndIsReportedOnce)
{
    WriteBook(Entries(2));
    const QByteArray before = ReadBytes(BookPath());
    Open();
    book->gridAdresses->SetCell(0, 0, "Changed");
    {
        TFailingWrites failing;
        try {
            book->FormDestroy();
            ADD_FAILURE() << "the failed save was not reported";
        } catch (const EIniFileError &e) {
            EXPECT_EQ(e.Message(), "Unable to write to " + BookPath() + ": No space left on device");
        }
        book.reset();   // does not try (and fail) again
    }
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(ReadBytes(BookPath()), before);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files) == QStringList{"Sendorix.adr"})
        << "no temporary file left behind";
}

// ---- The dialog ---------------------------------------------------------------------------

TEST_F(BookTest, DeletingTheOnlyEntryEmptiesItsRow)
{
    WriteBook(Entries(1));
    Open();
    EXPECT_TRUE(book->btnDeleteAddress->isEnabled());
    ComDialogsTest::QueueAnswer(mrCancel);
    book->btnDeleteAddress->click();
    EXPECT_EQ(Show(book->gridAdresses), "[N1|a1@x.org]") << "Cancel keeps it";
    ComDialogsTest::QueueAnswer(mrOk);
    book->piDeleteAddr->trigger();
    EXPECT_EQ(Show(book->gridAdresses), "[|]");
    EXPECT_TRUE(book->IsBookEmpty());
    EXPECT_FALSE(book->btnEditAddr->isEnabled());
    EXPECT_FALSE(book->btnDeleteAddress->isEnabled());
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[0].Text, "Are you sure?");
    EXPECT_EQ(log[0].DlgType, mtConfirmation);
    EXPECT_EQ(log[0].Buttons, (TMsgDlgButtons{mbOK, mbCancel}));

    // The only receiver, without a question.
    book->SetReceivers({{"r@x.org", "R"}});
    book->btnTargetDeleteAddr->click();
    EXPECT_EQ(Show(book->gridTarget), "[|]");
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
}

TEST_F(BookTest, DeletingARangeRemovesItFromTheBottomUpAndRefocuses)
{
    const struct {
        bool receivers;
        int focused, top, bottom;
        const char *left;
        int current;
    } cases[] = {
        // Focus inside the range: the focused row number still exists.
        {false, 1, 1, 3, "[N1|a1@x.org][N5|a5@x.org][N6|a6@x.org]", 1},
        // Focus at the range's end, past the new last row: the last row.
        {false, 5, 3, 5, "[N1|a1@x.org][N2|a2@x.org][N3|a3@x.org]", 2},
        {true, 3, 1, 3, "[N1|a1@x.org][N5|a5@x.org][N6|a6@x.org]", 2},
        // Everything: the last row left is emptied, not removed.
        {true, 0, 0, 5, "[|]", 0},
    };
    for (const auto &c : cases) {
        WriteBook(Entries(6));
        Open();
        book->SetReceivers(Entries(6));
        TMyStringGrid *grid = c.receivers ? book->gridTarget : book->gridAdresses;
        Select(grid, c.focused, c.top, c.bottom);
        if (c.receivers) {
            book->btnFromTarget->click();
        } else {
            ComDialogsTest::QueueAnswer(mrOk);
            book->btnDeleteAddress->click();
        }
        EXPECT_EQ(Show(grid), c.left) << c.focused << " " << c.top << ".." << c.bottom;
        EXPECT_EQ(grid->currentRow(), c.current) << c.focused << " " << c.top << ".." << c.bottom;
        book.reset();
    }
}

TEST_F(BookTest, ToReceiversFillsTheBlankRowAndMakesOkTheDefault)
{
    WriteBook({{"a@x.org", "A"}, {"b@x.org", ""}, {"c@x.org", "C"}});
    Open();
    EXPECT_FALSE(book->OKBtn->isDefault());
    Select(book->gridAdresses, 0, 0, 1);
    book->btnToTarget->click();
    EXPECT_EQ(Show(book->gridTarget), "[A|a@x.org][|b@x.org]");
    EXPECT_TRUE(book->OKBtn->isDefault());
    // A double click adds the focused entry; with Ctrl held it does not.
    DoubleClick(book->gridAdresses, 2, Qt::ControlModifier);
    EXPECT_EQ(book->gridTarget->rowCount(), 2);
    DoubleClick(book->gridAdresses, 2);
    EXPECT_EQ(Show(book->gridTarget), "[A|a@x.org][|b@x.org][C|c@x.org]");
}

TEST_F(BookTest, NoDuplicatesComparesAddressesWithoutCaseAndBlanks)
{
    WriteBook({{" A@X.org ", "Again"}, {"new@x.org", "New"}});
    Open();
    book->SetReceivers({{"a@x.org", "First"}, {"A@X.ORG", "Upper"}, {"d@y.org", "Other"},
                        {"a@x.org ", "Blank"}});
    EXPECT_FALSE(book->cbNoDuplicates->isChecked()) << "starts off";
    book->cbNoDuplicates->click();
    EXPECT_EQ(Show(book->gridTarget), "[First|a@x.org][Other|d@y.org]");
    book->cbNoDuplicates->click();   // off: nothing happens
    EXPECT_EQ(book->gridTarget->rowCount(), 2);
    book->cbNoDuplicates->click();

    DoubleClick(book->gridAdresses, 0);   // already a receiver
    EXPECT_EQ(Show(book->gridTarget), "[First|a@x.org][Other|d@y.org]");
    EXPECT_FALSE(book->OKBtn->isDefault());
    // A range led by a new address brings only that one.
    Select(book->gridAdresses, 1, 0, 1);
    book->btnToTarget->click();
    EXPECT_EQ(Show(book->gridTarget), "[First|a@x.org][Other|d@y.org][New|new@x.org]");
}

TEST_F(BookTest, NewAndEditGoThroughTheEntryDialog)
{
    Open();
    WhenShown<TAddAddress>(Enter(" Ann ", " ann@x.org "));
    book->btnNewAddr->click();
    EXPECT_EQ(Show(book->gridAdresses), "[ Ann | ann@x.org ]") << "the blank row, texts untrimmed";
    EXPECT_TRUE(book->btnEditAddr->isEnabled());
    WhenShown<TAddAddress>(Enter("Bob", "bob@x.org"));
    book->piNewAddr->trigger();
    EXPECT_EQ(Show(book->gridAdresses), "[ Ann | ann@x.org ][Bob|bob@x.org]");
    EXPECT_EQ(book->gridAdresses->currentRow(), 1);
    WhenShown<TAddAddress>([](TAddAddress *d) { d->CancelBtn->click(); });
    book->btnNewAddr->click();
    EXPECT_EQ(book->gridAdresses->rowCount(), 2);

    // Edit shows the focused entry and writes back into the same row.
    book->gridAdresses->setCurrentCell(0, 0);
    QString shown;
    QString firstFocus;
    WhenShown<TAddAddress>([&shown, &firstFocus](TAddAddress *d) {
        shown = d->edName->text() + "|" + d->edAddress->text();
        firstFocus = d->focusWidget() ? d->focusWidget()->objectName() : QString();
        Enter("Ann Lee", "ann@x.org")(d);
    });
    book->btnEditAddr->click();
    EXPECT_EQ(shown, " Ann | ann@x.org ");
    EXPECT_EQ(firstFocus, "edName") << "typing starts in the name";
    EXPECT_EQ(Show(book->gridAdresses), "[Ann Lee|ann@x.org][Bob|bob@x.org]");
    // A double click on a receiver edits it.
    book->SetReceivers({{"r@x.org", "R"}});
    WhenShown<TAddAddress>(Enter("R2", "r2@x.org"));
    DoubleClick(book->gridTarget, 0);
    EXPECT_EQ(Show(book->gridTarget), "[R2|r2@x.org]");
}

TEST_F(BookTest, TheEntryDialogRefusesABlankAddress)
{
    TAddAddress entry;
    entry.show();
    entry.edName->setText("Name only");
    entry.edAddress->setText(" \t ");
    entry.edName->setFocus();
    ComDialogsTest::QueueAnswer(mrOk);
    entry.OKBtn->click();
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Text, "E-mail address needed");
    EXPECT_EQ(log[0].DlgType, mtError);
    EXPECT_EQ(entry.focusWidget(), entry.edAddress);
    EXPECT_TRUE(entry.isVisible()) << "the dialog stays open";
    EXPECT_EQ(entry.result(), 0);
    EXPECT_TRUE(entry.OKBtn->isDefault());

    entry.edAddress->setText(" x@y.org ");
    entry.OKBtn->click();
    EXPECT_EQ(entry.result(), QDialog::Accepted);
    EXPECT_EQ(entry.edAddress->text(), " x@y.org ");
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
}

// What the entry dialog's address field takes: one bare address, internationalized ones
// included; anything else is refused with the reason, in the interface language.
TEST_F(BookTest, TheEntryDialogTakesOnlyAnAddress)
{
    struct Row {
        int base;
        QString typed, box;   // box empty: accepted
    };
    const std::vector<Row> rows = {
        {EnglishBase, "ann@example.org", ""},
        {EnglishBase, "иван@пример.рф", ""},
        {EnglishBase, "\"john smith\"@example.org", ""},
        {EnglishBase, "Foo Bar", "Invalid address: \"Foo Bar\" — this is not an e-mail address (no @)"},
        {RussianBase, "Foo Bar", "Неверный адрес: \"Foo Bar\" — это не адрес электронной почты (нет @)"},
        {EnglishBase, "a@x-.org", "Invalid address: \"a@x-.org\" — invalid domain x-.org"},
        {EnglishBase, "a@x.org b@y.org",
         "Invalid address: \"a@x.org b@y.org\" — the part before @ is not valid"},
        {EnglishBase, "Ann <a@x.org>",
         "Invalid address: \"Ann <a@x.org>\" — the address alone here; the name has a field of its own"},
        {RussianBase, "a@x.org (home)",
         "Неверный адрес: \"a@x.org (home)\" — здесь только адрес, для имени есть своё поле"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.typed.toStdString());
        StringBase = r.base;
        TAddAddress entry;
        entry.show();
        entry.edName->setText("Name");
        entry.edAddress->setText(r.typed);
        ComDialogsTest::QueueAnswer(mrOk);
        entry.OKBtn->click();
        const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
        if (r.box.isEmpty()) {
            EXPECT_EQ(entry.result(), QDialog::Accepted);
            EXPECT_TRUE(log.isEmpty());
            ComDialogsTest::Reset();
            continue;
        }
        ASSERT_EQ(log.size(), 1);
        EXPECT_EQ(log[0].Text, r.box);
        EXPECT_EQ(log[0].DlgType, mtError);
        EXPECT_EQ(entry.result(), 0);
        EXPECT_TRUE(entry.isVisible()) << "the dialog stays open";
    }
    StringBase = EnglishBase;
}

// A key as the user presses it on the widget, given the focus first (a closed inner dialog
// does not hand the activation back on the offscreen platform): shortcuts, then the widget.
void Press(QWidget *w, Qt::Key key, Qt::KeyboardModifiers mods = {})
{
    QApplication::setActiveWindow(w->window());
    w->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(w->hasFocus()) << w->objectName().toStdString();
    if (qt_sendShortcutOverrideEvent(w, 0, key, mods, QString(), false, 1))
        return;
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods);
    QApplication::sendEvent(w, &release);
}

TEST_F(BookTest, KeysActOnTheGridThatHasTheFocus)
{
    WriteBook(Entries(2));
    Open();
    book->show();
    TMyStringGrid *addresses = book->gridAdresses, *target = book->gridTarget;
    addresses->setCurrentCell(0, 0);
    Press(addresses, Qt::Key_Return);
    EXPECT_TRUE(book->isVisible()) << "Enter closes nothing before the first \"->\"";

    Press(addresses, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(Show(target), "[N1|a1@x.org]");
    WhenShown<TAddAddress>(Enter("New", "new@x.org"));
    Press(addresses, Qt::Key_Insert);
    EXPECT_EQ(addresses->rowCount(), 3);
    addresses->setCurrentCell(1, 0);
    WhenShown<TAddAddress>(Enter("Edited", "ed@x.org"));
    Press(addresses, Qt::Key_Return, Qt::AltModifier);
    EXPECT_EQ(Show(addresses), "[N1|a1@x.org][Edited|ed@x.org][New|new@x.org]");

    Press(target, Qt::Key_Delete);   // a receiver goes without a question
    EXPECT_EQ(Show(target), "[|]");
    EXPECT_EQ(addresses->rowCount(), 3);
    ComDialogsTest::QueueAnswer(mrOk);
    Press(addresses, Qt::Key_Delete);
    EXPECT_EQ(addresses->rowCount(), 2);
    EXPECT_EQ(ComDialogsTest::TakeLog().size(), 1);

    // OK is now the default: Enter closes the dialog with OK.
    Press(addresses, Qt::Key_Return);
    EXPECT_FALSE(book->isVisible());
    EXPECT_EQ(book->result(), QDialog::Accepted);
}

// The captions, headers, hints and menu items of both dialogs, word for word in each language.
TEST_F(BookTest, CaptionsSpeakTheInterfaceLanguage)
{
    const struct {
        int base;
        QStringList book, entry;
    } cases[] = {
        {RussianBase,
         {"Адресная книга", "Отмена", "Имя", "Адрес", "Новый адрес", "Поправить адрес", "Удалить адрес",
          "Выбрать для получения", "Адреса:", "Получатели:", "Удалить получателя", "Добавить как получателя сообщений",
          "Исключить из списка получателей", "Добавить", "Поправить", "Удалить", "Удалить", "Без дубликатов"},
         {"Адрес", "Отмена", "Имя:", "Адрес:"}},
        {EnglishBase,
         {"Address book", "Cancel", "Name", "Address", "New address", "Edit address", "Delete address",
          "Select as receiver", "Addresses:", "Receivers:", "Delete receiver", "Add as messages receiver",
          "Exclude from receivers list", "Add", "Edit", "Delete", "Delete", "No duplicates"},
         {"Address", "Cancel", "Name:", "Address:"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.base);
        StringBase = c.base;
        TAddressBook &b = Open();
        const QStringList shown = {b.windowTitle(),
                                   b.CancelBtn->text(),
                                   b.gridAdresses->horizontalHeaderItem(0)->text(),
                                   b.gridAdresses->horizontalHeaderItem(1)->text(),
                                   b.piNewAddr->text(),
                                   b.piEditAddr->text(),
                                   b.piDeleteAddr->text(),
                                   b.piAddToAddr->text(),
                                   b.lblAddresses->text(),
                                   b.lblReceivers->text(),
                                   b.piDeleteReceiver->text(),
                                   b.btnToTarget->toolTip(),
                                   b.btnFromTarget->toolTip(),
                                   b.btnNewAddr->text(),
                                   b.btnEditAddr->text(),
                                   b.btnDeleteAddress->text(),
                                   b.btnTargetDeleteAddr->text(),
                                   b.cbNoDuplicates->text()};
        EXPECT_EQ(shown, c.book);
        EXPECT_EQ(b.gridTarget->horizontalHeaderItem(1)->text(), c.book[3]);
        TAddAddress entry;
        EXPECT_EQ(QStringList(
                      {entry.windowTitle(), entry.CancelBtn->text(), entry.lblName->text(), entry.lblAddress->text()}),
                  c.entry);
        book.reset();
    }
}

// Every caption fits its control and no two controls overlap, in both languages.
TEST_F(BookTest, CaptionsFitInBothLanguages)
{
    WriteBook(Entries(30));
    for (int base : {EnglishBase, RussianBase}) {
        StringBase = base;
        Open();
        book->SetBookCaptions();
        TAddAddress entry;
        for (QDialog *dialog : {static_cast<QDialog *>(book.get()), static_cast<QDialog *>(&entry)}) {
            QList<QWidget *> controls;
            for (QWidget *w : dialog->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                if (!w->isWindow() && w->objectName() != "Bevel")
                    controls << w;
            for (QWidget *w : controls) {
                const std::string what = dialog->objectName().toStdString() + "." + w->objectName().toStdString()
                                         + (base == RussianBase ? " (ru)" : " (en)");
                EXPECT_TRUE(dialog->rect().contains(w->geometry())) << what;
                if (qobject_cast<QPushButton *>(w) || qobject_cast<QCheckBox *>(w) || qobject_cast<QLabel *>(w)) {
                    EXPECT_GE(w->width(), w->sizeHint().width()) << what;
                }
                for (QWidget *other : controls) {
                    if (other != w) {
                        EXPECT_FALSE(w->geometry().intersects(other->geometry()))
                            << what << " overlaps " << other->objectName().toStdString();
                    }
                }
            }
        }
        book.reset();
    }
}

} // namespace

namespace {

// Not a check: writes pictures of both dialogs in both languages, with a book of 30 entries
// and long names, when SENDORIX_SCREENSHOT_DIR is set, for a person to look at.
TEST_F(BookTest, Screenshots)
{
    const QString out = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    if (out.isEmpty())
        GTEST_SKIP() << "set SENDORIX_SCREENSHOT_DIR to write screenshots";
    QDir().mkpath(out);
    TRecipientList entries;
    for (int i = 1; i <= 30; ++i)
        entries.append({QStringLiteral("someone.with.a.long.address%1@subdomain.example.org").arg(i),
                        i % 3 ? QStringLiteral("Константин Константинопольский-%1").arg(i)
                              : QStringLiteral("Maximilian Alexander Fitzgerald %1").arg(i)});
    WriteBook(entries);
    for (int base : {EnglishBase, RussianBase}) {
        StringBase = base;
        const QString lang = base == RussianBase ? "ru" : "en";
        Open();
        book->SetBookCaptions();
        book->SetReceivers(entries.mid(3, 4));
        book->show();
        QApplication::processEvents();
        EXPECT_TRUE(book->grab().save(QStringLiteral("%1/book-%2.png").arg(out, lang)));
        TAddAddress entry;
        entry.edName->setText(entries[1].Name);
        entry.edAddress->setText(entries[1].Address);
        entry.show();
        QApplication::processEvents();
        EXPECT_TRUE(entry.grab().save(QStringLiteral("%1/entry-%2.png").arg(out, lang)));
        book.reset();
    }
}

} // namespace
