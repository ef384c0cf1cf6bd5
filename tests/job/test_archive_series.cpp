// The internal archiver end to end: the send job packs the files, aiosmtpd takes the parts,
// Python's email decodes them, and the joined archive is opened by Python's zipfile, Info-ZIP
// unzip and 7-Zip (which opens the first part directly).
#include "ArchiveSeries.h"
#include "Archiver.h"
#include "SendJob.h"
#include "SendJournal.h"
#include "job_test_support.h"

#include "SmtpSink.h"
#include "TempDir.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace testsupport;

namespace {

using jobtest::RecordingHost;

std::string RandomBytes(size_t n, quint32 seed)
{
    std::string s(n, '\0');
    QRandomGenerator g(seed);
    for (char &c : s)
        c = static_cast<char>(g.generate() & 0xff);
    return s;
}

std::string TextBytes(size_t n)
{
    std::string s;
    for (int i = 0; s.size() < n; ++i)
        s += "line " + std::to_string(i) + " of a text that packs well\n";
    s.resize(n);
    return s;
}

// The archive's temporary files left in a folder.
QStringList Leftovers(const std::string &folder)
{
    return QDir(QString::fromStdString(folder)).entryList({QStringLiteral("sendorix-pack-*")}, QDir::Files);
}

class ArchiveSeriesTest : public ::testing::Test {
protected:
    TempDir dir{"sendorix-archive"};
    TempDir temp{"sendorix-archive-temp"};
    TVokSMTP smtp;
    TVokMsg msg;
    RecordingHost host;
    std::map<std::string, std::string> expected;   // name in the archive -> bytes

    void SetUp() override { smtp.HostNameSource = [] { return std::string("client.example.net"); }; }

    QString Add(const std::string &relative, const std::string &bytes, const std::string &nameInArchive = {})
    {
        const std::string path = dir.file(relative);
        QDir().mkpath(QFileInfo(QString::fromStdString(path)).path());
        WriteFile(path, bytes);
        expected[nameInArchive.empty() ? relative.substr(relative.rfind('/') + 1) : nameInArchive] = bytes;
        return QString::fromStdString(path);
    }

    TSendRequest Request(int port, const QStringList &files, int sizeKb)
    {
        TSendRequest r = jobtest::ServerRequest(port, files);
        r.Subject = "Photos";
        r.UseZip = true;
        r.AddPartNo = true;
        r.AddFileName = true;
        r.MessageSizeKb = sizeKb;
        r.TempDir = QString::fromStdString(temp.path());
        r.Encoding = teBase64;
        r.TimeoutMs = 10000;
        return r;
    }

    // The parts as received, saved under their names; returns the path of the first.
    QString SaveParts(const SmtpSink &sink, int first, int last, const QString &folder)
    {
        QDir().mkpath(folder);
        QString firstPath;
        for (int n = first; n <= last; ++n) {
            const QString name = sink.Message(n)["attachments"].toArray()[0].toObject()["name"].toString();
            QFile f(folder + QLatin1Char('/') + name);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(sink.Attachment(n, 1));
            if (firstPath.isEmpty())
                firstPath = f.fileName();
        }
        return firstPath;
    }

    // Every expected file, byte for byte and by name, in what a tool extracted.
    void ExpectExtracted(const QString &folder, const char *tool)
    {
        SCOPED_TRACE(tool);
        const QStringList found = QDir(folder).entryList(QDir::Files);
        EXPECT_EQ(static_cast<size_t>(found.size()), expected.size()) << found.join(", ").toStdString();
        for (const auto &[name, bytes] : expected) {
            QFile f(folder + QLatin1Char('/') + QString::fromStdString(name));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << name;
            EXPECT_TRUE(f.readAll().toStdString() == bytes) << name;
        }
    }

    static void Run(const QString &program, const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        p.setProcessEnvironment(env);
        p.start(program, args);
        ASSERT_TRUE(p.waitForFinished(60000)) << program.toStdString();
        EXPECT_EQ(p.exitCode(), 0) << program.toStdString() << ": " << p.readAllStandardError().toStdString();
    }

    // Joins the parts in order and opens them with the three tools.
    void OpenWithThreeTools(const SmtpSink &sink, int parts, const QString &archiveName)
    {
        const QString root = QString::fromStdString(dir.path()) + QStringLiteral("/received");
        const QString first = SaveParts(sink, 1, parts, root + QStringLiteral("/parts"));
        QFile joined(root + QLatin1Char('/') + archiveName);
        ASSERT_TRUE(joined.open(QIODevice::WriteOnly));
        for (int n = 1; n <= parts; ++n)
            joined.write(sink.Attachment(n, 1));
        joined.close();
        Run(QStringLiteral("python3"), {QStringLiteral("-c"),
                                        QStringLiteral("import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                                                       "assert z.testzip() is None; z.extractall(sys.argv[2])"),
                                        joined.fileName(), root + QStringLiteral("/py")});
        ExpectExtracted(root + QStringLiteral("/py"), "zipfile");
        Run(QStringLiteral("unzip"), {QStringLiteral("-qq"), joined.fileName(), QStringLiteral("-d"), root + QStringLiteral("/unzip")});
        ExpectExtracted(root + QStringLiteral("/unzip"), "unzip");
        Run(QStringLiteral("7z"), {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-o") + root + QStringLiteral("/7z"), first});
        ExpectExtracted(root + QStringLiteral("/7z"), "7z");
        QDir(root).removeRecursively();
    }
};

// Sizes in a table: what is packed, the message size, the server's limit; every message within
// the smaller of the two, the subjects numbered, the parts named, the archive intact.
TEST_F(ArchiveSeriesTest, PartsFitAndTheJoinedArchiveOpensInThreeTools)
{
    struct Case {
        const char *name;
        bool compressible;   // a text among the files: packing ends before the first part goes
        int sizeKb;
        int serverSize;      // 0: the sink's default
        size_t large;        // bytes of one more file, for parts too large to be held in memory
    };
    const Case cases[] = {
        {"stored files, parts sent while packing", false, 64, 0, 0},
        {"a text deflated, packed first", true, 64, 0, 0},
        {"the server's SIZE under the message size", false, 64, 30000, 0},
        {"parts read from the archive as they are sent", false, 5 * 1024, 0, 13 << 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        expected.clear();
        QStringList files;
        files << Add("a/Фото отпуска.jpg", RandomBytes(20000, 1));
        files << Add("big.bin", RandomBytes(300 * 1024, 2));   // larger than a message
        for (int i = 0; i < 40; ++i)
            files << Add("small/s" + std::to_string(i) + ".dat", RandomBytes(700 + i, 10 + i));
        files << Add("empty.bin", std::string());
        files << Add("b/Фото отпуска.jpg", RandomBytes(3000, 3), "Фото отпуска (2).jpg");
        if (c.compressible)
            files << Add("notes.txt", TextBytes(200000));
        if (c.large)
            files << Add("video.mp4", RandomBytes(c.large, 77));
        SmtpSink sink(c.serverSize ? QStringList{QStringLiteral("--size"), QString::number(c.serverSize)} : QStringList{});
        ASSERT_NE(sink.port, 0);
        TSendJob job(smtp, msg, host, Request(sink.port, files, c.sizeKb));
        job.Run();
        EXPECT_EQ(job.Outcome(), TJobOutcome::joDone) << host.English.join('\n').toStdString();
        const int parts = sink.Count();
        ASSERT_GT(parts, 2);
        const uint64_t limit = c.serverSize ? static_cast<uint64_t>(c.serverSize) : uint64_t(c.sizeKb) * 1024;
        for (int n = 1; n <= parts; ++n) {
            const QJsonObject m = sink.Message(n);
            EXPECT_LE(static_cast<uint64_t>(m["size"].toInteger()), limit) << n;
            const QString part = QStringLiteral("Photos.zip.%1").arg(n, 3, 10, QLatin1Char('0'));
            EXPECT_EQ(m["subject"].toString(), QStringLiteral("Photos %1(%2) <%3>").arg(n).arg(parts).arg(part));
            EXPECT_EQ(m["attachments"].toArray()[0].toObject()["name"].toString(), part);
        }
        // The text carries the note in every message, the user's text in all of them (not
        // only the first), and the whole archive's digest at least in the last.
        const QString last = QString::fromUtf8(QByteArray::fromHex(sink.Message(parts)["text_hex"].toString().toLatin1()));
        EXPECT_TRUE(last.startsWith(QStringLiteral("Hello\r\n"))) << last.toStdString();
        EXPECT_TRUE(last.contains(QStringLiteral("Part %1 of %1 of the archive Photos.zip").arg(parts)));
        EXPECT_TRUE(last.contains(QStringLiteral("SHA-256 of the whole archive: "))) << last.toStdString();
        OpenWithThreeTools(sink, parts, QStringLiteral("Photos.zip"));
        EXPECT_TRUE(Leftovers(temp.path()).isEmpty());
    }
}

TEST_F(ArchiveSeriesTest, AnArchiveThatFitsGoesAsOneMessageWithItsOwnName)
{
    SmtpSink sink;
    ASSERT_NE(sink.port, 0);
    const QStringList files = {Add("Отчёт.txt", TextBytes(5000)), Add("pic.png", RandomBytes(4000, 7))};
    TSendRequest r = Request(sink.port, files, 10240);
    r.Subject.clear();   // the name comes from the first file
    TSendJob job(smtp, msg, host, r);
    job.Run();
    ASSERT_EQ(sink.Count(), 1);
    EXPECT_EQ(sink.Message(1)["attachments"].toArray()[0].toObject()["name"].toString(), QStringLiteral("Отчёт.zip"));
    EXPECT_TRUE(host.English.contains(QStringLiteral("Packing file Отчёт.txt (1 of 2)")));
    EXPECT_TRUE(host.English.contains(QStringLiteral("Packing file pic.png (2 of 2)")));
    OpenWithThreeTools(sink, 1, QStringLiteral("Отчёт.zip"));
}

// A stop while packing, a folder without room and a file that is not a regular file: nothing
// sent, no temporary archive left, and the protocol says why.
TEST_F(ArchiveSeriesTest, NothingIsSentAndNothingLeftWhenPackingCannotEnd)
{
    SmtpSink sink;
    ASSERT_NE(sink.port, 0);
    // A stale archive of a run that was killed goes at the next packing.
    WriteFile(temp.file("sendorix-pack-999999999-abcdef.zip"), "stale");
    {
        SCOPED_TRACE("stopped while packing");
        const std::string path = dir.file("zeros.bin");
        WriteFile(path, std::string());
        ASSERT_EQ(truncate(path.c_str(), 256 << 20), 0);   // sparse: packs slowly, costs no disk
        TSendJob job(smtp, msg, host, Request(sink.port, {QString::fromStdString(path)}, 1024));
        bool sawOwnerOnly = false;
        host.OnLine = [&](const QString &line) {
            if (!line.startsWith(QStringLiteral("Packing file")))
                return;
            const QStringList left = Leftovers(temp.path());
            struct stat st {};
            sawOwnerOnly = left.size() == 1 && stat(temp.file(left[0].toStdString()).c_str(), &st) == 0
                           && (st.st_mode & 0777) == 0600;
            job.Cancel();
        };
        job.Run();
        host.OnLine = nullptr;
        EXPECT_EQ(job.Outcome(), TJobOutcome::joStopped);
        EXPECT_TRUE(sawOwnerOnly);
        EXPECT_TRUE(host.English.contains(QStringLiteral("Process terminated by user")));
    }
    {
        SCOPED_TRACE("no room in the temporary folder");
        const std::string path = dir.file("huge.bin");
        WriteFile(path, std::string());
        struct statvfs st {};
        ASSERT_EQ(statvfs(temp.path().c_str(), &st), 0);
        const off_t beyond = static_cast<off_t>(st.f_bavail * st.f_frsize) + (off_t(1) << 30);
        ASSERT_EQ(truncate(path.c_str(), beyond), 0);
        TSendJob job(smtp, msg, host, Request(sink.port, {QString::fromStdString(path)}, 1024));
        EXPECT_ANY_THROW(job.Run());
        const QString line = host.English.filter(QStringLiteral("Not enough room")).value(0);
        EXPECT_TRUE(line.contains(QString::fromStdString(temp.path()))) << host.English.join('\n').toStdString();
        EXPECT_TRUE(line.contains(QRegularExpression(QStringLiteral("needs up to [0-9]{10,} bytes, [0-9]+ bytes are free"))))
            << line.toStdString();
        EXPECT_TRUE(line.endsWith(QStringLiteral("Nothing was sent."))) << line.toStdString();
    }
    {
        SCOPED_TRACE("a folder in the list");
        QDir().mkpath(QString::fromStdString(dir.file("folder")));
        TSendJob job(smtp, msg, host, Request(sink.port, {QString::fromStdString(dir.file("folder"))}, 1024));
        EXPECT_ANY_THROW(job.Run());
        EXPECT_TRUE(host.English.contains(QStringLiteral("Cannot read file %1: it is a folder, not a file")
                                              .arg(QString::fromStdString(dir.file("folder")))))
            << host.English.join('\n').toStdString();
    }
    EXPECT_EQ(sink.Count(), 0);
    EXPECT_TRUE(Leftovers(temp.path()).isEmpty()) << Leftovers(temp.path()).join(", ").toStdString();
}

// A connection lost in the middle: only the part not taken goes again. A series cut short and
// resumed by a new job: only the missing parts go; with the files changed, nothing goes.
TEST_F(ArchiveSeriesTest, AReconnectAndAResumeSendOnlyTheMissingParts)
{
    QStringList files;
    for (int i = 0; i < 6; ++i)
        files << Add("f" + std::to_string(i) + ".bin", RandomBytes(40000, 50 + i));
    files << Add("read me.txt", TextBytes(30000));
    {
        SCOPED_TRACE("reconnect");
        SmtpSink sink({QStringLiteral("--close-mail"), QStringLiteral("2")});
        ASSERT_NE(sink.port, 0);
        TSendJob job(smtp, msg, host, Request(sink.port, files, 64));
        job.Run();
        EXPECT_EQ(job.Outcome(), TJobOutcome::joDone);
        EXPECT_TRUE(host.English.contains(QStringLiteral("Message #2 is sent again")));
        EXPECT_EQ(host.English.filter(QStringLiteral("Message #2:")).size(), 1);
        OpenWithThreeTools(sink, sink.Count(), QStringLiteral("Photos.zip"));
    }
    const QString journal = QString::fromStdString(dir.file("journal"));
    SmtpSink first, second;
    ASSERT_NE(first.port, 0);
    TSendRequest r = Request(first.port, files, 64);
    r.JournalFile = journal;
    r.Identity = TSendJob::SeriesIdentity(r);
    {
        SCOPED_TRACE("cut short after two parts");
        TSendJob job(smtp, msg, host, r);
        host.OnLine = [&](const QString &line) {
            if (line.startsWith(QStringLiteral("Message #2:")))
                job.Cancel();
        };
        job.Run();
        host.OnLine = nullptr;
        ASSERT_EQ(first.Count(), 2);
    }
    const TSendJournal::TSeries series = TSendJournal::Read(journal, r.Identity);
    ASSERT_EQ(series.Delivered.keys(), QList<int>({1, 2}));
    EXPECT_GT(series.PartSize, 0);
    r.Port = QString::number(second.port);
    r.Delivered = series.Delivered;
    r.ArchivePartSize = series.PartSize;
    r.ArchiveFiles = series.ArchiveFiles;
    r.ArchiveSha256 = series.ArchiveSha256;
    {
        SCOPED_TRACE("resumed");
        TSendJob job(smtp, msg, host, r);
        job.Run();
        EXPECT_EQ(job.Outcome(), TJobOutcome::joDone) << host.English.join('\n').toStdString();
        ASSERT_EQ(second.Count(), series.Total - 2);
        EXPECT_EQ(second.Message(1)["attachments"].toArray()[0].toObject()["name"].toString(),
                  QStringLiteral("Photos.zip.003"));
    }
    // Parts 1 and 2 from the first server, the rest from the second: one archive.
    const QString root = QString::fromStdString(dir.path()) + QStringLiteral("/joined");
    QDir().mkpath(root);
    QFile joined(root + QStringLiteral("/Photos.zip"));
    ASSERT_TRUE(joined.open(QIODevice::WriteOnly));
    joined.write(first.Attachment(1, 1) + first.Attachment(2, 1));
    for (int n = 1; n <= second.Count(); ++n)
        joined.write(second.Attachment(n, 1));
    joined.close();
    Run(QStringLiteral("unzip"), {QStringLiteral("-qq"), joined.fileName(), QStringLiteral("-d"), root + QStringLiteral("/out")});
    ExpectExtracted(root + QStringLiteral("/out"), "unzip");
    EXPECT_FALSE(QFile::exists(journal));   // the series is complete

    SCOPED_TRACE("the files changed before the resume");
    TSendJournal j;
    j.SetArchive(series.PartSize, series.ArchiveFiles, series.ArchiveSha256);
    j.Start(journal, r.Identity, series.Total, series.Delivered);
    j.End();
    WriteFile(files[0].toStdString(), RandomBytes(40000, 999));
    SmtpSink third;
    r.Port = QString::number(third.port);
    TSendJob job(smtp, msg, host, r);
    job.Run();
    EXPECT_EQ(job.Outcome(), TJobOutcome::joFailed);
    EXPECT_EQ(third.Count(), 0);
    EXPECT_EQ(host.Boxes.size(), 1);
    EXPECT_TRUE(host.English.last().startsWith(QStringLiteral("The files changed since the interrupted series")));
    EXPECT_FALSE(QFile::exists(journal));   // the next Send starts afresh
}

// The archive itself: the same files give the same bytes; names made unique; the pieces of
// a name; the trial block's verdict.
TEST(ArchiverTest, SameFilesSameBytesAndTheNamingRules)
{
    TempDir dir{"sendorix-archiver"};
    QStringList files;
    for (const char *name : {"x.txt", "y.bin", "z"}) {
        WriteFile(dir.file(name), std::string(name) == std::string("y.bin") ? RandomBytes(100000, 5) : TextBytes(70000));
        files << QString::fromStdString(dir.file(name));
    }
    struct Memory : Archive::TSink {
        std::string Bytes;
        void Write(const void *data, size_t size) override { Bytes.append(static_cast<const char *>(data), size); }
    };
    std::atomic<bool> cancel{false};
    const Archive::TPlan plan = Archive::MakePlan(files, cancel, [] {});
    EXPECT_EQ(std::vector<bool>({plan.Entries[0].Store, plan.Entries[1].Store, plan.Entries[2].Store}),
              std::vector<bool>({false, true, false}));
    Memory one, two;
    Archive::TProgress p1, p2;
    Archive::Pack(plan, one, p1);
    sleep(1);   // a packing time inside would show now
    Archive::Pack(Archive::MakePlan(files, cancel, [] {}), two, p2);
    EXPECT_TRUE(one.Bytes == two.Bytes);
    EXPECT_LT(one.Bytes.size(), 200000u);

    // Stored only: the size worked out beforehand is the size written.
    const Archive::TPlan stored = Archive::MakePlan({files[1], files[1]}, cancel, [] {});
    Memory three;
    Archive::TProgress p3;
    Archive::Pack(stored, three, p3);
    EXPECT_EQ(Archive::StoredArchiveSize(stored, cancel, [] {}), three.Bytes.size());
    EXPECT_LE(three.Bytes.size(), Archive::ArchiveSizeBound(stored));

    EXPECT_EQ(Archive::UniqueNames({"/a/photo.jpg", "/b/photo.jpg", "/c/PHOTO.jpg", "/d/notes", "/e/notes"}),
              std::vector<QString>({"photo.jpg", "photo (2).jpg", "PHOTO (3).jpg", "notes", "notes (2)"}));
    const std::pair<std::pair<const char *, const char *>, const char *> names[] = {
        {{"Photos 2024", "/x/a.jpg"}, "Photos 2024"},
        {{"a/b: c*d?", "/x/a.jpg"}, "a_b_ c_d_"},
        {{"  ..  ", "/x/Отчёт.final.doc"}, "Отчёт.final"},
        {{"", "/x/.hidden"}, "hidden"},
        {{"", "/x/"}, "archive"},
    };
    for (const auto &[in, out] : names)
        EXPECT_EQ(Archive::ArchiveBaseName(QString::fromUtf8(in.first), QString::fromUtf8(in.second)), QString::fromUtf8(out));
    EXPECT_EQ(Archive::PartName("N.zip", 1, 1), "N.zip");
    EXPECT_EQ(Archive::PartName("N.zip", 2, 12), "N.zip.002");
    EXPECT_EQ(Archive::PartName("N.zip", 7, 1200), "N.zip.0007");
    const std::string random = RandomBytes(65536, 9), text = TextBytes(65536);
    EXPECT_FALSE(Archive::Compressible(random.data(), random.size()));
    EXPECT_TRUE(Archive::Compressible(text.data(), text.size()));
    // Even bytes, but one short run over and over: only the trial deflate sees it.
    std::string repeated;
    while (repeated.size() < 65536)
        repeated += random.substr(0, 2048);
    EXPECT_TRUE(Archive::Compressible(repeated.data(), repeated.size()));
}

}  // namespace
