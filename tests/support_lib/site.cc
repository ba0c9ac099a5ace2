#include "support_lib/site.h"

#ifndef _WIN32
#include <stdlib.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/system.h"
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

namespace {

#ifdef _WIN32
// A path the standard library returns, back in the site's form: Windows-1252, "/".
std::string SitePath(const fs::path& p) {
  std::u16string wide;
  for (wchar_t c : p.generic_wstring()) wide += static_cast<char16_t>(c);
  std::string narrow;
  FromUtf16(wide, &narrow);
  return narrow;
}
#else
std::string SitePath(const fs::path& p) { return p.string(); }
#endif

}  // namespace

#ifdef _WIN32
fs::path NativePath(const std::string& path) {
  std::u16string u = ToUtf16(path);
  return fs::path(std::wstring(u.begin(), u.end()));
}
#else
fs::path NativePath(const std::string& path) { return fs::path(path); }
#endif

int ListeningPort(const std::string& log) {
  static const std::string kLine = "listening on http://127.0.0.1:";
  const size_t at = log.find(kLine);
  if (at == std::string::npos || log.find('\n', at) == std::string::npos) return 0;
  return std::atoi(log.c_str() + at + kLine.size());
}

std::string BinaryDir() {
  std::string dir = ".";
  if (const char* d = getenv("GUICHET_BINARY_DIR")) {
    dir = d;
  } else {
#ifdef GUICHET_BINARY_DIR
    dir = GUICHET_BINARY_DIR;
#endif
  }
#ifdef _WIN32
  // The build folder is a Linux path when the tests run under wine, whose drive Z: is
  // the Linux root.
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
#endif
  return dir;
}

TempDir::TempDir() {
#ifdef _WIN32
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
    fs::path candidate = base / ("guichet-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) path_ = SitePath(candidate);
  }
  if (path_.empty()) throw std::runtime_error("no temporary folder");
#else
  char tmpl[] = "/tmp/guichet-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
#endif
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(NativePath(path_), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(NativePath(path_), ec);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(NativePath(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream out(NativePath(path), std::ios::binary | std::ios::trunc);
  out << data;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(NativePath(path), ec));
}

void MakeDirs(const std::string& path) { fs::create_directories(NativePath(path)); }

void SetMtime(const std::string& path, int64_t unix_seconds) {
  using namespace std::chrono;
  const sys_seconds when{seconds{unix_seconds}};
  std::error_code ec;
  fs::last_write_time(NativePath(path), file_clock::from_sys(when), ec);
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(NativePath(path), ec))
    names.push_back(SitePath(e.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

void DropFile(const std::string& path, const std::string& data) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string tmp = dir + "/.drop-" + path.substr(slash + 1);
  WriteAll(tmp, data);
  fs::rename(NativePath(tmp), NativePath(path));
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
Status TestEnv::OpenForWriteAt(const std::string& p, std::unique_ptr<OpenFile>* f) {
  class FailableFile : public OpenFile {
   public:
    FailableFile(TestEnv* env, std::unique_ptr<OpenFile> file, std::string path)
        : env_(env), file_(std::move(file)), path_(std::move(path)) {}
    Status Size(int64_t* size) override {
      GUICHET_FAILABLE("GetFileInfo", path_, file_->Size(size));
    }
    Status SizeAtPath(int64_t* size) override {
      GUICHET_FAILABLE("GetFileInfo", path_, file_->SizeAtPath(size));
    }
    Status WriteAt(int64_t o, std::string_view d) override {
      GUICHET_FAILABLE("WriteAt", path_, file_->WriteAt(o, d));
    }
    Status Sync() override {
      env_->Note("SyncFile", path_);
      GUICHET_FAILABLE("SyncFile", path_, file_->Sync());
    }
    Status Close() override { return file_->Close(); }

   private:
    bool Fails(const std::string& op, const std::string& path, Status* s) {
      return env_->Fails(op, path, s);
    }
    TestEnv* env_;
    std::unique_ptr<OpenFile> file_;
    std::string path_;
  };
  GUICHET_FAILABLE("GetFileInfo", p, [&] {
    std::unique_ptr<OpenFile> file;
    Status opened = EnvWrapper::OpenForWriteAt(p, &file);
    if (opened.ok()) *f = std::make_unique<FailableFile>(this, std::move(file), p);
    return opened;
  }());
}
Status TestEnv::Truncate(const std::string& p, int64_t size) {
  GUICHET_FAILABLE("Truncate", p, EnvWrapper::Truncate(p, size));
}
Status TestEnv::CopyFile(const std::string& f, const std::string& t) {
  GUICHET_FAILABLE("CopyFile", f, EnvWrapper::CopyFile(f, t));
}
Status TestEnv::SyncFile(const std::string& p) {
  Note("SyncFile", p);
  GUICHET_FAILABLE("SyncFile", p, EnvWrapper::SyncFile(p));
}
Status TestEnv::SyncFolder(const std::string& p) {
  Note("SyncFolder", p);
  GUICHET_FAILABLE("SyncFolder", p, EnvWrapper::SyncFolder(p));
}
Status TestEnv::DeleteFile(const std::string& p) {
  Note("DeleteFile", p);
  GUICHET_FAILABLE("DeleteFile", p, EnvWrapper::DeleteFile(p));
}
Status TestEnv::RenameFile(const std::string& f, const std::string& t) {
  Note("RenameFile", f);
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
Status TestEnv::WatchFolders(const std::vector<WatchedFolder>& f, std::unique_ptr<FolderWatch>* w) {
  w->reset();
  GUICHET_FAILABLE("WatchFolders", f.empty() ? std::string() : f[0].path,
                   EnvWrapper::WatchFolders(f, w));
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

std::string ProgramName() { return std::string("guichet") + kExecutableSuffix; }

std::string CodecLibraryName() { return std::string("Radiveve") + kSharedLibrarySuffix; }

RunningGuichet::RunningGuichet() {
  MakeDirs(app());
  MakeDirs(spool());
  MakeDirs(tasks());
  fs::copy_file(NativePath(BinaryDir() + "/" + ProgramName()),
                NativePath(app() + "/" + ProgramName()));
  std::error_code ec;
  fs::copy_file(NativePath(BinaryDir() + "/" + CodecLibraryName()),
                NativePath(app() + "/" + CodecLibraryName()), ec);
}

RunningGuichet::~RunningGuichet() { process_.Kill(); }

void RunningGuichet::Start(int open_files) {
  process_.Start(app() + "/" + ProgramName(), {}, root() + "/stderr.txt", open_files);
  // Ready once the spool folders exist (the first tick made them).
  WaitFor(spool() + "/out", 10000);
}

int RunningGuichet::RunAgain(std::string* err, int timeout_ms) {
  std::string err_file = root() + "/stderr2.txt";
  ChildProcess again;
  if (!again.Start(app() + "/" + ProgramName(), {}, err_file)) return -1;
  int rc = again.Wait(timeout_ms);
  if (err) *err = ReadAll(err_file);
  return rc;
}

int RunningGuichet::WaitExit(int timeout_ms) { return process_.Wait(timeout_ms); }

std::string RunningGuichet::DayLogs() {
  std::string all;
  for (const std::string& n : ListDir(app()))
    if (n.rfind("LogHalvero", 0) == 0) all += ReadAll(app() + "/" + n);
  return all;
}

int RunningGuichet::Stop() {
  if (!process_.started()) return -1;
  process_.AskToClose();
  return process_.Wait(10000);
}

void RunningGuichet::Kill() { process_.Kill(); }

bool RunningGuichet::Running() { return process_.Running(); }

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
