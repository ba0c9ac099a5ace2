// Headless views on Windows: the console status screen (when Guichet has a console) and
// the silent view, with Ctrl+C, Ctrl+Break and the console's closing as close requests.
// Without a console, a hidden message-only window of the class "GuichetClose" stands in
// for the console: WM_CLOSE posted to it is a close request, as SIGTERM is on Linux.
// They stand in for the window where none can be made.
#include <windows.h>
// windows.h first: conio.h uses its types.
#include <conio.h>
#include <io.h>
// The view's own name, not windows.h's macro for the wide-character call.
#undef MessageBox

#include <algorithm>
#include <atomic>
#include <deque>

#include "platform/frontend.h"
#include "platform/view.h"
#include "platform/window_win.h"
#include "support/text.h"

namespace guichet {
namespace {

std::atomic<bool> g_close_signal{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_close_signal = true;
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT CALLBACK CloseWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CLOSE || message == WM_QUERYENDSESSION) {
    g_close_signal = true;
    return message == WM_QUERYENDSESSION ? TRUE : 0;
  }
  return DefWindowProcW(window, message, w, l);
}

// Runs what was posted to the windows of this thread (the close window's WM_CLOSE).
void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void WriteTo(DWORD which, const std::string& utf8) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  DWORD n = 0;
  WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &n, nullptr);
}

class HeadlessView : public StatusView {
 public:
  void Show(FormEvents* events) override { events_ = events; }
  void SetCaption(const std::string& text) override { Change(caption_, text); }
  void SetLabel(Label label, const std::string& text) override {
    Change(labels_[static_cast<int>(label)], text);
  }
  void AddActivity(const std::string& line) override {
    activity_.push_back(line);
    if (activity_.size() > 1000) activity_.pop_front();
    dirty_ = true;
  }
  void ClearActivity() override {
    activity_.clear();
    dirty_ = true;
  }
  void MessageBox(const std::string& text) override {
    WriteTo(STD_ERROR_HANDLE, MessageLine(text) + "\n");
  }
  void Close() override {}
  void WakeOn(intptr_t handle) override {
    wake_ = handle == -1 ? nullptr : reinterpret_cast<HANDLE>(handle);
  }

 protected:
  void Change(std::string& field, const std::string& text) {
    if (field != text) field = text, dirty_ = true;
  }
  // Waits at most `ms` for a posted message or the wake handle; true for the handle.
  bool Wait(ULONGLONG ms) {
    const DWORD n = wake_ != nullptr ? 1 : 0;
    return MsgWaitForMultipleObjects(n, &wake_, FALSE, static_cast<DWORD>(ms), QS_ALLINPUT) ==
               WAIT_OBJECT_0 &&
           n == 1;
  }

  HANDLE wake_ = nullptr;
  FormEvents* events_ = nullptr;
  std::string caption_ = "Guichet";
  std::string labels_[4];
  std::deque<std::string> activity_;
  bool dirty_ = true;
};

class SilentView : public HeadlessView {
 public:
  void DoEvents() override { PumpMessages(); }
  bool WaitFor(int ms, const bool& stop) override {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::max(ms, 0));
    PumpMessages();
    while (!stop && !g_close_signal) {
      ULONGLONG now = GetTickCount64();
      if (now >= end) break;
      // Wakes at once for a posted message or the wake handle, otherwise every 50 ms.
      const bool woke = Wait(std::min<ULONGLONG>(end - now, 50));
      PumpMessages();
      if (woke) return true;
    }
    return false;
  }
  void Beep() override {}
};

class ConsoleView : public HeadlessView {
 public:
  ConsoleView() {
    // UTF-8 text and the terminal's escape sequences for clearing the screen.
    SetConsoleOutputCP(CP_UTF8);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }

  void DoEvents() override {
    PumpMessages();
    ReadKeys();
    Draw();
  }

  bool WaitFor(int ms, const bool& stop) override {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::max(ms, 0));
    Draw();
    while (!stop && !g_close_signal) {
      ULONGLONG now = GetTickCount64();
      if (now >= end) break;
      const bool woke = Wait(std::min<ULONGLONG>(end - now, 100));
      PumpMessages();
      ReadKeys();
      Draw();
      if (woke) return true;
    }
    return false;
  }

  void Beep() override { MessageBeep(MB_OK); }

  void Close() override { WriteTo(STD_OUTPUT_HANDLE, "\n"); }

 private:
  void ReadKeys() {
    while (_kbhit() && events_ != nullptr) {
      int c = _getch();
      if (c == 'q' || c == 'Q') events_->cmdStop_Click();
      if (c == 'c' || c == 'C') events_->cmdClear_Click();
    }
  }

  void Draw() {
    if (!dirty_) return;
    dirty_ = false;
    std::string s = "\x1b[H\x1b[2J";
    s += ToUtf8(caption_) + "   [q] Quitter  [c] Clear\n";
    s += "POST & GET traités/handled : " + ToUtf8(labels_[0]) + "\n";
    std::string progress = labels_[1].empty() ? W("Fichiers reçus/Received files :") : labels_[1];
    s += ToUtf8(progress) + " " + ToUtf8(labels_[2]) + "  " + ToUtf8(labels_[3]) + "\n";
    s += "----\n";
    size_t first = activity_.size() > 20 ? activity_.size() - 20 : 0;
    for (size_t i = first; i < activity_.size(); ++i) s += ToUtf8(activity_[i]) + "\n";
    WriteTo(STD_OUTPUT_HANDLE, s);
  }
};

}  // namespace

std::unique_ptr<StatusView> MakeConsoleView() { return std::make_unique<ConsoleView>(); }
std::unique_ptr<StatusView> MakeSilentView() { return std::make_unique<SilentView>(); }

void InstallCloseSignals() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // Message-only: never shown, and needs no display.
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = CloseWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"GuichetClose";
  RegisterClassW(&window_class);
  CreateWindowExW(0, L"GuichetClose", L"Guichet", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                  window_class.hInstance, nullptr);
}

bool CloseSignalPending() { return g_close_signal; }

bool TakeCloseSignal() { return g_close_signal.exchange(false); }

std::string MessageLine(const std::string& text) {
  std::string one = ReplaceAll(text, "\r\n", " ");
  for (char& c : one)
    if (c == '\r' || c == '\n') c = ' ';
  return ToUtf8(one);
}

void OpenFrontend(std::unique_ptr<Desktop>* desktop, std::unique_ptr<StatusView>* view) {
  // The window and the window search; where no window can be made (wine without a
  // display), the console screen when there is a console, silence otherwise.
  *view = MakeWindowView();
  if (*view) {
    *desktop = MakeWindowsDesktop();
    return;
  }
  *desktop = MakeNoDesktop();
  DWORD mode = 0;
  bool console = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  *view = console ? MakeConsoleView() : MakeSilentView();
}

}  // namespace guichet
