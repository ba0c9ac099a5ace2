#include "support_lib/queue_lock.h"

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
  int release[2], done[2];
  if (pipe(release) != 0 || pipe(done) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
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

bool WaitsForLock(pid_t pid) {
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
