// The message writer of TVokSMTP: header block, text part and base64 parts.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "Addresses.h"
#include "HeaderWords.h"
#include "VokSMTP.h"
#include "vok_util.h"

using vok::HeaderSafe;

namespace {


// The subject as an encoded word. One word as a rule; a subject whose word
// would not fit on one header line becomes several words of at most 75
// characters (blank-separated, which decoders drop), so the line can fold.
std::string EncodedWords(const std::string& charset, const std::string& subject) {
  const std::string head = "=?" + charset + "?B?";
  const std::string one = head + Base64Encode(subject) + "?=";
  if (std::string("Subject: ").size() + one.size() <= vok::kMaxLineLength) return one;
  // Whole 3-byte groups, so no word needs padding in the middle of the text.
  size_t chunk = (75 - head.size() - 2) / 4 * 3;
  if (chunk < 3) chunk = 3;
  std::string words;
  for (size_t at = 0; at < subject.size(); at += chunk) {
    if (!words.empty()) words += ' ';
    words += head + Base64Encode(std::string_view(subject).substr(at, chunk)) + "?=";
  }
  return words;
}

// One header line and the width it is folded to: plain texts only when a
// server would refuse them, lines with encoded words as RFC 2047 asks.
struct Header {
  std::string line;
  size_t width = vok::kMaxLineLength;
  Header(std::string l) : line(std::move(l)) {}  // NOLINT: plain lines convert
  Header(const char* l) : line(l) {}             // NOLINT
  Header(std::string l, size_t w) : line(std::move(l)), width(w) {}
};

void AddHeader(TMessageLines& result, Header& h) {
  if (h.line.size() <= h.width) {
    result.Add(std::move(h.line));
  } else {
    for (std::string& piece : vok::FoldHeaderAt(h.line, h.width)) result.Add(std::move(piece));
  }
}

void AddHeaders(TMessageLines& result, std::vector<Header>& headers) {
  for (Header& h : headers) AddHeader(result, h);
}

// "Name: " + value, folded narrowly when the value had to be encoded.
Header TextHeader(const std::string& name, const std::string& raw, const std::string& encoded) {
  if (encoded == raw) return Header(name + HeaderSafe(raw));
  return Header(name + encoded, vok::kEncodedLineWidth);
}

struct FileCloser {
  void operator()(FILE* f) const { if (f) std::fclose(f); }
};

// The body copy: lines joined with CR LF, cut at the first zero byte and
// split again at every CR LF, lone CR or lone LF.
std::vector<std::string> CopyBodyLines(const TStringList& text) {
  std::string joined;
  for (const std::string& l : text) {
    joined += l;
    joined += "\r\n";
  }
  size_t zero = joined.find('\0');
  if (zero != std::string::npos) joined.erase(zero);
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < joined.size()) {
    size_t j = joined.find_first_of("\r\n", i);
    if (j == std::string::npos) {
      lines.push_back(joined.substr(i));
      break;
    }
    lines.push_back(joined.substr(i, j - i));
    i = (joined[j] == '\r' && j + 1 < joined.size() && joined[j + 1] == '\n') ? j + 2 : j + 1;
  }
  return lines;
}

}  // namespace

// Opens a file for reading only when it is a regular file. A FIFO would
// block the open or the reads for ever and a device may never end, so the
// open does not wait and the kind is checked before anything is read.
FILE* OpenRegularFile(const std::string& path, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw EFOpenError("Cannot open file " + path);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool regular = S_ISREG(st.st_mode);
    ::close(fd);
    throw EFOpenError("Cannot open file " + path + (regular ? "" : ": is not a regular file"));
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "rb");
  if (!f) {
    ::close(fd);
    throw EFOpenError("Cannot open file " + path);
  }
  return f;
}

void TVokSMTP::EncodeAttachment(TAttachedFile& item) {
  struct stat st {};
  std::unique_ptr<FILE, FileCloser> src(OpenRegularFile(item.PathName, st));
  std::setvbuf(src.get(), nullptr, _IOFBF, 1 << 16);
  // The file is sent as it was when encoding started: exactly this many
  // bytes, and a file found shorter or longer fails the message. A range
  // needs only its own bytes to be there.
  const bool range = item.RangeLength >= 0;
  const uint64_t size = range ? static_cast<uint64_t>(item.RangeLength) : static_cast<uint64_t>(st.st_size);
  if (range && (static_cast<uint64_t>(st.st_size) < item.RangeOffset + size ||
                fseeko(src.get(), static_cast<off_t>(item.RangeOffset), SEEK_SET) != 0))
    throw EFOpenError("File " + item.PathName + " is shorter than the part to send.");
  TFileSource source = FileSourceOf(item.PathName, st);
  if (range) {
    source.Range = true;
    source.Offset = item.RangeOffset;
    source.Size = size;
  }
  const auto changed = [&] {
    return EFOpenError("File " + item.PathName +
                       " changed while it was read; it was not sent.");
  };

  if (OnEncodeStart) OnEncodeStart(this, item.FileName, static_cast<int64_t>(size));

  // The encoded lines are one run of characters; the store cuts it into
  // 76-character lines. Small files keep it in memory; for a large file
  // this pass only reads it (for the events and the checks) and its lines
  // are made from the file again while the message is written.
  const uint64_t encodedSize = (size + 2) / 3 * 4;
  const bool inMemory = encodedSize <= memoryLeft_;
  TMemoryStream memory;
  if (inMemory) memory.Data().reserve(static_cast<size_t>(encodedSize));
  TBase64EncodingStream encoder(memory, false);
  uint32_t threshold = EncodeProgressStep;
  uint64_t position = 0;
  char block[1024];
  for (;;) {
    vok::PumpMessages();
    if (Aborted) return;
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(sizeof block, size - position));
    size_t got = std::fread(block, 1, want, src.get());
    if (got < want && std::ferror(src.get()))
      throw EFOpenError("Cannot read file " + item.PathName + ": " + std::strerror(errno));
    if (got < want) throw changed();  // shorter than when it was opened
    if (inMemory) encoder.Write(block, got);
    position += got;
    uint16_t percent = vok::RoundPercent(position, size);
    EncodePercent = percent;
    if (percent >= threshold) {
      if (OnEncodeProgress) OnEncodeProgress(this, percent);
      threshold += EncodeProgressStep;
    }
    if (got < sizeof block) break;
  }
  char extra;
  if (!range && std::fread(&extra, 1, 1, src.get()) != 0) throw changed();  // it grew
  if (EncodePercent < 100 && OnEncodeProgress) OnEncodeProgress(this, 100);
  encoder.Finish();
  if (inMemory) {
    memoryLeft_ -= encodedSize;
    item.EncodedLines = TEncodedLines(std::move(memory.Data()));
  } else {
    // Changed in place during this pass (same size): the marks tell.
    struct stat now {};
    if (fstat(fileno(src.get()), &now) != 0 || !IsSameFile(source, now)) throw changed();
    item.EncodedLines = TEncodedLines(std::move(source));
  }
  Raise(OnEncodeEnd, this);
}

namespace {

// The From header: the address alone, or with the sender's name, quoted when it is plain
// ASCII and as encoded words otherwise. A bare local name is completed with the server.
Header FromHeader(const TVokMsg& msg, const std::string& host, const std::string& wordCharset) {
  const std::string& userName = msg.UserName;
  if (userName.empty()) return Header("From: " + HeaderSafe(vok::HeaderAddressList(msg.From, msg.CharSet)));
  std::string addr = msg.From;
  if (addr.find('@') == std::string::npos) addr += "@" + host;
  addr = HeaderSafe(vok::HeaderAddressList(addr, msg.CharSet));
  if (vok::IsAscii(userName) && !vok::LooksEncoded(userName))
    return Header("From: \"" + HeaderSafe(vok::QuoteEscape(userName)) + "\" <" + addr + ">");
  const std::string from = "From: ";
  return Header(from + vok::EncodeWords(userName, wordCharset, vok::kEncodedLineWidth - from.size()) + " <" +
                    addr + ">",
                vok::kEncodedLineWidth);
}

// The Subject header. In base64 mode the record's subject is rewritten in place as encoded
// words (callers set it anew before each send).
Header SubjectHeader(TVokMsg& msg, const std::string& charset) {
  const std::string name = "Subject: ";
  const size_t room = vok::kEncodedLineWidth - name.size();
  const bool plain = vok::IsAscii(msg.Subject);
  if (msg.TextEncoding != te8Bit) {
    msg.Subject = plain ? EncodedWords(msg.CharSet, msg.Subject)
                        : vok::EncodeWords(HeaderSafe(msg.Subject), charset, room);
    return plain ? Header(name + HeaderSafe(msg.Subject)) : Header(name + msg.Subject, vok::kEncodedLineWidth);
  }
  if (!plain) return Header(name + vok::EncodeWords(HeaderSafe(msg.Subject), charset, room), vok::kEncodedLineWidth);
  // Words a reader would decode are encoded, so the subject shows as typed.
  const std::string subject = HeaderSafe(msg.Subject);
  const std::string words = vok::EncodeLookalikes(subject, charset, room);
  return words == subject ? Header(name + subject) : Header(name + words, vok::kEncodedLineWidth);
}

// The text part's lines: dot-stuffed in 8 bits, one base64 block otherwise.
TMessageLines BodyLines(std::vector<std::string> body, TTextEncoding encoding) {
  TMessageLines lines;
  if (encoding == te8Bit) {
    for (std::string& l : body) {
      if (!l.empty() && l[0] == '.') l.insert(l.begin(), '.');
      lines.Add(std::move(l));
    }
    return lines;
  }
  std::string text;
  for (const std::string& l : body) {
    text += l;
    text += "\r\n";
  }
  lines.AddEncoded(TEncodedLines(Base64Encode(text)));
  return lines;
}

// The headers of an attached file's part.
void AddAttachmentHeaders(TMessageLines& result, const TAttachedFile& item) {
  if (vok::IsAscii(item.FileName)) {
    const std::string name = HeaderSafe(vok::QuoteEscape(item.FileName));
    result.Add("Content-Type: " + HeaderSafe(item.ContentType) + "; name=\"" + name + "\"");
    result.Add("Content-Transfer-Encoding: base64");
    result.Add("Content-Disposition: inline; FileName=\"" + name + "\"");
    return;
  }
  // File names are the file system's bytes, UTF-8, whatever the text's charset: RFC 2231 for
  // today's readers, an encoded word in name= for older ones.
  const std::string name = HeaderSafe(item.FileName);
  // Folded lines are ' name="' + a word, ' ' + a word, and a closing quote.
  const size_t paramRoom = vok::kEncodedLineWidth - std::string(" name=\"").size();
  Header type("Content-Type: " + HeaderSafe(item.ContentType) + "; name=\"" +
                  vok::EncodeWords(name, "UTF-8", paramRoom, vok::kEncodedLineWidth - 2) + "\"",
              vok::kEncodedLineWidth);
  AddHeader(result, type);
  result.Add("Content-Transfer-Encoding: base64");
  std::string disposition = "Content-Disposition: inline";
  for (const std::string& piece : vok::ExtendedParameter("filename", name)) disposition += "; " + piece;
  Header line(disposition, vok::kEncodedLineWidth);
  AddHeader(result, line);
}

}  // namespace

std::optional<TMessageLines> TVokSMTP::BuildMessage(TVokMsg& msg) {
  // Each message starts with the whole memory budget.
  memoryLeft_ = kEncodedMemoryBudget;
  std::vector<std::string> body = CopyBodyLines(msg.Text);
  std::vector<Header> headers;
  // Texts outside ASCII go as encoded words in the message's charset, so a
  // reader never has to guess how to show them.
  const std::string wordCharset = HeaderSafe(msg.CharSet);

  LastMessageId = msg.MessageId.empty() ? MakeMessageId(HeaderSafe(LocalHostName())) : HeaderSafe(msg.MessageId);
  headers.push_back("Message-Id: " + LastMessageId);
  if (!msg.InReplyTo.empty()) headers.push_back("In-Reply-To: " + HeaderSafe(msg.InReplyTo));
  headers.push_back("Date: " + HeaderSafe(msg.Date));
  headers.push_back("X-Priority: " + std::to_string(static_cast<int>(msg.Priority) + 1));
  headers.push_back(FromHeader(msg, Host, wordCharset));
  if (!msg.ReplyTo.empty()) headers.push_back("Reply-To: " + HeaderSafe(msg.ReplyTo));
  headers.push_back("X-Mailer: " + HeaderSafe(vok::ApplicationTitle()));
  // Addresses as sent (domains in A-labels, semicolons as commas); display names as given.
  const std::string to = HeaderSafe(vok::HeaderAddressList(msg.SendTo, msg.CharSet));
  const std::string cc = HeaderSafe(vok::HeaderAddressList(msg.CC, msg.CharSet));
  headers.push_back(TextHeader("To: ", to, vok::EncodeDisplayNames(to, wordCharset)));
  if (!cc.empty()) headers.push_back(TextHeader("CC: ", cc, vok::EncodeDisplayNames(cc, wordCharset)));
  headers.push_back("MIME-Version: 1.0");

  const std::string& charset = wordCharset;
  const std::string transfer = msg.TextEncoding == te8Bit ? "8Bit" : "base64";
  headers.push_back(SubjectHeader(msg, charset));
  TMessageLines bodyLines = BodyLines(std::move(body), msg.TextEncoding);

  TMessageLines result;
  if (msg.AttachedFiles.Count() == 0) {
    headers.push_back("Content-Type: Text/Plain; charset=" + charset);
    headers.push_back("Content-Transfer-Encoding: " + transfer);
    for (const std::string& h : msg.ExtraHeaders) headers.push_back(HeaderSafe(h));
    AddHeaders(result, headers);
    result.Add("");
    result.Append(bodyLines);
    return result;
  }

  const std::string boundary = MakeBoundary();
  const std::string delim = "--" + boundary;
  headers.push_back("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"");
  for (const std::string& h : msg.ExtraHeaders) headers.push_back(HeaderSafe(h));
  AddHeaders(result, headers);
  result.Add("");
  result.Add(delim);
  result.Add("Content-Type: Text/Plain; charset=" + charset);
  result.Add("Content-Transfer-Encoding: " + transfer);
  result.Add("");
  result.Append(bodyLines);
  for (int i = 0; i < msg.AttachedFiles.Count(); ++i) {
    TAttachedFile& item = msg.AttachedFiles[i];
    result.Add(delim);
    AddAttachmentHeaders(result, item);
    result.Add("");
    EncodeAttachment(item);
    // The window gets its turn as during the encoding: at most every few milliseconds, not
    // after every file (a series of small files would spend its time in the event loop).
    vok::PumpMessages();
    if (Aborted) return std::nullopt;
    result.AddEncoded(item.EncodedLines);
  }
  result.Add("");
  result.Add(delim + "--");
  result.Add("");
  return result;
}
