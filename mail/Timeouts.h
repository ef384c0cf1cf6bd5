// How long the mail components wait on a server by default.
#pragma once

namespace vok {

// One limit for every wait on the server: the name lookup, the connect, the TLS handshake, a
// reply, room to write. TVokSMTP::TimeOut starts at this value and a TimeOut of 0 or less
// falls back to it; the window may offer it as its own default.
constexpr int DefaultTimeoutMs = 60000;

}  // namespace vok
