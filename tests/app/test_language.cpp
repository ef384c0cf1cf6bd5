// The string table and the language switch's non-window half.
#include "ComDialogs.h"
#include "Language.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

// Restores English and the hook whatever a test did.
class LanguageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        StringBase = EnglishBase;
        InstallLanguageHook();
        ComDialogsTest::Reset();
    }
    void TearDown() override
    {
        StringBase = EnglishBase;
        ComDialogsTest::Reset();
    }
};

QStringList placeholders(const QString &text)
{
    QStringList found;
    static const QRegularExpression re(QStringLiteral("%[-0]*[0-9]*(?:\\.[0-9]+)?[a-zA-Z%]"));
    auto it = re.globalMatch(text);
    while (it.hasNext())
        found << it.next().captured();
    return found;
}

}  // namespace

TEST_F(LanguageTest, EveryMessageExistsInBothHalvesExceptFiftyNine)
{
    for (int n = 1; n <= 83; ++n) {
        SCOPED_TRACE(n);
        if (n == 59) {
            EXPECT_TRUE(LoadStr(59).isEmpty());
            EXPECT_TRUE(LoadStr(1059).isEmpty());
            continue;
        }
        EXPECT_FALSE(LoadStr(n).isEmpty());
        EXPECT_FALSE(LoadStr(n + 1000).isEmpty());
    }
    // Nothing else hides in the table.
    EXPECT_EQ(StringTableIds().size(), 2 * 82);
}

TEST_F(LanguageTest, FormatPlaceholdersMatchBetweenTheHalves)
{
    for (int n = 1; n <= 83; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(placeholders(LoadStr(n)), placeholders(LoadStr(n + 1000)));
    }
    EXPECT_EQ(placeholders(LoadStr(38)), QStringList({"%s", "%d"}));
}
