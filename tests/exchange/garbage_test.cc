// Malformed input never crashes Guichet nor escapes its folders: random request lines and
// random pieces, for every command, as a logged-on user.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>

#include "core/request.h"
#include "exchange/dispatch.h"
#include "exchange/post.h"
#include "exchange/spool.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

std::string Noise(std::mt19937& rng, size_t max) {
  static const std::string kPieces[] = {"..",
                                        "/",
                                        "\\",
                                        "|",
                                        ";",
                                        "&",
                                        "%",
                                        "*",
                                        "?",
                                        "[2E]",
                                        "__UUID__",
                                        "00/13/2026",
                                        "31/02/2026",
                                        "hvr_",
                                        " ",
                                        "\t",
                                        "\x01",
                                        "\xE9",
                                        "..\\..\\",
                                        "/etc/passwd",
                                        "0",
                                        "-1",
                                        "99999999999999999999",
                                        "(",
                                        ")",
                                        "&data=",
                                        "extension=",
                                        "offset=",
                                        "length=",
                                        "totallength="};
  std::string s;
  size_t n = rng() % max;
  for (size_t i = 0; i < n; ++i) {
    if (rng() % 3 == 0)
      s += kPieces[rng() % std::size(kPieces)];
    else
      s += static_cast<char>(rng() % 256);
  }
  return s;
}

TEST(Garbage, RandomRequestsAreAnsweredAndStayInsideTheSite) {
  test::TestSite site;
  Guichet& g = *site.g;
  test::MakeDirs(site.tasks() + "/Validations/u1");
  test::WriteAll(site.tasks() + "/Validations/u1/hvr_1.id", "../../..\r\n");
  g.Sessions.Append("tok", "u1", "31/12/2099 00:00");
  RepereRequete(g);
  const char* commands[] = {"login",     "getlogon", "logout",        "custom",   "attachments",
                            "archives",  "0",        "configuration", "1",        "2en",
                            "cancelled", "cleared",  "invalidated",   "finished", "getcaflen",
                            "step",      "etape",    "createtmp",     "finishtmp"};
  std::mt19937 rng(1234);
  for (int i = 0; i < 300; ++i) {
    std::string name = "g" + std::to_string(i) + ".req";
    std::vector<std::string> lines = {"/portail.hv",
                                      rng() % 8 ? "tok" : Noise(rng, 40),
                                      commands[rng() % std::size(commands)],
                                      Noise(rng, 30),
                                      Noise(rng, 30),
                                      Noise(rng, 60)};
    std::string data;
    for (auto& l : lines) data += l + (rng() % 2 ? "\r\n" : "\n");
    test::DropFile(site.spool() + "/in/" + name, data);
    ASSERT_NO_THROW(TraiteRequete(g, name)) << i;
    g.LogPhase.clear();
  }
  // Nothing was written beside the site's own folders.
  const std::set<std::string> expected = {"Agendas",      "Archives", "Guichet",
                                          "IsapiHalvero", "Tasks",    "Templates"};
  for (const std::string& n : test::ListDir(site.root())) EXPECT_TRUE(expected.count(n)) << n;
  for (const std::string& n : test::ListDir(site.tasks()))
    EXPECT_TRUE(n == "Count.txt" || n == "ToMove.txt" || n == "Validations" || n == "RecycleBin" ||
                n == "Publications" || n == "Transcriptions" || n.rfind("hvr_", 0) == 0)
        << n;
}

TEST(Garbage, RandomPiecesAreHandledOrSetAside) {
  test::TestSite site;
  Guichet& g = *site.g;
  test::MakeDirs(site.spool() + "/post");
  std::mt19937 rng(99);
  for (int i = 0; i < 200; ++i) {
    std::string base = std::to_string(i);
    std::string line =
        rng() % 4 == 0 ? "List=" + Noise(rng, 80)
                       : "idexamen=" + Noise(rng, 6) + "&extension=" + Noise(rng, 8) +
                             "&offset=" + Noise(rng, 4) + "&length=" + Noise(rng, 4) +
                             "&encoding=" + (rng() % 2 ? "base64" : "") + "&data=" + Noise(rng, 80);
    test::WriteAll(site.spool() + "/post/" + base + ".txt", line + "\r\n");
    test::WriteAll(site.spool() + "/post/" + base + ".rdy", "");
  }
  ASSERT_NO_THROW(ReperePost(g));
  // Whatever is left waits for a piece before it; an hour later it is all set aside.
  site.env.Advance(3600);
  for (const std::string& n : test::ListDir(site.spool() + "/post"))
    if (n.ends_with(".rdy"))
      test::SetMtime(site.spool() + "/post/" + n, ToUnixLocal(site.env.Now().AddSeconds(-3600)));
  ASSERT_NO_THROW(ReperePost(g));
  EXPECT_TRUE(test::ListDir(site.spool() + "/post").empty());
  // Every file written stays in the tasks folder, temp or post_err.
  for (const std::string& n : test::ListDir(site.tasks())) EXPECT_EQ(n.rfind("hvr_", 0), 0u) << n;
}

}  // namespace
}  // namespace guichet
