// The real Env on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "platform/env.h"
#include "support/text.h"

namespace guichet {

Status Status::FromErrno(int err, std::string path) {
  switch (err) {
    case 0:
      return Status();
    case ENOENT:
      return Status(kNotFound, std::move(path));
    case ENOTDIR:
      return Status(kPathNotFound, std::move(path));
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return Status(kDenied, std::move(path));
    case ENOSPC:
    case EDQUOT:
      return Status(kDiskFull, std::move(path));
    case EBADF:
    case EMFILE:
    case ENFILE:
      return Status(kBadHandle, std::move(path));
    case EEXIST:
    case ENOTEMPTY:
      return Status(kExists, std::move(path));
    case ELOOP:
    case EISDIR:
    case ENXIO:
      return Status(kNotRegular, std::move(path));
    case EFBIG:
      return Status(kTooLarge, std::move(path));
    default:
      return Status(kIo, std::move(path));
  }
}

namespace {

// No open blocks (a FIFO planted where a file is expected fails at once) and none
// follows a link.
constexpr int kOpenRead = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
constexpr int kOpenWrite = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
// Answers in the spool: owner and group only.
constexpr mode_t kAnswerMode = 0640;

// Names the original file system cannot hold never reach Guichet.
bool AcceptableName(std::string_view name) {
  if (name.empty() || name[0] == '.') return false;
  for (unsigned char c : name)
    if (c < 32 || std::strchr("\\:*?\"<>|", c) != nullptr) return false;
  return true;
}

std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class PosixLock : public FileLock {
 public:
  explicit PosixLock(int fd, std::string path = "") : fd_(fd), path_(std::move(path)) {}
  ~PosixLock() override {
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(fd_, F_SETLK, &fl);
    close(fd_);
  }
  int64_t Size() override {
    struct stat st;
    return fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }
  Status Truncate(int64_t size) override {
    int r;
    while ((r = ftruncate(fd_, size)) != 0 && errno == EINTR) {
    }
    return r == 0 ? Status::Ok() : Status::FromErrno(errno, path_);
  }

 private:
  int fd_;
  std::string path_;
};

bool IsRegular(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Takes an exclusive fcntl lock on the whole of `fd`, trying again every few
// milliseconds for at most `wait_ms`. Returns 0 or the errno of the failure (EAGAIN
// when the lock stayed held).
int LockWithin(int fd, int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  for (;;) {
    if (fcntl(fd, F_SETLK, &fl) == 0) return 0;
    int e = errno;
    if (e == EINTR) continue;
    if (e != EAGAIN && e != EACCES) return e;
    if (std::chrono::steady_clock::now() >= deadline) return EAGAIN;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// Opens a file that others share for reading and writing, without following a link or
// blocking on a FIFO, and keeps it only when it is a regular file. -1 with errno set.
int OpenShared(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags, 0666);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EISDIR;  // reported as "not a regular file"
    return -1;
  }
  return fd;
}

Status WriteAll(int fd, std::string_view data, const std::string& path) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno, path);
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return Status::Ok();
}

// Flushes a file's data and size to the disk.
Status SyncFile(int fd, const std::string& path) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return Status::FromErrno(errno, path);
  }
  return Status::Ok();
}

// Flushes a folder's entries to the disk, so that a rename into it survives a power
// cut (the new name would otherwise be lost with the folder's cached blocks).
Status SyncFolder(const std::string& folder, const std::string& path) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(errno, path);
  Status s = SyncFile(fd, path);
  close(fd);
  return s;
}

class PosixEnv : public Env {
 public:
  PosixEnv() { reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC); }

  DateTime Now() override { return FromUnixLocal(time(nullptr)); }

  int64_t SteadyMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  std::string Resolve(const std::string& path) override {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) == 0) return path;
    // Walk the components; each one that is missing as written is looked up without
    // regard to case in its folder. From the first one that matches nothing, the rest
    // stays as written.
    const bool absolute = path[0] == '/';
    std::string built = absolute ? "" : ".";
    size_t pos = absolute ? 1 : 0;
    for (;;) {
      size_t slash = path.find('/', pos);
      std::string comp =
          path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
      std::string dir = built.empty() ? "/" : built;
      std::string candidate = built + "/" + comp;
      if (!comp.empty() && comp != "." && comp != ".." && lstat(candidate.c_str(), &st) != 0) {
        std::string found = FindNoCase(dir, comp);
        if (found.empty()) {
          built = candidate;
          if (slash != std::string::npos) built += path.substr(slash);
          break;
        }
        candidate = built + "/" + found;
      }
      built = candidate;
      if (slash == std::string::npos) break;
      pos = slash + 1;
    }
    // A relative path keeps its own form: drop the "./" we started from.
    return absolute ? built : built.substr(2);
  }

  // The spelling of `name` in `dir` without regard to case, "" when none. Each folder's
  // names are kept, folded, until the folder changes; Guichet's own creations and
  // removals update the kept names instead of forcing a new scan, so writing new files
  // into a large folder stays cheap.
  std::string FindNoCase(const std::string& dir, const std::string& name) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return "";
    FolderNames& cached = folders_[dir];
    if (!cached.valid || cached.mtime.tv_sec != st.st_mtim.tv_sec ||
        cached.mtime.tv_nsec != st.st_mtim.tv_nsec) {
      if (folders_.size() > 256) {
        folders_.clear();
        return FindNoCase(dir, name);
      }
      FolderNames& fresh = folders_[dir];
      fresh.names.clear();
      if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) fresh.names.emplace(ToUpper(e->d_name), e->d_name);
        closedir(d);
      }
      fresh.mtime = st.st_mtim;
      fresh.valid = true;
      auto it = fresh.names.find(ToUpper(name));
      return it == fresh.names.end() ? "" : it->second;
    }
    auto it = cached.names.find(ToUpper(name));
    return it == cached.names.end() ? "" : it->second;
  }

  // Records that Guichet created or removed `real`, for the kept names of its folder.
  void Touched(const std::string& real) {
    std::string dir = Parent(real);
    auto it = folders_.find(dir);
    if (it == folders_.end() || !it->second.valid) return;
    struct stat st;
    std::string name = BaseName(real);
    if (lstat(real.c_str(), &st) == 0) {
      it->second.names[ToUpper(name)] = name;
    } else {
      auto hit = it->second.names.find(ToUpper(name));
      if (hit != it->second.names.end() && hit->second == name) it->second.names.erase(hit);
    }
    if (stat(dir.c_str(), &st) == 0) it->second.mtime = st.st_mtim;
  }

  // lstat of the path as written, then, on a miss, of its spelling found without regard
  // to case. The hot path (the exact name exists) costs one call.
  int LstatAnyCase(const std::string& path, struct stat* st, std::string* real) {
    *real = path;
    if (lstat(path.c_str(), st) == 0) return 0;
    int err = errno;
    if (err != ENOENT && err != ENOTDIR) return err;
    std::string found = Resolve(path);
    if (found == path) return err;
    *real = found;
    return lstat(found.c_str(), st) == 0 ? 0 : errno;
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    std::string real;
    return LstatAnyCase(path, &st, &real) == 0 && S_ISREG(st.st_mode);
  }

  bool FolderExists(const std::string& path) override {
    struct stat st;
    return stat(Resolve(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    struct stat st;
    std::string real;
    if (int err = LstatAnyCase(path, &st, &real)) return Status::FromErrno(err, path);
    if (!S_ISREG(st.st_mode)) return Status(Status::kNotRegular, path);
    info->size = st.st_size;
    info->modified = FromUnixLocal(st.st_mtim.tv_sec);
    return Status::Ok();
  }

  Status ReadFile(const std::string& path, std::string* data, int64_t max_bytes) override {
    return ReadWith(path, data, max_bytes, kOpenRead);
  }

  Status ReadAdminFile(const std::string& path, std::string* data, int64_t max_bytes) override {
    return ReadWith(path, data, max_bytes, kOpenRead & ~O_NOFOLLOW);
  }

  Status GetAdminFileInfo(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (stat(Resolve(path).c_str(), &st) != 0) return Status::FromErrno(errno, path);
    if (!S_ISREG(st.st_mode)) return Status(Status::kNotRegular, path);
    info->size = st.st_size;
    info->modified = FromUnixLocal(st.st_mtim.tv_sec);
    return Status::Ok();
  }

  Status ReadWith(const std::string& path, std::string* data, int64_t max_bytes, int flags) {
    std::string real = Resolve(path);
    int fd = open(real.c_str(), flags);
    if (fd < 0) return Status::FromErrno(errno, path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
      int e = errno;
      close(fd);
      return Status::FromErrno(e, path);
    }
    if (!S_ISREG(st.st_mode)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    if (st.st_size > max_bytes) {
      close(fd);
      return Status(Status::kTooLarge, path);
    }
    data->clear();
    data->reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    for (;;) {
      ssize_t r = read(fd, buf, sizeof buf);
      if (r < 0) {
        if (errno == EINTR) continue;
        int e = errno;
        close(fd);
        return Status::FromErrno(e, path);
      }
      if (r == 0) break;
      if (static_cast<int64_t>(data->size()) + r > max_bytes) {
        close(fd);
        return Status(Status::kTooLarge, path);
      }
      data->append(buf, static_cast<size_t>(r));
    }
    close(fd);
    return Status::Ok();
  }

  Status WriteWithFlags(const std::string& path, std::string_view data, int flags,
                        mode_t mode = 0666) {
    return WriteExact(Resolve(path), path, data, flags, mode);
  }

  // Writes `real` as named; `path` is the name the failure reports.
  Status WriteExact(const std::string& real, const std::string& path, std::string_view data,
                    int flags, mode_t mode) {
    int fd = open(real.c_str(), kOpenWrite | flags, mode);
    if (fd < 0) return Status::FromErrno(errno, path);
    if (!IsRegular(fd)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    Status s = WriteAll(fd, data, path);
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    Touched(real);
    return s;
  }

  Status WriteFile(const std::string& path, std::string_view data) override {
    return WriteWithFlags(path, data, O_CREAT | O_TRUNC);
  }

  Status AppendFile(const std::string& path, std::string_view data) override {
    return WriteWithFlags(path, data, O_CREAT | O_APPEND);
  }

  // "~" + name + "." + process + "." + count. The process and the count keep it unique,
  // so the name is cut where the whole would pass the file system's name limit.
  std::string TempName(const std::string& real) {
    static std::atomic<uint64_t> counter{0};
    // A random part, so that nobody can plant something at the name beforehand; the
    // process and the count keep it unique, so the name is cut where the whole would
    // pass the file system's name limit.
    uint32_t salt = 0;
    if (getrandom(&salt, sizeof salt, GRND_NONBLOCK) != sizeof salt) salt = 0;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(salt));
    const std::string suffix =
        "." + std::to_string(getpid()) + "." + std::to_string(counter++) + hex;
    std::string name = BaseName(real);
    if (1 + name.size() + suffix.size() > NAME_MAX) name.resize(NAME_MAX - 1 - suffix.size());
    return Parent(real) + "/~" + name + suffix;
  }

  // The folder resolved without regard to case, the name kept exactly as given.
  std::string ExactName(const std::string& path) {
    return Resolve(Parent(path)) + "/" + BaseName(path);
  }

  Status WriteAnswer(const std::string& path, std::string_view data, bool append) override {
    std::string real = ExactName(path);
    Status s = WriteExact(real, path, data, O_CREAT | (append ? O_APPEND : O_TRUNC), kAnswerMode);
    Touched(real);
    return s;
  }

  // Answers are made again when lost, so they are replaced whole but not flushed.
  Status WriteAnswerAtomic(const std::string& path, std::string_view data) override {
    std::string real = ExactName(path);
    std::string tmp;
    int fd = CreateTemp(real, kAnswerMode, &tmp);
    if (fd < 0) return Status::FromErrno(errno, path);
    return Replace(fd, tmp, real, path, WriteAll(fd, data, path), false);
  }

  // Creates a new temporary file beside `real`, opened for writing. A name already taken
  // (by anything: a file, a link, a pipe) is never opened; another name is tried.
  int CreateTemp(const std::string& real, mode_t mode, std::string* tmp) {
    int fd = -1;
    for (int attempt = 0; attempt < 8; ++attempt) {
      *tmp = TempName(real);
      fd = open(tmp->c_str(), kOpenWrite | O_CREAT | O_EXCL, mode);
      if (fd >= 0 || errno != EEXIST) break;
    }
    return fd;
  }

  // Puts a complete temporary file in place of `real`: the file is flushed before the
  // rename and the folder after it, so after a power cut the target holds the old
  // content or the whole new one (LevelDB's SetCurrentFile). Closes `fd`; removes the
  // temporary file when anything fails.
  Status Replace(int fd, const std::string& tmp, const std::string& real, const std::string& path,
                 Status s, bool sync) {
    if (s.ok() && sync) s = SyncFile(fd, path);
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    if (s.ok() && rename(tmp.c_str(), real.c_str()) != 0) s = Status::FromErrno(errno, path);
    if (!s.ok()) unlink(tmp.c_str());
    Touched(tmp);
    Touched(real);
    if (s.ok() && sync) s = SyncFolder(Parent(real), path);
    return s;
  }

  Status WriteFileAtomic(const std::string& path, std::string_view data) override {
    return WriteAtomic(path, data, 0666, true);
  }

  Status WriteFileAtomicUnsynced(const std::string& path, std::string_view data) override {
    return WriteAtomic(path, data, 0666, false);
  }

  Status WriteSecretFileAtomic(const std::string& path, std::string_view data) override {
    return WriteAtomic(path, data, 0600, true);
  }

  Status WriteAtomic(const std::string& path, std::string_view data, mode_t mode, bool sync) {
    std::string real = Resolve(path);
    std::string tmp;
    int fd = CreateTemp(real, mode, &tmp);
    if (fd < 0) return Status::FromErrno(errno, path);
    return Replace(fd, tmp, real, path, WriteAll(fd, data, path), sync);
  }

  Status AppendFileLocked(const std::string& path, std::string_view data) override {
    std::string real = Resolve(path);
    int fd = open(real.c_str(), kOpenWrite | O_CREAT, 0666);
    if (fd < 0) return Status::FromErrno(errno, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = st.st_size + 1;
    int r;
    while ((r = fcntl(fd, F_SETLKW, &fl)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
      int e = errno;
      close(fd);
      return Status::FromErrno(e, path);
    }
    Status s =
        lseek(fd, 0, SEEK_END) < 0 ? Status::FromErrno(errno, path) : WriteAll(fd, data, path);
    fl.l_type = F_UNLCK;
    fcntl(fd, F_SETLK, &fl);
    close(fd);
    Touched(real);
    return s;
  }

  std::unique_ptr<FileLock> TryLockFile(const std::string& path, int wait_ms) override {
    int fd = OpenShared(Resolve(path), 0);
    if (fd < 0) return nullptr;
    if (LockWithin(fd, wait_ms) != 0) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<PosixLock>(fd, path);
  }

  Status AppendLineLocked(const std::string& path, std::string_view line, int wait_ms) override {
    std::string real = Resolve(path);
    int fd = OpenShared(real, O_CREAT);
    if (fd < 0) return Status::FromErrno(errno, path);
    Touched(real);
    PosixLock lock(fd, path);  // closes the descriptor in every case
    if (int e = LockWithin(fd, wait_ms)) return Status::FromErrno(e == EAGAIN ? EACCES : e, path);
    const int64_t size = lock.Size();
    if (size < 0) return Status::FromErrno(errno, path);
    std::string data;
    if (size > 0) {
      char last = 0;
      ssize_t r;
      while ((r = pread(fd, &last, 1, size - 1)) < 0 && errno == EINTR) {
      }
      if (r != 1) return Status::FromErrno(r < 0 ? errno : EIO, path);
      if (last != '\n' && last != '\r') data = kCrLf;
    }
    data.append(line);
    if (lseek(fd, 0, SEEK_END) < 0) return Status::FromErrno(errno, path);
    return WriteAll(fd, data, path);
  }

  Status WriteAt(const std::string& path, int64_t offset, std::string_view data) override {
    std::string real = Resolve(path);
    int fd = open(real.c_str(), kOpenWrite | O_CREAT, 0666);
    if (fd < 0) return Status::FromErrno(errno, path);
    if (!IsRegular(fd)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    Status s;
    const char* p = data.data();
    size_t left = data.size();
    off_t at = offset;
    while (left > 0) {
      ssize_t w = pwrite(fd, p, left, at);
      if (w < 0) {
        if (errno == EINTR) continue;
        s = Status::FromErrno(errno, path);
        break;
      }
      p += w, at += w, left -= static_cast<size_t>(w);
    }
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    Touched(real);
    return s;
  }

  // Like every write, never through a link and never into a pipe or a device.
  Status Truncate(const std::string& path, int64_t size) override {
    int fd = open(Resolve(path).c_str(), kOpenWrite | O_NONBLOCK);
    if (fd < 0) return Status::FromErrno(errno, path);
    struct stat st;
    Status s;
    if (fstat(fd, &st) != 0)
      s = Status::FromErrno(errno, path);
    else if (!S_ISREG(st.st_mode))
      s = Status(Status::kNotRegular, path);
    else if (ftruncate(fd, size) != 0)
      s = Status::FromErrno(errno, path);
    close(fd);
    return s;
  }

  Status CopyFile(const std::string& from, const std::string& to) override {
    return CopyWith(from, to, kOpenRead, true);
  }

  Status CopyFileUnsynced(const std::string& from, const std::string& to) override {
    return CopyWith(from, to, kOpenRead, false);
  }

  Status CopyAdminFile(const std::string& from, const std::string& to) override {
    return CopyWith(from, to, kOpenRead & ~O_NOFOLLOW, true);
  }

  Status CopyWith(const std::string& from, const std::string& to, int source_flags, bool sync) {
    std::string src = Resolve(from);
    int in = open(src.c_str(), source_flags);
    if (in < 0) return Status::FromErrno(errno, from);
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(in);
      return Status(Status::kNotRegular, from);
    }
    std::string dst = Resolve(to);
    std::string tmp;
    int out = CreateTemp(dst, 0666, &tmp);
    if (out < 0) {
      int e = errno;
      close(in);
      return Status::FromErrno(e, to);
    }
    Status s;
    std::string buf(1 << 20, '\0');
    for (;;) {
      ssize_t r = read(in, buf.data(), buf.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        s = Status::FromErrno(errno, from);
        break;
      }
      if (r == 0) break;
      s = WriteAll(out, std::string_view(buf.data(), static_cast<size_t>(r)), to);
      if (!s.ok()) break;
    }
    close(in);
    if (s.ok()) {
      struct timespec times[2] = {st.st_atim, st.st_mtim};
      futimens(out, times);
    }
    return Replace(out, tmp, dst, to, s, sync);
  }

  Status DeleteFile(const std::string& path) override {
    // unlink refuses folders (EISDIR), so no look beforehand.
    std::string real = path;
    if (unlink(real.c_str()) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return Status::FromErrno(errno, path);
      real = Resolve(path);
      if (real == path || unlink(real.c_str()) != 0)
        return Status::FromErrno(real == path ? ENOENT : errno, path);
    }
    Touched(real);
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    std::string src = Resolve(from), dst = Resolve(to);
    if (rename(src.c_str(), dst.c_str()) != 0) return Status::FromErrno(errno, from);
    Touched(src);
    Touched(dst);
    return Status::Ok();
  }

  Status CreateFolder(const std::string& path) override {
    std::string real = Resolve(path);
    if (mkdir(real.c_str(), 0777) != 0) return Status::FromErrno(errno, path);
    Touched(real);
    return Status::Ok();
  }

  Status SetModified(const std::string& path, const DateTime& t) override {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ToUnixLocal(t));
    times[0].tv_nsec = times[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, Resolve(path).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
      return Status::FromErrno(errno, path);
    return Status::Ok();
  }

  // `follow`: a link to a regular file counts as one (the administrator's folders).
  Status List(const std::string& folder, std::string_view pattern, bool folders,
              std::vector<std::string>* names, bool follow = false) {
    std::string real = Resolve(folder);
    DIR* d = opendir(real.c_str());
    if (d == nullptr) return Status::FromErrno(errno == ENOENT ? ENOTDIR : errno, folder);
    std::vector<std::string> found;
    while (struct dirent* e = readdir(d)) {
      std::string_view name = e->d_name;
      if (!AcceptableName(name)) continue;
      if (!folders && !MatchesListPattern(name, pattern)) continue;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        std::string full = real + "/" + std::string(name);
        if (lstat(full.c_str(), &st) != 0) continue;
        type = S_ISREG(st.st_mode)   ? DT_REG
               : S_ISDIR(st.st_mode) ? DT_DIR
               : S_ISLNK(st.st_mode) ? DT_LNK
                                     : DT_UNKNOWN;
      }
      if (type == DT_LNK && follow && !folders) {
        struct stat st;
        std::string full = real + "/" + std::string(name);
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) type = DT_REG;
      }
      if (folders ? type == DT_DIR : type == DT_REG) found.emplace_back(name);
    }
    closedir(d);
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(found.size());
    for (auto& n : found) keyed.emplace_back(ToUpper(n), std::move(n));
    std::sort(keyed.begin(), keyed.end());
    for (auto& k : keyed) names->push_back(std::move(k.second));
    return Status::Ok();
  }

  Status ListFiles(const std::string& folder, std::string_view pattern,
                   std::vector<std::string>* names) override {
    return List(folder, pattern, false, names);
  }

  Status ListFolders(const std::string& folder, std::vector<std::string>* names) override {
    return List(folder, "*", true, names);
  }

  Status ListAdminFiles(const std::string& folder, std::string_view pattern,
                        std::vector<std::string>* names) override {
    return List(folder, pattern, false, names, true);
  }

  Status ListAllFiles(const std::string& folder, std::vector<std::string>* names) override {
    std::string real = Resolve(folder);
    DIR* d = opendir(real.c_str());
    if (d == nullptr) return Status::FromErrno(errno == ENOENT ? ENOTDIR : errno, folder);
    while (struct dirent* e = readdir(d)) {
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      bool regular = e->d_type == DT_REG;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        std::string full = real + "/" + std::string(name);
        regular = lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      }
      if (regular) names->emplace_back(name);
    }
    closedir(d);
    return Status::Ok();
  }

  std::unique_ptr<FileLock> LockFile(const std::string& path) override {
    int fd = open(Resolve(path).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int r;
    while ((r = fcntl(fd, F_SETLKW, &fl)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<PosixLock>(fd);
  }

  Status ChangeDir(const std::string& path) override {
    if (chdir(Resolve(path).c_str()) != 0) return Status::FromErrno(errno, path);
    return Status::Ok();
  }

  Status StartDetached(const std::string& path) override {
    std::string real = Resolve(path);
    pid_t child = fork();
    if (child < 0) return Status::FromErrno(errno, path);
    if (child == 0) {
      // Detach twice so the program is nobody's zombie and has no terminal.
      if (fork() != 0) _exit(0);
      setsid();
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0), dup2(null, 1), dup2(null, 2);
        if (null > 2) close(null);
      }
      signal(SIGPIPE, SIG_DFL);
      execl(real.c_str(), real.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return Status::Ok();
  }

  void ReleaseReserve() override {
    if (reserve_fd_ >= 0) close(reserve_fd_);
    reserve_fd_ = -1;
  }

  std::string HostName() override {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
  }

  std::string ExecutablePath() override {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
  }

 private:
  struct FolderNames {
    bool valid = false;
    struct timespec mtime {};
    std::unordered_map<std::string, std::string> names;  // folded -> real
  };
  std::unordered_map<std::string, FolderNames> folders_;
  int reserve_fd_ = -1;
};

}  // namespace

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv();
  return env;
}

}  // namespace guichet
