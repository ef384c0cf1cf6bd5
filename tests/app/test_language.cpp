// The string table and the language switch's non-window half.
#include "Application.h"
#include "ComDialogs.h"
#include "FindSettingsDialog.h"
#include "Language.h"
#include "SecurityDialog.h"
#include "SendLogic.h"
#include "Settings.h"
#include "window_test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <functional>

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

TEST_F(LanguageTest, TheCharsetNoteNamesBothCharsetsAMessageCanGoOutIn)
{
    // The sender page's note (12, 1012) against what the send job writes.
    for (const bool russian : {true, false}) {
        const QString note = LoadStr(russian ? 12 : 1012);
        SCOPED_TRACE(note.toStdString());
        for (const bool utf8 : {false, true})
            EXPECT_TRUE(note.contains(QString::fromStdString(SendLogic::WireCharSet(russian, utf8)),
                                      Qt::CaseInsensitive));
        EXPECT_FALSE(note.contains(russian ? "ISO-8859-1" : "KOI8-R"));
    }
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

namespace {

// A text of the string table as the code asks for it, in Russian (true) or English.
struct ShownText {
    const char *name;
    std::function<QString(bool russian)> text;
    QString russian;
    QString english;
};

}   // namespace

TEST_F(LanguageTest, TextsOfTheWindowsAndDialogsReadTheSameInBothLanguages)
{
    // A sample from every area: a wrong id, a swapped half or a lost line break shows here.
    const ShownText cases[] = {
        {"NoToAll", [](bool r) { return TextIn(r, TextId::ButtonNoToAll); }, "\"Нет\" для всех", "N&o to All"},
        {"Confirm", [](bool r) { return TextIn(r, TextId::TitleConfirm); }, "Запрос", "Confirm"},
        {"BadInteger", [](bool r) { return TextIn(r, TextId::BadIntegerFormat, "12a"); },
         "Плохой формат целого числа - \"12a\"", "Bad integer format - \"12a\""},
        {"HelpMissing", [](bool r) { return TextIn(r, TextId::HelpFileNotFound, "SendorixE.html", "/a/\n/b/"); },
         "Файл справки \"SendorixE.html\" не найден. Программа искала его в папках:\n/a/\n/b/",
         "The help file \"SendorixE.html\" was not found. Sendorix looked for it in:\n/a/\n/b/"},
        {"Lowest", [](bool r) { return TextIn(r, TextId::PriorityLowest); }, "Самый низкий", "Lowest"},
        {"NotRegular", [](bool r) { return TextIn(r, TextId::NotRegularFile, "/dev/null"); },
         "\"/dev/null\" не является обычным файлом и не добавлен.",
         "\"/dev/null\" is not a regular file and was not added."},
        {"SecurityOk", [](bool r) { return TextIn(r, TextId::SecurityOk); }, "ОК", "OK"},
        {"ExitCode", [](bool r) { return TextIn(r, TextId::PasswordCommandFailed, 3); },
         "Команда пароля завершилась с ошибкой (код 3).", "The password command failed (exit code 3)."},
        {"Prompt", [](bool r) { return TextIn(r, TextId::PasswordPrompt, "anna", "smtp.example.org"); },
         "Пароль пользователя anna на сервере smtp.example.org:", "Password of anna on smtp.example.org:"},
        {"Certificate",
         [](bool r) { return TextIn(r, TextId::TrustCertificate, "mx", "why", "CN=a", "CN=b", "AB:CD"); },
         "Сертификат сервера mx не прошёл проверку: why.\n\nВладелец: CN=a\nИздатель: CN=b\nSHA-256: AB:CD\n\n"
         "Доверять именно этому сертификату для этого сервера?",
         "The certificate of the server mx did not verify: why.\n\nSubject: CN=a\nIssuer: CN=b\nSHA-256: AB:CD\n\n"
         "Trust exactly this certificate for this server?"},
        {"AddressLabel", [](bool r) { return TextIn(r, TextId::AddressLabel); }, "Адрес:", "Address:"},
        {"AddReceiver", [](bool r) { return TextIn(r, TextId::AddReceiverHint); }, "Добавить как получателя сообщений",
         "Add as messages receiver"},
        {"PortTooLong", [](bool r) { return TextIn(r, TextId::FoundPortTooLong, 70000); },
         "Порт 70000 не помещается в поле «Порт» (не больше четырёх цифр).",
         "The port 70000 does not fit the Port field (four digits at most)."},
        {"Progress", [](bool r) { return TextIn(r, TextId::LookupProgress, "example.org", 2, 5); },
         "Поиск для example.org: ответили 2 из 5 источников…", "Looking up example.org: 2 of 5 sources answered…"},
        {"OAuth2", [](bool r) { return TextIn(r, TextId::OAuth2SignIn, "anna@example.org"); },
         "anna@example.org (вход по токену OAuth2)", "anna@example.org (OAuth2 token sign-in)"},
        {"DnsError", [](bool r) { return TextIn(r, TextId::DnsError, "_submission._tcp.x", "timeout"); },
         "_submission._tcp.x: ошибка DNS (timeout)", "_submission._tcp.x: timeout"},
        {"TooLarge", [](bool r) { return TextIn(r, TextId::ConfigFileTooLarge, "https://x/?a=b%40c", 64); },
         "https://x/?a=b%40c: файл больше 64 КБ", "https://x/?a=b%40c: the file is larger than 64 KB"},
        {"MxSource", [](bool r) { return TProviderLookup::SourceName(lsMx, r); }, "записи DNS MX домена",
         "the domain's DNS MX records"},
        {"NoEncryption", [](bool r) { return SecurityText(fsNone, r); }, "нет (без шифрования)",
         "none (no encryption)"},
        {"SystemBook", [](bool r) { return AddressBookQuestion(r); },
         "Теперь Вы можете использовать для хранения адресов электронной почты адресную книгу, встроенную в "
         "систему. Разрешить использование системной адресной книги?",
         "Now you can use the system's internal address book for storing your email addresses. Can you use the "
         "system address book?"},
    };
    for (const ShownText &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text(true), c.russian);
        EXPECT_EQ(c.text(false), c.english);
    }
    // Text follows the interface language.
    EXPECT_EQ(Text(TextId::CloseButton), "Close");
    StringBase = RussianBase;
    EXPECT_EQ(Text(TextId::CloseButton), QStringLiteral("Закрыть"));
}

TEST_F(LanguageTest, EveryMessageBoxButtonAndTitleHasACaptionOfItsOwn)
{
    for (const bool russian : {true, false}) {
        SCOPED_TRACE(russian);
        StringBase = russian ? RussianBase : EnglishBase;
        QStringList captions;
        for (int k = 0; k < MsgDlgButtonCount; ++k)
            captions << TextIn(russian, MsgDlgButtonInfo(static_cast<TMsgDlgBtn>(k)).Caption);
        for (const TMsgDlgType type : {mtWarning, mtError, mtInformation, mtConfirmation})
            captions << MsgDlgTitle(type);
        EXPECT_FALSE(captions.contains(QString()));
        EXPECT_EQ(QSet<QString>(captions.begin(), captions.end()).size(), captions.size())
            << captions.join('|').toStdString();
    }
    EXPECT_EQ(MsgDlgTitle(mtWarning), "Warning");
    EXPECT_EQ(TextIn(true, MsgDlgButtonInfo(mbYesToAll).Caption), QStringLiteral("\"Да\" для всех"));
}

namespace {

class WindowTextsTest : public WindowTestBase
{
protected:
    // The label of a row of the dialog's form.
    static QString RowLabel(QWidget *field)
    {
        auto *form = field->parentWidget()->findChild<QFormLayout *>();
        auto *label = form != nullptr ? qobject_cast<QLabel *>(form->labelForField(field)) : nullptr;
        return label != nullptr ? label->text() : QString();
    }
};

}   // namespace

TEST_F(WindowTextsTest, SecurityDialogAndItsButtonSpeakTheInterfaceLanguage)
{
    form = Start();
    struct Expected {
        int language;
        QString button, timeout, title, security, user, authentication, remember, ok, cancel, automatic, keyring;
    };
    const Expected cases[] = {
        // One name for the button and the dialog; the password's line says no more than is known.
        {1, "Безопасность...", "Ожидание ответа сервера, с:", "Безопасность", "Защита:", "Имя пользователя:",
         "Аутентификация:", "запомнить", "ОК", "Отмена", "Автоматически",
         "ещё не сохранён: будет спрошен при отправке и сохранён, когда сервер его примет"},
        {0, "Security...", "Server reply timeout, s:", "Security",
         "Security:", "User name:", "Authentication:", "remember", "OK", "Cancel", "Automatic",
         "not stored yet: asked at the next Send and stored once the server accepts it"},
    };
    for (const Expected &e : cases) {
        SCOPED_TRACE(e.language);
        PickLanguage(e.language);
        EXPECT_EQ(form->btnSecurity->text(), e.button);
        EXPECT_EQ(form->lblServerTimeout->text(), e.timeout);
        TSecureSettings remembered;
        remembered.RememberPassword = true;
        TSecurityDialog dialog(form.get(), remembered, "25");
        EXPECT_EQ(dialog.windowTitle(), e.title);
        EXPECT_EQ(RowLabel(dialog.comboSecurity), e.security);
        EXPECT_EQ(RowLabel(dialog.edUser), e.user);
        EXPECT_EQ(RowLabel(dialog.comboAuthentication), e.authentication);
        EXPECT_EQ(dialog.cbRemember->text(), e.remember);
        EXPECT_EQ(dialog.comboAuthentication->itemText(0), e.automatic);
        EXPECT_TRUE(dialog.edPassword->placeholderText().isEmpty());
        EXPECT_EQ(dialog.lblPasswordState->text(), e.keyring);
        auto *buttons = dialog.findChild<QDialogButtonBox *>();
        ASSERT_NE(buttons, nullptr);
        EXPECT_EQ(buttons->button(QDialogButtonBox::Ok)->text(), e.ok);
        EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), e.cancel);
    }
}
