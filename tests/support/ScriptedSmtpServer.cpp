#include "ScriptedSmtpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

long long NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kSliceMs = 20;

}  // namespace

ScriptStep Expect(std::string line) { return {ScriptStep::kExpect, {std::move(line)}, -1}; }
ScriptStep Send(std::string bytes) { return {ScriptStep::kSend, {std::move(bytes)}, 0}; }
ScriptStep SendSplit(std::vector<std::string> segments, int pauseMs)
{
    return {ScriptStep::kSend, std::move(segments), pauseMs};
}
ScriptStep Silent(int ms) { return {ScriptStep::kSilent, {}, ms}; }
ScriptStep CloseConnection() { return {ScriptStep::kClose, {}, -1}; }
ScriptStep NextConnection() { return {ScriptStep::kNextConnection, {}, -1}; }
ScriptStep ReadData() { return {ScriptStep::kReadData, {}, -1}; }
ScriptStep ReadChunk(bool last) { return {ScriptStep::kReadChunk, {}, last ? 1 : 0}; }
ScriptStep Quiet(int ms) { return {ScriptStep::kQuiet, {}, ms}; }
ScriptStep StartTls(std::string certFile, std::string keyFile)
{
    return {ScriptStep::kStartTls, {std::move(certFile), std::move(keyFile)}, -1};
}
ScriptStep SendRaw(std::string bytes) { return {ScriptStep::kSendRaw, {std::move(bytes)}, 0}; }
ScriptStep Deaf(int ms) { return {ScriptStep::kDeaf, {}, ms}; }

std::string Printable(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<ScriptStep> script, int deadlineMs, int port,
                                       int receiveBuffer)
    : script_(std::move(script)), deadlineNs_(NowNs() + deadlineMs * 1000000LL)
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error("scripted server: no socket");
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set before listening, so the window offered to the client is small from the start.
    if (receiveBuffer > 0)
        setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("scripted server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    Stop();
}

void ScriptedSmtpServer::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

bool ScriptedSmtpServer::Wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
    if (!finished_ && failure_.empty())
        return false;
    return complete_ && failure_.empty();
}

std::string ScriptedSmtpServer::Received() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

std::vector<std::string> ScriptedSmtpServer::Data() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return data_;
}

std::string ScriptedSmtpServer::Failure() const
{
    std::lock_guard<std::mutex> lock(mu_);
    if (failure_.empty() && !finished_)
        return "the script has not run through yet (" + std::to_string(stepsDone_) + " of " +
               std::to_string(script_.size()) + " steps done)";
    return failure_;
}

int ScriptedSmtpServer::StepsDone() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return stepsDone_;
}

int ScriptedSmtpServer::Connections() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return connections_;
}

bool ScriptedSmtpServer::TimeLeft() const
{
    return !stop_ && NowNs() < deadlineNs_;
}

void ScriptedSmtpServer::Fail(const std::string& why)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (failure_.empty())
        failure_ = why;
}

void ScriptedSmtpServer::CloseConn()
{
    if (tls_) {
        SSL_free(tls_);
        tls_ = nullptr;
    }
    if (tlsContext_) {
        SSL_CTX_free(tlsContext_);
        tlsContext_ = nullptr;
    }
    if (conn_ >= 0) {
        ::close(conn_);
        conn_ = -1;
    }
    buf_.clear();
}

bool ScriptedSmtpServer::AcceptConnection()
{
    while (TimeLeft()) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) != 1)
            continue;
        int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        conn_ = c;
        std::lock_guard<std::mutex> lock(mu_);
        ++connections_;
        return true;
    }
    return false;
}

bool ScriptedSmtpServer::Fill(int sliceMs)
{
    if (conn_ < 0 || !TimeLeft())
        return false;
    if (!tls_ || SSL_pending(tls_) == 0) {
        pollfd p{conn_, POLLIN, 0};
        int r = ::poll(&p, 1, sliceMs);
        if (r == 0)
            return true;   // nothing yet; the caller checks time and loops
        if (r < 0)
            return errno == EINTR;
    }
    char chunk[65536];
    ssize_t n;
    if (tls_) {
        size_t got = 0;
        ERR_clear_error();
        const int r = SSL_read_ex(tls_, chunk, sizeof chunk, &got);
        if (r != 1) {
            const int e = SSL_get_error(tls_, r);
            return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;   // part of a record
        }
        n = static_cast<ssize_t>(got);
    } else {
        n = ::recv(conn_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return n < 0 && errno == EINTR;
    }
    buf_.append(chunk, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mu_);
    received_.append(chunk, static_cast<size_t>(n));
    return true;
}

bool ScriptedSmtpServer::Write(const std::string& out)
{
    size_t sent = 0;
    while (sent < out.size()) {
        if (tls_) {
            size_t n = 0;
            ERR_clear_error();
            const int r = SSL_write_ex(tls_, out.data() + sent, out.size() - sent, &n);
            if (r == 1) {
                sent += n;
                continue;
            }
            const int e = SSL_get_error(tls_, r);
            if ((e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) || !TimeLeft())
                return false;
            pollfd p{conn_, static_cast<short>(e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
            ::poll(&p, 1, kSliceMs);
            continue;
        }
        ssize_t n = ::send(conn_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ScriptedSmtpServer::Handshake(const std::string& cert, const std::string& key, std::string& why)
{
    // Bytes the client sent ahead of the handshake would be taken as plain text inside it.
    if (!buf_.empty()) {
        why = "bytes before the handshake: \"" + Printable(buf_) + "\"";
        return false;
    }
    tlsContext_ = SSL_CTX_new(TLS_server_method());
    if (!tlsContext_ || SSL_CTX_use_certificate_chain_file(tlsContext_, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tlsContext_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        why = "cannot load " + cert + " and " + key;
        return false;
    }
    tls_ = SSL_new(tlsContext_);
    // Non-blocking, so every wait is a slice that sees the deadline and a stop.
    fcntl(conn_, F_SETFL, fcntl(conn_, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(tls_, conn_);
    for (;;) {
        ERR_clear_error();
        const int r = SSL_accept(tls_);
        if (r == 1)
            return true;
        const int e = SSL_get_error(tls_, r);
        if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) || !TimeLeft()) {
            char text[256] = "timed out";
            if (const unsigned long code = ERR_get_error())
                ERR_error_string_n(code, text, sizeof text);
            why = text;
            return false;
        }
        pollfd p{conn_, static_cast<short>(e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        ::poll(&p, 1, kSliceMs);
    }
}

bool ScriptedSmtpServer::ReadChunkStep(bool last, const std::string& where)
{
    while (buf_.find('\n') == std::string::npos && Fill(kSliceMs) && TimeLeft()) {
    }
    const size_t eol = buf_.find('\n');
    const std::string line = eol == std::string::npos ? buf_ : buf_.substr(0, eol + 1);
    const std::string tail = last ? " LAST\r\n" : "\r\n";
    const bool form = eol != std::string::npos && line.rfind("BDAT ", 0) == 0 && line.size() > 5 + tail.size()
                      && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    const std::string digits = form ? line.substr(5, line.size() - 5 - tail.size()) : std::string();
    if (!form || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
        Fail(where + "expected a BDAT" + (last ? " LAST" : "") + " line, got \"" + Printable(line) + "\"");
        return false;
    }
    buf_.erase(0, eol + 1);
    const size_t n = std::stoul(digits);
    while (buf_.size() < n && Fill(kSliceMs) && TimeLeft()) {
    }
    if (buf_.size() < n) {
        Fail(where + "chunk of " + digits + " bytes not received (" + std::to_string(buf_.size()) + " read)");
        return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    data_.push_back(buf_.substr(0, n));
    buf_.erase(0, n);
    return true;
}

void ScriptedSmtpServer::Run()
{
    // OpenSSL writes with write(): a client that has gone must not end the test program. The
    // signal stays blocked, and pending, on this thread only, and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    bool ok = AcceptConnection();
    if (!ok)
        Fail("no client connected before the deadline");
    for (size_t i = 0; ok && i < script_.size(); ++i) {
        const ScriptStep& step = script_[i];
        const std::string where = "step " + std::to_string(i + 1) + ": ";
        switch (step.kind) {
        case ScriptStep::kExpect: {
            const std::string& want = step.bytes.at(0);
            const bool byLine = !want.empty() && want.back() == '\n';
            auto have = [&] {
                return byLine ? buf_.find('\n') != std::string::npos : buf_.size() >= want.size();
            };
            while (!have() && Fill(kSliceMs) && TimeLeft()) {
            }
            if (!have()) {
                Fail(where + "expected \"" + Printable(want) + "\", but the connection " +
                     (TimeLeft() ? "ended" : "timed out") + " with \"" + Printable(buf_) + "\"");
                ok = false;
                break;
            }
            size_t n = byLine ? buf_.find('\n') + 1 : want.size();
            std::string got = buf_.substr(0, n);
            buf_.erase(0, n);
            if (got != want) {
                Fail(where + "expected \"" + Printable(want) + "\", got \"" + Printable(got) + "\"");
                ok = false;
            }
            break;
        }
        case ScriptStep::kSend:
            for (size_t s = 0; ok && s < step.bytes.size(); ++s) {
                if (s > 0 && step.ms > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                const std::string& out = step.bytes[s];
                if (!Write(out)) {
                    Fail(where + "could not send \"" + Printable(out) + "\": the client has gone");
                    ok = false;
                }
            }
            break;
        case ScriptStep::kSendRaw: {
            const std::string& out = step.bytes.at(0);
            if (::send(conn_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
                Fail(where + "could not send the raw bytes");
                ok = false;
            }
            break;
        }
        case ScriptStep::kStartTls: {
            std::string why;
            if (!Handshake(step.bytes.at(0), step.bytes.at(1), why)) {
                Fail(where + "TLS handshake failed: " + why);
                ok = false;
            }
            break;
        }
        case ScriptStep::kDeaf: {
            const long long until = step.ms < 0 ? deadlineNs_ : NowNs() + step.ms * 1000000LL;
            while (TimeLeft() && NowNs() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
            break;
        }
        case ScriptStep::kSilent: {
            const long long until = step.ms < 0 ? deadlineNs_ : NowNs() + step.ms * 1000000LL;
            while (NowNs() < until && Fill(kSliceMs)) {
            }
            if (!TimeLeft() && step.ms >= 0) {
                Fail(where + "deadline reached while silent");
                ok = false;
            }
            break;
        }
        case ScriptStep::kClose:
            CloseConn();
            break;
        case ScriptStep::kNextConnection:
            CloseConn();
            if (!AcceptConnection()) {
                Fail(where + "no further connection before the deadline");
                ok = false;
            }
            break;
        case ScriptStep::kQuiet: {
            const long long until = NowNs() + step.ms * 1000000LL;
            while (buf_.empty() && NowNs() < until && Fill(kSliceMs)) {
            }
            if (!buf_.empty()) {
                Fail(where + "the client sent \"" + Printable(buf_) + "\" before the replies");
                ok = false;
            }
            break;
        }
        case ScriptStep::kReadChunk:
            ok = ReadChunkStep(step.ms == 1, where);
            break;
        case ScriptStep::kReadData: {
            auto end = [&]() -> size_t {
                if (buf_.compare(0, 3, ".\r\n") == 0)
                    return 3;
                size_t p = buf_.find("\r\n.\r\n");
                return p == std::string::npos ? 0 : p + 5;
            };
            size_t n = 0;
            while ((n = end()) == 0 && Fill(kSliceMs) && TimeLeft()) {
            }
            if (n == 0) {
                Fail(where + "end of data not received (" + std::to_string(buf_.size()) + " bytes read)");
                ok = false;
                break;
            }
            std::lock_guard<std::mutex> lock(mu_);
            data_.push_back(buf_.substr(0, n));
            buf_.erase(0, n);
            break;
        }
        }
        if (ok) {
            std::lock_guard<std::mutex> lock(mu_);
            ++stepsDone_;
        }
    }
    bool complete = false;
    if (ok) {
        // Keep recording until the client hangs up (or the server already closed).
        if (conn_ >= 0) {
            while (Fill(kSliceMs)) {
            }
            complete = conn_ < 0 || TimeLeft();
            if (!complete)
                Fail("the script ran through, but the client did not close the connection");
        } else {
            complete = true;
        }
    }
    CloseConn();
    ::close(listenFd_);
    listenFd_ = -1;
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_ && !complete && failure_.empty())
        failure_ = "stopped before the script ran through";
    complete_ = complete;
    finished_ = true;
    cv_.notify_all();
}

}  // namespace testsupport
