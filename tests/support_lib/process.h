// Programs a test starts and stops: the real executable in a temporary site, or a helper
// that stands in for another program. The same calls on Linux (fork and exec, signals)
// and on Windows (CreateProcess, WM_CLOSE).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guichet::test {

// The file name ending of executables here ("" or ".exe").
extern const char kExecutableSuffix[];

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills the program if it still runs.
  ~ChildProcess();

  // Starts `exe` with `args`, standard input and output on the null device and standard
  // error into `err_file` (the null device when empty), without a display or a terminal.
  // `open_files`, when not 0, is the process's descriptor limit (Linux only). False when
  // the program could not be started.
  bool Start(const std::string& exe, const std::vector<std::string>& args,
             const std::string& err_file, int open_files = 0);
  // Waits for the end; the exit code, or -1 when it did not end within `timeout_ms` (it
  // is killed then) or ended by a signal.
  int Wait(int timeout_ms);
  bool Running();
  // Asks the program to close as the system would: SIGTERM on Linux, WM_CLOSE to its
  // windows on Windows.
  void AskToClose();
  // Ends it at once, as a crash would, and waits for the end.
  void Kill();
  bool started() const { return id_ != 0; }
  int64_t id() const { return id_; }

 private:
  int64_t id_ = 0;          // process id
  void* handle_ = nullptr;  // Windows: the process handle
};

}  // namespace guichet::test
