// The move cycle on a real temporary site: queue handling, catalogues and templates,
// the stage batch file, urgency, and the queue kept whenever a line could be lost.
#include "workflow/move.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "support/text.h"
#include "workflow_test_util.h"

namespace guichet::test {
namespace {

class MoveCycle : public ::testing::Test {
 protected:
  TestSite site;
  Guichet& g = *site.g;

  std::string Tasks(const std::string& rest) { return site.tasks() + "/" + rest; }
  std::string Trans(const std::string& rest) { return site.tasks() + "/Transcriptions/" + rest; }
  std::string Queue() { return Tasks("ToMove.txt"); }
  // A queue the cycle consumed is emptied in place, never deleted.
  bool QueueEmptied() { return Exists(Queue()) && ReadAll(Queue()).empty(); }
  std::string WorkflowLog() { return ReadAll(site.app() + "/guichet.log"); }

  // Catalogues: type code "LT" of service 3 "Cardiologie" is "Lettre"; "CR" has no
  // templates; commented lines and a two-field type are ignored.
  void Catalogues() {
    MakeDirs(site.templates() + "/Cardiologie");
    WriteAll(site.templates() + "/Services.txt",
             "; id|name\r\n;3|Commented\r\n3| Cardiologie |x\r\n4|Radiologie\r\n");
    WriteAll(site.templates() + "/TypeDocs.txt",
             ";3|LT|Commented\r\n3|LT| Lettre |Lettre\r\n3|CR|Compte rendu\r\n3|TWO\r\n");
    WriteAll(site.templates() + "/Cardiologie/Lettre.info",
             "Date=%DateCreation%\r\nInv=%datecreationinverse%\r\nSvc=%SERVICE%\r\n"
             "Type=%TypeDoc% de %Auteur%\r\n");
    WriteAll(site.templates() + "/Cardiologie/Lettre.doc", "DOC TEMPLATE");
    WriteAll(site.templates() + "/Cardiologie/Lettre.court.doc", "SHORT");
    WriteAll(site.templates() + "/Cardiologie/Lettre", "no extension");
  }

  void Document(const std::string& id, const std::string& typedoc, const std::string& urg = "") {
    WriteAll(Tasks("hvr_" + id + ".typedoc"), typedoc + "\r\n");
    WriteAll(Tasks("hvr_" + id + ".txt"), "text of " + id);
    if (!urg.empty()) WriteAll(Tasks("hvr_" + id + ".urg"), urg + "\r\n");
  }

  std::string Line(const std::string& text) { return "07/12/2026 10:00:00 - " + text; }
};

TEST_F(MoveCycle, EmptyOrMissingQueueDoesNothing) {
  RepereMove(g);
  WriteAll(Queue(), "");
  RepereMove(g);
  EXPECT_FALSE(Exists(site.templates()));
  EXPECT_TRUE(Exists(Queue()));
}

TEST_F(MoveCycle, MissingCatalogueKeepsEverything) {
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n");
  RepereMove(g);
  EXPECT_TRUE(Exists(site.templates()));  // created, but empty
  EXPECT_TRUE(Exists(Tasks("hvr_42.txt")));
  EXPECT_EQ(ReadAll(Queue()), "42;u7\r\n");
}

TEST_F(MoveCycle, WholeRoadOfOneSpeexDictation) {
  REQUIRE_DICTATION();
  InstallCodec(site.app());
  Catalogues();
  WriteAll(Tasks("hvr_42.spx"), ReadAll(Dictation()));
  WriteAll(Tasks("hvr_42.typedoc"), "LT\r\n");
  WriteAll(Tasks("hvr_420.txt"), "another document");
  WriteAll(Queue(), "42;u7\r\n");
  site.env.SetNow(ParseDate("05/03/2026 09:07:03").value());
  RepereMove(g);

  EXPECT_EQ(ListDir(Trans("u7")),
            (std::vector<std::string>{"hvr_42.caf", "hvr_42.court.doc", "hvr_42.doc",
                                      "hvr_42.finished.bat", "hvr_42.id", "hvr_42.info",
                                      "hvr_42.spx.old", "hvr_42.typedoc", "hvr_42.wav"}));
  EXPECT_EQ(ListDir(site.tasks()),
            (std::vector<std::string>{"ToMove.txt", "Transcriptions", "hvr_420.txt"}));
  EXPECT_TRUE(QueueEmptied());
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.finished.bat")),
            "mkdir \"..\\..\\Validations\"\r\n"
            "mkdir \"..\\..\\Validations\\u7\"\r\n"
            "move hvr_42.* \"..\\..\\Validations\\u7\"\r\n");
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.info")),
            "Date=05/03/2026\r\nInv=2026-03-05\r\nSvc=Cardiologie\r\nType=Lettre de u7\r\n");
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.doc")), "DOC TEMPLATE");
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.court.doc")), "SHORT");
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.id")), "");
  const std::string line = "05/03/2026 09:07:03 - Trans. : u7 (#42)";
  EXPECT_EQ(g.Activities(), std::vector<std::string>{line});
  EXPECT_EQ(WorkflowLog(), line + "\r\n");
  EXPECT_EQ(site.view.beeps, 0);
}

TEST_F(MoveCycle, UrgencyPrefixesAndOneBeep) {
  Catalogues();
  struct Case {
    const char* id;
    const char* urg;
    const char* prefix;
    bool marker;
  } cases[] = {
      {"1", "URGENT", "URGENT! ", true},
      {"2", "tres urgent", "URGENT! ", true},
      {"3", "Normal", "", false},
      {"4", "2", "2", false},
      {"5", "", "", false},
  };
  std::string queue;
  for (const Case& c : cases) {
    Document(c.id, "LT", c.urg);
    queue += std::string(c.id) + ";u7\r\n";
  }
  WriteAll(Queue(), queue);
  RepereMove(g);
  ASSERT_EQ(g.Activities().size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.urg);
    EXPECT_EQ(g.Activities()[i], Line(std::string(c.prefix) + "Trans. : u7 (#" + c.id + ")"));
    EXPECT_EQ(Exists(Trans("u7/hvr_" + std::string(c.id) + ".URGENT!")), c.marker);
  }
  EXPECT_EQ(site.view.beeps, 1);
}

TEST_F(MoveCycle, NoTemplatesMeansMovedButNotFinished) {
  Catalogues();
  Document("7", "CR");   // type without templates
  Document("8", "TWO");  // no type name
  Document("9", "??");   // no catalogue entry
  WriteAll(Queue(), "7;u7\r\n8;u7\r\n9;u7\r\n");
  RepereMove(g);
  for (const char* id : {"7", "8", "9"}) {
    SCOPED_TRACE(id);
    std::string base = Trans("u7/hvr_") + id;
    EXPECT_TRUE(Exists(base + ".txt"));
    EXPECT_FALSE(Exists(base + ".id"));
    EXPECT_FALSE(Exists(base + ".finished.bat"));
  }
  EXPECT_TRUE(g.Activities().empty());
  EXPECT_TRUE(QueueEmptied());
}

TEST_F(MoveCycle, SecondPassKeepsFilledTemplatesAndWritesNoSecondLine) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n42;u7\r\n");
  RepereMove(g);
  EXPECT_EQ(g.Activities().size(), 1u);
  WriteAll(Trans("u7/hvr_42.info"), "edited by the typist");
  // Back in the tasks folder (as after a rejection), then queued again.
  WriteAll(Tasks("hvr_42.txt"), "again");
  WriteAll(Queue(), "42;u7\r\n");
  RepereMove(g);
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.info")), "edited by the typist");
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.txt")), "again");
  EXPECT_EQ(g.Activities().size(), 2u);
}

TEST_F(MoveCycle, FailedCopyKeepsQueueAndNextCycleFinishes) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n");
  site.env.FailWhen(
      "CopyFile", [](const std::string& p) { return p.ends_with("hvr_42.txt"); }, Status::kDenied);
  RepereMove(g);
  EXPECT_TRUE(Exists(Tasks("hvr_42.txt")));
  EXPECT_TRUE(Exists(Queue()));
  EXPECT_NE(WorkflowLog().find(Line("Can't copy " + g.TasksFolder + "/hvr_42.txt\r\n")),
            std::string::npos);
  EXPECT_EQ(g.Activities().size(), 1u);  // typedoc moved, so the document was finished

  site.env.ClearFailures();
  RepereMove(g);
  EXPECT_FALSE(Exists(Tasks("hvr_42.txt")));
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.txt")), "text of 42");
  EXPECT_TRUE(QueueEmptied());
  EXPECT_EQ(g.Activities().size(), 2u);
}

// The stage batch file marks a finished document: one that cannot be written leaves the
// queue whole, and the next cycle writes it (the family has already left the tasks folder).
TEST_F(MoveCycle, FailedBatchFileKeepsQueueAndNextCycleFinishes) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n");
  site.env.FailWhen(
      "WriteFileAtomic", [](const std::string& p) { return p.ends_with(".finished.bat"); },
      Status::kDiskFull);
  RepereMove(g);
  EXPECT_FALSE(Exists(Trans("u7/hvr_42.finished.bat")));
  EXPECT_EQ(ReadAll(Queue()), "42;u7\r\n");
  EXPECT_TRUE(g.Activities().empty());

  site.env.ClearFailures();
  RepereMove(g);
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.finished.bat")), BatchTranscription("42", "u7"));
  EXPECT_EQ(ReadAll(Trans("u7/hvr_42.doc")), "DOC TEMPLATE");
  EXPECT_TRUE(QueueEmptied());
  EXPECT_EQ(g.Activities().size(), 1u);
}

// A template that cannot be filled is logged and left out; the document is finished.
TEST_F(MoveCycle, TemplateThatCannotBeWrittenIsLoggedAndLeftOut) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n");
  site.env.FailWhen(
      "WriteFileAtomic", [](const std::string& p) { return p.ends_with("hvr_42.info"); },
      Status::kDenied);
  RepereMove(g);
  EXPECT_FALSE(Exists(Trans("u7/hvr_42.info")));
  EXPECT_TRUE(Exists(Trans("u7/hvr_42.finished.bat")));
  EXPECT_TRUE(QueueEmptied());
  EXPECT_NE(site.DayLog().find("RemplirModele : "), std::string::npos);
}

// Appends a queue line, the way another program does, on the first copy of the cycle.
class AppendingEnv : public EnvWrapper {
 public:
  AppendingEnv(Env* target, std::string queue) : EnvWrapper(target), queue_(std::move(queue)) {}
  Status CopyFile(const std::string& f, const std::string& t) override {
    if (!done_) {
      done_ = true;
      // A line that cannot be appended fails the queue checks of the test.
      IgnoreFailure(AppendFileLocked(queue_, "77;u9\r\n"));
    }
    return EnvWrapper::CopyFile(f, t);
  }

 private:
  std::string queue_;
  bool done_ = false;
};

TEST_F(MoveCycle, AppendDuringCycleKeepsQueue) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n");
  AppendingEnv env(&site.env, Queue());
  Guichet other(env, site.view, site.desktop);
  other.AppFolder = g.AppFolder;
  other.TasksFolder = g.TasksFolder;
  RepereMove(other);
  EXPECT_EQ(ReadAll(Queue()), "42;u7\r\n77;u9\r\n");
  EXPECT_TRUE(Exists(Trans("u7/hvr_42.txt")));
  // The next cycle consumes the old line without effect and takes the new one.
  Document("77", "LT");
  RepereMove(g);
  EXPECT_TRUE(QueueEmptied());
  EXPECT_EQ(g.Activities().size(), 1u);
  EXPECT_EQ(other.Activities().size(), 1u);
}

// Runs `hook` on the first copy of the cycle.
class HookEnv : public EnvWrapper {
 public:
  HookEnv(Env* target, std::function<void()> hook) : EnvWrapper(target), hook_(std::move(hook)) {}
  Status CopyFile(const std::string& f, const std::string& t) override {
    if (hook_) std::exchange(hook_, nullptr)();
    return EnvWrapper::CopyFile(f, t);
  }

 private:
  std::function<void()> hook_;
};

// Mid-cycle another process takes the queue lock, and appends under it a little later:
// the cycle's last length check waits for the lock and sees the new line, so the queue
// is not deleted under the appender.
TEST_F(MoveCycle, AppendUnderLockIsNotLost) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Queue(), "42;u7\r\n");
#ifdef _WIN32
  // LockFileEx locks belong to a handle: a thread with a handle of its own is another
  // owner, as the other process is on Linux.
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE locked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread appender([&] {
    WaitForSingleObject(go, INFINITE);
    HANDLE f = CreateFileW(NativePath(Queue()).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED from = {};
    LockFileEx(f, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from);
    SetEvent(locked);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    LARGE_INTEGER zero = {};
    DWORD n = 0;
    SetFilePointerEx(f, zero, nullptr, FILE_END);
    WriteFile(f, "88;u8\r\n", 7, &n, nullptr);
    UnlockFileEx(f, 0, MAXDWORD, MAXDWORD, &from);
    CloseHandle(f);
  });
  HookEnv env(&site.env, [&] {
    SetEvent(go);
    WaitForSingleObject(locked, INFINITE);
  });
  Guichet other(env, site.view, site.desktop);
  other.AppFolder = g.AppFolder;
  other.TasksFolder = g.TasksFolder;
  RepereMove(other);
  if (WaitForSingleObject(go, 0) != WAIT_OBJECT_0) SetEvent(go);
  appender.join();
  CloseHandle(go);
  CloseHandle(locked);
  EXPECT_TRUE(Exists(Trans("u7/hvr_42.txt")));
  EXPECT_EQ(ReadAll(Queue()), "42;u7\r\n88;u8\r\n");
#else
  int go[2], locked[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(locked), 0);
  pid_t child = fork();
  if (child == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(1);
    int fd = open(Queue().c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fcntl(fd, F_SETLKW, &fl);
    (void)!write(locked[1], "x", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    lseek(fd, 0, SEEK_END);
    (void)!write(fd, "88;u8\r\n", 7);
    _exit(0);  // ending releases the lock
  }
  HookEnv env(&site.env, [&] {
    char c;
    (void)!write(go[1], "x", 1);
    (void)!read(locked[0], &c, 1);
  });
  Guichet other(env, site.view, site.desktop);
  other.AppFolder = g.AppFolder;
  other.TasksFolder = g.TasksFolder;
  RepereMove(other);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(Exists(Trans("u7/hvr_42.txt")));
  EXPECT_EQ(ReadAll(Queue()), "42;u7\r\n88;u8\r\n");
  for (int fd : {go[0], go[1], locked[0], locked[1]}) close(fd);
#endif
}

TEST_F(MoveCycle, EntriesThatFailTheNameChecksAreConsumedWithoutEffect) {
  Catalogues();
  Document("42", "LT");
  WriteAll(Tasks("hvr_.txt"), "x");
  const char* lines[] = {"42",    "42;", "42;..",    "42;a/b", "42;%x",       "*;u7",
                         "4?;u7", ";u7", "../42;u7", "42 ;u7", "42;u7\\..\\x"};
  std::string queue;
  for (const char* l : lines) queue += std::string(l) + "\r\n";
  WriteAll(Queue(), queue + "   \r\n\r\n");
  RepereMove(g);
  EXPECT_TRUE(Exists(Tasks("hvr_42.txt")));
  EXPECT_TRUE(Exists(Tasks("hvr_.txt")));
  EXPECT_FALSE(Exists(site.tasks() + "/Transcriptions"));
  EXPECT_TRUE(g.Activities().empty());
  EXPECT_TRUE(QueueEmptied());
}

}  // namespace
}  // namespace guichet::test
