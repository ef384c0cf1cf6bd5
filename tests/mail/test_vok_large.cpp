// Large attachments: the wire bytes and events of a message whose files are far larger than
// what is kept in memory are exactly those the writer has always produced, whatever the store
// behind the encoded lines; the temporary store leaves nothing behind on any way out.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
    smtp.OnBeforeSend = [this](void*) {
      events += "before;";
      spooledWhenSent = msg.AttachedFiles[0].EncodedLines.Spooled() &&
                        msg.AttachedFiles[2].EncodedLines.Spooled() &&
                        !msg.AttachedFiles[4].EncodedLines.Spooled();
    };
    smtp.OnSendProgress = [this](void*, uint16_t p) { events += "s" + std::to_string(p) + ";"; };
    smtp.OnAfterSend = [this](void*) { events += "after;"; };
  }

  TempDir dir;
  TVokSMTP smtp;
  TVokMsg msg;
  std::string events;
  bool spooledWhenSent = false;
};

// The spool files this process holds open in folder, with their modes.
std::vector<std::pair<std::string, unsigned>> OpenSpools(const std::string& folder) {
  std::vector<std::pair<std::string, unsigned>> found;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = d ? readdir(d) : nullptr) {
    const std::string fd = std::string("/proc/self/fd/") + e->d_name;
    char target[4096];
    const ssize_t n = readlink(fd.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string t(target, static_cast<size_t>(n));
    if (t.rfind(folder + "/vok", 0) != 0) continue;
    struct stat st {};
    stat(fd.c_str(), &st);
    found.emplace_back(t, st.st_mode & 0777);
  }
  if (d) closedir(d);
  return found;
}

size_t Entries(const std::string& folder) {
  size_t n = 0;
  DIR* d = opendir(folder.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) ++n;
  if (d) closedir(d);
  return n;
}

// Points the temporary folder at a folder of the test's own while it lives.
class TempFolder {
 public:
  explicit TempFolder(const std::string& folder) {
    const char* old = std::getenv("TMPDIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TMPDIR", folder.c_str(), 1);
  }
  ~TempFolder() {
    if (had_) setenv("TMPDIR", old_.c_str(), 1);
    else unsetenv("TMPDIR");
  }

 private:
  bool had_ = false;
  std::string old_;
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
    EXPECT_TRUE(spooledWhenSent) << "the large files went through the spool";
    const std::string wire = WithoutClock(srv.Data()[0]);
    EXPECT_EQ(wire.size(), mode.wireSize);
    EXPECT_EQ(Digest(wire), mode.wire);
    EXPECT_EQ(Digest(events), mode.eventDigest) << events.substr(0, 400);
  }
}

// The spool is readable by its owner only and never has a name in the folder; whatever way the
// message ends (sent, refused by the server, stopped, a file error), nothing of it stays open.
TEST_F(Large, TheSpoolLeavesNothingBehindOnAnyWayOut) {
  TempDir spoolDir("sendorix-spool");
  TempFolder folder(spoolDir.path());
  enum Way { kSent, kRefused, kStopped, kFileError };
  for (Way way : {kSent, kRefused, kStopped, kFileError}) {
    SCOPED_TRACE(way);
    std::vector<ScriptStep> script = {Send("220 ready\r\n"), Expect("HELO " + smtp.LocalHostName() + "\r\n"),
                                      Send("250 hi\r\n")};
    if (way != kFileError) {
      for (auto step : {Expect("MAIL FROM:<me@example.org>\r\n"), Send("250 ok\r\n"),
                        Expect("RCPT TO:<you@example.org>\r\n"), Send("250 ok\r\n"),
                        Expect("DATA\r\n"), Send("354 go\r\n")})
        script.push_back(step);
      if (way == kSent || way == kRefused) {
        script.push_back(ReadData());
        script.push_back(Send(way == kSent ? "250 queued\r\n" : "550 refused\r\n"));
      }
      if (way == kSent) {
        script.push_back(Expect("RSET\r\n"));
        script.push_back(Send("250 ok\r\n"));
      }
    }
    if (way == kSent || way == kFileError) {  // still connected: a polite end
      script.push_back(Expect("QUIT\r\n"));
      script.push_back(Send("221 bye\r\n"));
    }
    ScriptedSmtpServer srv(script, 30000);
    smtp.Host = "127.0.0.1";
    smtp.Port = std::to_string(srv.Port());
    smtp.Connect();
    ASSERT_FALSE(smtp.Failed) << smtp.ReplyText;
    std::vector<std::pair<std::string, unsigned>> whileEncoding;
    size_t entriesWhileEncoding = 99;
    smtp.OnEncodeEnd = [&](void*) {
      if (whileEncoding.empty()) {
        whileEncoding = OpenSpools(spoolDir.path());
        entriesWhileEncoding = Entries(spoolDir.path());
      }
    };
    smtp.OnSendProgress = [&](void*, uint16_t p) {
      if (way == kStopped && p >= 20) smtp.Aborted = true;
    };
    if (way == kFileError) msg.AttachedFiles.AddFile(dir.file("missing"));
    bool threw = false;
    try {
      smtp.Send(msg);
    } catch (const EFOpenError&) {
      threw = true;
    }
    EXPECT_EQ(threw, way == kFileError);
    EXPECT_EQ(smtp.Failed, way == kRefused || way == kStopped);
    ASSERT_EQ(whileEncoding.size(), 1u) << "one spool for the message";
    EXPECT_EQ(whileEncoding[0].second, 0600u);
    EXPECT_NE(whileEncoding[0].first.find("(deleted)"), std::string::npos) << whileEncoding[0].first;
    EXPECT_EQ(entriesWhileEncoding, 0u);
    EXPECT_TRUE(OpenSpools(spoolDir.path()).empty()) << "the spool is still held";
    EXPECT_EQ(Entries(spoolDir.path()), 0u);
    smtp.Quit();
    EXPECT_TRUE(srv.Wait(30000)) << srv.Failure();
  }
}

// A temporary folder without room: a clear error naming the file being encoded and the folder,
// and nothing left in it. Needs a small file system of its own, so it runs as root only.
TEST_F(Large, AFullTemporaryFolderGivesAClearError) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  TempDir small("sendorix-full");
  if (mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount(path.c_str()); }
  } unmount{small.path()};
  TempFolder folder(small.path());
  TVokMsg m;
  m.From = "me@example.org";
  m.SendTo = "you@example.org";
  m.AttachedFiles.AddFile(msg.AttachedFiles[0].PathName);  // 5 MiB: 7 MiB encoded
  try {
    smtp.BuildMessage(m);
    FAIL() << "encoded into a full folder";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot encode file " + msg.AttachedFiles[0].PathName +
                                         ": the temporary folder " + small.path() +
                                         " has no room (No space left on device)");
  }
  EXPECT_TRUE(m.AttachedFiles[0].EncodedLines.Empty());
  EXPECT_EQ(Entries(small.path()), 0u);
  TVokMsg again;  // the spool of the failed build is given up with the next build
  smtp.BuildMessage(again);
  EXPECT_TRUE(OpenSpools(small.path()).empty());
}

}  // namespace
