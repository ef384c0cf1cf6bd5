// MIME building blocks: the base64 encoding stream, the compact store of a
// file's encoded lines, message ids and multipart boundaries, and the
// stream and file errors of the mail components.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Raised by invalid stream operations ("Invalid stream operation").
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// "Cannot open file %s" for a file that cannot be read.
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The least a byte sink needs; the encoding stream writes into one.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual size_t Read(void* buffer, size_t count);           // raises by default
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin);  // raises by default
};

// A growing in-memory stream; Data() is everything written.
class TMemoryStream : public TStream {
 public:
  size_t Write(const void* buffer, size_t count) override;
  const std::string& Data() const { return data_; }
  std::string& Data() { return data_; }

 private:
  std::string data_;
};

// Write-only base64 encoder (RFC 2045 alphabet, "=" padding).
// Output lines are exactly 76 characters, each followed by CR LF; nothing
// precedes the first line and no line break follows a last, shorter line.
// The final padded group is written by Finish(), which the destructor calls
// when the owner did not (errors there are swallowed, so call Finish() when
// a failing target must be noticed). The target is never owned.
class TBase64EncodingStream : public TStream {
 public:
  // lineBreaks false writes one unbroken run of characters (for encoded
  // words, and for stores that keep fixed 76-character lines themselves).
  explicit TBase64EncodingStream(TStream& target, bool lineBreaks = true);
  ~TBase64EncodingStream() override;
  TBase64EncodingStream(const TBase64EncodingStream&) = delete;
  TBase64EncodingStream& operator=(const TBase64EncodingStream&) = delete;

  size_t Write(const void* buffer, size_t count) override;
  size_t Read(void* buffer, size_t count) override;  // always raises
  // Position/size queries report the characters written for full groups;
  // any other positioning raises.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  int64_t Size() { return Seek(0, TSeekOrigin::soEnd); }
  int64_t TotalIn() const { return totalIn_; }
  void Finish();

 private:
  TStream& target_;
  bool lineBreaks_;
  bool finished_ = false;
  unsigned char pending_[3];
  int pendingCount_ = 0;
  int64_t totalIn_ = 0;
  int64_t countOut_ = 0;
  std::string out_;  // reused block buffer
};

// Encodes bytes to base64 in one go (no line breaks).
std::string Base64Encode(std::string_view data);

// A file whose base64 form is produced while the message is written rather
// than kept: the file as it was when it was encoded (size and the marks a
// write leaves: modification and change times, device and inode).
struct TFileSource {
  std::string PathName;
  uint64_t Size = 0;
  uint64_t Device = 0, Inode = 0;
  int64_t ModifiedNs = 0, ChangedNs = 0;
  // A byte range of a file that is still being written (a part of an
  // archive): Size bytes from Offset. Bytes before Offset + Size are final
  // once there, so only the file's identity and that its length covers the
  // range are checked, not its times.
  bool Range = false;
  uint64_t Offset = 0;
};
// The source as the file's status describes it, and whether a later status
// still describes the same, unchanged file.
TFileSource FileSourceOf(const std::string& path, const struct stat& st);
bool IsSameFile(const TFileSource& source, const struct stat& st);

// A file's base64 lines, held as one contiguous run of characters: every
// line but the last is exactly 76 characters long. The run is kept in
// memory, or, for a large file, made from the file again while the lines
// are walked (in blocks, so memory does not grow with the file); a file
// found changed since it was encoded then raises EFOpenError instead of
// giving other bytes. Copies share the data.
class TEncodedLines {
 public:
  static constexpr size_t kLineLength = 76;
  TEncodedLines() = default;
  // chars: base64 text without line breaks.
  explicit TEncodedLines(std::string chars);
  explicit TEncodedLines(TFileSource source);
  size_t Count() const { return static_cast<size_t>((size() + kLineLength - 1) / kLineLength); }
  bool Empty() const { return size() == 0; }
  // All characters of all lines, line ends not counted.
  uint64_t Length() const { return size(); }
  // True when the lines are made from the file on demand.
  bool FromFile() const { return source_ != nullptr; }
  // Line i; for a run made from the file it is valid until the next call on
  // this object.
  std::string_view operator[](size_t i) const;
  // All characters, without line breaks (a run made from the file is made
  // whole in memory: for tests and small runs).
  std::string_view Chars() const;
  // Calls fn(line) for every line in order.
  template <class Fn>
  void ForEachLine(Fn&& fn) const {
    if (source_) {
      ForEachFileLine([&fn](std::string_view line) { fn(line); });
      return;
    }
    for (size_t i = 0, n = Count(); i < n; ++i) fn((*this)[i]);
  }
  void Clear() {
    data_.reset();
    source_.reset();
  }

 private:
  void ForEachFileLine(const std::function<void(std::string_view)>& fn) const;
  uint64_t size() const { return source_ ? (source_->Size + 2) / 3 * 4 : (data_ ? data_->size() : 0); }
  std::shared_ptr<const std::string> data_;
  std::shared_ptr<const TFileSource> source_;
  mutable std::string made_;  // the last line or run made from the file
};

// The lines of a composed message, without line ends. Ordinary lines are
// kept as strings; attachment data is referenced as encoded runs, so a
// large file is never split into one heap string per line.
class TMessageLines {
 public:
  void Add(std::string line);
  void AddEncoded(const TEncodedLines& lines);
  void Append(const TMessageLines& other);
  size_t Count() const { return count_; }
  // The bytes the lines take with their CR LF, worked out without walking
  // them (a large file's lines would have to be made again).
  uint64_t WireSize() const;
  // Line i (0-based); valid while this object lives.
  std::string_view operator[](size_t i) const;
  // Calls fn(line) for every line in order; the fast way to walk them.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    for (const Segment& s : segments_) {
      if (s.encoded) {
        s.enc.ForEachLine(fn);
      } else {
        for (const std::string& l : s.lines) fn(std::string_view(l));
      }
    }
  }
  // Copies of all lines (for tests and small messages).
  std::vector<std::string> ToVector() const;
  // All lines, each followed by CR LF.
  std::string Text() const;

 private:
  struct Segment {
    bool encoded = false;
    std::vector<std::string> lines;
    TEncodedLines enc;
    size_t count() const { return encoded ? enc.Count() : lines.size(); }
  };
  std::vector<Segment> segments_;
  size_t count_ = 0;
};

// The runtime-style pseudo-random generator (kept for callers that want a
// repeatable sequence; ids and boundaries do not draw from it).
void RandomizeFromClock();  // seed from the UTC time of day in ms
void SetRandomSeed(uint32_t seed);
uint32_t RandomSeed();
uint32_t RandomBelow(uint32_t n);

// "<VOK." yyyy.mm.dd. + 8 letters a..t + "@" + host + ">". The letters come
// from the operating system's random source, so ids differ across
// processes; within a run an id is never issued twice.
std::string MakeMessageId(const std::string& host);
// "--_VOK_bound_" + 12 letters a..y, from the same source.
std::string MakeBoundary();
