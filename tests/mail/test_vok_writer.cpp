// The message writer: exact header blocks and bodies, encode events, errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "HeaderWords.h"
#include "TempDir.h"
#include "VokSMTP.h"
#include "vok_util.h"

namespace {

using Lines = std::vector<std::string>;

// A plain decoder of the test's own, independent of the encoder under test.
std::string DecodeBase64(const std::string& in) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, value = 0;
  for (char c : in) {
    if (c == '=') break;
    value = (value << 6) | static_cast<unsigned>(alphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    vok::SetApplicationTitle("Sendorix 1.3");
    smtp.Host = "mail.example.org";
    msg.From = "me@example.org";
    msg.SendTo = "you@example.org";
    msg.Subject = "Hello";
    msg.Date = "Wed, 9 Jun 1999 07:05:03 +0300";
  }

  // Builds, checks the Message-Id line's form, and puts "ID" in its place.
  Lines Build() {
    auto built = smtp.BuildMessage(msg);
    EXPECT_TRUE(built.has_value());
    if (!built) return {};
    Lines lines = built->ToVector();
    EXPECT_TRUE(std::regex_match(lines.at(0),
                                 std::regex(R"(Message-Id: <VOK\.[0-9.]{11}[a-t]{8}@.*>)")))
        << lines.at(0);
    lines[0] = "Message-Id: ID";
    return lines;
  }

  // The boundary from the multipart header (checked for its form).
  static std::string BoundaryOf(const Lines& lines) {
    for (const auto& l : lines) {
      std::smatch m;
      if (std::regex_match(l, m, std::regex(R"re(Content-Type: multipart/mixed; boundary="(--_VOK_bound_[a-y]{12})")re")))
        return m[1];
    }
    ADD_FAILURE() << "no multipart header";
    return "";
  }

  TVokSMTP smtp;
  TVokMsg msg;
  testsupport::TempDir dir;
};

TEST_F(Writer, SinglePartEightBit) {
  msg.Text = {"First line", ".", ".starts with dot", " .space first", "", "last"};
  msg.CC = "cc@example.org";
  msg.BCC = "hidden@example.org";
  msg.ExtraHeaders = {"X-Extra: 1"};
  Lines expected = {
      "Message-Id: ID",
      "Date: Wed, 9 Jun 1999 07:05:03 +0300",
      "X-Priority: 3",
      "From: me@example.org",
      "X-Mailer: Sendorix 1.3",
      "To: you@example.org",
      "CC: cc@example.org",
      "MIME-Version: 1.0",
      "Subject: Hello",
      "Content-Type: Text/Plain; charset=ISO-8859-1",
      "Content-Transfer-Encoding: 8Bit",
      "X-Extra: 1",
      "",
      "First line",
      "..",
      "..starts with dot",
      " .space first",
      "",
      "last",
  };
  EXPECT_EQ(Build(), expected);
  EXPECT_EQ(msg.Subject, "Hello");
}

TEST_F(Writer, OptionalHeadersAndFromForms) {
  msg.InReplyTo = "<x@y>";
  msg.ReplyTo = "reply@example.org";
  msg.UserName = "Ivan";
  msg.Priority = prHighest;
  msg.SendTo = "";
  msg.BCC = "b@x";
  Lines l = Build();
  EXPECT_EQ(l[1], "In-Reply-To: <x@y>");
  EXPECT_EQ(l[3], "X-Priority: 1");
  EXPECT_EQ(l[4], "From: \"Ivan\" <me@example.org>");
  EXPECT_EQ(l[5], "Reply-To: reply@example.org");
  EXPECT_EQ(l[7], "To: ");
  for (const auto& line : l) EXPECT_EQ(line.find("b@x"), std::string::npos) << "BCC leaked";

  msg.From = "localonly";
  msg.Priority = prLowest;
  l = Build();
  EXPECT_EQ(l[4], "From: \"Ivan\" <localonly@mail.example.org>");
  EXPECT_EQ(l[3], "X-Priority: 5");
  msg.UserName = "";
  msg.From = "\"Odd\" <odd@x>";
  EXPECT_EQ(Build()[4], "From: \"Odd\" <odd@x>");
}

TEST_F(Writer, Base64TextAndEncodedSubject) {
  msg.TextEncoding = teBase64;
  msg.CharSet = "koi8-r";
  msg.Subject = "abc";
  msg.Text = {"abc"};
  Lines l = Build();
  EXPECT_EQ(msg.Subject, "=?koi8-r?B?YWJj?=");
  Lines tail(l.end() - 5, l.end());
  EXPECT_EQ(tail, (Lines{"Subject: =?koi8-r?B?YWJj?=", "Content-Type: Text/Plain; charset=koi8-r",
                         "Content-Transfer-Encoding: base64", "", "YWJjDQo="}));

  // A long subject stays one unbroken word; a long text wraps at 76.
  msg.Subject = std::string(100, 's');
  msg.Text = {std::string(100, 't')};
  l = Build();
  const std::string& subj = l[l.size() - 6];
  ASSERT_EQ(subj.rfind("Subject: =?koi8-r?B?", 0), 0u) << subj;
  EXPECT_EQ(subj.find('\r'), std::string::npos);
  EXPECT_EQ(subj.size(), std::string("Subject: =?koi8-r?B?" "?=").size() + 136);
  EXPECT_EQ(l[l.size() - 2].size(), 76u);
  EXPECT_EQ(l.back().size(), 60u);
  EXPECT_EQ(l.back().substr(56), "dA0K");
}

// Subjects too long for one header line are folded (8-bit) or split into
// several encoded words (base64); a short one keeps the single-word form.
TEST_F(Writer, LongSubjectsFoldWithinTheLineLimit) {
  std::string subject = "S 1(1) <";
  for (int i = 0; i < 120; ++i) subject += "picture " + std::to_string(i) + ".jpg, ";
  subject += "end.jpg>";
  for (TTextEncoding enc : {te8Bit, teBase64}) {
    SCOPED_TRACE(static_cast<int>(enc));
    msg.TextEncoding = enc;
    msg.CharSet = "koi8-r";
    msg.Subject = subject;
    Lines lines = Build();
    size_t at = 0;
    while (at < lines.size() && lines[at].rfind("Subject: ", 0) != 0) ++at;
    ASSERT_LT(at, lines.size());
    std::string unfolded = lines[at];
    size_t next = at + 1;
    for (; next < lines.size() && !lines[next].empty() && lines[next][0] == ' '; ++next)
      unfolded += lines[next];
    EXPECT_GT(next - at, 1u) << "expected a folded header";
    for (size_t i = at; i < next; ++i) EXPECT_LE(lines[i].size(), vok::kMaxLineLength);
    if (enc == te8Bit) {
      EXPECT_EQ(unfolded, "Subject: " + subject);
    } else {
      // Decode the words and put them together again.
      std::regex word(R"(=\?koi8-r\?B\?([A-Za-z0-9+/=]*)\?=)");
      std::string decoded, rest = unfolded.substr(9);
      for (std::sregex_iterator it(rest.begin(), rest.end(), word), end; it != end; ++it) {
        EXPECT_LE((*it)[0].length(), 75u);
        decoded += DecodeBase64((*it)[1].str());
      }
      EXPECT_EQ(decoded, subject);
    }
  }
}

TEST_F(Writer, Base64EmptyTextAndSubject) {
  msg.TextEncoding = teBase64;
  msg.Subject = "";
  msg.Text.clear();
  Lines l = Build();
  EXPECT_EQ(l.back(), "");  // the separator; no body lines
  EXPECT_EQ(l[l.size() - 4], "Subject: =?ISO-8859-1?B?" "?=");
}

TEST_F(Writer, TextCopySplitsEmbeddedBreaksAndStopsAtZero) {
  msg.Text = {"a\r\nb\rc\nd", std::string("e\0hidden", 8), "never"};
  Lines l = Build();
  Lines body(l.end() - 5, l.end());
  EXPECT_EQ(body, (Lines{"a", "b", "c", "d", "e"}));
}

TEST_F(Writer, MultipartWithFiles) {
  std::string abc = dir.file("abc.txt");
  testsupport::WriteFile(abc, "abc");
  std::string empty = dir.file("empty.bin");
  testsupport::WriteFile(empty, "");
  msg.Text = {"Body", ".dot"};
  msg.ExtraHeaders = {"X-Extra: 2"};
  msg.AttachedFiles.AddFile(abc);
  msg.AttachedFiles.AddFile(empty);
  Lines l = Build();
  std::string b = BoundaryOf(l);
  std::string d = "--" + b;
  Lines expected = {
      "Message-Id: ID",
      "Date: Wed, 9 Jun 1999 07:05:03 +0300",
      "X-Priority: 3",
      "From: me@example.org",
      "X-Mailer: Sendorix 1.3",
      "To: you@example.org",
      "MIME-Version: 1.0",
      "Subject: Hello",
      "Content-Type: multipart/mixed; boundary=\"" + b + "\"",
      "X-Extra: 2",
      "",
      d,
      "Content-Type: Text/Plain; charset=ISO-8859-1",
      "Content-Transfer-Encoding: 8Bit",
      "",
      "Body",
      "..dot",
      d,
      "Content-Type: text/plain; name=\"abc.txt\"",
      "Content-Transfer-Encoding: base64",
      "Content-Disposition: inline; FileName=\"abc.txt\"",
      "",
      "YWJj",
      d,
      "Content-Type: application/octet-stream; name=\"empty.bin\"",
      "Content-Transfer-Encoding: base64",
      "Content-Disposition: inline; FileName=\"empty.bin\"",
      "",
      "",
      d + "--",
      "",
  };
  EXPECT_EQ(l, expected);
  EXPECT_EQ(d.substr(0, 4), "----");
  EXPECT_EQ(msg.AttachedFiles[0].EncodedLines.Count(), 1u);
}

TEST_F(Writer, MultipartBase64) {
  std::string f = dir.file("data.bin");
  testsupport::WriteFile(f, std::string(58, 'x'));
  msg.TextEncoding = teBase64;
  msg.Subject = "ab";
  msg.Text = {"abc"};
  msg.AttachedFiles.AddFile(f);
  msg.AttachedFiles.AddFile(f);  // the same path twice: two parts
  Lines l = Build();
  std::string d = "--" + BoundaryOf(l);
  Lines tail(l.begin() + 7, l.end());
  std::string full;  // 57 bytes of "x" make one full line
  for (int i = 0; i < 19; ++i) full += "eHh4";
  Lines expected = {
      "Subject: =?ISO-8859-1?B?YWI=?=",
      "Content-Type: multipart/mixed; boundary=\"" + BoundaryOf(l) + "\"",
      "",
      d,
      "Content-Type: Text/Plain; charset=ISO-8859-1",
      "Content-Transfer-Encoding: base64",
      "",
      "YWJjDQo=",
      d,
      "Content-Type: application/octet-stream; name=\"data.bin\"",
      "Content-Transfer-Encoding: base64",
      "Content-Disposition: inline; FileName=\"data.bin\"",
      "",
      full,
      "eA==",
      d,
      "Content-Type: application/octet-stream; name=\"data.bin\"",
      "Content-Transfer-Encoding: base64",
      "Content-Disposition: inline; FileName=\"data.bin\"",
      "",
      full,
      "eA==",
      "",
      d + "--",
      "",
  };
  EXPECT_EQ(tail, expected);
}

TEST_F(Writer, NoHeaderInjection) {
  msg.Subject = "Hi\r\nBcc: victim@x";
  msg.SendTo = "you@x\nX-Evil: 1";
  msg.CC = "cc@x\r";
  msg.UserName = "Name\r\nX-Evil: 2";
  msg.ReplyTo = "r@x\r\n\r\nbody";
  msg.ExtraHeaders = {"X-Ok: 1\r\nX-Evil: 3"};
  std::string f = dir.file("evil\r\nX-Evil: 4.txt");
  testsupport::WriteFile(f, "x");
  msg.AttachedFiles.AddFile(f);
  Lines l = Build();
  for (const auto& line : l) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_NE(line.rfind("X-Evil", 0), 0u) << line;
    EXPECT_NE(line.rfind("Bcc", 0), 0u) << line;
  }
  EXPECT_NE(std::find(l.begin(), l.end(), "Subject: Hi Bcc: victim@x"), l.end());
  EXPECT_NE(std::find(l.begin(), l.end(), "Content-Disposition: inline; FileName=\"evil X-Evil: 4.txt\""),
            l.end());
}

TEST_F(Writer, QuotesAndBackslashesInNamesAreEscaped) {
  std::string f = dir.file("a \"quoted\" \\name.pdf");
  testsupport::WriteFile(f, "x");
  msg.AttachedFiles.AddFile(f);
  msg.UserName = "Big \"Boss\"";
  Lines l = Build();
  EXPECT_EQ(l[3], "From: \"Big \\\"Boss\\\"\" <me@example.org>");
  EXPECT_NE(std::find(l.begin(), l.end(),
                      "Content-Type: application/pdf; name=\"a \\\"quoted\\\" \\\\name.pdf\""),
            l.end());
}

TEST_F(Writer, EncodeEventsAndPercentages) {
  std::vector<std::string> events;
  smtp.OnEncodeStart = [&](void* s, const std::string& name, int64_t size) {
    EXPECT_EQ(s, &smtp);
    events.push_back("start " + name + " " + std::to_string(size));
  };
  smtp.OnEncodeProgress = [&](void*, uint16_t p) { events.push_back(std::to_string(p)); };
  smtp.OnEncodeEnd = [&](void*) { events.push_back("end"); };
  std::string f2500 = dir.file("f2500");
  testsupport::WriteFile(f2500, std::string(2500, 'z'));
  std::string f1024 = dir.file("f1024");
  testsupport::WriteFile(f1024, std::string(1024, 'z'));
  std::string f0 = dir.file("f0");
  testsupport::WriteFile(f0, "");
  msg.AttachedFiles.AddFile(f2500);
  msg.AttachedFiles.AddFile(f1024);
  msg.AttachedFiles.AddFile(f0);
  Build();
  EXPECT_EQ(events, (Lines{"start f2500 2500", "41", "82", "100", "end", "start f1024 1024", "100",
                           "100", "end", "start f0 0", "100", "end"}));
  EXPECT_EQ(smtp.EncodePercent, 100);
  // Round trip of the stored lines.
  std::string all(msg.AttachedFiles[0].EncodedLines.Chars());
  EXPECT_EQ(all, Base64Encode(std::string(2500, 'z')));
  EXPECT_EQ(msg.AttachedFiles[0].EncodedLines.Count(), (3336u + 75) / 76);
}

TEST_F(Writer, AbortedWhileEncodingLeavesNothing) {
  std::string f = dir.file("big");
  testsupport::WriteFile(f, std::string(100000, 'q'));
  msg.AttachedFiles.AddFile(f);
  msg.AttachedFiles.AddFile(f);
  int ends = 0;
  smtp.OnEncodeProgress = [&](void*, uint16_t p) { if (p >= 30) smtp.Aborted = true; };
  smtp.OnEncodeEnd = [&](void*) { ++ends; };
  EXPECT_FALSE(smtp.BuildMessage(msg).has_value());
  EXPECT_EQ(ends, 0);
  EXPECT_TRUE(msg.AttachedFiles[0].EncodedLines.Empty());
  EXPECT_TRUE(msg.AttachedFiles[1].EncodedLines.Empty());
}

TEST_F(Writer, AbortedAfterAFileStopsBeforeTheNext) {
  std::string f = dir.file("small");
  testsupport::WriteFile(f, "abc");
  msg.AttachedFiles.AddFile(f);
  msg.AttachedFiles.AddFile(f);
  int starts = 0;
  smtp.OnEncodeStart = [&](void*, const std::string&, int64_t) { ++starts; };
  smtp.OnEncodeEnd = [&](void*) { smtp.Aborted = true; };
  EXPECT_FALSE(smtp.BuildMessage(msg).has_value());
  EXPECT_EQ(starts, 1);
}

TEST_F(Writer, MissingFileRaisesCannotOpen) {
  msg.AttachedFiles.AddFile(dir.file("missing.txt"));
  try {
    smtp.BuildMessage(msg);
    FAIL() << "expected an error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir.file("missing.txt"));
  }
  TVokMsg m2;
  m2.AttachedFiles.AddFile(dir.path());  // a folder is not a readable file
  EXPECT_THROW(smtp.BuildMessage(m2), EFOpenError);
}

// ---- Texts outside ASCII ---------------------------------------------------

// KOI8-R bytes of the Cyrillic texts below (the recoding is the application's business).
const std::string kPrivet = "\xF0\xD2\xC9\xD7\xC5\xD4";                  // "Привет"
const std::string kIvan = "\xE9\xD7\xC1\xCE \xF0\xC5\xD4\xD2\xCF\xD7";  // "Иван Петров"
const std::string kPyotr = "\xF0\xA3\xD4\xD2";                          // "Пётр"

// Every header text with a byte outside ASCII goes as encoded words in the message's
// charset, whatever the text encoding; file names as RFC 2231 parameters plus an encoded
// name= in UTF-8. ASCII texts next to them stay as they were.
TEST_F(Writer, NonAsciiHeaderTextsAreEncodedExactly) {
  const std::string report = dir.file("Отчёт.bin");
  const std::string quoted = dir.file("Отчёт \"май\".bin");
  testsupport::WriteFile(report, "abc");
  testsupport::WriteFile(quoted, "abc");
  msg.CharSet = "koi8-r";
  msg.Subject = kPrivet;
  msg.UserName = kIvan;
  msg.SendTo = "\"" + kPyotr + "\" <p@example.org>, plain@example.org, \"Ann, Lee\" <a@example.org>";
  msg.CC = kPyotr + " <q@example.org>";
  msg.Text = {"Body"};
  msg.AttachedFiles.AddFile(report);
  msg.AttachedFiles.AddFile(quoted);
  for (TTextEncoding enc : {te8Bit, teBase64}) {
    SCOPED_TRACE(static_cast<int>(enc));
    msg.TextEncoding = enc;
    msg.Subject = kPrivet;
    Lines l = Build();
    const std::string d = "--" + BoundaryOf(l);
    Lines head(l.begin() + 3, l.begin() + 9);
    EXPECT_EQ(head, (Lines{
                        "From: =?koi8-r?B?6dfBziDwxdTSz9c=?= <me@example.org>",
                        "X-Mailer: Sendorix 1.3",
                        "To: =?koi8-r?B?8KPU0g==?= <p@example.org>, plain@example.org, \"Ann, Lee\"",
                        " <a@example.org>",
                        "CC: =?koi8-r?B?8KPU0g==?= <q@example.org>",
                        "MIME-Version: 1.0",
                    }));
    EXPECT_EQ(l[9], "Subject: =?koi8-r?B?8NLJ18XU?=");
    auto part = std::find(l.begin(), l.end(), "YWJj");
    ASSERT_NE(part, l.end());
    Lines files(part - 7, l.end());
    EXPECT_EQ(files, (Lines{
                         d,
                         "Content-Type: application/octet-stream;",
                         " name=\"=?UTF-8?B?0J7RgtGH0ZHRgi5iaW4=?=\"",
                         "Content-Transfer-Encoding: base64",
                         "Content-Disposition: inline;",
                         " filename*=UTF-8''%D0%9E%D1%82%D1%87%D1%91%D1%82.bin",
                         "",
                         "YWJj",
                         d,
                         "Content-Type: application/octet-stream;",
                         " name=\"=?UTF-8?B?0J7RgtGH0ZHRgiAi0LzQsNC5Ii5iaW4=?=\"",
                         "Content-Transfer-Encoding: base64",
                         "Content-Disposition: inline;",
                         " filename*0*=UTF-8''%D0%9E%D1%82%D1%87%D1%91%D1%82%20%22%D0%BC%D0%B0%D0%B9;",
                         " filename*1*=%22.bin",
                         "",
                         "YWJj",
                         "",
                         d + "--",
                         "",
                     }));
  }
}

// Long texts: words of at most 75 characters on lines of at most 76, each word whole UTF-8
// characters that decode on their own; the file name's continuations numbered in order.
TEST_F(Writer, LongNonAsciiTextsSplitIntoWholeWordsAndContinuations) {
  std::string name;
  for (int i = 0; i < 200; ++i) name += (i % 10 == 9) ? "_" : "ж";
  name += ".bin";
  const std::string path = dir.file("long.bin");
  testsupport::WriteFile(path, "x");
  msg.CharSet = "utf-8";
  msg.AttachedFiles.AddFile(path).FileName = name;
  const std::string subject = "Отчёт " + name;
  for (TTextEncoding enc : {te8Bit, teBase64}) {
    SCOPED_TRACE(static_cast<int>(enc));
    msg.TextEncoding = enc;
    msg.Subject = subject;
    Lines l = Build();
    // Unfold every header of the file part and of the top level.
    auto unfold = [&](const std::string& start) {
      auto it = std::find_if(l.begin(), l.end(), [&](const std::string& x) { return x.rfind(start, 0) == 0; });
      EXPECT_NE(it, l.end()) << start;
      std::string all;
      for (; it != l.end() && (all.empty() || (!it->empty() && (*it)[0] == ' ')); ++it) {
        EXPECT_LE(it->size(), vok::kEncodedLineWidth) << *it;
        all += *it;
      }
      return all;
    };
    auto decodeWords = [](const std::string& text, const std::string& charset) {
      std::regex word("=\\?" + charset + "\\?B\\?([A-Za-z0-9+/=]*)\\?=");
      std::string out;
      for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it) {
        EXPECT_LE((*it)[0].length(), vok::kMaxEncodedWord);
        std::string piece = DecodeBase64((*it)[1].str());
        // A word never starts or ends inside a character.
        size_t at = 0;
        while (at < piece.size()) {
          const unsigned char lead = static_cast<unsigned char>(piece[at]);
          EXPECT_NE(lead & 0xC0, 0x80u) << "word starts inside a character";
          at += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        }
        EXPECT_EQ(at, piece.size()) << "word ends inside a character";
        out += piece;
      }
      return out;
    };
    EXPECT_EQ(decodeWords(unfold("Subject: "), "utf-8"), subject);
    EXPECT_EQ(decodeWords(unfold("Content-Type: application"), "UTF-8"), name);
    const std::string disposition = unfold("Content-Disposition: ");
    std::regex param(R"re(; filename\*(\d+)\*=([^; ]*))re");
    std::string joined;
    int expectedIndex = 0;
    for (std::sregex_iterator it(disposition.begin(), disposition.end(), param), end; it != end; ++it)
      {
        EXPECT_EQ(std::stoi((*it)[1].str()), expectedIndex++);
        joined += (*it)[2].str();
      }
    EXPECT_GT(expectedIndex, 5);
    ASSERT_EQ(joined.rfind("UTF-8''", 0), 0u);
    std::string decoded;
    for (size_t i = 7; i < joined.size(); ++i) {
      if (joined[i] == '%') {
        decoded += static_cast<char>(std::stoi(joined.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        decoded += joined[i];
      }
    }
    EXPECT_EQ(decoded, name);
  }
}

// Runs body on a helper thread; a body that blocks fails the test after 5 s instead of
// hanging it (release() is then called to unblock it so the thread can be joined).
template <class F, class R>
void WithWatchdog(F body, R release) {
  auto done = std::async(std::launch::async, body);
  if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "blocked";
    release();
  }
  done.get();
}

TEST_F(Writer, OnlyRegularFilesAreRead) {
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), dir.path()}) {
    SCOPED_TRACE(path);
    TVokMsg m;
    m.AttachedFiles.AddFile(path);
    std::string error;
    int starts = 0;
    smtp.OnEncodeStart = [&](void*, const std::string&, int64_t) { ++starts; };
    WithWatchdog(
        [&] {
          try {
            smtp.BuildMessage(m);
          } catch (const EFOpenError& e) {
            error = e.what();
          }
        },
        [&] {
          // A reader stuck in open or read is let go by a writer that closes at once.
          int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
          if (fd >= 0) close(fd);
        });
    EXPECT_EQ(error, "Cannot open file " + path + ": is not a regular file");
    EXPECT_EQ(starts, 0);
  }
}

// A file that changes between two blocks of its encoding fails the message: nothing cut short
// or stretched is passed on as the file.
TEST_F(Writer, AFileThatChangesWhileItIsReadIsRefused) {
  struct Case {
    const char* name;
    size_t size;
    std::function<void(const std::string&)> change;
  };
  const Case cases[] = {
      {"shrinks", 200000, [](const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 150000), 0); }},
      {"shrinks to nothing", 200000, [](const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 0), 0); }},
      {"grows", 200000,
       [](const std::string& f) {
         int fd = open(f.c_str(), O_WRONLY | O_APPEND);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(write(fd, "more", 4), 4);
         close(fd);
       }},
      {"grows past a whole block", 2048,
       [](const std::string& f) {
         int fd = open(f.c_str(), O_WRONLY | O_APPEND);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(write(fd, "x", 1), 1);
         close(fd);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string f = dir.file("changing");
    testsupport::WriteFile(f, std::string(c.size, 'a'));
    TVokMsg m;
    m.AttachedFiles.AddFile(f);
    bool changed = false;
    int ends = 0;
    smtp.OnEncodeProgress = [&](void*, uint16_t) {
      if (!changed) c.change(f);
      changed = true;
    };
    smtp.OnEncodeEnd = [&](void*) { ++ends; };
    try {
      smtp.BuildMessage(m);
      ADD_FAILURE() << "sent although it changed";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(std::string(e.what()), "File " + f + " changed while it was read; it was not sent.");
    }
    EXPECT_TRUE(changed);
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(m.AttachedFiles[0].EncodedLines.Empty());
  }
}

}  // namespace
