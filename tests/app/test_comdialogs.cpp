// The program's own message box, shown for real on the offscreen platform and answered with
// real key presses and clicks, plus the answer hook that window tests use.
#include "AppHelp.h"
#include "ComDialogs.h"
#include "Global.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

namespace {

bool speakRussian() { return true; }
bool speakEnglish() { return false; }

class ComDialogsTestCase : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_oldHook = LanguageHook;
        LanguageHook = &speakEnglish;
        ComDialogsTest::Reset();
    }
    void TearDown() override
    {
        LanguageHook = m_oldHook;
        ComDialogsTest::Reset();
        SetHelpHandler({});
    }

    // Opens a box through `open` while a zero-delay timer finds the modal box and lets `act`
    // answer it. A watchdog ends a box nobody answered, so a fault cannot hang the suite.
    int answerWith(const std::function<void(TMessageForm *)> &act, const std::function<int()> &open)
    {
        m_seen = nullptr;
        QTimer::singleShot(0, [&] {
            m_seen = qobject_cast<TMessageForm *>(QApplication::activeModalWidget());
            if (m_seen != nullptr)
                act(m_seen);
        });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *f = qobject_cast<TMessageForm *>(w); f != nullptr && f->isVisible())
                    f->done(-99);
        });
        watchdog.start(10000);
        const int result = open();
        EXPECT_NE(m_seen, nullptr) << "the box was not the active modal widget";
        EXPECT_NE(result, -99) << "nobody answered the box";
        return result;
    }

    static void press(TMessageForm *form, int key)
    {
        QWidget *target = form->focusWidget() != nullptr ? form->focusWidget() : form;
        QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(target, &down);
        QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier);
        QApplication::sendEvent(target, &up);
    }

    static int yesNo()
    {
        return ComMessageDlg("Delete 3 files?", mtConfirmation, {mbYes, mbNo}, 0);
    }

    TMessageForm *m_seen = nullptr;
    TLanguageHook m_oldHook = nullptr;
};

QStringList captions(const TMessageForm &form)
{
    QStringList list;
    QList<QPushButton *> buttons = form.findChildren<QPushButton *>();
    std::sort(buttons.begin(), buttons.end(),
              [](QPushButton *a, QPushButton *b) { return a->x() < b->x(); });
    for (QPushButton *b : buttons)
        list << b->text();
    return list;
}

}  // namespace

// ---- Building ------------------------------------------------------------------------------

TEST_F(ComDialogsTestCase, ButtonSetsAreBitsInTableOrder)
{
    EXPECT_EQ(TMsgDlgButtons({mbOK}).Bits(), 4u);
    EXPECT_EQ(TMsgDlgButtons({mbYes, mbNo}).Bits(), 3u);
    EXPECT_EQ(TMsgDlgButtons({mbOK, mbCancel}).Bits(), 12u);
    EXPECT_EQ(TMsgDlgButtons({mbOK, mbHelp}).Bits(), 1028u);
    EXPECT_EQ(TMsgDlgButtons::FromBits(0xFFFFFFFF).Count(), 11);
}

TEST_F(ComDialogsTestCase, RussianYesNoConfirmation)
{
    LanguageHook = &speakRussian;
    auto form = ComCreateMessageDialog("Удалить?", mtConfirmation, {mbYes, mbNo});
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Запрос"));
    EXPECT_EQ(captions(*form), QStringList({QStringLiteral("Да"), QStringLiteral("Нет")}));
    ASSERT_NE(form->Button(mbYes), nullptr);
    ASSERT_NE(form->Button(mbNo), nullptr);
    EXPECT_EQ(form->DefaultButton(), form->Button(mbYes));
    EXPECT_TRUE(form->Button(mbYes)->isDefault());
    EXPECT_EQ(form->CancelButton(), form->Button(mbNo));
    auto *image = form->findChild<QLabel *>("Image");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), QSize(32, 32));
    EXPECT_FALSE(image->pixmap().isNull());
    ASSERT_NE(form->findChild<QLabel *>("Message"), nullptr);
    EXPECT_EQ(form->findChild<QLabel *>("Message")->text(), QStringLiteral("Удалить?"));
}

TEST_F(ComDialogsTestCase, EnglishYesNoConfirmation)
{
    auto form = ComCreateMessageDialog("Delete?", mtConfirmation, {mbYes, mbNo});
    EXPECT_EQ(form->windowTitle(), "Confirm");
    EXPECT_EQ(captions(*form), QStringList({"&Yes", "&No"}));
}

TEST_F(ComDialogsTestCase, AllElevenButtonsInOrderWithNamesAndCaptions)
{
    const TMsgDlgButtons all = TMsgDlgButtons::FromBits(0x7FF);
    const QStringList english = {"&Yes",   "&No",   "OK",         "Cancel",      "&Abort", "&Retry",
                                 "&Ignore", "&All", "N&o to All", "Y&es to All", "&Help"};
    const QStringList russian = {
        "Да",  "Нет", "OK", "Отмена", "Прервать", "Повторить", "Игнорировать", "Все",
        "\"Нет\" для всех", "\"Да\" для всех", "Помощь"};
    const char *names[] = {"Yes",    "No",  "OK",      "Cancel",   "Abort", "Retry",
                           "Ignore", "All", "NoToAll", "YesToAll", "Help"};
    const int results[] = {6, 7, 1, 2, 3, 4, 5, 8, 9, 10, 0};

    auto en = ComCreateMessageDialog("x", mtCustom, all);
    EXPECT_EQ(captions(*en), english);
    LanguageHook = &speakRussian;
    auto ru = ComCreateMessageDialog("x", mtCustom, all);
    EXPECT_EQ(captions(*ru), russian);
    for (int k = 0; k < 11; ++k) {
        SCOPED_TRACE(names[k]);
        QPushButton *b = ru->Button(static_cast<TMsgDlgBtn>(k));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->objectName(), names[k]);
        EXPECT_EQ(b->property("modalResult").toInt(), results[k]);
        EXPECT_EQ(MsgDlgButtonInfo(static_cast<TMsgDlgBtn>(k)).ModalResult, results[k]);
    }
    // No button overlaps the next, and every caption fits its button.
    QList<QPushButton *> buttons = ru->findChildren<QPushButton *>();
    std::sort(buttons.begin(), buttons.end(),
              [](QPushButton *a, QPushButton *b) { return a->x() < b->x(); });
    for (int i = 0; i < buttons.size(); ++i) {
        EXPECT_GE(buttons[i]->width(), buttons[i]->sizeHint().width());
        if (i > 0) {
            EXPECT_GT(buttons[i]->x(), buttons[i - 1]->geometry().right());
        }
        EXPECT_LE(buttons[i]->geometry().right(), ru->width());
    }
}

TEST_F(ComDialogsTestCase, TitlesAndIconsByType)
{
    QGuiApplication::setApplicationDisplayName("Sendorix test");
    const TMsgDlgType types[] = {mtWarning, mtError, mtInformation, mtConfirmation};
    const QStringList en = {"Warning", "Error", "Information", "Confirm"};
    const QStringList ru = {"Внимание", "Ошибка", "Информация", "Запрос"};
    for (int i = 0; i < 4; ++i) {
        LanguageHook = &speakEnglish;
        EXPECT_EQ(ComCreateMessageDialog("t", types[i], {mbOK})->windowTitle(), en[i]);
        LanguageHook = &speakRussian;
        auto form = ComCreateMessageDialog("t", types[i], {mbOK});
        EXPECT_EQ(form->windowTitle(), ru[i]);
        EXPECT_NE(form->findChild<QLabel *>("Image"), nullptr);
    }
    auto custom = ComCreateMessageDialog("t", mtCustom, {mbOK});
    EXPECT_EQ(custom->windowTitle(), "Sendorix test");
    EXPECT_EQ(custom->findChild<QLabel *>("Image"), nullptr);
}

TEST_F(ComDialogsTestCase, DefaultAndCancelButtonChoice)
{
    auto ok = ComCreateMessageDialog("e", mtError, {mbOK});
    EXPECT_EQ(ok->DefaultButton(), ok->Button(mbOK));
    EXPECT_EQ(ok->CancelButton(), ok->Button(mbOK));
    auto okCancel = ComCreateMessageDialog("e", mtConfirmation, {mbOK, mbCancel});
    EXPECT_EQ(okCancel->DefaultButton(), okCancel->Button(mbOK));
    EXPECT_EQ(okCancel->CancelButton(), okCancel->Button(mbCancel));
    auto retry = ComCreateMessageDialog("e", mtWarning, {mbAbort, mbRetry, mbIgnore});
    EXPECT_EQ(retry->DefaultButton(), retry->Button(mbRetry));
    EXPECT_EQ(retry->CancelButton(), nullptr);
}

TEST_F(ComDialogsTestCase, LayoutKeepsIconBlockAndWrapsLongTexts)
{
    auto form = ComCreateMessageDialog("Hi", mtInformation, {mbOK});
    auto *image = form->findChild<QLabel *>("Image");
    auto *text = form->findChild<QLabel *>("Message");
    QPushButton *ok = form->Button(mbOK);
    ASSERT_TRUE(image && text && ok);
    // The block is at least as high as the icon, and the buttons sit below it.
    EXPECT_GT(ok->y(), image->geometry().bottom());
    EXPECT_GE(text->x(), image->geometry().right());
    EXPECT_LE(ok->geometry().bottom(), form->height());

    const int halfScreen = QGuiApplication::primaryScreen()->availableGeometry().width() / 2;
    QString longText;
    for (int i = 0; i < 60; ++i)
        longText += "several words of text ";
    auto wide = ComCreateMessageDialog(longText, mtWarning, {mbOK});
    auto *wrapped = wide->findChild<QLabel *>("Message");
    ASSERT_NE(wrapped, nullptr);
    EXPECT_LE(wrapped->width(), halfScreen);
    EXPECT_GT(wrapped->height(), 3 * wrapped->fontMetrics().height());
    EXPECT_GE(wrapped->height(), wrapped->heightForWidth(wrapped->width()));
    EXPECT_LE(wrapped->geometry().right(), wide->width());
    EXPECT_LT(wrapped->geometry().bottom(), wide->Button(mbOK)->y());
}

// ---- Answering for real --------------------------------------------------------------------

TEST_F(ComDialogsTestCase, EnterGivesYesAndEscGivesNo)
{
    LanguageHook = &speakRussian;
    EXPECT_EQ(answerWith([](TMessageForm *f) { press(f, Qt::Key_Return); }, yesNo), mrYes);
    EXPECT_EQ(answerWith([](TMessageForm *f) { press(f, Qt::Key_Escape); }, yesNo), mrNo);
    EXPECT_EQ(answerWith([](TMessageForm *f) { f->Button(mbNo)->click(); }, yesNo), mrNo);
    // Boxes that were really shown are in the log too, with their results.
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 3);
    EXPECT_EQ(log[0].Title, QStringLiteral("Запрос"));
    EXPECT_EQ(log[0].Result, mrYes);
    EXPECT_EQ(log[1].Result, mrNo);
    EXPECT_FALSE(log[0].Unanswered);
}

TEST_F(ComDialogsTestCase, OkBoxEscapeAndCloseBox)
{
    auto okBox = [] { return ComMessageDlg("Files list is empty", mtError, {mbOK}, 0); };
    EXPECT_EQ(answerWith([](TMessageForm *f) { press(f, Qt::Key_Escape); }, okBox), mrOk);
    EXPECT_EQ(answerWith([](TMessageForm *f) { press(f, Qt::Key_Enter); }, okBox), mrOk);
    EXPECT_EQ(answerWith([](TMessageForm *f) { f->close(); }, yesNo), mrCancel);
    auto abortBox = [] { return ComMessageDlg("?", mtWarning, {mbAbort, mbRetry}, 0); };
    EXPECT_EQ(answerWith([](TMessageForm *f) { press(f, Qt::Key_Return); }, abortBox), mrRetry);
    // No cancel button: Esc closes the box like the close box.
    EXPECT_EQ(answerWith([](TMessageForm *f) { press(f, Qt::Key_Escape); }, abortBox), mrCancel);
}

TEST_F(ComDialogsTestCase, HelpOpensContextAndLeavesTheBoxOpen)
{
    QList<std::pair<QString, int>> calls;
    SetHelpHandler([&](const QString &file, int context) {
        calls.append({file, context});
        return true;
    });
    SetApplicationHelpFile("/opt/SendorixE.html");
    bool stillOpen = false;
    const int result = answerWith(
        [&](TMessageForm *f) {
            f->Button(mbHelp)->click();
            stillOpen = f->isVisible();
            f->Button(mbOK)->click();
        },
        [] { return ComMessageDlg("hint", mtInformation, {mbOK, mbHelp}, 8); });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(result, mrOk);
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0].first, "/opt/SendorixE.html");
    EXPECT_EQ(calls[0].second, 8);

    // A box given its own help file uses that one.
    answerWith([](TMessageForm *f) { f->Button(mbHelp)->click(); f->Button(mbOK)->click(); },
               [] {
                   return ComMessageDlgPosHelp("h", mtInformation, {mbOK, mbHelp}, 3, -1, -1,
                                               "/x/other.html");
               });
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls[1], std::make_pair(QString("/x/other.html"), 3));
    SetApplicationHelpFile(QString());
}

TEST_F(ComDialogsTestCase, MissingManualIsReportedOnceAndANamelessOneIsNot)
{
    ComDialogsTest::SetRefuseUnanswered(true);
    EXPECT_FALSE(ShowHelpContext(8, "/no/such/SendorixE.html"));
    const QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].Text, "The help file \"SendorixE.html\" was not found. Sendorix looked for it in:\n/no/such/");
    SetApplicationHelpFile(QString());
    EXPECT_FALSE(ShowHelpContext(8));
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
}

TEST_F(ComDialogsTestCase, PositionOverridesTheCentre)
{
    QPoint seen;
    answerWith(
        [&](TMessageForm *f) {
            seen = f->pos();
            f->Button(mbOK)->click();
        },
        [] { return ComMessageDlgPosHelp("p", mtWarning, {mbOK}, 0, 40, 30, QString()); });
    EXPECT_EQ(seen, QPoint(40, 30));
}

// ---- The answer hook -----------------------------------------------------------------------

TEST_F(ComDialogsTestCase, QueuedAnswersAreTakenInOrderWithoutShowing)
{
    LanguageHook = &speakRussian;
    ComDialogsTest::QueueAnswer(mrYes);
    ComDialogsTest::QueueAnswer(mrNo);
    EXPECT_EQ(ComDialogsTest::PendingAnswers(), 2);
    EXPECT_EQ(ComMessageDlg("first", mtConfirmation, {mbYes, mbNo}, 0), mrYes);
    EXPECT_EQ(ComMessageDlg("second", mtWarning, {mbYes, mbNo}, 5), mrNo);
    EXPECT_EQ(ComDialogsTest::PendingAnswers(), 0);
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[0].Text, "first");
    EXPECT_EQ(log[0].Title, QStringLiteral("Запрос"));
    EXPECT_EQ(log[0].DlgType, mtConfirmation);
    EXPECT_EQ(log[0].Buttons, TMsgDlgButtons({mbYes, mbNo}));
    EXPECT_EQ(log[1].HelpContext, 5);
    EXPECT_EQ(log[1].Result, mrNo);
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
}

TEST_F(ComDialogsTestCase, RefusedUnansweredBoxesAreRecordedNotShown)
{
    ComDialogsTest::SetRefuseUnanswered(true);
    EXPECT_EQ(ComMessageDlg("nobody answers", mtConfirmation, {mbYes, mbNo}, 0), mrCancel);
    ShowApplicationError(nullptr, "disk full");
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].Unanswered);
    EXPECT_TRUE(log[1].ApplicationError);
    EXPECT_EQ(log[1].Text, "disk full");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(ComDialogsTestCase, ApplicationErrorBoxIsAStockErrorBox)
{
    QGuiApplication::setApplicationDisplayName("Sendorix");
    QString title, text;
    QTimer::singleShot(0, [&] {
        if (QWidget *w = QApplication::activeModalWidget()) {
            title = w->windowTitle();
            if (auto *label = w->findChild<QLabel *>("qt_msgbox_label"))
                text = label->text();
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(w, &esc);
        }
    });
    ShowApplicationError(nullptr, QStringLiteral("Ошибка чтения файла"));
    EXPECT_EQ(title, "Sendorix");
    EXPECT_EQ(text, QStringLiteral("Ошибка чтения файла"));
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    EXPECT_EQ(log[0].Result, mrOk);
}

TEST_F(ComDialogsTestCase, ClickInNextShownBoxPressesARealButton)
{
    ComDialogsTest::ClickInNextShownBox(mbNo);
    EXPECT_EQ(yesNo(), mrNo);
    // The box may open only after the command has pumped some events.
    ComDialogsTest::ClickInNextShownBox(mbCancel);
    QEventLoop pump;
    QTimer::singleShot(30, &pump, &QEventLoop::quit);
    pump.exec();
    EXPECT_EQ(ComMessageDlg("Are you sure?", mtConfirmation, {mbOK, mbCancel}, 0), mrCancel);
    // Asking for a button the box lacks closes it instead of hanging.
    ComDialogsTest::ClickInNextShownBox(mbRetry);
    EXPECT_EQ(yesNo(), mrCancel);
    EXPECT_EQ(ComDialogsTest::TakeLog().size(), 3);
}
