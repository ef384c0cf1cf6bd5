// Header texts outside ASCII (recipient display names) and the machine's announced name.
#include <gtest/gtest.h>

#include "HeaderWords.h"
#include "LocalName.h"

namespace {

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
