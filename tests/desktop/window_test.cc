// The real guichet on a private X server: the refusals at start-up with their dialog, the
// sibling that ends an idle process, the ways out, the window's place and controls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "desktop/desktop_test_util.h"

namespace guichet::test {
namespace {

const char kSession[] = "tok;u1;31/12/2099 23:59\r\n";

int64_t MtimeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct RefusalCase {
  const char* what;
  std::vector<std::string> windows;
  bool previous_instance;
  std::string message;  // standard error, UTF-8
};

TEST(WindowTest, RefusalsShowTheirDialogAndEndOnceItIsAnswered) {
  REQUIRE_XVFB();
  const std::string vault = "Vault Pilot - Dossiers|ThunderRT6FormDC";
  const std::string portail = "Portail Halvero|WindowsForms10.Window|depth=4";
  const std::vector<RefusalCase> cases = {
      {"Vault Pilot",
       {vault},
       false,
       "Guichet ne peut pas tourner en même temps que Vault Pilot. L'application va se terminer\n"},
      {"Portail Halvero, deep inside another window",
       {portail},
       false,
       "Guichet ne peut pas tourner en même temps que Portail Halvero. L'application va se "
       "terminer\n"},
      {"both: Vault Pilot first",
       {portail, vault},
       false,
       "Guichet ne peut pas tourner en même temps que Vault Pilot. L'application va se terminer\n"},
      {"both and a previous instance: the instance first",
       {portail, vault},
       true,
       "Guichet est deja lancé. L'application va se terminer\n"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    XWindows windows(c.windows);
    WindowedGuichet guichet;
    int lock = -1;
    if (c.previous_instance) {  // hold the lock an instance holds on its installation
      lock = open(guichet.app().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
    }
    guichet.Start();
    ASSERT_NE(guichet.WaitWindow(false), 0u) << "no dialog";
    Pause(300);
    EXPECT_TRUE(guichet.Running()) << "the dialog waits for its answer";
    EXPECT_EQ(guichet.WaitWindow(true, 0), 0u) << "no main window";
    EXPECT_EQ(guichet.Stderr(), c.message);
    Shell("xdotool key Return");
    EXPECT_EQ(guichet.WaitExit(5000), 1);
    // Nothing touched: no log, no spool folder.
    EXPECT_EQ(ListDir(guichet.app()), (std::vector<std::string>{"Radiveve.so", "guichet"}));
    EXPECT_TRUE(ListDir(guichet.spool()).empty());
    if (lock >= 0) close(lock);
  }
}

TEST(WindowTest, SigtermAnswersARefusalDialog) {
  REQUIRE_XVFB();
  XWindows windows({"Vault Pilot|TForm"});
  WindowedGuichet guichet;
  guichet.Start();
  ASSERT_NE(guichet.WaitWindow(false), 0u) << "no dialog";
  guichet.Signal(SIGTERM);
  EXPECT_EQ(guichet.WaitExit(3000), 1);
}

TEST(WindowTest, ATitleWithoutTheFormClassDoesNotStopIt_ClosingSavesNothing) {
  REQUIRE_XVFB();
  XWindows other({"Vault Pilot|Notepad"});
  WindowedGuichet guichet;
  WriteAll(guichet.app() + "/guichet_lastlogons.txt", kSession);
  SetMtime(guichet.app() + "/guichet_lastlogons.txt", 1000000000);
  guichet.Start();
  unsigned long window = guichet.WaitWindow(true);
  ASSERT_NE(window, 0u);
  for (int i = 0; i < 100 && !Exists(guichet.spool() + "/out"); ++i) Pause(50);
  ASSERT_TRUE(Exists(guichet.spool() + "/out")) << "no tick ran";
  Pause(1200);  // another tick with the window still there
  EXPECT_TRUE(guichet.Running());
  SendDeleteWindow(window);  // the close button of a window manager
  EXPECT_EQ(guichet.WaitExit(5000), 0);
  EXPECT_EQ(ReadAll(guichet.app() + "/guichet_lastlogons.txt"), kSession);
  EXPECT_EQ(MtimeOf(guichet.app() + "/guichet_lastlogons.txt"), 1000000000);
  EXPECT_EQ(guichet.Stderr(), "");
}

TEST(WindowTest, ASiblingAppearingWhileIdleEndsItAtTheNextTickWithoutSaving) {
  REQUIRE_XVFB();
  WindowedGuichet guichet;
  WriteAll(guichet.app() + "/guichet_lastlogons.txt", kSession);
  SetMtime(guichet.app() + "/guichet_lastlogons.txt", 1000000000);
  guichet.Start();
  ASSERT_NE(guichet.WaitWindow(true), 0u);
  for (int i = 0; i < 100 && !Exists(guichet.spool() + "/out"); ++i) Pause(50);
  ASSERT_TRUE(guichet.Running());
  XWindows sibling({"Portail Halvero|TFormPortail|depth=1"});
  EXPECT_EQ(guichet.WaitExit(3000), 0);  // within the next tick
  EXPECT_EQ(ReadAll(guichet.app() + "/guichet_lastlogons.txt"), kSession);
  EXPECT_EQ(MtimeOf(guichet.app() + "/guichet_lastlogons.txt"), 1000000000);
  EXPECT_EQ(guichet.Stderr(), "");  // no message
}

TEST(WindowTest, SigtermClosesTheWindowLikeTheCloseButton) {
  REQUIRE_XVFB();
  WindowedGuichet guichet;
  guichet.Start();
  ASSERT_NE(guichet.WaitWindow(true), 0u);
  guichet.Signal(SIGTERM);
  EXPECT_EQ(guichet.WaitExit(3000), 0);
  EXPECT_FALSE(Exists(guichet.app() + "/guichet_lastlogons.txt"));
}

TEST(WindowTest, TheWindowSitsFlushRightAndQuitterSavesTheSessions) {
  REQUIRE_XVFB();
  WindowedGuichet guichet;
  WriteAll(guichet.app() + "/guichet_lastlogons.txt", kSession);
  SetMtime(guichet.app() + "/guichet_lastlogons.txt", 1000000000);
  guichet.Start();
  unsigned long window = guichet.WaitWindow(true);
  ASSERT_NE(window, 0u);
  Pause(300);
  Geometry g = WindowGeometry(window);
  EXPECT_EQ(g.x + g.w, kScreenWidth);  // flush with the right edge
  EXPECT_EQ(g.y, 67);                  // 1000 twips
  EXPECT_EQ(g.w, 318);                 // 4770 twips
  EXPECT_EQ(g.h, 380);                 // 5700 twips
  std::string props = Shell("xprop -id " + std::to_string(window) + " WM_CLASS _NET_WM_NAME");
  EXPECT_NE(props.find("\"Guichet\""), std::string::npos) << props;
  EXPECT_EQ(props.find("Form"), std::string::npos) << props;

  // "Quitter": 3960, 80, 735, 375 twips.
  Shell("xdotool mousemove " + std::to_string(g.x + 288) + " " + std::to_string(g.y + 17) +
        " click 1");
  EXPECT_EQ(guichet.WaitExit(5000), 0);
  EXPECT_EQ(ReadAll(guichet.app() + "/guichet_lastlogons.txt"), kSession);
  EXPECT_NE(MtimeOf(guichet.app() + "/guichet_lastlogons.txt"), 1000000000) << "saved anew";
}

TEST(WindowTest, TheScreenshotShowsTheControlsInTheirPlaces) {
  REQUIRE_XVFB();
  TempDir dir;
  const std::string png = dir.path() + "/window.png";
  int status = -1;
  std::string out = Shell(
      std::string(GUICHET_SOURCE_DIR) + "/tools/screenshot.sh " + BinaryDir() + " " + png, &status);
  ASSERT_EQ(status, 0) << out;
  std::istringstream line(out);
  std::string word;
  int x, y, w, h, sw, sh;
  line >> word >> x >> y >> w >> h >> sw >> sh;
  ASSERT_EQ(word, "geometry") << out;
  EXPECT_EQ(x + w, sw);
  EXPECT_EQ(y, 67);
  EXPECT_EQ(w, 318);
  EXPECT_EQ(h, 380);
  EXPECT_EQ(Shell("identify -format '%w %h' " + png), "318 380");

  // Controls, in pixels (twips / 15). The plain face between them is the reference.
  const double face = MeanBrightness(png, 8, 26, 240, 5);
  EXPECT_GT(face, 0.5);
  EXPECT_NEAR(MeanBrightness(png, 60, 362, 250, 14), face, 0.01) << "nothing right of Clear";
  EXPECT_GT(MeanBrightness(png, 12, 60, 290, 280), 0.97) << "the list box is white";
  struct Text {
    const char* what;
    int x, y, w, h;
  };
  for (const Text& t :
       {Text{"lblLabelCompte", 8, 8, 145, 17}, Text{"lblCompte", 157, 8, 57, 17},
        Text{"cmdStop", 264, 5, 49, 25}, Text{"lblLabelProgression", 8, 32, 177, 17},
        Text{"cmdClear", 8, 360, 41, 17}}) {
    SCOPED_TRACE(t.what);
    EXPECT_LT(DarkestBrightness(png, t.x, t.y, t.w, t.h), 0.3) << "no text drawn";
  }
  // The empty progress labels show nothing.
  EXPECT_NEAR(DarkestBrightness(png, 192, 32, 57, 17), face, 0.01);
  EXPECT_NEAR(DarkestBrightness(png, 264, 32, 49, 17), face, 0.01);
}

}  // namespace
}  // namespace guichet::test
