// The listing commands "attachments", "archives", "0" and "configuration" through the
// dispatcher, against a temporary site.
#include <filesystem>

#include "documents_test_util.h"
#include "exchange/documents.h"
#include "output/html.h"

namespace guichet::test {
namespace {

using AttachmentsTest = DocumentsTest;

TEST_F(AttachmentsTest, ListsTheServedKindsFromTheCacheAndGrantsThemOnce) {
  MakeDirs(Validation());
  WriteAll(Validation() + "/hvr_12.caf", "cafdata");
  WriteAll(Validation() + "/hvr_12.spx.old", "old");
  WriteAll(Validation() + "/hvr_12.PDF", "pdf");
  WriteAll(Validation() + "/hvr_120.txt", "other document");
  WriteAll(Validation() + "/hvr_12.notes jointes.txt", "notes");
  WriteAll(Validation() + "/hvr_12.spx", "speex");
  WriteAll(Validation() + "/hvr_12.id", "not served");

  const std::string cache = ToLower(Root()) + "/cache/";
  const std::string answer = Lines({
      "||command=attachments||",
      "hvr_12.caf|7|" + cache + "hvr_12.caf",
      "hvr_12.notes[20]jointes.txt|5|" + cache + "hvr_12.notes[20]jointes.txt",
      "hvr_12.pdf|3|" + cache + "hvr_12.pdf",
      "hvr_12.spx|5|" + cache + "hvr_12.spx",
  });
  const std::string rights = Lines({
      cache + "hvr_12.caf",
      cache + "hvr_12.notes[20]jointes.txt",
      cache + "hvr_12.pdf",
      cache + "hvr_12.spx",
  });
  EXPECT_EQ(Ask("attachments", " 12 "), answer);
  EXPECT_EQ(Marker(), "5\r\n");
  EXPECT_EQ(Count(), "1");
  EXPECT_EQ(ReadAll(site.spool() + "/cache/hvr_12.PDF"), "pdf");
  EXPECT_EQ(ReadAll(Rights()), rights);

  // Asked again: the same answer, no entry granted twice.
  EXPECT_EQ(Ask("attachments", "12"), answer);
  EXPECT_EQ(ReadAll(Rights()), rights);
}

TEST_F(AttachmentsTest, MissingFolderGivesTheHeaderAloneAndBadNumbersTouchNothing) {
  EXPECT_EQ(Ask("attachments", "12"), "||command=attachments||\r\n");
  EXPECT_EQ(Marker(), "1\r\n");
  EXPECT_TRUE(Exists(Rights()));  // the list is still opened (and so made)

  std::filesystem::remove_all(site.spool() + "/rights");
  MakeDirs(site.tasks() + "/Validations");
  WriteAll(site.tasks() + "/Validations/hvr_1.txt", "outside the user's folder");
  for (const char* bad : {"../hvr_1", "", "a b", "*", "1|2"}) {
    EXPECT_EQ(Ask("attachments", bad), "||command=attachments||\r\n") << bad;
    EXPECT_EQ(Marker(), "1\r\n") << bad;
  }
  EXPECT_FALSE(Exists(site.spool() + "/rights"));
  EXPECT_FALSE(Exists(site.spool() + "/cache/hvr_1.txt"));
}

using ArchivesTest = DocumentsTest;

TEST_F(ArchivesTest, ListsTheArchiveEncodedAndGrantsBothFiles) {
  MakeDirs(Validation());
  WriteAll(Validation() + "/hvr_12.id", W("Dupont Jérôme\r\n"));
  const std::string folder = site.root() + W("/Archives/Dupont Jérôme");
  MakeDirs(folder);
  WriteAll(folder + "/lettre 1.info", W("Désignation=Lettre & suite\r\nDateDoc=2026-12-01\r\n"));
  WriteAll(folder + "/lettre 1.pdf", "%PDF");
  SetMtime(folder + "/lettre 1.pdf", ToUnixLocal({2026, 12, 1, 9, 30, 0}));

  const std::string cached = Root() + "/cache/20261201093000_lettre[20]1";
  const int64_t info_len = static_cast<int64_t>(ReadAll(folder + "/lettre 1.info").size());
  EXPECT_EQ(Ask("archives", "12"),
            Lines({"||command=archives||",
                   cached + "|pdf|4|" + Dec(info_len) + "|Lettre&nbsp;&amp;&nbsp;suite"}));
  EXPECT_EQ(Marker(), "2\r\n");
  EXPECT_EQ(ReadAll(Rights()), Lines({cached + ".info", cached + ".pdf"}));
  EXPECT_EQ(ReadAll(site.spool() + "/cache/20261201093000_lettre 1.pdf"), "%PDF");
}

TEST_F(ArchivesTest, MessageLinesForMissingAndEmptyArchives) {
  struct Case {
    std::string second, id_line;
    bool make_folder;
    std::string message;
  } cases[] = {
      {"12", "", false, "(Dossier inexistant)||||"},        // empty first line
      {"13", "-", false, "(Dossier inexistant)||||"},       // no ".id" file
      {"12", "Martin", false, "(Dossier inexistant)||||"},  // no archive folder
      {"12", "Martin", true, "(Dossier vide)||||"},
      {"../12", "Martin", true, "(Dossier inexistant)||||"},
  };
  MakeDirs(Validation());
  for (const Case& c : cases) {
    WriteAll(Validation() + "/hvr_12.id", c.id_line + "\r\n");
    if (c.make_folder) MakeDirs(site.root() + "/Archives/" + c.id_line);
    EXPECT_EQ(Ask("archives", c.second), Lines({"||command=archives||", c.message}))
        << c.second << " " << c.id_line;
    EXPECT_EQ(Marker(), "1\r\n");
  }
  EXPECT_FALSE(Exists(Rights()));  // nothing listed, nothing granted
}

using RightsTest = DocumentsTest;

// Every "attachments" and "archives" drops a stale rights list of the session, also when
// it lists nothing or refuses the number; only a listing that grants writes a list.
TEST_F(RightsTest, StaleListIsDroppedByEveryListingThatGrantsNothing) {
  MakeDirs(Validation());
  WriteAll(Validation() + "/hvr_12.id", "Martin\r\n");
  MakeDirs(site.root() + "/Archives/Martin");  // an empty archive
  const int64_t now = ToUnixLocal(g.env.Now());
  struct Case {
    std::string command, second;
    bool made;  // an empty list is made (a valid "attachments" opens the list)
  } cases[] = {
      {"attachments", "../1", false}, {"attachments", "a b", false}, {"attachments", "12", true},
      {"archives", "12", false},      {"archives", "13", false},     {"archives", "../12", false},
  };
  for (const Case& c : cases) {
    MakeDirs(site.spool() + "/rights");
    WriteAll(Rights(), "old/granted.pdf\r\n");
    SetMtime(Rights(), now - 25 * 3600);
    Ask(c.command, c.second);
    if (c.made)
      EXPECT_EQ(ReadAll(Rights()), "") << c.command << " " << c.second;
    else
      EXPECT_FALSE(Exists(Rights())) << c.command << " " << c.second;

    // A list changed 23 hours ago is still the session's.
    WriteAll(Rights(), "old/granted.pdf\r\n");
    SetMtime(Rights(), now - 23 * 3600);
    Ask(c.command, c.second);
    EXPECT_EQ(ReadAll(Rights()), "old/granted.pdf\r\n") << c.command << " " << c.second;
  }
}

using AgendaCommandTest = DocumentsTest;

TEST_F(AgendaCommandTest, NumberedOrUserAgendaEncodedInFiveFields) {
  MakeDirs(site.root() + "/Agendas/7");
  MakeDirs(site.root() + "/Agendas/u1");
  WriteAll(site.root() + "/Agendas/7/2026-12-07.txt", W("09:30 Consultation contrôle\r\n"));
  WriteAll(site.root() + "/Agendas/u1/2026-12-07.txt", W("Fermé\r\n"));
  EXPECT_EQ(Ask("0", "7", "07/12/2026"),
            Lines({"||command=0||", "7|:||0|", "Consultation|contr&ocirc;le|09:30|0|"}));
  EXPECT_EQ(Marker(), "3\r\n");
  EXPECT_EQ(Ask("0", "abc", ""), Lines({"||command=0||", "u1|:||0|", "|Ferm&eacute;||0|"}));
  EXPECT_EQ(Ask("0", "7", "31/02/2026"),
            Lines({"||command=0||", "(Date&nbsp;'31/02/2026'&nbsp;non&nbsp;valide)||||"}));
  EXPECT_EQ(Ask("0", "8", "07/12/2026"), Lines({"||command=0||", "(Agenda&nbsp;inexistant)||||"}));
  EXPECT_EQ(Marker(), "2\r\n");
  // An agenda name that would leave the agendas folder is an agenda that does not exist.
  EXPECT_EQ(Ask("0", "7", "07/12/2026 (../Agendas/7)"),
            Lines({"||command=0||", "(Agenda&nbsp;inexistant)||||"}));
  EXPECT_EQ(Count(), "5");
}

using ConfigurationTest = DocumentsTest;

TEST_F(ConfigurationTest, FixedRowsThenTheCataloguesWhenBothExist) {
  const std::string fixed = Lines({
      "||command=configuration||",
      "B1=Today&nbsp;/&nbsp;Aujourd'hui",
      "B2=All&nbsp;/&nbsp;Tout",
      "B3=Unused&nbsp;/&nbsp;Inutilis&eacute;",
      "B4=Unused&nbsp;/&nbsp;Inutilis&eacute;",
      "Folder=" + Asc2Htm(g.env.HostName()),
      "ExtensionPhoto=halvero",
      "CreationIdTypeDoc=sql",
      "Restart=1",
      "Fail=-301",
  });
  EXPECT_EQ(Ask("configuration"), fixed);
  EXPECT_EQ(Marker(), "10\r\n");
  EXPECT_TRUE(Exists(site.templates()));

  WriteAll(site.templates() + "/Services.txt", "1|Cardio\r\n;2|hidden\r\nno bar\r\n");
  EXPECT_EQ(Ask("configuration"), fixed);  // the type list is missing
  WriteAll(site.templates() + "/TypeDocs.txt", "1|CR|Compte rendu|Courrier\r\n");
  EXPECT_EQ(Ask("configuration"),
            fixed + Lines({"-End-", "||command=7||", "1|Cardio", "-End-", "||command=8||",
                           "1|CR|Compte&nbsp;rendu|Courrier", "-End-"}));
  EXPECT_EQ(Marker(), "17\r\n");
  // Exact letter case of the command word.
  EXPECT_EQ(Ask("Configuration"), ErrorPage("Commande&nbsp;non&nbsp;reconnue"));
}

}  // namespace
}  // namespace guichet::test
