// Draining a spool, measured from outside: the real executable is started headless (no
// DISPLAY, standard output not a terminal) in a site whose "in" folder already holds
// 10,000 requests, and is timed from its first ready marker to its last, watched with
// inotify (ReadDirectoryChangesW on Windows). Beside it, in the same run and on the same
// file system, a plain loop of system calls does the least work one answer needs: look
// for the marker, open and read the request, write the answer, write the marker under a
// temporary name and rename it. The figure is the ratio of the two rates.
//
//   drain_bench [--requests N] [--exe GUICHET] [--strace FILE] [FOLDER...]
//
// Each FOLDER is a file system to measure on (default: /dev/shm and /var/tmp; the
// temporary folder on Windows). With --strace (Linux), the executable runs under
// "strace -c -f -o FILE" (the timing then means nothing; the counts of FILE divided by
// the requests answered are the system calls per request, start-up included). --exe
// measures another build of the executable.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "support/baselines.h"
#include "support/bench_os.h"

namespace fs = std::filesystem;

namespace bench = guichet::bench;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Site {
  explicit Site(const std::string& base) {
    root = bench::MakeTempFolder(base, "guichet-drain-");
    fs::create_directories(root + "/Guichet");
    fs::create_directories(root + "/IsapiHalvero/in");
    fs::create_directories(root + "/IsapiHalvero/out");
    fs::create_directories(root + "/Tasks");
  }
  ~Site() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string in() const { return root + "/IsapiHalvero/in"; }
  std::string out() const { return root + "/IsapiHalvero/out"; }
  std::string root;
};

// Requests of an unknown session: each is answered with an error page and its marker,
// the whole exchange with no other work.
void DropRequests(const std::string& in, int n) {
  const std::string body = "/portail.hv\r\nnosuchsession\r\nunknowncommand\r\n\r\n\r\n\r\n";
  for (int i = 0; i < n; ++i) {
    std::string name = "r" + std::to_string(i) + ".req";
    std::string tmp = in + "/." + name, path = in + "/" + name;
    bench::PutFile(tmp, body);
    std::error_code ec;
    fs::rename(tmp, path, ec);
  }
}

// The plain loop: the least the exchange needs per request, on the system's own calls.
double PlainLoop(const Site& site, int n) {
  const std::string in = site.in(), out = site.out();
  auto start = Clock::now();
  const int answered = bench::PlainDrain(in, out, n);
  double s = Seconds(start, Clock::now());
  if (answered != n) std::printf("  (plain loop answered %d of %d)\n", answered, n);
  return s;
}

int CountMarkers(const std::string& out) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(out))
    if (e.path().extension() == ".rdy") ++n;
  return n;
}

struct Drain {
  double seconds = 0;  // first marker to last
  int markers = 0;
  double cpu = 0;  // of the executable, start to stop
};

// Starts the executable and waits until `n` markers have appeared (or a minute without
// any), then stops it.
Drain RunGuichet(const Site& site, int n, const std::string& strace_out) {
  Drain d;
  bench::ArrivalWatch watch(site.out(), ".rdy");
  bench::Program guichet;
  if (!guichet.Start(site.root + "/Guichet/" + bench::kGuichetProgram, {}, "", "", strace_out)) {
    std::fprintf(stderr, "cannot start %s\n", bench::kGuichetProgram);
    std::exit(1);
  }
  Clock::time_point first{}, last{};
  bool overflow = false;
  auto progress = Clock::now();
  while (d.markers < n && Seconds(progress, Clock::now()) < 60) {
    const int arrived = watch.Wait(200, &overflow);
    if (arrived == -1) {
      // Nothing heard: count what is there (events may have been lost).
      int now_there = CountMarkers(site.out());
      if (now_there > d.markers) {
        d.markers = now_there;
        last = progress = Clock::now();
      }
      continue;
    }
    if (arrived < 0) break;
    auto now = Clock::now();
    if (arrived > 0) {
      if (d.markers == 0) first = now;
      d.markers += arrived;
      last = progress = now;
    }
    if (overflow) d.markers = CountMarkers(site.out());
  }
  d.cpu = guichet.Stop();
  d.seconds = Seconds(first, last);
  return d;
}

std::string g_exe = bench::BinaryDir() + "/" + bench::kGuichetProgram;

void Install(const Site& site) {
  const std::string bin = bench::BinaryDir();
  fs::copy_file(g_exe, site.root + "/Guichet/" + bench::kGuichetProgram);
  std::error_code ec;
  fs::copy_file(bin + "/" + bench::kCodecLibrary, site.root + "/Guichet/" + bench::kCodecLibrary,
                ec);
}

}  // namespace

int main(int argc, char** argv) {
  int n = 10000;
  std::string strace_out;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--requests" && i + 1 < argc) {
      n = std::atoi(argv[++i]);
    } else if (a == "--exe" && i + 1 < argc) {
      g_exe = argv[++i];
    } else if (a == "--strace" && i + 1 < argc) {
      strace_out = argv[++i];
    } else {
      folders.push_back(a);
    }
  }
  if (folders.empty()) folders = bench::DefaultFolders();

  for (const std::string& folder : folders) {
    if (!fs::is_directory(folder)) continue;
    // Every site is written before any is measured or removed, so that no pass follows
    // a mass deletion on the same file system.
    Site plain1(folder), guichet1(folder), plain2(folder), guichet2(folder);
    for (const Site* s : {&plain1, &guichet1, &plain2, &guichet2}) DropRequests(s->in(), n);
    Install(guichet1), Install(guichet2);
    bench::FlushFileSystems();
    const std::string load = bench::LoadNote();
    if (!strace_out.empty()) {
      Drain d = RunGuichet(guichet1, n, strace_out);
      std::printf("%s (%s): %d markers under strace, counts in %s\n", folder.c_str(),
                  bench::FileSystemKind(folder).c_str(), d.markers, strace_out.c_str());
      continue;
    }
    // Alternating order; the best of two of each counts.
    double plain = PlainLoop(plain1, n);
    Drain d1 = RunGuichet(guichet1, n, "");
    double plain_b = PlainLoop(plain2, n);
    Drain d2 = RunGuichet(guichet2, n, "");
    plain = std::min(plain, plain_b);
    const Drain& d = d1.seconds <= d2.seconds ? d1 : d2;
    std::printf("drain of %d waiting requests in %s (%s), %s, best of two\n", n, folder.c_str(),
                bench::FileSystemKind(folder).c_str(), load.c_str());
    std::printf("  plain system-call loop     : %8.3f s  (%8.0f requests/s)\n", plain, n / plain);
    std::printf("  guichet, first to last rdy : %8.3f s  (%8.0f requests/s, %d markers)\n",
                d.seconds, d.markers / std::max(d.seconds, 1e-9), d.markers);
    std::printf("  ratio to the plain loop    : %.2f (target >= 0.70)\n",
                (d.markers / std::max(d.seconds, 1e-9)) / (n / plain));
  }
  return 0;
}
