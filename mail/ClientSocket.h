// Client socket layer: one TCP connection (IPv6 or IPv4) over POSIX sockets, blocking toward its
// caller.
//
// The SMTP client drives it in this order: construct, ClientType = ctBlocking, SetPort/SetHost/
// SetAddress, Open (or SetActive(true)), Socket().SendBytes / Socket().ReceiveBytes,
// Close (or SetActive(false)).
//
// Every failure is an ESocketError whose what() is one of these texts:
//   "Socket error: %s (%d), on API '%s'"          a system call failed (strerror text, errno,
//                                                   and "connect", "closesocket", "send", "recv");
//                                                   for a name that does not resolve, %s is
//                                                   "<name>: <resolver's text>", %d getaddrinfo's
//                                                   code and the API "getaddrinfo"
//   "Socket already open"                          opening a socket object that is connected
//   "Can't create new socket"                      socket() refused
//   "No address specified"                         opening with neither host name nor address
//   "Can't change value while socket is active"    changing Host/Address/Port/ClientType
//                                                   to a different value while connected
//
// Behaviour beyond the plain blocking calls (callers rely on these):
// - TCP_NODELAY is set on every connection: a request/reply protocol must not wait for
//   Nagle's algorithm against the peer's delayed acknowledgements.
// - send uses MSG_NOSIGNAL: a peer that has closed gives an ESocketError ("send"), never SIGPIPE.
// - SendBytes writes the whole buffer (looping over partial writes and EINTR) and returns the
//   count written. It never blocks in the system: when the peer's window is full it waits for
//   room in slices of about 10 ms, calling OnIdle between them, and fails after SendTimeoutMs
//   (default vok::DefaultTimeoutMs) without any progress like a failed send (ETIMEDOUT, API
//   "send": error notification, close, ESocketError). A peer that stops reading cannot freeze
//   the window.
//   When OnIdle closes the socket, SendBytes returns the short count written so far.
// - WaitReadable(timeoutMs) polls for readability so a caller can wait in short slices and keep
//   its window alive; it is true as well when the peer closed (the next ReceiveBytes returns 0).
// - Open connects without blocking: it polls in slices of about 10 ms, calling OnIdle (may be
//   empty) between slices, for at most ConnectTimeoutMs (default vok::DefaultTimeoutMs), then
//   puts the socket back into blocking mode. A timeout fails like a refused connect (ETIMEDOUT,
//   API "connect").
// - A host name is resolved to all its addresses of both families (vok::CurrentNameResolver,
//   getaddrinfo unless replaced), and they are raced as Dialer.h describes: IPv6 first, the
//   next address after a short head start or at once when one fails, the first connection
//   wins; when all fail the last failure is raised ("connect"). An address literal (dotted
//   IPv4, "::1", "[::1]", in Host or Address) is used without a lookup. When OnIdle is set
//   the lookup runs in a helper thread while Open idles in 10 ms slices, for at most
//   ConnectTimeoutMs (then it counts as not resolved, "Temporary failure in name
//   resolution"): a name server that does not answer cannot freeze the window. A name that
//   does not resolve is never dialled: Open fails with the resolver's error text and the name.
// - ctNonBlocking is stored but behaves like ctBlocking: the asynchronous mode is not built.
// - The disconnect notification is raised only when an established connection is closed;
//   a failed Open closes its half-made socket silently. The destructor closes without any
//   notification (the objects the handlers refer to may already be gone) and never throws.
//
// All calls are meant for one thread; nothing is locked.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Timeouts.h"

class TClientSocket;

class ESocketError : public std::runtime_error {
 public:
  explicit ESocketError(const std::string& Msg) : std::runtime_error(Msg) {}
};

enum TClientType { ctNonBlocking, ctBlocking };

// Kind of failure passed to the error notification.
enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// The socket object: the system handle and the connected flag.
class TCustomWinSocket {
 public:
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;
  ~TCustomWinSocket();

  // System handle, -1 when closed.
  int SocketHandle() const { return FSocket; }
  bool Connected() const { return FConnected; }

  // Writes all Count bytes. Returns Count; 0 without writing when not connected; fewer when
  // OnIdle closed the socket meanwhile. On a system failure or after SendTimeoutMs without
  // progress: error notification (eeSend, the code; the handler may set it to 0), the socket
  // is closed, then ESocketError "send" unless the code was cleared (then -1).
  int SendBytes(const void* Buffer, int Count);
  // One recv of at most Count bytes; blocks until data arrives. Returns the count, 0 when
  // the peer has closed or when not connected. Failures as SendBytes, with eeReceive/"recv".
  int ReceiveBytes(void* Buffer, int Count);
  // True when ReceiveBytes would not block (data, peer closed, error, or not connected);
  // false when nothing arrived within timeoutMs (0 = just look, negative = wait for ever).
  bool WaitReadable(int timeoutMs);
  // Closes the connection (see TClientSocket::Close).
  void Close();

 protected:
  explicit TCustomWinSocket(TClientSocket* Owner) : FOwner(Owner) {}
  void CloseSilently() noexcept;
  void RaiseSystemError(int Code, const char* Api);
  int HandleIoError(TErrorEvent Kind, int Code, const char* Api);

  TClientSocket* FOwner;
  int FSocket = -1;
  bool FConnected = false;

  friend class TClientSocket;
};

// Sender is the TClientSocket raising the notification.
using TSocketNotifyEvent = std::function<void(void* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent =
    std::function<void(void* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

class TClientSocket {
 public:
  TClientSocket();
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& Value);
  const std::string& Address() const { return FAddress; }
  void SetAddress(const std::string& Value);
  int Port() const { return FPort; }
  void SetPort(int Value);
  TClientType ClientType() const { return FClientType; }
  void SetClientType(TClientType Value);

  bool Active() const { return FSocket.Connected(); }
  void SetActive(bool Value);  // true: Open (no-op when connected); false: Close
  void Open();
  void Close();

  TCustomWinSocket& Socket() { return FSocket; }

  // Notifications, in the order Open raises them: lookup, connecting, connect.
  TSocketNotifyEvent OnLookup;
  TSocketNotifyEvent OnConnecting;
  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnDisconnect;
  TSocketErrorEvent OnError;
  // Called between the slices of the connect wait and of a write that waits for room, so a
  // window can keep processing events. May be empty.
  std::function<void()> OnIdle;
  int ConnectTimeoutMs = vok::DefaultTimeoutMs;
  // A write that makes no progress for this long fails (negative: wait for ever).
  int SendTimeoutMs = vok::DefaultTimeoutMs;

 private:
  friend class TCustomWinSocket;
  void CheckInactive(bool Changed);
  // The numeric addresses to dial (a literal as it is; a name through the resolver in
  // force); none when not resolved, with FLookupError saying why.
  std::vector<std::string> ResolveAddresses(int fd);
  std::string FLookupError;  // why the last lookup found nothing: "<name>: <resolver's text>"
  int FLookupCode = 0;
  void ConnectSocket(int fd);  // lookup .. connect on the fresh socket fd; throws on failure

  std::string FHost;
  std::string FAddress;
  int FPort = 0;
  TClientType FClientType = ctNonBlocking;
  TCustomWinSocket FSocket;
};
