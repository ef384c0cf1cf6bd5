#include "VokMIME.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ctime>
#include <unordered_set>

#include <sys/random.h>
#include <unistd.h>

#include "vok_util.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kInvalidOp[] = "Invalid stream operation";

inline void EncodeGroup(const unsigned char* in, char* out) {
  out[0] = kAlphabet[in[0] >> 2];
  out[1] = kAlphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
  out[2] = kAlphabet[((in[1] & 0x0f) << 2) | (in[2] >> 6)];
  out[3] = kAlphabet[in[2] & 0x3f];
}

// The final group for 1 or 2 leftover bytes, padded with "=".
std::string PadGroup(const unsigned char* in, int n) {
  unsigned char g[3] = {in[0], n > 1 ? in[1] : static_cast<unsigned char>(0), 0};
  char out[4];
  EncodeGroup(g, out);
  if (n == 1) return std::string(out, 2) + "==";
  return std::string(out, 3) + "=";
}
}  // namespace

size_t TStream::Read(void*, size_t) { throw EStreamError(kInvalidOp); }
int64_t TStream::Seek(int64_t, TSeekOrigin) { throw EStreamError(kInvalidOp); }

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  data_.append(static_cast<const char*>(buffer), count);
  return count;
}

TBase64EncodingStream::TBase64EncodingStream(TStream& target, bool lineBreaks)
    : target_(target), lineBreaks_(lineBreaks) {}

TBase64EncodingStream::~TBase64EncodingStream() {
  try {
    Finish();
  } catch (...) {
    // A destructor must not throw; Finish() reports to callers that ask.
  }
}

size_t TBase64EncodingStream::Write(const void* buffer, size_t count) {
  const unsigned char* p = static_cast<const unsigned char*>(buffer);
  size_t left = count;
  totalIn_ += static_cast<int64_t>(count);
  out_.clear();
  auto emit = [&](const unsigned char* g) {
    char chars[4];
    EncodeGroup(g, chars);
    out_.append(chars, 4);
    countOut_ += 4;
    if (lineBreaks_ && countOut_ % 76 == 0) out_.append("\r\n", 2);
  };
  // Complete a group left over from the previous write first.
  while (pendingCount_ > 0 && pendingCount_ < 3 && left > 0) {
    pending_[pendingCount_++] = *p++;
    --left;
  }
  if (pendingCount_ == 3) {
    emit(pending_);
    pendingCount_ = 0;
  }
  size_t groups = left / 3;
  out_.reserve(out_.size() + groups * 4 + groups * 4 / 76 * 2 + 8);
  if (!lineBreaks_) {
    size_t base = out_.size();
    out_.resize(base + groups * 4);
    char* o = out_.data() + base;
    for (size_t i = 0; i < groups; ++i, p += 3, o += 4) EncodeGroup(p, o);
    countOut_ += static_cast<int64_t>(groups * 4);
  } else {
    for (size_t i = 0; i < groups; ++i, p += 3) emit(p);
  }
  left -= groups * 3;
  for (size_t i = 0; i < left; ++i) pending_[pendingCount_++] = p[i];
  if (!out_.empty()) target_.Write(out_.data(), out_.size());
  return count;
}

size_t TBase64EncodingStream::Read(void*, size_t) { throw EStreamError(kInvalidOp); }

int64_t TBase64EncodingStream::Seek(int64_t offset, TSeekOrigin origin) {
  if ((origin != TSeekOrigin::soBeginning && offset == 0) ||
      (origin == TSeekOrigin::soBeginning && offset == countOut_))
    return countOut_;
  throw EStreamError(kInvalidOp);
}

void TBase64EncodingStream::Finish() {
  if (finished_) return;
  finished_ = true;
  if (pendingCount_ > 0) {
    std::string tail = PadGroup(pending_, pendingCount_);
    target_.Write(tail.data(), tail.size());
  }
}

std::string Base64Encode(std::string_view data) {
  TMemoryStream mem;
  {
    TBase64EncodingStream enc(mem, false);
    enc.Write(data.data(), data.size());
    enc.Finish();
  }
  return std::move(mem.Data());
}

TEncodedLines::TEncodedLines(std::string chars)
    : data_(chars.empty() ? nullptr : std::make_shared<const std::string>(std::move(chars))) {}

TEncodedLines::TEncodedLines(TFileSource source)
    : source_(source.Size ? std::make_shared<const TFileSource>(std::move(source)) : nullptr) {}

std::string_view TEncodedLines::operator[](size_t i) const {
  const uint64_t start = static_cast<uint64_t>(i) * kLineLength;
  if (start >= size()) return {};
  if (!source_) return std::string_view(*data_).substr(start, kLineLength);
  size_t n = 0;
  ForEachFileLine([&](std::string_view line) {
    if (n++ == i) made_.assign(line);
  });
  return made_;
}

std::string_view TEncodedLines::Chars() const {
  if (!source_) return data_ ? std::string_view(*data_) : std::string_view();
  std::string all;
  ForEachFileLine([&](std::string_view line) { all.append(line); });
  made_ = std::move(all);
  return made_;
}

namespace {

int64_t Nanoseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool SameFile(const TFileSource& s, const struct stat& st) {
  if (s.Range)
    return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) >= s.Offset + s.Size &&
           static_cast<uint64_t>(st.st_dev) == s.Device && static_cast<uint64_t>(st.st_ino) == s.Inode;
  return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == s.Size &&
         static_cast<uint64_t>(st.st_dev) == s.Device && static_cast<uint64_t>(st.st_ino) == s.Inode &&
         Nanoseconds(st.st_mtim) == s.ModifiedNs && Nanoseconds(st.st_ctim) == s.ChangedNs;
}

}  // namespace

TFileSource FileSourceOf(const std::string& path, const struct stat& st) {
  TFileSource s;
  s.PathName = path;
  s.Size = static_cast<uint64_t>(st.st_size);
  s.Device = static_cast<uint64_t>(st.st_dev);
  s.Inode = static_cast<uint64_t>(st.st_ino);
  s.ModifiedNs = Nanoseconds(st.st_mtim);
  s.ChangedNs = Nanoseconds(st.st_ctim);
  return s;
}

bool IsSameFile(const TFileSource& source, const struct stat& st) { return SameFile(source, st); }

void TEncodedLines::ForEachFileLine(const std::function<void(std::string_view)>& fn) const {
  const TFileSource& src = *source_;
  const auto changed = [&] {
    return EFOpenError("File " + src.PathName + " changed while it was read; it was not sent.");
  };
  const int fd = ::open(src.PathName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw EFOpenError("Cannot open file " + src.PathName);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0 || !SameFile(src, st)) throw changed();
  // Whole groups of three bytes that make whole lines: 57 bytes a line.
  constexpr size_t kLinesPerBlock = 2048;
  constexpr size_t kBlock = 57 * kLinesPerBlock;
  std::string in(kBlock, '\0');
  std::string out;
  uint64_t done = 0;
  while (done < src.Size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, src.Size - done));
    size_t got = 0;
    while (got < want) {
      const ssize_t n = ::pread(fd, in.data() + got, want - got, static_cast<off_t>(src.Offset + done + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw EFOpenError("Cannot read file " + src.PathName + ": " + std::strerror(errno));
      if (n == 0) throw changed();  // shorter than when it was encoded
      got += static_cast<size_t>(n);
    }
    out = Base64Encode(std::string_view(in.data(), got));
    for (size_t i = 0; i < out.size(); i += kLineLength)
      fn(std::string_view(out).substr(i, kLineLength));
    done += got;
  }
  char extra;
  if ((!src.Range && ::pread(fd, &extra, 1, static_cast<off_t>(done)) > 0) || fstat(fd, &st) != 0 ||
      !SameFile(src, st))
    throw changed();
}

void TMessageLines::Add(std::string line) {
  if (segments_.empty() || segments_.back().encoded) segments_.emplace_back();
  segments_.back().lines.push_back(std::move(line));
  ++count_;
}

void TMessageLines::AddEncoded(const TEncodedLines& lines) {
  if (lines.Empty()) return;
  Segment s;
  s.encoded = true;
  s.enc = lines;
  count_ += s.count();
  segments_.push_back(std::move(s));
}

void TMessageLines::Append(const TMessageLines& other) {
  for (const Segment& s : other.segments_) {
    if (s.encoded) {
      AddEncoded(s.enc);
    } else {
      for (const std::string& l : s.lines) Add(l);
    }
  }
}

std::string_view TMessageLines::operator[](size_t i) const {
  for (const Segment& s : segments_) {
    size_t n = s.count();
    if (i < n) return s.encoded ? s.enc[i] : std::string_view(s.lines[i]);
    i -= n;
  }
  return {};
}

uint64_t TMessageLines::WireSize() const {
  uint64_t bytes = 0;
  for (const Segment& s : segments_) {
    if (s.encoded) {
      bytes += s.enc.Length() + 2 * static_cast<uint64_t>(s.enc.Count());
    } else {
      for (const std::string& l : s.lines) bytes += l.size() + 2;
    }
  }
  return bytes;
}

std::vector<std::string> TMessageLines::ToVector() const {
  std::vector<std::string> v;
  v.reserve(count_);
  ForEach([&](std::string_view l) { v.emplace_back(l); });
  return v;
}

std::string TMessageLines::Text() const {
  std::string t;
  ForEach([&](std::string_view l) {
    t.append(l);
    t.append("\r\n", 2);
  });
  return t;
}

// ---- Generator, ids, boundaries ---------------------------------------------

namespace {
uint32_t g_seed = 0;
}

void SetRandomSeed(uint32_t seed) { g_seed = seed; }
uint32_t RandomSeed() { return g_seed; }

void RandomizeFromClock() {
  using namespace std::chrono;
  auto now = system_clock::now().time_since_epoch();
  auto msOfDay = duration_cast<milliseconds>(now).count() % (24LL * 3600 * 1000);
  // ((h*60+m)*60+s)*1000+ms is exactly the milliseconds of the day.
  g_seed = static_cast<uint32_t>(msOfDay);
}

uint32_t RandomBelow(uint32_t n) {
  g_seed = g_seed * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(g_seed) * n) >> 32);
}

namespace {
// Letters drawn from the operating system's random source: ids and
// boundaries must differ between processes started at the same moment,
// which no clock-seeded generator guarantees.
std::string RandomLetters(int count, uint32_t alphabet) {
  uint32_t raw[32];
  std::string letters;
  size_t have = 0, got = 0;
  while (letters.size() < static_cast<size_t>(count)) {
    if (have == got) {
      const size_t want = sizeof raw;
      ssize_t n = ::getrandom(raw, want, 0);
      if (n < static_cast<ssize_t>(sizeof(uint32_t))) {
        // No kernel source (very old kernel, seccomp): the clock generator
        // mixed with the process id is still better than nothing.
        RandomizeFromClock();
        SetRandomSeed(RandomSeed() ^ (static_cast<uint32_t>(::getpid()) * 2654435761u));
        for (size_t i = 0; i < 32; ++i) raw[i] = RandomBelow(0xFFFFFFFFu);
        n = sizeof raw;
      }
      got = static_cast<size_t>(n) / sizeof(uint32_t);
      have = 0;
    }
    const uint32_t r = raw[have++];
    // Rejection keeps every letter equally likely.
    const uint32_t limit = 0xFFFFFFFFu - (0xFFFFFFFFu % alphabet + 1) % alphabet;
    if (r > limit) continue;
    letters += static_cast<char>('a' + r % alphabet);
  }
  return letters;
}
}  // namespace

std::string MakeMessageId(const std::string& host) {
  // Servers drop a message whose id they have already seen, so an id is
  // never issued twice in a run.
  static std::unordered_set<std::string> issued;
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::string date = vok::PadNumber(tm.tm_year + 1900, 4) + "." + vok::PadNumber(tm.tm_mon + 1, 2) +
                     "." + vok::PadNumber(tm.tm_mday, 2) + ".";
  for (;;) {
    std::string letters = RandomLetters(8, 20);
    std::string id = "<VOK." + date + letters + "@" + host + ">";
    if (issued.insert(date + letters).second) return id;
  }
}

std::string MakeBoundary() {
  return "--_VOK_bound_" + RandomLetters(12, 25);
}
