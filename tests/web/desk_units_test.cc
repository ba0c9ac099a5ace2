// The transcription desk's module without HTTP: the transcribers list, the claims and
// their expiry, the name written into a .id, and the aside write over what stands at the
// target's name.
#include <gtest/gtest.h>

#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "desk.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet::test {
namespace {

namespace desk = web::desk;

TEST(DeskTranscribers, ListParsedAndReadAgainWhenItChanges) {
  EXPECT_EQ(
      desk::ParseTranscribers("\xEF\xBB\xBF; comment\r\n  marie \r\n\r\n;paul\npaul\t\nZo\xC3\xA9"),
      (std::set<std::string>{"marie", "paul", "Zo\xC3\xA9"}));
  // Windows-1252 from the administrator's editor comes out as UTF-8.
  EXPECT_EQ(desk::ParseTranscribers("Zo\xE9\r\n"), (std::set<std::string>{"Zo\xC3\xA9"}));

  TempDir dir;
  const std::string path = dir.path() + "/guichet_transcribers.txt";
  desk::Transcribers list(path);
  EXPECT_FALSE(list.Contains("marie"));  // no file: nobody
  WriteAll(path, "marie\r\n");
  EXPECT_TRUE(list.Contains("marie"));
  EXPECT_FALSE(list.Contains("Marie"));  // identifiers compared exactly
  EXPECT_FALSE(list.Contains(""));
  WriteAll(path, "paul\r\n");
  EXPECT_FALSE(list.Contains("marie"));
  EXPECT_TRUE(list.Contains("paul"));
  std::filesystem::remove(NativePath(path));
  EXPECT_FALSE(list.Contains("paul"));
}

TEST(DeskClaims, HeldUntilClosedReleasedOrIdleTwoHours) {
  desk::Claims claims;
  const auto t0 = desk::Claims::Clock::now();
  std::string other;
  ASSERT_TRUE(claims.Open("u7/42", "tokA", "Marie", false, t0, &other));
  EXPECT_FALSE(claims.Open("u7/42", "tokB", "Paul", false, t0, &other));
  EXPECT_EQ(other, "Marie");
  EXPECT_EQ(claims.HeldByOther("u7/42", "tokB", t0), "Marie");
  EXPECT_EQ(claims.HeldByOther("u7/42", "tokA", t0), "");
  // Each request of the holder renews the claim; two idle hours end it.
  const auto later = t0 + std::chrono::minutes(90);
  EXPECT_EQ(claims.HeldByOther("u7/42", "tokA", later), "");
  EXPECT_EQ(claims.HeldByOther("u7/42", "tokB", later + std::chrono::minutes(100)), "Marie");
  EXPECT_EQ(claims.HeldByOther("u7/42", "tokB", later + desk::Claims::kHold), "");
  EXPECT_TRUE(claims.Open("u7/42", "tokB", "Paul", false, later + desk::Claims::kHold, &other));
  // Closing what another holds changes nothing; a log-off releases everything of its own.
  claims.Close("u7/42", "tokA");
  bool mine = false;
  EXPECT_EQ(claims.Holder("u7/42", "tokA", later + desk::Claims::kHold, &mine), "Paul");
  EXPECT_FALSE(mine);
  ASSERT_TRUE(claims.Open("u7/43", "tokB", "Paul", false, t0, &other));
  claims.ReleaseAll("tokB");
  EXPECT_TRUE(claims.Open("u7/42", "tokA", "Marie", false, t0, &other));
  EXPECT_TRUE(claims.Open("u7/43", "tokA", "Marie", false, t0, &other));
}

TEST(DeskNames, NameForIdAndTheFirstLineReplaced) {
  std::string line, why;
  ASSERT_TRUE(desk::NameForId("  Dupont \xC3\x89lise \xE2\x82\xAC ", &line, &why));
  EXPECT_EQ(line, W("Dupont Élise €"));
  for (std::string bad :
       {std::string(""), std::string("   "), std::string("a\tb"), std::string("a\xC2\x85"),
        std::string("\xE6\x97\xA5"), std::string("\xC3"), std::string(201, 'x')})
    EXPECT_FALSE(desk::NameForId(bad, &line, &why)) << bad;
  EXPECT_TRUE(desk::NameForId(std::string(200, 'x'), &line, &why));
  EXPECT_EQ(desk::ReplaceFirstLine("old\r\nsecond\r\n", "new"), "new\r\nsecond\r\n");
  EXPECT_EQ(desk::ReplaceFirstLine("old\nsecond", "new"), "new\nsecond");
  EXPECT_EQ(desk::ReplaceFirstLine("old", "new"), "new\r\n");
  EXPECT_EQ(desk::ReplaceFirstLine("", "new"), "new\r\n");
}

TEST(DeskWrites, AsideFileReplacesWhatStandsAtTheName) {
  TempDir dir;
  const std::string folder = dir.path();
  {
    desk::AsideFile left;  // not committed: nothing stays behind
    ASSERT_EQ(left.Open(folder, "hvr_1.pdf"), 0);
    ASSERT_EQ(left.Write("partial"), 0);
  }
  EXPECT_TRUE(ListDir(folder).empty());
  WriteAll(folder + "/hvr_1.pdf", "old");
  desk::AsideFile out;
  ASSERT_EQ(out.Open(folder, "hvr_1.pdf"), 0);
  ASSERT_EQ(out.Write("new"), 0);
  ASSERT_EQ(out.Commit(), 0);
  EXPECT_EQ(ReadAll(folder + "/hvr_1.pdf"), "new");
  EXPECT_EQ(ListDir(folder), std::vector<std::string>{"hvr_1.pdf"});
  // A folder at the name is not replaced: the write fails and leaves nothing aside.
  MakeDirs(folder + "/hvr_2.pdf");
  {
    desk::AsideFile onto;
    ASSERT_EQ(onto.Open(folder, "hvr_2.pdf"), 0);
    EXPECT_NE(onto.Commit(), 0);
  }
  EXPECT_EQ(ListDir(folder), (std::vector<std::string>{"hvr_1.pdf", "hvr_2.pdf"}));
  // What a guichet-web that ended left aside goes with the next queue; this one's stays.
  const std::string u7 = folder + "/Transcriptions/u7";
  MakeDirs(u7);
  WriteAll(u7 + "/hvr_5.wav", "RIFF");
  const std::string mine = "~hvr_5.pdf." + std::to_string(web::os::ProcessId()) + "-7.tmp";
  WriteAll(u7 + "/~hvr_5.pdf.999999999-1.tmp", "left");
  WriteAll(u7 + "/" + mine, "writing");
  const auto queue = desk::ReadQueue(folder + "/Transcriptions", folder + "/Templates");
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].number, "5");
  EXPECT_EQ(ListDir(u7), (std::vector<std::string>{"hvr_5.wav", mine}));
#ifndef _WIN32
  // A FIFO at the name neither blocks the write nor receives it.
  ASSERT_EQ(mkfifo((folder + "/hvr_3.pdf").c_str(), 0600), 0);
  desk::AsideFile past;
  ASSERT_EQ(past.Open(folder, "hvr_3.pdf"), 0);
  ASSERT_EQ(past.Write("typed"), 0);
  ASSERT_EQ(past.Commit(), 0);
  EXPECT_EQ(ReadAll(folder + "/hvr_3.pdf"), "typed");
#endif
}

}  // namespace
}  // namespace guichet::test
