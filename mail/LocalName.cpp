#include "LocalName.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>

namespace vok {

bool IsQualifiedHostName(const std::string& name) {
  const size_t dot = name.find('.');
  if (dot == std::string::npos || dot == 0 || name.back() == '.') return false;
  std::string first;
  for (size_t i = 0; i < dot; ++i)
    first += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  return first != "localhost";
}

std::string FullyQualifiedHostName() {
  static const std::string name = [] {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return std::string();
    std::string host = buf;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string canonical;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
      if (found->ai_canonname) canonical = found->ai_canonname;
      ::freeaddrinfo(found);
    }
    if (IsQualifiedHostName(canonical)) return canonical;
    return IsQualifiedHostName(host) ? host : std::string();
  }();
  return name;
}

std::string AddressLiteral(int socketHandle) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  char text[INET6_ADDRSTRLEN] = {};
  if (socketHandle >= 0 &&
      ::getsockname(socketHandle, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    if (addr.ss_family == AF_INET) {
      const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
      if (::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text)) return "[" + std::string(text) + "]";
    } else if (addr.ss_family == AF_INET6) {
      const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
      if (::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text))
        return "[IPv6:" + std::string(text) + "]";
    }
  }
  return "[127.0.0.1]";
}

std::string AnnouncedName(const std::string& qualifiedName, int socketHandle) {
  return IsQualifiedHostName(qualifiedName) ? qualifiedName : AddressLiteral(socketHandle);
}

}  // namespace vok
