// The outgoing message record: sender, recipients, subject, text, priority,
// character set, text encoding and attached files. One record serves a
// whole series: set the sender and recipients once, then per message clear
// AttachedFiles and Text, set Subject, AddFile each file, fill Text, and
// pass the record to TVokSMTP::Send.
//
// All texts are byte strings, stored as given (the caller recodes them).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "VokMIME.h"

// Ordinals matter: X-Priority is the ordinal plus one.
enum TPriority { prHighest = 0, prHigh = 1, prNormal = 2, prLow = 3, prLowest = 4 };
// te8Bit: text sent as is (dot-stuffed), subject raw, "8Bit".
// teBase64: text base64-encoded, subject as an encoded word, "base64".
enum TTextEncoding { te8Bit = 0, teBase64 = 1 };

using TStringList = std::vector<std::string>;

class TAttachedFile {
 public:
  std::string FileName;        // name part of PathName, used in the part headers
  std::string PathName;        // the path given to AddFile; opened when sending
  TEncodedLines EncodedLines;  // filled by sending: base64 lines of 76 chars
  std::string ContentType;     // by extension; "application/octet-stream" if unknown
  // With RangeLength set, only RangeLength bytes from RangeOffset are sent:
  // a part of a larger file that may still grow beyond them (see TFileSource).
  uint64_t RangeOffset = 0;
  int64_t RangeLength = -1;
};

// Attached files in insertion order; duplicates allowed. Items stay at the
// same address until removed by Clear().
class TAttachedFiles {
 public:
  // Appends an item for Name (not opened here; a missing file shows when
  // the message is sent) and returns it.
  TAttachedFile& AddFile(const std::string& name);
  int Count() const { return static_cast<int>(items_.size()); }
  TAttachedFile& Items(int index) { return *items_.at(static_cast<size_t>(index)); }
  const TAttachedFile& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  TAttachedFile& operator[](int index) { return Items(index); }
  const TAttachedFile& operator[](int index) const { return Items(index); }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TAttachedFile>> items_;
};

class TVokMsg {
 public:
  TVokMsg() = default;
  TVokMsg(const TVokMsg&) = delete;
  TVokMsg& operator=(const TVokMsg&) = delete;

  std::string UserName;      // sender's display name; empty: bare address in From
  std::string From;          // sender address (or a bare local name)
  std::string ReplyTo;       // Reply-To header when not empty
  std::string SendTo;        // To list, comma separated; written as is
  std::string CC;            // Cc list; CC header when not empty
  std::string BCC;           // Bcc list; never written into a header
  std::string Subject;       // replaced by its encoded word when sent in base64
  TStringList Text;          // body lines; assignment copies
  TStringList ExtraHeaders;  // complete header lines appended after ours
  TPriority Priority = prNormal;
  std::string CharSet = "ISO-8859-1";
  // Has no effect: nothing here parses mail, and composing and sending never
  // read it. Kept, with its default, as one of the record's settings.
  bool ClearRawMailAfterParse = true;
  TTextEncoding TextEncoding = te8Bit;

  TAttachedFiles AttachedFiles;
  std::string InReplyTo;  // In-Reply-To header when not empty
  // The Message-Id to write (with its angle brackets); empty: a new one for every build.
  // A message sent again after a lost connection keeps its id this way.
  std::string MessageId;
  std::string Date;  // set by TVokSMTP::Send just before composing
};
