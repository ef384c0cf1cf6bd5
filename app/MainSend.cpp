// The window's side of a send job: checks of the form, locking the window, the snapshot the
// job takes, and the job's protocol, status and questions shown in the window (TSendJob runs
// the series itself).
#include "MainForm.h"

#include "ComDialogs.h"
#include "Global.h"
#include "Language.h"
#include "MyStringGrid.h"
#include "SendLogic.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
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

}  // namespace

bool TMainForm::CheckBeforeSend()
{
    auto fail = [this](QWidget *page, int message, QWidget *control) {
        PageControl->setCurrentWidget(page);
        ShowErrorAndAbort(message, control);
    };
    if (TrimBlanks(edtTo->currentText()).isEmpty() && TrimBlanks(edtCC->currentText()).isEmpty()
        && TrimBlanks(edBCC->currentText()).isEmpty())
        fail(TabSheet1, TextId::NeedRecipient, edtTo);
    if (TrimBlanks(edSMTPName->currentText()).isEmpty())
        fail(TabSheet4, TextId::NeedServer, edSMTPName);
    if (TrimBlanks(edPort->text()).isEmpty())
        fail(TabSheet4, TextId::NeedPort, edPort);
    if (TrimBlanks(edAccount->text()).isEmpty())
        fail(TabSheet4, TextId::NeedAccount, edAccount);
    if (FileListEmpty())
        fail(TabSheet3, TextId::NoFiles, gridFiles);
    return true;
}

void TMainForm::EnterSendState()
{
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
}

void TMainForm::btnSendClick()
{
    if (SendJobRunning())
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
    if (Job)
        Job->Stop();
}

void TMainForm::AskToStopForClose()
{
    if (!SendJobRunning() || AskingToStop || JobState() == TJobState::jsStopping)
        return;
    AskingToStop = true;
    const int answer = ComMessageDlg(Text(TextId::StopAndClose), mtConfirmation, {mbYes, mbNo}, 0);
    AskingToStop = false;
    if (answer != mrYes || !SendJobRunning())
        return;
    CloseAfterJob = true;
    StopJob();
}

TSendRequest TMainForm::SendRequest()
{
    TSendRequest r;
    r.Russian = comboLanguage->currentIndex() != 0;
    r.SenderName = edtName->currentText();
    r.Account = edAccount->text();
    r.To = edtTo->currentText();
    r.CC = edtCC->currentText();
    r.BCC = edBCC->currentText();
    r.Subject = edtSubject->currentText();
    r.Text = memoText->toPlainText();
    FilesToSend(r.Files);
    // Read once: the total in every subject must agree with how the files are grouped.
    r.FilesPerMessage = SendLogic::ClampFilesPerMessage(spinFilesInMessage->cleanText());
    r.UseZip = cbUseZip->isChecked();
    r.MessageSizeKb = spinOneMessageSize->value();
    r.TempDir = edTempDir->currentText();
    r.AddPartNo = cbAddPartNo->isChecked();
    r.AddFileName = cbAddFileName->isChecked();
    r.TextOnlyInFirst = cbTextOnlyInFirst->isChecked();
    r.Encoding = comboEncoding->currentIndex() == 0 ? te8Bit : teBase64;
    r.Priority = static_cast<TPriority>(std::clamp(comboPriority->currentIndex(), 0, 4));
    r.Server = edSMTPName->currentText();
    r.Port = edPort->text();
    r.TimeoutMs = spinServerTimeout->value() * 1000;
    r.Security = static_cast<TSecurity>(std::clamp(Secure.Security, 0, 2));
    r.User = Secure.User;
    r.AuthMethod = static_cast<TAuthMethod>(std::clamp(Secure.Authentication, 0, 3));
    r.TrustedCertificate = Secure.TrustedCertificate;
    r.ReconnectAttempts = ReconnectAttempts;
    r.ReconnectDelayMs = ReconnectDelayMs;
    r.ProgramTitle = Format("%s %s.%s", "Sendorix", VersionMajor, VersionMinor);
    r.JournalFile = JournalFile();
    r.Identity = TSendJob::SeriesIdentity(r);
    return r;
}

namespace {

// The window's side of a running job: the protocol pages, the status line, the counter and
// the questions.
class TFormJobHost : public TSendJobHost {
public:
    explicit TFormJobHost(TMainForm &form) : Form(form) {}
    void ClearProtocol() override { Form.ClearProtocol(); }
    void ProtocolLine(const QString &russian, const QString &english) override
    {
        Form.AddProtocolLine(russian, english);
    }
    void ProtocolAppend(const QString &russian, const QString &english) override
    {
        Form.AppendToProtocolLine(russian, english);
    }
    void Status(const QString &text) override { Form.ShowStatus(text); }
    void Counter(const QString &text) override { Form.ShowCounter(text); }
    void PaintNow() override { Form.PaintStripNow(); }
    TSecretAnswer Secret(const QString &server, const QString &port) override
    {
        return Form.SecretForJob(server, port);
    }
    void SecretAccepted(const QString &server, const QString &port, const QString &secret) override
    {
        Form.SecretAccepted(server, port, secret);
    }
    void SecretRefused(const QString &server, const QString &port, const QString &reply) override
    {
        Form.SecretRefused(server, port, reply);
    }
    bool TrustCertificate(const QString &server, const TCertificateProblem &problem) override
    {
        return Form.TrustCertificate(server, problem);
    }
    void ErrorBox(const QString &text) override { ComMessageDlg(text, mtError, {mbOK}, 0); }
    void Progress(int percent) override { Form.ShowJobProgress(percent); }

private:
    TMainForm &Form;
};

}  // namespace

void TMainForm::RunSendJob()
{
    TSendRequest request = SendRequest();
    spinFilesInMessage->setValue(request.FilesPerMessage);
    OfferResume(request);
    TFormJobHost host(*this);
    TSendJob job(VokSMTP, VokMsg, host, std::move(request));
    Job = &job;
    EnterSendState();
    // Unlocks the window on every way out, before any error box is shown.
    struct Leave {
        TMainForm *Form;
        ~Leave()
        {
            Form->LeaveSendState();
            Form->Job = nullptr;
        }
    } leave{this};
    Cancelled = false;
    job.Run();
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
