#include "ClientSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
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

constexpr int kIdleSliceMs = 10;   // lookup, connect and write waits: the caller idles between slices

std::string SystemErrorText(const char* Message, int Code, const char* Api)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, "Socket error: %s (%d), on API '%s'", Message, Code, Api);
    return buf;
}

std::string SystemErrorText(int Code, const char* Api)
{
    return SystemErrorText(std::strerror(Code), Code, Api);
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool SetNonBlocking(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

// ---------------------------------------------------------------- socket object

TCustomWinSocket::~TCustomWinSocket()
{
    CloseSilently();
}

void TCustomWinSocket::CloseSilently() noexcept
{
    if (FSocket >= 0) {
        ::close(FSocket);
        FSocket = -1;
    }
    FConnected = false;
}

void TCustomWinSocket::RaiseSystemError(int Code, const char* Api)
{
    throw ESocketError(SystemErrorText(Code, Api));
}

int TCustomWinSocket::HandleIoError(TErrorEvent Kind, int Code, const char* Api)
{
    if (FOwner && FOwner->OnError)
        FOwner->OnError(FOwner, this, Kind, Code);
    Close();
    if (Code != 0)
        RaiseSystemError(Code, Api);
    return -1;
}

int TCustomWinSocket::SendBytes(const void* Buffer, int Count)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (!FConnected || FSocket < 0 || Count <= 0)
        return 0;
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
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return HandleIoError(eeSend, errno, "send");
        // Would-block is never an error: wait for room in slices, letting the caller idle.
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, kIdleSliceMs);
        const auto now = clock::now();
        const int timeoutMs = FOwner ? FOwner->SendTimeoutMs : 60000;
        if (timeoutMs >= 0 && now - lastProgress >= std::chrono::milliseconds(timeoutMs))
            return HandleIoError(eeSend, ETIMEDOUT, "send");
        if (FOwner && FOwner->OnIdle && now - lastIdle >= std::chrono::milliseconds(kIdleSliceMs)) {
            lastIdle = now;
            FOwner->OnIdle();
            if (FSocket != fd || !FConnected)
                return sent;   // closed by the idle handler: the caller sees the short count
        }
    }
    return sent;
}

int TCustomWinSocket::ReceiveBytes(void* Buffer, int Count)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (!FConnected || FSocket < 0 || Count <= 0)
        return 0;
    for (;;) {
        ssize_t n = ::recv(FSocket, Buffer, static_cast<size_t>(Count), 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd pfd{FSocket, POLLIN, 0};
            ::poll(&pfd, 1, 100);
            continue;
        }
        return HandleIoError(eeReceive, errno, "recv");
    }
}

bool TCustomWinSocket::WaitReadable(int timeoutMs)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (!FConnected || FSocket < 0)
        return true;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs < 0 ? -1 : timeoutMs;
    for (;;) {
        pollfd pfd{FSocket, POLLIN, 0};
        int r = ::poll(&pfd, 1, wait);
        if (r > 0)
            return true;   // data, hang-up or error: the next ReceiveBytes tells which
        if (r == 0)
            return false;
        if (errno != EINTR)
            return true;   // let ReceiveBytes report it
        if (timeoutMs >= 0) {
            // Round the rest up: a slice cut short by truncation would upset callers that
            // idle once per slice at a set rate.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

std::string TCustomWinSocket::LocalHostName()
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (FSocket < 0)
        return {};
    char buf[256];
    if (::gethostname(buf, sizeof buf) != 0)
        return {};
    buf[sizeof buf - 1] = '\0';
    return buf;
}

void TCustomWinSocket::Close()
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (FSocket < 0)
        return;
    // Not connected from here on, so a handler that closes again does not recurse.
    const bool wasConnected = FConnected;
    FConnected = false;
    if (wasConnected && FOwner && FOwner->OnDisconnect)
        FOwner->OnDisconnect(FOwner, this);
    if (FSocket < 0)   // the handler may have closed it already
        return;
    int fd = FSocket;
    FSocket = -1;
    // On Linux the descriptor is released even when close reports EINTR.
    if (::close(fd) != 0 && errno != EINTR)
        RaiseSystemError(errno, "closesocket");
}

// ---------------------------------------------------------------- component

TClientSocket::TClientSocket() : FSocket(this) {}

TClientSocket::~TClientSocket()
{
    FSocket.CloseSilently();
}

void TClientSocket::CheckInactive(bool Changed)
{
    if (Changed && Active())
        throw ESocketError("Can't change value while socket is active");
}

void TClientSocket::SetHost(const std::string& Value)
{
    CheckInactive(!SameText(Value, FHost));
    FHost = Value;
}

void TClientSocket::SetAddress(const std::string& Value)
{
    CheckInactive(!SameText(Value, FAddress));
    FAddress = Value;
}

void TClientSocket::SetPort(int Value)
{
    CheckInactive(Value != FPort);
    FPort = Value;
}

void TClientSocket::SetService(const std::string& Value)
{
    CheckInactive(!SameText(Value, FService));
    FService = Value;
}

void TClientSocket::SetClientType(TClientType Value)
{
    CheckInactive(Value != FClientType);
    FClientType = Value;
}

void TClientSocket::SetActive(bool Value)
{
    if (Value == Active())
        return;
    if (Value)
        Open();
    else
        Close();
}

void TClientSocket::Close()
{
    FSocket.Close();
}

namespace {

// The resolver's answer: an address, or its own words for why there is none.
struct Lookup {
    in_addr_t addr = 0;
    std::string error;   // "<name>: <resolver's text>" when not resolved
    int code = 0;        // getaddrinfo's code (negative on glibc)
};

Lookup LookupName(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    Lookup result;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc == 0 && res) {
        result.addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    } else {
        result.code = rc != 0 ? rc : EAI_NONAME;
        result.error = host + ": " + (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(result.code));
    }
    if (res)
        freeaddrinfo(res);
    return result;
}

// Shared with the lookup thread, which may outlive an abandoned wait.
struct LookupState {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Lookup result;
};

}  // namespace

unsigned long TClientSocket::ResolveAddress(int fd)
{
    FLookupError.clear();
    FLookupCode = 0;
    in_addr a{};
    if (FHost.empty())
        return inet_aton(FAddress.c_str(), &a) ? a.s_addr : 0;
    if (inet_aton(FHost.c_str(), &a))
        return a.s_addr;
    auto take = [this](const Lookup& found) {
        FLookupError = found.error;
        FLookupCode = found.code;
        return found.addr;
    };
    if (!OnIdle)
        return take(LookupName(FHost));

    // A name server that does not answer would hold the window for many seconds: look the
    // name up in a helper thread and idle in slices meanwhile.
    auto st = std::make_shared<LookupState>();
    try {
        std::thread([st, host = FHost] {
            Lookup found = LookupName(host);
            std::lock_guard<std::mutex> lock(st->m);
            st->result = std::move(found);
            st->done = true;
            st->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return take(LookupName(FHost));
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
            Lookup late;
            late.code = EAI_AGAIN;
            late.error = FHost + ": " + gai_strerror(EAI_AGAIN);
            return take(late);
        }
        OnIdle();
        if (FSocket.FSocket != fd)
            FSocket.RaiseSystemError(ECONNABORTED, "connect");
    }
}

int TClientSocket::ResolvePort()
{
    if (!FService.empty()) {
        servent se{};
        servent* found = nullptr;
        char buf[1024];
        if (getservbyname_r(FService.c_str(), "tcp", &se, buf, sizeof buf, &found) == 0 && found)
            return ntohs(static_cast<uint16_t>(found->s_port));
        // An unknown service falls back to the plain port number.
    }
    return FPort;
}

void TClientSocket::Open()
{
    TClientWinSocket& s = FSocket;
    std::lock_guard<std::recursive_mutex> guard(s.FLock);
    if (s.FConnected || s.FSocket >= 0)
        throw ESocketError("Socket already open");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw ESocketError("Can't create new socket");
    s.FSocket = fd;
    try {
        ConnectSocket(fd);
    } catch (...) {
        // Never connected: no disconnect notification for the half-made socket.
        if (s.FSocket == fd)
            s.CloseSilently();
        throw;
    }
    s.FConnected = true;
    if (OnConnect)
        OnConnect(this, &s);
}

void TClientSocket::ConnectSocket(int fd)
{
    TClientWinSocket& s = FSocket;

    if (OnLookup)
        OnLookup(this, &s);
    if (FHost.empty() && FAddress.empty())
        throw ESocketError("No address specified");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = static_cast<in_addr_t>(ResolveAddress(fd));
    addr.sin_port = htons(static_cast<uint16_t>(ResolvePort()));

    if (OnConnecting)
        OnConnecting(this, &s);
    if (s.FSocket != fd)   // a handler closed it
        s.RaiseSystemError(ECONNABORTED, "connect");

    // 0.0.0.0 means "not resolved" here; Linux would take it as this machine. A name that did
    // not resolve says so in the resolver's words, with the name.
    if (addr.sin_addr.s_addr == INADDR_ANY) {
        if (!FLookupError.empty())
            throw ESocketError(SystemErrorText(FLookupError.c_str(), FLookupCode, "getaddrinfo"));
        s.RaiseSystemError(EADDRNOTAVAIL, "connect");
    }

    // Connect without blocking so the caller's window keeps working while the peer is slow.
    if (!SetNonBlocking(fd, true))
        s.RaiseSystemError(errno, "connect");
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        // EINTR on a non-blocking connect: it goes on in the background like EINPROGRESS.
        if (err != EINPROGRESS && err != EINTR)
            s.RaiseSystemError(err, "connect");
        using clock = std::chrono::steady_clock;
        const auto deadline = clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
        for (;;) {
            pollfd pfd{fd, POLLOUT, 0};
            int r = ::poll(&pfd, 1, kIdleSliceMs);
            if (r < 0 && errno != EINTR)
                s.RaiseSystemError(errno, "connect");
            if (r > 0) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0)
                    soerr = errno;
                if (soerr != 0)
                    s.RaiseSystemError(soerr, "connect");
                break;
            }
            if (clock::now() >= deadline)
                s.RaiseSystemError(ETIMEDOUT, "connect");
            if (OnIdle) {
                OnIdle();
                if (s.FSocket != fd)
                    s.RaiseSystemError(ECONNABORTED, "connect");
            }
        }
    }
    if (!SetNonBlocking(fd, false))
        s.RaiseSystemError(errno, "connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
