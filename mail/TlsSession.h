// TLS over a connected socket with OpenSSL: the handshake (TLS 1.2 at
// least, the system's trusted certificates, the server's name checked and
// sent as SNI), then reads and writes that never block for longer than a
// slice, so the caller's window keeps running between slices and a stop
// asked for meanwhile ends the wait at once.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "Timeouts.h"

// What is known about a server certificate that did not verify.
struct TCertificateProblem {
  std::string Reason;       // "expired", "wrong name", "unknown issuer", or OpenSSL's text
  std::string Subject;      // one-line distinguished names
  std::string Issuer;
  std::string Fingerprint;  // SHA-256 of the DER form, "AB:CD:..." upper-case hex
};

// A handshake or write that failed, a certificate that did not verify
// (then Certificate() is set), a server that closed the connection, a wait
// that ran out of time or was stopped.
class ETlsError : public std::runtime_error {
 public:
  enum TKind { tkFailed, tkCertificate, tkClosed, tkTimedOut, tkStopped };
  explicit ETlsError(const std::string& what, TKind kind = tkFailed, TCertificateProblem problem = {})
      : std::runtime_error(what), kind_(kind), problem_(std::move(problem)) {}
  TKind Kind() const { return kind_; }
  bool IsCertificate() const { return kind_ == tkCertificate; }
  const TCertificateProblem& Certificate() const { return problem_; }

 private:
  TKind kind_;
  TCertificateProblem problem_;
};

struct TTlsSettings {
  std::string ServerName;    // checked against the certificate; sent as SNI unless an address
  std::string ExtraCaFile;   // trusted besides the system's store (empty: none)
  std::string PinnedFingerprint;  // accept exactly this certificate even if it does not verify
  int TimeoutMs = vok::DefaultTimeoutMs;  // handshake, and a write without progress (<= 0: the default)
  std::function<void()> Idle;     // called between slices
  std::function<bool()> Stopped;  // asked after every slice; true ends the wait (tkStopped)
};

class TTlsSession {
 public:
  // Runs the handshake on the connected socket fd (not owned). Throws
  // ETlsError when it fails, times out, is stopped or the certificate is
  // not accepted; nothing but the handshake has then been sent.
  TTlsSession(int fd, const TTlsSettings& settings);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // Writes everything; throws ETlsError when the server has closed the
  // connection (tkClosed), it fails otherwise (tkFailed), makes no progress
  // for the timeout (tkTimedOut) or Stopped says so (tkStopped).
  void Write(const char* data, size_t size);
  // The limit for later waits (<= 0: the default).
  void SetTimeoutMs(int ms);
  // True when Read is worth calling (data, end, or error).
  bool WaitReadable(int timeoutMs);
  // Never waits: up to size bytes; 0 when the server closed (or the
  // connection failed); kNothingYet when no whole record has arrived yet
  // (the caller waits again, with its own deadline and stop check).
  int Read(char* data, size_t size);
  static constexpr int kNothingYet = -1;
  // The protocol agreed ("TLSv1.3").
  std::string Version() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Loads OpenSSL's configuration, providers and the system's trust store ahead of the first
// handshake (once per process), so that work does not stall a window in the middle of a job.
void TlsWarmUp();

// "AB:CD:..." for bytes.
std::string HexFingerprint(const unsigned char* digest, size_t size);
