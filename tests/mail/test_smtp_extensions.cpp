// EHLO, PIPELINING and CHUNKING against the scripted server: what goes out in each write, what
// the server answers, and what the client makes of it, with and without the extensions, and
// with servers that announce an extension and then misbehave.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "VokSMTP.h"
#include "vok_util.h"

using namespace testsupport;

void PrintTo(TTransactionOutcome o, std::ostream* os);  // test_vok_smtp.cpp: outcomes by name

namespace {

const std::string kEhlo = "EHLO client.example.net\r\n";
const std::string kHelo = "HELO client.example.net\r\n";
const std::string kMail = "MAIL FROM:<Sender@Example.org>\r\n";
const std::string kRcpt1 = "RCPT TO:<to@example.org>\r\n";
const std::string kRcpt2 = "RCPT TO:<two@example.org>\r\n";
const std::string kRcptCc = "RCPT TO:<cc@example.org>\r\n";
const std::string kRset = "RSET\r\n";
const std::string kQuit = "QUIT\r\n";
constexpr int kTimeOutMs = 700;
// Text lines (62 bytes each on the wire) that make a message of one and a half chunks.
constexpr size_t kTwoChunks = TVokSMTP::ChunkBytes * 3 / 2 / 62;

struct ExtensionCase {
  const char* name;
  std::vector<ScriptStep> script;
  // Every write the client made, in order. "{data}" stands for the next entry of the server's
  // Data() (a message body or a chunk), "{n}" for that entry's size.
  std::vector<std::string> writes;
  bool connects = true;
  TTransactionOutcome outcome = TTransactionOutcome::toDelivered;
  std::string reply;  // ReplyCode + " " + ReplyText after the Send (after Connect when it fails)
  size_t textLines = 2;
  int sends = 1;       // messages sent; all but the last must be delivered (another follows)
  std::string cc = "";  // the Cc list
  bool quitFollows = false;  // the last Send is told that Quit comes next
};

std::vector<ScriptStep> Greet(const std::string& ehloReply) {
  return {Send("220 mail.test ESMTP\r\n"), Expect(kEhlo), Send(ehloReply)};
}

std::vector<ScriptStep> Plus(std::vector<ScriptStep> a, const std::vector<ScriptStep>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kBoth = "250-mail.test\r\n250-PIPELINING\r\n250-SIZE 1000000\r\n250 CHUNKING\r\n";
const std::string kPipelining = "250-mail.test\r\n250 PIPELINING\r\n";
const std::string kChunking = "250-mail.test\r\n250 CHUNKING\r\n";
const std::vector<ScriptStep> kQuitSteps = {Expect(kQuit), Send("221 bye\r\n")};
// The plain transaction: one command, one reply.
const std::vector<ScriptStep> kPlain = {
    Expect(kMail),         Send("250 ok\r\n"),     Expect(kRcpt1), Send("250 ok\r\n"), Expect(kRcpt2),
    Send("250 ok\r\n"),   Expect("DATA\r\n"),
    Send("354 go\r\n"),    ReadData(),             Send("250 queued\r\n"), Expect(kRset), Send("250 reset\r\n")};
const std::vector<std::string> kPlainWrites = {kMail, kRcpt1, kRcpt2, "DATA\r\n", "{data}", kRset, kQuit};
// With SIZE offered, MAIL FROM says how large the message is ("~": ExpectedSize).
const std::string kSized = "MAIL FROM:<Sender@Example.org> SIZE=";

// Dialogues that deliver: the greetings and the ways a message goes out.
std::vector<ExtensionCase> DeliveryCases() {
  using O = TTransactionOutcome;
  return {
      {"neither extension: EHLO, then the plain dialogue byte for byte",
       Plus(Plus(Greet("250 mail.test\r\n"), kPlain), kQuitSteps),
       Plus(std::vector<std::string>{kEhlo}, kPlainWrites), true, O::toDelivered, "221 bye"},
      {"EHLO refused with 502: HELO, then the plain dialogue",
       Plus(Plus(Greet("502 not implemented\r\n"), Plus({Expect(kHelo), Send("250 hi\r\n")}, kPlain)), kQuitSteps),
       Plus(std::vector<std::string>{kEhlo, kHelo}, kPlainWrites), true, O::toDelivered, "221 bye"},
      {"EHLO refused with 500: HELO",
       Plus(Plus(Greet("500 what\r\n"), Plus({Expect(kHelo), Send("250 hi\r\n")}, kPlain)), kQuitSteps),
       Plus(std::vector<std::string>{kEhlo, kHelo}, kPlainWrites), true, O::toDelivered, "221 bye"},
      {"the server closes on EHLO: HELO on a new connection",
       Plus(Plus({Send("220 mail.test\r\n"), Expect(kEhlo), CloseConnection(), NextConnection(),
                  Send("220 mail.test again\r\n"), Expect(kHelo), Send("250 hi\r\n")},
                 kPlain),
            kQuitSteps),
       Plus(std::vector<std::string>{kEhlo, kHelo}, kPlainWrites), true, O::toDelivered, "221 bye"},
      {"EHLO answered 421: no HELO, the connection fails",
       {Send("220 mail.test\r\n"), Expect(kEhlo), Send("421 going down\r\n")},
       {kEhlo}, false, O::toNone, "421 going down"},
      {"PIPELINING: envelope and DATA in one write, RSET with the end of data",
       Plus(Plus(Greet(kPipelining), {Expect(kMail), Expect(kRcpt1), Expect(kRcpt2), Expect("DATA\r\n"), Quiet(),
                                      Send("250 ok\r\n250 ok\r\n251 will forward\r\n354 go\r\n"), ReadData(),
                                      Expect(kRset), Quiet(), Send("250 queued\r\n250 reset\r\n")}),
            kQuitSteps),
       {kEhlo, kMail + kRcpt1 + kRcpt2 + "DATA\r\n", "{data}" + kRset, kQuit}, true, O::toDelivered, "221 bye"},
      {"CHUNKING without PIPELINING: one command a write, BDAT LAST without dot-stuffing",
       Plus(Plus(Greet(kChunking), {Expect(kMail), Send("250 ok\r\n"), Expect(kRcpt1), Send("250 ok\r\n"),
                                    Expect(kRcpt2), Send("250 ok\r\n"), ReadChunk(true), Quiet(),
                                    Send("250 queued\r\n"), Expect(kRset), Send("250 reset\r\n")}),
            kQuitSteps),
       {kEhlo, kMail, kRcpt1, kRcpt2, "BDAT {n} LAST\r\n{data}", kRset, kQuit}, true, O::toDelivered, "221 bye"},
      {"both: the envelope in one write, the data only after its replies, RSET with it",
       Plus(Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2), Quiet(),
                                Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset),
                                Send("250 queued\r\n250 reset\r\n")}),
            kQuitSteps),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset, kQuit}, true, O::toDelivered,
       "221 bye"},
      {"both, a large message: chunks pipelined, their replies read in order",
       Plus(Plus(Greet(kBoth.substr(0, kBoth.find("250-SIZE")) + "250 CHUNKING\r\n"),
                 {Expect(kMail), Expect(kRcpt1), Expect(kRcpt2), Send("250 ok\r\n250 ok\r\n250 ok\r\n"),
                  ReadChunk(false), ReadChunk(true), Expect(kRset),
                  Send("250 chunk\r\n250 queued\r\n250 reset\r\n")}),
            kQuitSteps),
       {kEhlo, kMail + kRcpt1 + kRcpt2, "BDAT {n}\r\n{data}", "BDAT {n} LAST\r\n{data}" + kRset, kQuit}, true,
       O::toDelivered, "221 bye", kTwoChunks},
      {"CHUNKING alone, a large message: every chunk waits for its reply; refused, left with QUIT",
       Plus(Plus(Greet(kChunking), {Expect(kMail), Send("250 ok\r\n"), Expect(kRcpt1), Send("250 ok\r\n"),
                                    Expect(kRcpt2), Send("250 ok\r\n"), ReadChunk(false), Quiet(),
                                    Send("552 too much\r\n")}),
            kQuitSteps),
       {kEhlo, kMail, kRcpt1, kRcpt2, "BDAT {n}\r\n{data}", kQuit}, true, O::toRefused, "552 too much", kTwoChunks},
  };
}

// Dialogues with a refusal, a misbehaving server or more than one transaction.
std::vector<ExtensionCase> OtherCases() {
  using O = TTransactionOutcome;
  return {
      {"PIPELINING: a refused RCPT in the group: no data, the connection closed",
       Plus(Greet(kPipelining), {Expect(kMail), Expect(kRcpt1), Expect(kRcpt2), Expect("DATA\r\n"),
                                 Send("250 ok\r\n550 no such user\r\n250 ok\r\n354 go\r\n")}),
       {kEhlo, kMail + kRcpt1 + kRcpt2 + "DATA\r\n"}, true, O::toRefused, "550 no such user"},
      {"both: the second RCPT refused: no BDAT, the connection closed",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n550 no such user\r\n")}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2}, true, O::toRefused, "550 no such user"},
      {"both: BDAT refused: not delivered",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset),
                           Send("554 content rejected\r\n250 reset\r\n")}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset}, true, O::toRefused,
       "554 content rejected"},
      {"both: taken, then RSET refused: the message counts, the connection goes",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset),
                           Send("250 queued\r\n500 no\r\n")}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset}, true, O::toResetRefused,
       "500 no"},
      {"both: fewer replies than commands: a bounded wait, a clear error, no data",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2), Send("250 ok\r\n250 ok\r\n"),
                           Silent()}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2}, true, O::toConnectionLost,
       " No reply from the server within " + std::to_string(kTimeOutMs) + " ms."},
      {"both: more replies than commands: no data",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n250 extra\r\n")}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2}, true, O::toRefused,
       " The server sent more replies than commands."},
      {"PIPELINING: replies out of order (354 first): no data",
       Plus(Greet(kPipelining), {Expect(kMail), Expect(kRcpt1), Expect(kRcpt2), Expect("DATA\r\n"),
                                 Send("354 go\r\n250 ok\r\n250 ok\r\n250 ok\r\n")}),
       {kEhlo, kMail + kRcpt1 + kRcpt2 + "DATA\r\n"}, true, O::toRefused, "354 go"},
      {"both: the connection closed before the last chunk's reply: lost, not delivered",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset),
                           CloseConnection()}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset}, true, O::toConnectionLost,
       " Connection closed by the server during the message data."},
      {"both, the last message before Quit: the QUIT goes with its end",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2), Send("250 ok\r\n250 ok\r\n250 ok\r\n"),
                           ReadChunk(true), Expect(kRset), Expect(kQuit), Send("250 queued\r\n250 reset\r\n221 bye\r\n")}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset + kQuit}, true, O::toDelivered,
       "221 bye", 2, 1, "", true},
      {"PIPELINING, the last message before Quit, its data refused: QUIT went with it, the error stays",
       Plus(Greet(kPipelining), {Expect(kMail), Expect(kRcpt1), Expect(kRcpt2), Expect("DATA\r\n"),
                                 Send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n"), ReadData(), Expect(kRset),
                                 Expect(kQuit), Send("554 no\r\n250 reset\r\n221 bye\r\n")}),
       {kEhlo, kMail + kRcpt1 + kRcpt2 + "DATA\r\n", "{data}" + kRset + kQuit}, true, O::toRefused, "554 no", 2, 1,
       "", true},
      {"both, To and Cc: Cc's envelope goes out with To's data",
       Plus(Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                                Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset),
                                Expect(kSized + "~\r\n"), Expect(kRcptCc), Quiet(),
                                Send("250 queued\r\n250 reset\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true),
                                Expect(kRset), Quiet(), Send("250 queued\r\n250 reset\r\n")}),
            kQuitSteps),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset + kSized + "~\r\n" + kRcptCc,
        "BDAT {n} LAST\r\n{data}" + kRset, kQuit},
       true, O::toDelivered, "221 bye", 2, 1, "cc@example.org"},
      {"both, another message follows: its envelope, without SIZE, goes with this one's data",
       Plus(Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                                Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset),
                                Expect(kMail), Expect(kRcpt1), Expect(kRcpt2), Quiet(),
                                Send("250 queued\r\n250 reset\r\n250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true),
                                Expect(kRset), Quiet(), Send("250 queued\r\n250 reset\r\n")}),
            kQuitSteps),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset + kMail + kRcpt1 + kRcpt2,
        "BDAT {n} LAST\r\n{data}" + kRset, kQuit},
       true, O::toDelivered, "221 bye", 2, 2},
      {"both, the envelope sent ahead refused: the next message fails with that reply, no data",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset), Expect(kMail),
                           Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 queued\r\n250 reset\r\n250 ok\r\n550 no such user\r\n250 ok\r\n")}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset + kMail + kRcpt1 + kRcpt2},
       true, O::toRefused, "550 no such user", 2, 2},
      {"both, the connection closed before the envelope sent ahead is answered: the first message "
       "counts, the next one finds the connection lost",
       Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset), Expect(kMail),
                           Expect(kRcpt1), Expect(kRcpt2), Send("250 queued\r\n250 reset\r\n"), CloseConnection()}),
       {kEhlo, kSized + "~\r\n" + kRcpt1 + kRcpt2, "BDAT {n} LAST\r\n{data}" + kRset + kMail + kRcpt1 + kRcpt2},
       true, O::toConnectionLost, " Connection closed by the server.", 2, 2},
  };
}

std::vector<ExtensionCase> Cases() {
  std::vector<ExtensionCase> cases = DeliveryCases();
  for (ExtensionCase& c : OtherCases()) cases.push_back(std::move(c));
  return cases;
}

// The expected writes with "{data}" and "{n}" filled in from what the server kept.
std::vector<std::string> Expand(const std::vector<std::string>& writes, const std::vector<std::string>& data) {
  std::vector<std::string> out;
  size_t k = 0;
  for (std::string w : writes) {
    const size_t at = w.find("{data}");
    if (at != std::string::npos) {
      const std::string d = k < data.size() ? data[k++] : "<missing>";
      w.replace(at, 6, d);
      const size_t n = w.find("{n}");
      if (n != std::string::npos && n < at) w.replace(n, 3, std::to_string(d.size()));
    }
    out.push_back(w);
  }
  return out;
}

std::string Filled(std::string s, const std::string& size) {
  for (size_t at; (at = s.find('~')) != std::string::npos;) s.replace(at, 1, size);
  return s;
}

ScriptStep FilledStep(ScriptStep step, const std::string& size) {
  for (std::string& b : step.bytes) b = Filled(b, size);
  return step;
}

void Prepare(TVokSMTP& smtp, TVokMsg& msg, size_t textLines, const std::string& cc) {
  smtp.TimeOut = kTimeOutMs;
  smtp.HostNameSource = [] { return std::string("client.example.net"); };
  msg.From = "Sender@Example.org";
  msg.SendTo = "to@example.org, two@example.org";
  msg.CC = cc;
  msg.Subject = "Test";
  msg.MessageId = "<fixed@client.example.net>";  // a known length, for the SIZE in MAIL FROM
  msg.TextEncoding = te8Bit;
  msg.Text = {"Hello", ".dot"};
  for (size_t i = msg.Text.size(); i < textLines; ++i) msg.Text.push_back(std::string(60, 'a' + i % 26));
}

// The SIZE MAIL FROM will carry: the scripts are made before the client runs.
std::string ExpectedSize(size_t textLines, const std::string& cc) {
  TVokSMTP smtp;
  TVokMsg msg;
  Prepare(smtp, msg, textLines, cc);
  msg.Date = vok::FormatMessageDate(std::time(nullptr));
  const auto lines = smtp.BuildMessage(msg);
  return std::to_string(lines->WireSize() + 2);
}

}  // namespace

TEST(SmtpExtensions, WritesRepliesAndOutcomes) {
  vok::SetApplicationTitle("Sendorix test");
  for (ExtensionCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string size = ExpectedSize(c.textLines, c.cc);
    std::vector<ScriptStep> script;
    for (const ScriptStep& s : c.script) script.push_back(FilledStep(s, size));
    ScriptedSmtpServer srv(script, 15000);
    TVokSMTP smtp;
    TVokMsg msg;
    Prepare(smtp, msg, c.textLines, c.cc);
    std::vector<std::string> writes;
    smtp.OnWriteToSocket = [&](void*, const std::string& bytes) { writes.push_back(bytes); };
    smtp.Host = ScriptedSmtpServer::HostAddress();
    smtp.Port = std::to_string(srv.Port());
    smtp.Connect();
    EXPECT_EQ(!smtp.Failed, c.connects) << smtp.ReplyText;
    for (int n = 1; n < c.sends && smtp.Connected; ++n) {
      smtp.NextMessageFollows = true;
      EXPECT_TRUE(smtp.Send(msg));
      EXPECT_TRUE(smtp.Delivered && !smtp.Failed) << n << ": " << smtp.ReplyText;
      smtp.NextMessageFollows = false;
    }
    smtp.QuitFollows = c.quitFollows;
    if (smtp.Connected) {
      EXPECT_TRUE(smtp.Send(msg));
      EXPECT_EQ(smtp.Outcome(), c.outcome);
      EXPECT_EQ(smtp.Delivered, TVokSMTP::MessageTaken(c.outcome));
      EXPECT_EQ(smtp.Failed, c.outcome != TTransactionOutcome::toDelivered);
      if (smtp.Failed) {
        EXPECT_EQ(smtp.ReplyCode + " " + smtp.ReplyText, c.reply);
      }
      smtp.Quit();
    }
    // A reply read out of turn shows at the latest when QUIT gets another one's reply.
    if (c.connects && c.outcome == TTransactionOutcome::toDelivered) {
      EXPECT_FALSE(smtp.Failed) << smtp.ReplyCode << " " << smtp.ReplyText;
    }
    if (!smtp.Failed || !c.connects) {
      EXPECT_EQ(smtp.ReplyCode + " " + smtp.ReplyText, c.reply);
    }
    EXPECT_FALSE(smtp.Connected);
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    const std::vector<std::string> data = srv.Data();
    std::vector<std::string> expected = Expand(c.writes, data);
    for (std::string& w : expected) w = Filled(w, size);
    std::string seen;  // the writes in short, for a failure message
    for (const std::string& w : writes) seen += Printable(w.substr(0, 60)) + " (" + std::to_string(w.size()) + ")\n";
    EXPECT_EQ(writes.size(), expected.size()) << seen;
    if (writes.size() != expected.size()) continue;
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].size(), expected[i].size()) << i << "\n" << seen;
      EXPECT_TRUE(writes[i] == expected[i]) << i << ": " << Printable(writes[i].substr(0, 200)) << "\nnot\n"
                                           << Printable(expected[i].substr(0, 200));
    }
    if (data.empty()) continue;
    // A body sent after DATA is dot-stuffed and ends with the end-of-data mark; chunks carry the
    // message as it is kept: the same lines unstuffed, the empty line before the mark included.
    bool chunked = false;
    for (const std::string& w : c.writes) chunked = chunked || w.find("BDAT") != std::string::npos;
    std::string all;
    for (const std::string& d : data) all += d;
    if (chunked) {
      EXPECT_NE(all.find("\r\n\r\nHello\r\n.dot\r\n"), std::string::npos);
      EXPECT_EQ(all.find("..dot"), std::string::npos);
      if (c.outcome == TTransactionOutcome::toDelivered) {
        EXPECT_EQ(all.substr(all.size() - 4), "\r\n\r\n");
        // Whole messages, however they were cut into chunks: the size SIZE announced, less
        // the one dot the chunks do not stuff.
        EXPECT_EQ(all.size() % (std::stoull(size) - 1), 0u) << all.size();
      }
      for (const std::string& d : data) EXPECT_LE(d.size(), TVokSMTP::ChunkBytes + 200);
    } else {
      EXPECT_NE(all.find("\r\n\r\nHello\r\n..dot\r\n"), std::string::npos);
      EXPECT_EQ(all.substr(all.size() - 7), "\r\n\r\n.\r\n");
    }
  }
}

// A stop while a pipelined group's replies are awaited ends the wait at once: no data goes, and
// the outcome is the stop, not a timeout. The same for a stop while a chunk's reply is awaited.
TEST(SmtpExtensions, AStopEndsAPipelinedWait) {
  vok::SetApplicationTitle("Sendorix test");
  const std::vector<std::pair<std::vector<ScriptStep>, int>> scripts = {
      {Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2), Silent()}), 6},
      {Plus(Greet(kBoth), {Expect(kSized + "~\r\n"), Expect(kRcpt1), Expect(kRcpt2),
                           Send("250 ok\r\n250 ok\r\n250 ok\r\n"), ReadChunk(true), Expect(kRset), Silent()}),
       9},
  };
  for (const auto& [steps, stopAfter] : scripts) {
    SCOPED_TRACE(stopAfter);
    const std::string size = ExpectedSize(2, "");
    std::vector<ScriptStep> script;
    for (const ScriptStep& s : steps) script.push_back(FilledStep(s, size));
    ScriptedSmtpServer srv(script, 15000);
    TVokSMTP smtp;
    TVokMsg msg;
    Prepare(smtp, msg, 2, "");
    smtp.TimeOut = 10000;  // a wait that ran out would say so
    smtp.Host = ScriptedSmtpServer::HostAddress();
    smtp.Port = std::to_string(srv.Port());
    vok::SetProcessMessagesHook([&] {
      if (srv.StepsDone() >= stopAfter) smtp.Aborted = true;
    });
    smtp.Connect();
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    smtp.Send(msg);
    vok::SetProcessMessagesHook(nullptr);
    EXPECT_EQ(smtp.Outcome(), TTransactionOutcome::toStopped);
    EXPECT_FALSE(smtp.Delivered);
    EXPECT_FALSE(smtp.Connected);
    EXPECT_EQ(smtp.ReplyText, "Stopped by the user.");
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    // Stopped before the data: none went. Stopped after it: the reply to it never came, so the
    // message does not count as delivered, as after DATA.
    EXPECT_EQ(srv.Received().find("BDAT") != std::string::npos, stopAfter == 9);
  }
}
