#include "support_lib/process.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "platform/win_text.h"
#include "support/text.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

namespace guichet::test {

#ifdef _WIN32

const char kExecutableSuffix[] = ".exe";

namespace {

std::wstring Wide(const std::string& text) {
  std::u16string u = ToUtf16(text);
  return std::wstring(u.begin(), u.end());
}

BOOL CALLBACK CloseIfOwned(HWND window, LPARAM pid) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(pid)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (handle_ != nullptr) {
    Kill();
  }
}

bool ChildProcess::Start(const std::string& exe, const std::vector<std::string>& args,
                         const std::string& err_file, int /*open_files*/) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null =
      CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE err = null;
  if (!err_file.empty())
    err = CreateFileW(WidePath(err_file).c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::wstring program = WidePath(exe);
  std::wstring command = QuoteArgument(program);
  for (const std::string& a : args) command += L" " + QuoteArgument(Wide(a));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null;
  startup.hStdOutput = null;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  BOOL ok = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                           CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                           &process);
  if (err != null && err != INVALID_HANDLE_VALUE) CloseHandle(err);
  if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
  if (!ok) return false;
  CloseHandle(process.hThread);
  handle_ = process.hProcess;
  id_ = process.dwProcessId;
  return true;
}

int ChildProcess::Wait(int timeout_ms) {
  if (handle_ == nullptr) return -1;
  if (WaitForSingleObject(handle_, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
    Kill();
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(handle_, &code);
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
  return static_cast<int>(code);
}

bool ChildProcess::Running() {
  if (handle_ == nullptr) return false;
  if (WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT) return true;
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
  return false;
}

void ChildProcess::AskToClose() {
  if (handle_ == nullptr) return;
  // Its top-level windows, and the hidden message-only window of a program without one.
  EnumWindows(CloseIfOwned, static_cast<LPARAM>(id_));
  for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w != nullptr;
       w = FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr))
    CloseIfOwned(w, static_cast<LPARAM>(id_));
}

void ChildProcess::Kill() {
  if (handle_ == nullptr) return;
  TerminateProcess(handle_, 137);
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
}

#else

const char kExecutableSuffix[] = "";

ChildProcess::~ChildProcess() {
  if (id_ > 0) Kill();
}

bool ChildProcess::Start(const std::string& exe, const std::vector<std::string>& args,
                         const std::string& err_file, int open_files) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (open_files > 0) {
      struct rlimit lim = {static_cast<rlim_t>(open_files), static_cast<rlim_t>(open_files)};
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    int err = err_file.empty() ? null : open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    // Only the standard streams reach the program.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    unsetenv("DISPLAY");
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  if (pid < 0) return false;
  id_ = pid;
  return true;
}

int ChildProcess::Wait(int timeout_ms) {
  if (id_ <= 0) return -1;
  const pid_t pid = static_cast<pid_t>(id_);
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      id_ = 0;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Kill();
  return -1;
}

bool ChildProcess::Running() {
  if (id_ <= 0) return false;
  int status;
  if (waitpid(static_cast<pid_t>(id_), &status, WNOHANG) == id_) {
    id_ = 0;
    return false;
  }
  return true;
}

void ChildProcess::AskToClose() {
  if (id_ > 0) kill(static_cast<pid_t>(id_), SIGTERM);
}

void ChildProcess::Kill() {
  if (id_ <= 0) return;
  kill(static_cast<pid_t>(id_), SIGKILL);
  waitpid(static_cast<pid_t>(id_), nullptr, 0);
  id_ = 0;
}

#endif

}  // namespace guichet::test
