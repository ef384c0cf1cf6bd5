#include "ClientSocket.h"

#include "Dialer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kIdleSliceMs = 10;  // lookup, connect and write waits: the caller idles between slices

std::string SystemErrorText(const char* Message, int Code, const char* Api) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, "Socket error: %s (%d), on API '%s'", Message, Code, Api);
  return buf;
}

std::string SystemErrorText(int Code, const char* Api) {
  return SystemErrorText(std::strerror(Code), Code, Api);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

// ---------------------------------------------------------------- socket object

TCustomWinSocket::~TCustomWinSocket() { CloseSilently(); }

void TCustomWinSocket::CloseSilently() noexcept {
  if (FSocket >= 0) {
    ::close(FSocket);
    FSocket = -1;
  }
  FConnected = false;
}

void TCustomWinSocket::RaiseSystemError(int Code, const char* Api) {
  throw ESocketError(SystemErrorText(Code, Api));
}

int TCustomWinSocket::HandleIoError(TErrorEvent Kind, int Code, const char* Api) {
  if (FOwner && FOwner->OnError) FOwner->OnError(FOwner, this, Kind, Code);
  Close();
  if (Code != 0) RaiseSystemError(Code, Api);
  return -1;
}

int TCustomWinSocket::SendBytes(const void* Buffer, int Count) {
  if (!FConnected || FSocket < 0 || Count <= 0) return 0;
  using clock = std::chrono::steady_clock;
  const char* p = static_cast<const char*>(Buffer);
  const int fd = FSocket;
  int sent = 0;
  auto lastProgress = clock::now();
  auto lastIdle = lastProgress;
  while (sent < Count) {
    // Never blocks: a peer that stops reading must not freeze the caller's window.
    ssize_t n = ::send(fd, p + sent, static_cast<size_t>(Count - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<int>(n);
      lastProgress = clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return HandleIoError(eeSend, errno, "send");
    // Would-block is never an error: wait for room in slices, letting the caller idle.
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, kIdleSliceMs);
    const auto now = clock::now();
    const int timeoutMs = FOwner ? FOwner->SendTimeoutMs : vok::DefaultTimeoutMs;
    if (timeoutMs >= 0 && now - lastProgress >= std::chrono::milliseconds(timeoutMs))
      return HandleIoError(eeSend, ETIMEDOUT, "send");
    if (FOwner && FOwner->OnIdle && now - lastIdle >= std::chrono::milliseconds(kIdleSliceMs)) {
      lastIdle = now;
      FOwner->OnIdle();
      if (FSocket != fd || !FConnected)
        return sent;  // closed by the idle handler: the caller sees the short count
    }
  }
  return sent;
}

int TCustomWinSocket::ReceiveBytes(void* Buffer, int Count) {
  if (!FConnected || FSocket < 0 || Count <= 0) return 0;
  for (;;) {
    ssize_t n = ::recv(FSocket, Buffer, static_cast<size_t>(Count), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd pfd{FSocket, POLLIN, 0};
      ::poll(&pfd, 1, 100);
      continue;
    }
    return HandleIoError(eeReceive, errno, "recv");
  }
}

bool TCustomWinSocket::WaitReadable(int timeoutMs) {
  if (!FConnected || FSocket < 0) return true;
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  for (;;) {
    pollfd pfd{FSocket, POLLIN, 0};
    int r = ::poll(&pfd, 1, wait);
    if (r > 0) return true;  // data, hang-up or error: the next ReceiveBytes tells which
    if (r == 0) return false;
    if (errno != EINTR) return true;  // let ReceiveBytes report it
    if (timeoutMs >= 0) {
      // Round the rest up: a slice cut short by truncation would upset callers that
      // idle once per slice at a set rate.
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

void TCustomWinSocket::Close() {
  if (FSocket < 0) return;
  // Not connected from here on, so a handler that closes again does not recurse.
  const bool wasConnected = FConnected;
  FConnected = false;
  if (wasConnected && FOwner && FOwner->OnDisconnect) FOwner->OnDisconnect(FOwner, this);
  if (FSocket < 0)  // the handler may have closed it already
    return;
  int fd = FSocket;
  FSocket = -1;
  // On Linux the descriptor is released even when close reports EINTR.
  if (::close(fd) != 0 && errno != EINTR) RaiseSystemError(errno, "closesocket");
}

// ---------------------------------------------------------------- component

TClientSocket::TClientSocket() : FSocket(this) {}

TClientSocket::~TClientSocket() { FSocket.CloseSilently(); }

void TClientSocket::CheckInactive(bool Changed) {
  if (Changed && Active()) throw ESocketError("Can't change value while socket is active");
}

void TClientSocket::SetHost(const std::string& Value) {
  CheckInactive(!SameText(Value, FHost));
  FHost = Value;
}

void TClientSocket::SetAddress(const std::string& Value) {
  CheckInactive(!SameText(Value, FAddress));
  FAddress = Value;
}

void TClientSocket::SetPort(int Value) {
  CheckInactive(Value != FPort);
  FPort = Value;
}

void TClientSocket::SetClientType(TClientType Value) {
  CheckInactive(Value != FClientType);
  FClientType = Value;
}

void TClientSocket::SetActive(bool Value) {
  if (Value == Active()) return;
  if (Value)
    Open();
  else
    Close();
}

void TClientSocket::Close() { FSocket.Close(); }

namespace {

// Shared with the lookup thread, which may outlive an abandoned wait.
struct LookupState {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  vok::TNameLookup result;
};

}  // namespace

std::vector<std::string> TClientSocket::ResolveAddresses(int fd) {
  FLookupError.clear();
  FLookupCode = 0;
  std::string numeric;
  if (FHost.empty())
    return vok::ParseAddressLiteral(FAddress, numeric) ? std::vector<std::string>{numeric}
                                                       : std::vector<std::string>{};
  if (vok::ParseAddressLiteral(FHost, numeric)) return {numeric};
  auto take = [this](const vok::TNameLookup& found) {
    if (found.Addresses.empty()) {
      FLookupError = FHost + ": " + found.Reason;
      FLookupCode = found.Code;
    }
    return found.Addresses;
  };
  const vok::TNameResolver resolve = vok::CurrentNameResolver();
  if (!OnIdle) return take(resolve(FHost));

  // A name server that does not answer would hold the window for many seconds: look the
  // name up in a helper thread and idle in slices meanwhile.
  auto st = std::make_shared<LookupState>();
  try {
    std::thread([st, resolve, host = FHost] {
      vok::TNameLookup found = resolve(host);
      std::lock_guard<std::mutex> lock(st->m);
      st->result = std::move(found);
      st->done = true;
      st->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return take(resolve(FHost));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(st->m);
      if (st->cv.wait_for(lock, std::chrono::milliseconds(kIdleSliceMs), [&] { return st->done; }))
        return take(st->result);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // Given up: the name server did not answer in time.
      vok::TNameLookup late;
      late.Code = EAI_AGAIN;
      late.Reason = gai_strerror(EAI_AGAIN);
      return take(late);
    }
    OnIdle();
    if (FSocket.FSocket != fd) FSocket.RaiseSystemError(ECONNABORTED, "connect");
  }
}

void TClientSocket::Open() {
  TCustomWinSocket& s = FSocket;
  if (s.FConnected || s.FSocket >= 0) throw ESocketError("Socket already open");
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESocketError("Can't create new socket");
  s.FSocket = fd;
  try {
    ConnectSocket(fd);
  } catch (...) {
    // Never connected: no disconnect notification for the half-made socket.
    if (s.FSocket == fd) s.CloseSilently();
    throw;
  }
  s.FConnected = true;
  if (OnConnect) OnConnect(this, &s);
}

void TClientSocket::ConnectSocket(int fd) {
  TCustomWinSocket& s = FSocket;

  if (OnLookup) OnLookup(this, &s);
  if (FHost.empty() && FAddress.empty()) throw ESocketError("No address specified");
  const std::vector<std::string> found = ResolveAddresses(fd);
  const std::vector<vok::TDialAddress> addresses = vok::DialOrder(found, FPort);

  if (OnConnecting) OnConnecting(this, &s);
  if (s.FSocket != fd)  // a handler closed it
    s.RaiseSystemError(ECONNABORTED, "connect");

  // A name that did not resolve is never dialled; it says so in the resolver's words.
  if (addresses.empty()) {
    if (!FLookupError.empty())
      throw ESocketError(SystemErrorText(FLookupError.c_str(), FLookupCode, "getaddrinfo"));
    s.RaiseSystemError(EADDRNOTAVAIL, "connect");
  }

  // Every address of the name is raced without blocking, so the caller's window keeps
  // working while the peer is slow; the winner takes the place of the socket Open made, so
  // its handle stays what the caller holds.
  const vok::TDialResult dialled = vok::DialFirst(addresses, ConnectTimeoutMs, [&] {
    if (OnIdle) OnIdle();
    return s.FSocket == fd;
  });
  if (dialled.Fd < 0) s.RaiseSystemError(dialled.Error, "connect");
  if (::dup3(dialled.Fd, fd, O_CLOEXEC) < 0) {
    const int err = errno;
    ::close(dialled.Fd);
    s.RaiseSystemError(err, "connect");
  }
  ::close(dialled.Fd);
  if (!SetNonBlocking(fd, false)) s.RaiseSystemError(errno, "connect");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
