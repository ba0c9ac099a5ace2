#include <gtest/gtest.h>

#include <string>

#include "support/text.h"

namespace guichet {
namespace {

// Every byte of Windows-1252 becomes one UTF-16 unit and comes back unchanged: the wide
// names of the Windows calls lose nothing of the site's names.
TEST(Utf16, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::u16string wide = ToUtf16(all);
  ASSERT_EQ(wide.size(), all.size());
  std::string back;
  ASSERT_TRUE(FromUtf16(wide, &back));
  EXPECT_EQ(back, all);
}

TEST(Utf16, HighBytesTakeTheirUnicodeCharacters) {
  EXPECT_EQ(ToUtf16("\x80"), u"\u20AC");            // euro sign
  EXPECT_EQ(ToUtf16("\x8C\x9C"), u"\u0152\u0153");  // OE ligatures
  EXPECT_EQ(ToUtf16("\x9F"), u"\u0178");            // Y with diaeresis
  EXPECT_EQ(ToUtf16("Fran\xE7ois.txt"), u"Fran\u00E7ois.txt");
  EXPECT_EQ(ToUtf16("\x81\x8D"), u"\u0081\u008D");  // unused bytes: C1 controls
  EXPECT_EQ(ToUtf16(""), u"");
  // Agrees with the UTF-8 conversion on the same text.
  std::string back;
  ASSERT_TRUE(FromUtf16(u"\u20AC \u2122 \u00FF", &back));
  EXPECT_EQ(back, FromUtf8("\u20AC \u2122 \u00FF"));
}

// A name Windows-1252 cannot write is refused whole, never turned into "?" or a
// look-alike that could name another file; the output is left as it was.
TEST(Utf16, CharactersOutsideWindows1252AreRefused) {
  std::string out = "kept";
  EXPECT_FALSE(FromUtf16(u"\u0141odz.txt", &out));              // L with stroke
  EXPECT_FALSE(FromUtf16(u"a\u00A0\u4E2D", &out));              // CJK after valid text
  EXPECT_FALSE(FromUtf16(u"x\xD83D\xDE00", &out));              // a surrogate pair
  EXPECT_FALSE(FromUtf16(std::u16string(1, u'\xDC00'), &out));  // a lone surrogate
  EXPECT_FALSE(FromUtf16(u"\u0080", &out));                     // C1 80 is the euro's byte
  EXPECT_EQ(out, "kept");
}

}  // namespace
}  // namespace guichet
