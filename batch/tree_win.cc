// The Tree on Windows. Each open folder keeps a handle, opened without following a
// reparse point (a symbolic link or a junction) and without sharing deletion, so the
// folder cannot be renamed or swapped for a junction while the run holds it; entries
// are then named by path below it and checked for reparse points before use.
#include <windows.h>

#include <string>

#include "support/text.h"
#include "tree.h"

namespace guichet::batch {
namespace {

std::wstring Wide(const std::string& cp1252) {
  std::u16string u = ToUtf16(cp1252);
  return std::wstring(u.begin(), u.end());
}

class WinFolder : public Folder {
 public:
  WinFolder(HANDLE h, std::wstring path) : handle(h), path(std::move(path)) {}
  ~WinFolder() override { CloseHandle(handle); }
  std::wstring Child(const std::string& name) const { return path + L"\\" + Wide(name); }
  HANDLE handle;
  std::wstring path;
};

WinFolder& W32(Folder& f) { return static_cast<WinFolder&>(f); }

TreeStatus FromError(DWORD err, const std::string& what) {
  TreeStatus s;
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      s.code = TreeStatus::kMissing;
      break;
    case ERROR_NOT_SAME_DEVICE:
      s.code = TreeStatus::kCrossDevice;
      break;
    case ERROR_DIRECTORY:
      s.code = TreeStatus::kNotFolder;
      break;
    default:
      s.code = TreeStatus::kFailed;
  }
  s.text = what + ": Windows error " + std::to_string(err);
  return s;
}

EntryKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

// Opens a folder by path; `follow` for the site's root only.
TreeStatus OpenDir(const std::wstring& path, bool follow, const std::string& what,
                   std::unique_ptr<Folder>* out) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h =
      CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError(), what);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    TreeStatus s = FromError(GetLastError(), what);
    CloseHandle(h);
    return s;
  }
  EntryKind kind = KindOf(info.dwFileAttributes);
  if (kind != EntryKind::kFolder) {
    CloseHandle(h);
    if (kind == EntryKind::kLink) return {TreeStatus::kLink, what + ": a link"};
    return {TreeStatus::kNotFolder, what + ": not a folder"};
  }
  *out = std::make_unique<WinFolder>(h, path);
  return {};
}

// Opens a regular file for reading without following a reparse point.
TreeStatus OpenFile(const std::wstring& path, const std::string& what, HANDLE* out,
                    BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError(), what);
  if (!GetFileInformationByHandle(h, info)) {
    TreeStatus s = FromError(GetLastError(), what);
    CloseHandle(h);
    return s;
  }
  EntryKind kind = KindOf(info->dwFileAttributes);
  if (kind != EntryKind::kFile || GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    if (kind == EntryKind::kLink) return {TreeStatus::kLink, what + ": a link"};
    return {TreeStatus::kNotFile, what + ": not a regular file"};
  }
  *out = h;
  return {};
}

class WinTree : public Tree {
 public:
  TreeStatus OpenRoot(const std::string& path, std::unique_ptr<Folder>* out) override {
    std::wstring w = Wide(path);
    for (wchar_t& c : w)
      if (c == L'/') c = L'\\';
    while (w.size() > 3 && w.back() == L'\\') w.pop_back();
    return OpenDir(w, true, path, out);
  }

  TreeStatus List(Folder& dir, std::vector<Entry>* entries) override {
    WIN32_FIND_DATAW fd;
    const std::wstring pattern = W32(dir).path + L"\\*";
    HANDLE h =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      return e == ERROR_FILE_NOT_FOUND ? TreeStatus{} : FromError(e, "listing");
    }
    do {
      std::wstring w = fd.cFileName;
      if (w == L"." || w == L"..") continue;
      std::string name;
      // A name Windows-1252 cannot spell cannot be named by a batch file either.
      if (!FromUtf16(std::u16string(w.begin(), w.end()), &name)) continue;
      entries->push_back({name, KindOf(fd.dwFileAttributes)});
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return {};
  }

  // Windows finds a name in any case; only the exact spelling answers here, so the
  // runner looks up the real spelling of the others as it does on Linux.
  TreeStatus Kind(Folder& dir, const std::string& name, EntryKind* kind) override {
    if (name.find_first_of("*?") != std::string::npos) return {TreeStatus::kMissing, name};
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW(W32(dir).Child(name).c_str(), FindExInfoBasic, &fd,
                                FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError(), name);
    FindClose(h);
    if (std::wstring(fd.cFileName) != Wide(name)) return {TreeStatus::kMissing, name};
    *kind = KindOf(fd.dwFileAttributes);
    return {};
  }

  TreeStatus OpenFolder(Folder& dir, const std::string& name,
                        std::unique_ptr<Folder>* out) override {
    return OpenDir(W32(dir).Child(name), false, name, out);
  }

  TreeStatus ReadFile(Folder& dir, const std::string& name, size_t max,
                      std::string* data) override {
    HANDLE h;
    BY_HANDLE_FILE_INFORMATION info;
    if (TreeStatus s = OpenFile(W32(dir).Child(name), name, &h, &info); !s.ok()) return s;
    const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    TreeStatus s;
    if (size > max) {
      s = {TreeStatus::kTooLarge, name + ": too large"};
    } else {
      data->assign(static_cast<size_t>(size), '\0');
      DWORD got = 0;
      if (size > 0 &&
          (!::ReadFile(h, data->data(), static_cast<DWORD>(size), &got, nullptr) || got != size))
        s = FromError(GetLastError(), name);
    }
    CloseHandle(h);
    return s;
  }

  TreeStatus MakeFolder(Folder& dir, const std::string& name) override {
    if (!CreateDirectoryW(W32(dir).Child(name).c_str(), nullptr))
      return FromError(GetLastError(), name);
    return {};
  }

  TreeStatus Rename(Folder& from, const std::string& name, Folder& to,
                    const std::string& target) override {
    if (!MoveFileExW(W32(from).Child(name).c_str(), W32(to).Child(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return FromError(GetLastError(), name);
    return {};
  }

  TreeStatus CopyFlushed(Folder& from, const std::string& name, Folder& to,
                         const std::string& target) override {
    HANDLE in;
    BY_HANDLE_FILE_INFORMATION info;
    if (TreeStatus s = OpenFile(W32(from).Child(name), name, &in, &info); !s.ok()) return s;
    const std::wstring out_path = W32(to).Child(target);
    if (!DeleteFileW(out_path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      TreeStatus s = FromError(GetLastError(), target);
      CloseHandle(in);
      return s;
    }
    HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
      TreeStatus s = FromError(GetLastError(), target);
      CloseHandle(in);
      return s;
    }
    TreeStatus s;
    static char buf[65536];
    for (;;) {
      DWORD got = 0, put = 0;
      if (!::ReadFile(in, buf, sizeof buf, &got, nullptr)) {
        s = FromError(GetLastError(), name);
        break;
      }
      if (got == 0) break;
      if (!WriteFile(out, buf, got, &put, nullptr) || put != got) {
        s = FromError(GetLastError(), target);
        break;
      }
    }
    if (s.ok() && !SetFileTime(out, nullptr, nullptr, &info.ftLastWriteTime))
      s = FromError(GetLastError(), target);
    if (s.ok() && !FlushFileBuffers(out)) s = FromError(GetLastError(), target);
    CloseHandle(out);
    CloseHandle(in);
    if (!s.ok()) DeleteFileW(out_path.c_str());
    return s;
  }

  TreeStatus Delete(Folder& dir, const std::string& name) override {
    if (!DeleteFileW(W32(dir).Child(name).c_str())) return FromError(GetLastError(), name);
    return {};
  }

  // NTFS journals its folders' entries; MOVEFILE_WRITE_THROUGH waits for each rename.
  TreeStatus Sync(Folder&) override { return {}; }
};

}  // namespace

std::unique_ptr<Tree> RealTree() { return std::make_unique<WinTree>(); }

}  // namespace guichet::batch
