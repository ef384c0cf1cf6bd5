// Large attachments: the wire bytes and events of a message whose files are far larger than
// what is kept in memory are exactly those the writer has always produced, whatever the store
// behind the encoded lines; the temporary store leaves nothing behind on any way out.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
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
    smtp.OnBeforeSend = [this](void*) { events += "before;"; };
    smtp.OnSendProgress = [this](void*, uint16_t p) { events += "s" + std::to_string(p) + ";"; };
    smtp.OnAfterSend = [this](void*) { events += "after;"; };
  }

  TempDir dir;
  TVokSMTP smtp;
  TVokMsg msg;
  std::string events;
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
    ScriptedSmtpServer srv({Send("220 ready\r\n"), Expect("HELO " + smtp.LocalHostName() + "\r\n"),
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
    const std::string wire = WithoutClock(srv.Data()[0]);
    EXPECT_EQ(wire.size(), mode.wireSize);
    EXPECT_EQ(Digest(wire), mode.wire);
    EXPECT_EQ(Digest(events), mode.eventDigest) << events.substr(0, 400);
  }
}

}  // namespace
