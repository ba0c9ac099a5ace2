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
  Requete r;
  r.htmfile = Out("x.htm");
  r.command = "custom";
  r.logon = "tok";
  r.SetIdentified("u1");
  r.p = {"", "", "", ""};
  AppendCustom(g, r);
  EXPECT_EQ(ReadAll(Out("x.htm")),
            ErrorPage("R&eacute;pertoire&nbsp;'ModelesPortail'&nbsp;manquant"));
  EXPECT_TRUE(r.col.empty());
}

}  // namespace
}  // namespace guichet::test
