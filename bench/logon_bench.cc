// Log-ons per second through the spool: a Guichet in this process, in a temporary site on
// the real file system, answers "login" and "getlogon" request files with TraiteRequete,
// while 10 and then 100,000 other sessions are open. Each log-on reads the users file,
// digests its token through the codec library (two temporary files) and adds its session
// to the last-logon file; then the time a start-up takes to read 100,000 sessions back.
//
// Prints its figures.
//
//   logon_bench [LOG-ONS]   (timed log-ons of each kind and table size; default 2,000)
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/guichet.h"
#include "core/request.h"
#include "exchange/dispatch.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/view.h"
#include "support/bench_os.h"
#include "users/lastlogons.h"

namespace fs = std::filesystem;
using namespace guichet;

namespace {

void Write(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// One request file dropped as the front end does: a temporary name, then a rename.
void Drop(const std::string& spool, const std::string& name, const std::string& command) {
  std::string tmp = spool + "/in/.drop-" + name;
  Write(tmp, "/portail.hv\r\n\r\n" + command + "\r\n\r\nuser0500\r\npw0500\r\n");
  fs::rename(tmp, spool + "/in/" + name);
}

// Log-ons per second over `count` requests; the session each one opens is closed again
// afterwards, so the table keeps `open` sessions throughout.
double Measure(Guichet& g, const std::string& command, int count, size_t* failures) {
  const std::string spool = g.SpoolRoot;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    std::string name = "b" + std::to_string(i) + ".req";
    Drop(spool, name, command);
    size_t before = g.Sessions.size();
    TraiteRequete(g, name);
    if (g.Sessions.size() != before + 1) {
      ++*failures;
    } else {
      g.Sessions.RemoveToken(g.Sessions.entries().back().jeton);
    }
    std::string base = name.substr(0, name.size() - 4);
    fs::remove(spool + "/in/" + name);
    fs::remove(spool + "/out/" + base + ".htm");
    fs::remove(spool + "/out/" + base + ".rdy");
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return count / s;
}

}  // namespace

int main(int argc, char** argv) {
  const int logons = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const std::string root = bench::MakeTempFolder(bench::TempBase(), "guichet-logon-bench-");
  const std::string app = root + "/Guichet";
  fs::create_directories(app + "/ModelesPortail");
  fs::create_directories(root + "/IsapiHalvero/in");
  fs::create_directories(root + "/IsapiHalvero/out");
  fs::copy_file(bench::BinaryDir() + "/" + bench::kCodecLibrary, app + "/" + bench::kCodecLibrary);

  // A users file of 1,000 password entries; the user asked for sits in the middle.
  std::string users = "; bench users\r\n";
  for (int i = 0; i < 1000; ++i) {
    char line[64];
    snprintf(line, sizeof line, "user%04d:pw%04d=U%04d\r\n", i, i, i);
    users += line;
  }
  Write(app + "/guichet_users.txt", users);
  Write(app + "/ModelesPortail/menu.txt",
        "<html><body>\r\n<p>[idutilisateur] [logon] [now2]</p>\r\n</body></html>\r\n");

  Env* env = Env::Default();
  auto view = MakeSilentView();
  auto desktop = MakeNoDesktop();
  Guichet g(*env, *view, *desktop);
  g.AppFolder = app;
  g.SpoolRoot = app + "/../IsapiHalvero";
  g.CurrentSpoolRoot = g.SpoolRoot;
  g.TasksFolder = app + "/../Tasks";

  printf(
      "Log-ons through the spool (TraiteRequete on real request files, users file of\n"
      "1,000 entries, token digest through %s, each session added to the\n"
      "last-logon file, which is written whole after an eighth of the table's size in\n"
      "log-ons), %s\n",
      bench::kCodecLibrary, root.c_str());
  for (size_t open : {size_t{10}, size_t{100000}}) {
    g.Sessions.Clear();
    for (size_t i = 0; i < open; ++i) {
      char tok[40];
      snprintf(tok, sizeof tok, "%032zx", i);
      g.Sessions.Append(tok, "U" + std::to_string(i % 1000), "08/12/2026 10:00");
    }
    SauveDerniersLogons(g);
    for (const char* command : {"login", "getlogon"}) {
      size_t failures = 0;
      Measure(g, command, 50, &failures);  // warm-up
      double rate = Measure(g, command, logons, &failures);
      printf("  %6zu open sessions  %-8s  %8.0f log-ons/s%s\n", open, command, rate,
             failures ? "  (FAILED log-ons)" : "");
    }
    // The whole write that comes once every open/8 log-ons (16 at least), and its share.
    auto t = std::chrono::steady_clock::now();
    SauveDerniersLogons(g);
    double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    printf("  %6zu open sessions  whole write %8.2f ms, %.3f ms a log-on\n", open, whole * 1e3,
           whole * 1e3 / std::max<double>(16, open / 8.0));
  }
  // Start-up: the sessions read back from the file.
  {
    auto t = std::chrono::steady_clock::now();
    g.Sessions.Clear();
    ChargeDerniersLogons(g);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    printf("  start-up with %zu saved sessions: %.1f ms to load them\n", g.Sessions.size(),
           s * 1e3);
  }
  // Windows keeps the loaded codec library from being deleted: that folder stays.
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
