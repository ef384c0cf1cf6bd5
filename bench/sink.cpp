// A discarding SMTP server for the benchmark: answers the client's commands, reads message
// data in large blocks looking only for the end-of-data mark (or counting BDAT chunks), and
// counts what arrived.
//
//   bench_sink [--port N] [--delay-ms N] [--idle-timeout-s N] [--once] [--no-extensions]
//              [--tls-cert F --tls-key F]
//
// Listens on 127.0.0.1 (port 0: a free one). Prints "PORT <n>" on its first line, then at exit
// "COUNTS messages=<m> bytes=<b> connections=<c> commands=<k>". Exits after the first
// connection ends with --once, and in any case after --idle-timeout-s seconds (default 120)
// without any traffic, so it never outlives its run. --delay-ms delays every reply. With a
// certificate and key it offers STARTTLS (OpenSSL) and reads the rest of the session through it.
// EHLO offers PIPELINING and CHUNKING (commands read and answered in order however many come
// together; BDAT n [LAST]) unless --no-extensions is given.
#include "Listen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kBlock = 1 << 20;
const char kEnd[] = "\r\n.\r\n";

struct Conn {
    int fd;
    bool inData = false;
    std::string line;      // command bytes not yet ended by LF
    char tail[4] = {};     // last bytes of data seen, for a mark split across blocks
    size_t tailLen = 0;
    bool quit = false;
    SSL* ssl = nullptr;
    bool startTls = false;   // STARTTLS answered: the handshake follows
    size_t chunkLeft = 0;    // BDAT bytes still to come
    bool chunkLast = false;  // the chunk coming is the message's last
};

SSL_CTX* tlsCtx = nullptr;

long long messages = 0, bytes = 0, connections = 0, commands = 0;
int delayMs = 0;
bool extensions = true;
volatile sig_atomic_t stopRequested = 0;

void Reply(Conn& c, const char* text)
{
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    size_t len = std::strlen(text), off = 0;
    while (off < len) {
        ssize_t n = c.ssl ? SSL_write(c.ssl, text + off, static_cast<int>(len - off))
                          : ::send(c.fd, text + off, len - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            c.quit = true;
            return;
        }
        off += static_cast<size_t>(n);
    }
}

void ChunkDone(Conn& c);

void Command(Conn& c, const std::string& line)
{
    ++commands;
    auto is = [&](const char* verb) { return strncasecmp(line.c_str(), verb, std::strlen(verb)) == 0; };
    if (is("EHLO")) {
        std::string reply = "250-sink\r\n";
        if (extensions)
            reply += "250-PIPELINING\r\n250-CHUNKING\r\n";
        if (tlsCtx && !c.ssl)
            reply += "250-STARTTLS\r\n";
        reply.replace(reply.rfind("250-"), 4, "250 ");
        Reply(c, reply.c_str());
    } else if (is("HELO"))
        Reply(c, "250 sink\r\n");
    else if (is("BDAT") && extensions) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(line.c_str() + 4, &end, 10);
        c.chunkLast = strncasecmp(end, " LAST", 5) == 0;
        c.chunkLeft = static_cast<size_t>(n);
        if (n == 0)
            ChunkDone(c);
    }
    else if (is("STARTTLS") && tlsCtx && !c.ssl) {
        Reply(c, "220 Ready to start TLS\r\n");
        c.startTls = true;
    }
    else if (is("MAIL") || is("RCPT") || is("RSET") || is("NOOP"))
        Reply(c, "250 OK\r\n");
    else if (is("DATA")) {
        Reply(c, "354 End data with <CR><LF>.<CR><LF>\r\n");
        c.inData = true;
        // The CR LF ending the DATA line counts as the start of a mark: ".\r\n" ends an empty body.
        std::memcpy(c.tail, "\r\n", 2);
        c.tailLen = 2;
    } else if (is("QUIT")) {
        Reply(c, "221 Bye\r\n");
        c.quit = true;
    } else
        Reply(c, "500 Unknown command\r\n");
}

void ChunkDone(Conn& c)
{
    if (c.chunkLast) {
        ++messages;
        Reply(c, "250 OK queued\r\n");
    } else {
        Reply(c, "250 OK chunk\r\n");
    }
}

// Consumes data bytes; returns how many belong to the message (mark included), or len when
// the mark is not in this block.
size_t Data(Conn& c, const char* p, size_t len)
{
    // A mark spanning the previous block and this one.
    char joint[8];
    size_t head = len < 4 ? len : 4;
    std::memcpy(joint, c.tail, c.tailLen);
    std::memcpy(joint + c.tailLen, p, head);
    const void* hit = memmem(joint, c.tailLen + head, kEnd, 5);
    size_t used = 0;
    if (hit) {
        size_t endInJoint = static_cast<size_t>(static_cast<const char*>(hit) - joint) + 5;
        used = endInJoint - c.tailLen;
    } else if ((hit = memmem(p, len, kEnd, 5))) {
        used = static_cast<size_t>(static_cast<const char*>(hit) - p) + 5;
    }
    if (used) {
        bytes += static_cast<long long>(used);
        ++messages;
        c.inData = false;
        c.tailLen = 0;
        Reply(c, "250 OK queued\r\n");
        return used;
    }
    bytes += static_cast<long long>(len);
    // Keep the last 4 bytes (of tail + block) for the next block.
    char merged[8];
    size_t m = 0;
    std::memcpy(merged, c.tail, c.tailLen);
    m = c.tailLen;
    size_t take = len < 4 ? len : 4;
    std::memcpy(merged + m, p + len - take, take);
    m += take;
    c.tailLen = m < 4 ? m : 4;
    std::memcpy(c.tail, merged + m - c.tailLen, c.tailLen);
    return len;
}

void Input(Conn& c, const char* p, size_t len)
{
    while (len > 0 && !c.quit) {
        if (c.chunkLeft > 0) {
            const size_t used = len < c.chunkLeft ? len : c.chunkLeft;
            bytes += static_cast<long long>(used);
            c.chunkLeft -= used;
            p += used;
            len -= used;
            if (c.chunkLeft == 0)
                ChunkDone(c);
            continue;
        }
        if (c.inData) {
            size_t used = Data(c, p, len);
            p += used;
            len -= used;
            continue;
        }
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', len));
        if (!lf) {
            c.line.append(p, len);
            return;
        }
        c.line.append(p, static_cast<size_t>(lf - p));
        len -= static_cast<size_t>(lf - p) + 1;
        p = lf + 1;
        std::string line;
        line.swap(c.line);
        Command(c, line);
    }
}

}  // namespace

struct Options {
    int port = 0, idleS = 120;
    bool once = false;
    std::string cert, key;
};

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (a == "--port")
            o.port = next();
        else if (a == "--delay-ms")
            delayMs = next();
        else if (a == "--idle-timeout-s")
            o.idleS = next();
        else if (a == "--once")
            o.once = true;
        else if (a == "--no-extensions")
            extensions = false;
        else if (a == "--tls-cert" && i + 1 < argc)
            o.cert = argv[++i];
        else if (a == "--tls-key" && i + 1 < argc)
            o.key = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--port N] [--delay-ms N] [--idle-timeout-s N] [--once] [--no-extensions]\n"
                                 "       [--tls-cert F --tls-key F]\n", argv[0]);
            return false;
        }
    }
    return true;
}

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o))
        return 2;
    const int port = o.port, idleS = o.idleS;
    const bool once = o.once;
    const std::string cert = o.cert, key = o.key;
    if (!cert.empty()) {
        tlsCtx = SSL_CTX_new(TLS_server_method());
        if (!tlsCtx || SSL_CTX_use_certificate_chain_file(tlsCtx, cert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tlsCtx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
            std::fprintf(stderr, "bench_sink: cannot load %s / %s\n", cert.c_str(), key.c_str());
            return 1;
        }
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });

    const int lfd = ListenOnLoopback(port, "bench_sink");
    if (lfd < 0)
        return 1;
    int one = 1;

    std::vector<Conn> conns;
    std::vector<char> buf(kBlock);
    auto lastActivity = std::chrono::steady_clock::now();
    bool done = false;
    while (!done && !stopRequested) {
        std::vector<pollfd> pfds;
        pfds.push_back({lfd, POLLIN, 0});
        for (auto& c : conns)
            pfds.push_back({c.fd, POLLIN, 0});
        int r = ::poll(pfds.data(), pfds.size(), 200);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0) {
            if (std::chrono::steady_clock::now() - lastActivity > std::chrono::seconds(idleS))
                break;
            continue;
        }
        lastActivity = std::chrono::steady_clock::now();
        for (size_t i = pfds.size(); i-- > 1;) {
            if (!pfds[i].revents)
                continue;
            Conn& c = conns[i - 1];
            ssize_t n;
            if (c.ssl) {
                // Whole records may wait inside OpenSSL: read until it holds nothing more.
                do {
                    n = SSL_read(c.ssl, buf.data(), static_cast<int>(buf.size()));
                    if (n > 0)
                        Input(c, buf.data(), static_cast<size_t>(n));
                } while (n > 0 && SSL_pending(c.ssl) > 0 && !c.quit);
                if (n <= 0 && SSL_get_error(c.ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ)
                    n = 1;   // only part of a record so far
            } else {
                n = ::recv(c.fd, buf.data(), buf.size(), 0);
                if (n > 0)
                    Input(c, buf.data(), static_cast<size_t>(n));
            }
            if (n > 0 && c.startTls && !c.quit) {
                c.startTls = false;
                c.ssl = SSL_new(tlsCtx);
                SSL_set_fd(c.ssl, c.fd);
                if (SSL_accept(c.ssl) != 1)
                    c.quit = true;
            }
            if (n == 0 || (n < 0 && errno != EINTR) || c.quit) {
                if (c.ssl)
                    SSL_free(c.ssl);
                ::close(c.fd);
                conns.erase(conns.begin() + static_cast<long>(i - 1));
                if (once)
                    done = true;
            }
        }
        if (pfds[0].revents & POLLIN) {
            int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                ++connections;
                Conn c;
                c.fd = fd;
                conns.push_back(std::move(c));
                Reply(conns.back(), "220 sink ESMTP ready\r\n");
            }
        }
    }
    for (auto& c : conns)
        ::close(c.fd);
    ::close(lfd);
    std::printf("COUNTS messages=%lld bytes=%lld connections=%lld commands=%lld\n", messages, bytes,
                connections, commands);
    return 0;
}
