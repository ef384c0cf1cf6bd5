// TLS against the scripted server with certificates the test makes: a stop ends every TLS wait
// (handshake, upload, reply) long before the timeout, and the certificate is checked against
// the server's name, not only against an address.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <netdb.h>

#include "Dialer.h"
#include "ScriptedSmtpServer.h"
#include "TestPki.h"
#include "VokSMTP.h"
#include "vok_util.h"

using namespace testsupport;

namespace {

const std::string kEhlo = "EHLO client.example.net\r\n";

class SmtpTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki = std::make_unique<TestPki>(); }
  static void TearDownTestSuite() { pki.reset(); }
  void SetUp() override {
    vok::SetApplicationTitle("Sendorix test");
    msg.From = "me@example.org";
    msg.SendTo = "to@example.org";
    msg.Subject = "Secure";
    msg.Text = {"Hello"};
  }
  void TearDown() override {
    vok::SetProcessMessagesHook(nullptr);
    vok::SetNameResolver(nullptr);
  }
  // A client for the server at host, trusting the test's CA.
  static std::unique_ptr<TVokSMTP> Client(const ScriptedSmtpServer& srv, TSecurity security,
                                          const std::string& host = ScriptedSmtpServer::HostAddress()) {
    auto smtp = std::make_unique<TVokSMTP>();
    smtp->HostNameSource = [] { return std::string("client.example.net"); };
    smtp->ExtraCaFile = pki->Ca();
    smtp->Security = security;
    smtp->Host = host;
    smtp->Port = std::to_string(srv.Port());
    return smtp;
  }

  static std::unique_ptr<TestPki> pki;
  TVokMsg msg;
};
std::unique_ptr<TestPki> SmtpTls::pki;

struct StopCase {
  const char* name;
  std::vector<ScriptStep> script;
  TSecurity security;
  bool send;                // stopped in Send (else in Connect)
  int stepsFirst;           // the server has done this many steps before the stop
  TSmtpActivity activity;   // what the component is doing when it is stopped
  std::string replyText;    // afterwards
  std::string sentFirst;    // what the server had from the client, at least
};

// Asks for the stop while the component waits on a server that will not move, as the window's
// second Cancel does, and with a timeout of a minute: only the stop can end these waits soon.
TEST_F(SmtpTls, AStopEndsEveryTlsWaitLongBeforeTheTimeout) {
  const std::vector<ScriptStep> upload = {
      Send("220 tls.test\r\n"), Expect(kEhlo), Send("250-tls.test\r\n250 STARTTLS\r\n"), Expect("STARTTLS\r\n"),
      Send("220 go ahead\r\n"), StartTls(pki->Cert("good"), pki->Key("good")), Expect(kEhlo),
      Send("250 tls.test\r\n"), Expect("MAIL FROM:<me@example.org>\r\n"), Send("250 ok\r\n"),
      Expect("RCPT TO:<to@example.org>\r\n"), Send("250 ok\r\n"), Expect("DATA\r\n"), Send("354 go\r\n"),
      Deaf()};
  // The header of a 64-byte application-data record and a few of its bytes, then nothing.
  const std::string halfRecord = std::string("\x17\x03\x03\x00\x40", 5) + std::string(10, 'z');
  const std::vector<StopCase> cases = {
      // The client's hello went out (a handshake record, TLS 1.x): the handshake had begun.
      {"handshake with a server that stays silent", {Silent()}, secTls, false, 0, saConnecting,
       "Stopped by the user.", "\x16\x03"},
      // The last reply before the stop was the 354 of DATA.
      {"upload to a server that stopped reading", upload, secStartTls, true, 14, saSending, "go",
       kEhlo + "STARTTLS\r\n" + kEhlo + "MAIL FROM:<me@example.org>\r\nRCPT TO:<to@example.org>\r\nDATA\r\n"},
      {"reply that stops in the middle of a record",
       {StartTls(pki->Cert("good"), pki->Key("good")), Send("220 tls.test\r\n"), Expect(kEhlo), SendRaw(halfRecord),
        Silent()},
       secTls, false, 4, saWaiting, "Stopped by the user.", kEhlo},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSmtpServer srv(c.script, 90000, 0, 4096);
    auto client = Client(srv, c.security);
    TVokSMTP& smtp = *client;
    smtp.TimeOut = 60000;
    if (c.send) msg.Text.assign(100000, std::string(78, 'x'));   // far more than the buffers hold
    using clock = std::chrono::steady_clock;
    clock::time_point stoppedAt{};
    int pumps = 0;
    vok::SetProcessMessagesHook([&] {
      if (srv.StepsDone() >= c.stepsFirst && smtp.Activity == c.activity && ++pumps == 10) {
        smtp.Aborted = true;
        stoppedAt = clock::now();
      }
    });
    smtp.Connect();
    if (c.send) {
      ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
      EXPECT_TRUE(smtp.Send(msg));
      EXPECT_FALSE(smtp.Delivered);
    }
    const auto returnedAt = clock::now();
    vok::SetProcessMessagesHook(nullptr);
    ASSERT_TRUE(smtp.Aborted) << "the wait ended before the stop: " << smtp.ReplyText;
    EXPECT_TRUE(smtp.Failed);
    EXPECT_FALSE(smtp.Connected);
    EXPECT_EQ(smtp.ReplyText, c.replyText);
    // A generous bound: only says the stop, not the minute's timeout, ended the wait.
    EXPECT_LT(returnedAt - stoppedAt, std::chrono::seconds(10));
    EXPECT_EQ(Printable(srv.Received().substr(0, c.sentFirst.size())), Printable(c.sentFirst));
    smtp.Quit();   // stopped: closes without a word
    EXPECT_FALSE(smtp.Connected);
  }
}

// The server is reached by name and shows a certificate the trusted CA issued for another name:
// refused for the name, before any AUTH or MAIL; the right certificate for the name passes.
TEST_F(SmtpTls, StartTlsByNameChecksTheCertificateAgainstTheName) {
  vok::SetNameResolver([](const std::string& name) {
    vok::TNameLookup found;
    if (name == "localhost") {
      found.Addresses = {"127.0.0.1"};
    } else {
      found.Code = EAI_NONAME;
      found.Reason = gai_strerror(EAI_NONAME);
    }
    return found;
  });
  struct NameCase {
    const char* cert;
    std::string failure;   // "": accepted
  };
  for (const NameCase& c : {NameCase{"good", ""},
                            NameCase{"wrongname", "The certificate of localhost is not trusted (wrong name)."}}) {
    SCOPED_TRACE(c.cert);
    std::vector<ScriptStep> script = {Send("220 mail.test\r\n"), Expect(kEhlo),
                                      Send("250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n"),
                                      Expect("STARTTLS\r\n"), Send("220 go ahead\r\n"),
                                      StartTls(pki->Cert(c.cert), pki->Key(c.cert))};
    const std::string afterTls = kEhlo + "AUTH PLAIN AGFsaWNlAHB3LTQ3MTE=\r\nQUIT\r\n";
    if (c.failure.empty())
      script.insert(script.end(), {Expect(kEhlo), Send("250-mail.test\r\n250 AUTH PLAIN\r\n"),
                                   Expect("AUTH PLAIN AGFsaWNlAHB3LTQ3MTE=\r\n"), Send("235 ok\r\n"),
                                   Expect("QUIT\r\n"), Send("221 bye\r\n")});
    ScriptedSmtpServer srv(script);
    auto client = Client(srv, secStartTls, "localhost");
    TVokSMTP& smtp = *client;
    smtp.UserName = "alice";
    smtp.Password = "pw-4711";
    smtp.TimeOut = 5000;
    smtp.Connect();
    if (c.failure.empty()) {
      EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
      EXPECT_TRUE(smtp.Encrypted);
      EXPECT_EQ(smtp.AuthUsed, "PLAIN");
      smtp.Quit();
    } else {
      EXPECT_TRUE(smtp.Failed);
      EXPECT_FALSE(smtp.Connected);
      EXPECT_TRUE(smtp.CertificateRefused);
      EXPECT_EQ(smtp.ReplyText, c.failure);
      EXPECT_EQ(smtp.Certificate.Reason, "wrong name");
      EXPECT_NE(smtp.Certificate.Subject.find("wrongname.test"), std::string::npos) << smtp.Certificate.Subject;
      EXPECT_THROW(smtp.Send(msg), std::runtime_error);
    }
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    // Inside TLS: the login and the end only for the right name; no AUTH and no MAIL otherwise.
    EXPECT_EQ(Printable(srv.Received()),
              Printable(kEhlo + "STARTTLS\r\n" + (c.failure.empty() ? afterTls : std::string())));
  }
}

}  // namespace
