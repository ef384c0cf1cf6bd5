#include "HeaderWords.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "VokMIME.h"

namespace vok {

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Q encoding fit for both texts and phrases: letters and digits as they
// are, the blank as "_", every other byte as =XX.
bool QLiteral(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
size_t QLength(char c) { return QLiteral(c) || c == ' ' ? 1 : 3; }

std::string QEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (QLiteral(ch)) {
      out += ch;
    } else if (ch == ' ') {
      out += '_';
    } else {
      out += {'=', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

// The end of the longest run of whole UTF-8 characters from `begin` whose
// Q form fits `room` characters; at least one character.
size_t QWordEnd(std::string_view text, size_t begin, size_t room) {
  size_t end = begin, used = 0;
  while (end < text.size()) {
    size_t next = end + 1, length = QLength(text[end]);
    while (next < text.size() && IsContinuationByte(text[next])) length += QLength(text[next++]);
    if (end > begin && used + length > room) break;
    used += length;
    end = next;
  }
  return end;
}

// The text as Q words only: none ever ends in padding, whatever follows.
std::string QWords(std::string_view text, const std::string& charset, size_t firstMax) {
  const std::string head = "=?" + charset + "?Q?";
  const size_t overhead = head.size() + 2;
  std::string out;
  size_t at = 0;
  bool first = true;
  do {
    const size_t maxLength = first ? std::min(firstMax, kMaxEncodedWord) : kMaxEncodedWord;
    const size_t end = QWordEnd(text, at, maxLength > overhead ? maxLength - overhead : 0);
    if (!out.empty()) out += ' ';
    out += head + QEncode(text.substr(at, end - at)) + "?=";
    at = end;
    first = false;
  } while (at < text.size());
  return out;
}

// The position of the "<" that opens the address of one recipient entry
// (the last one outside a quoted name), or npos.
size_t AddressStart(const std::string& entry) {
  size_t found = std::string::npos;
  bool quoted = false;
  for (size_t i = 0; i < entry.size(); ++i) {
    char c = entry[i];
    if (quoted && c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == '<' && !quoted) {
      found = i;
    }
  }
  return found;
}

std::string EncodeEntry(const std::string& entry, const std::string& charset) {
  if (IsAscii(entry) && !LooksEncoded(entry)) return entry;
  const size_t lt = AddressStart(entry);
  if (lt == std::string::npos) return entry;  // no display name: an address is never encoded
  size_t begin = 0;
  while (begin < lt && IsBlank(entry[begin])) ++begin;
  size_t end = lt;
  while (end > begin && IsBlank(entry[end - 1])) --end;
  std::string name = entry.substr(begin, end - begin);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    std::string inner;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      if (name[i] == '\\' && i + 2 < name.size()) ++i;
      inner += name[i];
    }
    name = inner;
  }
  // An ASCII name is kept unless a reader would take part of it for an
  // encoded word and show something else.
  if (name.empty() || (IsAscii(name) && !LooksEncoded(name))) return entry;
  return entry.substr(0, begin) + EncodeWords(name, charset) + " " + entry.substr(lt);
}

}  // namespace

bool IsAscii(std::string_view s) {
  return std::none_of(s.begin(), s.end(),
                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool IsUtf8Charset(std::string_view charset) {
  std::string s;
  for (char c : charset)
    if (c != '-' && c != '_') s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s == "utf8";
}

std::string EncodeWords(std::string_view text, const std::string& charset, size_t firstMax,
                        size_t maxWord) {
  maxWord = std::min(maxWord, kMaxEncodedWord);
  const std::string head = "=?" + charset + "?B?";
  const std::string qHead = "=?" + charset + "?Q?";
  const size_t overhead = head.size() + 2;
  const bool utf8 = IsUtf8Charset(charset);
  auto chars = [&](size_t maxLength) { return maxLength > overhead ? maxLength - overhead : 0; };
  std::string out;
  size_t at = 0;
  bool first = true;
  do {
    const size_t limit = chars(first ? std::min(firstMax, maxWord) : maxWord);
    // Whole 3-byte groups per word, so only the last word of the run is
    // ever padded: some readers drop what follows a padded word.
    size_t end = at + std::max<size_t>(limit / 4 * 3, 3);
    bool quoted = false;
    if (end >= text.size()) {
      end = text.size();
    } else if (utf8) {
      // The longest cut on a character boundary that is still a whole
      // number of groups. A run of 3-byte characters after an odd start
      // has none; a Q word, which never pads, carries that stretch.
      size_t cut = end;
      while (cut > at && (IsContinuationByte(text[cut]) || (cut - at) % 3 != 0)) --cut;
      const size_t qEnd = QWordEnd(text, at, limit);
      if (qEnd > cut) {
        end = qEnd;
        quoted = true;
      } else {
        end = cut;
      }
    }
    if (!out.empty()) out += ' ';
    const std::string_view piece = text.substr(at, end - at);
    out += quoted ? qHead + QEncode(piece) : head + Base64Encode(piece);
    out += "?=";
    at = end;
    first = false;
  } while (at < text.size());
  return out;
}

bool LooksEncoded(std::string_view text) {
  const size_t open = text.find("=?");
  return open != std::string_view::npos && text.find("?=", open + 2) != std::string_view::npos;
}

std::string EncodeLookalikes(std::string_view text, const std::string& charset, size_t firstMax) {
  if (!LooksEncoded(text)) return std::string(text);
  // Spans of whole blank-separated words, from the word holding an "=?" to
  // the word holding the "?=" that closes it.
  auto wordStart = [&](size_t i) {
    while (i > 0 && !IsBlank(text[i - 1])) --i;
    return i;
  };
  auto wordEnd = [&](size_t i) {
    while (i < text.size() && !IsBlank(text[i])) ++i;
    return i;
  };
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t open = text.find("=?"); open != std::string_view::npos;) {
    const size_t close = text.find("?=", open + 2);
    if (close == std::string_view::npos) break;
    const size_t begin = wordStart(open), end = wordEnd(close + 2);
    // Spans with only blanks between them become one run: decoders drop
    // the blanks between encoded words.
    if (!spans.empty() && text.find_first_not_of(" \t", spans.back().second) >= begin)
      spans.back().second = std::max(spans.back().second, end);
    else
      spans.emplace_back(begin, end);
    open = text.find("=?", end);
  }
  std::string out;
  size_t at = 0;
  for (const auto& [begin, end] : spans) {
    out.append(text.substr(at, begin - at));
    // Q words: plain text may be followed by more encoded words, and these
    // never end in padding.
    out += QWords(text.substr(begin, end - begin), charset, begin == 0 ? firstMax : kMaxEncodedWord);
    at = end;
  }
  out.append(text.substr(at));
  return out;
}

std::string EncodeDisplayNames(const std::string& list, const std::string& charset) {
  if (IsAscii(list) && !LooksEncoded(list)) return list;
  std::string out, entry;
  bool quoted = false;
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (quoted && c == '\\' && i + 1 < list.size()) {
      entry += c;
      entry += list[++i];
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      out += EncodeEntry(entry, charset);
      out += ',';
      entry.clear();
      continue;
    }
    entry += c;
  }
  out += EncodeEntry(entry, charset);
  return out;
}

std::vector<std::string> FoldHeaderAt(const std::string& line, size_t width) {
  std::vector<std::string> pieces;
  size_t start = 0;
  // The first line keeps the name, the colon and the value's first word.
  const size_t colon = line.find(':');
  size_t floor = colon == std::string::npos ? 0 : line.find_first_not_of(" \t", colon + 1);
  while (floor != std::string::npos && line.size() - start > width) {
    // The last blank that still leaves this piece within the width; a piece
    // must keep at least one character besides its leading blank.
    size_t fold = line.find_last_of(" \t", start + width);
    if (fold == std::string::npos || fold <= floor) {
      // No blank in reach: fold at the next blank after the long run.
      fold = line.find_first_of(" \t", std::max(floor, start + width) + 1);
      if (fold == std::string::npos) break;
    }
    pieces.push_back(line.substr(start, fold - start));
    start = fold;
    floor = start + 1;
  }
  pieces.push_back(line.substr(start));
  return pieces;
}

std::vector<std::string> ExtendedParameter(const std::string& name, std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  // Characters, each percent-encoded where RFC 2231 asks, one UTF-8
  // sequence kept together so a continuation never splits it.
  std::vector<std::string> chars;
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    std::string piece;
    if (std::isalnum(c) || (c < 0x80 && std::strchr("!#$&+-.^_`|~", ch) && ch != '\0')) {
      piece = ch;
    } else {
      piece = {'%', kHex[c >> 4], kHex[c & 15]};
    }
    if (IsContinuationByte(ch) && !chars.empty())
      chars.back() += piece;
    else
      chars.push_back(piece);
  }
  const std::string marker = "UTF-8''";
  std::string whole = marker;
  for (const std::string& c : chars) whole += c;
  // " name*=value;" must fit a folded line of its own.
  if (1 + name.size() + 2 + whole.size() + 1 <= kEncodedLineWidth) return {name + "*=" + whole};

  std::vector<std::string> pieces;
  std::string chunk = marker;
  bool fresh = true;
  for (const std::string& c : chars) {
    const std::string prefix = name + "*" + std::to_string(pieces.size()) + "*=";
    if (!fresh && 1 + prefix.size() + chunk.size() + c.size() + 1 > kEncodedLineWidth) {
      pieces.push_back(prefix + chunk);
      chunk.clear();
    }
    chunk += c;
    fresh = false;
  }
  pieces.push_back(name + "*" + std::to_string(pieces.size()) + "*=" + chunk);
  return pieces;
}

}  // namespace vok
