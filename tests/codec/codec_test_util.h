// Helpers shared by the tests of the codec library: temporary folders, outside tools,
// whole-file reads and writes, and the call of the library from the build folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/radiveve.h"
#include "support_lib/tools.h"

namespace codectest {

#ifdef _WIN32
// A Linux path under wine, whose drive Z: is the Linux root.
inline std::string BinaryDir() { return std::string("Z:") + GUICHET_BINARY_DIR; }
#else
inline std::string BinaryDir() { return GUICHET_BINARY_DIR; }
#endif

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
      auto candidate = base / ("guichet_codec_" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.generic_string();
    }
    if (path_.empty()) throw std::runtime_error("no temporary folder");
#else
    std::string pattern =
        (std::filesystem::temp_directory_path() / "guichet_codec_XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
#endif
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using guichet::test::Output;
using guichet::test::Quote;
using guichet::test::Shell;

using guichet::test::HaveTool;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Names in `folder`, for checking that nothing (no temporary file) was left behind.
inline std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Deterministic pseudo-random bytes.
inline std::string Bytes(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// Calls the library of the build folder through Guichet's loader.
inline int16_t Call(int32_t count, const std::string& command,
                    const std::vector<std::string>& args) {
  return guichet::CallRadiveve(BinaryDir(), count, command, args);
}

}  // namespace codectest
