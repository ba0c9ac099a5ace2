// The "md5" command against md5sum on the same files.
#include "codec_test_util.h"

namespace codectest {
namespace {

TEST(Md5, DigestEqualsMd5sumOnAssortedFiles) {
  if (!HaveTool("md5sum")) GTEST_SKIP() << "md5sum is not installed";
  TempDir dir;
  std::string all256;
  for (int i = 0; i < 256; ++i) all256 += static_cast<char>(i);
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"text", "motdepasse\r\n"},
      {"binary", all256},
      {"block_exact", Bytes(64 * 1024, 1)},
      {"several_mb", Bytes(3 * 1024 * 1024 + 17, 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string in = dir / c.name;
    std::string out = dir / (std::string(c.name) + ".md5");
    WriteFile(in, c.content);
    ASSERT_EQ(0, Call(4, "md5", {in, out}));
    std::string expected = Output("md5sum " + Quote(in)).substr(0, 32);
    EXPECT_EQ(expected + "\r\n", ReadFile(out));
  }
}

TEST(Md5, ReplacesAFormerResultFile) {
  TempDir dir;
  WriteFile(dir / "in", "abc");
  WriteFile(dir / "out", std::string(200, 'x') + "\r\nsecond line\r\n");
  ASSERT_EQ(0, Call(4, "md5", {dir / "in", dir / "out"}));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72\r\n", ReadFile(dir / "out"));
  EXPECT_EQ((std::vector<std::string>{"in", "out"}), Names(dir.path()));
}

TEST(Md5, FailuresWriteNoResult) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  WriteFile(dir / "in", "abc");
  const struct {
    const char* what;
    int32_t count;
    std::vector<std::string> args;
  } cases[] = {
      {"missing input", 4, {dir / "none", dir / "out"}},
      {"input is a folder", 4, {dir / "folder", dir / "out"}},
      {"empty input path", 4, {"", dir / "out"}},
      {"result in a missing folder", 4, {dir / "in", dir / "nofolder/out"}},
      {"wrong count", 3, {dir / "in", dir / "out"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NE(0, Call(c.count, "md5", c.args));
    EXPECT_FALSE(Exists(dir / "out"));
  }
  EXPECT_EQ((std::vector<std::string>{"folder", "in"}), Names(dir.path()));
}

}  // namespace
}  // namespace codectest
