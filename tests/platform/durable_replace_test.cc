// Replacing a file through a temporary name, watched at the calls into the C library:
// the new file is flushed before its rename and its folder after it, so a power cut
// leaves the old content or the whole new one; a name planted where the temporary file
// goes is never opened, followed or removed.
//
// This program defines fsync, rename and getrandom itself: the real Env, linked into it,
// calls these, which note what they see and pass on to the C library's own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "support_lib/site.h"

namespace {

bool watching = false;
std::vector<std::string> seen;  // "fsync PATH", "rename FROM TO"
bool fixed_random = false;

std::string PathOfDescriptor(int fd) {
  char buf[4096];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "?";
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = Next<int (*)(int)>("fsync");
  if (watching) seen.push_back("fsync " + PathOfDescriptor(fd));
  return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  static auto real = Next<int (*)(const char*, const char*)>("rename");
  if (watching) seen.push_back(std::string("rename ") + from + " " + to);
  return real(from, to);
}

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  static auto real = Next<ssize_t (*)(void*, size_t, unsigned int)>("getrandom");
  if (!fixed_random) return real(buffer, length, flags);
  std::memset(buffer, 0x5a, length);
  return static_cast<ssize_t>(length);
}

namespace guichet {
namespace {

using test::ReadAll;
using test::WriteAll;

class DurableReplace : public ::testing::Test {
 protected:
  ~DurableReplace() override {
    watching = false;
    fixed_random = false;
  }
  Env& env = *Env::Default();
  test::TempDir dir;
  std::string P(const std::string& rest) { return dir.path() + "/" + rest; }

  // The calls seen while `write` ran.
  template <typename F>
  std::vector<std::string> Watch(F write) {
    seen.clear();
    watching = true;
    write();
    watching = false;
    return seen;
  }
};

TEST_F(DurableReplace, FileIsFlushedBeforeItsRenameAndTheFolderAfter) {
  test::MakeDirs(P("Tasks"));
  WriteAll(P("source.bin"), std::string(3 << 20, 'x'));  // more than one copy buffer
  struct Case {
    const char* what;
    std::string target;
    std::function<Status()> write;
  } cases[] = {
      {"WriteFileAtomic", P("Tasks/Count.txt"),
       [&] { return env.WriteFileAtomic(P("Tasks/Count.txt"), "8\r\n"); }},
      {"WriteSecretFileAtomic", P("Tasks/lastlogons.txt"),
       [&] { return env.WriteSecretFileAtomic(P("Tasks/lastlogons.txt"), "tok;u7\r\n"); }},
      {"CopyFile", P("Tasks/copy.bin"),
       [&] { return env.CopyFile(P("source.bin"), P("Tasks/copy.bin")); }},
  };
  for (int round = 0; round < 2; ++round) {  // a new file, then a replacement
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (round ? " (replacing)" : " (new)"));
      Status s;
      std::vector<std::string> calls = Watch([&] { s = c.write(); });
      ASSERT_TRUE(s.ok()) << s.Description();
      ASSERT_EQ(calls.size(), 3u) << testing::PrintToString(calls);
      // fsync of the temporary file, its rename over the target, fsync of the folder.
      const std::string tmp = calls[0].substr(6);
      EXPECT_EQ(calls[0].rfind("fsync " + P("Tasks/~"), 0), 0u) << calls[0];
      EXPECT_EQ(calls[1], "rename " + tmp + " " + c.target);
      EXPECT_EQ(calls[2], "fsync " + P("Tasks"));
    }
  }
  EXPECT_EQ(ReadAll(P("Tasks/Count.txt")), "8\r\n");
  EXPECT_EQ(ReadAll(P("Tasks/copy.bin")), ReadAll(P("source.bin")));
  EXPECT_EQ(test::ListDir(P("Tasks")),
            (std::vector<std::string>{"Count.txt", "copy.bin", "lastlogons.txt"}));
}

// Cache copies and ready markers are made again when lost: replaced whole, unflushed.
TEST_F(DurableReplace, UnsyncedFormsReplaceWithoutFlushing) {
  WriteAll(P("source.txt"), "copied\r\n");
  std::vector<std::string> calls = Watch([&] {
    ASSERT_TRUE(env.WriteFileAtomicUnsynced(P("r.rdy"), "3\r\n").ok());
    ASSERT_TRUE(env.CopyFileUnsynced(P("source.txt"), P("cache.txt")).ok());
  });
  ASSERT_EQ(calls.size(), 2u) << testing::PrintToString(calls);
  EXPECT_EQ(calls[0].rfind("rename " + P("~r.rdy."), 0), 0u) << calls[0];
  EXPECT_EQ(calls[1].rfind("rename " + P("~cache.txt."), 0), 0u) << calls[1];
  EXPECT_EQ(ReadAll(P("r.rdy")), "3\r\n");
  EXPECT_EQ(ReadAll(P("cache.txt")), "copied\r\n");
}

TEST_F(DurableReplace, NamesPlantedAtTheTemporaryNameAreSteppedAroundUntouched) {
  // With the random part of the temporary name fixed, the next names can be planted.
  fixed_random = true;
  std::vector<std::string> calls =
      Watch([&] { ASSERT_TRUE(env.WriteFileAtomic(P("hvr_1.finished.bat"), "old\r\n").ok()); });
  ASSERT_EQ(calls.size(), 3u);
  const std::string used = calls[1].substr(7, calls[1].find(' ', 7) - 7);
  const std::string prefix = P("~hvr_1.finished.bat." + std::to_string(getpid()) + ".");
  ASSERT_EQ(used.rfind(prefix, 0), 0u) << used;
  const std::string hex = used.substr(used.size() - 8);
  long next = std::stol(used.substr(prefix.size(), used.size() - 8 - prefix.size())) + 1;
  auto name = [&](long n) { return prefix + std::to_string(n) + hex; };

  WriteAll(P("outside.txt"), "outside\r\n");
  WriteAll(P("source.txt"), "copied\r\n");
  struct Write {
    const char* what;
    std::function<Status()> run;
    std::string want;
  } writes[] = {
      {"WriteFileAtomic", [&] { return env.WriteFileAtomic(P("hvr_1.finished.bat"), "new\r\n"); },
       "new\r\n"},
      {"CopyFile", [&] { return env.CopyFile(P("source.txt"), P("hvr_1.finished.bat")); },
       "copied\r\n"},
  };
  for (const Write& w : writes) {
    SCOPED_TRACE(w.what);
    // A pipe (its reader would see anything written into it), a link to a file outside,
    // and somebody else's file, at the next three temporary names.
    const std::string pipe = name(next), link = name(next + 1), other = name(next + 2);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(symlink(P("outside.txt").c_str(), link.c_str()), 0);
    WriteAll(other, "someone else's");

    ASSERT_TRUE(w.run().ok());
    EXPECT_EQ(ReadAll(P("hvr_1.finished.bat")), w.want);
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
    EXPECT_EQ(ReadAll(P("outside.txt")), "outside\r\n");
    struct stat st;
    ASSERT_EQ(lstat(pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadAll(other), "someone else's");
    EXPECT_FALSE(test::Exists(name(next + 3)));  // the name used is gone by its rename
    next += 4;
  }
}

}  // namespace
}  // namespace guichet
