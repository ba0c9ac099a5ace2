// Speed of the codec library on a ten-minute dictation: Speex to WAV conversion by
// Radiveve "speexdec" beside the reference command-line decoder on the same file, and the
// throughput of "copyinv" on the decoded samples (the WAV to CAF copy of the move cycle).
//
// Makes the dictation with espeak-ng, sox and speexenc, or takes the Speex file given as
// its argument (on Windows, where those tools are seldom found, make one on Linux and
// give it); the reference decoder is timed where speexdec is found. Prints its figures.
//
//   codec_bench [DICTATION.spx]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/radiveve.h"
#include "support/bench_os.h"

namespace {

constexpr double kDictationSeconds = 600;
constexpr int kRounds = 3;

namespace bench = guichet::bench;

int Run(const std::string& command) { return bench::RunCommand(command); }

// Best and median wall-clock seconds of `rounds` runs of `work`; false if one run failed.
bool Time(int rounds, const std::function<bool()>& work, double* best, double* median) {
  std::vector<double> seconds;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!work()) return false;
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  *best = seconds.front();
  *median = seconds[seconds.size() / 2];
  return true;
}

long long FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(size);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string given = argc > 1 ? argv[1] : "";
  for (const char* tool : {"espeak-ng", "sox", "speexenc", "speexdec"}) {
    if (given.empty() && !bench::HaveTool(tool)) {
      std::fprintf(stderr, "codec_bench: %s is not installed\n", tool);
      return 1;
    }
  }
  const std::string dir =
      bench::MakeTempFolder(std::filesystem::temp_directory_path().string(), "codec_bench_");
  const std::string lib = bench::BinaryDir();
  auto path = [&](const char* name) { return dir + "/" + name; };

  std::vector<std::string> steps;
  if (!given.empty()) {
    std::error_code ec;
    if (!std::filesystem::copy_file(given, path("long.spx"), ec)) {
      std::fprintf(stderr, "codec_bench: cannot read %s\n", given.c_str());
      std::filesystem::remove_all(dir);
      return 1;
    }
  } else {
    std::printf("Making a %.0f-second dictation (espeak-ng, sox, speexenc)...\n",
                kDictationSeconds);
    steps = {
        "espeak-ng -w " + path("speech.wav") +
            " 'Dictation for the medical secretary. The patient was seen this morning for a "
            "follow-up visit. Blood pressure is one hundred and thirty over eighty.'",
        "sox " + path("speech.wav") + " -r 11025 -c 1 " + path("s11.wav"),
        "sox " + path("s11.wav") + " " + path("long.wav") + " repeat 200 trim 0 600",
        "speexenc " + path("long.wav") + " " + path("long.spx"),
    };
  }
  for (const auto& step : steps) {
    if (Run(step) != 0) {
      std::fprintf(stderr, "codec_bench: failed: %s\n", step.c_str());
      std::filesystem::remove_all(dir);
      return 1;
    }
  }
  std::printf("Speex file: %lld bytes, 11025 Hz mono\n\n", FileSize(path("long.spx")));

  double refBest = 0, refMedian = 0, ourBest = 0, ourMedian = 0;
  const bool reference = bench::HaveTool("speexdec");
  bool ok =
      !reference ||
      Time(
          kRounds, [&] { return Run("speexdec " + path("long.spx") + " " + path("ref.wav")) == 0; },
          &refBest, &refMedian);
  ok = ok && Time(
                 kRounds,
                 [&] {
                   return guichet::CallRadiveve(lib, 3, "speexdec",
                                                {path("long.spx"), path("out.wav")}) == 0;
                 },
                 &ourBest, &ourMedian);
  if (!ok) {
    std::fprintf(stderr, "codec_bench: a decoding failed\n");
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::printf("spx -> WAV, %d rounds each (best / median seconds, x real time of the best)\n",
              kRounds);
  if (reference) {
    std::printf("  reference speexdec (own process):  %7.3f / %7.3f s  %7.0fx\n", refBest,
                refMedian, kDictationSeconds / refBest);
  } else {
    std::printf("  reference speexdec (own process):  not run (speexdec not found)\n");
  }
  std::printf("  Radiveve speexdec (in this process): %5.3f / %7.3f s  %7.0fx\n", ourBest,
              ourMedian, kDictationSeconds / ourBest);

  // copyinv: the samples of the WAV into a CAF behind its 4096-byte header.
  long long n = FileSize(path("out.wav")) - 44;
  {
    std::ofstream caf(path("out.caf"), std::ios::binary | std::ios::trunc);
    std::string header(4096, '\0');
    caf.write(header.data(), static_cast<std::streamsize>(header.size()));
  }
  double copyBest = 0, copyMedian = 0;
  ok = Time(
      5,
      [&] {
        return guichet::CallRadiveve(
                   lib, 6, "copyinv",
                   {path("out.wav"), "44", path("out.caf"), "4096", std::to_string(n)}) == 0;
      },
      &copyBest, &copyMedian);
  if (!ok) {
    std::fprintf(stderr, "codec_bench: copyinv failed\n");
    std::filesystem::remove_all(dir);
    return 1;
  }
  double mb = static_cast<double>(n) / 1e6;
  std::printf("\ncopyinv of %.1f MB of samples (WAV -> CAF), 5 rounds\n", mb);
  std::printf("  best %.4f s (%.0f MB/s), median %.4f s (%.0f MB/s)\n", copyBest, mb / copyBest,
              copyMedian, mb / copyMedian);

  std::filesystem::remove_all(dir);
  return 0;
}
