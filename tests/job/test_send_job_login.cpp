// The send job's login and its messages possibly delivered: a refused secret is never used
// again unasked and reaches the window only as refused; a failed password command and a
// declined prompt end the job politely (QUIT); a Cancel after the end of data waits for the
// server's reply, a second one leaves the message "possibly delivered", and a resumed series
// sends it under the same Message-Id.
#include "SendJob.h"
#include "SendJournal.h"
#include "job_test_support.h"

#include "ScriptedSmtpServer.h"
#include "SmtpSink.h"
#include "TempDir.h"
#include "vok_util.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

using jobtest::RecordingHost;

std::vector<ScriptStep> operator+(std::vector<ScriptStep> a, const std::vector<ScriptStep> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<ScriptStep> kLoginOpening = {Send("220 job.test\r\n"), Expect("EHLO client.example.net\r\n"),
                                               Send("250-hello\r\n250 AUTH PLAIN LOGIN\r\n")};
const ScriptStep kAuth = Expect("AUTH PLAIN AGFsaWNlAHMzY3JldA==\r\n");   // alice, s3cret
const std::vector<ScriptStep> kQuit = {Expect("QUIT\r\n"), Send("221 bye\r\n")};
const std::vector<ScriptStep> kTaken = {Expect("MAIL FROM:<me@example.org>\r\n"), Send("250 ok\r\n"),
                                        Expect("RCPT TO:<to@example.org>\r\n"),   Send("250 ok\r\n"),
                                        Expect("DATA\r\n"),                      Send("354 go\r\n"),
                                        ReadData(),                              Send("250 queued\r\n"),
                                        Expect("RSET\r\n"),                      Send("250 reset\r\n")};

class JobLoginTest : public ::testing::Test {
protected:
    TempDir dir{"sendorix-login"};
    TVokSMTP smtp;
    TVokMsg msg;
    RecordingHost host;

    void SetUp() override { smtp.HostNameSource = [] { return std::string("client.example.net"); }; }
    void TearDown() override { vok::SetProcessMessagesHook(nullptr); }

    TSendRequest Request(int port, int files)
    {
        QStringList paths;
        for (int i = 0; i < files; ++i) {
            const std::string path = dir.file("f" + std::to_string(i + 1) + ".txt");
            WriteFile(path, "file " + std::to_string(i + 1) + "\n");
            paths << QString::fromStdString(path);
        }
        TSendRequest r = jobtest::ServerRequest(port, paths);
        r.ReconnectAttempts = 0;
        r.JournalFile = QString::fromStdString(dir.file("Sendorix.job"));
        r.Identity = TSendJob::SeriesIdentity(r);
        return r;
    }
    // The protocol from the connecting line on, in English.
    std::vector<std::string> FromConnecting() const
    {
        std::vector<std::string> lines = host.Lines();
        const auto at = std::find_if(lines.begin(), lines.end(),
                                     [](const std::string &l) { return l.rfind("Connecting to server", 0) == 0; });
        lines.erase(lines.begin(), at);
        if (!lines.empty())
            lines.front() = lines.front().substr(lines.front().find("..."));
        for (std::string &l : lines)
            if (l.rfind("Transfer finished", 0) == 0)
                l = "Transfer finished: *";
        return lines;
    }
};

struct LoginCase {
    const char *name;
    std::vector<ScriptStep> script;   // after the opening
    std::optional<QString> password;
    QString commandError;
    std::vector<std::string> protocol;   // from the connecting line's "..." on
    QStringList accepted, refused;
    TJobOutcome outcome;
    int messages;
};

TEST_F(JobLoginTest, LoginOutcomesInProtocolStatusAndTheWindowsAnswer)
{
    const std::string refusal = "535 5.7.8 Error: authentication failed: authentication failure";
    const std::string advice = ". Check the user name and the password (the Security... button); the next Send asks "
                               "for the password again.";
    const LoginCase cases[] = {
        {"accepted", {kAuth, Send("235 ok\r\n")}, QString("s3cret"), {},
         {"...", "Connection successful", "Message #1: Series 1(1)", "File f1.txt", "Transfer... done.", "Disconnecting... done.",
          "Transfer finished: *", "All done"},
         {"s3cret"}, {}, TJobOutcome::joDone, 1},
        {"535: the server's words, QUIT, the secret refused", {kAuth, Send(refusal + "\r\n")}, QString("s3cret"), {},
         {"... cancelled by error.", "The server refused the login: " + refusal + advice},
         {}, {QString::fromStdString(refusal)}, TJobOutcome::joFailed, 0},
        {"534", {kAuth, Send("534 5.7.9 Please log in with your web browser\r\n")}, QString("s3cret"), {},
         {"... cancelled by error.",
          "The server refused the login: 534 5.7.9 Please log in with your web browser" + advice},
         {}, {"534 5.7.9 Please log in with your web browser"}, TJobOutcome::joFailed, 0},
        {"454", {kAuth, Send("454 4.7.0 Temporary authentication failure\r\n")}, QString("s3cret"), {},
         {"... cancelled by error.", "The server refused the login: 454 4.7.0 Temporary authentication failure" + advice},
         {}, {"454 4.7.0 Temporary authentication failure"}, TJobOutcome::joFailed, 0},
        {"the password command fails: no AUTH, its reason", {}, std::nullopt,
         "The password command failed (exit code 3): no entry for alice",
         {"... cancelled by error.", "The password command failed (exit code 3): no entry for alice"},
         {}, {}, TJobOutcome::joFailed, 0},
        {"the user declines", {}, std::nullopt, {},
         {"... cancelled by user.", "Process terminated by user"}, {}, {}, TJobOutcome::joStopped, 0},
    };
    for (const LoginCase &c : cases) {
        SCOPED_TRACE(c.name);
        host = RecordingHost();
        host.Password = c.password;
        host.CommandErrorEnglish = c.commandError;
        const bool delivers = c.messages > 0;
        ScriptedSmtpServer server(kLoginOpening + c.script + (delivers ? kTaken : std::vector<ScriptStep>{}) + kQuit);
        TSendRequest r = Request(server.Port(), 1);
        r.User = "alice";
        TSendJob job(smtp, msg, host, r);
        job.Run();
        EXPECT_TRUE(server.Wait()) << server.Failure();
        EXPECT_EQ(FromConnecting(), c.protocol);
        EXPECT_EQ(host.Accepted, c.accepted);
        EXPECT_EQ(host.Refused, c.refused);
        EXPECT_EQ(job.Outcome(), c.outcome);
        EXPECT_EQ(server.Data().size(), static_cast<size_t>(c.messages));
        EXPECT_TRUE(host.AskedForSecret);
        // The status line ends on what the protocol's last line says (the job runs in English).
        if (c.outcome == TJobOutcome::joFailed) {
            EXPECT_EQ(host.Statuses.last().toStdString(), c.protocol.back());
        }
        // Both languages carry the server's reply.
        if (!c.refused.isEmpty()) {
            EXPECT_TRUE(host.Russian.last().startsWith("Сервер отклонил вход: " + c.refused.first()))
                << host.Russian.last().toStdString();
        }
        EXPECT_TRUE(smtp.Password.empty()) << "the secret stays only while a job runs";
    }
}

// A Cancel while the server takes its time over the end of data: the first one waits for the
// reply and reports the message delivered; a second one abandons the wait, and the message
// is "possibly delivered": the journal keeps it in flight, and the resumed series sends it
// again under the same Message-Id.
TEST_F(JobLoginTest, ACancelAfterTheDataWaitsForTheReplyASecondLeavesItPossiblyDelivered)
{
    for (const int presses : {1, 2}) {
        SCOPED_TRACE(presses);
        host = RecordingHost();
        SmtpSink sink({"--delay", "1"});
        ASSERT_NE(sink.port, 0);
        const TSendRequest r = Request(sink.port, 2);
        QFile::remove(r.JournalFile);
        TSendJob job(smtp, msg, host, r);
        int pressed = 0;
        vok::SetProcessMessagesHook([&] {
            if (smtp.EndOfDataUnanswered && pressed < presses) {
                ++pressed;
                job.CancelPressed();
            }
        });
        job.Run();
        vok::SetProcessMessagesHook(nullptr);
        ASSERT_EQ(pressed, presses);
        EXPECT_EQ(job.Outcome(), TJobOutcome::joStopped);
        const TSendJournal::TSeries series = TSendJournal::Read(r.JournalFile, r.Identity);
        if (presses == 1) {
            EXPECT_TRUE(host.English.contains("Transfer... done.")) << host.English.join('\n').toStdString();
            EXPECT_FALSE(host.English.join('\n').contains("possibly"));
            EXPECT_EQ(sink.Count(), 1);
            EXPECT_EQ(series.Delivered.keys(), QList<int>{1});
            EXPECT_TRUE(series.InFlight.isEmpty());
            continue;
        }
        EXPECT_TRUE(host.English.contains("Transfer... stopped by user."));
        EXPECT_TRUE(host.English.contains(
            "Message #1 was possibly delivered already: the server's reply to its end of data never came."))
            << host.English.join('\n').toStdString();
        EXPECT_FALSE(host.English.join('\n').contains("was not sent"));
        ASSERT_EQ(series.InFlight.keys(), QList<int>{1});
        EXPECT_TRUE(series.Delivered.isEmpty());
        const QString id = series.InFlight.value(1);
        EXPECT_TRUE(id.startsWith('<')) << id.toStdString();

        // Resumed: message 1 again under its Message-Id, then message 2.
        host = RecordingHost();
        TSendRequest resumed = r;
        resumed.InFlight = series.InFlight;
        TSendJob again(smtp, msg, host, resumed);
        again.Run();
        EXPECT_EQ(again.Outcome(), TJobOutcome::joDone);
        EXPECT_TRUE(host.English.contains(
            "Message #1 was possibly delivered already (" + id + "); it is sent again under the same Message-Id"))
            << host.English.join('\n').toStdString();
        QMap<QString, QString> idBySubject;
        for (int n = 1; n <= sink.Count() + 1; ++n)
            if (!sink.Message(n).isEmpty())
                idBySubject.insert(sink.Message(n).value("subject").toString(),
                                   sink.Message(n).value("message_id").toString());
        EXPECT_EQ(idBySubject.value("Series 1(2)"), id);
        EXPECT_NE(idBySubject.value("Series 2(2)"), id);
        EXPECT_FALSE(QFile::exists(r.JournalFile));
    }
}

}  // namespace
