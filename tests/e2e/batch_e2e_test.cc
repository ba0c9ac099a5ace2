// The batch files that the real Guichet writes, run by the real guichet-batch: a
// dictation goes from the tasks folder to transcription (move cycle), to validation (its
// stage batch file), to publication ("finished") and into the archives (the archive
// batch file, found by --archive), where "archives" lists it and its PDF is served.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "platform/datetime.h"
#include "platform/env.h"
#include "support/text.h"
#include "support_lib/site.h"

#ifndef GUICHET_SOURCE_DIR
#define GUICHET_SOURCE_DIR "."
#endif

namespace guichet::test {
namespace {

namespace fs = std::filesystem;

// Runs guichet-batch with `args`; its exit code, its standard error in *err.
int RunBatchProgram(const std::string& root, const std::vector<std::string>& args,
                    std::string* err) {
  ChildProcess p;
  const std::string err_file = root + "/batch-stderr.txt";
  if (!p.Start(BinaryDir() + "/guichet-batch" + kExecutableSuffix, args, err_file)) return -1;
  int code = p.Wait(30000);
  *err = ReadAll(err_file);
  return code;
}

TEST(BatchEndToEnd, GuichetsOwnBatchFilesCarryADictationToTheArchives) {
  RunningGuichet rg;
  const std::string tasks = rg.tasks();
  fs::copy(std::string(GUICHET_SOURCE_DIR) + "/tools/demo-site/Templates", rg.root() + "/Templates",
           fs::copy_options::recursive);
  const std::string expiry = Format(FromUnixLocal(std::time(nullptr) + 86400), "dd/mm/yyyy hh:nn");
  WriteAll(rg.app() + "/guichet_lastlogons.txt", "tok;u7;" + expiry + "\r\n");
  const std::string wav = "RIFF" + std::string(4000, 'd');
  WriteAll(tasks + "/hvr_42.wav", wav);
  WriteAll(tasks + "/hvr_42.typedoc", "LT\r\n");
  rg.Start();
  ASSERT_TRUE(rg.Running());
  // "finished" is answered with no page: done once Guichet has taken the request.
  auto finished = [&](const std::string& name) {
    DropRequest(rg.spool(), name + ".req", {"/portail.hv", "tok", "finished", "", "42", ""});
    ASSERT_TRUE(WaitUntil([&] { return !Exists(rg.spool() + "/in/" + name + ".req"); }, 10000));
  };

  finished("f1");
  const std::string trans = tasks + "/Transcriptions/u7";
  ASSERT_TRUE(WaitUntil([&] { return Exists(trans + "/hvr_42.finished.bat"); }, 20000));
  // The transcriber's work, then the stage batch file, given by its path.
  WriteAll(trans + "/hvr_42.pdf", "%PDF-1.4 lettre");
  WriteAll(trans + "/hvr_42.id", "Lettre Martin\r\n");
  const std::vector<std::string> family = ListDir(trans);
  std::string err;
  ASSERT_EQ(RunBatchProgram(rg.root(), {trans + "/hvr_42.finished.bat"}, &err), 0) << err;
  EXPECT_TRUE(ListDir(trans).empty());
  EXPECT_EQ(ListDir(tasks + "/Validations/u7"), family);
  EXPECT_EQ(ReadAll(tasks + "/Validations/u7/hvr_42.wav"), wav);

  finished("f2");
  const std::string pub = tasks + "/Publications/u7";
  ASSERT_TRUE(WaitUntil([&] { return Exists(pub + "/hvr_42.finished.bat"); }, 10000));
  // A second author's folder planted as a link is named, and the rest still runs.
  TempDir elsewhere;
#ifndef _WIN32
  fs::create_symlink(elsewhere.path(), tasks + "/Publications/u8");
  EXPECT_EQ(RunBatchProgram(rg.root(), {"--archive", rg.root()}, &err), 2);
  EXPECT_NE(err.find("Publications\\u8: refused"), std::string::npos) << err;
#else
  MakeDirs(tasks + "/Publications/u8");
  EXPECT_EQ(RunBatchProgram(rg.root(), {"--archive", rg.root()}, &err), 0) << err;
#endif
  const std::string archive = rg.root() + "/Archives/Lettre Martin";
  EXPECT_EQ(ListDir(archive), (std::vector<std::string>{"hvr_42.info", "hvr_42.pdf"}));
  EXPECT_EQ(ListDir(rg.root() + "/Archives_Trash/Lettre Martin"),
            (std::vector<std::string>{"hvr_42.finished.bat", "hvr_42.id", "hvr_42.rtf",
                                      "hvr_42.typedoc", "hvr_42.wav"}));
  EXPECT_TRUE(ListDir(pub).empty());
  fs::remove(tasks + "/Publications/u8");
  EXPECT_EQ(RunBatchProgram(rg.root(), {"--archive", rg.root()}, &err), 0) << err;

  // The next document of the same name finds the archived one, and its PDF is served.
  WriteAll(tasks + "/Validations/u7/hvr_43.id", "Lettre Martin\r\n");
  const std::string answer = rg.Ask("a1", {"/portail.hv", "tok", "archives", "", "43", ""});
  const std::vector<std::string> rows = SplitLines(answer);
  ASSERT_EQ(rows.size(), 2u) << answer;
  EXPECT_EQ(rows[0], "||command=archives||");
  const std::vector<std::string> fields = Split(rows[1], '|');
  ASSERT_GE(fields.size(), 3u) << rows[1];
  EXPECT_EQ(fields[1], "pdf");
  EXPECT_EQ(ReadAll(fields[0] + ".pdf"), "%PDF-1.4 lettre");
  EXPECT_EQ(rg.Stop(), 0);
}

}  // namespace
}  // namespace guichet::test
