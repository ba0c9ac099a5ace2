// Desktop test support: a private X server (Xvfb) for the whole test program, the xwindows
// helper that puts other applications' windows on it, the real guichet started on that
// display in a temporary site, and the outside X tools (xdotool, xwininfo, ImageMagick).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support_lib/site.h"

namespace guichet::test {

// The display of the private X server (":90" or the next free one), started on first use
// and stopped when the program ends; DISPLAY is set to it. "" when Xvfb is not installed.
const std::string& TestDisplay();

// Skips the test when there is no Xvfb.
#define REQUIRE_XVFB()                                                                   \
  do {                                                                                   \
    if (::guichet::test::TestDisplay().empty()) GTEST_SKIP() << "Xvfb is not installed"; \
  } while (0)

// Screen size of the private X server.
inline constexpr int kScreenWidth = 1280;
inline constexpr int kScreenHeight = 1024;

// Runs a shell command; returns its standard output (and its exit status in `status`).
std::string Shell(const std::string& command, int* status = nullptr);

// tools/xwindows running with the given windows ("title|class[|options]"); ready when
// constructed (the server has the windows), gone when destroyed.
class XWindows {
 public:
  explicit XWindows(const std::vector<std::string>& windows, bool churn = false);
  ~XWindows();

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
};

// The real guichet, copied with the codec library into a temporary site and started on
// the test display, standard error kept in root()/stderr.txt.
class WindowedGuichet {
 public:
  WindowedGuichet();
  ~WindowedGuichet();
  std::string root() const { return dir_.path(); }
  std::string app() const { return root() + "/Guichet"; }
  std::string spool() const { return root() + "/IsapiHalvero"; }

  void Start();
  // Waits for the process to end; its exit code, or -1 (killed) after `timeout_ms`.
  int WaitExit(int timeout_ms);
  bool Running();
  void Signal(int sig);
  std::string Stderr() const;

  // Waits for a visible window of class "Guichet" whose size is (or, with `main` false,
  // is not) the main window's 318 x 380; 0 when none came within `timeout_ms`.
  unsigned long WaitWindow(bool main, int timeout_ms = 10000);

 private:
  TempDir dir_;
  pid_t pid_ = -1;
};

// The client-area geometry of a window on the screen.
struct Geometry {
  int x = 0, y = 0, w = 0, h = 0;
};
Geometry WindowGeometry(unsigned long window);

// Asks a window to close, as a window manager's close button does (WM_DELETE_WINDOW).
void SendDeleteWindow(unsigned long window);

// Mean brightness (0 black .. 1 white) of a rectangle of a picture, by ImageMagick.
double MeanBrightness(const std::string& png, int x, int y, int w, int h);
// Brightness of the darkest pixel of the rectangle.
double DarkestBrightness(const std::string& png, int x, int y, int w, int h);

}  // namespace guichet::test
