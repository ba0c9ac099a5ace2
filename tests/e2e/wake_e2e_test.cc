// The real executable answering between its ticks: a burst taken in batches, each
// request answered once, and a close asked while arrivals are pending.
#include <gtest/gtest.h>

#include <string>

#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;

TEST(WakeEndToEnd, BurstsAreAnsweredOnceAndAClosePendingArrivalsLeavesWholeAnswers) {
  test::RunningGuichet run;
  run.Start();
  ASSERT_TRUE(run.Running());
  const std::string out = run.spool() + "/out/";
  const std::string page = run.Ask("first", {"/portail.hv", "nobody", "menu"});

  const int burst = 150;
  for (int i = 0; i < burst; ++i)
    test::DropRequest(run.spool(), "b" + std::to_string(i) + ".req",
                      {"/portail.hv", "nobody", "menu"});
  for (int i = 0; i < burst; ++i) {
    const std::string n = "b" + std::to_string(i);
    ASSERT_TRUE(run.WaitFor(out + n + ".rdy")) << n;
    EXPECT_EQ(ReadAll(out + n + ".htm"), page) << n;
  }

  // Requests keep arriving while Guichet is asked to close: it closes, and whatever it
  // answered is whole.
  for (int i = 0; i < 300; ++i)
    test::DropRequest(run.spool(), "c" + std::to_string(i) + ".req",
                      {"/portail.hv", "nobody", "menu"});
  EXPECT_EQ(run.Stop(), 0);
  for (int i = 0; i < 300; ++i) {
    const std::string n = "c" + std::to_string(i);
    if (Exists(out + n + ".rdy")) {
      EXPECT_EQ(ReadAll(out + n + ".htm"), page) << n;
    }
  }
  // The system's notices were there to be used: no fall back to the tick alone.
  EXPECT_EQ(run.DayLogs().find(W("pas d'avis du système")), std::string::npos) << run.DayLogs();
}

}  // namespace
}  // namespace guichet
