// The template renderer: every placeholder, the date placeholders, comments, and the
// error pages of a missing template folder or file.
#include <gtest/gtest.h>

#include "core/request.h"
#include "output/template.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::ReadAll;
using test::TestSite;
using test::WriteAll;

DateTime Now() {
  DateTime t;
  t.year = 2026, t.month = 12, t.day = 7, t.hour = 9, t.minute = 5, t.second = 4;
  return t;
}

Requete Identified() {
  Requete r;
  r.logon = "0123abcd";
  r.p = SplitValues("first", "two<b>", "07/12/2026|abc|8/3/2025 14:30||31/02/2026");
  r.SetIdentified("U1");
  r.baliselogo = "<img>";
  return r;
}

TEST(TemplateTest, Placeholders) {
  const Requete id = Identified();
  Requete anon;
  anon.p = SplitValues("", "", "");
  anon.reponse_au_login = "Utilisateur non reconnu";
  struct Case {
    const Requete* r;
    std::string line, want;
  } cases[] = {
      {&id, "tok=[logon] [LOGON] [Logon]", "tok=0123abcd 0123abcd 0123abcd"},
      {&id, "[reponse_au_login]", "&nbsp;"},
      {&anon, "[reponse_au_login]", "Utilisateur&nbsp;non&nbsp;reconnu"},
      {&anon, "[logon]|[idutilisateur]|[idservice]|[suffixe_1svc]", "|||"},
      {&id, "[IDUTILISATEUR]/[idservice]", "U1/0"},
      {&id, "[nomutilisateur]/[nomservice]", "&nbsp;/(Aucun)"},
      {&anon, "[nomutilisateur]/[nomservice]", "?/&nbsp;"},
      {&id, "a[suffixe_1svc]b[status]c[STATUS]", "abc"},
      {&id, "[baliselogo][BaliseLogo]", "<img>[BaliseLogo]"},
      {&id, "[p1] [p0]", "[p1] [p0]"},
      {&id, "[p2]", "two&lt;b&gt;"},
      {&anon, "[p2]", "&nbsp;"},
      {&id, "[p3]-[p4]-[p6]-[p8]", "07/12/2026-abc-&nbsp;-[p8]"},
      {&id, "[now] / [now2] / [today]", "07/12/2026 09:05 / 07/12/2026 09:05:04 / 07/12/2026"},
      {&id, "[datep3] [dateminp3] [datemaxp3] [timep3]",
       "07/12/2026 07/12/2026 00:00 07/12/2026 23:59 07/12/2026 00:00"},
      {&id, "[datep5] [dateminp5] [datemaxp5] [timep5]",
       "08/03/2025 08/03/2025 00:00 08/03/2025 23:59 08/03/2025 14:30"},
      {&id, "[dateminp4] [datemaxp4] [datep4] [timep4]",
       "01/01/1900 01/01/9999 07/12/2026 07/12/2026 09:05"},
      {&id, "[DATEMINP7] [datemaxp7]", "01/01/1900 01/01/9999"},  // 31/02 is no date
      {&id, "[datep2] [timep1]", "07/12/2026 [timep1]"},
      {&id, "no placeholder [x]", "no placeholder [x]"},
  };
  for (const Case& c : cases) EXPECT_EQ(RemplitLigne(c.line, *c.r, Now()), c.want) << c.line;
}

TEST(TemplateTest, PrintSkipsCommentsAndCounts) {
  TestSite site;
  site.env.SetNow(Now());
  test::MakeDirs(site.app() + "/ModelesPortail");
  WriteAll(site.app() + "/ModelesPortail/Menu.TXT",
           "; comment [logon]\r\n<p>[logon]</p>\r\n\r\n ; not a comment\r[today]\n");
  Requete r = Identified();
  r.htmfile = site.spool() + "/a.htm";
  ASSERT_TRUE(PrintModele(*site.g, r, "menu"));
  EXPECT_EQ(ReadAll(r.htmfile), "<p>0123abcd</p>\r\n\r\n ; not a comment\r\n07/12/2026\r\n");
  EXPECT_EQ(site.g->GetLabel(Label::kCompte), "1");
}

TEST(TemplateTest, MissingFolderOrFileGivesErrorPageNotCounted) {
  TestSite site;
  Requete r = Identified();
  r.htmfile = site.spool() + "/a.htm";
  EXPECT_FALSE(PrintModele(*site.g, r, "login"));
  EXPECT_NE(ReadAll(r.htmfile).find("R&eacute;pertoire&nbsp;'ModelesPortail'&nbsp;manquant"),
            std::string::npos);
  test::MakeDirs(site.app() + "/ModelesPortail");
  EXPECT_FALSE(PrintModele(*site.g, r, "login"));
  EXPECT_NE(ReadAll(r.htmfile).find("Erreur&nbsp;de&nbsp;configuration"), std::string::npos);
  EXPECT_EQ(site.g->GetLabel(Label::kCompte), "");
}

}  // namespace
}  // namespace guichet
