// Server profiles through the real window: the profile buttons and their dialogs, the start-up
// load, the question about unsaved sender settings on load and on close.
#include "test_mainsettings_support.h"

#include "IniFile.h"
#include "Profiles.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTextCodec>
#include <QToolButton>

namespace {

class WindowProfilesTest : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        // Not a first start: no address book question.
        WriteText(SettingsPath(), "[Version]\nMajorVersion=1\nMinorVersion=3\n");
    }
    void Fill(TMainForm &f)
    {
        f.edSMTPName->setEditText("почта.пример.рф");
        f.edPort->setText("  25");
        f.edAccount->setText("ivan@пример.рф");
        f.edtName->setEditText("Иван Петров");
        f.comboEncoding->setCurrentIndex(1);
        f.edtReplyTo->setEditText("reply@example.org");
    }
    void Clear(TMainForm &f)
    {
        f.edSMTPName->setEditText("other.example.org");
        f.edPort->setText("2525");
        f.edAccount->clear();
        f.edtName->setEditText("");
        f.comboEncoding->setCurrentIndex(0);
        f.edtReplyTo->setEditText("");
    }
    using Shown = TMainForm::FileDialogsTest::TShown;
};

TEST_F(WindowProfilesTest, SaveAndLoadBackThroughTheButtons)
{
    auto f = Start();
    Fill(*f);
    EXPECT_TRUE(f->SettingsChanged);

    // A name typed without extension gets .smt.
    TMainForm::FileDialogsTest::QueueAnswer(Dir() + "/work");
    ComDialogsTest::QueueAnswer(mrOk);
    f->btnSaveConfig->click();
    const QString saved = Dir() + "/work.smt";
    ASSERT_TRUE(QFileInfo::exists(saved));
    QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].Text, LoadMessage(40));
    EXPECT_EQ(boxes[0].DlgType, mtInformation);
    EXPECT_EQ(boxes[0].Buttons, TMsgDlgButtons{mbOK});
    QList<Shown> dialogs = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(dialogs.size(), 1);
    EXPECT_EQ(dialogs[0].Dialog, "SaveConfigDialog");
    // First use: the program's folder, no name preset, the profile filter and extension.
    EXPECT_EQ(QDir(dialogs[0].Folder), QDir(ProgramFolder()));
    EXPECT_TRUE(dialogs[0].FileName.isEmpty());
    EXPECT_EQ(dialogs[0].Filters, DialogNameFilters(LoadMessage(29)));
    EXPECT_EQ(dialogs[0].DefaultSuffix, "smt");
    EXPECT_EQ(f->SMTPConfigFile, saved);
    EXPECT_FALSE(f->SettingsChanged);
    EXPECT_EQ(TMainForm::InitialDir(f->SaveConfigDialog), Dir());

    // On disk: one section, the keys in their order, the port without its blanks, UTF-8.
    EXPECT_EQ(ReadText(saved), "[SMTP]\nServer=почта.пример.рф\nPort=25\nAccount=ivan@пример.рф\n"
                               "Name=Иван Петров\nEncoding=1\nReply-To=reply@example.org\n"
                               "Security=0\nUser=\nAuthentication=0\nPasswordCommand=\nRememberPassword=0\n"
                               "TrustedCertificate=\n");

    Clear(*f);
    ASSERT_TRUE(f->SettingsChanged);
    ComDialogsTest::QueueAnswer(mrNo);   // do not save the changes
    TMainForm::FileDialogsTest::QueueAnswer(saved);
    f->btnLoadConfig->click();
    boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].Text, LoadMessage(58));
    dialogs = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(dialogs.size(), 1);
    EXPECT_EQ(dialogs[0].Dialog, "LoadConfigDialog");
    EXPECT_EQ(dialogs[0].FileName, saved);   // the current profile is offered
    EXPECT_EQ(dialogs[0].DefaultSuffix, "smt");
    EXPECT_EQ(f->edSMTPName->currentText(), "почта.пример.рф");
    EXPECT_EQ(f->edPort->text(), "  25");
    EXPECT_EQ(f->edAccount->text(), "ivan@пример.рф");
    EXPECT_EQ(f->edtName->currentText(), "Иван Петров");
    EXPECT_EQ(f->comboEncoding->currentIndex(), 1);
    EXPECT_EQ(f->edtReplyTo->currentText(), "reply@example.org");
    EXPECT_FALSE(f->SettingsChanged);
    EXPECT_EQ(TMainForm::InitialDir(f->LoadConfigDialog), Dir());
}

TEST_F(WindowProfilesTest, MissingProfileGivesTheDefaultsAndStaysCurrent)
{
    auto f = Start();
    Fill(*f);
    const QString gone = Dir() + "/gone.smt";
    f->LoadSMTPProfile(gone);
    EXPECT_EQ(f->edSMTPName->currentText(), "");
    EXPECT_EQ(f->edPort->text(), "  25");
    EXPECT_EQ(f->edAccount->text(), "");
    EXPECT_EQ(f->edtName->currentText(), "");
    EXPECT_EQ(f->comboEncoding->currentIndex(), 0);
    EXPECT_EQ(f->edtReplyTo->currentText(), "");
    EXPECT_EQ(f->SMTPConfigFile, gone);
    EXPECT_FALSE(QFileInfo::exists(gone));

    // An encoding the box does not have selects nothing; a port from a hand-edited file is
    // cut to what the field holds.
    WriteText(Dir() + "/odd.smt", "[smtp]\nENCODING=7\nport= 587x \n");
    f->LoadSMTPProfile(Dir() + "/odd.smt");
    EXPECT_EQ(f->comboEncoding->currentIndex(), -1);
    EXPECT_EQ(f->edPort->text(), " 587");
}

TEST_F(WindowProfilesTest, StartUpLoadsTheProfileOfTheSettingsFileWindowsEncodedToo)
{
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    ASSERT_NE(cp1251, nullptr);
    const QString profile = Dir() + "/старый.smt";
    WriteBytes(profile, "[SMTP]\r\nServer=mail.example.ru\r\nPort=2525\r\nName="
                            + cp1251->fromUnicode("Пётр") + "\r\n");
    WriteText(SettingsPath(), "[Version]\nMajorVersion=1\nMinorVersion=3\n[Settings]\nSMTPServerConfig="
                                  + profile + "\n");
    auto f = Start();
    EXPECT_EQ(f->edSMTPName->currentText(), "mail.example.ru");
    EXPECT_EQ(f->edPort->text(), "2525");
    EXPECT_EQ(f->edtName->currentText(), "Пётр");
    EXPECT_EQ(f->SMTPConfigFile, profile);
    EXPECT_FALSE(f->SettingsChanged);   // the start-up load is not a change
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
}

TEST_F(WindowProfilesTest, WithoutAProfileTheFieldsKeepTheirInitialValues)
{
    auto f = Start();
    EXPECT_TRUE(f->SMTPConfigFile.isEmpty());
    EXPECT_EQ(f->edPort->text(), "  25");
    EXPECT_EQ(f->comboEncoding->currentIndex(), 0);
    EXPECT_EQ(f->edSMTPName->currentText(), "");
}

TEST_F(WindowProfilesTest, LoadWithUnsavedChangesYesThenCancelledSaveStillLoads)
{
    WriteText(Dir() + "/a.smt", "[SMTP]\nServer=a.example.org\n");
    auto f = Start();
    f->edSMTPName->setEditText("typed.example.org");
    ComDialogsTest::QueueAnswer(mrYes);
    TMainForm::FileDialogsTest::QueueCancel();
    TMainForm::FileDialogsTest::QueueAnswer(Dir() + "/a.smt");
    f->btnLoadConfig->click();
    const QList<Shown> dialogs = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(dialogs.size(), 2);
    EXPECT_EQ(dialogs[0].Dialog, "SaveConfigDialog");
    EXPECT_FALSE(dialogs[0].Accepted);
    EXPECT_EQ(dialogs[1].Dialog, "LoadConfigDialog");
    EXPECT_EQ(f->edSMTPName->currentText(), "a.example.org");
    EXPECT_FALSE(f->SettingsChanged);
    // The save dialog started in the program's folder and, cancelled, stays there.
    EXPECT_EQ(TMainForm::InitialDir(f->SaveConfigDialog), ProgramFolder());
    EXPECT_EQ(ComDialogsTest::TakeLog().size(), 1);   // only the question
}

TEST_F(WindowProfilesTest, CloseQueryYesThenCancelledSaveKeepsTheWindowAndWritesNothing)
{
    auto f = Start();
    QFile::remove(SettingsPath());
    f->edSMTPName->setEditText("smtp.example.org");
    ComDialogsTest::QueueAnswer(mrYes);
    TMainForm::FileDialogsTest::QueueCancel();
    EXPECT_FALSE(f->close());
    EXPECT_TRUE(f->isVisible());
    EXPECT_TRUE(f->SettingsChanged);
    EXPECT_FALSE(QFileInfo::exists(SettingsPath()));
    EXPECT_TRUE(QDir(Dir()).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(TMainForm::FileDialogsTest::TakeLog().size(), 1);
    ComDialogsTest::TakeLog();

    // Yes and a file: saved, "Settings saved", closed, and the settings name the profile.
    ComDialogsTest::QueueAnswer(mrYes);
    ComDialogsTest::QueueAnswer(mrOk);
    TMainForm::FileDialogsTest::QueueAnswer(Dir() + "/closing.smt");
    EXPECT_TRUE(f->close());
    const QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_EQ(boxes[0].Text, LoadMessage(58));
    EXPECT_EQ(boxes[1].Text, LoadMessage(40));
    EXPECT_TRUE(ReadText(Dir() + "/closing.smt").contains("Server=smtp.example.org"));
    EXPECT_EQ(ReadSettings(SettingsPath()).SMTPConfigFile, Dir() + "/closing.smt");
}

TEST_F(WindowProfilesTest, CloseQueryNoClosesWithoutSavingTheProfile)
{
    auto f = Start();
    f->SMTPConfigFile = Dir() + "/current.smt";
    f->edSMTPName->setEditText("smtp.example.org");
    ComDialogsTest::QueueAnswer(mrNo);
    EXPECT_TRUE(f->close());
    EXPECT_FALSE(QFileInfo::exists(Dir() + "/current.smt"));
    EXPECT_TRUE(TMainForm::FileDialogsTest::TakeLog().isEmpty());
    // The path is still remembered, and the server went into its history.
    const TProgramSettings s = ReadSettings(SettingsPath());
    EXPECT_EQ(s.SMTPConfigFile, Dir() + "/current.smt");
    EXPECT_EQ(s.Histories[hbHost], QStringList{"smtp.example.org"});
}

TEST_F(WindowProfilesTest, AProfileThatCannotBeWrittenChangesNothingAndKeepsTheWindowOpen)
{
    auto f = Start();
    f->SMTPConfigFile = Dir() + "/before.smt";
    f->edSMTPName->setEditText("smtp.example.org");
    WriteText(Dir() + "/plain", "x");
    const QString bad = Dir() + "/plain/p.smt";
    TMainForm::FileDialogsTest::QueueAnswer(bad);
    ComDialogsTest::QueueAnswer(mrOk);
    f->btnSaveConfig->click();
    QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].ApplicationError);
    EXPECT_EQ(boxes[0].Text, "Unable to write to " + bad + ": Not a directory");
    EXPECT_EQ(f->SMTPConfigFile, Dir() + "/before.smt");
    EXPECT_TRUE(f->SettingsChanged);

    // A close that asked for that save does not happen.
    ComDialogsTest::QueueAnswer(mrYes);
    ComDialogsTest::QueueAnswer(mrOk);
    TMainForm::FileDialogsTest::QueueAnswer(bad);
    EXPECT_FALSE(f->close());
    EXPECT_TRUE(f->isVisible());
    boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_TRUE(boxes[1].ApplicationError);

    EXPECT_EQ(TMainForm::FileDialogsTest::TakeLog().size(), 2);

    // Nor does a load asked for after it: the unsaved fields are kept.
    WriteText(Dir() + "/other.smt", "[SMTP]\nServer=other.example.org\n");
    ComDialogsTest::QueueAnswer(mrYes);
    ComDialogsTest::QueueAnswer(mrOk);
    TMainForm::FileDialogsTest::QueueAnswer(bad);
    TMainForm::FileDialogsTest::QueueAnswer(Dir() + "/other.smt");
    f->btnLoadConfig->click();
    EXPECT_EQ(f->edSMTPName->currentText(), "smtp.example.org");
    const QList<Shown> dialogs = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(dialogs.size(), 1);   // the save dialog; the load dialog never opened
    EXPECT_EQ(dialogs[0].Dialog, "SaveConfigDialog");
}

TEST_F(WindowProfilesTest, NewsModeFromTheSettingsOffersNewsProfilesThatChangeNothing)
{
    WriteText(SettingsPath(), "[Version]\nMajorVersion=1\nMinorVersion=3\n[Settings]\nSenderMode=1\n"
                              "NNTPServerConfig=" + Dir() + "/news.nnt\n");
    auto f = Start();
    EXPECT_TRUE(f->btnNews->isChecked());
    EXPECT_FALSE(f->btnNews->isEnabled());
    EXPECT_FALSE(f->NNTPPanel->isHidden());
    EXPECT_TRUE(f->SMTPPanel->isHidden());
    EXPECT_EQ(OwnHelpContext(f->TabSheet4), 0);

    TMainForm::FileDialogsTest::QueueAnswer(Dir() + "/n");
    EXPECT_TRUE(f->SaveProfileAs());
    const QList<Shown> dialogs = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(dialogs.size(), 1);
    EXPECT_EQ(dialogs[0].Filters, DialogNameFilters(LoadMessage(52)));
    EXPECT_EQ(dialogs[0].DefaultSuffix, "nnt");
    EXPECT_EQ(dialogs[0].FileName, Dir() + "/news.nnt");
    EXPECT_FALSE(QFileInfo::exists(Dir() + "/n.nnt"));
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());   // nothing saved, nothing said

    f->btnMail->click();
    EXPECT_TRUE(f->IsMailMode());
    EXPECT_EQ(OwnHelpContext(f->TabSheet4), 6);
}

} // namespace
