#include "support_lib/site.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/text.h"
#include "support/wildcard.h"

namespace fs = std::filesystem;

namespace guichet::test {

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 50) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string BinaryDir() {
  if (const char* d = getenv("GUICHET_BINARY_DIR")) return d;
#ifdef GUICHET_BINARY_DIR
  return GUICHET_BINARY_DIR;
#else
  return ".";
#endif
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/guichet-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

void SetMtime(const std::string& path, int64_t unix_seconds) {
  struct timespec t[2];
  t[0].tv_sec = t[1].tv_sec = unix_seconds;
  t[0].tv_nsec = t[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), t, 0);
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(path, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void DropFile(const std::string& path, const std::string& data) {
  std::string dir = fs::path(path).parent_path();
  std::string tmp = dir + "/.drop-" + fs::path(path).filename().string();
  WriteAll(tmp, data);
  fs::rename(tmp, path);
}

void DropRequest(const std::string& spool_root, const std::string& name,
                 const std::vector<std::string>& lines) {
  std::string data;
  for (const auto& l : lines) data += l + "\r\n";
  MakeDirs(spool_root + "/in");
  DropFile(spool_root + "/in/" + name, data);
}

// TestEnv ---------------------------------------------------------------------------

TestEnv::TestEnv() : EnvWrapper(Env::Default()) {
  now_.year = 2026, now_.month = 12, now_.day = 7, now_.hour = 10;
}

void TestEnv::FailWhen(const std::string& op, std::function<bool(const std::string&)> when,
                       Status::Kind kind) {
  failures_.push_back({op, std::move(when), kind});
}

bool TestEnv::Fails(const std::string& op, const std::string& path, Status* s) {
  for (const Rule& r : failures_)
    if (r.op == op && r.when(path)) {
      *s = Status(r.kind, path);
      return true;
    }
  return false;
}

Status TestEnv::StartDetached(const std::string& p) {
  started.push_back(p);
  return Status::Ok();
}

#define GUICHET_FAILABLE(op, path, call) \
  Status s;                              \
  if (Fails(op, path, &s)) return s;     \
  return call;

Status TestEnv::ReadFile(const std::string& p, std::string* d, int64_t m) {
  GUICHET_FAILABLE("ReadFile", p, EnvWrapper::ReadFile(p, d, m));
}
Status TestEnv::WriteFile(const std::string& p, std::string_view d) {
  GUICHET_FAILABLE("WriteFile", p, EnvWrapper::WriteFile(p, d));
}
Status TestEnv::WriteFileAtomic(const std::string& p, std::string_view d) {
  GUICHET_FAILABLE("WriteFileAtomic", p, EnvWrapper::WriteFileAtomic(p, d));
}
Status TestEnv::WriteSecretFileAtomic(const std::string& p, std::string_view d) {
  GUICHET_FAILABLE("WriteSecretFileAtomic", p, EnvWrapper::WriteSecretFileAtomic(p, d));
}
Status TestEnv::AppendFile(const std::string& p, std::string_view d) {
  GUICHET_FAILABLE("AppendFile", p, EnvWrapper::AppendFile(p, d));
}
Status TestEnv::ReadAdminFile(const std::string& p, std::string* d, int64_t m) {
  GUICHET_FAILABLE("ReadFile", p, EnvWrapper::ReadAdminFile(p, d, m));
}
Status TestEnv::WriteAnswer(const std::string& p, std::string_view d, bool append) {
  GUICHET_FAILABLE(append ? "AppendFile" : "WriteFile", p, EnvWrapper::WriteAnswer(p, d, append));
}
Status TestEnv::WriteAnswerAtomic(const std::string& p, std::string_view d) {
  GUICHET_FAILABLE("WriteFileAtomic", p, EnvWrapper::WriteAnswerAtomic(p, d));
}
Status TestEnv::WriteAt(const std::string& p, int64_t o, std::string_view d) {
  GUICHET_FAILABLE("WriteAt", p, EnvWrapper::WriteAt(p, o, d));
}
Status TestEnv::Truncate(const std::string& p, int64_t size) {
  GUICHET_FAILABLE("Truncate", p, EnvWrapper::Truncate(p, size));
}
Status TestEnv::CopyFile(const std::string& f, const std::string& t) {
  GUICHET_FAILABLE("CopyFile", f, EnvWrapper::CopyFile(f, t));
}
Status TestEnv::DeleteFile(const std::string& p) {
  GUICHET_FAILABLE("DeleteFile", p, EnvWrapper::DeleteFile(p));
}
Status TestEnv::RenameFile(const std::string& f, const std::string& t) {
  GUICHET_FAILABLE("RenameFile", f, EnvWrapper::RenameFile(f, t));
}
Status TestEnv::CreateFolder(const std::string& p) {
  GUICHET_FAILABLE("CreateFolder", p, EnvWrapper::CreateFolder(p));
}
Status TestEnv::ListFiles(const std::string& f, std::string_view pat, std::vector<std::string>* n) {
  GUICHET_FAILABLE("ListFiles", f, EnvWrapper::ListFiles(f, pat, n));
}
Status TestEnv::GetFileInfo(const std::string& p, FileInfo* i) {
  GUICHET_FAILABLE("GetFileInfo", p, EnvWrapper::GetFileInfo(p, i));
}

#undef GUICHET_FAILABLE

int FakeDesktop::CountMatchingWindows(const std::string& title, const std::string& cls) {
  int n = 0;
  for (const auto& [t, c] : windows)
    if (MatchesLike(ToUpper(t), ToUpper(title)) && MatchesLike(ToUpper(c), ToUpper(cls))) ++n;
  return n;
}

// TestSite ---------------------------------------------------------------------------

TestSite::TestSite() {
  MakeDirs(app());
  MakeDirs(spool());
  MakeDirs(tasks());
  env.SetExecutable(app() + "/guichet");
  g = std::make_unique<Guichet>(env, view, desktop);
  g->AppFolder = app();
  g->SpoolRoot = app() + "/../IsapiHalvero";
  g->TasksFolder = app() + "/../Tasks";
  g->CurrentSpoolRoot = g->SpoolRoot;
}

std::string TestSite::DayLog() {
  return ReadAll(app() + "/LogHalvero" + Format(env.Now(), "yymmdd") + ".txt");
}

// RunningGuichet ----------------------------------------------------------------------

RunningGuichet::RunningGuichet() {
  MakeDirs(app());
  MakeDirs(spool());
  MakeDirs(tasks());
  fs::copy_file(BinaryDir() + "/guichet", app() + "/guichet");
  std::error_code ec;
  fs::copy_file(BinaryDir() + "/Radiveve.so", app() + "/Radiveve.so", ec);
}

RunningGuichet::~RunningGuichet() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

namespace {

pid_t Spawn(const std::string& exe, const std::string& err_file, int open_files = 0) {
  pid_t pid = fork();
  if (pid == 0) {
    if (open_files > 0) {
      struct rlimit lim = {static_cast<rlim_t>(open_files), static_cast<rlim_t>(open_files)};
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    int err = err_file.empty() ? null : open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    // Only the standard streams reach the program.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    unsetenv("DISPLAY");
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int WaitForExit(pid_t pid, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

void RunningGuichet::Start(int open_files) {
  pid_ = Spawn(app() + "/guichet", root() + "/stderr.txt", open_files);
  // Ready once the spool folders exist (the first tick made them).
  WaitFor(spool() + "/out", 10000);
}

int RunningGuichet::RunAgain(std::string* err, int timeout_ms) {
  std::string err_file = root() + "/stderr2.txt";
  pid_t pid = Spawn(app() + "/guichet", err_file);
  int rc = WaitForExit(pid, timeout_ms);
  if (err) *err = ReadAll(err_file);
  return rc;
}

int RunningGuichet::WaitExit(int timeout_ms) {
  if (pid_ <= 0) return -1;
  int rc = WaitForExit(pid_, timeout_ms);
  pid_ = -1;
  return rc;
}

std::string RunningGuichet::DayLogs() {
  std::string all;
  for (const std::string& n : ListDir(app()))
    if (n.rfind("LogHalvero", 0) == 0) all += ReadAll(app() + "/" + n);
  return all;
}

int RunningGuichet::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int rc = WaitForExit(pid_, 10000);
  pid_ = -1;
  return rc;
}

void RunningGuichet::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool RunningGuichet::Running() {
  if (pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

bool RunningGuichet::WaitFor(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (Exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string RunningGuichet::Ask(const std::string& name, const std::vector<std::string>& lines,
                                std::string* marker, int timeout_ms) {
  DropRequest(spool(), name + ".req", lines);
  std::string rdy = spool() + "/out/" + name + ".rdy";
  if (!WaitFor(rdy, timeout_ms)) return "<no answer>";
  if (marker) *marker = ReadAll(rdy);
  return ReadAll(spool() + "/out/" + name + ".htm");
}

}  // namespace guichet::test
