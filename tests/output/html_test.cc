#include "output/html.h"

#include <gtest/gtest.h>

#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

TEST(Html, Asc2HtmEncodes) {
  EXPECT_EQ(Asc2Htm("A & B"), "A&nbsp;&amp;&nbsp;B");
  EXPECT_EQ(Asc2Htm(W("l'été")), "l'&eacute;t&eacute;");
  EXPECT_EQ(Asc2Htm("a<b>"), "a&lt;b&gt;");
  EXPECT_EQ(Asc2Htm("a\tb\r\nc\x7F"), "abc");
  EXPECT_EQ(Asc2Htm("||command=archives||"), "||command=archives||");
  EXPECT_EQ(Asc2Htm("\x80\x81\xA0\xD7\xF7\xFF`\""),
            "&euro;&nbsp;&times;&divide;&yuml;&grave;&quot;");
  // No 16-bit limit on the length.
  EXPECT_EQ(Asc2Htm(std::string(100000, 'x')).size(), 100000u);
}

TEST(Html, EntityTableIsBuiltOnce) {
  InitEntites();
  InitEntites();
  EXPECT_EQ(EntityCount(), 129);
}

TEST(Html, NbspSiVide) {
  EXPECT_EQ(NbspSiVide(""), "&nbsp;");
  EXPECT_EQ(NbspSiVide(" 01&nbsp;janv&nbsp;1900 "), "&nbsp;");
  EXPECT_EQ(NbspSiVide("0"), "0");
}

TEST(Html, WritersProduceExactBytes) {
  test::TempDir dir;
  Env& env = *Env::Default();
  std::string f = dir.path() + "/x.htm";
  test::WriteAll(f, "old content that must go away");
  PrintBodyErr(env, f, "Commande non reconnue");
  EXPECT_EQ(test::ReadAll(f),
            "<html>\r\n<head>\r\n<title>\r\nErreur\r\n</title>\r\n</head>\r\n<body>\r\n"
            "<DD>Commande&nbsp;non&nbsp;reconnue</DD>\r\n</body>\r\n</html>\r\n");

  std::string top;
  PrintBodyTop(top, "");
  EXPECT_EQ(top, "<html>\r\n<body>\r\n");

  PrintAsc2HtmTrimCol(env, f, {"  x  ", "y"});
  EXPECT_EQ(test::ReadAll(f), "x\r\ny\r\n");
  AppendAsc2HtmTrimCol(env, f, {"z z"});
  AppendString(env, f, "<raw & line>");
  EXPECT_EQ(test::ReadAll(f), "x\r\ny\r\nz&nbsp;z\r\n<raw & line>\r\n");
  PrintAsc2HtmTrimCol(env, f, {});
  EXPECT_EQ(test::ReadAll(f), "");

  EXPECT_THROW(PrintBodyErr(env, dir.path() + "/missing/x.htm", "e"), Failure);
}

}  // namespace
}  // namespace guichet
