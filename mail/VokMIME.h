// MIME building blocks: the base64 encoding stream, the compact store of a
// file's encoded lines, message ids and multipart boundaries, and the
// stream and file errors of the mail components.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
// "Cannot create file %s" for a file that cannot be written.
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The least a byte sink needs; the encoding stream writes into one.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual size_t Read(void* buffer, size_t count);              // raises by default
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin);     // raises by default
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
  size_t Read(void* buffer, size_t count) override;          // always raises
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

// A temporary file that holds encoded runs too large to keep in memory. It
// is created in the temporary folder ($TMPDIR or /tmp) under a "vok" name,
// readable by its owner only, and removed from the folder at once: only the
// open descriptor keeps it, so it is gone on every way out, a crash or a
// kill included, and its space is given back when the last run that uses
// it is dropped.
class TEncodedSpool {
 public:
  // Raises EFCreateError naming the folder when the file cannot be made.
  static std::shared_ptr<TEncodedSpool> Create();
  ~TEncodedSpool();
  TEncodedSpool(const TEncodedSpool&) = delete;
  TEncodedSpool& operator=(const TEncodedSpool&) = delete;

  const std::string& Folder() const { return folder_; }
  uint64_t Size() const { return size_; }
  // Appends; false with errno set when the disk refuses (nothing is cut:
  // the caller gives up the run).
  bool Append(const char* data, size_t count);
  // Reads count bytes at offset into buffer; raises EStreamError on failure.
  void ReadAt(uint64_t offset, char* buffer, size_t count) const;

 private:
  TEncodedSpool(int fd, std::string folder) : fd_(fd), folder_(std::move(folder)) {}
  int fd_;
  std::string folder_;
  uint64_t size_ = 0;
};

// A buffered writer of one run into a spool: what the encoding stream of a
// large file writes into. Flush() must be called before the run is used.
class TSpoolStream : public TStream {
 public:
  explicit TSpoolStream(std::shared_ptr<TEncodedSpool> spool);
  size_t Write(const void* buffer, size_t count) override;
  // Writes what is buffered; raises std::system_error with the disk's errno.
  void Flush();
  uint64_t Offset() const { return offset_; }
  uint64_t Length() const { return length_; }
  const std::shared_ptr<TEncodedSpool>& Spool() const { return spool_; }

 private:
  static constexpr size_t kBufferSize = 256 * 1024;
  std::shared_ptr<TEncodedSpool> spool_;
  uint64_t offset_;
  uint64_t length_ = 0;
  std::string buffer_;
};

// A file's base64 lines, held as one contiguous run of characters: every
// line but the last is exactly 76 characters long. The run is kept in
// memory, or in a spool for large files (read back in blocks while the
// message is written, so memory does not grow with the file). Copies share
// the data.
class TEncodedLines {
 public:
  static constexpr size_t kLineLength = 76;
  TEncodedLines() = default;
  // chars: base64 text without line breaks.
  explicit TEncodedLines(std::string chars);
  // A run of length characters at offset in spool.
  TEncodedLines(std::shared_ptr<TEncodedSpool> spool, uint64_t offset, uint64_t length);
  size_t Count() const { return static_cast<size_t>((size() + kLineLength - 1) / kLineLength); }
  bool Empty() const { return size() == 0; }
  bool Spooled() const { return spool_ != nullptr; }
  // Line i; for a spooled run it is read from the disk and valid until the
  // next call on this object.
  std::string_view operator[](size_t i) const;
  // All characters, without line breaks (a spooled run is read whole into
  // memory: for tests and small runs).
  std::string_view Chars() const;
  // Calls fn(line) for every line in order, reading a spooled run in blocks.
  template <class Fn>
  void ForEachLine(Fn&& fn) const {
    if (!spool_) {
      for (size_t i = 0, n = Count(); i < n; ++i) fn((*this)[i]);
      return;
    }
    constexpr size_t kBlock = kLineLength * 1724;  // about 128 KiB of whole lines
    std::string block;
    for (uint64_t at = 0; at < length_;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, length_ - at));
      block.resize(n);
      spool_->ReadAt(offset_ + at, block.data(), n);
      for (size_t i = 0; i < n; i += kLineLength)
        fn(std::string_view(block).substr(i, kLineLength));
      at += n;
    }
  }
  void Clear() {
    data_.reset();
    spool_.reset();
    offset_ = length_ = 0;
  }

 private:
  uint64_t size() const { return spool_ ? length_ : (data_ ? data_->size() : 0); }
  std::shared_ptr<const std::string> data_;
  std::shared_ptr<TEncodedSpool> spool_;
  uint64_t offset_ = 0, length_ = 0;
  mutable std::string read_;  // the last line or run read from a spool
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

// The runtime-style pseudo-random generator the id and boundary draw from.
void RandomizeFromClock();   // seed from the UTC time of day in ms
void SetRandomSeed(uint32_t seed);
uint32_t RandomSeed();
uint32_t RandomBelow(uint32_t n);

// "<VOK." yyyy.mm.dd. + 8 letters a..t + "@" + host + ">". Unique within a
// run: a repeat of an id already issued (same clock millisecond) draws
// again from the generator.
std::string MakeMessageId(const std::string& host);
// "--_VOK_bound_" + 12 letters a..y.
std::string MakeBoundary();
