// The real executable in a temporary site, fed the way the front end feeds it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;

TEST(SpineEndToEnd, AnswersRequestsAndPurgesWhatNobodyCollected) {
  test::RunningGuichet run;
  // Files left from before the start, dated in the past.
  test::MakeDirs(run.spool() + "/in");
  test::MakeDirs(run.spool() + "/out");
  int64_t now = time(nullptr);
  test::WriteAll(run.spool() + "/out/old.htm", "x");
  test::SetMtime(run.spool() + "/out/old.htm", now - 32 * 60);
  test::WriteAll(run.spool() + "/out/recent.htm", "x");
  test::SetMtime(run.spool() + "/out/recent.htm", now - 29 * 60);
  run.Start();
  ASSERT_TRUE(run.Running());

  std::string marker;
  EXPECT_EQ(run.Ask("q1", {"/portail.hv", "no-such-token", "menu", "", "", ""}, &marker),
            "<html>\r\n<head>\r\n<title>\r\nErreur\r\n</title>\r\n</head>\r\n<body>\r\n"
            "<DD>Erreur&nbsp;de&nbsp;syntaxe&nbsp;()</DD>\r\n</body>\r\n</html>\r\n");
  EXPECT_EQ(marker, "0\r\n");

  // Three requests at once are all answered.
  for (const char* n : {"a.req", "b.req", "c.req"})
    test::DropRequest(run.spool(), n, {"/portail.hv", "", "x"});
  for (const char* n : {"a", "b", "c"})
    EXPECT_TRUE(run.WaitFor(run.spool() + "/out/" + n + ".rdy")) << n;

  // A request not for the portal stays unanswered.
  test::DropRequest(run.spool(), "ignored.req", {"/Portail.hv", "", "x"});
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_FALSE(Exists(run.spool() + "/out/ignored.rdy"));

  // By now the purge has run (it skips the first pickup only).
  EXPECT_FALSE(Exists(run.spool() + "/out/old.htm"));
  EXPECT_TRUE(Exists(run.spool() + "/out/recent.htm"));

  std::string err;
  EXPECT_NE(run.RunAgain(&err), 0);
  EXPECT_EQ(err, "Guichet est deja lancé. L'application va se terminer\n");
  EXPECT_TRUE(run.Running());
  EXPECT_EQ(run.Stop(), 0);
  // No temporary file is left behind in the answer folder.
  for (const std::string& n : test::ListDir(run.spool() + "/out")) EXPECT_NE(n[0], '~') << n;
}

}  // namespace
}  // namespace guichet
