// Speed of the audio conversion of the move cycle on a ten-minute dictation: ConvertirSpx
// (Speex to WAV, then the CAF header and the byte-swapping copy into the CAF) beside the
// reference command-line decoder speexdec alone on the same file, all measured in this
// run; and the slow copy of Guichet (used when "copyinv" fails) beside "copyinv" on the
// same samples.
//
// Makes the dictation with espeak-ng, sox and speexenc, or takes the Speex file given as
// its argument (on Windows, where those tools are seldom found, make one on Linux and
// give it); the reference decoder is timed where speexdec is found. Prints its figures.
//
//   audio_bench [DICTATION.spx]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/guichet.h"
#include "core/radiveve.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/view.h"
#include "support/bench_os.h"
#include "support/text.h"
#include "workflow/audio.h"

namespace {

namespace fs = std::filesystem;
using guichet::Dec;

constexpr int kRounds = 3;

int Run(const std::string& command) { return guichet::bench::RunCommand(command); }

#ifdef _WIN32
std::string Q(const std::string& s) { return "\"" + s + "\""; }
#else
std::string Q(const std::string& s) { return "'" + s + "'"; }
#endif

// Best wall-clock seconds of kRounds runs of `work` (`prepare` runs untimed before each);
// negative when a run failed.
double Best(const std::function<void()>& prepare, const std::function<bool()>& work) {
  double best = 1e30;
  for (int i = 0; i < kRounds; ++i) {
    prepare();
    auto start = std::chrono::steady_clock::now();
    if (!work()) return -1;
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// A time of -2 is a pass that was not run.
void Print(const char* what, double seconds, double audio_seconds, double bytes) {
  if (seconds == -2) {
    std::printf("  %-44s not run (speexdec not found)\n", what);
    return;
  }
  if (seconds < 0) {
    std::printf("  %-44s FAILED\n", what);
    return;
  }
  std::printf("  %-44s %8.3f s  %7.1fx real time  %8.1f MB/s\n", what, seconds,
              audio_seconds / seconds, bytes / seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  namespace bench = guichet::bench;
  const std::string given = argc > 1 ? argv[1] : "";
  for (const char* tool : {"espeak-ng", "sox", "speexenc", "speexdec"}) {
    if (given.empty() && !bench::HaveTool(tool)) {
      std::fprintf(stderr, "audio_bench: %s is not installed\n", tool);
      return 1;
    }
  }
  const std::string root = bench::MakeTempFolder(bench::TempBase(), "guichet_audio_bench_");
  const std::string app = root + "/Guichet", work = root + "/Tasks/Transcriptions/u7";
  fs::create_directories(app);
  fs::create_directories(work);
  fs::copy_file(bench::BinaryDir() + "/" + bench::kCodecLibrary, app + "/" + bench::kCodecLibrary);

  // Ten minutes of speech at 11025 Hz, encoded the usual way.
  const std::string speech = root + "/speech.wav", s11 = root + "/s11.wav",
                    long11 = root + "/long11.wav", spx = root + "/long.spx";
  const char* text =
      "Cher confrere, je vous adresse ce patient pour un avis cardiologique. "
      "Il presente depuis trois semaines une dyspnee d'effort.";
  std::error_code copied;
  if (!given.empty()) {
    if (!fs::copy_file(given, spx, copied)) {
      std::fprintf(stderr, "audio_bench: cannot read %s\n", given.c_str());
      fs::remove_all(root);
      return 1;
    }
  } else if (Run("espeak-ng -w " + Q(speech) + " \"" + text + "\"") != 0 ||
             Run("sox " + Q(speech) + " -r 11025 -c 1 -b 16 " + Q(s11)) != 0 ||
             Run("sox " + Q(s11) + " " + Q(long11) + " repeat 200 trim 0 600") != 0 ||
             Run("speexenc " + Q(long11) + " " + Q(spx)) != 0) {
    std::fprintf(stderr, "audio_bench: could not make the test dictation\n");
    fs::remove_all(root);
    return 1;
  }

  guichet::Env& env = *guichet::Env::Default();
  auto view = guichet::MakeSilentView();
  auto desktop = guichet::MakeNoDesktop();
  guichet::Guichet g(env, *view, *desktop);
  g.AppFolder = app;
  g.TasksFolder = app + "/../Tasks";

  const std::string base = work + "/hvr_1";
  auto fresh_spx = [&] {
    for (const char* ext : {".spx", ".spx.old", ".wav", ".caf"}) fs::remove(base + ext);
    fs::copy_file(spx, base + ".spx");
  };

  const double convert = Best(fresh_spx, [&] {
    guichet::ConvertirSpx(g, base + ".spx");
    return fs::exists(base + ".caf") && fs::exists(base + ".spx.old");
  });
  const double wav_bytes = static_cast<double>(fs::file_size(base + ".wav"));
  const double audio_seconds = (wav_bytes - 44) / 22050.0;
  const double caf_bytes = static_cast<double>(fs::file_size(base + ".caf"));
  if (convert >= 0 && caf_bytes != wav_bytes + 4096 - 44) {
    std::fprintf(stderr, "audio_bench: the CAF has the wrong length\n");
    return 1;
  }

  const std::string ref = root + "/ref.wav";
  const double reference =
      bench::HaveTool("speexdec")
          ? Best([] {}, [&] { return Run("speexdec " + Q(spx) + " " + Q(ref)) == 0; })
          : -2;
  const double library_decode =
      Best([] {},
           [&] {
             return guichet::CallRadiveve(app, 3, "speexdec", {spx, root + "/lib.wav"}) == 0;
           });

  // The WAV to CAF sample copy, both ways of doing it, into the same prepared CAF.
  const int64_t n = static_cast<int64_t>(wav_bytes) - 44;
  const std::string caf = root + "/copy.caf";
  // A CAF that cannot be prepared shows as different results below.
  auto fresh_caf = [&] { guichet::IgnoreFailure(env.WriteFile(caf, guichet::CafHeader())); };
  const double copyinv = Best(fresh_caf, [&] {
    return guichet::CallRadiveve(app, 6, "copyinv", {base + ".wav", "44", caf, "4096", Dec(n)}) ==
           0;
  });
  std::string lib_result, slow_result;
  guichet::IgnoreFailure(env.ReadFile(caf, &lib_result));  // compared below
  const double slow = Best(
      fresh_caf, [&] { return guichet::SlowSwapCopy(env, base + ".wav", 44, caf, 4096, n).ok(); });
  guichet::IgnoreFailure(env.ReadFile(caf, &slow_result));  // compared below

  std::printf(
      "audio_bench: %.0f s of dictation, Speex %lld bytes, WAV %.0f bytes "
      "(best of %d runs each)\n",
      audio_seconds, static_cast<long long>(fs::file_size(spx)), wav_bytes, kRounds);
  std::printf("Speex dictation to WAV and CAF:\n");
  Print("ConvertirSpx (speexdec + CAF + copyinv)", convert, audio_seconds, wav_bytes);
  Print("reference speexdec alone (command line)", reference, audio_seconds, wav_bytes);
  Print("Radiveve speexdec alone", library_decode, audio_seconds, wav_bytes);
  if (convert > 0 && reference > 0)
    std::printf("  ConvertirSpx takes %.2f times the reference decoder's time\n",
                convert / reference);
  std::printf("WAV samples into the CAF (%lld bytes):\n", static_cast<long long>(n));
  Print("Radiveve copyinv", copyinv, audio_seconds, static_cast<double>(n));
  Print("slow copy of Guichet (copyinv failed)", slow, audio_seconds, static_cast<double>(n));
  std::printf("  same bytes from both copies: %s\n", lib_result == slow_result ? "yes" : "NO");

  // Windows keeps the loaded codec library from being deleted: that folder stays.
  std::error_code ec;
  fs::remove_all(root, ec);
  return lib_result == slow_result ? 0 : 1;
}
