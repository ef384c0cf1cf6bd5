#include "ClientSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string SysText(int code, const char* api)
{
    return std::string("Socket error: ") + std::strerror(code) + " (" + std::to_string(code) +
           "), on API '" + api + "'";
}

// What a name that does not resolve reports: the name and the resolver's own words for it.
std::string ResolverText(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int code = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (res)
        freeaddrinfo(res);
    EXPECT_NE(code, 0) << host << " resolved";
    return "Socket error: " + host + ": " + gai_strerror(code) + " (" + std::to_string(code) +
           "), on API 'getaddrinfo'";
}

// A listening socket on a free loopback port; every wait is bounded.
class Listener {
public:
    explicit Listener(int backlog = 8)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_, backlog), 0);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener()
    {
        for (int c : conns_)
            ::close(c);
        ::close(fd_);
    }
    int port() const { return port_; }
    int Accept(int timeoutMs = 5000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return -1;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0)
            conns_.push_back(c);
        return c;
    }
    std::string Read(int c, size_t want, int timeoutMs = 5000)
    {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            char buf[65536];
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    // Closes the connection with a reset, so the client's next write fails at once.
    void Reset(int c)
    {
        linger l{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(c);
        std::erase(conns_, c);
    }
    void Close(int c)
    {
        ::close(c);
        std::erase(conns_, c);
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> conns_;
};

// A loopback port where nothing listens.
int RefusedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

std::string OpenError(TClientSocket& cs)
{
    try {
        cs.Open();
    } catch (const ESocketError& e) {
        return e.what();
    }
    return "(no error)";
}

struct Recorder {
    std::vector<std::string> events;
    void Attach(TClientSocket& cs)
    {
        cs.OnLookup = [this](void*, TCustomWinSocket*) { events.push_back("lookup"); };
        cs.OnConnecting = [this](void*, TCustomWinSocket*) { events.push_back("connecting"); };
        cs.OnConnect = [this](void*, TCustomWinSocket*) { events.push_back("connect"); };
        cs.OnDisconnect = [this](void*, TCustomWinSocket*) { events.push_back("disconnect"); };
        cs.OnError = [this](void*, TCustomWinSocket*, TErrorEvent k, int& code) {
            events.push_back("error " + std::to_string(k) + " " + std::to_string(code));
        };
    }
};

}  // namespace

// Fills a listener's accept queue (backlog 0) with handshakes nobody accepts, so a further
// connect to it stays pending; the sockets close at the end of the scope.
class AcceptQueueFiller {
public:
    explicit AcceptQueueFiller(int port)
    {
        for (int i = 0; i < 4; ++i) {
            int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port));
            ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fds_.push_back(f);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~AcceptQueueFiller()
    {
        for (int f : fds_)
            ::close(f);
    }
    AcceptQueueFiller(const AcceptQueueFiller&) = delete;
    AcceptQueueFiller& operator=(const AcceptQueueFiller&) = delete;

private:
    std::vector<int> fds_;
};

TEST(ClientSocketOpen, FailsWithoutAnyAddressAndLeavesNothingOpen)
{
    TClientSocket cs;
    Recorder r;
    r.Attach(cs);
    cs.SetPort(25);
    EXPECT_EQ(OpenError(cs), "No address specified");
    EXPECT_FALSE(cs.Active());
    EXPECT_EQ(cs.Socket().SocketHandle(), -1);
    // Lookup was announced; no disconnect for a connection that never existed.
    EXPECT_EQ(r.events, std::vector<std::string>{"lookup"});
}

TEST(ClientSocketOpen, UnresolvableNameSaysSoWithTheName)
{
    TClientSocket cs;
    cs.SetHost("no..such..host");   // malformed: fails in the resolver without a query
    cs.SetPort(25);
    const std::string error = OpenError(cs);
    EXPECT_EQ(error, ResolverText("no..such..host"));
    EXPECT_EQ(error.find("Windows"), std::string::npos);
    EXPECT_FALSE(cs.Active());
}

TEST(ClientSocketOpen, NeverDialsTheAnyAddress)
{
    // On Linux 0.0.0.0 would reach a server on this machine; it stands for "not resolved".
    Listener l;
    TClientSocket cs;
    cs.SetAddress("0.0.0.0");
    cs.SetPort(l.port());
    EXPECT_EQ(OpenError(cs), SysText(EADDRNOTAVAIL, "connect"));
    EXPECT_EQ(l.Accept(100), -1);
}

TEST(ClientSocketOpen, RefusedPortGivesConnectErrorText)
{
    TClientSocket cs;
    Recorder r;
    r.Attach(cs);
    cs.SetAddress("127.0.0.1");
    cs.SetPort(RefusedPort());
    EXPECT_EQ(OpenError(cs), SysText(ECONNREFUSED, "connect"));
    EXPECT_FALSE(cs.Active());
    EXPECT_EQ(cs.Socket().SocketHandle(), -1);
    EXPECT_EQ(r.events, (std::vector<std::string>{"lookup", "connecting"}));
}

TEST(ClientSocketOpen, ConnectsToLoopbackWithNotificationsInOrder)
{
    Listener l;
    TClientSocket cs;
    Recorder r;
    r.Attach(cs);
    cs.SetClientType(ctBlocking);
    cs.SetHost("127.0.0.1");   // dotted text in Host is used as it stands
    cs.SetPort(l.port());
    cs.Open();
    ASSERT_TRUE(cs.Active());
    EXPECT_EQ(r.events, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    int fd = cs.Socket().SocketHandle();
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(nodelay, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "blocking mode must be restored";

    cs.Close();
    EXPECT_FALSE(cs.Active());
    EXPECT_EQ(r.events.back(), "disconnect");
}

TEST(ClientSocketOpen, ResolvesLocalhostByName)
{
    Listener l;
    TClientSocket cs;
    cs.SetHost("localhost");
    cs.SetPort(l.port());
    cs.SetActive(true);
    EXPECT_TRUE(cs.Active());
    EXPECT_GE(l.Accept(), 0);
    cs.SetActive(false);
    EXPECT_FALSE(cs.Active());
}

TEST(ClientSocketOpen, SecondOpenIsRefusedButActiveTrueIsHarmless)
{
    Listener l;
    TClientSocket cs;
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.Open();
    EXPECT_EQ(OpenError(cs), "Socket already open");
    EXPECT_TRUE(cs.Active());
    cs.SetActive(true);
    EXPECT_TRUE(cs.Active());
}

TEST(ClientSocketOpen, ConnectThatNeverCompletesTimesOutWhileIdling)
{
    // A listener whose accept queue is full drops further handshakes, so the connect hangs.
    Listener l(0);
    const AcceptQueueFiller fillers(l.port());
    TClientSocket cs;
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.ConnectTimeoutMs = 300;
    int idles = 0;
    cs.OnIdle = [&] { ++idles; };
    EXPECT_EQ(OpenError(cs), SysText(ETIMEDOUT, "connect"));
    EXPECT_GT(idles, 1);
    EXPECT_FALSE(cs.Active());
}

TEST(ClientSocketProperties, ChangesRefusedOnlyWhileActiveAndOnlyForNewValues)
{
    Listener l;
    TClientSocket cs;
    cs.SetHost("LocalHost");
    cs.SetPort(l.port());
    cs.SetClientType(ctBlocking);
    cs.Open();
    EXPECT_NO_THROW(cs.SetPort(l.port()));
    EXPECT_NO_THROW(cs.SetHost("localhost"));   // letter case does not count
    EXPECT_NO_THROW(cs.SetAddress(""));
    EXPECT_NO_THROW(cs.SetClientType(ctBlocking));
    const std::string active = "Can't change value while socket is active";
    auto msg = [](auto f) {
        try {
            f();
        } catch (const ESocketError& e) {
            return std::string(e.what());
        }
        return std::string("(no error)");
    };
    EXPECT_EQ(msg([&] { cs.SetPort(l.port() + 1); }), active);
    EXPECT_EQ(msg([&] { cs.SetHost("example.org"); }), active);
    EXPECT_EQ(msg([&] { cs.SetAddress("127.0.0.2"); }), active);
    EXPECT_EQ(msg([&] { cs.SetClientType(ctNonBlocking); }), active);
    EXPECT_EQ(cs.Port(), l.port());
    cs.Close();
    EXPECT_NO_THROW(cs.SetPort(2525));
    EXPECT_EQ(cs.Port(), 2525);
}

TEST(ClientSocketIo, ClosedSocketSendsAndReceivesNothing)
{
    TClientSocket cs;
    char buf[16] = "abc";
    EXPECT_EQ(cs.Socket().SendBytes(buf, 3), 0);
    EXPECT_EQ(cs.Socket().ReceiveBytes(buf, sizeof buf), 0);
    EXPECT_TRUE(cs.Socket().WaitReadable(0));
    EXPECT_NO_THROW(cs.Close());
}

TEST(ClientSocketIo, BytesTravelBothWaysAndLargeWritesGoOutWhole)
{
    Listener l;
    TClientSocket cs;
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.Open();
    int c = l.Accept();
    ASSERT_GE(c, 0);

    // Bigger than the socket buffers: the peer reads concurrently.
    std::string big(8 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 131 + (i >> 9));
    std::string got;
    std::thread reader([&] { got = l.Read(c, big.size(), 20000); });
    EXPECT_EQ(cs.Socket().SendBytes(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    reader.join();
    EXPECT_TRUE(got == big) << "received " << got.size() << " bytes";

    EXPECT_FALSE(cs.Socket().WaitReadable(30));   // nothing sent yet
    const std::string reply = "220 ready\r\n";
    ASSERT_EQ(::send(c, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    ASSERT_TRUE(cs.Socket().WaitReadable(5000));
    std::string in;
    char buf[4];
    while (in.size() < reply.size()) {
        int n = cs.Socket().ReceiveBytes(buf, sizeof buf);   // at most Count bytes per call
        ASSERT_GT(n, 0);
        ASSERT_LE(n, 4);
        in.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(in, reply);
}

TEST(ClientSocketIo, PeerCloseReadsAsZeroWithoutError)
{
    Listener l;
    TClientSocket cs;
    Recorder r;
    r.Attach(cs);
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.Open();
    int c = l.Accept();
    ASSERT_GE(c, 0);
    ::send(c, "bye", 3, 0);
    l.Close(c);
    ASSERT_TRUE(cs.Socket().WaitReadable(5000));
    char buf[64];
    EXPECT_EQ(cs.Socket().ReceiveBytes(buf, sizeof buf), 3);
    EXPECT_TRUE(cs.Socket().WaitReadable(5000));   // the hang-up counts as readable
    EXPECT_EQ(cs.Socket().ReceiveBytes(buf, sizeof buf), 0);
    EXPECT_EQ(cs.Socket().ReceiveBytes(buf, sizeof buf), 0);
    EXPECT_TRUE(cs.Active());
    EXPECT_EQ(r.events.back(), "connect");   // no error notification
}

TEST(ClientSocketIo, WritingToClosedPeerRaisesInsteadOfKillingTheProgram)
{
    std::signal(SIGPIPE, SIG_DFL);   // without MSG_NOSIGNAL this test would die
    Listener l;
    TClientSocket cs;
    Recorder r;
    r.Attach(cs);
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.Open();
    int c = l.Accept();
    ASSERT_GE(c, 0);
    l.Reset(c);
    std::string error;
    std::string chunk(4096, 'x');
    for (int i = 0; i < 200 && error.empty(); ++i) {
        try {
            cs.Socket().SendBytes(chunk.data(), static_cast<int>(chunk.size()));
        } catch (const ESocketError& e) {
            error = e.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(error.empty());
    EXPECT_TRUE(error == SysText(EPIPE, "send") || error == SysText(ECONNRESET, "send")) << error;
    EXPECT_FALSE(cs.Active());
    ASSERT_GE(r.events.size(), 5u);
    // The error notification comes first (send kind), then the close it causes.
    EXPECT_EQ(r.events[3].rfind("error 1 ", 0), 0u) << r.events[3];
    EXPECT_EQ(r.events[4], "disconnect");
}

TEST(ClientSocketIo, ErrorHandlerMayClearTheCode)
{
    Listener l;
    TClientSocket cs;
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    int seen = 0;
    cs.OnError = [&](void* sender, TCustomWinSocket* s, TErrorEvent kind, int& code) {
        EXPECT_EQ(sender, &cs);
        EXPECT_EQ(s, &cs.Socket());
        EXPECT_EQ(kind, eeReceive);
        seen = code;
        code = 0;
    };
    cs.Open();
    int c = l.Accept();
    ASSERT_GE(c, 0);
    ::send(c, "x", 1, 0);
    l.Reset(c);   // unread data plus reset: the read fails with ECONNRESET
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buf[8];
    int n = 0;
    EXPECT_NO_THROW(n = cs.Socket().ReceiveBytes(buf, sizeof buf));
    if (seen == 0) {
        // The byte may still be delivered before the reset shows; the next read fails.
        EXPECT_EQ(n, 1);
        EXPECT_NO_THROW(n = cs.Socket().ReceiveBytes(buf, sizeof buf));
    }
    EXPECT_EQ(seen, ECONNRESET);
    EXPECT_EQ(n, -1);
    EXPECT_FALSE(cs.Active());
}

TEST(ClientSocketClose, HandlersThatCloseAgainDoNotRecurse)
{
    Listener l;
    TClientSocket cs;
    int disconnects = 0;
    bool activeSeen = true;
    cs.OnDisconnect = [&](void*, TCustomWinSocket* s) {
        ++disconnects;
        activeSeen = cs.Active();
        s->Close();   // what an owner's clean-up may well do
    };
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.Open();
    cs.Close();
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(activeSeen);
    EXPECT_EQ(cs.Socket().SocketHandle(), -1);
    cs.Close();
    EXPECT_EQ(disconnects, 1);
}

TEST(ClientSocketClose, IdleHandlerMayAbandonAConnectInProgress)
{
    Listener l(0);   // full accept queue: the connect stays pending
    const AcceptQueueFiller fillers(l.port());
    TClientSocket cs;
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.ConnectTimeoutMs = 5000;
    cs.OnIdle = [&] { cs.Close(); };
    EXPECT_EQ(OpenError(cs), SysText(ECONNABORTED, "connect"));
    EXPECT_FALSE(cs.Active());
    EXPECT_EQ(cs.Socket().SocketHandle(), -1);
}

TEST(ClientSocketIo, PeerThatStopsReadingCannotFreezeAWrite)
{
    Listener l;
    TClientSocket cs;
    Recorder r;
    r.Attach(cs);
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.SendTimeoutMs = 300;
    int idles = 0;
    cs.OnIdle = [&] { ++idles; };
    cs.Open();
    ASSERT_GE(l.Accept(), 0);   // accepted, never read
    std::string big(64 << 20, 'x');   // far more than both socket buffers hold
    std::string error;
    try {
        cs.Socket().SendBytes(big.data(), static_cast<int>(big.size()));
    } catch (const ESocketError& e) {
        error = e.what();
    }
    EXPECT_EQ(error, SysText(ETIMEDOUT, "send"));
    EXPECT_GT(idles, 1);
    EXPECT_FALSE(cs.Active());
    EXPECT_EQ(r.events.back(), "disconnect");
    EXPECT_EQ(r.events[r.events.size() - 2], "error 1 " + std::to_string(ETIMEDOUT));
}

TEST(ClientSocketIo, IdleHandlerMayCloseDuringAStalledWrite)
{
    Listener l;
    TClientSocket cs;
    cs.SetAddress("127.0.0.1");
    cs.SetPort(l.port());
    cs.SendTimeoutMs = 10000;
    cs.OnIdle = [&] { cs.Close(); };   // the user cancels
    cs.Open();
    ASSERT_GE(l.Accept(), 0);
    std::string big(64 << 20, 'x');
    int n = -2;
    EXPECT_NO_THROW(n = cs.Socket().SendBytes(big.data(), static_cast<int>(big.size())));
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    EXPECT_FALSE(cs.Active());
}

TEST(ClientSocketOpen, LookupWhileIdlingGivesTheSameResults)
{
    Listener l;
    TClientSocket cs;
    cs.OnIdle = [] {};
    cs.SetHost("localhost");
    cs.SetPort(l.port());
    cs.Open();
    EXPECT_TRUE(cs.Active());
    EXPECT_GE(l.Accept(), 0);
    cs.Close();
    cs.SetHost("no..such..host");
    EXPECT_EQ(OpenError(cs), ResolverText("no..such..host"));
    EXPECT_EQ(cs.Socket().SocketHandle(), -1);
}
