// Header texts outside ASCII (recipient display names) and the machine's announced name.
#include <gtest/gtest.h>

#include <sstream>

#include "HeaderWords.h"
#include "LocalName.h"

namespace {

// An independent reader of the words EncodeWords writes: each word's bytes,
// decoded from B (base64) or Q.
struct Word {
  char kind;
  std::string bytes, raw;
};

std::string DecodeBase64(const std::string& s) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, count = 0;
  for (char c : s) {
    if (c == '=') break;
    const size_t v = kAlphabet.find(c);
    if (v == std::string::npos) return "<bad base64>";
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string DecodeQ(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '_') {
      out += ' ';
    } else if (s[i] == '=' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<Word> ReadWords(const std::string& words, const std::string& charset) {
  std::vector<Word> out;
  std::istringstream in(words);
  std::string raw;
  while (in >> raw) {
    Word w{'?', "", raw};
    const std::string head = "=?" + charset + "?";
    if (raw.rfind(head, 0) == 0 && raw.size() >= head.size() + 4 && raw[head.size() + 1] == '?' &&
        raw.ends_with("?=")) {
      w.kind = raw[head.size()];
      const std::string payload = raw.substr(head.size() + 2, raw.size() - head.size() - 4);
      w.bytes = w.kind == 'B' ? DecodeBase64(payload) : DecodeQ(payload);
    }
    out.push_back(w);
  }
  return out;
}

// True when the bytes are whole, well-formed UTF-8 characters.
bool WholeUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(HeaderWords, DisplayNamesInRecipientLists) {
  const std::string pyotr = "\xF0\xA3\xD4\xD2";  // KOI8-R
  const std::string word = "=?koi8-r?B?8KPU0g==?=";
  const struct {
    std::string in, out;
  } cases[] = {
      {"\"Ann\" <a@x>, b@y", "\"Ann\" <a@x>, b@y"},                                  // ASCII: as is
      {"\"" + pyotr + "\" <p@x>", word + " <p@x>"},                                   // quoted name
      {pyotr + " <p@x>", word + " <p@x>"},                                            // bare name
      {"a@x,  \"" + pyotr + "\"   <p@x> ,b@y", "a@x,  " + word + " <p@x> ,b@y"},      // spacing kept
      {"\"" + pyotr + ", \\\"x\\\"\" <p@x>",                                          // comma, quotes
       "=?koi8-r?B?8KPU0iwgIngi?= <p@x>"},
      {pyotr + "@example.org", pyotr + "@example.org"},  // no display name: an address is never encoded
      {"\"Ann\" <" + pyotr + "@x>", "\"Ann\" <" + pyotr + "@x>"},
  };
  for (const auto& c : cases) EXPECT_EQ(vok::EncodeDisplayNames(c.in, "koi8-r"), c.out) << c.in;
}

TEST(HeaderWords, WordsNeverSplitAUtf8Character) {
  // 21 two-byte characters, then a four-byte one across the first word's 45-byte room.
  std::string text;
  for (int i = 0; i < 21; ++i) text += "\xD0\x96";
  text += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 19; ++i) text += "\xD0\x96";
  EXPECT_EQ(vok::EncodeWords(text, "utf-8"),
            "=?utf-8?B?0JbQltCW0JbQltCW0JbQltCW0JbQltCW0JbQltCW0JbQltCW0JbQltCW?= "
            "=?utf-8?B?8J+YgNCW0JbQltCW0JbQltCW0JbQltCW0JbQltCW0JbQltCW0JbQltCW?=");
  // A single-byte charset fills each word: 45 bytes, then the rest.
  const std::string words = vok::EncodeWords(std::string(50, '\xE9'), "koi8-r");
  EXPECT_EQ(words.find(' '), 13u + 60u);  // "=?koi8-r?B?" "?=" around 15 groups
  EXPECT_EQ(vok::EncodeWords("", "koi8-r"), "=?koi8-r?B?" "?=");
}

TEST(HeaderWords, Utf8TextsOfEveryLengthDecodeWholeAndPadOnlyAtTheEnd) {
  // Character mixes that put cuts everywhere: an ASCII start before
  // 3-byte characters (no boundary is a whole number of groups), emoji,
  // Cyrillic with blanks, and a rotation of all widths.
  const struct {
    const char* name;
    std::vector<std::string> chars;  // the text repeats these
    std::string start;
  } mixes[] = {
      {"cjk after ascii", {"\xE6\x97\xA5", "\xE6\x9C\xAC"}, "Re: "},
      {"cjk", {"\xE6\x97\xA5"}, ""},
      {"emoji", {"\xF0\x9F\x98\x80", "\xF0\x9F\x8E\x89"}, ""},
      {"cyrillic words", {"\xD0\x96", "\xD0\xB0", " "}, "x"},
      {"all widths", {"a", "\xD0\x96", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " ", "="}, ""},
  };
  for (const auto& mix : mixes) {
    for (const size_t firstMax : {size_t{67}, vok::kMaxEncodedWord}) {
      std::string text = mix.start;
      for (size_t length = 1; length <= 200; ++length) {
        text += mix.chars[length % mix.chars.size()];
        const std::string words = vok::EncodeWords(text, "UTF-8", firstMax);
        const std::vector<Word> read = ReadWords(words, "UTF-8");
        std::string joined;
        for (size_t i = 0; i < read.size(); ++i) {
          const Word& w = read[i];
          const bool last = i + 1 == read.size();
          SCOPED_TRACE(std::string(mix.name) + " length " + std::to_string(length) + ": " + w.raw);
          ASSERT_TRUE(w.kind == 'B' || w.kind == 'Q');
          EXPECT_LE(w.raw.size(), i == 0 ? firstMax : vok::kMaxEncodedWord);
          EXPECT_TRUE(WholeUtf8(w.bytes));
          EXPECT_TRUE(last || !w.raw.ends_with("=?=")) << "padding before another word";
          joined += w.bytes;
        }
        EXPECT_EQ(joined, text) << mix.name << " length " << length;
      }
    }
  }
}

TEST(HeaderWords, AsciiTextsThatLookEncodedAreEncoded) {
  const struct {
    std::string in, out;
  } subjects[] = {
      {"Literal =?UTF-8?B?SGk=?= text 1(3)", "Literal =?UTF-8?Q?=3D=3FUTF=2D8=3FB=3FSGk=3D=3F=3D?= text 1(3)"},
      {"=?x?q?y?= start", "=?UTF-8?Q?=3D=3Fx=3Fq=3Fy=3F=3D?= start"},
      // Words between the "=?" and its "?=" go with them, and two runs
      // with only blanks between them become one, blanks included.
      {"a =?x ?= =?y?q?z?=  b", "a =?UTF-8?Q?=3D=3Fx_=3F=3D_=3D=3Fy=3Fq=3Fz=3F=3D?=  b"},
      {"glued=?x?b?eA==?=tail end", "=?UTF-8?Q?glued=3D=3Fx=3Fb=3FeA=3D=3D=3F=3Dtail?= end"},
      // Two runs: Q words, so the first never ends in padding.
      {"=?a?= and =?b?=", "=?UTF-8?Q?=3D=3Fa=3F=3D?= and =?UTF-8?Q?=3D=3Fb=3F=3D?="},
      // Nothing a reader would decode: kept byte for byte.
      {"Plain subject 2(5)", "Plain subject 2(5)"},
      {"a =? b", "a =? b"},
      {"a ?= =? b", "a ?= =? b"},
      {"x =?= y", "x =?= y"},
      {"", ""},
  };
  for (const auto& c : subjects) EXPECT_EQ(vok::EncodeLookalikes(c.in, "UTF-8"), c.out) << c.in;
  // A long run is split into words, each decoding on its own, the first
  // within the room it is given.
  const std::string longRun(120, 'q');
  const std::string words = vok::EncodeLookalikes("=?" + longRun + "?=", "UTF-8", 67);
  std::string joined;
  for (const Word& w : ReadWords(words, "UTF-8")) {
    EXPECT_LE(w.raw.size(), vok::kMaxEncodedWord) << w.raw;
    joined += w.bytes;
  }
  EXPECT_EQ(joined, "=?" + longRun + "?=");
  EXPECT_LE(words.find(' '), 67u);

  const struct {
    std::string in, out;
  } lists[] = {
      {"\"=?UTF-8?B?SGk=?=\" <a@x>, b@y", "=?koi8-r?B?PT9VVEYtOD9CP1NHaz0/PQ==?= <a@x>, b@y"},
      {"Ann =?x?b?eA==?= <a@x>", "=?koi8-r?B?QW5uID0/eD9iP2VBPT0/PQ==?= <a@x>"},
      {"\"Ann\" <=?x?=@y>", "\"Ann\" <=?x?=@y>"},  // an address is never encoded
      {"=?x?=@y", "=?x?=@y"},
  };
  for (const auto& c : lists) EXPECT_EQ(vok::EncodeDisplayNames(c.in, "koi8-r"), c.out) << c.in;
}

TEST(LocalName, QualifiedNamesOnly) {
  for (const char* yes : {"mail.example.org", "a.b", "LocalHost2.example"})
    EXPECT_TRUE(vok::IsQualifiedHostName(yes)) << yes;
  for (const char* no : {"", "vm", ".example", "vm.", "localhost", "localhost.localdomain",
                         "LOCALHOST.example"})
    EXPECT_FALSE(vok::IsQualifiedHostName(no)) << no;
  EXPECT_EQ(vok::AddressLiteral(-1), "[127.0.0.1]");
  EXPECT_EQ(vok::AnnouncedName("mx.example.org", -1), "mx.example.org");
  EXPECT_EQ(vok::AnnouncedName("vm", -1), "[127.0.0.1]");
}

}  // namespace
