// Large attachments: the wire bytes and events of a message whose files are far larger than
// what is kept in memory are exactly those the writer has always produced, and a file that
// changes between its encoding and its sending is never sent as other bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <cstdlib>
#include <cstring>

#include "ScriptedSmtpServer.h"
#include "TempDir.h"
#include "VokSMTP.h"
#include "vok_util.h"

using namespace testsupport;

namespace {

// FNV-1a, 64 bits: a stable digest of a few MiB of wire bytes.
uint64_t Digest(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Content that is the same on every run.
std::string FixedBytes(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    s[i] = static_cast<char>(seed >> 24);
  }
  return s;
}

// The lines that carry the clock (Message-Id, Date) replaced by fixed ones, and the boundary
// (drawn from the clock) by a fixed word.
std::string WithoutClock(std::string text) {
  const size_t b = text.find("boundary=\"");
  if (b != std::string::npos) {
    const size_t start = b + 10, end = text.find('"', start);
    const std::string boundary = text.substr(start, end - start);
    std::string out;
    size_t at = 0;
    for (size_t hit; (hit = text.find(boundary, at)) != std::string::npos; at = hit + boundary.size())
      out.append(text, at, hit - at).append("BOUNDARY");
    text = out.append(text, at, std::string::npos);
  }
  for (const char* name : {"Message-Id: ", "Date: "}) {
    const size_t at = text.find(std::string("\r\n") + name) == std::string::npos
                          ? (text.rfind(name, 0) == 0 ? 0 : std::string::npos)
                          : text.find(std::string("\r\n") + name) + 2;
    if (at == std::string::npos) continue;
    const size_t end = text.find("\r\n", at);
    text.replace(at, end - at, std::string(name) + "X");
  }
  return text;
}

class Large : public ::testing::Test {
 protected:
  void SetUp() override {
    vok::SetApplicationTitle("Sendorix 1.03");
    smtp.TimeOut = 20000;
    msg.From = "me@example.org";
    msg.SendTo = "you@example.org";
    msg.Subject = "Series";
    msg.Text = {"Hello", ".dotted", "Caf\xe9"};
    msg.CharSet = "iso-8859-1";
    // Sizes around every edge of a base64 group and of a line, two well above the memory kept.
    const size_t sizes[] = {5 * 1024 * 1024 + 3, 1, 4 * 1024 * 1024 + 1, 0, 70000, 57};
    uint32_t seed = 7;
    for (size_t size : sizes) {
      const std::string path = dir.file("f" + std::to_string(seed));
      WriteFile(path, FixedBytes(size, seed++));
      msg.AttachedFiles.AddFile(path);
    }
    smtp.OnEncodeStart = [this](void*, const std::string& n, int64_t b) {
      events += "start " + n + " " + std::to_string(b) + ";";
    };
    smtp.OnEncodeProgress = [this](void*, uint16_t p) { events += "e" + std::to_string(p) + ";"; };
    smtp.OnEncodeEnd = [this](void*) { events += "end;"; };
    smtp.OnBeforeSend = [this](void*) {
      events += "before;";
      fromFileWhenSent = msg.AttachedFiles[0].EncodedLines.FromFile() &&
                         msg.AttachedFiles[2].EncodedLines.FromFile() &&
                         !msg.AttachedFiles[4].EncodedLines.FromFile();
    };
    smtp.OnSendProgress = [this](void*, uint16_t p) { events += "s" + std::to_string(p) + ";"; };
    smtp.OnAfterSend = [this](void*) { events += "after;"; };
  }

  TempDir dir;
  TVokSMTP smtp;
  TVokMsg msg;
  std::string events;
  bool fromFileWhenSent = false;
};

// Digests of the message and its events as the writer produced them when every encoded file
// was held in memory (fixed seed, fixed inputs): any store must give the same bytes.
TEST_F(Large, WireBytesAndEventsAreThoseOfTheInMemoryWriter) {
  struct Mode {
    TTextEncoding encoding;
    uint64_t wire, eventDigest;
    size_t wireSize;
  };
  const Mode modes[] = {
      {te8Bit, 479415400813716584ull, 17299282082867352713ull, 13011136},
      {teBase64, 3313134172149112541ull, 17299282082867352713ull, 13011168},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.encoding);
    msg.TextEncoding = mode.encoding;
    msg.Subject = "Series";
    events.clear();
    SetRandomSeed(20260612);
    ScriptedSmtpServer srv({Send("220 ready\r\n"), Expect("EHLO " + smtp.LocalHostName() + "\r\n"),
                            Send("250 hi\r\n"), Expect("MAIL FROM:<me@example.org>\r\n"),
                            Send("250 ok\r\n"), Expect("RCPT TO:<you@example.org>\r\n"),
                            Send("250 ok\r\n"), Expect("DATA\r\n"), Send("354 go\r\n"), ReadData(),
                            Send("250 queued\r\n"), Expect("RSET\r\n"), Send("250 ok\r\n"),
                            Expect("QUIT\r\n"), Send("221 bye\r\n")},
                           30000);
    smtp.Host = "127.0.0.1";
    smtp.Port = std::to_string(srv.Port());
    smtp.Connect();
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    SetRandomSeed(20260612);
    EXPECT_TRUE(smtp.Send(msg));
    EXPECT_FALSE(smtp.Failed) << smtp.ReplyText;
    smtp.Quit();
    ASSERT_TRUE(srv.Wait(30000)) << srv.Failure();
    ASSERT_EQ(srv.Data().size(), 1u);
    EXPECT_TRUE(fromFileWhenSent) << "the large files are made from the file while sent";
    const std::string wire = WithoutClock(srv.Data()[0]);
    EXPECT_EQ(wire.size(), mode.wireSize);
    EXPECT_EQ(Digest(wire), mode.wire);
    EXPECT_EQ(Digest(events), mode.eventDigest) << events.substr(0, 400);
  }
}

// A large file's lines are made again while the message is written: a file found changed by
// then (or while it is being sent) fails the message with the error, and the message goes
// without its end-of-data mark, so the server never takes other bytes for the file.
TEST_F(Large, AFileChangedBeforeOrWhileItIsSentIsNotSent) {
  const std::string big = msg.AttachedFiles[0].PathName;
  const std::string original = ReadFile(big);
  struct Case {
    const char* name;
    bool whileSending;
    std::function<void()> change;
  };
  const std::string other = dir.file("other");
  const Case cases[] = {
      {"shrunk", false, [&] { ASSERT_EQ(truncate(big.c_str(), 1000), 0); }},
      {"grown", false, [&] { WriteFile(big, original + "x"); }},
      {"same size, other bytes", false,
       [&] {
         std::string changed = original;
         changed[12345] ^= 1;
         WriteFile(big, changed);
       }},
      {"replaced by another file", false,
       [&] {
         WriteFile(other, original);
         ASSERT_EQ(rename(other.c_str(), big.c_str()), 0);
       }},
      {"changed while sent", true,
       [&] {
         std::string changed = original;
         changed[original.size() - 2] ^= 1;
         WriteFile(big, changed);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(big, original);
    ScriptedSmtpServer srv({Send("220 ready\r\n"), Expect("EHLO " + smtp.LocalHostName() + "\r\n"),
                            Send("250 hi\r\n"), Expect("MAIL FROM:<me@example.org>\r\n"),
                            Send("250 ok\r\n"), Expect("RCPT TO:<you@example.org>\r\n"),
                            Send("250 ok\r\n"), Expect("DATA\r\n"), Send("354 go\r\n")},
                           30000);
    smtp.Host = "127.0.0.1";
    smtp.Port = std::to_string(srv.Port());
    smtp.Connect();
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    bool changed = false;
    smtp.OnBeforeSend = [&](void*) {
      if (!c.whileSending) {
        c.change();
        changed = true;
      }
    };
    smtp.OnSendProgress = [&](void*, uint16_t p) {
      if (c.whileSending && !changed && p >= 10) {
        c.change();
        changed = true;
      }
    };
    try {
      smtp.Send(msg);
      ADD_FAILURE() << "sent";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(std::string(e.what()), "File " + big + " changed while it was read; it was not sent.");
    }
    EXPECT_TRUE(changed);
    EXPECT_TRUE(smtp.Failed);
    EXPECT_FALSE(smtp.Connected);
    EXPECT_TRUE(srv.Wait(30000)) << srv.Failure();
    const std::string received = srv.Received();
    const size_t data = received.find("DATA\r\n");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(received.find("\r\n.\r\n", data), std::string::npos) << "the message was completed";
  }
}

}  // namespace

// The size offered to a server that limits it is known without making a large file's lines
// again, and it is the size of what goes on the wire before dot-stuffing.
TEST_F(Large, TheMessageSizeIsKnownWithoutMakingTheLines) {
  const std::optional<TMessageLines> lines = smtp.BuildMessage(msg);
  ASSERT_TRUE(lines);
  ASSERT_TRUE(msg.AttachedFiles[0].EncodedLines.FromFile());
  EXPECT_EQ(lines->WireSize(), lines->Text().size());
}
