// A TCP proxy that puts a fixed one-way delay on both directions, so the benchmark can measure
// a client over a link with a round trip (this kernel has no netem). Bytes keep their order and
// are passed on in the pieces they were read in, each once its delay is up; nothing limits the
// throughput but the buffer (64 MiB per direction, then the reading side waits).
//
//   bench_latency_proxy --target-port N [--port N] [--delay-ms N] [--once] [--idle-timeout-s N]
//
// Listens on 127.0.0.1 (port 0: a free one) and prints "PORT <n>"; every connection it accepts
// is joined to 127.0.0.1:<target-port>. A side that ends its sending has that end passed on
// after the delay too. --once exits when the first connection is over; in any case it exits
// after --idle-timeout-s seconds (default 120) without traffic.
#include "Listen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadBlock = 256 * 1024;
constexpr size_t kMaxQueued = 64u << 20;

struct Piece {
    Clock::time_point due;
    std::string bytes;   // empty: the end of the sender's data
    size_t sent = 0;
};

// One direction: what was read from `from` waits here until it may go to `to`.
struct Direction {
    int from = -1, to = -1;
    std::deque<Piece> queue;
    size_t queued = 0;
    bool readEnded = false;    // `from` sent its end
    bool writeEnded = false;   // that end was passed on
};

struct Pair {
    Direction up, down;   // client to server, server to client
    bool broken = false;
    bool Done() const { return broken || (up.writeEnded && down.writeEnded); }
};

int delayMs = 25;
volatile sig_atomic_t stopRequested = 0;

void SetOptions(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int ConnectTarget(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    SetOptions(fd);
    return fd;
}

// Reads what there is; false when the connection broke.
bool ReadSide(Direction& d, std::vector<char>& buf)
{
    const ssize_t n = ::recv(d.from, buf.data(), buf.size(), 0);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    Piece p;
    p.due = Clock::now() + std::chrono::milliseconds(delayMs);
    if (n == 0)
        d.readEnded = true;
    else
        p.bytes.assign(buf.data(), static_cast<size_t>(n));
    d.queued += p.bytes.size();
    d.queue.push_back(std::move(p));
    return true;
}

// Passes on every piece whose time has come; false when the connection broke.
bool WriteSide(Direction& d)
{
    const auto now = Clock::now();
    while (!d.queue.empty() && d.queue.front().due <= now) {
        Piece& p = d.queue.front();
        if (p.bytes.empty()) {
            ::shutdown(d.to, SHUT_WR);
            d.writeEnded = true;
            d.queue.pop_front();
            continue;
        }
        const ssize_t n = ::send(d.to, p.bytes.data() + p.sent, p.bytes.size() - p.sent, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        p.sent += static_cast<size_t>(n);
        if (p.sent < p.bytes.size())
            return true;   // the rest when there is room
        d.queued -= p.bytes.size();
        d.queue.pop_front();
    }
    return true;
}

void AddPoll(std::vector<pollfd>& pfds, const Direction& d)
{
    const bool mayRead = !d.readEnded && d.queued < kMaxQueued;
    const bool mustWrite = !d.queue.empty() && d.queue.front().due <= Clock::now();
    pfds.push_back({d.from, static_cast<short>(mayRead ? POLLIN : 0), 0});
    pfds.push_back({d.to, static_cast<short>(mustWrite ? POLLOUT : 0), 0});
}

int WaitMs(const std::vector<std::unique_ptr<Pair>>& pairs)
{
    int wait = 200;
    const auto now = Clock::now();
    for (const auto& p : pairs)
        for (const Direction* d : {&p->up, &p->down})
            if (!d->queue.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d->queue.front().due - now);
                wait = std::min<int>(wait, std::max<int>(0, static_cast<int>(left.count()) + 1));
            }
    return wait;
}

void Serve(int lfd, int target, bool once, int idleS)
{
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<char> buf(kReadBlock);
    auto lastActivity = Clock::now();
    bool served = false;
    while (!stopRequested && !(once && served && pairs.empty())) {
        std::vector<pollfd> pfds{{lfd, POLLIN, 0}};
        for (const auto& p : pairs) {
            AddPoll(pfds, p->up);
            AddPoll(pfds, p->down);
        }
        const int r = ::poll(pfds.data(), pfds.size(), WaitMs(pairs));
        if (r < 0 && errno != EINTR)
            break;
        if (r > 0)
            lastActivity = Clock::now();
        else if (pairs.empty() && Clock::now() - lastActivity > std::chrono::seconds(idleS))
            break;
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair& p = *pairs[i];
            const pollfd* f = &pfds[1 + 4 * i];
            for (Direction* d : {&p.up, &p.down}) {
                const bool readable = (f[0].events & POLLIN) && (f[0].revents & (POLLIN | POLLHUP | POLLERR));
                if (readable && !ReadSide(*d, buf))
                    p.broken = true;
                if (!p.broken && !WriteSide(*d))
                    p.broken = true;
                f += 2;
            }
        }
        for (size_t i = pairs.size(); i-- > 0;)
            if (pairs[i]->Done()) {
                ::close(pairs[i]->up.from);
                ::close(pairs[i]->up.to);
                pairs.erase(pairs.begin() + static_cast<long>(i));
            }
        if (pfds[0].revents & POLLIN) {
            const int client = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = client >= 0 ? ConnectTarget(target) : -1;
            if (server < 0) {
                if (client >= 0)
                    ::close(client);
                continue;
            }
            SetOptions(client);
            auto p = std::make_unique<Pair>();
            p->up.from = p->down.to = client;
            p->up.to = p->down.from = server;
            pairs.push_back(std::move(p));
            served = true;
        }
    }
    for (const auto& p : pairs) {
        ::close(p->up.from);
        ::close(p->up.to);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int port = 0, target = 0, idleS = 120;
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (a == "--port")
            port = next();
        else if (a == "--target-port")
            target = next();
        else if (a == "--delay-ms")
            delayMs = next();
        else if (a == "--idle-timeout-s")
            idleS = next();
        else if (a == "--once")
            once = true;
        else {
            std::fprintf(stderr, "usage: %s --target-port N [--port N] [--delay-ms N] [--once] [--idle-timeout-s N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (target <= 0 || delayMs < 0) {
        std::fprintf(stderr, "bench_latency_proxy: --target-port is required\n");
        return 2;
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    const int lfd = ListenOnLoopback(port, "bench_latency_proxy");
    if (lfd < 0)
        return 1;
    Serve(lfd, target, once, idleS);
    ::close(lfd);
    return 0;
}
