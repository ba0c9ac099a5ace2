// The plain loops, each written for both systems one beside the other: raw POSIX calls
// on descriptors, raw Win32 calls on handles. Both versions do the same calls in the same
// order; the paths are made before or during the loop in the same way.
#include "support/baselines.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include "platform/win_text.h"
#include "support/text.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace guichet::bench {

namespace {

const char kErrorPage[] =
    "<HTML><HEAD><TITLE>Erreur</TITLE></HEAD><BODY><DL><DD>Erreur de syntaxe ()</DD></DL>"
    "</BODY></HTML>\r\n";

#ifdef _WIN32
// Writes `size` bytes into a new file; the least a write of a whole small file needs.
void WriteNew(const std::wstring& path, DWORD disposition, const char* data, DWORD size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (!WriteFile(h, data, size, &written, nullptr)) std::fprintf(stderr, "WriteFile failed\n");
  CloseHandle(h);
}
#endif

}  // namespace

// ---------------------------------------------------------------------------------------
// The drain: stat the marker, open and read the request, write the answer, write the
// marker under a temporary name and rename it.

#ifdef _WIN32
int PlainDrain(const std::string& in_text, const std::string& out_text, int n) {
  const std::wstring in = WidePath(in_text), out = WidePath(out_text);
  char buf[4096];
  int answered = 0;
  for (int i = n - 1; i >= 0; --i) {
    const std::wstring base = L"r" + std::to_wstring(i);
    const std::wstring rdy = out + L"\\" + base + L".rdy";
    WIN32_FILE_ATTRIBUTE_DATA st;
    if (GetFileAttributesExW(rdy.c_str(), GetFileExInfoStandard, &st)) continue;  // answered
    const std::wstring req = in + L"\\" + base + L".req";
    HANDLE h = CreateFileW(req.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DWORD r = 0;
    if (!ReadFile(h, buf, sizeof buf, &r, nullptr)) r = 0;
    CloseHandle(h);
    if (r == 0) continue;
    WriteNew(out + L"\\" + base + L".htm", CREATE_ALWAYS, kErrorPage, sizeof kErrorPage - 1);
    const std::wstring tmp = out + L"\\~" + base + L".rdy.1.1";
    WriteNew(tmp, CREATE_NEW, "0\r\n", 3);
    MoveFileExW(tmp.c_str(), rdy.c_str(), MOVEFILE_REPLACE_EXISTING);
    ++answered;
  }
  return answered;
}
#else
int PlainDrain(const std::string& in, const std::string& out, int n) {
  char buf[4096];
  int answered = 0;
  for (int i = n - 1; i >= 0; --i) {
    const std::string base = "r" + std::to_string(i);
    const std::string rdy = out + "/" + base + ".rdy";
    struct stat st;
    if (stat(rdy.c_str(), &st) == 0) continue;  // answered already
    const std::string req = in + "/" + base + ".req";
    int fd = open(req.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    ssize_t r = read(fd, buf, sizeof buf);
    close(fd);
    if (r <= 0) continue;
    const std::string htm = out + "/" + base + ".htm";
    fd = open(htm.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (write(fd, kErrorPage, sizeof kErrorPage - 1) < 0) std::perror("write");
    close(fd);
    const std::string tmp = out + "/~" + base + ".rdy.1.1";
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (write(fd, "0\r\n", 3) < 0) std::perror("write");
    close(fd);
    rename(tmp.c_str(), rdy.c_str());
    ++answered;
  }
  return answered;
}
#endif

// ---------------------------------------------------------------------------------------
// The pickup: list in/, then each request as in the drain.

#ifdef _WIN32
void PlainPickup(const std::string& in_text, const std::string& out_text) {
  const std::wstring in = WidePath(in_text), out = WidePath(out_text);
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE d = FindFirstFileW((in + L"\\*").c_str(), &found);
  if (d != INVALID_HANDLE_VALUE) {
    do {
      if (found.cFileName[0] != L'.') names.emplace_back(found.cFileName);
    } while (FindNextFileW(d, &found));
    FindClose(d);
  }
  std::string page(200, 'x');
  char buf[4096];
  for (const std::wstring& name : names) {
    std::wstring base = name.substr(0, name.size() - 4);
    std::wstring rdy = out + L"\\" + base + L".rdy", req = in + L"\\" + name;
    WIN32_FILE_ATTRIBUTE_DATA st;
    if (GetFileAttributesExW(rdy.c_str(), GetFileExInfoStandard, &st)) continue;
    HANDLE h = CreateFileW(req.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DWORD r = 0;
    if (!ReadFile(h, buf, sizeof buf, &r, nullptr)) std::fprintf(stderr, "ReadFile failed\n");
    CloseHandle(h);
    std::wstring htm = out + L"\\" + base + L".htm", tmp = out + L"\\~" + base + L".rdy.1";
    WriteNew(htm, CREATE_ALWAYS, page.data(), static_cast<DWORD>(page.size()));
    WriteNew(tmp, CREATE_NEW, "0\r\n", 3);
    MoveFileExW(tmp.c_str(), rdy.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
}
#else
void PlainPickup(const std::string& in, const std::string& out) {
  std::vector<std::string> names;
  if (DIR* d = opendir(in.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(d);
  }
  std::string page(200, 'x');
  char buf[4096];
  for (const std::string& name : names) {
    std::string base = name.substr(0, name.size() - 4);
    std::string rdy = out + "/" + base + ".rdy", req = in + "/" + name;
    struct stat st;
    if (stat(rdy.c_str(), &st) == 0) continue;
    int fd = open(req.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (read(fd, buf, sizeof buf) < 0) std::perror("read");
    close(fd);
    std::string htm = out + "/" + base + ".htm", tmp = out + "/~" + base + ".rdy.1";
    fd = open(htm.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (write(fd, page.data(), page.size()) < 0) std::perror("write");
    close(fd);
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (write(fd, "0\r\n", 3) < 0) std::perror("write");
    close(fd);
    rename(tmp.c_str(), rdy.c_str());
  }
}
#endif

// ---------------------------------------------------------------------------------------
// The upload: read each piece file, write its bytes at their offset, delete its files.

#ifdef _WIN32
void PlainUploadBatch(const std::string& post_text, const std::string& target, const char* doc,
                      int64_t first, int64_t count, int64_t piece, std::vector<char>& buf) {
  const std::wstring post = WidePath(post_text);
  HANDLE out = CreateFileW(WidePath(target).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  for (int64_t i = first; i < first + count; ++i) {
    const std::wstring name = post + L"\\" + std::to_wstring(100000 + i);
    const std::wstring txt = name + L".txt", rdy = name + L".rdy";
    HANDLE in = CreateFileW(txt.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD r = 0;
    while (in != INVALID_HANDLE_VALUE &&
           ReadFile(in, buf.data(), static_cast<DWORD>(buf.size()), &r, nullptr) && r > 0) {
    }
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    // The offset in the OVERLAPPED of a synchronous handle: a positioned write, as pwrite.
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(i * piece);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(i * piece) >> 32);
    DWORD written = 0;
    if (!WriteFile(out, doc + i * piece, static_cast<DWORD>(piece), &written, &at) ||
        written != piece)
      std::fprintf(stderr, "WriteFile failed\n");
    DeleteFileW(txt.c_str());
    DeleteFileW(rdy.c_str());
  }
  CloseHandle(out);
}
#else
void PlainUploadBatch(const std::string& post, const std::string& target, const char* doc,
                      int64_t first, int64_t count, int64_t piece, std::vector<char>& buf) {
  int out = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  for (int64_t i = first; i < first + count; ++i) {
    const std::string name = post + "/" + std::to_string(100000 + i);
    const std::string txt = name + ".txt", rdy = name + ".rdy";
    int in = open(txt.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    ssize_t r = 0;
    while (in >= 0 && (r = read(in, buf.data(), buf.size())) > 0) {
    }
    if (in >= 0) close(in);
    if (pwrite(out, doc + i * piece, piece, i * piece) != piece) std::perror("pwrite");
    unlink(txt.c_str());
    unlink(rdy.c_str());
  }
  close(out);
}
#endif

// ---------------------------------------------------------------------------------------
// The idle tick: has either folder changed?

#ifdef _WIN32
void PlainFolderChecks(const std::string& a_text, const std::string& b_text, int n) {
  const std::wstring a = WidePath(a_text), b = WidePath(b_text);
  WIN32_FILE_ATTRIBUTE_DATA st;
  for (int i = 0; i < n; ++i) {
    GetFileAttributesExW(a.c_str(), GetFileExInfoStandard, &st);
    GetFileAttributesExW(b.c_str(), GetFileExInfoStandard, &st);
  }
}
#else
void PlainFolderChecks(const std::string& a, const std::string& b, int n) {
  struct stat st;
  for (int i = 0; i < n; ++i) {
    stat(a.c_str(), &st);
    stat(b.c_str(), &st);
  }
}
#endif

}  // namespace guichet::bench
