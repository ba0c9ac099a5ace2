// make_windows: puts windows of given titles and classes on the desktop, for the tests
// of the window search on Windows (under wine with a display).
//
//   make_windows READY_EVENT WINDOW...
//
// WINDOW is "title|class[|option,...]", read from the wide command line. Options:
//   depth=N   the window lies N levels down inside a plain top-level window (no title, a
//             class of its own), each level one child window inside the next
//   hidden    the window is made but never shown
// It signals the named event READY_EVENT once every window exists, then runs until one
// of its top-level windows gets WM_CLOSE or the process is ended.
#include <windows.h>
// windows.h first: shellapi.h uses its types.
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> Split(const std::wstring& s, wchar_t sep) {
  std::vector<std::wstring> out(1);
  for (wchar_t c : s) {
    if (c == sep)
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

LRESULT CALLBACK Proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_CLOSE) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(w, message, wp, lp);
}

void Register(const std::wstring& cls) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = cls.c_str();
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassW(&wc);  // fails harmlessly when the class exists already
}

bool Make(const std::wstring& wanted) {
  std::vector<std::wstring> parts = Split(wanted, L'|');
  if (parts.size() < 2) return false;
  const std::wstring title = parts[0], cls = parts[1];
  int depth = 0;
  bool hidden = false;
  if (parts.size() > 2)
    for (const std::wstring& option : Split(parts[2], L',')) {
      if (option.rfind(L"depth=", 0) == 0) depth = std::stoi(option.substr(6));
      if (option == L"hidden") hidden = true;
    }
  const DWORD shown = hidden ? 0 : WS_VISIBLE;
  HWND parent = nullptr;
  if (depth > 0) {
    Register(L"PlainContainer");
    parent = CreateWindowExW(0, L"PlainContainer", L"", WS_OVERLAPPEDWINDOW | shown, 10, 10, 300,
                             200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    for (int level = 1; parent != nullptr && level < depth; ++level)
      parent = CreateWindowExW(0, L"PlainContainer", L"", WS_CHILD | WS_VISIBLE, 0, 0, 200, 100,
                               parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (parent == nullptr) return false;
  }
  Register(cls);
  HWND w = CreateWindowExW(0, cls.c_str(), title.c_str(),
                           (parent ? WS_CHILD : WS_OVERLAPPEDWINDOW) | shown, 20, 20, 150, 80,
                           parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  return w != nullptr;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2) return 64;
  for (int i = 2; i < argc; ++i)
    if (!Make(argv[i])) return 2;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
  if (ready != nullptr) SetEvent(ready);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
