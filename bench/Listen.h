#pragma once
// The benchmark's servers (the sink and the latency proxy) listen the same way.

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

// The listening socket on 127.0.0.1 (port 0: a free one), its port printed as "PORT n" for the
// runner; -1 on failure, named after `who`.
inline int ListenOnLoopback(int port, const char* who)
{
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t alen = sizeof a;
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 16) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
        std::perror((std::string(who) + ": listen").c_str());
        return -1;
    }
    std::printf("PORT %d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    return lfd;
}
