// A series that survives the network: a connection that drops or a server that closes it
// (421) in the middle of a series costs no message and duplicates none.
#include "send_test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QSpinBox>

using namespace sendtest;

namespace {

class ReconnectTest : public WindowTest {
protected:
    // The journal is kept beside the settings: a folder of the test's own.
    void SetUp() override
    {
        TMainForm::SetSettingsFolderForTests(settings.path());
        WindowTest::SetUp();
        ComDialogsTest::TakeLog();   // the first start's question about the address book
    }
    void TearDown() override
    {
        WindowTest::TearDown();
        TMainForm::SetSettingsFolderForTests(QString());
    }
    QTemporaryDir settings;
    void Fill(int port, int files)
    {
        form->edtTo->setEditText(QStringLiteral("to@example.org"));
        form->edtSubject->setEditText(QStringLiteral("Series"));
        form->edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
        form->edPort->setText(QString::number(port));
        form->edAccount->setText(QStringLiteral("me@example.org"));
        form->cbAddPartNo->setChecked(true);
        form->cbAddFileName->setChecked(false);
        form->spinFilesInMessage->setValue(1);
        form->VokSMTP.TimeOut = 30000;
        form->ReconnectDelayMs = 10;   // the waits of a real job are seconds
        QStringList names;
        for (int i = 1; i <= files; ++i)
            names << QString("f%1.bin").arg(i);
        AddThroughDialog(MakeFiles(names));
    }
    // Subjects of the messages the server accepted, checking each Message-Id came once.
    QStringList Accepted(const SmtpSink &sink)
    {
        QStringList subjects;
        QSet<QString> ids;
        for (int n = 1; n <= sink.Count(); ++n) {
            const QJsonObject m = sink.Message(n);
            const QString id = Text(m, "message_id");
            EXPECT_FALSE(id.isEmpty());
            EXPECT_FALSE(ids.contains(id)) << "delivered twice: " << id.toStdString();
            ids.insert(id);
            subjects << Text(m, "subject");
        }
        return subjects;
    }
};

}  // namespace

// The connection drops right after message 3 was accepted, or the server answers 421 to the
// MAIL of message 4: the job connects again and each of the 6 messages arrives exactly once,
// numbered as the series numbers it; the protocol tells of the reconnect and the resend. A
// message sent again carries the subject as typed in base64 too (sending encodes it in place).
TEST_F(ReconnectTest, DroppedConnectionAnd421CostNoMessageAndDuplicateNone)
{
    struct Case {
        QStringList options;
        bool resent;      // message 4 was begun on the lost connection
        int encoding;     // 0 8Bit, 1 Base64
        bool longLine;    // a text line too long for 8 bits switches the message to base64
    } cases[] = {{{"--drop-after", "3"}, false, 0, false},
                 {{"--close-mail", "4"}, true, 0, false},
                 {{"--close-mail", "4"}, true, 1, false},
                 {{"--close-mail", "4"}, true, 0, true}};
    QStringList expected;
    for (int n = 1; n <= 6; ++n)
        expected << QString("Series %1(6)").arg(n);
    bool filled = false;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        SmtpSink sink(c.options);
        if (!filled)
            Fill(sink.port, 6);
        filled = true;
        form->edPort->setText(QString::number(sink.port));
        form->comboEncoding->setCurrentIndex(c.encoding);
        form->cbTextOnlyInFirst->setChecked(false);
        form->memoText->setPlainText(c.longLine ? QString(1200, QLatin1Char('w')) : QString("short"));
        QFile::remove(TMainForm::JournalFile());   // each case a fresh series
        form->btnSend->click();

        EXPECT_EQ(Accepted(sink), expected);
        const QStringList en = form->EnglishProtocol;
        EXPECT_EQ(en.last(), "All done");
        const QStringList reconnects = en.filter("Connection lost: ");
        ASSERT_EQ(reconnects.size(), 1) << en.join('\n').toStdString();
        EXPECT_TRUE(reconnects[0].contains("(attempt 1 of 5)...")) << reconnects[0].toStdString();
        EXPECT_TRUE(reconnects[0].endsWith(" done.")) << reconnects[0].toStdString();
        // One full stop after the reason, not the reason's own and a second one.
        EXPECT_FALSE(reconnects[0].contains(QRegularExpression("[^.]\\.\\.[^.]"))) << reconnects[0].toStdString();
        // The memo followed the job to its last line, the line extended in place included.
        const QScrollBar *bar = form->memoProtocol->verticalScrollBar();
        EXPECT_GT(bar->maximum(), 0);
        EXPECT_EQ(bar->value(), bar->maximum());
        EXPECT_EQ(en.filter("Message #4 is sent again").size(), c.resent ? 1 : 0);
        EXPECT_EQ(en.filter(" cancelled by error.").size(), c.resent ? 1 : 0);
        EXPECT_EQ(en.filter("Transfer... done.").size(), 6);
        EXPECT_EQ(form->RussianProtocol.size(), en.size());
        EXPECT_EQ(form->RussianProtocol.filter("Соединение потеряно: ").size(), 1);
    }
}

// A server that is gone for good: the attempts of the setting, each refused, then the job
// ends with the last reason.
TEST_F(ReconnectTest, AServerThatStaysAwayEndsTheJobAfterTheAttempts)
{
    form->ReconnectAttempts = 2;
    {
        SmtpSink sink;
        Fill(sink.port, 3);
        // The server is stopped once message 1 is in: every reconnect is refused.
        auto original = form->VokSMTP.OnAfterSend;
        form->VokSMTP.OnAfterSend = [&, original](void *s) {
            original(s);
            if (sink.proc.state() != QProcess::NotRunning) {
                sink.proc.closeWriteChannel();
                sink.proc.waitForFinished(15000);
            }
        };
        form->btnSend->click();
        form->VokSMTP.OnAfterSend = original;
        EXPECT_EQ(sink.Count(), 1);
    }
    const QStringList en = form->EnglishProtocol;
    EXPECT_EQ(en.filter("Connection lost: ").size(), 2) << en.join('\n').toStdString();
    EXPECT_EQ(en.filter(QRegularExpression(" failed: Socket error: .*'connect'$")).size(), 2);
    EXPECT_TRUE(en.last().startsWith("Error: Socket error: ")) << en.last().toStdString();
    EXPECT_TRUE(form->RussianProtocol.last().startsWith("Ошибка: Socket error: "))
        << form->RussianProtocol.last().toStdString();
    EXPECT_FALSE(form->VokSMTP.Connected);
    EXPECT_TRUE(form->btnSend->isEnabled());
}

// A series stopped after message 2 of 5, the window closed and opened again, the same job sent:
// the user is offered to go on, messages 3 to 5 go out with their own numbers, and the journal
// is gone once the series is complete. The first job asked nothing.
TEST_F(ReconnectTest, AStoppedSeriesGoesOnAfterARestartWithItsOwnNumbers)
{
    SmtpSink sink;
    Fill(sink.port, 5);
    int sends = 0;
    form->VokSMTP.OnBeforeSend = [&, original = form->VokSMTP.OnBeforeSend](void *s) {
        original(s);
        if (++sends == 2)
            form->btnCancel->click();   // the message being sent completes, then the series stops
    };
    form->btnSend->click();
    EXPECT_EQ(form->EnglishProtocol.last(), "Process terminated by user");
    ASSERT_EQ(sink.Count(), 2);
    for (const TShownMessageDlg &box : ComDialogsTest::TakeLog())
        ADD_FAILURE() << "a box during the first job: " << box.Text.toStdString();
    const QString journal = TMainForm::JournalFile();
    EXPECT_TRUE(journal.startsWith(settings.path())) << journal.toStdString();
    ASSERT_TRUE(QFile::exists(journal));
    {
        // A line cut short (the program killed while writing it) is passed over.
        QFile torn(journal);
        ASSERT_TRUE(torn.open(QIODevice::Append));
        torn.write("{\"number\":3,\"message_id\":\"<cut");
    }

    form->SettingsChanged = false;
    form.reset();
    form = Start();
    ComDialogsTest::TakeLog();
    Fill(sink.port, 5);
    ComDialogsTest::QueueAnswer(mrYes);
    form->btnSend->click();

    const QList<TShownMessageDlg> asked = ComDialogsTest::TakeLog();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].Text.contains("2 of 5 messages were delivered")) << asked[0].Text.toStdString();
    EXPECT_TRUE(asked[0].Text.contains("Continue with message 3?")) << asked[0].Text.toStdString();
    EXPECT_TRUE(asked[0].Buttons.Contains(mbHelp));
    EXPECT_EQ(asked[0].HelpContext, InterruptedSeriesHelpContext);
    EXPECT_EQ(Accepted(sink), QStringList({"Series 1(5)", "Series 2(5)", "Series 3(5)", "Series 4(5)",
                                           "Series 5(5)"}));
    EXPECT_EQ(sink.Message(3).value("attachments").toArray().at(0).toObject().value("name").toString(),
              "f3.bin");
    const QStringList en = form->EnglishProtocol;
    EXPECT_EQ(en.filter("Continuing the interrupted series with message #3").size(), 1);
    EXPECT_EQ(en.filter(QRegularExpression("^Message #[12] was delivered before \\(<.*>\\); skipped$")).size(), 2);
    EXPECT_EQ(en.last(), "All done");
    EXPECT_EQ(form->lblNumOfMessage->text(), "5 <5>");
    EXPECT_FALSE(QFile::exists(journal));

    // The same series once more: complete, so nothing is offered and all five go again.
    form->btnSend->click();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(sink.Count(), 10);
}
