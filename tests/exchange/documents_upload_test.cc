// The small exchanges of an upload: "getcaflen", "step"/"etape", "createtmp" and
// "finishtmp", through the dispatcher against a temporary site.
#include "documents_test_util.h"
#include "exchange/documents.h"

namespace guichet::test {
namespace {

using UploadExchangeTest = DocumentsTest;

TEST_F(UploadExchangeTest, GetCafLenMeasuresTheUploadInTemp) {
  MakeDirs(site.spool() + "/temp");
  WriteAll(site.spool() + "/temp/hvr_77.caf", std::string(20480, 'x'));
  WriteAll(site.spool() + "/hvr_x.caf", "outside temp");
  struct Case {
    std::string second, length;
  } cases[] = {{"77", "20480"}, {" 77 ", "20480"}, {"78", "0"}, {"../hvr_x", "0"}, {"", "0"}};
  for (const Case& c : cases) {
    EXPECT_EQ(Ask("getcaflen", c.second), Lines({"||command=getcaflen||", c.length})) << c.second;
    EXPECT_EQ(Marker(), "0\r\n");
  }
  EXPECT_EQ(Count(), "5");
}

TEST_F(UploadExchangeTest, StepEtapeAndFinishTmpAnswerTheirConstants) {
  EXPECT_EQ(Ask("step"), Lines({"||command=step||", "5"}));
  EXPECT_EQ(Ask("etape"), Lines({"||command=etape||", "5"}));
  EXPECT_EQ(Ask("finishtmp", "12"), Lines({"||command=finishtmp||", "ok"}));
  EXPECT_EQ(Marker(), "0\r\n");
  EXPECT_EQ(Count(), "3");
}

TEST_F(UploadExchangeTest, CreateTmpHandsOutSuccessiveNumbersWithTheirTypeFile) {
  const std::string counter = site.tasks() + "/Count.txt";
  EXPECT_EQ(Ask("createtmp", "CR|x"), Lines({"||command=createtmp||", "1"}));
  EXPECT_EQ(Marker(), "0\r\n");
  EXPECT_EQ(ReadAll(counter), "2\r\n");
  EXPECT_EQ(ReadAll(site.tasks() + "/hvr_1.typedoc"), "CR|x\r\n");  // the second value as read
  EXPECT_EQ(Ask("createtmp", "LT"), Lines({"||command=createtmp||", "2"}));
  EXPECT_EQ(ReadAll(site.tasks() + "/hvr_2.typedoc"), "LT\r\n");
  EXPECT_EQ(ReadAll(counter), "3\r\n");

  WriteAll(counter, "41 extra\r\nignored\r\n");
  EXPECT_EQ(Ask("createtmp", "LT"), Lines({"||command=createtmp||", "41 extra"}));
  EXPECT_FALSE(Exists(site.tasks() + "/hvr_41 extra.typedoc"));
  EXPECT_EQ(ReadAll(counter), "42\r\n");

  WriteAll(counter, "");  // empty counts as 1
  EXPECT_EQ(Ask("createtmp", "LT"), Lines({"||command=createtmp||", "1"}));
  EXPECT_EQ(Count(), "4");
}

TEST_F(UploadExchangeTest, CreateTmpNeverHandsOutANumberItCouldNotAdvance) {
  const std::string counter = site.tasks() + "/Count.txt";
  WriteAll(counter, "7\r\n");
  site.env.FailWhen(
      "WriteFileAtomic",
      [](const std::string& p) { return p.find("Count.txt") != std::string::npos; },
      Status::kDiskFull);
  const std::string page = Ask("createtmp", "LT");
  EXPECT_NE(page.find("<DD>Erreur&nbsp;dans&nbsp;PortailHalvero&nbsp;'Disque&nbsp;plein'</DD>"),
            std::string::npos)
      << page;
  EXPECT_EQ(Marker(), "0\r\n");
  EXPECT_FALSE(Exists(site.tasks() + "/hvr_7.typedoc"));
  EXPECT_EQ(Count(), "");  // a failure is not counted
  site.env.ClearFailures();

  // An unreadable counter is not taken for a missing one (which would start again at 1).
  site.env.FailWhen(
      "ReadFile", [](const std::string& p) { return p.find("Count.txt") != std::string::npos; },
      Status::kDenied);
  EXPECT_NE(Ask("createtmp", "LT").find("Erreur&nbsp;dans"), std::string::npos);
  site.env.ClearFailures();
  EXPECT_EQ(ReadAll(counter), "7\r\n");
  EXPECT_EQ(Ask("createtmp", "LT"), Lines({"||command=createtmp||", "7"}));
}

TEST_F(UploadExchangeTest, CreateTmpRefusesANumberWithoutSuccessor) {
  const std::string counter = site.tasks() + "/Count.txt";
  const std::string refused = ErrorPage(
      "Erreur&nbsp;dans&nbsp;PortailHalvero&nbsp;'Compteur&nbsp;de&nbsp;documents&nbsp;"
      "&eacute;puis&eacute;'");
  // The last number that still has a successor is handed out; the counter then holds
  // the largest number, which is refused, as is anything past it.
  WriteAll(counter, "9223372036854775806\r\n");
  EXPECT_EQ(Ask("createtmp", "LT"), Lines({"||command=createtmp||", "9223372036854775806"}));
  EXPECT_EQ(ReadAll(counter), "9223372036854775807\r\n");
  for (const std::string& held :
       {std::string("9223372036854775807\r\n"), std::string("9223372036854775808\r\n"),
        std::string("99999999999999999999999 x\r\n")}) {
    WriteAll(counter, held);
    EXPECT_EQ(Ask("createtmp", "LT"), refused) << held;
    EXPECT_EQ(Marker(), "0\r\n");
    EXPECT_EQ(ReadAll(counter), held);  // nothing stored, nothing negative
  }
  EXPECT_FALSE(Exists(site.tasks() + "/hvr_9223372036854775807.typedoc"));
  EXPECT_EQ(Count(), "1");
}

}  // namespace
}  // namespace guichet::test
