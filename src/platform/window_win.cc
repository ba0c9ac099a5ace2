// The native Win32 window and the window search (platform/window_win.h).
#include <windows.h>
// The view's own name, not windows.h's macro for the wide-character call.
#undef MessageBox

#include <algorithm>
#include <string>

#include "platform/window_win.h"
#include "support/text.h"
#include "support/wildcard.h"

namespace guichet {
namespace {

// The window class: the sibling checks look for "FORM" in class names, so ours must not
// hold it.
constexpr wchar_t kWindowClass[] = L"Guichet";
// A list box holds at most this many lines; the oldest go first.
constexpr LRESULT kMaxActivityLines = 32767;
enum : int { kIdStop = 101, kIdClear = 102 };

std::wstring Wide(const std::string& cp1252) {
  std::u16string u = ToUtf16(cp1252);
  return std::wstring(u.begin(), u.end());
}

// Windows-1252 of a window's text; a character it cannot hold becomes "?".
std::string Narrow(const wchar_t* text, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    std::string one;
    out += FromUtf16(std::u16string(1, static_cast<char16_t>(text[i])), &one) ? one : "?";
  }
  return out;
}

class WindowView : public StatusView {
 public:
  ~WindowView() override {
    if (window_ != nullptr) DestroyWindow(window_);
    if (font_ != nullptr) DeleteObject(font_);
  }

  bool Create() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    window_ = CreateWindowExW(0, kWindowClass, L"Guichet", style, CW_USEDEFAULT, CW_USEDEFAULT, 100,
                              100, nullptr, nullptr, instance, this);
    if (window_ == nullptr) return false;
    HDC dc = GetDC(window_);
    dpi_ = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc != nullptr) ReleaseDC(window_, dc);
    if (dpi_ <= 0) dpi_ = 96;
    // The client area of the form, in twips.
    RECT r = {0, 0, Px(4770), Px(5700)};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    SetWindowPos(window_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The system's font for dialogs, 8 points at the screen's DPI.
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      metrics.lfMessageFont.lfHeight = -MulDiv(8, dpi_, 72);
      font_ = CreateFontIndirectW(&metrics.lfMessageFont);
    }

    Control(L"STATIC", L"POST & GET trait\u00e9s/handled :", SS_NOPREFIX | SS_LEFTNOWORDWRAP, 120,
            120, 2175, 255);
    labels_[static_cast<int>(Label::kCompte)] =
        Control(L"STATIC", L"", SS_NOPREFIX | SS_LEFTNOWORDWRAP, 2360, 120, 855, 255);
    Control(L"BUTTON", L"Quitter", BS_PUSHBUTTON | WS_TABSTOP, 3960, 80, 735, 375, kIdStop);
    labels_[static_cast<int>(Label::kLabelProgression)] =
        Control(L"STATIC", L"Fichiers re\u00e7us/Received files :", SS_NOPREFIX | SS_LEFTNOWORDWRAP,
                120, 480, 2655, 255);
    labels_[static_cast<int>(Label::kProgression1)] =
        Control(L"STATIC", L"", SS_NOPREFIX | SS_LEFTNOWORDWRAP, 2880, 480, 855, 255);
    labels_[static_cast<int>(Label::kProgression2)] =
        Control(L"STATIC", L"", SS_NOPREFIX | SS_LEFTNOWORDWRAP, 3960, 480, 735, 255);
    list_ = Control(L"LISTBOX", L"", WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY,
                    120, 840, 4575, 4350);
    Control(L"BUTTON", L"Clear", BS_PUSHBUTTON | WS_TABSTOP, 120, 5400, 615, 255, kIdClear);
    return true;
  }

  void Show(FormEvents* events) override {
    events_ = events;
    // Flush with the right edge of the work area, 1000 twips from its top.
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT frame;
    GetWindowRect(window_, &frame);
    SetWindowPos(window_, nullptr, area.right - (frame.right - frame.left), area.top + Px(1000), 0,
                 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    Pump();
  }

  void SetCaption(const std::string& text) override { SetWindowTextW(window_, Wide(text).c_str()); }

  void SetLabel(Label label, const std::string& text) override {
    HWND l = labels_[static_cast<int>(label)];
    std::wstring now = Wide(text);
    wchar_t shown[512] = {};
    GetWindowTextW(l, shown, 512);
    if (now != shown) SetWindowTextW(l, now.c_str());
  }

  void AddActivity(const std::string& line) override {
    if (SendMessageW(list_, LB_GETCOUNT, 0, 0) >= kMaxActivityLines)
      SendMessageW(list_, LB_DELETESTRING, 0, 0);
    SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(line).c_str()));
  }

  void ClearActivity() override { SendMessageW(list_, LB_RESETCONTENT, 0, 0); }

  void DoEvents() override { Pump(); }

  bool WaitFor(int ms, const bool& stop) override {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::max(ms, 0));
    Pump();
    while (!stop && !CloseSignalPending()) {
      ULONGLONG now = GetTickCount64();
      if (now >= end) break;
      const DWORD n = wake_ != nullptr ? 1 : 0;
      const DWORD r = MsgWaitForMultipleObjects(
          n, &wake_, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 100)), QS_ALLINPUT);
      Pump();
      if (n == 1 && r == WAIT_OBJECT_0) return true;
    }
    return false;
  }

  void WakeOn(intptr_t handle) override {
    wake_ = handle == -1 ? nullptr : reinterpret_cast<HANDLE>(handle);
  }

  void MessageBox(const std::string& text) override {
    // Also on standard error, so that a service's log keeps what the user was told.
    std::string line = MessageLine(text) + "\n";
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD n = 0;
    if (err != nullptr && err != INVALID_HANDLE_VALUE)
      WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
    MessageBoxW(window_, Wide(text).c_str(), L"Guichet", MB_OK);
  }

  void Beep() override { MessageBeep(MB_OK); }

  void Close() override {
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
  }

 private:
  int Px(int twips) const { return TwipsToPixelsAt(twips, dpi_); }

  HWND Control(const wchar_t* cls, const wchar_t* text, DWORD style, int left, int top, int width,
               int height, int id = 0) {
    HWND c = CreateWindowExW(cls == std::wstring(L"LISTBOX") ? WS_EX_CLIENTEDGE : 0, cls, text,
                             WS_CHILD | WS_VISIBLE | style, Px(left), Px(top), Px(width),
                             Px(height), window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             GetModuleHandleW(nullptr), nullptr);
    if (c != nullptr && font_ != nullptr)
      SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return c;
  }

  void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (window_ != nullptr && IsDialogMessageW(window_, &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

  static LRESULT CALLBACK Proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<WindowView*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (self != nullptr && self->events_ != nullptr) {
      switch (message) {
        case WM_COMMAND:
          if (LOWORD(wp) == kIdStop && HIWORD(wp) == BN_CLICKED) {
            self->events_->cmdStop_Click();
            return 0;
          }
          if (LOWORD(wp) == kIdClear && HIWORD(wp) == BN_CLICKED) {
            self->events_->cmdClear_Click();
            return 0;
          }
          break;
        case WM_CLOSE:
          // The shell decides: it closes the window itself, or refuses while a request is
          // in hand.
          self->events_->Form_QueryUnload();
          return 0;
        default:
          break;
      }
    } else if (message == WM_CLOSE) {
      return 0;  // not shown yet: nothing to close
    }
    return DefWindowProcW(w, message, wp, lp);
  }

  HWND window_ = nullptr;
  HWND labels_[4] = {};
  HWND list_ = nullptr;
  HFONT font_ = nullptr;
  int dpi_ = 96;
  HANDLE wake_ = nullptr;
  FormEvents* events_ = nullptr;
};

class WindowsDesktop : public Desktop {
 public:
  int CountMatchingWindows(const std::string& title_pattern,
                           const std::string& class_pattern) override {
    title_pattern_ = ToUpper(title_pattern);
    class_pattern_ = ToUpper(class_pattern);
    count_ = 0;
    // Every window below the desktop window, each one's children right after it: the
    // system lists each level once, so a window that vanishes during the walk cuts it
    // short nowhere (GetWindow(GW_HWNDNEXT) from a vanished window would end a level).
    EnumChildWindows(GetDesktopWindow(), Visit, reinterpret_cast<LPARAM>(this));
    return count_ > 32767 ? 32767 : count_;
  }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self_param) {
    auto* self = reinterpret_cast<WindowsDesktop*>(self_param);
    // Buffers of 255 characters, the terminator included.
    wchar_t cls[255] = {}, title[255] = {};
    int nc = GetClassNameW(window, cls, 255);
    // The class first: few windows pass it, so few titles need reading.
    if (!MatchesLike(ToUpper(Narrow(cls, std::max(nc, 0))), self->class_pattern_)) return TRUE;
    int nt = GetWindowTextW(window, title, 255);
    if (MatchesLike(ToUpper(Narrow(title, std::max(nt, 0))), self->title_pattern_)) ++self->count_;
    return TRUE;
  }

  int count_ = 0;
  std::string title_pattern_, class_pattern_;
};

}  // namespace

std::unique_ptr<StatusView> MakeWindowView() {
  // Positions and fonts in the screen's own pixels, not scaled by the system.
  SetProcessDPIAware();
  auto view = std::make_unique<WindowView>();
  if (!view->Create()) return nullptr;
  return view;
}

std::unique_ptr<Desktop> MakeWindowsDesktop() { return std::make_unique<WindowsDesktop>(); }

}  // namespace guichet
