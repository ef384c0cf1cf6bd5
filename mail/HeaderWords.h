// Header texts that are not plain ASCII, in the forms every mail reader
// decodes: encoded words (RFC 2047) for the subject and display names, and
// extended parameters (RFC 2231) for attachment names. A text that is all
// ASCII is never touched by any of these, so such headers stay as they were.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vok {

// The width a header line holding encoded words is folded to.
constexpr size_t kEncodedLineWidth = 76;
// The longest encoded word allowed.
constexpr size_t kMaxEncodedWord = 75;

// True when every byte is below 0x80.
bool IsAscii(std::string_view s);
// True for a charset label naming UTF-8 (letter case and the dash ignored).
bool IsUtf8Charset(std::string_view charset);

// The text as encoded words in charset, separated by one blank. No word
// is longer than maxWord (at most kMaxEncodedWord), the first no longer
// than firstMax; in UTF-8 a word never splits a character, so each decodes
// on its own. Every word but the last holds whole 3-byte groups, so none
// but the last ends in "=" padding; where UTF-8 characters allow no such
// cut, that word is a "Q" word instead of a "B" one. An empty text gives
// one empty word.
std::string EncodeWords(std::string_view text, const std::string& charset,
                        size_t firstMax = kMaxEncodedWord, size_t maxWord = kMaxEncodedWord);

// True when a reader could take part of the text for an encoded word: an
// "=?" with a "?=" after it.
bool LooksEncoded(std::string_view text);

// An ASCII text with each run of blank-separated words that looks like
// encoded words written as "Q" encoded words, so readers show it as typed;
// the rest is kept byte for byte, and a text without such words comes back
// unchanged. A run at the very start is no longer than firstMax.
std::string EncodeLookalikes(std::string_view text, const std::string& charset,
                             size_t firstMax = kMaxEncodedWord);

// A recipient list ("Name" <a@b>, c@d, ...) with every display name that is
// not ASCII or looks like an encoded word written as encoded words; entries
// are found at commas outside quotes, and the other entries, the addresses
// and the separators are kept byte for byte.
std::string EncodeDisplayNames(const std::string& list, const std::string& charset);

// A header line folded at blanks so that each piece fits width where a blank
// allows it (the first piece keeps the name and the first word of the
// value). Unfolding the pieces gives back the line.
std::vector<std::string> FoldHeaderAt(const std::string& line, size_t width);

// RFC 2231 value of a parameter: "name*=UTF-8''..." with percent-encoding,
// or, when that would not fit a line, numbered continuations
// "name*0*=UTF-8''...", "name*1*=...", each piece a separate text, never
// splitting a UTF-8 character.
std::vector<std::string> ExtendedParameter(const std::string& name, std::string_view value);

}  // namespace vok
