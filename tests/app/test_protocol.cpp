// The two-language protocol, the status line and progress bar driven by the SMTP
// component's events, and saving the protocol.
#include "send_test_support.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>

using namespace sendtest;

namespace {

class ProtocolTest : public WindowTest {};

TEST_F(ProtocolTest, LinesKeepBothLanguagesInStepAndTheMemoShowsTheCurrentOne)
{
    EXPECT_FALSE(form->btnSaveLog->isEnabled());   // nothing to save before the first job
    form->AddProtocolText("Sendorix 1.03");
    form->AddProtocolLine("Передача...", "Transfer...");
    form->AppendToProtocolLine(" выполнено.", " done.");
    EXPECT_EQ(form->EnglishProtocol, QStringList({"Sendorix 1.03", "Transfer... done."}));
    EXPECT_EQ(form->RussianProtocol, QStringList({"Sendorix 1.03", "Передача... выполнено."}));
    EXPECT_EQ(form->memoProtocol->toPlainText(), "Sendorix 1.03\nTransfer... done.");
    EXPECT_EQ(form->memoProtocol->blockCount(), 2);

    PickLanguage(1);
    EXPECT_EQ(form->memoProtocol->toPlainText(), "Sendorix 1.03\nПередача... выполнено.");
    form->AddProtocolLine("Отключение от сервера...", "Disconnecting...");
    form->AppendToProtocolLine(" выполнено.", " done.");
    EXPECT_EQ(form->memoProtocol->blockCount(), 3);
    EXPECT_EQ(form->memoProtocol->document()->lastBlock().text(), "Отключение от сервера... выполнено.");
    PickLanguage(0);
    EXPECT_EQ(form->memoProtocol->document()->lastBlock().text(), "Disconnecting... done.");

    form->ClearProtocol();
    EXPECT_TRUE(form->EnglishProtocol.isEmpty());
    EXPECT_TRUE(form->RussianProtocol.isEmpty());
    EXPECT_TRUE(form->memoProtocol->toPlainText().isEmpty());
}

TEST_F(ProtocolTest, EventsDriveTheStatusLineAndProgressBar)
{
    form->VokSMTP.OnEncodeStart(&form->VokSMTP, "a.zip", 2048);
    EXPECT_EQ(form->lbProgressInfo->text(), "Encoding file a.zip (2048 bytes)");
    EXPECT_EQ(form->ProgressBar->value(), 0);
    for (uint16_t p : {10, 20, 30, 100}) {
        form->VokSMTP.OnEncodeProgress(&form->VokSMTP, p);
        EXPECT_EQ(form->ProgressBar->value(), p);
    }
    form->VokSMTP.OnBeforeSend(&form->VokSMTP);
    EXPECT_EQ(form->lbProgressInfo->text(), "Transfer...");
    EXPECT_EQ(form->ProgressBar->value(), 0);
    form->VokSMTP.OnSendProgress(&form->VokSMTP, 40);
    EXPECT_EQ(form->ProgressBar->value(), 40);
    form->VokSMTP.OnAfterSend(&form->VokSMTP);
    EXPECT_EQ(form->lbProgressInfo->text(), "");
    EXPECT_EQ(form->ProgressBar->value(), 0);

    // The error event shows the component's own reply, not its arguments.
    form->VokSMTP.ReplyCode = "554";
    form->VokSMTP.ReplyText = "Transaction failed";
    form->VokSMTP.OnError(&form->VokSMTP, 1, "ignored");
    EXPECT_EQ(form->lbProgressInfo->text(), "Error 554: Transaction failed");
    PickLanguage(1);
    form->VokSMTP.OnEncodeStart(&form->VokSMTP, "файл.bin", 5);
    EXPECT_EQ(form->lbProgressInfo->text(), "Подготовка файла файл.bin (5 байт)");
    EXPECT_TRUE(form->memoProtocol->toPlainText().isEmpty());   // events never write the protocol
}

TEST_F(ProtocolTest, SavingWritesTheShownCopyAsUtf8WithCrLfAfterEveryLine)
{
    form->AddProtocolText("Sendorix 1.03");
    form->AddProtocolLine("Тема: Отчёт", "Subject: Отчёт");
    form->btnSaveLog->setEnabled(true);

    // Cancelling the dialog writes nothing.
    form->btnSaveLog->click();
    ASSERT_EQ(DialogsShown().size(), 1);
    EXPECT_EQ(DialogsShown()[0]->nameFilters(),
              QStringList({"Protocol files (*.log)", "All files (*)"}));
    EXPECT_EQ(QDir(files.path()).entryList(QDir::Files).size(), 0);

    const QString path = files.filePath("job.log");
    TMainForm::FileDialogsTest::QueueAnswer(path);
    form->btnSaveLog->click();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QString("Sendorix 1.03\r\nSubject: Отчёт\r\n").toUtf8());
    f.close();
    // The folder is remembered for the next time.
    EXPECT_EQ(QDir(form->SaveLogDialog->directory()).canonicalPath(), QDir(files.path()).canonicalPath());

    // With the Russian interface the Russian copy is saved; an existing file is replaced.
    PickLanguage(1);
    TMainForm::FileDialogsTest::QueueAnswer(path);
    form->btnSaveLog->click();
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QString("Sendorix 1.03\r\nТема: Отчёт\r\n").toUtf8());
    EXPECT_EQ(DialogsShown().last()->nameFilters(),
              QStringList({"Файлы протоколов (*.log)", "Все файлы (*)"}));
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());

    // A file that cannot be written is reported in the error box.
    TMainForm::FileDialogsTest::QueueAnswer(files.filePath("no/such/folder/job.log"));
    ComDialogsTest::QueueAnswer(mrOk);
    form->btnSaveLog->click();
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
}

}  // namespace

namespace {

TEST_F(ProtocolTest, LongStatusAndCounterTextsStayReadable)
{
    form->ShowStatus("Transfer...");
    EXPECT_EQ(form->lbProgressInfo->text(), "Transfer...");
    EXPECT_TRUE(form->lbProgressInfo->toolTip().isEmpty());

    const QString name = QString("Отчёт за 2026 год с очень длинным названием ").repeated(3) + ".pdf";
    const QString full = "Encoding file " + name + " (123456789 bytes)";
    form->VokSMTP.OnEncodeStart(&form->VokSMTP, name.toStdString(), 123456789);
    const QString shown = form->lbProgressInfo->text();
    EXPECT_LE(form->lbProgressInfo->fontMetrics().horizontalAdvance(shown),
              form->lbProgressInfo->contentsRect().width());
    EXPECT_TRUE(shown.startsWith("Encoding file"));
    EXPECT_TRUE(shown.endsWith("(123456789 bytes)"));
    EXPECT_EQ(form->lbProgressInfo->toolTip(), full);

    for (const char *counter : {"1 <3>", "999 <1000>", "1000 <1000>"}) {
        form->ShowCounter(counter);
        EXPECT_EQ(form->lblNumOfMessage->text(), counter);
        EXPECT_LE(form->lblNumOfMessage->fontMetrics().horizontalAdvance(counter),
                  form->lblNumOfMessage->contentsRect().width())
            << counter;
        EXPECT_GT(form->lblNumOfMessage->x(), form->lblURL->geometry().right());
        EXPECT_LT(form->lblNumOfMessage->geometry().right(), form->ProgressBar->x());
    }
}

}  // namespace
