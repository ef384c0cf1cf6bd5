// Benchmark driver: sends a series of files the way the program's send job does, with the
// mail library alone: one TVokMsg, one TVokSMTP, one connection, one message per group of
// files (EHLO, then per message MAIL, RCPT, DATA or BDAT, the lines, RSET, pipelined when the
// server offers it, then QUIT).
//
//   bench_driver --port N [--host H] [--per-message K] [--from A] [--to B]
//                [--timeout-ms T] [--trace-hook-ms X] [--starttls --cafile CA]
//                (--list FILE | FILE...)
//
// The user-interface hook records the longest interval between two calls (from the start of
// Connect to the end of Quit, the ends included), which is how long a window would have stayed
// frozen. The last line of output is machine-readable:
//   RESULT ok=1 messages=M attachment_bytes=B wall_s=S hook_calls=C max_hook_interval_ms=X
//          hook_intervals_over_25ms=N
// On a failure ok=0 and "reply=" carries the server's reply or the error; the exit code is 1.
#include "VokMsg.h"
#include "VokSMTP.h"
#include "vok_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct HookClock {
    Clock::time_point last;
    double maxMs = 0;
    long long calls = 0;
    long long over25 = 0;   // intervals longer than 25 ms: tells noise from a pattern
    double traceMs = -1;    // print every interval longer than this (diagnosis)
    Clock::time_point start;
    void Tick()
    {
        auto now = Clock::now();
        double ms = std::chrono::duration<double, std::milli>(now - last).count();
        if (traceMs >= 0 && ms > traceMs)
            std::fprintf(stderr, "hook interval %.3f ms ending at %.3f s\n", ms,
                         std::chrono::duration<double>(now - start).count());
        if (ms > maxMs)
            maxMs = ms;
        if (ms > 25)
            ++over25;
        last = now;
    }
};

int Usage(const char* argv0)
{
    std::fprintf(stderr,
                 "usage: %s --port N [--host H] [--per-message K] [--from A] [--to B] "
                 "[--timeout-ms T] (--list FILE | FILE...)\n",
                 argv0);
    return 2;
}

// Connects, sends the files perMessage to a message and says QUIT; false with the server's
// reply (or the exception's text) in reply.
bool SendSeries(TVokSMTP& smtp, TVokMsg& msg, const std::vector<std::string>& files, int perMessage, int& sent,
                std::string& reply)
{
    const int total = static_cast<int>((files.size() + perMessage - 1) / perMessage);
    try {
        smtp.Connect();
        if (smtp.Failed) {
            reply = smtp.ReplyText;
            return false;
        }
        for (int m = 0; m < total; ++m) {
            msg.AttachedFiles.Clear();
            msg.Text.clear();
            std::string names;
            for (int k = m * perMessage; k < static_cast<int>(files.size()) && k < (m + 1) * perMessage; ++k) {
                TAttachedFile& item = msg.AttachedFiles.AddFile(files[static_cast<size_t>(k)]);
                names += " " + item.FileName;
            }
            msg.Subject = "Bench " + std::to_string(m + 1) + "(" + std::to_string(total) + ")" + names;
            if (m == 0)
                msg.Text = {"Benchmark series.", ""};
            smtp.NextMessageFollows = m + 1 < total;   // as the send job says it
            smtp.QuitFollows = m + 1 == total;
            smtp.Send(msg);
            if (smtp.Failed) {
                reply = smtp.ReplyCode + " " + smtp.ReplyText;
                return false;
            }
            ++sent;
        }
        smtp.Quit();
        if (smtp.Failed) {
            reply = smtp.ReplyCode + " " + smtp.ReplyText;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        reply = e.what();
        return false;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1", port, from = "bench@sendorix.test", to = "sink@sendorix.test";
    int perMessage = 1, timeoutMs = 60000;
    bool starttls = false;
    std::string cafile;
    HookClock hook;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--port")
            port = value();
        else if (a == "--host")
            host = value();
        else if (a == "--per-message")
            perMessage = std::atoi(value().c_str());
        else if (a == "--from")
            from = value();
        else if (a == "--to")
            to = value();
        else if (a == "--timeout-ms")
            timeoutMs = std::atoi(value().c_str());
        else if (a == "--starttls")
            starttls = true;
        else if (a == "--cafile")
            cafile = value();
        else if (a == "--trace-hook-ms")
            hook.traceMs = std::atof(value().c_str());
        else if (a == "--list") {
            std::ifstream list(value());
            for (std::string line; std::getline(list, line);)
                if (!line.empty())
                    files.push_back(line);
        } else if (!a.empty() && a[0] == '-')
            return Usage(argv[0]);
        else
            files.push_back(a);
    }
    if (port.empty() || files.empty() || perMessage < 1)
        return Usage(argv[0]);

    long long attachmentBytes = 0;
    for (const auto& f : files)
        attachmentBytes += static_cast<long long>(std::filesystem::file_size(f));
    vok::SetApplicationTitle("Sendorix bench");
    vok::SetProcessMessagesHook([&hook] {
        ++hook.calls;
        hook.Tick();
    });

    TVokMsg msg;
    TVokSMTP smtp;
    smtp.Host = host;
    smtp.Port = port;
    smtp.TimeOut = timeoutMs;
    if (starttls) {
        smtp.Security = secStartTls;
        smtp.ExtraCaFile = cafile;
        TlsWarmUp();   // as the window does when it starts
    }
    msg.From = from;
    msg.SendTo = to;
    msg.CharSet = "iso-8859-1";

    std::string reply;
    int sent = 0;
    const auto start = Clock::now();
    hook.last = start;
    hook.start = start;
    const bool ok = SendSeries(smtp, msg, files, perMessage, sent, reply);
    const auto end = Clock::now();
    hook.Tick();   // the stretch after the last call counts too
    const double wall = std::chrono::duration<double>(end - start).count();
    std::printf("RESULT ok=%d messages=%d attachment_bytes=%lld wall_s=%.6f hook_calls=%lld "
                "max_hook_interval_ms=%.3f hook_intervals_over_25ms=%lld%s%s\n",
                ok ? 1 : 0, sent, attachmentBytes, wall, hook.calls, hook.maxMs, hook.over25,
                reply.empty() ? "" : " reply=", reply.c_str());
    return ok ? 0 : 1;
}
