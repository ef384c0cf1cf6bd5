#include "VokMIME.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <ctime>
#include <unordered_set>

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

TEncodedLines::TEncodedLines(std::shared_ptr<TEncodedSpool> spool, uint64_t offset, uint64_t length)
    : spool_(length ? std::move(spool) : nullptr), offset_(offset), length_(spool_ ? length : 0) {}

std::string_view TEncodedLines::operator[](size_t i) const {
  const uint64_t start = static_cast<uint64_t>(i) * kLineLength;
  if (start >= size()) return {};
  if (!spool_) return std::string_view(*data_).substr(start, kLineLength);
  read_.resize(static_cast<size_t>(std::min<uint64_t>(kLineLength, length_ - start)));
  spool_->ReadAt(offset_ + start, read_.data(), read_.size());
  return read_;
}

std::string_view TEncodedLines::Chars() const {
  if (!spool_) return data_ ? std::string_view(*data_) : std::string_view();
  read_.resize(static_cast<size_t>(length_));
  spool_->ReadAt(offset_, read_.data(), read_.size());
  return read_;
}

// ---- Spool ----------------------------------------------------------------

std::shared_ptr<TEncodedSpool> TEncodedSpool::Create() {
  const char* env = std::getenv("TMPDIR");
  std::string folder = env && *env ? env : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string name = folder + "/vokXXXXXX";
  // mkstemp creates the file for its owner only (0600).
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0)
    throw EFCreateError("Cannot create a temporary file in " + folder + ": " +
                        std::strerror(errno));
  ::unlink(name.c_str());
  return std::shared_ptr<TEncodedSpool>(new TEncodedSpool(fd, folder));
}

TEncodedSpool::~TEncodedSpool() { ::close(fd_); }

bool TEncodedSpool::Append(const char* data, size_t count) {
  while (count > 0) {
    const ssize_t n = ::pwrite(fd_, data, count, static_cast<off_t>(size_));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
    size_ += static_cast<uint64_t>(n);
  }
  return true;
}

void TEncodedSpool::ReadAt(uint64_t offset, char* buffer, size_t count) const {
  while (count > 0) {
    const ssize_t n = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw EStreamError(std::string("Cannot read the temporary file in ") + folder_ + ": " +
                         (n < 0 ? std::strerror(errno) : "it is shorter than written"));
    buffer += n;
    count -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
}

TSpoolStream::TSpoolStream(std::shared_ptr<TEncodedSpool> spool)
    : spool_(std::move(spool)), offset_(spool_->Size()) {
  buffer_.reserve(kBufferSize);
}

size_t TSpoolStream::Write(const void* buffer, size_t count) {
  buffer_.append(static_cast<const char*>(buffer), count);
  length_ += count;
  if (buffer_.size() >= kBufferSize) Flush();
  return count;
}

void TSpoolStream::Flush() {
  if (buffer_.empty()) return;
  if (!spool_->Append(buffer_.data(), buffer_.size()))
    throw std::system_error(errno, std::generic_category());
  buffer_.clear();
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

std::string MakeMessageId(const std::string& host) {
  // Servers drop a message whose id they have already seen, so an id is
  // never issued twice in a run, even within one clock millisecond.
  static std::unordered_set<std::string> issued;
  RandomizeFromClock();
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::string date = vok::PadNumber(tm.tm_year + 1900, 4) + "." + vok::PadNumber(tm.tm_mon + 1, 2) +
                     "." + vok::PadNumber(tm.tm_mday, 2) + ".";
  for (;;) {
    std::string letters;
    for (int i = 0; i < 8; ++i) letters += static_cast<char>('a' + RandomBelow(20));
    std::string id = "<VOK." + date + letters + "@" + host + ">";
    if (issued.insert(date + letters).second) return id;
  }
}

std::string MakeBoundary() {
  RandomizeFromClock();
  std::string b = "--_VOK_bound_";
  for (int i = 0; i < 12; ++i) b += static_cast<char>('a' + RandomBelow(25));
  return b;
}
