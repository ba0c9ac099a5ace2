// The benchmarks' system services on Linux: fork and exec, wait4's resource count,
// inotify, fcntl locks.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "support/bench_os.h"

namespace fs = std::filesystem;

namespace guichet::bench {

const char kGuichetProgram[] = "guichet";
const char kCodecLibrary[] = "Radiveve.so";

std::string BinaryDir() { return GUICHET_BINARY_DIR; }

std::string SelfFolder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

std::string InMemoryOrTemp() { return fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp"; }

std::string TempBase() { return "/tmp"; }

std::vector<std::string> DefaultFolders() { return {"/dev/shm", "/var/tmp"}; }

std::string MakeTempFolder(const std::string& base, const std::string& prefix) {
  std::string tmpl = base + "/" + prefix + "XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror(tmpl.c_str());
    std::exit(1);
  }
  return tmpl;
}

std::string FileSystemKind(const std::string& folder) {
  struct statfs sf;
  if (statfs(folder.c_str(), &sf) == 0 && sf.f_type == 0x01021994) return "tmpfs";
  return "disk";
}

std::string LoadNote() {
  double l[1] = {0};
  getloadavg(l, 1);
  char text[32];
  std::snprintf(text, sizeof text, "load %.2f", l[0]);
  return text;
}

void PutFile(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    std::perror(path.c_str());
    std::exit(1);
  }
  close(fd);
}

void FlushFileSystems() { sync(); }

void OwnCpu(double* user, double* system) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  *user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
  *system = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

int RunCommand(const std::string& command) {
  int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool HaveTool(const std::string& name) { return RunCommand("command -v " + name) == 0; }

// ---------------------------------------------------------------------------------------
// Program

Program::~Program() {
  if (id_ > 0) {
    kill(static_cast<pid_t>(id_), SIGKILL);
    waitpid(static_cast<pid_t>(id_), nullptr, 0);
  }
}

bool Program::Start(const std::string& exe, const std::vector<std::string>& args,
                    const std::string& cwd, const std::string& err_file,
                    const std::string& strace_out) {
  std::vector<std::string> command;
  if (!strace_out.empty()) command = {"strace", "-c", "-f", "-o", strace_out};
  command.push_back(exe);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1);
    dup2(err_file.empty() ? null : open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    // Only the standard streams reach the program.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    unsetenv("DISPLAY");
    if (strace_out.empty()) {
      execv(argv[0], argv.data());
    } else {
      execvp(argv[0], argv.data());
    }
    _exit(127);
  }
  if (pid < 0) return false;
  id_ = pid;
  traced_ = strace_out.empty() ? 0 : 1;
  return true;
}

double Program::CpuSeconds() const {
  std::ifstream f("/proc/" + std::to_string(id_) + "/schedstat");
  long long ns = 0;
  f >> ns;
  return ns / 1e9;
}

double Program::Stop(int* exit_code) {
  if (exit_code != nullptr) *exit_code = -1;
  if (id_ <= 0) return 0;
  const pid_t pid = static_cast<pid_t>(id_);
  // Under strace, the executable is strace's child: stopped itself, so strace reports.
  pid_t target = pid;
  if (traced_ != 0) {
    std::string children =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    if (FILE* f = std::fopen(children.c_str(), "r")) {
      int child = 0;
      if (std::fscanf(f, "%d", &child) == 1 && child > 0) target = child;
      std::fclose(f);
    }
  }
  kill(target, SIGTERM);
  int status;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  id_ = 0;
  if (exit_code != nullptr && WIFEXITED(status)) *exit_code = WEXITSTATUS(status);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// ---------------------------------------------------------------------------------------
// ArrivalWatch

ArrivalWatch::ArrivalWatch(const std::string& folder, const std::string& suffix)
    : suffix_(suffix), buffer_((1 << 16) / sizeof(uint64_t)) {
  fd_ = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO);
}

ArrivalWatch::~ArrivalWatch() {
  if (fd_ >= 0) close(fd_);
}

int ArrivalWatch::Wait(int timeout_ms, bool* lost) {
  struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd_, &set);
  if (select(fd_ + 1, &set, nullptr, nullptr, &tv) <= 0) return -1;
  char* buf = reinterpret_cast<char*>(buffer_.data());
  ssize_t len = read(fd_, buf, buffer_.size() * sizeof(uint64_t));
  if (len <= 0) return -2;
  int arrived = 0;
  for (char* p = buf; p < buf + len;) {
    auto* ev = reinterpret_cast<struct inotify_event*>(p);
    p += sizeof(struct inotify_event) + ev->len;
    if (ev->mask & IN_Q_OVERFLOW) *lost = true;
    if (ev->len == 0) continue;
    std::string_view name = ev->name;
    if (name.size() < suffix_.size() || name.substr(name.size() - suffix_.size()) != suffix_)
      continue;
    ++arrived;
  }
  return arrived;
}

// ---------------------------------------------------------------------------------------
// HeldLock

bool HeldLock::Hold(const std::string& path, int seconds) {
  int ready[2];
  if (pipe(ready) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0) _exit(1);
    (void)!write(ready[1], "L", 1);
    sleep(static_cast<unsigned>(seconds));
    _exit(0);
  }
  close(ready[1]);
  char c;
  const bool held = pid > 0 && read(ready[0], &c, 1) == 1;
  close(ready[0]);
  if (pid > 0) id_ = pid;
  return held;
}

void HeldLock::Release() {
  if (id_ <= 0) return;
  kill(static_cast<pid_t>(id_), SIGKILL);
  waitpid(static_cast<pid_t>(id_), nullptr, 0);
  id_ = 0;
}

int RunLockHolderIfAsked(int, char**) { return -1; }

}  // namespace guichet::bench
