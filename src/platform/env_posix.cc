// The real Env on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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
#include <functional>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "platform/env.h"
#include "support/text.h"

namespace guichet {

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

Status WriteAllAt(int fd, int64_t offset, std::string_view data, const std::string& path) {
  const char* p = data.data();
  size_t left = data.size();
  off_t at = offset;
  while (left > 0) {
    ssize_t w = pwrite(fd, p, left, at);
    if (w < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno, path);
    }
    p += w, at += w, left -= static_cast<size_t>(w);
  }
  return Status::Ok();
}

// Flushes a file's data and size to the disk.
Status FlushFd(int fd, const std::string& path) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return Status::FromErrno(errno, path);
  }
  return Status::Ok();
}

// Flushes a folder's entries to the disk, so that a rename into it survives a power
// cut (the new name would otherwise be lost with the folder's cached blocks).
Status FlushFolder(const std::string& folder, const std::string& path) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(errno, path);
  Status s = FlushFd(fd, path);
  close(fd);
  return s;
}

// Notices from inotify: one descriptor for every folder watched, read without blocking.
class InotifyWatch : public FolderWatch {
 public:
  explicit InotifyWatch(int fd) : fd_(fd) {}
  ~InotifyWatch() override { close(fd_); }
  void Add(int wd, std::string pattern) { patterns_[wd] = std::move(pattern); }

  intptr_t WaitHandle() const override { return fd_; }

  Notices Take() override {
    Notices found = broken_ ? kBroken : kNone;
    alignas(inotify_event) char buf[16384];
    for (;;) {
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n <= 0) {
        broken_ = true;
        return kBroken;
      }
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + e->len;
        if (e->mask & IN_Q_OVERFLOW) {
          found = std::max(found, kLost);
        } else if (e->mask & (IN_IGNORED | IN_UNMOUNT | IN_DELETE_SELF | IN_MOVE_SELF)) {
          broken_ = true;  // the folder went away or was replaced: its notices end
          found = kBroken;
        } else if (e->len > 0) {
          auto it = patterns_.find(e->wd);
          if (it != patterns_.end() && MatchesListPattern(e->name, it->second))
            found = std::max(found, kArrivals);
        }
      }
    }
    return found;
  }

 private:
  int fd_;
  bool broken_ = false;
  std::unordered_map<int, std::string> patterns_;
};

// Whether a folder lies on a file system whose changes made by other machines inotify
// never reports: network and user-space file systems.
bool OnNetworkFileSystem(const std::string& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<uint64_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
    case 0x73757245:  // Coda
      return true;
    default:
      return false;
  }
}

class PosixEnv : public Env {
 public:
  PosixEnv() : pid_(getpid()) { reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC); }

  DateTime Now() override { return FromUnixLocal(time(nullptr)); }

  int64_t SteadyMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  std::string Resolve(const std::string& path) override {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) == 0) return path;
    return ResolveMissing(path);
  }

  // Resolve for a path that lstat has just missed as written. The common miss (the
  // folder exists as written, the name does not) costs one stat of the folder: its kept
  // names answer the rest.
  std::string ResolveMissing(const std::string& path) {
    const std::string base = BaseName(path);
    if (!base.empty() && base != "." && base != "..") {
      const std::string dir = Parent(path);
      if (FolderCache* c = Fresh(dir)) {
        c->lookups = true;
        auto it = c->folded.find(ToUpper(base));
        if (it == c->folded.end()) return path;
        return Join(dir, path, it->second);
      }
    }
    return WalkComponents(path);
  }

  // `dir` + "/" + `name`, in the form `path` had ("x" stays relative, "/x" absolute).
  static std::string Join(const std::string& dir, const std::string& path,
                          const std::string& name) {
    if (path.find('/') == std::string::npos) return name;
    if (dir == "/") return "/" + name;
    return dir + "/" + name;
  }

  std::string WalkComponents(const std::string& path) {
    struct stat st;
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

  // The spelling of `name` in `dir` without regard to case, "" when none.
  std::string FindNoCase(const std::string& dir, const std::string& name) {
    FolderCache* c = Fresh(dir);
    if (c == nullptr) return "";
    c->lookups = true;
    auto it = c->folded.find(ToUpper(name));
    return it == c->folded.end() ? "" : it->second;
  }

  // What is kept of a folder between calls: its entries as the last scan found them,
  // the folder's modification time then, and what was derived from them (the names
  // folded to upper case, the listings asked for, the files in the order of their
  // times). A scan is trusted while the folder's time stays the same, unless the folder
  // changed too close to the scan for the time to tell (file systems stamp with a coarse
  // clock), or Guichet itself changed the folder without checking it first.
  struct CachedEntry {
    unsigned char type = DT_UNKNOWN;  // DT_REG, DT_DIR, DT_LNK or other
    ino_t ino = 0;
    int64_t mtime = kUnknownTime;  // regular files: seconds, as last seen
  };
  static constexpr int64_t kUnknownTime = INT64_MIN;
  struct FolderCache {
    bool valid = false;
    bool racy = false;
    bool stale = false;
    bool lookups = false;  // used for a look-up without regard to case since the scan
    struct timespec mtime {};
    // The folder's change time too: a program can set the modification time back (a
    // copy that keeps times, touch), never the change time.
    struct timespec ctime {};
    int64_t scanned_at = 0;  // seconds
    std::unordered_map<std::string, CachedEntry> entries;
    std::unordered_map<std::string, std::string> folded;  // folded -> real
    std::unordered_map<std::string, std::vector<std::string>> listings;
    std::vector<std::pair<int64_t, std::string>> by_time;  // regular files, oldest first
    bool by_time_ready = false;
    // Changes with every scan and every change of Guichet's own (FolderGeneration).
    uint64_t generation = 0;
    // Files Guichet wrote since the scan, with a time their own cannot be older than.
    // Noted in the order of the writes (a later note of a name wins), looked up once at
    // the next scan: a drain writes thousands of files between two scans.
    std::vector<std::pair<std::string, int64_t>> written;
    size_t written_limit = 4096;
  };

  static bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }

  static struct timespec WallClock() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
  }

  // Whether a folder stamped `mtime` may still change without its time changing, seen at
  // `now`: file systems stamp with the kernel's coarse clock, so a later change within the
  // same tick of that clock keeps the time. A margin far above that tick (whole seconds
  // for a file system whose times have none).
  static bool Racy(const struct timespec& mtime, const struct timespec& now) {
    const int64_t margin = mtime.tv_nsec != 0 ? 50'000'000 : 2'000'000'000;
    const int64_t age = (static_cast<int64_t>(now.tv_sec) - mtime.tv_sec) * 1'000'000'000 +
                        (now.tv_nsec - mtime.tv_nsec);
    return age < margin;
  }

  // The kept entries of `dir`, checked against the folder's time (one stat) and scanned
  // again when it changed. Null when the folder cannot be read (errno is set).
  FolderCache* Fresh(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
      int e = errno;
      folders_.erase(dir);
      errno = e;
      return nullptr;
    }
    if (!S_ISDIR(st.st_mode)) {
      folders_.erase(dir);
      errno = ENOTDIR;
      return nullptr;
    }
    auto it = folders_.find(dir);
    if (it != folders_.end() && it->second.valid && !it->second.stale && !it->second.racy &&
        SameTime(it->second.mtime, st.st_mtim) && SameTime(it->second.ctime, st.st_ctim))
      return &it->second;
    if (it == folders_.end()) {
      if (folders_.size() >= 256) folders_.clear();
      it = folders_.emplace(dir, FolderCache()).first;
    }
    if (!Scan(dir, st, &it->second)) {
      int e = errno;
      folders_.erase(it);
      errno = e;
      return nullptr;
    }
    return &it->second;
  }

  // Reads the folder's entries. Files already known under the same name and inode keep
  // their times, when those were seen long enough after they were stamped to be settled;
  // files Guichet wrote itself take the time noted then; the others are asked when a
  // time is needed.
  bool Scan(const std::string& dir, const struct stat& st, FolderCache* c) {
    const struct timespec now = WallClock();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return false;
    std::unordered_map<std::string, CachedEntry> fresh;
    fresh.reserve(c->entries.size() + 16);
    std::unordered_map<std::string_view, int64_t> written;
    written.reserve(c->written.size());
    for (const auto& [name, at] : c->written) written[name] = at;
    while (struct dirent* e = readdir(d)) {
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      CachedEntry entry;
      entry.type = e->d_type;
      entry.ino = e->d_ino;
      if (entry.type == DT_UNKNOWN) {
        struct stat est;
        std::string full = dir + "/" + std::string(name);
        if (lstat(full.c_str(), &est) != 0) continue;
        entry.type = S_ISREG(est.st_mode)   ? DT_REG
                     : S_ISDIR(est.st_mode) ? DT_DIR
                     : S_ISLNK(est.st_mode) ? DT_LNK
                                            : DT_FIFO;
        if (entry.type == DT_REG) entry.mtime = est.st_mtim.tv_sec;
      }
      if (entry.type == DT_REG && entry.mtime == kUnknownTime) {
        std::string key(name);
        auto old = c->entries.find(key);
        auto own = written.find(key);
        if (own != written.end()) {
          entry.mtime = own->second;
        } else if (old != c->entries.end() && old->second.ino == entry.ino) {
          entry.mtime = old->second.mtime;
        }
        // A time still recent now is asked again: the file may have been stamped since
        // (its time set right after it was written).
        if (entry.mtime != kUnknownTime && entry.mtime >= now.tv_sec - 2) {
          entry.mtime = kUnknownTime;
        }
      }
      fresh.emplace(std::string(name), entry);
    }
    closedir(d);
    c->entries = std::move(fresh);
    c->folded.clear();
    for (const auto& [name, entry] : c->entries) c->folded.emplace(ToUpper(name), name);
    c->listings.clear();
    c->by_time.clear();
    c->by_time_ready = false;
    c->written.clear();
    c->written_limit = 4096;
    c->mtime = st.st_mtim;
    c->ctime = st.st_ctim;
    c->scanned_at = now.tv_sec;
    c->racy = Racy(st.st_mtim, now);
    c->stale = false;
    c->lookups = false;
    c->valid = true;
    c->generation = ++generations_;
    return true;
  }

  // Guichet created, replaced or removed `real`. The kept entries of its folder are
  // scanned again before their next use; `written_at` (seconds, or kUnknownTime) is a
  // time the file's own cannot be older than, when Guichet wrote its content.
  void Touched(const std::string& real, int64_t written_at = kUnknownTime) {
    auto it = folders_.find(Parent(real));
    if (it == folders_.end()) return;
    FolderCache& c = it->second;
    c.stale = true;
    c.written.emplace_back(BaseName(real), written_at);
    // A folder written to again and again but never looked at again (the day log's)
    // keeps one note a name.
    if (c.written.size() >= c.written_limit) {
      std::unordered_set<std::string_view> seen;
      std::vector<bool> keep(c.written.size());
      for (size_t i = c.written.size(); i-- > 0;) keep[i] = seen.insert(c.written[i].first).second;
      std::vector<std::pair<std::string, int64_t>> last;
      for (size_t i = 0; i < c.written.size(); ++i)
        if (keep[i]) last.push_back(std::move(c.written[i]));
      c.written = std::move(last);
      c.written_limit = std::max<size_t>(4096, 2 * c.written.size());
    }
  }

  // A change of Guichet's own in a folder whose kept names serve look-ups: the names are
  // updated instead of scanned again, but only when the folder's time before the change
  // is the kept one (no other program changed it since the scan); otherwise, or for a
  // folder that serves only listings, the folder is scanned again at its next use.
  struct Change {
    std::string dir;
    bool checked = false;
  };
  Change BeginChange(const std::string& real) {
    Change ch{Parent(real)};
    auto it = folders_.find(ch.dir);
    if (it == folders_.end() || !it->second.valid || it->second.stale || it->second.racy ||
        !it->second.lookups)
      return ch;
    struct stat st;
    ch.checked = stat(ch.dir.c_str(), &st) == 0 && SameTime(st.st_mtim, it->second.mtime) &&
                 SameTime(st.st_ctim, it->second.ctime);
    return ch;
  }
  void EndChange(const Change& ch, const std::string& real, int64_t written_at) {
    auto it = folders_.find(ch.dir);
    if (it == folders_.end()) return;
    FolderCache& c = it->second;
    struct stat st, dst;
    const std::string name = BaseName(real);
    if (!ch.checked || stat(ch.dir.c_str(), &dst) != 0) {
      Touched(real, written_at);
      return;
    }
    if (lstat(real.c_str(), &st) == 0) {
      CachedEntry entry;
      entry.type = S_ISREG(st.st_mode)   ? DT_REG
                   : S_ISDIR(st.st_mode) ? DT_DIR
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_FIFO;
      entry.ino = st.st_ino;
      if (entry.type == DT_REG) entry.mtime = st.st_mtim.tv_sec;
      c.entries[name] = entry;
      c.folded[ToUpper(name)] = name;
    } else {
      c.entries.erase(name);
      auto hit = c.folded.find(ToUpper(name));
      if (hit != c.folded.end() && hit->second == name) c.folded.erase(hit);
    }
    std::erase_if(c.written, [&](const auto& w) { return w.first == name; });
    c.generation = ++generations_;
    c.listings.clear();
    c.by_time.clear();
    c.by_time_ready = false;
    c.mtime = dst.st_mtim;
    c.ctime = dst.st_ctim;
    c.racy = c.racy || Racy(dst.st_mtim, WallClock());
    // A time noted now is recent for the next scan: it will be asked again.
    c.scanned_at = std::max<int64_t>(c.scanned_at, WallClock().tv_sec);
  }

  // A lower bound of the time the file system stamps on a file written from now on.
  static int64_t WriteStartTime() { return WallClock().tv_sec - 1; }

  // lstat of the path as written, then, on a miss, of its spelling found without regard
  // to case. The hot path (the exact name exists) costs one call.
  int LstatAnyCase(const std::string& path, struct stat* st, std::string* real) {
    *real = path;
    if (lstat(path.c_str(), st) == 0) return 0;
    int err = errno;
    if (err != ENOENT && err != ENOTDIR) return err;
    std::string found = ResolveMissing(path);
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

  Status ReadAt(const std::string& path, int64_t offset, size_t count, std::string* data) override {
    int fd = open(Resolve(path).c_str(), kOpenRead);
    if (fd < 0) return Status::FromErrno(errno, path);
    if (!IsRegular(fd)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    data->resize(count);
    size_t got = 0;
    while (got < count) {
      ssize_t r = pread(fd, data->data() + got, count - got, offset + static_cast<off_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        int e = errno;
        close(fd);
        return Status::FromErrno(e, path);
      }
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    data->resize(got);
    close(fd);
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

  // Opens the path as written, then, when it is missing, its spelling found without
  // regard to case.
  int OpenAnyCase(const std::string& path, int flags, mode_t mode = 0) {
    int fd = open(path.c_str(), flags, mode);
    if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) return fd;
    const int err = errno;
    std::string real = ResolveMissing(path);
    if (real == path) {
      errno = err;
      return -1;
    }
    return open(real.c_str(), flags, mode);
  }

  Status ReadWith(const std::string& path, std::string* data, int64_t max_bytes, int flags) {
    int fd = OpenAnyCase(path, flags);
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
    // Room for one byte more than the file holds: a read that does not fill it has
    // reached the end, with no read of nothing to learn it.
    const size_t expected = static_cast<size_t>(st.st_size);
    data->resize(std::max<size_t>(expected + 1, 4096));
    size_t have = 0;
    for (;;) {
      ssize_t r = read(fd, data->data() + have, data->size() - have);
      if (r < 0) {
        if (errno == EINTR) continue;
        int e = errno;
        close(fd);
        data->clear();
        return Status::FromErrno(e, path);
      }
      have += static_cast<size_t>(r);
      if (static_cast<int64_t>(have) > max_bytes) {
        close(fd);
        data->clear();
        return Status(Status::kTooLarge, path);
      }
      if (r == 0 || (have >= expected && have < data->size())) break;
      if (have == data->size()) data->resize(data->size() * 2);
    }
    data->resize(have);
    close(fd);
    return Status::Ok();
  }

  Status WriteWithFlags(const std::string& path, std::string_view data, int flags,
                        mode_t mode = 0666) {
    // A new name of our own (a temporary file) is created as written.
    if (flags & O_EXCL) return WriteExact(path, path, data, flags, mode);
    return WriteExact(Resolve(path), path, data, flags, mode);
  }

  // Writes `real` as named; `path` is the name the failure reports. A file created here
  // (O_EXCL) is a new regular file: no check of what was opened.
  Status WriteExact(const std::string& real, const std::string& path, std::string_view data,
                    int flags, mode_t mode) {
    const int64_t start = WriteStartTime();
    int fd = open(real.c_str(), kOpenWrite | flags, mode);
    if (fd < 0) return Status::FromErrno(errno, path);
    if (!(flags & O_EXCL) && !IsRegular(fd)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    Status s = WriteAll(fd, data, path);
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    Touched(real, start);
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
    // A random part, so that nobody can plant something at the name beforehand (drawn
    // from a generator seeded once, so a name costs no system call); the process and the
    // count keep it unique.
    static uint64_t state = [] {
      uint64_t seed = 0;
      if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) seed = time(nullptr);
      return seed | 1;
    }();
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(state >> 32));
    const std::string suffix = "." + std::to_string(pid_) + "." + std::to_string(counter++) + hex;
    std::string name = BaseName(real);
    if (1 + name.size() + suffix.size() > NAME_MAX) name.resize(NAME_MAX - 1 - suffix.size());
    return Parent(real) + "/~" + name + suffix;
  }

  // The folder resolved without regard to case, the name kept exactly as given.
  std::string ExactName(const std::string& path) {
    return Resolve(Parent(path)) + "/" + BaseName(path);
  }

  // Runs `write` on the path as given; when its folder is missing as written, on the
  // folder's spelling found without regard to case, the name kept exactly.
  template <typename F>
  Status InExactName(const std::string& path, F write) {
    Status s = write(path);
    if (s.kind() != Status::kNotFound && s.kind() != Status::kPathNotFound) return s;
    std::string real = ExactName(path);
    return real == path ? s : write(real);
  }

  Status WriteAnswer(const std::string& path, std::string_view data, bool append) override {
    return InExactName(path, [&](const std::string& real) {
      if (append) return WriteExact(real, path, data, O_CREAT | O_APPEND, kAnswerMode);
      // Most answers are new files: created without a look at what was opened.
      Status s = WriteExact(real, path, data, O_CREAT | O_EXCL, kAnswerMode);
      if (s.kind() != Status::kExists) return s;
      return WriteExact(real, path, data, O_CREAT | O_TRUNC, kAnswerMode);
    });
  }

  // Answers are made again when lost, so they are replaced whole but not flushed.
  Status WriteAnswerAtomic(const std::string& path, std::string_view data) override {
    return InExactName(path, [&](const std::string& real) {
      const int64_t start = WriteStartTime();
      std::string tmp;
      int fd = CreateTemp(real, kAnswerMode, &tmp);
      if (fd < 0) return Status::FromErrno(errno, path);
      return Replace(fd, tmp, real, path, WriteAll(fd, data, path), false, start);
    });
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
  // temporary file when anything fails. `written_at`: as for Touched.
  Status Replace(int fd, const std::string& tmp, const std::string& real, const std::string& path,
                 Status s, bool sync, int64_t written_at = kUnknownTime) {
    if (s.ok() && sync) s = FlushFd(fd, path);
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    if (s.ok() && rename(tmp.c_str(), real.c_str()) != 0) s = Status::FromErrno(errno, path);
    if (!s.ok()) unlink(tmp.c_str());
    // The temporary name is gone either way; the folder is the same.
    Touched(real, written_at);
    if (s.ok() && sync) s = FlushFolder(Parent(real), path);
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

  Status AppendSecretLineSynced(const std::string& path, std::string_view line) override {
    std::string real = Resolve(path);
    bool created = false;
    int fd = open(real.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
      fd = open(real.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      created = fd >= 0;
    }
    if (fd < 0) return Status::FromErrno(errno, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    std::string data;
    if (st.st_size > 0) {
      char last = 0;
      ssize_t r;
      while ((r = pread(fd, &last, 1, st.st_size - 1)) < 0 && errno == EINTR) {
      }
      if (r == 1 && last != '\n' && last != '\r') data = kCrLf;
    }
    data.append(line);
    Status s = WriteAll(fd, data, path);
    if (s.ok()) {
      int r;
      while ((r = fdatasync(fd)) != 0 && errno == EINTR) {
      }
      if (r != 0) s = Status::FromErrno(errno, path);
    }
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    Touched(real);
    // A new file's name must survive a power cut too.
    if (s.ok() && created) s = FlushFolder(Parent(real), path);
    return s;
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

  // Opens a document for writes at an offset under the exact name at once, and looks for
  // it in another case only when missing.
  int OpenForOffsets(const std::string& path, bool create, std::string* real) {
    *real = path;
    int fd = open(real->c_str(), kOpenWrite);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
      *real = Resolve(path);
      fd = create ? open(real->c_str(), kOpenWrite | O_CREAT, 0666)
                  : open(real->c_str(), kOpenWrite);
    }
    return fd;
  }

  Status WriteAt(const std::string& path, int64_t offset, std::string_view data) override {
    std::string real;
    int fd = OpenForOffsets(path, true, &real);
    if (fd < 0) return Status::FromErrno(errno, path);
    if (!IsRegular(fd)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    Status s = WriteAllAt(fd, offset, data, path);
    if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, path);
    Touched(real);
    return s;
  }

  // A document held open by its descriptor; each write notes the change of the file, as
  // a write by path does.
  class HeldFile : public OpenFile {
   public:
    HeldFile(PosixEnv* env, int fd, const struct stat& st, std::string real, std::string path)
        : env_(env),
          fd_(fd),
          dev_(st.st_dev),
          ino_(st.st_ino),
          real_(std::move(real)),
          path_(std::move(path)) {}
    ~HeldFile() override { IgnoreFailure(Close()); }
    Status Size(int64_t* size) override {
      struct stat st;
      if (fstat(fd_, &st) != 0) return Status::FromErrno(errno, path_);
      *size = st.st_size;
      return Status::Ok();
    }
    Status SizeAtPath(int64_t* size) override {
      struct stat st;
      if (lstat(real_.c_str(), &st) != 0) return Status::FromErrno(errno, path_);
      if (st.st_dev != dev_ || st.st_ino != ino_) return Status(Status::kNotFound, path_);
      *size = st.st_size;
      return Status::Ok();
    }
    Status WriteAt(int64_t offset, std::string_view data) override {
      Status s = WriteAllAt(fd_, offset, data, path_);
      env_->Touched(real_);
      return s;
    }
    Status Sync() override { return FlushFd(fd_, path_); }
    Status Close() override {
      if (fd_ < 0) return Status::Ok();
      const int r = close(fd_);
      fd_ = -1;
      return r == 0 ? Status::Ok() : Status::FromErrno(errno, path_);
    }

   private:
    PosixEnv* env_;
    int fd_;
    dev_t dev_;
    ino_t ino_;
    std::string real_, path_;
  };

  Status OpenForWriteAt(const std::string& path, std::unique_ptr<OpenFile>* file) override {
    std::string real;
    int fd = OpenForOffsets(path, false, &real);
    if (fd < 0) return Status::FromErrno(errno, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return Status(Status::kNotRegular, path);
    }
    *file = std::make_unique<HeldFile>(this, fd, st, std::move(real), path);
    return Status::Ok();
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
    // A buffer the size of the file, up to 1 MiB, left uninitialised: most copies are of
    // small files, and zeroing a whole mebibyte for each one cost more than the copy.
    const size_t buf_size =
        static_cast<size_t>(std::clamp<off_t>(st.st_size, off_t{4096}, off_t{1} << 20));
    std::unique_ptr<char[]> buf(new char[buf_size]);
    for (;;) {
      ssize_t r = read(in, buf.get(), buf_size);
      if (r < 0) {
        if (errno == EINTR) continue;
        s = Status::FromErrno(errno, from);
        break;
      }
      if (r == 0) break;
      s = WriteAll(out, std::string_view(buf.get(), static_cast<size_t>(r)), to);
      if (!s.ok()) break;
    }
    close(in);
    if (s.ok()) {
      struct timespec times[2] = {st.st_atim, st.st_mtim};
      futimens(out, times);
    }
    return Replace(out, tmp, dst, to, s, sync);
  }

  Status SyncFile(const std::string& path) override {
    int fd = open(Resolve(path).c_str(), kOpenRead);
    if (fd < 0) return Status::FromErrno(errno, path);
    Status s = IsRegular(fd) ? FlushFd(fd, path) : Status(Status::kNotRegular, path);
    close(fd);
    return s;
  }

  Status SyncFolder(const std::string& path) override { return FlushFolder(Resolve(path), path); }

  Status DeleteFile(const std::string& path) override {
    // unlink refuses folders (EISDIR), so no look beforehand.
    std::string real = path;
    Change ch = BeginChange(real);
    if (unlink(real.c_str()) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return Status::FromErrno(errno, path);
      real = ResolveMissing(path);
      if (real == path) return Status::FromErrno(ENOENT, path);
      ch = BeginChange(real);
      if (unlink(real.c_str()) != 0) return Status::FromErrno(errno, path);
    }
    EndChange(ch, real, kUnknownTime);
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    std::string src = Resolve(from), dst = Resolve(to);
    if (Parent(src) == Parent(dst)) {
      // Within one folder: scanned again at its next use.
      if (rename(src.c_str(), dst.c_str()) != 0) return Status::FromErrno(errno, from);
      Touched(src);
      Touched(dst);
      return Status::Ok();
    }
    Change from_change = BeginChange(src);
    Change to_change = BeginChange(dst);
    if (rename(src.c_str(), dst.c_str()) != 0) return Status::FromErrno(errno, from);
    EndChange(from_change, src, kUnknownTime);
    EndChange(to_change, dst, kUnknownTime);
    return Status::Ok();
  }

  Status CreateFolder(const std::string& path) override {
    std::string real = Resolve(path);
    Change ch = BeginChange(real);
    if (mkdir(real.c_str(), 0777) != 0) return Status::FromErrno(errno, path);
    EndChange(ch, real, kUnknownTime);
    return Status::Ok();
  }

  Status SetModified(const std::string& path, const DateTime& t) override {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ToUnixLocal(t));
    times[0].tv_nsec = times[1].tv_nsec = 0;
    std::string real = Resolve(path);
    if (utimensat(AT_FDCWD, real.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
      return Status::FromErrno(errno, path);
    Touched(real);  // its time, as kept, is no longer its own
    return Status::Ok();
  }

  // The kept entries of a folder named by a caller: as written, or, when missing so, its
  // spelling found without regard to case. Null with errno set when it cannot be read.
  FolderCache* FolderOf(const std::string& folder) {
    if (FolderCache* c = Fresh(folder)) return c;
    if (errno != ENOENT && errno != ENOTDIR) return nullptr;
    const int err = errno;
    std::string real = ResolveMissing(folder);
    if (real == folder) {
      errno = err;
      return nullptr;
    }
    return Fresh(real);
  }

  static Status FolderFailure(const std::string& folder) {
    return Status::FromErrno(errno == ENOENT ? ENOTDIR : errno, folder);
  }

  // `follow`: a link to a regular file counts as one (the administrator's folders).
  Status List(const std::string& folder, std::string_view pattern, bool folders,
              std::vector<std::string>* names, bool follow = false) {
    if (!follow) {
      // From the kept entries; each listing asked for is kept with them.
      FolderCache* c = FolderOf(folder);
      if (c == nullptr) return FolderFailure(folder);
      std::string key = (folders ? "D" : "F") + std::string(pattern);
      auto hit = c->listings.find(key);
      if (hit == c->listings.end()) {
        if (c->listings.size() >= 32) c->listings.clear();
        std::vector<std::string> sorted;
        for (const auto& [name, entry] : c->entries) {
          if (!AcceptableName(name)) continue;
          if (!folders && !MatchesListPattern(name, pattern)) continue;
          if (entry.type != (folders ? DT_DIR : DT_REG)) continue;
          sorted.push_back(name);
        }
        SortListing(&sorted);
        hit = c->listings.emplace(std::move(key), std::move(sorted)).first;
      }
      names->insert(names->end(), hit->second.begin(), hit->second.end());
      return Status::Ok();
    }
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
    SortListing(&found);
    names->insert(names->end(), std::make_move_iterator(found.begin()),
                  std::make_move_iterator(found.end()));
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
    FolderCache* c = FolderOf(folder);
    if (c == nullptr) return FolderFailure(folder);
    for (const auto& [name, entry] : c->entries)
      if (entry.type == DT_REG) names->push_back(name);
    return Status::Ok();
  }

  Status VisitFileTimes(const std::string& folder,
                        const std::function<bool(const std::string&, int64_t)>& visit) override {
    FolderCache* c = FolderOf(folder);
    if (c == nullptr) return FolderFailure(folder);
    if (!c->by_time_ready) {
      // Times not known yet (new files, or files whose time was recent when noted) are
      // asked once; the rest is what earlier looks found.
      std::string dir = folder;
      for (auto& [dir_name, cache] : folders_)
        if (&cache == c) dir = dir_name;
      for (auto it = c->entries.begin(); it != c->entries.end();) {
        CachedEntry& entry = it->second;
        if (entry.type == DT_REG && entry.mtime == kUnknownTime) {
          struct stat st;
          std::string full = dir + "/" + it->first;
          if (lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            c->stale = true;  // changed since the scan: not listed now, scanned next time
            ++it;
            continue;
          }
          entry.mtime = st.st_mtim.tv_sec;
          entry.ino = st.st_ino;
        }
        ++it;
      }
      c->by_time.clear();
      for (const auto& [name, entry] : c->entries)
        if (entry.type == DT_REG && entry.mtime != kUnknownTime)
          c->by_time.emplace_back(entry.mtime, name);
      std::sort(c->by_time.begin(), c->by_time.end());
      c->by_time_ready = true;
    }
    for (const auto& [mtime, name] : c->by_time)
      if (!visit(name, mtime)) break;
    return Status::Ok();
  }

  Status WatchFolders(const std::vector<WatchedFolder>& folders,
                      std::unique_ptr<FolderWatch>* watch) override {
    watch->reset();
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return Status::FromErrno(errno, folders.empty() ? "" : folders[0].path);
    auto w = std::make_unique<InotifyWatch>(fd);
    for (const WatchedFolder& f : folders) {
      const std::string real = Resolve(f.path);
      if (OnNetworkFileSystem(real)) return Status(Status::kIo, f.path);
      // Files renamed in (the front end's way) or written in place and closed.
      int wd = inotify_add_watch(fd, real.c_str(),
                                 IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR | IN_DONT_FOLLOW);
      if (wd < 0) return Status::FromErrno(errno, f.path);
      w->Add(wd, f.pattern);
    }
    *watch = std::move(w);
    return Status::Ok();
  }

  uint64_t FolderGeneration(const std::string& folder) override {
    FolderCache* c = FolderOf(folder);
    return c == nullptr ? 0 : c->generation;
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
  std::unordered_map<std::string, FolderCache> folders_;
  uint64_t generations_ = 0;
  int reserve_fd_ = -1;
  const pid_t pid_;
};

}  // namespace

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv();
  return env;
}

}  // namespace guichet
