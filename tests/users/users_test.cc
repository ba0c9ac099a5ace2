// The users file lookups, the digest through the codec library, the token text and the
// last-logon file, on real files in a temporary site.
#include "users/users.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>

#include "support/text.h"
#include "support_lib/site.h"
#include "users/lastlogons.h"

namespace guichet {
namespace {

using test::Exists;
using test::ReadAll;
using test::TestSite;
using test::WriteAll;

const char kKey[] = "0a1b2c3d4e5f60718293a4b5c6d7e8f901234567";  // 40 characters

const std::string kUsers = std::string(
                               "; ghost:pw=U9\r\n"
                               "anna:secret=U1\r\n"
                               "bob:pa:ss=U2\r\n"
                               "=nobody\r\n"
                               "noval=\r\n"
                               "no entry at all\r\n") +
                           kKey +
                           "=U3\r\n"
                           "carl:pw= U4\r\n"
                           "dora:one=U5\r"  // a line may end at CR alone
                           "dora:two=U5\r\n"
                           "eve:x=y=U6\r\n";

class UsersTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteAll(site.app() + "/guichet_users.txt", kUsers); }
  TestSite site;
  Guichet& g = *site.g;
};

TEST_F(UsersTest, Logon2idMatchesNamesAndKeys) {
  struct Case {
    std::string logon, uuid, id;
    bool allowed;
  } cases[] = {
      {"anna", "", "U1", false},
      {"nna", "", "U1", false},  // the tail of a stored name,
                                 // followed by ":"
      {"Anna", "", "", false},   // names are matched with exact case
      {"pa", "", "U2", false},   // a piece of a password followed by ":"
      {"", ToUpper(kKey), "U3", true},
      {"zed", kKey, "U3", true},
      {"", "", "", false},
      {"ghost", "", "", false},  // comment line
      {"noval", "noval", "", false},
      {"carl", "", "U4", false},  // trimmed
      {"dora", "", "U5", false},
      {"eve", "", "y=U6", false},  // the value may hold "="
  };
  for (const Case& c : cases) {
    bool allowed = false;
    EXPECT_EQ(logon2id(g, c.logon, c.uuid, allowed), c.id) << c.logon << "/" << c.uuid;
    EXPECT_EQ(allowed, c.allowed) << c.logon << "/" << c.uuid;
  }
  // The caller's value stays when no key matched.
  bool allowed = true;
  EXPECT_EQ(logon2id(g, "anna", "", allowed), "U1");
  EXPECT_TRUE(allowed);
  EXPECT_TRUE(site.view.messages.empty());
}

TEST_F(UsersTest, PasswordCheck) {
  struct Case {
    std::string id, password;
    bool ok;
  } cases[] = {
      {"U1", "secret", true},  {"u1", "secret", true},  // identifiers without regard to case
      {"U1", "Secret", false}, {"U1", "secret ", false}, {"U1", "", false},   {"U2", "pa:ss", true},
      {"U2", "pa", false},     {"U5", "one", true},      {"U5", "two", true}, {"U3", kKey, false},
      {"U4", "pw", false},     {" U4", "pw", true},      {"U9", "pw", false}, {"y=U6", "x", true},
      {"U6", "x", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(isPasswordCorrect(g, c.id, c.password), c.ok) << c.id << "/" << c.password;
}

TEST_F(UsersTest, MissingOrEmptyFileFindsNobodySilently) {
  for (bool present : {false, true}) {
    std::remove((site.app() + "/guichet_users.txt").c_str());
    if (present) WriteAll(site.app() + "/guichet_users.txt", "");
    bool allowed = false;
    EXPECT_EQ(logon2id(g, "anna", "", allowed), "");
    EXPECT_FALSE(isPasswordCorrect(g, "U1", "secret"));
  }
  EXPECT_TRUE(site.view.messages.empty());
}

TEST_F(UsersTest, UnreadableFileShowsMessageBox) {
  site.env.FailWhen(
      "ReadFile", [](const std::string& p) { return p.find("guichet_users") != p.npos; },
      Status::kDenied);
  bool allowed = false;
  EXPECT_EQ(logon2id(g, "anna", "", allowed), "");
  EXPECT_FALSE(isPasswordCorrect(g, "U1", "secret"));
  ASSERT_EQ(site.view.messages.size(), 2u);
  EXPECT_EQ(site.view.messages[0], "logon2id : " + W("Permission refusée"));
  EXPECT_EQ(site.view.messages[1], "isPasswordCorrect : " + W("Permission refusée"));
}

#ifdef _WIN32
// md5sum is out of reach under wine: the system's own MD5 (CNG) gives the expected digest.
std::string Md5sum(const std::string& data) {
  BCRYPT_ALG_HANDLE md5 = nullptr;
  unsigned char digest[16] = {};
  if (BCryptOpenAlgorithmProvider(&md5, BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0) return "";
  BCryptHash(md5, nullptr, 0, reinterpret_cast<unsigned char*>(const_cast<char*>(data.data())),
             static_cast<ULONG>(data.size()), digest, sizeof digest);
  BCryptCloseAlgorithmProvider(md5, 0);
  std::string hex;
  for (unsigned char c : digest) {
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
  }
  return hex;
}
#else
std::string Md5sum(const std::string& data) {
  test::TempDir dir;
  WriteAll(dir.path() + "/in", data);
  FILE* f = popen(("md5sum " + dir.path() + "/in").c_str(), "r");
  char buf[64] = {0};
  size_t n = fread(buf, 1, 32, f);
  pclose(f);
  return std::string(buf, n);
}
#endif

void InstallCodec(TestSite& site) {
  std::filesystem::copy_file(test::NativePath(test::BinaryDir() + "/" + test::CodecLibraryName()),
                             test::NativePath(site.app() + "/" + test::CodecLibraryName()));
}

TEST_F(UsersTest, CalculateMD5DigestsTextWithCrLfAndLeavesNoFile) {
  InstallCodec(site);
  for (std::string text : {std::string("hello"), std::string(""), W("Répertoire é;|=")}) {
    std::string digest = CalculateMD5(g, text);
    EXPECT_EQ(digest, Md5sum(text + "\r\n")) << text;
    EXPECT_FALSE(Exists(site.app() + "/~guichet_raw_temp.txt"));
    EXPECT_FALSE(Exists(site.app() + "/~guichet_md5_temp.txt"));
  }
  EXPECT_EQ(site.DayLog(), "");
}

TEST_F(UsersTest, CalculateMD5WithoutLibraryFailsAndDropsStaleDigest) {
  // A digest left by an earlier call must not be taken for this one.
  WriteAll(site.app() + "/~guichet_md5_temp.txt", "0123456789abcdef0123456789abcdef\r\n");
  EXPECT_EQ(CalculateMD5(g, "hello"), "");
  EXPECT_FALSE(Exists(site.app() + "/~guichet_md5_temp.txt"));
  EXPECT_FALSE(Exists(site.app() + "/~guichet_raw_temp.txt"));
  EXPECT_NE(site.DayLog().find("CalculateMD5 : Erreur Radiveve : -1"), std::string::npos);
}

TEST_F(UsersTest, CalculateMD5RawFileUnwritableIsLogged) {
  InstallCodec(site);
  site.env.FailWhen(
      "WriteFile", [](const std::string& p) { return p.find("raw_temp") != p.npos; },
      Status::kDiskFull);
  EXPECT_EQ(CalculateMD5(g, "hello"), "");
  EXPECT_NE(site.DayLog().find("CalculateMD5 : Disque plein"), std::string::npos);
}

TEST(TokenTest, TextAndRandomPart) {
  DateTime t;
  t.year = 2026, t.month = 3, t.day = 4, t.hour = 5, t.minute = 6, t.second = 7;
  EXPECT_EQ(TexteJeton("anna", "U1", t, "r"), "JetonProvisoireannaU120260304050607r");
  EXPECT_EQ(TexteJeton("", "U3", t, ""), "JetonProvisoireU320260304050607");
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string a = AleaJeton();
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos) << a;
    seen.insert(a);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST_F(UsersTest, TokensOfOneUserInOneSecondDiffer) {
  InstallCodec(site);
  std::string a = FabriqueJeton(g, "anna", "U1");
  std::string b = FabriqueJeton(g, "anna", "U1");
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  // Not the digest of the guessable text alone.
  EXPECT_NE(a, Md5sum(TexteJeton("anna", "U1", site.env.Now(), "") + "\r\n"));
}

// Last-logon file ---------------------------------------------------------------------

TEST(LastLogonsTest, SaveWritesSessionsInOrderAndNoFileWhenEmpty) {
  TestSite site;
  Guichet& g = *site.g;
  const std::string path = site.app() + "/guichet_lastlogons.txt";
  SauveDerniersLogons(g);
  EXPECT_FALSE(Exists(path));
  g.Sessions.Append("t1", "U1", "08/12/2026 10:00");
  g.Sessions.Append("", "U2", "08/12/2026 10:01");
  g.Sessions.Append("t3", "U3", "08/12/2026 10:02");
  SauveDerniersLogons(g);
  EXPECT_EQ(ReadAll(path), "t1;U1;08/12/2026 10:00\r\nt3;U3;08/12/2026 10:02\r\n");
  EXPECT_EQ(test::ListDir(site.app()), std::vector<std::string>{"guichet_lastlogons.txt"});
#ifndef _WIN32
  // Live tokens: readable by the owner only (on Windows, the folder's access rights
  // decide, as for every file of the application folder).
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  g.Sessions.Clear();
  SauveDerniersLogons(g);
  EXPECT_FALSE(Exists(path));
}

TEST(LastLogonsTest, FailedSaveLeavesNoStaleFile) {
  TestSite site;
  Guichet& g = *site.g;
  const std::string path = site.app() + "/guichet_lastlogons.txt";
  g.Sessions.Append("t1", "U1", "08/12/2026 10:00");
  g.Sessions.Append("t2", "U2", "08/12/2026 10:00");
  SauveDerniersLogons(g);
  ASSERT_TRUE(Exists(path));
  // "t1" logs out, and the disk is full: "t1" must not come back after a restart.
  g.Sessions.RemoveToken("t1");
  site.env.FailWhen(
      "WriteSecretFileAtomic", [](const std::string&) { return true; }, Status::kDiskFull);
  SauveDerniersLogons(g);
  EXPECT_FALSE(Exists(path));
  g.Sessions.Clear();
  ChargeDerniersLogons(g);
  EXPECT_TRUE(g.Sessions.empty());
}

std::vector<std::string> Lines(const TableSessions& t) {
  std::vector<std::string> got;
  for (const SessionEntry& e : t.entries())
    got.push_back(e.jeton + ";" + e.idUtilisateur + ";" + e.expiration);
  return got;
}

TEST(LastLogonsTest, LogOnsAddLinesAndTheFileIsWrittenWholeNowAndThen) {
  TestSite site;
  Guichet& g = *site.g;
  const std::string path = site.app() + "/guichet_lastlogons.txt";
  // A line cut short by a power cut stays apart from the next one.
  WriteAll(path, "t1;U1;08/12/2026 10:00\r\nt2;U2;08/12/20");
  ChargeDerniersLogons(g);
  g.Sessions.Append("t3", "U3", "08/12/2026 10:03");
  AjouteDernierLogon(g);
  EXPECT_EQ(ReadAll(path),
            "t1;U1;08/12/2026 10:00\r\nt2;U2;08/12/20\r\nt3;U3;08/12/2026 10:03\r\n");
  g.Sessions.Clear();
  ChargeDerniersLogons(g);
  EXPECT_EQ(Lines(g.Sessions),
            (std::vector<std::string>{"t1;U1;08/12/2026 10:00", "t3;U3;08/12/2026 10:03"}));
  // A session closed without a save, a renewed one: the file catches up at its next
  // whole write, after 16 added lines, and holds the table exactly.
  g.Sessions.RemoveToken("t1");
  g.Sessions.Renew(*g.Sessions.Find("t3"), "09/12/2026 10:00");
  for (int i = 0; i < 17; ++i) {
    g.Sessions.Append("n" + std::to_string(i), "U", "08/12/2026 11:00");
    AjouteDernierLogon(g);
  }
  std::string whole;
  for (const std::string& l : Lines(g.Sessions)) whole += l + "\r\n";
  EXPECT_EQ(ReadAll(path), whole);
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
}

#ifndef _WIN32
// (POSIX only: the child is a fork of this test, killed with SIGKILL.)
// A child process logs on again and again, reporting each session once it is handed
// out, and is killed at a random instant, whole writes of the file included: every
// session handed out is in the file afterwards, and nothing else is lost.
TEST(LastLogonsTest, AKillAtAnyInstantLosesNoSessionHandedOut) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 16; ++round) {
    TestSite site;
    Guichet& g = *site.g;
    std::vector<std::string> before;
    for (int i = 0; i < 3000; ++i)
      g.Sessions.Append("old" + std::to_string(i), "U", "09/12/2026 10:00");
    SauveDerniersLogons(g);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      for (int32_t i = 0;; ++i) {
        g.Sessions.Append("new" + std::to_string(i), "U", "09/12/2026 10:00");
        AjouteDernierLogon(g);
        if (write(fds[1], &i, sizeof i) != sizeof i) _exit(1);
      }
    }
    close(fds[1]);
    int32_t handed = -1, i;
    ASSERT_EQ(read(fds[0], &handed, sizeof handed), static_cast<ssize_t>(sizeof handed));
    usleep(std::uniform_int_distribution<useconds_t>(0, 50000)(random));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    while (read(fds[0], &i, sizeof i) == sizeof i) handed = i;
    close(fds[0]);
    g.Sessions.Clear();
    ChargeDerniersLogons(g);
    std::set<std::string> loaded;
    for (const SessionEntry& e : g.Sessions.entries()) loaded.insert(e.jeton);
    for (int k = 0; k < 100; ++k)
      ASSERT_TRUE(loaded.count("old" + std::to_string(k))) << "round " << round << " old" << k;
    for (int k = 0; k <= handed; ++k)
      ASSERT_TRUE(loaded.count("new" + std::to_string(k))) << "round " << round << " new" << k;
  }
}

#endif

TEST(LastLogonsTest, LoadSkipsMalformedLinesAndKeepsExpired) {
  TestSite site;
  Guichet& g = *site.g;
  WriteAll(site.app() + "/guichet_lastlogons.txt",
           "t1;U1;08/12/2026 10:00\r\n"
           "   \r\n"
           "t2;U2\r\n"
           "t3;U3;demain\r\n"
           ";U4;08/12/2026 10:00\r\n"
           "t5;U;5;08/12/2026 10:00\r\n"
           "t6;U6;01/01/2020 09:00\r\n");
  ChargeDerniersLogons(g);
  std::vector<std::string> got;
  for (const SessionEntry& e : g.Sessions.entries())
    got.push_back(e.jeton + ";" + e.idUtilisateur + ";" + e.expiration);
  EXPECT_EQ(got, (std::vector<std::string>{"t1;U1;08/12/2026 10:00", "t6;U6;01/01/2020 09:00"}));
}

}  // namespace
}  // namespace guichet
