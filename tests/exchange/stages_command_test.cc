// The "stages" command: the author's documents by stage through the dispatcher, against
// a temporary site.
#include <filesystem>

#include "documents_test_util.h"

namespace guichet::test {
namespace {

class StagesTest : public DocumentsTest {
 protected:
  std::string Stage(const std::string& stage, const std::string& author = "u1") {
    return site.tasks() + "/" + stage + "/" + author;
  }
  // Writes a document file and dates it on 8 December 2026 at hh:nn.
  void Put(const std::string& folder, const std::string& name, const std::string& content,
           int hh = 8, int nn = 0) {
    MakeDirs(folder);
    WriteAll(folder + "/" + name, content);
    ASSERT_TRUE(g.env.SetModified(folder + "/" + name, DateTime{2026, 12, 8, hh, nn, 0}).ok());
  }
};

TEST_F(StagesTest, ListsEveryStageOfTheAuthorNewestFirst) {
  MakeDirs(site.root() + "/Templates");
  WriteAll(site.root() + "/Templates/Services.txt", "1|Cardiologie\r\n");
  WriteAll(site.root() + "/Templates/TypeDocs.txt",
           W("; commentaire|CR\r\n1|LT|Lettre|Lettre au confrère\r\n1|CR|Compte rendu|CR\r\n"));

  // Queued: in the tasks folder with a queue entry of u1. Entries of another author, or
  // of documents no longer in the tasks folder, are not.
  Put(site.tasks(), "hvr_7.spx", "speex", 10, 30);
  Put(site.tasks(), "hvr_7.typedoc", "CR\r\n", 12);
  Put(site.tasks(), "hvr_8.spx", "speex", 11);
  WriteAll(site.tasks() + "/ToMove.txt", "7;u1\r\n8;u2\r\n9;u1\r\n7;u1\r\n");
  // The dictation dates a document, whatever its other files say.
  Put(Stage("Transcriptions"), "hvr_3.caf", "caf", 9, 15);
  Put(Stage("Transcriptions"), "hvr_3.id", "  Dupont Jean  \r\nsecond line\r\n", 12);
  Put(Stage("Transcriptions"), "hvr_3.typedoc", "LT\r\n");
  Put(Stage("Transcriptions"), "hvr_3.urg", "URGENT\r\n");
  Put(Stage("Validations"), "hvr_4.caf", "caf", 9, 15);
  Put(Stage("Validations"), "hvr_4.txt", "texte");
  Put(Stage("Validations"), "hvr_4.id", "Martin | Paul\r\n");
  Put(Stage("Validations"), "hvr_4.URGENT!", "");
  Put(Stage("Validations"), "hvr_4.typedoc", "ZZ\r\n");
  // A move that stopped half way: the document is in two places.
  Put(Stage("Publications"), "hvr_2.pdf", "pdf", 7);
  Put(Stage("Validations"), "hvr_2.caf", "caf", 7);
  Put(Stage("RecycleBin"), "hvr_10.spx.old", "old", 6);
  Put(Stage("RecycleBin"), "hvr_10.urg", "normal", 6);
  Put(Stage("RecycleBin"), "notes.txt", "not a document", 23);
  Put(Stage("Validations", "u2"), "hvr_5.caf", "caf", 23);

  const std::string all = Lines({
      "||command=stages||",
      "7|ToMove|2026-12-08&nbsp;10:30||CR|CR|0|",
      "4|Validations|2026-12-08&nbsp;09:15|Martin&nbsp;!&nbsp;Paul|ZZ||1|",
      "3|Transcriptions|2026-12-08&nbsp;09:15|Dupont&nbsp;Jean|LT|Lettre&nbsp;au&nbsp;confr&egrave;"
      "re|1|",
      "2|Validations|2026-12-08&nbsp;07:00||||0|",
      "2|Publications|2026-12-08&nbsp;07:00||||0|",
      "10|RecycleBin|2026-12-08&nbsp;06:00||||0|",
  });
  EXPECT_EQ(Ask("stages"), all);
  EXPECT_EQ(Marker(), "7\r\n");

  EXPECT_EQ(Ask("stages", " 2 "),
            Lines({"||command=stages||", "2|Validations|2026-12-08&nbsp;07:00||||0|",
                   "2|Publications|2026-12-08&nbsp;07:00||||0|"}));
  // A number of another author, one that is nowhere, and one that names no file.
  for (const char* number : {"5", "42", "../u2/hvr_5", "*"}) {
    EXPECT_EQ(Ask("stages", number), Lines({"||command=stages||", "(Aucun&nbsp;document)||||"}))
        << number;
    EXPECT_EQ(Marker(), "2\r\n") << number;
  }
}

TEST_F(StagesTest, OnlyReads) {
  // No stage folder, no catalogue, no queue: an empty answer, and nothing made.
  EXPECT_EQ(Ask("stages"), Lines({"||command=stages||", "(Aucun&nbsp;document)||||"}));
  EXPECT_EQ(Marker(), "2\r\n");
  EXPECT_FALSE(std::filesystem::exists(site.root() + "/Templates"));
  EXPECT_FALSE(std::filesystem::exists(site.tasks() + "/Validations"));
  EXPECT_FALSE(std::filesystem::exists(site.spool() + "/rights"));

  // An unknown session gets the unknown-token page, as for every command.
  site.Request("x.req", {"/portail.hv", "other", "stages", "", "", ""});
  EXPECT_TRUE(TraiteRequete(g, "x.req"));
  EXPECT_EQ(ReadAll(Out("x.htm")), ErrorPage("Erreur&nbsp;de&nbsp;syntaxe&nbsp;()"));
}

}  // namespace
}  // namespace guichet::test
