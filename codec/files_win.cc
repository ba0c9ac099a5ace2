// The file helpers on Windows. Paths arrive in Windows-1252, as Guichet writes them, and
// are opened through the wide-character calls, so a machine whose ANSI code page is not
// 1252 still finds them. The descriptors are the C runtime's, over Win32 handles opened
// with sharing that lets other readers in but no writer beside ours.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "files.h"

namespace radiveve {

namespace {

std::wstring Wide(const std::string& path) {
  if (path.empty()) return std::wstring();
  int n = MultiByteToWideChar(1252, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(1252, 0, path.data(), static_cast<int>(path.size()), wide.data(), n);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Opens a regular file (a folder, a device or a pipe is refused) and hands the handle to
// the C runtime in binary mode.
int OpenRegular(const char* path, DWORD access, DWORD disposition, DWORD share, int crtFlags) {
  if (path == nullptr || path[0] == '\0') return -1;
  HANDLE h = CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(h);
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crtFlags | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) CloseHandle(h);
  return fd;
}

}  // namespace

Fd::~Fd() { Close(); }

bool Fd::Close() {
  if (fd_ < 0) return true;
  int rc = _close(fd_);
  fd_ = -1;
  return rc == 0;
}

int OpenRegularForRead(const char* path) {
  // A file still being written by someone else (no read sharing on their side) fails to
  // open, rather than being read half-written.
  return OpenRegular(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_DELETE,
                     _O_RDONLY);
}

int OpenRegularForReadAlongsideWriter(const char* path) {
  return OpenRegular(path, GENERIC_READ, OPEN_EXISTING,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, _O_RDONLY);
}

int OpenRegularForWrite(const char* path) {
  return OpenRegular(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                     FILE_SHARE_READ | FILE_SHARE_DELETE, _O_RDWR);
}

ssize_t ReadFullAt(int fd, void* buffer, size_t size, off_t offset) {
  HANDLE h = HandleOf(fd);
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD chunk = size - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - done);
    DWORD n = 0;
    if (!ReadFile(h, p + done, chunk, &n, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return static_cast<ssize_t>(done);
}

ssize_t ReadFull(int fd, void* buffer, size_t size) {
  HANDLE h = HandleOf(fd);
  size_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < size) {
    DWORD chunk = size - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - done);
    DWORD n = 0;
    if (!ReadFile(h, p + done, chunk, &n, nullptr)) return -1;
    if (n == 0) break;
    done += n;
  }
  return static_cast<ssize_t>(done);
}

bool WriteFullAt(int fd, const void* buffer, size_t size, off_t offset) {
  HANDLE h = HandleOf(fd);
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < size) {
    uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD chunk = size - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - done);
    DWORD n = 0;
    if (!WriteFile(h, p + done, chunk, &n, &where) || n == 0) return false;
    done += n;
  }
  return true;
}

bool WriteFull(int fd, const void* buffer, size_t size) {
  HANDLE h = HandleOf(fd);
  size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < size) {
    DWORD chunk = size - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - done);
    DWORD n = 0;
    if (!WriteFile(h, p + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

std::string TemporaryNameFor(const std::string& finalPath) {
  static std::atomic<unsigned> serial{0};
  std::string::size_type slash = finalPath.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  return folder + "~" + name + "." + std::to_string(GetCurrentProcessId()) + "." +
         std::to_string(serial.fetch_add(1)) + ".tmp";
}

int CreateTemporaryFor(const std::string& finalPath, std::string* tempPath) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string name = TemporaryNameFor(finalPath);
    HANDLE h = CreateFileW(Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
      CloseHandle(h);
      DeleteFileW(Wide(name).c_str());
      return -1;
    }
    *tempPath = name;
    return fd;
  }
  return -1;
}

bool Identify(int fd, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(HandleOf(fd), &info)) return false;
  identity->size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  identity->device = info.dwVolumeSerialNumber;
  identity->number = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void RemoveFile(const std::string& path) { DeleteFileW(Wide(path).c_str()); }

}  // namespace radiveve
