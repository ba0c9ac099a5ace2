// The X11 window search against a private X server, with windows made by another client.
#include "platform/x11_desktop.h"

#include <gtest/gtest.h>

#include <chrono>

#include "desktop/desktop_test_util.h"
#include "support/text.h"

namespace guichet::test {
namespace {

struct SearchCase {
  const char* what;
  std::vector<std::string> windows;
  std::string title_pattern;  // UTF-8 here, Windows-1252 for the search
  int expected;
};

TEST(X11DesktopTest, CountsWindowsWhoseTitleAndClassBothMatch) {
  REQUIRE_XVFB();
  std::unique_ptr<Desktop> desktop = OpenX11Desktop(TestDisplay().c_str());
  ASSERT_NE(desktop, nullptr);
  const std::string x240(240, 'x'), x250(250, 'x');
  const std::vector<SearchCase> cases = {
      {"top-level", {"Vault Pilot - Dossiers|ThunderRT6FormDC"}, "*VAULT PILOT*", 1},
      {"any case", {"le vAuLt pIlOt|tform1"}, "*VAULT PILOT*", 1},
      {"class without form", {"Vault Pilot|Notepad"}, "*VAULT PILOT*", 0},
      {"no class at all", {"Vault Pilot|"}, "*VAULT PILOT*", 0},
      {"deep inside another window",
       {"Portail Halvero|WindowsForms10|depth=6"},
       "*PORTAIL HALVERO*",
       1},
      {"never mapped", {"Portail Halvero|TForm|unmapped"}, "*PORTAIL HALVERO*", 1},
      {"WM_NAME only, ISO 8859-1", {"épreuve Vault Pilot|TForm|legacy"}, "ÉPREUVE VAULT*", 1},
      {"_NET_WM_NAME, UTF-8", {"épreuve Vault Pilot|TForm"}, "ÉPREUVE VAULT*", 1},
      {"each window counts",
       {"Vault Pilot|AForm", "Vault Pilot 2|BForm|depth=2", "Vault Pilot 3|CForm|unmapped",
        "Vault Pilot|Other"},
       "*VAULT PILOT*",
       3},
      {"title read up to 254 characters", {x240 + "Vault Pilot|TForm"}, "*VAULT PILOT*", 1},
      {"beyond 254 characters", {x250 + "Vault Pilot|TForm"}, "*VAULT PILOT*", 0},
      {"digit wildcard", {"Vault Pilot 7|TForm", "Vault Pilot X|TForm"}, "VAULT PILOT #", 1},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.what);
    XWindows windows(c.windows);
    EXPECT_EQ(desktop->CountMatchingWindows(W(c.title_pattern), "*FORM*"), c.expected);
  }
  // The windows went with their client.
  EXPECT_EQ(desktop->CountMatchingWindows("*VAULT PILOT*", "*FORM*"), 0);
}

TEST(X11DesktopTest, WindowsVanishingDuringTheWalkDoNotEndTheProgram) {
  REQUIRE_XVFB();
  std::unique_ptr<Desktop> desktop = OpenX11Desktop(TestDisplay().c_str());
  ASSERT_NE(desktop, nullptr);
  XWindows fixed({"Vault Pilot|ThunderRT6FormDC|depth=2"});
  XWindows churn({}, true);  // creates and destroys windows all along
  // Walks for a second and a half: windows vanish under many of them.
  int wrong = 0, walks = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  for (; std::chrono::steady_clock::now() < end; ++walks)
    if (desktop->CountMatchingWindows("*VAULT PILOT*", "*FORM*") != 1) ++wrong;
  EXPECT_GT(walks, 20);
  EXPECT_EQ(wrong, 0);
}

TEST(X11DesktopTest, NoDisplayNoDesktop) { EXPECT_EQ(OpenX11Desktop(":4099"), nullptr); }

}  // namespace
}  // namespace guichet::test
