#include "core/sessions.h"

#include <gtest/gtest.h>

namespace guichet {
namespace {

TEST(TableSessions, FirstMatchKeepsPositionAndRemovalsStayAligned) {
  TableSessions t;
  t.Append("t1", "u1", "08/12/2026 10:00");
  t.Append("t2", "u2", "08/12/2026 10:00");
  t.Append("t3", "u3", "08/12/2026 10:00");
  t.Append("t3", "u3bis", "08/12/2026 10:00");
  t.Append("t5", "u5", "08/12/2026 10:00");

  auto h = t.Find("t3");
  ASSERT_TRUE(h);
  EXPECT_EQ((*h)->idUtilisateur, "u3");  // the first entry holding the token
  t.Renew(*h, "09/12/2026 11:00");
  auto it = t.entries().begin();
  std::advance(it, 2);
  EXPECT_EQ(it->expiration, "09/12/2026 11:00");  // still at position 3

  EXPECT_EQ(t.RemoveToken("t3"), 2u);
  EXPECT_FALSE(t.Find("t3"));
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(t.entries().back().jeton, "t5");
  EXPECT_FALSE(t.Find(""));
}

TEST(TableSessions, ExpiryRemovesOnlyEntriesEarlierThanNow) {
  TableSessions t;
  t.Append("old", "u", "07/12/2026 09:59");
  t.Append("now", "u", "07/12/2026 10:00");
  t.Append("later", "u", "08/12/2026 10:00");
  DateTime now = *ParseDate("07/12/2026 10:00:00");
  EXPECT_EQ(t.RemoveExpired(now), 1u);
  EXPECT_FALSE(t.Find("old"));
  EXPECT_TRUE(t.Find("now"));  // equal to now: stays until the next pass
  EXPECT_EQ(t.RemoveExpired(now.AddSeconds(60)), 1u);
  EXPECT_TRUE(t.Find("later"));
}

TEST(TableSessions, EmptyTokensNeverMatch) {
  TableSessions t;
  t.Append("", "u", "08/12/2026 10:00");
  EXPECT_FALSE(t.Find(""));
  EXPECT_EQ(t.RemoveToken(""), 0u);
  EXPECT_EQ(t.size(), 1u);
}

}  // namespace
}  // namespace guichet
