// The recipient fields' address book buttons in the real window: the field goes into the
// book's receivers and comes back as text on OK, Cancel keeps the field but saves the book,
// a failed save is shown once, and receivers picked from the book get the mail.
#include "addressbook_test_support.h"

#include "IniFile.h"
#include "Recipients.h"
#include "../app/send_test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

using namespace booktest;

namespace {

class BookWindowTest : public sendtest::WindowTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        TMainForm::SetSettingsFolderForTests(folder.path());
        sendtest::WindowTest::SetUp();
        form->cbUseMAPIAddresBook->setChecked(false);
        ComDialogsTest::TakeLog();
    }
    void TearDown() override
    {
        sendtest::WindowTest::TearDown();
        TMainForm::SetSettingsFolderForTests(QString());
    }
    QString BookPath() const { return folder.filePath("Sendorix.adr"); }

    QTemporaryDir folder;
};

TEST_F(BookWindowTest, FieldTextGoesThroughTheDialogAndBackUnchanged)
{
    const TRecipientList entries{{"j@x.org", "Doe, John"}, {"s@x.org", "Say \"hi\", \\o/"},
                                 {"plain@x.org", ""},      {"ann@x.org", "Ann Lee"}};
    const QString text = FormatBookRecipients(entries);
    EXPECT_EQ(text, "\"Doe, John\" <j@x.org>,\"Say \\\"hi\\\", \\\\o/\" <s@x.org>,plain@x.org,"
                    "\"Ann Lee\" <ann@x.org>");
    form->edtCC->setEditText(text);
    QString shown;
    QStringList tabbedTo;
    WhenShown<TAddressBook>([&shown, &tabbedTo](TAddressBook *book) {
        shown = Show(book->gridTarget);
        // Tab leaves either grid for the next control, Shift+Tab for the one before.
        book->activateWindow();
        QApplication::processEvents();
        for (TMyStringGrid *grid : {book->gridAdresses, book->gridTarget})
            for (const auto modifiers : {Qt::NoModifier, Qt::ShiftModifier}) {
                grid->setFocus(Qt::OtherFocusReason);
                grid->setCurrentCell(0, 0);
                if (QApplication::focusWidget() != grid) {
                    tabbedTo << QStringLiteral("not focused");
                    continue;
                }
                QKeyEvent tab(QEvent::KeyPress, modifiers ? Qt::Key_Backtab : Qt::Key_Tab, modifiers);
                QApplication::sendEvent(grid, &tab);
                tabbedTo << (QApplication::focusWidget() == grid ? QStringLiteral("stayed")
                                                                  : QStringLiteral("left"));
            }
        book->OKBtn->click();
    });
    form->btnAddressBookCc->click();
    EXPECT_EQ(shown, "[Doe, John|j@x.org][Say \"hi\", \\o/|s@x.org][|plain@x.org][Ann Lee|ann@x.org]");
    EXPECT_EQ(tabbedTo, QStringList({"left", "left", "left", "left"}));
    EXPECT_EQ(form->edtCC->currentText(), text);
    TRecipientList parsed;
    ParseRecipients(form->edtCC->currentText(), parsed);
    EXPECT_EQ(Show(parsed), Show(entries));
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
}

TEST_F(BookWindowTest, CancelKeepsBookEditsButNotTheField)
{
    form->edBCC->setEditText("keep@x.org, \"K\" <k@x.org>");
    QString shown;
    WhenShown<TAddressBook>([&shown](TAddressBook *book) {
        shown = Show(book->gridTarget);
        WhenShown<TAddAddress>(Enter("New One", "new@x.org"));
        book->btnNewAddr->click();
        book->btnToTarget->click();
        book->CancelBtn->click();
    });
    form->btnAddressBookBcc->click();
    EXPECT_EQ(shown, "[|keep@x.org][K|k@x.org]");
    EXPECT_EQ(form->edBCC->currentText(), "keep@x.org, \"K\" <k@x.org>");
    EXPECT_EQ(Show(ReadAddressBook(BookPath())), "[New One|new@x.org]");
}

TEST_F(BookWindowTest, AFailedSaveIsShownOnceAndKeepsTheOldBook)
{
    WriteAddressBook(BookPath(), {{"a@x.org", "A"}});
    const QByteArray before = ReadBytes(BookPath());
    {
        TFailingWrites failing;
        WhenShown<TAddressBook>([](TAddressBook *book) {
            book->btnToTarget->click();
            book->OKBtn->click();
        });
        form->btnAddressBookTo->click();
    }
    EXPECT_EQ(form->edtTo->currentText(), "\"A\" <a@x.org>") << "the field was set before the save";
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    EXPECT_EQ(log[0].Text, "Unable to write to " + BookPath() + ": No space left on device");
    EXPECT_EQ(ReadBytes(BookPath()), before);
}

TEST_F(BookWindowTest, ReceiversPickedFromTheBookGetTheMail)
{
    WriteAddressBook(BookPath(), {{"ann@example.org", "Ann Lee"}, {"bob@example.org", ""},
                                  {"carl@example.org", "Carl"}});
    sendtest::SmtpSink sink;
    WhenShown<TAddressBook>([](TAddressBook *book) {
        book->gridAdresses->setCurrentCell(0, 0);
        book->gridAdresses->setRangeSelected(QTableWidgetSelectionRange(0, 0, 1, 1), true);
        book->btnToTarget->click();
        book->OKBtn->click();
    });
    form->btnAddressBookTo->click();
    EXPECT_EQ(form->edtTo->currentText(), "\"Ann Lee\" <ann@example.org>,bob@example.org");

    form->edSMTPName->setEditText("127.0.0.1");
    form->edPort->setText(QString::number(sink.port));
    form->edAccount->setText("me@example.org");
    AddThroughDialog(MakeFiles({"one.bin"}));
    form->btnSend->click();

    ASSERT_EQ(sink.Count(), 1);
    const QJsonObject m = sink.Message(1);
    EXPECT_EQ(sendtest::Strings(m.value("rcpt_tos")), QStringList({"ann@example.org", "bob@example.org"}));
    EXPECT_EQ(sendtest::Text(m, "to"), "\"Ann Lee\" <ann@example.org>,bob@example.org");
}


// The book may be made larger (its grids grow, the buttons follow) or smaller down to what its
// buttons need (nothing overlaps), and opens at the size the user gave it last time.
TEST_F(BookWindowTest, TheBookGrowsWithItsWindowAndOpensAtTheSizeItWasGiven)
{
    auto inside = [](const QWidget *dialog, const QWidget *w) {
        return QRect(QPoint(0, 0), dialog->size()).contains(w->geometry());
    };
    QSize designed, grown, least;
    QStringList problems;
    WhenShown<TAddressBook>([&](TAddressBook *book) {
        designed = book->size();
        const int gridW = book->gridAdresses->width(), gridH = book->gridAdresses->height();
        book->resize(designed + QSize(100, 60));
        QApplication::processEvents();
        grown = book->size();
        if (book->gridAdresses->width() != gridW + 50 || book->gridTarget->width() != gridW + 50
            || book->gridAdresses->height() != gridH + 60)
            problems << "the grids did not take the new room";
        book->resize(100, 100);   // as small as it goes
        QApplication::processEvents();
        least = book->size();
        QList<QWidget *> parts{book->gridAdresses, book->gridTarget, book->btnToTarget, book->btnFromTarget,
                               book->btnNewAddr, book->btnEditAddr, book->btnDeleteAddress,
                               book->cbNoDuplicates, book->btnTargetDeleteAddr, book->OKBtn, book->CancelBtn};
        for (QWidget *w : parts) {
            if (!inside(book, w))
                problems << w->objectName() + " is cut";
            for (QWidget *other : parts)
                if (other != w && other->geometry().intersects(w->geometry()))
                    problems << w->objectName() + " overlaps " + other->objectName();
        }
        if (book->gridAdresses->geometry().bottom() >= book->btnNewAddr->y())
            problems << "the buttons are not under the grid";
        book->resize(grown);
        book->CancelBtn->click();
    });
    form->btnAddressBookTo->click();
    EXPECT_EQ(grown, designed + QSize(100, 60));
    EXPECT_LT(least.width(), designed.width());
    EXPECT_LT(least.height(), designed.height());
    EXPECT_EQ(problems, QStringList());
    EXPECT_EQ(TIniFile(folder.filePath("Sendorix.cfg")).ReadString("DialogSizes", "AddressBook", ""),
              QStringLiteral("%1,%2").arg(grown.width()).arg(grown.height()));

    QSize reopened;
    WhenShown<TAddressBook>([&](TAddressBook *book) {
        reopened = book->size();
        book->OKBtn->click();
    });
    form->btnAddressBookCc->click();
    EXPECT_EQ(reopened, grown);
}

} // namespace
