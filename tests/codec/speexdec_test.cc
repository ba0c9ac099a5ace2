// The "speexdec" command on dictations made here with espeak-ng, sox and speexenc, checked
// against the reference decoder speexdec and read back with ffprobe.
#include <cmath>
#include <memory>

#include "codec_test_util.h"

namespace codectest {
namespace {

const char kSpeech[] =
    "Dictation for the medical secretary. The patient was seen this morning for a follow-up "
    "visit. Blood pressure is one hundred and thirty over eighty.";

// The source recordings, made once for the whole test program.
class Corpus {
 public:
  static const Corpus& Get() {
    static std::unique_ptr<Corpus> corpus(new Corpus);
    return *corpus;
  }

  std::string missing;        // the outside tools that are not installed
  mutable std::string error;  // what went wrong while making the recordings
  TempDir dir;

  std::string Path(const std::string& name) const { return dir / name; }

 private:
  Corpus() {
    for (const char* tool :
         {"espeak-ng", "sox", "soxi", "speexenc", "speexdec", "ffmpeg", "ffprobe"})
      if (!HaveTool(tool)) missing += std::string(missing.empty() ? "" : ", ") + tool;
    if (!missing.empty()) return;
    const std::vector<std::string> steps = {
        "espeak-ng -w " + Quote(Path("speech.wav")) + " " + Quote(kSpeech),
        "espeak-ng -w " + Quote(Path("yes.wav")) + " yes",
        "sox " + Quote(Path("speech.wav")) + " -r 11025 -c 1 " + Quote(Path("s11.wav")),
        "sox " + Quote(Path("yes.wav")) + " -r 11025 -c 1 " + Quote(Path("short11.wav")),
        "sox " + Quote(Path("speech.wav")) + " -r 8000 " + Quote(Path("s8.wav")),
        "sox " + Quote(Path("speech.wav")) + " -r 16000 " + Quote(Path("s16.wav")),
        "sox " + Quote(Path("speech.wav")) + " -r 32000 " + Quote(Path("s32.wav")),
        // Stereo with two different channels: the speech and the speech backwards.
        "sox " + Quote(Path("s11.wav")) + " " + Quote(Path("rev11.wav")) + " reverse",
        "sox -M " + Quote(Path("s11.wav")) + " " + Quote(Path("rev11.wav")) + " " +
            Quote(Path("st11.wav")),
        "sox " + Quote(Path("st11.wav")) + " -r 16000 " + Quote(Path("st16.wav")),
    };
    RunSteps(steps);
  }

 public:
  // The ten-minute dictation and its reference decoding, made on first use (they take a
  // few seconds and only one test needs them); false, with `error` set, on failure.
  bool MakeLong() const {
    if (!longMade_) {
      const std::vector<std::string> steps = {
          // Ten minutes of dictation: the speech over and over.
          "sox " + Quote(Path("s11.wav")) + " " + Quote(Path("long11.wav")) +
              " repeat 200 trim 0 600",
          "speexenc " + Quote(Path("long11.wav")) + " " + Quote(Path("long11.spx")),
          "speexdec " + Quote(Path("long11.spx")) + " " + Quote(Path("long11.ref.wav")),
      };
      longMade_ = true;
      RunSteps(steps);
    }
    return error.empty();
  }

 private:
  void RunSteps(const std::vector<std::string>& steps) const {
    for (const auto& step : steps) {
      if (error.empty() && Shell(step) != 0) error = "failed: " + step;
    }
  }

  mutable bool longMade_ = false;
};

#define REQUIRE_CORPUS()                                                                  \
  do {                                                                                    \
    const Corpus& c = Corpus::Get();                                                      \
    if (!c.missing.empty()) GTEST_SKIP() << "outside tools not installed: " << c.missing; \
    ASSERT_EQ("", c.error);                                                               \
  } while (0)

uint32_t Le32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}
uint32_t Le16(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s.at(at))) |
         static_cast<uint32_t>(static_cast<unsigned char>(s.at(at + 1))) << 8;
}

// Checks the 44-byte header of a WAV written by the library, field by field.
void ExpectOurWavHeader(const std::string& wav) {
  ASSERT_GE(wav.size(), 44u);
  uint32_t n = static_cast<uint32_t>(wav.size() - 44);
  EXPECT_EQ("RIFF", wav.substr(0, 4));
  EXPECT_EQ(n + 36, Le32(wav, 4));
  EXPECT_EQ("WAVEfmt ", wav.substr(8, 8));
  EXPECT_EQ(16u, Le32(wav, 16));
  EXPECT_EQ(1u, Le16(wav, 20));  // PCM
  EXPECT_EQ(1u, Le16(wav, 22));  // mono
  EXPECT_EQ(11025u, Le32(wav, 24));
  EXPECT_EQ(22050u, Le32(wav, 28));
  EXPECT_EQ(2u, Le16(wav, 32));
  EXPECT_EQ(16u, Le16(wav, 34));
  EXPECT_EQ("data", wav.substr(36, 4));
  EXPECT_EQ(n, Le32(wav, 40));
  EXPECT_EQ(0u, n % 2);
}

// The sample bytes of a WAV written by another program: the body of its "data" chunk.
std::string DataChunk(const std::string& wav) {
  size_t at = 12;
  while (at + 8 <= wav.size()) {
    uint32_t size = Le32(wav, at + 4);
    if (wav.compare(at, 4, "data") == 0) return wav.substr(at + 8, size);
    at += 8 + size + (size & 1);
  }
  return "";
}

std::vector<int16_t> Samples(const std::string& data) {
  std::vector<int16_t> s(data.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(Le16(data, 2 * i));
  return s;
}

// Normalised correlation of two signals over their common length.
double Correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  size_t n = std::min(a.size(), b.size());
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    ab += static_cast<double>(a[i]) * b[i];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[i]) * b[i];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

size_t CountPages(const std::string& ogg) {
  size_t pages = 0;
  for (size_t at = ogg.find("OggS"); at != std::string::npos; at = ogg.find("OggS", at + 4))
    ++pages;
  return pages;
}

// ffprobe's view of a WAV: "codec_name=..", "sample_rate=..", "channels=..", "duration=..".
std::string Probe(const std::string& wav) {
  return Output(
      "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels "
      "-show_entries format=duration -of default=noprint_wrappers=1 " +
      Quote(wav));
}

double ProbedDuration(const std::string& probe) {
  size_t at = probe.find("duration=");
  return at == std::string::npos ? -1 : std::atof(probe.c_str() + at + 9);
}

TEST(SpeexDec, SamplesEqualTheReferenceDecoderAt11025Mono) {
  REQUIRE_CORPUS();
  const Corpus& corpus = Corpus::Get();
  TempDir dir;
  const struct {
    const char* source;
    const char* options;
    bool onePage;  // all audio on one Ogg page
  } cases[] = {
      {"short11.wav", "", true},
      {"s11.wav", "", false},
      {"s11.wav", "--nframes 3", false},
      {"s11.wav", "--nframes 10 --vbr", false},
      {"s11.wav", "--vbr", false},
      {"s11.wav", "--vad --dtx", false},
      {"s11.wav", "--abr 9000 --nframes 2", false},
      {"s11.wav", "--quality 2 --comp 6", false},
      {"s11.wav", "--skeleton", false},  // a skeleton stream ahead of the Speex stream
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + c.options);
    std::string spx = dir / "in.spx", wav = dir / "out.wav", ref = dir / "ref.wav";
    ASSERT_EQ(0, Shell("speexenc " + std::string(c.options) + " " + Quote(corpus.Path(c.source)) +
                       " " + Quote(spx)));
    ASSERT_EQ(0, Shell("speexdec " + Quote(spx) + " " + Quote(ref)));
    size_t pages = CountPages(ReadFile(spx));
    if (c.onePage) {
      EXPECT_LE(pages, 3u);  // two header pages and one of audio
    } else {
      EXPECT_GT(pages, 4u);
    }

    ASSERT_EQ(0, Call(3, "speexdec", {spx, wav}));
    std::string out = ReadFile(wav);
    ExpectOurWavHeader(out);
    std::string expected = DataChunk(ReadFile(ref));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected.size(), out.size() - 44);
    EXPECT_TRUE(out.compare(44, std::string::npos, expected) == 0) << "samples differ";
    std::filesystem::remove(wav);
  }
}

TEST(SpeexDec, TenMinuteDictation) {
  REQUIRE_CORPUS();
  const Corpus& corpus = Corpus::Get();
  ASSERT_TRUE(corpus.MakeLong()) << corpus.error;
  TempDir dir;
  std::string wav = dir / "long.wav";
  ASSERT_EQ(0, Call(3, "speexdec", {corpus.Path("long11.spx"), wav}));
  std::string out = ReadFile(wav);
  ExpectOurWavHeader(out);
  // The reference decoder's end-trimming can leave out up to the decoder's lookahead (40
  // samples) when the stream ends exactly on a packet boundary; the bytes below match it.
  EXPECT_NEAR(600.0, static_cast<double>(out.size() - 44) / 2 / 11025, 0.005);
  EXPECT_TRUE(
      out.compare(44, std::string::npos, DataChunk(ReadFile(corpus.Path("long11.ref.wav")))) == 0);
  EXPECT_EQ((std::vector<std::string>{"long.wav"}), Names(dir.path()));
}

TEST(SpeexDec, OnlyTheFirstStreamOfAChainIsDecoded) {
  REQUIRE_CORPUS();
  const Corpus& corpus = Corpus::Get();
  TempDir dir;
  ASSERT_EQ(0, Shell("speexenc " + Quote(corpus.Path("short11.wav")) + " " + Quote(dir / "a.spx")));
  ASSERT_EQ(0, Shell("speexenc " + Quote(corpus.Path("s11.wav")) + " " + Quote(dir / "b.spx")));
  WriteFile(dir / "ab.spx", ReadFile(dir / "a.spx") + ReadFile(dir / "b.spx"));
  ASSERT_EQ(0, Call(3, "speexdec", {dir / "a.spx", dir / "a.wav"}));
  ASSERT_EQ(0, Call(3, "speexdec", {dir / "ab.spx", dir / "ab.wav"}));
  EXPECT_TRUE(ReadFile(dir / "a.wav") == ReadFile(dir / "ab.wav"));
}

TEST(SpeexDec, OtherRatesAndStereoBecome11025Mono) {
  REQUIRE_CORPUS();
  const Corpus& corpus = Corpus::Get();
  TempDir dir;
  const struct {
    const char* source;
    const char* options;
  } cases[] = {
      {"s8.wav", ""},  {"s16.wav", ""},  {"s16.wav", "--vbr --nframes 4"},
      {"s32.wav", ""}, {"st11.wav", ""}, {"st16.wav", "--nframes 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + c.options);
    std::string spx = dir / "in.spx", wav = dir / "out.wav";
    std::string ref = dir / "ref.wav", refMono = dir / "ref11.wav";
    ASSERT_EQ(0, Shell("speexenc " + std::string(c.options) + " " + Quote(corpus.Path(c.source)) +
                       " " + Quote(spx)));
    ASSERT_EQ(0, Call(3, "speexdec", {spx, wav}));
    std::string out = ReadFile(wav);
    ExpectOurWavHeader(out);

    std::string probe = Probe(wav);
    EXPECT_NE(std::string::npos, probe.find("codec_name=pcm_s16le")) << probe;
    EXPECT_NE(std::string::npos, probe.find("sample_rate=11025")) << probe;
    EXPECT_NE(std::string::npos, probe.find("channels=1")) << probe;
    double sourceSeconds = std::atof(Output("soxi -D " + Quote(corpus.Path(c.source))).c_str());
    EXPECT_NEAR(sourceSeconds, ProbedDuration(probe), 0.02) << probe;

    // The sound itself: close to the reference decoding brought to 11025 Hz mono by sox.
    ASSERT_EQ(0, Shell("speexdec " + Quote(spx) + " " + Quote(ref)));
    ASSERT_EQ(0, Shell("sox " + Quote(ref) + " -r 11025 -c 1 " + Quote(refMono)));
    double r = Correlation(Samples(out.substr(44)), Samples(DataChunk(ReadFile(refMono))));
    EXPECT_GT(r, 0.99);  // a shift of one sample already falls below
    std::filesystem::remove(wav);
  }
}

// The Ogg page checksum: CRC-32, polynomial 0x04c11db7, not reflected, over the page with
// its checksum field zeroed.
void FixOggChecksum(std::string& ogg, size_t page) {
  size_t segments = static_cast<unsigned char>(ogg[page + 26]);
  size_t size = 27 + segments;
  for (size_t i = 0; i < segments; ++i) size += static_cast<unsigned char>(ogg[page + 27 + i]);
  for (size_t i = 22; i < 26; ++i) ogg[page + i] = 0;
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint32_t>(static_cast<unsigned char>(ogg[page + i])) << 24;
    for (int b = 0; b < 8; ++b) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04c11db7u : crc << 1;
  }
  for (int i = 0; i < 4; ++i) ogg[page + 22 + i] = static_cast<char>(crc >> (8 * i));
}

// A header that announces more extra headers than any stream carries is refused; the
// count once overflowed the decoder's packet arithmetic.
TEST(SpeexDec, AbsurdExtraHeaderCountIsRefused) {
  REQUIRE_CORPUS();
  const Corpus& corpus = Corpus::Get();
  TempDir dir;
  std::string good = dir / "good.spx";
  ASSERT_EQ(0, Shell("speexenc " + Quote(corpus.Path("s11.wav")) + " " + Quote(good)));
  const std::string spx = ReadFile(good);
  const size_t header = spx.find("Speex   ");
  ASSERT_NE(header, std::string::npos);
  for (uint32_t count : {0x7fffffffu, 0x7ffffffeu, 1u << 20}) {
    SCOPED_TRACE(count);
    std::string bad = spx;
    for (int i = 0; i < 4; ++i) bad[header + 68 + i] = static_cast<char>(count >> (8 * i));
    FixOggChecksum(bad, 0);
    TempDir work;
    WriteFile(work / "in.spx", bad);
    EXPECT_NE(0, Call(3, "speexdec", {work / "in.spx", work / "out.wav"}));
    EXPECT_EQ((std::vector<std::string>{"in.spx"}), Names(work.path()));
  }
  // The same rewrite with a count of zero still decodes: the checksum above is right.
  std::string same = spx;
  for (int i = 0; i < 4; ++i) same[header + 68 + i] = 0;
  FixOggChecksum(same, 0);
  WriteFile(dir / "same.spx", same);
  EXPECT_EQ(0, Call(3, "speexdec", {dir / "same.spx", dir / "same.wav"}));
}

TEST(SpeexDec, BadFilesGiveAFailureAndNoWav) {
  REQUIRE_CORPUS();
  const Corpus& corpus = Corpus::Get();
  TempDir dir;
  std::string good = dir / "good.spx";
  ASSERT_EQ(0, Shell("speexenc " + Quote(corpus.Path("s11.wav")) + " " + Quote(good)));
  std::string spx = ReadFile(good);
  std::string flipped = spx;
  flipped[spx.size() / 2] = static_cast<char>(flipped[spx.size() / 2] ^ 0x5a);
  std::string damagedHeader = spx;  // the header page no longer passes its checksum
  damagedHeader.replace(damagedHeader.find("Speex   "), 8, "Vorbis  ");
  const struct {
    const char* what;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"not Ogg (a WAV file)", ReadFile(corpus.Path("s11.wav"))},
      {"cut inside the first page", spx.substr(0, 40)},
      {"cut after the headers", spx.substr(0, spx.find("OggS", spx.find("OggS", 4) + 4))},
      {"cut in the middle", spx.substr(0, spx.size() / 2)},
      {"last page missing", spx.substr(0, spx.rfind("OggS"))},
      {"damaged byte", flipped},
      {"header page damaged", damagedHeader},
      {"Ogg Vorbis", ReadFile(corpus.Path("vorbis.ogg"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir work;
    WriteFile(work / "in.spx", c.content);
    EXPECT_NE(0, Call(3, "speexdec", {work / "in.spx", work / "out.wav"}));
    EXPECT_EQ((std::vector<std::string>{"in.spx"}), Names(work.path()));
  }

  // A failure leaves a former WAV of that name as it was.
  WriteFile(dir / "old.wav", "former content");
  WriteFile(dir / "empty.spx", "");
  EXPECT_NE(0, Call(3, "speexdec", {dir / "empty.spx", dir / "old.wav"}));
  EXPECT_EQ("former content", ReadFile(dir / "old.wav"));
  // Missing input, and an output folder that does not exist.
  EXPECT_NE(0, Call(3, "speexdec", {dir / "none.spx", dir / "none.wav"}));
  EXPECT_FALSE(Exists(dir / "none.wav"));
  EXPECT_NE(0, Call(3, "speexdec", {good, dir / "nofolder/out.wav"}));
  // And the good file still decodes, replacing the former WAV.
  EXPECT_EQ(0, Call(3, "speexdec", {good, dir / "old.wav"}));
  ExpectOurWavHeader(ReadFile(dir / "old.wav"));
}

}  // namespace
}  // namespace codectest
