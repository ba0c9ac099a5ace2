// The Windows desktop under wine with a display (xvfb-run): the window search over
// windows another process made, and guichet.exe's own window.
#include "platform/window_win.h"

#include <gtest/gtest.h>
#include <windows.h>
// The view's own name, not windows.h's macro for the wide-character call.
#undef MessageBox

#include <random>
#include <string>
#include <vector>

#include "support/text.h"
#include "support_lib/process.h"
#include "support_lib/site.h"

namespace guichet::test {
namespace {

bool HasWindows(DWORD pid) {
  std::pair<DWORD, bool> probe(pid, false);
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* probe = reinterpret_cast<std::pair<DWORD, bool>*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == probe->first) probe->second = true;
        return !probe->second;
      },
      reinterpret_cast<LPARAM>(&probe));
  return probe.second;
}

// Windows of given titles and classes, made by tests/helpers/make_windows.cc in a
// process of its own, gone with it.
class OtherWindows {
 public:
  explicit OtherWindows(const std::vector<std::string>& windows) {
    std::random_device random;
    const std::string event = "Local\\guichet-windows-" + std::to_string(random());
    std::wstring wide(event.begin(), event.end());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, wide.c_str());
    std::vector<std::string> args = {event};
    args.insert(args.end(), windows.begin(), windows.end());
    if (process_.Start(BinaryDir() + "/make_windows.exe", args, ""))
      ok_ = WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
    CloseHandle(ready);
  }
  // Ends the process and waits until its windows are gone too: wine takes them down a
  // moment after the process ends.
  ~OtherWindows() {
    const DWORD pid = static_cast<DWORD>(process_.id());
    process_.Kill();
    WaitUntil([pid] { return !HasWindows(pid); }, 10000);
  }
  bool ok() const { return ok_; }

 private:
  ChildProcess process_;
  bool ok_ = false;
};

bool HaveDisplay() {
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (probe == nullptr) return false;
  DestroyWindow(probe);
  return true;
}

#define REQUIRE_DISPLAY() \
  if (!HaveDisplay()) GTEST_SKIP() << "no display: run under xvfb-run"

struct SearchCase {
  const char* what;
  std::vector<std::string> windows;  // Windows-1252
  std::string title_pattern;         // Windows-1252
  int expected;
};

TEST(WindowsDesktop, CountsWindowsWhoseTitleAndClassBothMatch) {
  REQUIRE_DISPLAY();
  std::unique_ptr<Desktop> desktop = MakeWindowsDesktop();
  const std::string x240(240, 'x'), x250(250, 'x');
  const std::vector<SearchCase> cases = {
      {"top-level", {"Vault Pilot - Dossiers|ThunderRT6FormDC"}, "*VAULT PILOT*", 1},
      {"any case", {"le vAuLt pIlOt|tform1"}, "*VAULT PILOT*", 1},
      {"class without form", {"Vault Pilot|Notepad"}, "*VAULT PILOT*", 0},
      {"deep inside another window",
       {"Portail Halvero|WindowsForms10|depth=6"},
       "*PORTAIL HALVERO*",
       1},
      {"never shown", {"Portail Halvero|TForm|hidden"}, "*PORTAIL HALVERO*", 1},
      {"Windows-1252 title", {W("épreuve Vault Pilot|TForm")}, W("ÉPREUVE VAULT*"), 1},
      {"each window counts",
       {"Vault Pilot|AForm", "Vault Pilot 2|BForm|depth=2", "Vault Pilot 3|CForm|hidden",
        "Vault Pilot|Other"},
       "*VAULT PILOT*",
       3},
      {"title read up to 254 characters", {x240 + "Vault Pilot|TForm"}, "*VAULT PILOT*", 1},
      {"beyond 254 characters", {x250 + "Vault Pilot|TForm"}, "*VAULT PILOT*", 0},
      {"digit wildcard", {"Vault Pilot 7|TForm", "Vault Pilot X|TForm"}, "VAULT PILOT #", 1},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.what);
    OtherWindows windows(c.windows);
    ASSERT_TRUE(windows.ok());
    EXPECT_EQ(desktop->CountMatchingWindows(c.title_pattern, "*FORM*"), c.expected);
  }
  // The windows went with their process.
  EXPECT_EQ(desktop->CountMatchingWindows("*VAULT PILOT*", "*FORM*"), 0);
}

TEST(WindowsDesktop, TwipsBecomePixelsAtTheScreensDpi) {
  EXPECT_EQ(TwipsToPixelsAt(4770, 96), 318);
  EXPECT_EQ(TwipsToPixelsAt(1000, 96), 67);
  EXPECT_EQ(TwipsToPixelsAt(4770, 144), 477);
  EXPECT_EQ(TwipsToPixelsAt(5700, 120), 475);
}

// guichet.exe shows its window flush with the right edge of the work area, 1000 twips
// from its top, with the form's client size; a close request ends it.
TEST(GuichetWindow, ShownAtItsPlaceAndClosedOnRequest) {
  REQUIRE_DISPLAY();
  RunningGuichet gu;
  gu.Start();
  ASSERT_TRUE(gu.Running());
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] {
        window = FindWindowW(L"Guichet", nullptr);
        return window != nullptr && IsWindowVisible(window);
      },
      10000));
  wchar_t title[255] = {};
  GetWindowTextW(window, title, 255);
  EXPECT_NE(std::wstring(title).find(L"Guichet"), std::wstring::npos) << "the caption";
  RECT client, frame, area;
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  EXPECT_EQ(client.right - client.left, TwipsToPixelsAt(4770, dpi));
  EXPECT_EQ(client.bottom - client.top, TwipsToPixelsAt(5700, dpi));
  EXPECT_EQ(frame.right, area.right);
  EXPECT_EQ(frame.top, area.top + TwipsToPixelsAt(1000, dpi));
  // Its controls: the list box and both buttons.
  EXPECT_NE(FindWindowExW(window, nullptr, L"LISTBOX", nullptr), nullptr);
  EXPECT_NE(FindWindowExW(window, nullptr, L"BUTTON", L"Quitter"), nullptr);
  EXPECT_NE(FindWindowExW(window, nullptr, L"BUTTON", L"Clear"), nullptr);
  // The window search sees it, and a sibling check (class "*FORM*") does not.
  std::unique_ptr<Desktop> desktop = MakeWindowsDesktop();
  EXPECT_EQ(desktop->CountMatchingWindows("*GUICHET*", "GUICHET"), 1);
  EXPECT_EQ(desktop->CountMatchingWindows("*", "*FORM*"), 0);
  EXPECT_EQ(gu.Stop(), 0);
}

}  // namespace
}  // namespace guichet::test
