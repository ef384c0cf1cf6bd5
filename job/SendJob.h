// The send job: one series of messages over one SMTP connection. It takes a snapshot of what
// the window holds, fills the one message record and hands it to the one SMTP client, message
// by message, connecting again when the connection is lost and sending again what did not
// arrive, and keeps the series' journal. What it has to say (protocol lines in both languages,
// status, counter) and what it has to ask (the password, a certificate to trust) go through
// TSendJobHost, which the window implements; the tests implement it too.
//
// Everything runs on the caller's thread. While the SMTP client works it lets the caller's
// event loop run through the mail library's hook (vok::SetProcessMessagesHook), and that is
// where Cancel() and Stop() arrive.
#pragma once

#include "SendJournal.h"
#include "VokMsg.h"
#include "VokSMTP.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class TArchiveSeries;

// How often a job connects again after the connection was lost, unless the settings say
// otherwise, and the first wait before it, which doubles with each attempt up to 30 s.
inline constexpr int DefaultReconnectAttempts = 5;
inline constexpr int DefaultReconnectDelayMs = 2000;

// What the window holds when Send is clicked.
struct TSendRequest {
    bool Russian = false;   // Russian mode: KOI8-R on the wire; else ISO-8859-1
    QString SenderName, Account, To, CC, BCC, Subject;
    QString Text;
    QStringList Files;       // full paths, in the file list's order
    int FilesPerMessage = 1;
    // The internal archiver: with UseZip the files go as one ZIP archive, packed in TempDir
    // (empty: the system's), in parts that keep each message within MessageSizeKb KiB.
    int MessageSizeKb = 10240;
    QString TempDir;
    bool UseZip = false, AddPartNo = true, AddFileName = false, TextOnlyInFirst = false;
    TTextEncoding Encoding = te8Bit;
    TPriority Priority = prNormal;
    // The server and how to reach it.
    QString Server, Port;
    int TimeoutMs = vok::DefaultTimeoutMs;
    TSecurity Security = secNone;
    QString User;                 // empty: no login
    TAuthMethod AuthMethod = amAutomatic;
    QString TrustedCertificate;   // the fingerprint the user chose to trust for this server
    int ReconnectAttempts = DefaultReconnectAttempts;
    int ReconnectDelayMs = DefaultReconnectDelayMs;
    QString ProgramTitle;   // the protocol's first line: the program and its version
    // The journal (empty: none), the series' identity and the messages an earlier job of this
    // series delivered (message number -> Message-Id), which this one skips.
    QString JournalFile;
    QString Identity;
    QMap<int, QString> Delivered;
    // Messages whose end of data went out but whose reply never came (message number ->
    // Message-Id): sent again under the same Message-Id, so that a copy can be recognised.
    QMap<int, QString> InFlight;
    // What that job's journal says of its archive: the part size, the files it was packed from
    // and, once packing had ended, its SHA-256.
    qint64 ArchivePartSize = 0;
    QString ArchiveFiles, ArchiveSha256;
};

// Where the password for a login came from, as the window answers the job.
struct TSecretAnswer {
    std::optional<QString> Secret;   // nothing: the user declined, or the command failed
    bool FromCommand = false;        // a password command printed it
    // Why there is none when the password command failed, in both languages (empty when the
    // user declined).
    QString ErrorRussian, ErrorEnglish;
};

// What the job tells and asks while it runs.
class TSendJobHost {
public:
    virtual ~TSendJobHost() = default;
    // The protocol is emptied at the start; then lines come in both languages, and text is
    // added to the last line as its step ends.
    virtual void ClearProtocol() = 0;
    virtual void ProtocolLine(const QString &russian, const QString &english) = 0;
    virtual void ProtocolAppend(const QString &russian, const QString &english) = 0;
    // The status line and the message counter, in the interface language.
    virtual void Status(const QString &text) = 0;
    virtual void Counter(const QString &text) = 0;
    // Before a step that may block for a while (connecting): show what has been said.
    virtual void PaintNow() {}
    // The password for the login, asked once the server is reached (after any question about
    // its certificate).
    virtual TSecretAnswer Secret(const QString &server, const QString &port) = 0;
    // The server took the login with this secret (it may now be remembered) ...
    virtual void SecretAccepted(const QString &server, const QString &port, const QString &secret)
    {
        (void)server, (void)port, (void)secret;
    }
    // ... or refused it with this reply: the secret must not be used again unasked.
    virtual void SecretRefused(const QString &server, const QString &port, const QString &reply)
    {
        (void)server, (void)port, (void)reply;
    }
    // A certificate that did not verify: true when the user trusts exactly this one for the
    // server (the job then pins it and connects again).
    virtual bool TrustCertificate(const QString &server, const TCertificateProblem &problem) = 0;
    // An error the user must see before the job ends (an address that is not one), in the
    // interface language; the window shows it in a box.
    virtual void ErrorBox(const QString &text) { (void)text; }
    // How far a long step (packing) has got, 0 to 100.
    virtual void Progress(int percent) { (void)percent; }
};

enum class TJobState {
    jsIdle,         // before Run and after it
    jsRunning,
    jsCancelling,   // Cancel: the message in progress goes out, then the series ends
    jsStopping      // Stop: whatever is in progress is abandoned at once
};

// How a job ended.
enum class TJobOutcome {
    joNone,           // not run
    joDone,           // every message of the series was delivered
    joStopped,        // the user cancelled or stopped it, or declined the password
    joConnectFailed,  // the first connection failed
    joFailed          // the server refused, or the connection could not be had again
};

class TSendJob {
public:
    TSendJob(TVokSMTP &smtp, TVokMsg &msg, TSendJobHost &host, TSendRequest request);
    ~TSendJob();
    TSendJob(const TSendJob &) = delete;
    TSendJob &operator=(const TSendJob &) = delete;

    // Runs the whole series. A file that cannot be read and a broken connection that cannot
    // be had again end it with an exception, after the protocol and the status line said
    // why and the connection was closed.
    void Run();
    // From the event loop while Run works: end after the message in progress ...
    void Cancel();
    // ... or at once.
    void Stop();
    // What the Cancel button does: the first press ends the series after the message in
    // progress (also while the server has yet to answer its end of data); a second press, or
    // one while connecting, encoding or waiting for anything else, stops at once.
    void CancelPressed();

    TJobState State() const { return State_; }
    TJobOutcome Outcome() const { return Outcome_; }

    // What makes two jobs the same series (the journal's key): a digest of the files, the
    // recipients, the subject and how the files are grouped and numbered.
    static QString SeriesIdentity(const TSendRequest &request);

private:
    TVokSMTP &Smtp;
    TVokMsg &Msg;
    TSendJobHost &Host;
    const TSendRequest Request;
    TJobState State_ = TJobState::jsIdle;
    TJobOutcome Outcome_ = TJobOutcome::joNone;
    const QStringList TextLines_;   // the text, split once
    const int Group;                // files per message
    int Total;                      // messages in the series (parts of the archive: known once packed)
    TSendJournal Journal;
    int ReconnectsUsed = 0;
    bool Utf8 = false;   // the message in progress goes out in UTF-8
    // Whether the fields that stay the same all through the series (the sender and the lists;
    // the text) fit the mode's character set: worked out once, not for every message.
    bool SenderFits = true, TextFits = true;
    std::optional<bool> SenderFilledUtf8;   // the character set the sender fields were recoded for
    bool NeedsUtf8(const QString &subject, bool withText) const;
    int DeliveredNow = 0;   // messages this job delivered
    // Every message of the series is delivered, by this job or an earlier one.
    bool SeriesDelivered() const { return DeliveredNow + Request.Delivered.size() >= Total; }

    // The message in progress.
    struct TMessage {
        int Number = 0;
        std::string Subject;
        TTextEncoding Encoding = te8Bit;
        bool LastOne = false;
        unsigned ListsDone = 0;
        bool Unanswered = false;   // an attempt's end of data got no reply: possibly delivered
    };
    int CurrentNumber = 0;    // the message being delivered
    int InFlightNumber = 0;   // the message whose end of data the journal has recorded
    bool SecretMissing = false;   // the login had no secret: declined, or the command failed
    // The login: where its secret came from, and why there is none.
    TSecretAnswer SecretGiven;
    bool ObtainSecret();
    bool ConnectFailed();   // reports a failed first connection; false
    void LoginRefused(bool reconnecting);
    void NoteInFlight();
    void SettleJournal(const TMessage &m);

    bool Cancelled() const { return State_ == TJobState::jsCancelling || State_ == TJobState::jsStopping; }
    bool Stopping() const { return State_ == TJobState::jsStopping; }

    template <class... A> void Line(int id, const A &...args);
    template <class... A> void Append(int id, const A &...args);
    std::string Wire(const QString &text) const;
    void FillSender();

    bool Open();   // the record, the login, the connection; false when the job ends there
    // Every entry of From, To, Cc and Bcc is an address; else the protocol's heading and the
    // first entry that is not are written and the job ends (false). Asks for EHLO when an address needs SMTPUTF8.
    bool AddressesValid();
    // After connecting: a server without SMTPUTF8 for such an address ends the job (false).
    bool ServerTakesAddresses();
    QString InternationalAddress;   // the first address that needs SMTPUTF8, as typed
    void WriteHeading();
    void ConnectTrusting();
    void SendAll();
    // Fills the record with message `number` and the files from `index` on (moved past them).
    TMessage NextMessage(int number, int &index);
    bool Deliver(TMessage &m);   // false: the series ends
    enum class TAttempt { Next, Again, EndSeries };
    TAttempt SendOnce(TMessage &m);
    // Waits and connects again, up to the attempts left; true when connected.
    bool Reconnect();
    bool WaitBeforeReconnect(int delayMs);
    void Close();
    void CloseAfterFailure();
    [[noreturn]] void ReportUnreadableFile(const QString &libraryText);

    // The internal archiver (SendJobArchive.cpp). Packing starts before the connection; the
    // series is the archive's parts.
    std::unique_ptr<TArchiveSeries> Archive;
    bool PrepareArchive();       // false: the job ends (stopped, or said why)
    bool StartArchiveSeries();   // after connecting: the part size and the number of parts
    std::optional<TMessage> ArchiveMessage(int number);   // nothing: stopped while waiting
    bool WaitForArchive(uint64_t bytes);   // until that many bytes are packed; false: stopped
    [[noreturn]] void ArchiveFailed();   // says what ended packing and throws
    void ReportPacking();   // the files packed since last told, the progress, the end
    bool SameArchiveAsBefore();   // a resumed series: false (said why) when the files changed
    uint64_t ArchiveMessageOverhead() const;
    QStringList ArchiveNote(int number) const;   // after the user's text in every message
};
