// Helpers of the workflow tests: outside tools (espeak-ng, sox, speexenc, ffprobe, ffmpeg),
// a test dictation made once per program, and a site with the codec library in place.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support_lib/site.h"
#include "support_lib/tools.h"

#ifndef GUICHET_BINARY_DIR
#define GUICHET_BINARY_DIR "."
#endif

namespace guichet::test {

#ifdef _WIN32
// The outside tools are Linux programs that a Windows program under wine cannot start: the
// dictation is made on the Linux side before the tests (tools/make-dictation.sh), in the
// folder that GUICHET_DICTATION_DIR names. Its path, or "" when there is none.
inline std::string DictationDir() {
  const char* d = std::getenv("GUICHET_DICTATION_DIR");
  if (d == nullptr || *d == 0) return std::string();
  std::string dir = d;
  if (dir[0] == '/') dir = "Z:" + dir;  // a Linux path: wine's drive Z: is the Linux root
  return dir;
}

inline const std::string& Dictation() {
  static const std::string path = [] {
    const std::string dir = DictationDir();
    if (dir.empty() || !Exists(dir + "/speech.spx")) return std::string();
    return dir + "/speech.spx";
  }();
  return path;
}

#define REQUIRE_DICTATION()                                             \
  ASSERT_FALSE(Dictation().empty())                                     \
      << "no speech.spx in GUICHET_DICTATION_DIR: ctest makes it with " \
         "tools/make-dictation.sh before the tests"
#else
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

// The outside tools are part of the test setup (Debian: espeak-ng sox speex ffmpeg).
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

#ifdef _WIN32
// Under wine, what ffprobe and ffmpeg would say about an output is asked on the Linux side
// after the tests (tools/check-dictation-outputs.sh): the output is copied into a folder
// of the running test under the dictation folder, with a line saying what to check.
// The folder of the running test's outside checks.
inline std::string OutsideChecksDir() {
  const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = DictationDir() + "/checks/" + t->test_suite_name() + "." + t->name();
  MakeDirs(dir);
  return dir;
}

// Keeps a copy of `file` for the checks and adds the check line: kind, copy, a, b.
inline void AddOutsideCheck(const std::string& kind, const std::string& file, const std::string& a,
                            const std::string& b) {
  ASSERT_FALSE(DictationDir().empty()) << "GUICHET_DICTATION_DIR is not set";
  static int count = 0;
  const std::string dir = OutsideChecksDir();
  const std::string copy =
      std::to_string(++count) + "_" + file.substr(file.find_last_of("/\\") + 1);
  std::error_code ec;
  std::filesystem::copy_file(NativePath(file), NativePath(dir + "/" + copy),
                             std::filesystem::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << "cannot copy " << file << " for the outside checks";
  std::ofstream(NativePath(dir + "/checks.txt"), std::ios::binary | std::ios::app)
      << kind << '\t' << copy << '\t' << a << (b.empty() ? "" : "\t" + b) << '\n';
}

inline void ExpectProbe(const std::string& file, const std::string& entry,
                        const std::string& value) {
  AddOutsideCheck("probe", file, entry, value);
}

inline void ExpectDuration(const std::string& file, double seconds, double margin) {
  AddOutsideCheck("duration", file, std::to_string(seconds), std::to_string(margin));
}

// The samples that ffmpeg reads from `file`, as 16-bit little-endian, are `samples`.
inline void ExpectDecodedSamples(const std::string& file, const std::string& samples) {
  static int count = 0;
  const std::string expected = "expected_" + std::to_string(++count) + ".raw";
  WriteAll(OutsideChecksDir() + "/" + expected, samples);
  AddOutsideCheck("samples", file, expected, "");
}
#else
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

inline void ExpectProbe(const std::string& file, const std::string& entry,
                        const std::string& value) {
  EXPECT_EQ(Probe(file, entry), value) << file;
}

inline void ExpectDuration(const std::string& file, double seconds, double margin) {
  const std::string got = ProbeDuration(file);
  ASSERT_FALSE(got.empty()) << "ffprobe gives no duration for " << file;
  EXPECT_NEAR(std::stod(got), seconds, margin) << file;
}

// The samples that ffmpeg reads from `file`, as 16-bit little-endian, are `samples`.
inline void ExpectDecodedSamples(const std::string& file, const std::string& samples) {
  const std::string got = Output("ffmpeg -v error -i " + Quote(file) + " -f s16le -");
  EXPECT_TRUE(got == samples) << got.size() << " bytes from ffmpeg, " << samples.size()
                              << " expected, for " << file;
}
#endif

}  // namespace guichet::test
