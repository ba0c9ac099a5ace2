// The upload pickup and the assembly of pieces, on a temporary site with the test clock.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/records.h"
#include "exchange/decode.h"
#include "exchange/post.h"
#include "post_test_util.h"
#include "support/text.h"

namespace guichet {
namespace {

using test::Exists;
using test::ListDir;
using test::ReadAll;

class PostTest : public ::testing::Test {
 protected:
  void Drop(const std::string& name, const std::string& line) {
    test::DropPiece(site.spool(), name, line, site.env.Now());
  }
  std::string Post(const std::string& f) { return site.spool() + "/post/" + f; }
  std::string Task(const std::string& f) { return site.tasks() + "/" + f; }
  std::string Temp(const std::string& f) { return site.spool() + "/temp/" + f; }
  std::vector<std::string> Errors() { return ListDir(site.spool() + "/post_err"); }
  std::string Compte() { return g.GetLabel(Label::kCompte); }
  // Records the piece files read, in order.
  void RecordReads() {
    auto reads = std::make_shared<std::vector<std::string>>();
    site.env.FailWhen(
        "ReadFile",
        [reads](const std::string& p) {
          if (p.find("/post/") != p.npos) reads->push_back(NomFichier(p));
          return false;
        },
        Status::kIo);
    reads_ = reads;
  }

  test::TestSite site;
  Guichet& g = *site.g;
  std::shared_ptr<std::vector<std::string>> reads_;
};

TEST_F(PostTest, PiecesAreTakenInNumericOrder) {
  std::string doc = test::Pattern(25000, 1);
  Drop("10", test::PieceLine(doc, 5, ".spx", 10240, 10240, false, 25000));
  Drop("9", test::PieceLine(doc, 5, ".spx", 0, 10240, false, 25000));
  Drop("100", test::PieceLine(doc, 5, ".spx", 20480, 4520, true, 25000));
  RecordReads();
  EXPECT_EQ(ReperePost(g), 3);
  EXPECT_EQ(*reads_, (std::vector<std::string>{"9.txt", "10.txt", "100.txt"}));
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_5.spx")), doc));
  EXPECT_EQ(g.Caption(), "(0) Guichet");
}

TEST_F(PostTest, OrderIsNumericThenListingOrder) {
  std::vector<std::string> listed = {"007.rdy", "10.rdy", "100.rdy", "7.RDY", "9.rdy", "x.rdy"};
  EXPECT_EQ(OrderPieces(listed),
            (std::vector<std::string>{"x.rdy", "007.rdy", "7.RDY", "9.rdy", "10.rdy", "100.rdy"}));
}

TEST_F(PostTest, ThreePieceDocument) {
  std::string doc = test::Pattern(25480, 2);
  Drop("1", test::PieceLine(doc, 77, ".spx", 0, 10240, false, 25480));
  Drop("2", test::PieceLine(doc, 77, ".spx", 10240, 10240, true, 25480));
  Drop("3", test::PieceLine(doc, 77, ".spx", 20480, 5000, false, 25480));
  EXPECT_EQ(ReperePost(g), 3);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_77.spx")), doc));
  EXPECT_FALSE(Exists(Temp("hvr_77.spx")));
  EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(Compte(), "3");
  EXPECT_EQ(g.AssembledCount, 1);
  EXPECT_EQ(g.GetLabel(Label::kLabelProgression), W("Nombre de fichiers assemblés : 1"));
}

// The pickup keeps a document open from one piece to the next; another hand that
// replaces, moves or removes the document in between must not make a piece go into the
// file it no longer names. (Windows refuses such a change while the file is open, and
// the document is then completed.)
TEST_F(PostTest, DocumentChangedByAnotherHandBetweenTwoPieces) {
  namespace fs = std::filesystem;
  const std::string doc = test::Pattern(30000, 31);
  for (const char* hand : {"replaced", "moved", "removed"}) {
    SCOPED_TRACE(hand);
    const std::string temp = Temp("hvr_31.spx"), aside = site.root() + "/aside.spx";
    Drop("1", test::PieceLine(doc, 31, ".spx", 0, 10240, false, 30000));
    Drop("2", test::PieceLine(doc, 31, ".spx", 10240, 10240, false, 30000));
    Drop("3", test::PieceLine(doc, 31, ".spx", 20480, 9520, false, 30000));
    bool changed = false, done = false;
    site.view.on_events = [&] {
      // Once the second piece is written.
      std::error_code size_ec;
      if (done || fs::file_size(temp, size_ec) != 20480) return;
      done = true;
      std::error_code ec;
      if (std::string(hand) == "replaced") {
        fs::copy_file(temp, aside, ec);
        if (!ec) fs::rename(aside, temp, ec);
      } else if (std::string(hand) == "moved") {
        fs::rename(temp, aside, ec);
      } else {
        fs::remove(temp, ec);
      }
      changed = !ec;
    };
    ReperePost(g);
    site.view.on_events = nullptr;
    ASSERT_TRUE(done);
    if (!changed || std::string(hand) == "replaced") {
      EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_31.spx")), doc));
      EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
    } else {
      // The last piece waits for a document that is no longer there, and the first two,
      // whose bytes never reached the disk in it, are kept: the next tick makes the
      // document again from them.
      EXPECT_FALSE(Exists(Task("hvr_31.spx")));
      EXPECT_EQ(ListDir(site.spool() + "/post"),
                (std::vector<std::string>{"1.rdy", "1.txt", "2.rdy", "2.txt", "3.rdy", "3.txt"}));
      if (std::string(hand) == "moved") {
        EXPECT_TRUE(test::SameBytes(ReadAll(aside), doc.substr(0, 20480)));
      }
      ReperePost(g);
      EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_31.spx")), doc));
      EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
    }
    std::error_code ec;
    for (const std::string& f : {aside, temp, Task("hvr_31.spx"), Post("3.rdy"), Post("3.txt")})
      fs::remove(f, ec);
  }
}

TEST_F(PostTest, LaterPieceWaitsForTheEarlierOne) {
  std::string doc = test::Pattern(15000, 3);
  Drop("1", test::PieceLine(doc, 8, ".spx", 10240, 4760, false, 15000));
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_TRUE(Exists(Post("1.txt")));
  EXPECT_TRUE(Exists(Post("1.rdy")));
  // The first piece comes later under a greater number: the scan starts again after it.
  Drop("2", test::PieceLine(doc, 8, ".spx", 0, 10240, true, 15000));
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_8.spx")), doc));
}

TEST_F(PostTest, Duplicates) {
  std::string doc = test::Pattern(30000, 4);
  Drop("1", test::PieceLine(doc, 9, ".spx", 0, 10240, false, 30000));
  Drop("2", test::PieceLine(doc, 9, ".spx", 10240, 10240, false, 30000));
  EXPECT_EQ(ReperePost(g), 2);
  // A copy of a piece already written does not pass the offset gate.
  Drop("3", test::PieceLine(doc, 9, ".spx", 10240, 10240, false, 30000));
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_TRUE(Exists(Post("3.rdy")));
  // A copy of the first piece starts the document over.
  // The waiting copy of the second piece then fits again, in the next scan.
  Drop("4", test::PieceLine(doc, 9, ".spx", 0, 10240, false, 30000));
  RecordReads();
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_EQ(*reads_, (std::vector<std::string>{"3.txt", "4.txt", "3.txt"}));
  EXPECT_FALSE(Exists(Post("3.rdy")));
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_9.spx")), doc.substr(0, 20480)));
}

TEST_F(PostTest, WaitingPieceIsSetAsideAfterThirtyMinutes) {
  std::string doc = test::Pattern(20480, 5);
  Drop("5", test::PieceLine(doc, 6, ".spx", 10240, 10240, false, 20480));
  test::DropFile(Post("6.rdy"), "");  // a marker without its piece
  // Markers written long ago count from the first look, not from their date.
  test::SetMtime(Post("5.rdy"), ToUnixLocal(site.env.Now()) - 3600);
  EXPECT_EQ(ReperePost(g), 0);
  site.env.Advance(30 * 60);
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_TRUE(Exists(Post("5.txt")));
  EXPECT_TRUE(Exists(Post("6.rdy")));
  site.env.Advance(1);
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(Errors(), (std::vector<std::string>{"202612071030_5.rdy", "202612071030_5.txt",
                                                "202612071030_6.rdy"}));
  EXPECT_NE(site.DayLog().find("Guichet - TraitePost"), std::string::npos);
}

TEST_F(PostTest, WaitsCountOnTheSteadyClockAndAcrossTheWholeScan) {
  // Out-of-order pieces found after a long stop: the later piece (listed first) waits
  // for the earlier one, which comes in the same scan.
  std::string doc = test::Pattern(20480, 50);
  Drop("1", test::PieceLine(doc, 50, ".spx", 10240, 10240, false, 20480));
  Drop("2", test::PieceLine(doc, 50, ".spx", 0, 10240, true, 20480));
  for (const char* m : {"1.rdy", "2.rdy"})
    test::SetMtime(Post(m), ToUnixLocal(site.env.Now()) - 40 * 60);
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_50.spx")), doc));

  // A piece that has already waited more than 30 minutes still goes in when the piece
  // before it arrives, under a greater number, and is taken later in the same scan.
  std::string doc2 = test::Pattern(20480, 51);
  Drop("3", test::PieceLine(doc2, 51, ".spx", 10240, 10240, false, 20480));
  EXPECT_EQ(ReperePost(g), 0);
  site.env.Advance(31 * 60);
  Drop("4", test::PieceLine(doc2, 51, ".spx", 0, 10240, false, 20480));
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_51.spx")), doc2));

  // Summer time begins, or the clock is set by hand: the time of day jumps, the wait
  // does not.
  Drop("5", test::PieceLine(doc2, 52, ".spx", 10240, 10240, false, 20480));
  EXPECT_EQ(ReperePost(g), 0);
  site.env.Advance(60);
  site.env.SetNow(site.env.Now().AddSeconds(3600));
  EXPECT_EQ(ReperePost(g), 0);
  site.env.SetNow(site.env.Now().AddSeconds(2 * 86400));
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_TRUE(Exists(Post("5.rdy")));
  EXPECT_EQ(Errors(), std::vector<std::string>{});
}

TEST_F(PostTest, DocumentThatNeverReachesItsLengthIsSetAside) {
  // A text whose "totallength=" is larger than what comes.
  std::string text = "Compte rendu\n";
  Drop("1", test::PieceLine(text, 60, ".txt", 0, text.size(), false, 1000));
  // A dictation whose pieces keep coming, slowly, is left alone.
  std::string doc = test::Pattern(40960, 61);
  Drop("2", test::PieceLine(doc, 61, ".spx", 0, 10240, false, 40960));
  EXPECT_EQ(ReperePost(g), 2);
  site.env.Advance(20 * 60);
  Drop("3", test::PieceLine(doc, 61, ".spx", 10240, 10240, false, 40960));
  EXPECT_EQ(ReperePost(g), 1);
  site.env.Advance(10 * 60);
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_TRUE(Exists(Temp("hvr_60.txt")));
  site.env.Advance(1);
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_FALSE(Exists(Temp("hvr_60.txt")));
  EXPECT_EQ(Errors(), std::vector<std::string>{"202612071030_hvr_60.txt"});
  EXPECT_EQ(ReadAll(site.spool() + "/post_err/202612071030_hvr_60.txt"), text);
  EXPECT_NE(site.DayLog().find(W("Guichet - ReperePost : document incomplet mis de côté (") +
                               g.Spool("temp/hvr_60.txt") + ")"),
            std::string::npos);
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_61.spx")), doc.substr(0, 20480)));
  // A document whose next piece waits in "post" for a missing one is the piece's
  // business: both go once the piece has waited its time.
  Drop("4", test::PieceLine(doc, 61, ".spx", 30720, 10240, false, 40960));
  EXPECT_EQ(ReperePost(g), 0);
  site.env.Advance(30 * 60);
  EXPECT_EQ(ReperePost(g), 0);
  site.env.Advance(1);
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(Exists(Temp("hvr_61.spx")));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_FALSE(Exists(Temp("hvr_61.spx")));
  EXPECT_EQ(ListDir(site.spool() + "/temp"), std::vector<std::string>{});
}

TEST_F(PostTest, FolderWhereTheDocumentMustGoSetsThePieceAsideOnce) {
  test::MakeDirs(Task("hvr_70.spx"));         // one piece, straight into the tasks folder
  test::MakeDirs(Task("hvr_71.spx"));         // several pieces, completion
  test::MakeDirs(Temp("hvr_72.spx/inside"));  // several pieces, assembly
  std::string doc = test::Pattern(20000, 70);
  Drop("1", test::PieceLine(doc, 70, ".spx", 0, 100, false, -1));
  Drop("2", test::PieceLine(doc, 71, ".spx", 0, 10240, false, 20000));
  Drop("3", test::PieceLine(doc, 71, ".spx", 10240, 9760, false, 20000));
  Drop("4", test::PieceLine(doc, 72, ".spx", 0, 10240, false, 20000));
  Drop("5", test::PieceLine(doc, 72, ".spx", 10240, 9760, false, 20000));
  EXPECT_EQ(ReperePost(g), 5);
  EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(Errors().size(), 8u);  // all but piece 2, which went in
  const std::string log = site.DayLog();
  for (const char* m : {"1.rdy", "3.rdy", "4.rdy", "5.rdy"}) {
    const std::string line =
        "Guichet - TraiteRequete : " + Status(Status::kNotRegular, "").Description() + " (" +
        g.Spool(std::string("post/") + m) + ")";
    EXPECT_NE(log.find(line), std::string::npos) << m;
    EXPECT_EQ(log.find(line), log.rfind(line)) << m;
  }
  // Nothing is tried or logged again.
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_EQ(site.DayLog(), log);
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_71.spx")), doc));
}

TEST_F(PostTest, WriteCutShortByAStopIsDoneAgain) {
  // The document ends inside the second piece's range: Guichet was stopped while
  // writing it, before its marker went.
  std::string doc = test::Pattern(25000, 80);
  test::MakeDirs(site.spool() + "/temp");
  test::WriteAll(Temp("hvr_80.spx"), doc.substr(0, 10240 + 3000));
  Drop("2", test::PieceLine(doc, 80, ".spx", 10240, 10240, true, 25000));
  Drop("3", test::PieceLine(doc, 80, ".spx", 20480, 4520, false, 25000));
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_80.spx")), doc));
  // The same for the last piece.
  test::WriteAll(Temp("hvr_81.spx"), doc.substr(0, 20480 + 1));
  Drop("4", test::PieceLine(doc, 81, ".spx", 20480, 4520, false, 25000));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_81.spx")), doc));
  EXPECT_EQ(Errors(), std::vector<std::string>{});
}

TEST_F(PostTest, LastPieceLeftBesideItsCompleteDocumentGoesWithoutWaiting) {
  // Stopped after the document went whole into the tasks folder, before the last
  // piece's files were removed: the piece is a leftover, not a piece out of sequence.
  std::string doc = test::Pattern(25000, 82);
  test::WriteAll(Task("hvr_82.spx"), doc);
  Drop("3", test::PieceLine(doc, 82, ".spx", 20480, 4520, true, 25000));
  // The same number with other bytes at that place is not taken for a leftover.
  std::string other = test::Pattern(25000, 83);
  test::WriteAll(Task("hvr_83.spx"), doc);
  Drop("4", test::PieceLine(other, 83, ".spx", 20480, 4520, false, 25000));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_FALSE(test::Exists(site.spool() + "/post/3.rdy"));
  EXPECT_TRUE(test::Exists(site.spool() + "/post/4.rdy"));
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_82.spx")), doc));
  EXPECT_EQ(ListDir(site.spool() + "/temp"), std::vector<std::string>{});
}

TEST_F(PostTest, RollbackNeverLeavesTheDocumentMissing) {
  std::string doc = test::Pattern(30720, 90);
  Drop("1", test::PieceLine(doc, 90, ".spx", 0, 10240, false, 30720));
  Drop("2", test::PieceLine(doc, 90, ".spx", 10240, 10240, false, 30720));
  ASSERT_EQ(ReperePost(g), 2);
  // Every way of making the document anew fails, as if Guichet stopped there.
  for (const char* op : {"WriteFileAtomic", "CopyFile", "RenameFile", "DeleteFile"})
    site.env.FailWhen(
        op, [](const std::string& p) { return p.find("/temp/") != p.npos; }, Status::kIo);
  Drop("3", test::PieceLine(doc, 90, ".spx", 20480, 5000, false, 30720, 10240));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_90.spx")), doc.substr(0, 20480)));
  site.env.ClearFailures();
  Drop("4", test::PieceLine(doc, 90, ".spx", 20480, 10240, true, 30720));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_90.spx")), doc));
  EXPECT_EQ(ListDir(site.spool() + "/temp"), std::vector<std::string>{});
}

TEST_F(PostTest, RollbackCopyLeftByAStopIsTakenBack) {
  std::string doc = test::Pattern(30720, 91);
  test::MakeDirs(site.spool() + "/temp");
  // Stopped between deleting the document and making it again from its copy; the short
  // piece that caused the rollback is still in "post".
  std::string short_piece = doc.substr(20480, 5000);
  test::WriteAll(Temp("hvr_91.spx.tofix"), doc.substr(0, 20480) + short_piece);
  Drop("3", test::PieceLine(doc, 91, ".spx", 20480, 5000, false, 30720, 10240));
  // Stopped after making it again, before deleting the copy.
  test::WriteAll(Temp("hvr_92.spx"), doc.substr(0, 10240));
  test::WriteAll(Temp("hvr_92.spx.tofix"), doc.substr(0, 15000));
  Drop("4", test::PieceLine(doc, 92, ".spx", 10240, 10240, false, 30720));
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_91.spx")), doc.substr(0, 20480)));
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_92.spx")), doc.substr(0, 20480)));
  EXPECT_EQ(ListDir(site.spool() + "/temp"),
            (std::vector<std::string>{"hvr_91.spx", "hvr_92.spx"}));
  Drop("5", test::PieceLine(doc, 91, ".spx", 20480, 10240, false, 30720));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_91.spx")), doc));
}

TEST_F(PostTest, ShortPieceIsRolledBackAndSetAside) {
  std::string doc = test::Pattern(30720, 6);
  Drop("1", test::PieceLine(doc, 12, ".spx", 0, 10240, false, 30720));
  Drop("2", test::PieceLine(doc, 12, ".spx", 10240, 10240, false, 30720));
  ASSERT_EQ(ReperePost(g), 2);
  site.env.Advance(125);
  // Payload of 5000 bytes where "length=" says 10240.
  Drop("3", test::PieceLine(doc, 12, ".spx", 20480, 5000, true, 30720, 10240));
  // A first piece that is short deletes its document.
  Drop("4", test::PieceLine(doc, 13, ".spx", 0, 100, false, -1, 101));
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Temp("hvr_12.spx")), doc.substr(0, 20480)));
  EXPECT_FALSE(Exists(Temp("hvr_12.spx.tofix")));
  EXPECT_FALSE(Exists(Task("hvr_13.spx")));
  EXPECT_EQ(Errors(), (std::vector<std::string>{"202612071002_3.rdy", "202612071002_3.txt",
                                                "202612071002_4.rdy", "202612071002_4.txt"}));
  EXPECT_EQ(ReadAll(site.spool() + "/post_err/202612071002_4.txt"),
            test::PieceLine(doc, 13, ".spx", 0, 100, false, -1, 101) + "\r\n");
  EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(Compte(), "4");
  // The document goes on from where it was.
  Drop("5", test::PieceLine(doc, 12, ".spx", 20480, 10240, false, 30720));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_12.spx")), doc));
}

TEST_F(PostTest, UrgentAndPidPiecesComeAfterOrdinaryOnes) {
  auto writes = std::make_shared<std::vector<std::string>>();
  site.env.FailWhen(
      "WriteAt",
      [writes](const std::string& p) {
        writes->push_back(NomFichier(p));
        return false;
      },
      Status::kIo);
  Drop("1", test::PieceLine("pid", 3, ".pid", 0, 3, false, -1));
  Drop("2", test::PieceLine("urgent", 3, ".URG", 0, 6, false, -1));
  Drop("3", test::PieceLine("audio", 3, ".spx", 0, 5, false, -1));
  Drop("4", test::PieceLine("audio2", 4, ".spx", 0, 6, true, -1));
  EXPECT_EQ(ReperePost(g), 4);
  EXPECT_EQ(*writes,
            (std::vector<std::string>{"hvr_3.spx", "hvr_4.spx", "hvr_3.URG", "hvr_3.pid"}));
  EXPECT_EQ(ReadAll(Task("hvr_3.pid")), "pid");
  EXPECT_EQ(TraitePost(g, "9.rdy", "pid"), false);  // no such piece
}

TEST_F(PostTest, ListPieces) {
  Drop("1", "List=a|b|-End-|c");
  Drop("2", "List=a|b");
  Drop("3", "List=");
  EXPECT_EQ(ReperePost(g), 3);
  EXPECT_EQ(ReadAll(site.app() + "/vaultpilot.cbo"), "a\r\nb\r\nc\r\n-End-\r\n");
  EXPECT_EQ(Compte(), "3");
  EXPECT_EQ(g.AssembledCount, 3);
  EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
  // Both counters wrap from 2000000 to 1.
  g.AssembledCount = 2000000;
  g.SetLabel(Label::kCompte, "2000000");
  Drop("4", "List=x");
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_EQ(g.AssembledCount, 1);
  EXPECT_EQ(Compte(), "1");
  EXPECT_EQ(g.GetLabel(Label::kLabelProgression), W("Nombre de fichiers assemblés : 1"));
}

TEST_F(PostTest, PiecesThatCanNeverBeHandledAreSetAsideAtOnce) {
  struct Case {
    std::string name, line;
  } cases[] = {
      {"1", "idexamen=1&extension=[2F]x&offset=0&length=1&data=41"},  // "/x"
      {"2", "idexamen=1&extension=.a:b&offset=0&length=1&data=41"},
      {"3", "idexamen=1&extension=..&offset=0&length=1&data=41"},
      {"4", "idexamen=1&extension=.spx&offset=0&length=1"},  // no "&data="
      {"5", "list=a|b|c"},                                   // "List=" has exact case
      {"6", "idexamen=99999999999&extension=.spx&length=1&data=41"},
  };
  for (const Case& c : cases) Drop(c.name, c.line);
  EXPECT_EQ(ReperePost(g), 6);
  EXPECT_EQ(ListDir(site.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(Errors().size(), 12u);
  EXPECT_EQ(ListDir(site.tasks()), std::vector<std::string>{});
  EXPECT_EQ(ListDir(site.root()), (std::vector<std::string>{"Guichet", "IsapiHalvero", "Tasks"}));
  EXPECT_EQ(g.AssembledCount, 0);
}

TEST_F(PostTest, LongLinesUpToTheCap) {
  // A line well past 16 bits of characters is handled...
  std::string doc = test::Pattern(200000, 7);
  Drop("1", test::PieceLine(doc, 21, ".spx", 0, doc.size(), false, -1));
  // ...and one past the cap is set aside.
  Drop("2", "idexamen=22&extension=.spx&data=" + std::string(kMaxPieceLine, 'A'));
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_21.spx")), doc));
  EXPECT_FALSE(Exists(Task("hvr_22.spx")));
  EXPECT_EQ(Errors().size(), 2u);
}

TEST_F(PostTest, FailuresThatPassLeaveThePieceForTheNextTick) {
  std::string doc = test::Pattern(20000, 8);
  Drop("1", test::PieceLine(doc, 30, ".spx", 0, 10240, false, 20000));
  Drop("2", test::PieceLine(doc, 30, ".spx", 10240, 9760, false, 20000));
  site.env.FailWhen(
      "WriteAt", [](const std::string& p) { return p.find("hvr_30") != p.npos; },
      Status::kDiskFull);
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_NE(
      site.DayLog().find("Guichet - TraiteRequete : Disque plein (" + g.Spool("post/1.rdy") + ")"),
      std::string::npos);
  EXPECT_TRUE(Exists(Post("1.txt")));
  // A failure that lasts is logged once, not on every tick.
  const std::string log = site.DayLog();
  EXPECT_EQ(ReperePost(g), 0);
  EXPECT_EQ(site.DayLog(), log);
  site.env.ClearFailures();
  // The completion move fails: the last piece stays until the document is moved.
  for (const char* op : {"RenameFile", "CopyFile"})
    site.env.FailWhen(
        op, [](const std::string& p) { return p.find("/temp/") != p.npos; }, Status::kDenied);
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(Exists(Post("2.rdy")));
  EXPECT_FALSE(Exists(Task("hvr_30.spx")));
  site.env.ClearFailures();
  // Where the move cannot be a rename (another file system), the document is copied.
  site.env.FailWhen(
      "RenameFile", [](const std::string& p) { return p.find("/temp/") != p.npos; }, Status::kIo);
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_30.spx")), doc));
  EXPECT_FALSE(Exists(Temp("hvr_30.spx")));
  EXPECT_EQ(Compte(), "2");
}

TEST_F(PostTest, TextDocumentInSeveralPiecesIsConvertedWhole) {
  // "é" is cut between the two pieces.
  std::string text = "Compte rendu\nl'" + std::string(10235, 'x') + "\xC3\xA9l\xC3\xA8ve\n";
  size_t cut = text.find('\xC3') + 1;
  ASSERT_EQ(static_cast<unsigned char>(text[cut - 1]), 0xC3);
  Drop("1", test::PieceLine(text, 40, ".txt", 0, cut, false, text.size()));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_FALSE(Exists(Task("hvr_40.txt")));  // not before it is complete
  Drop("2", test::PieceLine(text, 40, ".txt", cut, text.size() - cut, true, text.size()));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(test::SameBytes(ReadAll(Task("hvr_40.txt")), ConvertUtf8To1252(text)));
  EXPECT_EQ(ReadAll(Task("hvr_40.txt")).substr(0, 14), "Compte rendu\r\n");
  EXPECT_FALSE(Exists(Temp("hvr_40.txt")));
  // In one piece the text is converted as it is written.
  Drop("3", test::PieceLine("d\xC3\xA9j\xC3\xA0\n", 41, ".urg", 0, 7, false, -1));
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_EQ(ReadAll(Task("hvr_41.urg")), "d\xE9j\xE0\r\n");
}

TEST_F(PostTest, DocumentNumberInPlainDecimal) {
  Drop("1", "extension=.pdf&idexamen=0042&length=3&data=414243");
  Drop("2", "length=1&extension=&data=00");
  EXPECT_EQ(ReperePost(g), 2);
  EXPECT_EQ(ReadAll(Task("hvr_42.pdf")), "ABC");
  EXPECT_EQ(ReadAll(Task("hvr_0")), std::string(1, '\0'));
}

TEST_F(PostTest, PickupFailures) {
  site.env.FailWhen(
      "ListFiles", [](const std::string& p) { return p.find("post") != p.npos; }, Status::kDenied);
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_NE(site.DayLog().find("Guichet - ReperePost : "), std::string::npos);
  EXPECT_FALSE(g.ended);

  site.env.ClearFailures();
  site.env.FailWhen(
      "ListFiles", [](const std::string& p) { return p.find("post") != p.npos; },
      Status::kBadHandle);
  test::WriteAll(site.app() + "/ReVault.exe", "");
  EXPECT_EQ(ReperePost(g), 1);
  EXPECT_TRUE(g.ended);
  EXPECT_EQ(site.env.started, std::vector<std::string>{g.App("ReVault.exe")});
}

}  // namespace
}  // namespace guichet
