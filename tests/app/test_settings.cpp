// The settings file, the server profiles and the input histories, without a window.
#include "IniFile.h"
#include "ini_test_support.h"
#include "Profiles.h"
#include "Settings.h"
#include "Global.h"

#include <functional>
#include <sys/stat.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <gtest/gtest.h>

namespace {

// ---- Who may read what the program writes ----

int Mode(const QString &path)
{
    struct stat st{};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Every writer makes a new file owner-only, whatever the umask, and leaves the mode of a file
// the user already has alone.
TEST(PrivateFiles, NewFilesAreOwnerOnlyAndExistingOnesKeepTheirMode)
{
    QTemporaryDir dir;
    const mode_t oldMask = ::umask(0);   // the most generous umask there is
    const std::pair<const char *, std::function<void(const QString &)>> writers[] = {
        {"Sendorix.cfg", [](const QString &p) { WriteSettings(p, TProgramSettings(), 1, 3); }},
        {"office.smt", [](const QString &p) { SaveSMTPProfile(p, TSMTPProfile()); }},
        {"Sendorix.adr", [](const QString &p) { TIniFile ini(p); ini.WriteString("Adr", "0", "x"); ini.UpdateFile(); }},
        {"protocol.log", [](const QString &p) { SaveMemoLines(p, {"line"}); }},
        {"approved.cfg", [](const QString &p) { ApprovePasswordCommand(p, "pass show mail"); }},
    };
    for (const auto &[name, write] : writers) {
        SCOPED_TRACE(name);
        const QString path = dir.filePath(name);
        write(path);
        EXPECT_EQ(Mode(path), 0600);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
        write(path);
        EXPECT_EQ(Mode(path), 0640) << "the user's own choice of mode stays";
    }
    ::umask(oldMask);
}

// ---- Password commands ----

TEST(PasswordCommands, ApprovedByExactTextAndKeptWithoutTheCommandItself)
{
    QTemporaryDir dir;
    const QString path = SettingsFilePath(dir.path());
    const QString command = QStringLiteral("pass show mail/ivan");
    EXPECT_FALSE(PasswordCommandApproved(path, command));
    WriteSettings(path, TProgramSettings(), 1, 3);
    ApprovePasswordCommand(path, command);
    EXPECT_TRUE(PasswordCommandApproved(path, command));
    for (const char *other : {"pass show mail/ivan ", "pass show mail/ivan; id", "PASS show mail/ivan", ""})
        EXPECT_FALSE(PasswordCommandApproved(path, other)) << other;
    // The settings around it are kept, and the command is stored only as a digest.
    WriteSettings(path, TProgramSettings(), 1, 3);
    EXPECT_TRUE(PasswordCommandApproved(path, command));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains("pass show"));
}

// ---- Server profiles ----

TEST(SMTPProfile, RoundTripKeepsEveryFieldAndTrimsThePort)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("office.smt"));
    TSMTPProfile p;
    p.Server = QStringLiteral("smtp.пример.рф");
    p.Port = QStringLiteral("  25");
    p.Account = QStringLiteral("ivan@example.ru");
    p.Name = QStringLiteral("Иван Петров");
    p.Encoding = 1;
    p.ReplyTo = QStringLiteral("\"Отдел\" <otdel@example.ru>");
    p.Security = 1;
    p.User = QStringLiteral("ivan@example.ru");
    p.Authentication = 3;
    p.PasswordCommand = QStringLiteral("oauth2-helper --account ivan");
    p.RememberPassword = true;
    p.TrustedCertificate = QStringLiteral("AB:CD");
    SaveSMTPProfile(path, p);

    const QByteArray text = readBytes(path);
    EXPECT_EQ(text, QStringLiteral("[SMTP]\nServer=smtp.пример.рф\nPort=25\nAccount=ivan@example.ru\n"
                                   "Name=Иван Петров\nEncoding=1\nReply-To=\"Отдел\" <otdel@example.ru>\n"
                                   "Security=1\nUser=ivan@example.ru\nAuthentication=3\n"
                                   "PasswordCommand=oauth2-helper --account ivan\nRememberPassword=1\n"
                                   "TrustedCertificate=AB:CD\n")
                        .toUtf8());

    const TSMTPProfile back = LoadSMTPProfile(path);
    EXPECT_EQ(back.Port, "25");
    EXPECT_EQ(back.Port.toInt(), 25);
    p.Port = QStringLiteral("25");
    EXPECT_EQ(back, p);
    EXPECT_EQ(PortFieldText(back.Port), "  25");
}

TEST(SMTPProfile, MissingFileOrKeysGiveTheDefaults)
{
    QTemporaryDir dir;
    const TSMTPProfile missing = LoadSMTPProfile(dir.filePath(QStringLiteral("gone.smt")));
    EXPECT_EQ(missing, TSMTPProfile());
    EXPECT_EQ(missing.Port, "25");
    EXPECT_EQ(missing.Encoding, 0);
    EXPECT_TRUE(missing.Server.isEmpty() && missing.Account.isEmpty() && missing.Name.isEmpty() &&
                missing.ReplyTo.isEmpty());

    const QString path = dir.filePath(QStringLiteral("partial.smt"));
    writeBytes(path, "[smtp]\nserver = mail.example.org \n");
    const TSMTPProfile partial = LoadSMTPProfile(path);
    EXPECT_EQ(partial.Server, "mail.example.org");
    EXPECT_EQ(partial.Port, "25");
    EXPECT_EQ(partial.Encoding, 0);
    // A profile from before secure delivery is plain SMTP without a login.
    EXPECT_EQ(partial.Security, 0);
    EXPECT_TRUE(partial.User.isEmpty() && partial.PasswordCommand.isEmpty() && partial.TrustedCertificate.isEmpty());
}

TEST(SMTPProfile, EncodingOtherThanZeroOrOneLeavesNoSelection)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("e.smt"));
    for (const auto &[value, expected] : std::vector<std::pair<QByteArray, int>>{
             {"0", 0}, {"1", 1}, {"2", -1}, {"-1", -1}, {"7", -1}, {"x", 0}}) {
        writeBytes(path, "[SMTP]\nEncoding=" + value + "\n");
        EXPECT_EQ(LoadSMTPProfile(path).Encoding, expected) << value.constData();
    }
    TSMTPProfile none;
    none.Encoding = -1;
    SaveSMTPProfile(path, none);
    EXPECT_TRUE(readBytes(path).contains("Encoding=-1\n"));
    EXPECT_EQ(LoadSMTPProfile(path).Encoding, -1);
}

TEST(SMTPProfile, SavingKeepsOtherContentAndAWindowsProfileLoadsItsCyrillic)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.smt"));
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    writeBytes(path, "[SMTP]\r\nServer=mail.ru\r\nPort=  26\r\nName=" +
                         cp1251->fromUnicode(QStringLiteral("Пётр Сидоров")) +
                         "\r\nEncoding=1\r\n[Notes]\r\nwho=" + cp1251->fromUnicode(QStringLiteral("я")) +
                         "\r\n");
    TSMTPProfile p = LoadSMTPProfile(path);
    EXPECT_EQ(p.Name, QStringLiteral("Пётр Сидоров"));
    EXPECT_EQ(p.Port, "26");
    EXPECT_EQ(p.Encoding, 1);

    p.Server = QStringLiteral("smtp.mail.ru");
    SaveSMTPProfile(path, p);
    EXPECT_EQ(LoadSMTPProfile(path), p);
    EXPECT_EQ(TIniFile(path).ReadString("Notes", "who", ""), QStringLiteral("я"));
}

TEST(SMTPProfile, UnwritableProfileRaisesAndKeepsTheOldFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.smt"));
    writeBytes(path, "[SMTP]\nServer=old\n");
    TIniFile::SetWriteHookForTests([](qint64) { return false; });
    TSMTPProfile p;
    p.Server = QStringLiteral("new");
    try {
        SaveSMTPProfile(path, p);
        ADD_FAILURE() << "no error";
    } catch (const EIniFileError &e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + path + ": No space left on device");
    }
    TIniFile::SetWriteHookForTests({});
    EXPECT_EQ(readBytes(path), "[SMTP]\nServer=old\n");
}

TEST(SMTPProfile, NewsProfilesCarryNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("n.nnt"));
    SaveNNTPProfile(path);
    LoadNNTPProfile(path);
    EXPECT_FALSE(QFile::exists(path));
}

TEST(SMTPProfile, TypedNamesGetTheDialogExtension)
{
    EXPECT_EQ(WithDefaultExtension("/home/u/office", SMTPProfileExtension), "/home/u/office.smt");
    EXPECT_EQ(WithDefaultExtension("/home/u/office", "*.nnt"), "/home/u/office.nnt");
    EXPECT_EQ(WithDefaultExtension("/home/u/job", "*.log"), "/home/u/job.log");
    EXPECT_EQ(WithDefaultExtension("/home/u/office.smt", ".smt"), "/home/u/office.smt");
    EXPECT_EQ(WithDefaultExtension("/home/u/office.ini", ".smt"), "/home/u/office.ini");
    EXPECT_EQ(WithDefaultExtension("/home/my.dir/office", ".smt"), "/home/my.dir/office.smt");
    EXPECT_EQ(WithDefaultExtension("", ".smt"), "");
}

// ---- Program settings ----

TEST(ProgramSettings, SettingsFileLivesInTheProgramFolder)
{
    EXPECT_EQ(SettingsFilePath("/opt/sendorix/bin"), "/opt/sendorix/bin/Sendorix.cfg");
    EXPECT_EQ(SettingsFilePath("/opt/sendorix/bin/"), "/opt/sendorix/bin/Sendorix.cfg");
}

TEST(ProgramSettings, MissingFileGivesTheFirstStartState)
{
    QTemporaryDir dir;
    const TProgramSettings s = ReadSettings(SettingsFilePath(dir.path()));
    EXPECT_EQ(s.Language, 0);               // English
    EXPECT_TRUE(s.MailMode);
    EXPECT_TRUE(s.SMTPConfigFile.isEmpty());
    EXPECT_TRUE(s.NNTPConfigFile.isEmpty());
    for (const QStringList &h : s.Histories)
        EXPECT_TRUE(h.isEmpty());
    EXPECT_TRUE(s.FileDialogDir.isEmpty() && s.LoadConfigDialogDir.isEmpty() &&
                s.SaveConfigDialogDir.isEmpty() && s.SaveLogDialogDir.isEmpty());
    EXPECT_TRUE(s.JumpToProtocol);
    EXPECT_FALSE(s.UseMAPIAddresBook);
    EXPECT_EQ(s.MajorVersion, 1);
    EXPECT_EQ(s.MinorVersion, 1);
    EXPECT_TRUE(NeedsAddressBookQuestion(s));

    QStringList tempHistory = s.Histories[hbTempDir];
    EXPECT_EQ(StartupTempDir(tempHistory, "/tmp"), "/tmp");
    EXPECT_EQ(tempHistory, QStringList{"/tmp"});
}

TEST(ProgramSettings, EveryKeyRoundTripsAndTheQuestionIsNotAskedAgain)
{
    QTemporaryDir dir;
    const QString path = SettingsFilePath(dir.path());
    TProgramSettings s;
    s.Language = 1;
    s.MailMode = false;
    s.SMTPConfigFile = QStringLiteral("/home/u/Профили/office.smt");
    s.NNTPConfigFile = QStringLiteral("/home/u/news.nnt");
    for (int b = 0; b < hbCount; ++b)
        s.Histories[b] = QStringList{QStringLiteral("newest %1").arg(b), QStringLiteral("Старый %1").arg(b)};
    s.FileDialogDir = QStringLiteral("/home/u/Фото");
    s.LoadConfigDialogDir = QStringLiteral("/a");
    s.SaveConfigDialogDir = QStringLiteral("/b");
    s.SaveLogDialogDir = QStringLiteral("/c");
    s.JumpToProtocol = false;
    s.UseMAPIAddresBook = true;
    s.ServerTimeout = 17;
    s.UseZip = true;
    s.MessageSizeKb = 20480;
    WriteSettings(path, s, 1, 3);

    TProgramSettings back = ReadSettings(path);
    EXPECT_EQ(back.MajorVersion, 1);
    EXPECT_EQ(back.MinorVersion, 3);
    EXPECT_FALSE(NeedsAddressBookQuestion(back));
    back.MajorVersion = s.MajorVersion;
    back.MinorVersion = s.MinorVersion;
    EXPECT_EQ(back, s);

    // The file itself, key by key, as other versions of the program read it.
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadSections(),
              QStringList({"Version", "Settings", "EditTo", "EditCC", "EditBCC", "EditSubject",
                           "EditHost", "EditName", "EditReplyTo", "EditTempDir"}));
    EXPECT_EQ(ini.ReadSection("Version"), QStringList({"MajorVersion", "MinorVersion"}));
    EXPECT_EQ(ini.ReadSection("Settings"),
              QStringList({"Language", "SenderMode", "SMTPServerConfig", "NNTPServerConfig",
                           "FileDialogDir", "LoadConfigDialogDir", "SaveConfigDialogDir",
                           "SaveLogDialogDir", "cbJumpToProtocol", "ReconnectAttempts", "ServerTimeout",
                           "cbUseMAPIAddresBook", "cbUseZip", "MessageSizeKb"}));
    // A size outside the spin's bounds is brought into them.
    ini.WriteInteger("Settings", "MessageSizeKb", 999999);
    ini.UpdateFile();
    EXPECT_EQ(ReadSettings(path).MessageSizeKb, MaxMessageSizeKb);
    EXPECT_EQ(ini.ReadString("Settings", "SenderMode", ""), "1");
    EXPECT_EQ(ini.ReadString("Settings", "cbJumpToProtocol", ""), "0");
    EXPECT_EQ(ini.ReadString("Settings", "cbUseMAPIAddresBook", ""), "1");
    EXPECT_EQ(ini.ReadString("EditHost", "1", ""), QStringLiteral("Старый 4"));

    // Back to mail mode and the other option values.
    s.MailMode = true;
    s.Language = -1;
    s.JumpToProtocol = true;
    s.UseMAPIAddresBook = false;
    WriteSettings(path, s, 1, 3);
    back = ReadSettings(path);
    EXPECT_TRUE(back.MailMode);
    EXPECT_EQ(back.Language, -1);
    EXPECT_TRUE(back.JumpToProtocol);
    EXPECT_FALSE(back.UseMAPIAddresBook);
}

TEST(ProgramSettings, ReadingFollowsTheStoredValuesAndKeepsUnknownKeys)
{
    QTemporaryDir dir;
    const QString path = SettingsFilePath(dir.path());
    writeBytes(path, "[version]\nmajorversion=1\nminorversion=2\n[SETTINGS]\nSenderMode=5\n"
                     "Language=abc\ncbJumpToProtocol=0\nFutureOption=yes\n[Plugins]\nx=1\n");
    TProgramSettings s = ReadSettings(path);
    EXPECT_FALSE(s.MailMode);       // anything but 0 is news
    EXPECT_EQ(s.Language, 0);       // not a number: the default
    EXPECT_FALSE(s.JumpToProtocol);
    EXPECT_TRUE(NeedsAddressBookQuestion(s)); // written by 1.2

    WriteSettings(path, s, 1, 3);
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Settings", "FutureOption", ""), "yes");
    EXPECT_EQ(ini.ReadString("Plugins", "x", ""), "1");
    EXPECT_EQ(ini.ReadInteger("Version", "MinorVersion", 0), 3);
}

TEST(ProgramSettings, TheRunningVersionIsTakenFromTheFileVersion)
{
    EXPECT_EQ(RunningVersion("1.3.0.1"), std::make_pair(1, 3));
    EXPECT_EQ(RunningVersion("1.03.0.1"), std::make_pair(1, 3));
    EXPECT_THROW(RunningVersion("x.3"), std::invalid_argument);
    EXPECT_THROW(RunningVersion("1"), std::invalid_argument);

    // This build's own version, as the window writes it at close.
    QTemporaryDir dir;
    const QString path = SettingsFilePath(dir.path());
    WriteSettings(path, TProgramSettings());
    const TProgramSettings back = ReadSettings(path);
    EXPECT_EQ(back.MajorVersion, 1);
    EXPECT_EQ(back.MinorVersion, 3);
}

TEST(ProgramSettings, AddressBookQuestionOnlyBefore13)
{
    TProgramSettings s;
    for (const auto &[major, minor, ask] : std::vector<std::tuple<int, int, bool>>{
             {1, 1, true}, {1, 2, true}, {1, 3, false}, {1, 4, false}, {2, 0, false}, {0, 9, false}}) {
        s.MajorVersion = major;
        s.MinorVersion = minor;
        EXPECT_EQ(NeedsAddressBookQuestion(s), ask) << major << "." << minor;
    }
    EXPECT_TRUE(AddressBookQuestion(true).startsWith(QStringLiteral("Теперь Вы можете")));
    EXPECT_TRUE(AddressBookQuestion(false).endsWith("Can you use the system address book?"));
}

TEST(ProgramSettings, TempFolderBoxShowsTheNewestEntry)
{
    QStringList history{"/var/tmp/mine", "/tmp"};
    EXPECT_EQ(StartupTempDir(history, "/tmp/sys"), "/var/tmp/mine");
    EXPECT_EQ(history, QStringList({"/var/tmp/mine", "/tmp"}));
}

TEST(ProgramSettings, UnwritableSettingsRaiseTheWriterError)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing/Sendorix.cfg"));
    try {
        WriteSettings(path, TProgramSettings(), 1, 3);
        ADD_FAILURE() << "no error";
    } catch (const EIniFileError &e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + path + ": No such file or directory");
    }
}

// ---- Input histories ----

TEST(History, AddTrimsAndReplacesWithoutRegardToCase)
{
    QStringList list{"b@example.org"};
    QString text = QStringLiteral("   Ivan@Example.org  ");
    EXPECT_TRUE(AddToHistory(list, text));
    EXPECT_EQ(text, "Ivan@Example.org"); // the box shows the trimmed text
    EXPECT_EQ(list, QStringList({"Ivan@Example.org", "b@example.org"}));

    text = QStringLiteral("ivan@example.ORG");
    EXPECT_TRUE(AddToHistory(list, text));
    EXPECT_EQ(list, QStringList({"ivan@example.ORG", "b@example.org"}));

    text = QStringLiteral("B@EXAMPLE.ORG");
    AddToHistory(list, text);
    EXPECT_EQ(list, QStringList({"B@EXAMPLE.ORG", "ivan@example.ORG"}));

    // Cyrillic letter case too.
    list = QStringList{QStringLiteral("Отчёт за МАЙ")};
    text = QStringLiteral("отчёт за май");
    AddToHistory(list, text);
    EXPECT_EQ(list, QStringList{QStringLiteral("отчёт за май")});

    text = QStringLiteral("   ");
    EXPECT_FALSE(AddToHistory(list, text));
    EXPECT_EQ(text, "   ");
    EXPECT_EQ(list.size(), 1);
}

TEST(History, TwentyOneTextsLeaveTwentyNewestFirst)
{
    QStringList list;
    for (int i = 1; i <= 21; ++i) {
        QString text = QStringLiteral("text %1").arg(i);
        AddToHistory(list, text);
    }
    ASSERT_EQ(list.size(), HistoryLimit);
    EXPECT_EQ(list.first(), "text 21");
    EXPECT_EQ(list.last(), "text 2");
    EXPECT_FALSE(list.contains("text 1"));

    // A longer list from a hand-edited file keeps its length; the entry at 20 goes.
    QStringList longList;
    for (int i = 0; i < 25; ++i)
        longList << QStringLiteral("e%1").arg(i);
    QString text = QStringLiteral("new");
    AddToHistory(longList, text);
    EXPECT_EQ(longList.size(), 25);
    EXPECT_EQ(longList.first(), "new");
    EXPECT_FALSE(longList.contains("e19"));
    EXPECT_TRUE(longList.contains("e20"));
}

TEST(History, LoadStopsAtAGapOrTheMarker)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("h.cfg"));
    writeBytes(path, "[EditTo]\n0=a@x\n1=b@x\n3=d@x\n"
                     "[EditCC]\n0=c@x\n1=\n2=this string is not in inifile\n3=lost\n"
                     "[EditBCC]\n0=This String Is Not In Inifile\n1=kept\n"
                     "[EditSubject]\n1=no zero\n");
    const TIniFile ini(path);
    QStringList list{"stale"};
    LoadHistory(ini, list, "EditTo");
    EXPECT_EQ(list, QStringList({"a@x", "b@x"}));
    LoadHistory(ini, list, "EditCC");
    EXPECT_EQ(list, QStringList({"c@x", ""})); // an empty value is an empty entry
    LoadHistory(ini, list, "EditBCC");          // the marker is case-sensitive
    EXPECT_EQ(list, QStringList({"This String Is Not In Inifile", "kept"}));
    LoadHistory(ini, list, "EditSubject");
    EXPECT_TRUE(list.isEmpty());
    LoadHistory(ini, list, "EditHost");
    EXPECT_TRUE(list.isEmpty());
}

TEST(History, SaveTrimsAndLeavesNoStaleKeysBehindAGap)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("h.cfg"));
    writeBytes(path, "[EditTo]\n0=a@x\n1=b@x\n3=old d@x\nnote=mine\n");
    {
        TIniFile ini(path);
        QStringList list;
        LoadHistory(ini, list, "EditTo");
        QString text = QStringLiteral("  c@x ");
        AddToHistory(list, text);
        SaveHistory(ini, QStringList{list.at(0), " padded ", list.at(2)}, "EditTo");
        ini.UpdateFile();
    }
    TIniFile ini(path);
    QStringList list;
    LoadHistory(ini, list, "EditTo");
    // "old d@x" behind the gap must not come back now that key 2 exists.
    EXPECT_EQ(list, QStringList({"c@x", "padded", "b@x"}));
    EXPECT_EQ(ini.ReadString("EditTo", "note", ""), "mine");
}

TEST(History, AllEightBoxesRoundTripThroughTheSettingsFile)
{
    QTemporaryDir dir;
    const QString path = SettingsFilePath(dir.path());
    TProgramSettings s;
    for (int b = 0; b < hbCount; ++b)
        for (int i = 0; i < 21; ++i) {
            QString text = QStringLiteral(" %1-%2 ").arg(HistorySection(THistoryBox(b))).arg(i);
            AddToHistory(s.Histories[b], text);
        }
    WriteSettings(path, s, 1, 3);
    const TProgramSettings back = ReadSettings(path);
    for (int b = 0; b < hbCount; ++b) {
        EXPECT_EQ(back.Histories[b], s.Histories[b]) << b;
        EXPECT_EQ(back.Histories[b].size(), 20);
    }
    EXPECT_EQ(back.Histories[hbTempDir].first(), "EditTempDir-20");

    // An entry far longer than the old platform's 1023-character reads survives whole.
    TProgramSettings longOne;
    longOne.Histories[hbTo] = {QString(5000, QLatin1Char('a')) + QStringLiteral("@пример.рф")};
    WriteSettings(path, longOne, 1, 3);
    WriteSettings(path, ReadSettings(path), 1, 3);   // a close without changes writes it back
    EXPECT_EQ(ReadSettings(path).Histories[hbTo], longOne.Histories[hbTo]);
}

// ---- The "Try it" script writes files the program reads as meant ----

TEST(TryConfig, ScriptFilesLoadThroughTheProgramsReaders)
{
    QTemporaryDir dir;
    const QString profile = dir.filePath(QStringLiteral("Try-local.smt"));
    QProcess proc;
    proc.start(QStringLiteral(TEST_PYTHON),
               {QStringLiteral(TEST_SOURCE_DIR "/../scripts/try_server.py"),
                QStringLiteral("write-config"), QStringLiteral("--program-dir"), dir.path(),
                QStringLiteral("--profile"), profile, QStringLiteral("--port"),
                QStringLiteral("2526"), QStringLiteral("--version"), QStringLiteral(SENDORIX_FILE_VERSION)});
    ASSERT_TRUE(proc.waitForFinished(30000));
    ASSERT_EQ(proc.exitCode(), 0) << proc.readAllStandardError().constData();

    const TProgramSettings s = ReadSettings(SettingsFilePath(dir.path()));
    EXPECT_FALSE(NeedsAddressBookQuestion(s)); // the newcomer is not asked on the first start
    EXPECT_EQ(s.Language, 0);
    EXPECT_TRUE(s.MailMode);
    EXPECT_EQ(s.SMTPConfigFile, profile);
    EXPECT_EQ(s.Histories[hbHost], QStringList{"127.0.0.1"});
    EXPECT_FALSE(s.Histories[hbTo].isEmpty());
    EXPECT_TRUE(s.JumpToProtocol);

    const TSMTPProfile p = LoadSMTPProfile(s.SMTPConfigFile);
    EXPECT_EQ(p.Server, "127.0.0.1");
    EXPECT_EQ(p.Port, "2526");
    EXPECT_EQ(PortFieldText(p.Port), "2526");
    EXPECT_EQ(p.Encoding, 0);
    EXPECT_FALSE(p.Account.isEmpty());
}

} // namespace
