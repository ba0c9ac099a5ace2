// One dictation along the whole road, with the real executable: a Speex file in the tasks
// folder, "finished" while it is there (queued), the move cycle on the slow beat, the
// stage batch file run (simulated here), "finished" again (published) and the archive
// batch file run. The demo site's catalogues and templates are the ones used.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/datetime.h"
#include "platform/env.h"
#include "support/text.h"
#include "workflow/workflow_test_util.h"

#ifndef GUICHET_SOURCE_DIR
#define GUICHET_SOURCE_DIR "."
#endif

namespace guichet::test {
namespace {

namespace fs = std::filesystem;

std::string Unquote(std::string s) {
  s = Trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  return ReplaceAll(s, "\\", "/");
}

// Runs the "mkdir" and "move" lines of a batch file in its folder, as the command
// interpreter would: a move into a missing folder fails, a pattern matching nothing too.
void RunBatch(const std::string& folder, const std::string& name) {
  for (const std::string& line : SplitLines(ReadAll(folder + "/" + name))) {
    if (line.rfind("mkdir ", 0) == 0) {
      std::error_code ec;
      fs::create_directory(folder + "/" + Unquote(line.substr(6)), ec);
    } else if (line.rfind("move ", 0) == 0) {
      size_t quote = line.find('"');
      ASSERT_NE(quote, std::string::npos) << line;
      std::string pattern = Trim(line.substr(5, quote - 5));
      std::string target = folder + "/" + Unquote(line.substr(quote));
      if (!fs::is_directory(target)) continue;
      for (const std::string& f : ListDir(folder))
        if (fs::is_regular_file(folder + "/" + f) && MatchesListPattern(f, pattern))
          fs::rename(folder + "/" + f, target + "/" + f);
    } else {
      ADD_FAILURE() << "unexpected batch line: " << line;
    }
  }
}

TEST(WorkflowEndToEnd, DictationFromTasksToArchive) {
  REQUIRE_DICTATION();
  RunningGuichet rg;
  const std::string tasks = rg.tasks();
  fs::copy(std::string(GUICHET_SOURCE_DIR) + "/tools/demo-site/Templates", rg.root() + "/Templates",
           fs::copy_options::recursive);
  const std::string expiry = Format(FromUnixLocal(std::time(nullptr) + 86400), "dd/mm/yyyy hh:nn");
  WriteAll(rg.app() + "/guichet_lastlogons.txt", "tok;u7;" + expiry + "\r\n");
  WriteAll(tasks + "/hvr_42.spx", ReadAll(Dictation()));
  WriteAll(tasks + "/hvr_42.typedoc", "LT\r\n");
  rg.Start();
  ASSERT_TRUE(rg.Running());

  auto transition = [&](const std::string& name) {
    DropRequest(rg.spool(), name + ".req", {"/portail.hv", "tok", "finished", "", "42", ""});
    EXPECT_TRUE(WaitUntil([&] { return !Exists(rg.spool() + "/in/" + name + ".req"); }, 10000));
    EXPECT_FALSE(Exists(rg.spool() + "/out/" + name + ".htm"));
    EXPECT_FALSE(Exists(rg.spool() + "/out/" + name + ".rdy"));
  };

  // Still in the tasks folder: queued, then moved on the beat.
  transition("f1");
  const std::string trans = tasks + "/Transcriptions/u7";
  ASSERT_TRUE(WaitUntil([&] { return Exists(trans + "/hvr_42.finished.bat"); }, 20000))
      << ReadAll(rg.root() + "/stderr.txt");
  ASSERT_TRUE(WaitUntil([&] { return ReadAll(tasks + "/ToMove.txt").empty(); }, 5000));
  EXPECT_TRUE(Exists(tasks + "/ToMove.txt"));  // emptied in place
  EXPECT_EQ(ListDir(trans), (std::vector<std::string>{
                                "hvr_42.caf", "hvr_42.finished.bat", "hvr_42.id", "hvr_42.info",
                                "hvr_42.rtf", "hvr_42.spx.old", "hvr_42.typedoc", "hvr_42.wav"}));
  EXPECT_EQ(ReadAll(trans + "/hvr_42.finished.bat"),
            "mkdir \"..\\..\\Validations\"\r\nmkdir \"..\\..\\Validations\\u7\"\r\n"
            "move hvr_42.* \"..\\..\\Validations\\u7\"\r\n");
  ExpectProbe(trans + "/hvr_42.caf", "sample_rate", "11025");
  ExpectProbe(trans + "/hvr_42.wav", "channels", "1");
  const std::string info = ReadAll(trans + "/hvr_42.info");
  EXPECT_NE(info.find(W("Désignation=Lettre - Cardiologie (u7)\r\n")), std::string::npos) << info;

  // The transcription is done outside Guichet; its stage batch file carries it on.
  WriteAll(trans + "/hvr_42.pdf", "%PDF-1.4 letter");
  WriteAll(trans + "/hvr_42.id", "  Lettre Martin \r\n");
  RunBatch(trans, "hvr_42.finished.bat");
  ASSERT_TRUE(fs::is_empty(trans));

  transition("f2");
  const std::string pub = tasks + "/Publications/u7";
  ASSERT_TRUE(WaitUntil([&] { return Exists(pub + "/hvr_42.finished.bat"); }, 10000));
  const std::string a = "..\\..\\..\\Archives", t = "..\\..\\..\\Archives_Trash";
  const std::string n = "\\Lettre Martin\"\r\n";
  EXPECT_EQ(ReadAll(pub + "/hvr_42.finished.bat"),
            "mkdir \"" + a + "\"\r\nmkdir \"" + a + n + "move hvr_42.info \"" + a + n +
                "move hvr_42.pdf \"" + a + n + "move hvr_42.txt \"" + a + n + "move hvr_42.doc \"" +
                a + n + "mkdir \"" + t + "\"\r\nmkdir \"" + t + n + "move hvr_42.* \"" + t + n);
  RunBatch(pub, "hvr_42.finished.bat");
  EXPECT_EQ(ListDir(rg.root() + "/Archives/Lettre Martin"),
            (std::vector<std::string>{"hvr_42.info", "hvr_42.pdf"}));
  EXPECT_EQ(
      ListDir(rg.root() + "/Archives_Trash/Lettre Martin"),
      (std::vector<std::string>{"hvr_42.caf", "hvr_42.finished.bat", "hvr_42.id", "hvr_42.rtf",
                                "hvr_42.spx.old", "hvr_42.typedoc", "hvr_42.wav"}));

  const std::string log = ReadAll(rg.app() + "/guichet.log");
  EXPECT_NE(log.find(" - Trans. : u7 (#42)\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" - Publi. : u7 (#42)\r\n"), std::string::npos) << log;
  EXPECT_EQ(rg.Stop(), 0);
}

}  // namespace
}  // namespace guichet::test
