// The Tree on Linux: every entry reached through openat and friends from a folder
// descriptor, with O_NOFOLLOW and O_NONBLOCK, so a link or a FIFO planted on the way is
// refused, never followed or waited on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tree.h"

namespace guichet::batch {
namespace {

class PosixFolder : public Folder {
 public:
  explicit PosixFolder(int fd) : fd(fd) {}
  ~PosixFolder() override { close(fd); }
  int fd;
};

int Fd(Folder& f) { return static_cast<PosixFolder&>(f).fd; }

TreeStatus FromErrno(int err, const std::string& what) {
  TreeStatus s;
  switch (err) {
    case ENOENT:
      s.code = TreeStatus::kMissing;
      break;
    case ELOOP:
      s.code = TreeStatus::kLink;
      break;
    case ENOTDIR:
      s.code = TreeStatus::kNotFolder;
      break;
    case EXDEV:
      s.code = TreeStatus::kCrossDevice;
      break;
    default:
      s.code = TreeStatus::kFailed;
  }
  s.text = what + ": " + std::strerror(err);
  return s;
}

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kFile;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

class PosixTree : public Tree {
 public:
  TreeStatus OpenRoot(const std::string& path, std::unique_ptr<Folder>* out) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return FromErrno(errno, path);
    *out = std::make_unique<PosixFolder>(fd);
    return {};
  }

  TreeStatus List(Folder& dir, std::vector<Entry>* entries) override {
    int fd = openat(Fd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno, "listing");
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
      int e = errno;
      close(fd);
      return FromErrno(e, "listing");
    }
    errno = 0;
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      Entry entry{name, EntryKind::kOther};
      struct stat st;
      if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone since
      entry.kind = KindOf(st.st_mode);
      entries->push_back(std::move(entry));
    }
    closedir(d);
    return {};
  }

  TreeStatus Kind(Folder& dir, const std::string& name, EntryKind* kind) override {
    struct stat st;
    if (fstatat(Fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return FromErrno(errno, name);
    *kind = KindOf(st.st_mode);
    return {};
  }

  TreeStatus OpenFolder(Folder& dir, const std::string& name,
                        std::unique_ptr<Folder>* out) override {
    int fd = openat(Fd(dir), name.c_str(), kOpenFlags | O_DIRECTORY);
    if (fd < 0) return FromErrno(errno, name);
    *out = std::make_unique<PosixFolder>(fd);
    return {};
  }

  TreeStatus ReadFile(Folder& dir, const std::string& name, size_t max,
                      std::string* data) override {
    int fd = openat(Fd(dir), name.c_str(), kOpenFlags);
    if (fd < 0) return FromErrno(errno, name);
    TreeStatus s;
    struct stat st;
    if (fstat(fd, &st) != 0) {
      s = FromErrno(errno, name);
    } else if (!S_ISREG(st.st_mode)) {
      s = {TreeStatus::kNotFile, name + ": not a regular file"};
    } else if (static_cast<size_t>(st.st_size) > max) {
      s = {TreeStatus::kTooLarge, name + ": too large"};
    } else {
      data->clear();
      char buf[8192];
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          s = FromErrno(errno, name);
          break;
        }
        if (n == 0) break;
        data->append(buf, static_cast<size_t>(n));
        if (data->size() > max) {
          s = {TreeStatus::kTooLarge, name + ": too large"};
          break;
        }
      }
    }
    close(fd);
    return s;
  }

  TreeStatus MakeFolder(Folder& dir, const std::string& name) override {
    if (mkdirat(Fd(dir), name.c_str(), 0777) != 0) return FromErrno(errno, name);
    return {};
  }

  TreeStatus Rename(Folder& from, const std::string& name, Folder& to,
                    const std::string& target) override {
    if (renameat(Fd(from), name.c_str(), Fd(to), target.c_str()) != 0)
      return FromErrno(errno, name);
    return {};
  }

  TreeStatus CopyFlushed(Folder& from, const std::string& name, Folder& to,
                         const std::string& target) override {
    int in = openat(Fd(from), name.c_str(), kOpenFlags);
    if (in < 0) return FromErrno(errno, name);
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(in);
      return {TreeStatus::kNotFile, name + ": not a regular file"};
    }
    if (unlinkat(Fd(to), target.c_str(), 0) != 0 && errno != ENOENT) {
      TreeStatus s = FromErrno(errno, target);
      close(in);
      return s;
    }
    int out = openat(Fd(to), target.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (out < 0) {
      TreeStatus s = FromErrno(errno, target);
      close(in);
      return s;
    }
    TreeStatus s;
    char buf[65536];
    for (;;) {
      ssize_t n = read(in, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        s = FromErrno(errno, name);
        break;
      }
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
          s = FromErrno(errno, target);
          break;
        }
        done += w;
      }
      if (!s.ok()) break;
    }
    if (s.ok()) {
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      if (futimens(out, times) != 0) s = FromErrno(errno, target);
    }
    while (s.ok() && fsync(out) != 0)
      if (errno != EINTR) s = FromErrno(errno, target);
    if (close(out) != 0 && s.ok()) s = FromErrno(errno, target);
    close(in);
    if (!s.ok()) unlinkat(Fd(to), target.c_str(), 0);
    return s;
  }

  TreeStatus Delete(Folder& dir, const std::string& name) override {
    if (unlinkat(Fd(dir), name.c_str(), 0) != 0) return FromErrno(errno, name);
    return {};
  }

  TreeStatus Sync(Folder& dir) override {
    while (fsync(Fd(dir)) != 0)
      if (errno != EINTR) return FromErrno(errno, "flushing a folder");
    return {};
  }
};

}  // namespace

std::unique_ptr<Tree> RealTree() { return std::make_unique<PosixTree>(); }

}  // namespace guichet::batch
