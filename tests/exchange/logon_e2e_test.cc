// Log-on against the real executable: log on through request files, use the token,
// restart Guichet and use the token again, log out, restart, and find the token gone.
#include <gtest/gtest.h>

#include <regex>

#include "support_lib/site.h"

namespace guichet {
namespace {

using test::ReadAll;
using test::RunningGuichet;
using test::WriteAll;

std::vector<std::string> Req(const std::string& token, const std::string& command,
                             const std::string& field = "", const std::string& password = "") {
  return {"/portail.hv", token, command, "", field, password};
}

TEST(LogonE2ETest, TokenSurvivesRestartUntilLogout) {
  RunningGuichet gu;
  WriteAll(gu.app() + "/guichet_users.txt", "; demo\r\nanna:dictee=anna\r\n");
  test::MakeDirs(gu.app() + "/ModelesPortail");
  WriteAll(gu.app() + "/ModelesPortail/login.txt", "<p>login [reponse_au_login]</p>\r\n");
  WriteAll(gu.app() + "/ModelesPortail/menu.txt",
           "; menu\r\n<p>token=[logon] [idutilisateur]</p>\r\n");
  gu.Start();

  std::string marker;
  std::string page = gu.Ask("a1", Req("", "login", "anna", "wrong"), &marker);
  EXPECT_EQ(page, "<p>login Utilisateur&nbsp;non&nbsp;reconnu</p>\r\n");
  EXPECT_EQ(marker, "0\r\n");

  page = gu.Ask("a2", Req("", "login", "anna", "dictee"), &marker);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(page, m, std::regex("<p>token=([0-9a-f]{32}) anna</p>\r\n")))
      << page;
  const std::string token = m[1];
  EXPECT_EQ(marker, "0\r\n");
  EXPECT_NE(ReadAll(gu.app() + "/guichet_lastlogons.txt").find(token + ";anna;"),
            std::string::npos);

  // The token opens the session: "menu" is no command, an unknown token a syntax error.
  const std::string known = "Commande&nbsp;non&nbsp;reconnue";
  const std::string unknown = "Erreur&nbsp;de&nbsp;syntaxe&nbsp;()";
  EXPECT_NE(gu.Ask("a3", Req(token, "menu")).find(known), std::string::npos);
  EXPECT_NE(gu.Ask("a4", Req(token + "0", "menu")).find(unknown), std::string::npos);

  // getlogon answers with a token as data.
  std::string rows = gu.Ask("a5", Req("", "getlogon", "anna", "dictee"), &marker);
  EXPECT_TRUE(
      std::regex_match(rows, std::regex("\\|\\|command=getlogon\\|\\|\r\n[0-9a-f]{32}\r\n")))
      << rows;
  EXPECT_EQ(marker, "2\r\n");

  // Restart: the session comes back from the last-logon file.
  gu.Stop();
  gu.Start();
  EXPECT_NE(gu.Ask("b1", Req(token, "menu")).find(known), std::string::npos);

  page = gu.Ask("b2", Req(token, "logout"), &marker);
  EXPECT_EQ(page, "<p>login &nbsp;</p>\r\n");
  EXPECT_EQ(marker, "0\r\n");
  EXPECT_NE(gu.Ask("b3", Req(token, "menu")).find(unknown), std::string::npos);

  // The logout was saved: the token stays closed after another restart.
  gu.Stop();
  gu.Start();
  EXPECT_NE(gu.Ask("c1", Req(token, "menu")).find(unknown), std::string::npos);
  EXPECT_EQ(ReadAll(gu.app() + "/guichet_lastlogons.txt").find(token), std::string::npos);
}

}  // namespace
}  // namespace guichet
