// The pickups between ticks: the watch on "in" and "post", what it wakes, what holds it
// off, and the tick alone when the system gives no notices.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <utility>

#include "exchange/spool.h"
#include "shell/run.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;

// A watch whose notices the test chooses.
class FakeWatch : public FolderWatch {
 public:
  explicit FakeWatch(Notices n) : next(n) {}
  intptr_t WaitHandle() const override { return -1; }
  Notices Take() override { return std::exchange(next, kNone); }
  Notices next;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class WakeTest : public ::testing::Test {
 protected:
  // The watch lets go of its folders before the site is removed (Windows holds them).
  void TearDown() override { g.Watch.reset(); }

  test::TestSite site;
  Guichet& g = *site.g;

  std::string Out(const std::string& n) { return site.spool() + "/out/" + n; }
  void Drop(const std::string& name) { site.Request(name, {"/portail.hv", "nobody", "menu"}); }
  // The system may hand its notices over a moment after the rename (Windows).
  bool WokeUp() {
    return test::WaitUntil([&] { return PickupsOnArrival(g); }, 5000);
  }
  // The requests in the order they were taken up, each once per taking.
  std::vector<std::string> order;
  void RecordOrder() {
    site.view.on_events = [&] {
      if (g.LogPhase.empty()) return;
      std::string name = g.LogPhase.substr(g.LogPhase.rfind('/') + 1);
      if (order.empty() || order.back() != name) order.push_back(name);
      if (name == "c.req" && order.size() == 1) {  // files arrive during the pickup
        Drop("d.req");
        Drop("e.req");
      }
    };
  }
};

TEST_F(WakeTest, ArrivalsAreAnsweredBetweenTicksOnceInOrderAndNeverWhileBusy) {
  Timer1_Timer(g);  // the pickups make the folders
  WatchSpool(g);
  ASSERT_TRUE(g.Watch) << site.DayLog();
  EXPECT_FALSE(PickupsOnArrival(g));  // nothing arrived

  RecordOrder();
  // Nothing is taken while a request is in hand; the notices wait in the system's queue.
  g.SetLabel(Label::kProgression2, "1%");
  for (const char* n : {"a.req", "b.req", "c.req"}) Drop(n);
  EXPECT_FALSE(test::WaitUntil([&] { return PickupsOnArrival(g); }, 300));
  EXPECT_TRUE(order.empty());
  g.SetLabel(Label::kProgression2, "");
  ASSERT_TRUE(WokeUp());
  EXPECT_EQ(order, (std::vector<std::string>{"c.req", "b.req", "a.req"}));
  // What arrived during that pickup is the next wake's, in its own listing order.
  ASSERT_TRUE(WokeUp());
  EXPECT_EQ(order, (std::vector<std::string>{"c.req", "b.req", "a.req", "e.req", "d.req"}));
  for (const char* n : {"a.rdy", "b.rdy", "c.rdy", "d.rdy", "e.rdy"}) EXPECT_TRUE(Exists(Out(n)));

  // Neither a later wake (Windows may send a late notice) nor the tick answers any of
  // them again.
  PickupsOnArrival(g);
  site.env.Advance(1);
  Timer1_Timer(g);
  EXPECT_EQ(order.size(), 5u);
  EXPECT_EQ(g.GetLabel(Label::kProgression2), "");
  EXPECT_EQ(site.DayLog(), "");
}

TEST_F(WakeTest, AWatchThatCannotBeSetUpLeavesTheTickAloneSaidOnce) {
  WatchSpool(g);  // no folders yet: nothing tried, nothing said
  EXPECT_FALSE(g.Watch);
  EXPECT_EQ(site.DayLog(), "");

  Timer1_Timer(g);
  site.env.FailWhen(
      "WatchFolders", [](const std::string&) { return true; }, Status::kDenied);
  WatchSpool(g);
  EXPECT_FALSE(g.Watch);
  site.env.Advance(61);
  WatchSpool(g);  // tried again a minute later, not said again
  EXPECT_FALSE(g.Watch);
  const std::string said = W("Guichet : pas d'avis du système sur in et post");
  EXPECT_EQ(Count(site.DayLog(), said), 1u) << site.DayLog();

  // The tick still answers.
  Drop("a.req");
  Timer1_Timer(g);
  EXPECT_TRUE(Exists(Out("a.rdy")));

  site.env.ClearFailures();
  WatchSpool(g);  // within the minute: not yet
  EXPECT_FALSE(g.Watch);
  site.env.Advance(61);
  WatchSpool(g);
  EXPECT_TRUE(g.Watch);
}

TEST_F(WakeTest, LostNoticesAreMadeUpForByAListingAndABrokenWatchIsDropped) {
  Timer1_Timer(g);
  for (const char* n : {"a.req", "b.req"}) Drop(n);
  // The system's queue overflowed: the listing finds what the lost notices named.
  g.Watch = std::make_unique<FakeWatch>(FolderWatch::kLost);
  EXPECT_TRUE(PickupsOnArrival(g));
  EXPECT_TRUE(Exists(Out("a.rdy")) && Exists(Out("b.rdy")));
  g.Watch = std::make_unique<FakeWatch>(FolderWatch::kLost);
  EXPECT_TRUE(PickupsOnArrival(g));
  EXPECT_TRUE(g.Watch);  // the watch carries on
  EXPECT_EQ(Count(site.DayLog(), W("avis du système perdus")), 1u);

  // A watch whose folder goes away: dropped, the tick alone, said once.
#ifdef _WIN32
  // A Windows watch follows its folder wherever it is moved.
  g.Watch = std::make_unique<FakeWatch>(FolderWatch::kBroken);
  Drop("c.req");
  ASSERT_TRUE(PickupsOnArrival(g));
#else
  g.Watch.reset();
  WatchSpool(g);
  ASSERT_TRUE(g.Watch);
  test::MakeDirs(site.spool() + "/gone");
  std::filesystem::rename(test::NativePath(site.spool() + "/post"),
                          test::NativePath(site.spool() + "/gone/post"));
  Drop("c.req");
  ASSERT_TRUE(WokeUp());
#endif
  EXPECT_FALSE(g.Watch);
  EXPECT_TRUE(Exists(Out("c.rdy")));
  EXPECT_EQ(Count(site.DayLog(), W("relève à chaque seconde seulement")), 1u) << site.DayLog();
}

TEST_F(WakeTest, SteadyRequestsDoNotStarveTheMoveCycleWhichAnswersBetweenDocuments) {
  Timer1_Timer(g);  // the beat clock starts
  WatchSpool(g);
  test::MakeDirs(site.templates());
  test::WriteAll(site.templates() + "/Services.txt", "3|Cardiologie\r\n");
  test::WriteAll(site.templates() + "/TypeDocs.txt", "3|CR|Compte rendu\r\n");
  for (const char* id : {"7", "8"}) {
    test::WriteAll(site.tasks() + "/hvr_" + id + ".typedoc", "CR\r\n");
    test::WriteAll(site.tasks() + "/hvr_" + id + ".txt", "text");
  }
  test::WriteAll(site.tasks() + "/ToMove.txt", "7;u7\r\n8;u7\r\n");
  const std::string moved = site.tasks() + "/Transcriptions/u7/hvr_";

  // A request arrives between the two documents, and is answered before the second moves.
  bool answered_between = false;
  g.BetweenDocuments = [&] {
    Drop("mid.req");
    if (PickupsOnArrival(g)) answered_between = Exists(Out("mid.rdy")) && !Exists(moved + "8.txt");
  };
  // A request every second: no beat is ever quiet.
  int ticks = 0;
  while (!Exists(moved + "7.txt") && ticks < 40) {
    Drop("r" + std::to_string(ticks) + ".req");
    site.env.Advance(1);
    Timer1_Timer(g);
    ++ticks;
  }
  EXPECT_EQ(ticks, 30);
  EXPECT_TRUE(Exists(moved + "8.txt"));
  EXPECT_TRUE(answered_between);
  EXPECT_TRUE(Exists(Out("r29.rdy")));
}

}  // namespace
}  // namespace guichet
