// "login", "getlogon" and "logout" through TraiteRequete on real request files: the
// identification by name, device key and password, the session it opens, the pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/request.h"
#include "exchange/dispatch.h"
#include "exchange/logon.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;
using test::WriteAll;

const char kKeyAnna[] = "0a1b2c3d4e5f60718293a4b5c6d7e8f901234567";
const char kKeyBob[] = "ffeeddccbbaa99887766554433221100abcdef01";

// What a client does to a stored 40-character key before sending it: the inverse
// permutation of the digits, reversed, between two fillers of four characters.
std::string Scramble(const std::string& key) {
  const std::string from = "0123456789abcdef", to = "b2907e5c3a18f6d4";
  std::string mid;
  for (char c : key) {
    size_t i = from.find(static_cast<char>(Lower1252(c)));
    mid += i == std::string::npos ? c : to[i];
  }
  std::reverse(mid.begin(), mid.end());
  return "Zq9!" + mid + "#7xY";
}

TEST(DeviceKeyTest, DecodeUndoesTheClientScramble) {
  for (std::string key : {std::string(kKeyAnna), std::string(kKeyBob)}) {
    std::string sent = Scramble(key);
    ASSERT_EQ(sent.size(), 48u);
    EXPECT_EQ(DecodeCleAppareil(sent), key);
    EXPECT_EQ(DecodeCleAppareil(ToUpper(sent)), key);  // digits a-f in either case
  }
  // The example that client writers are given.
  EXPECT_EQ(DecodeCleAppareil("xxxxc5e7092ba43dc65fe8710a932cb54ed760f9821bxxxx"), kKeyAnna);
  // Other characters pass unchanged; digits come out in lower case.
  EXPECT_EQ(DecodeCleAppareil(Scramble("0123456789abcdef-GHIJKLMNOP_0123456789AB")),
            "0123456789abcdef-GHIJKLMNOP_0123456789ab");
  // Every digit maps to a different digit: the table is a permutation.
  std::string digits = "0123456789abcdef";
  std::string all = DecodeCleAppareil("xxxx" + digits + digits + digits.substr(0, 8) + "yyyy");
  std::string once = all.substr(all.size() - 16);
  std::sort(once.begin(), once.end());
  EXPECT_EQ(once, digits);
}

class LogonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteAll(site.app() + "/guichet_users.txt",
             "; users\r\n"
             "anna:secret=U1\r\n"
             "bob:pw2=U2\r\n" +
                 std::string(kKeyAnna) + "=U1\r\n" + kKeyBob + "=U2\r\nshortkey10=U3\r\n");
    test::MakeDirs(site.spool() + "/out");
    test::MakeDirs(site.app() + "/ModelesPortail");
    WriteAll(site.app() + "/ModelesPortail/login.txt",
             "; log-on page\r\nLOGIN [logon]|[reponse_au_login]|[idutilisateur]\r\n");
    WriteAll(site.app() + "/ModelesPortail/menu.txt",
             "MENU [LOGON]|[reponse_au_login]|[idutilisateur]|[nomservice]|[p2]\r\n");
    std::filesystem::copy_file(test::NativePath(test::BinaryDir() + "/" + test::CodecLibraryName()),
                               test::NativePath(site.app() + "/" + test::CodecLibraryName()));
  }

  // Runs one request and returns its answer; `marker` gets the ready marker.
  std::string Run(const std::string& token, const std::string& command, const std::string& field,
                  const std::string& password, std::string* marker = nullptr) {
    std::string name = "r" + std::to_string(++n_) + ".req";
    site.Request(name, {"/portail.hv", token, command, "", field, password});
    EXPECT_TRUE(TraiteRequete(*site.g, name));
    std::string out = site.spool() + "/out/r" + std::to_string(n_);
    if (marker) *marker = ReadAll(out + ".rdy");
    return ReadAll(out + ".htm");
  }

  std::string Token() const {
    return site.g->Sessions.empty() ? "" : site.g->Sessions.entries().back().jeton;
  }
  std::string LastLogons() { return ReadAll(site.app() + "/guichet_lastlogons.txt"); }

  test::TestSite site;
  int n_ = 0;
};

TEST_F(LogonTest, LoginOpensSessionShowsMenuAndSaves) {
  std::string marker;
  std::string page = Run("ignored", "login", "anna", "secret", &marker);
  ASSERT_EQ(site.g->Sessions.size(), 1u);
  const SessionEntry& e = site.g->Sessions.entries().front();
  EXPECT_EQ(e.jeton.size(), 32u);
  EXPECT_EQ(e.idUtilisateur, "U1");
  EXPECT_EQ(e.expiration, "08/12/2026 10:00");
  EXPECT_EQ(page, "MENU " + e.jeton + "|&nbsp;|U1|(Aucun)|anna\r\n");
  EXPECT_EQ(marker, "0\r\n");
  EXPECT_EQ(LastLogons(), e.jeton + ";U1;08/12/2026 10:00\r\n");
  EXPECT_EQ(site.g->GetLabel(Label::kCompte), "1");

  // A second log-on in the same second gets another token; both stay valid.
  Run("", "login", "anna", "secret");
  ASSERT_EQ(site.g->Sessions.size(), 2u);
  EXPECT_NE(Token(), e.jeton);
  // The first token still opens its session: "menu" is no command, but no syntax error.
  EXPECT_NE(Run(e.jeton, "menu", "", "").find("Commande&nbsp;non&nbsp;reconnue"),
            std::string::npos);
}

TEST_F(LogonTest, FailedIdentifications) {
  struct Case {
    std::string field, password;
  } cases[] = {
      {"anna", "Secret"},                               // password case
      {"Anna", "secret"},                               // name case
      {"anna", ""},                                     //
      {"nobody", "secret"},                             //
      {"", ""},                                         //
      {"anna__UUID__" + Scramble(kKeyAnna), "wrong"},   // a name still needs its password
      {"__UUID__" + Scramble(kKeyAnna).substr(1), ""},  // 47 characters: not decoded
      {"__UUID__" + std::string(kKeyAnna) + "0", ""},   // unknown raw key
  };
  for (const Case& c : cases) {
    std::string marker;
    EXPECT_EQ(Run("", "login", c.field, c.password, &marker),
              "LOGIN |Utilisateur&nbsp;non&nbsp;reconnu|\r\n")
        << c.field;
    EXPECT_EQ(marker, "0\r\n");
    EXPECT_EQ(Run("", "getlogon", c.field, c.password, &marker),
              "||command=getlogon||\r\n(Utilisateur&nbsp;non&nbsp;reconnu)\r\n")
        << c.field;
    EXPECT_EQ(marker, "2\r\n");
  }
  EXPECT_TRUE(site.g->Sessions.empty());
  EXPECT_FALSE(Exists(site.app() + "/guichet_lastlogons.txt"));
  EXPECT_TRUE(site.view.messages.empty());
}

TEST_F(LogonTest, DeviceKeysAndGetlogon) {
  struct Case {
    std::string field, password, id;
  } cases[] = {
      {"__UUID__" + Scramble(kKeyAnna), "", "U1"},           // key alone: no password
      {"__UUID__" + ToUpper(Scramble(kKeyBob)), "x", "U2"},  // either case
      {"__UUID__shortkey10", "", "U3"},                      // used as sent
      {"__UUID__short__UUID__key10", "", "U3"},              // every marker removed
      {"bob__UUID__" + Scramble(kKeyAnna), "pw2", "U2"},     // name found first
      {"anna__UUID__" + Scramble(kKeyAnna), "secret", "U1"},
  };
  for (const Case& c : cases) {
    std::string marker;
    std::string answer = Run("", "getlogon", c.field, c.password, &marker);
    ASSERT_FALSE(site.g->Sessions.empty()) << c.field;
    EXPECT_EQ(site.g->Sessions.entries().back().idUtilisateur, c.id) << c.field;
    EXPECT_EQ(answer, "||command=getlogon||\r\n" + Token() + "\r\n") << c.field;
    EXPECT_EQ(marker, "2\r\n");
  }
  EXPECT_EQ(site.g->Sessions.size(), std::size(cases));
}

TEST_F(LogonTest, NoTokenNoSession) {
  std::filesystem::remove(test::NativePath(site.app() + "/" + test::CodecLibraryName()));
  EXPECT_EQ(Run("", "login", "anna", "secret"), "LOGIN |Utilisateur&nbsp;non&nbsp;reconnu|\r\n");
  EXPECT_EQ(Run("", "getlogon", "anna", "secret"),
            "||command=getlogon||\r\n(Utilisateur&nbsp;non&nbsp;reconnu)\r\n");
  EXPECT_TRUE(site.g->Sessions.empty());
  EXPECT_NE(site.DayLog().find("CalculateMD5 : Erreur Radiveve"), std::string::npos);
}

TEST_F(LogonTest, LogoutRemovesEveryEntryOfTheTokenAndSaves) {
  Run("", "login", "anna", "secret");
  const std::string mine = Token();
  Run("", "login", "bob", "pw2");
  const std::string other = Token();
  site.g->Sessions.Append(mine, "U1", "08/12/2026 11:00");
  ASSERT_EQ(site.g->Sessions.size(), 3u);

  std::string marker;
  EXPECT_EQ(Run(mine, "logout", "", "", &marker), "LOGIN |&nbsp;|U1\r\n");
  EXPECT_EQ(marker, "0\r\n");
  ASSERT_EQ(site.g->Sessions.size(), 1u);
  EXPECT_EQ(Token(), other);
  EXPECT_EQ(LastLogons(), other + ";U2;08/12/2026 10:00\r\n");
  EXPECT_NE(Run(mine, "logout", "", "").find("Erreur&nbsp;de&nbsp;syntaxe&nbsp;()"),
            std::string::npos);
}

TEST_F(LogonTest, MissingTemplateKeepsSessionNotCounted) {
  std::filesystem::remove(site.app() + "/ModelesPortail/menu.txt");
  std::string marker;
  EXPECT_NE(Run("", "login", "anna", "secret", &marker).find("Erreur&nbsp;de&nbsp;configuration"),
            std::string::npos);
  EXPECT_EQ(marker, "0\r\n");
  EXPECT_EQ(site.g->Sessions.size(), 1u);
  EXPECT_EQ(site.g->GetLabel(Label::kCompte), "");
  // getlogon needs no template and is counted.
  Run("", "getlogon", "anna", "secret");
  EXPECT_EQ(site.g->GetLabel(Label::kCompte), "1");
}

TEST_F(LogonTest, OtherCommandsAreNotIdentifiedByLogon) {
  Requete r;
  r.command = "Login";
  EXPECT_FALSE(IdentifieParLogon(*site.g, r));
  r.command = "logout";
  EXPECT_FALSE(IdentifieParLogon(*site.g, r));
  EXPECT_TRUE(site.g->Sessions.empty());
}

}  // namespace
}  // namespace guichet
