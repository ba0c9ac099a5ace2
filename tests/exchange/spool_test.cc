// The request pickup and the dispatcher against a temporary site, with the test clock.
#include "exchange/spool.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "core/request.h"
#include "exchange/dispatch.h"
#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;

const char kErrorPage[] =
    "<html>\r\n<head>\r\n<title>\r\nErreur\r\n</title>\r\n</head>\r\n<body>\r\n"
    "<DD>Erreur&nbsp;de&nbsp;syntaxe&nbsp;()</DD>\r\n</body>\r\n</html>\r\n";

class SpoolTest : public ::testing::Test {
 protected:
  test::TestSite site;
  Guichet& g = *site.g;

  std::string In(const std::string& n) { return site.spool() + "/in/" + n; }
  std::string Out(const std::string& n) { return site.spool() + "/out/" + n; }
  int64_t Ago(int64_t seconds) { return ToUnixLocal(site.env.Now().AddSeconds(-seconds)); }
  void Prepare() { RepereRequete(g); }  // the first call makes the folders
};

TEST_F(SpoolTest, FirstCallMakesTheFoldersAndDeletesThePostDescription) {
  test::MakeDirs(site.spool() + "/post");
  test::WriteAll(site.spool() + "/post/_description_http_post.txt", "x");
  EXPECT_EQ(RepereRequete(g), 0);
  for (const char* sub : {"in", "out", "rights", "cache"})
    EXPECT_TRUE(Exists(site.spool() + "/" + sub)) << sub;
  EXPECT_FALSE(Exists(site.spool() + "/post/_description_http_post.txt"));
  EXPECT_TRUE(g.SpoolReady);
  EXPECT_EQ(g.Caption(), "(0) Guichet");
}

TEST_F(SpoolTest, RequestsAreAnsweredInReverseListingOrderSkippingWaitingMarkers) {
  Prepare();
  for (const char* n : {"a.req", "b.req", "c.req", "d.req"})
    site.Request(n, {"/portail.hv", "nobody", "menu"});
  test::WriteAll(Out("d.rdy"), "0\r\n");
  std::vector<std::string> order;
  site.view.on_events = [&] {
    if (!g.LogPhase.empty() && (order.empty() || order.back() != g.LogPhase))
      order.push_back(g.LogPhase);
  };
  EXPECT_EQ(RepereRequete(g), 3);
  ASSERT_EQ(order.size(), 3u);
  EXPECT_NE(order[0].find("/c.req"), std::string::npos);
  EXPECT_NE(order[2].find("/a.req"), std::string::npos);
  EXPECT_EQ(site.view.captions[site.view.captions.size() - 4], "(3) Guichet");
  EXPECT_EQ(ReadAll(Out("a.htm")), kErrorPage);
  EXPECT_EQ(ReadAll(Out("a.rdy")), "0\r\n");
  EXPECT_FALSE(Exists(Out("d.htm")));  // its answer still waits to be collected
  EXPECT_EQ(g.LogPhase, "");
  EXPECT_EQ(g.GetLabel(Label::kProgression2), "");
}

TEST_F(SpoolTest, PurgeDeletesFilesOlderThanThirtyMinutesButNotOnTheFirstCall) {
  test::MakeDirs(site.spool() + "/in");
  site.Request("old.req", {"/portail.hv", "x", "menu"});
  test::SetMtime(In("old.req"), Ago(32 * 60));
  site.Request("young.req", {"/portail.hv", "x", "menu"});
  test::SetMtime(In("young.req"), Ago(29 * 60));
  EXPECT_EQ(RepereRequete(g), 2);  // first call of the run: no purge, both answered
  test::SetMtime(Out("old.htm"), Ago(31 * 60));
  test::SetMtime(Out("old.rdy"), Ago(31 * 60));
  test::SetMtime(Out("young.rdy"), Ago(30 * 60));  // 30 boundaries: not more than 30
  RepereRequete(g);
  EXPECT_FALSE(Exists(In("old.req")));
  EXPECT_FALSE(Exists(Out("old.htm")));
  EXPECT_FALSE(Exists(Out("old.rdy")));
  EXPECT_TRUE(Exists(In("young.req")));
  EXPECT_TRUE(Exists(Out("young.rdy")));
}

// Between ticks the pickup keeps what it found in "in" and "out" while neither changed;
// what others do there in between is seen at the next tick, as by a full look.
TEST_F(SpoolTest, KeptLooksFollowWhatOthersChangeBetweenTicks) {
  Prepare();
  Prepare();  // past the first call: the purges run from here on
  int64_t settled = 7200;
  auto settle = [&] {  // folders whose times no longer move, so their look is kept
    --settled;
    test::SetMtime(site.spool() + "/in", Ago(settled));
    test::SetMtime(site.spool() + "/out", Ago(settled));
  };
  site.Request("a.req", {"/portail.hv", "nobody", "menu"});
  site.Request("b.req", {"/portail.hv", "nobody", "menu"});
  settle();
  EXPECT_EQ(RepereRequete(g), 2);
  settle();
  EXPECT_EQ(RepereRequete(g), 0);
  EXPECT_EQ(RepereRequete(g), 0);
  // The front end collects a's answer and marker; a's request is still there.
  std::remove(Out("a.rdy").c_str());
  std::remove(Out("a.htm").c_str());
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_TRUE(Exists(Out("a.rdy")));
  settle();
  EXPECT_EQ(RepereRequete(g), 0);
  // A request renamed in with an old time is purged before it is looked at, and one
  // renamed in with a new time is answered.
  test::WriteAll(site.spool() + "/in/.old", "/portail.hv\r\nx\r\nmenu\r\n");
  test::SetMtime(site.spool() + "/in/.old", Ago(31 * 60));
  std::rename((site.spool() + "/in/.old").c_str(), In("old.req").c_str());
  site.Request("c.req", {"/portail.hv", "nobody", "menu"});
  settle();
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_FALSE(Exists(In("old.req")));
  EXPECT_FALSE(Exists(Out("old.rdy")));
  EXPECT_TRUE(Exists(Out("c.rdy")));
  // An answer another program left with an old time goes too, and the kept look of
  // "out" does not bring its request back while its marker stays.
  test::SetMtime(Out("b.htm"), Ago(31 * 60));
  test::SetMtime(Out("b.rdy"), Ago(20 * 60));
  std::rename(Out("b.htm").c_str(), Out("b2.htm").c_str());
  settle();
  EXPECT_EQ(RepereRequete(g), 0);
  EXPECT_FALSE(Exists(Out("b2.htm")));
  EXPECT_TRUE(Exists(Out("b.rdy")));
}

TEST_F(SpoolTest, DailyPurgeRunsBeforeSixOnlyOncePerDay) {
  Prepare();
  std::string cached = site.spool() + "/cache/f.pdf", right = site.spool() + "/rights/~t.lst";
  auto reset = [&] {
    test::WriteAll(cached, "x");
    test::WriteAll(right, "x");
    test::SetMtime(cached, Ago(25 * 3600));
    test::SetMtime(right, Ago(25 * 3600));
  };
  site.env.SetNow(*ParseDate("08/12/2026 06:00:00"));
  reset();
  RepereRequete(g);
  EXPECT_TRUE(Exists(cached));  // 06:00 is too late in the day
  site.env.SetNow(*ParseDate("09/12/2026 05:59:00"));
  reset();
  RepereRequete(g);
  EXPECT_FALSE(Exists(cached));
  EXPECT_FALSE(Exists(right));
  site.env.SetNow(*ParseDate("10/12/2026 04:00:00"));  // only 23 hours later
  reset();
  RepereRequete(g);
  EXPECT_TRUE(Exists(cached));
  site.env.SetNow(*ParseDate("10/12/2026 05:00:00"));
  RepereRequete(g);
  EXPECT_FALSE(Exists(cached));
}

TEST_F(SpoolTest, ExpiredSessionsAreDropped) {
  g.Sessions.Append("gone", "u", "07/12/2026 09:59");
  g.Sessions.Append("edge", "u", "07/12/2026 10:00");
  RepereRequete(g);
  EXPECT_FALSE(g.Sessions.Find("gone"));
  EXPECT_TRUE(g.Sessions.Find("edge"));
}

TEST_F(SpoolTest, AFailedScanIsLoggedAndTheNextCallStartsOver) {
  Prepare();
  site.env.FailWhen(
      "ListFiles", [](const std::string& p) { return p.ends_with("/in"); }, Status::kDenied);
  EXPECT_EQ(RepereRequete(g), 1);  // a failed pass counts as activity
  EXPECT_FALSE(g.SpoolReady);
  EXPECT_NE(site.DayLog().find(W(" : RepereRequete : Permission refusée\r\n")), std::string::npos);
  site.env.ClearFailures();
  test::MakeDirs(site.spool() + "/post");
  test::WriteAll(site.spool() + "/post/_description_http_post.txt", "x");
  RepereRequete(g);
  EXPECT_TRUE(g.SpoolReady);
  EXPECT_FALSE(Exists(site.spool() + "/post/_description_http_post.txt"));
}

TEST_F(SpoolTest, BadHandleStartsTheRestartProgramAndSavesTheSessions) {
  Prepare();
  test::WriteAll(site.app() + "/RiVuvorad.exe", "#!/bin/sh\n");
  g.Sessions.Append("tok", "u1", "08/12/2026 10:00");
  site.env.FailWhen(
      "ListFiles", [](const std::string& p) { return p.ends_with("/in"); }, Status::kBadHandle);
  RepereRequete(g);
  EXPECT_TRUE(g.ended);
  ASSERT_EQ(site.env.started.size(), 1u);
  EXPECT_EQ(site.env.started[0], site.app() + "/RiVuvorad.exe");
  EXPECT_EQ(ReadAll(site.app() + "/guichet_lastlogons.txt"), "tok;u1;08/12/2026 10:00\r\n");
}

// The dispatcher ------------------------------------------------------------------

class DispatchTest : public SpoolTest {
 protected:
  void SetUp() override { Prepare(); }
};

TEST_F(DispatchTest, RequestsThatAreNotForThePortalAreLeftPending) {
  for (const char* path : {"/portail.hv ", "/Portail.hv", ""})
    site.Request("x.req", {path, "t", "menu"});
  EXPECT_FALSE(TraiteRequete(g, "x.req"));
  EXPECT_FALSE(TraiteRequete(g, "missing.req"));
  EXPECT_FALSE(Exists(Out("x.htm")));
  EXPECT_FALSE(Exists(Out("x.rdy")));
  EXPECT_EQ(RepereRequete(g), 0);  // ignored requests are no activity
}

TEST_F(DispatchTest, ValuesAreSplitAndShortFilesPadded) {
  auto p = SplitValues("v|1", "a|b", "x|y|z");
  EXPECT_EQ(p, (std::vector<std::string>{"", "v!1", "a!b", "x", "y", "z"}));
  p = SplitValues("", "", "");
  EXPECT_EQ(p.size(), 4u);
  site.Request("short.req", {"/portail.hv"});
  EXPECT_TRUE(TraiteRequete(g, "short.req"));
  EXPECT_EQ(ReadAll(Out("short.htm")), kErrorPage);
}

TEST_F(DispatchTest, KnownTokensAreRenewedInPlaceAndUnknownCommandsRefused) {
  for (int i = 1; i <= 5; ++i)
    g.Sessions.Append("t" + std::to_string(i), "u" + std::to_string(i), "07/12/2026 11:00");
  site.Request("m.req", {"/portail.hv", "t3", "menu"});
  EXPECT_TRUE(TraiteRequete(g, "m.req"));
  EXPECT_NE(ReadAll(Out("m.htm")).find("<DD>Commande&nbsp;non&nbsp;reconnue</DD>"),
            std::string::npos);
  EXPECT_EQ(ReadAll(Out("m.rdy")), "0\r\n");
  auto it = g.Sessions.entries().begin();
  std::advance(it, 2);
  EXPECT_EQ(it->jeton, "t3");
  EXPECT_EQ(it->expiration, "08/12/2026 10:00");
  EXPECT_EQ(g.GetLabel(Label::kCompte), "");  // not counted
  EXPECT_EQ(g.GetLabel(Label::kProgression2), "100%");
}

TEST_F(DispatchTest, AFailureBecomesTheFailurePageAndALogLine) {
  g.Sessions.Append("tok", "u", "08/12/2026 10:00");
  site.Request("f.req", {"/portail.hv", "tok", "menu"});
  site.env.FailWhen(
      "ReadFile", [](const std::string& p) { return p.ends_with("f.req"); }, Status::kDenied);
  EXPECT_TRUE(TraiteRequete(g, "f.req"));
  EXPECT_NE(ReadAll(Out("f.htm"))
                .find("<DD>Erreur&nbsp;dans&nbsp;PortailHalvero&nbsp;'Permission&nbsp;refus&eacute;"
                      "e'</DD>"),
            std::string::npos);
  EXPECT_EQ(ReadAll(Out("f.rdy")), "0\r\n");
  EXPECT_EQ(g.GetLabel(Label::kProgression2), "100%");
  std::string log = site.DayLog();
  const std::string path = g.CurrentSpoolRoot + "/in/f.req";  // as built, ".." kept
  EXPECT_NE(log.find(W("TraiteRequete : Permission refusée (") + path + ")"), std::string::npos)
      << log;
  EXPECT_NE(log.find("(Phase : Traitement du fichier " + path + ")\r\n"), std::string::npos);
}

TEST_F(DispatchTest, AnAnswerThatCannotBeWrittenIsSetAsideWithoutStoppingTheOthers) {
  site.Request("f.req", {"/portail.hv", "tok", "menu"});
  site.Request("a.req", {"/portail.hv", "tok", "menu"});  // listed before f: handled after it
  site.env.FailWhen(
      "WriteFile", [](const std::string& p) { return p.ends_with("f.htm"); }, Status::kDiskFull);
  bool failed = false;
  EXPECT_TRUE(TraiteRequete(g, "f.req", &failed));
  EXPECT_TRUE(failed);
  EXPECT_FALSE(Exists(Out("f.rdy")));  // no marker without an answer

  EXPECT_EQ(RepereRequete(g), 2);
  EXPECT_TRUE(Exists(Out("a.rdy")));
  EXPECT_TRUE(g.SpoolReady);                        // the purges go on
  EXPECT_EQ(g.GetLabel(Label::kProgression2), "");  // "Quitter" and closing work
  EXPECT_EQ(RepereRequete(g), 1);                   // a second try
  EXPECT_EQ(RepereRequete(g), 1);                   // a third, then set aside
  EXPECT_EQ(RepereRequete(g), 0);
  EXPECT_EQ(RepereRequete(g), 0);
  const std::string log = site.DayLog();
  const std::string aside =
      W("RepereRequete : réponse impossible après 3 essais, requête mise de côté (") +
      g.CurrentSpoolRoot + "/in/f.req)";
  EXPECT_NE(log.find(aside), std::string::npos) << log;
  EXPECT_EQ(log.find(aside), log.rfind(aside));  // logged once
  EXPECT_EQ(log.find("RepereRequete : Disque plein"), std::string::npos);
  EXPECT_NE(log.find("TraiteRequete : Disque plein (" + g.CurrentSpoolRoot + "/out/f.htm)"),
            std::string::npos);

  // Once the request file is gone, a new request of that name is answered again.
  site.env.ClearFailures();
  test::MakeDirs(site.spool() + "/gone");
  std::rename(In("f.req").c_str(), (site.spool() + "/gone/f.req").c_str());
  RepereRequete(g);
  site.Request("f.req", {"/portail.hv", "tok", "menu"});
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_TRUE(Exists(Out("f.rdy")));
}

TEST_F(DispatchTest, ASetAsideRequestIsTriedAgainAfterAGrowingPauseAndOnTicksOnly) {
  site.Request("f.req", {"/portail.hv", "tok", "menu"});
  site.env.FailWhen(
      "WriteFile", [](const std::string& p) { return p.ends_with("f.htm"); }, Status::kDiskFull);
  EXPECT_EQ(RepereRequete(g, false), 1);  // a first try between ticks...
  EXPECT_EQ(RepereRequete(g, false), 0);  // ...then the failed request waits for a tick
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_EQ(RepereRequete(g), 1);  // the third try: set aside
  EXPECT_EQ(RepereRequete(g), 0);
  site.env.Advance(2);  // the first pause
  EXPECT_EQ(RepereRequete(g, false), 0);
  EXPECT_EQ(RepereRequete(g), 1);  // tried again, fails again
  site.env.Advance(3);
  EXPECT_EQ(RepereRequete(g), 0);  // the pause doubled
  site.env.ClearFailures();        // space came back
  site.env.Advance(1);
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_TRUE(Exists(Out("f.rdy")));
  EXPECT_EQ(ReadAll(Out("f.htm")), kErrorPage);
  const std::string log = site.DayLog();
  const std::string aside = W("requête mise de côté (");
  EXPECT_NE(log.find(aside), std::string::npos) << log;
  EXPECT_EQ(log.find(aside), log.rfind(aside));  // logged once
}

TEST_F(DispatchTest, RequestsWhoseAnswersShareANameAreAnsweredOneAtATime) {
  SKIP_ON_WINDOWS("one Windows folder cannot hold a.req beside a.REQ");
  std::vector<std::string> taken;
  site.view.on_events = [&] {
    if (g.LogPhase.empty()) return;
    std::string name = g.LogPhase.substr(g.LogPhase.rfind('/') + 1);
    if (taken.empty() || taken.back() != name) taken.push_back(name);
  };
  site.Request("a.REQ", {"/portail.hv", "nobody", "menu"});
  site.Request("a.req", {"/portail.hv", "nobody", "menu"});  // listed last: answered first
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_EQ(RepereRequete(g), 0);  // the other waits until that answer is collected
  EXPECT_EQ(taken, std::vector<std::string>{"a.req"});
  // The front end collects the answer and removes its request.
  for (const std::string& f : {Out("a.rdy"), Out("a.htm"), site.spool() + "/in/a.req"})
    std::remove(f.c_str());
  EXPECT_EQ(RepereRequete(g), 1);
  EXPECT_EQ(taken, (std::vector<std::string>{"a.req", "a.REQ"}));
  EXPECT_EQ(ReadAll(Out("a.htm")), kErrorPage);
}

TEST_F(DispatchTest, AFailedMarkerCountsAsAFailedAnswer) {
  site.Request("m.req", {"/portail.hv", "tok", "menu"});
  site.env.FailWhen(
      "WriteFileAtomic", [](const std::string& p) { return p.ends_with("m.rdy"); },
      Status::kDenied);
  for (int i = 0; i < 5; ++i) RepereRequete(g);
  // Answered three times at most, never every tick.
  const std::string log = site.DayLog();
  size_t tries = 0;
  for (size_t at = log.find("TraiteRequete : "); at != std::string::npos;
       at = log.find("TraiteRequete : ", at + 1))
    ++tries;
  EXPECT_EQ(tries, 3u) << log;
}

TEST_F(DispatchTest, OversizedRequestsAreAnsweredWithTheFailurePageUnread) {
  site.Request("big.req", {"/portail.hv", "", "menu", "", "", std::string(kMaxRequestBytes, '|')});
  site.Request("max.req", {"/portail.hv", "", "menu"});
  EXPECT_TRUE(TraiteRequete(g, "big.req"));
  EXPECT_NE(ReadAll(Out("big.htm")).find("Fichier&nbsp;trop&nbsp;volumineux"), std::string::npos);
  EXPECT_EQ(ReadAll(Out("big.rdy")), "0\r\n");
  EXPECT_NE(site.DayLog().find("TraiteRequete : Fichier trop volumineux ("), std::string::npos);
  EXPECT_TRUE(TraiteRequete(g, "max.req"));
  EXPECT_EQ(ReadAll(Out("max.htm")), kErrorPage);
}

TEST_F(DispatchTest, AnswersKeepTheRequestsOwnNameAndCase) {
  // name, answer, marker
  std::vector<std::array<std::string, 3>> table = {
      {"b.req", "b.htm", "b.rdy"},
      {"B.req", "B.htm", "B.rdy"},
      {"UP.REQ", "UP.htm", "UP.rdy"},
      {"x.request.Req", "x.request.htm", "x.request.rdy"},
  };
#ifdef _WIN32
  // One Windows folder cannot hold "b.req" beside "B.req".
  table.erase(table.begin());
#endif
  for (const auto& [name, htm, rdy] : table) site.Request(name, {"/portail.hv", "", "menu"});
  EXPECT_EQ(RepereRequete(g), static_cast<int>(table.size()));
  for (const auto& [name, htm, rdy] : table) {
    EXPECT_EQ(ReadAll(Out(htm)), kErrorPage) << name;
    EXPECT_EQ(ReadAll(Out(rdy)), "0\r\n") << name;
  }
  EXPECT_EQ(RepereRequete(g), 0);  // each answered once
}

// The failure that ends both pickups is told by its kind: a failure that merely carries
// the same words is not it, and one raised from a status keeps the status's path.
TEST(FatalFailureTest, ToldByKindNotByText) {
  const Status bad(Status::kBadHandle, "/site/in/a.req");
  EXPECT_TRUE(IsFatalFailure(bad));
  EXPECT_FALSE(IsFatalFailure(Status(Status::kDiskFull, "/site/in/a.req")));
  try {
    Check(bad);
    FAIL() << "Check raised nothing";
  } catch (const Failure& f) {
    EXPECT_TRUE(IsFatalFailure(f));
    EXPECT_EQ(f.kind(), Status::kBadHandle);
    EXPECT_EQ(f.path(), "/site/in/a.req");
    EXPECT_EQ(f.description(), BadHandleDescription());
  }
  EXPECT_FALSE(IsFatalFailure(Failure(BadHandleDescription())));
  EXPECT_FALSE(IsFatalFailure(std::runtime_error(BadHandleDescription())));
}

}  // namespace
}  // namespace guichet
