// The move queue shared with other programs: real second processes hold its lock or
// wait for it while Guichet empties it or appends to it; a line left unterminated, a
// FIFO in its place, and lines that can never move.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <memory>

#include "core/request.h"
#include "exchange/dispatch.h"
#include "support/names.h"
#include "support/text.h"
#include "support_lib/queue_lock.h"
#include "workflow/move.h"
#include "workflow/stage_files.h"
#include "workflow/transitions.h"
#include "workflow_test_util.h"

namespace guichet::test {
namespace {

class Queue : public ::testing::Test {
 protected:
  TestSite site;
  Guichet& g = *site.g;

  std::string T(const std::string& rest) { return site.tasks() + "/" + rest; }
  std::string Path() { return T("ToMove.txt"); }
  std::string WorkflowLog() { return ReadAll(site.app() + "/guichet.log"); }

  void Catalogues() {
    MakeDirs(site.templates() + "/S");
    WriteAll(site.templates() + "/Services.txt", "1|S\r\n");
    WriteAll(site.templates() + "/TypeDocs.txt", "1|T|Type\r\n");
    WriteAll(site.templates() + "/S/Type.txt", "template");
  }
  void Document(const std::string& id) { WriteAll(T("hvr_" + id + ".typedoc"), "T\r\n"); }

  // A "finished" request of u7 for document `id`, handled by the dispatcher; returns the
  // answer page ("" when there is none).
  std::string Finished(const std::string& name, const std::string& id) {
    MakeDirs(site.spool() + "/in");
    MakeDirs(site.spool() + "/out");
    if (!g.Sessions.Find("tok")) g.Sessions.Append("tok", "u7", "08/12/2026 10:00");
    site.Request(name + ".req", {"/portail.hv", "tok", "finished", "", id, ""});
    EXPECT_TRUE(TraiteRequete(g, name + ".req"));
    return ReadAll(site.spool() + "/out/" + name + ".htm");
  }
};

// Lets another process wait for the queue lock while the cycle holds it for its last
// length check: the waiter opened the queue before the cycle emptied it.
class WaiterAtLastCheck : public EnvWrapper {
 public:
  WaiterAtLastCheck(Env* target, std::string queue, std::string line)
      : EnvWrapper(target), queue_(std::move(queue)), line_(std::move(line)) {}
  std::unique_ptr<FileLock> LockFile(const std::string& p) override {
    return Arm(EnvWrapper::LockFile(p));
  }
  std::unique_ptr<FileLock> TryLockFile(const std::string& p, int w) override {
    return Arm(EnvWrapper::TryLockFile(p, w));
  }
  std::unique_ptr<BlockedAppender> waiter;

 private:
  std::unique_ptr<FileLock> Arm(std::unique_ptr<FileLock> lock) {
    // The first lock is the reading of the queue, the second the last check.
    if (++calls_ == 2 && lock) waiter = std::make_unique<BlockedAppender>(queue_, line_);
    return lock;
  }
  std::string queue_, line_;
  int calls_ = 0;
};

TEST_F(Queue, LineOfAWriterWaitingForTheLockAtTheLastCheckIsKept) {
  Catalogues();
  Document("42");
  WriteAll(Path(), "42;u7\r\n");
  WaiterAtLastCheck env(&site.env, Path(), "99;u9\r\n");
  Guichet other(env, site.view, site.desktop);
  other.AppFolder = g.AppFolder;
  other.TasksFolder = g.TasksFolder;
  RepereMove(other);
  ASSERT_TRUE(env.waiter);
  EXPECT_TRUE(env.waiter->Wait());
  EXPECT_TRUE(Exists(T("Transcriptions/u7/hvr_42.finished.bat")));
  // The cycle emptied the queue in place; the waiter's line landed in it.
  EXPECT_EQ(ReadAll(Path()), "99;u9\r\n");
}

TEST_F(Queue, CycleDoesNotWaitForALockHeldElsewhere) {
  Catalogues();
  Document("42");
  WriteAll(Path(), "42;u7\r\n");
  {
    LockHolder holder(Path());
    ASSERT_GT(holder.pid(), 0);
    RepereMove(g);
    EXPECT_TRUE(holder.Release()) << "the cycle waited for the lock";
  }
  EXPECT_TRUE(Exists(T("hvr_42.typedoc")));  // nothing moved, queue whole
  EXPECT_EQ(ReadAll(Path()), "42;u7\r\n");
  RepereMove(g);  // the next cycle finds the lock free
  EXPECT_TRUE(Exists(T("Transcriptions/u7/hvr_42.finished.bat")));
  EXPECT_EQ(ReadAll(Path()), "");
}

TEST_F(Queue, TransitionFailsWhenTheLockStaysHeld) {
  Document("42");
  WriteAll(Path(), "41;u7\r\n");
  LockHolder holder(Path());
  ASSERT_GT(holder.pid(), 0);
  std::string page = Finished("f1", "42");
  EXPECT_TRUE(holder.Release()) << "the append waited for the lock";
  EXPECT_NE(page.find("Erreur&nbsp;dans&nbsp;PortailHalvero&nbsp;'Permission&nbsp;refus&eacute;e'"),
            std::string::npos)
      << page;
  EXPECT_TRUE(Exists(site.spool() + "/out/f1.rdy"));
  EXPECT_EQ(ReadAll(Path()), "41;u7\r\n");
  EXPECT_NE(site.DayLog().find("AjouteAuFichierMove : "), std::string::npos);
  // Once the lock is let go, the same request goes through.
  EXPECT_EQ(Finished("f2", "42"), "");
  EXPECT_EQ(ReadAll(Path()), "41;u7\r\n42;u7\r\n");
}

TEST_F(Queue, UnterminatedLastLineIsEndedBeforeTheAppend) {
  struct Case {
    const char* before;
    const char* after;
  } cases[] = {
      {"210;u7", "210;u7\r\n211;u7\r\n"},
      {"210;u7\r", "210;u7\r211;u7\r\n"},
      {"210;u7\n", "210;u7\n211;u7\r\n"},
      {"210;u7\r\n", "210;u7\r\n211;u7\r\n"},
      {"", "211;u7\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    WriteAll(Path(), c.before);
    AppendToMoveQueue(g, "211", "u7");
    EXPECT_EQ(ReadAll(Path()), c.after);
  }
  // Both documents then move into u7, not into a folder "u7211".
  Catalogues();
  Document("210");
  Document("211");
  WriteAll(Path(), "210;u7");
  AppendToMoveQueue(g, "211", "u7");
  RepereMove(g);
  EXPECT_EQ(ListDir(T("Transcriptions")), std::vector<std::string>{"u7"});
  EXPECT_TRUE(Exists(T("Transcriptions/u7/hvr_210.finished.bat")));
  EXPECT_TRUE(Exists(T("Transcriptions/u7/hvr_211.finished.bat")));
}

#ifndef _WIN32
// Run in a child process, so that a Guichet that blocks cannot hang the test program.
bool EndsWithin(const std::function<void()>& body, int seconds) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  for (int i = 0; i < seconds * 20; ++i) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    usleep(50 * 1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
}

#endif

TEST_F(Queue, FifoInPlaceOfTheQueueNeitherBlocksNorIsWrittenInto) {
#ifdef _WIN32
  GTEST_SKIP() << "FIFOs in the file system are a Linux thing";
#else
  Catalogues();
  Document("42");
  ASSERT_EQ(mkfifo(Path().c_str(), 0666), 0);
  MakeDirs(site.spool() + "/in");
  MakeDirs(site.spool() + "/out");
  g.Sessions.Append("tok", "u7", "08/12/2026 10:00");
  site.Request("f1.req", {"/portail.hv", "tok", "finished", "", "42", ""});
  EXPECT_TRUE(EndsWithin(
      [&] {
        RepereMove(g);
        TraiteRequete(g, "f1.req");
      },
      10));
  // The request got the failure page (in the child, on the same disk).
  EXPECT_NE(ReadAll(site.spool() + "/out/f1.htm").find("Erreur&nbsp;dans&nbsp;PortailHalvero"),
            std::string::npos);
  EXPECT_TRUE(Exists(T("hvr_42.typedoc")));
#endif
}

TEST_F(Queue, LineThatCanNeverMoveIsLoggedOnceAndDropped) {
  Catalogues();
  Document("42");
  Document("43");
  Document("44");
  const std::string long_author(kMaxNamePartBytes + 1, 'a');
  const std::string longest(kMaxNamePartBytes, 'b');
  const std::string no_folder(300, 'c');  // longer than any folder name
  WriteAll(Path(), "42;" + long_author + "\r\n43;" + longest + "\r\n44;" + no_folder + "\r\n");
  RepereMove(g);
  RepereMove(g);
  EXPECT_EQ(ReadAll(Path()), "");
  EXPECT_TRUE(Exists(T("hvr_42.typedoc")));
  EXPECT_TRUE(Exists(T("hvr_44.typedoc")));
  // The longest name a queue line may carry makes a folder like any other.
  EXPECT_TRUE(Exists(T("Transcriptions/" + longest + "/hvr_43.finished.bat")));
  const std::string log = WorkflowLog();
  EXPECT_EQ(log.find("Can't copy"), std::string::npos) << log;
  const std::string dropped = W("Ligne de ToMove.txt abandonnée : 42;") + long_author + "\r\n";
  size_t at = log.find(dropped);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(dropped, at + 1), std::string::npos) << "logged twice";
}

}  // namespace
}  // namespace guichet::test
