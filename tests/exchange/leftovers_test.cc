// The sweeps of what nothing else removes: temporaries in the stage folders, piece files
// without their marker, ".typedoc" files alone in the tasks folder.
#include "exchange/leftovers.h"

#include <gtest/gtest.h>

#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ListDir;

class LeftoversTest : public ::testing::Test {
 protected:
  // A file dated `age` seconds before the test clock.
  void Put(const std::string& path, int64_t age, const std::string& data = "x") {
    test::MakeDirs(path.substr(0, path.rfind('/')));
    test::WriteAll(path, data);
    test::SetMtime(path, ToUnixLocal(site.env.Now()) - age);
  }
  std::string Task(const std::string& f) { return site.tasks() + "/" + f; }
  std::string Post(const std::string& f) { return site.spool() + "/post/" + f; }

  test::TestSite site;
  Guichet& g = *site.g;
};

TEST_F(LeftoversTest, StageTemporariesOlderThanFiveMinutesGo) {
  const std::string trans = Task("Transcriptions/u7/");
  Put(trans + "~hvr_4.wav.123.7a1b2c3d4", 301);       // a conversion cut short
  Put(trans + "~hvr_5.wav.123.8", 200);               // perhaps still being written
  Put(trans + "hvr_4.spx.old", 9000);                 // a document file, however old
  Put(Task("Validations/u7/~hvr_3.caf.99.2"), 4000);  // carried on by the batch file
  Put(Task("RecycleBin/~hvr_2.id.99.3"), 4000);       // a stage without author folder
  EXPECT_EQ(SweepStageTemporaries(g), 3);
  EXPECT_EQ(ListDir(trans), (std::vector<std::string>{"hvr_4.spx.old", "~hvr_5.wav.123.8"}));
  EXPECT_EQ(ListDir(Task("Validations/u7")), std::vector<std::string>{});
}

TEST_F(LeftoversTest, PieceFilesWithoutMarkerAreSetAsideAfterThirtyMinutes) {
  Put(Post("10.txt"), 31 * 60, "path=&data=00");  // its marker went, it did not
  Put(Post("11.txt"), 29 * 60);                   // the marker may come yet
  Put(Post("12.txt"), 3600);                      // with its marker: the pickup's
  Put(Post("12.rdy"), 3600, "");
  EXPECT_EQ(SetAsideStrayPieceFiles(g), 1);
  EXPECT_EQ(ListDir(site.spool() + "/post"),
            (std::vector<std::string>{"11.txt", "12.rdy", "12.txt"}));
  EXPECT_EQ(ListDir(site.spool() + "/post_err"), std::vector<std::string>{"202612071000_10.txt"});
  EXPECT_EQ(test::ReadAll(site.spool() + "/post_err/202612071000_10.txt"), "path=&data=00");
  EXPECT_NE(site.DayLog().find("/post/10.txt"), std::string::npos);
}

TEST_F(LeftoversTest, TypeFileAloneForADayIsSetAside) {
  Put(Task("hvr_20.typedoc"), 25 * 3600, "LT\r\n");  // a number nobody used
  Put(Task("hvr_21.typedoc"), 25 * 3600);            // its upload came
  Put(Task("hvr_21.spx"), 25 * 3600);
  Put(Task("hvr_22.typedoc"), 23 * 3600);  // may still be used
  Put(Task("hvr_200.spx"), 25 * 3600);     // another number, not its family
  EXPECT_EQ(SetAsideLoneTypeFiles(g), 1);
  EXPECT_FALSE(Exists(Task("hvr_20.typedoc")));
  EXPECT_TRUE(Exists(Task("hvr_21.typedoc")));
  EXPECT_TRUE(Exists(Task("hvr_22.typedoc")));
  EXPECT_EQ(ListDir(site.spool() + "/post_err"),
            std::vector<std::string>{"202612071000_hvr_20.typedoc"});
  EXPECT_NE(site.DayLog().find("hvr_20.typedoc"), std::string::npos);
}

TEST_F(LeftoversTest, SweepRunsAtStartAndThenEveryFiveMinutes) {
  const std::string temp = Task("Publications/u7/~hvr_1.pdf.5.1");
  Put(temp, 3600);
  SweepLeftovers(g, true);
  EXPECT_FALSE(Exists(temp));
  Put(temp, 3600);
  site.env.Advance(60);
  SweepLeftovers(g, false);
  EXPECT_TRUE(Exists(temp));  // too soon after the last sweep
  site.env.Advance(300);
  SweepLeftovers(g, false);
  EXPECT_FALSE(Exists(temp));
}

}  // namespace
}  // namespace guichet
