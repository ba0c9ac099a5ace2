// What the benchmarks ask of the operating system besides the work they measure:
// temporary folders, the real executable started and stopped from outside with its CPU
// time, files arriving in a folder, a lock held by another process. One interface, a
// POSIX implementation (bench_os_posix.cc) and a Win32 one (bench_os_win.cc).
//
// Paths are the benchmarks' own texts ("/" or "\" both work on Windows); on Windows they
// are Windows-1252, as everywhere in Guichet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guichet::bench {

// "guichet" or "guichet.exe"; "Radiveve.so" or "Radiveve.dll".
extern const char kGuichetProgram[];
extern const char kCodecLibrary[];

// The build folder the benchmark was built in (where guichet and the codec library are),
// as this system names it: under wine, the Linux build path through drive Z:.
std::string BinaryDir();
// The folder of this program.
std::string SelfFolder();
// A folder in memory where the machine has one (/dev/shm), else the temporary folder.
std::string InMemoryOrTemp();
// The system's temporary folder (/tmp; the user's %TEMP% on Windows).
std::string TempBase();
// The folders drain_bench measures by default: one in memory, one on disk where the
// machine has both (/dev/shm and /var/tmp); the temporary folder on Windows.
std::vector<std::string> DefaultFolders();
// Makes a new folder `base`/`prefix`XXXXXX; exits the program when it cannot.
std::string MakeTempFolder(const std::string& base, const std::string& prefix);
// "tmpfs" for a file system in memory, else "disk" (Windows: the volume's file system
// name, such as "NTFS").
std::string FileSystemKind(const std::string& folder);
// "load 1.23" (the one-minute load average), or "load unknown" where there is none.
std::string LoadNote();
// Writes `data` to `path` (created or truncated) with the system's own calls; exits the
// program when it cannot.
void PutFile(const std::string& path, const std::string& data);
// Asks the system to write what it holds to the disks (sync); nothing on Windows.
void FlushFileSystems();
// User and system CPU seconds of this process so far.
void OwnCpu(double* user, double* system);
// Runs a command line through the system's shell with its output thrown away; its exit
// code, -1 when it did not end normally.
int RunCommand(const std::string& command);
// Whether the shell finds a program of that name.
bool HaveTool(const std::string& name);

// A program started from outside, without a display or a terminal, as a user starts
// Guichet: the real executable measured by the benchmarks.
class Program {
 public:
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  // Kills the program if it still runs.
  ~Program();

  // Starts `exe` with `args`, in `cwd` when not empty, standard input and output on the
  // null device and standard error into `err_file` (the null device when empty). With
  // `strace_out`, under "strace -c -f -o strace_out" (Linux only). False when it could
  // not be started.
  bool Start(const std::string& exe, const std::vector<std::string>& args = {},
             const std::string& cwd = "", const std::string& err_file = "",
             const std::string& strace_out = "");
  // CPU seconds it has used so far, while it runs (Linux: the scheduler's count).
  double CpuSeconds() const;
  // Asks it to close as the system would (SIGTERM; WM_CLOSE on Windows), waits for the
  // end and returns the CPU seconds it used, user and system, start to end. `*exit_code`,
  // when given, is its exit code (-1 when it ended by a signal, 137 when it had to be
  // killed on Windows).
  double Stop(int* exit_code = nullptr);
  bool started() const { return id_ != 0; }

 private:
  int64_t id_ = 0;          // the process id
  int64_t traced_ = 0;      // under strace: the executable, strace's child
  void* handle_ = nullptr;  // Windows: the process handle
};

// Files whose names end with `suffix` arriving in `folder` by a rename (inotify's
// IN_MOVED_TO; ReadDirectoryChangesW on Windows), watched from construction on.
class ArrivalWatch {
 public:
  ArrivalWatch(const std::string& folder, const std::string& suffix);
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;
  ~ArrivalWatch();
  // Waits up to `timeout_ms` for news. -1 when nothing was heard, -2 when the watch
  // failed, else the number of arrivals heard (0 when only other names changed).
  // `*lost` is set when the system dropped events: the folder must be counted then.
  int Wait(int timeout_ms, bool* lost);

 private:
  std::string suffix_;
  int fd_ = -1;                 // Linux: the inotify descriptor
  void* dir_ = nullptr;         // Windows: the folder's handle
  void* event_ = nullptr;       // Windows: the event of the pending read
  void* overlapped_ = nullptr;  // Windows: the pending read
  std::vector<uint64_t> buffer_;
};

// An exclusive lock on the whole of a file, held by another process (fcntl's F_WRLCK;
// LockFileEx on Windows) for a number of seconds or until Release.
class HeldLock {
 public:
  HeldLock() = default;
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { Release(); }
  // Starts the holder and returns once it holds the lock; false when it could not.
  bool Hold(const std::string& path, int seconds);
  // Ends the holder, which lets go of the lock.
  void Release();

 private:
  int64_t id_ = 0;
  void* handle_ = nullptr;
};

// On Windows the lock holder is this same program started again with
// "--hold-lock PATH SECONDS": a program that can hold a lock calls this first thing in
// main, and returns its result when it is not -1. -1 always on Linux (fork is enough).
int RunLockHolderIfAsked(int argc, char** argv);

}  // namespace guichet::bench
