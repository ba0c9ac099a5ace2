// What guichet-batch asks of the operating system: folders opened one part at a time from
// the site's root, never through a link, and the few changes a batch file makes in them.
// Each call names an entry of a folder already open, so a link planted on the way after
// the checks is met (and refused) by the open, not followed. tree_posix.cc and
// tree_win.cc are its two faces; tests wrap it to stop a run after any change.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace guichet::batch {

struct TreeStatus {
  enum Code {
    kOk = 0,
    kMissing,      // no such entry
    kLink,         // a link (or junction) where a folder or a file was wanted
    kNotFolder,    // a file, a FIFO or a device where a folder was wanted
    kNotFile,      // not a regular file where a file was wanted
    kCrossDevice,  // a rename between two file systems
    kTooLarge,
    kFailed,  // anything else; `text` says what the system said
  };
  Code code = kOk;
  std::string text;
  bool ok() const { return code == kOk; }
};

enum class EntryKind { kFile, kFolder, kLink, kOther };

struct Entry {
  std::string name;  // Windows-1252
  EntryKind kind = EntryKind::kOther;
};

// An open folder. Closed when destroyed.
class Folder {
 public:
  virtual ~Folder() = default;
};

class Tree {
 public:
  virtual ~Tree() = default;

  // Opens the site's root folder by its path (a link there is followed: the path is the
  // administrator's).
  virtual TreeStatus OpenRoot(const std::string& path, std::unique_ptr<Folder>* out) = 0;
  // Every entry of a folder ("." and ".." left out), in no particular order.
  virtual TreeStatus List(Folder& dir, std::vector<Entry>* entries) = 0;
  // The kind of one entry (kMissing when there is none); a link is not followed.
  virtual TreeStatus Kind(Folder& dir, const std::string& name, EntryKind* kind) = 0;
  // Opens a sub-folder; kLink for a link, kNotFolder for anything else but a folder.
  virtual TreeStatus OpenFolder(Folder& dir, const std::string& name,
                                std::unique_ptr<Folder>* out) = 0;
  // Reads a regular file of at most `max` bytes without following a link or blocking.
  virtual TreeStatus ReadFile(Folder& dir, const std::string& name, size_t max,
                              std::string* data) = 0;

  // The changes. Each is one step that a kill may cut the run after.
  // Creates a folder (an existing entry of that name is a failure).
  virtual TreeStatus MakeFolder(Folder& dir, const std::string& name) = 0;
  // Renames an entry into another folder of the same file system, replacing a file of
  // the target name; kCrossDevice between two file systems.
  virtual TreeStatus Rename(Folder& from, const std::string& name, Folder& to,
                            const std::string& target) = 0;
  // Copies a regular file (opened without following a link or blocking) into a new file
  // `target` of another folder, replacing a former one, keeps the source's modification
  // time, and flushes the copy to the disk.
  virtual TreeStatus CopyFlushed(Folder& from, const std::string& name, Folder& to,
                                 const std::string& target) = 0;
  virtual TreeStatus Delete(Folder& dir, const std::string& name) = 0;
  // Flushes a folder's entries to the disk.
  virtual TreeStatus Sync(Folder& dir) = 0;
};

// The real one.
std::unique_ptr<Tree> RealTree();

}  // namespace guichet::batch
