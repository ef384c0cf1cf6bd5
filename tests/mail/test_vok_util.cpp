// Dates, zones, dotted addresses, content types, address splitting, hook.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <sys/stat.h>

#include "VokMsg.h"
#include "vok_util.h"

using namespace vok;

namespace {

TEST(Numbers, PadNumber) {
  EXPECT_EQ(PadNumber(5, 2), "05");
  EXPECT_EQ(PadNumber(123, 2), "123");
  EXPECT_EQ(PadNumber(0, 4), "0000");
}

TEST(Numbers, IsIPAddress) {
  EXPECT_TRUE(IsIPAddress("10.0.0.1"));
  EXPECT_TRUE(IsIPAddress("255.255.255.255"));
  EXPECT_TRUE(IsIPAddress("0.0.0.0"));
  EXPECT_FALSE(IsIPAddress("10.0.0"));
  EXPECT_FALSE(IsIPAddress("10.0.0.256"));
  EXPECT_FALSE(IsIPAddress("1.2.3.4.5"));
  EXPECT_FALSE(IsIPAddress(""));
  EXPECT_FALSE(IsIPAddress("mail.example.org"));
  EXPECT_FALSE(IsIPAddress("1..2.3"));
  EXPECT_FALSE(IsIPAddress("1.-2.3.4"));
}

TEST(Dates, ZoneText) {
  EXPECT_EQ(ZoneText(0), "GMT");
  EXPECT_EQ(ZoneText(-180), "+0300");
  EXPECT_EQ(ZoneText(300), "-0500");
  EXPECT_EQ(ZoneText(-330), "+0530");
  EXPECT_EQ(ZoneText(210), "-0330");
}

TEST(Dates, FormatMessageDate) {
  std::tm t{};
  t.tm_year = 99;
  t.tm_mon = 5;
  t.tm_mday = 9;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(FormatMessageDate(t, -180), "Wed, 9 Jun 1999 07:05:03 +0300");
  EXPECT_EQ(FormatMessageDate(t, 0), "Wed, 9 Jun 1999 07:05:03 GMT");
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 27;
  t.tm_hour = 23;
  EXPECT_EQ(FormatMessageDate(t, 300), "Sun, 27 Dec 2026 23:05:03 -0500");
}

TEST(Dates, LocalZoneFollowsTZ) {
  // A zone without daylight rules still has its offset in the Date.
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC-3", 1);
  tzset();
  EXPECT_EQ(TimeZoneBias(0), -180);
  std::string d = FormatMessageDate(std::time_t(0));
  EXPECT_EQ(d, "Thu, 1 Jan 1970 03:00:00 +0300");
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(FormatMessageDate(std::time_t(0)), "Thu, 1 Jan 1970 00:00:00 GMT");
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(Files, TempNameIsFreeAndPrefixed) {
  std::string a = MakeTempFileName();
  std::string b = MakeTempFileName();
  EXPECT_NE(a, b);
  EXPECT_NE(ExtractFileName(a).rfind("vok", 0), std::string::npos);
  struct stat st {};
  EXPECT_NE(stat(a.c_str(), &st), 0) << "the name must be free for the caller";
}

TEST(Files, ContentTypeByExtension) {
  EXPECT_EQ(ContentTypeOf("report.pdf"), "application/pdf");
  EXPECT_EQ(ContentTypeOf("/x/y/REPORT.PDF"), "application/pdf");
  EXPECT_EQ(ContentTypeOf("notes.TxT"), "text/plain");
  EXPECT_EQ(ContentTypeOf("noextension"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOf("file.unregisteredext"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOf("dir.pdf/file"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOf("trailingdot."), "application/octet-stream");
}

TEST(Addresses, ExtractAddress) {
  EXPECT_EQ(ExtractAddress("\"John Smith\" <john@example.org> (work)", false), "john@example.org");
  EXPECT_EQ(ExtractAddress("  john@example.org (comment)  ", false), "john@example.org");
  EXPECT_EQ(ExtractAddress("<a@b.c>", true), "<a@b.c>");
  EXPECT_EQ(ExtractAddress("a@b.c", true), "<a@b.c>");
  EXPECT_EQ(ExtractAddress("x > y < z", false), "");
  EXPECT_EQ(ExtractAddress("(one)(two) a@b (three)", false), "a@b");
}

TEST(Addresses, ExtractAddressEndsWhenCloseComesFirst) {
  // Must return rather than loop for ever.
  EXPECT_EQ(ExtractAddress(") a@b (", false), ") a@b (");
  EXPECT_EQ(ExtractAddress("x) <a@b> (y", false), "a@b");
}

TEST(Addresses, SplitAddresses) {
  EXPECT_TRUE(SplitAddresses("").empty());
  EXPECT_TRUE(SplitAddresses("   \t").empty());
  EXPECT_EQ(SplitAddresses("A@B.org"), (std::vector<std::string>{"a@b.org"}));
  EXPECT_EQ(SplitAddresses("\"Smith, John\" <John@X.org>"),
            (std::vector<std::string>{"john@x.org"}));
  EXPECT_EQ(SplitAddresses("a@x, \"B\" <b@y> , c@z (home)"),
            (std::vector<std::string>{"a@x", "b@y", "c@z"}));
  EXPECT_EQ(SplitAddresses("a@x,"), (std::vector<std::string>{"a@x", ""}));
  EXPECT_EQ(SplitAddresses("a@x;b@y"), (std::vector<std::string>{"a@x;b@y"}));
  // An unclosed quote only loses the quote itself.
  EXPECT_EQ(SplitAddresses("\"a@x"), (std::vector<std::string>{"a@x"}));
}

// The splitting rules as first written (quadratic in the text's length), kept here as the
// reference the one-pass version must agree with.
std::string ReferenceExtract(std::string s) {
  for (;;) {
    size_t open = s.find('(');
    size_t close = s.find(')');
    if (open == std::string::npos || close == std::string::npos || close < open) break;
    s.erase(open, close - open + 1);
  }
  s = TrimText(s);
  size_t lt = s.find('<'), gt = s.find('>');
  if (lt != std::string::npos && gt != std::string::npos)
    s = gt > lt ? s.substr(lt + 1, gt - lt - 1) : std::string();
  return s;
}
std::vector<std::string> ReferenceSplit(const std::string& text) {
  std::vector<std::string> list;
  std::string s = TrimText(text);
  if (s.empty()) return list;
  for (;;) {
    size_t q1 = s.find('"');
    if (q1 == std::string::npos) break;
    s.erase(q1, 1);
    size_t q2 = s.find('"', q1);
    if (q2 == std::string::npos) break;
    s.erase(q1, q2 - q1 + 1);
  }
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t comma;
  while ((comma = s.find(',')) != std::string::npos) {
    list.push_back(ReferenceExtract(s.substr(0, comma)));
    s.erase(0, comma + 1);
  }
  list.push_back(ReferenceExtract(s));
  return list;
}

TEST(Addresses, OnePassSplittingAgreesWithTheRulesOnAnyText) {
  // Texts built from the characters the rules look at, so every path is taken often.
  const std::string alphabet = "ab@.\"\"(()),,<> ";
  unsigned seed = 12345;
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    const int len = n % 24;
    for (int i = 0; i < len; ++i) {
      seed = seed * 1103515245u + 12345u;
      text += alphabet[(seed >> 16) % alphabet.size()];
    }
    ASSERT_EQ(SplitAddresses(text), ReferenceSplit(text)) << text;
    ASSERT_EQ(ExtractAddress(text, false), ReferenceExtract(text)) << text;
  }
  // A long list keeps every entry.
  std::string many;
  for (int i = 0; i < 50000; ++i) many += "\"Name " + std::to_string(i) + "\" <U" + std::to_string(i) + "@x.org>, ";
  const std::vector<std::string> split = SplitAddresses(many);
  ASSERT_EQ(split.size(), 50001u);
  EXPECT_EQ(split[49999], "u49999@x.org");
  EXPECT_EQ(split.back(), "");
}

TEST(Text, HeaderSafeAndQuoting) {
  EXPECT_EQ(HeaderSafe("a\r\nBcc: x"), "a Bcc: x");
  EXPECT_EQ(HeaderSafe("a\rb\nc"), "a b c");
  EXPECT_EQ(HeaderSafe("plain"), "plain");
  EXPECT_EQ(QuoteEscape("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(TrimText("\t x \r\n"), "x");
}

TEST(Hook, CalledAndThrottled) {
  int calls = 0;
  SetProcessMessagesHook([&] { ++calls; });
  ProcessMessages();
  ProcessMessages();
  EXPECT_EQ(calls, 2);
  PumpMessages();  // right after a real call: skipped
  EXPECT_EQ(calls, 2);
  SetProcessMessagesHook(nullptr);
  ProcessMessages();  // no hook: nothing happens
  EXPECT_EQ(calls, 2);
}

TEST(Message, DefaultsAndAttachments) {
  TVokMsg msg;
  EXPECT_EQ(msg.Priority, prNormal);
  EXPECT_EQ(msg.CharSet, "ISO-8859-1");
  EXPECT_EQ(msg.TextEncoding, te8Bit);
  EXPECT_TRUE(msg.ClearRawMailAfterParse);
  EXPECT_EQ(msg.AttachedFiles.Count(), 0);

  TAttachedFile& bare = msg.AttachedFiles.AddFile("plain.pdf");
  EXPECT_EQ(bare.FileName, "plain.pdf");
  EXPECT_EQ(bare.PathName, "plain.pdf");
  EXPECT_EQ(bare.ContentType, "application/pdf");
  TAttachedFile& deep = msg.AttachedFiles.AddFile("/tmp/some dir/Данные.bin");
  EXPECT_EQ(deep.FileName, "Данные.bin");
  EXPECT_EQ(deep.ContentType, "application/octet-stream");
  msg.AttachedFiles.AddFile("plain.pdf");
  EXPECT_EQ(msg.AttachedFiles.Count(), 3);
  EXPECT_EQ(&msg.AttachedFiles[0], &bare) << "items keep their address";
  msg.AttachedFiles.Clear();
  EXPECT_EQ(msg.AttachedFiles.Count(), 0);

  TStringList source = {"one", "two"};
  msg.Text = source;
  source.push_back("three");
  source[0] = "changed";
  EXPECT_EQ(msg.Text, (TStringList{"one", "two"}));
}

}  // namespace

namespace {
std::string Unfold(const std::vector<std::string>& pieces) {
  std::string s;
  for (const auto& p : pieces) s += p;
  return s;
}
}  // namespace

TEST(Text, FoldHeaderKeepsShortLinesAndFoldsLongOnesAtBlanks) {
  EXPECT_EQ(vok::FoldHeader("Subject: short"), std::vector<std::string>{"Subject: short"});
  const std::string exact = "Subject: " + std::string(vok::kMaxLineLength - 9, 'x');
  EXPECT_EQ(vok::FoldHeader(exact), std::vector<std::string>{exact});

  std::string names = "Subject: S 1(1) <";
  for (int i = 0; i < 300; ++i) names += "name" + std::to_string(i) + ".jpg, ";
  names += "last.jpg>";
  const auto pieces = vok::FoldHeader(names);
  ASSERT_GT(pieces.size(), 1u);
  EXPECT_EQ(Unfold(pieces), names);
  for (size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_LE(pieces[i].size(), vok::kMaxLineLength);
    if (i > 0) {
      EXPECT_EQ(pieces[i][0], ' ');
      EXPECT_NE(pieces[i].find_first_not_of(' '), std::string::npos) << "blank-only line";
    }
  }
}

TEST(Text, FoldHeaderLeavesAnUnbreakableRunWhole) {
  const std::string run(1500, 'a');
  const std::string line = "X-Long: " + run + " tail";
  const auto pieces = vok::FoldHeader(line);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], "X-Long: " + run);
  EXPECT_EQ(pieces[1], " tail");
  EXPECT_EQ(vok::FoldHeader("X: " + run), std::vector<std::string>{"X: " + run});
}
