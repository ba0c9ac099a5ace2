// The benchmarks' own support: the plain loops must do the whole job they stand for on
// each system (else a ratio against them means nothing), and the watch, the lock and the
// program control must behave alike on Linux and on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/env.h"
#include "support/baselines.h"
#include "support/bench_os.h"

namespace guichet::bench {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class BenchSupport : public ::testing::Test {
 protected:
  std::string root = MakeTempFolder(TempBase(), "guichet-bench-test-");
  std::string in = root + "/in", out = root + "/out";
  void SetUp() override {
    fs::create_directories(in);
    fs::create_directories(out);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

TEST_F(BenchSupport, PlainDrainAnswersEachRequestOnceThroughARenamedMarker) {
  for (int i = 0; i < 3; ++i) PutFile(in + "/r" + std::to_string(i) + ".req", "/portail.hv\r\n");
  PutFile(out + "/r1.rdy", "0\r\n");  // answered already
  EXPECT_EQ(PlainDrain(in, out, 3), 2);
  EXPECT_EQ(Names(out),
            (std::vector<std::string>{"r0.htm", "r0.rdy", "r1.rdy", "r2.htm", "r2.rdy"}));
  EXPECT_EQ(Read(out + "/r2.rdy"), "0\r\n");
  EXPECT_NE(Read(out + "/r0.htm").find("Erreur de syntaxe"), std::string::npos);
  // Everything has its marker now; an empty request is not answered either.
  PutFile(in + "/r3.req", "");
  EXPECT_EQ(PlainDrain(in, out, 4), 0);
}

TEST_F(BenchSupport, PlainPickupListsTheFolderAndLeavesHiddenNamesAlone) {
  PutFile(in + "/a.req", "x");
  PutFile(in + "/b.req", "y");
  PutFile(in + "/.c.req", "being written");
  PlainPickup(in, out);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"a.htm", "a.rdy", "b.htm", "b.rdy"}));
  EXPECT_EQ(Read(out + "/b.htm"), std::string(200, 'x'));
}

TEST_F(BenchSupport, PlainUploadWritesEachPieceAtItsOffsetAndDeletesItsFiles) {
  const int64_t piece = 1000;
  std::string doc;
  for (int i = 0; i < 4 * piece; ++i) doc += static_cast<char>('a' + i % 23);
  for (int64_t i = 0; i < 4; ++i) {
    const std::string name = in + "/" + std::to_string(100000 + i);
    PutFile(name + ".txt", "offset=" + std::to_string(i * piece) + "&data=...");
    PutFile(name + ".rdy", "");
  }
  std::vector<char> buf(4 * piece);
  const std::string target = root + "/doc.bin";
  // Out of order, in two batches, as pieces may arrive.
  PlainUploadBatch(in, target, doc.data(), 2, 2, piece, buf);
  PlainUploadBatch(in, target, doc.data(), 0, 2, piece, buf);
  EXPECT_EQ(Read(target), doc);
  EXPECT_TRUE(Names(in).empty());
}

TEST_F(BenchSupport, ArrivalWatchCountsMarkersRenamedIntoTheFolder) {
  ArrivalWatch watch(out, ".rdy");
  bool lost = false;
  EXPECT_EQ(watch.Wait(100, &lost), -1) << "nothing happened yet";
  PutFile(out + "/~a.rdy.1", "0\r\n");
  PutFile(out + "/a.htm", "page");
  fs::rename(out + "/~a.rdy.1", out + "/a.rdy");
  PutFile(out + "/~b.rdy.1", "0\r\n");
  fs::rename(out + "/~b.rdy.1", out + "/b.rdy");
  fs::rename(out + "/a.htm", out + "/c.htm");
  int arrived = 0;
  for (int waits = 0; waits < 50 && arrived < 2; ++waits) {
    int n = watch.Wait(100, &lost);
    ASSERT_NE(n, -2);
    if (n > 0) arrived += n;
  }
  EXPECT_FALSE(lost);
  EXPECT_EQ(arrived, 2);
  // Nothing more comes of the other names.
  int more = 0;
  for (int waits = 0; waits < 3; ++waits) more += std::max(0, watch.Wait(100, &lost));
  EXPECT_EQ(more, 0);
}

TEST_F(BenchSupport, HeldLockKeepsOthersOutUntilReleased) {
  const std::string queue = root + "/ToMove.txt";
  PutFile(queue, "41;u7\r\n");
  Env& env = *Env::Default();
  {
    HeldLock holder;
    ASSERT_TRUE(holder.Hold(queue, 60));
    EXPECT_EQ(env.TryLockFile(queue, 0), nullptr);
    EXPECT_EQ(env.AppendLineLocked(queue, "42;u7\r\n", 50).kind(), Status::kDenied);
    holder.Release();
    EXPECT_NE(env.TryLockFile(queue, 2000), nullptr);
  }
  // A file that cannot be locked is said so, at once.
  HeldLock missing;
  EXPECT_FALSE(missing.Hold(root + "/none.txt", 60));
}

TEST_F(BenchSupport, ProgramRunsGuichetAndStopsItAsTheSystemWould) {
  for (const char* d : {"Guichet", "IsapiHalvero/in", "IsapiHalvero/out", "Tasks"})
    fs::create_directories(root + "/site/" + d);
  const std::string app = root + "/site/Guichet";
  for (const char* file : {kGuichetProgram, kCodecLibrary})
    fs::copy_file(BinaryDir() + "/" + file, app + "/" + file);
  PutFile(root + "/site/IsapiHalvero/in/r0.req",
          "/portail.hv\r\nnosuchsession\r\nunknowncommand\r\n\r\n\r\n\r\n");
  Program guichet;
  ASSERT_TRUE(guichet.Start(app + "/" + kGuichetProgram));
  const std::string marker = root + "/site/IsapiHalvero/out/r0.rdy";
  for (int waits = 0; waits < 300 && !fs::exists(marker); ++waits)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(fs::exists(marker)) << "the request was not answered";
  const double running = guichet.CpuSeconds();
  EXPECT_GT(running, 0);
  int code = -2;
  EXPECT_GE(guichet.Stop(&code), running);
  EXPECT_EQ(code, 0) << "closed when asked, not killed";
  EXPECT_FALSE(guichet.started());
}

}  // namespace
}  // namespace guichet::bench

// The lock holder is this program started again (on Windows), as in queue_lock_bench.
int main(int argc, char** argv) {
  if (int held = guichet::bench::RunLockHolderIfAsked(argc, argv); held != -1) return held;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
