// Helpers of the workflow tests: outside tools (espeak-ng, sox, speexenc, ffprobe, ffmpeg),
// a test dictation made once per program, and a site with the codec library in place.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support_lib/site.h"
#include "support_lib/tools.h"

#ifndef GUICHET_BINARY_DIR
#define GUICHET_BINARY_DIR "."
#endif

namespace guichet::test {

inline bool HaveTools() {
  for (const char* t : {"espeak-ng", "sox", "speexenc", "ffprobe", "ffmpeg"})
    if (Shell(std::string("command -v ") + t) != 0) return false;
  return true;
}

// A spoken Speex dictation at 11025 Hz mono, made once: its path, or "" when the tools
// are missing.
inline const std::string& Dictation() {
  static TempDir dir;
  static std::string path = [] {
    std::string wav = dir.path() + "/speech.wav", w11 = dir.path() + "/s11.wav",
                spx = dir.path() + "/speech.spx";
    if (!HaveTools()) return std::string();
    if (Shell("espeak-ng -w " + Quote(wav) +
              " 'Bonjour, voici une lettre pour le docteur Martin.'") != 0 ||
        Shell("sox " + Quote(wav) + " -r 11025 -c 1 -b 16 " + Quote(w11)) != 0 ||
        Shell("speexenc " + Quote(w11) + " " + Quote(spx)) != 0)
      return std::string();
    return spx;
  }();
  return path;
}

// The outside tools are part of the test setup (Debian: espeak-ng sox speex ffmpeg). They
// are Linux programs: a Windows test program under wine cannot run them.
#ifdef _WIN32
#define REQUIRE_DICTATION() \
  GTEST_SKIP() << "needs espeak-ng, sox, speexenc and ffprobe, out of reach under wine"
#else
#define REQUIRE_DICTATION() \
  ASSERT_FALSE(Dictation().empty()) << "espeak-ng, sox, speexenc, ffprobe or ffmpeg missing"
#endif

// The build folder, as an absolute path: the conversions change the current directory.
inline std::string CodecDir() {
#ifdef _WIN32
  return BinaryDir();  // absolute already, on wine's drive Z:
#else
  return std::filesystem::absolute(GUICHET_BINARY_DIR).string();
#endif
}

// Puts the codec library of the build folder into the site's application folder.
inline void InstallCodec(const std::string& app) {
  std::filesystem::copy_file(NativePath(CodecDir() + "/" + CodecLibraryName()),
                             NativePath(app + "/" + CodecLibraryName()),
                             std::filesystem::copy_options::overwrite_existing);
}

// One value that ffprobe reports for the first stream of a file.
inline std::string Probe(const std::string& path, const std::string& entry) {
  std::string out = Output("ffprobe -v error -select_streams a:0 -show_entries stream=" + entry +
                           " -of default=noprint_wrappers=1:nokey=1 " + Quote(path));
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::string ProbeDuration(const std::string& path) {
  std::string out = Output(
      "ffprobe -v error -show_entries format=duration "
      "-of default=noprint_wrappers=1:nokey=1 " +
      Quote(path));
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace guichet::test
