// The operating system as guichet-web uses it: files opened without following a link,
// real paths, folder listings, process numbers, the spool watch and the program's own
// arguments. os_posix.cc holds the Linux calls, os_win.cc the Win32 ones; the rest of
// the front end never learns which one it runs on. Paths are the site's: Windows-1252
// bytes, "/" separated (on Windows, with a drive: "C:/Portail/IsapiHalvero").
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace guichet::web::os {

// An open file. Results are errno-style (0 on success) or byte counts (-1 on failure).
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kNone;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A regular file, for reading, never through a link; not open on failure, with the
  // errno-style reason in `*error` when given.
  static File OpenRead(const std::string& path, int* error = nullptr);
  // A new file (it must not exist yet), for reading and writing, never through a link;
  // readable by its owner alone when `owner_only`. `*error` gets the errno-style failure.
  static File Create(const std::string& path, bool owner_only, int* error);

  bool is_open() const { return handle_ != kNone; }
  // The size of an open regular file; -1 otherwise.
  int64_t Size() const;
  // The last write of an open file, in nanoseconds since 1970 (UTC); -1 when unknown.
  int64_t ModifiedNs() const;
  // The real path of what was opened ("" when unknown).
  std::string RealPath() const;
  int WriteAll(std::string_view data);
  // Flushes what was written to the disk; errno-style.
  int Sync();
  int64_t Read(char* buf, size_t n);
  int64_t ReadAt(char* buf, size_t n, int64_t offset);
  bool Rewind();
  // Flushes what was written to the disk.
  int Flush();
  int Close();

 private:
  static constexpr intptr_t kNone = -1;
  explicit File(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = kNone;
};

// The real path of `path` (links followed, "." and ".." gone, "/" separated); "" when it
// does not exist.
std::string RealPath(const std::string& path);

// True for a path that names its place from the root of a file system.
bool IsAbsolute(std::string_view path);

enum class Kind { kNone, kFile, kFolder, kOther };
// What `path` names; `follow` decides whether a link counts as what it points to.
Kind KindOf(const std::string& path, bool follow);
// The last change of a regular file that is not a link; false otherwise.
bool FileModified(const std::string& path, time_t* when);

// errno-style: 0 on success. `durable`: the new name is written through to the disk
// (Windows; on Linux a flush of the folder's file system does it).
int Rename(const std::string& from, const std::string& to, bool durable = false);

// Making files durable. On Linux, one flush of the whole file system that holds `folder`
// (syncfs) after the files are in place; on Windows, which has no such call for an
// unprivileged process, each file is flushed before its rename (kFlushEachFile) and
// renamed durably, and FlushFileSystem has nothing left to do. errno-style.
#ifdef _WIN32
inline constexpr bool kFlushEachFile = true;
#else
inline constexpr bool kFlushEachFile = false;
#endif
int FlushFileSystem(const std::string& folder);
// True when `path` is gone (deleted, or not there).
bool Remove(const std::string& path);
void MakeFolder(const std::string& path);
// The names in a folder, "." and ".." left out; empty when it cannot be read.
std::vector<std::string> ListNames(const std::string& folder);

// This process's number, and whether a process of that number has ended.
long ProcessId();
bool ProcessEnded(long pid);

// The folder of the running executable.
std::string OwnFolder();
// The program's arguments (argv[0] first) as the site's bytes.
std::vector<std::string> Arguments(int argc, char** argv);
// Lets as many connections be open as the system allows; returns how many, or 0 when
// there is no such limit.
uint64_t RaiseOpenLimit();
// A write to a connection the client closed fails instead of ending the program.
void IgnoreBrokenPipes();

// Calls `changed(in_out, name)` when a file named `name` appears in `out` (in_out false)
// or goes from `in` (true); `overflow()` when notices were lost. Start() is false where the system
// gives no such notice (the caller then polls).
class FolderWatch {
 public:
  FolderWatch(boost::asio::io_context& io, std::function<void(bool, std::string_view)> changed,
              std::function<void()> overflow);
  ~FolderWatch();
  bool Start(const std::string& in, const std::string& out);
  bool running() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace guichet::web::os
