// A whole series to a real server (aiosmtpd) that offers PIPELINING and CHUNKING, against the
// same server without them: the same protocol, the same outcome, the same messages as Python's
// email reads them; with the extensions the data goes in BDAT chunks, never after a refused
// recipient.
#include "SendJob.h"
#include "job_test_support.h"

#include "SmtpSink.h"
#include "TempDir.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <random>

using namespace testsupport;

namespace {

using jobtest::RecordingHost;

struct SeriesRun {
    TJobOutcome outcome = TJobOutcome::joNone;
    std::vector<std::string> protocol;
    QStringList kept;        // per transaction the server kept: recipients, subject, attachments
    QStringList commands;    // what the server with the extensions was sent (one line a command)
};

class JobExtensionsTest : public ::testing::Test {
protected:
    TempDir dir{"sendorix-job-ext"};
    QStringList files;

    void SetUp() override
    {
        // Small files, and one large enough to need several chunks; a text line starting with
        // a dot that DATA must stuff and a chunk must not.
        std::mt19937 random(7);
        for (int i = 0; i < 5; ++i) {
            const size_t size = i == 2 ? 1536 * 1024 : 100 + 37 * i;
            std::string bytes(size, '\0');
            for (char &c : bytes)
                c = static_cast<char>(random());
            const std::string path = dir.file("file" + std::to_string(i + 1) + ".bin");
            WriteFile(path, bytes);
            files << QString::fromStdString(path);
        }
    }

    SeriesRun Send(const QStringList &options, const QString &to)
    {
        SmtpSink sink(options);
        EXPECT_NE(sink.port, 0);
        TVokSMTP smtp;
        TVokMsg msg;
        RecordingHost host;
        smtp.HostNameSource = [] { return std::string("client.example.net"); };
        TSendRequest r;
        r.Account = "me@example.org";
        r.To = to;
        r.CC = "copy@example.org";
        r.Subject = "Series";
        r.Text = "Hello\n.dot line\nend";
        r.Files = files;
        r.FilesPerMessage = 2;
        r.Server = "127.0.0.1";
        r.Port = QString::number(sink.port);
        r.TimeoutMs = 10000;
        r.ProgramTitle = "Sendorix test";
        TSendJob job(smtp, msg, host, r);
        job.Run();
        SeriesRun run;
        run.outcome = job.Outcome();
        run.protocol = host.Lines();
        for (std::string &line : run.protocol)   // each server has a port of its own
            if (line.rfind("Connecting to server ", 0) == 0)
                line = "Connecting to server *";
        for (int n = 1; n <= sink.Count(); ++n) {
            const QJsonObject m = sink.Message(n);
            QString entry = m.value("rcpt_tos").toVariant().toStringList().join(',') + " | " +
                            m.value("subject").toString() + " | " +
                            QString::fromLatin1(QByteArray::fromHex(m.value("text_hex").toString().toLatin1()));
            const int attachments = static_cast<int>(m.value("attachments").toArray().size());
            for (int k = 1; k <= attachments; ++k)
                entry += " | " + QString::fromLatin1(sink.Attachment(n, k).toHex().left(16)) + "/" +
                         QString::number(sink.Attachment(n, k).size());
            run.kept << entry;
        }
        QFile commands(sink.dir.filePath("commands.txt"));
        if (commands.open(QIODevice::ReadOnly))
            run.commands = QString::fromLatin1(commands.readAll()).split('\n', Qt::SkipEmptyParts);
        return run;
    }
};

TEST_F(JobExtensionsTest, TheSameSeriesWithAndWithoutPipeliningAndChunking)
{
    struct Case {
        const char *name;
        QStringList options;
        QString to;
        TJobOutcome outcome;
        int kept;   // transactions the server kept
    };
    const Case cases[] = {
        {"every message to To and Cc", {}, "to@example.org, two@example.org", TJobOutcome::joDone, 6},
        {"a refused recipient: the To list gets nothing, the series ends",
         {"--refuse-rcpt", "two@example.org"}, "to@example.org, two@example.org", TJobOutcome::joFailed, 0},
        {"message 2's data refused (the third transaction): the series ends with an error",
         {"--reject", "3"}, "to@example.org", TJobOutcome::joFailed, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const SeriesRun plain = Send(c.options, c.to);
        const SeriesRun extended = Send(c.options + QStringList{"--extensions"}, c.to);
        EXPECT_EQ(plain.outcome, c.outcome);
        EXPECT_EQ(extended.outcome, c.outcome);
        EXPECT_EQ(extended.protocol, plain.protocol);
        EXPECT_EQ(extended.kept, plain.kept);
        EXPECT_EQ(plain.kept.size(), c.kept);
        ASSERT_FALSE(extended.commands.isEmpty());
        EXPECT_FALSE(extended.commands.contains("DATA"));
        EXPECT_TRUE(plain.commands.isEmpty());   // the plain server keeps no command list
        // Chunks only after accepted recipients: none at all when one was refused.
        const bool chunks = extended.commands.filter(QRegularExpression("^BDAT \\d+ LAST$")).size() > 0;
        EXPECT_EQ(chunks, c.kept > 0);
    }
    // The large file went in more than one chunk, and the text kept its leading dot.
    const SeriesRun whole = Send({"--extensions"}, "to@example.org");
    EXPECT_GT(whole.commands.filter(QRegularExpression("^BDAT \\d+$")).size(), 0);
    ASSERT_EQ(whole.kept.size(), 6);
    EXPECT_TRUE(whole.kept[0].contains("Hello\r\n.dot line\r\nend")) << whole.kept[0].toStdString();
    EXPECT_TRUE(whole.kept[2].contains("/1572864")) << whole.kept[2].toStdString();
}

}  // namespace
