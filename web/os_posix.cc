#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <cerrno>

#include "os.h"

namespace guichet::web::os {

File File::OpenRead(const std::string& path, int* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (error) *error = fd < 0 ? errno : 0;
  if (fd < 0) return File();
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = EINVAL;
    close(fd);
    return File();
  }
  return File(fd);
}

File File::Create(const std::string& path, bool owner_only, int* error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                owner_only ? 0600 : 0640);
  *error = fd < 0 ? errno : 0;
  return fd < 0 ? File() : File(fd);
}

int64_t File::Size() const {
  struct stat st;
  if (!is_open() || fstat(static_cast<int>(handle_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

int64_t File::ModifiedNs() const {
  struct stat st;
  if (!is_open() || fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::string File::RealPath() const {
  return is_open() ? os::RealPath("/proc/self/fd/" + std::to_string(handle_)) : "";
}

int File::WriteAll(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(static_cast<int>(handle_), data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int File::Sync() { return fsync(static_cast<int>(handle_)) == 0 ? 0 : errno; }

int64_t File::Read(char* buf, size_t n) {
  for (;;) {
    ssize_t got = read(static_cast<int>(handle_), buf, n);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

int64_t File::ReadAt(char* buf, size_t n, int64_t offset) {
  for (;;) {
    ssize_t got = pread(static_cast<int>(handle_), buf, n, offset);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

int File::Flush() {
  while (fsync(static_cast<int>(handle_)) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

bool File::Rewind() { return lseek(static_cast<int>(handle_), 0, SEEK_SET) == 0; }

int File::Close() {
  if (!is_open()) return 0;
  int rc = close(static_cast<int>(handle_));
  handle_ = kNone;
  return rc == 0 ? 0 : errno;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return "";
  return buf;
}

bool IsAbsolute(std::string_view path) { return !path.empty() && path[0] == '/'; }

Kind KindOf(const std::string& path, bool follow) {
  struct stat st;
  if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return Kind::kNone;
  return S_ISREG(st.st_mode) ? Kind::kFile : S_ISDIR(st.st_mode) ? Kind::kFolder : Kind::kOther;
}

bool FileModified(const std::string& path, time_t* when) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *when = st.st_mtime;
  return true;
}

int Rename(const std::string& from, const std::string& to, bool /*durable*/) {
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int FlushFileSystem(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = syncfs(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

bool Remove(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

void MakeFolder(const std::string& path) { mkdir(path.c_str(), 0750); }

std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(std::move(n));
  }
  closedir(d);
  return names;
}

long ProcessId() { return static_cast<long>(getpid()); }

bool ProcessEnded(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

std::string OwnFolder() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

uint64_t RaiseOpenLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur == RLIM_INFINITY ? 0 : rl.rlim_cur;
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

// inotify on the two folders, read by the event loop.
struct FolderWatch::Impl {
  Impl(boost::asio::io_context& io, std::function<void(bool, std::string_view)> c,
       std::function<void()> o)
      : io(io), changed(std::move(c)), overflow(std::move(o)) {}
  void Read() {
    notify->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                       [this](const boost::system::error_code& ec) {
                         if (ec) {
                           notify.reset();  // the poll carries on alone
                           return;
                         }
                         Drain();
                         Read();
                       });
  }
  void Drain() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      ssize_t n = read(notify->native_handle(), buf, sizeof buf);
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + e->len;
        if (e->mask & IN_Q_OVERFLOW) {
          overflow();
          continue;
        }
        if (e->len == 0) continue;
        changed(e->wd == wd_in, std::string_view(e->name));
      }
    }
  }
  boost::asio::io_context& io;
  std::function<void(bool, std::string_view)> changed;
  std::function<void()> overflow;
  std::unique_ptr<boost::asio::posix::stream_descriptor> notify;
  int wd_in = -1, wd_out = -1;
};

FolderWatch::FolderWatch(boost::asio::io_context& io,
                         std::function<void(bool, std::string_view)> changed,
                         std::function<void()> overflow)
    : impl_(std::make_unique<Impl>(io, std::move(changed), std::move(overflow))) {}

FolderWatch::~FolderWatch() = default;

bool FolderWatch::Start(const std::string& in, const std::string& out) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return false;
  impl_->wd_out = inotify_add_watch(fd, out.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE);
  impl_->wd_in = inotify_add_watch(fd, in.c_str(), IN_DELETE | IN_MOVED_FROM);
  if (impl_->wd_out < 0 || impl_->wd_in < 0) {
    close(fd);
    return false;
  }
  impl_->notify = std::make_unique<boost::asio::posix::stream_descriptor>(impl_->io, fd);
  impl_->Read();
  return true;
}

bool FolderWatch::running() const { return impl_->notify != nullptr; }

}  // namespace guichet::web::os
