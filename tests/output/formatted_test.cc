// The formatted lists through the dispatcher, against a temporary site.
#include "output/formatted.h"

#include "../exchange/documents_test_util.h"

namespace guichet::test {
namespace {

class FormattedTest : public DocumentsTest {
 protected:
  // A document of user u1: its files, and the dictation's date when it has one.
  void Document(const std::string& number, const std::vector<std::string>& exts,
                const DateTime* caf_date = nullptr) {
    MakeDirs(Validation());
    for (const auto& e : exts) WriteAll(Validation() + "/hvr_" + number + "." + e, e);
    if (caf_date) {
      WriteAll(Validation() + "/hvr_" + number + ".caf", "caf");
      SetMtime(Validation() + "/hvr_" + number + ".caf", ToUnixLocal(*caf_date));
    }
  }
  void Catalogues() {
    WriteAll(site.templates() + "/Services.txt", "1|Cardio\r\n");
    WriteAll(site.templates() + "/TypeDocs.txt",
             "1|ZZ|hidden|Hidden\r\n;1|CR|x|Commented\r\n1|CR|Compte rendu| Courrier \r\n"
             "1|CR|again|Second\r\n");
  }
  const DateTime today{2026, 12, 7, 8, 0, 0};
  const DateTime today_earlier{2026, 12, 7, 7, 0, 0};
  const DateTime november{2026, 11, 2, 18, 30, 0};
};

TEST_F(FormattedTest, ListTwoHoldsEveryDatedDocumentOldestFirst) {
  MakeDirs(site.templates());
  Catalogues();
  Document("5", {"pdf"}, &today);
  WriteAll(Validation() + "/hvr_5.id", "AUT1 Cardiologie  generale \r\n");
  WriteAll(Validation() + "/hvr_5.typedoc", "CR\r\n");
  Document("3", {"txt"}, &november);
  WriteAll(Validation() + "/hvr_3.typedoc", "QQ\r\n");  // no such type
  Document("7", {"pdf", "txt"}, &today_earlier);        // same day as 5, collected after it
  Document("8", {"PDF"}, &november);
  WriteAll(Validation() + "/hvr_8.id", " lead\r\n");
  Document("12a", {"pdf"}, &today);  // not a number
  Document("4", {"pdf", "txt"});     // no dictation
  Document("9", {}, &today);         // a dictation without document

  WriteAll(Out("r.htm"), "earlier answer\r\n");
  EXPECT_EQ(Ask("2"), Lines({
                          "||command=2||",
                          "lead||2026-11-02|V:&nbsp;02&nbsp;Nov|8|5|",
                          "||2026-11-02|V:&nbsp;02&nbsp;Nov|3|5|",
                          "AUT1|Cardiologie&nbsp;&nbsp;generale|2026-12-07|V:Courrier&nbsp;07&nbsp;"
                          "D&eacute;c|5|5|",
                          "||2026-12-07|V:&nbsp;07&nbsp;D&eacute;c|7|5|",
                      }));
  EXPECT_EQ(Marker(), "5\r\n");
  EXPECT_EQ(Count(), "1");  // counted once, by the list itself
}

TEST_F(FormattedTest, ListOneShowsTodayAndTheTagPicksTheMonths) {
  Document("5", {"pdf"}, &today);
  Document("3", {"txt"}, &november);
  struct Case {
    std::string command, month;
  } cases[] = {{"1", "D&eacute;c"},    {"1fr", "D&eacute;c"}, {"1FR", "D&eacute;c"},
               {"1fra", "D&eacute;c"}, {"1en", "Dec"},        {"1x", "Dec"},
               {"1 ", "Dec"}};
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(c.command),
              Lines({"||command=1||", "||2026-12-07|V:&nbsp;07&nbsp;" + c.month + "|5|5|"}))
        << c.command;
  }
  site.env.SetNow({2026, 12, 8, 9, 0, 0});
  EXPECT_EQ(Ask("1"), Lines({"||command=1||"}));
}

TEST_F(FormattedTest, OtherNumbersAndMissingFoldersGiveTheHeaderAlone) {
  Document("5", {"pdf"}, &today);
  EXPECT_EQ(Ask("12"), Lines({"||command=12||"}));
  EXPECT_EQ(Ask("7en"), Lines({"||command=7||"}));
  EXPECT_EQ(Ask("00"), Lines({"||command=00||"}));
  EXPECT_TRUE(Exists(site.templates()));  // made when missing
  g.Sessions.Append("tok2", "nobody", "08/12/2026 10:00");
  site.Request("n.req", {"/portail.hv", "tok2", "2"});
  ASSERT_TRUE(TraiteRequete(g, "n.req"));
  EXPECT_EQ(ReadAll(Out("n.htm")), Lines({"||command=2||"}));
  EXPECT_EQ(ReadAll(Out("n.rdy")), "1\r\n");
}

// Only a document's own file names give its number: a file whose name merely holds
// "hvr_" and the extension twice does not list the document of that number.
TEST_F(FormattedTest, NamesThatAreNotDocumentFilesListNothing) {
  Document("6", {}, &today);  // a dictation without document
  WriteAll(Validation() + "/hvr_hvr_6.pdf", "pdf");
  WriteAll(Validation() + "/hvr_6.txt.txt", "txt");
  Document("5", {"pdf"}, &today);
  EXPECT_EQ(Ask("2"), Lines({"||command=2||", "||2026-12-07|V:&nbsp;07&nbsp;D&eacute;c|5|5|"}));
}

TEST(MonthAbbreviationTest, BothLanguagesAndOutOfRange) {
  const char* french[] = {"Janv", "Févr", "Mars", "Avr", "Mai", "Juin",
                          "Juil", "Août", "Sep",  "Oct", "Nov", "Déc"};
  const char* english[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int m = 1; m <= 12; ++m) {
    EXPECT_EQ(MonthAbbreviation(m, false), W(french[m - 1])) << m;
    EXPECT_EQ(MonthAbbreviation(m, true), english[m - 1]) << m;
  }
  EXPECT_EQ(MonthAbbreviation(0, false), "");
  EXPECT_EQ(MonthAbbreviation(13, true), "");
  EXPECT_EQ(W("Août"), "Ao\xFBt");
}

}  // namespace
}  // namespace guichet::test

namespace guichet::test {
namespace {

TEST_F(FormattedTest, AnAnswerThatCannotBeWrittenGetsTheFailurePage) {
  site.env.FailWhen(
      "AppendFile", [](const std::string& p) { return p.find("/r.htm") != std::string::npos; },
      Status::kDiskFull);
  EXPECT_EQ(Ask("2"), ErrorPage("Erreur&nbsp;dans&nbsp;PortailHalvero&nbsp;'Disque&nbsp;plein'"));
  EXPECT_EQ(Marker(), "1\r\n");  // the header record was in the list when the write failed
  EXPECT_EQ(Count(), "");
}

}  // namespace
}  // namespace guichet::test
