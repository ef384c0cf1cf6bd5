// The profile-file class: names, values, encodings and the write that never loses the old file.
#include "ComDialogs.h"
#include "IniFile.h"
#include "ini_test_support.h"
#include "Language.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class IniFileTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path(const QString &name = QStringLiteral("t.ini")) const { return dir.filePath(name); }
    void TearDown() override { TIniFile::SetWriteHookForTests({}); }
};

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndDefaultsApply)
{
    TIniFile ini(path(QStringLiteral("nothing.ini")));
    EXPECT_EQ(ini.ReadString("S", "k", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("S", "k", 42), 42);
    EXPECT_TRUE(ini.ReadBool("S", "k", true));
    EXPECT_FALSE(ini.ReadBool("S", "k", false));
    EXPECT_TRUE(ini.ReadSections().isEmpty());
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("nothing.ini")))); // reading creates nothing
}

TEST_F(IniFileTest, NamesMatchWithoutRegardToCaseAndValuesAreTrimmed)
{
    writeBytes(path(), "[Settings]\nLanguage =   1  \r\nName=  Иван Петров \n[Адреса]\nКлюч=x\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadInteger("settings", "LANGUAGE", 0), 1);
    EXPECT_EQ(ini.ReadString("SETTINGS", "name", ""), QStringLiteral("Иван Петров"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("адреса"), QStringLiteral("КЛЮЧ"), ""), "x");
    EXPECT_TRUE(ini.SectionExists("sEtTiNgS"));
    EXPECT_TRUE(ini.ValueExists("Settings", "language"));

    // Writing under another spelling replaces the value instead of adding a second key.
    ini.WriteString("SETTINGS", "language", "0");
    ini.UpdateFile();
    const QByteArray text = readBytes(path());
    EXPECT_EQ(text.count("anguage"), 1) << text.constData();
    EXPECT_TRUE(text.contains("Language=0")) << text.constData();
}

TEST_F(IniFileTest, IntegersAndTruthValues)
{
    writeBytes(path(), "[S]\na=17\nb=-3\nc=abc\nd=12x\ne=\nf=2\ng=0\nh= 1 \n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadInteger("S", "a", 0), 17);
    EXPECT_EQ(ini.ReadInteger("S", "b", 0), -3);
    EXPECT_EQ(ini.ReadInteger("S", "c", 5), 5);  // not a number: the default
    EXPECT_EQ(ini.ReadInteger("S", "d", 6), 6);
    EXPECT_EQ(ini.ReadInteger("S", "e", 7), 7);
    EXPECT_TRUE(ini.ReadBool("S", "f", false)); // any non-zero integer
    EXPECT_FALSE(ini.ReadBool("S", "g", true));
    EXPECT_TRUE(ini.ReadBool("S", "h", false));
    EXPECT_FALSE(ini.ReadBool("S", "c", false));

    ini.WriteBool("S", "t", true);
    ini.WriteBool("S", "u", false);
    ini.WriteInteger("S", "n", -12);
    ini.UpdateFile();
    const QByteArray text = readBytes(path());
    EXPECT_TRUE(text.contains("\nt=1\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nu=0\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nn=-12\n")) << text.constData();
}

TEST_F(IniFileTest, ValuesAreReadWhole)
{
    // The old platform cut reads at 1023 characters, and the cut value was written back.
    const QString longCyrillic = QString(5000, QChar(0x0416)); // "Ж", two bytes in UTF-8
    {
        TIniFile ini(path());
        ini.WriteString("S", "long", longCyrillic);
        ini.UpdateFile();
    }
    {
        TIniFile ini(path());
        EXPECT_EQ(ini.ReadString("S", "long", ""), longCyrillic);
        ini.WriteString("S", "other", "x"); // a rewrite keeps it whole too
        ini.UpdateFile();
    }
    EXPECT_EQ(TIniFile(path()).ReadString("S", "long", ""), longCyrillic);
}

TEST_F(IniFileTest, UnknownSectionsKeysAndCommentsSurviveARewrite)
{
    writeBytes(path(), "; kept comment\n[Other]\nx=1\ny=two words\n[S]\nold=keep\nk=1\n[Tail]\nz=\n");
    {
        TIniFile ini(path());
        ini.WriteString("S", "k", "2");
        ini.WriteString("S", "new", "added");
        ini.WriteString("Fresh", "a", "b");
        ini.UpdateFile();
    }
    const QByteArray text = readBytes(path());
    EXPECT_TRUE(text.contains("; kept comment")) << text.constData();
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadSections(), QStringList({"Other", "S", "Tail", "Fresh"}));
    EXPECT_EQ(ini.ReadSection("S"), QStringList({"old", "k", "new"}));
    EXPECT_EQ(ini.ReadString("Other", "y", ""), "two words");
    EXPECT_EQ(ini.ReadString("S", "old", ""), "keep");
    EXPECT_EQ(ini.ReadString("S", "k", ""), "2");
    EXPECT_TRUE(ini.ValueExists("Tail", "z"));
}

TEST_F(IniFileTest, SectionsAreWrittenOneEmptyLineApartWhateverTheRewrites)
{
    for (int round = 0; round < 3; ++round) {
        TIniFile ini(path());
        ini.WriteString("A", "k", QString::number(round));
        ini.WriteString("B", "k", "2");
        ini.UpdateFile();
    }
    EXPECT_EQ(readBytes(path()), QByteArray("[A]\nk=2\n\n[B]\nk=2\n"));
}

TEST_F(IniFileTest, EraseSectionAndDeleteKey)
{
    writeBytes(path(), "[A]\n1=x\n2=y\n[B]\nq=1\n");
    {
        TIniFile ini(path());
        ini.EraseSection("a");
        ini.DeleteKey("b", "Q");
        ini.UpdateFile();
    }
    TIniFile ini(path());
    EXPECT_FALSE(ini.SectionExists("A"));
    EXPECT_FALSE(ini.ValueExists("B", "q"));
}

TEST_F(IniFileTest, LineBreaksInAValueCannotForgeKeysOrSections)
{
    {
        TIniFile ini(path());
        ini.WriteString("S", "subject", "hello\r\n[Evil]\nkey=1");
        ini.UpdateFile();
    }
    TIniFile ini(path());
    EXPECT_FALSE(ini.SectionExists("Evil"));
    EXPECT_EQ(ini.ReadString("S", "subject", ""), "hello [Evil] key=1");
}

TEST_F(IniFileTest, FilesAreWrittenAsUtf8AndWindows1251FilesLoadTheirCyrillic)
{
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    ASSERT_NE(cp1251, nullptr);
    const QString name = QStringLiteral("Отправитель Ёжиков");
    writeBytes(path(), "[SMTP]\nName=" + cp1251->fromUnicode(name) + "\nServer=mail.example.ru\n");
    {
        TIniFile ini(path());
        EXPECT_TRUE(ini.WasWindows1251());
        EXPECT_EQ(ini.ReadString("smtp", "name", ""), name);
        ini.WriteString("SMTP", "Account", QStringLiteral("почта@пример.рф"));
        ini.UpdateFile();
    }
    const QByteArray text = readBytes(path());
    EXPECT_TRUE(text.contains(("Name=" + name).toUtf8())) << text.constData();
    TIniFile ini(path());
    EXPECT_FALSE(ini.WasWindows1251());
    EXPECT_EQ(ini.ReadString("SMTP", "Name", ""), name);
    EXPECT_EQ(ini.ReadString("SMTP", "Account", ""), QStringLiteral("почта@пример.рф"));
}

TEST_F(IniFileTest, Utf8SignatureIsAccepted)
{
    writeBytes(path(), "\xEF\xBB\xBF[S]\nk=Привет\n");
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadString("S", "k", ""), QStringLiteral("Привет"));
}

// The write that fails halfway: the old file must come through byte for byte.
TEST_F(IniFileTest, FailedWriteHalfwayLeavesTheOldFileAndRaises)
{
    QByteArray old = "[Keep]\nweird =  spacing ; and a comment\n[S]\n";
    for (int i = 0; i < 2000; ++i)
        old += "k" + QByteArray::number(i) + "=value " + QByteArray::number(i) + "\n";
    writeBytes(path(), old);

    TIniFile ini(path());
    for (int i = 0; i < 2000; ++i)
        ini.WriteString("S", QStringLiteral("k%1").arg(i), QStringLiteral("changed %1").arg(i));
    int calls = 0;
    TIniFile::SetWriteHookForTests([&](qint64 written) {
        ++calls;
        return written < 8192; // the disk fills after two chunks
    });
    try {
        ini.UpdateFile();
        FAIL() << "the failed write was reported as success";
    } catch (const EIniFileError &e) {
        const QString text = QStringLiteral("Unable to write to %1: No space left on device").arg(path());
        EXPECT_EQ(e.Message(), text);
        EXPECT_STREQ(e.what(), text.toUtf8().constData());
    }
    EXPECT_GE(calls, 3); // it really failed halfway, not before starting
    EXPECT_EQ(readBytes(path()), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"t.ini"})
        << "temporary file left behind";

    // Once the disk has room again the same content goes out whole.
    TIniFile::SetWriteHookForTests({});
    ini.UpdateFile();
    TIniFile again(path());
    EXPECT_EQ(again.ReadString("S", "k1999", ""), "changed 1999");
    EXPECT_EQ(again.ReadString("Keep", "weird", ""), "spacing ; and a comment");
}

TEST_F(IniFileTest, ReadOnlyFolderRaisesAndKeepsTheOldFile)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    const QByteArray old = "[S]\nk=old\n";
    writeBytes(path(), old);
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0555), 0);
    TIniFile ini(path());
    ini.WriteString("S", "k", "new");
    EXPECT_THROW(ini.UpdateFile(), EIniFileError);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    EXPECT_EQ(readBytes(path()), old);
}

TEST_F(IniFileTest, MissingFolderRaisesWithTheFileName)
{
    const QString p = dir.filePath(QStringLiteral("no/such/folder/x.cfg"));
    TIniFile ini(p);
    ini.WriteString("S", "k", "v");
    try {
        ini.UpdateFile();
        FAIL() << "no error";
    } catch (const EIniFileError &e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + p + ": No such file or directory");
    }
}

TEST_F(IniFileTest, AFailedWriteReachesTheErrorBoxWithItsFullText)
{
    // A command that saves settings runs guarded; the box must name the folder as it is.
    const QString p = dir.filePath(QStringLiteral("нет такой папки/x.cfg"));
    ComDialogsTest::Reset();
    ComDialogsTest::SetRefuseUnanswered(true);
    EXPECT_FALSE(RunGuarded(nullptr, [&] {
        TIniFile ini(p);
        ini.WriteString("S", "k", "v");
        ini.UpdateFile();
    }));
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ComDialogsTest::Reset();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    EXPECT_EQ(log[0].Text, "Unable to write to " + p + ": No such file or directory");
    try {
        TIniFile ini(p);
        ini.WriteString("S", "k", "v");
        ini.UpdateFile();
        FAIL() << "no error";
    } catch (const Exception &e) {   // one of the program's own errors
        EXPECT_EQ(e.Message(), "Unable to write to " + p + ": No such file or directory");
    }
}

TEST_F(IniFileTest, UnreadableFileIsNeverReplaced)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads everything";
    const QByteArray old = "[S]\nsecret=1\n";
    writeBytes(path(), old);
    ::chmod(QFile::encodeName(path()).constData(), 0200);
    TIniFile ini(path());
    EXPECT_EQ(ini.ReadString("S", "secret", "none"), "none");
    ini.WriteString("S", "other", "x");
    EXPECT_THROW(ini.UpdateFile(), EIniFileError); // writing now would drop "secret"
    ::chmod(QFile::encodeName(path()).constData(), 0600);
    EXPECT_EQ(readBytes(path()), old);
}

TEST_F(IniFileTest, RewriteKeepsPermissionsAndFollowsLinks)
{
    writeBytes(path(QStringLiteral("real.ini")), "[S]\nk=1\n");
    ::chmod(QFile::encodeName(path(QStringLiteral("real.ini"))).constData(), 0640);
    ASSERT_TRUE(QFile::link(path(QStringLiteral("real.ini")), path(QStringLiteral("link.ini"))));
    TIniFile ini(path(QStringLiteral("link.ini")));
    ini.WriteString("S", "k", "2");
    ini.UpdateFile();
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("link.ini"))).isSymLink());
    EXPECT_EQ(TIniFile(path(QStringLiteral("real.ini"))).ReadString("S", "k", ""), "2");
    struct stat st{};
    ASSERT_EQ(::stat(QFile::encodeName(path(QStringLiteral("real.ini"))).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Lines are decoded one by one: a Windows-1251 line among UTF-8 lines spoils nothing else.
TEST_F(IniFileTest, EachLineIsUtf8OrWindows1251OnItsOwn)
{
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    const QString utf8Name = QStringLiteral("Пётр Ёжиков");
    const QString cp1251Subject = QStringLiteral("Отчёт за квартал");
    writeBytes(path(), "[EditName]\n0=" + utf8Name.toUtf8() + "\n[EditSubject]\n0="
                           + cp1251->fromUnicode(cp1251Subject) + "\n1=" + QByteArray("caf\xC3\xA9")
                           + "\n[SMTP]\nName=" + utf8Name.toUtf8() + "\n");
    {
        TIniFile ini(path());
        EXPECT_TRUE(ini.WasWindows1251());
        EXPECT_EQ(ini.ReadString("EditName", "0", ""), utf8Name);
        EXPECT_EQ(ini.ReadString("EditSubject", "0", ""), cp1251Subject);
        EXPECT_EQ(ini.ReadString("EditSubject", "1", ""), QStringLiteral("café"));
        EXPECT_EQ(ini.ReadString("SMTP", "Name", ""), utf8Name);
        ini.WriteString("SMTP", "Port", "25");
        ini.UpdateFile();
    }
    // Written back as UTF-8, every value as it was.
    const QByteArray text = readBytes(path());
    EXPECT_TRUE(text.contains(cp1251Subject.toUtf8()));
    EXPECT_TRUE(text.contains(utf8Name.toUtf8()));
    TIniFile ini(path());
    EXPECT_FALSE(ini.WasWindows1251());
    EXPECT_EQ(ini.ReadString("EditSubject", "0", ""), cp1251Subject);
    EXPECT_EQ(ini.ReadString("EditName", "0", ""), utf8Name);
}

// The program checks the file's own mode (so the rule holds for the superuser as well): a file
// without any write permission is the user's "do not touch".
TEST_F(IniFileTest, AReadOnlyFileIsNotReplaced)
{
    const QByteArray old = "[S]\nk=old\n";
    writeBytes(path(), old);
    ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0444), 0);
    TIniFile ini(path());
    ini.WriteString("S", "k", "new");
    try {
        ini.UpdateFile();
        FAIL() << "a read-only file was replaced";
    } catch (const EIniFileError &e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + path() + ": Permission denied");
    }
    EXPECT_EQ(readBytes(path()), old);
    EXPECT_EQ(QFileInfo(path()).permissions() & QFileDevice::WriteOwner, 0);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"t.ini"});
}

TEST_F(IniFileTest, StaleTemporaryFilesAreRemovedByTheNextWrite)
{
    writeBytes(path(), "[S]\nk=1\n");
    // What writers killed halfway leave behind: a process that is gone, and a name that is
    // only alike (kept: it is not one of ours).
    writeBytes(path(QStringLiteral("t.ini.tmp999999999-0")), "[S]\nk=");
    writeBytes(path(QStringLiteral("t.ini.tmp%1-3").arg(::getpid())), "[S]\n");
    writeBytes(path(QStringLiteral("t.ini.tmp-notes")), "mine");
    TIniFile ini(path());
    ini.WriteString("S", "k", "2");
    ini.UpdateFile();
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    left.sort();
    EXPECT_EQ(left, (QStringList{"t.ini", "t.ini.tmp-notes"}));
    EXPECT_EQ(TIniFile(path()).ReadString("S", "k", ""), "2");
}

// A FIFO would block the read for ever and a device never ends: neither is read or written.
TEST_F(IniFileTest, OnlyRegularFilesAreReadAndNothingBlocks)
{
    const QString fifo = path(QStringLiteral("fifo.cfg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &p : {fifo, QStringLiteral("/dev/zero"), dir.path()}) {
        SCOPED_TRACE(p.toStdString());
        auto reading = std::async(std::launch::async, [&] {
            TIniFile ini(p);
            return std::make_pair(ini.ReadError(), ini.ReadString("S", "k", "def"));
        });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "reading blocked";
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
            ::close(fd);
        }
        const auto [error, value] = reading.get();
        EXPECT_EQ(error, "\"" + p + "\" is not a regular file.");
        EXPECT_EQ(value, "def");
    }
    TIniFile ini(fifo);
    ini.WriteString("S", "k", "v");
    EXPECT_THROW(ini.UpdateFile(), EIniFileError);
    EXPECT_FALSE(QFileInfo(fifo).isFile()) << "the FIFO was replaced";
}

} // namespace
