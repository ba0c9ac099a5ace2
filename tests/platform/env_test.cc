#include "platform/env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::ReadAll;
using test::WriteAll;

class EnvTest : public ::testing::Test {
 protected:
  Env& env = *Env::Default();
  test::TempDir dir;
  std::string P(const std::string& rest) { return dir.path() + "/" + rest; }
};

TEST_F(EnvTest, NamesMatchWithoutRegardToCase) {
  test::MakeDirs(P("Templates/Cardio"));
  WriteAll(P("Templates/TypeDocs.txt"), "a|b\r\n");
  EXPECT_TRUE(env.FileExists(P("templates/Typedocs.txt")));
  EXPECT_TRUE(env.FolderExists(P("TEMPLATES/cardio")));
  std::string data;
  ASSERT_TRUE(env.ReadFile(P("Templates/typedocs.TXT"), &data).ok());
  EXPECT_EQ(data, "a|b\r\n");
  // Writing through another spelling replaces the existing file, not a second one.
  ASSERT_TRUE(env.WriteFile(P("templates/TYPEDOCS.txt"), "new").ok());
  EXPECT_EQ(test::ListDir(P("Templates")), (std::vector<std::string>{"Cardio", "TypeDocs.txt"}));
  EXPECT_EQ(ReadAll(P("Templates/TypeDocs.txt")), "new");
  // Accented names fold with Windows-1252 case.
  WriteAll(P("\xC9t\xE9.txt"), "x");
  EXPECT_TRUE(env.FileExists(P("\xE9T\xC9.TXT")));
  EXPECT_FALSE(env.FileExists(P("missing/none.txt")));
  EXPECT_EQ(FileLen(env, P("missing.txt")), 0);
}

TEST_F(EnvTest, ListingsKeepPlainFilesInFoldedOrder) {
  for (const char* n : {"b.req", "A.REQ", "a.req", "c.txt", ".hidden.req", "~tmp.req"})
    WriteAll(P(n), "x");
  test::MakeDirs(P("d.req"));
  symlink(P("b.req").c_str(), P("link.req").c_str());
  mkfifo(P("pipe.req").c_str(), 0600);
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListFiles(dir.path(), "*.req", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"A.REQ", "a.req", "b.req", "~tmp.req"}));
  names.clear();
  ASSERT_TRUE(env.ListFiles(dir.path(), "?.Req", &names).ok());
  EXPECT_EQ(names.size(), 3u);
  names.clear();
  ASSERT_TRUE(env.ListFolders(dir.path(), &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"d.req"}));
  EXPECT_FALSE(env.ListFiles(P("nowhere"), "*", &names).ok());
}

TEST_F(EnvTest, SpoolFilesThatAreNotRegularAreRefusedWithoutBlocking) {
  mkfifo(P("x.req").c_str(), 0600);
  std::string data;
  Status s = env.ReadFile(P("x.req"), &data);  // must not hang
  EXPECT_FALSE(s.ok());
  WriteAll(P("target"), "secret");
  symlink(P("target").c_str(), P("y.req").c_str());
  EXPECT_FALSE(env.ReadFile(P("y.req"), &data).ok());
  EXPECT_FALSE(env.FileExists(P("y.req")));
  WriteAll(P("big"), std::string(100, 'x'));
  EXPECT_EQ(env.ReadFile(P("big"), &data, 10).kind(), Status::kTooLarge);
}

TEST_F(EnvTest, AtomicWritesAndCopiesLeaveNoTemporaryFile) {
  ASSERT_TRUE(env.WriteFileAtomic(P("a.rdy"), "3\r\n").ok());
  WriteAll(P("src"), "data");
  test::SetMtime(P("src"), 1700000000);
  ASSERT_TRUE(env.CopyFile(P("src"), P("dst")).ok());
  EXPECT_EQ(test::ListDir(dir.path()), (std::vector<std::string>{"a.rdy", "dst", "src"}));
  struct stat st;
  stat(P("dst").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1700000000);  // a copy keeps its source's time
  EXPECT_FALSE(env.CopyFile(P("none"), P("dst")).ok());
  EXPECT_EQ(ReadAll(P("dst")), "data");
}

TEST_F(EnvTest, CopiesOfEverySizeAreWhole) {
  // Empty, smaller than a page, one byte over the largest buffer, several buffers long.
  for (size_t size : {size_t{0}, size_t{5}, (size_t{1} << 20) + 1, size_t{3} * (1 << 20) + 17}) {
    std::string data(size, '\0');
    uint32_t x = static_cast<uint32_t>(size) + 1;
    for (char& c : data) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    WriteAll(P("big"), data);
    ASSERT_TRUE(env.CopyFile(P("big"), P("copy")).ok()) << size;
    EXPECT_TRUE(ReadAll(P("copy")) == data) << size;
  }
}

TEST_F(EnvTest, WriteAtAndTruncate) {
  ASSERT_TRUE(env.WriteAt(P("doc"), 0, "hello").ok());
  ASSERT_TRUE(env.WriteAt(P("doc"), 5, " world").ok());
  ASSERT_TRUE(env.WriteAt(P("doc"), 0, "J").ok());
  EXPECT_EQ(ReadAll(P("doc")), "Jello world");
  ASSERT_TRUE(env.Truncate(P("doc"), 5).ok());
  EXPECT_EQ(ReadAll(P("doc")), "Jello");
  // Cutting never reaches through a link, and never waits on a pipe.
  WriteAll(P("target"), "keep me");
  symlink(P("target").c_str(), P("link").c_str());
  mkfifo(P("pipe").c_str(), 0600);
  test::MakeDirs(P("folder"));
  for (const char* name : {"link", "pipe", "folder"})
    EXPECT_EQ(env.Truncate(P(name), 0).kind(), Status::kNotRegular) << name;
  EXPECT_EQ(ReadAll(P("target")), "keep me");
  EXPECT_EQ(env.Truncate(P("missing"), 0).kind(), Status::kNotFound);
}

TEST_F(EnvTest, FileHeldOpenForWritesAtOffsets) {
  std::unique_ptr<OpenFile> f;
  // Never created, never through a link, a pipe or a folder.
  EXPECT_EQ(env.OpenForWriteAt(P("doc"), &f).kind(), Status::kNotFound);
  EXPECT_FALSE(test::Exists(P("doc")));
  WriteAll(P("target"), "keep me");
  symlink(P("target").c_str(), P("link").c_str());
  mkfifo(P("pipe").c_str(), 0600);
  test::MakeDirs(P("folder"));
  for (const char* name : {"link", "pipe", "folder"})
    EXPECT_FALSE(env.OpenForWriteAt(P(name), &f).ok()) << name;
  // Found in another case; writes land at their offsets, and the size follows.
  WriteAll(P("Doc"), "hello");
  ASSERT_TRUE(env.OpenForWriteAt(P("DOC"), &f).ok());
  ASSERT_TRUE(f->WriteAt(5, " world").ok());
  ASSERT_TRUE(f->WriteAt(0, "J").ok());
  int64_t size = 0;
  ASSERT_TRUE(f->SizeAtPath(&size).ok());
  EXPECT_EQ(size, 11);
  EXPECT_EQ(ReadAll(P("Doc")), "Jello world");
  // Once the path names another file, the held one is no longer at its path.
  WriteAll(P("new"), "other");
  ASSERT_EQ(rename(P("new").c_str(), P("Doc").c_str()), 0);
  EXPECT_EQ(f->SizeAtPath(&size).kind(), Status::kNotFound);
  ASSERT_TRUE(f->Size(&size).ok());
  EXPECT_EQ(size, 11);
  EXPECT_TRUE(f->Close().ok());
}

TEST_F(EnvTest, LockedAppendWaitsForAnotherWriter) {
  WriteAll(P("log.txt"), "");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    int fd = open(P("log.txt").c_str(), O_WRONLY);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1;
    fcntl(fd, F_SETLKW, &fl);
    (void)!write(ready[1], "x", 1);
    usleep(300000);
    (void)!write(fd, "child\r\n", 7);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_TRUE(env.AppendFileLocked(P("log.txt"), "parent\r\n").ok());
  waitpid(child, nullptr, 0);
  EXPECT_EQ(ReadAll(P("log.txt")), "child\r\nparent\r\n");
}

TEST_F(EnvTest, FailuresCarryFrenchDescriptions) {
  EXPECT_EQ(Status::FromErrno(EMFILE, "x").Description(), W("Nom ou numéro de fichier incorrect"));
  EXPECT_EQ(Status::FromErrno(EBADF, "x").Description(), BadHandleDescription());
  EXPECT_EQ(Status::FromErrno(ENOSPC, "x").Description(), "Disque plein");
  EXPECT_EQ(Status::FromErrno(ENOENT, "x").Description(), "Fichier introuvable");
}

TEST(TextFiles, LinesEndAtCrOrCrLf) {
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_TRUE(SplitLines("").empty());
  EXPECT_EQ(JoinLines({"x", ""}), "x\r\n\r\n");
  EXPECT_TRUE(MatchesListPattern("hvr_12.PDF", "hvr_*.pdf"));
  EXPECT_FALSE(MatchesListPattern("hvr_120.txt", "hvr_12.*"));
  EXPECT_TRUE(MatchesListPattern("#x", "#?"));
}

TEST_F(EnvTest, AnswersKeepTheirExactNameAndStayWithinTheGroup) {
  test::MakeDirs(P("out"));
  WriteAll(P("out/a.htm"), "theirs");
  ASSERT_TRUE(env.WriteAnswer(P("OUT/A.htm"), "mine\r\n", false).ok());
  ASSERT_TRUE(env.WriteAnswer(P("OUT/A.htm"), "more\r\n", true).ok());
  ASSERT_TRUE(env.WriteAnswerAtomic(P("out/A.rdy"), "0\r\n").ok());
  EXPECT_EQ(ReadAll(P("out/a.htm")), "theirs");
  EXPECT_EQ(ReadAll(P("out/A.htm")), "mine\r\nmore\r\n");
  EXPECT_EQ(ReadAll(P("out/A.rdy")), "0\r\n");
  for (const char* n : {"out/A.htm", "out/A.rdy"}) {
    struct stat st {};
    ASSERT_EQ(stat(P(n).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0137, 0u) << n;  // no group write, nothing for others
  }
}

TEST_F(EnvTest, NothingBlocksOnOrWritesThroughWhatIsNotARegularFile) {
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  test::MakeDirs(P("folder"));
  WriteAll(P("target"), "keep");
  ASSERT_EQ(symlink(P("target").c_str(), P("link").c_str()), 0);
  for (const char* n : {"fifo", "folder", "link"}) {
    EXPECT_FALSE(env.WriteFile(P(n), "x").ok()) << n;
    EXPECT_FALSE(env.AppendFile(P(n), "x").ok()) << n;
    EXPECT_FALSE(env.AppendFileLocked(P(n), "x").ok()) << n;
    EXPECT_FALSE(env.WriteAt(P(n), 0, "x").ok()) << n;
    EXPECT_FALSE(env.WriteAnswer(P(n), "x", false).ok()) << n;
    EXPECT_EQ(env.WriteFile(P(n), "x").kind(), Status::kNotRegular) << n;
  }
  // Even with a reader on the FIFO, the write is refused.
  int reader = open(P("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(env.WriteFile(P("fifo"), "x").kind(), Status::kNotRegular);
  close(reader);
  EXPECT_EQ(ReadAll(P("target")), "keep");
}

TEST_F(EnvTest, TemporaryNamesStayWithinTheNameLimit) {
  for (size_t len : {1u, 200u, 240u, 251u}) {
    const std::string name = std::string(len, 'n') + ".rdy";
    ASSERT_TRUE(env.WriteFileAtomic(P(name), "1").ok()) << len;
    ASSERT_TRUE(env.WriteAnswerAtomic(P(name), "2").ok()) << len;
    ASSERT_TRUE(env.CopyFile(P(name), P(std::string(len, 'c') + ".rdy")).ok()) << len;
    EXPECT_EQ(ReadAll(P(name)), "2");
  }
  for (const std::string& n : test::ListDir(dir.path())) EXPECT_NE(n[0], '~') << n;

  // Names of the atomic writes, which the clean-up removes, and names it leaves alone.
  const std::vector<std::pair<std::string, bool>> table = {
      {"~hvr_1.txt.123.0", true}, {"~x.rdy.9.12", true},       {"~x.rdy.9.120a1b2c3d", true},
      {"~.1.2", false},           {"~hvr_1.txt", false},       {"~$rapport.docx", false},
      {"hvr_1.txt.1.2", false},   {"~hvr_1.txt.12a.3", false}, {"~hvr_1.txt..3", false},
      {"~hvr_1.txt.1.", false},
  };
  for (const auto& [name, temp] : table) EXPECT_EQ(IsTempName(name), temp) << name;
}

TEST_F(EnvTest, ThePurgeListingSeesEveryRegularFile) {
  for (const char* n : {"a.htm", ".hidden", "a:b", "c|d", "ctl\x01"}) WriteAll(P(n), "x");
  test::MakeDirs(P("folder"));
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(P("a.htm").c_str(), P("link").c_str()), 0);
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListAllFiles(dir.path(), &names).ok());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.htm", "a:b", "ctl\x01", "c|d"}));
}

TEST_F(EnvTest, LinksAreFollowedForTheAdministratorsFilesOnly) {
  test::MakeDirs(P("elsewhere"));
  test::MakeDirs(P("Templates/Cardio"));
  WriteAll(P("elsewhere/Lettre.doc"), "doc");
  ASSERT_EQ(symlink(P("elsewhere/Lettre.doc").c_str(), P("Templates/Cardio/Lettre.doc").c_str()),
            0);
  ASSERT_EQ(symlink(P("elsewhere").c_str(), P("Templates/Cardio/Lettre.dir").c_str()), 0);
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListAdminFiles(P("Templates/Cardio"), "lettre.*", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"Lettre.doc"}));
  ASSERT_TRUE(env.CopyAdminFile(P("Templates/Cardio/Lettre.doc"), P("hvr_1.doc")).ok());
  EXPECT_EQ(ReadAll(P("hvr_1.doc")), "doc");
  // The same files through the ordinary calls: refused.
  std::string data;
  EXPECT_FALSE(env.ReadFile(P("Templates/Cardio/Lettre.doc"), &data).ok());
  EXPECT_FALSE(env.CopyFile(P("Templates/Cardio/Lettre.doc"), P("hvr_2.doc")).ok());
  names.clear();
  ASSERT_TRUE(env.ListFiles(P("Templates/Cardio"), "*", &names).ok());
  EXPECT_TRUE(names.empty());
  // A copy never writes through a link at its target.
  ASSERT_EQ(symlink(P("elsewhere/Lettre.doc").c_str(), P("hvr_3.doc").c_str()), 0);
  // Refused or not, what the link points to must stay as it was.
  IgnoreFailure(env.CopyAdminFile(P("hvr_1.doc"), P("hvr_3.doc")));
  EXPECT_EQ(ReadAll(P("elsewhere/Lettre.doc")), "doc");
}

// Runs a shell command in a process of its own, as another program writing into the
// same folders would.
void OtherProgram(const std::string& command) {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

TEST_F(EnvTest, KeptNamesNeverHideWhatAnotherProgramCreated) {
  test::MakeDirs(P("d"));
  // A look-up that misses keeps the folder's names.
  EXPECT_FALSE(env.FileExists(P("d/Nothing.txt")));
  // Another program creates a file, then Guichet writes one of its own at once.
  OtherProgram("printf other > '" + P("d/other.txt") + "'");
  ASSERT_TRUE(env.WriteAnswer(P("d/mine.txt"), "x", false).ok());
  // The other file is found in another case, and a write in that case lands on it.
  EXPECT_TRUE(env.FileExists(P("d/OTHER.TXT")));
  ASSERT_TRUE(env.WriteFile(P("d/Other.Txt"), "replaced").ok());
  EXPECT_EQ(test::ListDir(P("d")), (std::vector<std::string>{"mine.txt", "other.txt"}));
  EXPECT_EQ(ReadAll(P("d/other.txt")), "replaced");
  // The same after a removal of Guichet's own.
  OtherProgram("printf x > '" + P("d/third.txt") + "'");
  ASSERT_TRUE(env.DeleteFile(P("d/mine.txt")).ok());
  EXPECT_TRUE(env.FileExists(P("d/Third.TXT")));
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListFiles(P("d"), "*", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"other.txt", "third.txt"}));
}

TEST_F(EnvTest, ListingsAndTimesFollowChangesMadeByOthers) {
  test::MakeDirs(P("spool"));
  WriteAll(P("spool/a.req"), "x");
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListFiles(P("spool"), "*.req", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"a.req"}));
  auto times = [&] {
    std::vector<std::pair<std::string, int64_t>> seen;
    EXPECT_TRUE(env.VisitFileTimes(P("spool"),
                                   [&](const std::string& n, int64_t t) {
                                     seen.emplace_back(n, t);
                                     return true;
                                   })
                    .ok());
    return seen;
  };
  EXPECT_EQ(times().size(), 1u);
  // Files that another program creates, renames in with an old time, or removes, in the
  // same second as the look before.
  OtherProgram("cd '" + P("spool") +
               "' && printf y > b.req && printf z > .c.tmp && touch -d @1000000 .c.tmp && mv "
               ".c.tmp c.req && rm a.req");
  names.clear();
  ASSERT_TRUE(env.ListFiles(P("spool"), "*.req", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"b.req", "c.req"}));
  auto seen = times();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<std::string, int64_t>{"c.req", 1000000}));  // oldest first
  EXPECT_EQ(seen[1].first, "b.req");
  // A time set by Guichet itself is seen at once; so is a file Guichet wrote whose time
  // another program set right after.
  ASSERT_TRUE(env.SetModified(P("spool/b.req"), FromUnixLocal(2000000)).ok());
  ASSERT_TRUE(env.WriteAnswer(P("spool/d.htm"), "x", false).ok());
  test::SetMtime(P("spool/d.htm"), 500000);
  seen = times();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], (std::pair<std::string, int64_t>{"d.htm", 500000}));
  EXPECT_EQ(seen[1], (std::pair<std::string, int64_t>{"c.req", 1000000}));
  EXPECT_EQ(seen[2], (std::pair<std::string, int64_t>{"b.req", 2000000}));
}

TEST_F(EnvTest, AFolderGenerationMovesWithEveryChangeAndOnlyThen) {
  test::MakeDirs(P("spool"));
  EXPECT_EQ(env.FolderGeneration(P("missing")), 0u);
  WriteAll(P("spool/a.req"), "x");
  // A folder whose time is settled keeps its generation while nothing changes.
  test::SetMtime(P("spool"), 1000000);
  const uint64_t settled = env.FolderGeneration(P("spool"));
  EXPECT_NE(settled, 0u);
  EXPECT_EQ(env.FolderGeneration(P("spool")), settled);
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListFiles(P("spool"), "*.req", &names).ok());
  EXPECT_EQ(env.FolderGeneration(P("spool")), settled);
  // Another program's file, in the same second as the look before.
  OtherProgram("printf y > '" + P("spool/b.req") + "'");
  const uint64_t after_other = env.FolderGeneration(P("spool"));
  EXPECT_NE(after_other, settled);
  // Guichet's own change, and another program's removal.
  ASSERT_TRUE(env.WriteAnswer(P("spool/c.htm"), "x", false).ok());
  const uint64_t after_own = env.FolderGeneration(P("spool"));
  EXPECT_NE(after_own, after_other);
  test::SetMtime(P("spool"), 1000000);
  const uint64_t before_removal = env.FolderGeneration(P("spool"));
  // A removal, the folder's time then set back as it was: its change time tells.
  OtherProgram("rm '" + P("spool/a.req") + "' && touch -d @1000000 '" + P("spool") + "'");
  EXPECT_NE(env.FolderGeneration(P("spool")), before_removal);
  names.clear();
  ASSERT_TRUE(env.ListFiles(P("spool"), "*.req", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"b.req"}));
}

TEST_F(EnvTest, AMissLooksForOtherSpellingsInTheFolderOnly) {
  test::MakeDirs(P("Spool/Out"));
  WriteAll(P("Spool/Out/A.rdy"), "x");
  // Missing as written, found in another case, at any depth.
  EXPECT_TRUE(env.FileExists(P("spool/out/a.RDY")));
  EXPECT_FALSE(env.FileExists(P("Spool/Out/b.rdy")));
  EXPECT_FALSE(env.FileExists(P("Spool/Missing/b.rdy")));
  FileInfo info;
  EXPECT_EQ(env.GetFileInfo(P("Spool/Out/b.rdy"), &info).kind(), Status::kNotFound);
  // Answers keep their name even when the folder is written in another case.
  ASSERT_TRUE(env.WriteAnswer(P("spool/OUT/b.htm"), "page", false).ok());
  ASSERT_TRUE(env.WriteAnswerAtomic(P("spool/out/b.rdy"), "0\r\n").ok());
  EXPECT_EQ(test::ListDir(P("Spool/Out")), (std::vector<std::string>{"A.rdy", "b.htm", "b.rdy"}));
  EXPECT_EQ(ReadAll(P("Spool/Out/b.htm")), "page");
  // A second answer under the same name replaces the first.
  ASSERT_TRUE(env.WriteAnswer(P("Spool/Out/b.htm"), "p2", false).ok());
  EXPECT_EQ(ReadAll(P("Spool/Out/b.htm")), "p2");
  // Reads of every size end at the file's end.
  for (size_t size : {0u, 1u, 4095u, 4096u, 4097u, 200000u}) {
    WriteAll(P("Spool/Out/r.txt"), std::string(size, 'r'));
    std::string data;
    ASSERT_TRUE(env.ReadFile(P("spool/out/R.TXT"), &data).ok());
    EXPECT_EQ(data.size(), size);
  }
}

}  // namespace
}  // namespace guichet
