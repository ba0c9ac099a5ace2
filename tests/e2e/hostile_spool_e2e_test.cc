// The real executable against what others can plant in the spool and the site: request
// names that differ in case or are very long, folders, links and FIFOs where answers go,
// files no listing shows, leftovers of a kill, an upgrade that replaces the executable,
// and a process out of descriptors.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/text.h"
#include "support_lib/site.h"
#include "support_lib/tools.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;
using test::RunningGuichet;

std::vector<std::string> Req(const std::string& token, const std::string& command,
                             const std::string& field = "", const std::string& password = "") {
  return {"/portail.hv", token, command, "", field, password};
}

// Logs "anna" on and returns her session token.
[[maybe_unused]] std::string LogOn(RunningGuichet& gu) {
  std::string rows = gu.Ask("logon", Req("", "getlogon", "anna", "dictee"));
  size_t end = rows.find("\r\n");
  return end == std::string::npos ? "" : rows.substr(end + 2, 32);
}

[[maybe_unused]] bool WaitForText(RunningGuichet& gu, const std::string& text,
                                  int timeout_ms = 15000) {
  for (int waited = 0; waited <= timeout_ms; waited += 50) {
    if (gu.DayLogs().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

[[maybe_unused]] int Count(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

#ifndef _WIN32
mode_t Mode(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode & 0777;
}
#endif

TEST(HostileSpoolE2E, EachRequestIsAnsweredOnceUnderItsOwnName) {
#ifdef _WIN32
  GTEST_SKIP() << "names that differ only in case, file modes and names at the length limit "
                  "of a Linux file system";
#else
  RunningGuichet gu;
  test::WriteAll(gu.app() + "/guichet_users.txt", "anna:dictee=anna\r\n");
  gu.Start();
  const std::string token = LogOn(gu);
  ASSERT_EQ(token.size(), 32u);
  const std::string out = gu.spool() + "/out/";

  // Names that differ only in case get answers of their own: one client's session
  // token never lands in another's answer.
  test::DropRequest(gu.spool(), "a.req", Req("", "getlogon", "anna", "dictee"));
  test::DropRequest(gu.spool(), "A.req", Req("nobody", "menu"));
  ASSERT_TRUE(gu.WaitFor(out + "a.rdy"));
  EXPECT_TRUE(gu.WaitFor(out + "A.rdy"));
  EXPECT_EQ(ReadAll(out + "a.rdy"), "2\r\n");
  EXPECT_EQ(ReadAll(out + "A.rdy"), "0\r\n");
  EXPECT_NE(ReadAll(out + "a.htm").find("||command=getlogon||"), std::string::npos);
  EXPECT_NE(ReadAll(out + "A.htm").find("Erreur&nbsp;de&nbsp;syntaxe"), std::string::npos);
  // Answers hold session tokens: not for every local user.
  for (const char* n : {"a.htm", "a.rdy", "A.htm", "A.rdy"})
    EXPECT_EQ(Mode(out + n) & 0007, 0u) << n << " " << std::oct << Mode(out + n);

  // An ending in capitals and a name near the file system's limit: each is answered
  // once, so each hands out one document number.
  const std::string lng(245, 'n');
  test::DropRequest(gu.spool(), "UP.REQ", Req(token, "createtmp", "1"));
  test::DropRequest(gu.spool(), lng + ".req", Req(token, "createtmp", "1"));
  EXPECT_TRUE(gu.WaitFor(out + "UP.rdy"));
  EXPECT_TRUE(gu.WaitFor(out + lng + ".rdy"));
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // a few more ticks
  EXPECT_EQ(ReadAll(gu.tasks() + "/Count.txt"), "3\r\n");
  EXPECT_EQ(ReadAll(out + "UP.htm"), "||command=createtmp||\r\n1\r\n");
  EXPECT_EQ(ReadAll(out + lng + ".htm"), "||command=createtmp||\r\n2\r\n");
  EXPECT_FALSE(Exists(out + "UP.REQ"));
  for (const std::string& n : test::ListDir(gu.spool() + "/out")) EXPECT_NE(n[0], '~') << n;
  EXPECT_EQ(gu.Stop(), 0);
#endif
}

TEST(HostileSpoolE2E, PlantedFilesFailTheirOwnRequestOnly) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links and FIFOs planted the Linux way";
#else
  RunningGuichet gu;
  test::WriteAll(gu.app() + "/guichet_users.txt", "anna:dictee=anna\r\n");
  const std::string in = gu.spool() + "/in/", out = gu.spool() + "/out/";
  test::MakeDirs(in);
  test::MakeDirs(out);
  // A folder, a link and a FIFO where answers go; a FIFO where the next document's type
  // file goes.
  test::MakeDirs(out + "x.htm");
  test::WriteAll(gu.root() + "/elsewhere.txt", "keep");
  ASSERT_EQ(symlink((gu.root() + "/elsewhere.txt").c_str(), (out + "y.htm").c_str()), 0);
  ASSERT_EQ(mkfifo((out + "z.htm").c_str(), 0666), 0);
  ASSERT_EQ(mkfifo((gu.tasks() + "/hvr_1.typedoc").c_str(), 0666), 0);
  // What nobody collected, under names no listing shows, and leftovers of a kill.
  const int64_t now = time(nullptr);
  for (const std::string& f :
       {out + "old.htm", out + ".old.tmp", out + "old:1.htm", in + ".front.tmp", in + "old|2.req",
        gu.tasks() + "/~hvr_7.txt.99.1", gu.app() + "/~guichet_lastlogons.txt.99.2"}) {
    test::WriteAll(f, "x");
    test::SetMtime(f, now - 40 * 60);
  }
  test::WriteAll(gu.tasks() + "/~hvr_8.txt.99.3", "x");  // young: may be under way
  gu.Start();
  const std::string token = LogOn(gu);
  ASSERT_EQ(token.size(), 32u);

  // Listed after the good ones, so answered before them in every pass.
  for (const char* n : {"x.req", "y.req", "z.req"})
    test::DropRequest(gu.spool(), n, Req(token, "step"));
  for (const char* n : {"a.req", "b.req"}) test::DropRequest(gu.spool(), n, Req(token, "step"));
  EXPECT_TRUE(gu.WaitFor(out + "a.rdy"));
  EXPECT_TRUE(gu.WaitFor(out + "b.rdy"));
  // The FIFO in place of the type file is never written into: the type file is written
  // aside, flushed and renamed over it, and the number is handed out.
  std::string page = gu.Ask("c", Req(token, "createtmp", "1"));
  EXPECT_NE(page.find("||command=createtmp||\r\n1"), std::string::npos) << page;
  struct stat typedoc;
  ASSERT_EQ(lstat((gu.tasks() + "/hvr_1.typedoc").c_str(), &typedoc), 0);
  EXPECT_TRUE(S_ISREG(typedoc.st_mode));

  // Each request whose answer cannot be written is set aside once, after a few tries.
  for (const char* n : {"x.req", "y.req", "z.req"})
    EXPECT_TRUE(
        WaitForText(gu, W("requête mise de côté (") + gu.app() + "/../IsapiHalvero/in/" + n + ")"))
        << n;
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::string logs = gu.DayLogs();
  EXPECT_EQ(Count(logs, W("mise de côté")), 3) << logs;
  EXPECT_EQ(ReadAll(gu.root() + "/elsewhere.txt"), "keep");
  for (const char* n : {"x.rdy", "y.rdy", "z.rdy"}) EXPECT_FALSE(Exists(out + n)) << n;

  // The purge still ran, and saw every file.
  for (const std::string& f :
       {out + "old.htm", out + ".old.tmp", out + "old:1.htm", in + ".front.tmp", in + "old|2.req",
        gu.tasks() + "/~hvr_7.txt.99.1", gu.app() + "/~guichet_lastlogons.txt.99.2"})
    EXPECT_FALSE(Exists(f)) << f;
  EXPECT_TRUE(Exists(gu.tasks() + "/~hvr_8.txt.99.3"));

  // And a close request is acted on.
  EXPECT_EQ(gu.Stop(), 0);
#endif
}

TEST(HostileSpoolE2E, TheAdministratorsFilesMayBeLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links the Linux way";
#else
  RunningGuichet gu;
  // Configuration kept elsewhere, linked into the site.
  const std::string conf = gu.root() + "/etc/";
  test::MakeDirs(conf);
  test::WriteAll(conf + "users.txt", "anna:dictee=anna\r\n");
  test::WriteAll(conf + "menu.txt", "<p>[idutilisateur]</p>\r\n");
  test::WriteAll(conf + "Services.txt", "1|Cardiologie\r\n");
  test::WriteAll(conf + "TypeDocs.txt", "1|1|Lettre\r\n");
  test::MakeDirs(gu.app() + "/ModelesPortail");
  test::MakeDirs(gu.root() + "/Templates");
  const std::vector<std::pair<std::string, std::string> > links = {
      {"users.txt", gu.app() + "/guichet_users.txt"},
      {"menu.txt", gu.app() + "/ModelesPortail/menu.txt"},
      {"Services.txt", gu.root() + "/Templates/Services.txt"},
      {"TypeDocs.txt", gu.root() + "/Templates/TypeDocs.txt"},
  };
  for (const auto& [from, to] : links) ASSERT_EQ(symlink((conf + from).c_str(), to.c_str()), 0);
  gu.Start();

  EXPECT_EQ(gu.Ask("l1", Req("", "login", "anna", "dictee")), "<p>anna</p>\r\n");
  const std::string token = LogOn(gu);
  ASSERT_EQ(token.size(), 32u);
  const std::string rows = gu.Ask("l2", Req(token, "configuration"));
  EXPECT_NE(rows.find("1|Cardiologie\r\n"), std::string::npos) << rows;
  EXPECT_NE(rows.find("1|1|Lettre\r\n"), std::string::npos) << rows;
  EXPECT_EQ(gu.Stop(), 0);
#endif
}

TEST(HostileSpoolE2E, AnUpgradedExecutableStillGuardsTheInstallation) {
  RunningGuichet gu;
  gu.Start();
  ASSERT_TRUE(gu.Running());
#ifndef _WIN32
  // The way package managers and install(1) replace a program: a copy, then a rename.
  // (Windows keeps a running program's file from being replaced.)
  ASSERT_EQ(test::Shell("cp " + test::Quote(gu.app() + "/guichet") + " " +
                        test::Quote(gu.app() + "/.guichet.new") + " && mv " +
                        test::Quote(gu.app() + "/.guichet.new") + " " +
                        test::Quote(gu.app() + "/guichet")),
            0);
#endif
  std::string err;
  EXPECT_EQ(gu.RunAgain(&err), 1);
  EXPECT_EQ(err, "Guichet est deja lancé. L'application va se terminer\n");
  EXPECT_TRUE(gu.Running());
  // No file was made for the guard.
  for (const std::string& n : test::ListDir(gu.app()))
    EXPECT_TRUE(n == test::ProgramName() || n == test::CodecLibraryName() ||
                n.rfind("LogHalvero", 0) == 0)
        << n;
  EXPECT_EQ(gu.Stop(), 0);
}

TEST(HostileSpoolE2E, RunningOutOfDescriptorsEndsWithALineAndAFailureStatus) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's runtime opens descriptors of its own before Guichet starts: five are
  // not enough for it, so the run would test the runtime, not Guichet.
  GTEST_SKIP() << "not under AddressSanitizer";
#endif
  SKIP_ON_WINDOWS("a descriptor limit (RLIMIT_NOFILE) is a Linux setting");
  RunningGuichet gu;
  test::MakeDirs(gu.spool() + "/out");  // what Start() waits for
  // Standard streams, the reserve and the instance guard: nothing left for a listing.
  gu.Start(5);
  EXPECT_NE(gu.WaitExit(15000), 0);
  EXPECT_NE(gu.DayLogs().find("Guichet : " + BadHandleDescription()), std::string::npos)
      << gu.DayLogs();
}

}  // namespace
}  // namespace guichet
