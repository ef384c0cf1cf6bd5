// Send jobs through the real window against a real SMTP server: the series, the subjects and
// counters, the envelopes, the attachments byte for byte, both protocol copies, Russian mode,
// the checks before sending, refused connections and messages, Cancel, and a vanished file.
#include "send_test_support.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

using namespace sendtest;

namespace {

class SendJobTest : public WindowTest {
protected:
    void Fill(int port, const QStringList &paths)
    {
        form->edtTo->setEditText(QStringLiteral("to@example.org"));
        form->edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
        form->edPort->setText(QString::number(port));
        form->edAccount->setText(QStringLiteral("me@example.org"));
        if (!paths.isEmpty())
            AddThroughDialog(paths);
    }
    void Send()
    {
        ComDialogsTest::TakeLog();
        form->btnSend->click();
    }
    // Records the counter and the window's lock state as each message starts going out.
    void WatchMessages()
    {
        auto original = form->VokSMTP.OnBeforeSend;
        form->VokSMTP.OnBeforeSend = [this, original](void *sender) {
            counters << form->lblNumOfMessage->text();
            lockedDuringSend = lockedDuringSend && !form->btnSend->isEnabled()
                               && form->btnCancel->isEnabled() && !form->TabSheet3->isEnabled()
                               && !form->comboLanguage->isEnabled() && !form->btnSaveLog->isEnabled()
                               && form->memoProtocol->isEnabled();
            if (original)
                original(sender);
        };
    }
    void ExpectUnlocked()
    {
        EXPECT_TRUE(form->btnSend->isEnabled());
        EXPECT_TRUE(form->btnClose->isEnabled());
        EXPECT_TRUE(form->comboLanguage->isEnabled());
        EXPECT_FALSE(form->btnCancel->isEnabled());
        EXPECT_EQ(form->btnSaveLog->isEnabled(), !form->EnglishProtocol.isEmpty());
        for (QWidget *page : {form->TabSheet1, form->TabSheet2, form->TabSheet3, form->TabSheet4,
                              form->TabSheet5})
            EXPECT_TRUE(page->isEnabled());
        EXPECT_FALSE(form->SendJobRunning());
    }
    // The protocol with the two date lines' times cut off, for exact comparison.
    static QStringList Comparable(QStringList lines)
    {
        for (QString &l : lines)
            for (const char *prefix : {"Transfer started: ", "Transfer finished: ", "Передача начата: ",
                                       "Передача окончена: "})
                if (l.startsWith(QString::fromUtf8(prefix)) && l.size() > QString::fromUtf8(prefix).size())
                    l = QString::fromUtf8(prefix) + QStringLiteral("<time>");
        return lines;
    }
    static QString Normalised(const QByteArray &text)
    {
        QByteArray t = text;
        t.replace("\r\n", "\n");
        while (t.endsWith('\n'))
            t.chop(1);
        return QString::fromLatin1(t);
    }

    QStringList counters;
    bool lockedDuringSend = true;
};

TEST_F(SendJobTest, SevenFilesAtThreePerMessageGoOutAsANumberedSeries)
{
    SmtpSink sink;
    const QStringList paths = MakeFiles({"a", "b", "c", "d", "e", "f", "g"});
    Fill(sink.port, paths);
    form->edtCC->setEditText(QStringLiteral("cc@example.org"));
    form->edBCC->setEditText(QStringLiteral("bcc@example.org"));
    form->edtSubject->setEditText(QStringLiteral("S"));
    form->cbAddPartNo->setChecked(true);
    form->cbAddFileName->setChecked(true);
    form->cbTextOnlyInFirst->setChecked(true);
    form->memoText->setPlainText(QStringLiteral("Hello\nCaf\u00e9 line"));
    form->spinFilesInMessage->setValue(3);
    WatchMessages();
    Send();

    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(counters, QStringList({"1 <3>", "2 <6>", "3 <7>"}));
    EXPECT_TRUE(lockedDuringSend);
    EXPECT_EQ(form->lblNumOfMessage->text(), "3 <7>");
    EXPECT_EQ(form->lbProgressInfo->text(), "All done");
    ExpectUnlocked();
    EXPECT_EQ(form->PageControl->currentWidget(), form->TabSheet5);   // jumped to the protocol

    // One transaction per recipient list, To, Cc, Bcc, for each of the three messages.
    ASSERT_EQ(sink.Count(), 9);
    const QStringList subjects = {"S 1(3) <a, b, c>", "S 2(3) <d, e, f>", "S 3(3) <g>"};
    const QList<QStringList> groups = {paths.mid(0, 3), paths.mid(3, 3), paths.mid(6)};
    const QStringList rcpt = {"to@example.org", "cc@example.org", "bcc@example.org"};
    for (int m = 0; m < 3; ++m) {
        for (int t = 0; t < 3; ++t) {
            const int n = m * 3 + t + 1;
            SCOPED_TRACE(n);
            const QJsonObject msg = sink.Message(n);
            EXPECT_EQ(Text(msg, "mail_from"), "me@example.org");
            EXPECT_EQ(Strings(msg["rcpt_tos"]), QStringList{rcpt[t]});
            EXPECT_EQ(Text(msg, "subject"), subjects[m]);
            EXPECT_EQ(Text(msg, "text_charset"), "iso-8859-1");
            EXPECT_EQ(Normalised(Hex(msg, "text_hex")),
                      m == 0 ? QString::fromLatin1("Hello\nCaf\xe9 line") : QString());
            if (m == 0) {
                EXPECT_TRUE(Hex(msg, "text_hex").contains('\xe9'));   // Latin-1, one byte
            }
            const QJsonArray atts = msg["attachments"].toArray();
            ASSERT_EQ(atts.size(), groups[m].size());
            for (int k = 0; k < atts.size(); ++k) {
                EXPECT_EQ(atts[k].toObject()["name"].toString(), QFileInfo(groups[m][k]).fileName());
                QFile f(groups[m][k]);
                ASSERT_TRUE(f.open(QIODevice::ReadOnly));
                EXPECT_EQ(sink.Attachment(n, k + 1), f.readAll());
            }
        }
    }

    const QString port = QString::number(sink.port);
    const QStringList english = {
        "Sendorix 1.03", "================", "Transfer started: <time>", "From: me@example.org",
        "To: to@example.org", "Copies: cc@example.org", "Hidden: bcc@example.org", "Subject: S",
        "================", "Connecting to server 127.0.0.1:" + port + "...", "Connection successful",
        "Message #1: S 1(3)", "File a", "File b", "File c", "Transfer... done.",
        "Message #2: S 2(3)", "File d", "File e", "File f", "Transfer... done.",
        "Message #3: S 3(3)", "File g", "Transfer... done.",
        "Disconnecting... done.", "Transfer finished: <time>", "All done"};
    const QStringList russian = {
        "Sendorix 1.03", "================", "Передача начата: <time>", "От: me@example.org",
        "Получатель: to@example.org", "Копии: cc@example.org", "Скрытые: bcc@example.org", "Тема: S",
        "================", "Подключение к серверу 127.0.0.1:" + port + "...",
        "Подключение проведено успешно",
        "Сообщение #1: S 1(3)", "Файл a", "Файл b", "Файл c", "Передача... выполнено.",
        "Сообщение #2: S 2(3)", "Файл d", "Файл e", "Файл f", "Передача... выполнено.",
        "Сообщение #3: S 3(3)", "Файл g", "Передача... выполнено.",
        "Отключение от сервера... выполнено.", "Передача окончена: <time>", "Все задачи выполнены"};
    EXPECT_EQ(Comparable(form->EnglishProtocol), english);
    EXPECT_EQ(Comparable(form->RussianProtocol), russian);
    EXPECT_EQ(form->memoProtocol->toPlainText(), form->EnglishProtocol.join('\n'));
    EXPECT_TRUE(form->btnSaveLog->isEnabled());

    // The other language shows the other copy, line for line; switching back restores it.
    PickLanguage(1);
    EXPECT_EQ(form->memoProtocol->toPlainText(), form->RussianProtocol.join('\n'));
    EXPECT_EQ(form->memoProtocol->blockCount(), english.size());
    PickLanguage(0);
    EXPECT_EQ(form->memoProtocol->toPlainText(), form->EnglishProtocol.join('\n'));
}

TEST_F(SendJobTest, SubjectWithoutNumbersAndNamesAndTheArchivingOption)
{
    SmtpSink sink;
    const QStringList paths = MakeFiles({"p.bin", "q.bin", "r.bin", "s.bin"});
    Fill(sink.port, paths);
    form->edtSubject->setEditText(QStringLiteral("Plain"));
    form->spinFilesInMessage->setValue(5);
    Send();
    ASSERT_EQ(sink.Count(), 1);   // more files per message than files: one message
    EXPECT_EQ(Text(sink.Message(1), "subject"), "Plain");
    EXPECT_EQ(sink.Message(1)["attachments"].toArray().size(), 4);

    // The internal archiving option sends the files as one archive, cut by the message size
    // (the files-per-message spin does not count), into the window's temporary folder.
    SmtpSink sink2;
    form->edPort->setText(QString::number(sink2.port));
    form->cbUseZip->setChecked(true);
    form->spinOneMessageSize->setValue(1);   // too small for any part
    form->cbAddPartNo->setChecked(true);
    form->cbAddFileName->setChecked(true);
    form->edtSubject->setEditText(QStringLiteral("S"));
    Send();
    EXPECT_EQ(sink2.Count(), 0);
    EXPECT_TRUE(form->EnglishProtocol.join('\n').contains("A message size of 1 KiB")) << form->EnglishProtocol.join('\n').toStdString();
    form->spinOneMessageSize->setValue(100);
    WatchMessages();
    Send();
    ASSERT_EQ(sink2.Count(), 1);
    EXPECT_EQ(Text(sink2.Message(1), "subject"), "S 1(1) <S.zip>");
    EXPECT_EQ(counters, QStringList({"1 <1>"}));
}

TEST_F(SendJobTest, RussianModeSendsKoi8RecodedOnce)
{
    SmtpSink sink;
    PickLanguage(1);
    ASSERT_TRUE(IsRussian());
    const QStringList paths = MakeFiles({"x.txt", "y.txt", "z.txt"});
    Fill(sink.port, paths);
    const QString subject = QStringLiteral("Отчёт за год");
    form->edtSubject->setEditText(subject);
    form->cbAddPartNo->setChecked(true);
    form->cbAddFileName->setChecked(true);
    form->memoText->setPlainText(QStringLiteral("Привет, мир!\nВторая строка"));
    form->spinFilesInMessage->setValue(2);
    Send();

    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    ASSERT_EQ(sink.Count(), 2);
    const QJsonObject first = sink.Message(1);
    EXPECT_EQ(Text(first, "text_charset"), "koi8-r");
    // Non-ASCII header texts travel as encoded words in the message's charset.
    EXPECT_TRUE(Hex(first, "subject_raw_hex").startsWith("=?koi8-r?B?"));
    EXPECT_EQ(Text(first, "subject"), subject + " 1(2) <x.txt, y.txt>");
    EXPECT_EQ(Text(sink.Message(2), "subject"), subject + " 2(2) <z.txt>");
    QString text = Text(first, "text_koi8");
    text.replace("\r\n", "\n");
    EXPECT_EQ(text.trimmed(), "Привет, мир!\nВторая строка");
    // The protocol keeps the text as typed.
    EXPECT_TRUE(form->RussianProtocol.contains("Сообщение #1: " + subject + " 1(2)"));
    EXPECT_TRUE(form->EnglishProtocol.contains("Message #1: " + subject + " 1(2)"));
    EXPECT_EQ(form->lbProgressInfo->text(), "Все задачи выполнены");
    EXPECT_EQ(form->memoProtocol->toPlainText(), form->RussianProtocol.join('\n'));

    // Base64 text mode: the subject travels as an encoded word declaring koi8-r.
    SmtpSink sink2;
    form->edPort->setText(QString::number(sink2.port));
    form->comboEncoding->setCurrentIndex(1);
    Send();
    ASSERT_EQ(sink2.Count(), 2);
    const QJsonObject b64 = sink2.Message(1);
    EXPECT_TRUE(QByteArray::fromHex(Text(b64, "subject_raw_hex").toLatin1()).startsWith("=?koi8-r?B?"));
    EXPECT_EQ(Text(b64, "subject"), subject + " 1(2) <x.txt, y.txt>");
    EXPECT_EQ(Text(b64, "text_encoding").toLower(), "base64");
    text = Text(b64, "text_koi8");
    text.replace("\r\n", "\n");
    EXPECT_EQ(text.trimmed(), "Привет, мир!\nВторая строка");
}

TEST_F(SendJobTest, ALineTooLongForEightBitsArrivesIntactInBase64)
{
    SmtpSink sink;
    Fill(sink.port, MakeFiles({"long.txt"}));
    QString line;
    for (int i = 0; line.size() < 2500; ++i)
        line += QStringLiteral("word%1 ").arg(i);
    form->memoText->setPlainText(QStringLiteral("short line\n") + line);
    Send();
    ASSERT_EQ(sink.Count(), 1);
    const QJsonObject msg = sink.Message(1);
    EXPECT_EQ(Text(msg, "text_encoding").toLower(), "base64");
    EXPECT_LE(msg["max_line"].toInt(), 998);
    EXPECT_EQ(Normalised(Hex(msg, "text_hex")), "short line\n" + line);
    EXPECT_EQ(form->lbProgressInfo->text(), "All done");
    EXPECT_EQ(form->VokMsg.TextEncoding, te8Bit);   // the user's choice stays for the next job
}

TEST_F(SendJobTest, ManyNamesInOneSubjectStillMakeAnAcceptableHeader)
{
    SmtpSink sink;
    QStringList names;
    for (int i = 0; i < 40; ++i)
        names << QString("picture %1 from the summer holidays.jpg").arg(i, 2, 10, QChar('0'));
    Fill(sink.port, MakeFiles(names));
    form->edtSubject->setEditText("S");
    form->cbAddPartNo->setChecked(true);
    form->cbAddFileName->setChecked(true);
    form->spinFilesInMessage->setValue(40);
    for (int encoding : {0, 1}) {
        SCOPED_TRACE(encoding);
        SmtpSink server;
        form->edPort->setText(QString::number(server.port));
        form->comboEncoding->setCurrentIndex(encoding);
        Send();
        ASSERT_EQ(server.Count(), 1);
        const QJsonObject msg = server.Message(1);
        EXPECT_LE(msg["max_line"].toInt(), 998);
        EXPECT_TRUE(Text(msg, "subject").startsWith("S 1(1) <picture 00 from the summer holidays.jpg, picture 01"));
        // All forty names arrive, the header folded within the line limit.
        EXPECT_TRUE(Text(msg, "subject").endsWith(", picture 39 from the summer holidays.jpg>"));
        EXPECT_EQ(Text(msg, "subject").count(".jpg"), 40);
        EXPECT_EQ(msg["attachments"].toArray().size(), 40);
        EXPECT_EQ(form->EnglishProtocol.last(), "All done");
    }
}

TEST_F(SendJobTest, EachCheckShowsItsMessagePageAndFocusAndConnectsNothing)
{
    SmtpSink sink;
    const QStringList paths = MakeFiles({"a"});
    struct Case {
        const char *What;
        std::function<void()> Break;
        QString Message;
        QWidget *Page;
        QWidget *Focus;
    };
    const std::vector<Case> cases = {
        {"recipients", [&] { form->edtTo->setEditText(" \t "); }, "Receiver's address needed",
         form->TabSheet1, form->edtTo},
        {"server", [&] { form->edSMTPName->setEditText("  "); }, "SMTP server's address needed",
         form->TabSheet4, form->edSMTPName},
        {"port", [&] { form->edPort->setText("    "); }, "Port number on SMTP server needed",
         form->TabSheet4, form->edPort},
        {"account", [&] { form->edAccount->setText(" "); }, "Account name on SMTP server needed",
         form->TabSheet4, form->edAccount},
        {"files", [&] { form->gridFiles->SetRows({}); form->UpdateFileListCommands(); },
         "Files list is empty", form->TabSheet3, form->gridFiles},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.What);
        form->gridFiles->SetRows(paths);
        Fill(sink.port, {});
        c.Break();
        form->PageControl->setCurrentWidget(form->TabSheet2);
        ComDialogsTest::QueueAnswer(mrOk);
        Send();
        const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
        ASSERT_EQ(log.size(), 1);
        EXPECT_EQ(log[0].Text, c.Message);
        EXPECT_EQ(log[0].DlgType, mtError);
        EXPECT_EQ(form->PageControl->currentWidget(), c.Page);
        QWidget *focus = form->focusWidget();
        EXPECT_TRUE(focus == c.Focus || (focus && c.Focus->isAncestorOf(focus)));
        EXPECT_TRUE(form->RussianProtocol.isEmpty());
        EXPECT_FALSE(form->btnSaveLog->isEnabled());
        ExpectUnlocked();
    }
    // Only the Bcc field filled is enough.
    form->gridFiles->SetRows(paths);
    Fill(sink.port, {});
    form->edtTo->setEditText("");
    form->edBCC->setEditText("hidden@example.org");
    Send();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    ASSERT_EQ(sink.Count(), 1);   // nothing reached the server before
    EXPECT_EQ(Strings(sink.Message(1)["rcpt_tos"]), QStringList{"hidden@example.org"});
}

TEST_F(SendJobTest, RefusedConnectionIsLoggedAndEndsTheJob)
{
    Fill(ClosedPort(), MakeFiles({"a", "b"}));
    Send();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(form->lbProgressInfo->text(), "Error server connection: see protocol");
    ASSERT_GE(form->EnglishProtocol.size(), 11);
    EXPECT_TRUE(form->EnglishProtocol.last().startsWith("Error server connection: "));
    EXPECT_GT(form->EnglishProtocol.last().size(), QString("Error server connection: ").size());
    EXPECT_TRUE(form->RussianProtocol.last().startsWith("Ошибка при соединении с сервером: "));
    EXPECT_EQ(form->EnglishProtocol.size(), form->RussianProtocol.size());
    EXPECT_FALSE(form->EnglishProtocol.join('\n').contains("Disconnecting"));
    EXPECT_EQ(form->lblNumOfMessage->text(), "");
    ExpectUnlocked();
}

TEST_F(SendJobTest, LastMessageRefusedByTheServerEndsWithItsError)
{
    SmtpSink sink({"--reject", "3"});
    Fill(sink.port, MakeFiles({"a", "b", "c"}));
    Send();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(sink.Count(), 3);
    const QStringList en = form->EnglishProtocol, ru = form->RussianProtocol;
    ASSERT_GE(en.size(), 4);
    EXPECT_EQ(en[en.size() - 4], "Transfer... cancelled by error.");
    EXPECT_EQ(ru[ru.size() - 4], "Передача... прервано по ошибке.");
    EXPECT_EQ(en[en.size() - 3], "Disconnecting... done.");
    EXPECT_EQ(en.last(), "Error 550: Mailbox unavailable for this test");
    EXPECT_EQ(ru.last(), "Ошибка 550: Mailbox unavailable for this test");
    EXPECT_EQ(form->lbProgressInfo->text(), "Error 550: Mailbox unavailable for this test");
    EXPECT_EQ(en.count("Transfer... done."), 2);
    ExpectUnlocked();
}

TEST_F(SendJobTest, AMessageRefusedMidSeriesEndsTheSeriesWithTheServersReason)
{
    SmtpSink sink({"--reject", "1"});
    Fill(sink.port, MakeFiles({"a", "b", "c"}));
    Send();
    // The refusal closed the connection: the series stops there and says why.
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(sink.Count(), 1);
    const QStringList en = form->EnglishProtocol;
    ASSERT_GE(en.size(), 4);
    EXPECT_EQ(en[en.size() - 4], "Transfer... cancelled by error.");
    EXPECT_EQ(en[en.size() - 3], "Disconnecting... done.");
    EXPECT_TRUE(en[en.size() - 2].startsWith("Transfer finished: "));
    EXPECT_EQ(en.last(), "Error 550: Mailbox unavailable for this test");
    EXPECT_FALSE(en.contains("Message #2: "));
    EXPECT_EQ(form->lbProgressInfo->text(), "Error 550: Mailbox unavailable for this test");
    ExpectUnlocked();

    // The next job connects afresh.
    SmtpSink sink2;
    form->edPort->setText(QString::number(sink2.port));
    Send();
    EXPECT_EQ(sink2.Count(), 3);
    EXPECT_EQ(form->EnglishProtocol.last(), "All done");
}

TEST_F(SendJobTest, CancelDuringMessageTwoOfFiveStopsAfterIt)
{
    SmtpSink sink;
    const QStringList paths = MakeFiles({"a", "b", "c", "d", "e"});
    Fill(sink.port, paths);
    form->memoText->setPlainText(QStringLiteral("the text"));
    // Clicks Cancel while message 2 is being transferred (a click while the job encodes or
    // waits for the server stops at once; see test_send_stop.cpp).
    bool clicked = false;
    auto original = form->VokSMTP.OnSendProgress;
    form->VokSMTP.OnSendProgress = [&](void *s, uint16_t p) {
        original(s, p);
        if (!clicked && form->lblNumOfMessage->text() == "2 <2>" && form->btnCancel->isEnabled()) {
            form->btnCancel->click();
            clicked = true;
        }
    };
    Send();
    form->VokSMTP.OnSendProgress = original;
    ASSERT_TRUE(clicked);
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(sink.Count(), 2);   // message 2 completed, nothing after it
    const QStringList en = form->EnglishProtocol;
    ASSERT_GE(en.size(), 4);
    EXPECT_EQ(en[en.size() - 4], "Transfer... done.");
    EXPECT_EQ(en[en.size() - 3], "Disconnecting... done.");
    EXPECT_TRUE(en[en.size() - 2].startsWith("Transfer finished: "));
    EXPECT_EQ(en.last(), "Process terminated by user");
    EXPECT_EQ(form->RussianProtocol.last(), "Выполнение прервано пользователем");
    EXPECT_EQ(form->lbProgressInfo->text(), "Process terminated by user");
    EXPECT_EQ(en.count("Transfer... done."), 2);
    ExpectUnlocked();

    // The next job starts afresh: its first message carries only its own file and the text.
    SmtpSink sink2;
    form->edPort->setText(QString::number(sink2.port));
    Send();
    ASSERT_EQ(sink2.Count(), 5);
    const QJsonArray atts = sink2.Message(1)["attachments"].toArray();
    ASSERT_EQ(atts.size(), 1);
    EXPECT_EQ(atts[0].toObject()["name"].toString(), "a");
    EXPECT_EQ(Normalised(Hex(sink2.Message(1), "text_hex")), "the text");
    EXPECT_EQ(form->EnglishProtocol.last(), "All done");
}

TEST_F(SendJobTest, AFileDeletedAfterItWasAddedEndsTheJobWithAnErrorBox)
{
    SmtpSink sink;
    const QStringList paths = MakeFiles({"a", "gone.bin", "c"});
    Fill(sink.port, paths);
    QFile::remove(paths[1]);
    ComDialogsTest::QueueAnswer(mrOk);
    Send();
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    EXPECT_TRUE(log[0].Text.contains("gone.bin")) << log[0].Text.toStdString();
    ExpectUnlocked();
    EXPECT_EQ(sink.Count(), 1);
    // The protocol ends with why: no closing lines.
    EXPECT_EQ(form->EnglishProtocol.last(), "Cannot read file " + paths[1] + ": file not found");
    EXPECT_FALSE(form->EnglishProtocol.join('\n').contains("Disconnecting"));
    // The connection was closed, so the next job (also with another server) works.
    EXPECT_FALSE(form->VokSMTP.Connected);
    MakeFiles({"a", "gone.bin", "c"});
    SmtpSink sink2;
    form->edPort->setText(QString::number(sink2.port));
    QFile::remove(TMainForm::JournalFile());   // the whole series again, not its continuation
    Send();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(sink2.Count(), 3);
    EXPECT_EQ(form->EnglishProtocol.last(), "All done");
}

TEST_F(SendJobTest, TheWindowCannotBeClosedWhileAJobRuns)
{
    SmtpSink sink;
    Fill(sink.port, MakeFiles({"a", "b"}));
    bool closedDuringJob = true;
    auto original = form->VokSMTP.OnBeforeSend;
    form->VokSMTP.OnBeforeSend = [&](void *s) {
        closedDuringJob = form->close();
        original(s);
    };
    Send();
    EXPECT_FALSE(closedDuringJob);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(sink.Count(), 2);
}

}  // namespace

namespace {

// However a job ends, the strip shows where it ended, the strip paints as usual again, and the
// record holds none of the job's files (nor their encoded data) until the next job.
TEST_F(SendJobTest, EveryWayOutShowsTheLastValuesAndLetsGoOfTheFiles)
{
    struct Case {
        const char *name;
        QStringList sinkArgs;
        bool cancel, removeFile;
        QString status;
    };
    const std::vector<Case> cases = {
        {"sent", {}, false, false, "All done"},
        {"refused", {"--reject", "2"}, false, false, "Error 550: Mailbox unavailable for this test"},
        {"cancelled", {}, true, false, "Process terminated by user"},
        {"unreadable file", {}, false, true, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSink sink(c.sinkArgs);
        const QStringList paths = MakeFiles({"a", "b", "c", "d"});
        form->gridFiles->SetRows({});
        Fill(sink.port, paths);
        form->spinFilesInMessage->setValue(2);
        if (c.removeFile)
            QFile::remove(paths[2]);

        // Each message's last values, as the component's events leave them and the strip's next
        // tick shows them, in order.
        QStringList afterMessage;
        QList<int> encodeValues;
        QStringList encodeStatus;
        auto afterSend = form->VokSMTP.OnAfterSend;
        auto encodeProgress = form->VokSMTP.OnEncodeProgress;
        auto sendProgress = form->VokSMTP.OnSendProgress;
        form->VokSMTP.OnSendProgress = [&](void *s, uint16_t p) {
            sendProgress(s, p);
            if (c.cancel && !form->Cancelled)
                form->btnCancel->click();   // during the transfer: the message goes on to its end
        };
        bool paced = false;
        form->VokSMTP.OnEncodeProgress = [&](void *s, uint16_t p) {
            encodeProgress(s, p);
            paced = paced || !form->ProgressBar->updatesEnabled();
            form->PaintStripNow();
            encodeValues << form->ProgressBar->value();
            encodeStatus << form->lbProgressInfo->text();
        };
        form->VokSMTP.OnAfterSend = [&](void *s) {
            afterSend(s);
            form->PaintStripNow();
            afterMessage << QString("%1|%2|%3").arg(form->ProgressBar->value())
                                .arg(form->lbProgressInfo->text(), form->lblNumOfMessage->text());
        };
        if (c.removeFile)
            ComDialogsTest::QueueAnswer(mrOk);
        Send();
        form->VokSMTP.OnAfterSend = afterSend;
        form->VokSMTP.OnEncodeProgress = encodeProgress;
        form->VokSMTP.OnSendProgress = sendProgress;

        EXPECT_EQ(afterMessage.value(0), "0||1 <2>");
        if (!c.cancel && !c.removeFile && c.sinkArgs.isEmpty()) {
            EXPECT_EQ(afterMessage, QStringList({"0||1 <2>", "0||2 <4>"}));
        }
        EXPECT_TRUE(paced);
        EXPECT_TRUE(encodeValues.contains(100));
        EXPECT_TRUE(encodeStatus.value(0).startsWith("Encoding file a ")) << encodeStatus.value(0).toStdString();
        if (!c.removeFile) {
            EXPECT_EQ(form->lbProgressInfo->text(), c.status);
        }
        EXPECT_EQ(form->VokMsg.AttachedFiles.Count(), 0);
        for (QWidget *w : {static_cast<QWidget *>(form->ProgressBar), static_cast<QWidget *>(form->lbProgressInfo),
                           static_cast<QWidget *>(form->lblNumOfMessage)})
            EXPECT_TRUE(w->updatesEnabled()) << w->objectName().toStdString();
        ExpectUnlocked();
    }
}

}  // namespace
