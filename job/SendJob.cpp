#include "SendJob.h"

#include "Addresses.h"
#include "ArchiveSeries.h"
#include "Global.h"
#include "SendLogic.h"
#include "Strings.h"
#include "vok_util.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace SendLogic;

TSendJob::TSendJob(TVokSMTP &smtp, TVokMsg &msg, TSendJobHost &host, TSendRequest request)
    : Smtp(smtp), Msg(msg), Host(host), Request(std::move(request)),
      TextLines_(TextLines(Request.Text)),
      Group(GroupSize(Request.UseZip, Request.FilesPerMessage)),
      Total(MessageCount(static_cast<int>(Request.Files.size()), Request.FilesPerMessage, Request.UseZip))
{
}

QString TSendJob::SeriesIdentity(const TSendRequest &r)
{
    // What makes two jobs the same series: the files, the recipients, the subject and how the
    // files are grouped and numbered. Only a digest is kept: the journal holds no addresses.
    const QStringList parts = {r.Files.join(QChar(0)), r.To, r.CC, r.BCC, r.Subject,
                               QString::number(r.FilesPerMessage), QString::number(r.UseZip),
                               QString::number(r.AddPartNo), QString::number(r.AddFileName)};
    return QString::fromLatin1(
        QCryptographicHash::hash(parts.join(QChar(1)).toUtf8(), QCryptographicHash::Sha256).toHex());
}

template <class... A> void TSendJob::Line(int id, const A &...args)
{
    Host.ProtocolLine(TextIn(true, id, args...), TextIn(false, id, args...));
}

template <class... A> void TSendJob::Append(int id, const A &...args)
{
    Host.ProtocolAppend(TextIn(true, id, args...), TextIn(false, id, args...));
}

void TSendJob::Cancel()
{
    if (State_ == TJobState::jsRunning)
        State_ = TJobState::jsCancelling;
}

void TSendJob::Stop()
{
    // The SMTP client gives up whatever it waits for (connect, reply, room to write) and stops
    // encoding; it closes the connection, and the message goes without its end-of-data mark.
    if (State_ == TJobState::jsIdle)
        return;
    State_ = TJobState::jsStopping;
    Smtp.Aborted = true;
}

void TSendJob::CancelPressed()
{
    // Once the end of data is out, the message is the server's to answer: abandoning the wait
    // would leave a message delivered that the protocol calls not sent.
    if (State_ == TJobState::jsRunning && (Smtp.Activity == saSending || Smtp.EndOfDataUnanswered))
        Cancel();
    else
        Stop();
}

void TSendJob::Run()
{
    State_ = TJobState::jsRunning;
    Outcome_ = TJobOutcome::joNone;
    ReconnectsUsed = 0;
    DeliveredNow = 0;
    Smtp.Aborted = false;
    Smtp.BeforeEndOfData = [this] { NoteInFlight(); };
    // On every way out: the secret lives in the client only while the job runs, the record
    // lets go of the last message's files, and the journal is closed.
    struct Leave {
        TSendJob &Job;
        ~Leave()
        {
            Job.Smtp.Password.assign(Job.Smtp.Password.size(), '\0');
            Job.Smtp.Password.clear();
            Job.Smtp.SecretSource = nullptr;
            Job.Smtp.BeforeEndOfData = nullptr;
            if (Job.SecretGiven.Secret)
                Job.SecretGiven.Secret->fill(QChar(0));
            Job.SecretGiven = {};
            Job.Msg.AttachedFiles.Clear();
            Job.Archive.reset();   // stops packing and removes the temporary archive
            Job.Journal.End();
            Job.State_ = TJobState::jsIdle;
        }
    } leave{*this};
    try {
        if (Open()) {
            SendAll();
            Close();
        }
    } catch (...) {
        Outcome_ = TJobOutcome::joFailed;
        CloseAfterFailure();
        // The status line ends on what ended the job, not on the step it was at.
        try {
            throw;
        } catch (const EAbort &) {
            // said already
        } catch (const std::exception &e) {
            Host.Status(ServerErrorText(IsRussian(), QString(), VisibleText(ExceptionMessage(e))));
        } catch (...) {
        }
        throw;
    }
}

// ---- opening -----------------------------------------------------------------------------

std::string TSendJob::Wire(const QString &text) const
{
    return WireText(text, Request.Russian, Utf8);
}

bool TSendJob::NeedsUtf8(const QString &subject, bool withText) const
{
    return !SenderFits || (withText && !TextFits) || !FitsWireCharSet(subject, Request.Russian);
}

void TSendJob::FillSender()
{
    if (SenderFilledUtf8 == Utf8)
        return;
    SenderFilledUtf8 = Utf8;
    Msg.CharSet = WireCharSet(Request.Russian, Utf8);
    Msg.UserName = Wire(Request.SenderName);
    Msg.From = Wire(Request.Account);
    Msg.CC = Wire(Request.CC);
    Msg.BCC = Wire(Request.BCC);
    Msg.SendTo = Wire(Request.To);
}

bool TSendJob::Open()
{
    Utf8 = false;
    const auto fits = [this](const QString &t) { return FitsWireCharSet(t, Request.Russian); };
    const QStringList sender = {Request.SenderName, Request.Account, Request.CC, Request.BCC, Request.To};
    SenderFits = std::all_of(sender.begin(), sender.end(), fits);
    TextFits = std::all_of(TextLines_.begin(), TextLines_.end(), fits);
    Msg.TextEncoding = Request.Encoding;
    FillSender();
    Msg.Priority = Request.Priority;
    Smtp.Host = Request.Server.toStdString();
    Smtp.Port = Request.Port.toStdString();
    Smtp.TimeOut = Request.TimeoutMs;
    Smtp.Security = Request.Security;
    Smtp.UserName = Request.User.toStdString();
    Smtp.AuthMethod = Request.AuthMethod;
    // An address that is no address ends the job before the password is asked for or the
    // server is reached.
    if (!AddressesValid())
        return false;
    // The secret is asked for once the server is reached and its certificate trusted.
    SecretGiven = {};
    SecretMissing = false;
    Smtp.Password.clear();
    Smtp.SecretSource = nullptr;
    if (!Request.User.isEmpty())
        Smtp.SecretSource = [this] { return ObtainSecret(); };
    // Shown before connecting: the attempt may take a while before the client lets the
    // window run.
    Host.Status(Text(TextId::Connecting, Request.Server));
    Host.PaintNow();
    WriteHeading();
    if (Request.UseZip && !PrepareArchive())
        return false;
    Line(TextId::ConnectingToServer, Request.Server, Request.Port.trimmed());
    ConnectTrusting();
    if (Stopping()) {
        // Stopped while connecting: no message was begun and nothing is left open.
        Smtp.Aborted = true;
        Smtp.Quit();
        Host.Status(Text(TextId::JobStopped));
        Line(TextId::JobStopped);
        Outcome_ = TJobOutcome::joStopped;
        return false;
    }
    if (Smtp.Failed)
        return ConnectFailed();
    if (SecretGiven.Secret)
        Host.SecretAccepted(Request.Server, Request.Port, *SecretGiven.Secret);
    Line(TextId::ConnectionSuccessful);
    return ServerTakesAddresses();
}

bool TSendJob::ObtainSecret()
{
    SecretGiven = Host.Secret(Request.Server, Request.Port);
    SecretMissing = !SecretGiven.Secret;
    if (SecretMissing)
        return false;
    Smtp.Password = SecretGiven.Secret->toStdString();
    return true;
}

bool TSendJob::ConnectFailed()
{
    if (SecretMissing) {
        if (SecretGiven.ErrorEnglish.isEmpty()) {
            // The user declined to give the password.
            Append(TextId::StepCancelledByUser);
            Host.Status(Text(TextId::JobStopped));
            Line(TextId::JobStopped);
            Outcome_ = TJobOutcome::joStopped;
            return false;
        }
        Append(TextId::StepCancelledByError);
        Host.ProtocolLine(SecretGiven.ErrorRussian, SecretGiven.ErrorEnglish);
        Host.Status(IsRussian() ? SecretGiven.ErrorRussian : SecretGiven.ErrorEnglish);
        Outcome_ = TJobOutcome::joFailed;
        return false;
    }
    if (Smtp.LoginRefused) {
        LoginRefused(false);
        Outcome_ = TJobOutcome::joFailed;
        return false;
    }
    Host.Status(Text(TextId::ConnectErrorSeeProtocol));
    Line(TextId::ConnectError, QString::fromStdString(Smtp.ReplyText));
    Outcome_ = TJobOutcome::joConnectFailed;
    return false;
}

void TSendJob::LoginRefused(bool reconnecting)
{
    // The server's own words, code and all, and what to do; the secret is never tried again
    // unasked (repeated failed logins lock accounts).
    const QString reply = QString::fromStdString(Smtp.ReplyCode + " " + Smtp.ReplyText).trimmed();
    const int id = SecretGiven.FromCommand ? TextId::LoginRefusedCommand : TextId::LoginRefused;
    if (reconnecting)
        Append(TextId::StepFailed, reply);
    else
        Append(TextId::StepCancelledByError);
    Line(id, reply);
    Host.Status(Text(id, reply));
    Host.SecretRefused(Request.Server, Request.Port, reply);
}

namespace {

// What is wrong with an entry, in one language.
QString AddressProblemText(const vok::TAddress &a, int field, bool russian)
{
    return TextIn(russian, TextId::AddressInvalid, TextIn(russian, field), QString::fromStdString(a.Entry),
                  SendLogic::AddressProblemReason(a, russian));
}

}  // namespace

bool TSendJob::AddressesValid()
{
    // Checked as typed (UTF-8), before anything goes to a server. A bare local name in From
    // is completed with the server, as the mail library does.
    QString account = Request.Account.trimmed();
    if (!account.contains(QLatin1Char('@')))
        account += QLatin1Char('@') + Request.Server.trimmed();
    const std::pair<int, std::vector<vok::TAddress>> fields[] = {
        {TextId::AddressFieldFrom, {vok::CheckEntry(account.toStdString())}},
        {TextId::AddressFieldTo, vok::CheckEntries(Request.To.toStdString())},
        {TextId::AddressFieldCc, vok::CheckEntries(Request.CC.toStdString())},
        {TextId::AddressFieldBcc, vok::CheckEntries(Request.BCC.toStdString())},
    };
    InternationalAddress.clear();
    for (const auto &[field, list] : fields) {
        for (const vok::TAddress &a : list) {
            if (a.Ok()) {
                if (a.International && InternationalAddress.isEmpty())
                    InternationalAddress = QString::fromStdString(a.Typed);
                continue;
            }
            WriteHeading();
            Host.ProtocolLine(AddressProblemText(a, field, true), AddressProblemText(a, field, false));
            Host.Status(Text(TextId::AddressNotSent));
            Host.ErrorBox(AddressProblemText(a, field, IsRussian()));
            Outcome_ = TJobOutcome::joFailed;
            return false;
        }
    }
    Smtp.InternationalAddresses = !InternationalAddress.isEmpty();
    return true;
}

bool TSendJob::ServerTakesAddresses()
{
    if (InternationalAddress.isEmpty() || Smtp.AcceptsInternationalAddresses())
        return true;
    Line(TextId::AddressNoSmtpUtf8, InternationalAddress);
    Host.Status(Text(TextId::AddressNotSent));
    Host.ErrorBox(Text(TextId::AddressNoSmtpUtf8, InternationalAddress));
    CloseAfterFailure();
    Outcome_ = TJobOutcome::joFailed;
    return false;
}

void TSendJob::WriteHeading()
{
    const QString separator = QStringLiteral("================");
    Host.ClearProtocol();
    Host.ProtocolLine(Request.ProgramTitle, Request.ProgramTitle);
    Host.ProtocolLine(separator, separator);
    Line(TextId::TransferStarted, ProtocolDateTime(QDateTime::currentDateTime()));
    Line(TextId::ProtocolFrom, Request.Account);
    Line(TextId::ProtocolTo, Request.To);
    Line(TextId::ProtocolCopies, Request.CC);
    Line(TextId::ProtocolHidden, Request.BCC);
    Line(TextId::ProtocolSubject, Request.Subject);
    Host.ProtocolLine(separator, separator);
}

void TSendJob::ConnectTrusting()
{
    // A certificate that does not verify is shown; when the user trusts it, it is pinned and
    // the connection tried once more.
    Smtp.PinnedFingerprint = Request.TrustedCertificate.toStdString();
    Smtp.Connect();
    if (!Smtp.Failed || !Smtp.CertificateRefused || Stopping())
        return;
    const TCertificateProblem problem = Smtp.Certificate;
    if (!Host.TrustCertificate(Request.Server, problem))
        return;
    Smtp.PinnedFingerprint = problem.Fingerprint;
    Smtp.Connect();
}

// ---- the series --------------------------------------------------------------------------

void TSendJob::SendAll()
{
    if (Archive && !StartArchiveSeries())
        return;
    Journal.Start(Request.JournalFile, Request.Identity, Total, Request.Delivered, Request.InFlight);
    if (!Request.Delivered.isEmpty() || !Request.InFlight.isEmpty()) {
        int first = 1;
        while (Request.Delivered.contains(first))
            ++first;
        Line(TextId::ContinuingSeries, first);
    }
    int index = 0;
    for (int number = 1; Archive ? number <= Total : index < Request.Files.size(); ++number) {
        if (Request.Delivered.contains(number)) {
            // Delivered by the job that was cut short: its files are passed over, its number kept.
            Line(TextId::DeliveredBefore, number, Request.Delivered.value(number));
            index = static_cast<int>(std::min<qsizetype>(Request.Files.size(), index + Group));
            continue;
        }
        std::optional<TMessage> m = Archive ? ArchiveMessage(number) : NextMessage(number, index);
        if (!m)
            break;
        if (Request.InFlight.contains(number))
            Line(TextId::ResendPossiblyDelivered, number, Request.InFlight.value(number));
        Host.Counter(Format("%d <%d>", number, Archive ? number : index));
        if (!Deliver(*m))
            break;
    }
    Msg.TextEncoding = Request.Encoding;
}

TSendJob::TMessage TSendJob::NextMessage(int number, int &index)
{
    Msg.AttachedFiles.Clear();
    Msg.Text.clear();
    const QString numbered = NumberedSubject(Request.Subject, Request.AddPartNo, number, Total);
    Line(TextId::MessageStarted, number, numbered);
    QStringList names;
    for (int j = 0; j < Group && index < Request.Files.size(); ++j, ++index) {
        const QString &path = Request.Files[index];
        names << NamePart(path);
        Line(TextId::MessageFile, names.last());
        Msg.AttachedFiles.AddFile(QFile::encodeName(path).toStdString());
    }
    const QString subject = FullSubject(numbered, Request.AddFileName, names);
    const bool carriesText = !Request.TextOnlyInFirst || number == 1;
    // A message whose texts the mode's character set cannot carry goes out in UTF-8 instead
    // of losing characters; each message decides for itself, as its subject differs.
    Utf8 = NeedsUtf8(subject, carriesText);
    FillSender();

    TMessage m;
    m.Number = number;
    m.Subject = Wire(subject);   // recoded once
    if (carriesText)
        for (const QString &line : TextLines_)
            Msg.Text.push_back(Wire(line));
    // A line the server would refuse in 8 bits goes out intact in base64.
    m.Encoding = Request.Encoding == te8Bit && HasOverlongLine(Msg.Text) ? teBase64 : Request.Encoding;
    m.LastOne = index >= Request.Files.size();
    return m;
}

bool TSendJob::Deliver(TMessage &m)
{
    // Sent again after a lost connection, to the lists that have not taken it yet and under
    // the same Message-Id; a message whose end of data was accepted never goes twice.
    // A message the server may have from a job cut short keeps its Message-Id too.
    Msg.MessageId = Request.InFlight.value(m.Number).toStdString();
    CurrentNumber = m.Number;
    InFlightNumber = 0;
    TAttempt attempt = SendOnce(m);
    while (attempt == TAttempt::Again) {
        Line(m.Unanswered ? TextId::SentAgainPossiblyDelivered : TextId::SentAgain, m.Number);
        attempt = SendOnce(m);
    }
    if (Smtp.TooLarge)
        Line(TextId::MessageTooLarge, QString::number(Smtp.MessageSize), QString::number(Smtp.SizeLimit));
    return attempt == TAttempt::Next && !Cancelled();
}

TSendJob::TAttempt TSendJob::SendOnce(TMessage &m)
{
    Line(TextId::Transferring);
    bool dropped = false;
    Smtp.SkipLists = m.ListsDone;
    // Lets the client send the next message's envelope, or the QUIT, with this one's data.
    Smtp.NextMessageFollows = !m.LastOne;
    Smtp.QuitFollows = m.LastOne;
    // Sending encodes the subject in place in base64; every attempt starts from the subject
    // as typed, or a message sent again arrives encoded twice.
    Msg.Subject = m.Subject;
    Msg.TextEncoding = m.Encoding;
    try {
        Smtp.Send(Msg);
    } catch (const EFOpenError &e) {
        ReportUnreadableFile(QString::fromLocal8Bit(e.what()));
    } catch (const ESocketError &) {
        // The connection broke under a command; the client has closed it.
        if (Stopping() || Request.ReconnectAttempts <= ReconnectsUsed)
            throw;
        dropped = true;
    }
    m.ListsDone |= Smtp.ListsDelivered;
    m.Unanswered = m.Unanswered || Smtp.EndOfDataUnanswered;
    Msg.MessageId = Smtp.LastMessageId;
    SettleJournal(m);
    if (Stopping() && !Smtp.Delivered) {
        Append(TextId::StepStoppedByUser);
        Line(m.Unanswered ? TextId::MessagePossiblyDelivered : TextId::MessageNotSent, m.Number);
        return TAttempt::EndSeries;
    }
    // A message the server took counts as sent even when the step after it failed.
    const bool delivered = Smtp.Delivered || (!dropped && !Smtp.Failed);
    Append(delivered ? TextId::StepDone : TextId::StepCancelledByError);
    const bool lost = dropped || (Smtp.Failed && !Smtp.Connected && (Smtp.ConnectionLost || Smtp.ReplyCode == "421"));
    if (delivered) {
        ++DeliveredNow;
        // The next message needs a connection again; the last one does not.
        if (lost && !Cancelled() && !m.LastOne && !Reconnect())
            return TAttempt::EndSeries;
        return TAttempt::Next;
    }
    if (lost && !Cancelled() && Reconnect())
        return TAttempt::Again;
    if (m.Unanswered)
        Line(TextId::MessagePossiblyDelivered, m.Number);
    // A refused message has cost the connection (the client closes it on failure): the rest
    // cannot go, and the closing steps report the server's reason instead of the next
    // message failing on "Not connected.".
    return Cancelled() || (Smtp.Failed && !Smtp.Connected) ? TAttempt::EndSeries : TAttempt::Next;
}

void TSendJob::NoteInFlight()
{
    // Just before the end-of-data mark: from here the server may have the message although
    // the program never hears so (a crash, a lost connection), and a resumed series must
    // send it again under the same Message-Id.
    if (InFlightNumber == CurrentNumber)
        return;   // one line per message, though each list's transaction comes here
    InFlightNumber = CurrentNumber;
    Journal.MessageInFlight(CurrentNumber, QString::fromStdString(Smtp.LastMessageId));
}

void TSendJob::SettleJournal(const TMessage &m)
{
    if (Smtp.Delivered) {
        Journal.MessageDelivered(m.Number, QString::fromStdString(Msg.MessageId));
    } else if (InFlightNumber == m.Number && !m.Unanswered && m.ListsDone == 0) {
        // The server answered the end of data with a refusal: it does not have the message.
        Journal.MessageNotSent(m.Number);
        InFlightNumber = 0;
    }
}

bool TSendJob::Reconnect()
{
    while (ReconnectsUsed < Request.ReconnectAttempts && !Cancelled()) {
        ++ReconnectsUsed;
        QString reason = Smtp.ReplyCode.empty() ? QString::fromStdString(Smtp.ReplyText)
                                                : QString::fromStdString(Smtp.ReplyCode + " " + Smtp.ReplyText);
        while (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);   // the sentence ends it
        const int delayMs = std::min(30000, Request.ReconnectDelayMs << std::min(ReconnectsUsed - 1, 5));
        Line(TextId::ConnectionLostReconnecting, reason, (delayMs + 999) / 1000, ReconnectsUsed,
             Request.ReconnectAttempts);
        if (!WaitBeforeReconnect(delayMs)) {
            Append(TextId::StepCancelledByUser);
            return false;
        }
        Host.Status(Text(TextId::Connecting, Request.Server));
        Smtp.Connect();   // the whole opening dialogue, as at the start of the job
        if (Cancelled()) {
            if (Smtp.Connected) {
                Smtp.Aborted = true;
                Smtp.Quit();
            }
            Append(TextId::StepCancelledByUser);
            return false;
        }
        if (!Smtp.Failed) {
            Append(TextId::StepDone);
            return true;
        }
        if (Smtp.LoginRefused) {
            LoginRefused(true);
            return false;
        }
        Append(TextId::StepFailed, QString::fromStdString(Smtp.ReplyText));
    }
    return false;
}

bool TSendJob::WaitBeforeReconnect(int delayMs)
{
    // The wait keeps the window alive; Cancel ends it.
    QElapsedTimer waited;
    waited.start();
    int shown = -1;
    while (waited.elapsed() < delayMs && !Cancelled()) {
        const int left = static_cast<int>((delayMs - waited.elapsed() + 999) / 1000);
        if (left != shown) {
            shown = left;
            Host.Status(Text(TextId::ReconnectingIn, left));
        }
        vok::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !Cancelled();
}

// ---- closing -----------------------------------------------------------------------------

void TSendJob::Close()
{
    Line(TextId::Disconnecting);
    if (Stopping())
        Smtp.Aborted = true;   // closes without waiting for the server
    Smtp.Quit();
    Append(TextId::StepDone);
    Line(TextId::TransferFinished, ProtocolDateTime(QDateTime::currentDateTime()));
    // A series that got through is done, also when Cancel came during its last message.
    if (Cancelled() && !SeriesDelivered()) {
        Host.Status(Text(TextId::JobStopped));
        Line(TextId::JobStopped);
        Outcome_ = TJobOutcome::joStopped;
    } else if (Smtp.Failed && !SeriesDelivered()) {
        // The client's size refusal is said in the interface's words; the server's replies as
        // they came.
        const QString code = QString::fromStdString(Smtp.ReplyCode);
        auto text = [this](bool russian) {
            return Smtp.TooLarge ? TextIn(russian, TextId::MessageTooLarge, QString::number(Smtp.MessageSize),
                                          QString::number(Smtp.SizeLimit))
                                 : QString::fromStdString(Smtp.ReplyText);
        };
        Host.Status(ServerErrorText(IsRussian(), code, text(IsRussian())));
        Host.ProtocolLine(ServerErrorText(true, code, text(true)), ServerErrorText(false, code, text(false)));
        Outcome_ = TJobOutcome::joFailed;
    } else {
        // Every message was taken: whatever the server did after the last one (closing with
        // 421, refusing RSET or QUIT) is worth a line, not an error.
        if (Smtp.Failed) {
            const QString reply = QString::fromStdString(Smtp.ReplyCode.empty() ? Smtp.ReplyText
                                                                                  : Smtp.ReplyCode + " " + Smtp.ReplyText);
            Line(TextId::AfterLastMessage, reply);
        }
        Host.Status(Text(TextId::JobDone));
        Line(TextId::JobDone);
        Outcome_ = TJobOutcome::joDone;
    }
}

void TSendJob::CloseAfterFailure()
{
    if (!Smtp.Connected)
        return;
    // A polite QUIT, but a broken connection must not hold the window for the full timeout.
    const int32_t timeout = Smtp.TimeOut;
    Smtp.TimeOut = std::min<int32_t>(timeout, 5000);
    try {
        Smtp.Quit();
    } catch (...) {
        // the connection is closed either way; the job's own error is the one to report
    }
    Smtp.TimeOut = timeout;
}

void TSendJob::ReportUnreadableFile(const QString &libraryText)
{
    Append(TextId::StepCancelledByError);
    QString path;
    int error = 0;
    for (int i = 0; i < Msg.AttachedFiles.Count() && !error; ++i) {
        path = QFile::decodeName(QByteArray::fromStdString(Msg.AttachedFiles[i].PathName));
        error = FileReadError(Msg.AttachedFiles[i].PathName);
    }
    // A file that is readable again by now: the library's own text says what it saw.
    auto text = [&](bool russian) {
        return error ? TextIn(russian, TextId::CannotReadFile, path, FileErrorReason(error, russian))
                     : TextIn(russian, TextId::FileReadError, libraryText);
    };
    Host.ProtocolLine(text(true), text(false));
    throw Exception(text(Request.Russian));
}
