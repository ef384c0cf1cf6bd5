// The SMTP dialogue of TVokSMTP: greeting, HELO, one transaction per
// recipient list (MAIL FROM, RCPT TO, DATA, lines, end of data, RSET), QUIT.
#include "VokSMTP.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Addresses.h"
#include "HeaderWords.h"
#include "LocalName.h"
#include "vok_util.h"

namespace {

constexpr size_t kFlushAt = 64 * 1024;  // write in large pieces, not per line
constexpr int kWaitSliceMs = 10;        // reply wait slice; the window runs between

const char kClosedByServer[] = "Connection closed by the server.";
const char kClosedInData[] = "Connection closed by the server during the message data.";
const char kInvalidReply[] = "Invalid reply from the server.";
const char kReplyTooLong[] = "Reply from the server too long.";
const char kStopped[] = "Stopped by the user.";
const char kMoreReplies[] = "The server sent more replies than commands.";

// Every reply line is a three-digit code, then a space and text, a hyphen
// and text (a line of a multi-line reply), or nothing (RFC 5321, 4.2).
bool IsReplyLine(const std::string& line) {
  for (size_t i = 0; i < 3; ++i)
    if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  return line.size() == 3 || line[3] == ' ' || line[3] == '-';
}

// The text as a whole decimal number, or fallback.
// Leading blanks are part of the form: the window's port field is right-aligned ("  25").
long ReadNumber(const std::string& s, long fallback) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return fallback;
  const std::string digits = s.substr(first);
  if (digits.find_first_of(" \t") != std::string::npos) return fallback;
  char* end = nullptr;
  long v = std::strtol(digits.c_str(), &end, 10);
  if (*end != '\0') return fallback;
  return v;
}

// An envelope address must never carry a line break or angle bracket into
// a command: it could end the command and start another one.
void CheckEnvelopeAddress(const std::string& address) {
  if (address.find_first_of(std::string("\r\n<>\0", 5)) != std::string::npos)
    throw std::invalid_argument("Invalid character in e-mail address \"" + vok::HeaderSafe(address) + "\".");
}

// MAIL FROM's parameters without SIZE: what an envelope sent ahead of its message can carry.
std::string WithoutSize(const std::string& params) {
  const size_t at = params.find(" SIZE=");
  if (at == std::string::npos) return params;
  const size_t end = params.find(' ', at + 1);
  return params.substr(0, at) + (end == std::string::npos ? std::string() : params.substr(end));
}

std::string WithoutPrefix(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

}  // namespace

TVokSMTP::TVokSMTP() : socket_(std::make_unique<TClientSocket>()) {
  socket_->SetClientType(ctBlocking);
  socket_->OnLookup = [this](void* sender, TCustomWinSocket* s) {
    if (OnLookup) OnLookup(sender, s);
  };
  socket_->OnConnecting = [this](void* sender, TCustomWinSocket* s) {
    if (OnConnecting) OnConnecting(sender, s);
  };
  socket_->OnConnect = [this](void*, TCustomWinSocket*) { DoConnect(); };
  socket_->OnDisconnect = [this](void*, TCustomWinSocket*) { DoDisconnect(); };
  socket_->OnError = [this](void* sender, TCustomWinSocket*, TErrorEvent kind, int& code) {
    if (kind == eeSend && code == ETIMEDOUT) {
      // The server stopped taking data: that is the error, not the reply
      // it gave before.
      ReplyCode.clear();
      ReplyText = NoDataText();
    } else if (inData_) {
      // The last reply was the 354 that opened the data: reporting it would
      // hide why the message failed.
      ReplyCode.clear();
      ReplyText = code == EPIPE || code == ECONNRESET
                      ? kClosedInData
                      : "Connection lost during the message data: " + std::string(std::strerror(code));
    }
    ConnectionLost = true;
    ReportError(sender);
  };
  socket_->OnIdle = [this] {
    vok::ProcessMessages();
    AbortIfAsked();
  };
}

void TVokSMTP::AbortIfAsked() {
  // A connect or a write waiting for room ends as soon as the owner asks:
  // the socket layer sees its socket closed under it and gives up.
  if (Aborted) CloseSocket();
}

TVokSMTP::~TVokSMTP() {
  // TLS first, while its socket is still open; then close without notifications: the
  // owner's handlers may be gone already.
  tls_.reset();
  socket_.reset();
}

std::string TVokSMTP::LocalHostName() const {
  const std::string qualified = HostNameSource ? HostNameSource() : vok::FullyQualifiedHostName();
  return vok::AnnouncedName(qualified, socket_->Active() ? socket_->Socket().SocketHandle() : -1);
}

void TVokSMTP::DoConnect() {
  Connected = true;
  Raise(OnConnect, socket_.get());
}

void TVokSMTP::DoDisconnect() {
  Connected = false;
  Raise(OnQuit, socket_.get());
}

void TVokSMTP::CloseSocket() {
  prepared_ = {};
  quitSent_ = false;
  out_.clear();
  pending_.clear();
  tls_.reset();
  Encrypted = false;
  try {
    socket_->Close();
  } catch (const ESocketError&) {
    // The connection is gone either way; the failure was already reported.
  }
  Connected = false;
}

void TVokSMTP::ReportError(void* sender) {
  Failed = true;
  CloseSocket();
  // One failure is reported once: a socket error reported by the socket
  // layer is not reported again when the transaction gives up on it.
  if (errorReported_) return;
  errorReported_ = true;
  if (OnError) {
    long code = ReadNumber(ReplyCode, 0);
    OnError(sender, static_cast<int>(code), ReplyText);
  }
}

std::string TVokSMTP::NoDataText() const {
  return "The server took no data within " + std::to_string(WaitLimitMs()) + " ms.";
}

void TVokSMTP::Flush() {
  if (out_.empty()) return;
  std::string data;
  data.swap(out_);
  if (!socket_->Active()) return;
  if (OnWriteToSocket) OnWriteToSocket(this, data);
  // TimeOut as it is now, also when the owner changed it since Connect.
  socket_->SendTimeoutMs = WaitLimitMs();
  if (!tls_) {
    socket_->Socket().SendBytes(data.data(), static_cast<int>(data.size()));
    return;
  }
  tls_->SetTimeoutMs(WaitLimitMs());
  try {
    tls_->Write(data.data(), data.size());
  } catch (const ETlsError& e) {
    if (e.Kind() == ETlsError::tkStopped) {
      // As on a plain connection: the stop closes it, and the caller, finding
      // Aborted set, ends its step.
      CloseSocket();
      return;
    }
    // The same way out as a failed plain write: reported, closed, raised;
    // the text says what happened, not the reply that came before.
    ReplyCode.clear();
    if (e.Kind() == ETlsError::tkTimedOut)
      ReplyText = NoDataText();
    else if (e.Kind() == ETlsError::tkClosed)
      ReplyText = inData_ ? kClosedInData : kClosedByServer;
    else if (inData_)
      ReplyText = "Connection lost during the message data: " + WithoutPrefix(e.what(), "Connection lost: ");
    else
      ReplyText = e.what();
    ConnectionLost = true;
    ReportError(this);
    throw ESocketError(e.what());
  }
}

void TVokSMTP::SendSecret(const std::string& s, const std::string& shown) {
  vok::PumpMessages();
  out_ += s;
  if (OnSendTextToSocket) OnSendTextToSocket(this, shown);
}

void TVokSMTP::SendText(const std::string& s) {
  vok::PumpMessages();
  out_ += s;
  if (out_.size() >= kFlushAt) Flush();
  if (OnSendTextToSocket) OnSendTextToSocket(this, s);
}

void TVokSMTP::SendLine(std::string_view line) {
  out_.append(line);
  out_.append("\r\n", 2);
  if (out_.size() >= kFlushAt) Flush();
  if (OnSendTextToSocket) {
    // One reused buffer: no allocation per line for the event.
    lineText_.assign(line);
    lineText_ += "\r\n";
    OnSendTextToSocket(this, lineText_);
  }
}

std::string TVokSMTP::ReadReply() {
  ActivityScope activity(*this, saWaiting);
  replyFailed_ = false;
  replyLines_.clear();
  Flush();
  using clock = std::chrono::steady_clock;
  const int limitMs = WaitLimitMs();
  const auto deadline = clock::now() + std::chrono::milliseconds(limitMs);
  size_t replyBytes = 0;  // of the lines taken so far, line ends included
  char buf[1024];
  std::string why;
  while (why.empty()) {
    // Whole lines only, one at a time: a line split across receives is
    // assembled first, and whatever follows the final line stays for the
    // next reply.
    size_t eol;
    while (why.empty() && (eol = pending_.find('\n')) != std::string::npos) {
      const std::string received = pending_.substr(0, eol + 1);  // as it came, line end included
      pending_.erase(0, eol + 1);
      std::string line = received.substr(0, eol);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      replyBytes += received.size();
      // A line that is no reply line fails at once: waiting on would only
      // run into the timeout.
      if (!IsReplyLine(line)) {
        why = kInvalidReply;
      } else if (replyLines_.size() >= MaxReplyLines || replyBytes > MaxReplyBytes) {
        why = kReplyTooLong;
      } else {
        replyLines_.push_back(line);
        ReplyCode = vok::TrimText(line.substr(0, 3));
        ReplyText = line.size() > 3 ? vok::TrimText(line.substr(3, 64)) : std::string();
        // "code SP text" or a bare code ends a reply (RFC 5321); "code-text"
        // lines of a multi-line reply go on.
        if (line.size() == 3 || line[3] == ' ') {
          if (OnReceiveTextFromSocket) OnReceiveTextFromSocket(this, received);
          return line;
        }
      }
    }
    if (!why.empty()) break;
    if (Aborted) {
      why = kStopped;
    } else if (!socket_->Active()) {
      why = kClosedByServer;
      ConnectionLost = true;
    } else if (replyBytes + pending_.size() > MaxReplyBytes) {
      why = kReplyTooLong;  // a line without an end
    } else {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
      if (left.count() <= 0) {
        ConnectionLost = true;
        why = "No reply from the server within " + std::to_string(limitMs) + " ms.";
        break;
      }
      vok::PumpMessages();
      int slice = static_cast<int>(std::min<long long>(left.count(), kWaitSliceMs));
      if (Aborted) {
        why = kStopped;  // asked for while the window ran
      } else if (tls_ ? tls_->WaitReadable(slice) : socket_->Socket().WaitReadable(slice)) {
        int n = tls_ ? tls_->Read(buf, sizeof buf) : socket_->Socket().ReceiveBytes(buf, sizeof buf);
        vok::PumpMessages();
        if (tls_ && n == TTlsSession::kNothingYet) {
          // Part of a record: the rest comes in a later slice.
        } else if (n <= 0) {
          why = kClosedByServer;
          ConnectionLost = true;
        } else {
          pending_.append(buf, static_cast<size_t>(n));
        }
      } else {
        // A whole slice went by in the wait: the window's turn, whatever the clock says
        // (the pace check could just miss it and leave the window two slices behind).
        vok::ProcessMessages();
      }
    }
  }
  // No complete reply will come: fail so the caller's check runs the
  // error path. The code is cleared so the last good reply is not shown
  // as if it were the error.
  replyFailed_ = true;
  Failed = true;
  ReplyCode.clear();
  ReplyText = why;
  return std::string();
}

void TVokSMTP::Connect() {
  ActivityScope activity(*this, saConnecting);
  // TLS costs its tables only to a client that uses it (a window warms it up at its start).
  if (Security != secNone) TlsWarmUp();
  errorReported_ = false;
  ConnectionLost = false;
  Aborted = false;  // a stop asked for during an earlier job is done with
  // A server that closed on EHLO is not asked again while the job talks to it.
  heloOnly_ = heloOnly_ && heloOnlyFor_ == Host + ":" + Port;
  if (socket_->Active()) {
    // A connection still open (a job ended by an exception, without Quit):
    // no new greeting would come on it, and its settings could not be
    // changed for another server, so it is closed and we start afresh.
    CloseSocket();
  }
  if (!OpenAndGreet()) return;
  Aborted = false;
  // Without TLS or authentication: EHLO, or the plain HELO of old when the server wants it.
  if (Security == secNone && UserName.empty() && !InternationalAddresses) {
    PlainHello();
    return;
  }
  if (!Ehlo()) return;
  if (Security == secStartTls) {
    // Never fall back to plain text: without STARTTLS nothing more is sent.
    if (!HasCapability("STARTTLS")) {
      Failed = true;
      ReplyCode.clear();
      ReplyText = "The server does not offer STARTTLS.";
      ReportError(this);
      return;
    }
    if (!Command("STARTTLS\r\n", "220")) {
      ReportError(this);
      return;
    }
    if (!StartTls() || !Ehlo()) return;
  }
  if (!UserName.empty() && !LogIn()) ReportError(this);
}

bool TVokSMTP::LogIn() {
  if (Password.empty() && SecretSource && !SecretSource()) {
    ReplyCode.clear();
    ReplyText = "No password given.";
    QuitKeepingReply();
    Failed = true;
    return false;
  }
  if (Authenticate()) return true;
  LoginRefused = !replyFailed_ && (ReplyCode == "535" || ReplyCode == "534" || ReplyCode == "454");
  if (LoginRefused) QuitKeepingReply();
  return false;
}

void TVokSMTP::QuitKeepingReply() {
  const std::string code = ReplyCode, text = ReplyText;
  try {
    Quit();
  } catch (...) {
    // closed either way
  }
  CloseSocket();
  ReplyCode = code;
  ReplyText = text;
}

// Opens the connection (TLS from the first byte when asked) and reads the 220 greeting.
bool TVokSMTP::OpenAndGreet() {
  long port = ReadNumber(Port, 25);
  if (port <= 0 || port > 65535) port = 25;
  const bool dotted = vok::IsIPAddress(Host);
  socket_->SetPort(static_cast<int>(port));
  socket_->SetHost(dotted ? std::string() : Host);
  socket_->SetAddress(dotted ? Host : std::string());
  Failed = false;
  out_.clear();
  pending_.clear();
  prepared_ = {};
  socket_->ConnectTimeoutMs = WaitLimitMs();
  socket_->SendTimeoutMs = WaitLimitMs();
  try {
    socket_->Open();
  } catch (const ESocketError& e) {
    // The code of an earlier reply does not belong to this error.
    ReplyCode.clear();
    ReplyText = e.what();
    Failed = true;
    return false;
  } catch (...) {
    Failed = true;
    return false;
  }
  vok::ProcessMessages();
  if (!Connected) {
    Failed = true;
    return false;
  }
  Capabilities.clear();
  SizeLimit = 0;
  AuthUsed.clear();
  LoginRefused = false;
  CertificateRefused = false;
  Certificate = {};
  if (Security == secTls && !StartTls()) return false;
  ReadReply();
  if (!replyFailed_) Failed = ReplyCode != "220";
  if (Failed) {
    ReportError(this);
    return false;
  }
  return true;
}

// EHLO; a server that does not know it (500, 501, 502) gets the HELO of a plain client, one
// that closes the connection on it gets that HELO on a new connection.
bool TVokSMTP::PlainHello() {
  if (!heloOnly_) {
    SendText("EHLO " + LocalHostName() + "\r\n");
    ReadReply();
    if (!replyFailed_ && ReplyCode == "250") {
      ReadCapabilities();
      return true;
    }
    const bool unknown = !replyFailed_ && (ReplyCode == "500" || ReplyCode == "501" || ReplyCode == "502");
    const bool closed = replyFailed_ && !Aborted && ReplyText == kClosedByServer;
    if (!unknown && !closed) {
      Failed = true;
      ReportError(this);
      return false;
    }
    if (closed) {
      heloOnly_ = true;
      heloOnlyFor_ = Host + ":" + Port;
      CloseSocket();
      ConnectionLost = false;
      if (!OpenAndGreet()) return false;
    }
  }
  Failed = false;
  if (!Command("HELO " + LocalHostName() + "\r\n", "250")) {
    ReportError(this);
    return false;
  }
  return true;
}

bool TVokSMTP::Command(const std::string& text, const char* expected) {
  SendText(text);
  ReadReply();
  if (!replyFailed_) Failed = ReplyCode != expected;
  return !Failed;
}

bool TVokSMTP::StartTls() {
  // Anything the server sent before the handshake is not to be trusted.
  pending_.clear();
  TTlsSettings settings;
  settings.ServerName = Host;
  settings.ExtraCaFile = ExtraCaFile;
  settings.PinnedFingerprint = PinnedFingerprint;
  settings.TimeoutMs = WaitLimitMs();
  settings.Idle = [] { vok::PumpMessages(); };
  // The stop the plain connection's idle handler acts on.
  settings.Stopped = [this] { return Aborted; };
  try {
    tls_ = std::make_unique<TTlsSession>(socket_->Socket().SocketHandle(), settings);
  } catch (const ETlsError& e) {
    Failed = true;
    ReplyCode.clear();
    ReplyText = e.what();
    CertificateRefused = e.IsCertificate();
    Certificate = e.Certificate();
    tls_.reset();
    ReportError(this);
    return false;
  }
  Encrypted = true;
  return true;
}

bool TVokSMTP::Ehlo() {
  if (!Command("EHLO " + LocalHostName() + "\r\n", "250")) {
    ReportError(this);
    return false;
  }
  ReadCapabilities();
  return true;
}

void TVokSMTP::ReadCapabilities() {
  Capabilities.clear();
  SizeLimit = 0;
  for (size_t i = 1; i < replyLines_.size(); ++i) {
    std::string cap = vok::TrimText(replyLines_[i].substr(std::min<size_t>(4, replyLines_[i].size())));
    for (char& c : cap) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (cap.rfind("SIZE", 0) == 0) SizeLimit = std::strtoull(cap.c_str() + 4, nullptr, 10);
    Capabilities.push_back(cap);
  }
}

bool TVokSMTP::HasCapability(const std::string& keyword) const {
  for (const std::string& c : Capabilities)
    if (c == keyword || c.rfind(keyword + " ", 0) == 0 || c.rfind(keyword + "=", 0) == 0) return true;
  return false;
}

bool TVokSMTP::PeerIsLoopback() const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(socket_->Socket().SocketHandle(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return false;
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
  }
  if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a->sin6_addr) && a->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

std::string TVokSMTP::ChooseAuthMechanism(TAuthMethod choice, const std::vector<std::string>& offered) {
  auto has = [&](const char* m) { return std::find(offered.begin(), offered.end(), m) != offered.end(); };
  switch (choice) {
    case amPlain:
      return "PLAIN";
    case amLogin:
      return "LOGIN";
    case amOAuth2:
      return has("OAUTHBEARER") ? "OAUTHBEARER" : "XOAUTH2";
    case amAutomatic:
      break;
  }
  if (has("PLAIN")) return "PLAIN";
  if (has("LOGIN")) return "LOGIN";
  return "";
}

bool TVokSMTP::Authenticate() {
  if (!MaySendSecret(Encrypted, PeerIsLoopback())) {
    Failed = true;
    ReplyCode.clear();
    ReplyText = "The password is not sent over an unencrypted connection; choose STARTTLS or SSL/TLS.";
    return false;
  }
  std::vector<std::string> offered;
  for (const std::string& c : Capabilities) {
    if (c.rfind("AUTH", 0) != 0 || c.size() < 5 || (c[4] != ' ' && c[4] != '=')) continue;
    size_t at = 5;
    while (at < c.size()) {
      size_t end = c.find(' ', at);
      if (end == std::string::npos) end = c.size();
      if (end > at) offered.push_back(c.substr(at, end - at));
      at = end + 1;
    }
  }
  const std::string mechanism = ChooseAuthMechanism(AuthMethod, offered);
  if (mechanism.empty()) {
    Failed = true;
    ReplyCode.clear();
    ReplyText = offered.empty() ? "The server offers no authentication."
                                : "The server offers no authentication method this profile can use.";
    return false;
  }
  AuthUsed = mechanism;
  const std::string masked = "****\r\n";
  auto finish = [&](const std::string& secret, const std::string& shown, const char* expected) {
    SendSecret(secret, shown);
    ReadReply();
    if (!replyFailed_) Failed = ReplyCode != expected;
    return !Failed;
  };
  // A server refusing an OAuth2 token first sends its reason as a 334
  // challenge; the client answers it so the final 535 follows.
  auto oauthFinal = [&](const char* dummy) {
    if (!replyFailed_ && ReplyCode == "334") {
      SendText(dummy);
      ReadReply();
      if (!replyFailed_) Failed = ReplyCode != "235";
    }
    return !Failed;
  };
  if (mechanism == "PLAIN") {
    std::string credentials = std::string(1, '\0') + UserName + std::string(1, '\0') + Password;
    return finish("AUTH PLAIN " + Base64Encode(credentials) + "\r\n", "AUTH PLAIN " + masked, "235");
  }
  if (mechanism == "LOGIN") {
    if (!Command("AUTH LOGIN\r\n", "334")) return false;
    if (!finish(Base64Encode(UserName) + "\r\n", masked, "334")) return false;
    return finish(Base64Encode(Password) + "\r\n", masked, "235");
  }
  if (mechanism == "XOAUTH2") {
    const std::string token = "user=" + UserName + "\x01" + "auth=Bearer " + Password + "\x01\x01";
    finish("AUTH XOAUTH2 " + Base64Encode(token) + "\r\n", "AUTH XOAUTH2 " + masked, "235");
    return oauthFinal("\r\n");
  }
  // OAUTHBEARER (RFC 7628)
  const std::string token = "n,a=" + UserName + ",\x01host=" + Host +
                            "\x01port=" + std::to_string(socket_->Port()) + "\x01auth=Bearer " + Password +
                            "\x01\x01";
  finish("AUTH OAUTHBEARER " + Base64Encode(token) + "\r\n", "AUTH OAUTHBEARER " + masked, "235");
  return oauthFinal("AQ==\r\n");
}

TTransactionOutcome TVokSMTP::FailedStep() const {
  if (Aborted) return TTransactionOutcome::toStopped;
  return ConnectionLost ? TTransactionOutcome::toConnectionLost : TTransactionOutcome::toRefused;
}

bool TVokSMTP::Expect(const char* code, const char* alternative) {
  ReadReply();
  if (!replyFailed_) Failed = ReplyCode != code && (!alternative || ReplyCode != alternative);
  return !Failed;
}

// MAIL FROM and every RCPT TO, and DATA unless the message goes in chunks. With PIPELINING
// they go out in one write and the replies are read in order; a refusal stops at once, and
// as the caller then closes the connection, no data ever follows a refused recipient.
bool TVokSMTP::SendEnvelope(const std::string& from, const std::vector<std::string>& list, bool group,
                            bool chunks, bool reset) {
  struct Reply {
    const char* code;
    const char* alternative;
  };
  std::vector<Reply> expected;
  auto command = [&](const std::string& text, Reply reply) {
    SendText(text);
    expected.push_back(reply);
    return group || Expect(reply.code, reply.alternative);
  };
  // An envelope sent ahead that is not this one is dropped first.
  if (reset && !command("RSET\r\n", {"250", nullptr})) return false;
  if (!command("MAIL FROM:<" + from + ">" + mailParams_ + "\r\n", {"250", nullptr})) return false;
  // 251: not local, will be forwarded; the recipient is accepted all the same.
  for (const std::string& address : list)
    if (!command("RCPT TO:<" + address + ">\r\n", {"250", "251"})) return false;
  if (!chunks && !command("DATA\r\n", {"354", nullptr})) return false;
  if (!group) return true;
  for (const Reply& reply : expected)
    if (!Expect(reply.code, reply.alternative)) return false;
  // Every reply of the group has come; anything more is a server out of step, whose later
  // replies could not be told apart.
  if (!pending_.empty()) {
    Failed = true;
    ReplyCode.clear();
    ReplyText = kMoreReplies;
    return false;
  }
  return true;
}

bool TVokSMTP::TakePrepared(const std::string& from, const std::vector<std::string>& list, bool& ready,
                            bool& reset) {
  ready = reset = false;
  if (!prepared_.sent) return true;
  const TPrepared p = std::move(prepared_);
  prepared_ = {};
  if (p.lost || !p.accepted) {
    // Refused, or the connection went while its replies were awaited: that is this
    // transaction's failure, and no data goes.
    Failed = true;
    ReplyCode = p.code;
    ReplyText = p.text;
    ConnectionLost = p.lost;
    return false;
  }
  ready = p.envelope.from == from && p.envelope.list == list &&
          WithoutSize(p.envelope.params) == WithoutSize(mailParams_);
  reset = !ready;
  return true;
}

void TVokSMTP::SendAhead(const TEnvelope& next) {
  SendText("MAIL FROM:<" + next.from + ">" + next.params + "\r\n");
  for (const std::string& address : next.list) SendText("RCPT TO:<" + address + ">\r\n");
  prepared_.sent = true;
  prepared_.envelope = next;
}

void TVokSMTP::ReadPrepared() {
  const bool failed = Failed;
  const bool lost = ConnectionLost;
  const std::string code = ReplyCode, text = ReplyText;
  bool accepted = Expect("250");
  for (size_t i = 0; accepted && i < prepared_.envelope.list.size(); ++i) accepted = Expect("250", "251");
  // Gone or silent, not a reply that makes no sense: the job may connect again for that.
  prepared_.lost = replyFailed_ && ConnectionLost;
  if (accepted && !pending_.empty()) {
    accepted = false;
    ReplyCode.clear();
    ReplyText = kMoreReplies;
  }
  prepared_.accepted = accepted;
  prepared_.code = ReplyCode;
  prepared_.text = ReplyText;
  Failed = failed;
  ConnectionLost = lost;
  ReplyCode = code;
  ReplyText = text;
}

std::optional<TVokSMTP::TEnvelope> TVokSMTP::EnvelopeAfter(const TRecipientLists& lists, unsigned skip, size_t k,
                                                         const std::string& sender, bool international) const {
  for (size_t j = k + 1; j < lists.size(); ++j)
    if (!lists[j].empty() && !(skip & (1u << j))) return TEnvelope{sender, lists[j], mailParams_};
  if (!NextMessageFollows) return std::nullopt;
  // The next message's size is not known yet: its MAIL FROM goes without SIZE.
  for (const auto& list : lists)
    if (!list.empty()) return TEnvelope{sender, list, international ? " SMTPUTF8" : ""};
  return std::nullopt;
}

bool TVokSMTP::ExpectPositive() {
  ReadReply();
  if (!replyFailed_) Failed = ReplyCode.size() != 3 || ReplyCode[0] != '2';
  return !Failed;
}

bool TVokSMTP::LineWritten(size_t i, size_t n, uint32_t& threshold) {
  const uint16_t percent = vok::RoundPercent(i + 1, n);
  SendPercent = percent;
  if (percent >= threshold) {
    if (OnSendProgress) OnSendProgress(this, percent);
    threshold += SendProgressStep;
  }
  vok::PumpMessages();
  return !Aborted;
}

namespace {
// Leaves a walk over the message lines at once: the rest of a large file is not even read.
struct StopWalk {};
}  // namespace

bool TVokSMTP::WriteLinesAsData(const TMessageLines& lines) {
  const size_t n = lines.Count();
  uint32_t threshold = SendProgressStep;
  size_t i = 0;
  try {
    lines.ForEach([&](std::string_view line) {
      SendLine(line);
      if (!LineWritten(i++, n, threshold)) throw StopWalk{};
    });
  } catch (const StopWalk&) {
    return false;
  }
  MarkEndOfData();
  SendText("\r\n.\r\n");
  return true;
}

// Room left in the output before a chunk's bytes for its BDAT command.
constexpr size_t kChunkCommandRoom = 32;

void TVokSMTP::BeginChunk(uint64_t left) {
  // The chunk is made in the output itself, after what is already waiting there: one
  // buffer of at most about ChunkBytes, never a copy of it.
  out_.reserve(out_.size() + kChunkCommandRoom + static_cast<size_t>(std::min<uint64_t>(left, ChunkBytes)) + 4096);
  chunkAt_ = out_.size();
  out_.append(kChunkCommandRoom, ' ');
}

void TVokSMTP::SendChunk(bool last) {
  const size_t dataAt = chunkAt_ + kChunkCommandRoom;
  const std::string command =
      "BDAT " + std::to_string(out_.size() - dataAt) + (last ? " LAST\r\n" : "\r\n");
  out_.replace(chunkAt_, kChunkCommandRoom, command);
  if (OnSendTextToSocket) OnSendTextToSocket(this, command);
  // The last one goes out with what follows it (the RSET).
  if (!last) Flush();
}

// The lines as BDAT chunks of about ChunkBytes, the last one marked LAST. The lines come
// dot-stuffed for DATA; a chunk carries them as the server is to keep them, and with the
// empty line the end of data would add, so both ways store the same message.
bool TVokSMTP::WriteLinesAsChunks(const TMessageLines& lines, size_t& chunksSent) {
  const size_t n = lines.Count();
  const bool group = HasCapability("PIPELINING");
  uint32_t threshold = SendProgressStep;
  size_t i = 0;
  uint64_t left = lines.WireSize() + 2;  // what is still to come into chunks
  BeginChunk(left);
  try {
    lines.ForEach([&](std::string_view line) {
      if (!line.empty() && line[0] == '.') line.remove_prefix(1);
      out_.append(line);
      out_.append("\r\n", 2);
      const size_t made = out_.size() - chunkAt_ - kChunkCommandRoom;
      if (made >= ChunkBytes) {
        left -= std::min<uint64_t>(left, made);
        SendChunk(false);
        ++chunksSent;
        // Without PIPELINING each chunk waits for its reply.
        if (!group && !ExpectPositive()) throw StopWalk{};
        BeginChunk(left);
      }
      if (!LineWritten(i++, n, threshold)) throw StopWalk{};
    });
  } catch (const StopWalk&) {
    return false;  // the caller drops what is left in the output
  }
  out_.append("\r\n", 2);
  MarkEndOfData();
  SendChunk(true);
  if (!group) chunksSent = 0;  // their replies were read on the way
  return true;
}

void TVokSMTP::MarkEndOfData() {
  if (BeforeEndOfData) BeforeEndOfData();
  // Until its reply comes, nobody can tell whether the server has taken the message.
  EndOfDataUnanswered = true;
}

bool TVokSMTP::ChunkRepliesAccepted(size_t chunks) {
  for (size_t k = 0; k < chunks; ++k)
    if (!ExpectPositive()) return false;
  return true;
}

TTransactionOutcome TVokSMTP::SendTransaction(const std::string& from, const std::vector<std::string>& list,
                                              const TMessageLines& lines, const TEnvelope* next) {
  if (list.empty()) return TTransactionOutcome::toDelivered;
  EndOfDataUnanswered = false;
  const bool group = HasCapability("PIPELINING");
  const bool chunks = HasCapability("CHUNKING");
  bool ready = false, reset = false;
  if (!TakePrepared(from, list, ready, reset)) return FailedStep();
  if (!ready && !SendEnvelope(from, list, group, chunks, reset)) return FailedStep();
  // With both extensions the next envelope goes with this data: its replies come in the same
  // round trip, and its own data waits for them.
  const bool ahead = group && chunks && next;

  // From here to the reply to the end of data, a lost connection is
  // reported as such, not with the 354 that came before.
  struct DataPhase {
    bool& flag;
    explicit DataPhase(bool& f) : flag(f) { flag = true; }
    ~DataPhase() { flag = false; }
  } dataPhase(inData_);
  size_t chunksAhead = 0;  // pipelined chunks whose replies are still to come
  try {
    const bool written = chunks ? WriteLinesAsChunks(lines, chunksAhead) : WriteLinesAsData(lines);
    if (!written) {
      out_.clear();
      return FailedStep();
    }
    // With PIPELINING the RSET goes with the end of the message.
    if (group) SendText("RSET\r\n");
    if (ahead) {
      SendAhead(*next);
    } else if (group && quitWithEnd_ && !next) {
      SendText("QUIT\r\n");
      quitSent_ = true;
    }
    Flush();
    // Any 2xx to the end of data, or to the last chunk, means the server has taken the message.
    if (ChunkRepliesAccepted(chunksAhead)) ExpectPositive();
    EndOfDataUnanswered = replyFailed_;
  } catch (const EStreamError&) {
    // A file that cannot be read again, or changed since it was encoded:
    // the message must not be completed with other bytes, so it goes
    // without its end-of-data mark and the error passes to the caller.
    Failed = true;
    CloseSocket();
    throw;
  } catch (const std::exception&) {
    Failed = true;
    ConnectionLost = true;
    out_.clear();
    return TTransactionOutcome::toConnectionLost;
  }
  if (replyFailed_ && ReplyText == kClosedByServer) ReplyText = kClosedInData;
  if (Failed) return FailedStep();
  // Taken: whatever happens to the connection from here, this list has the message.
  inData_ = false;
  dataTaken_ = true;
  if (!group) SendText("RSET\r\n");
  if (!Expect("250")) return TTransactionOutcome::toResetRefused;
  if (ahead) ReadPrepared();
  if (OnSendProgress) OnSendProgress(this, 100);
  return TTransactionOutcome::toDelivered;
}

namespace {

std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The wire form of one checked address; a text that is no address never
// reaches a command.
std::string CheckedWire(const vok::TAddress& a, bool lower) {
  if (!a.Ok()) throw std::invalid_argument(vok::ProblemText(a));
  return lower ? AsciiLower(a.Wire) : a.Wire;
}

}  // namespace

TVokSMTP::TRecipientLists TVokSMTP::EnvelopeOf(const TVokMsg& msg) {
  if (msg.From.empty()) throw std::runtime_error("\"From\" field not specified.");
  if (msg.SendTo.empty() && msg.CC.empty() && msg.BCC.empty())
    throw std::runtime_error("\"SendTo\" field not specified.");
  // Empty entries (a trailing or doubled separator) are no recipients: they
  // would go out as "RCPT TO:<>".
  auto recipients = [&](const std::string& text) {
    std::vector<std::string> list;
    for (const vok::TAddress& a : vok::CheckEntries(vok::ToUtf8(text, msg.CharSet)))
      list.push_back(CheckedWire(a, true));
    return list;
  };
  CheckEnvelopeAddress(vok::ExtractAddress(msg.From, false));
  const TRecipientLists lists = {recipients(msg.SendTo), recipients(msg.CC), recipients(msg.BCC)};
  if (lists[0].empty() && lists[1].empty() && lists[2].empty())
    throw std::runtime_error("\"SendTo\" field not specified.");
  return lists;
}

std::string TVokSMTP::SenderOf(const TVokMsg& msg) const {
  // A bare local name is completed with the server's host, as in the From header.
  std::string from = vok::ToUtf8(msg.From, msg.CharSet);
  if (from.find('@') == std::string::npos) from = vok::TrimText(from) + "@" + Host;
  return CheckedWire(vok::CheckEntry(from), false);
}

bool TVokSMTP::AcceptsInternationalAddresses() const { return HasCapability("SMTPUTF8"); }

bool TVokSMTP::RefusedAsTooLarge(const TMessageLines& lines) {
  // A message the server has said it will not take is not uploaded at all.
  TooLarge = false;
  // What the server receives and counts against its limit: the lines, and the empty line
  // the end of data puts before its dot.
  MessageSize = lines.WireSize() + 2;
  mailParams_ = HasCapability("SIZE") ? " SIZE=" + std::to_string(MessageSize) : std::string();
  if (SizeLimit <= 0 || MessageSize <= SizeLimit) return false;
  TooLarge = true;
  outcome_ = TTransactionOutcome::toTooLarge;
  Failed = true;
  ReplyCode.clear();
  ReplyText = "The message has " + std::to_string(MessageSize) + " bytes; the server accepts at most " +
              std::to_string(SizeLimit) + ".";
  // Nothing was sent for it: the connection is still good for a QUIT.
  QuitKeepingReply();
  Failed = true;
  ReportError(this);
  return true;
}

// One transaction per recipient list, To, Cc, Bcc, leaving out those in skip.
void TVokSMTP::SendLists(const TRecipientLists& lists, unsigned skip, const std::string& sender, bool international,
                         const TMessageLines& lines) {
  // Delivered: every list's transaction got past its end of data. A failed
  // RSET after the last one costs the connection, not the message.
  size_t lastList = 0;
  for (size_t k = 0; k < 3; ++k)
    if (!lists[k].empty() && !(skip & (1u << k))) lastList = k;
  Delivered = true;
  outcome_ = TTransactionOutcome::toDelivered;
  for (size_t k = 0; k < 3; ++k) {
    if (skip & (1u << k)) continue;
    dataTaken_ = false;
    // A list whose end of data was accepted keeps the message, whatever
    // happens to the connection after it.
    auto settleBroken = [&](TTransactionOutcome why) {
      outcome_ = why;
      if (dataTaken_) ListsDelivered |= 1u << k;
      Delivered = dataTaken_ && k == lastList;
    };
    TTransactionOutcome r;
    try {
      const std::optional<TEnvelope> next = EnvelopeAfter(lists, skip, k, sender, international);
      quitWithEnd_ = QuitFollows && k == lastList;
      r = SendTransaction(sender, lists[k], lines, next ? &*next : nullptr);
    } catch (const EStreamError&) {
      settleBroken(TTransactionOutcome::toFileError);
      throw;
    } catch (...) {
      settleBroken(TTransactionOutcome::toConnectionLost);
      throw;
    }
    outcome_ = r;
    if (MessageTaken(r)) ListsDelivered |= 1u << k;
    if (r != TTransactionOutcome::toDelivered) {
      Delivered = MessageTaken(r) && k == lastList;
      // A refusal in words leaves the connection usable: it is left with QUIT. A reply that
      // was none, or 421 (the server is closing), leaves nothing to say QUIT on; nor does a
      // pipelined group whose other replies are still on their way.
      if (r == TTransactionOutcome::toRefused && !replyFailed_ && ReplyCode != "421" && !HasCapability("PIPELINING"))
        QuitKeepingReply();
      ReportError(this);
      break;
    }
  }
}

bool TVokSMTP::Send(TVokMsg& msg) {
  errorReported_ = false;
  Delivered = false;
  EndOfDataUnanswered = false;
  ConnectionLost = false;
  ListsDelivered = 0;
  outcome_ = TTransactionOutcome::toNone;
  const unsigned skip = SkipLists;
  SkipLists = 0;
  if (!Connected) throw std::runtime_error("Not connected.");
  const TRecipientLists lists = EnvelopeOf(msg);
  const std::string sender = SenderOf(msg);
  // A local part outside ASCII goes only to a server that said SMTPUTF8; nothing is sent
  // otherwise.
  bool international = !vok::IsAscii(sender);
  for (const auto& list : lists)
    for (const std::string& a : list) {
      if (vok::IsAscii(a)) continue;
      if (!AcceptsInternationalAddresses())
        throw std::runtime_error(a + ": the server does not accept international addresses (no SMTPUTF8).");
      international = true;
    }
  if (international && !AcceptsInternationalAddresses())
    throw std::runtime_error(sender + ": the server does not accept international addresses (no SMTPUTF8).");

  msg.Date = vok::FormatMessageDate(std::time(nullptr));
  std::optional<TMessageLines> lines;
  {
    ActivityScope activity(*this, saEncoding);
    try {
      lines = BuildMessage(msg);
    } catch (const EStreamError&) {
      outcome_ = TTransactionOutcome::toFileError;
      throw;
    }
  }
  if (Aborted || !lines) {
    outcome_ = TTransactionOutcome::toStopped;
    return false;
  }

  if (RefusedAsTooLarge(*lines)) {
    Raise(OnAfterSend, this);
    return true;
  }
  if (international) mailParams_ += " SMTPUTF8";
  ActivityScope activity(*this, saSending);
  Raise(OnBeforeSend, this);

  SendLists(lists, skip, sender, international, *lines);
  if (SendPercent < 100 && OnSendProgress) OnSendProgress(this, 100);
  Raise(OnAfterSend, this);
  return true;
}

void TVokSMTP::Quit() {
  ActivityScope activity(*this, saSending);
  errorReported_ = false;
  if (!Connected) return;
  if (Aborted) {
    CloseSocket();
    return;
  }
  try {
    // Sent already with the last message's end: only its reply is due.
    if (!quitSent_) SendText("QUIT\r\n");
    ReadReply();
    if (!replyFailed_) Failed = ReplyCode != "221";
    if (Failed) ReportError(this);
  } catch (...) {
    CloseSocket();
    throw;
  }
  CloseSocket();
}
