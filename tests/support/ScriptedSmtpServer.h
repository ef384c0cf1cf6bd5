// A scripted SMTP server for protocol tests: it plays a fixed dialogue against the client under
// test and records every byte the client sent, so a test can compare the wire bytes exactly.
//
// Plain POSIX sockets on 127.0.0.1, a free port chosen by the system, one std::thread. Every
// wait is bounded: the whole server lives at most `deadlineMs` after construction, and the
// destructor stops and joins it at once (it never waits for the deadline).
//
// Usage:
//   using namespace testsupport;
//   ScriptedSmtpServer srv({
//       Send("220 mail.test ready\r\n"),
//       Expect("HELO myhost\r\n"),
//       Send("250 ok\r\n"),
//       Expect("MAIL FROM:<a@b>\r\n"),
//       SendSplit({"25", "0 ok\r\n"}),          // one reply line in two TCP segments
//       ...
//       Expect("DATA\r\n"), Send("354 go\r\n"),
//       ReadData(),                              // message body up to "\r\n.\r\n"
//       Send("250 queued\r\n"),
//       Expect("QUIT\r\n"), Send("221 bye\r\n"),
//   });
//   client.Host = "127.0.0.1"; client.Port = srv.Port();  ... run the client ...
//   EXPECT_TRUE(srv.Wait()) << srv.Failure();   // script ran through, connection ended
//   EXPECT_EQ(srv.Received(), "HELO myhost\r\nMAIL FROM:<a@b>\r\n...");
//   EXPECT_EQ(srv.Data().at(0), "Subject: ...\r\n.\r\n");
//
// Semantics:
// - The server accepts the first connection as soon as the client connects; steps run in order
//   on that connection.
// - Expect(line): reads the next line from the client (through the next "\n" when `line` ends
//   in "\n", else exactly line.size() bytes) and compares it byte for byte. A mismatch, or the
//   client closing first, records a Failure() and closes the connection at once; no further
//   steps run.
// - Send(bytes) writes the bytes. SendSplit(segments, pauseMs) writes each segment separately
//   (TCP_NODELAY is set) with a pause between them, so the client sees them in separate reads.
// - Silent(ms) does not answer for ms milliseconds (default: until the client closes or the
//   deadline), still recording whatever the client sends.
// - CloseConnection() closes the connection now (later steps may use NextConnection()).
// - NextConnection() closes the current connection, if any, and accepts the next one.
// - ReadData() reads through the end-of-data mark "\r\n.\r\n" (or a leading ".\r\n") and keeps
//   those bytes, the mark included, as the next entry of Data().
// - ReadChunk(last) reads a "BDAT n" command line (with " LAST" when `last`) and the n bytes
//   after it, and keeps those bytes as the next entry of Data().
// - Quiet(ms) fails when the client sends anything within ms milliseconds: it must wait for the
//   replies to what it sent so far.
// - StartTls(cert, key) runs the server's side of a TLS handshake with that certificate chain
//   and key (PEM files); from then on the steps read and write through TLS on this connection,
//   and Received() records what the client sent inside it. A failed handshake is a Failure().
// - SendRaw(bytes) writes the bytes to the socket as they are, also under TLS (a broken record).
// - Deaf(ms) neither reads nor writes for ms milliseconds (-1: until stopped or the deadline), so
//   a client writing much fills the connection; a small receiveBuffer makes that come sooner.
// - After the last step the server keeps recording until the client closes the connection,
//   then the run is complete. Bytes that arrive ahead of a step are recorded once, in order.
// - Received() holds every byte any client sent, in arrival order, across connections.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;

namespace testsupport {

struct ScriptStep {
    enum Kind { kExpect, kSend, kSilent, kClose, kNextConnection, kReadData, kStartTls, kSendRaw, kDeaf,
                kReadChunk, kQuiet };
    Kind kind;
    std::vector<std::string> bytes;   // kExpect, kSendRaw: one entry; kSend: the segments; kStartTls: cert, key
    int ms = -1;                      // kSend: pause between segments; kSilent, kDeaf, kQuiet: duration;
                                      // kReadChunk: 1 for the last chunk
};

ScriptStep Expect(std::string line);
ScriptStep Send(std::string bytes);
ScriptStep SendSplit(std::vector<std::string> segments, int pauseMs = 30);
ScriptStep Silent(int ms = -1);
ScriptStep CloseConnection();
ScriptStep NextConnection();
ScriptStep ReadData();
ScriptStep ReadChunk(bool last);
ScriptStep Quiet(int ms = 150);
ScriptStep StartTls(std::string certFile, std::string keyFile);
ScriptStep SendRaw(std::string bytes);
ScriptStep Deaf(int ms = -1);

class ScriptedSmtpServer {
public:
    // port 0: one the system chooses; another port that is taken throws std::runtime_error.
    // receiveBuffer > 0: the connections' receive buffer in bytes (SO_RCVBUF).
    explicit ScriptedSmtpServer(std::vector<ScriptStep> script, int deadlineMs = 10000, int port = 0,
                                int receiveBuffer = 0);
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    int Port() const { return port_; }
    static const char* HostAddress() { return "127.0.0.1"; }

    // Waits (at most timeoutMs) until the run is complete: every step ran and the last
    // connection ended, or a failure or the deadline stopped it. True when every step ran as
    // scripted and the connection ended; otherwise Failure() says why.
    bool Wait(int timeoutMs = 10000);
    // Stops the server now (closing any connection) and joins its thread.
    void Stop();

    std::string Received() const;             // every byte the client sent, in order
    std::vector<std::string> Data() const;    // what each ReadData step kept
    std::string Failure() const;              // empty while nothing went wrong
    int StepsDone() const;                    // steps completed so far
    int Connections() const;                  // connections accepted so far

private:
    void Run();
    bool AcceptConnection();
    bool Fill(int sliceMs);   // one read into buf_; false on EOF/error/deadline/stop
    bool Write(const std::string& bytes);   // all of it, through TLS once started
    bool Handshake(const std::string& cert, const std::string& key, std::string& why);
    bool TimeLeft() const;
    bool ReadChunkStep(bool last, const std::string& where);
    void Fail(const std::string& why);
    void CloseConn();

    std::vector<ScriptStep> script_;
    int listenFd_ = -1;
    int conn_ = -1;
    int port_ = 0;
    long long deadlineNs_ = 0;
    std::string buf_;   // received, not yet consumed by a step
    ssl_ctx_st* tlsContext_ = nullptr;   // of the connection's TLS, once started
    ssl_st* tls_ = nullptr;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string received_;
    std::vector<std::string> data_;
    std::string failure_;
    int stepsDone_ = 0;
    int connections_ = 0;
    bool finished_ = false;
    bool complete_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Bytes made readable for failure messages: CR as \r, LF as \n, other control bytes as \xNN.
std::string Printable(const std::string& bytes);

}  // namespace testsupport
