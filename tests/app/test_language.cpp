// The string table and the language switch's non-window half.
#include "Application.h"
#include "ComDialogs.h"
#include "Language.h"
#include "window_test_support.h"

#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

// Restores English and the hook whatever a test did.
class LanguageTest : public LanguageTestBase
{
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

TEST_F(LanguageTest, EveryMessageExistsInBothHalvesWithTheSamePlaceholders)
{
    for (int n = 1; n <= 83; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(LoadStr(n).isEmpty(), n == 59);
        EXPECT_EQ(LoadStr(n + 1000).isEmpty(), n == 59);
    }
    // The program's own texts from 200 on; every id has its other half, with the same
    // placeholders in the same order.
    int own = 0;
    for (const int id : StringTableIds()) {
        SCOPED_TRACE(id);
        const int n = id % 1000;
        EXPECT_TRUE(n <= 83 || n >= 200);
        EXPECT_LT(id, 2000);
        own += n >= 200;
        EXPECT_EQ(placeholders(LoadStr(n)), placeholders(LoadStr(n + 1000)));
        EXPECT_FALSE(LoadStr(n).isEmpty());
        EXPECT_FALSE(LoadStr(n + 1000).isEmpty());
    }
    EXPECT_GT(own, 0);
    EXPECT_EQ(placeholders(LoadStr(38)), QStringList({"%s", "%d"}));
    // A line break written as \n in the table is one in the text.
    EXPECT_TRUE(LoadStr(TextId::ContinueSeries).contains('\n'));
}

TEST_F(LanguageTest, StringBaseChoosesTheHalf)
{
    EXPECT_FALSE(IsRussian());
    EXPECT_EQ(LoadMessage(16), "Send");
    EXPECT_FALSE(HookSaysRussian());
    StringBase = RussianBase;
    EXPECT_TRUE(IsRussian());
    EXPECT_TRUE(HookSaysRussian());  // the hook follows the switch
    EXPECT_EQ(LoadMessage(16), QStringLiteral("Отправить"));
    EXPECT_TRUE(LoadMessage(59).isEmpty());
    EXPECT_TRUE(LoadStr(5000).isEmpty());
    EXPECT_TRUE(LoadStr(-1).isEmpty());
}

TEST_F(LanguageTest, LoadFormattedUsesFixedIdsOfEitherHalf)
{
    EXPECT_EQ(LoadFormatted(37, "421", "busy"), QStringLiteral("Ошибка 421: busy"));
    EXPECT_EQ(LoadFormatted(1037, "421", "busy"), "Error 421: busy");
    EXPECT_EQ(LoadFormatted(38 + StringBase, "a.zip", 1024), "Encoding file a.zip (1024 bytes)");
    EXPECT_EQ(LoadFormatted(30, 12), QStringLiteral("Всего файлов: 12"));
    EXPECT_EQ(LoadFormatted(1056, "smtp.example.com"), "Connecting to smtp.example.com...");
}

TEST_F(LanguageTest, TextsChosenInCodeFollowTheLanguage)
{
    EXPECT_EQ(PriorityNames(), QStringList({"Highest", "High", "Normal", "Low", "Lowest"}));
    EXPECT_EQ(AddFilesDialogTitle(), "Select files for posting");
    EXPECT_EQ(LanguageHelpFile(), "SendorixE.html");
    StringBase = RussianBase;
    EXPECT_EQ(PriorityNames(), QStringList({"Высший", "Высокий", "Обычный", "Низкий",
                                            "Самый низкий"}));
    EXPECT_EQ(AddFilesDialogTitle(), QStringLiteral("Выбор файлов для отправки"));
    EXPECT_EQ(LanguageHelpFile(), "SendorixR.html");
}

TEST_F(LanguageTest, ShowErrorAndAbortShowsFocusesAndEndsTheCommandSilently)
{
    StringBase = RussianBase;
    QWidget window;
    auto *first = new QLineEdit(&window);
    auto *port = new QLineEdit(&window);
    window.show();
    first->setFocus();

    bool cleanedUp = false;
    bool ranOn = false;
    struct Cleanup
    {
        bool &flag;
        ~Cleanup() { flag = true; }
    };
    ComDialogsTest::QueueAnswer(mrOk);
    const bool finished = RunGuarded(&window, [&] {
        Cleanup cleanup{cleanedUp};
        ShowErrorAndAbort(43, port);
        ranOn = true;
    });
    EXPECT_FALSE(finished);
    EXPECT_FALSE(ranOn);
    EXPECT_TRUE(cleanedUp);
    EXPECT_EQ(window.focusWidget(), port);

    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);  // the error box and nothing after it
    EXPECT_EQ(log[0].Text, LoadStr(43));
    EXPECT_EQ(log[0].Title, QStringLiteral("Ошибка"));
    EXPECT_EQ(log[0].DlgType, mtError);
    EXPECT_EQ(log[0].Buttons, TMsgDlgButtons({mbOK}));
    EXPECT_EQ(log[0].HelpContext, 0);
    EXPECT_FALSE(log[0].ApplicationError);
}

TEST_F(LanguageTest, RunGuardedShowsOtherExceptionsInTheApplicationErrorBox)
{
    ComDialogsTest::SetRefuseUnanswered(true);
    EXPECT_TRUE(RunGuarded(nullptr, [] {}));
    EXPECT_FALSE(RunGuarded(nullptr, [] { TextToInt("12a"); }));
    EXPECT_FALSE(RunGuarded(nullptr, [] { throw EInOutError(QStringLiteral("Нет файла")); }));
    EXPECT_FALSE(RunGuarded(nullptr, [] { throw std::runtime_error("socket closed"); }));
    EXPECT_FALSE(RunGuarded(nullptr, [] { throw 42; }));
    EXPECT_FALSE(RunGuarded(nullptr, [] { Abort(); }));
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 4);  // nothing for the normal end and the silent abort
    EXPECT_EQ(log[0].Text, "Bad integer format - \"12a\"");
    EXPECT_EQ(log[1].Text, QStringLiteral("Нет файла"));
    EXPECT_EQ(log[2].Text, "socket closed");
    EXPECT_EQ(log[3].Text, "Unknown error");
    for (const auto &entry : log)
        EXPECT_TRUE(entry.ApplicationError);
}

TEST_F(LanguageTest, AGuardedSlotReturnsToTheEventLoop)
{
    // A command run by the event loop aborts; the loop carries on with the next event.
    ComDialogsTest::QueueAnswer(mrOk);
    QEventLoop loop;
    bool afterAbort = false;
    bool nextEventRan = false;
    QTimer::singleShot(0, [&] {
        RunGuarded(nullptr, [&] {
            ShowErrorAndAbort(45, nullptr);
            afterAbort = true;
        });
    });
    QTimer::singleShot(0, [&] {
        nextEventRan = true;
        loop.quit();
    });
    loop.exec();
    EXPECT_FALSE(afterAbort);
    EXPECT_TRUE(nextEventRan);
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Text, "Files list is empty");
}

TEST_F(LanguageTest, TheApplicationSafetyNetReportsEscapedExceptions)
{
    ComDialogsTest::SetRefuseUnanswered(true);
    EXPECT_TRUE(NotifyGuarded([] { return true; }));
    EXPECT_FALSE(NotifyGuarded([] { return false; }));
    EXPECT_FALSE(NotifyGuarded([]() -> bool { Abort(); }));
    EXPECT_FALSE(NotifyGuarded([]() -> bool { throw EInOutError("Cannot read \"a.zip\""); }));
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    EXPECT_EQ(log[0].Text, "Cannot read \"a.zip\"");
}
