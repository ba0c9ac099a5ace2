// The sibling check of the tick against a request in hand, and the texts of the window.
#include <gtest/gtest.h>

#include "platform/fltk_view.h"
#include "shell/run.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet::test {
namespace {

TEST(SiblingTickTest, ASiblingAppearingMidRequestWaitsForTheAnswer) {
  TestSite site;
  Guichet& g = *site.g;
  Timer1_Timer(g);  // folders made, beat started
  ASSERT_FALSE(g.ended);
  site.Request("a.req", {"/portail.hv", "nosuchtoken", "nothing", "", "", ""});
  bool appeared = false;
  site.view.on_events = [&] {
    if (g.Busy() && !appeared) {  // the request is in hand
      site.desktop.windows.push_back({"Portail Halvero", "TFormPortail"});
      appeared = true;
    }
  };
  Timer1_Timer(g);
  EXPECT_TRUE(appeared);
  EXPECT_FALSE(g.ended) << "ended with the request in hand";
  EXPECT_TRUE(Exists(site.spool() + "/out/a.rdy")) << "the request was answered";
  Timer1_Timer(g);  // the next tick, idle
  EXPECT_TRUE(g.ended);
  EXPECT_FALSE(site.view.closed);  // at once, no shutdown
  EXPECT_FALSE(Exists(site.app() + "/guichet_lastlogons.txt"));
  EXPECT_TRUE(site.view.messages.empty());
}

TEST(WindowTextTest, AccessKeyMarkersAndTwips) {
  EXPECT_EQ(ShownText("POST && GET traités/handled :"), "POST & GET traités/handled :");
  EXPECT_EQ(ShownText("&Quitter"), "Quitter");
  EXPECT_EQ(ShownText("a &&& b"), "a & b");
  EXPECT_EQ(ShownText("fin &"), "fin &");
  EXPECT_EQ(TwipsToPixels(4770), 318);
  EXPECT_EQ(TwipsToPixels(5700), 380);
  EXPECT_EQ(TwipsToPixels(1000), 67);
  EXPECT_EQ(TwipsToPixels(80), 5);
}

}  // namespace
}  // namespace guichet::test
