// The custom-page entry through the dispatcher and directly.
#include "output/custom.h"

#include "../exchange/documents_test_util.h"

namespace guichet::test {
namespace {

using CustomTest = DocumentsTest;

TEST_F(CustomTest, EveryCustomCommandGetsTheMissingTemplateFolderPage) {
  const std::string page = ErrorPage("R&eacute;pertoire&nbsp;'ModelesPortail'&nbsp;manquant");
  MakeDirs(site.app() + "/ModelesPortail");  // the same answer whether it exists or not
  for (const char* command : {"custom", "customers", "custom page|x"}) {
    WriteAll(Out("r.htm"), "earlier answer that must go\r\n");
    EXPECT_EQ(Ask(command), page) << command;
    EXPECT_EQ(Marker(), "0\r\n");
  }
  EXPECT_EQ(Count(), "");  // custom pages are not counted
  EXPECT_EQ(Ask("Custom"), ErrorPage("Commande&nbsp;non&nbsp;reconnue"));
}

TEST_F(CustomTest, AppendCustomReplacesTheFileToo) {
  WriteAll(Out("x.htm"), "old\r\n");
  std::vector<std::string> col;
  AppendCustom(g, Out("x.htm"), "custom", "", "tok", "u1", "", "0", "(Aucun)", "", "", "", "", "",
               {"", "", "", ""}, col);
  EXPECT_EQ(ReadAll(Out("x.htm")),
            ErrorPage("R&eacute;pertoire&nbsp;'ModelesPortail'&nbsp;manquant"));
  EXPECT_TRUE(col.empty());
}

}  // namespace
}  // namespace guichet::test
