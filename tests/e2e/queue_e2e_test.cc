// The move queue and the transcription folder under outside interference, with the real
// executable: another program holding the queue lock, a FIFO in the queue's place, a
// link planted where a conversion writes, and kill -9 in the middle of move cycles.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/datetime.h"
#include "support/text.h"
#include "support_lib/queue_lock.h"
#include "workflow/workflow_test_util.h"

#ifndef GUICHET_SOURCE_DIR
#define GUICHET_SOURCE_DIR "."
#endif

namespace guichet::test {
namespace {

namespace fs = std::filesystem;

// A site with the demo catalogues and an open session "tok" of u7.
class QueueSite : public ::testing::Test {
 protected:
  RunningGuichet rg;
  std::string tasks = rg.tasks();
  std::string trans = rg.tasks() + "/Transcriptions/u7";

  void SetUp() override {
    fs::copy(std::string(GUICHET_SOURCE_DIR) + "/tools/demo-site/Templates",
             rg.root() + "/Templates", fs::copy_options::recursive);
    const std::string expiry =
        Format(FromUnixLocal(std::time(nullptr) + 86400), "dd/mm/yyyy hh:nn");
    WriteAll(rg.app() + "/guichet_lastlogons.txt", "tok;u7;" + expiry + "\r\n");
  }
  std::vector<std::string> Finished(const std::string& id) {
    return {"/portail.hv", "tok", "finished", "", id, ""};
  }
};

TEST_F(QueueSite, LockHeldElsewhereFailsTheRequestAndFreezesNothing) {
  WriteAll(tasks + "/hvr_42.typedoc", "LT\r\n");
  WriteAll(tasks + "/ToMove.txt", "41;u7\r\n");
  rg.Start();
  ASSERT_TRUE(rg.Running());
  LockHolder holder(tasks + "/ToMove.txt", 30000);
  ASSERT_GT(holder.pid(), 0);
  // Several move cycles pass while the lock is held, and requests are still answered.
  std::this_thread::sleep_for(std::chrono::seconds(7));
  const std::string page = rg.Ask("f1", Finished("42"), nullptr, 10000);
  EXPECT_NE(page.find("Erreur&nbsp;dans&nbsp;PortailHalvero"), std::string::npos) << page;
  EXPECT_TRUE(holder.Release()) << "Guichet waited for the lock";
  EXPECT_EQ(ReadAll(tasks + "/ToMove.txt"), "41;u7\r\n");
  // Once the lock is free, the same request is taken and the document moves.
  DropRequest(rg.spool(), "f2.req", Finished("42"));
  EXPECT_TRUE(WaitUntil([&] { return Exists(trans + "/hvr_42.finished.bat"); }, 20000));
  EXPECT_EQ(rg.Stop(), 0);
}

TEST_F(QueueSite, FifoInPlaceOfTheQueue) {
#ifdef _WIN32
  GTEST_SKIP() << "FIFOs in the file system are a Linux thing";
#else
  WriteAll(tasks + "/hvr_42.typedoc", "LT\r\n");
  ASSERT_EQ(mkfifo((tasks + "/ToMove.txt").c_str(), 0666), 0);
  rg.Start();
  const std::string page = rg.Ask("f1", Finished("42"), nullptr, 10000);
  EXPECT_NE(page.find("Erreur&nbsp;dans&nbsp;PortailHalvero"), std::string::npos) << page;
  EXPECT_TRUE(rg.Running());
  EXPECT_EQ(rg.Stop(), 0);
#endif
}

TEST_F(QueueSite, LinkInTheTranscriptionFolderIsNotWrittenThrough) {
  SKIP_ON_WINDOWS("symbolic links planted the Linux way");
  REQUIRE_DICTATION();
  const std::string victim = rg.root() + "/victim.bin";
  const std::string content(20000, 'v');
  WriteAll(victim, content);
  MakeDirs(trans);
  fs::create_symlink(victim, trans + "/hvr_42.caf");
  WriteAll(tasks + "/hvr_42.spx", ReadAll(Dictation()));
  WriteAll(tasks + "/hvr_42.typedoc", "LT\r\n");
  WriteAll(tasks + "/ToMove.txt", "42;u7\r\n");
  rg.Start();
  ASSERT_TRUE(WaitUntil([&] { return Exists(trans + "/hvr_42.finished.bat"); }, 20000));
  EXPECT_EQ(rg.Stop(), 0);
  EXPECT_TRUE(ReadAll(victim) == content);
  const std::string log = ReadAll(rg.app() + "/guichet.log");
  // One line for the one conversion stopped.
  const std::string refused = "ConvertirSpx : Type de fichier incorrect (";
  const size_t at = log.find(refused);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(refused, at + 1), std::string::npos) << log;
  EXPECT_NE(log.find("/Transcriptions/u7/hvr_42.caf)\r\n"), std::string::npos) << log;
}

// kill -9 at several instants of move cycles that carry many dictations; after each
// restart the cycles carry on, and in the end every document is whole: converted,
// finished, nothing left in the tasks folder.
TEST_F(QueueSite, KilledDuringMoveCyclesEveryDocumentEndsFinished) {
  REQUIRE_DICTATION();
  const std::string spx = ReadAll(Dictation());
  std::string queue;
  const int kDocuments = 40;
  for (int i = 1; i <= kDocuments; ++i) {
    const std::string id = Dec(i);
    WriteAll(tasks + "/hvr_" + id + ".spx", spx);
    WriteAll(tasks + "/hvr_" + id + ".typedoc", "LT\r\n");
    WriteAll(tasks + "/hvr_" + id + ".urg", "normal\r\n");
    queue += id + ";u7\r\n";
  }
  WriteAll(tasks + "/ToMove.txt", queue);
  auto moved = [&] {
    return fs::is_directory(trans) ? static_cast<int>(ListDir(trans).size()) : 0;
  };
  int kills = 0;
  for (int delay_ms : {0, 150, 400, 900}) {
    rg.Start();
    // Kill once the cycle has started moving files, a little later each time.
    int before = moved();
    if (!WaitUntil([&] { return moved() > before; }, 15000)) break;  // nothing left to move
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    if (ReadAll(tasks + "/ToMove.txt").empty()) break;
    rg.Kill();
    ++kills;
  }
  EXPECT_GT(kills, 0);
  if (!rg.Running()) rg.Start();
  ASSERT_TRUE(WaitUntil([&] { return ReadAll(tasks + "/ToMove.txt").empty(); }, 60000));
  EXPECT_EQ(rg.Stop(), 0);

  for (const std::string& f : ListDir(tasks)) EXPECT_EQ(f.rfind("hvr_", 0), std::string::npos) << f;
  for (int i = 1; i <= kDocuments; ++i) {
    const std::string base = trans + "/hvr_" + Dec(i);
    SCOPED_TRACE(base);
    EXPECT_FALSE(Exists(base + ".spx"));
    EXPECT_TRUE(ReadAll(base + ".spx.old") == spx);
    const std::string wav = ReadAll(base + ".wav"), caf = ReadAll(base + ".caf");
    EXPECT_GT(wav.size(), 1000u);
    EXPECT_EQ(caf.size(), wav.size() + 4096 - 44);
    EXPECT_TRUE(Exists(base + ".finished.bat"));
    EXPECT_TRUE(Exists(base + ".id"));
    EXPECT_TRUE(Exists(base + ".info"));
    EXPECT_TRUE(Exists(base + ".rtf"));
  }
}

}  // namespace
}  // namespace guichet::test
