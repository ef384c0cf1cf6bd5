// The reply reader against the scripted server: what the server writes in one piece, and what
// the client makes of it. One reply per command (what follows a final line is the next
// command's reply), bad codes and overlong replies failing at once, and failures named for what
// happened.
#include <gtest/gtest.h>

#include <memory>

#include "ScriptedSmtpServer.h"
#include "TestPki.h"
#include "VokSMTP.h"
#include "vok_util.h"

using namespace testsupport;

namespace {

const std::string kEhlo = "EHLO client.example.net\r\n";
const std::string kInvalid = "Invalid reply from the server.";
const std::string kTooLong = "Reply from the server too long.";
constexpr int kTimeOutMs = 3000;   // a reader that waits instead of failing shows "No reply ..."

std::string Repeat(const std::string& line, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i) all += line;
  return all;
}

// A line of exactly `size` bytes, line end included: code, separator, filler.
std::string LineOf(const std::string& codeAndSeparator, size_t size) {
  return codeAndSeparator + std::string(size - codeAndSeparator.size() - 2, 'x') + "\r\n";
}

struct ReplyCase {
  const char* name;
  std::vector<ScriptStep> script;
  std::string failure;                // "": the dialogue succeeds; else the expected ReplyText
  std::vector<std::string> replies;   // final lines the client reports, in order ({}: not checked)
  std::string clientSent;             // every byte the server got ("-": not checked)
  TSecurity security = secNone;
  bool send = false;                  // Send a message after Connect
  size_t textLines = 2;               // of the message text
  bool runsThrough = true;            // the server's script ends with the client closing
};

std::vector<ScriptStep> Plus(std::vector<ScriptStep> a, const std::vector<ScriptStep>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<ScriptStep> kQuit = {Expect("QUIT\r\n"), Send("221 bye\r\n")};

std::vector<ReplyCase> Cases(const TestPki& pki) {
  const size_t lines = TVokSMTP::MaxReplyLines;
  const size_t bytes = TVokSMTP::MaxReplyBytes;
  // 63 lines of 1 KiB and a final one: exactly the byte bound.
  const std::string fullBytes = Repeat(LineOf("220-", 1024), bytes / 1024 - 1) + LineOf("220 ", 1024);
  const std::string overBytes = Repeat(LineOf("220-", 1024), bytes / 1024 - 1) + LineOf("220 ", 1025);
  const std::vector<ScriptStep> tls = {Send("220 tls.test\r\n"), Expect(kEhlo),
                                       Send("250-tls.test\r\n250 STARTTLS\r\n"), Expect("STARTTLS\r\n"),
                                       Send("220 go ahead\r\n"), StartTls(pki.Cert("good"), pki.Key("good")),
                                       Expect(kEhlo), Send("250 tls.test\r\n")};
  const std::vector<ScriptStep> envelope = {Expect("MAIL FROM:<me@example.org>\r\n"), Send("250 ok\r\n"),
                                            Expect("RCPT TO:<to@example.org>\r\n"), Send("250 ok\r\n"),
                                            Expect("DATA\r\n"), Send("354 go\r\n")};
  return {
      {"trailing reply after the greeting is the EHLO reply",
       Plus({Send("220 hi\r\n250 early\r\n"), Expect(kEhlo)}, kQuit),
       "",
       {"220 hi\r\n", "250 early\r\n", "221 bye\r\n"},
       kEhlo + "QUIT\r\n"},
      {"multi-line greeting and EHLO reply in one write",
       Plus({Send("220-a\r\n220 b\r\n250-c\r\n250 d\r\n"), Expect(kEhlo)}, kQuit),
       "",
       {"220 b\r\n", "250 d\r\n", "221 bye\r\n"},
       kEhlo + "QUIT\r\n"},
      {"trailing reply after MAIL FROM's is the RCPT reply",
       Plus({Send("220 hi\r\n"), Expect(kEhlo), Send("250 hello\r\n"), Expect("MAIL FROM:<me@example.org>\r\n"),
             Send("250 sender ok\r\n250 rcpt early\r\n"), Expect("RCPT TO:<to@example.org>\r\n"),
             Expect("DATA\r\n"), Send("354 go\r\n"), ReadData(), Send("250 queued\r\n"), Expect("RSET\r\n"),
             Send("250 reset\r\n")},
            kQuit),
       "",
       {"220 hi\r\n", "250 hello\r\n", "250 sender ok\r\n", "250 rcpt early\r\n", "354 go\r\n", "250 queued\r\n",
        "250 reset\r\n", "221 bye\r\n"},
       "-",
       secNone,
       true},
      {"four digits", {Send("2200 hi\r\n")}, kInvalid, {}, ""},
      {"two digits", {Send("22 x\r\n")}, kInvalid, {}, ""},
      {"no code", {Send("abc\r\n")}, kInvalid, {}, ""},
      {"bad line after a continuation", {Send("220-first\r\n220x second\r\n")}, kInvalid, {}, ""},
      {"a bad code in a later write", {SendSplit({"220-first\r\n", "2200 second\r\n"}), Silent()}, kInvalid, {}, ""},
      {"as many lines as allowed",
       Plus({Send(Repeat("220-x\r\n", lines - 1) + "220 last\r\n"), Expect(kEhlo), Send("250 ok\r\n")}, kQuit),
       "",
       {"220 last\r\n", "250 ok\r\n", "221 bye\r\n"},
       kEhlo + "QUIT\r\n"},
      {"endless continuation (one line more than allowed, no end in sight)",
       {Send(Repeat("220-x\r\n", lines + 1)), Silent()},
       kTooLong,
       {},
       ""},
      {"as many bytes as allowed",
       Plus({Send(fullBytes), Expect(kEhlo), Send("250 ok\r\n")}, kQuit),
       "",
       {LineOf("220 ", 1024), "250 ok\r\n", "221 bye\r\n"},
       kEhlo + "QUIT\r\n"},
      {"one byte more than allowed", {Send(overBytes), Silent()}, kTooLong, {}, ""},
      {"a line without an end beyond the bound", {Send("220-" + std::string(bytes, 'x')), Silent()}, kTooLong, {}, ""},
      {"TLS write timeout is a timeout, not a closed connection",
       Plus(tls, Plus(envelope, {Deaf()})),
       "The server took no data within " + std::to_string(kTimeOutMs) + " ms.",
       {},
       "-",
       secStartTls,
       true,
       100000,
       false},
      {"server closing during TLS message data",
       Plus(tls, Plus(envelope, {Expect("Message-Id: "), CloseConnection()})),
       "Connection closed by the server during the message data.",
       {},
       "-",
       secStartTls,
       true,
       100000},
  };
}

class ReplyReader : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki = std::make_unique<TestPki>(); }
  static void TearDownTestSuite() { pki.reset(); }
  static std::unique_ptr<TestPki> pki;
};
std::unique_ptr<TestPki> ReplyReader::pki;

TEST_F(ReplyReader, WhatTheServerWritesAndWhatTheClientMakesOfIt) {
  vok::SetApplicationTitle("Sendorix test");
  for (ReplyCase& c : Cases(*pki)) {
    SCOPED_TRACE(c.name);
    // A small receive buffer, so a server that stops reading soon stops the client's writes.
    ScriptedSmtpServer srv(c.script, 20000, 0, 4096);
    TVokSMTP smtp;
    smtp.TimeOut = kTimeOutMs;
    smtp.HostNameSource = [] { return std::string("client.example.net"); };
    smtp.Security = c.security;
    smtp.ExtraCaFile = pki->Ca();
    smtp.Host = ScriptedSmtpServer::HostAddress();
    smtp.Port = std::to_string(srv.Port());
    std::vector<std::string> errors, replies;
    smtp.OnError = [&](void*, int code, const std::string& text) {
      errors.push_back(std::to_string(code) + " " + text);
    };
    smtp.OnReceiveTextFromSocket = [&](void*, const std::string& s) { replies.push_back(s); };
    smtp.Connect();
    if (c.send && !smtp.Failed) {
      TVokMsg msg;
      msg.From = "me@example.org";
      msg.SendTo = "to@example.org";
      msg.Subject = "Replies";
      msg.Text.assign(c.textLines, std::string(78, 'x'));
      EXPECT_TRUE(smtp.Send(msg));
    }
    if (c.failure.empty()) {
      EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
      EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.front());
      smtp.Quit();
      EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
    } else {
      EXPECT_TRUE(smtp.Failed);
      EXPECT_FALSE(smtp.Connected);
      EXPECT_EQ(smtp.ReplyCode, "");
      EXPECT_EQ(smtp.ReplyText, c.failure);
      EXPECT_EQ(errors, std::vector<std::string>{"0 " + c.failure});
    }
    if (!c.replies.empty()) {
      EXPECT_EQ(replies, c.replies);
    }
    if (c.runsThrough) {
      EXPECT_TRUE(srv.Wait()) << srv.Failure();
    }
    if (c.clientSent != "-") {
      EXPECT_EQ(Printable(srv.Received()), Printable(c.clientSent));
    }
  }
}

}  // namespace
