// How this machine names itself to a server: in HELO/EHLO and in the host
// part of Message-Ids. Servers refuse names that are not fully qualified,
// so an unqualified name is replaced by the connection's address literal.
#pragma once

#include <string>

namespace vok {

// True for a name with an inner dot that is not a localhost name
// ("mail.example.org" yes; "vm", "localhost.localdomain" no).
bool IsQualifiedHostName(const std::string& name);
// The machine's name as the system's resolver qualifies it (what
// `hostname --fqdn` prints), when that name is fully qualified; else empty.
// Looked up once per process.
std::string FullyQualifiedHostName();
// The local address of a connected socket as an SMTP address literal:
// "[192.0.2.1]" or "[IPv6:2001:db8::1]"; "[127.0.0.1]" when the socket has
// no address.
std::string AddressLiteral(int socketHandle);
// The name to announce: the qualified name when there is one, else the
// address literal of the connection.
std::string AnnouncedName(const std::string& qualifiedName, int socketHandle);

}  // namespace vok
