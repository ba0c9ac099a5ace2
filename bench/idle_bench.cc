// The cost of an idle tick: the real executable, headless, in a site whose "out" folder
// holds 20,000 answers waiting to be collected and nothing to do, measured by the CPU
// time the process used (the scheduler's count from /proc; GetProcessTimes on Windows)
// over a minute, per tick. Once with an empty "in" folder, once with the 10,000 answered
// requests still there. Beside it, the least a tick must ask the system (one stat of
// each spool folder), in the same run.
//
//   idle_bench [--seconds S] [--answers N] [--bin DIR] [FOLDER]
//   (default: 60 seconds, 10,000 answers (an ".htm" and an ".rdy" each), in /dev/shm,
//   or the temporary folder where there is none)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/baselines.h"
#include "support/bench_os.h"

namespace fs = std::filesystem;

namespace bench = guichet::bench;

namespace {

using Clock = std::chrono::steady_clock;

// Where the measured guichet is (--bin: another build's, measured the same way).
std::string g_bin;

double IdleTickCpu(const std::string& base, bool requests_too, int seconds, int answers) {
  const std::string root = bench::MakeTempFolder(base, "guichet-idle-");
  const std::string in = root + "/IsapiHalvero/in", out = root + "/IsapiHalvero/out";
  fs::create_directories(root + "/Guichet");
  fs::create_directories(in);
  fs::create_directories(out);
  fs::create_directories(root + "/Tasks");
  for (int i = 0; i < answers; ++i) {
    const std::string b = "r" + std::to_string(i);
    bench::PutFile(out + "/" + b + ".htm", "<html></html>\r\n");
    bench::PutFile(out + "/" + b + ".rdy", "0\r\n");
    if (requests_too)
      bench::PutFile(in + "/" + b + ".req", "/portail.hv\r\nx\r\nmenu\r\n\r\n\r\n\r\n");
  }
  const std::string bin = g_bin.empty() ? bench::BinaryDir() : g_bin;
  fs::copy_file(bin + "/" + bench::kGuichetProgram, root + "/Guichet/" + bench::kGuichetProgram);
  std::error_code ec;
  fs::copy_file(bin + "/" + bench::kCodecLibrary, root + "/Guichet/" + bench::kCodecLibrary, ec);
  bench::Program guichet;
  if (!guichet.Start(root + "/Guichet/" + bench::kGuichetProgram)) {
    std::fprintf(stderr, "cannot start %s\n", bench::kGuichetProgram);
    std::exit(1);
  }
  // Start-up and the first ticks (which learn the folders) are left out.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double cpu0 = guichet.CpuSeconds();
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu1 = guichet.CpuSeconds();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  guichet.Stop();
  fs::remove_all(root, ec);
  // One tick a second, plus the time the ticks themselves take.
  const double ticks = wall / (1.0 + (cpu1 - cpu0) / wall);
  return (cpu1 - cpu0) / ticks;
}

// 20000 as "20,000".
std::string Thousands(int n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// The least a tick asks: whether either spool folder changed.
double PlainTick(const std::string& base) {
  const std::string a = base, b = base + "/..";
  const int n = 200000;
  auto t0 = Clock::now();
  bench::PlainFolderChecks(a, b, n);
  return std::chrono::duration<double>(Clock::now() - t0).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int answers = 10000;
  std::string base = bench::InMemoryOrTemp();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (a == "--bin" && i + 1 < argc) {
      g_bin = argv[++i];
    } else if (a == "--answers" && i + 1 < argc) {
      answers = std::max(1, std::atoi(argv[++i]));
    } else {
      base = a;
    }
  }
  const std::string load = bench::LoadNote();
  const double plain = PlainTick(base);
  const double empty_in = IdleTickCpu(base, false, seconds, answers);
  const double full_in = IdleTickCpu(base, true, seconds, answers);
  std::printf("idle tick, %s answers waiting in out/, %s, %s, over %d s\n",
              Thousands(2 * answers).c_str(), base.c_str(), load.c_str(), seconds);
  std::printf("  plain loop (stat in/ and out/) : %8.3f ms\n", plain * 1e3);
  std::printf("  guichet, in/ empty             : %8.3f ms CPU a tick (target < 2 ms)\n",
              empty_in * 1e3);
  std::printf("  guichet, %s answered in in/: %8.3f ms CPU a tick (target < 2 ms)\n",
              Thousands(answers).c_str(), full_in * 1e3);
  return 0;
}
