// Payload decoders, bracket escapes and the UTF-8 to Windows-1252 conversion; checked
// against base64, xxd and iconv where those tools say what the right bytes are.
#include "exchange/decode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "support_lib/site.h"

namespace guichet {
namespace {

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

// Runs a shell command on a file's content and returns its standard output.
std::string Tool(const std::string& command, const std::string& input) {
  test::TempDir dir;
  std::string in = dir.path() + "/in";
  test::WriteAll(in, input);
  std::string out;
  FILE* f = popen(("(" + command + ") < " + in).c_str(), "r");
  if (!f) return "<no tool>";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(DecodeTest, HexPayload) {
  struct Case {
    std::string line;
    size_t pos;
    std::string want;
  } cases[] = {
      {"a=1&data=4142&x", 9, "AB"},
      {"&data=4142", 6, "AB"},
      {"&data=ff0A7f", 6, Bytes({0xFF, 0x0A, 0x7F})},
      {"&data=41424", 6, "AB"},        // a lone last digit is not a pair
      {"&data=4G", 6, Bytes({0x04})},  // reading stops at the non-digit
      {"&data=G4", 6, Bytes({0x00})},  // no digit at all
      {"&data=41&&42", 6, "A"},        // "&" at the start of a pair
      {"&data=", 6, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHexPayload(c.line, c.pos), c.want) << c.line;
}

// The pair-at-a-time decoder against the rule read one character at a time, on lines
// mixing digits of both cases, other characters and "&" at either place of a pair.
TEST(DecodeTest, HexPayloadFollowsThePairRuleOnAnyLine) {
  auto reference = [](std::string_view line, size_t pos) {
    auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    std::string out;
    for (size_t i = pos; i + 1 < line.size() && line[i] != '&'; i += 2) {
      int hi = digit(line[i]), lo = digit(line[i + 1]);
      out.push_back(static_cast<char>(hi < 0 ? 0 : lo < 0 ? hi : hi * 16 + lo));
    }
    return out;
  };
  const char alphabet[] = "0123456789abcdefABCDEF&&xG \xff";
  unsigned x = 7;
  for (int round = 0; round < 2000; ++round) {
    std::string line = "a=1&data=";
    const size_t n = static_cast<size_t>(round % 41);
    for (size_t k = 0; k < n; ++k) {
      x = x * 1103515245u + 12345u;
      line.push_back(alphabet[(x >> 16) % (sizeof alphabet - 1)]);
    }
    for (size_t pos : {size_t{9}, size_t{10}, line.size()})
      EXPECT_EQ(DecodeHexPayload(line, pos), reference(line, pos)) << line << " from " << pos;
  }
}

TEST(DecodeTest, Base64Payload) {
  struct Case {
    std::string payload;
    int64_t length;
    std::string want;
  } cases[] = {
      {"QQ==", 1, "A"},
      {"QUI=", 2, "AB"},
      {"QUJD", 3, "ABC"},
      {"QUJDRA==", 4, "ABCD"},
      {"QQ", 1, "A"},          // a short last group, no padding
      {"QUJD&x=1", 3, "ABC"},  // stops at the group holding "&"
      {"QUJDRE&=", 3, "ABC"},  // that group is dropped whole
      {"", 0, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DecodeBase64Payload("&data=" + c.payload, 6, c.length), c.want) << c.payload;
  // "=" and every code outside the alphabet weigh 63, like "/".
  EXPECT_EQ(Base64Value('='), 63);
  EXPECT_EQ(Base64Value('#'), 63);
  EXPECT_EQ(Base64Value('+'), 62);
  EXPECT_EQ(Base64Value('z'), 51);
}

TEST(DecodeTest, PayloadsMadeByOutsideTools) {
  SKIP_ON_WINDOWS("checked against base64 and xxd, Linux tools");
  for (size_t n : {1, 2, 3, 10, 10240, 10241, 10242}) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n));
    std::string b64 = Tool("base64 -w0", data);
    std::string hex = Tool("xxd -p | tr -d '\\n'", data);
    ASSERT_EQ(hex.size(), 2 * n);
    EXPECT_EQ(DecodeBase64Payload("x=1&data=" + b64, 9, static_cast<int64_t>(n)), data) << n;
    EXPECT_EQ(DecodeHexPayload("x=1&data=" + hex, 9), data) << n;
  }
}

TEST(DecodeTest, Brackets) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"[2E]spx", ".spx"},    {"a[2e]b[2F]c", "a.b/c"}, {"[00]spx", "[00]spx"},  // value 0
      {"[zz]spx", "[zz]spx"},                                                    // not hexadecimal
      {"[4G]x", "[4G]x"},     {"x[2E", "x[2E"},  // too close to the end
      {"x[2E)", "x[2E)"},                        // no "]" in place
      {"[[2E]]", "[.]"},      {"[FF]", "\xFF"},         {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeBrackets(c.in), c.want) << c.in;
}

TEST(DecodeTest, TextExtensions) {
  for (const char* e : {".txt", ".TXT", ".urg", ".HvEd"}) EXPECT_TRUE(hasAccentsToConvert(e)) << e;
  for (const char* e : {".doc", ".spx", "", "txt", ".txt2"})
    EXPECT_FALSE(hasAccentsToConvert(e)) << e;
}

TEST(DecodeTest, TextConversion) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {Bytes({0xC3, 0xA9, 0xC3, 0xA9, 0x0A}), Bytes({0xE9, 0xE9, 0x0D, 0x0A})},
      {"\r\n", "\r\n"},
      {"a\nb\n", "a\r\nb\r\n"},
      {Bytes({0xE2, 0x82, 0xAC}), Bytes({0x80})},  // euro sign
      {Bytes({0xE2, 0x84, 0xA2}), "?"},            // beyond Windows-1252's Latin-1 part
      {Bytes({0xA9}), Bytes({0xA9})},              // a lone continuation byte
      {Bytes({0xC3}), Bytes({0x03})},              // a lead byte at the very end
      {Bytes({0xC3, 0x41}), Bytes({0x03, 0x41})},  // ends at the first non-continuation
      {Bytes({0xF0, 0x9F, 0x98, 0x80}), "?"},
      // A run of continuation bytes too long for 32 bits gives "?", not a failure.
      {Bytes({0xF0, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF, 0x41}), "?A"},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertUtf8To1252(c.in), c.want);
}

TEST(DecodeTest, ConversionStateCarriesAcrossFeeds) {
  // The state of one payload spans every byte: a character cut between two feeds.
  TextConverter conv;
  std::string out;
  conv.Feed(0xC3, out);
  EXPECT_EQ(out, "");
  conv.Feed(0xA9, out);
  conv.Feed('\r', out);
  conv.Feed('\n', out);
  conv.Flush(out);
  EXPECT_EQ(out, Bytes({0xE9, 0x0D, 0x0A}));
}

TEST(DecodeTest, ConversionAgreesWithIconv) {
  SKIP_ON_WINDOWS("checked against iconv, a Linux tool");
  const std::string text =
      "Compte rendu : l'élève a reçu ses résultats, coût 12 €.\r\n"
      "À noter : « Noël », naïve, garçon, déjà vu.\r\n";
  EXPECT_EQ(ConvertUtf8To1252(text), Tool("iconv -f UTF-8 -t WINDOWS-1252", text));
  // Only the euro sign is taken from above 255: "œ" becomes "?", where iconv gives 0x9C.
  EXPECT_EQ(ConvertUtf8To1252("c\xC5\x93ur"), "c?ur");
}

}  // namespace
}  // namespace guichet
