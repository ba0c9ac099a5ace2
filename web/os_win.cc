// os.h first: Asio's socket headers must come before any other Windows header.
#include "os.h"
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <thread>

#include "platform/win_text.h"

namespace guichet::web::os {

namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

int ErrnoOf(DWORD e) {
  switch (e) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    default:
      return EIO;
  }
}

// The path of an open handle, "/" separated, without the "\\?\" the system puts first.
std::string FinalPath(HANDLE h) {
  std::wstring buf(32768, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= buf.size()) return "";
  buf.resize(n);
  if (buf.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    buf = L"\\\\" + buf.substr(8);
  } else if (buf.rfind(L"\\\\?\\", 0) == 0) {
    buf = buf.substr(4);
  }
  std::string path;
  if (!NarrowName(buf, &path)) return "";
  std::replace(path.begin(), path.end(), '\\', '/');
  while (path.size() > 3 && path.back() == '/') path.pop_back();
  return path;
}

// Opens `path` for its attributes only; `follow` decides whether a link is followed.
HANDLE OpenForLook(const std::string& path, bool follow) {
  return CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                     nullptr);
}

// A plain file on a disk: not a folder, not a link, not a device such as "CON".
bool IsPlainFile(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
         !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

}  // namespace

File File::OpenRead(const std::string& path, int* error) {
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (error) *error = h == INVALID_HANDLE_VALUE ? ErrnoOf(GetLastError()) : 0;
  if (h == INVALID_HANDLE_VALUE) return File();
  if (!IsPlainFile(h)) {
    if (error) *error = EINVAL;
    CloseHandle(h);
    return File();
  }
  return File(reinterpret_cast<intptr_t>(h));
}

// Owner-only or not, the file takes the folder's access rights: the spool folder is the
// site's, and Windows has no mode bits to narrow them with.
File File::Create(const std::string& path, bool /*owner_only*/, int* error) {
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  *error = h == INVALID_HANDLE_VALUE ? ErrnoOf(GetLastError()) : 0;
  return h == INVALID_HANDLE_VALUE ? File() : File(reinterpret_cast<intptr_t>(h));
}

int64_t File::Size() const {
  LARGE_INTEGER size;
  if (!is_open() || !IsPlainFile(H(handle_)) || !GetFileSizeEx(H(handle_), &size)) return -1;
  return size.QuadPart;
}

int64_t File::ModifiedNs() const {
  FILETIME written;
  if (!is_open() || !GetFileTime(H(handle_), nullptr, nullptr, &written)) return -1;
  // 100-nanosecond steps since 1601.
  const uint64_t t = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  return (static_cast<int64_t>(t) - 116444736000000000LL) * 100;
}

std::string File::RealPath() const { return is_open() ? FinalPath(H(handle_)) : ""; }

int File::WriteAll(std::string_view data) {
  while (!data.empty()) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30));
    if (!WriteFile(H(handle_), data.data(), want, &n, nullptr)) return ErrnoOf(GetLastError());
    data.remove_prefix(n);
  }
  return 0;
}

int File::Sync() { return FlushFileBuffers(H(handle_)) ? 0 : ErrnoOf(GetLastError()); }

int64_t File::Read(char* buf, size_t n) {
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
  if (!ReadFile(H(handle_), buf, want, &got, nullptr)) return -1;
  return got;
}

int64_t File::ReadAt(char* buf, size_t n, int64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
  if (!ReadFile(H(handle_), buf, want, &got, &at))
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
}

bool File::Rewind() {
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(H(handle_), zero, nullptr, FILE_BEGIN) != 0;
}

int File::Flush() { return FlushFileBuffers(H(handle_)) ? 0 : ErrnoOf(GetLastError()); }

int File::Close() {
  if (!is_open()) return 0;
  BOOL ok = CloseHandle(H(handle_));
  handle_ = kNone;
  return ok ? 0 : EIO;
}

std::string RealPath(const std::string& path) {
  HANDLE h = OpenForLook(path, true);
  if (h == INVALID_HANDLE_VALUE) return "";
  std::string real = FinalPath(h);
  CloseHandle(h);
  return real;
}

bool IsAbsolute(std::string_view path) {
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '/' || path[2] == '\\'))
    return (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  return path.size() >= 2 && (path[0] == '/' || path[0] == '\\') &&
         (path[1] == '/' || path[1] == '\\');
}

Kind KindOf(const std::string& path, bool follow) {
  HANDLE h = OpenForLook(path, follow);
  if (h == INVALID_HANDLE_VALUE) return Kind::kNone;
  BY_HANDLE_FILE_INFORMATION info;
  Kind kind = Kind::kOther;
  if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info)) {
    const DWORD a = info.dwFileAttributes;
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
      kind = Kind::kOther;
    } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
      kind = Kind::kFolder;
    } else {
      kind = Kind::kFile;
    }
  }
  CloseHandle(h);
  return kind;
}

bool FileModified(const std::string& path, time_t* when) {
  HANDLE h = OpenForLook(path, false);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME written;
  bool ok = IsPlainFile(h) && GetFileTime(h, nullptr, nullptr, &written);
  CloseHandle(h);
  if (!ok) return false;
  // 100-nanosecond steps since 1601 to seconds since 1970.
  const uint64_t t = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  *when = static_cast<time_t>(t / 10000000ULL - 11644473600ULL);
  return true;
}

int Rename(const std::string& from, const std::string& to, bool durable) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), flags) ? 0
                                                                          : ErrnoOf(GetLastError());
}

int FlushFileSystem(const std::string& /*folder*/) { return 0; }

bool Remove(const std::string& path) {
  if (DeleteFileW(WidePath(path).c_str())) return true;
  const DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

void MakeFolder(const std::string& path) { CreateDirectoryW(WidePath(path).c_str(), nullptr); }

std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE f = FindFirstFileW(WidePath(folder + "/*").c_str(), &found);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    std::string n;
    // A name Windows-1252 cannot hold is none of ours.
    if (NarrowName(found.cFileName, &n) && n != "." && n != "..") names.push_back(std::move(n));
  } while (FindNextFileW(f, &found));
  FindClose(f);
  return names;
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessEnded(long pid) {
  HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (p == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  const bool ended = WaitForSingleObject(p, 0) == WAIT_OBJECT_0;
  CloseHandle(p);
  return ended;
}

std::string OwnFolder() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  std::string path;
  if (n == 0 || n >= buf.size() || !NarrowName(buf.substr(0, n), &path)) return ".";
  std::replace(path.begin(), path.end(), '\\', '/');
  return path.substr(0, path.rfind('/'));
}

// The wide command line, so that a site folder named outside the ANSI code page arrives
// whole.
std::vector<std::string> Arguments(int argc, char** argv) {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  std::vector<std::string> args;
  if (wide == nullptr || n != argc) {
    if (wide) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  for (int i = 0; i < n; ++i) {
    std::string a;
    if (!NarrowName(wide[i], &a)) a = argv[i];
    args.push_back(std::move(a));
  }
  LocalFree(wide);
  return args;
}

uint64_t RaiseOpenLimit() { return 0; }  // sockets have no such limit here

void IgnoreBrokenPipes() {}  // a closed connection is a failed send, never a signal

// ReadDirectoryChangesW on both folders, in a thread of its own that hands each name to
// the event loop.
struct FolderWatch::Impl {
  struct Shared {
    std::function<void(bool, std::string_view)> changed;
    std::function<void()> overflow;
    std::atomic<bool> stopped{false};
  };
  Impl(boost::asio::io_context& io, std::function<void(bool, std::string_view)> c,
       std::function<void()> o)
      : io(io), shared(std::make_shared<Shared>()) {
    shared->changed = std::move(c);
    shared->overflow = std::move(o);
  }
  ~Impl() {
    shared->stopped = true;
    if (stop) SetEvent(stop);
    if (thread.joinable()) thread.join();
    for (int i = 0; i < 2; ++i) {
      if (folders[i] == INVALID_HANDLE_VALUE) continue;
      // The system writes into the buffer until the read is over: end it, and wait.
      DWORD n = 0;
      if (armed[i] && CancelIoEx(folders[i], &overlapped[i]))
        GetOverlappedResult(folders[i], &overlapped[i], &n, TRUE);
      CloseHandle(folders[i]);
    }
    for (HANDLE h : {events[0], events[1], stop})
      if (h) CloseHandle(h);
  }

  bool Arm(int i) {
    ZeroMemory(&overlapped[i], sizeof overlapped[i]);
    overlapped[i].hEvent = events[i];
    const DWORD filter = i == 0 ? FILE_NOTIFY_CHANGE_FILE_NAME
                                : FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
    armed[i] =
        ReadDirectoryChangesW(folders[i], buffers[i].data(), static_cast<DWORD>(buffers[i].size()),
                              FALSE, filter, nullptr, &overlapped[i], nullptr) != 0;
    return armed[i];
  }

  // Folder 0 is in/ (names that went), folder 1 is out/ (names that came).
  void Run() {
    for (;;) {
      HANDLE wait[3] = {stop, events[0], events[1]};
      const DWORD r = WaitForMultipleObjects(3, wait, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) break;
      const int i = static_cast<int>(r - WAIT_OBJECT_0 - 1);
      DWORD bytes = 0;
      const bool read = GetOverlappedResult(folders[i], &overlapped[i], &bytes, FALSE);
      armed[i] = false;
      if (!read) break;
      std::vector<std::string> names;
      bool lost = bytes == 0;  // the system's buffer ran over
      for (DWORD at = 0; !lost && at < bytes;) {
        auto* e = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffers[i].data() + at);
        const bool wanted =
            i == 0 ? e->Action == FILE_ACTION_REMOVED || e->Action == FILE_ACTION_RENAMED_OLD_NAME
                   : e->Action == FILE_ACTION_ADDED || e->Action == FILE_ACTION_RENAMED_NEW_NAME ||
                         e->Action == FILE_ACTION_MODIFIED;
        std::string name;
        if (wanted &&
            NarrowName(std::wstring_view(e->FileName, e->FileNameLength / sizeof(wchar_t)), &name))
          names.push_back(std::move(name));
        if (e->NextEntryOffset == 0) break;
        at += e->NextEntryOffset;
      }
      const bool rearmed = Arm(i);
      boost::asio::post(
          io, [s = shared, in = i == 0, names = std::move(names), lost = lost || !rearmed] {
            if (s->stopped) return;
            if (lost) s->overflow();
            for (const std::string& n : names) s->changed(in, n);
          });
      if (!rearmed) break;
    }
    running = false;  // the quick poll carries on alone
  }

  boost::asio::io_context& io;
  std::shared_ptr<Shared> shared;
  HANDLE folders[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HANDLE events[2] = {nullptr, nullptr};
  HANDLE stop = nullptr;
  OVERLAPPED overlapped[2] = {};
  bool armed[2] = {false, false};  // a read of the folder is under way
  std::vector<char> buffers[2] = {std::vector<char>(64 * 1024), std::vector<char>(64 * 1024)};
  std::thread thread;
  std::atomic<bool> running{false};
};

FolderWatch::FolderWatch(boost::asio::io_context& io,
                         std::function<void(bool, std::string_view)> changed,
                         std::function<void()> overflow)
    : impl_(std::make_unique<Impl>(io, std::move(changed), std::move(overflow))) {}

FolderWatch::~FolderWatch() = default;

bool FolderWatch::Start(const std::string& in, const std::string& out) {
  Impl& w = *impl_;
  int i = 0;
  for (const std::string* folder : {&in, &out}) {
    w.folders[i] =
        CreateFileW(WidePath(*folder).c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    w.events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (w.folders[i] == INVALID_HANDLE_VALUE || w.events[i] == nullptr || !w.Arm(i)) return false;
    ++i;
  }
  w.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (w.stop == nullptr) return false;
  w.running = true;
  w.thread = std::thread([&w] { w.Run(); });
  return true;
}

bool FolderWatch::running() const { return impl_->running; }

}  // namespace guichet::web::os
