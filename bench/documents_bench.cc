// Document commands per second through the spool: a Guichet in this process, in a
// temporary site on the real file system, answers "attachments" and "archives" request
// files with TraiteRequete. The archive holds 1,000 documents (an ".info" and a 20 KB
// ".pdf" each, in 10 sub-folders). The first "archives" listing copies every document
// into the cache; a repeated one finds the documents there and copies only the ".info"
// files again, and finds every rights entry already granted.
//
// The CPU time of each run is split into user and system time: on ext4 most of it is the
// kernel allocating inodes for the copies (each written under a temporary name, then
// renamed over the old copy).
//
// Prints its figures; takes no arguments.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
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

namespace fs = std::filesystem;
using namespace guichet;

namespace {

void Write(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Answers `count` requests of `command` for document 12; returns answers per second and
// the rows of the last answer.
double Measure(Guichet& g, const std::string& command, int count, std::string* rows) {
  const std::string spool = g.SpoolRoot;
  double user0, sys0, user1, sys1;
  bench::OwnCpu(&user0, &sys0);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    std::string name = "b" + std::to_string(i) + ".req";
    std::string tmp = spool + "/in/.drop-" + name;
    Write(tmp, "/portail.hv\r\ntok\r\n" + command + "\r\n\r\n12\r\n\r\n");
    fs::rename(tmp, spool + "/in/" + name);
    TraiteRequete(g, name);
    std::string base = name.substr(0, name.size() - 4);
    {
      // Closed before the removal below: Windows removes no file that is open.
      std::ifstream rdy(spool + "/out/" + base + ".rdy");
      std::getline(rdy, *rows);
    }
    fs::remove(spool + "/in/" + name);
    fs::remove(spool + "/out/" + base + ".htm");
    fs::remove(spool + "/out/" + base + ".rdy");
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  bench::OwnCpu(&user1, &sys1);
  printf("    %-12s user %.2f ms, system %.2f ms per answer\n", command.c_str(),
         (user1 - user0) * 1000 / count, (sys1 - sys0) * 1000 / count);
  return count / s;
}

}  // namespace

int main() {
  const std::string root = bench::MakeTempFolder(bench::TempBase(), "guichet-documents-bench-");
  const std::string app = root + "/Guichet";
  const std::string validation = root + "/Tasks/Validations/u1";
  const std::string archive = root + "/Archives/Dupont Jean";
  fs::create_directories(app);
  fs::create_directories(root + "/IsapiHalvero/in");
  fs::create_directories(root + "/IsapiHalvero/out");
  fs::create_directories(validation);

  // The waiting document: its dictation, typed text, PDF and name.
  const std::string pdf(20 * 1024, 'p');
  Write(validation + "/hvr_12.caf", std::string(200 * 1024, 'c'));
  Write(validation + "/hvr_12.txt", std::string(4 * 1024, 't'));
  Write(validation + "/hvr_12.pdf", pdf);
  Write(validation + "/hvr_12.id", "Dupont Jean\r\n");
  for (int d = 0; d < 1000; ++d) {
    std::string folder = archive + "/" + std::to_string(2016 + d % 10);
    fs::create_directories(folder);
    char date[16];
    snprintf(date, sizeof date, "20%02d-%02d-%02d", 16 + d % 10, 1 + d % 12, 1 + d % 28);
    std::string stem = folder + "/doc " + std::to_string(d);
    Write(stem + ".info", "[Document]\r\nD\xE9signation=Compte rendu " + std::to_string(d) +
                              "\r\nAuteur=u1\r\nDateDoc=" + date + "\r\n");
    Write(stem + ".pdf", pdf);
  }

  Env* env = Env::Default();
  auto view = MakeSilentView();
  auto desktop = MakeNoDesktop();
  Guichet g(*env, *view, *desktop);
  g.AppFolder = app;
  g.SpoolRoot = app + "/../IsapiHalvero";
  g.CurrentSpoolRoot = g.SpoolRoot;
  g.TasksFolder = app + "/../Tasks";
  g.Sessions.Append("tok", "u1", "31/12/2099 23:59");

  printf(
      "Document commands through the spool (TraiteRequete on real request files; archive of\n"
      "1,000 documents of 20 KB in 10 sub-folders, copied into the cache)\n");
  std::string rows;
  double rate = Measure(g, "attachments", 1000, &rows);
  printf("  attachments (3 files)           %8.0f answers/s  (%s rows)\n", rate, rows.c_str());
  rate = Measure(g, "archives", 1, &rows);
  printf("  archives, first listing         %8.2f answers/s  (%s rows, %.0f ms each)\n", rate,
         rows.c_str(), 1000.0 / rate);
  rate = Measure(g, "archives", 20, &rows);
  printf("  archives, repeated listing      %8.2f answers/s  (%s rows, %.0f ms each)\n", rate,
         rows.c_str(), 1000.0 / rate);

  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
