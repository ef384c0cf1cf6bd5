// The send job without a window: a server script in, the protocol the job writes and the
// messages the server kept out. The scripted server checks every command byte for byte; the
// real server (aiosmtpd, Python's email) reads what a mail reader would.
#include "SendJob.h"
#include "SendJournal.h"
#include "job_test_support.h"

#include "ScriptedSmtpServer.h"
#include "SmtpSink.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

using jobtest::RecordingHost;

const std::string kHelo = "EHLO client.example.net\r\n";  // a server offering no extension

std::vector<ScriptStep> operator+(std::vector<ScriptStep> a, const std::vector<ScriptStep> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<ScriptStep> Opening()
{
    return {Send("220 job.test\r\n"), Expect(kHelo), Send("250 hello\r\n")};
}

// One transaction up to the server's answer to the end of data.
std::vector<ScriptStep> Upload(const std::string &rcpt = "to@example.org", const std::string &answer = "250 queued\r\n")
{
    return {Expect("MAIL FROM:<me@example.org>\r\n"), Send("250 ok\r\n"), Expect("RCPT TO:<" + rcpt + ">\r\n"),
            Send("250 ok\r\n"), Expect("DATA\r\n"), Send("354 go\r\n"), ReadData(), Send(answer)};
}

std::vector<ScriptStep> Taken(const std::string &rcpt = "to@example.org")
{
    return Upload(rcpt) + std::vector<ScriptStep>{Expect("RSET\r\n"), Send("250 reset\r\n")};
}

const std::vector<ScriptStep> kQuit = {Expect("QUIT\r\n"), Send("221 bye\r\n")};
// The server gives up the connection; the client comes again.
const std::vector<ScriptStep> kReconnect = {CloseConnection(), NextConnection(), Send("220 job.test\r\n"),
                                            Expect(kHelo), Send("250 hello\r\n")};

// The protocol's first lines for a request.
std::vector<std::string> Heading(const TSendRequest &r)
{
    return {"Sendorix test", "================", "Transfer started: *", "From: " + r.Account.toStdString(),
            "To: " + r.To.toStdString(), "Copies: " + r.CC.toStdString(), "Hidden: " + r.BCC.toStdString(),
            "Subject: " + r.Subject.toStdString(), "================",
            "Connecting to server 127.0.0.1:" + r.Port.toStdString() + "...", "Connection successful"};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The lines of a series, then the closing lines of one that went well.
std::vector<std::string> Done(std::vector<std::string> lines)
{
    return lines + std::vector<std::string>{"Disconnecting... done.", "Transfer finished: *", "All done"};
}

// The Subject line of a message as it went over the wire.
std::string SubjectLine(const std::string &data)
{
    const size_t at = data.find("\r\nSubject: ");
    return at == std::string::npos ? "<none>" : data.substr(at + 2, data.find("\r\n", at + 2) - at - 2);
}

class JobEngineTest : public ::testing::Test {
protected:
    TempDir dir{"sendorix-job"};
    TVokSMTP smtp;
    TVokMsg msg;
    RecordingHost host;

    void SetUp() override { smtp.HostNameSource = [] { return std::string("client.example.net"); }; }

    // Files a.txt, b.txt, ... of a few bytes each.
    QStringList Files(int count)
    {
        QStringList files;
        for (int i = 0; i < count; ++i) {
            const std::string path = dir.file(std::string(1, char('a' + i)) + ".txt");
            WriteFile(path, "file " + std::to_string(i + 1) + "\n");
            files << QString::fromStdString(path);
        }
        return files;
    }

    TSendRequest Request(int port, int files) { return jobtest::ServerRequest(port, Files(files)); }
};

struct JobCase {
    const char *name;
    std::vector<ScriptStep> script;
    int files;
    std::function<void(TSendRequest &)> setUp;   // what differs from the plain request
    std::function<void(TSendJob &, const QString &line)> act;
    std::vector<std::string> protocol;   // after the heading
    std::vector<std::string> subjects;   // of the messages the server kept
    TJobOutcome outcome;
};

// Series that go through, and what a reconnect does to them.
std::vector<JobCase> DeliveryCases()
{
    const std::string longLine(1200, 'x');
    // The server closes the connection at the second message's MAIL FROM; it goes again.
    const std::vector<ScriptStep> resentScript = Opening() + Taken()
                                                 + std::vector<ScriptStep>{Expect("MAIL FROM:<me@example.org>\r\n"),
                                                                           Send("421 closing\r\n")}
                                                 + kReconnect + Taken() + kQuit;
    const std::vector<std::string> resentLines =
        Done({"Message #1: Series 1(2)", "File a.txt", "Transfer... done.", "Message #2: Series 2(2)", "File b.txt",
              "Transfer... cancelled by error.",
              "Connection lost: 421 closing. Reconnecting in 1 s (attempt 1 of 2)... done.",
              "Message #2 is sent again", "Transfer... done."});
    return {
        {"every message delivered",
         Opening() + Taken() + Taken() + kQuit,
         2,
         {},
         {},
         Done({"Message #1: Series 1(2)", "File a.txt", "Transfer... done.", "Message #2: Series 2(2)", "File b.txt",
          "Transfer... done."}),
         {"Subject: Series 1(2)", "Subject: Series 2(2)"},
         TJobOutcome::joDone},
        {"a refused message ends the series with the server's reason",
         Opening() + Taken() + Upload("to@example.org", "550 mailbox full\r\n") + kQuit,
         3,
         {},
         {},
         {"Message #1: Series 1(3)", "File a.txt", "Transfer... done.", "Message #2: Series 2(3)", "File b.txt",
          "Transfer... cancelled by error.", "Disconnecting... done.", "Transfer finished: *",
          "Error 550: mailbox full"},
         {"Subject: Series 1(3)", "Subject: Series 2(3)"},
         TJobOutcome::joFailed},
        {"a message sent again after a reconnect keeps its subject (base64)",
         resentScript,
         2,
         [](TSendRequest &r) { r.Encoding = teBase64; },
         {},
         resentLines,
         {"Subject: =?iso-8859-1?B?U2VyaWVzIDEoMik=?=", "Subject: =?iso-8859-1?B?U2VyaWVzIDIoMik=?="},
         TJobOutcome::joDone},
        {"a message sent again after a reconnect keeps its subject (8 bits, a line too long)",
         resentScript,
         2,
         [longLine](TSendRequest &r) { r.Text = QString::fromStdString(longLine); },
         {},
         resentLines,
         {"Subject: =?iso-8859-1?B?U2VyaWVzIDEoMik=?=", "Subject: =?iso-8859-1?B?U2VyaWVzIDIoMik=?="},
         TJobOutcome::joDone},
        {"RSET refused between the To and the Cc transaction: Cc gets it once after the reconnect",
         Opening() + Upload() + std::vector<ScriptStep>{Expect("RSET\r\n"), Send("421 closing\r\n")} + kReconnect
             + Taken("cc@example.org") + kQuit,
         1,
         [](TSendRequest &r) { r.CC = "cc@example.org"; },
         {},
         Done({"Message #1: Series 1(1)", "File a.txt", "Transfer... cancelled by error.",
          "Connection lost: 421 closing. Reconnecting in 1 s (attempt 1 of 2)... done.", "Message #1 is sent again",
          "Transfer... done."}),
         {"Subject: Series 1(1)", "Subject: Series 1(1)"},
         TJobOutcome::joDone},
    };
}

// How a series ends: the server's last replies, Stop and Cancel.
std::vector<JobCase> EndingCases()
{
    auto onMessage = [](int number, void (TSendJob::*what)()) {
        return [number, what](TSendJob &job, const QString &line) {
            if (line.startsWith(QStringLiteral("Message #%1:").arg(number)))
                (job.*what)();
        };
    };
    return {
        {"the connection lost after the last message was taken: no reconnect, done",
         Opening() + Taken() + Upload() + std::vector<ScriptStep>{CloseConnection()},
         2,
         {},
         {},
         {"Message #1: Series 1(2)", "File a.txt", "Transfer... done.", "Message #2: Series 2(2)", "File b.txt",
          "Transfer... done.", "Disconnecting... done.", "Transfer finished: *",
          "The server after the last message: Connection closed by the server.", "All done"},
         {"Subject: Series 1(2)", "Subject: Series 2(2)"},
         TJobOutcome::joDone},
        {"RSET refused after the last message: done, with the server's reply",
         Opening() + Taken() + Upload() + std::vector<ScriptStep>{Expect("RSET\r\n"), Send("500 what\r\n")},
         2,
         {},
         {},
         {"Message #1: Series 1(2)", "File a.txt", "Transfer... done.", "Message #2: Series 2(2)", "File b.txt",
          "Transfer... done.", "Disconnecting... done.", "Transfer finished: *",
          "The server after the last message: 500 what", "All done"},
         {"Subject: Series 1(2)", "Subject: Series 2(2)"},
         TJobOutcome::joDone},
        {"Stop abandons the message in progress",
         Opening() + Taken(),
         3,
         {},
         onMessage(2, &TSendJob::Stop),
         {"Message #1: Series 1(3)", "File a.txt", "Transfer... done.", "Message #2: Series 2(3)", "File b.txt",
          "Transfer... stopped by user.", "Message #2 was not sent.", "Disconnecting... done.",
          "Transfer finished: *", "Process terminated by user"},
         {"Subject: Series 1(3)"},
         TJobOutcome::joStopped},
        {"Cancel lets the message in progress go, then ends",
         Opening() + Taken() + Taken() + kQuit,
         3,
         {},
         onMessage(2, &TSendJob::Cancel),
         {"Message #1: Series 1(3)", "File a.txt", "Transfer... done.", "Message #2: Series 2(3)", "File b.txt",
          "Transfer... done.", "Disconnecting... done.", "Transfer finished: *", "Process terminated by user"},
         {"Subject: Series 1(3)", "Subject: Series 2(3)"},
         TJobOutcome::joStopped},
        {"Cancel during the last message: the series got through, done",
         Opening() + Taken() + Taken() + kQuit,
         2,
         {},
         onMessage(2, &TSendJob::Cancel),
         Done({"Message #1: Series 1(2)", "File a.txt", "Transfer... done.", "Message #2: Series 2(2)", "File b.txt",
               "Transfer... done."}),
         {"Subject: Series 1(2)", "Subject: Series 2(2)"},
         TJobOutcome::joDone},
    };
}

std::vector<JobCase> Cases()
{
    std::vector<JobCase> cases = DeliveryCases();
    for (JobCase &c : EndingCases())
        cases.push_back(std::move(c));
    return cases;
}

TEST_F(JobEngineTest, ServerScriptInProtocolAndMessagesOut)
{
    for (const JobCase &c : Cases()) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(c.script);
        TSendRequest request = Request(server.Port(), c.files);
        if (c.setUp)
            c.setUp(request);
        TSendJob job(smtp, msg, host, request);
        host.OnLine = [&](const QString &line) {
            if (c.act)
                c.act(job, line);
        };
        job.Run();
        EXPECT_TRUE(server.Wait()) << server.Failure();

        EXPECT_EQ(host.Lines(), Heading(request) + c.protocol);
        EXPECT_EQ(host.Russian.size(), host.English.size());
        std::vector<std::string> subjects;
        for (const std::string &data : server.Data())
            subjects.push_back(SubjectLine(data));
        EXPECT_EQ(subjects, c.subjects);
        EXPECT_EQ(job.Outcome(), c.outcome);
        EXPECT_EQ(job.State(), TJobState::jsIdle);
        EXPECT_EQ(msg.AttachedFiles.Count(), 0) << "the record keeps no file after the job";
    }
}

// A series stopped after its first message goes on where it ended: five files at two per
// message, so the second message carries exactly the third and fourth files under "2(3)".
TEST_F(JobEngineTest, AResumedSeriesSendsOnlyWhatWasNotDelivered)
{
    const QString journal = QString::fromStdString(dir.file("Sendorix.job"));
    auto request = [&](int port) {
        TSendRequest r = Request(port, 5);
        r.FilesPerMessage = 2;
        r.JournalFile = journal;
        r.Identity = TSendJob::SeriesIdentity(r);
        return r;
    };
    {
        ScriptedSmtpServer server(Opening() + Taken() + kQuit);
        TSendJob job(smtp, msg, host, request(server.Port()));
        host.OnLine = [&](const QString &line) {
            if (line.startsWith("Message #1:"))
                job.Cancel();
        };
        job.Run();
        EXPECT_TRUE(server.Wait()) << server.Failure();
        EXPECT_EQ(job.Outcome(), TJobOutcome::joStopped);
    }
    host.OnLine = nullptr;
    TSendRequest second = request(0);
    const TSendJournal::TSeries series = TSendJournal::Read(journal, second.Identity);
    ASSERT_EQ(series.Total, 3);
    ASSERT_EQ(series.Delivered.keys(), QList<int>{1});
    const QString firstId = series.Delivered.value(1);
    EXPECT_TRUE(firstId.startsWith('<') && firstId.endsWith('>')) << firstId.toStdString();

    ScriptedSmtpServer server(Opening() + Taken() + Taken() + kQuit);
    second.Port = QString::number(server.Port());
    second.Delivered = series.Delivered;
    TSendJob job(smtp, msg, host, second);
    job.Run();
    EXPECT_TRUE(server.Wait()) << server.Failure();
    EXPECT_EQ(host.Lines(), Heading(second) + Done({"Continuing the interrupted series with message #2",
                                                 "Message #1 was delivered before (" + firstId.toStdString()
                                                     + "); skipped",
                                                 "Message #2: Series 2(3)", "File c.txt", "File d.txt",
                                                 "Transfer... done.", "Message #3: Series 3(3)", "File e.txt",
                                                 "Transfer... done."}));
    ASSERT_EQ(server.Data().size(), 2u);
    for (const char *name : {"c.txt", "d.txt"})
        EXPECT_NE(server.Data()[0].find(std::string("name=\"") + name), std::string::npos) << name;
    EXPECT_EQ(server.Data()[0].find("name=\"e.txt"), std::string::npos);
    EXPECT_FALSE(QFile::exists(journal)) << "a series all delivered leaves no journal";
}

// What a mail reader makes of messages sent again after the server closed the connection:
// every subject as the user typed it, in base64 mode and in 8 bits with a line too long.
TEST_F(JobEngineTest, AReaderSeesTheTypedSubjectAfterAReconnect)
{
    for (const bool base64 : {true, false}) {
        SCOPED_TRACE(base64 ? "base64" : "8 bits, a line too long");
        SmtpSink sink({"--close-mail", "2"});
        ASSERT_NE(sink.port, 0);
        TSendRequest r = Request(sink.port, 3);
        r.Encoding = base64 ? teBase64 : te8Bit;
        if (!base64)
            r.Text = QString(1200, 'y');
        TSendJob job(smtp, msg, host, r);
        job.Run();
        EXPECT_EQ(job.Outcome(), TJobOutcome::joDone);
        ASSERT_EQ(sink.Count(), 3);
        for (int n = 1; n <= 3; ++n) {
            EXPECT_EQ(sink.Message(n).value("subject").toString(), QStringLiteral("Series %1(3)").arg(n));
            EXPECT_EQ(sink.Message(n).value("text_encoding").toString(), "base64");
        }
        EXPECT_TRUE(host.English.contains("Message #2 is sent again"));
    }
}

// Each message goes in UTF-8 only when its own texts need it: a sender name for all of them,
// a text sent only with the first for the first, a file name in a subject for its message.
TEST_F(JobEngineTest, EachMessageTakesUtf8OnlyWhenItsTextsNeedIt)
{
    const std::string other = dir.file("\xd0\xb6.txt");   // a Cyrillic name, not in Latin-1
    WriteFile(other, "file\n");
    const struct {
        const char *name;
        std::function<void(TSendRequest &)> setUp;
        std::vector<const char *> charsets;
    } cases[] = {
        {"every field in Latin-1", {}, {"iso-8859-1", "iso-8859-1", "iso-8859-1"}},
        {"a sender name outside it", [](TSendRequest &r) { r.SenderName = QStringLiteral("\u0141ukasz"); },
         {"utf-8", "utf-8", "utf-8"}},
        {"a text outside it, sent with the first message only",
         [](TSendRequest &r) {
             r.Text = QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442");
             r.TextOnlyInFirst = true;
         },
         {"utf-8", "iso-8859-1", "iso-8859-1"}},
        {"a file name outside it in the second subject",
         [&other](TSendRequest &r) {
             r.AddFileName = true;
             r.Files[1] = QString::fromStdString(other);
         },
         {"iso-8859-1", "utf-8", "iso-8859-1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSink sink;
        ASSERT_NE(sink.port, 0);
        TSendRequest r = Request(sink.port, 3);
        if (c.setUp)
            c.setUp(r);
        TSendJob job(smtp, msg, host, r);
        job.Run();
        EXPECT_EQ(job.Outcome(), TJobOutcome::joDone);
        ASSERT_EQ(sink.Count(), 3);
        for (int n = 1; n <= 3; ++n)
            EXPECT_EQ(sink.Message(n).value("text_charset").toString(), c.charsets[n - 1]) << n;
        // The sender's fields are recoded for the character set each message goes in.
        EXPECT_EQ(sink.Message(2).value("modern").toObject().value("from").toString(),
                  r.SenderName.isEmpty() ? r.Account : r.SenderName + " <" + r.Account + ">");
    }
}

}  // namespace

namespace {

// Whatever a Message-Id holds, the journal gives it back as it was written: a resumed series
// sends an in-flight message again under exactly that id.
TEST(SendJournalTest, MessageIdsComeBackAsWritten)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.path()) + "/series.job";
    const QStringList ids = {"<VOK.2026.12.08.abc@[127.0.0.1]>", "<a\"b\\c@x>", QString("<tab\there@x>"),
                             "<почта@пример.рф>"};
    {
        TSendJournal journal;
        journal.Start(path, "identity", 9, {});
        for (int i = 0; i < ids.size(); ++i)
            journal.MessageDelivered(i + 1, ids[i]);
        journal.MessageInFlight(7, ids[1]);
    }
    const TSendJournal::TSeries series = TSendJournal::Read(path, "identity");
    ASSERT_EQ(series.Delivered.size(), ids.size());
    for (int i = 0; i < ids.size(); ++i)
        EXPECT_EQ(series.Delivered.value(i + 1), ids[i]);
    EXPECT_EQ(series.InFlight.value(7), ids[1]);
}

}  // namespace
