// Reaching a server over IPv6 and past addresses that do not answer: literals as typed into
// the server field, names mapped by the replaceable resolver, and the greeting dialogue run
// over the connection that won.
#include "Dialer.h"
#include "VokSMTP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Greets every connection on one loopback address (::1 or 127.0.0.1) with 220, answers the
// EHLO or HELO with 250 and the QUIT with 221, and counts the connections; stops with the object.
class GreetingServer {
public:
    explicit GreetingServer(int family, int port = 0)
    {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage st{};
        socklen_t len;
        if (family == AF_INET6) {
            setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            auto* a = reinterpret_cast<sockaddr_in6*>(&st);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            a->sin6_port = htons(static_cast<uint16_t>(port));
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&st);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a->sin_port = htons(static_cast<uint16_t>(port));
            len = sizeof *a;
        }
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&st), len) == 0 && ::listen(fd_, 8) == 0;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&st), &len);
        port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&st)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&st)->sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~GreetingServer()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }
    int connections() const { return connections_; }
    std::string lastCommand() const { return std::string(lastHelo_); }

private:
    void Run()
    {
        // At most 20 s, whatever the client does.
        for (int i = 0; i < 2000 && !stop_; ++i) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) != 1)
                continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            ++connections_;
            Serve(c);
            ::close(c);
        }
    }
    void Serve(int c)
    {
        auto say = [c](const char* s) { ::send(c, s, std::strlen(s), MSG_NOSIGNAL); };
        say("220 v6 ready\r\n");
        std::string in;
        for (int i = 0; i < 500 && !stop_; ++i) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 10) != 1)
                continue;
            char buf[512];
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            in.append(buf, static_cast<size_t>(n));
            size_t eol;
            while ((eol = in.find("\r\n")) != std::string::npos) {
                const std::string line = in.substr(0, eol);
                in.erase(0, eol + 2);
                if (line.rfind("EHLO ", 0) == 0 || line.rfind("HELO ", 0) == 0) {
                    std::snprintf(lastHelo_, sizeof lastHelo_, "%s", line.c_str());
                    say("250 hello\r\n");
                } else if (line == "QUIT") {
                    say("221 bye\r\n");
                    return;
                }
            }
        }
    }

    int fd_ = -1;
    int port_ = 0;
    bool ok_ = false;
    char lastHelo_[256] = {};
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Puts the system's resolver back after each test.
struct ResolverGuard {
    ~ResolverGuard() { vok::SetNameResolver(nullptr); }
};

vok::TNameResolver MapTo(std::string name, std::vector<std::string> addresses)
{
    return [name, addresses](const std::string& asked) {
        vok::TNameLookup found;
        if (asked == name)
            found.Addresses = addresses;
        else {
            found.Code = -2;
            found.Reason = "Name or service not known";
        }
        return found;
    };
}

}  // namespace

TEST(Dialer, AddressLiteralsAndDialOrder)
{
    struct Case {
        const char* typed;
        const char* numeric;   // nullptr: a name, not a literal
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},  {"::1", "::1"},         {"[::1]", "::1"},
        {"[2001:db8::1]", "2001:db8::1"}, {"[IPv6:::1]", "::1"}, {"2001:db8::1", "2001:db8::1"},
        {"mail.example.org", nullptr}, {"[mail.example.org]", nullptr}, {"[::1", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        std::string numeric;
        EXPECT_EQ(vok::ParseAddressLiteral(c.typed, numeric), c.numeric != nullptr) << c.typed;
        if (c.numeric) {
            EXPECT_EQ(numeric, c.numeric) << c.typed;
        }
    }

    // Families interleaved, IPv6 first, each family in the resolver's order; junk left out.
    const auto order = vok::DialOrder({"192.0.2.1", "192.0.2.2", "2001:db8::1", "junk", "192.0.2.3",
                                       "2001:db8::2"},
                                      25);
    std::vector<std::string> shown;
    for (const auto& a : order) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* bytes = a.Family() == AF_INET6
                                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&a.Storage)->sin6_addr)
                                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&a.Storage)->sin_addr);
        inet_ntop(a.Family(), bytes, text, sizeof text);
        shown.push_back(text);
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2",
                                               "192.0.2.3"}));
}

// A server listening on ::1 only is reached by the bracketed and the bare literal and by a
// name the resolver maps to ::1; the greeting and EHLO run over IPv6 and name the connection's
// IPv6 address when the machine has no qualified name.
TEST(Dialer, ServerOnIpv6LoopbackIsReachedByLiteralsAndName)
{
    ResolverGuard guard;
    GreetingServer server(AF_INET6);
    ASSERT_TRUE(server.ok()) << "no IPv6 loopback on this machine";
    vok::SetNameResolver(MapTo("six.test", {"::1"}));
    int expected = 0;
    for (const char* host : {"[::1]", "::1", "six.test"}) {
        TVokSMTP smtp;
        smtp.HostNameSource = [] { return std::string(); };
        smtp.TimeOut = 10000;
        smtp.Host = host;
        smtp.Port = std::to_string(server.port());
        smtp.Connect();
        EXPECT_FALSE(smtp.Failed) << host << ": " << smtp.ReplyText;
        EXPECT_TRUE(smtp.Connected) << host;
        EXPECT_EQ(smtp.ReplyCode, "250") << host;
        smtp.Quit();
        EXPECT_FALSE(smtp.Failed) << host << ": " << smtp.ReplyText;
        ++expected;
        EXPECT_EQ(server.connections(), expected) << host;
        EXPECT_EQ(server.lastCommand(), "EHLO [IPv6:::1]") << host;
    }
}

// The first address of a name refuses (nothing on ::1 at that port), the second listens: the
// connection is made to the second, and a name whose every address refuses reports the
// connect error as before.
TEST(Dialer, AFailingFirstAddressGivesWayToTheNext)
{
    ResolverGuard guard;
    GreetingServer server(AF_INET);
    ASSERT_TRUE(server.ok());
    {
        GreetingServer probe(AF_INET6, server.port());
        ASSERT_TRUE(probe.ok()) << "the port is taken on ::1; nothing to test against";
    }   // ::1 at that port refuses from here on
    vok::SetNameResolver(MapTo("two.test", {"::1", "127.0.0.1"}));
    TVokSMTP smtp;
    smtp.TimeOut = 10000;
    smtp.Host = "two.test";
    smtp.Port = std::to_string(server.port());
    smtp.Connect();
    EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
    EXPECT_EQ(server.connections(), 1);
    smtp.Quit();

    // Only the refusing address: the error text of a refused connect, unchanged.
    vok::SetNameResolver(MapTo("two.test", {"::1"}));
    TVokSMTP alone;
    alone.TimeOut = 10000;
    alone.Host = "two.test";
    alone.Port = std::to_string(server.port());
    alone.Connect();
    EXPECT_TRUE(alone.Failed);
    EXPECT_EQ(alone.ReplyText, std::string("Socket error: ") + std::strerror(ECONNREFUSED) + " (" +
                                   std::to_string(ECONNREFUSED) + "), on API 'connect'");
}
