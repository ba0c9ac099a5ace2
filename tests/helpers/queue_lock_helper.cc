// Another program sharing the move queue with Guichet on Windows, for the tests (see
// support_lib/queue_lock.h). It locks the whole file with LockFileEx, as Guichet does:
//   queue_lock_helper hold PATH EVENTS LIMIT_MS
//     takes the lock, signals EVENTS-locked, and holds it until EVENTS-release is
//     signalled (exit 0) or LIMIT_MS have passed (exit 3);
//   queue_lock_helper append PATH EVENTS LINE
//     tries the lock; when someone holds it, signals EVENTS-waiting and waits for it;
//     then appends LINE at the end (exit 0).
// PATH and LINE are Windows-1252; exit 2 when the file cannot be opened or locked.
#include <windows.h>
// windows.h first: shellapi.h uses its types.
#include <shellapi.h>

#include <string>
#include <vector>

#include "support/text.h"

namespace {

HANDLE Event(const std::wstring& name) {
  return OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str());
}

bool Lock(HANDLE file, bool wait) {
  OVERLAPPED from = {};
  DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  return LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &from) != 0;
}

}  // namespace

int main() {
  // The wide command line: the ANSI one would lose what the code page cannot hold.
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (wargv == nullptr || argc != 5) return 64;
  std::vector<std::wstring> argv(wargv, wargv + argc);
  const std::wstring mode = argv[1], events = argv[3];
  std::wstring path = argv[2];
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  if (mode == L"hold") {
    if (!Lock(file, true)) return 2;
    SetEvent(Event(events + L"-locked"));
    DWORD r = WaitForSingleObject(Event(events + L"-release"), std::stoul(argv[4]));
    return r == WAIT_OBJECT_0 ? 0 : 3;  // ending lets go of the lock
  }
  if (mode == L"append") {
    if (!Lock(file, false)) {
      SetEvent(Event(events + L"-waiting"));
      if (!Lock(file, true)) return 2;
    }
    LARGE_INTEGER zero = {};
    std::string line;
    if (!guichet::FromUtf16(std::u16string(argv[4].begin(), argv[4].end()), &line)) return 64;
    DWORD n = 0;
    if (!SetFilePointerEx(file, zero, nullptr, FILE_END) ||
        !WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &n, nullptr) ||
        n != line.size())
      return 4;
    return 0;
  }
  return 64;
}
