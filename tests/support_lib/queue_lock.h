// Other programs that share the move queue with Guichet, as real second processes:
// fcntl locks belong to a process, so a thread of the test could not stand in for them.
// On Windows the same parts are played by queue_lock_helper.exe with LockFileEx, the
// lock of the whole file that Guichet takes there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace guichet::test {

// A process that takes the exclusive fcntl lock on the whole of an existing file and
// holds it until Release() (or its destructor), or at the latest `limit_ms` after
// taking it, so that a test of a Guichet that would wait for ever still ends. The
// constructor returns once the lock is held.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path, int limit_ms = 20000);
  ~LockHolder();
  // Lets go and waits for the process to end. Returns whether it had held the lock up
  // to this call, rather than up to its limit.
  bool Release();
  int64_t pid() const { return pid_; }

 private:
  int64_t pid_ = -1;
#ifdef _WIN32
  struct Helper;
  std::unique_ptr<Helper> helper_;
#else
  int release_fd_ = -1;
  int done_fd_ = -1;
#endif
};

// A process that opens an existing file, then waits for its fcntl lock (held by someone
// else) and, once it gets it, appends `line` at the end and ends. The constructor
// returns once the process is seen waiting for the lock (in /proc/locks; on Windows,
// once its first try failed).
class BlockedAppender {
 public:
  BlockedAppender(const std::string& path, const std::string& line);
  ~BlockedAppender();
  // Waits for the process to end (after the lock was let go); returns whether it wrote.
  bool Wait();

 private:
  int64_t pid_ = -1;
#ifdef _WIN32
  struct Helper;
  std::unique_ptr<Helper> helper_;
#endif
};

#ifndef _WIN32
// Whether process `pid` waits for a POSIX lock (a "->" line of /proc/locks).
bool WaitsForLock(int64_t pid);
#endif

}  // namespace guichet::test
