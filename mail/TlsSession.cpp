#include "TlsSession.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "vok_util.h"

namespace {

constexpr int kSliceMs = 10;

// OpenSSL writes to the socket with write(), so a server that has closed the connection would
// raise SIGPIPE and end the program. While OpenSSL works the signal is held back on this
// thread, and one it raised is taken off again: the failed write reports the closed connection.
class HoldSigPipe {
 public:
  HoldSigPipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
  }
  ~HoldSigPipe() {
    sigset_t pending;
    sigpending(&pending);
    if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec none{0, 0};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  HoldSigPipe(const HoldSigPipe&) = delete;
  HoldSigPipe& operator=(const HoldSigPipe&) = delete;

 private:
  sigset_t pipe_;
  sigset_t saved_;
  bool wasPending_ = false;
};

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

std::string LastOpenSslError() {
  unsigned long code = ERR_get_error();
  std::string text;
  while (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text = buf;  // the last queued error is the most specific
    code = ERR_get_error();
  }
  return text;
}

std::string NameLine(X509_NAME* name) {
  if (!name) return {};
  BIO* bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string s(data, static_cast<size_t>(n));
  BIO_free(bio);
  return s;
}

std::string ReasonText(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "wrong name";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "unknown issuer";
    default:
      return X509_verify_cert_error_string(result);
  }
}

// The system's trusted certificates, parsed once per process: the bundle holds a few hundred,
// and parsing them for every connection would stall the window for a noticeable moment.
X509_STORE* SystemStore() {
  static X509_STORE* store = [] {
    X509_STORE* s = X509_STORE_new();
    if (s) X509_STORE_set_default_paths(s);
    return s;
  }();
  return store;
}

// A fresh store for one connection: the system's certificates (shared, not parsed again),
// the system's certificate folder, and the extra file when one is given.
X509_STORE* SessionStore(const std::string& extraCaFile) {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  if (X509_STORE* system = SystemStore()) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(system);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i)
      if (X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i))) X509_STORE_add_cert(store, cert);
  }
  if (X509_LOOKUP* dir = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir()))
    X509_LOOKUP_add_dir(dir, X509_get_default_cert_dir(), X509_FILETYPE_PEM);
  if (!extraCaFile.empty() && X509_STORE_load_file(store, extraCaFile.c_str()) != 1) {
    X509_STORE_free(store);
    return nullptr;
  }
  return store;
}

bool IsAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

void TlsWarmUp() {
  static const bool done = [] {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // A first context pulls in the default providers and the cipher tables.
    if (SSL_CTX* ctx = SSL_CTX_new(TLS_client_method())) SSL_CTX_free(ctx);
    SystemStore();
    return true;
  }();
  (void)done;
}

std::string HexFingerprint(const unsigned char* digest, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    if (i) out += ':';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

struct TTlsSession::Impl {
  int fd = -1;
  TTlsSettings settings;
  std::unique_ptr<SSL_CTX, CtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;

  bool wantWrite = false;  // the last read needs room to write first

  enum TWait { wReady, wTimedOut, wStopped };
  // Waits in slices for what OpenSSL asked for, the window's turn and the
  // stop check after each slice.
  TWait WaitFor(int sslError, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      pollfd pfd{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
      int r = ::poll(&pfd, 1, kSliceMs);
      if (settings.Idle) settings.Idle();
      if (settings.Stopped && settings.Stopped()) return wStopped;
      if (r != 0) return wReady;
      if (std::chrono::steady_clock::now() >= deadline) return wTimedOut;
    }
  }
  std::chrono::steady_clock::time_point Deadline() const {
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(settings.TimeoutMs > 0 ? settings.TimeoutMs : vok::DefaultTimeoutMs);
  }
};

namespace {
const char kStopped[] = "Stopped by the user.";
}

TTlsSession::TTlsSession(int fd, const TTlsSettings& settings) : impl_(std::make_unique<Impl>()) {
  impl_->fd = fd;
  impl_->settings = settings;
  ERR_clear_error();
  impl_->ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!impl_->ctx) throw ETlsError("TLS is not available: " + LastOpenSslError());
  SSL_CTX* ctx = impl_->ctx.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  X509_STORE* store = SessionStore(settings.ExtraCaFile);
  if (!store) throw ETlsError("Cannot read the trusted certificates " + settings.ExtraCaFile);
  SSL_CTX_set_cert_store(ctx, store);
  // The chain is checked during the handshake and judged afterwards, so that
  // a certificate the user chose to trust can still be accepted.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  impl_->ssl.reset(SSL_new(ctx));
  SSL* ssl = impl_->ssl.get();
  const std::string& host = settings.ServerName;
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  } else {
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    SSL_set_tlsext_host_name(ssl, host.c_str());
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  SSL_set_fd(ssl, fd);

  const auto deadline = impl_->Deadline();
  for (;;) {
    int r;
    {
      HoldSigPipe hold;
      r = SSL_connect(ssl);
    }
    if (r == 1) break;
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      switch (impl_->WaitFor(e, deadline)) {
        case Impl::wReady:
          continue;
        case Impl::wTimedOut:
          throw ETlsError("TLS handshake timed out.", ETlsError::tkTimedOut);
        case Impl::wStopped:
          throw ETlsError(kStopped, ETlsError::tkStopped);
      }
    }
    std::string why = LastOpenSslError();
    if (why.empty()) why = e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN ? "connection closed" : "failed";
    throw ETlsError("TLS handshake failed: " + why);
  }

  X509* cert = SSL_get0_peer_certificate(ssl);
  if (!cert) throw ETlsError("TLS handshake failed: the server sent no certificate.");
  const long verdict = SSL_get_verify_result(ssl);
  if (verdict != X509_V_OK) {
    TCertificateProblem p;
    p.Reason = ReasonText(verdict);
    p.Subject = NameLine(X509_get_subject_name(cert));
    p.Issuer = NameLine(X509_get_issuer_name(cert));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    X509_digest(cert, EVP_sha256(), md, &len);
    p.Fingerprint = HexFingerprint(md, len);
    if (settings.PinnedFingerprint.empty() || settings.PinnedFingerprint != p.Fingerprint)
      throw ETlsError("The certificate of " + host + " is not trusted (" + p.Reason + ").",
                      ETlsError::tkCertificate, p);
  }
}

TTlsSession::~TTlsSession() {
  if (impl_ && impl_->ssl) {
    // One try at a polite close; a server that is gone must not hold us.
    ERR_clear_error();
    HoldSigPipe hold;
    SSL_shutdown(impl_->ssl.get());
    ERR_clear_error();
  }
}

void TTlsSession::Write(const char* data, size_t size) {
  SSL* ssl = impl_->ssl.get();
  auto deadline = impl_->Deadline();
  size_t done = 0;
  while (done < size) {
    ERR_clear_error();
    errno = 0;
    size_t wrote = 0;
    int r, err;
    {
      HoldSigPipe hold;
      r = SSL_write_ex(ssl, data + done, size - done, &wrote);
      err = errno;
    }
    if (r == 1) {
      done += wrote;
      deadline = impl_->Deadline();
      continue;
    }
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      switch (impl_->WaitFor(e, deadline)) {
        case Impl::wReady:
          continue;
        case Impl::wTimedOut:
          throw ETlsError("TLS write timed out.", ETlsError::tkTimedOut);
        case Impl::wStopped:
          throw ETlsError(kStopped, ETlsError::tkStopped);
      }
    }
    std::string why = LastOpenSslError();
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && (err == EPIPE || err == ECONNRESET)))
      throw ETlsError("Connection closed by the server.", ETlsError::tkClosed);
    if (why.empty()) why = e == SSL_ERROR_SYSCALL && err != 0 ? std::strerror(err) : "TLS write failed";
    throw ETlsError("Connection lost: " + why);
  }
}

void TTlsSession::SetTimeoutMs(int ms) { impl_->settings.TimeoutMs = ms; }

bool TTlsSession::WaitReadable(int timeoutMs) {
  if (SSL_pending(impl_->ssl.get()) > 0) return true;
  pollfd pfd{impl_->fd, static_cast<short>(impl_->wantWrite ? POLLOUT : POLLIN), 0};
  return ::poll(&pfd, 1, timeoutMs) != 0;
}

int TTlsSession::Read(char* data, size_t size) {
  SSL* ssl = impl_->ssl.get();
  ERR_clear_error();
  impl_->wantWrite = false;
  size_t got = 0;
  int r;
  {
    HoldSigPipe hold;
    r = SSL_read_ex(ssl, data, size, &got);
  }
  if (r == 1) return static_cast<int>(got);
  int e = SSL_get_error(ssl, r);
  // Only part of a record came, or a post-handshake message wants an
  // answer: the caller's own wait, with its deadline and stop check, goes on.
  if (e == SSL_ERROR_WANT_READ) return kNothingYet;
  if (e == SSL_ERROR_WANT_WRITE) {
    impl_->wantWrite = true;
    return kNothingYet;
  }
  return 0;  // closed or failed: the caller reports a closed connection
}

std::string TTlsSession::Version() const { return SSL_get_version(impl_->ssl.get()); }
