// Request pickup throughput: a spool of 10,000 waiting requests answered by
// RepereRequete, beside the bare file operations the same exchange needs (list the
// requests, read each, write its answer, write its marker through a rename), measured
// in the same run, and a plain loop of the system's own calls, the baseline.
// Then the cost of one request with 10 and with 100,000 open sessions.
//
//   spool_bench [REQUESTS]   (default 10,000; at most 2,000 of them for the session costs)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/guichet.h"
#include "core/request.h"
#include "exchange/spool.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/view.h"
#include "support/baselines.h"
#include "support/bench_os.h"

using namespace guichet;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Site {
  Site() {
    // In memory where the machine has it: on disk, ext4's inode allocation after the
    // deletions of earlier runs varies by an order of magnitude from one folder to the
    // next, and would hide what is compared here.
    root = bench::MakeTempFolder(bench::InMemoryOrTemp(), "guichet-bench-");
    fs::create_directories(root + "/Guichet");
    fs::create_directories(root + "/IsapiHalvero/in");
    fs::create_directories(root + "/IsapiHalvero/out");
    fs::create_directories(root + "/Tasks");
  }
  ~Site() { fs::remove_all(root); }
  std::string root;
};

void DropRequests(const std::string& in, int n, const std::string& token) {
  std::string body = "/portail.hv\r\n" + token + "\r\nunknowncommand\r\n\r\n\r\n\r\n";
  for (int i = 0; i < n; ++i) {
    std::string path = in + "/r" + std::to_string(i) + ".req";
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(body.data(), 1, body.size(), f);
    fclose(f);
  }
}

std::unique_ptr<Guichet> MakeGuichet(const Site& site, StatusView& view, Desktop& desktop) {
  auto g = std::make_unique<Guichet>(*Env::Default(), view, desktop);
  g->AppFolder = site.root + "/Guichet";
  g->SpoolRoot = g->CurrentSpoolRoot = g->AppFolder + "/../IsapiHalvero";
  g->TasksFolder = g->AppFolder + "/../Tasks";
  g->SpoolReady = true;
  return g;
}

// Each pass works in a site of its own whose requests were all written beforehand. No
// site is removed before every pass has run: file creation on ext4 slows down right
// after many deletions (the inode allocator skips recently deleted inodes), which would
// penalise whichever pass came after a removal.
double GuichetPass(const Site& site, int n) {
  auto view = MakeSilentView();
  auto desktop = MakeNoDesktop();
  auto g = MakeGuichet(site, *view, *desktop);
  g->Sessions.Append("tok", "u1", "31/12/2099 00:00");
  auto start = std::chrono::steady_clock::now();
  int handled = RepereRequete(*g);
  double s = Seconds(start);
  if (handled != n) std::printf("  (handled %d of %d)\n", handled, n);
  return s;
}

double BarePass(const Site& site) {
  std::string in = site.root + "/IsapiHalvero/in", out = site.root + "/IsapiHalvero/out";
  Env& env = *Env::Default();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> names, markers;
  // The layer-based pass times the calls alone, as the least work a pickup does.
  IgnoreFailure(env.ListFiles(in, "*.req", &names));
  IgnoreFailure(env.ListFiles(out, "*.rdy", &markers));
  std::string page(200, 'x');
  for (const std::string& name : names) {
    std::string data;
    IgnoreFailure(env.ReadFile(in + "/" + name, &data));
    std::string base = name.substr(0, name.size() - 4);
    IgnoreFailure(env.WriteFile(out + "/" + base + ".htm", page));
    IgnoreFailure(env.WriteFileAtomic(out + "/" + base + ".rdy", "0\r\n"));
  }
  return Seconds(start);
}

// The plain loop on the system's own calls: for each request, look for its marker, read
// it, write its answer, write its marker under a temporary name and rename it.
double PlainPass(const Site& site) {
  const std::string in = site.root + "/IsapiHalvero/in", out = site.root + "/IsapiHalvero/out";
  auto start = std::chrono::steady_clock::now();
  bench::PlainPickup(in, out);
  return Seconds(start);
}

double PerRequestWithSessions(int sessions, int requests) {
  Site site;
  auto view = MakeSilentView();
  auto desktop = MakeNoDesktop();
  auto g = MakeGuichet(site, *view, *desktop);
  for (int i = 0; i < sessions; ++i)
    g->Sessions.Append("token" + std::to_string(i), "u", "31/12/2099 00:00");
  std::string token = "token" + std::to_string(sessions - 1);  // the last one: worst case
  DropRequests(site.root + "/IsapiHalvero/in", requests, token);
  auto start = std::chrono::steady_clock::now();
  RepereRequete(*g);
  return Seconds(start) / requests;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  std::vector<std::unique_ptr<Site>> sites;
  for (int i = 0; i < 6; ++i) {
    sites.push_back(std::make_unique<Site>());
    DropRequests(sites.back()->root + "/IsapiHalvero/in", n, "tok");
  }
  // Alternating order; the best of two of each counts.
  double bare = BarePass(*sites[0]);
  double guichet = GuichetPass(*sites[1], n);
  guichet = std::min(guichet, GuichetPass(*sites[2], n));
  bare = std::min(bare, BarePass(*sites[3]));
  double plain = PlainPass(*sites[4]);
  guichet = std::min(guichet, GuichetPass(*sites[5], n));
  sites.clear();
  const std::string base = bench::InMemoryOrTemp();
  std::printf("spool of %d waiting requests in %s (%s), %s\n", n, base.c_str(),
              bench::FileSystemKind(base).c_str(), bench::LoadNote().c_str());
  std::printf("  plain system-call loop: %8.3f s  (%8.0f requests/s)\n", plain, n / plain);
  std::printf("  bare file operations : %8.3f s  (%8.0f requests/s)\n", bare, n / bare);
  std::printf("  RepereRequete        : %8.3f s  (%8.0f requests/s)\n", guichet, n / guichet);
  std::printf(
      "  RepereRequete relative to the plain loop: %.2f (in-process; the drain_bench\n"
      "  figure of the real executable is the one that counts)\n",
      plain / guichet);
  std::printf("  (layer-based bare pass relative to the plain loop: %.2f)\n", plain / bare);

  const int asked = std::min(n, 2000);
  double small = PerRequestWithSessions(10, asked);
  double large = PerRequestWithSessions(100000, asked);
  std::printf("one request, token looked up and renewed\n");
  std::printf("  10 open sessions      : %8.1f us\n", small * 1e6);
  std::printf("  100,000 open sessions : %8.1f us  (ratio %.2f)\n", large * 1e6, large / small);
  return 0;
}
