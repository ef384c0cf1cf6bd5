// The settings file through the real window: what a restart keeps, the first start, the input
// histories of the boxes and a settings file that cannot be written at exit.
#include "test_mainsettings_support.h"

#include "IniFile.h"
#include "Settings.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QSpinBox>
#include <QTextCodec>
#include <QToolButton>
#include <QWidget>

namespace {

// ---- every window test of this program runs with the settings in a test folder -------------
// The window reads and writes Sendorix.cfg beside the program; during the tests it goes to a
// temporary folder instead, reset before each test to a file of this version (so the
// first-start question stays out of tests that are not about it). File dialogs with no queued
// answer are cancelled instead of blocking.
class SettingsFolderReset : public ::testing::EmptyTestEventListener
{
public:
    explicit SettingsFolderReset(QString folder) : folder_(std::move(folder)) {}
    void OnTestStart(const ::testing::TestInfo &) override
    {
        TMainForm::SetSettingsFolderForTests(folder_);
        QFile f(SettingsFilePath(folder_));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write("[Version]\nMajorVersion=1\nMinorVersion=3\n");
        TMainForm::FileDialogsTest::Reset();
        TMainForm::FileDialogsTest::SetRefuseUnanswered(true);
    }

private:
    QString folder_;
};

testsupport::TempDir &SharedSettingsFolder()
{
    static testsupport::TempDir dir("sendorix-settings");
    return dir;
}

const bool settingsFolderInstalled = [] {
    const QString folder = QString::fromStdString(SharedSettingsFolder().path());
    TMainForm::SetSettingsFolderForTests(folder);
    ::testing::UnitTest::GetInstance()->listeners().Append(new SettingsFolderReset(folder));
    return true;
}();

QStringList Items(const QComboBox *box)
{
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

class WindowSettingsTest : public WindowTest
{
};

// ---- first start and restart -----------------------------------------------------------------

TEST_F(WindowSettingsTest, FirstStartWithoutFileAsksAboutTheAddressBookOnce)
{
    ComDialogsTest::QueueAnswer(mrYes);
    auto f = Start();
    ASSERT_TRUE(settingsFolderInstalled);
    EXPECT_EQ(f->SettingsFile, ProgramFolder() + "Sendorix.cfg");
    EXPECT_EQ(TMainForm::SettingsIoPath(f->SettingsFile), SettingsPath());
    // First-start state.
    EXPECT_EQ(f->comboLanguage->currentIndex(), 0);
    EXPECT_EQ(StringBase, EnglishBase);
    EXPECT_TRUE(f->IsMailMode());
    EXPECT_FALSE(f->SMTPPanel->isHidden());
    EXPECT_TRUE(f->NNTPPanel->isHidden());
    for (QComboBox *box : {f->edtTo, f->edtCC, f->edBCC, f->edtSubject, f->edSMTPName, f->edtName, f->edtReplyTo})
        EXPECT_EQ(box->count(), 0) << box->objectName().toStdString();
    EXPECT_EQ(Items(f->edTempDir), QStringList{TempFolder()});
    EXPECT_EQ(f->edTempDir->currentText(), TempFolder());
    EXPECT_TRUE(f->cbJumpToProtocol->isChecked());
    EXPECT_TRUE(f->SMTPConfigFile.isEmpty());
    EXPECT_FALSE(f->SettingsChanged);
    // No dialog folders yet: each dialog opens in the program's folder, and the settings keep
    // them empty until one is moved.
    for (TFileDialogSlot *slot : {&f->FileDialog, &f->LoadConfigDialog, &f->SaveConfigDialog, &f->SaveLogDialog}) {
        QFileDialog *d = *slot;
        EXPECT_EQ(QDir(d->directory()), QDir(ProgramFolder())) << d->objectName().toStdString();
        EXPECT_TRUE(TMainForm::InitialDir(d).isEmpty());
    }
    f->SaveLogDialog->setDirectory(Dir());   // as a command that used the dialog does
    EXPECT_EQ(TMainForm::InitialDir(f->SaveLogDialog), Dir());

    // The question, then (Yes switched the option on) the option's own note.
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[0].Text, AddressBookQuestion(false));
    EXPECT_EQ(log[0].DlgType, mtConfirmation);
    EXPECT_EQ(log[0].Buttons, (TMsgDlgButtons{mbYes, mbNo}));
    EXPECT_TRUE(log[1].Text.startsWith("If you have any problems with call the system address book"));
    EXPECT_EQ(log[1].Buttons, (TMsgDlgButtons{mbOK, mbHelp}));
    EXPECT_EQ(log[1].HelpContext, 8);
    EXPECT_TRUE(f->cbUseMAPIAddresBook->isChecked());

    ASSERT_TRUE(f->close());
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    // The file now carries this version: no question at the next start.
    TIniFile ini(SettingsPath());
    EXPECT_EQ(ini.ReadInteger("Version", "MajorVersion", 0), 1);
    EXPECT_EQ(ini.ReadInteger("Version", "MinorVersion", 0), 3);
    f = Start();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_TRUE(f->cbUseMAPIAddresBook->isChecked());
    EXPECT_EQ(TMainForm::InitialDir(f->SaveLogDialog), Dir());
    EXPECT_TRUE(TMainForm::InitialDir(f->FileDialog).isEmpty());
}

TEST_F(WindowSettingsTest, AnswerNoLeavesTheOptionOffAndAnOldFileAsksToo)
{
    WriteText(SettingsPath(), "[Version]\nMajorVersion=1\nMinorVersion=2\n[Settings]\ncbUseMAPIAddresBook=1\n");
    ComDialogsTest::QueueAnswer(mrNo);
    auto f = Start();
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);   // switching off explains nothing
    EXPECT_EQ(log[0].Text, AddressBookQuestion(false));
    EXPECT_FALSE(f->cbUseMAPIAddresBook->isChecked());
}

TEST_F(WindowSettingsTest, AStartRemovesTheArchiveAKilledRunLeftInTheTemporaryFolder)
{
    // One archive of a process that no longer runs, one of this process (a job of a running
    // window), one of another user's kind of name that is not an archive of ours.
    const QString temp = Dir() + "/temp";
    QDir().mkpath(temp);
    const QString stale = temp + "/sendorix-pack-999999999-abcdef.zip";
    const QString live = temp + QString("/sendorix-pack-%1-abcdef.zip").arg(QCoreApplication::applicationPid());
    const QString other = temp + "/sendorix-notes.zip";
    for (const QString &path : {stale, live, other}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    WriteText(SettingsPath(), "[Version]\nMajorVersion=1\nMinorVersion=3\n[Settings]\ncbUseMAPIAddresBook=0\n"
                              "[EditTempDir]\n0=" + temp + "\n");
    auto f = Start();
    ComDialogsTest::TakeLog();
    EXPECT_EQ(f->edTempDir->currentText(), temp);
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_TRUE(QFile::exists(live));
    EXPECT_TRUE(QFile::exists(other));
}

TEST_F(WindowSettingsTest, EveryKeySurvivesARestart)
{
    ComDialogsTest::QueueAnswer(mrNo);
    auto f = Start();
    ComDialogsTest::TakeLog();
    const QString smtp = Dir() + "/профили/work.smt";
    const QString nntp = Dir() + "/news.nnt";
    f->comboLanguage->setCurrentIndex(1);
    emit f->comboLanguage->activated(1);
    ASSERT_EQ(StringBase, RussianBase);
    f->SetSenderMode(false);
    f->SMTPConfigFile = smtp;
    f->NNTPConfigFile = nntp;
    QComboBox *boxes[] = {f->edtTo, f->edtCC, f->edBCC, f->edtSubject, f->edSMTPName, f->edtName, f->edtReplyTo, f->edTempDir};
    for (int b = 0; b < 8; ++b) {
        for (const QString &text : {QString("first %1").arg(b), QString("Второй %1").arg(b)}) {
            boxes[b]->setEditText(text);
            f->AddToHistory(boxes[b]);
        }
    }
    TMainForm::SetInitialDir(f->FileDialog, Dir() + "/files");
    TMainForm::SetInitialDir(f->LoadConfigDialog, Dir() + "/load");
    TMainForm::SetInitialDir(f->SaveConfigDialog, Dir() + "/save");
    TMainForm::SetInitialDir(f->SaveLogDialog, Dir() + "/логи");
    f->cbJumpToProtocol->setChecked(false);
    f->cbUseMAPIAddresBook->setChecked(true);
    f->cbUseZip->click();
    f->spinOneMessSizeDef->setValue(25600);
    f->SettingsChanged = false;
    ASSERT_TRUE(f->close());
    f.reset();

    // The file as another program (or a person) would read it.
    const TProgramSettings s = ReadSettings(SettingsPath());
    EXPECT_EQ(s.MajorVersion, 1);
    EXPECT_EQ(s.MinorVersion, 3);
    EXPECT_EQ(s.Language, 1);
    EXPECT_FALSE(s.MailMode);
    EXPECT_EQ(s.SMTPConfigFile, smtp);
    EXPECT_EQ(s.Histories[hbSubject], QStringList({"Второй 3", "first 3"}));
    EXPECT_EQ(s.SaveLogDialogDir, Dir() + "/логи");
    EXPECT_FALSE(s.JumpToProtocol);
    EXPECT_TRUE(s.UseMAPIAddresBook);

    StringBase = EnglishBase;
    f = Start();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    EXPECT_EQ(f->comboLanguage->currentIndex(), 1);
    EXPECT_EQ(StringBase, RussianBase);
    EXPECT_FALSE(f->IsMailMode());
    EXPECT_TRUE(f->btnNews->isChecked());
    EXPECT_FALSE(f->btnNews->isEnabled());
    EXPECT_FALSE(f->NNTPPanel->isHidden());
    EXPECT_TRUE(f->SMTPPanel->isHidden());
    EXPECT_EQ(f->SMTPConfigFile, smtp);
    EXPECT_EQ(f->NNTPConfigFile, nntp);
    QComboBox *again[] = {f->edtTo, f->edtCC, f->edBCC, f->edtSubject, f->edSMTPName, f->edtName, f->edtReplyTo, f->edTempDir};
    for (int b = 0; b < 8; ++b) {
        QStringList expected{QString("Второй %1").arg(b), QString("first %1").arg(b)};
        if (again[b] == f->edTempDir)
            expected << TempFolder();   // the first start's only entry

        EXPECT_EQ(Items(again[b]), expected) << again[b]->objectName().toStdString();
    }
    // Histories are offered, not filled in; only the temporary folder shows its newest entry.
    EXPECT_TRUE(f->edtTo->currentText().isEmpty());
    EXPECT_TRUE(f->edtSubject->currentText().isEmpty());
    EXPECT_EQ(f->edTempDir->currentText(), "Второй 7");
    EXPECT_TRUE(f->cbUseZip->isChecked());
    EXPECT_EQ(f->spinOneMessSizeDef->value(), 25600);
    EXPECT_EQ(f->spinOneMessageSize->value(), 25600);
    EXPECT_FALSE(f->spinOneMessageSize->isHidden());
    EXPECT_TRUE(f->spinFilesInMessage->isHidden());
    EXPECT_EQ(TMainForm::InitialDir(f->FileDialog), Dir() + "/files");
    EXPECT_EQ(TMainForm::InitialDir(f->LoadConfigDialog), Dir() + "/load");
    EXPECT_EQ(TMainForm::InitialDir(f->SaveConfigDialog), Dir() + "/save");
    EXPECT_EQ(TMainForm::InitialDir(f->SaveLogDialog), Dir() + "/логи");
    // The folders are kept, but no dialog reads one before the user opens it: only then is
    // the dialog made, in its folder, and only that one.
    EXPECT_TRUE(f->findChildren<QFileDialog *>().isEmpty());
    ASSERT_TRUE(QDir().mkpath(Dir() + "/files"));
    TMainForm::FileDialogsTest::Reset();
    TMainForm::FileDialogsTest::QueueCancel();
    f->PageControl->setCurrentWidget(f->TabSheet3);
    f->btnLoad->click();
    const QList<TMainForm::FileDialogsTest::TShown> shown = TMainForm::FileDialogsTest::TakeLog();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].Folder, Dir() + "/files");
    const QList<QFileDialog *> made = f->findChildren<QFileDialog *>();
    ASSERT_EQ(made.size(), 1);
    EXPECT_EQ(made[0]->objectName(), "FileDialog");
    EXPECT_EQ(made[0]->windowTitle(), "Выбор файлов для отправки");
    EXPECT_EQ(TMainForm::InitialDir(f->FileDialog), Dir() + "/files");
    EXPECT_EQ(f->SaveLogDialog.Made(), nullptr);
    // Files chosen in another folder: the dialog goes there when it is opened next, not at
    // once (it would read that folder behind whatever the window does next); the setting
    // follows at once.
    ASSERT_TRUE(QDir().mkpath(Dir() + "/other"));
    WriteText(Dir() + "/other/a.txt", "a");
    TMainForm::FileDialogsTest::QueueAnswer(Dir() + "/other/a.txt");
    f->btnLoad->click();
    EXPECT_EQ(made[0]->directory().absolutePath(), Dir() + "/files");
    EXPECT_EQ(TMainForm::InitialDir(f->FileDialog), Dir() + "/other");
    TMainForm::FileDialogsTest::QueueCancel();
    f->btnLoad->click();
    EXPECT_EQ(TMainForm::FileDialogsTest::TakeLog().value(1).Folder, Dir() + "/other");
    EXPECT_FALSE(f->cbJumpToProtocol->isChecked());
    EXPECT_TRUE(f->cbUseMAPIAddresBook->isChecked());
    EXPECT_FALSE(f->SettingsChanged);
}

TEST_F(WindowSettingsTest, OtherSectionsAndKeysSurviveTheWriteAtClose)
{
    WriteText(SettingsPath(), "[Version]\nMajorVersion=1\nMinorVersion=3\n"
                              "[Settings]\nLanguage=0\nMyOwnKey=kept\n[Elsewhere]\nx=1\n");
    auto f = Start();
    ASSERT_TRUE(f->close());
    const QString text = ReadText(SettingsPath());
    EXPECT_TRUE(text.contains("MyOwnKey=kept")) << text.toStdString();
    EXPECT_TRUE(text.contains("[Elsewhere]")) << text.toStdString();
}

TEST_F(WindowSettingsTest, AnUnwritableSettingsFileIsReportedAndTheWindowStillCloses)
{
    // A folder below a plain file cannot be created, whoever runs the test.
    WriteText(Dir() + "/plain", "x");
    TMainForm::SetSettingsFolderForTests(Dir() + "/plain/sub");
    ComDialogsTest::QueueAnswer(mrNo);   // no file: the first-start question
    auto f = Start();
    ComDialogsTest::TakeLog();
    f->edtTo->setEditText("someone@example.org");
    EXPECT_TRUE(f->close());
    EXPECT_FALSE(f->isVisible());
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    EXPECT_EQ(log[0].Text, "Unable to write to " + Dir() + "/plain/sub/Sendorix.cfg: Not a directory");
    EXPECT_EQ(ReadText(Dir() + "/plain"), "x");
}

// ---- histories -------------------------------------------------------------------------------

TEST_F(WindowSettingsTest, LeavingABoxPutsItsTrimmedTextFirstOnceWhateverTheCase)
{
    auto f = Start();
    f->activateWindow();
    QApplication::processEvents();
    f->PageControl->setCurrentWidget(f->TabSheet1);
    f->edtTo->setFocus(Qt::TabFocusReason);
    f->edtTo->setEditText("  Ann@Example.org  ");
    f->edtCC->setFocus(Qt::TabFocusReason);   // the focus leaves To
    QApplication::processEvents();
    ASSERT_TRUE(f->edtCC->hasFocus()) << "the window did not get the focus";
    EXPECT_EQ(Items(f->edtTo), QStringList{"Ann@Example.org"});
    EXPECT_EQ(f->edtTo->currentText(), "Ann@Example.org");

    f->edtTo->setFocus(Qt::TabFocusReason);
    f->edtTo->setEditText("bob@example.org");
    f->edtSubject->setFocus(Qt::TabFocusReason);
    f->edtTo->setFocus(Qt::TabFocusReason);
    f->edtTo->setEditText("ann@example.ORG");
    f->edtCC->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(Items(f->edtTo), QStringList({"ann@example.ORG", "bob@example.org"}));
    // Leaving a box with blanks only adds nothing; Cc got nothing from all this either.
    f->edtCC->setEditText("   ");
    f->edtTo->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(f->edtCC->count(), 0);
    EXPECT_EQ(f->edtCC->currentText(), "   ");
    // Leaving for another window is not leaving the box.
    f->edtCC->setEditText("carol@example.org");
    f->edtCC->setFocus(Qt::TabFocusReason);
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(f->edtCC, &away);
    EXPECT_EQ(f->edtCC->count(), 0);
}

TEST_F(WindowSettingsTest, TwentyOneTextsLeaveTheNewestTwenty)
{
    auto f = Start();
    for (int i = 1; i <= 21; ++i) {
        f->edtSubject->setEditText(QString("subject %1").arg(i));
        f->AddEditToHistory(f->edtSubject);
    }
    const QStringList items = Items(f->edtSubject);
    ASSERT_EQ(items.size(), 20);
    EXPECT_EQ(items.first(), "subject 21");
    EXPECT_EQ(items.last(), "subject 2");
    EXPECT_FALSE(items.contains("subject 1"));
    // Picking an old entry and leaving moves it to the top without growing the list.
    f->edtSubject->setCurrentIndex(10);
    f->AddEditToHistory(f->edtSubject);
    EXPECT_EQ(f->edtSubject->itemText(0), "subject 11");
    EXPECT_EQ(f->edtSubject->count(), 20);
    EXPECT_EQ(f->edtSubject->currentText(), "subject 11");
}

TEST_F(WindowSettingsTest, StoredHistoriesLoadUpToAGapOrTheMarker)
{
    QString hand = "[Version]\nMajorVersion=1\nMinorVersion=3\n"
                   "[EditTo]\n0=a@example.org\n1=b@example.org\n3=d@example.org\n"
                   "[EditCC]\n0=x@example.org\n1=this string is not in inifile\n2=y@example.org\n"
                   "[EditTempDir]\n0=/var/tmp/\n1=/srv/tmp/\n"
                   "[EditSubject]\n";
    for (int i = 0; i < 25; ++i)
        hand += QString("%1=old %2\n").arg(i).arg(i);
    WriteText(SettingsPath(), hand);
    auto f = Start();
    EXPECT_EQ(Items(f->edtTo), QStringList({"a@example.org", "b@example.org"}));
    EXPECT_EQ(Items(f->edtCC), QStringList{"x@example.org"});
    EXPECT_EQ(Items(f->edTempDir), QStringList({"/var/tmp/", "/srv/tmp/"}));
    EXPECT_EQ(f->edTempDir->currentText(), "/var/tmp/");
    // A hand-made long list keeps its length: each new text pushes out the entry at 20.
    ASSERT_EQ(f->edtSubject->count(), 25);
    f->edtSubject->setEditText("new");
    f->AddEditToHistory(f->edtSubject);
    EXPECT_EQ(f->edtSubject->count(), 25);
    EXPECT_EQ(f->edtSubject->itemText(0), "new");
    EXPECT_FALSE(Items(f->edtSubject).contains("old 19"));
    EXPECT_TRUE(Items(f->edtSubject).contains("old 20"));

    ASSERT_TRUE(f->close());
    const TProgramSettings s = ReadSettings(SettingsPath());
    EXPECT_EQ(s.Histories[hbTo], QStringList({"a@example.org", "b@example.org"}));
    // The close leaves the box once more: "new" goes to the top again and, the list being
    // longer than 20, the entry at 20 goes too.
    EXPECT_EQ(s.Histories[hbSubject].size(), 24);
    EXPECT_EQ(s.Histories[hbSubject].first(), "new");
    // The key behind the gap is gone, so it cannot come back later.
    EXPECT_FALSE(ReadText(SettingsPath()).contains("d@example.org"));
}

TEST_F(WindowSettingsTest, AWindowsSettingsFileLoadsItsCyrillic)
{
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    ASSERT_NE(cp1251, nullptr);
    WriteBytes(SettingsPath(), "[Version]\r\nMajorVersion=1\r\nMinorVersion=3\r\n[EditSubject]\r\n0="
                                   + cp1251->fromUnicode("Отчёт за март") + "\r\n");
    auto f = Start();
    EXPECT_EQ(Items(f->edtSubject), QStringList{"Отчёт за март"});
    ASSERT_TRUE(f->close());
    // Written back as UTF-8.
    EXPECT_TRUE(ReadText(SettingsPath()).contains("0=Отчёт за март"));
}

} // namespace
