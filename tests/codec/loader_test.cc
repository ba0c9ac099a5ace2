// Loading the codec library at run time, and the entry point's answers to bad calls.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "codec_test_util.h"
#include "platform/system.h"

namespace codectest {
namespace {

// "Radiveve.so" or "Radiveve.dll".
const std::string kLibrary = std::string("Radiveve") + guichet::kSharedLibrarySuffix;

TEST(Loader, MissingOrForeignLibraryIsAFailedCall) {
  TempDir dir;
  WriteFile(dir / "in", "abc");
  EXPECT_EQ(guichet::kRadiveveNotLoaded,
            guichet::CallRadiveve(dir / "nofolder", 4, "md5", {dir / "in", dir / "out"}));
  // A file that is not a shared library.
  WriteFile(dir / kLibrary, "not a library");
  EXPECT_EQ(guichet::kRadiveveNotLoaded,
            guichet::CallRadiveve(dir.path(), 4, "md5", {dir / "in", dir / "out"}));
  EXPECT_FALSE(Exists(dir / "out"));
}

TEST(Loader, LibraryWithoutTheEntryPoint) {
#ifdef _WIN32
  // Any module without the entry point will do: the test program itself.
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
  TempDir dir;
  std::filesystem::copy_file(self, std::filesystem::path(dir / kLibrary));
  EXPECT_EQ(guichet::kRadiveveNoEntryPoint, guichet::CallRadiveve(dir.path(), 4, "md5", {}));
#else
  // Any shared library the test program itself is linked with will do.
  Dl_info info{};
  ASSERT_NE(0, ::dladdr(reinterpret_cast<void*>(&::dlopen), &info));
  TempDir dir;
  std::filesystem::create_symlink(info.dli_fname, dir / "Radiveve.so");
  EXPECT_EQ(guichet::kRadiveveNoEntryPoint, guichet::CallRadiveve(dir.path(), 4, "md5", {}));
#endif
}

TEST(Loader, LoadIsRetriedOnceTheLibraryIsInPlace) {
  TempDir dir;
  WriteFile(dir / "in", "abc");
  EXPECT_EQ(guichet::kRadiveveNotLoaded,
            guichet::CallRadiveve(dir.path(), 4, "md5", {dir / "in", dir / "out"}));
  std::filesystem::copy_file(BinaryDir() + "/" + kLibrary, dir / kLibrary);
  EXPECT_EQ(0, guichet::CallRadiveve(dir.path(), 4, "md5", {dir / "in", dir / "out"}));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72\r\n", ReadFile(dir / "out"));
}

TEST(EntryPoint, BadCallsAreRefusedWithoutACrash) {
  using Fn = int16_t (*)(int32_t, const char*, const char*, const char*, const char*, const char*,
                         const char*, const char*, const char*);
#ifdef _WIN32
  HMODULE handle = LoadLibraryW(std::filesystem::path(BinaryDir() + "/" + kLibrary).c_str());
  ASSERT_NE(nullptr, handle);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, "Radiveve")));
#else
  void* handle = ::dlopen((BinaryDir() + "/" + kLibrary).c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  auto fn = reinterpret_cast<Fn>(::dlsym(handle, "Radiveve"));
#endif
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
#ifdef _WIN32
  FreeLibrary(handle);
#else
  ::dlclose(handle);
#endif
}

}  // namespace
}  // namespace codectest
