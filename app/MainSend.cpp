// The send job: checks of the form, locking the window, and the series of messages over
// one SMTP connection, written into the protocol as it goes.
#include "MainForm.h"

#include "ComDialogs.h"
#include "Global.h"
#include "Language.h"
#include "MyStringGrid.h"
#include "SendLogic.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEvent>
#include <QThread>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <algorithm>

using namespace SendLogic;

namespace {

// While a job runs the window does not close at once: the job runs inside the window's own
// click handler, so closing it would destroy what the job is working with. The user is asked
// whether to stop the job; the window closes once the stopped job has ended.
class TCloseBlocker : public QObject {
public:
    explicit TCloseBlocker(TMainForm *form) : QObject(form), Form(form) {}

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() != QEvent::Close)
            return false;
        e->ignore();
        Form->AskToStopForClose();
        return true;
    }

private:
    TMainForm *Form;
};

const QString Separator = QStringLiteral("================");

}  // namespace

bool TMainForm::CheckBeforeSend()
{
    auto fail = [this](QWidget *page, int message, QWidget *control) {
        PageControl->setCurrentWidget(page);
        ShowErrorAndAbort(message, control);
    };
    if (TrimBlanks(edtTo->currentText()).isEmpty() && TrimBlanks(edtCC->currentText()).isEmpty()
        && TrimBlanks(edBCC->currentText()).isEmpty())
        fail(TabSheet1, 41, edtTo);
    if (TrimBlanks(edSMTPName->currentText()).isEmpty())
        fail(TabSheet4, 42, edSMTPName);
    if (TrimBlanks(edPort->text()).isEmpty())
        fail(TabSheet4, 43, edPort);
    if (TrimBlanks(edAccount->text()).isEmpty())
        fail(TabSheet4, 44, edAccount);
    if (FileListEmpty())
        fail(TabSheet3, 45, gridFiles);
    return true;
}

void TMainForm::EnterSendState()
{
    SendJobRunning = true;
    setCursor(Qt::WaitCursor);
    ProgressBar->setCursor(Qt::WaitCursor);
    // The protocol page stays readable while the job writes it; only its save button rests
    // (a file dialog opened from inside the running job would hold the job up).
    for (QWidget *w : {TabSheet1, TabSheet2, TabSheet3, TabSheet4,
                       static_cast<QWidget *>(btnSend), static_cast<QWidget *>(btnClose),
                       static_cast<QWidget *>(comboLanguage), static_cast<QWidget *>(btnSaveLog)})
        w->setEnabled(false);
    btnCancel->setEnabled(true);
    btnCancel->setFocus(Qt::OtherFocusReason);
    if (cbJumpToProtocol->isChecked())
        PageControl->setCurrentWidget(TabSheet5);
    if (!CloseBlocker)
        CloseBlocker = new TCloseBlocker(this);
    installEventFilter(CloseBlocker);
    PaceStripPainting(true);
}

void TMainForm::LeaveSendState()
{
    PaceStripPainting(false);   // the job's last values are painted now
    removeEventFilter(CloseBlocker);
    unsetCursor();
    ProgressBar->unsetCursor();
    for (QWidget *w : {TabSheet1, TabSheet2, TabSheet3, TabSheet4,
                       static_cast<QWidget *>(btnSend), static_cast<QWidget *>(btnClose),
                       static_cast<QWidget *>(comboLanguage)})
        w->setEnabled(true);
    btnSaveLog->setEnabled(!EnglishProtocol.isEmpty());   // from the first job on
    const bool cancelHadFocus = btnCancel->hasFocus();
    btnCancel->setEnabled(false);
    if (cancelHadFocus)
        btnSend->setFocus(Qt::OtherFocusReason);
    SendJobRunning = false;
}

void TMainForm::btnSendClick()
{
    if (SendJobRunning)
        return;   // one job at a time, whatever reaches the handler while a job runs
    RunGuarded(this, [this] {
        CheckBeforeSend();
        RunSendJob();
    });
    if (CloseAfterJob) {
        CloseAfterJob = false;
        close();
    }
}

void TMainForm::StopJob()
{
    // The component gives up whatever it waits for (connect, reply, room to write) and stops
    // encoding; it closes the connection, and the message goes without its end-of-data mark.
    StopRequested = true;
    Cancelled = true;
    VokSMTP.Aborted = true;
}

void TMainForm::AskToStopForClose()
{
    static bool asking = false;
    if (!SendJobRunning || asking || StopRequested)
        return;
    asking = true;
    const int answer = ComMessageDlg(PickStr(IsRussian(),
                                             "Идёт передача. Прервать её и закрыть программу?",
                                             "A transfer is in progress. Stop it and close the program?"),
                                     mtConfirmation, {mbYes, mbNo}, 0);
    asking = false;
    if (answer != mrYes || !SendJobRunning)
        return;
    CloseAfterJob = true;
    StopJob();
}

void TMainForm::RunSendJob()
{
    OfferResume();
    EnterSendState();
    // Unlocks the window on every way out, before any error box is shown; the record lets go
    // of the last message's files and their encoded data too, so nothing of a job stays in
    // memory until the next one.
    struct Leave {
        TMainForm *Form;
        ~Leave()
        {
            Form->VokMsg.AttachedFiles.Clear();
            Form->EndJournal();
            Form->LeaveSendState();
        }
    } leave{this};
    try {
        SendSeries();
    } catch (...) {
        CloseAfterFailure();
        // The status line ends on what ended the job, not on the step it was at.
        try {
            throw;
        } catch (const EAbort &) {
            // said already
        } catch (const std::exception &e) {
            ShowStatus(ServerErrorText(37 + StringBase, QString(), VisibleText(ExceptionMessage(e))));
        } catch (...) {
        }
        throw;
    }
}

void TMainForm::CloseAfterFailure()
{
    if (!VokSMTP.Connected)
        return;
    // A polite QUIT, but a broken connection must not hold the window for the full timeout;
    // the status line keeps what the job last showed.
    const QString status = StatusText;
    const int32_t timeout = VokSMTP.TimeOut;
    VokSMTP.TimeOut = std::min<int32_t>(timeout, 5000);
    try {
        VokSMTP.Quit();
    } catch (...) {
        // the connection is closed either way; the job's own error is the one to report
    }
    VokSMTP.TimeOut = timeout;
    ShowStatus(status);
}

void TMainForm::ShowCounter(const QString &text)
{
    // The counter may take the room between the links and the progress bar; a counter
    // still too wide for it gets a smaller font rather than losing digits.
    const int right = lblNumOfMessage->geometry().right();
    const int left = std::max(lblEmail->geometry().right(), lblURL->geometry().right()) + S(8);
    lblNumOfMessage->setGeometry(left, lblNumOfMessage->y(), right - left + 1, lblNumOfMessage->height());
    // A counter as long as the last one measured, in the same room, fits as that one did: the
    // digits of interface fonts share one width. So the fitting is worked out only when the
    // counter grows a digit, not for every message.
    const int room = lblNumOfMessage->contentsRect().width();
    if (text.size() != CounterFit.first || room != CounterFit.second) {
        QFont f = lblNumOfMessage->font();
        f.setPointSize(12);
        while (f.pointSize() > 7 && QFontMetrics(f).horizontalAdvance(text) > room)
            f.setPointSize(f.pointSize() - 1);
        if (f != lblNumOfMessage->font())
            lblNumOfMessage->setFont(f);
        CounterFit = {text.size(), room};
    }
    lblNumOfMessage->setText(text);
    StripChanged(lblNumOfMessage);
}

void TMainForm::ReportUnreadableFile(bool russian, const QString &libraryText)
{
    AppendToProtocolLine(QStringLiteral(" прервано по ошибке."), QStringLiteral(" cancelled by error."));
    QString path;
    int error = 0;
    for (int i = 0; i < VokMsg.AttachedFiles.Count() && !error; ++i) {
        path = QFile::decodeName(QByteArray::fromStdString(VokMsg.AttachedFiles[i].PathName));
        error = FileReadError(VokMsg.AttachedFiles[i].PathName);
    }
    // A file that is readable again by now: the library's own text says what it saw.
    const QString ru = error ? Format("Не удалось прочитать файл %s: %s", path, FileErrorReason(error, true))
                             : Format("Ошибка чтения файла: %s", libraryText);
    const QString en = error ? Format("Cannot read file %s: %s", path, FileErrorReason(error, false))
                             : libraryText;
    AddProtocolLine(ru, en);
    throw Exception(PickStr(russian, ru, en));
}

void TMainForm::SendSeries()
{
    Cancelled = false;
    StopRequested = false;
    VokSMTP.Aborted = false;
    // The protocol's record of a stop at once: the closing steps then end with the user's stop.
    auto stoppedDuring = [this](int number) {
        AppendToProtocolLine(QStringLiteral(" прервано пользователем."), QStringLiteral(" stopped by user."));
        AddProtocolLine(Format("Сообщение #%d не отправлено.", number), Format("Message #%d was not sent.", number));
    };

    // The record, in the order the component expects nothing of but the protocol follows.
    const bool russian = comboLanguage->currentIndex() != 0;
    // A message whose texts the mode's character set cannot carry goes out in UTF-8 instead
    // of losing characters; each message decides for itself, as its subject differs.
    bool utf8 = false;
    auto wire = [russian, &utf8](const QString &text) { return WireText(text, russian, utf8); };
    const QStringList senderTexts = {edtName->currentText(), edAccount->text(), edtCC->currentText(),
                                     edBCC->currentText(), edtTo->currentText()};
    auto fillSender = [&] {
        VokMsg.CharSet = WireCharSet(russian, utf8);
        VokMsg.UserName = wire(senderTexts[0]);
        VokMsg.From = wire(senderTexts[1]);
        VokMsg.CC = wire(senderTexts[2]);
        VokMsg.BCC = wire(senderTexts[3]);
        VokMsg.SendTo = wire(senderTexts[4]);
    };
    const TTextEncoding encoding = comboEncoding->currentIndex() == 0 ? te8Bit : teBase64;
    VokMsg.TextEncoding = encoding;
    fillSender();
    VokMsg.Priority = static_cast<TPriority>(std::clamp(comboPriority->currentIndex(), 0, 4));

    const QString server = edSMTPName->currentText();
    VokSMTP.Host = server.toStdString();
    VokSMTP.Port = edPort->text().toStdString();
    VokSMTP.TimeOut = spinServerTimeout->value() * 1000;
    VokSMTP.Security = static_cast<TSecurity>(std::clamp(Secure.Security, 0, 2));
    VokSMTP.UserName = Secure.User.toStdString();
    VokSMTP.AuthMethod = static_cast<TAuthMethod>(std::clamp(Secure.Authentication, 0, 3));
    // The secret lives in the component only while this job runs.
    struct Forget {
        TVokSMTP &Smtp;
        ~Forget() { Smtp.Password.assign(Smtp.Password.size(), '\0'); Smtp.Password.clear(); }
    } forget{VokSMTP};
    if (!Secure.User.isEmpty()) {
        const std::optional<QString> secret = ObtainSecret(server, edPort->text());
        if (!secret) {
            ShowStatus(LoadMessage(34));
            return;
        }
        VokSMTP.Password = secret->toStdString();
    }

    // Shown before connecting: the attempt may take a while before the component pumps.
    ShowStatus(LoadFormatted(56 + StringBase, server));
    PaintStripNow();

    ClearProtocol();
    AddProtocolText(Format("%s %s.%s", "Sendorix", VersionMajor, VersionMinor));
    AddProtocolText(Separator);
    const QString started = ProtocolDateTime(QDateTime::currentDateTime());
    AddProtocolLine(Format("Передача начата: %s", started), Format("Transfer started: %s", started));
    AddProtocolLine(Format("От: %s", edAccount->text()), Format("From: %s", edAccount->text()));
    AddProtocolLine(Format("Получатель: %s", edtTo->currentText()), Format("To: %s", edtTo->currentText()));
    AddProtocolLine(Format("Копии: %s", edtCC->currentText()), Format("Copies: %s", edtCC->currentText()));
    AddProtocolLine(Format("Скрытые: %s", edBCC->currentText()), Format("Hidden: %s", edBCC->currentText()));
    AddProtocolLine(Format("Тема: %s", edtSubject->currentText()),
                    Format("Subject: %s", edtSubject->currentText()));
    AddProtocolText(Separator);
    const QString port = edPort->text().trimmed();
    AddProtocolLine(Format("Подключение к серверу %s:%s...", server, port),
                    Format("Connecting to server %s:%s...", server, port));

    ConnectTrusting(server);
    if (StopRequested) {
        // Stopped while connecting: no message was begun and nothing is left open.
        VokSMTP.Aborted = true;
        VokSMTP.Quit();
        ShowStatus(LoadMessage(34));
        AddProtocolLine(LoadStr(34), LoadStr(1034));
        return;
    }
    if (VokSMTP.Failed) {
        const QString reply = QString::fromStdString(VokSMTP.ReplyText);
        ShowStatus(LoadMessage(61));
        AddProtocolLine(LoadFormatted(36, reply), LoadFormatted(1036, reply));
        return;
    }
    AddProtocolLine(QStringLiteral("Подключение проведено успешно"), QStringLiteral("Connection successful"));

    QStringList files;
    FilesToSend(files);
    // Read once: the total in every subject must agree with how the files are grouped.
    const int perMessage = ClampFilesPerMessage(spinFilesInMessage->cleanText());
    spinFilesInMessage->setValue(perMessage);
    const bool useZip = cbUseZip->isChecked();
    const int total = MessageCount(static_cast<int>(files.size()), perMessage, useZip);
    const int group = GroupSize(useZip, perMessage);
    const bool addPartNo = cbAddPartNo->isChecked();
    const bool addFileName = cbAddFileName->isChecked();
    const QString subject = edtSubject->currentText();
    const QStringList textLines = TextLines(memoText->toPlainText());

    int number = 1;
    int index = 0;
    int attemptsUsed = 0;   // reconnects of this job
    StartJournal(total);
    if (!ResumeDelivered.isEmpty()) {
        int first = 1;
        while (ResumeDelivered.contains(first))
            ++first;
        AddProtocolLine(Format("Продолжение прерванной серии с сообщения #%d", first),
                        Format("Continuing the interrupted series with message #%d", first));
    }
    while (index < files.size()) {
        if (ResumeDelivered.contains(number)) {
            // Delivered by the job that was cut short: its files are passed over, its number kept.
            const QString id = ResumeDelivered.value(number);
            AddProtocolLine(Format("Сообщение #%d доставлено ранее (%s), пропущено", number, id),
                            Format("Message #%d was delivered before (%s); skipped", number, id));
            index = static_cast<int>(std::min<qsizetype>(files.size(), index + group));
            ++number;
            continue;
        }
        VokMsg.AttachedFiles.Clear();
        VokMsg.Text.clear();

        const QString numbered = NumberedSubject(subject, addPartNo, number, total);
        AddProtocolLine(Format("Сообщение #%d: %s", number, numbered), Format("Message #%d: %s", number, numbered));
        QStringList names;
        for (int j = 0; j < group && index < files.size(); ++j, ++index) {
            const QString name = NamePart(files[index]);
            names << name;
            AddProtocolLine(Format("Файл %s", name), Format("File %s", name));
            VokMsg.AttachedFiles.AddFile(QFile::encodeName(files[index]).toStdString());
        }
        const QString fullSubject = FullSubject(numbered, addFileName, names);
        const bool carriesText = !cbTextOnlyInFirst->isChecked() || number == 1;
        QStringList texts = senderTexts;
        texts << fullSubject;
        if (carriesText)
            texts += textLines;
        utf8 = !std::all_of(texts.begin(), texts.end(),
                            [russian](const QString &t) { return FitsWireCharSet(t, russian); });
        fillSender();
        const std::string wireSubject = wire(fullSubject);   // recoded once

        if (carriesText)
            for (const QString &line : textLines)
                VokMsg.Text.push_back(wire(line));
        // A line the server would refuse in 8 bits goes out intact in base64.
        const TTextEncoding messageEncoding =
            encoding == te8Bit && HasOverlongLine(VokMsg.Text) ? teBase64 : encoding;

        ShowCounter(Format("%d <%d>", number, index));
        // Sent again after a lost connection, to the lists that have not taken it yet and
        // under the same Message-Id; a message whose end of data was accepted never goes twice.
        VokMsg.MessageId.clear();
        unsigned listsDone = 0;
        bool endSeries = false;
        for (bool again = false;; again = true) {
            if (again)
                AddProtocolLine(Format("Сообщение #%d отправляется повторно", number),
                                Format("Message #%d is sent again", number));
            AddProtocolLine(QStringLiteral("Передача..."), QStringLiteral("Transfer..."));
            bool dropped = false;
            VokSMTP.SkipLists = listsDone;
            // Sending encodes the subject in place in base64; a message sent again must start
            // from the subject as typed, or it arrives encoded twice.
            VokMsg.Subject = wireSubject;
            VokMsg.TextEncoding = messageEncoding;
            try {
                VokSMTP.Send(VokMsg);
            } catch (const EFOpenError &e) {
                ReportUnreadableFile(russian, QString::fromLocal8Bit(e.what()));
            } catch (const ESocketError &) {
                // The connection broke under a command; the component has closed it.
                if (StopRequested || ReconnectAttempts <= attemptsUsed)
                    throw;
                dropped = true;
            }
            listsDone |= VokSMTP.ListsDelivered;
            VokMsg.MessageId = VokSMTP.LastMessageId;
            if (VokSMTP.Delivered) {
                JournalMessageDelivered(number, QString::fromStdString(VokMsg.MessageId));
            }
            if (StopRequested) {
                stoppedDuring(number);
                endSeries = true;
                break;
            }
            const bool delivered = VokSMTP.Delivered || (!dropped && !VokSMTP.Failed);
            // A message the server took counts as sent even when the step after it failed.
            if (delivered)
                AppendToProtocolLine(QStringLiteral(" выполнено."), QStringLiteral(" done."));
            else
                AppendToProtocolLine(QStringLiteral(" прервано по ошибке."), QStringLiteral(" cancelled by error."));
            const bool lost = dropped || (VokSMTP.Failed && !VokSMTP.Connected
                                          && (VokSMTP.ConnectionLost || VokSMTP.ReplyCode == "421"));
            if (delivered) {
                // The next message needs a connection again; the last one does not.
                if (lost && !Cancelled && index < files.size() && !Reconnect(attemptsUsed))
                    endSeries = true;
                break;
            }
            if (!lost || Cancelled || !Reconnect(attemptsUsed)) {
                // A refused message has cost the connection (the component closes it on
                // failure): the rest cannot go, and the closing steps below report the
                // server's reason instead of the next message failing on "Not connected.".
                endSeries = Cancelled || (VokSMTP.Failed && !VokSMTP.Connected);
                break;
            }
        }
        if (VokSMTP.TooLarge) {
            const QString size = QString::number(VokSMTP.MessageSize), limit = QString::number(VokSMTP.SizeLimit);
            AddProtocolLine(QStringLiteral("Сообщение занимает %1 байт, сервер принимает не больше %2 байт").arg(size, limit),
                            QStringLiteral("The message has %1 bytes; the server accepts at most %2 bytes").arg(size, limit));
        }
        if (endSeries || Cancelled)
            break;
        ++number;
    }
    files.clear();
    VokMsg.TextEncoding = encoding;

    AddProtocolLine(QStringLiteral("Отключение от сервера..."), QStringLiteral("Disconnecting..."));
    if (StopRequested)
        VokSMTP.Aborted = true;   // closes without waiting for the server
    VokSMTP.Quit();
    AppendToProtocolLine(QStringLiteral(" выполнено."), QStringLiteral(" done."));
    const QString finished = ProtocolDateTime(QDateTime::currentDateTime());
    AddProtocolLine(Format("Передача окончена: %s", finished), Format("Transfer finished: %s", finished));

    if (Cancelled) {
        ShowStatus(LoadMessage(34));
        AddProtocolLine(LoadStr(34), LoadStr(1034));
    } else if (VokSMTP.Failed) {
        const QString code = QString::fromStdString(VokSMTP.ReplyCode);
        const QString text = QString::fromStdString(VokSMTP.ReplyText);
        ShowStatus(ServerErrorText(37 + StringBase, code, text));
        AddProtocolLine(ServerErrorText(37, code, text), ServerErrorText(1037, code, text));
    } else {
        ShowStatus(LoadMessage(35));
        AddProtocolLine(LoadStr(35), LoadStr(1035));
    }
}

bool TMainForm::Reconnect(int &attemptsUsed)
{
    while (attemptsUsed < ReconnectAttempts && !Cancelled) {
        ++attemptsUsed;
        QString reason = VokSMTP.ReplyCode.empty()
                             ? QString::fromStdString(VokSMTP.ReplyText)
                             : QString::fromStdString(VokSMTP.ReplyCode + " " + VokSMTP.ReplyText);
        while (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);   // the sentence below ends it
        const int delayMs = std::min(30000, ReconnectDelayMs << std::min(attemptsUsed - 1, 5));
        const int seconds = (delayMs + 999) / 1000;
        AddProtocolLine(Format("Соединение потеряно: %s. Повторное подключение через %d с (попытка %d из %d)...",
                               reason, seconds, attemptsUsed, ReconnectAttempts),
                        Format("Connection lost: %s. Reconnecting in %d s (attempt %d of %d)...", reason,
                               seconds, attemptsUsed, ReconnectAttempts));
        // The wait keeps the window alive; Cancel ends it.
        QElapsedTimer waited;
        waited.start();
        int shown = -1;
        while (waited.elapsed() < delayMs && !Cancelled) {
            const int left = static_cast<int>((delayMs - waited.elapsed() + 999) / 1000);
            if (left != shown) {
                shown = left;
                ShowStatus(PickStr(IsRussian(), Format("Связь потеряна. Повторное подключение через %d с...", left),
                                   Format("Connection lost. Reconnecting in %d s...", left)));
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        if (Cancelled) {
            AppendToProtocolLine(QStringLiteral(" прервано пользователем."), QStringLiteral(" cancelled by user."));
            return false;
        }
        ShowStatus(LoadFormatted(56 + StringBase, QString::fromStdString(VokSMTP.Host)));
        VokSMTP.Connect();   // the whole opening dialogue, as at the start of the job
        if (StopRequested || Cancelled) {
            if (VokSMTP.Connected) {
                VokSMTP.Aborted = true;
                VokSMTP.Quit();
            }
            AppendToProtocolLine(QStringLiteral(" прервано пользователем."), QStringLiteral(" cancelled by user."));
            return false;
        }
        if (!VokSMTP.Failed) {
            AppendToProtocolLine(QStringLiteral(" выполнено."), QStringLiteral(" done."));
            return true;
        }
        const QString why = QString::fromStdString(VokSMTP.ReplyText);
        AppendToProtocolLine(Format(" ошибка: %s", why), Format(" failed: %s", why));
    }
    return false;
}
