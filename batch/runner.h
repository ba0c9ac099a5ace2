// Runs the batch files Guichet writes (batch_file.h) on any system, the way the Windows
// command interpreter would, but safely: the whole file is read and every step checked
// before anything moves, so a file that cannot run whole runs not at all.
//
// A batch file lies in a stage folder of a site, SITE/Tasks/<stage>/<author>. It may
// reach anything inside SITE and nothing outside it; every folder on the way, every file
// it moves and every file it replaces is reached without following a link. A file is
// refused, with nothing moved, when a path leaves the site, a link (or a FIFO, a device,
// a folder) stands where a folder or a file is expected, a name cannot be held by
// Windows, two files of one pattern differ only in case, or a move goes to a folder that
// neither exists nor is made earlier in the file.
//
// The moves then run in file order, the batch file's own move last: a run cut short (a
// kill, a full disk) leaves the batch file where it was, and running it again finishes
// the work, since each step finds what the first run left. A move between two file
// systems copies the file under a temporary name beside its target, flushes it, renames
// it into place and only then deletes the source.
#pragma once

#include <string>
#include <vector>

#include "tree.h"

namespace guichet::batch {

struct Outcome {
  enum Code { kDone, kRefused, kFailed };
  Code code = kDone;
  // What went wrong, for the administrator (empty when done).
  std::string message;
  int moved = 0;  // files moved, the batch file included
};

// Where a batch file lies: the site's root (a path) and the folders below it that hold
// the file, e.g. {"Tasks", "Publications", "u7"}.
struct BatchLocation {
  std::string site;
  std::vector<std::string> folders;
  std::string name;
};

// Reads a batch file's path (relative ones taken from `current_folder`) lexically: its
// site is the folder that holds the "Tasks" folder one or two levels above the file's
// own folder (any case). False, with why, when the file lies elsewhere.
bool LocateBatchFile(const std::string& path, const std::string& current_folder,
                     BatchLocation* where, std::string* why);

// Runs one batch file.
Outcome RunBatchFile(Tree& tree, const BatchLocation& where);

// The archive batch files waiting in SITE/Tasks/Publications/*/ ("hvr_*.finished.bat",
// any case), by author folder then name. An author folder that is a link is left out and
// named in `skipped`. A site without publications has none.
Outcome FindArchiveBatchFiles(Tree& tree, const std::string& site,
                              std::vector<BatchLocation>* found, std::vector<std::string>* skipped);

}  // namespace guichet::batch
