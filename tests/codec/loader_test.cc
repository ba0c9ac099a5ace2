// Loading the codec library at run time, and the entry point's answers to bad calls.
#include <dlfcn.h>

#include "codec_test_util.h"

namespace codectest {
namespace {

TEST(Loader, MissingOrForeignLibraryIsAFailedCall) {
  TempDir dir;
  WriteFile(dir / "in", "abc");
  EXPECT_EQ(guichet::kRadiveveNotLoaded,
            guichet::CallRadiveve(dir / "nofolder", 4, "md5", {dir / "in", dir / "out"}));
  // A file that is not a shared library.
  WriteFile(dir / "Radiveve.so", "not a library");
  EXPECT_EQ(guichet::kRadiveveNotLoaded,
            guichet::CallRadiveve(dir.path(), 4, "md5", {dir / "in", dir / "out"}));
  EXPECT_FALSE(Exists(dir / "out"));
}

TEST(Loader, LibraryWithoutTheEntryPoint) {
  // Any shared library the test program itself is linked with will do.
  Dl_info info{};
  ASSERT_NE(0, ::dladdr(reinterpret_cast<void*>(&::dlopen), &info));
  TempDir dir;
  std::filesystem::create_symlink(info.dli_fname, dir / "Radiveve.so");
  EXPECT_EQ(guichet::kRadiveveNoEntryPoint, guichet::CallRadiveve(dir.path(), 4, "md5", {}));
}

TEST(Loader, LoadIsRetriedOnceTheLibraryIsInPlace) {
  TempDir dir;
  WriteFile(dir / "in", "abc");
  EXPECT_EQ(guichet::kRadiveveNotLoaded,
            guichet::CallRadiveve(dir.path(), 4, "md5", {dir / "in", dir / "out"}));
  std::filesystem::copy_file(BinaryDir() + "/Radiveve.so", dir / "Radiveve.so");
  EXPECT_EQ(0, guichet::CallRadiveve(dir.path(), 4, "md5", {dir / "in", dir / "out"}));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72\r\n", ReadFile(dir / "out"));
}

TEST(EntryPoint, BadCallsAreRefusedWithoutACrash) {
  void* handle = ::dlopen((BinaryDir() + "/Radiveve.so").c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  using Fn = int16_t (*)(int32_t, const char*, const char*, const char*, const char*, const char*,
                         const char*, const char*, const char*);
  auto fn = reinterpret_cast<Fn>(::dlsym(handle, "Radiveve"));
  ASSERT_NE(nullptr, fn);
  TempDir dir;
  WriteFile(dir / "in", "abc");
  std::string in = dir / "in", out = dir / "out";
  const char* n = nullptr;
  EXPECT_NE(0, fn(4, nullptr, in.c_str(), out.c_str(), n, n, n, n, n));
  EXPECT_NE(0, fn(4, "MD5", in.c_str(), out.c_str(), "", "", "", "", ""));
  EXPECT_NE(0, fn(4, "sha1", in.c_str(), out.c_str(), "", "", "", "", ""));
  EXPECT_NE(0, fn(4, "md5", n, out.c_str(), n, n, n, n, n));
  EXPECT_NE(0, fn(4, "md5", in.c_str(), n, n, n, n, n, n));
  EXPECT_NE(0, fn(6, "copyinv", in.c_str(), n, out.c_str(), n, n, n, n));
  EXPECT_NE(0, fn(3, "speexdec", n, n, n, n, n, n, n));
  EXPECT_NE(0, fn(-1, "speexdec", in.c_str(), out.c_str(), n, n, n, n, n));
  EXPECT_FALSE(Exists(out));
  // The same library answers a good call through the same pointer.
  EXPECT_EQ(0, fn(4, "md5", in.c_str(), out.c_str(), n, n, n, n, n));
  ::dlclose(handle);
}

}  // namespace
}  // namespace codectest
