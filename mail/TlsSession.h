// TLS over a connected socket with OpenSSL: the handshake (TLS 1.2 at
// least, the system's trusted certificates, the server's name checked and
// sent as SNI), then reads and writes that never block for longer than a
// slice, so the caller's window keeps running between slices.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// What is known about a server certificate that did not verify.
struct TCertificateProblem {
  std::string Reason;       // "expired", "wrong name", "unknown issuer", or OpenSSL's text
  std::string Subject;      // one-line distinguished names
  std::string Issuer;
  std::string Fingerprint;  // SHA-256 of the DER form, "AB:CD:..." upper-case hex
};

// A handshake that failed, or a certificate that did not verify (then
// Certificate() is set).
class ETlsError : public std::runtime_error {
 public:
  explicit ETlsError(const std::string& what, bool certificate = false, TCertificateProblem problem = {})
      : std::runtime_error(what), certificate_(certificate), problem_(std::move(problem)) {}
  bool IsCertificate() const { return certificate_; }
  const TCertificateProblem& Certificate() const { return problem_; }

 private:
  bool certificate_;
  TCertificateProblem problem_;
};

struct TTlsSettings {
  std::string ServerName;    // checked against the certificate; sent as SNI unless an address
  std::string ExtraCaFile;   // trusted besides the system's store (empty: none)
  std::string PinnedFingerprint;  // accept exactly this certificate even if it does not verify
  int TimeoutMs = 60000;
  std::function<void()> Idle;     // called between slices
};

class TTlsSession {
 public:
  // Runs the handshake on the connected socket fd (not owned). Throws
  // ETlsError when it fails or the certificate is not accepted; nothing
  // but the handshake has then been sent.
  TTlsSession(int fd, const TTlsSettings& settings);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // Writes everything; throws ETlsError when the connection fails or makes
  // no progress for the timeout.
  void Write(const char* data, size_t size);
  // True when Read would return at once (data, end, or error).
  bool WaitReadable(int timeoutMs);
  // Up to size bytes; 0 when the server closed (or the connection failed).
  int Read(char* data, size_t size);
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
