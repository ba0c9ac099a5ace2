// File helpers shared by the commands of the codec library: a descriptor that closes
// itself, whole-buffer reads and writes that survive short transfers and EINTR, and the
// temporary name used to write a result file before renaming it into place.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace radiveve {

// Owns one file descriptor; closes it when destroyed.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now; false when close reports a failure (a late write error).
  bool Close();

 private:
  int fd_ = -1;
};

// Opens an existing regular file for reading (close-on-exec). Returns -1 when the path is
// missing, not a regular file, or unreadable.
int OpenRegularForRead(const char* path);

// The same for a source that this process also opens for writing (a copy within one
// file). Where opening a file for reading keeps others from writing it (Windows), this one
// lets them.
int OpenRegularForReadAlongsideWriter(const char* path);

// Opens an existing regular file for writing in place, without shortening it
// (close-on-exec). Never follows a link at the last component and never blocks on a
// FIFO. Returns -1 when the path is missing, a link, not a regular file, or unwritable.
int OpenRegularForWrite(const char* path);

// Reads up to `size` bytes at `offset`; returns the number read (less only at end of
// file) or -1 on failure.
ssize_t ReadFullAt(int fd, void* buffer, size_t size, off_t offset);
// Reads up to `size` bytes from the current position; same results as ReadFullAt.
ssize_t ReadFull(int fd, void* buffer, size_t size);
// Writes all `size` bytes at `offset`; false on failure.
bool WriteFullAt(int fd, const void* buffer, size_t size, off_t offset);
// Writes all `size` bytes at the current position; false on failure.
bool WriteFull(int fd, const void* buffer, size_t size);

// A name in the folder of `finalPath` for writing it before the rename: "~" + the final
// name + a suffix unique to this process and call.
std::string TemporaryNameFor(const std::string& finalPath);

// Creates the temporary file for `finalPath` (exclusive, mode 0666 before umask), sets
// `tempPath` to its name. Returns the descriptor or -1.
int CreateTemporaryFor(const std::string& finalPath, std::string* tempPath);

// What the commands need to know of an open file: its size and which file it is (two
// descriptors on the same file have the same device and number).
struct FileIdentity {
  int64_t size = 0;
  uint64_t device = 0;
  uint64_t number = 0;
};
// False when the file cannot be examined.
bool Identify(int fd, FileIdentity* identity);

// Renames `from` over `to`, replacing a file of that name; false on failure.
bool RenameOver(const std::string& from, const std::string& to);
// Deletes a file; a failure is ignored (used to drop temporary files).
void RemoveFile(const std::string& path);

}  // namespace radiveve
