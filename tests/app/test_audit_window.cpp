// Window behaviour checked against what the user is promised: the files-per-message field
// and the title of the program's own boxes.
#include "ComDialogs.h"
#include "Language.h"
#include "MainForm.h"
#include "window_test_support.h"

#include <QApplication>
#include <QLineEdit>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <memory>

namespace {

class AuditWindowTest : public WindowTestBase {
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        previousDisplayName = QGuiApplication::applicationDisplayName();
        form = Start();
        ComDialogsTest::TakeLog();   // the start-up question, if it came
    }
    void TearDown() override
    {
        WindowTestBase::TearDown();
        QGuiApplication::setApplicationDisplayName(previousDisplayName);
    }

    QString previousDisplayName;
};

TEST_F(AuditWindowTest, FilesPerMessageLeftBelowItsRangeTakesTheNearestBound)
{
    QSpinBox *spin = form->spinFilesInMessage;
    auto *edit = spin->findChild<QLineEdit *>();
    ASSERT_NE(edit, nullptr);
    spin->setValue(5);
    // What leaving the field does with a typed text: "0" is below the range, so 1, not the 5
    // it held before.
    edit->setText(QStringLiteral("0"));
    spin->interpretText();
    EXPECT_EQ(spin->value(), 1);
    EXPECT_EQ(spin->text(), "1");

    spin->setValue(7);
    edit->setText(QString());
    spin->interpretText();
    EXPECT_EQ(spin->value(), 1);   // an empty field counts as 1, as the send job reads it

    // A value within the range is kept as typed; the upper bound holds.
    edit->setText(QStringLiteral("12"));
    spin->interpretText();
    EXPECT_EQ(spin->value(), 12);
    spin->setValue(5000);
    EXPECT_EQ(spin->value(), 1000);
}

TEST_F(AuditWindowTest, TitlelessAndErrorBoxesCarryTheApplicationTitle)
{
    // The toolkit's own name for the program is not the title the user sees in the task bar.
    QGuiApplication::setApplicationDisplayName(QStringLiteral("sendorix-binary"));
    ASSERT_TRUE(ApplicationTitle.startsWith("Sendorix "));

    EXPECT_EQ(ComCreateMessageDialog("t", mtCustom, {mbOK})->windowTitle(), ApplicationTitle);
    EXPECT_EQ(MsgDlgTitle(mtCustom), ApplicationTitle);
    // Typed boxes keep the title of their type.
    EXPECT_EQ(ComCreateMessageDialog("t", mtError, {mbOK})->windowTitle(), "Error");

    ComDialogsTest::QueueAnswer(mrOk);
    ComMessageDlg("custom", mtCustom, {mbOK}, 0);
    ComDialogsTest::QueueAnswer(mrOk);
    ShowApplicationError(form.get(), QStringLiteral("Cannot open file /nowhere"));
    const auto log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[0].Title, ApplicationTitle);
    EXPECT_TRUE(log[1].ApplicationError);
    EXPECT_EQ(log[1].Title, ApplicationTitle);

    // Once the window has gone, the boxes fall back to the toolkit's name.
    form.reset();
    EXPECT_EQ(MsgDlgTitle(mtCustom), "sendorix-binary");
}

}  // namespace
