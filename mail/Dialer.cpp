#include "Dialer.h"

#include "Timeouts.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

namespace vok {

namespace {

constexpr int kSliceMs = 10;

std::mutex& ResolverLock() {
  static std::mutex m;
  return m;
}

TNameResolver& ResolverSlot() {
  static TNameResolver resolver;
  return resolver;
}

TNameLookup SystemLookup(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  TNameLookup found;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc == 0) {
    for (addrinfo* p = res; p; p = p->ai_next) {
      char text[INET6_ADDRSTRLEN] = {};
      const void* bytes = p->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(p->ai_addr)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr);
      if ((p->ai_family == AF_INET || p->ai_family == AF_INET6) &&
          inet_ntop(p->ai_family, bytes, text, sizeof text))
        found.Addresses.push_back(text);
    }
  }
  if (res) freeaddrinfo(res);
  if (found.Addresses.empty()) {
    found.Code = rc != 0 ? rc : EAI_NONAME;
    found.Reason = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(found.Code);
  }
  return found;
}

bool ToSocketAddress(const std::string& numeric, int port, TDialAddress& out) {
  out = TDialAddress{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.Storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.Storage);
  if (inet_pton(AF_INET, numeric.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    out.Length = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, numeric.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    out.Length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

}  // namespace

void SetNameResolver(TNameResolver resolver) {
  std::lock_guard<std::mutex> lock(ResolverLock());
  ResolverSlot() = std::move(resolver);
}

TNameResolver CurrentNameResolver() {
  std::lock_guard<std::mutex> lock(ResolverLock());
  if (ResolverSlot()) return ResolverSlot();
  return SystemLookup;
}

bool ParseAddressLiteral(const std::string& text, std::string& numeric) {
  std::string inner = text;
  if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']') {
    inner = inner.substr(1, inner.size() - 2);
    // "[IPv6:...]" is how mail writes the literal; a user may copy it from a header.
    if (inner.size() > 5 && strncasecmp(inner.c_str(), "IPv6:", 5) == 0) inner.erase(0, 5);
  }
  in_addr a4{};
  in6_addr a6{};
  if (inet_pton(AF_INET, inner.c_str(), &a4) == 1 || inet_pton(AF_INET6, inner.c_str(), &a6) == 1) {
    numeric = inner;
    return true;
  }
  return false;
}

std::vector<TDialAddress> DialOrder(const std::vector<std::string>& numeric, int port) {
  std::vector<TDialAddress> six, four, order;
  for (const std::string& text : numeric) {
    TDialAddress a;
    if (!ToSocketAddress(text, port, a)) continue;
    // The unspecified address stands for "not resolved"; Linux would take it as this machine.
    const bool unspecified =
        a.Family() == AF_INET6
            ? IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&a.Storage)->sin6_addr)
            : reinterpret_cast<const sockaddr_in*>(&a.Storage)->sin_addr.s_addr == htonl(INADDR_ANY);
    if (!unspecified) (a.Family() == AF_INET6 ? six : four).push_back(a);
  }
  for (size_t i = 0; i < six.size() || i < four.size(); ++i) {
    if (i < six.size()) order.push_back(six[i]);
    if (i < four.size()) order.push_back(four[i]);
  }
  return order;
}

TDialResult DialFirst(const std::vector<TDialAddress>& addresses, int timeoutMs,
                      const std::function<bool()>& idle, int headStartMs) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const auto deadline = start + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : DefaultTimeoutMs);
  std::vector<int> pending;   // attempts in flight
  size_t next = 0;
  auto nextStart = start;
  TDialResult result;
  result.Error = addresses.empty() ? EADDRNOTAVAIL : 0;
  auto dropAll = [&pending] {
    for (int fd : pending) ::close(fd);
    pending.clear();
  };

  for (;;) {
    // Start the next address when its turn has come or nothing else is in flight.
    while (next < addresses.size() && (pending.empty() || clock::now() >= nextStart)) {
      const TDialAddress& a = addresses[next++];
      nextStart = clock::now() + std::chrono::milliseconds(headStartMs);
      const int fd = ::socket(a.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) {
        result.Error = errno;
        continue;
      }
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.Storage), a.Length) == 0) {
        dropAll();
        result.Fd = fd;
        result.Error = 0;
        return result;
      }
      const int err = errno;
      // EINTR on a non-blocking connect: it goes on in the background like EINPROGRESS.
      if (err != EINPROGRESS && err != EINTR) {
        ::close(fd);
        result.Error = err;
        continue;
      }
      pending.push_back(fd);
    }
    if (pending.empty()) return result;   // every address failed

    std::vector<pollfd> fds;
    for (int fd : pending) fds.push_back(pollfd{fd, POLLOUT, 0});
    const int r = ::poll(fds.data(), fds.size(), kSliceMs);
    if (r < 0 && errno != EINTR) {
      result.Error = errno;
      dropAll();
      return result;
    }
    for (size_t i = 0; r > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      int soerr = 0;
      socklen_t len = sizeof soerr;
      if (getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) soerr = errno;
      if (soerr == 0) {
        const int winner = fds[i].fd;
        pending.erase(pending.begin() + static_cast<long>(i));
        dropAll();
        result.Fd = winner;
        result.Error = 0;
        return result;
      }
      // This address failed: the next one need not wait for its head start.
      result.Error = soerr;
      ::close(fds[i].fd);
      pending[i] = -1;
      nextStart = clock::now();
    }
    std::erase(pending, -1);
    if (clock::now() >= deadline) {
      dropAll();
      result.Error = ETIMEDOUT;
      return result;
    }
    if (idle && !idle()) {
      dropAll();
      result.Error = ECONNABORTED;
      return result;
    }
  }
}

}  // namespace vok
