#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace radiveve {

Fd::~Fd() { Close(); }

bool Fd::Close() {
  if (fd_ < 0) return true;
  int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 || errno == EINTR;
}

int OpenRegularForRead(const char* path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; the fstat check then refuses it.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

int OpenRegularForReadAlongsideWriter(const char* path) { return OpenRegularForRead(path); }

int OpenRegularForWrite(const char* path) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

ssize_t ReadFullAt(int fd, void* buffer, size_t size, off_t offset) {
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    ssize_t n = ::pread(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t ReadFull(int fd, void* buffer, size_t size) {
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    ssize_t n = ::read(fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFullAt(int fd, const void* buffer, size_t size, off_t offset) {
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < size) {
    ssize_t n = ::pwrite(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFull(int fd, const void* buffer, size_t size) {
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string TemporaryNameFor(const std::string& finalPath) {
  static std::atomic<unsigned> serial{0};
  std::string::size_type slash = finalPath.rfind('/');
  std::string folder = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  return folder + "~" + name + "." + std::to_string(::getpid()) + "." +
         std::to_string(serial.fetch_add(1)) + ".tmp";
}

int CreateTemporaryFor(const std::string& finalPath, std::string* tempPath) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string name = TemporaryNameFor(finalPath);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      *tempPath = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool Identify(int fd, FileIdentity* identity) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  identity->size = st.st_size;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->number = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace radiveve
