// TVokSMTP: delivers TVokMsg messages to one SMTP server over one TCP
// connection, and composes them (header block, text, base64 attachments).
//
// Use (all on the window's thread):
//   smtp.Host = "mail.example.org"; smtp.Port = "25";
//   smtp.Connect();              if (smtp.Failed) show smtp.ReplyText;
//   smtp.Send(msg);              if (smtp.Failed) show ReplyCode, ReplyText;
//   ... one Send per message ...
//   smtp.Quit();
// Dialogue failures are state (Failed, ReplyCode, ReplyText; OnError is
// raised once and the connection closed). Unusable input, unreadable files
// and socket failures are exceptions.
//
// While it works the component calls vok::ProcessMessages()/PumpMessages()
// (see vok_util.h), so the window can repaint and set Aborted. Every wait
// (connect, TLS handshake, reply, room to write, plain or TLS) runs in short
// slices with Aborted checked between them, and gives up after TimeOut ms,
// or when the server closes, with Failed set.
//
// Greeting: EHLO, and HELO exactly as a plain client says it when the server
// answers EHLO with 500, 501 or 502 or closes the connection on it. When the
// server offers PIPELINING, MAIL FROM and the RCPT TOs (and DATA, without
// CHUNKING) go out in one write and their replies are read in order; the RSET
// goes with the end of the message. With CHUNKING the message goes in BDAT
// chunks, without dot-stuffing, and only after every RCPT TO was accepted, so
// a refused recipient never leaves the message with part of a list.
//
// A reply ends at its own final line; lines the server sent after it stay
// for the next reply. A line that does not start with three digits followed
// by a space, a hyphen or its end fails the reply at once ("Invalid reply
// from the server."), and so does a reply longer than MaxReplyLines lines
// or MaxReplyBytes bytes ("Reply from the server too long.").
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ClientSocket.h"
#include "Timeouts.h"
#include "TlsSession.h"
#include "VokMIME.h"
#include "VokMsg.h"

// Sender is the object raising the event: the TVokSMTP, or for OnConnect,
// OnQuit, OnLookup and OnConnecting the client socket (TClientSocket*).
using TNotifyEvent = std::function<void(void* Sender)>;
using TOnError = std::function<void(void* Sender, int Error, const std::string& Msg)>;
using TOnCodeStartEvent = std::function<void(void* Sender, const std::string& FileName, int64_t BytesCount)>;
using TOnCodeProgressEvent = std::function<void(void* Sender, uint16_t Percent)>;
using TOnSendProgressEvent = std::function<void(void* Sender, uint16_t Percent)>;
// TSocketNotifyEvent (Sender, TCustomWinSocket*) comes from ClientSocket.h.
using TToFromSocketEvent = std::function<void(void* Sender, const std::string& s)>;

// What the component is doing while it lets the window run: an owner that
// wants to stop a job at once can tell a transfer in progress from a wait.
enum TSmtpActivity {
  saIdle,        // between calls
  saConnecting,  // Connect: lookup, connect, greeting, HELO
  saEncoding,    // Send: building the message, encoding its files
  saWaiting,     // waiting for a reply
  saSending      // writing commands or message lines
};

// How a transaction, and so a Send, ended.
enum class TTransactionOutcome {
  toNone,            // no Send yet, or its input was refused before anything was built
  toDelivered,       // every list's transaction got a 2xx after its end of data and RSET
                     // its 250 (an empty list counts as delivered: nothing was due)
  toResetRefused,    // the message was taken (a 2xx after its end of data), but the RSET
                     // after it failed: that list has the message, the connection is gone
  toRefused,         // MAIL FROM, RCPT TO, DATA or the end of data got another reply, or
                     // one that was no SMTP reply
  toConnectionLost,  // the connection dropped, a write failed, or no reply came in time
  toStopped,         // Aborted ended the building, a wait or the message lines
  toFileError,       // an attached file could not be read, or changed since it was encoded
  toTooLarge         // not uploaded: larger than the server's SIZE limit
};

// secNone: plain SMTP (HELO unless authentication is set); secStartTls:
// EHLO, STARTTLS, EHLO again; secTls: TLS from the first byte.
enum TSecurity { secNone = 0, secStartTls = 1, secTls = 2 };
// amAutomatic: PLAIN or LOGIN, whichever the server offers; amOAuth2: the
// password is a token, sent with OAUTHBEARER or XOAUTH2.
enum TAuthMethod { amAutomatic = 0, amPlain = 1, amLogin = 2, amOAuth2 = 3 };

class TVokSMTP {
 public:
  TVokSMTP();
  ~TVokSMTP();
  TVokSMTP(const TVokSMTP&) = delete;
  TVokSMTP& operator=(const TVokSMTP&) = delete;

  // ---- Settings ----
  std::string Port = "25";  // text; not a number means 25
  std::string Host;         // name or dotted address; completes a bare From
  // Has no effect: the Date header is always written in English, as mail
  // requires. Kept, with its default, as one of the component's settings.
  bool LocalizedDates = false;
  uint16_t EncodeProgressStep = 10;
  uint16_t SendProgressStep = 10;
  int32_t TimeOut = vok::DefaultTimeoutMs;  // ms any wait on the server may last (0 or less: the default)
  TSecurity Security = secNone;
  std::string UserName;  // empty: no authentication
  std::string Password;  // password or token; never passed to an event
  TAuthMethod AuthMethod = amAutomatic;
  std::string ExtraCaFile;        // certificates trusted besides the system's (tests)
  std::string PinnedFingerprint;  // SHA-256 of a certificate the user chose to trust
  // Say EHLO even on a plain connection without login, so that the server can offer
  // SMTPUTF8: set when an address has a local part outside ASCII.
  bool InternationalAddresses = false;
  // Set before a Send when another message with the same sender and recipients follows.
  // With PIPELINING and CHUNKING the next message's envelope (without SIZE) then goes out with
  // this one's data, and its replies come in the same round trip; its data still waits for
  // them, in the next Send.
  bool NextMessageFollows = false;
  // Set before a Send when Quit comes right after it: with PIPELINING the QUIT then goes with
  // the message's end (after its RSET), and Quit only reads its reply.
  bool QuitFollows = false;

  // ---- State, read after each call ----
  bool Failed = false;
  bool Connected = false;
  std::string ReplyCode;  // first three characters of the last reply line
  std::string ReplyText;  // its text (<= 64 chars, trimmed), or the socket error
  uint16_t SendPercent = 0;
  uint16_t EncodePercent = 0;
  // Set by the owner to stop at once: encoding ends, a reply or connect wait
  // ends, a write waiting for room gives up and the connection is closed;
  // the message in progress goes without its end-of-data mark. Cleared by
  // Connect.
  bool Aborted = false;
  TSmtpActivity Activity = saIdle;
  // The last Send's message was taken by the server (a 2xx after its end of
  // data) for every recipient list. True also when Failed is set by a
  // later step (RSET) that only cost the connection.
  bool Delivered = false;
  // The recipient lists (1 To, 2 CC, 4 BCC) whose transaction got its 2xx in
  // the last Send, exceptions included.
  unsigned ListsDelivered = 0;
  // Lists the next Send leaves out because they already took the message
  // (a message sent again after a lost connection); cleared by Send.
  unsigned SkipLists = 0;
  // The last failure was the connection's, not a refusal: it dropped, or no
  // reply came in time. Cleared by Connect and Send.
  bool ConnectionLost = false;
  // The Message-Id of the last message built.
  std::string LastMessageId;
  // The machine's fully qualified name, empty when it has none; tests
  // replace it. Unset: the system resolver's answer (vok::FullyQualifiedHostName).
  std::function<std::string()> HostNameSource;
  // After Connect: the server's EHLO keywords (upper case, parameters kept),
  // its SIZE limit (0: none given), the method used to authenticate, and,
  // when the certificate was refused, what it was.
  std::vector<std::string> Capabilities;
  uint64_t SizeLimit = 0;
  std::string AuthUsed;
  bool Encrypted = false;
  bool CertificateRefused = false;
  TCertificateProblem Certificate;
  // After Send: the message was not uploaded because it exceeds SizeLimit.
  bool TooLarge = false;
  // After Connect: the server refused the login (535, 534 or 454 to AUTH); ReplyCode and
  // ReplyText hold its reply. A secret refused once must not be tried again unasked.
  bool LoginRefused = false;
  // The end-of-data mark of the current transaction went out and no reply to it has been
  // read: the server may have the message. Still set after a Send that ended so (the
  // connection lost, the wait abandoned by Aborted); cleared by the next transaction.
  bool EndOfDataUnanswered = false;
  // Asked right before the login when Password is empty: fills Password, or returns false
  // when there is none to be had (Connect then says QUIT and fails).
  std::function<bool()> SecretSource;
  // Called right before each transaction's end-of-data mark is written.
  std::function<void()> BeforeEndOfData;
  uint64_t MessageSize = 0;
  // How the last Send ended: the outcome of the transaction that ended it, or
  // of the step before the transactions (building, the size check).
  TTransactionOutcome Outcome() const { return outcome_; }

  // ---- Events ----
  TNotifyEvent OnConnect;
  TNotifyEvent OnQuit;
  TOnError OnError;
  TNotifyEvent OnBeforeSend;
  TNotifyEvent OnAfterSend;
  TOnCodeStartEvent OnEncodeStart;
  TOnCodeProgressEvent OnEncodeProgress;
  TNotifyEvent OnEncodeEnd;
  TOnSendProgressEvent OnSendProgress;
  TSocketNotifyEvent OnLookup;
  TSocketNotifyEvent OnConnecting;
  TToFromSocketEvent OnSendTextToSocket;       // every line written, line end included
  TToFromSocketEvent OnReceiveTextFromSocket;  // final line of every reply, as received (line end included)
  TToFromSocketEvent OnWriteToSocket;          // the bytes of every write: what goes out together

  // ---- Operations ----
  void Connect();
  // Raises std::runtime_error for "Not connected.", a missing From or no
  // recipients or a server without SMTPUTF8 for an address that needs it,
  // and std::invalid_argument for an entry that is no address (see
  // vok::CheckEntry) or holds CR, LF, "<" or ">"; EFOpenError for an unreadable file or one that
  // changed since it was encoded (the message then goes without its
  // end-of-data mark and the connection is closed). Returns false
  // only when Aborted stopped the building; otherwise true (see Failed).
  bool Send(TVokMsg& msg);
  void Quit();
  // After Connect: the server offered SMTPUTF8, so local parts outside ASCII may be sent.
  bool AcceptsInternationalAddresses() const;
  // The envelope sender: From checked (letter case kept), a bare local name completed with Host.
  std::string SenderOf(const TVokMsg& msg) const;

  // The name given in HELO and in the Message-Id host: the fully qualified
  // name when the machine has one, else the connection's local address as a
  // literal ("[127.0.0.1]"; that form also when not connected).
  std::string LocalHostName() const;
  // The connection underneath (its settings show what Connect chose).
  const TClientSocket& ClientSocket() const { return *socket_; }

  // ---- Composition (used by Send; public so tests and tools can build
  // a message without a server) ----
  // The message lines without line ends, or nothing when Aborted was set
  // while encoding. Fills each item's EncodedLines; replaces Subject by its
  // encoded word in base64 mode.
  std::optional<TMessageLines> BuildMessage(TVokMsg& msg);
  // The To, Cc and Bcc lists of the envelope (entries split at commas and semicolons, every
  // one an address: domains in A-labels, local parts as given, ASCII letters in lower case),
  // checked; throws on unusable input (std::invalid_argument naming an entry that is no
  // address).
  using TRecipientLists = std::array<std::vector<std::string>, 3>;
  static TRecipientLists EnvelopeOf(const TVokMsg& msg);
  // Works out the size offered to the server; true (the error reported) when it is over
  // the server's limit.
  bool RefusedAsTooLarge(const TMessageLines& lines);
  // Encodes one file into item.EncodedLines with the encode events;
  // leaves them untouched when Aborted is set.
  void EncodeAttachment(TAttachedFile& item);

  // One transaction: MAIL FROM, RCPT TO for every address, DATA, the lines,
  // the end of data, RSET (or BDAT chunks instead of DATA and the lines, with
  // CHUNKING). Nothing is sent for an empty list. Lets an unreadable or
  // changed file's EStreamError and socket errors of commands pass.
  // An envelope: sender, recipients, and what MAIL FROM carries after the address.
  struct TEnvelope {
    std::string from;
    std::vector<std::string> list;
    std::string params;
  };
  // next: the envelope of the transaction after this one, sent with this one's data when the
  // server offers PIPELINING and CHUNKING.
  TTransactionOutcome SendTransaction(const std::string& from, const std::vector<std::string>& list,
                                      const TMessageLines& lines, const TEnvelope* next = nullptr);
  // Whether the server has the message after a transaction with this outcome.
  static bool MessageTaken(TTransactionOutcome o) {
    return o == TTransactionOutcome::toDelivered || o == TTransactionOutcome::toResetRefused;
  }

  // Bounds of one reply, line ends included; the longest EHLO answers
  // have a few dozen lines.
  static constexpr size_t MaxReplyLines = 1000;
  static constexpr size_t MaxReplyBytes = 64 * 1024;
  // Message bytes per BDAT chunk: what a message holds in memory, however
  // large its files (the chunk is made in the write buffer).
  static constexpr size_t ChunkBytes = 512u << 10;

  // The AUTH mechanism used for a choice and the server's offer ("" when
  // none fits).
  static std::string ChooseAuthMechanism(TAuthMethod choice, const std::vector<std::string>& offered);
  // Whether a secret may be sent on a connection: only encrypted, or to a
  // server on a loopback address.
  static bool MaySendSecret(bool encrypted, bool loopbackPeer) { return encrypted || loopbackPeer; }

 private:
  std::string ReadReply();
  // TimeOut, or the default when it is 0 or less.
  int WaitLimitMs() const { return TimeOut > 0 ? TimeOut : vok::DefaultTimeoutMs; }
  // ReplyText for a write that made no progress within the limit.
  std::string NoDataText() const;
  void SendText(const std::string& s);
  // Writes s; the events see `shown` instead (secrets masked).
  void SendSecret(const std::string& s, const std::string& shown);
  bool Command(const std::string& text, const char* expected);
  bool StartTls();
  bool Ehlo();
  void ReadCapabilities();
  bool OpenAndGreet();
  bool PlainHello();
  bool Expect(const char* code, const char* alternative = nullptr);
  bool ExpectPositive();  // any 2xx
  bool SendEnvelope(const std::string& from, const std::vector<std::string>& list, bool group, bool chunks,
                    bool reset);
  // Whether the envelope sent ahead is this one; false with the failure set when the server
  // refused it or the connection went meanwhile. reset: another envelope was sent ahead.
  bool TakePrepared(const std::string& from, const std::vector<std::string>& list, bool& ready, bool& reset);
  // Reads the replies to the envelope sent ahead and keeps the verdict for its transaction,
  // leaving this transaction's state (Failed, ReplyCode, ReplyText) as it was.
  void ReadPrepared();
  void SendAhead(const TEnvelope& next);
  void SendLists(const TRecipientLists& lists, unsigned skip, const std::string& sender, bool international,
                 const TMessageLines& lines);
  // The envelope of the transaction after list k of a Send, if one follows.
  std::optional<TEnvelope> EnvelopeAfter(const TRecipientLists& lists, unsigned skip, size_t k,
                                         const std::string& sender, bool international) const;
  // The message lines after DATA's 354, or as BDAT chunks; false when Aborted stopped them.
  bool WriteLinesAsData(const TMessageLines& lines);
  bool WriteLinesAsChunks(const TMessageLines& lines, size_t& chunksSent);
  // Progress for line i (0-based) of n and a turn for the window; false when Aborted.
  bool LineWritten(size_t i, size_t n, uint32_t& threshold);
  // Reads the replies to the chunks before the last one (pipelined): every one a 2xx.
  bool ChunkRepliesAccepted(size_t chunks);
  void MarkEndOfData();
  void BeginChunk(uint64_t left);
  void SendChunk(bool last);
  bool Authenticate();
  bool LogIn();
  // QUIT on a connection still usable after a refusal; the refusal stays the reply to report.
  void QuitKeepingReply();
  bool PeerIsLoopback() const;
  bool HasCapability(const std::string& keyword) const;
  void SendLine(std::string_view line);
  void Flush();
  void ReportError(void* sender);
  void DoConnect();
  void DoDisconnect();
  void CloseSocket();
  void Raise(const TNotifyEvent& ev, void* sender) {
    if (ev) ev(sender);
  }
  void AbortIfAsked();

  // Sets Activity for a scope and puts the previous one back.
  struct ActivityScope {
    ActivityScope(TVokSMTP& s, TSmtpActivity a) : smtp(s), saved(s.Activity) { s.Activity = a; }
    ~ActivityScope() { smtp.Activity = saved; }
    TVokSMTP& smtp;
    TSmtpActivity saved;
  };

  // The encoded files of one message are kept in memory up to this many
  // characters in all; the lines of larger ones are made from the file
  // again while the message is written, so the memory a send needs does
  // not grow with its files.
  static constexpr uint64_t kEncodedMemoryBudget = 4u << 20;
  uint64_t memoryLeft_ = kEncodedMemoryBudget;

  std::unique_ptr<TClientSocket> socket_;
  std::string out_;             // written bytes not yet flushed
  std::string pending_;         // received bytes not yet consumed as reply lines
  std::string lineText_;        // the line passed to OnSendTextToSocket
  bool replyFailed_ = false;    // the last ReadReply got no complete reply
  bool errorReported_ = false;  // OnError already raised for this operation
  bool inData_ = false;         // message lines being written or their reply awaited
  std::unique_ptr<TTlsSession> tls_;
  std::vector<std::string> replyLines_;  // every line of the last reply
  std::string mailParams_;               // appended to MAIL FROM (" SIZE=n")
  bool dataTaken_ = false;               // the current transaction's end of data got its 2xx
  bool heloOnly_ = false;                // the server closed on EHLO: the reopened connection says HELO
  std::string heloOnlyFor_;              // Host:Port of that server
  size_t chunkAt_ = 0;                   // BDAT: where the chunk being made starts in out_
  bool quitWithEnd_ = false;             // this transaction is the last before Quit
  bool quitSent_ = false;                // QUIT went with the last message's end
  // An envelope sent ahead of its transaction's data, and how the server took it.
  struct TPrepared {
    bool sent = false;
    bool replied = false;  // its replies were read
    TEnvelope envelope;
    bool accepted = false;
    bool lost = false;
    std::string code, text;
  } prepared_;
  TTransactionOutcome outcome_ = TTransactionOutcome::toNone;
  // The outcome of a step that failed: a stop, a lost connection or a refusal.
  TTransactionOutcome FailedStep() const;
};
