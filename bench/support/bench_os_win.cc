// The benchmarks' system services on Windows: CreateProcessW and GetProcessTimes,
// ReadDirectoryChangesW, LockFileEx in a second copy of the benchmark.
#include <windows.h>
// windows.h first: shellapi.h uses its types.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/win_text.h"
#include "support/bench_os.h"
#include "support/text.h"

namespace guichet::bench {

const char kGuichetProgram[] = "guichet.exe";
const char kCodecLibrary[] = "Radiveve.dll";

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  if (!FromUtf16(std::u16string(text.begin(), text.end()), &out)) out.clear();
  return out;
}

double Seconds(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
}

// Starts `program` with `args`, standard input and output on the null device, standard
// error into `err` (the null device when null), output into `out` when not null.
bool Create(const std::wstring& program, const std::vector<std::wstring>& args,
            const std::wstring& cwd, HANDLE out, HANDLE err, PROCESS_INFORMATION* process) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null =
      CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);
  std::wstring command = QuoteArgument(program);
  for (const std::wstring& a : args) command += L" " + QuoteArgument(a);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null;
  startup.hStdOutput = out != nullptr ? out : null;
  startup.hStdError = err != nullptr ? err : null;
  BOOL ok = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                           CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr,
                           cwd.empty() ? nullptr : cwd.c_str(), &startup, process);
  if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
  if (ok) CloseHandle(process->hThread);
  return ok != FALSE;
}

BOOL CALLBACK CloseIfOwned(HWND window, LPARAM pid) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(pid)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

std::string BinaryDir() {
  // The build folder is a Linux path when the benchmark runs under wine, whose drive Z:
  // is the Linux root.
  std::string dir = GUICHET_BINARY_DIR;
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
  return dir;
}

std::string SelfFolder() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return Narrow(path.substr(0, path.find_last_of(L"\\/")));
}

std::string TempBase() {
  wchar_t path[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, path);
  std::wstring w(path, n);
  while (!w.empty() && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
  return Narrow(w);
}

std::string InMemoryOrTemp() { return TempBase(); }

std::vector<std::string> DefaultFolders() { return {TempBase()}; }

std::string MakeTempFolder(const std::string& base, const std::string& prefix) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = base + "\\" + prefix;
    for (int i = 0; i < 6; ++i) name += letters[random() % (sizeof letters - 1)];
    if (CreateDirectoryW(WidePath(name).c_str(), nullptr)) return name;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  std::fprintf(stderr, "cannot make a folder in %s\n", base.c_str());
  std::exit(1);
}

std::string FileSystemKind(const std::string& folder) {
  wchar_t root[MAX_PATH + 1] = {}, name[MAX_PATH + 1] = {};
  if (GetVolumePathNameW(WidePath(folder).c_str(), root, MAX_PATH + 1) &&
      GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
    return Narrow(name);
  return "disk";
}

std::string LoadNote() { return "load unknown"; }

void PutFile(const std::string& path, const std::string& data) {
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (h == INVALID_HANDLE_VALUE ||
      !WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
      written != data.size()) {
    std::fprintf(stderr, "%s: cannot write (error %lu)\n", path.c_str(), GetLastError());
    std::exit(1);
  }
  CloseHandle(h);
}

void FlushFileSystems() {}

void OwnCpu(double* user, double* system) {
  FILETIME created, ended, kernel, usr;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &usr);
  *user = Seconds(usr);
  *system = Seconds(kernel);
}

int RunCommand(const std::string& command) { return std::system((command + " >NUL 2>&1").c_str()); }

bool HaveTool(const std::string& name) {
  wchar_t found[MAX_PATH + 1];
  return SearchPathW(nullptr, WidePath(name).c_str(), L".exe", MAX_PATH + 1, found, nullptr) != 0;
}

// ---------------------------------------------------------------------------------------
// Program

Program::~Program() {
  if (handle_ != nullptr) {
    TerminateProcess(handle_, 137);
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
  }
}

bool Program::Start(const std::string& exe, const std::vector<std::string>& args,
                    const std::string& cwd, const std::string& err_file,
                    const std::string& strace_out) {
  if (!strace_out.empty()) {
    std::fprintf(stderr, "strace is for Linux\n");
    return false;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE err = nullptr;
  if (!err_file.empty())
    err = CreateFileW(WidePath(err_file).c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<std::wstring> wide_args;
  for (const std::string& a : args) wide_args.push_back(WidePath(a));
  PROCESS_INFORMATION process = {};
  const bool ok = Create(WidePath(exe), wide_args, cwd.empty() ? L"" : WidePath(cwd), nullptr,
                         err == INVALID_HANDLE_VALUE ? nullptr : err, &process);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) CloseHandle(err);
  if (!ok) return false;
  handle_ = process.hProcess;
  id_ = process.dwProcessId;
  return true;
}

double Program::CpuSeconds() const {
  FILETIME created, ended, kernel, user;
  if (handle_ == nullptr || !GetProcessTimes(handle_, &created, &ended, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
}

double Program::Stop(int* exit_code) {
  if (exit_code != nullptr) *exit_code = -1;
  if (handle_ == nullptr) return 0;
  // Its top-level windows, and the hidden message-only window of a program without one;
  // killed when it has not closed within half a minute.
  EnumWindows(CloseIfOwned, static_cast<LPARAM>(id_));
  for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w != nullptr;
       w = FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr))
    CloseIfOwned(w, static_cast<LPARAM>(id_));
  if (WaitForSingleObject(handle_, 30000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "the program did not close; killed\n");
    TerminateProcess(handle_, 137);
    WaitForSingleObject(handle_, INFINITE);
  }
  const double cpu = CpuSeconds();
  DWORD code = 0;
  if (exit_code != nullptr && GetExitCodeProcess(handle_, &code))
    *exit_code = static_cast<int>(code);
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
  return cpu;
}

// ---------------------------------------------------------------------------------------
// ArrivalWatch

namespace {

bool Arm(HANDLE dir, std::vector<uint64_t>& buffer, OVERLAPPED* overlapped) {
  ResetEvent(overlapped->hEvent);
  return ReadDirectoryChangesW(dir, buffer.data(), static_cast<DWORD>(buffer.size() * 8), FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, overlapped, nullptr) != 0;
}

}  // namespace

ArrivalWatch::ArrivalWatch(const std::string& folder, const std::string& suffix)
    : suffix_(suffix), buffer_((1 << 16) / sizeof(uint64_t)) {
  dir_ = CreateFileW(WidePath(folder).c_str(), FILE_LIST_DIRECTORY,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto* overlapped = new OVERLAPPED{};
  overlapped->hEvent = event_;
  overlapped_ = overlapped;
  if (dir_ != INVALID_HANDLE_VALUE && !Arm(dir_, buffer_, overlapped)) {
    CloseHandle(dir_);
    dir_ = INVALID_HANDLE_VALUE;
  }
}

ArrivalWatch::~ArrivalWatch() {
  auto* overlapped = static_cast<OVERLAPPED*>(overlapped_);
  if (dir_ != INVALID_HANDLE_VALUE) {
    CancelIoEx(dir_, overlapped);
    DWORD bytes;
    GetOverlappedResult(dir_, overlapped, &bytes, TRUE);
    CloseHandle(dir_);
  }
  CloseHandle(event_);
  delete overlapped;
}

int ArrivalWatch::Wait(int timeout_ms, bool* lost) {
  if (dir_ == INVALID_HANDLE_VALUE) return -2;
  auto* overlapped = static_cast<OVERLAPPED*>(overlapped_);
  if (WaitForSingleObject(event_, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return -1;
  DWORD bytes = 0;
  if (!GetOverlappedResult(dir_, overlapped, &bytes, FALSE)) {
    if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) return -2;
    bytes = 0;
  }
  int arrived = 0;
  // No bytes: more changed than the buffer holds.
  if (bytes == 0) *lost = true;
  const std::wstring suffix = WidePath(suffix_);
  const char* base = reinterpret_cast<const char*>(buffer_.data());
  for (DWORD at = 0; bytes != 0;) {
    const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + at);
    if (info->Action == FILE_ACTION_RENAMED_NEW_NAME || info->Action == FILE_ACTION_ADDED) {
      std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name.size() >= suffix.size() &&
          CompareStringOrdinal(name.c_str() + name.size() - suffix.size(),
                               static_cast<int>(suffix.size()), suffix.c_str(),
                               static_cast<int>(suffix.size()), TRUE) == CSTR_EQUAL)
        ++arrived;
    }
    if (info->NextEntryOffset == 0) break;
    at += info->NextEntryOffset;
  }
  if (!Arm(dir_, buffer_, overlapped)) return -2;
  return arrived;
}

// ---------------------------------------------------------------------------------------
// HeldLock: this program again, as "--hold-lock PATH SECONDS"; it says "L" on its output
// once it holds the lock.

bool HeldLock::Hold(const std::string& path, int seconds) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  PROCESS_INFORMATION process = {};
  const bool started = Create(self, {L"--hold-lock", WidePath(path), std::to_wstring(seconds)}, L"",
                              write_end, nullptr, &process);
  CloseHandle(write_end);
  char c = 0;
  DWORD got = 0;
  const bool held = started && ReadFile(read_end, &c, 1, &got, nullptr) && got == 1 && c == 'L';
  CloseHandle(read_end);
  if (started) {
    handle_ = process.hProcess;
    id_ = process.dwProcessId;
  }
  return held;
}

void HeldLock::Release() {
  if (handle_ == nullptr) return;
  TerminateProcess(handle_, 0);
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
}

int RunLockHolderIfAsked(int, char**) {
  // The wide command line: the ANSI one would lose what the code page cannot hold.
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 4 || std::wstring(argv[1]) != L"--hold-lock") return -1;
  HANDLE file = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED from = {};
  if (file == INVALID_HANDLE_VALUE ||
      !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from))
    return 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "L", 1, &written, nullptr);
  Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) * 1000);
  return 0;  // ending lets go of the lock
}

}  // namespace guichet::bench
