// What readers make of a series: names and subjects outside the interface's character set,
// replies the standard allows (and ones it does not), and a file that vanished before sending,
// each as the window's protocol and counter report it.
#include "send_test_support.h"

#include "ScriptedSmtpServer.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QJsonArray>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>

using namespace sendtest;

namespace {

class SendReadersTest : public WindowTest {
protected:
    void Fill(int port, const QStringList &paths)
    {
        form->edtTo->setEditText(QStringLiteral("\"Пётр Иванов\" <to@example.org>"));
        form->edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
        form->edPort->setText(QString::number(port));
        form->edAccount->setText(QStringLiteral("me@example.org"));
        form->edtName->setEditText(QStringLiteral("Иван"));
        if (!paths.isEmpty())
            AddThroughDialog(paths);
    }
    void RunJob()
    {
        ComDialogsTest::TakeLog();
        form->btnSend->click();
    }
    static QStringList Names(const QJsonObject &reader)
    {
        return Strings(reader.value(QLatin1String("names")));
    }
};

// Cyrillic and quoted file names in both interfaces: every subject, display name and file
// name reads back as typed, in a modern and in a compat32 reader; every attachment is its file.
TEST_F(SendReadersTest, CyrillicAndQuotedNamesReadBackAsTypedInBothInterfaces)
{
    const QStringList names = {QStringLiteral("Отчёт за май.bin"), QStringLiteral("a \"quoted\" name.txt"),
                               QStringLiteral("plain.bin"), QStringLiteral("Смета \"черновик\".txt")};
    const QStringList paths = MakeFiles(names);
    for (int language : {0, 1}) {
        SCOPED_TRACE(language);
        PickLanguage(language);
        Fill(0, language == 0 ? paths : QStringList());
        form->edtSubject->setEditText(QStringLiteral("Фото"));
        form->cbAddPartNo->setChecked(true);
        form->cbAddFileName->setChecked(true);
        form->spinFilesInMessage->setValue(2);
        form->memoText->setPlainText(QStringLiteral("Текст"));
        for (TTextEncoding enc : {te8Bit, teBase64}) {
            SCOPED_TRACE(static_cast<int>(enc));
            SmtpSink run;
            form->edPort->setText(QString::number(run.port));
            form->comboEncoding->setCurrentIndex(enc == te8Bit ? 0 : 1);
            RunJob();
            EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
            ASSERT_EQ(run.Count(), 2);
            for (int n = 1; n <= 2; ++n) {
                const QJsonObject m = run.Message(n);
                const QJsonObject modern = m.value(QLatin1String("modern")).toObject();
                const QJsonObject compat = m.value(QLatin1String("compat32")).toObject();
                const QStringList mine = names.mid((n - 1) * 2, 2);
                const QString subject =
                    QStringLiteral("Фото %1(2) <%2>").arg(n).arg(mine.join(QStringLiteral(", ")));
                EXPECT_EQ(Text(modern, "subject"), subject);
                EXPECT_EQ(Text(m, "subject"), subject);   // compat32's decode_header
                EXPECT_EQ(Text(modern, "from"), "Иван <me@example.org>");
                EXPECT_EQ(Text(modern, "to"), "Пётр Иванов <to@example.org>");
                EXPECT_TRUE(Text(compat, "from").startsWith("Иван")) << Text(compat, "from").toStdString();
                EXPECT_TRUE(Text(compat, "to").startsWith("Пётр Иванов")) << Text(compat, "to").toStdString();
                EXPECT_EQ(Names(modern), mine);
                EXPECT_EQ(Names(compat), mine);
                // The file names do not fit Latin-1: the English message says UTF-8 instead;
                // the Russian one keeps KOI8-R, which holds every character here.
                EXPECT_EQ(Text(modern, "text_charset"), language == 0 ? "utf-8" : "koi8-r");
                for (int k = 1; k <= 2; ++k) {
                    QFile f(paths[(n - 1) * 2 + k - 1]);
                    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
                    EXPECT_EQ(run.Attachment(n, k), f.readAll());
                }
            }
            // The text went in the message's own charset.
            const QByteArray text = Hex(run.Message(1), "text_hex");
            EXPECT_TRUE(text.startsWith(language == 0 ? QByteArray("Текст") : QByteArray("\xF4\xC5\xCB\xD3\xD4")))
                << text.toHex().toStdString();
        }
    }

    // An English message whose texts all fit Latin-1 is as it always was.
    PickLanguage(0);
    SmtpSink sink;
    form->gridFiles->SetRows({});
    Fill(sink.port, MakeFiles({"caf\u00e9.bin"}));
    form->edtTo->setEditText(QStringLiteral("to@example.org"));
    form->edtName->setEditText(QStringLiteral("Ren\u00e9"));
    form->edtSubject->setEditText(QStringLiteral("Caf\u00e9"));
    form->memoText->setPlainText(QStringLiteral("Cr\u00e8me"));
    form->comboEncoding->setCurrentIndex(0);
    RunJob();
    ASSERT_EQ(sink.Count(), 1);
    EXPECT_EQ(Text(sink.Message(1), "text_charset"), "iso-8859-1");
    EXPECT_EQ(Text(sink.Message(1).value(QLatin1String("modern")).toObject(), "subject"),
              QStringLiteral("Caf\u00e9 1(1) <caf\u00e9.bin>"));
}

// Replies after the recipients and the data, as the protocol and the counter show them.
TEST_F(SendReadersTest, RepliesTheSeriesMeets)
{
    using namespace testsupport;
    form->VokSMTP.HostNameSource = [] { return std::string("client.example.net"); };
    form->ReconnectAttempts = 0;   // how the job reads each reply, without connecting again
    const auto message = [](const char *rcptReply, std::vector<ScriptStep> afterData) {
        std::vector<ScriptStep> s = {Expect("MAIL FROM:<me@example.org>\r\n"), testsupport::Send("250 ok\r\n"),
                                     Expect("RCPT TO:<to@example.org>\r\n"), Send(rcptReply),
                                     Expect("DATA\r\n"), testsupport::Send("354 go\r\n"), ReadData()};
        s.insert(s.end(), afterData.begin(), afterData.end());
        return s;
    };
    const std::vector<ScriptStep> accepted = {testsupport::Send("250 queued\r\n"), Expect("RSET\r\n"), testsupport::Send("250 ok\r\n")};
    struct Case {
        const char *name;
        std::vector<std::vector<ScriptStep>> script;
        QStringList transfers;   // how each message's transfer line ends
        QString counter, last;
    };
    const std::vector<Case> cases = {
        {"251: user not local, will forward",
         {message("251 will forward\r\n", accepted), message("251 will forward\r\n", accepted),
          {Expect("QUIT\r\n"), testsupport::Send("221 bye\r\n")}},
         {"Transfer... done.", "Transfer... done."}, "2 <2>", "All done"},
        {"421 to the RSET after an accepted message",
         {message("250 ok\r\n", {testsupport::Send("250 queued\r\n"), Expect("RSET\r\n"), testsupport::Send("421 closing\r\n"),
                                 CloseConnection()})},
         {"Transfer... done."}, "1 <1>", "Error 421: closing"},
        {"a line that is no reply",
         {{Expect("MAIL FROM:<me@example.org>\r\n"), testsupport::Send("* OK IMAP4 ready\r\n"), Silent()}},
         {"Transfer... cancelled by error."}, "1 <1>", "Invalid reply from the server."},
        {"the server closes in the middle of the data",
         {{Expect("MAIL FROM:<me@example.org>\r\n"), testsupport::Send("250 ok\r\n"), Expect("RCPT TO:<to@example.org>\r\n"),
           testsupport::Send("250 ok\r\n"), Expect("DATA\r\n"), testsupport::Send("354 go\r\n"), Expect("Message-Id: "), CloseConnection()}},
         {"Transfer... cancelled by error."}, "1 <1>", "during the message data."},
    };
    const QStringList paths = MakeFiles({"one.bin", "two.bin"});
    Fill(0, paths);
    form->edtTo->setEditText(QStringLiteral("to@example.org"));
    form->edtName->setEditText(QString());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ScriptStep> script = {testsupport::Send("220 mail.test\r\n"), Expect("EHLO client.example.net\r\n"),
                                          testsupport::Send("250 hello\r\n")};
        for (const auto &part : c.script)
            script.insert(script.end(), part.begin(), part.end());
        // The window's port field holds four digits.
        std::unique_ptr<ScriptedSmtpServer> server;
        for (int port = 9000 + static_cast<int>(QCoreApplication::applicationPid() % 900); !server; port -= 7) {
            try {
                server = std::make_unique<ScriptedSmtpServer>(script, 60000, port);
            } catch (const std::runtime_error &) {
                ASSERT_GT(port, 2000);
            }
        }
        ScriptedSmtpServer &srv = *server;
        form->edPort->setText(QString::number(srv.Port()));
        QFile::remove(TMainForm::JournalFile());   // each case a fresh series, not a continuation
        RunJob();
        EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
        const QStringList en = form->EnglishProtocol;
        QStringList transfers;
        for (const QString &l : en)
            if (l.startsWith(QStringLiteral("Transfer...")))
                transfers << l;
        EXPECT_EQ(transfers, c.transfers);
        EXPECT_EQ(form->lblNumOfMessage->text(), c.counter);
        EXPECT_TRUE(en.last().endsWith(c.last)) << en.last().toStdString();
        EXPECT_EQ(en.size(), form->RussianProtocol.size());
        EXPECT_TRUE(srv.Wait(30000)) << srv.Failure();
    }
}

// A file deleted after it was added: the box speaks the interface's language, and the
// protocol says in both which file and why.
TEST_F(SendReadersTest, AVanishedFileIsNamedWithItsReasonInBothLanguages)
{
    for (int language : {1, 0}) {
        SCOPED_TRACE(language);
        PickLanguage(language);
        SmtpSink sink;
        form->gridFiles->SetRows({});
        const QStringList paths = MakeFiles({"a", "gone.bin"});
        Fill(sink.port, paths);
        QFile::remove(paths[1]);
        QFile::remove(TMainForm::JournalFile());   // a fresh series in each language
        ComDialogsTest::QueueAnswer(mrOk);
        RunJob();
        const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
        ASSERT_EQ(log.size(), 1);
        EXPECT_TRUE(log[0].ApplicationError);
        const QString expected = language == 1 ? QStringLiteral("Не удалось прочитать файл %1: файл не найден")
                                               : QStringLiteral("Cannot read file %1: file not found");
        EXPECT_EQ(log[0].Text, expected.arg(paths[1]));
        EXPECT_EQ(form->RussianProtocol.last(),
                  QStringLiteral("Не удалось прочитать файл %1: файл не найден").arg(paths[1]));
        EXPECT_EQ(form->EnglishProtocol.last(), QStringLiteral("Cannot read file %1: file not found").arg(paths[1]));
        EXPECT_EQ(form->EnglishProtocol[form->EnglishProtocol.size() - 2], "Transfer... cancelled by error.");
        EXPECT_EQ(sink.Count(), 1);
        EXPECT_FALSE(form->VokSMTP.Connected);
    }
}

}  // namespace
