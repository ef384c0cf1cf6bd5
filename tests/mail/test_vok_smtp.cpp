// The SMTP dialogue against a scripted server: exact bytes both ways, the
// error state, events and progress, and the failure paths.
#include <gtest/gtest.h>

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "ScriptedSmtpServer.h"
#include "TempDir.h"
#include "VokSMTP.h"
#include "vok_util.h"

using namespace testsupport;

// Outcomes by name in a failure message.
void PrintTo(TTransactionOutcome o, std::ostream* os) {
  static const char* const kNames[] = {"toNone",           "toDelivered", "toResetRefused", "toRefused",
                                       "toConnectionLost", "toStopped",   "toFileError",    "toTooLarge"};
  *os << kNames[static_cast<int>(o)];
}

namespace {

// The name the fixture's client announces (its name source is the test's).
std::string HostName() { return "client.example.net"; }

// The opening every connection plays: greeting and EHLO (a server offering no extension).
std::vector<ScriptStep> Greeting() {
  return {Send("220 mail.test ESMTP ready\r\n"), Expect("EHLO " + HostName() + "\r\n"),
          Send("250 mail.test\r\n")};
}

std::vector<ScriptStep> Join(std::vector<std::vector<ScriptStep>> parts) {
  std::vector<ScriptStep> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// One accepted transaction: envelope, DATA, body, end of data, RSET.
std::vector<ScriptStep> Transaction(const std::string& from, std::vector<std::string> rcpts) {
  std::vector<ScriptStep> s = {Expect("MAIL FROM:<" + from + ">\r\n"), Send("250 sender ok\r\n")};
  for (auto& r : rcpts) {
    s.push_back(Expect("RCPT TO:<" + r + ">\r\n"));
    s.push_back(Send("250 rcpt ok\r\n"));
  }
  s.push_back(Expect("DATA\r\n"));
  s.push_back(Send("354 go ahead\r\n"));
  s.push_back(ReadData());
  s.push_back(Send("250 queued\r\n"));
  s.push_back(Expect("RSET\r\n"));
  s.push_back(Send("250 reset\r\n"));
  return s;
}

std::vector<ScriptStep> QuitSteps() { return {Expect("QUIT\r\n"), Send("221 bye\r\n")}; }

class Smtp : public ::testing::Test {
 protected:
  void SetUp() override {
    vok::SetApplicationTitle("Sendorix test");
    smtp.TimeOut = 5000;
    smtp.HostNameSource = [] { return HostName(); };
    smtp.OnError = [this](void*, int code, const std::string& text) {
      errors.push_back(std::to_string(code) + " " + text);
    };
    smtp.OnQuit = [this](void*) { ++quits; };
    smtp.OnConnect = [this](void*) { ++connects; };
    smtp.OnSendProgress = [this](void*, uint16_t p) { progress.push_back(p); };
    msg.From = "Sender@Example.org";
    msg.SendTo = "to@example.org";
    msg.Subject = "Test";
    msg.Text = {"Hello", ".dot"};
  }
  void ConnectTo(const ScriptedSmtpServer& srv) {
    smtp.Host = ScriptedSmtpServer::HostAddress();
    smtp.Port = std::to_string(srv.Port());
    smtp.Connect();
  }

  TVokSMTP smtp;
  TVokMsg msg;
  std::vector<std::string> errors;
  std::vector<int> progress;
  int quits = 0;
  int connects = 0;
};

TEST_F(Smtp, WholeDialogueToAndCcExactBytes) {
  msg.CC = "\"Copy, One\" <CC1@example.org>, cc2@example.org";
  ScriptedSmtpServer srv(
      Join({Greeting(), Transaction("Sender@Example.org", {"to@example.org"}),
            Transaction("Sender@Example.org", {"cc1@example.org", "cc2@example.org"}), QuitSteps()}));
  std::vector<std::string> sent, received;
  int before = 0, after = 0;
  smtp.OnSendTextToSocket = [&](void*, const std::string& s) { sent.push_back(s); };
  smtp.OnReceiveTextFromSocket = [&](void*, const std::string& s) { received.push_back(s); };
  smtp.OnBeforeSend = [&](void*) { ++before; };
  smtp.OnAfterSend = [&](void*) { ++after; };
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_TRUE(smtp.Connected);
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(smtp.ReplyCode, "250");
  EXPECT_EQ(smtp.ReplyText, "mail.test");
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_FALSE(smtp.Failed);
  smtp.Quit();
  EXPECT_FALSE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(quits, 1);
  ASSERT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);

  ASSERT_EQ(srv.Data().size(), 2u);
  EXPECT_EQ(srv.Data()[0], srv.Data()[1]) << "both lists get the same message";
  const std::string data = srv.Data()[0];
  EXPECT_NE(data.find("\r\nFrom: Sender@Example.org\r\n"), std::string::npos);
  EXPECT_NE(data.find("\r\nCC: \"Copy, One\" <CC1@example.org>, cc2@example.org\r\n"), std::string::npos);
  EXPECT_NE(data.find("\r\n\r\nHello\r\n..dot\r\n\r\n.\r\n"), std::string::npos);
  EXPECT_EQ(data.rfind("\r\n\r\n.\r\n"), data.size() - 7) << "one empty line before the dot";

  // Every line written is reported once, with its line end.
  std::string joined;
  for (auto& s : sent) {
    EXPECT_EQ(s.substr(s.size() - 2), "\r\n");
    joined += s;
  }
  EXPECT_EQ(joined, srv.Received());
  // Each reply's final line as it came, line end included.
  EXPECT_EQ(received,
            (std::vector<std::string>{
                "220 mail.test ESMTP ready\r\n", "250 mail.test\r\n", "250 sender ok\r\n", "250 rcpt ok\r\n",
                "354 go ahead\r\n", "250 queued\r\n", "250 reset\r\n", "250 sender ok\r\n", "250 rcpt ok\r\n",
                "250 rcpt ok\r\n", "354 go ahead\r\n", "250 queued\r\n", "250 reset\r\n", "221 bye\r\n"}));
  EXPECT_EQ(progress.back(), 100);
}

TEST_F(Smtp, TwoLineGreetingInOneSegment) {
  ScriptedSmtpServer srv({Send("220-mail.test first line\r\n220 second\r\n"), Silent()});
  std::vector<std::string> received;
  smtp.OnReceiveTextFromSocket = [&](void*, const std::string& s) { received.push_back(s); };
  smtp.TimeOut = 300;  // EHLO then goes unanswered
  ConnectTo(srv);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received[0], "220 second\r\n");
  EXPECT_TRUE(smtp.Failed);  // the EHLO reply never came
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(Smtp, ReplySplitMidLineAcrossSegments) {
  ScriptedSmtpServer srv(Join(
      {{SendSplit({"220-multi\r\n22", "0 gre", "eting done\r\n"}, 40), Expect("EHLO " + HostName() + "\r\n"),
        SendSplit({"250-one\r\n250-tw", "o\r\n250 three\r\n"}, 40)},
       QuitSteps()}));
  std::vector<std::string> received;
  smtp.OnReceiveTextFromSocket = [&](void*, const std::string& s) { received.push_back(s); };
  ConnectTo(srv);
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_EQ(received, (std::vector<std::string>{"220 greeting done\r\n", "250 three\r\n"}));
  EXPECT_EQ(smtp.ReplyText, "three");
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, BareCodeEndsAReplyAndLongTextIsCut) {
  std::string letters;
  for (int i = 0; i < 70; ++i) letters += static_cast<char>('a' + i % 26);
  ScriptedSmtpServer srv({Send("220\r\n"), Expect("EHLO " + HostName() + "\r\n"),
                          Send("250 " + letters + "\r\n"), Expect("QUIT\r\n"), Send("221\r\n")});
  ConnectTo(srv);
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_EQ(smtp.ReplyText, letters.substr(0, 63));
  smtp.Quit();
  EXPECT_FALSE(smtp.Failed);
  EXPECT_EQ(smtp.ReplyCode, "221");
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, GreetingRefused) {
  ScriptedSmtpServer srv({Send("554 busy\r\n")});
  ConnectTo(srv);
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(errors, (std::vector<std::string>{"554 busy"}));
  EXPECT_EQ(quits, 1);
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received(), "") << "nothing said after a refusal";
  EXPECT_THROW(smtp.Send(msg), std::runtime_error);
}

TEST_F(Smtp, SecondOfThreeRecipientsRejected) {
  msg.SendTo = "a@x, b@x, c@x";
  msg.CC = "d@x";
  ScriptedSmtpServer srv(
      Join({Greeting(),
            {Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("250 ok\r\n"), Expect("RCPT TO:<a@x>\r\n"),
             Send("250 ok\r\n"), Expect("RCPT TO:<b@x>\r\n"), Send("550 no such user\r\n")},
            QuitSteps()}));
  int after = 0;
  smtp.OnAfterSend = [&](void*) { ++after; };
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed);
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(errors, (std::vector<std::string>{"550 no such user"}));
  EXPECT_EQ(after, 1);
  EXPECT_EQ(progress, (std::vector<int>{100}));
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received().find("c@x"), std::string::npos);
  EXPECT_EQ(srv.Received().find("DATA"), std::string::npos);
  EXPECT_EQ(srv.Received().find("d@x"), std::string::npos);
  smtp.Quit();  // already closed: nothing happens
  EXPECT_EQ(quits, 1);
  EXPECT_THROW(smtp.Send(msg), std::runtime_error);
}

// Replies the standard allows but a strict reading refused, and replies that are no replies:
// what the client sends, and the state it ends in.
TEST_F(Smtp, RepliesAfterRecipientsAndData) {
  struct Case {
    const char* name;
    std::vector<ScriptStep> script;
    bool failed, delivered;
    std::string code, text;
    std::vector<std::string> errors;
    TTransactionOutcome outcome;
    unsigned lists;       // ListsDelivered (a list without addresses counts as done)
    std::string cc = "";  // a second list, after To
  };
  using enum TTransactionOutcome;
  const auto envelope = [](const char* rcptReply) {
    return std::vector<ScriptStep>{Expect("MAIL FROM:<Sender@Example.org>\r\n"),
                                   Send("250 ok\r\n"),
                                   Expect("RCPT TO:<to@example.org>\r\n"),
                                   Send(rcptReply),
                                   Expect("DATA\r\n"),
                                   Send("354 go\r\n"),
                                   ReadData()};
  };
  std::vector<Case> cases;
  cases.push_back({"251 to RCPT is an accepted recipient",
                   Join({Greeting(),
                         envelope("251 User not local; will forward\r\n"),
                         {Send("250 queued\r\n"), Expect("RSET\r\n"), Send("250 ok\r\n")},
                         QuitSteps()}),
                   false,
                   true,
                   "221",
                   "bye",
                   {},
                   toDelivered,
                   7});
  cases.push_back(
      {"421 to RSET after an accepted message: delivered, connection gone",
       Join({Greeting(),
             envelope("250 ok\r\n"),
             {Send("250 queued as 12\r\n"), Expect("RSET\r\n"), Send("421 closing\r\n"), CloseConnection()}}),
       true,
       true,
       "421",
       "closing",
       {"421 closing"},
       toResetRefused,
       1});
  cases.push_back({"RSET refused between the To and Cc transactions: not delivered until Cc has it",
                   Join({Greeting(),
                         envelope("250 ok\r\n"),
                         {Send("250 queued\r\n"), Expect("RSET\r\n"), Send("500 what\r\n")}}),
                   true,
                   false,
                   "500",
                   "what",
                   {"500 what"},
                   toResetRefused,
                   1,
                   "cc@example.org"});
  cases.push_back({"any 2xx ends the data",
                   Join({Greeting(),
                         envelope("250 ok\r\n"),
                         {Send("252 taken\r\n"), Expect("RSET\r\n"), Send("250 ok\r\n")},
                         QuitSteps()}),
                   false,
                   true,
                   "221",
                   "bye",
                   {},
                   toDelivered,
                   7});
  cases.push_back(
      {"a line without a code fails at once",
       Join({Greeting(),
             {Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("Hello, this is not SMTP\r\n"), Silent()}}),
       true,
       false,
       "",
       "Invalid reply from the server.",
       {"0 Invalid reply from the server."},
       toRefused,
       0});
  cases.push_back({"end of data refused",
                   Join({Greeting(), envelope("250 ok\r\n"), {Send("554 no\r\n")}, QuitSteps()}),
                   true,
                   false,
                   "554",
                   "no",
                   {"554 no"},
                   toRefused,
                   0});
  cases.push_back({"Cc refused after To took the message",
                   Join({Greeting(),
                         envelope("250 ok\r\n"),
                         {Send("250 queued\r\n"), Expect("RSET\r\n"), Send("250 ok\r\n"),
                          Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("451 later\r\n")},
                         QuitSteps()}),
                   true,
                   false,
                   "451",
                   "later",
                   {"451 later"},
                   toRefused,
                   1,
                   "cc@example.org"});
  cases.push_back({"closed after the data, before the reply",
                   Join({Greeting(), envelope("250 ok\r\n"), {CloseConnection()}}),
                   true,
                   false,
                   "",
                   "Connection closed by the server during the message data.",
                   {"0 Connection closed by the server during the message data."},
                   toConnectionLost,
                   0});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    errors.clear();
    msg.CC = c.cc;
    ScriptedSmtpServer srv(c.script);
    ConnectTo(srv);
    ASSERT_FALSE(smtp.Failed);
    EXPECT_TRUE(smtp.Send(msg));
    if (!smtp.Failed) smtp.Quit();
    EXPECT_EQ(smtp.Failed, c.failed);
    EXPECT_EQ(smtp.Delivered, c.delivered);
    EXPECT_EQ(smtp.ReplyCode, c.code);
    EXPECT_EQ(smtp.ReplyText, c.text);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(smtp.Outcome(), c.outcome);
    EXPECT_EQ(smtp.ListsDelivered, c.lists);
    EXPECT_FALSE(smtp.Connected);
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
  }
}

// The server's SIZE limit is the largest message it takes: a message of exactly that size
// goes out (RFC 1870), one byte more is not uploaded at all.
TEST_F(Smtp, MessageOfTheServersSizeGoesOutOneByteMoreDoesNot) {
  smtp.UserName = "alice";
  smtp.Password = "pw";  // EHLO (and so SIZE) needs more than the plain dialogue
  msg.MessageId = "<size.test@client.example.net>";
  // Send stamps the date again; its text keeps its width but on the night the day of the month
  // gains a digit.
  msg.Date = vok::FormatMessageDate(std::time(nullptr));
  // The lines, and the empty line before the end-of-data dot.
  const uint64_t size = smtp.BuildMessage(msg)->WireSize() + 2;
  struct Case {
    uint64_t limit;
    bool tooLarge;
    TTransactionOutcome outcome;
  };
  for (const Case& c : {Case{size, false, TTransactionOutcome::toDelivered},
                        Case{size - 1, true, TTransactionOutcome::toTooLarge}}) {
    SCOPED_TRACE(c.limit);
    errors.clear();
    std::vector<ScriptStep> script = {
        Send("220 hi\r\n"), Expect("EHLO client.example.net\r\n"),
        Send("250-mx\r\n250-SIZE " + std::to_string(c.limit) + "\r\n250 AUTH PLAIN\r\n"),
        Expect("AUTH PLAIN AGFsaWNlAHB3\r\n"), Send("235 ok\r\n")};
    if (c.tooLarge) {
      // Nothing was uploaded: the connection is still good, and is left with QUIT.
      script = Join({script, QuitSteps()});
    } else {
      script.push_back(Expect("MAIL FROM:<Sender@Example.org> SIZE=" + std::to_string(size) + "\r\n"));
      script.push_back(Send("250 ok\r\n"));
      script.push_back(Expect("RCPT TO:<to@example.org>\r\n"));
      script.push_back(Send("250 ok\r\n"));
      script.push_back(Expect("DATA\r\n"));
      script.push_back(Send("354 go\r\n"));
      script.push_back(ReadData());
      script.push_back(Send("250 queued\r\n"));
      script.push_back(Expect("RSET\r\n"));
      script.push_back(Send("250 ok\r\n"));
      script = Join({script, QuitSteps()});
    }
    ScriptedSmtpServer srv(script);
    ConnectTo(srv);
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    ASSERT_EQ(smtp.SizeLimit, c.limit);
    EXPECT_TRUE(smtp.Send(msg));
    EXPECT_EQ(smtp.MessageSize, size);
    EXPECT_EQ(smtp.TooLarge, c.tooLarge);
    EXPECT_EQ(smtp.Delivered, !c.tooLarge);
    EXPECT_EQ(smtp.Outcome(), c.outcome);
    if (c.tooLarge) {
      EXPECT_TRUE(smtp.Failed);
      EXPECT_FALSE(smtp.Connected);
      EXPECT_EQ(errors, (std::vector<std::string>{"0 " + smtp.ReplyText}));
      EXPECT_NE(smtp.ReplyText.find("at most " + std::to_string(size - 1)), std::string::npos)
          << smtp.ReplyText;
    } else {
      EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
      smtp.Quit();
      EXPECT_TRUE(errors.empty());
    }
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    if (!c.tooLarge) {
      ASSERT_EQ(srv.Data().size(), 1u);
      // What the server read is the message the SIZE parameter announced: everything before
      // the dot line.
      EXPECT_EQ(srv.Data()[0].size() - std::string(".\r\n").size(), size);
    }
  }
}

// Authentication over EHLO on a loopback server without TLS: the method chosen from the offer,
// the secret on the wire but masked in the events, SIZE with MAIL FROM.
TEST_F(Smtp, LoopbackAuthenticationMaskedInTheEvents) {
  smtp.UserName = "alice";
  smtp.Password = "pw";
  std::vector<std::string> shown;
  smtp.OnSendTextToSocket = [&](void*, const std::string& s) { shown.push_back(s); };
  ScriptedSmtpServer srv({Send("220 hi\r\n"), Expect("EHLO client.example.net\r\n"),
                          Send("250-mx\r\n250-SIZE 100000\r\n250 AUTH LOGIN PLAIN\r\n"),
                          Expect("AUTH PLAIN AGFsaWNlAHB3\r\n"), Send("235 ok\r\n"),
                          Expect("MAIL FROM:<Sender@Example.org> SIZE="), Silent()});
  ConnectTo(srv);
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_EQ(smtp.AuthUsed, "PLAIN");
  EXPECT_EQ(smtp.SizeLimit, 100000u);
  EXPECT_EQ(shown, (std::vector<std::string>{"EHLO client.example.net\r\n", "AUTH PLAIN ****\r\n"}));
  smtp.TimeOut = 300;
  smtp.Send(msg);
  srv.Stop();
}

TEST_F(Smtp, AuthenticationChoiceAndWhereASecretMayGo) {
  const std::vector<std::string> both = {"LOGIN", "PLAIN"}, login = {"LOGIN"},
                                 oauth = {"XOAUTH2", "OAUTHBEARER"}, none = {};
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amAutomatic, both), "PLAIN");
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amAutomatic, login), "LOGIN");
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amAutomatic, oauth), "");  // a password cannot serve a token method
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amAutomatic, none), "");
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amLogin, both), "LOGIN");
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amOAuth2, oauth), "OAUTHBEARER");
  EXPECT_EQ(TVokSMTP::ChooseAuthMechanism(amOAuth2, none), "XOAUTH2");
  // Never in clear text to another machine; to a loopback server, or encrypted, it may go.
  EXPECT_FALSE(TVokSMTP::MaySendSecret(false, false));
  EXPECT_TRUE(TVokSMTP::MaySendSecret(false, true));
  EXPECT_TRUE(TVokSMTP::MaySendSecret(true, false));
}

// EHLO (and HELO) names the machine by its qualified name, else by the connection's address literal;
// the Message-Id's host follows the same rule.
TEST_F(Smtp, HeloNameQualifiedOrAddressLiteral) {
  for (const std::string& source : {std::string("mx.client.example"), std::string("vm"), std::string(""),
                                    std::string("localhost.localdomain")}) {
    SCOPED_TRACE(source);
    smtp.HostNameSource = [source] { return source; };
    const std::string announced = source == "mx.client.example" ? source : "[127.0.0.1]";
    ScriptedSmtpServer srv({Send("220 hi\r\n"), Expect("EHLO " + announced + "\r\n"), Send("250 ok\r\n"),
                            Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("250 ok\r\n"),
                            Expect("RCPT TO:<to@example.org>\r\n"), Send("250 ok\r\n"), Expect("DATA\r\n"),
                            Send("354 go\r\n"), ReadData(), Send("250 ok\r\n"), Expect("RSET\r\n"),
                            Send("250 ok\r\n"), Expect("QUIT\r\n"), Send("221 bye\r\n")});
    ConnectTo(srv);
    EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
    smtp.Send(msg);
    smtp.Quit();
    ASSERT_TRUE(srv.Wait()) << srv.Failure();
    ASSERT_EQ(srv.Data().size(), 1u);
    EXPECT_NE(srv.Data()[0].find("@" + announced + ">\r\n"), std::string::npos) << srv.Data()[0];
  }
}

TEST_F(Smtp, OnlyBccRecipients) {
  msg.SendTo = "";
  msg.BCC = "Hidden@X.org";
  ScriptedSmtpServer srv(
      Join({Greeting(), Transaction("Sender@Example.org", {"hidden@x.org"}), QuitSteps()}));
  ConnectTo(srv);
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_FALSE(smtp.Failed);
  smtp.Quit();
  ASSERT_TRUE(srv.Wait()) << srv.Failure();
  ASSERT_EQ(srv.Data().size(), 1u);
  EXPECT_NE(srv.Data()[0].find("\r\nTo: \r\n"), std::string::npos);
  EXPECT_EQ(srv.Data()[0].find("idden"), std::string::npos) << "Bcc never in the message";
}

TEST_F(Smtp, SilentServerTimesOut) {
  ScriptedSmtpServer srv(Join({Greeting(), {Silent()}}));
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed);
  smtp.TimeOut = 300;
  int pumps = 0;
  vok::SetProcessMessagesHook([&] { ++pumps; });
  EXPECT_TRUE(smtp.Send(msg));
  vok::SetProcessMessagesHook(nullptr);
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(smtp.ReplyCode, "");
  EXPECT_NE(smtp.ReplyText.find("No reply"), std::string::npos) << smtp.ReplyText;
  EXPECT_EQ(smtp.Outcome(), TTransactionOutcome::toConnectionLost);
  EXPECT_GT(pumps, 1) << "the window runs while waiting";
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, ServerClosingMidData) {
  std::string big(300000, 'x');
  TempDir dir;
  WriteFile(dir.file("big.bin"), big);
  msg.AttachedFiles.AddFile(dir.file("big.bin"));
  ScriptedSmtpServer srv(
      Join({Greeting(),
            {Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("250 ok\r\n"),
             Expect("RCPT TO:<to@example.org>\r\n"), Send("250 ok\r\n"), Expect("DATA\r\n"),
             Send("354 go\r\n"), Expect("Message-Id: "), CloseConnection()}}));
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed);
  // However the loss shows (a failed write, a reset or the end while reading the reply), it
  // is said as such, not with the 354 that came before, and no exception escapes.
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Delivered);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(smtp.ReplyCode, "");
  EXPECT_EQ(smtp.ReplyText.rfind("Connection", 0), 0u) << smtp.ReplyText;
  EXPECT_NE(smtp.ReplyText.find("during the message data"), std::string::npos) << smtp.ReplyText;
  ASSERT_EQ(errors.size(), 1u) << "reported once";
  EXPECT_EQ(errors[0], "0 " + smtp.ReplyText);
  EXPECT_EQ(quits, 1);
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, ServerClosingBeforeReply) {
  ScriptedSmtpServer srv(
      Join({Greeting(), {Expect("MAIL FROM:<Sender@Example.org>\r\n"), CloseConnection()}}));
  ConnectTo(srv);
  smtp.Send(msg);
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_NE(smtp.ReplyText.find("closed"), std::string::npos) << smtp.ReplyText;
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, PortTextThatIsNotANumberMeans25) {
  // 0.0.0.0 is never dialled, so this checks the choice without a port 25.
  for (const char* port : {"smtp", "", "12x"}) {
    smtp.Host = "0.0.0.0";
    smtp.Port = port;
    smtp.Connect();
    EXPECT_TRUE(smtp.Failed);
    EXPECT_EQ(smtp.ClientSocket().Port(), 25) << port;
    EXPECT_NE(smtp.ReplyText.find("'connect'"), std::string::npos) << smtp.ReplyText;
    EXPECT_TRUE(errors.empty()) << "no OnError for a connection that never opened";
  }
}

TEST_F(Smtp, PortWithLeadingBlanksIsReadAsItsNumber) {
  // The window hands over its right-aligned port field as it stands.
  for (const char* port : {" 587", "  25", "2525"}) {
    smtp.Host = "0.0.0.0";
    smtp.Port = port;
    smtp.Connect();
    EXPECT_TRUE(smtp.Failed);
    EXPECT_EQ(smtp.ClientSocket().Port(), std::stoi(port)) << port;
  }
  smtp.Host = "0.0.0.0";
  smtp.Port = "25 87";
  smtp.Connect();
  EXPECT_EQ(smtp.ClientSocket().Port(), 25) << "a blank inside is not a number";
}

TEST_F(Smtp, DottedAddressUsedWithoutLookupNameResolved) {
  ScriptedSmtpServer srv(Join({Greeting(), QuitSteps()}));
  ConnectTo(srv);
  EXPECT_EQ(smtp.ClientSocket().Address(), "127.0.0.1");
  EXPECT_EQ(smtp.ClientSocket().Host(), "");
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();

  ScriptedSmtpServer srv2(Join({Greeting(), QuitSteps()}));
  smtp.Host = "localhost";
  smtp.Port = std::to_string(srv2.Port());
  smtp.Connect();
  EXPECT_EQ(smtp.ClientSocket().Host(), "localhost");
  EXPECT_EQ(smtp.ClientSocket().Address(), "");
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  smtp.Quit();
  EXPECT_TRUE(srv2.Wait()) << srv2.Failure();
}

TEST_F(Smtp, ConnectAgainToSameServerStartsAfresh) {
  ScriptedSmtpServer srv(Join({Greeting(), {NextConnection()}, Greeting(), QuitSteps()}));
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed);
  ConnectTo(srv);
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_TRUE(smtp.Connected);
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Connections(), 2);
}

TEST_F(Smtp, ConnectToAnotherServerWhileStillOpen) {
  // A job ended by an unreadable file leaves the connection open; the next
  // job may use another server and must still get through.
  ScriptedSmtpServer first(Greeting());
  ScriptedSmtpServer second(Join({Greeting(), QuitSteps()}));
  ConnectTo(first);
  msg.AttachedFiles.AddFile("/nonexistent/file.txt");
  EXPECT_THROW(smtp.Send(msg), EFOpenError);
  ASSERT_TRUE(smtp.Connected);
  ConnectTo(second);
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_EQ(smtp.ClientSocket().Port(), second.Port());
  smtp.Quit();
  EXPECT_TRUE(first.Wait()) << first.Failure();
  EXPECT_TRUE(second.Wait()) << second.Failure();
  EXPECT_TRUE(errors.empty());
}

TEST_F(Smtp, EnvelopeInjectionRefusedBeforeAnythingIsSent) {
  ScriptedSmtpServer srv(Join({Greeting(), QuitSteps()}));
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed);
  for (std::string bad : {"a@x\r\nRCPT TO:evil@x", "a@x>", "x<a@x", "a@x\nb"}) {
    TVokMsg m;
    m.From = "me@x";
    m.SendTo = bad;
    EXPECT_THROW(smtp.Send(m), std::invalid_argument) << bad;
    m.SendTo = "ok@x";
    m.From = bad;
    EXPECT_THROW(smtp.Send(m), std::invalid_argument) << bad;
  }
  EXPECT_TRUE(smtp.Connected);
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received(), "EHLO " + HostName() + "\r\nQUIT\r\n");
}

TEST_F(Smtp, InputChecks) {
  try {
    smtp.Send(msg);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Not connected.");
  }
  ScriptedSmtpServer srv(Join({Greeting(), QuitSteps()}));
  ConnectTo(srv);
  TVokMsg m;
  m.SendTo = "a@x";
  try {
    smtp.Send(m);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "\"From\" field not specified.");
  }
  m.From = "me@x";
  m.SendTo = "";
  try {
    smtp.Send(m);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "\"SendTo\" field not specified.");
  }
  EXPECT_FALSE(smtp.Failed);
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, ProgressThresholds) {
  auto run = [&](int lineCount) {
    progress.clear();
    ScriptedSmtpServer srv(Join({Greeting(), Transaction("me@x", {"a@x"}), QuitSteps()}));
    ConnectTo(srv);
    TMessageLines lines;
    for (int i = 0; i < lineCount; ++i) lines.Add("line " + std::to_string(i));
    EXPECT_EQ(smtp.SendTransaction("me@x", {"a@x"}, lines), TTransactionOutcome::toDelivered);
    smtp.Quit();
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    return progress;
  };
  EXPECT_EQ(run(4), (std::vector<int>{25, 50, 75, 100, 100}));
  EXPECT_EQ(run(25), (std::vector<int>{12, 20, 32, 40, 52, 60, 72, 80, 92, 100, 100}));
}

TEST_F(Smtp, FinalHundredOnlyWhileTheLastLinePercentIsBelowIt) {
  // SendPercent is the last percentage computed for message lines, kept
  // across messages: a message refused before DATA after a complete one
  // adds no 100 of its own.
  msg.Text = {"one", "two", "three"};
  ScriptedSmtpServer srv(Join({Greeting(),
                               Transaction("Sender@Example.org", {"to@example.org"}),
                               {Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("451 try later\r\n")},
                               QuitSteps()}));
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_TRUE(smtp.Send(msg));
  ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_EQ(smtp.SendPercent, 100);
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2], 100) << "last line";
  EXPECT_EQ(progress.back(), 100) << "after RSET; Send adds none";
  const size_t firstCount = progress.size();
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_TRUE(smtp.Failed);
  EXPECT_EQ(errors, (std::vector<std::string>{"451 try later"}));
  EXPECT_EQ(progress.size(), firstCount) << "no progress event for the refused message";
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
}

TEST_F(Smtp, EmptyListSendsNothing) {
  TMessageLines lines;
  EXPECT_EQ(smtp.SendTransaction("me@x", {}, lines), TTransactionOutcome::toDelivered);
}

TEST_F(Smtp, AbortedWhileWritingLines) {
  ScriptedSmtpServer srv(Join({Greeting(),
                               {Expect("MAIL FROM:<Sender@Example.org>\r\n"), Send("250 ok\r\n"),
                                Expect("RCPT TO:<to@example.org>\r\n"), Send("250 ok\r\n"),
                                Expect("DATA\r\n"), Send("354 go\r\n")}}));
  ConnectTo(srv);
  smtp.OnSendProgress = [&](void*, uint16_t p) {
    progress.push_back(p);
    smtp.Aborted = true;
  };
  smtp.Send(msg);
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(errors, (std::vector<std::string>{"354 go"}));
  EXPECT_EQ(smtp.Outcome(), TTransactionOutcome::toStopped);
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received().find("\r\n.\r\n"), std::string::npos) << "no end of data";
  // A connect with an accepted greeting clears Aborted.
  ScriptedSmtpServer srv2(Join({Greeting(), QuitSteps()}));
  ConnectTo(srv2);
  EXPECT_FALSE(smtp.Aborted);
  smtp.Quit();
  EXPECT_TRUE(srv2.Wait()) << srv2.Failure();
}

TEST_F(Smtp, AbortedQuitSendsNothing) {
  ScriptedSmtpServer srv(Greeting());
  ConnectTo(srv);
  smtp.Aborted = true;
  smtp.Quit();
  EXPECT_FALSE(smtp.Connected);
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received(), "EHLO " + HostName() + "\r\n");
}

TEST_F(Smtp, UnreadableFileStopsBeforeAnyCommand) {
  ScriptedSmtpServer srv(Join({Greeting(), QuitSteps()}));
  ConnectTo(srv);
  int before = 0;
  smtp.OnBeforeSend = [&](void*) { ++before; };
  msg.AttachedFiles.AddFile("/nonexistent/file.txt");
  EXPECT_THROW(smtp.Send(msg), EFOpenError);
  EXPECT_EQ(smtp.Outcome(), TTransactionOutcome::toFileError);
  EXPECT_EQ(before, 0);
  EXPECT_TRUE(smtp.Connected);
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received(), "EHLO " + HostName() + "\r\nQUIT\r\n");
}

TEST_F(Smtp, RefusedConnectionSetsFailedWithoutOnError) {
  int port;
  {
    ScriptedSmtpServer srv({});
    port = srv.Port();
    srv.Stop();
  }
  smtp.Host = "127.0.0.1";
  smtp.Port = std::to_string(port);
  smtp.Connect();
  EXPECT_TRUE(smtp.Failed);
  EXPECT_EQ(smtp.ReplyText.rfind("Socket error: ", 0), 0u) << smtp.ReplyText;
  EXPECT_TRUE(errors.empty());
}

// A server that plays the dialogue up to DATA, answers 354 and then stops reading, so the
// client's writes fill the connection and have to wait for room that never comes.
class StalledServer {
 public:
  StalledServer() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 1);
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~StalledServer() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }
  int Port() const { return port_; }

 private:
  bool Readable(int fd) {
    for (int i = 0; i < 3000 && !stop_; ++i) {  // 30 s at most
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) return true;
    }
    return false;
  }
  void Run() {
    if (!Readable(listen_)) return;
    const int conn = accept(listen_, nullptr, nullptr);
    auto say = [&](const char* text) { (void)!write(conn, text, strlen(text)); };
    say("220 stalled ready\r\n");
    std::string line;
    char c;
    while (Readable(conn) && read(conn, &c, 1) == 1) {
      line += c;
      if (c != '\n') continue;
      if (line.rfind("DATA", 0) == 0) {
        say("354 go\r\n");
        break;
      }
      say(line.rfind("EHLO", 0) == 0 ? "250 hello\r\n" : "250 ok\r\n");
      line.clear();
    }
    while (!stop_) usleep(10000);  // reads nothing more
    close(conn);
  }
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SmtpStalled : public Smtp {
 protected:
  void SetUp() override {
    Smtp::SetUp();
    // Far more than the connection buffers hold.
    msg.Text.assign(100000, std::string(78, 'x'));
    smtp.Host = "127.0.0.1";
    smtp.Port = std::to_string(server.Port());
  }
  void TearDown() override { vok::SetProcessMessagesHook(nullptr); }
  StalledServer server;
};

TEST_F(SmtpStalled, ASendTimeoutNamesTheTimeoutNotThePreviousReply) {
  smtp.TimeOut = 500;
  smtp.Connect();
  ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(smtp.ReplyCode, "");
  EXPECT_EQ(smtp.ReplyText, "The server took no data within 500 ms.");
  EXPECT_EQ(errors, (std::vector<std::string>{"0 The server took no data within 500 ms."}));
}

// A stop asked for while the component waits (for room to write, or for a reply) ends the
// wait at once and closes the connection; the timeouts are long, so only the stop can end it.
TEST_F(SmtpStalled, AStopEndsAWriteWaitingForRoom) {
  TempDir dir;
  WriteFile(dir.file("a.bin"), "abc");
  msg.AttachedFiles.AddFile(dir.file("a.bin"));
  smtp.TimeOut = 30000;
  smtp.Connect();
  ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
  std::set<TSmtpActivity> seen;
  int sendingPumps = 0;
  vok::SetProcessMessagesHook([&] {
    seen.insert(smtp.Activity);
    if (smtp.Activity == saSending && ++sendingPumps == 20) smtp.Aborted = true;
  });
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_GE(sendingPumps, 20) << "the window ran while the write waited";
  EXPECT_TRUE(seen.count(saEncoding) && seen.count(saSending));
  EXPECT_EQ(smtp.ReplyText.find("took no data"), std::string::npos) << smtp.ReplyText;
  EXPECT_EQ(smtp.Activity, saIdle);
}

TEST_F(Smtp, AStopEndsAReplyWaitAndQuitThenSendsNothing) {
  ScriptedSmtpServer srv(Join({Greeting(), {Silent()}}), 40000);
  smtp.TimeOut = 30000;
  ConnectTo(srv);
  ASSERT_FALSE(smtp.Failed);
  int waits = 0;
  vok::SetProcessMessagesHook([&] {
    if (smtp.Activity == saWaiting && ++waits == 5) smtp.Aborted = true;
  });
  EXPECT_TRUE(smtp.Send(msg));
  vok::SetProcessMessagesHook(nullptr);
  EXPECT_TRUE(smtp.Failed);
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(smtp.ReplyText, "Stopped by the user.");
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received(), "EHLO " + HostName() + "\r\nMAIL FROM:<Sender@Example.org>\r\n");
}

TEST_F(Smtp, EmptyRecipientEntriesSendNoRcpt) {
  msg.SendTo = "a@x,, b@y ,";
  msg.CC = " , ";
  ScriptedSmtpServer srv(Join({Greeting(), Transaction("Sender@Example.org", {"a@x", "b@y"}), QuitSteps()}));
  ConnectTo(srv);
  EXPECT_TRUE(smtp.Send(msg));
  EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
  // Nothing but empty entries is no recipient at all.
  TVokMsg empty;
  empty.From = msg.From;
  empty.SendTo = ",";
  empty.BCC = ",,";
  try {
    smtp.Send(empty);
    ADD_FAILURE() << "sent to nobody";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "\"SendTo\" field not specified.");
  }
  smtp.Quit();
  EXPECT_TRUE(srv.Wait()) << srv.Failure();
  EXPECT_EQ(srv.Received().find("RCPT TO:<>"), std::string::npos);
}

}  // namespace
