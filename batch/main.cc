// guichet-batch: runs the batch files Guichet writes beside its documents, so a site
// needs no Windows command interpreter to carry a document from transcription to
// validation and to file it in the archives.
//
//   guichet-batch FILE.bat...        runs the given files, in order
//   guichet-batch --archive SITE     runs every archive batch file waiting in
//                                    SITE/Tasks/Publications/*/
//
// Exit codes: 0 every file ran (or none waited), 1 a system error (a file stopped part
// way, which running it again finishes, or a site that cannot be read), 2 a file was
// refused (nothing of it moved), 64 a wrong command line. With both 1 and 2 among
// several files, 1.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "runner.h"
#include "support/text.h"

namespace {

using guichet::batch::BatchLocation;
using guichet::batch::Outcome;

constexpr int kExitFailed = 1, kExitRefused = 2, kExitUsage = 64;

void Usage() {
  std::cerr << "usage: guichet-batch FILE.bat...\n"
               "       guichet-batch --archive SITE\n";
}

std::string Shown(const std::string& cp1252) { return guichet::ToUtf8(cp1252); }

std::string PathOf(const BatchLocation& w) {
  std::string p = w.site;
  for (const std::string& f : w.folders) p += "/" + f;
  return p + "/" + w.name;
}

// Runs one file and reports it; returns its outcome code.
Outcome::Code RunOne(guichet::batch::Tree& tree, const BatchLocation& where, bool quiet_done) {
  Outcome o = guichet::batch::RunBatchFile(tree, where);
  const std::string path = Shown(PathOf(where));
  if (o.code == Outcome::kDone) {
    if (!quiet_done)
      std::cout << "guichet-batch: " << path << ": done, " << o.moved << " file(s) moved\n";
  } else if (o.code == Outcome::kRefused) {
    std::cerr << "guichet-batch: " << path << ": refused, nothing moved: " << Shown(o.message)
              << "\n";
  } else {
    std::cerr << "guichet-batch: " << path << ": stopped after " << o.moved
              << " file(s) moved: " << Shown(o.message) << " (run it again to finish)\n";
  }
  return o.code;
}

int Worst(int exit, Outcome::Code code) {
  if (code == Outcome::kFailed) return kExitFailed;
  if (code == Outcome::kRefused && exit == 0) return kExitRefused;
  return exit;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    Usage();
    return args.empty() ? kExitUsage : 0;
  }
  std::unique_ptr<guichet::batch::Tree> tree = guichet::batch::RealTree();
  int exit = 0;
  if (args[0] == "--archive") {
    if (args.size() != 2) {
      Usage();
      return kExitUsage;
    }
    std::vector<BatchLocation> found;
    std::vector<std::string> skipped;
    Outcome o = guichet::batch::FindArchiveBatchFiles(*tree, args[1], &found, &skipped);
    if (o.code != Outcome::kDone) {
      std::cerr << "guichet-batch: " << Shown(args[1]) << ": " << Shown(o.message) << "\n";
      return o.code == Outcome::kFailed ? kExitFailed : kExitRefused;
    }
    for (const std::string& s : skipped) {
      std::cerr << "guichet-batch: " << Shown(s) << ": refused: a link or an unreadable folder\n";
      exit = Worst(exit, Outcome::kRefused);
    }
    for (const BatchLocation& w : found) exit = Worst(exit, RunOne(*tree, w, false));
    return exit;
  }
  // Relative paths are taken from here (the current folder, or "." when it is gone).
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::current_path(ec);
  const std::string current = ec ? std::string(1, '.') : here.string();
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-') {
      Usage();
      return kExitUsage;
    }
  }
  for (const std::string& a : args) {
    BatchLocation where;
    std::string why;
    if (!guichet::batch::LocateBatchFile(a, current, &where, &why)) {
      std::cerr << "guichet-batch: " << Shown(a) << ": refused, nothing moved: " << why << "\n";
      exit = Worst(exit, Outcome::kRefused);
      continue;
    }
    exit = Worst(exit, RunOne(*tree, where, false));
  }
  return exit;
}
