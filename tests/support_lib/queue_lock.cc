#include "support_lib/queue_lock.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <random>

#include "support_lib/process.h"
#include "support_lib/site.h"

namespace guichet::test {
namespace {

// Named events between the test and queue_lock_helper.exe, unique to one helper.
std::string EventBase() {
  static std::atomic<int> next{0};
  std::random_device random;
  return "Local\\guichet-queue-lock-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(next++) + "-" + std::to_string(random());
}

HANDLE MakeEvent(const std::string& name) {
  std::wstring wide(name.begin(), name.end());
  return CreateEventW(nullptr, TRUE, FALSE, wide.c_str());
}

std::string HelperPath() { return BinaryDir() + "/queue_lock_helper.exe"; }

}  // namespace

struct LockHolder::Helper {
  ChildProcess process;
  HANDLE locked = nullptr, release = nullptr;
  ~Helper() {
    if (locked) CloseHandle(locked);
    if (release) CloseHandle(release);
  }
};

LockHolder::LockHolder(const std::string& path, int limit_ms) : helper_(new Helper) {
  const std::string base = EventBase();
  helper_->locked = MakeEvent(base + "-locked");
  helper_->release = MakeEvent(base + "-release");
  if (!helper_->process.Start(HelperPath(), {"hold", path, base, std::to_string(limit_ms)}, ""))
    return;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(helper_->process.id()));
  HANDLE both[2] = {helper_->locked, process};
  DWORD r = WaitForMultipleObjects(process ? 2 : 1, both, FALSE, 20000);
  if (process) CloseHandle(process);
  if (r == WAIT_OBJECT_0)
    pid_ = helper_->process.id();
  else
    helper_->process.Kill();
}

LockHolder::~LockHolder() { Release(); }

bool LockHolder::Release() {
  if (pid_ <= 0) return false;
  SetEvent(helper_->release);
  int rc = helper_->process.Wait(20000);
  pid_ = -1;
  return rc == 0;
}

struct BlockedAppender::Helper {
  ChildProcess process;
  HANDLE waiting = nullptr;
  ~Helper() {
    if (waiting) CloseHandle(waiting);
  }
};

BlockedAppender::BlockedAppender(const std::string& path, const std::string& line)
    : helper_(new Helper) {
  const std::string base = EventBase();
  helper_->waiting = MakeEvent(base + "-waiting");
  if (!helper_->process.Start(HelperPath(), {"append", path, base, line}, "")) return;
  pid_ = helper_->process.id();
  WaitForSingleObject(helper_->waiting, 5000);
}

BlockedAppender::~BlockedAppender() { helper_->process.Kill(); }

bool BlockedAppender::Wait() {
  if (pid_ <= 0) return false;
  int rc = helper_->process.Wait(30000);
  pid_ = -1;
  return rc == 0;
}

}  // namespace guichet::test

#else

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace guichet::test {
namespace {

bool LockWhole(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int r;
  while ((r = fcntl(fd, F_SETLKW, &fl)) != 0 && errno == EINTR) {
  }
  return r == 0;
}

bool AppendAtEnd(int fd, const std::string& line) {
  if (line.empty()) return true;
  return lseek(fd, 0, SEEK_END) >= 0 &&
         write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

int Exited(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

LockHolder::LockHolder(const std::string& path, int limit_ms) {
  pid_t pid;
  int release[2], done[2];
  if (pipe(release) != 0 || pipe(done) != 0) return;
  pid_ = pid = fork();
  if (pid == 0) {
    close(release[1]);
    close(done[0]);
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0 || !LockWhole(fd)) _exit(2);
    (void)!write(done[1], "L", 1);
    struct pollfd p = {release[0], POLLIN, 0};
    int r = poll(&p, 1, limit_ms);
    _exit(r > 0 ? 0 : 3);  // ending lets go of the lock
  }
  close(release[0]);
  close(done[1]);
  release_fd_ = release[1];
  done_fd_ = done[0];
  char c;
  if (read(done_fd_, &c, 1) != 1) {
    Exited(pid_);
    pid_ = -1;
  }
}

LockHolder::~LockHolder() { Release(); }

bool LockHolder::Release() {
  if (pid_ <= 0) return false;
  // The holder may have ended at its limit already: no SIGPIPE for the test then.
  signal(SIGPIPE, SIG_IGN);
  (void)!write(release_fd_, "R", 1);
  close(release_fd_);
  close(done_fd_);
  int rc = Exited(pid_);
  pid_ = -1;
  return rc == 0;
}

bool WaitsForLock(int64_t pid) {
  std::ifstream in("/proc/locks");
  std::string line;
  const std::string needle = " " + std::to_string(pid) + " ";
  while (std::getline(in, line))
    if (line.find("->") != std::string::npos && line.find(needle) != std::string::npos) return true;
  return false;
}

BlockedAppender::BlockedAppender(const std::string& path, const std::string& line) {
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0 || !LockWhole(fd)) _exit(2);
    _exit(AppendAtEnd(fd, line) ? 0 : 4);
  }
  for (int i = 0; i < 1000 && !WaitsForLock(pid_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

BlockedAppender::~BlockedAppender() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Exited(pid_);
  }
}

bool BlockedAppender::Wait() {
  if (pid_ <= 0) return false;
  int rc = Exited(pid_);
  pid_ = -1;
  return rc == 0;
}

}  // namespace guichet::test

#endif
