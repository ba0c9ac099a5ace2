// When the move cycle starts under steady use: the real executable in a temporary site, a
// portal client asking "step" every half second for the whole run, and one document
// queued by "finished" a few seconds in. Prints how long after "finished" the document
// reached its transcription folder (the move cycle ran), or that it never did within the
// run while the requests went on.
//
//   move_start_bench [--seconds S] [--every MS] [--bin DIR] [FOLDER]
//   (default: 60 seconds, a request every 500 ms, in /dev/shm or the temporary folder)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "support/bench_os.h"

namespace fs = std::filesystem;
namespace bench = guichet::bench;

namespace {

using Clock = std::chrono::steady_clock;

// A request file, written under a name no listing matches and renamed into place.
void Drop(const std::string& in, const std::string& name, const std::string& command,
          const std::string& p2) {
  const std::string tmp = in + "/." + name + ".tmp";
  bench::PutFile(tmp, "/portail.hv\r\ntok\r\n" + command + "\r\n\r\n" + p2 + "\r\n\r\n");
  fs::rename(tmp, in + "/" + name + ".req");
}

// Takes what the client collects: the answer, its marker and the request.
void Collect(const std::string& spool, const std::string& name) {
  std::error_code ec;
  if (!fs::exists(spool + "/out/" + name + ".rdy", ec)) return;
  fs::remove(spool + "/out/" + name + ".htm", ec);
  fs::remove(spool + "/out/" + name + ".rdy", ec);
  fs::remove(spool + "/in/" + name + ".req", ec);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60, every_ms = 500;
  std::string base = bench::InMemoryOrTemp(), bin = bench::BinaryDir();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (a == "--every" && i + 1 < argc) {
      every_ms = std::atoi(argv[++i]);
    } else if (a == "--bin" && i + 1 < argc) {
      bin = argv[++i];
    } else {
      base = a;
    }
  }
  const std::string root = bench::MakeTempFolder(base, "guichet-move-");
  const std::string app = root + "/Guichet", spool = root + "/IsapiHalvero";
  const std::string tasks = root + "/Tasks", in = spool + "/in";
  for (const std::string& d : {app, in, spool + "/out", tasks, root + "/Templates"})
    fs::create_directories(d);
  fs::copy_file(bin + "/" + bench::kGuichetProgram, app + "/" + bench::kGuichetProgram);
  std::error_code ec;
  fs::copy_file(bin + "/" + bench::kCodecLibrary, app + "/" + bench::kCodecLibrary, ec);
  // One session, one document type without templates, one document in the tasks folder.
  char expiry[32];
  const time_t tomorrow = time(nullptr) + 86400;
  strftime(expiry, sizeof expiry, "%d/%m/%Y %H:%M", localtime(&tomorrow));
  bench::PutFile(app + "/guichet_lastlogons.txt", std::string("tok;u7;") + expiry + "\r\n");
  bench::PutFile(root + "/Templates/Services.txt", "3|Cardiologie\r\n");
  bench::PutFile(root + "/Templates/TypeDocs.txt", "3|CR|Compte rendu\r\n");
  bench::PutFile(tasks + "/hvr_42.typedoc", "CR\r\n");
  bench::PutFile(tasks + "/hvr_42.txt", "text of 42");
  const std::string moved = tasks + "/Transcriptions/u7/hvr_42.txt";

  bench::Program guichet;
  if (!guichet.Start(app + "/" + bench::kGuichetProgram, {}, app, root + "/stderr.txt")) {
    std::fprintf(stderr, "cannot start %s\n", bench::kGuichetProgram);
    return 1;
  }
  const std::string load = bench::LoadNote();
  const auto start = Clock::now(), end = start + std::chrono::seconds(seconds);
  const auto finished_at = start + std::chrono::seconds(3);
  bool finished_sent = false;
  double moved_after = -1;
  int asked = 0;
  std::string last;
  for (auto next = start; Clock::now() < end; next += std::chrono::milliseconds(every_ms)) {
    std::this_thread::sleep_until(next);
    if (!last.empty()) Collect(spool, last);
    last = "s" + std::to_string(++asked);
    Drop(in, last, "step", "");
    if (!finished_sent && Clock::now() >= finished_at) {
      Drop(in, "fin", "finished", "42");
      finished_sent = true;
    }
    if (finished_sent && moved_after < 0 && fs::exists(moved, ec))
      moved_after = std::chrono::duration<double>(Clock::now() - finished_at).count();
  }
  guichet.Stop();
  std::printf("move cycle under a request every %d ms (%s, %s), run of %d s, %d requests\n",
              every_ms, bench::FileSystemKind(base).c_str(), load.c_str(), seconds, asked);
  if (moved_after < 0)
    std::printf("  document queued by \"finished\": not moved while the requests went on\n");
  else
    std::printf("  document queued by \"finished\": moved %.1f s after it (target < 35 s)\n",
                moved_after);
  fs::remove_all(root, ec);
  return 0;
}
