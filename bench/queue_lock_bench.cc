// How long requests wait while another program holds the lock of the move queue: the
// real executable runs in a temporary site, a second process takes the fcntl lock
// (LockFileEx on Windows) on Tasks/ToMove.txt and holds it for a while, and requests are dropped
// into the spool meanwhile: plain requests (answered with a page) every half second, and one
// "finished" of a document still in the tasks folder, whose queue append needs the lock.
// Prints the worst and the median delay of each kind, from the drop of the request file
// to its answer's ready marker (plain) or to the request file being taken (finished).
//
// Usage: queue_lock_bench [folder holding guichet and Radiveve.so (guichet.exe and
//        Radiveve.dll on Windows)] [hold seconds]
// (default: the folder of this program, 10 s).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/datetime.h"
#include "support/bench_os.h"

namespace {

namespace fs = std::filesystem;
namespace bench = guichet::bench;
using Clock = std::chrono::steady_clock;

void Write(const std::string& path, const std::string& data) {
  std::string tmp =
      fs::path(path).parent_path().string() + "/." + fs::path(path).filename().string();
  std::ofstream(tmp, std::ios::binary) << data;
  fs::rename(tmp, path);
}

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Pending {
  std::string name;
  bool finished;
  Clock::time_point dropped;
};

}  // namespace

int main(int argc, char** argv) {
  if (int held = bench::RunLockHolderIfAsked(argc, argv); held != -1) return held;
  const std::string from = argc > 1 ? argv[1] : bench::SelfFolder();
  const int hold = argc > 2 ? std::atoi(argv[2]) : 10;

  const std::string root = bench::MakeTempFolder(bench::TempBase(), "guichet-lockbench-");
  const std::string app = root + "/Guichet", spool = root + "/IsapiHalvero",
                    tasks = root + "/Tasks", tpl = root + "/Templates";
  for (const std::string& d : {app, spool + "/in", spool + "/out", tasks, tpl + "/S"})
    fs::create_directories(d);
  for (const char* file : {bench::kGuichetProgram, bench::kCodecLibrary})
    fs::copy_file(from + "/" + file, app + "/" + file);
  Write(tpl + "/Services.txt", "1|S\r\n");
  Write(tpl + "/TypeDocs.txt", "1|T|Type\r\n");
  Write(tpl + "/S/Type.txt", "template");
  const std::string expiry =
      guichet::Format(guichet::FromUnixLocal(std::time(nullptr) + 86400), "dd/mm/yyyy hh:nn");
  Write(app + "/guichet_lastlogons.txt", "tok;u7;" + expiry + "\r\n");
  Write(tasks + "/hvr_42.typedoc", "T\r\n");
  // A queue line that keeps the queue non-empty, so the move cycle wants the lock.
  Write(tasks + "/ToMove.txt", "41;u7\r\n");

  bench::Program guichet;
  if (!guichet.Start(app + "/" + bench::kGuichetProgram)) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(2));

  bench::HeldLock holder;
  if (!holder.Hold(tasks + "/ToMove.txt", hold)) return 1;
  const Clock::time_point locked = Clock::now();

  std::vector<Pending> pending;
  std::vector<double> plain, finished;
  int n = 0;
  Clock::time_point next_drop = locked;
  bool finished_sent = false;
  int finished_at = 0;
  const Clock::time_point end_drops = locked + std::chrono::seconds(hold);
  while (!pending.empty() || Clock::now() < end_drops) {
    Clock::time_point now = Clock::now();
    if (now < end_drops && now >= next_drop) {
      const bool fin = !finished_sent && now >= locked + std::chrono::seconds(hold) / 3;
      const std::string name = "r" + std::to_string(++n);
      const std::string body = fin ? "/portail.hv\r\ntok\r\nfinished\r\n\r\n42\r\n\r\n"
                                   : "/portail.hv\r\nnone\r\nattachments\r\n\r\n42\r\n\r\n";
      Write(spool + "/in/" + name + ".req", body);
      pending.push_back({name, fin, Clock::now()});
      if (fin) finished_at = n;
      finished_sent = finished_sent || fin;
      next_drop = now + std::chrono::milliseconds(fin ? 0 : 500);
    }
    for (size_t i = 0; i < pending.size();) {
      const Pending& p = pending[i];
      // A transition that went through takes the request file and answers nothing;
      // one that failed answers with the failure page.
      bool done = fs::exists(spool + "/out/" + p.name + ".rdy") ||
                  (p.finished && !fs::exists(spool + "/in/" + p.name + ".req"));
      if (done) {
        (p.finished ? finished : plain).push_back(Ms(p.dropped, Clock::now()));
        pending.erase(pending.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    if (Ms(locked, Clock::now()) > 1000.0 * (hold + 60)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  holder.Release();
  guichet.Stop();
  std::sort(plain.begin(), plain.end());
  std::printf("guichet from %s, queue lock held %d s by another process\n", from.c_str(), hold);
  if (!plain.empty())
    std::printf("plain requests: %zu, worst delay %.0f ms, median %.0f ms\n", plain.size(),
                plain.back(), plain[plain.size() / 2]);
  if (!finished.empty())
    std::printf("\"finished\" (queue append): delay %.0f ms, %s\n", finished.front(),
                fs::exists(spool + "/out/r" + std::to_string(finished_at) + ".htm")
                    ? "answered with the failure page"
                    : "taken");
  std::printf("queue afterwards: %s\n",
              fs::exists(tasks + "/ToMove.txt")
                  ? std::to_string(fs::file_size(tasks + "/ToMove.txt")).append(" bytes").c_str()
                  : "gone");
  fs::remove_all(root);
  return 0;
}
