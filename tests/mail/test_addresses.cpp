// Recipient fields through the address check and through the wire: the envelope and header
// bytes a field gives, or the error that stops it before MAIL FROM.
#include <gtest/gtest.h>

#include "Addresses.h"
#include "ScriptedSmtpServer.h"
#include "VokSMTP.h"
#include "vok_util.h"

using namespace testsupport;
using vok::TAddressProblem;

namespace {

// KOI8-R bytes of the Russian words the rows use.
const std::string kPetrov = "\xF0\xC5\xD4\xD2\xCF\xD7";    // Петров
const std::string kPyotr = "\xF0\xA3\xD4\xD2";             // Пётр
const std::string kPrimerRf = "\xD0\xD2\xC9\xCD\xC5\xD2.\xD2\xC6";  // пример.рф

struct Row {
  const char* name;
  std::string charset{};
  std::string to{}, cc{};
  // Success: the envelope and the header lines expected.
  std::vector<std::string> rcpt{};
  std::string toHeader{}, ccHeader{};
  bool smtputf8 = false;  // MAIL FROM carries SMTPUTF8
  // Failure: what the check says of the first bad entry and what the error names.
  TAddressProblem problem = TAddressProblem::apNone;
  std::string error{};
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"semicolon separates", "UTF-8", "Ann <ann@example.org>; bob@example.org", "",
       {"ann@example.org", "bob@example.org"}, "To: Ann <ann@example.org>, bob@example.org", ""},
      {"empty entries and a lone semicolon", "UTF-8", "a@x.test", " , ;", {"a@x.test"}, "To: a@x.test", ""},
      {"mixed separators, quoted comma", "UTF-8", "\"Smith, J\" <j@x.test>;k@y.test , l@z.test (home)", "",
       {"j@x.test", "k@y.test", "l@z.test"}, "To: \"Smith, J\" <j@x.test>, k@y.test, l@z.test", ""},
      {"plain ASCII unchanged", "ISO-8859-1", "Ann <Ann@Example.org>", "", {"ann@example.org"},
       "To: Ann <Ann@Example.org>", ""},
      {"IDN domain", "UTF-8", "ivan@пример.рф", "", {"ivan@xn--e1afmkfd.xn--p1ai"},
       "To: ivan@xn--e1afmkfd.xn--p1ai", ""},
      // IDNA2008 without the transitional rules: ß stays a letter of its own.
      {"IDN domain with sharp s", "UTF-8", "a@straße.de", "", {"a@xn--strae-oqa.de"}, "To: a@xn--strae-oqa.de", ""},
      {"IDN domain in KOI8-R", "KOI8-R", "ivan@" + kPrimerRf, "", {"ivan@xn--e1afmkfd.xn--p1ai"},
       "To: ivan@xn--e1afmkfd.xn--p1ai", ""},
      {"IDN domain with a display name", "UTF-8", "Иван <ivan@пример.рф>", "", {"ivan@xn--e1afmkfd.xn--p1ai"},
       "To: =?UTF-8?B?0JjQstCw0L0=?= <ivan@xn--e1afmkfd.xn--p1ai>", ""},
      {"non-ASCII local part", "UTF-8", "иван@пример.рф", "", {"иван@пример.рф"}, "To: иван@пример.рф", "",
       true},
      {"non-ASCII local part in Cc", "UTF-8", "", "Иван <иван@пример.рф>", {"иван@пример.рф"}, "To: ",
       "CC: =?UTF-8?B?0JjQstCw0L0=?= <иван@пример.рф>", true},
      {"quoted local part", "UTF-8", "\"john smith\"@example.org", "", {"\"john smith\"@example.org"},
       "To: \"john smith\"@example.org", ""},
      {"address literals", "UTF-8", "u@[192.0.2.1], v@[IPv6:2001:db8::1]", "",
       {"u@[192.0.2.1]", "v@[ipv6:2001:db8::1]"}, "To: u@[192.0.2.1], v@[IPv6:2001:db8::1]", ""},
      // Failures.
      {"text after the address", "UTF-8", "Ann <ann@example.org> bob@example.org", "", {}, "", "", false,
       TAddressProblem::apTrailingText, "text after the address (bob@example.org)"},
      {"display name with a comma", "KOI8-R", kPetrov + ", " + kPyotr + " <p@x.test>", "", {}, "", "", false,
       TAddressProblem::apNameComma, "a display name with a comma needs quotes"},
      {"a name, no address", "UTF-8", "a@x.test", "Foo Bar", {}, "", "", false, TAddressProblem::apNoAt,
       "\"Foo Bar\" is not an e-mail address"},
      {"empty angle brackets", "UTF-8", "Ann <>", "", {}, "", "", false, TAddressProblem::apEmpty, "is empty"},
      {"double dot in the local part", "UTF-8", "a..b@x.test", "", {}, "", "", false,
       TAddressProblem::apLocalPart, "the part before @"},
      {"domain label with a hyphen at its end", "UTF-8", "a@x-.test", "", {}, "", "", false,
       TAddressProblem::apDomain, "invalid domain x-.test"},
      {"IDN domain with an empty label", "UTF-8", "a@пример..рф", "", {}, "", "", false,
       TAddressProblem::apDomain, "invalid domain пример..рф"},
      {"IDN domain IDNA2008 refuses", "UTF-8", "a@☃.test", "", {}, "", "", false, TAddressProblem::apDomain,
       "invalid domain ☃.test ("},
      {"bad address literal", "UTF-8", "a@[300.1.1.1]", "", {}, "", "", false, TAddressProblem::apDomain,
       "invalid domain [300.1.1.1]"},
      {"special in an unquoted name", "UTF-8", "Ann: Lee <a@x.test>", "", {}, "", "", false,
       TAddressProblem::apDisplayName, "display name"},
      {"local part too long", "UTF-8", std::string(65, 'a') + "@x.test", "", {}, "", "", false,
       TAddressProblem::apTooLong, "too long"},
  };
  return rows;
}

std::vector<ScriptStep> Join(std::vector<std::vector<ScriptStep>> parts) {
  std::vector<ScriptStep> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Greeting and EHLO; the server offers SMTPUTF8 or not.
std::vector<ScriptStep> Opening(bool smtputf8) {
  return {Send("220 mail.test ESMTP\r\n"), Expect("EHLO client.example.net\r\n"),
          Send(smtputf8 ? "250-mail.test\r\n250 SMTPUTF8\r\n" : "250 mail.test\r\n")};
}

std::vector<ScriptStep> Transaction(const std::string& from, const std::vector<std::string>& rcpts,
                                    const std::string& params) {
  std::vector<ScriptStep> s = {Expect("MAIL FROM:<" + from + ">" + params + "\r\n"), Send("250 ok\r\n")};
  for (const auto& r : rcpts) {
    s.push_back(Expect("RCPT TO:<" + r + ">\r\n"));
    s.push_back(Send("250 ok\r\n"));
  }
  for (ScriptStep step : {Expect("DATA\r\n"), Send("354 go\r\n"), ReadData(), Send("250 queued\r\n"),
                          Expect("RSET\r\n"), Send("250 reset\r\n")})
    s.push_back(step);
  return s;
}

std::vector<ScriptStep> QuitSteps() { return {Expect("QUIT\r\n"), Send("221 bye\r\n")}; }

void Prepare(TVokSMTP& smtp, TVokMsg& msg, const ScriptedSmtpServer& srv) {
  smtp.TimeOut = 5000;
  smtp.HostNameSource = [] { return std::string("client.example.net"); };
  smtp.InternationalAddresses = true;
  smtp.Host = ScriptedSmtpServer::HostAddress();
  smtp.Port = std::to_string(srv.Port());
  msg.From = "me@example.org";
  msg.Subject = "Test";
  msg.Text = {"Hello"};
}

bool HasLine(const std::string& data, const std::string& line) {
  return data.rfind(line + "\r\n", 0) == 0 || data.find("\r\n" + line + "\r\n") != std::string::npos;
}

TEST(Addresses, EveryFieldThroughTheCheckAndTheWire) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    // The check alone.
    std::vector<vok::TAddress> checked = vok::CheckEntries(vok::ToUtf8(row.to, row.charset));
    for (const auto& a : vok::CheckEntries(vok::ToUtf8(row.cc, row.charset))) checked.push_back(a);
    const vok::TAddress* bad = vok::FirstProblem(checked);
    EXPECT_EQ(bad ? bad->Problem : TAddressProblem::apNone, row.problem);
    if (bad) {
      EXPECT_NE(vok::ProblemText(*bad).find(row.error), std::string::npos) << vok::ProblemText(*bad);
    }

    // The wire.
    const bool failing = row.problem != TAddressProblem::apNone;
    std::vector<std::vector<ScriptStep>> script = {Opening(true)};
    if (!failing) script.push_back(Transaction("me@example.org", row.rcpt, row.smtputf8 ? " SMTPUTF8" : ""));
    script.push_back(QuitSteps());
    ScriptedSmtpServer srv(Join(script));
    TVokSMTP smtp;
    TVokMsg msg;
    Prepare(smtp, msg, srv);
    msg.CharSet = row.charset;
    msg.SendTo = row.to;
    msg.CC = row.cc;
    smtp.Connect();
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    if (failing) {
      try {
        smtp.Send(msg);
        ADD_FAILURE() << "sent";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
      }
    } else {
      EXPECT_TRUE(smtp.Send(msg));
      EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
    }
    smtp.Quit();
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    if (failing) {
      EXPECT_EQ(srv.Received().find("MAIL FROM"), std::string::npos);
      continue;
    }
    ASSERT_EQ(srv.Data().size(), 1u);
    const std::string data = srv.Data()[0];
    EXPECT_TRUE(HasLine(data, row.toHeader)) << data;
    if (row.ccHeader.empty())
      EXPECT_EQ(data.find("\r\nCC:"), std::string::npos) << data;
    else
      EXPECT_TRUE(HasLine(data, row.ccHeader)) << data;
  }
}

TEST(Addresses, InternationalAddressWithoutSmtpUtf8SendsNothing) {
  // Recipient or sender: either stops the message before MAIL FROM, naming the address.
  const std::vector<std::pair<std::string, std::string>> cases = {{"me@example.org", "иван@пример.рф"},
                                                                   {"иван@пример.рф", "a@x.test"}};
  for (const auto& [from, to] : cases) {
    SCOPED_TRACE(from + " -> " + to);
    ScriptedSmtpServer srv(Join({Opening(false), QuitSteps()}));
    TVokSMTP smtp;
    TVokMsg msg;
    Prepare(smtp, msg, srv);
    msg.CharSet = "UTF-8";
    msg.From = from;
    msg.SendTo = to;
    smtp.Connect();
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    EXPECT_FALSE(smtp.AcceptsInternationalAddresses());
    try {
      smtp.Send(msg);
      ADD_FAILURE() << "sent";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "иван@пример.рф: the server does not accept international addresses (no SMTPUTF8).");
    }
    smtp.Quit();
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    EXPECT_EQ(srv.Received().find("MAIL FROM"), std::string::npos);
  }
}

// A server that does not know EHLO gets HELO, unless an address needs SMTPUTF8 and so EHLO.
TEST(Addresses, AServerWithoutEhloGetsHeloUnlessAnAddressNeedsEhlo) {
  for (bool international : {false, true}) {
    std::vector<ScriptStep> script = {Send("220 mail.test\r\n"), Expect("EHLO client.example.net\r\n"),
                                      Send("502 not implemented\r\n")};
    if (!international)
      script.insert(script.end(), {Expect("HELO client.example.net\r\n"), Send("250 mail.test\r\n"),
                                   Expect("QUIT\r\n"), Send("221 bye\r\n")});
    ScriptedSmtpServer srv(script);
    TVokSMTP smtp;
    TVokMsg msg;
    Prepare(smtp, msg, srv);
    smtp.InternationalAddresses = international;
    smtp.Connect();
    EXPECT_EQ(smtp.Failed, international) << smtp.ReplyText;
    if (international) {
      EXPECT_EQ(smtp.ReplyCode, "502");
    }
    smtp.Quit();
    EXPECT_TRUE(srv.Wait()) << international << srv.Failure();
  }
}

TEST(Addresses, SplitEntriesKeepsSeparatorsInsideQuotesCommentsAndBrackets) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
      {"", {}},
      {"a@x; b@y, c@z", {"a@x", "b@y", "c@z"}},
      {"\"L; M, N\" <a@x>", {"\"L; M, N\" <a@x>"}},
      {"a@x (home; work), b@y", {"a@x (home; work)", "b@y"}},
      {"<\"a,b\"@x>;", {"<\"a,b\"@x>", ""}},
      {"\"q\\\"; r\" <a@x>", {"\"q\\\"; r\" <a@x>"}},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(vok::SplitEntries(text), expected) << text;
}

}  // namespace
