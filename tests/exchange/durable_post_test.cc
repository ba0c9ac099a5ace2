// What reaches the disk before a piece goes: the order of the flushes, and a flush that
// fails, in the upload pickup.
#include <gtest/gtest.h>

#include <algorithm>

#include "documents_test_util.h"
#include "exchange/post.h"
#include "post_test_util.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;

class DurablePostTest : public ::testing::Test {
 protected:
  void Drop(const std::string& name, const std::string& line) {
    test::DropPiece(site.spool(), name, line, site.env.Now());
  }
  // The paths as Guichet spells them (with their ".." segments).
  std::string Post(const std::string& f) { return g.Spool("post/" + f); }
  std::string Task(const std::string& f) { return g.Tasks(f); }
  std::string Temp(const std::string& f) { return g.Spool("temp/" + f); }
  // Where `call` ("SyncFile path") stands among the calls; -1 when missing.
  long At(const std::string& call) {
    const auto& c = site.env.calls;
    auto it = std::find(c.begin(), c.end(), call);
    return it == c.end() ? -1 : static_cast<long>(it - c.begin());
  }

  test::TestSite site;
  Guichet& g = *site.g;
};

TEST_F(DurablePostTest, PiecesGoOnlyOnceTheirBytesAndNamesAreOnTheDisk) {
  // Two pieces of a document in one pass, then the last piece on a later tick.
  std::string doc = test::Pattern(25000, 7);
  Drop("1", test::PieceLine(doc, 7, ".spx", 0, 10240, true, 25000));
  Drop("2", test::PieceLine(doc, 7, ".spx", 10240, 10240, false, 25000));
  // A document in one piece.
  std::string small = test::Pattern(500, 8);
  Drop("3", test::PieceLine(small, 8, ".pdf", 0, 500, true, -1));
  EXPECT_EQ(ReperePost(g), 3);
  // The pass's document and its new name, then the pieces.
  const long doc_flushed = At("SyncFile " + Temp("hvr_7.spx"));
  const long temp_flushed = At("SyncFolder " + g.Spool("temp"));
  ASSERT_GE(doc_flushed, 0);
  ASSERT_GE(temp_flushed, 0);
  for (const char* piece : {"1.rdy", "1.txt", "2.rdy", "2.txt"}) {
    EXPECT_GT(At(std::string("DeleteFile ") + Post(piece)), std::max(doc_flushed, temp_flushed))
        << piece;
  }
  const long small_flushed = At("SyncFile " + Task("hvr_8.pdf"));
  const long tasks_flushed = At("SyncFolder " + g.TasksFolder);
  ASSERT_GE(small_flushed, 0);
  ASSERT_GE(tasks_flushed, 0);
  EXPECT_GT(At("DeleteFile " + Post("3.txt")), std::max(small_flushed, tasks_flushed));
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_8.pdf")), small));

  // The completion: flushed in "temp", renamed, the tasks folder flushed, then the piece.
  site.env.calls.clear();
  Drop("4", test::PieceLine(doc, 7, ".spx", 20480, 4520, true, 25000));
  EXPECT_EQ(ReperePost(g), 1);
  const long flushed = At("SyncFile " + Temp("hvr_7.spx"));
  const long renamed = At("RenameFile " + Temp("hvr_7.spx"));
  const long named = At("SyncFolder " + g.TasksFolder);
  ASSERT_GE(flushed, 0);
  EXPECT_GT(renamed, flushed);
  EXPECT_GT(named, renamed);
  EXPECT_GT(At("DeleteFile " + Post("4.rdy")), named);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_7.spx")), doc));
}

TEST_F(DurablePostTest, FailedFlushKeepsThePiecesAndTheDocumentFitsThemAgain) {
  std::string doc = test::Pattern(40000, 9);
  Drop("1", test::PieceLine(doc, 9, ".spx", 0, 10240, true, 40000));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_FALSE(Exists(Post("1.rdy")));

  // The next pass's flush fails: its pieces stay, the document is cut back to where it
  // stood before them, and the failure is logged.
  Drop("2", test::PieceLine(doc, 9, ".spx", 10240, 10240, true, 40000));
  Drop("3", test::PieceLine(doc, 9, ".spx", 20480, 10240, true, 40000));
  site.env.FailWhen(
      "SyncFile", [](const std::string& p) { return p.find("hvr_9") != p.npos; }, Status::kIo);
  ReperePost(g);
  for (const char* f : {"2.rdy", "2.txt", "3.rdy", "3.txt"}) EXPECT_TRUE(Exists(Post(f))) << f;
  EXPECT_EQ(ReadAll(Temp("hvr_9.spx")).size(), 10240u);
  EXPECT_NE(site.DayLog().find("hvr_9.spx"), std::string::npos);

  // A document in one piece whose flush fails is not left in the tasks folder, where it
  // would be taken for a whole one.
  std::string small = test::Pattern(300, 10);
  Drop("4", test::PieceLine(small, 10, ".pdf", 0, 300, false, -1));
  site.env.FailWhen(
      "SyncFile", [](const std::string& p) { return p.find("hvr_10") != p.npos; }, Status::kIo);
  ReperePost(g);
  EXPECT_TRUE(Exists(Post("4.rdy")));
  EXPECT_FALSE(Exists(Task("hvr_10.pdf")));

  // Once the disk takes the flushes, everything is done, nothing lost and nothing set aside.
  site.env.ClearFailures();
  Drop("5", test::PieceLine(doc, 9, ".spx", 30720, 9280, false, 40000));
  EXPECT_EQ(ReperePost(g), 4);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_9.spx")), doc));
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_10.pdf")), small));
  EXPECT_EQ(test::ListDir(site.spool() + "/post"), std::vector<std::string>{});
  EXPECT_FALSE(Exists(site.spool() + "/post_err"));
}

TEST_F(DurablePostTest, FailedFlushBeforeTheCompletionKeepsTheLastPiece) {
  std::string doc = test::Pattern(12000, 11);
  Drop("1", test::PieceLine(doc, 11, ".spx", 0, 10240, true, 12000));
  EXPECT_EQ(ReperePost(g), 1);
  Drop("2", test::PieceLine(doc, 11, ".spx", 10240, 1760, true, 12000));
  site.env.FailWhen(
      "SyncFile", [](const std::string& p) { return p.find("hvr_11") != p.npos; }, Status::kIo);
  ReperePost(g);
  // Not moved into the tasks folder unflushed; the piece stays for the next tick.
  EXPECT_FALSE(Exists(Task("hvr_11.spx")));
  EXPECT_TRUE(Exists(Post("2.rdy")));
  site.env.ClearFailures();
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_11.spx")), doc));
  EXPECT_FALSE(Exists(Post("2.rdy")));
}

TEST_F(DurablePostTest, FirstPieceBegunAgainKeepsTheLaterPiecesOfItsPass) {
  // Stopped before the end of a pass: both pieces are still there and the document holds
  // the first. Taken in the order of their names, the second fits first, then the first
  // begins the document again: the second must be written again, not lost.
  std::string doc = test::Pattern(20000, 12);
  test::MakeDirs(site.spool() + "/temp");
  test::WriteAll(site.spool() + "/temp/hvr_12.spx", doc.substr(0, 10240));
  Drop("1", test::PieceLine(doc, 12, ".spx", 10240, 9760, true, 20000));
  Drop("2", test::PieceLine(doc, 12, ".spx", 0, 10240, true, 20000));
  ReperePost(g);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_12.spx")), doc));
  EXPECT_EQ(test::ListDir(site.spool() + "/post"), std::vector<std::string>{});
}

}  // namespace
}  // namespace guichet

namespace guichet::test {
namespace {

using DurableAnswersTest = DocumentsTest;

TEST_F(DurableAnswersTest, AnswersComeOnlyAfterWhatTheyPromiseIsOnTheDisk) {
  // "finished" is answered (its request file deleted) after the queue entry is flushed.
  WriteAll(site.tasks() + "/hvr_5.spx", "x");
  site.Request("r.req", {"/portail.hv", "tok", "finished", "", "5", ""});
  EXPECT_TRUE(TraiteRequete(g, "r.req"));
  const auto& c = site.env.calls;
  auto flushed = std::find(c.begin(), c.end(), "SyncFile " + g.Tasks("ToMove.txt"));
  auto answered = std::find(c.begin(), c.end(), "DeleteFile " + g.Spool("in/r.req"));
  ASSERT_NE(flushed, c.end());
  EXPECT_GT(answered, flushed);
  EXPECT_FALSE(Exists(site.spool() + "/in/r.req"));

  // A queue entry that cannot be flushed fails the command: an error page, not the
  // answer that says it is done.
  site.env.FailWhen(
      "SyncFile", [](const std::string& p) { return p.find("ToMove.txt") != p.npos; }, Status::kIo);
  EXPECT_NE(Ask("finished", "5").find("Erreur&nbsp;dans"), std::string::npos);
  site.env.ClearFailures();

  // A type file that cannot be put on the disk keeps its number from the client.
  site.env.FailWhen(
      "WriteFileAtomic", [](const std::string& p) { return p.find(".typedoc") != p.npos; },
      Status::kDiskFull);
  EXPECT_NE(Ask("createtmp", "LT").find("Erreur&nbsp;dans"), std::string::npos);
}

}  // namespace
}  // namespace guichet::test
