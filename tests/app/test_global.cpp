// The shared routines: integer texts, word splitting, the formatter, text files and the
// character-set conversions at the wire boundary.
#include "FileAccess.h"
#include "Desktop.h"
#include "Global.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <climits>
#include <iconv.h>
#include <optional>
#include <sys/stat.h>

namespace {

bool speakRussian() { return true; }
bool speakEnglish() { return false; }

// Sets LanguageHook for one test and puts the old one back.
class HookScope
{
public:
    explicit HookScope(TLanguageHook hook) : m_old(LanguageHook) { LanguageHook = hook; }
    ~HookScope() { LanguageHook = m_old; }

private:
    TLanguageHook m_old;
};

QString conversionMessage(const QString &text)
{
    try {
        TextToInt(text);
    } catch (const EConvertError &e) {
        return e.Message();
    }
    return QStringLiteral("<no error>");
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

// glibc's own converter, independent of the program's table.
std::optional<unsigned char> iconvCp1251ToKoi8(unsigned char byte)
{
    iconv_t cd = iconv_open("KOI8-R", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    char in[1] = {static_cast<char>(byte)};
    char out[8] = {};
    char *inp = in;
    char *outp = out;
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    const size_t rc = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || sizeof out - outLeft != 1)
        return std::nullopt;
    return static_cast<unsigned char>(out[0]);
}

}  // namespace

// ---- Texts and numbers --------------------------------------------------------------------

TEST(GlobalText, ShortenTextCutsOnlyLongerTexts)
{
    const QString forty(40, QLatin1Char('x'));
    const QString cut = ShortenText(forty, 32);
    EXPECT_EQ(cut.size(), 35);
    EXPECT_EQ(cut, QString(32, QLatin1Char('x')) + "...");
    const QString exact(32, QLatin1Char('y'));
    EXPECT_EQ(ShortenText(exact, 32), exact);
    EXPECT_EQ(ShortenText(QString(), 0), QString());
    // Cyrillic text counts characters, so no letter is split.
    EXPECT_EQ(ShortenText(QStringLiteral("Привет"), 3), QStringLiteral("При..."));
}

TEST(GlobalText, TextToIntAcceptsSignedDecimalsWithLeadingBlanks)
{
    EXPECT_EQ(TextToInt("42"), 42);
    EXPECT_EQ(TextToInt("   25"), 25);
    EXPECT_EQ(TextToInt("-7"), -7);
    EXPECT_EQ(TextToInt("+3"), 3);
    EXPECT_EQ(TextToInt("2147483647"), INT_MAX);
    EXPECT_EQ(TextToInt("-2147483648"), INT_MIN);
}

TEST(GlobalText, TextToIntErrorFollowsTheLanguage)
{
    {
        HookScope english(&speakEnglish);
        EXPECT_EQ(conversionMessage("12a"), QStringLiteral("Bad integer format - \"12a\""));
    }
    {
        HookScope russian(&speakRussian);
        EXPECT_EQ(conversionMessage("12a"),
                  QStringLiteral("Плохой формат целого числа - \"12a\""));
    }
    {
        HookScope none(nullptr);  // before start-up sets the hook: English
        EXPECT_EQ(conversionMessage("x"), QStringLiteral("Bad integer format - \"x\""));
    }
}

TEST(GlobalText, TextToIntRejectsEverythingElse)
{
    HookScope english(&speakEnglish);
    const QString longBad = QString(99, QLatin1Char('9')) + "z";
    EXPECT_EQ(conversionMessage(longBad),
              "Bad integer format - \"" + QString(32, QLatin1Char('9')) + "...\"");
    for (const char *bad : {"", " ", "-", "+", "12 ", "1 2", "0x10", "2147483648",
                            "-2147483649", "99999999999999999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(TextToInt(QString::fromLatin1(bad)), EConvertError);
    }
    // The exception is a std::exception whose what() carries the same text.
    try {
        TextToInt("abc");
        FAIL() << "no exception";
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "Bad integer format - \"abc\"");
    }
}

TEST(GlobalText, TwoDigitsIntTextAndPicks)
{
    EXPECT_EQ(TwoDigits(0), "00");
    EXPECT_EQ(TwoDigits(3), "03");
    EXPECT_EQ(TwoDigits(9), "09");
    EXPECT_EQ(TwoDigits(10), "10");
    EXPECT_EQ(TwoDigits(12), "12");
    EXPECT_EQ(TwoDigits(100), "100");
    EXPECT_EQ(IntText(-15), "-15");
    EXPECT_EQ(PickInt(true, 1, 2), 1);
    EXPECT_EQ(PickInt(false, 1, 2), 2);
    EXPECT_EQ(PickStr(false, "Да", "Yes"), "Yes");
    EXPECT_EQ(PickStr(true, "Да", "Yes"), QStringLiteral("Да"));
    EXPECT_EQ(PickStr(true, QByteArray("\xF0"), QByteArray("p")), QByteArray("\xF0"));
}

// ---- Word routines ------------------------------------------------------------------------

TEST(GlobalWords, CountsRunsBetweenDelimiters)
{
    EXPECT_EQ(CountWords("..a..b.", "."), 2);
    EXPECT_EQ(CountWords("", "."), 0);
    EXPECT_EQ(CountWords("....", "."), 0);
    EXPECT_EQ(CountWords("1.3.0.67", "."), 4);
    EXPECT_EQ(CountWords("a@b.c, d@e.f ,g", ", "), 3);
}

TEST(GlobalWords, GetWordPicksOneWord)
{
    EXPECT_EQ(GetWord(1, "..a..b.", "."), "a");
    EXPECT_EQ(GetWord(2, "..a..b.", "."), "b");
    EXPECT_TRUE(GetWord(3, "..a..b.", ".").isEmpty());
    EXPECT_EQ(GetWord(1, "1.3.0.67", "."), "1");
    EXPECT_EQ(GetWord(2, "1.3.0.67", "."), "3");
    EXPECT_EQ(GetWord(4, "1.3.0.67", "."), "67");
    EXPECT_TRUE(GetWord(5, "1.3.0.67", ".").isEmpty());
    EXPECT_TRUE(GetWord(1, "", ".").isEmpty());
}

TEST(GlobalWords, GetWordsKeepsDelimitersBetweenWords)
{
    EXPECT_EQ(GetWords(2, 2, "1.3.0.67", "."), "3.0");
    EXPECT_EQ(GetWords(1, 4, "1.3.0.67", "."), "1.3.0.67");
    // Fewer words than asked: up to the last word, trailing delimiters left out.
    EXPECT_EQ(GetWords(3, 10, "1.3.0.67..", "."), "0.67");
    EXPECT_EQ(GetWords(2, INT_MAX, "1.3.0.67", "."), "3.0.67");
    // Runs of delimiters between the words stay as they are.
    EXPECT_EQ(GetWords(1, 2, "..a..b.", "."), "a..b");
    // Word numbers of 0 or less shorten the stretch from the front, keeping its last word.
    EXPECT_EQ(GetWords(0, 2, "1.3.0.67", "."), "1");
    EXPECT_EQ(GetWords(-1, 4, "1.3.0.67", "."), "1.3");
    EXPECT_TRUE(GetWords(0, 1, "1.3.0.67", ".").isEmpty());
    EXPECT_TRUE(GetWords(1, 0, "1.3.0.67", ".").isEmpty());
    EXPECT_TRUE(GetWords(INT_MIN, INT_MAX, "1.3", ".").isEmpty());
}

// ---- Formatter ----------------------------------------------------------------------------

TEST(GlobalFormat, PrintfDirectives)
{
    EXPECT_EQ(Format("%s %d(%d)", "Files", 2, 7), "Files 2(7)");
    EXPECT_EQ(Format("[%2d]", 5), "[ 5]");
    EXPECT_EQ(Format("[%2d]", 123), "[123]");
    EXPECT_EQ(Format("[%-4s]", "ab"), "[ab  ]");
    EXPECT_EQ(Format("[%05d]", -42), "[-0042]");
    EXPECT_EQ(Format("[%.3d|%.3d|%.3d]", 7, -42, 1234), "[007|-042|1234]");
    EXPECT_EQ(Format("[%.2s]", "abcdef"), "[ab]");
    EXPECT_EQ(Format("%x/%X", 255, 255), "ff/FF");
    EXPECT_EQ(Format("100%%"), "100%");
    EXPECT_EQ(Format("%s", QStringLiteral("Ошибка")), QStringLiteral("Ошибка"));
    EXPECT_EQ(Format("%d", 5000000000LL), "5000000000");
}

TEST(GlobalFormat, ForgivesMismatchedArguments)
{
    // A missing argument gives empty text; an extra one is ignored; a text for %d is shown.
    EXPECT_EQ(Format("Error %s: %s", "421"), "Error 421: ");
    EXPECT_EQ(Format("Total: %d", 3, 4), "Total: 3");
    EXPECT_EQ(Format("%d files", "some"), "some files");
    // Unknown directives and a lone trailing % stay visible and take no argument.
    EXPECT_EQ(Format("%q %s", "a"), "%q a");
    EXPECT_EQ(Format("50%", 1), "50%");
}

// ---- Program, folders, version ------------------------------------------------------------

TEST(GlobalProgram, FoldersEndWithASlash)
{
    const QString program = ProgramFolder();
    EXPECT_TRUE(program.endsWith('/'));
    EXPECT_EQ(program, QCoreApplication::applicationDirPath() + '/');
    EXPECT_TRUE(QDir(program).exists());

    const QByteArray oldTmp = qgetenv("TMPDIR");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    qputenv("TMPDIR", dir.path().toLocal8Bit());
    const QString temp = TempFolder();
    if (oldTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", oldTmp);
    EXPECT_EQ(temp, dir.path() + '/');
}

TEST(GlobalProgram, VersionComesFromTheBuild)
{
    static const QRegularExpression version(QStringLiteral("^1\\.3\\.0\\.\\d+$"));
    EXPECT_TRUE(version.match(FileVersionText()).hasMatch()) << FileVersionText().toStdString();
}

TEST(GlobalProgram, DocumentUrlsForLinksAndFiles)
{
    EXPECT_EQ(DocumentUrl("http://example.com/news").toString(), "http://example.com/news");
    EXPECT_EQ(DocumentUrl("mailto:support@example.com").scheme(), "mailto");
    EXPECT_EQ(DocumentUrl("mailto:support@example.com").path(), "support@example.com");
    EXPECT_EQ(DocumentUrl("www.example.com").toString(), "http://www.example.com");
    const QUrl file = DocumentUrl("/tmp/Sendorix E.html");
    EXPECT_TRUE(file.isLocalFile());
    EXPECT_EQ(file.toLocalFile(), "/tmp/Sendorix E.html");
    EXPECT_FALSE(OpenDocument("   "));
}

// ---- Text files ---------------------------------------------------------------------------

TEST(GlobalFiles, SaveMemoLinesWritesCrLfLinesAndEmptiesOldFiles)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("protocol.log");
    SaveMemoLines(path, {"first", QStringLiteral("второй"), ""});
    EXPECT_EQ(readAll(path), QByteArray("first\r\n") + QStringLiteral("второй").toUtf8()
                                 + "\r\n\r\n");
    SaveMemoLines(path, {});
    EXPECT_EQ(readAll(path), QByteArray());
    EXPECT_TRUE(QFile::exists(path));
}

TEST(GlobalFiles, FailuresRaiseInOutErrors)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_THROW(SaveMemoLines(dir.filePath("no/such/folder/x.log"), {"a"}), EInOutError);
    EXPECT_THROW(SaveMemoLines(dir.path(), {"a"}), EInOutError);  // a folder, not a file
    EXPECT_THROW(ReadTextFile(dir.filePath("missing.txt")), EInOutError);

    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    EXPECT_THROW(WriteTextLine(readOnly, QByteArray("x")), EInOutError);

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    WriteTextLine(buffer, QByteArray("\xE0\x01"));
    EXPECT_EQ(buffer.data(), QByteArray("\xE0\x01\r\n"));
}

TEST(GlobalFiles, ReadsUtf8OrFallsBackToWindows1251)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const char *name, const QByteArray &bytes) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return dir.filePath(name);
    };
    EXPECT_EQ(ReadTextFile(write("utf8.txt", QStringLiteral("Привет\r\n").toUtf8())),
              QStringLiteral("Привет\r\n"));
    EXPECT_EQ(ReadTextFile(write("bom.txt", "\xEF\xBB\xBF" "abc")), "abc");
    EXPECT_EQ(ReadTextFile(write("cp1251.txt", "\xCF\xF0\xE8\xE2\xE5\xF2")),
              QStringLiteral("Привет"));
    // A multi-byte sequence cut short is not UTF-8 either.
    EXPECT_EQ(DecodeTextBytes("ab\xD0"), QStringLiteral("abР"));
    EXPECT_EQ(DecodeTextBytes(""), QString());
}

// A protocol save that fails (full disk, a protected file) keeps the old file whole and names
// the system's reason; a later save goes through and leaves no temporary file.
TEST(GlobalFiles, AFailedSaveKeepsTheOldFileAndSaysWhy)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("protocol.log");
    const QStringList lines(5000, QStringLiteral("Transfer... done."));
    SaveMemoLines(path, {"old"});
    struct Reset {
        ~Reset() { SetFileWriteHookForTests({}); }
    } reset;
    SetFileWriteHookForTests([](qint64 written) { return written < 20000; });
    try {
        SaveMemoLines(path, lines);
        FAIL() << "a failed save was reported as done";
    } catch (const EInOutError &e) {
        EXPECT_EQ(e.Message(), "Cannot write \"" + path + "\": No space left on device");
    }
    EXPECT_EQ(readAll(path), QByteArray("old\r\n"));
    SetFileWriteHookForTests({});

    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0444), 0);
    try {
        SaveMemoLines(path, lines);
        FAIL() << "a read-only file was replaced";
    } catch (const EInOutError &e) {
        EXPECT_EQ(e.Message(), "Cannot write \"" + path + "\": Permission denied");
    }
    EXPECT_EQ(readAll(path), QByteArray("old\r\n"));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);

    SaveMemoLines(path, lines);
    EXPECT_EQ(readAll(path).size(), 5000 * 19);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"protocol.log"});
}

TEST(GlobalFiles, TextIsDecodedLineByLine)
{
    const QByteArray mixed = QStringLiteral("Привет\r\n").toUtf8() + "\xCF\xF0\xE8\xE2\xE5\xF2\n" + "caf\xC3\xA9";
    EXPECT_EQ(DecodeTextBytes(mixed), QStringLiteral("Привет\r\nПривет\ncafé"));
    bool foreign = false;
    EXPECT_EQ(DecodeTextLines("a\nb", &foreign), "a\nb");
    EXPECT_FALSE(foreign);
    DecodeTextLines("a\n\xE0", &foreign);
    EXPECT_TRUE(foreign);
}

// ---- Character sets -----------------------------------------------------------------------

TEST(GlobalCharsets, Windows1251AndLatin1Conversions)
{
    EXPECT_EQ(ToWin1251(QStringLiteral("Привет, Ёж!")),
              QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2, \xA8\xE6!"));
    EXPECT_EQ(ToWin1251(QStringLiteral("a€b")), QByteArray("a\x88" "b"));
    EXPECT_EQ(ToWin1251(QStringLiteral("中")), QByteArray("?"));
    EXPECT_EQ(ToLatin1(QStringLiteral("café")), QByteArray("caf\xE9"));
    EXPECT_EQ(ToLatin1(QStringLiteral("Ж")), QByteArray("?"));
    // Every defined Windows-1251 byte survives the trip through QString.
    for (int b = 0; b < 256; ++b) {
        if (b == 0x98)  // the one unassigned byte of the code page
            continue;
        const QByteArray one(1, static_cast<char>(b));
        EXPECT_EQ(ToWin1251(FromWin1251(one)), one) << "byte " << b;
    }
    EXPECT_EQ(FromStdBytes(ToStdBytes(QByteArray("\0\xFF", 2))), QByteArray("\0\xFF", 2));
}

TEST(GlobalCharsets, Koi8RecoderExamples)
{
    EXPECT_EQ(RecodeToKoi8(QByteArray("Plain ASCII text 123 ~\x7F")),
              QByteArray("Plain ASCII text 123 ~\x7F"));
    EXPECT_EQ(RecodeToKoi8(ToWin1251(QStringLiteral("Привет"))),
              QByteArray("\xF0\xD2\xC9\xD7\xC5\xD4"));
    EXPECT_EQ(RecodeToKoi8(QByteArray("\xA7")), QByteArray("\x15"));
    EXPECT_EQ(RecodeToKoi8(QByteArray("\xB6\x95")), QByteArray("\x14\x95"));
    EXPECT_EQ(RecodeToKoi8(std::string("\xE0\x00\xFF", 3)), std::string("\xC1\x00\xD1", 3));
    // Recoding twice garbles the text: it is not its own inverse.
    const QByteArray once = RecodeToKoi8(ToWin1251(QStringLiteral("Привет")));
    EXPECT_NE(RecodeToKoi8(once), once);
}

TEST(GlobalCharsets, Koi8TableAgreesWithIconvExceptTheThreeFixedSigns)
{
    // Bullet, section sign and pilcrow have no KOI8-R place: the recoder gives them fixed
    // bytes (0x95 kept, 0x15, 0x14) where a general converter would refuse them.
    const std::map<int, unsigned char> fixed = {{0x95, 0x95}, {0xA7, 0x15}, {0xB6, 0x14}};
    const unsigned char *table = Koi8RecodeTable();
    int nonZero = 0;
    int fromIconv = 0;
    for (int b = 0x80; b <= 0xFF; ++b) {
        SCOPED_TRACE(b);
        const unsigned char entry = table[b - 0x80];
        nonZero += entry != 0;
        const QByteArray recoded = RecodeToKoi8(QByteArray(1, static_cast<char>(b)));
        ASSERT_EQ(recoded.size(), 1);
        const auto out = static_cast<unsigned char>(recoded[0]);
        if (auto f = fixed.find(b); f != fixed.end()) {
            EXPECT_EQ(out, f->second);
            EXPECT_FALSE(iconvCp1251ToKoi8(static_cast<unsigned char>(b)).has_value());
            continue;
        }
        if (auto expected = iconvCp1251ToKoi8(static_cast<unsigned char>(b))) {
            ++fromIconv;
            EXPECT_EQ(out, *expected);
            EXPECT_NE(entry, 0);
        } else {
            EXPECT_EQ(out, b);  // KOI8-R lacks it: the byte passes unchanged
            EXPECT_EQ(entry, 0);
        }
    }
    EXPECT_EQ(fromIconv, 70);  // 64 letters, Ё, ё, no-break space, ©, degree, middle dot
    EXPECT_EQ(nonZero, 73);
    // Bytes below 0x80 never change.
    QByteArray ascii;
    for (int b = 0; b < 0x80; ++b)
        ascii += static_cast<char>(b);
    EXPECT_EQ(RecodeToKoi8(ascii), ascii);
}
