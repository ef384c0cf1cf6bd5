// The send job's rules that need no window.
#include "Global.h"
#include "SendLogic.h"

#include <gtest/gtest.h>

using namespace SendLogic;

TEST(SendLogicTest, MessageCountRoundsUpAndTheArchivingOptionSendsOneFileEach)
{
    EXPECT_EQ(MessageCount(7, 3, false), 3);
    EXPECT_EQ(MessageCount(6, 3, false), 2);
    EXPECT_EQ(MessageCount(5, 2, false), 3);
    EXPECT_EQ(MessageCount(3, 10, false), 1);
    EXPECT_EQ(MessageCount(5, 5, true), 5);
    EXPECT_EQ(MessageCount(1, 1, false), 1);
    EXPECT_EQ(MessageCount(0, 3, false), 0);
    EXPECT_EQ(GroupSize(true, 5), 1);
    EXPECT_EQ(GroupSize(false, 5), 5);
    EXPECT_EQ(GroupSize(false, 0), 1);      // never a group of nothing
    EXPECT_EQ(GroupSize(false, 5000), 1000);
}

TEST(SendLogicTest, FilesPerMessageIsBroughtIntoItsBounds)
{
    EXPECT_EQ(ClampFilesPerMessage(QString("3")), 3);
    EXPECT_EQ(ClampFilesPerMessage(QString(" 12 ")), 12);
    EXPECT_EQ(ClampFilesPerMessage(QString("0")), 1);
    EXPECT_EQ(ClampFilesPerMessage(QString("-4")), 1);
    EXPECT_EQ(ClampFilesPerMessage(QString("1001")), 1000);
    EXPECT_EQ(ClampFilesPerMessage(QString("99999999999999")), 1000);
    EXPECT_EQ(ClampFilesPerMessage(QString("")), 1);
    EXPECT_EQ(ClampFilesPerMessage(QString("abc")), 1);
    EXPECT_EQ(ClampFilesPerMessage(QString("2x")), 1);
}

TEST(SendLogicTest, SubjectsCarryNumberTotalAndNames)
{
    EXPECT_EQ(NumberedSubject("Photos", true, 2, 5), "Photos 2(5)");
    EXPECT_EQ(NumberedSubject("Photos", false, 2, 5), "Photos");
    EXPECT_EQ(NumberedSubject("", true, 1, 1), " 1(1)");
    EXPECT_EQ(FullSubject("Photos 2(5)", true, {"d.jpg", "e.jpg", "f.jpg"}),
              "Photos 2(5) <d.jpg, e.jpg, f.jpg>");
    EXPECT_EQ(FullSubject("S 3(3)", true, {"g"}), "S 3(3) <g>");
    EXPECT_EQ(FullSubject("S", false, {"g"}), "S");
}

TEST(SendLogicTest, EveryNameIsListedHoweverLongTheSubject)
{
    QStringList names;
    for (int i = 0; i < 100; ++i)
        names << QString("file number %1 with a name of some length.dat").arg(i);
    const QString s = FullSubject("Photos 1(9)", true, names);
    EXPECT_TRUE(s.startsWith("Photos 1(9) <file number 0 with a name of some length.dat, file number 1 "));
    EXPECT_TRUE(s.endsWith(", file number 99 with a name of some length.dat>"));
    EXPECT_EQ(s.count(", "), 99);
}

TEST(SendLogicTest, NamePartAndBlankTrimming)
{
    EXPECT_EQ(NamePart("/home/u/Фото/a b.jpg"), "a b.jpg");
    EXPECT_EQ(NamePart("plain"), "plain");
    EXPECT_EQ(NamePart("/dir/"), "");
    EXPECT_EQ(TrimBlanks(" \t\r\n x y \x01"), "x y");
    EXPECT_EQ(TrimBlanks("\u00a0 "), "");
    EXPECT_EQ(TrimBlanks(""), "");
}

TEST(SendLogicTest, WireTextIsKoi8InRussianModeAndLatin1Otherwise)
{
    // "Ая" in KOI8-R is E1 D1; ASCII is kept; English mode is ISO-8859-1.
    EXPECT_EQ(WireText("Ая <a, b>", true), std::string("\xE1\xD1 <a, b>"));
    EXPECT_EQ(WireText("ё", true), std::string("\xA3"));
    EXPECT_EQ(WireText("Café", false), std::string("Caf\xE9"));
    EXPECT_EQ(WireText("Ж", false), std::string("?"));
    EXPECT_EQ(WireCharSet(true), "koi8-r");
    EXPECT_EQ(WireCharSet(false), "iso-8859-1");
}

TEST(SendLogicTest, MemoTextLinesAndOverlongLines)
{
    EXPECT_TRUE(TextLines("").isEmpty());
    EXPECT_EQ(TextLines("a\nb"), QStringList({"a", "b"}));
    EXPECT_EQ(TextLines("a\n"), QStringList({"a"}));
    EXPECT_EQ(TextLines("a\n\nb\r\n"), QStringList({"a", "", "b"}));
    EXPECT_FALSE(HasOverlongLine({std::string(998, 'x'), "y"}));
    EXPECT_TRUE(HasOverlongLine({"y", std::string(999, 'x')}));
    EXPECT_FALSE(HasOverlongLine({}));
}

TEST(SendLogicTest, ProtocolDateLeavesOutTheTimeAtMidnight)
{
    const QDateTime midnight(QDate(2026, 12, 8), QTime(0, 0, 0));
    const QDateTime later(QDate(2026, 12, 8), QTime(0, 0, 1));
    const QString date = QLocale::system().toString(QDate(2026, 12, 8), QLocale::ShortFormat);
    EXPECT_EQ(ProtocolDateTime(midnight), date);
    EXPECT_TRUE(ProtocolDateTime(later).startsWith(date + " "));
    EXPECT_GT(ProtocolDateTime(later).size(), date.size() + 1);
}

TEST(SendLogicTest, DuplicatesAreFoundWithoutRegardToCase)
{
    EXPECT_EQ(WithoutDuplicates({"/a/X.txt", "/b/y", "/A/x.TXT", "/b/y", "/c"}),
              QStringList({"/a/X.txt", "/b/y", "/c"}));
    EXPECT_EQ(WithoutDuplicates({"/д/Файл", "/Д/ФАЙЛ"}), QStringList({"/д/Файл"}));
    EXPECT_TRUE(WithoutDuplicates({}).isEmpty());
}
