// The system address book from the main window to the server: any address book button opens
// the project's own address dialog over the desktop's contacts, the three fields are rewritten
// from what it returns, and a send delivers to them.
#include "SMAPI.h"
#include "../app/send_test_support.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

using namespace sendtest;

namespace {

class SystemAddressBookTest : public WindowTest
{
protected:
    void SetUp() override
    {
        for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            saved.push_back({name, qgetenv(name)});
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
        QDir().mkpath(home.path() + "/.local/share/contacts");
        QFile cards(home.path() + "/.local/share/contacts/friends.vcf");
        ASSERT_TRUE(cards.open(QIODevice::WriteOnly));
        cards.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Smith\r\nEMAIL:anna@example.org\r\nEND:VCARD\r\n"
                    "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Bob Jones\r\nEMAIL:bob@example.org\r\nEND:VCARD\r\n");
        cards.close();
        SmapiSetLibraryName(QCoreApplication::applicationDirPath()
                            + "/../bin/libsendorix_simplemapi.so");
        WindowTest::SetUp();
    }
    void TearDown() override
    {
        WindowTest::TearDown();
        SmapiSetLibraryName(QString());
        for (const auto &[name, value] : saved) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
    }

    QTemporaryDir home;
    std::vector<std::pair<const char *, QByteArray>> saved;
};

} // namespace

TEST_F(SystemAddressBookTest, TheCcButtonEditsAllThreeFieldsAndTheSendReachesThem)
{
    form->cbUseMAPIAddresBook->setChecked(true);
    form->edtTo->setEditText(QStringLiteral("\"Old Friend\" <old@example.org>"));
    form->edtCC->setEditText(QString());
    form->edBCC->setEditText(QString());

    QStringList toOnEntry;
    bool driven = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (dialog == nullptr || dialog->objectName() != "SimpleMapiAddressDialog" || driven)
            return;
        driven = true;
        poll.stop();
        auto *search = dialog->findChild<QLineEdit *>("edtSearch");
        auto *to = dialog->findChild<QListWidget *>("lstTo");
        for (int i = 0; i < to->count(); ++i)
            toOnEntry << to->item(i)->text();
        to->item(0)->setSelected(true);
        dialog->findChild<QPushButton *>("btnRemove")->click();
        search->setText("anna");
        dialog->findChild<QPushButton *>("btnTo")->click();
        search->setText("carl@example.org");   // no contact: taken as typed
        dialog->findChild<QPushButton *>("btnTo")->click();
        search->setText("bob@");
        dialog->findChild<QPushButton *>("btnBcc")->click();
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    poll.start();
    form->btnAddressBookCc->click();

    ASSERT_TRUE(driven);
    EXPECT_EQ(toOnEntry, QStringList{"Old Friend <old@example.org>"});
    EXPECT_EQ(form->edtTo->currentText(),
              "\"Anna Smith\" <anna@example.org>, \"carl@example.org\" <carl@example.org>");
    EXPECT_EQ(form->edtCC->currentText(), "");
    EXPECT_EQ(form->edBCC->currentText(), "\"Bob Jones\" <bob@example.org>");

    SmtpSink sink;
    form->edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
    form->edPort->setText(QString::number(sink.port));
    form->edAccount->setText(QStringLiteral("me@example.org"));
    AddThroughDialog(MakeFiles({"report.bin"}));
    ComDialogsTest::TakeLog();
    form->btnSend->click();

    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(form->lbProgressInfo->text(), "All done");
    ASSERT_EQ(sink.Count(), 2);   // one transaction for To, one for Bcc
    EXPECT_EQ(Strings(sink.Message(1)["rcpt_tos"]),
              QStringList({"anna@example.org", "carl@example.org"}));
    EXPECT_EQ(Strings(sink.Message(2)["rcpt_tos"]), QStringList{"bob@example.org"});
}
