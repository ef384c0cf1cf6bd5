// Finding and dialling a server: a name's addresses of both families, address literals as a
// user types them into a server field, and a connect that races the addresses the way
// browsers do (RFC 8305): an IPv6 attempt first, the next address after a short head start
// or as soon as an attempt fails, the first connection made wins and the others are dropped.
//
// No Qt, no threads: the caller's idle function runs between short slices of the wait.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace vok {

// What a lookup found: numeric addresses ("2001:db8::1", "192.0.2.7") in the resolver's
// order, or its code and own words for why there are none.
struct TNameLookup {
  std::vector<std::string> Addresses;
  int Code = 0;         // getaddrinfo's code when nothing was found
  std::string Reason;   // the resolver's text for Code
};

// Looks a name up. Must be safe to call from a helper thread.
using TNameResolver = std::function<TNameLookup(const std::string& name)>;

// Replaces the resolver for every later lookup (tests map names to loopback addresses);
// nullptr restores the system's (getaddrinfo, both families).
void SetNameResolver(TNameResolver resolver);
// The resolver in force now (copy it before handing it to another thread).
TNameResolver CurrentNameResolver();

// An address literal as typed: dotted IPv4, IPv6 bare ("::1") or in brackets ("[::1]").
// True with the numeric form in `numeric`; false for anything else (a name).
bool ParseAddressLiteral(const std::string& text, std::string& numeric);

// One address to dial.
struct TDialAddress {
  sockaddr_storage Storage{};
  socklen_t Length = 0;
  int Family() const { return Storage.ss_family; }
};

// The addresses in the order they are tried: the families interleaved, IPv6 first, each
// family keeping the resolver's order. Texts that are not numeric addresses, and the
// unspecified addresses (0.0.0.0, ::), are left out.
std::vector<TDialAddress> DialOrder(const std::vector<std::string>& numeric, int port);

struct TDialResult {
  int Fd = -1;     // connected, non-blocking, close-on-exec; -1 when none connected
  int Error = 0;   // errno of the last failed attempt, ETIMEDOUT, or ECONNABORTED
};

// Head start of one attempt before the next address is tried as well.
constexpr int kDialHeadStartMs = 250;

// Races the addresses within timeoutMs. `idle` runs between slices of about 10 ms; when it
// returns false the caller has given up: every attempt is dropped and Error is ECONNABORTED.
TDialResult DialFirst(const std::vector<TDialAddress>& addresses, int timeoutMs,
                      const std::function<bool()>& idle, int headStartMs = kDialHeadStartMs);

}  // namespace vok
