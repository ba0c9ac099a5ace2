// The Env on Windows. Paths come in Windows-1252 with "/" and go to the wide-character
// Win32 calls with "\" (win_text.h), so the machine's ANSI code page plays no part. The
// file system compares names without regard to case itself, so no name is looked up by
// hand. Files being written are opened without sharing for writing, so that a reader
// never opens a file half-written; the files that several programs share (the day log,
// the queue files) are locked with LockFileEx. Replacements are renames with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
#include <windows.h>
// The Env's own names, not windows.h's macros for the wide-character calls.
#undef CopyFile
#undef DeleteFile

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/env.h"
#include "platform/system.h"
#include "platform/win_text.h"
#include "support/text.h"

namespace guichet {

namespace {

Status FromWin(DWORD err, const std::string& path) {
  switch (err) {
    case ERROR_SUCCESS:
      return Status();
    case ERROR_FILE_NOT_FOUND:
      return Status(Status::kNotFound, path);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
      return Status(Status::kPathNotFound, path);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return Status(Status::kDenied, path);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Status(Status::kDiskFull, path);
    case ERROR_INVALID_HANDLE:
    case ERROR_TOO_MANY_OPEN_FILES:
      return Status(Status::kBadHandle, path);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
      return Status(Status::kExists, path);
    case ERROR_DIRECTORY:
    case ERROR_CANT_ACCESS_FILE:
      return Status(Status::kNotRegular, path);
    case ERROR_FILE_TOO_LARGE:
      return Status(Status::kTooLarge, path);
    default:
      return Status(Status::kIo, path);
  }
}

Status LastError(const std::string& path) { return FromWin(GetLastError(), path); }

// The failure of a MoveFileEx onto `target`, reported for `path`. A folder standing at
// the target is refused as access denied, which would pass for a failure that may go
// away; it is said for what it is, as on Linux (EISDIR).
Status MoveError(const std::string& target, const std::string& path) {
  DWORD err = GetLastError();
  DWORD attributes = GetFileAttributesW(WidePath(target).c_str());
  if (err == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return Status(Status::kNotRegular, path);
  return FromWin(err, path);
}

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;  // 100 ns units

int64_t UnixSeconds(const FILETIME& ft) {
  int64_t ticks = static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
  return (ticks - kUnixEpochAsFileTime) / 10000000;
}

DateTime FromFileTime(const FILETIME& ft) { return FromUnixLocal(UnixSeconds(ft)); }

FILETIME ToFileTime(int64_t unix_seconds) {
  uint64_t ticks = static_cast<uint64_t>(unix_seconds * 10000000 + kUnixEpochAsFileTime);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

// Owns one Win32 handle.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      Close();
      h_ = std::exchange(o.h_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  ~Handle() { Close(); }
  HANDLE get() const { return h_; }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  // False when closing failed.
  bool Close() {
    if (h_ == INVALID_HANDLE_VALUE) return true;
    BOOL r = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return r != 0;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Sharing of the files Guichet reads or writes alone: others may read a file Guichet
// reads, nobody writes beside Guichet, and a file someone is writing cannot be opened.
constexpr DWORD kShareRead = FILE_SHARE_READ | FILE_SHARE_DELETE;
// Sharing of the files several programs append to under a lock.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Names the original file system cannot hold never reach Guichet.
bool AcceptableName(std::string_view name) {
  if (name.empty() || name[0] == '.') return false;
  for (unsigned char c : name)
    if (c < 32 || std::strchr("\\:*?\"<>|", c) != nullptr) return false;
  return true;
}

std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens a file; `follow` lets a link (a reparse point) lead to its target, otherwise a
// link is opened as itself and refused. Only regular files on a disk are kept: a folder,
// a device or a pipe fails with kNotRegular.
Status OpenRegular(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                   bool follow, Handle* out) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  Handle h(
      CreateFileW(WidePath(path).c_str(), access, share, nullptr, disposition, flags, nullptr));
  if (!h.ok()) {
    DWORD err = GetLastError();
    // Opening a folder for writing is refused as access denied: say what it is.
    DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return Status(Status::kNotRegular, path);
    return FromWin(err, path);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(h.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
    return Status(Status::kNotRegular, path);
  *out = std::move(h);
  return Status::Ok();
}

int64_t SizeOf(HANDLE h) {
  LARGE_INTEGER size;
  return GetFileSizeEx(h, &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

Status WriteAll(HANDLE h, std::string_view data, const std::string& path) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!WriteFile(h, p, chunk, &n, nullptr)) return LastError(path);
    if (n == 0) return Status(Status::kIo, path);
    p += n;
    left -= n;
  }
  return Status::Ok();
}

Status WriteAllAt(HANDLE h, int64_t offset, std::string_view data, const std::string& path) {
  const char* p = data.data();
  size_t left = data.size();
  uint64_t at = static_cast<uint64_t>(offset);
  while (left > 0) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!WriteFile(h, p, chunk, &n, &where)) return LastError(path);
    if (n == 0) return Status(Status::kIo, path);
    p += n, at += n, left -= n;
  }
  return Status::Ok();
}

Status SeekEnd(HANDLE h, const std::string& path) {
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(h, zero, nullptr, FILE_END) ? Status::Ok() : LastError(path);
}

// An exclusive lock of the whole file (to the largest offset), as a lock of the whole
// file is on Linux. Tried again every few milliseconds for at most `wait_ms`; a negative
// wait waits as long as it takes.
bool LockWhole(HANDLE h, int wait_ms) {
  if (wait_ms < 0) {
    OVERLAPPED from = {};
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from) != 0;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
  for (;;) {
    OVERLAPPED from = {};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &from))
      return true;
    DWORD err = GetLastError();
    if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING) return false;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

void UnlockWhole(HANDLE h) {
  OVERLAPPED from = {};
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &from);
}

// LockFileEx locks belong to a handle, where fcntl locks belong to the process: a read
// through any other handle of the locked range fails, even in the process that holds the
// lock. The files this process holds locked are kept here, and read through the lock's
// own handle, so that the code above the Env reads what it locked as it does on Linux.
class HeldLocks {
 public:
  static HeldLocks& Get() {
    static HeldLocks* held = new HeldLocks();
    return *held;
  }
  void Add(const std::string& path, HANDLE h) {
    std::lock_guard<std::mutex> guard(mutex_);
    held_[Key(path)] = h;
  }
  void Remove(const std::string& path, HANDLE h) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = held_.find(Key(path));
    if (it != held_.end() && it->second == h) held_.erase(it);
  }
  // Reads the whole of a file this process holds locked; false when it holds no lock on
  // it (then `*s` is untouched).
  bool Read(const std::string& path, std::string* data, int64_t max_bytes, Status* s) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = held_.find(Key(path));
    if (it == held_.end()) return false;
    *s = ReadThrough(it->second, path, data, max_bytes);
    return true;
  }

 private:
  // The file system compares names without regard to case.
  static std::string Key(const std::string& path) {
    std::string key = ToUpper(path);
    std::replace(key.begin(), key.end(), '\\', '/');
    return key;
  }
  static Status ReadThrough(HANDLE h, const std::string& path, std::string* data,
                            int64_t max_bytes) {
    const int64_t size = SizeOf(h);
    if (size < 0) return LastError(path);
    if (size > max_bytes) return Status(Status::kTooLarge, path);
    data->assign(static_cast<size_t>(size), '\0');
    size_t got = 0;
    while (got < data->size()) {
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(got);
      where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(got) >> 32);
      DWORD want = static_cast<DWORD>(std::min<size_t>(data->size() - got, 1 << 20));
      DWORD n = 0;
      if (!::ReadFile(h, data->data() + got, want, &n, &where)) return LastError(path);
      if (n == 0) break;
      got += n;
    }
    data->resize(got);
    return Status::Ok();
  }

  std::mutex mutex_;
  std::map<std::string, HANDLE> held_;
};

class WinLock : public FileLock {
 public:
  WinLock(Handle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {
    HeldLocks::Get().Add(path_, h_.get());
  }
  ~WinLock() override {
    HeldLocks::Get().Remove(path_, h_.get());
    UnlockWhole(h_.get());
  }
  int64_t Size() override { return SizeOf(h_.get()); }
  Status Truncate(int64_t size) override {
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (!SetFilePointerEx(h_.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(h_.get()))
      return LastError(path_);
    return Status::Ok();
  }
  HANDLE get() const { return h_.get(); }

 private:
  Handle h_;
  std::string path_;
};

// Notices from ReadDirectoryChangesW: one overlapped read a folder, all completing on
// one manual-reset event, the handle a wait adds.
class DirectoryWatch : public FolderWatch {
 public:
  DirectoryWatch() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~DirectoryWatch() override {
    for (auto& f : folders_) {
      if (f->pending) CancelIoEx(f->dir, &f->ov);
      CloseHandle(f->dir);
    }
    // A read's buffer must outlive it. Closing the folder ends the read, but not always
    // at once (wine): a read still not ended after a second keeps its buffer for good.
    for (auto& f : folders_) {
      for (int waited = 0; f->pending && !HasOverlappedIoCompleted(&f->ov) && waited < 1000;
           ++waited)
        Sleep(1);
      if (f->pending && !HasOverlappedIoCompleted(&f->ov)) static_cast<void>(f.release());
    }
    if (event_ != nullptr) CloseHandle(event_);
  }

  // Opens the folder and starts its first read; false on failure (GetLastError set).
  bool Add(const std::string& path, const std::string& pattern) {
    if (event_ == nullptr) return false;
    HANDLE dir =
        CreateFileW(WidePath(path).c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return false;
    auto f = std::make_unique<Folder>();
    f->dir = dir;
    f->pattern = pattern;
    Folder* raw = f.get();
    folders_.push_back(std::move(f));
    return Read(*raw);
  }

  intptr_t WaitHandle() const override { return reinterpret_cast<intptr_t>(event_); }

  Notices Take() override {
    if (broken_) return kBroken;
    // Reset first: a read that completes from here on sets the event again.
    ResetEvent(event_);
    Notices found = kNone;
    for (auto& f : folders_) {
      if (!f->pending || !HasOverlappedIoCompleted(&f->ov)) continue;
      f->pending = false;
      DWORD n = 0;
      if (!GetOverlappedResult(f->dir, &f->ov, &n, FALSE)) {
        if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) return Break();
        found = std::max(found, kLost);
      } else if (n == 0) {
        found = std::max(found, kLost);  // more changes than the buffer held
      } else {
        found = std::max(found, Parse(*f, n));
      }
      if (!Read(*f)) return Break();
    }
    return found;
  }

 private:
  struct Folder {
    HANDLE dir = INVALID_HANDLE_VALUE;
    std::string pattern;
    OVERLAPPED ov{};
    bool pending = false;
    alignas(DWORD) char buf[32 * 1024];
  };

  bool Read(Folder& f) {
    f.ov = OVERLAPPED{};
    f.ov.hEvent = event_;
    if (!ReadDirectoryChangesW(f.dir, f.buf, sizeof f.buf, FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE,
                               nullptr, &f.ov, nullptr))
      return false;
    f.pending = true;
    return true;
  }

  Notices Break() {
    broken_ = true;
    return kBroken;
  }

  static Notices Parse(const Folder& f, DWORD size) {
    Notices found = kNone;
    for (DWORD at = 0; at < size;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(f.buf + at);
      if (info->Action == FILE_ACTION_ADDED || info->Action == FILE_ACTION_RENAMED_NEW_NAME ||
          info->Action == FILE_ACTION_MODIFIED) {
        std::string name;
        if (NarrowName(std::wstring_view(info->FileName, info->FileNameLength / sizeof(wchar_t)),
                       &name) &&
            MatchesListPattern(name, f.pattern))
          found = kArrivals;
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
    return found;
  }

  HANDLE event_;
  bool broken_ = false;
  std::vector<std::unique_ptr<Folder>> folders_;
};

class WinEnv : public Env {
 public:
  WinEnv() {
    reserve_ = Handle(CreateFileW(L"NUL", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  DateTime Now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    DateTime t;
    t.year = st.wYear, t.month = st.wMonth, t.day = st.wDay;
    t.hour = st.wHour, t.minute = st.wMinute, t.second = st.wSecond;
    return t;
  }

  int64_t SteadyMillis() override { return static_cast<int64_t>(GetTickCount64()); }

  // Each component's spelling as the file system keeps it; from the first component that
  // does not exist, the rest stays as written.
  Status WatchFolders(const std::vector<WatchedFolder>& folders,
                      std::unique_ptr<FolderWatch>* watch) override {
    watch->reset();
    auto w = std::make_unique<DirectoryWatch>();
    for (const WatchedFolder& f : folders)
      if (!w->Add(f.path, f.pattern)) return LastError(f.path);
    *watch = std::move(w);
    return Status::Ok();
  }

  std::string Resolve(const std::string& path) override {
    if (path.empty()) return path;
    std::string out;
    size_t pos = 0;
    // A drive ("C:"), a share ("//server/share") or the root stays as written.
    if (path.size() >= 2 && path[1] == ':') {
      pos = path.size() > 2 && (path[2] == '/' || path[2] == '\\') ? 3 : 2;
    } else if (path.size() >= 2 && (path[0] == '/' || path[0] == '\\') &&
               (path[1] == '/' || path[1] == '\\')) {
      size_t server = path.find_first_of("/\\", 2);
      size_t share = server == std::string::npos ? server : path.find_first_of("/\\", server + 1);
      pos = share == std::string::npos ? path.size() : share + 1;
    } else if (path[0] == '/' || path[0] == '\\') {
      pos = 1;
    }
    out = path.substr(0, pos);
    while (pos < path.size()) {
      size_t slash = path.find_first_of("/\\", pos);
      std::string comp =
          path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
      std::string spelled = comp;
      if (!comp.empty() && comp != "." && comp != ".." &&
          comp.find_first_of("*?") == std::string::npos) {
        WIN32_FIND_DATAW found;
        HANDLE f = FindFirstFileW(WidePath(out + comp).c_str(), &found);
        if (f == INVALID_HANDLE_VALUE) return out + path.substr(pos);
        FindClose(f);
        std::string name;
        if (NarrowName(found.cFileName, &name)) spelled = name;
      }
      out += spelled;
      if (slash == std::string::npos) break;
      out += path[slash];
      pos = slash + 1;
    }
    return out;
  }

  bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
    return GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, data) != 0;
  }

  static bool IsRegularAttributes(DWORD a) {
    return (a &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
  }

  bool FileExists(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return Attributes(path, &data) && IsRegularAttributes(data.dwFileAttributes);
  }

  bool FolderExists(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return Attributes(path, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Attributes(path, &data)) return LastError(path);
    if (!IsRegularAttributes(data.dwFileAttributes)) return Status(Status::kNotRegular, path);
    info->size = static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
    info->modified = FromFileTime(data.ftLastWriteTime);
    return Status::Ok();
  }

  Status GetAdminFileInfo(const std::string& path, FileInfo* info) override {
    Handle h;
    Status s = OpenRegular(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, true, &h);
    if (!s.ok()) return s;
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(h.get(), &data)) return LastError(path);
    info->size = static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
    info->modified = FromFileTime(data.ftLastWriteTime);
    return Status::Ok();
  }

  Status ReadFile(const std::string& path, std::string* data, int64_t max_bytes) override {
    return ReadWith(path, data, max_bytes, false);
  }

  Status ReadAt(const std::string& path, int64_t offset, size_t count, std::string* data) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_READ, kShareRead, OPEN_EXISTING, false, &h);
    if (!s.ok()) return s;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN)) return LastError(path);
    data->resize(count);
    size_t got = 0;
    while (got < count) {
      DWORD n = 0;
      DWORD want = static_cast<DWORD>(std::min<size_t>(count - got, 1 << 20));
      if (!::ReadFile(h.get(), data->data() + got, want, &n, nullptr)) return LastError(path);
      if (n == 0) break;
      got += n;
    }
    data->resize(got);
    return Status::Ok();
  }

  Status ReadAdminFile(const std::string& path, std::string* data, int64_t max_bytes) override {
    return ReadWith(path, data, max_bytes, true);
  }

  Status ReadWith(const std::string& path, std::string* data, int64_t max_bytes, bool follow) {
    Status held;
    if (HeldLocks::Get().Read(path, data, max_bytes, &held)) return held;
    Handle h;
    Status s = OpenRegular(path, GENERIC_READ, kShareRead, OPEN_EXISTING, follow, &h);
    if (!s.ok()) return s;
    int64_t size = SizeOf(h.get());
    if (size < 0) return LastError(path);
    if (size > max_bytes) return Status(Status::kTooLarge, path);
    data->clear();
    data->reserve(static_cast<size_t>(size));
    char buf[1 << 16];
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return LastError(path);
      if (n == 0) break;
      if (static_cast<int64_t>(data->size()) + n > max_bytes)
        return Status(Status::kTooLarge, path);
      data->append(buf, n);
    }
    return Status::Ok();
  }

  // Writes a whole file; `disposition` says whether it is created, replaced or appended
  // to.
  Status WriteWith(const std::string& path, std::string_view data, DWORD disposition, bool append) {
    Handle h;
    Status s = OpenRegular(path, GENERIC_WRITE, FILE_SHARE_DELETE, disposition, false, &h);
    if (!s.ok()) return s;
    if (append && !(s = SeekEnd(h.get(), path)).ok()) return s;
    s = WriteAll(h.get(), data, path);
    if (!h.Close() && s.ok()) s = LastError(path);
    return s;
  }

  Status WriteFile(const std::string& path, std::string_view data) override {
    return WriteWith(path, data, CREATE_ALWAYS, false);
  }

  Status AppendFile(const std::string& path, std::string_view data) override {
    return WriteWith(path, data, OPEN_ALWAYS, true);
  }

  // One line added at the end and flushed to the disk; a last line cut short by a power
  // cut is ended first, so that two lines never run together.
  Status AppendSecretLineSynced(const std::string& path, std::string_view line) override {
    Handle h;
    Status s =
        OpenRegular(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_ALWAYS, false, &h);
    if (!s.ok()) return s;
    std::string data;
    const int64_t size = SizeOf(h.get());
    if (size < 0) return LastError(path);
    if (size > 0) {
      LARGE_INTEGER at;
      at.QuadPart = size - 1;
      char last = 0;
      DWORD n = 0;
      if (!SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN) ||
          !::ReadFile(h.get(), &last, 1, &n, nullptr))
        return LastError(path);
      if (n == 1 && last != '\n' && last != '\r') data = "\r\n";
    }
    data.append(line);
    if (!(s = SeekEnd(h.get(), path)).ok()) return s;
    s = WriteAll(h.get(), data, path);
    if (s.ok() && !FlushFileBuffers(h.get())) s = LastError(path);
    if (!h.Close() && s.ok()) s = LastError(path);
    return s;
  }

  // "~" + name + "." + process + "." + count + eight random hexadecimal digits.
  std::string TempName(const std::string& real) {
    static std::atomic<uint64_t> counter{0};
    unsigned char salt[4] = {};
    SystemRandomBytes(salt, sizeof salt);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", salt[0], salt[1], salt[2], salt[3]);
    const std::string suffix =
        "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(counter++) + hex;
    std::string name = BaseName(real);
    constexpr size_t kNameMax = 255;
    if (1 + name.size() + suffix.size() > kNameMax) name.resize(kNameMax - 1 - suffix.size());
    return Parent(real) + "/~" + name + suffix;
  }

  // A new temporary file beside `real`, open for writing; a name already taken is never
  // opened, another is tried.
  Status CreateTemp(const std::string& real, const std::string& path, Handle* out,
                    std::string* tmp) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      *tmp = TempName(real);
      Handle h(CreateFileW(WidePath(*tmp).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (h.ok()) {
        *out = std::move(h);
        return Status::Ok();
      }
      if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    return LastError(path);
  }

  // Puts a complete temporary file in place of `real`: flushed first when `sync`, then
  // renamed over the target through to the disk. Closes `h`; removes the temporary file
  // when anything fails.
  Status Replace(Handle& h, const std::string& tmp, const std::string& real,
                 const std::string& path, Status s, bool sync) {
    if (s.ok() && sync && !FlushFileBuffers(h.get())) s = LastError(path);
    if (!h.Close() && s.ok()) s = LastError(path);
    if (s.ok() && !MoveFileExW(WidePath(tmp).c_str(), WidePath(real).c_str(),
                               MOVEFILE_REPLACE_EXISTING | (sync ? MOVEFILE_WRITE_THROUGH : 0)))
      s = MoveError(real, path);
    if (!s.ok()) ::DeleteFileW(WidePath(tmp).c_str());
    return s;
  }

  Status WriteAtomic(const std::string& path, std::string_view data, bool sync) {
    Handle h;
    std::string tmp;
    Status s = CreateTemp(path, path, &h, &tmp);
    if (!s.ok()) return s;
    return Replace(h, tmp, path, path, WriteAll(h.get(), data, path), sync);
  }

  Status WriteFileAtomic(const std::string& path, std::string_view data) override {
    return WriteAtomic(path, data, true);
  }
  Status WriteFileAtomicUnsynced(const std::string& path, std::string_view data) override {
    return WriteAtomic(path, data, false);
  }
  // The file inherits the folder's permissions; the site's folders give them.
  Status WriteSecretFileAtomic(const std::string& path, std::string_view data) override {
    return WriteAtomic(path, data, true);
  }

  // An answer is written under the exact name given: an existing file whose name
  // differs only in case is another client's, and is not touched.
  Status CheckExactName(const std::string& path) {
    WIN32_FIND_DATAW found;
    HANDLE f = FindFirstFileW(WidePath(path).c_str(), &found);
    if (f == INVALID_HANDLE_VALUE) return Status::Ok();
    FindClose(f);
    std::string name;
    if (!NarrowName(found.cFileName, &name) || name != BaseName(path))
      return Status(Status::kExists, path);
    return Status::Ok();
  }

  Status WriteAnswer(const std::string& path, std::string_view data, bool append) override {
    Status s = CheckExactName(path);
    if (!s.ok()) return s;
    return WriteWith(path, data, append ? OPEN_ALWAYS : CREATE_ALWAYS, append);
  }

  Status WriteAnswerAtomic(const std::string& path, std::string_view data) override {
    Status s = CheckExactName(path);
    if (!s.ok()) return s;
    return WriteAtomic(path, data, false);
  }

  // The day log: appended under an exclusive lock from byte 0 for size + 1 bytes.
  Status AppendFileLocked(const std::string& path, std::string_view data) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS, false, &h);
    if (!s.ok()) return s;
    int64_t size = SizeOf(h.get());
    if (size < 0) return LastError(path);
    uint64_t length = static_cast<uint64_t>(size) + 1;
    OVERLAPPED from = {};
    if (!LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, static_cast<DWORD>(length),
                    static_cast<DWORD>(length >> 32), &from))
      return LastError(path);
    s = SeekEnd(h.get(), path);
    if (s.ok()) s = WriteAll(h.get(), data, path);
    OVERLAPPED again = {};
    UnlockFileEx(h.get(), 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &again);
    return s;
  }

  std::unique_ptr<FileLock> TryLockFile(const std::string& path, int wait_ms) override {
    Handle h;
    if (!OpenRegular(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING, false, &h).ok())
      return nullptr;
    if (!LockWhole(h.get(), wait_ms)) return nullptr;
    return std::make_unique<WinLock>(std::move(h), path);
  }

  std::unique_ptr<FileLock> LockFile(const std::string& path) override {
    Handle h;
    if (!OpenRegular(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING, false, &h).ok())
      return nullptr;
    if (!LockWhole(h.get(), -1)) return nullptr;
    return std::make_unique<WinLock>(std::move(h), path);
  }

  Status AppendLineLocked(const std::string& path, std::string_view line, int wait_ms) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS, false, &h);
    if (!s.ok()) return s;
    WinLock lock(std::move(h), path);
    if (!LockWhole(lock.get(), wait_ms)) return Status(Status::kDenied, path);
    const int64_t size = lock.Size();
    if (size < 0) return LastError(path);
    std::string data;
    if (size > 0) {
      char last = 0;
      DWORD n = 0;
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(size - 1);
      where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(size - 1) >> 32);
      if (!::ReadFile(lock.get(), &last, 1, &n, &where)) return LastError(path);
      if (n != 1) return Status(Status::kIo, path);
      if (last != '\n' && last != '\r') data = kCrLf;
    }
    data.append(line);
    if (!(s = SeekEnd(lock.get(), path)).ok()) return s;
    return WriteAll(lock.get(), data, path);
  }

  Status WriteAt(const std::string& path, int64_t offset, std::string_view data) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_ALWAYS, false, &h);
    if (!s.ok()) return s;
    s = WriteAllAt(h.get(), offset, data, path);
    if (!h.Close() && s.ok()) s = LastError(path);
    return s;
  }
  // A document held open by its handle. Nobody may write, delete or rename it meanwhile,
  // so the path keeps naming the file the handle writes; a reader that lets others write
  // may read it.
  class HeldFile : public OpenFile {
   public:
    HeldFile(Handle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {}
    ~HeldFile() override { IgnoreFailure(Close()); }
    Status Size(int64_t* size) override {
      *size = SizeOf(h_.get());
      return *size < 0 ? LastError(path_) : Status::Ok();
    }
    Status SizeAtPath(int64_t* size) override { return Size(size); }
    Status WriteAt(int64_t offset, std::string_view data) override {
      return WriteAllAt(h_.get(), offset, data, path_);
    }
    Status Sync() override { return FlushFileBuffers(h_.get()) ? Status::Ok() : LastError(path_); }
    Status Close() override {
      if (!h_.ok()) return Status::Ok();
      return h_.Close() ? Status::Ok() : LastError(path_);
    }

   private:
    Handle h_;
    std::string path_;
  };

  Status OpenForWriteAt(const std::string& path, std::unique_ptr<OpenFile>* file) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, false, &h);
    if (!s.ok()) return s;
    *file = std::make_unique<HeldFile>(std::move(h), path);
    return Status::Ok();
  }

  Status Truncate(const std::string& path, int64_t size) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_EXISTING, false, &h);
    if (!s.ok()) return s;
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (!SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(h.get()))
      return LastError(path);
    return Status::Ok();
  }

  Status CopyWith(const std::string& from, const std::string& to, bool follow, bool sync) {
    Handle in;
    Status s = OpenRegular(from, GENERIC_READ, kShareRead, OPEN_EXISTING, follow, &in);
    if (!s.ok()) return s;
    FILETIME created, accessed, written;
    if (!GetFileTime(in.get(), &created, &accessed, &written)) return LastError(from);
    Handle out;
    std::string tmp;
    if (!(s = CreateTemp(to, to, &out, &tmp)).ok()) return s;
    std::string buf(1 << 20, '\0');
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(in.get(), buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
        s = LastError(from);
        break;
      }
      if (n == 0) break;
      s = WriteAll(out.get(), std::string_view(buf.data(), n), to);
      if (!s.ok()) break;
    }
    in.Close();
    if (s.ok() && !SetFileTime(out.get(), nullptr, &accessed, &written)) s = LastError(to);
    return Replace(out, tmp, to, to, s, sync);
  }

  Status CopyFile(const std::string& from, const std::string& to) override {
    return CopyWith(from, to, false, true);
  }
  Status CopyFileUnsynced(const std::string& from, const std::string& to) override {
    return CopyWith(from, to, false, false);
  }
  Status CopyAdminFile(const std::string& from, const std::string& to) override {
    return CopyWith(from, to, true, true);
  }

  // FlushFileBuffers needs a handle open for writing; others may hold the file open.
  Status SyncFile(const std::string& path) override {
    Handle h;
    Status s = OpenRegular(path, GENERIC_WRITE, kShareAll, OPEN_EXISTING, false, &h);
    if (!s.ok()) return s;
    if (!FlushFileBuffers(h.get())) return LastError(path);
    return Status::Ok();
  }

  // Guichet's renames are written through (MOVEFILE_WRITE_THROUGH) and NTFS logs the
  // creation of a file with the file's own flush; a folder itself cannot be flushed
  // without administrator rights. Only its existence is checked.
  Status SyncFolder(const std::string& path) override {
    return FolderExists(path) ? Status::Ok() : Status(Status::kPathNotFound, path);
  }

  Status DeleteFile(const std::string& path) override {
    if (::DeleteFileW(WidePath(path).c_str())) return Status::Ok();
    DWORD err = GetLastError();
    if (FolderExists(path)) return Status(Status::kNotRegular, path);
    return FromWin(err, path);
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    if (!MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return MoveError(to, from);
    return Status::Ok();
  }

  Status CreateFolder(const std::string& path) override {
    if (!CreateDirectoryW(WidePath(path).c_str(), nullptr)) return LastError(path);
    return Status::Ok();
  }

  Status SetModified(const std::string& path, const DateTime& t) override {
    Handle h(CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr));
    if (!h.ok()) return LastError(path);
    FILETIME ft = ToFileTime(ToUnixLocal(t));
    if (!SetFileTime(h.get(), nullptr, &ft, &ft)) return LastError(path);
    return Status::Ok();
  }

  // Calls `each(name, attributes)` for every entry of `folder` whose name Windows-1252
  // can hold.
  template <typename Each>
  Status Walk(const std::string& folder, Each each) {
    WIN32_FIND_DATAW found;
    std::string pattern = folder + (folder.empty() || folder.back() == '/' ? "*" : "/*");
    HANDLE f = FindFirstFileExW(WidePath(pattern).c_str(), FindExInfoBasic, &found,
                                FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (f == INVALID_HANDLE_VALUE) {
      DWORD err = GetLastError();
      if (err == ERROR_FILE_NOT_FOUND) {
        // An empty folder has no entry at all on some file systems.
        if (FolderExists(folder)) return Status::Ok();
        err = ERROR_PATH_NOT_FOUND;
      }
      if (err == ERROR_DIRECTORY) err = ERROR_PATH_NOT_FOUND;
      return FromWin(err, folder);
    }
    do {
      std::string name;
      if (!NarrowName(found.cFileName, &name) || name == "." || name == "..") continue;
      each(name, found.dwFileAttributes);
    } while (FindNextFileW(f, &found));
    FindClose(f);
    return Status::Ok();
  }

  // `follow`: a link to a regular file counts as one (the administrator's folders).
  Status List(const std::string& folder, std::string_view pattern, bool folders,
              std::vector<std::string>* names, bool follow = false) {
    std::vector<std::string> found;
    Status s = Walk(folder, [&](const std::string& name, DWORD attributes) {
      if (!AcceptableName(name)) return;
      if (!folders && !MatchesListPattern(name, pattern)) return;
      bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      bool folder_entry = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (folders) {
        if (folder_entry && !link) found.push_back(name);
      } else if (!folder_entry && !link) {
        found.push_back(name);
      } else if (link && follow && !folder_entry) {
        FileInfo info;
        if (GetAdminFileInfo(folder + "/" + name, &info).ok()) found.push_back(name);
      }
    });
    if (!s.ok()) return s;
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
    return Walk(folder, [&](const std::string& name, DWORD attributes) {
      if (IsRegularAttributes(attributes)) names->push_back(name);
    });
  }

  // One look at the folder each call: the find data carries every file's time.
  Status VisitFileTimes(const std::string& folder,
                        const std::function<bool(const std::string&, int64_t)>& visit) override {
    std::vector<std::pair<int64_t, std::string>> files;
    WIN32_FIND_DATAW found;
    std::string pattern = folder + (folder.empty() || folder.back() == '/' ? "*" : "/*");
    HANDLE f = FindFirstFileExW(WidePath(pattern).c_str(), FindExInfoBasic, &found,
                                FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (f == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND && FolderExists(folder)) return Status::Ok();
      return LastError(folder);
    }
    do {
      std::string name;
      if (!NarrowName(found.cFileName, &name) || !IsRegularAttributes(found.dwFileAttributes))
        continue;
      files.emplace_back(UnixSeconds(found.ftLastWriteTime), std::move(name));
    } while (FindNextFileW(f, &found));
    FindClose(f);
    std::sort(files.begin(), files.end());
    for (const auto& [time, name] : files)
      if (!visit(name, time)) break;
    return Status::Ok();
  }

  Status ChangeDir(const std::string& path) override {
    if (!SetCurrentDirectoryW(WidePath(path).c_str())) return LastError(path);
    return Status::Ok();
  }

  // Started with its window hidden, from its own folder's current directory as ours,
  // inheriting no handle; nobody waits for it.
  Status StartDetached(const std::string& path) override {
    std::wstring exe = WidePath(path);
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS, nullptr, nullptr, &startup,
                        &process))
      return LastError(path);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return Status::Ok();
  }

  void ReleaseReserve() override { reserve_.Close(); }

  std::string HostName() override {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(buf, &n)) return "";
    std::string name;
    return NarrowName(std::wstring_view(buf, n), &name) ? name : "";
  }

  // With "/" between the components, as every path inside Guichet.
  std::string ExecutablePath() override {
    std::wstring buf(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return "";
    buf.resize(n);
    std::string path;
    if (!NarrowName(buf, &path)) return "";
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  }

 private:
  Handle reserve_;
};

}  // namespace

Env* Env::Default() {
  static WinEnv* env = new WinEnv();
  return env;
}

}  // namespace guichet
