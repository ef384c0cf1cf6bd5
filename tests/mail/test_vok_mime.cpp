// Base64 stream vectors, encoded line store, ids and boundaries.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "VokMIME.h"

namespace {

std::string Encode(const std::string& data, bool lineBreaks = true) {
  TMemoryStream mem;
  {
    TBase64EncodingStream enc(mem, lineBreaks);
    enc.Write(data.data(), data.size());
  }  // destructor writes the padded group
  return mem.Data();
}

std::string AllBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

// Independent bit-by-bit decoder, to check round trips.
std::string Decode(const std::string& text) {
  static const std::string alpha =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int nbits = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '=') continue;
    size_t v = alpha.find(c);
    EXPECT_NE(v, std::string::npos) << "bad char " << int(c);
    bits = (bits << 6) | static_cast<unsigned>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out += static_cast<char>((bits >> nbits) & 0xff);
    }
  }
  return out;
}

TEST(Base64Stream, SmallVectors) {
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode("a"), "YQ==");
  EXPECT_EQ(Encode("ab"), "YWI=");
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3)), "//4A");
  EXPECT_EQ(Encode(std::string(1, '\0')), "AA==");
}

TEST(Base64Stream, LineWrapping) {
  std::string d57(57, 'x');
  std::string e57 = Encode(d57);
  ASSERT_EQ(e57.size(), 78u);
  EXPECT_EQ(e57.substr(76), "\r\n");
  EXPECT_EQ(e57.substr(0, 4), "eHh4");

  std::string e58 = Encode(std::string(58, 'x'));
  EXPECT_EQ(e58.size(), 76u + 2 + 4);
  EXPECT_EQ(e58.substr(76), "\r\neA==");

  // Exactly two full lines: a line break after each, nothing after.
  std::string e114 = Encode(std::string(114, 'x'));
  EXPECT_EQ(e114.size(), 2u * 78);
  EXPECT_EQ(e114.substr(e114.size() - 2), "\r\n");
}

TEST(Base64Stream, AllByteValuesRoundTrip) {
  std::string data;
  for (int r = 0; r < 7; ++r) data += AllBytes();
  data += "xy";  // leaves a padded group
  std::string enc = Encode(data);
  // Every full line is 76 characters.
  size_t pos = 0;
  while (true) {
    size_t eol = enc.find("\r\n", pos);
    if (eol == std::string::npos) {
      EXPECT_LE(enc.size() - pos, 76u);
      break;
    }
    EXPECT_EQ(eol - pos, 76u);
    pos = eol + 2;
  }
  EXPECT_EQ(Decode(enc), data);
  EXPECT_EQ(Decode(Encode(data, false)), data);
  EXPECT_EQ(Encode(data, false).find('\r'), std::string::npos);
}

TEST(Base64Stream, ChunkedWritesEqualOneWrite) {
  std::string data;
  for (int r = 0; r < 5; ++r) data += AllBytes();
  const std::string whole = Encode(data);
  for (size_t chunk : {1u, 2u, 4u, 5u, 56u, 57u, 58u, 100u, 1023u}) {
    TMemoryStream mem;
    {
      TBase64EncodingStream enc(mem);
      for (size_t i = 0; i < data.size(); i += chunk) {
        std::string part = data.substr(i, chunk);
        EXPECT_EQ(enc.Write(part.data(), part.size()), part.size());
      }
      enc.Finish();
      EXPECT_EQ(enc.TotalIn(), static_cast<int64_t>(data.size()));
    }
    EXPECT_EQ(mem.Data(), whole) << "chunk " << chunk;
  }
}

TEST(Base64Stream, ReadAndPositioning) {
  TMemoryStream mem;
  TBase64EncodingStream enc(mem);
  enc.Write("abcd", 4);  // one full group counted, one byte pending
  EXPECT_EQ(enc.Position(), 4);
  EXPECT_EQ(enc.Size(), 4);
  EXPECT_EQ(enc.Seek(4, TSeekOrigin::soBeginning), 4);
  char b[4];
  try {
    enc.Read(b, 4);
    FAIL() << "read must raise";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Invalid stream operation");
  }
  EXPECT_THROW(enc.Seek(1, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_THROW(enc.Seek(0, TSeekOrigin::soBeginning), EStreamError);
  enc.Finish();
  enc.Finish();  // a second finish writes nothing more
  EXPECT_EQ(mem.Data(), "YWJjZA==");
}

TEST(EncodedLines, FixedLinesOverOneRun) {
  TEncodedLines empty;
  EXPECT_EQ(empty.Count(), 0u);
  std::string chars(76 * 2 + 10, 'A');
  chars[76] = 'B';
  TEncodedLines lines(chars);
  ASSERT_EQ(lines.Count(), 3u);
  EXPECT_EQ(lines[0], std::string(76, 'A'));
  EXPECT_EQ(lines[1].size(), 76u);
  EXPECT_EQ(lines[1][0], 'B');
  EXPECT_EQ(lines[2], std::string(10, 'A'));
  EXPECT_EQ(TEncodedLines(std::string(152, 'x')).Count(), 2u);
}

TEST(MessageLines, MixesPlainAndEncoded) {
  TMessageLines m;
  m.Add("a");
  m.AddEncoded(TEncodedLines(std::string(80, 'Q')));
  m.Add("b");
  m.AddEncoded(TEncodedLines());  // nothing
  ASSERT_EQ(m.Count(), 4u);
  EXPECT_EQ(m[0], "a");
  EXPECT_EQ(m[2], "QQQQ");
  EXPECT_EQ(m[3], "b");
  EXPECT_EQ(m.Text(), "a\r\n" + std::string(76, 'Q') + "\r\nQQQQ\r\nb\r\n");
}

TEST(Generator, DrawsAsSpecifiedLinearCongruence) {
  SetRandomSeed(0);
  // seed 1 -> (1 * 20) >> 32 = 0; seed 134775814 -> value below 20
  EXPECT_EQ(RandomBelow(20), 0u);
  EXPECT_EQ(RandomSeed(), 1u);
  uint32_t v = RandomBelow(20);
  EXPECT_EQ(RandomSeed(), 134775814u);
  EXPECT_EQ(v, static_cast<uint32_t>((uint64_t(134775814u) * 20) >> 32));
}

TEST(MessageId, FormAndUniqueness) {
  const std::regex form(R"(<VOK\.\d{4}\.\d{2}\.\d{2}\.[a-t]{8}@host\.example>)");
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {  // many within one millisecond
    std::string id = MakeMessageId("host.example");
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    EXPECT_EQ(id.find('@'), 5u + 11 + 8);
    EXPECT_TRUE(seen.insert(id).second) << "repeated " << id;
  }
}

TEST(Boundary, Form) {
  const std::regex form(R"(--_VOK_bound_[a-y]{12})");
  for (int i = 0; i < 50; ++i) {
    std::string b = MakeBoundary();
    EXPECT_EQ(b.size(), 13u + 12);
    EXPECT_TRUE(std::regex_match(b, form)) << b;
  }
}

}  // namespace
