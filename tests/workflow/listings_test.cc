// The archive, agenda and rights listings against a temporary site.
#include "workflow/listings.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/records.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::MakeDirs;
using test::ReadAll;
using test::SetMtime;
using test::WriteAll;

class ListingsTest : public ::testing::Test {
 protected:
  test::TestSite site;
  Guichet& g = *site.g;
  std::vector<std::string> col;

  std::string Archives() { return g.TasksFolder + "/../Archives"; }
  std::string Cache() { return g.CurrentSpoolRoot + "/cache"; }
  std::string Validation() { return site.tasks() + "/Validations/u1"; }
  int64_t Unix(const DateTime& t) { return ToUnixLocal(t); }
  int64_t Ago(int64_t seconds) { return Unix(site.env.Now().AddSeconds(-seconds)); }

  // Document 12 of user u1 names the archive folder `name`.
  void NameArchive(const std::string& line) {
    MakeDirs(Validation());
    WriteAll(Validation() + "/hvr_12.id", line + "\r\n");
  }
  // An archived document: X.info with the title and date, plus companions.
  void Archive(const std::string& x, const std::string& title, const std::string& date,
               const std::vector<std::string>& companions) {
    WriteAll(x + ".info", W("Désignation=") + title + "\r\nDateDoc=" + date + "\r\n");
    for (const auto& ext : companions) WriteAll(x + "." + ext, "doc-" + ext);
  }
};

TEST_F(ListingsTest, ArchiveExtensionFollowsThePreferenceOrder) {
  struct Case {
    std::vector<std::string> companions;
    std::string expected;  // "" = not listed
  } cases[] = {
      {{"pdf", "txt"}, "pdf"}, {{"txt", "wav"}, "wav"}, {{"doc", "txt"}, "txt"},
      {{"doc"}, "doc"},        {{"DOC", "rtf"}, "rtf"}, {{}, ""},
  };
  NameArchive("Dupont");
  const std::string folder = Archives() + "/Dupont";
  for (const Case& c : cases) {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    MakeDirs(folder);
    Archive(folder + "/a", "T", "2026-12-01", c.companions);
    col.clear();
    EXPECT_FALSE(ListeArchives(g, col, "12", "u1"));
    if (c.expected.empty()) {
      EXPECT_TRUE(col.empty()) << c.companions.size();
    } else {
      ASSERT_EQ(col.size(), 1u) << c.expected;
      EXPECT_EQ(Extract2(col[0], 2), c.expected);
    }
  }
}

TEST_F(ListingsTest, ArchiveIsListedNewestFirstWithLengthsTitlesAndCacheCopies) {
  NameArchive("Dupont Jean");
  const std::string folder = Archives() + "/Dupont Jean";
  MakeDirs(folder + "/2026/11");
  Archive(folder + "/b", "Lettre|suite", "2026-11-30", {"pdf"});
  Archive(folder + "/2026/11/a", "Compte rendu", "2026-12-07", {"txt"});
  Archive(folder + "/c", "Same date, met later", "2026-11-30", {"wav"});
  // Invalid date lines: not 10 characters, or after nothing usable.
  WriteAll(folder + "/d.info", "DateDoc=2026-12-7\r\n");
  WriteAll(folder + "/d.pdf", "x");
  // A title after the date is not seen.
  WriteAll(folder + "/e.info", W("DateDoc=2026-10-01\r\nDésignation=late\r\n"));
  WriteAll(folder + "/e.pdf", "eeee");
  SetMtime(folder + "/b.pdf", Unix({2026, 11, 30, 8, 5, 9}));

  EXPECT_FALSE(ListeArchives(g, col, "12", "u1"));
  ASSERT_EQ(col.size(), 4u);
  const std::string b_cache = Cache() + "/20261130080509_b";
  EXPECT_EQ(col[0].substr(0, col[0].find('|')).find(Cache() + "/"), 0u);
  EXPECT_EQ(Extract2(col[0], 5), "Compte rendu");
  EXPECT_EQ(Extract2(col[0], 2), "txt");
  // Equal dates: the one met later (c after b in listing order) first.
  EXPECT_EQ(Extract2(col[1], 5), "Same date, met later");
  EXPECT_EQ(col[2], b_cache + "|pdf|7|" +
                        Dec(static_cast<int64_t>(W("Désignation=Lettre|suite\r\n").size() + 20)) +
                        "|Lettre!suite");
  EXPECT_EQ(col[3], Extract2(col[3], 1) + "|pdf|4|" +
                        Dec(static_cast<int64_t>(ReadAll(folder + "/e.info").size())) + "|");
  EXPECT_EQ(ReadAll(b_cache + ".pdf"), "doc-pdf");
  EXPECT_EQ(ReadAll(b_cache + ".info"), ReadAll(folder + "/b.info"));
}

TEST_F(ListingsTest, SecondListingCopiesOnlyTheInfoAgainAndAChangedSourceGetsANewName) {
  NameArchive("Dupont");
  const std::string folder = Archives() + "/Dupont";
  MakeDirs(folder);
  Archive(folder + "/b", "T", "2026-11-30", {"pdf"});
  SetMtime(folder + "/b.pdf", Unix({2026, 11, 30, 8, 0, 0}));
  ASSERT_FALSE(ListeArchives(g, col, "12", "u1"));
  const std::string c = Cache() + "/20261130080000_b";
  // Same length, other bytes: a second listing must leave the document copy alone but
  // replace the ".info" copy.
  WriteAll(c + ".pdf", "XXXXXXX");
  WriteAll(c + ".info", "garbage");
  col.clear();
  ASSERT_FALSE(ListeArchives(g, col, "12", "u1"));
  EXPECT_EQ(ReadAll(c + ".pdf"), "XXXXXXX");
  EXPECT_EQ(ReadAll(c + ".info"), ReadAll(folder + "/b.info"));
  EXPECT_EQ(Extract2(col[0], 1), c);

  SetMtime(folder + "/b.pdf", Unix({2026, 12, 1, 9, 0, 0}));
  col.clear();
  ASSERT_FALSE(ListeArchives(g, col, "12", "u1"));
  EXPECT_EQ(Extract2(col[0], 1), Cache() + "/20261201090000_b");
  EXPECT_EQ(ReadAll(Cache() + "/20261201090000_b.pdf"), "doc-pdf");
}

TEST_F(ListingsTest, CacheCopiesAreTouchedAndAFailedCopyServesTheSource) {
  NameArchive("Dupont");
  const std::string folder = Archives() + "/Dupont";
  MakeDirs(folder);
  Archive(folder + "/b", "T", "2026-11-30", {"pdf"});
  SetMtime(folder + "/b.pdf", Unix({2026, 11, 30, 8, 0, 0}));
  ASSERT_FALSE(ListeArchives(g, col, "12", "u1"));
  FileInfo info;
  ASSERT_TRUE(g.env.GetFileInfo(Cache() + "/20261130080000_b.pdf", &info).ok());
  EXPECT_EQ(info.modified, site.env.Now());

  site.env.FailWhen(
      "CopyFile", [](const std::string& p) { return p.find("/c.") != std::string::npos; },
      Status::kDiskFull);
  Archive(folder + "/c", "T", "2026-12-01", {"pdf"});
  col.clear();
  ASSERT_FALSE(ListeArchives(g, col, "12", "u1"));
  EXPECT_EQ(Extract2(col[0], 1), folder + "/c");
  EXPECT_EQ(site.DayLog(), "");  // no bypass line for a failed copy
}

TEST_F(ListingsTest, NothingToListAndNamesFromOutside) {
  // No ".id" file.
  EXPECT_TRUE(ListeArchives(g, col, "12", "u1"));
  // An empty first line, a line of blanks.
  NameArchive("");
  EXPECT_TRUE(ListeArchives(g, col, "12", "u1"));
  NameArchive("   ");
  EXPECT_TRUE(ListeArchives(g, col, "12", "u1"));
  // A name without folder.
  NameArchive("Nobody");
  EXPECT_TRUE(ListeArchives(g, col, "12", "u1"));
  EXPECT_TRUE(col.empty());
  // Document numbers that could walk out of the validation folder list nothing and touch
  // nothing.
  std::error_code ec;
  std::filesystem::remove_all(Archives(), ec);
  MakeDirs(site.tasks() + "/Validations");
  WriteAll(site.tasks() + "/Validations/hvr_x.id", "Dupont\r\n");
  for (const char* bad : {"../hvr_x", "", "1/2", "a*", "12.id"}) {
    EXPECT_TRUE(ListeArchives(g, col, bad, "u1")) << bad;
  }
  EXPECT_FALSE(Exists(Archives()));
  // The folder named by the ".id" line is found the way publishing names it.
  NameArchive(" Dupont/Jean. ");
  MakeDirs(Archives() + "/Dupont_Jean_");
  Archive(Archives() + "/Dupont_Jean_/a", "T", "2026-11-30", {"pdf"});
  EXPECT_FALSE(ListeArchives(g, col, " 12 ", "u1"));
  EXPECT_EQ(col.size(), 1u);
}

TEST_F(ListingsTest, RightsListsAgeAndLoadTheirNonBlankLines) {
  struct Case {
    std::string content;
    int64_t age_seconds;
    std::vector<std::string> expected;
    bool remains;
  } cases[] = {
      {"a\r\n\r\n  \r\nb c\r\n", 23 * 3600, {"a", "b c"}, true},
      {"a\r\n", 25 * 3600, {}, false},
      {"", 25 * 3600, {}, true},  // an empty list is left to the daily purge
  };
  for (const Case& c : cases) {
    std::error_code ec;
    std::filesystem::remove_all(site.spool() + "/rights", ec);  // created when missing
    std::vector<std::string> droits{"stale"};
    std::string path = site.spool() + "/rights/~tok.lst";
    ASSERT_EQ(ChargeDroits(g, "tok", droits), g.CurrentSpoolRoot + "/rights/~tok.lst");
    ASSERT_TRUE(Exists(site.spool() + "/rights"));
    WriteAll(path, c.content);
    SetMtime(path, Ago(c.age_seconds));
    ChargeDroits(g, "tok", droits);
    EXPECT_EQ(droits, c.expected) << c.age_seconds;
    EXPECT_EQ(Exists(path), c.remains) << c.age_seconds;
  }
}

TEST_F(ListingsTest, CodeNomFichier) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"hvr_12.txt", "hvr_12.txt"},
      {"hvr_12.notes jointes.txt", "hvr_12.notes[20]jointes.txt"},
      {"a&b", "a[26]b"},
      {W("été"), "[E9]t[E9]"},
      {"~\x7f\xff", "~[7F][FF]"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CodeNomFichier(c.in), c.out) << c.in;
}

TEST_F(ListingsTest, CopierFichiers1ServesTheCacheCopyAndCreatesTheCache) {
  MakeDirs(Validation());
  WriteAll(Validation() + "/hvr_1.pdf", "12345");
  std::string folder, name;
  CopierFichiers1(g, Validation() + "/", "hvr_1.pdf", &folder, &name);
  EXPECT_EQ(folder, g.CurrentSpoolRoot + "/cache/");
  EXPECT_EQ(name, "hvr_1.pdf");
  EXPECT_EQ(ReadAll(Cache() + "/hvr_1.pdf"), "12345");

  site.env.FailWhen(
      "CopyFile", [](const std::string&) { return true; }, Status::kDenied);
  CopierFichiers1(g, Validation() + "/", "hvr_1.pdf", &folder, &name);
  EXPECT_EQ(folder, Validation() + "/");
}

TEST_F(ListingsTest, ToucheFichierSetsTheClockTimeAndLeavesTheContent) {
  WriteAll(site.root() + "/f", "abc");
  WriteAll(site.root() + "/empty", "");
  SetMtime(site.root() + "/f", 0);
  SetMtime(site.root() + "/empty", 0);
  for (const char* n : {"/f", "/empty"}) {
    ToucheFichier(g.env, site.root() + n);
    FileInfo info;
    ASSERT_TRUE(g.env.GetFileInfo(site.root() + n, &info).ok());
    EXPECT_EQ(info.modified, site.env.Now()) << n;
  }
  EXPECT_EQ(ReadAll(site.root() + "/f"), "abc");
  ToucheFichier(g.env, site.root() + "/missing");
  EXPECT_FALSE(Exists(site.root() + "/missing"));
}

class AgendaTest : public ListingsTest {
 protected:
  std::string Agendas() { return site.root() + "/Agendas"; }
  void Day(const std::string& agenda, const std::string& date, const std::string& content) {
    MakeDirs(Agendas() + "/" + agenda);
    WriteAll(Agendas() + "/" + agenda + "/" + date + ".txt", content);
  }
};

TEST_F(AgendaTest, LinesBecomeFourFieldRecords) {
  Day("Salle 2", "2026-12-07",
      W("09:30 Consultation contrôle annuel\r\n"
        "09:45 Consultation\r\n"
        "Fermé l'après-midi\r\n"
        "\r\n"
        "10:00\tRadio\xC2\xA0"
        "genou\r\n"
        "a|b|c|d|e|f\r\n"
        "11:00  double\r\n"));
  EXPECT_FALSE(ListeAgenda(g, col, "u1", "07/12/2026 (Salle_2)"));
  std::vector<std::string> expected = {
      "Salle 2|:||0",
      W("Consultation|contrôle annuel|09:30|0"),
      "Consultation||09:45|0",
      W("|Fermé l'après-midi||0"),
      "|||0",
      "Radio|genou|10:00|0",
      "|a|b|c",
      "double||11:00|0",
  };
  EXPECT_EQ(col, expected);
}

TEST_F(AgendaTest, ArgumentsNamesAndMissingData) {
  Day("u1", "2026-12-07", "08:00 Today\r\n");
  Day("7", "2026-12-08", "");
  struct Case {
    std::string defaut, argument;
    std::vector<std::string> expected;
    bool result;
  } cases[] = {
      {"u1", "", {"u1|:||0", "Today||08:00|0"}, false},
      {"u1", "7/12/2026", {"u1|:||0", "Today||08:00|0"}, false},
      {"u1", "31/02/2026", {"(Date '31/02/2026' non valide)"}, false},
      {"u1", "demain", {"(Date 'demain' non valide)"}, false},
      {"u1", "08/12/2026 (7)", {"(Agenda vide)"}, false},  // empty day file: no header
      {"7", "09/12/2026", {"(Agenda vide)"}, true},        // no day file
      {"u2", "07/12/2026", {"(Agenda inexistant)"}, true},
      {"u1", "07/12/2026 ()", {"u1|:||0", "Today||08:00|0"}, false},
      {"u1", "07/12/2026 (..)", {"(Agenda inexistant)"}, true},
      {"u1", "07/12/2026 (../u1)", {"(Agenda inexistant)"}, true},
  };
  for (const Case& c : cases) {
    col.clear();
    EXPECT_EQ(ListeAgenda(g, col, c.defaut, c.argument), c.result) << c.argument;
    EXPECT_EQ(col, c.expected) << c.argument;
  }
}

TEST_F(AgendaTest, AnInvalidNameTouchesNothing) {
  EXPECT_TRUE(ListeAgenda(g, col, "a/b", "07/12/2026"));
  EXPECT_FALSE(Exists(Agendas()));
  EXPECT_TRUE(ListeAgenda(g, col, "u9", "07/12/2026"));
  EXPECT_TRUE(Exists(Agendas()));  // a valid name makes the agendas folder
}

}  // namespace
}  // namespace guichet
