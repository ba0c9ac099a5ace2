// Test support: temporary sites on the real file system, a wrapper of the real Env with
// a clock the test sets and calls that fail on demand, a recording view and desktop, and
// the real executable started in a temporary site.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/guichet.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/view.h"
#include "support_lib/process.h"

// Skips, on Windows only, a test whose subject has no meaning there or that needs a
// Linux tool a Windows program under wine cannot run; `why` says which.
#ifdef _WIN32
#define SKIP_ON_WINDOWS(why) GTEST_SKIP() << why
#else
#define SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif

namespace guichet::test {

// Asks `done` every 50 ms until it holds or `timeout_ms` have passed.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms);

// A site path (Windows-1252, "/" separated) as the standard library's file calls take
// it: on Windows its characters go through UTF-16, whatever the ANSI code page.
std::filesystem::path NativePath(const std::string& path);

// A fresh folder under the system's temporary folder (/tmp on Linux), removed with
// everything in it at the end of the test. Its path uses "/" on every system.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Real files, plain helpers.
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
void SetMtime(const std::string& path, int64_t unix_seconds);
std::vector<std::string> ListDir(const std::string& path);  // sorted names

// Writes a file the way the front end must: under a temporary name no listing matches,
// then renamed into place.
void DropFile(const std::string& path, const std::string& data);
// A request file: lines joined with CR LF.
void DropRequest(const std::string& spool_root, const std::string& name,
                 const std::vector<std::string>& lines);

// The real Env with a clock set by the test and failures injected by operation name.
class TestEnv : public EnvWrapper {
 public:
  TestEnv();
  // Sets the time of day only (a clock set by hand, summer time): the steady clock
  // does not move.
  void SetNow(const DateTime& t) { now_ = t; }
  // Time passes: both clocks move.
  void Advance(int64_t seconds) {
    now_ = now_.AddSeconds(seconds);
    steady_ms_ += seconds * 1000;
  }
  void SetExecutable(const std::string& path) { exe_ = path; }

  // Makes the operation fail with `kind` when `when(path)` holds (e.g. "WriteFile"). The
  // answer and administrator variants fail with their plain operation: WriteAnswer as
  // "WriteFile" or "AppendFile", WriteAnswerAtomic as "WriteFileAtomic", ReadAdminFile as
  // "ReadFile".
  void FailWhen(const std::string& op, std::function<bool(const std::string&)> when,
                Status::Kind kind);
  void ClearFailures() { failures_.clear(); }
  std::vector<std::string> started;  // programs started detached
  std::vector<std::string> calls;    // "SyncFile path", "DeleteFile path", ...
  void Note(const std::string& op, const std::string& path) { calls.push_back(op + " " + path); }

  DateTime Now() override { return now_; }
  int64_t SteadyMillis() override { return steady_ms_; }
  std::string ExecutablePath() override { return exe_; }
  Status StartDetached(const std::string& p) override;
  Status ReadFile(const std::string& p, std::string* d, int64_t m) override;
  Status WriteFile(const std::string& p, std::string_view d) override;
  Status WriteFileAtomic(const std::string& p, std::string_view d) override;
  Status WriteSecretFileAtomic(const std::string& p, std::string_view d) override;
  Status AppendFile(const std::string& p, std::string_view d) override;
  Status ReadAdminFile(const std::string& p, std::string* d, int64_t m) override;
  Status WriteAnswer(const std::string& p, std::string_view d, bool append) override;
  Status WriteAnswerAtomic(const std::string& p, std::string_view d) override;
  Status WriteAt(const std::string& p, int64_t o, std::string_view d) override;
  // The file held open fails as "WriteAt" when written and as "GetFileInfo" when its
  // size is asked, by the path it was opened by.
  Status OpenForWriteAt(const std::string& p, std::unique_ptr<OpenFile>* f) override;
  Status Truncate(const std::string& p, int64_t size) override;
  Status CopyFile(const std::string& f, const std::string& t) override;
  // Flushes fail as "SyncFile" and "SyncFolder" (the file held open as "SyncFile" by its
  // path); flushes, deletions and renames are noted in `calls` in their order.
  Status SyncFile(const std::string& p) override;
  Status SyncFolder(const std::string& p) override;
  Status DeleteFile(const std::string& p) override;
  Status RenameFile(const std::string& f, const std::string& t) override;
  Status CreateFolder(const std::string& p) override;
  Status ListFiles(const std::string& f, std::string_view pat,
                   std::vector<std::string>* n) override;
  Status GetFileInfo(const std::string& p, FileInfo* i) override;
  // Fails as "WatchFolders" by the first folder's path.
  Status WatchFolders(const std::vector<WatchedFolder>& f,
                      std::unique_ptr<FolderWatch>* w) override;
  // Unknown while failures are injected, so that every listing is asked and can fail.
  uint64_t FolderGeneration(const std::string& f) override {
    return failures_.empty() ? EnvWrapper::FolderGeneration(f) : 0;
  }

 private:
  bool Fails(const std::string& op, const std::string& path, Status* s);
  struct Rule {
    std::string op;
    std::function<bool(const std::string&)> when;
    Status::Kind kind;
  };
  std::vector<Rule> failures_;
  DateTime now_;
  int64_t steady_ms_ = 1000000;
  std::string exe_;
};

// Records everything the shell shows.
class FakeView : public StatusView {
 public:
  void Show(FormEvents* events) override { events_ = events; }
  void SetCaption(const std::string& t) override { captions.push_back(t); }
  void SetLabel(Label l, const std::string& t) override { labels[l] = t; }
  void AddActivity(const std::string& line) override { activity.push_back(line); }
  void ClearActivity() override { activity.clear(); }
  void DoEvents() override {
    ++do_events;
    if (on_events) on_events();
  }
  bool WaitFor(int, const bool&) override { return false; }
  void MessageBox(const std::string& text) override { messages.push_back(text); }
  void Beep() override { ++beeps; }
  void Close() override { closed = true; }

  FormEvents* events_ = nullptr;
  std::vector<std::string> captions, activity, messages;
  std::map<Label, std::string> labels;
  std::function<void()> on_events;  // runs inside DoEvents (a click mid-request)
  int do_events = 0, beeps = 0;
  bool closed = false;
};

class FakeDesktop : public Desktop {
 public:
  int CountMatchingWindows(const std::string& title, const std::string& cls) override;
  // Windows on the fake desktop: title and class.
  std::vector<std::pair<std::string, std::string>> windows;
};

// A site laid out as PLATFORM.md says, with a Guichet whose folders point into it, as
// after start-up and the window load. The clock starts at 07/12/2026 10:00:00.
class TestSite {
 public:
  TestSite();
  std::string root() const { return dir_.path(); }
  std::string app() const { return root() + "/Guichet"; }
  std::string spool() const { return root() + "/IsapiHalvero"; }
  std::string tasks() const { return root() + "/Tasks"; }
  std::string templates() const { return root() + "/Templates"; }

  TestEnv env;
  FakeView view;
  FakeDesktop desktop;
  std::unique_ptr<Guichet> g;

  // Drops a request in the spool's "in" folder.
  void Request(const std::string& name, const std::vector<std::string>& lines) {
    DropRequest(spool(), name, lines);
  }
  // The lines of the day log of the test clock's day ("" when none).
  std::string DayLog();

 private:
  TempDir dir_;
};

// The real executable, copied with the codec library into a temporary site and started
// without a terminal. Stopped at the end as the system stops it (SIGTERM, WM_CLOSE).
class RunningGuichet {
 public:
  // Lays out the site; call Start() to run.
  RunningGuichet();
  ~RunningGuichet();
  std::string root() const { return dir_.path(); }
  std::string app() const { return root() + "/Guichet"; }
  std::string spool() const { return root() + "/IsapiHalvero"; }
  std::string tasks() const { return root() + "/Tasks"; }

  // `open_files`: when not 0, the descriptor limit of the process (RLIMIT_NOFILE; Linux
  // only).
  void Start(int open_files = 0);
  // Waits for the process to end by itself; its exit code, or -1 (then it is killed).
  int WaitExit(int timeout_ms);
  // Everything the day logs of the application folder hold.
  std::string DayLogs();
  // Runs a second copy of the same executable and returns its exit code and stderr.
  int RunAgain(std::string* err, int timeout_ms = 5000);
  // Asks it to close (SIGTERM, WM_CLOSE) and waits; returns the exit code (or -1).
  int Stop();
  // Ends it at once, as a crash would, and waits.
  void Kill();
  bool Running();

  // Waits until `path` exists (polling), up to `timeout_ms`.
  bool WaitFor(const std::string& path, int timeout_ms = 10000);
  // Drops a request and waits for its ready marker; returns the answer file's content.
  std::string Ask(const std::string& name, const std::vector<std::string>& lines,
                  std::string* marker = nullptr, int timeout_ms = 10000);

 private:
  TempDir dir_;
  ChildProcess process_;
};

// The file names of the executable and of the codec library on this system: "guichet"
// and "Radiveve.so", or "guichet.exe" and "Radiveve.dll".
std::string ProgramName();
std::string CodecLibraryName();

// The build folder (GUICHET_BINARY_DIR), where guichet and Radiveve.so (guichet.exe and
// Radiveve.dll) are.
std::string BinaryDir();

// The port in guichet-web's "listening on http://127.0.0.1:PORT/" line of `log`, once the
// whole line is there (the log may be read while the line is being written); 0 before.
int ListeningPort(const std::string& log);

}  // namespace guichet::test
