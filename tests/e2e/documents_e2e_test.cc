// The document commands, the formatted lists and a custom page, asked through real
// request files of the real executable; answers and ready markers compared byte for byte.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <ctime>

#include "platform/datetime.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet::test {
namespace {

std::string Lines(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\r\n";
  return s;
}

// The computer's name, asked of the system here rather than through Guichet's Env.
std::string HostName() {
#ifdef _WIN32
  char buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof buf;
  GetComputerNameA(buf, &n);
  return std::string(buf, n);
#else
  char buf[256] = {};
  gethostname(buf, sizeof buf - 1);
  return buf;
#endif
}

class DocumentsE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = site.root();
    WriteAll(site.app() + "/guichet_lastlogons.txt", "tok;u1;31/12/2099 23:59\r\n");

    // A waiting document 12 of u1 and its archive.
    const std::string v = site.tasks() + "/Validations/u1";
    MakeDirs(v);
    WriteAll(v + "/hvr_12.pdf", "%PDF-1.4");
    WriteAll(v + "/hvr_12.caf", "caff");
    WriteAll(v + "/hvr_12.id", "Dupont Jean\r\n");
    WriteAll(v + "/hvr_12.typedoc", "CR\r\n");
    SetMtime(v + "/hvr_12.caf", ToUnixLocal({2026, 12, 7, 9, 0, 0}));
    MakeDirs(root + "/Archives/Dupont Jean/2026");
    WriteAll(root + "/Archives/Dupont Jean/2026/cr 1.info",
             W("Désignation=Compte rendu|IRM\r\nDateDoc=2026-11-30\r\n"));
    WriteAll(root + "/Archives/Dupont Jean/2026/cr 1.pdf", "0123456789");
    SetMtime(root + "/Archives/Dupont Jean/2026/cr 1.pdf", ToUnixLocal({2026, 11, 30, 17, 4, 5}));

    MakeDirs(root + "/Agendas/3");
    WriteAll(root + "/Agendas/3/2026-12-07.txt", W("09:30 Consultation contrôle\r\nFermé\r\n"));

    MakeDirs(root + "/Templates");
    WriteAll(root + "/Templates/Services.txt", "1|Cardiologie\r\n");
    WriteAll(root + "/Templates/TypeDocs.txt", "1|CR|Compte rendu|Courrier\r\n");

    MakeDirs(site.spool() + "/temp");
    WriteAll(site.spool() + "/temp/hvr_77.caf", std::string(20480, 'c'));
    site.Start();
  }

  RunningGuichet site;
};

TEST_F(DocumentsE2ETest, EveryDocumentCommandAnswersThroughTheSpool) {
  // The folders as Guichet names them: built from its own folder, ".." kept.
  const std::string spool = site.app() + "/../IsapiHalvero";
  const std::string cache = ToLower(spool) + "/cache/";
  const std::string archived = spool + "/cache/20261130170405_cr[20]1";
  struct Case {
    std::string name;
    std::vector<std::string> request;
    std::string answer, marker;
  } cases[] = {
      {"att",
       {"/portail.hv", "tok", "attachments", "", "12", ""},
       Lines({"||command=attachments||", "hvr_12.caf|4|" + cache + "hvr_12.caf",
              "hvr_12.pdf|8|" + cache + "hvr_12.pdf"}),
       "3\r\n"},
      {"arc",
       {"/portail.hv", "tok", "archives", "", "12", ""},
       Lines({"||command=archives||",
              archived + "|pdf|10|" +
                  Dec(static_cast<int64_t>(W("Désignation=Compte rendu|IRM\r\n").size() + 20)) +
                  "|Compte&nbsp;rendu!IRM"}),
       "2\r\n"},
      {"arc-missing",
       {"/portail.hv", "tok", "archives", "", "13", ""},
       Lines({"||command=archives||", "(Dossier inexistant)||||"}),
       "1\r\n"},
      {"agenda",
       {"/portail.hv", "tok", "0", "", "3", "07/12/2026"},
       Lines({"||command=0||", "3|:||0|", "Consultation|contr&ocirc;le|09:30|0|",
              "|Ferm&eacute;||0|"}),
       "4\r\n"},
      {"conf",
       {"/portail.hv", "tok", "configuration"},
       Lines({"||command=configuration||", "B1=Today&nbsp;/&nbsp;Aujourd'hui",
              "B2=All&nbsp;/&nbsp;Tout", "B3=Unused&nbsp;/&nbsp;Inutilis&eacute;",
              "B4=Unused&nbsp;/&nbsp;Inutilis&eacute;", "Folder=" + HostName(),
              "ExtensionPhoto=halvero", "CreationIdTypeDoc=sql", "Restart=1", "Fail=-301", "-End-",
              "||command=7||", "1|Cardiologie", "-End-", "||command=8||",
              "1|CR|Compte&nbsp;rendu|Courrier", "-End-"}),
       "17\r\n"},
      {"caf",
       {"/portail.hv", "tok", "getcaflen", "", "77", ""},
       Lines({"||command=getcaflen||", "20480"}),
       "0\r\n"},
      {"step", {"/portail.hv", "tok", "step"}, Lines({"||command=step||", "5"}), "0\r\n"},
      {"etape", {"/portail.hv", "tok", "etape"}, Lines({"||command=etape||", "5"}), "0\r\n"},
      {"tmp1",
       {"/portail.hv", "tok", "createtmp", "", "CR", ""},
       Lines({"||command=createtmp||", "1"}),
       "0\r\n"},
      {"tmp2",
       {"/portail.hv", "tok", "createtmp", "", "LT", ""},
       Lines({"||command=createtmp||", "2"}),
       "0\r\n"},
      {"fin", {"/portail.hv", "tok", "finishtmp"}, Lines({"||command=finishtmp||", "ok"}), "0\r\n"},
      {"list2",
       {"/portail.hv", "tok", "2en"},
       Lines({"||command=2||", "Dupont|Jean|2026-12-07|V:Courrier&nbsp;07&nbsp;Dec|12|5|"}),
       "2\r\n"},
      {"list9", {"/portail.hv", "tok", "9"}, Lines({"||command=9||"}), "1\r\n"},
      {"custom",
       {"/portail.hv", "tok", "customPage"},
       Lines({"<html>", "<head>", "<title>", "Erreur", "</title>", "</head>", "<body>",
              "<DD>R&eacute;pertoire&nbsp;'ModelesPortail'&nbsp;manquant</DD>", "</body>",
              "</html>"}),
       "0\r\n"},
  };
  for (const Case& c : cases) {
    std::string marker;
    EXPECT_EQ(site.Ask(c.name, c.request, &marker), c.answer) << c.name;
    EXPECT_EQ(marker, c.marker) << c.name;
  }

  EXPECT_EQ(ReadAll(site.tasks() + "/Count.txt"), "3\r\n");
  EXPECT_EQ(ReadAll(site.tasks() + "/hvr_1.typedoc"), "CR\r\n");
  EXPECT_EQ(ReadAll(site.tasks() + "/hvr_2.typedoc"), "LT\r\n");
  EXPECT_EQ(
      ReadAll(site.spool() + "/rights/~tok.lst"),
      Lines({cache + "hvr_12.caf", cache + "hvr_12.pdf", archived + ".info", archived + ".pdf"}));
  EXPECT_EQ(ReadAll(site.spool() + "/cache/20261130170405_cr 1.pdf"), "0123456789");
  EXPECT_EQ(site.Stop(), 0);
}

// A counter with no successor is refused; a stale rights list goes even when nothing is
// granted.
TEST_F(DocumentsE2ETest, ExhaustedCounterAndStaleRightsList) {
  const std::string counter = site.tasks() + "/Count.txt";
  WriteAll(counter, "9223372036854775807\r\n");
  std::string marker;
  EXPECT_EQ(site.Ask("max", {"/portail.hv", "tok", "createtmp", "", "CR", ""}, &marker),
            Lines({"<html>", "<head>", "<title>", "Erreur", "</title>", "</head>", "<body>",
                   "<DD>Erreur&nbsp;dans&nbsp;PortailHalvero&nbsp;'Compteur&nbsp;de&nbsp;"
                   "documents&nbsp;&eacute;puis&eacute;'</DD>",
                   "</body>", "</html>"}));
  EXPECT_EQ(marker, "0\r\n");
  EXPECT_EQ(ReadAll(counter), "9223372036854775807\r\n");

  const std::string rights = site.spool() + "/rights/~tok.lst";
  // Refused, then nothing to list.
  const std::pair<const char*, const char*> asks[] = {{"arch1", "../12"}, {"arch2", "13"}};
  for (const auto& [name, second] : asks) {
    MakeDirs(site.spool() + "/rights");
    WriteAll(rights, "granted/long/ago.pdf\r\n");
    SetMtime(rights, std::time(nullptr) - 25 * 3600);
    site.Ask(name, {"/portail.hv", "tok", "archives", "", second, ""});
    EXPECT_FALSE(Exists(rights)) << second;
  }
  EXPECT_EQ(site.Stop(), 0);
}

}  // namespace
}  // namespace guichet::test
