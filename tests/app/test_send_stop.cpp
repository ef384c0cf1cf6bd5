// Stopping a job through the real window (a second Cancel, Cancel while encoding or while the
// server is silent, closing the window), files that are not regular files, and server text
// that must stay text.
#include "send_test_support.h"

#include <QDir>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using namespace sendtest;

namespace {

// Lets go of anything stuck opening or reading a FIFO after 5 s, so a regression fails the test
// instead of hanging it.
class FifoWatchdog {
public:
    explicit FifoWatchdog(const QString &fifo) : path(QFile::encodeName(fifo))
    {
        thread = std::thread([this] {
            for (int i = 0; i < 500 && !done; ++i)
                QThread::msleep(10);
            if (done)
                return;
            fired = true;
            const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        });
    }
    ~FifoWatchdog()
    {
        done = true;
        thread.join();
        EXPECT_FALSE(fired) << "blocked on " << path.constData();
    }

private:
    QByteArray path;
    std::atomic<bool> done{false}, fired{false};
    std::thread thread;
};

class StopTest : public WindowTest {
protected:
    void Fill(int port, const QStringList &paths)
    {
        form->edtTo->setEditText(QStringLiteral("to@example.org"));
        form->edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
        form->edPort->setText(QString::number(port));
        form->edAccount->setText(QStringLiteral("me@example.org"));
        form->VokSMTP.TimeOut = 30000;   // only a working stop ends a wait early
        if (!paths.isEmpty())
            AddThroughDialog(paths);
    }
    QString BigFile(const QString &name, qint64 size)
    {
        const QString path = files.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_TRUE(f.resize(size));   // sparse: costs no disk
        return path;
    }
    // The protocol's closing lines after a stop at once during message `number`.
    void ExpectStoppedDuring(int number)
    {
        QStringList en = form->EnglishProtocol;
        ASSERT_GE(en.size(), 5);
        en = en.mid(en.size() - 5);
        EXPECT_EQ(en[0], "Transfer... stopped by user.");
        EXPECT_EQ(en[1], QString("Message #%1 was not sent.").arg(number));
        EXPECT_EQ(en[2], "Disconnecting... done.");
        EXPECT_TRUE(en[3].startsWith("Transfer finished: "));
        EXPECT_EQ(en[4], "Process terminated by user");
        EXPECT_EQ(form->RussianProtocol.mid(form->RussianProtocol.size() - 5, 2),
                  QStringList({"Передача... прервано пользователем.",
                               QString("Сообщение #%1 не отправлено.").arg(number)}));
        EXPECT_EQ(form->lbProgressInfo->text(), "Process terminated by user");
        EXPECT_FALSE(form->VokSMTP.Connected);
        EXPECT_TRUE(form->btnSend->isEnabled());
        EXPECT_FALSE(form->btnCancel->isEnabled());
        EXPECT_FALSE(form->SendJobRunning());
    }
};

// The first Cancel during the transfer lets the message complete; the second abandons it at
// once, without its end-of-data mark, so the server never takes it.
TEST_F(StopTest, ASecondCancelAbandonsTheMessageBeingTransferred)
{
    SmtpSink sink;
    Fill(sink.port, {BigFile("big.bin", 3 << 20), MakeFiles({"small"}).first()});
    int clicks = 0;
    auto original = form->VokSMTP.OnSendProgress;
    form->VokSMTP.OnSendProgress = [&](void *s, uint16_t p) {
        original(s, p);
        if (clicks < 2) {
            form->btnCancel->click();
            ++clicks;
            if (clicks == 1) {
                EXPECT_TRUE(form->Cancelled);
                EXPECT_NE(form->JobState(), TJobState::jsStopping) << "a first Cancel in the transfer waits for its end";
            }
        }
    };
    ComDialogsTest::TakeLog();
    form->btnSend->click();
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());
    ExpectStoppedDuring(1);
    EXPECT_EQ(sink.Count(), 0);

    // The next job is not held by the stop.
    form->VokSMTP.OnSendProgress = original;
    form->btnSend->click();
    EXPECT_EQ(sink.Count(), 2);
    EXPECT_EQ(form->EnglishProtocol.last(), "All done");
}

// A first Cancel while a file is being encoded stops at once: the encoding of a large file does
// not run to its end.
TEST_F(StopTest, CancelWhileEncodingStopsAtOnce)
{
    SmtpSink sink;
    Fill(sink.port, {BigFile("huge.bin", qint64(1) << 30)});   // sparse: costs no disk; reading it takes a while
    int ends = 0;
    uint16_t last = 0;
    form->VokSMTP.OnEncodeStart = [&, original = form->VokSMTP.OnEncodeStart](void *s, const std::string &n,
                                                                              int64_t b) {
        original(s, n, b);
        QTimer::singleShot(0, form->btnCancel, &QPushButton::click);   // clicked while it encodes
    };
    form->VokSMTP.OnEncodeProgress = [&](void *, uint16_t p) { last = p; };
    form->VokSMTP.OnEncodeEnd = [&](void *) { ++ends; };
    form->btnSend->click();
    EXPECT_EQ(ends, 0);
    EXPECT_LT(last, 100);
    EXPECT_LT(form->VokSMTP.EncodePercent, 100);
    ExpectStoppedDuring(1);
    EXPECT_EQ(sink.Count(), 0);
}

// A server that accepts the connection and never says a word: Cancel ends the wait at once,
// not after the reply timeout.
TEST_F(StopTest, CancelWhileTheServerIsSilentStopsAtOnce)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    for (int p = 9931; p > 2000 && port == 0; p -= 41) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(p));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0)
            port = p;
    }
    ASSERT_NE(port, 0);
    Fill(port, MakeFiles({"a"}));
    QTimer clicker;
    bool clicked = false;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (!clicked && form->btnCancel->isEnabled() && form->VokSMTP.Activity == saWaiting) {
            clicked = true;
            form->btnCancel->click();
        }
    });
    clicker.start(20);
    form->btnSend->click();
    clicker.stop();
    ::close(fd);
    EXPECT_TRUE(clicked);
    const QStringList en = form->EnglishProtocol;
    ASSERT_FALSE(en.isEmpty());
    EXPECT_EQ(en.last(), "Process terminated by user");
    EXPECT_TRUE(en[en.size() - 2].startsWith("Connecting to server 127.0.0.1:"));
    EXPECT_EQ(form->lbProgressInfo->text(), "Process terminated by user");
    EXPECT_FALSE(form->VokSMTP.Connected);
    EXPECT_FALSE(form->SendJobRunning());
}

// Closing the window during a job asks first: No lets the job go on, Yes stops it and the window
// closes once the job has ended.
TEST_F(StopTest, ClosingDuringAJobAsksAndStopsIt)
{
    SmtpSink sink;
    Fill(sink.port, MakeFiles({"a", "b", "c"}));
    form->SettingsChanged = false;
    int starts = 0;
    bool closedAtFirst = true;
    auto original = form->VokSMTP.OnBeforeSend;
    form->VokSMTP.OnBeforeSend = [&](void *s) {
        original(s);
        ++starts;
        if (starts == 1) {
            ComDialogsTest::QueueAnswer(mrNo);
            closedAtFirst = form->close();
        } else if (starts == 2) {
            ComDialogsTest::QueueAnswer(mrYes);
            form->close();
        }
    };
    ComDialogsTest::TakeLog();
    form->btnSend->click();
    EXPECT_FALSE(closedAtFirst);
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    for (const TShownMessageDlg &box : log) {
        EXPECT_EQ(box.Text, "A transfer is in progress. Stop it and close the program?");
        EXPECT_EQ(box.DlgType, mtConfirmation);
    }
    EXPECT_EQ(sink.Count(), 1);
    ExpectStoppedDuring(2);
    EXPECT_FALSE(form->isVisible()) << "the window closes after the stopped job";
}

// FIFOs and devices are never read: the file list refuses them by name, a file that became a
// FIFO after it was added ends the job with an error naming it, and the same holds for server
// profiles and the settings file. Nothing blocks.
TEST_F(StopTest, FilesThatAreNotRegularAreRefusedAndNothingBlocks)
{
    const QString fifo = files.filePath("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    FifoWatchdog watchdog(fifo);
    const QStringList regular = MakeFiles({"a", "b\abell"});

    ComDialogsTest::QueueAnswer(mrOk);
    AddThroughDialog({regular[0], fifo, "/dev/zero"});
    EXPECT_EQ(Rows(), QStringList{regular[0]});
    QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].DlgType, mtError);
    EXPECT_EQ(log[0].Text, "\"" + fifo + "\" is not a regular file and was not added.\n"
                           "\"/dev/zero\" is not a regular file and was not added.");

    // A file turned into a FIFO after it was added.
    SmtpSink sink;
    Fill(sink.port, {regular[1]});
    ASSERT_TRUE(QFile::remove(regular[1]));
    ASSERT_EQ(::mkfifo(QFile::encodeName(regular[1]).constData(), 0600), 0);
    FifoWatchdog watchdog2(regular[1]);
    QFile::remove(TMainForm::JournalFile());   // a fresh series, not the continuation of one
    ComDialogsTest::QueueAnswer(mrOk);
    form->btnSend->click();
    log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].ApplicationError);
    // The bell in the name is shown, not rung; the status line ends on the error, not on the
    // step the job was at.
    const QString shownName = files.filePath("b\\x07bell");
    EXPECT_EQ(log[0].Text, "Cannot read file " + shownName + ": not a regular file");
    EXPECT_EQ(form->lbProgressInfo->text(), "Error: Cannot read file " + shownName + ": not a regular file");
    EXPECT_EQ(sink.Count(), 1);
    EXPECT_FALSE(form->SendJobRunning());

    // Profiles: the fields stay as they are.
    form->edSMTPName->setEditText("kept.example.org");
    for (const QString &profile : {fifo, QStringLiteral("/dev/zero")}) {
        form->SettingsChanged = false;
        TMainForm::FileDialogsTest::QueueAnswer(profile);
        ComDialogsTest::QueueAnswer(mrOk);
        form->btnLoadConfig->click();
        log = ComDialogsTest::TakeLog();
        ASSERT_EQ(log.size(), 1);
        EXPECT_EQ(log[0].Text, "\"" + profile + "\" is not a regular file.");
        EXPECT_EQ(form->edSMTPName->currentText(), "kept.example.org");
    }

    // A settings file that is a FIFO: reported at start-up, defaults used, never replaced.
    QTemporaryDir settings;
    const QString cfg = settings.filePath("Sendorix.cfg");
    ASSERT_EQ(::mkfifo(QFile::encodeName(cfg).constData(), 0600), 0);
    FifoWatchdog watchdog3(cfg);
    TMainForm::SetSettingsFolderForTests(settings.path());
    ComDialogsTest::QueueAnswer(mrOk);   // the error
    ComDialogsTest::QueueAnswer(mrNo);   // the first-start question of the defaults
    auto other = Start();
    log = ComDialogsTest::TakeLog();
    ASSERT_GE(log.size(), 1);
    EXPECT_EQ(log[0].Text, "\"" + cfg + "\" is not a regular file.");
    other->SettingsChanged = false;
    ComDialogsTest::QueueAnswer(mrOk);
    other->close();
    log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Text, "Unable to write to " + cfg + ": \"" + cfg + "\" is not a regular file.");
    EXPECT_FALSE(QFileInfo(cfg).isFile());
}

// A reply written as markup shows as the characters it is made of, and control characters
// from the server arrive in the protocol as visible escapes.
TEST_F(StopTest, ServerTextStaysText)
{
    SmtpSink sink({"--reject", "1", "--reject-text", "550 <img src='/tmp/p.png'><b>PAY</b>\\x00\\rend"});
    Fill(sink.port, MakeFiles({"a"}));
    form->btnSend->click();
    const QString shown = "Error 550: <img src='/tmp/p.png'><b>PAY</b>\\x00\\x0Dend";
    EXPECT_EQ(form->lbProgressInfo->textFormat(), Qt::PlainText);
    EXPECT_EQ(form->lbProgressInfo->text(), shown);
    EXPECT_EQ(form->EnglishProtocol.last(), shown);
    EXPECT_EQ(form->memoProtocol->toPlainText().split('\n').last(), shown);
    EXPECT_EQ(form->memoProtocol->document()->blockCount(), form->EnglishProtocol.size());
    EXPECT_EQ(VisibleText(QString::fromUtf8("a\tb\x7f\xc2\x85 \xd0\x96")), "a\\x09b\\x7F\\x85 \u0416");
}

// A recipient field that is no address: the window shows the job's box in its language, the
// status line says nothing went out, the protocol names the entry in both languages, the
// server hears nothing and the window is free again.
TEST_F(StopTest, AnInvalidRecipientIsShownInABoxAndNothingIsSent)
{
    struct Row {
        int language;
        QString to, box, status;
    };
    const std::vector<Row> rows = {
        {0, "Ann <ann@example.org> bob@example.org",
         "Invalid address (To): \"Ann <ann@example.org> bob@example.org\" — text after the address: "
         "bob@example.org; separate addresses with commas or semicolons",
         "Nothing sent: an address is not valid, see the protocol"},
        {1, "Петров, Пётр <p@x.test>",
         "Неверный адрес (Кому): \"Петров, Пётр <p@x.test>\" — имя с запятой нужно взять в кавычки: "
         "\"Фамилия, Имя\" <адрес>",
         "Письма не отправлены: ошибка в адресе, см. протокол"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.to.toStdString());
        PickLanguage(r.language);
        SmtpSink sink;
        Fill(sink.port, MakeFiles({"a"}));
        form->edtTo->setEditText(r.to);
        ComDialogsTest::TakeLog();
        ComDialogsTest::QueueAnswer(mrOk);
        form->btnSend->click();
        const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
        ASSERT_EQ(log.size(), 1);
        EXPECT_EQ(log[0].DlgType, mtError);
        EXPECT_EQ(log[0].Text, r.box);
        EXPECT_EQ(form->lbProgressInfo->text(), r.status);
        EXPECT_TRUE(form->EnglishProtocol.last().startsWith("Invalid address (To): \"" + r.to + "\""))
            << form->EnglishProtocol.last().toStdString();
        EXPECT_EQ(sink.Count(), 0);
        EXPECT_FALSE(form->SendJobRunning());
    }
    PickLanguage(0);
}

// For a person to look at (set SENDORIX_SCREENSHOT_DIR): the status line with a markup reply,
// the question asked when the window is closed during a job, the refused-files box and the box for
// a recipient that is no address.
TEST_F(StopTest, Screenshots)
{
    const QString dir = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set SENDORIX_SCREENSHOT_DIR to write screenshots";
    QDir().mkpath(dir);
    for (int language : {0, 1}) {
        PickLanguage(language);
        const QString tag = language ? "ru" : "en";
        form->PageControl->setCurrentWidget(form->TabSheet5);
        form->ShowStatus(LoadFormatted(37 + StringBase, "550", QString::fromUtf8("<img src='/tmp/p.png'><b>PAY</b>\x01")));
        QApplication::processEvents();
        EXPECT_TRUE(form->grab().save(dir + "/stop-status-" + tag + ".png"));
        form->ShowStatus(LoadMessage(TextId::AddressNotSent));
        QApplication::processEvents();
        EXPECT_TRUE(form->grab().save(dir + "/stop-status-address-" + tag + ".png"));
        const QString texts[] = {
            PickStr(language == 1, "Идёт передача. Прервать её и закрыть программу?",
                    "A transfer is in progress. Stop it and close the program?"),
            Format(PickStr(language == 1, "\"%s\" не является обычным файлом и не добавлен.",
                           "\"%s\" is not a regular file and was not added."),
                   "/home/user/Documents/pipe"),
            TextIn(language == 1, TextId::AddressInvalid, TextIn(language == 1, TextId::AddressFieldTo),
                   QString::fromUtf8("Петров, Пётр <p@x.test>"), TextIn(language == 1, TextId::AddressNameComma))};
        int n = 0;
        for (const QString &text : texts) {
            auto box = ComCreateMessageDialog(text, n == 0 ? mtConfirmation : mtError,
                                              n == 0 ? TMsgDlgButtons{mbYes, mbNo} : TMsgDlgButtons{mbOK});
            box->show();
            QApplication::processEvents();
            EXPECT_TRUE(box->grab().save(QString("%1/stop-box%2-%3.png").arg(dir).arg(n).arg(tag)));
            ++n;
        }
    }
}

}  // namespace
