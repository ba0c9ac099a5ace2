// The "copyinv" command against a byte swap written here.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "codec_test_util.h"

namespace codectest {
namespace {

// What the destination must hold after the copy: its former bytes, overwritten from
// `to` by `n` bytes of `src` from `from` with each pair exchanged (an odd last byte kept);
// a gap between the former end and `to` reads as zeros.
std::string Expected(const std::string& src, size_t from, std::string dst, size_t to, size_t n) {
  if (dst.size() < to + n) dst.resize(to + n, '\0');
  for (size_t i = 0; i < n; ++i) {
    size_t j = i ^ 1;
    dst[to + i] = j < n ? src[from + j] : src[from + i];
  }
  return dst;
}

TEST(CopyInv, MatchesReferenceSwap) {
  TempDir dir;
  const struct {
    const char* what;
    size_t srcSize, from, dstSize, to, n;
  } cases[] = {
      {"wav to caf offsets", 1044, 44, 4096, 4096, 1000},
      {"caf to wav offsets", 5096, 4096, 44, 44, 1000},
      {"odd count", 101, 0, 50, 10, 101},
      {"count zero", 10, 10, 20, 5, 0},
      {"to the end of the source", 300, 100, 0, 0, 200},
      {"inside the destination", 100, 10, 500, 100, 50},
      {"several blocks, odd", 300001, 1, 44, 44, 300000 - 1},
      {"several blocks, even", 2 * 65536 + 10, 10, 0, 0, 2 * 65536},
      {"destination offset past its end", 64, 0, 10, 20, 64},
  };
  int seed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string src = Bytes(c.srcSize, ++seed);
    std::string dst = Bytes(c.dstSize, ++seed);
    WriteFile(dir / "src", src);
    WriteFile(dir / "dst", dst);
    ASSERT_EQ(0, Call(6, "copyinv",
                      {dir / "src", std::to_string(c.from), dir / "dst", std::to_string(c.to),
                       std::to_string(c.n)}));
    std::string got = ReadFile(dir / "dst");
    EXPECT_TRUE(got == Expected(src, c.from, dst, c.to, c.n));
    EXPECT_EQ(src, ReadFile(dir / "src"));
  }
}

TEST(CopyInv, OverlappingCopyWithinOneFile) {
  TempDir dir;
  for (size_t shift : {size_t{2}, size_t{3}, size_t{70000}}) {
    SCOPED_TRACE(shift);
    const size_t n = 200000;
    std::string data = Bytes(n + shift, static_cast<uint32_t>(shift));
    // Forwards (destination after the source) and backwards.
    for (bool forward : {true, false}) {
      WriteFile(dir / "f", data);
      size_t from = forward ? 0 : shift, to = forward ? shift : 0;
      ASSERT_EQ(0, Call(6, "copyinv",
                        {dir / "f", std::to_string(from), dir / "f", std::to_string(to),
                         std::to_string(n)}));
      EXPECT_TRUE(ReadFile(dir / "f") == Expected(data, from, data, to, n)) << forward;
    }
  }
}

TEST(CopyInv, FailuresLeaveTheDestinationAlone) {
  TempDir dir;
  std::string src = Bytes(100, 7), dst = Bytes(60, 8);
  WriteFile(dir / "src", src);
  const struct {
    const char* what;
    int32_t count;
    std::vector<std::string> args;
  } cases[] = {
      {"source too short", 6, {dir / "src", "44", dir / "dst", "0", "57"}},
      {"offset beyond the source", 6, {dir / "src", "101", dir / "dst", "0", "0"}},
      {"missing source", 6, {dir / "none", "0", dir / "dst", "0", "2"}},
      {"negative count", 6, {dir / "src", "0", dir / "dst", "0", "-2"}},
      {"not a number", 6, {dir / "src", "4a", dir / "dst", "0", "2"}},
      {"empty number", 6, {dir / "src", "0", dir / "dst", "", "2"}},
      {"spaces", 6, {dir / "src", " 0", dir / "dst", "0", "2"}},
      {"exponent", 6, {dir / "src", "0", dir / "dst", "0", "1e1"}},
      {"overflow", 6, {dir / "src", "0", dir / "dst", "99999999999999999999", "2"}},
      {"wrong count", 5, {dir / "src", "0", dir / "dst", "0", "2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir / "dst", dst);
    EXPECT_NE(0, Call(c.count, "copyinv", c.args));
    EXPECT_TRUE(ReadFile(dir / "dst") == dst);
  }
  // The destination is never created.
  EXPECT_NE(0, Call(6, "copyinv", {dir / "src", "0", dir / "new", "0", "2"}));
  EXPECT_FALSE(Exists(dir / "new"));
}

// A link, a folder or a FIFO in the destination's place is refused: the copy never
// writes into what a link leads to, and never waits for a FIFO's reader.
TEST(CopyInv, DestinationThatIsNotARegularFileIsRefused) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links and FIFOs made the Linux way";
#else
  TempDir dir;
  const std::string src = Bytes(200, 3), victim = Bytes(300, 4);
  WriteFile(dir / "src", src);
  WriteFile(dir / "victim", victim);
  ASSERT_EQ(0, ::symlink((dir / "victim").c_str(), (dir / "link").c_str()));
  ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0666));
  std::filesystem::create_directory(dir / "folder");
  for (const char* name : {"link", "fifo", "folder"}) {
    SCOPED_TRACE(name);
    EXPECT_NE(0, Call(6, "copyinv", {dir / "src", "0", dir / name, "100", "200"}));
  }
  EXPECT_TRUE(ReadFile(dir / "victim") == victim);
#endif
}

}  // namespace
}  // namespace codectest
