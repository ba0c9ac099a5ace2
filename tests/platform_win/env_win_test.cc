// The Windows Env against the real file system (under wine on Linux): names in
// Windows-1252, the file system's own case-insensitive names, share modes, locks and
// replacements.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/env.h"
#include "support/text.h"

namespace guichet {
namespace {

class WinEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; dir_.empty() && attempt < 100; ++attempt) {
      auto candidate = base / ("envwin_" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) dir_ = candidate;
    }
    ASSERT_FALSE(dir_.empty());
    std::string path = dir_.generic_string();
    root_ = path;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string P(const std::string& name) const { return root_ + "/" + name; }

  Env& env = *Env::Default();
  std::filesystem::path dir_;
  std::string root_;
};

TEST_F(WinEnvTest, Windows1252NamesReachTheDiskAsTheirUnicodeCharacters) {
  const std::string name = W("Données €.txt");
  ASSERT_TRUE(env.WriteFile(P(name), "abc").ok());
  // The file system holds the Unicode name, whatever the ANSI code page.
  EXPECT_TRUE(std::filesystem::exists(dir_ / std::filesystem::path(L"Donn\u00e9es \u20ac.txt")));
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListFiles(root_, "*.TXT", &names).ok());
  EXPECT_EQ(names, std::vector<std::string>{name});
  // A name Windows-1252 cannot write is left out of the listings rather than mangled.
  std::FILE* f = _wfopen((dir_ / L"\u0141odz.txt").wstring().c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  names.clear();
  ASSERT_TRUE(env.ListAllFiles(root_, &names).ok());
  EXPECT_EQ(names, std::vector<std::string>{name});
}

TEST_F(WinEnvTest, NamesMatchWithoutRegardToCaseAndListInFoldedOrder) {
  ASSERT_TRUE(env.WriteFile(P("b.txt"), "b").ok());
  ASSERT_TRUE(env.WriteFile(P("A.txt"), "a").ok());
  ASSERT_TRUE(env.WriteFile(P("c.TXT"), "c").ok());
  ASSERT_TRUE(env.CreateFolder(P("Sub")).ok());
  std::string data;
  ASSERT_TRUE(env.ReadFile(P("B.TXT"), &data).ok());
  EXPECT_EQ(data, "b");
  EXPECT_EQ(env.Resolve(P("a.TXT")), P("A.txt"));
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListFiles(root_, "*", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "b.txt", "c.TXT"}));
  names.clear();
  ASSERT_TRUE(env.ListFolders(root_, &names).ok());
  EXPECT_EQ(names, std::vector<std::string>{"Sub"});
  EXPECT_EQ(env.CreateFolder(P("SUB")).kind(), Status::kExists);
  EXPECT_EQ(env.ListFiles(P("missing"), "*", &names).kind(), Status::kPathNotFound);
}

// An answer goes under its exact name: a file whose name differs only in case belongs to
// another client and is left alone.
TEST_F(WinEnvTest, FileHeldOpenForWritesAtOffsetsStaysAtItsPath) {
  std::unique_ptr<OpenFile> f;
  EXPECT_EQ(env.OpenForWriteAt(P("doc"), &f).kind(), Status::kNotFound);
  ASSERT_TRUE(env.WriteFile(P("Doc"), "hello").ok());
  ASSERT_TRUE(env.OpenForWriteAt(P("DOC"), &f).ok());
  ASSERT_TRUE(f->WriteAt(5, " world").ok());
  int64_t size = 0;
  ASSERT_TRUE(f->SizeAtPath(&size).ok());
  EXPECT_EQ(size, 11);
  // Nobody removes or renames it while it is held.
  const std::wstring doc = (dir_ / L"Doc").wstring(), moved = (dir_ / L"moved").wstring();
  EXPECT_FALSE(DeleteFileW(doc.c_str()));
  EXPECT_FALSE(MoveFileW(doc.c_str(), moved.c_str()));
  EXPECT_TRUE(f->Close().ok());
  EXPECT_TRUE(MoveFileW(doc.c_str(), moved.c_str()));
}

TEST_F(WinEnvTest, AnswersNeverLandOnANameThatDiffersInCase) {
  ASSERT_TRUE(env.WriteAnswer(P("abc.htm"), "first", false).ok());
  EXPECT_EQ(env.WriteAnswer(P("ABC.htm"), "second", false).kind(), Status::kExists);
  EXPECT_EQ(env.WriteAnswerAtomic(P("ABC.htm"), "second").kind(), Status::kExists);
  std::string data;
  ASSERT_TRUE(env.ReadFile(P("abc.htm"), &data).ok());
  EXPECT_EQ(data, "first");
  ASSERT_TRUE(env.WriteAnswer(P("abc.htm"), "+", true).ok());
  ASSERT_TRUE(env.ReadFile(P("abc.htm"), &data).ok());
  EXPECT_EQ(data, "first+");
}

TEST_F(WinEnvTest, ReplacementsAreWholeAndLeaveNoTemporaryFile) {
  ASSERT_TRUE(env.WriteFileAtomic(P("r.txt"), "old").ok());
  ASSERT_TRUE(env.WriteFileAtomic(P("r.txt"), "newer").ok());
  ASSERT_TRUE(env.WriteFile(P("s.txt"), "source").ok());
  ASSERT_TRUE(env.SetModified(P("s.txt"), DateTime{2020, 1, 2, 3, 4, 5}).ok());
  ASSERT_TRUE(env.CopyFile(P("s.txt"), P("r.txt")).ok());
  std::string data;
  ASSERT_TRUE(env.ReadFile(P("r.txt"), &data).ok());
  EXPECT_EQ(data, "source");
  FileInfo info;
  ASSERT_TRUE(env.GetFileInfo(P("r.txt"), &info).ok());
  EXPECT_EQ(info.modified.Serial(), (DateTime{2020, 1, 2, 3, 4, 5}).Serial());
  ASSERT_TRUE(env.RenameFile(P("s.txt"), P("r.txt")).ok());
  std::vector<std::string> names;
  ASSERT_TRUE(env.ListAllFiles(root_, &names).ok());
  EXPECT_EQ(names, std::vector<std::string>{"r.txt"});
}

// A file someone is still writing (without sharing it for reading) cannot be read half
// written; the read fails as a sharing conflict.
TEST_F(WinEnvTest, AFileBeingWrittenIsNotRead) {
  HANDLE writer = CreateFileW((dir_ / L"w.req").wstring().c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  WriteFile(writer, "half", 4, &n, nullptr);
  std::string data;
  EXPECT_EQ(env.ReadFile(P("w.req"), &data).kind(), Status::kDenied);
  CloseHandle(writer);
  ASSERT_TRUE(env.ReadFile(P("w.req"), &data).ok());
  EXPECT_EQ(data, "half");
}

TEST_F(WinEnvTest, LockedAppendsWaitForTheLockAndEndTheLastLine) {
  ASSERT_TRUE(env.WriteFile(P("q.txt"), "unended").ok());
  {
    auto lock = env.TryLockFile(P("q.txt"), 0);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(lock->Size(), 7);
    EXPECT_EQ(env.AppendLineLocked(P("q.txt"), "x\r\n", 50).kind(), Status::kDenied);
    EXPECT_EQ(env.TryLockFile(P("q.txt"), 0), nullptr);
  }
  ASSERT_TRUE(env.AppendLineLocked(P("q.txt"), "line\r\n", 1000).ok());
  ASSERT_TRUE(env.AppendFileLocked(P("q.txt"), "log\r\n").ok());
  std::string data;
  ASSERT_TRUE(env.ReadFile(P("q.txt"), &data).ok());
  EXPECT_EQ(data, "unended\r\nline\r\nlog\r\n");
  auto lock = env.TryLockFile(P("q.txt"), 0);
  ASSERT_NE(lock, nullptr);
  ASSERT_TRUE(lock->Truncate(0).ok());
  EXPECT_EQ(lock->Size(), 0);
  EXPECT_EQ(env.TryLockFile(P("missing.txt"), 0), nullptr);
}

// The process that holds a file's lock reads it, as with fcntl locks on Linux, whatever
// the spelling of the name; once the lock is let go the file reads as usual.
TEST_F(WinEnvTest, AFileThisProcessHoldsLockedReadsAsOnLinux) {
  ASSERT_TRUE(env.WriteFile(P("ToMove.txt"), "42;u7\r\n").ok());
  std::string data;
  {
    auto lock = env.TryLockFile(P("ToMove.txt"), 0);
    ASSERT_NE(lock, nullptr);
    ASSERT_TRUE(env.ReadFile(P("TOMOVE.TXT"), &data).ok());
    EXPECT_EQ(data, "42;u7\r\n");
    EXPECT_EQ(env.ReadFile(P("ToMove.txt"), &data, 3).kind(), Status::kTooLarge);
    ASSERT_TRUE(lock->Truncate(0).ok());
    ASSERT_TRUE(env.ReadFile(P("ToMove.txt"), &data).ok());
    EXPECT_EQ(data, "");
  }
  ASSERT_TRUE(env.WriteFile(P("ToMove.txt"), "43;u7\r\n").ok());
  ASSERT_TRUE(env.ReadFile(P("ToMove.txt"), &data).ok());
  EXPECT_EQ(data, "43;u7\r\n");
}

// A folder where a file is to be put in place is said for what it is, not taken for a
// failure that may pass (access denied), so that the caller sets the file aside.
TEST_F(WinEnvTest, AFolderAtTheTargetOfAReplacementIsNotAFile) {
  ASSERT_TRUE(env.CreateFolder(P("hvr_1.spx")).ok());
  ASSERT_TRUE(env.WriteFile(P("piece"), "x").ok());
  EXPECT_EQ(env.RenameFile(P("piece"), P("hvr_1.spx")).kind(), Status::kNotRegular);
  EXPECT_EQ(env.WriteFileAtomic(P("hvr_1.spx"), "x").kind(), Status::kNotRegular);
  EXPECT_TRUE(env.FileExists(P("piece")));
}

TEST_F(WinEnvTest, FoldersAreNotFiles) {
  ASSERT_TRUE(env.CreateFolder(P("d")).ok());
  std::string data;
  EXPECT_FALSE(env.FileExists(P("d")));
  EXPECT_TRUE(env.FolderExists(P("D")));
  EXPECT_EQ(env.ReadFile(P("d"), &data).kind(), Status::kNotRegular);
  EXPECT_EQ(env.WriteFile(P("d"), "x").kind(), Status::kNotRegular);
  EXPECT_EQ(env.DeleteFile(P("d")).kind(), Status::kNotRegular);
  EXPECT_EQ(env.DeleteFile(P("none")).kind(), Status::kNotFound);
}

TEST_F(WinEnvTest, TheExecutablePathUsesForwardSlashes) {
  std::string exe = env.ExecutablePath();
  EXPECT_EQ(exe.find('\\'), std::string::npos) << exe;
  EXPECT_TRUE(env.FileExists(exe)) << exe;
  EXPECT_FALSE(env.HostName().empty());
}

}  // namespace
}  // namespace guichet
