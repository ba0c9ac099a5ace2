// The day log, the polling cycle, start-up refusals and the ways out.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "exchange/spool.h"
#include "shell/run.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;

class ShellTest : public ::testing::Test {
 protected:
  test::TestSite site;
  Guichet& g = *site.g;
};

TEST_F(ShellTest, LogLinesCarryTimeProgramAndPhase) {
  g.EcritLog("first");
  g.LogPhase = "Traitement du fichier x.req";
  g.EcritLog(W("second é"));
  EXPECT_EQ(site.DayLog(),
            "07/12/2026 10:00:00 guichet : first\r\n"
            "07/12/2026 10:00:00 guichet : second \xE9 (Phase : Traitement du fichier x.req)\r\n");
  EXPECT_TRUE(Exists(site.app() + "/LogHalvero261207.txt"));
}

TEST_F(ShellTest, ALineAfterMidnightGoesToTheNewDaysFile) {
  site.env.SetNow(*ParseDate("07/12/2026 23:59:59"));
  g.EcritLog("late");
  site.env.Advance(2);
  g.EcritLog("early");
  EXPECT_EQ(ReadAll(site.app() + "/LogHalvero261207.txt"),
            "07/12/2026 23:59:59 guichet : late\r\n");
  EXPECT_EQ(ReadAll(site.app() + "/LogHalvero261208.txt"),
            "08/12/2026 00:00:01 guichet : early\r\n");
}

TEST_F(ShellTest, LoggingNeverDisturbsItsCaller) {
  site.env.SetExecutable(site.root() + "/no/such/folder/guichet");
  errno = EACCES;
  g.EcritLog("lost");  // the folder is missing: the line is lost, nothing else happens
  EXPECT_EQ(errno, EACCES);
}

TEST_F(ShellTest, HandledCounterWraps) {
  g.SetLabel(Label::kCompte, "1999999");
  g.IncCompte();
  EXPECT_EQ(g.GetLabel(Label::kCompte), "2000000");
  g.IncCompte();
  EXPECT_EQ(g.GetLabel(Label::kCompte), "1");
}

TEST_F(ShellTest, TheBeatStartsOnTheFirstTickAndComesAfterSixSeconds) {
  Timer1_Timer(g);
  EXPECT_TRUE(g.BeatStarted);
  DateTime start = g.LastMoveBeat;
  site.env.Advance(5);
  Timer1_Timer(g);
  EXPECT_EQ(g.LastMoveBeat, start);
  site.env.Advance(1);
  Timer1_Timer(g);
  EXPECT_EQ(DiffSeconds(start, g.LastMoveBeat), 6);
  EXPECT_EQ(g.CurrentSpoolRoot, g.SpoolRoot);
}

TEST_F(ShellTest, AFailingPickupCountsAsActivity) {
  Timer1_Timer(g);  // folders made, beat started
  site.env.FailWhen(
      "ListFiles", [](const std::string& p) { return p.ends_with("/in"); }, Status::kDenied);
  site.env.Advance(3);
  Timer1_Timer(g);
  EXPECT_GT(g.Activity, 0);
}

TEST_F(ShellTest, ASiblingEndsAnIdleProcessButWaitsForTheRequestInHand) {
  site.desktop.windows.push_back({"Vault Pilot - dossier", "ThunderRT6FormDC"});
  g.SetLabel(Label::kProgression2, "1%");
  Timer1_Timer(g);
  EXPECT_FALSE(g.ended);
  g.SetLabel(Label::kProgression2, "");
  Timer1_Timer(g);
  EXPECT_TRUE(g.ended);
  EXPECT_FALSE(Exists(site.app() + "/guichet_lastlogons.txt"));  // nothing saved
}

TEST_F(ShellTest, QuitAndCloseAreRefusedWhileARequestIsInHand) {
  g.Sessions.Append("tok", "u", "08/12/2026 10:00");
  site.Request("a.req", {"/portail.hv", "tok", "nothing"});
  RepereRequete(g);  // make the folders
  site.Request("b.req", {"/portail.hv", "tok", "nothing"});
  int clicks = 0;
  site.view.on_events = [&] {
    if (g.Busy()) {
      cmdStop_Click(g);
      Form_QueryUnload(g);
      ++clicks;
    }
  };
  RepereRequete(g);
  EXPECT_GT(clicks, 0);
  EXPECT_FALSE(g.ended);
  site.view.on_events = nullptr;
  cmdStop_Click(g);
  EXPECT_TRUE(g.ended);
  EXPECT_EQ(ReadAll(site.app() + "/guichet_lastlogons.txt"), "tok;u;08/12/2026 10:00\r\n");
}

TEST_F(ShellTest, ClosingDoesNotSaveTheSessions) {
  g.Sessions.Append("tok", "u", "08/12/2026 10:00");
  Form_QueryUnload(g);
  EXPECT_TRUE(g.ended);
  EXPECT_TRUE(site.view.closed);
  EXPECT_FALSE(Exists(site.app() + "/guichet_lastlogons.txt"));
}

TEST_F(ShellTest, StartUpRefusalsComeInOrderAndTouchNothing) {
  site.desktop.windows.push_back({"Portail Halvero", "FormX"});
  site.desktop.windows.push_back({"vault pilot", "xform"});
  EXPECT_EQ(RunGuichet(g, false), 1);
  ASSERT_EQ(site.view.messages.size(), 1u);
  EXPECT_EQ(site.view.messages[0], W("Guichet est deja lancé.\r\nL'application va se terminer"));
  EXPECT_EQ(RunGuichet(g, true), 1);
  EXPECT_EQ(site.view.messages[1], W("Guichet ne peut pas tourner en même temps que Vault "
                                     "Pilot.\r\nL'application va se terminer"));
  site.desktop.windows.erase(site.desktop.windows.begin() + 1);
  site.desktop.windows.push_back({"Vault Pilot", "NoMatchHere"});  // class lacks "form"
  EXPECT_EQ(RunGuichet(g, true), 1);
  EXPECT_EQ(site.view.messages[2],
            W("Guichet ne peut pas tourner en même temps que Portail Halvero.\r\n"
              "L'application va se terminer"));
  EXPECT_FALSE(Exists(site.spool() + "/in"));
  EXPECT_EQ(test::ListDir(site.app()).size(), 0u);
}

TEST_F(ShellTest, TheWindowLoadNeedsATasksFolder) {
  g.AppFolder = site.app();
  test::WriteAll(site.root() + "/Tasks2", "a file, not a folder");
  site.env.FailWhen(
      "CreateFolder", [](const std::string&) { return true; }, Status::kDenied);
  std::string tasks = site.tasks();
  rmdir(tasks.c_str());
  EXPECT_FALSE(Form_Load(g));
  EXPECT_TRUE(g.ended);
  ASSERT_EQ(site.view.messages.size(), 1u);
  EXPECT_EQ(site.view.messages[0], W("Le repertoire de travail n'est pas spécifié ou inexistant"));
}

TEST_F(ShellTest, TheWindowLoadSetsTheLabels) {
  EXPECT_TRUE(Form_Load(g));
  EXPECT_EQ(g.GetLabel(Label::kCompte), "0");
  EXPECT_EQ(g.TasksFolder, site.app() + "/../Tasks");
}

}  // namespace
}  // namespace guichet
