// Audio conversion: the two headers byte for byte, the slow copy against the library's
// "copyinv", and real dictations converted and read back by ffprobe and ffmpeg.
#include "workflow/audio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "core/radiveve.h"
#include "platform/env.h"
#include "support/text.h"
#include "workflow_test_util.h"

namespace guichet::test {
namespace {

std::string Bytes(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string Hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) out += std::string{d[c >> 4], d[c & 15]};
  return out;
}

TEST(AudioHeaders, CafBytes) {
  const std::string h = CafHeader();
  ASSERT_EQ(h.size(), 4096u);
  struct Field {
    size_t at;
    const char* hex;
  } fields[] = {
      {0, "63616666"},                           // "caff"
      {4, "00010000"},                           // version 1, flags 0
      {8, "64657363"},                           // "desc"
      {12, "0000000000000020"},                  // 32
      {20, "40c5888000000000"},                  // 11025.0
      {28, "6c70636d"},                          // "lpcm"
      {32, "00000000"},                          // integer, big-endian
      {36, "00000002000000010000000100000010"},  // 2 bytes/packet, 1, 1 channel, 16 bits
      {52, "66726565"},                          // "free"
      {56, "0000000000000fb0"},                  // 4016
      {4080, "64617461"},                        // "data"
      {4084, "ffffffffffffffff"},                // length not given
      {4092, "00000001"},                        // edit count
  };
  for (const Field& f : fields)
    EXPECT_EQ(Hex(h.substr(f.at, std::strlen(f.hex) / 2)), f.hex) << "offset " << f.at;
  EXPECT_EQ(h.substr(64, 4016), std::string(4016, '\0'));
}

TEST(AudioHeaders, WavBytes) {
  EXPECT_EQ(Hex(WavHeader(0x01020304)),
            "52494646"
            "28030201"
            "57415645"
            "666d7420"
            "10000000"
            "0100"
            "0100"
            "112b0000"
            "22560000"
            "0200"
            "1000"
            "64617461"
            "04030201");
  EXPECT_EQ(Hex(WavHeader(0).substr(4, 4)), "24000000");
}

// The slow copy gives what the library's "copyinv" gives, for even and odd counts, at
// offsets, without touching the bytes before the destination offset or shortening it.
TEST(SlowCopy, SameAsCopyinv) {
  TempDir dir;
  Env& env = *Env::Default();
  const std::string src = dir.path() + "/src.bin";
  WriteAll(src, Bytes(70000, 1));
  struct Case {
    int64_t s, d, n;
  } cases[] = {{0, 0, 0},     {44, 4096, 1}, {44, 4096, 2}, {44, 4096, 5},
               {4096, 44, 6}, {3, 10, 7},    {1, 0, 69999}, {0, 100, 70000}};
  for (const Case& c : cases) {
    SCOPED_TRACE("s=" + Dec(c.s) + " d=" + Dec(c.d) + " n=" + Dec(c.n));
    const std::string a = dir.path() + "/a.bin", b = dir.path() + "/b.bin";
    const std::string before = Bytes(80000, 2);
    WriteAll(a, before);
    WriteAll(b, before);
    ASSERT_EQ(0, CallRadiveve(CodecDir(), 6, "copyinv", {src, Dec(c.s), a, Dec(c.d), Dec(c.n)}));
    ASSERT_TRUE(SlowSwapCopy(env, src, c.s, b, c.d, c.n).ok());
    EXPECT_TRUE(ReadAll(a) == ReadAll(b));
    EXPECT_EQ(ReadAll(b).size(), before.size());
  }
  // The pairs really are exchanged.
  WriteAll(src, "ABCDE");
  WriteAll(dir.path() + "/c.bin", "");
  ASSERT_TRUE(SlowSwapCopy(env, src, 0, dir.path() + "/c.bin", 0, 5).ok());
  EXPECT_EQ(ReadAll(dir.path() + "/c.bin"), "BADCE");
}

class Conversion : public ::testing::Test {
 protected:
  TestSite site;
  Guichet& g = *site.g;
  std::string folder = site.tasks() + "/Transcriptions/u7";
  void SetUp() override { MakeDirs(folder); }
  std::string F(const std::string& name) { return folder + "/" + name; }
  std::string WorkflowLog() { return ReadAll(site.app() + "/guichet.log"); }
};

TEST_F(Conversion, SpeexBecomesWavAndCafThatOutsideReadersAccept) {
  REQUIRE_DICTATION();
  InstallCodec(site.app());
  WriteAll(F("hvr_42.spx"), ReadAll(Dictation()));
  WriteAll(F("hvr_42.caf"), std::string(9000, 'x'));  // a longer former CAF
  ConvertirSpx(g, F("hvr_42.spx"));

  EXPECT_EQ(ListDir(folder),
            (std::vector<std::string>{"hvr_42.caf", "hvr_42.spx.old", "hvr_42.wav"}));
  EXPECT_TRUE(ReadAll(F("hvr_42.spx.old")) == ReadAll(Dictation()));
  const std::string wav = ReadAll(F("hvr_42.wav")), caf = ReadAll(F("hvr_42.caf"));
  ASSERT_GT(wav.size(), 10000u);
  EXPECT_EQ(caf.size(), wav.size() + 4096 - 44);
  EXPECT_EQ(caf.substr(0, 4096), CafHeader());

  for (const std::string& file : {F("hvr_42.wav"), F("hvr_42.caf")}) {
    SCOPED_TRACE(file);
    ExpectProbe(file, "sample_rate", "11025");
    ExpectProbe(file, "channels", "1");
    ExpectProbe(file, "bits_per_sample", "16");
    ExpectDuration(file, (wav.size() - 44) / 22050.0, 0.01);
  }
  ExpectProbe(F("hvr_42.caf"), "codec_name", "pcm_s16be");
  ExpectDecodedSamples(F("hvr_42.caf"), wav.substr(44));
  EXPECT_EQ(WorkflowLog(), "");
  EXPECT_EQ(site.DayLog(), "");
}

TEST_F(Conversion, SpeexWithoutLibraryStaysAsItIs) {
  WriteAll(F("hvr_42.spx"), "not decoded");
  ConvertirSpx(g, F("hvr_42.spx"));
  EXPECT_EQ(ListDir(folder), std::vector<std::string>{"hvr_42.spx"});
  EXPECT_EQ(WorkflowLog(),
            "07/12/2026 10:00:00 - " +
                W("Radiveve speexdec a retourné -1 (dll probablement pas à jour dans "
                  "administrateur). La conversion spx=>wav+caf a échoué.\r\n"));
}

TEST_F(Conversion, SpeexKeptWhenItsCopyFails) {
  REQUIRE_DICTATION();
  InstallCodec(site.app());
  WriteAll(F("hvr_42.spx"), ReadAll(Dictation()));
  site.env.FailWhen(
      "CopyFile", [](const std::string& p) { return p.ends_with(".spx"); }, Status::kDiskFull);
  ConvertirSpx(g, F("hvr_42.spx"));
  EXPECT_TRUE(ReadAll(F("hvr_42.spx")) == ReadAll(Dictation()));
  EXPECT_TRUE(Exists(F("hvr_42.caf")));
}

TEST_F(Conversion, OnlySpxAndCafEndingsAreConverted) {
  InstallCodec(site.app());
  WriteAll(F("hvr_1.spx.old"), "x");
  WriteAll(F("hvr_2.caf.bak"), std::string(5000, 'x'));
  ConvertirSpx(g, F("hvr_1.spx.old"));
  ConvertirCaf(g, F("hvr_2.caf.bak"));
  ConvertirSpx(g, ".spx");
  EXPECT_EQ(ListDir(folder), (std::vector<std::string>{"hvr_1.spx.old", "hvr_2.caf.bak"}));
  EXPECT_EQ(WorkflowLog(), "");
  // Upper case passes the test (and then fails decoding, which is logged).
  WriteAll(F("hvr_3.SPX"), "x");
  ConvertirSpx(g, F("hvr_3.SPX"));
  EXPECT_NE(WorkflowLog().find("speexdec a retourn"), std::string::npos);
}

TEST_F(Conversion, CafBecomesWavWithOrWithoutLibrary) {
  const std::string samples = Bytes(30001, 7);  // an odd count: the last byte as is
  const std::string caf = CafHeader() + samples;
  std::string expected = WavHeader(30001) + samples;
  for (size_t i = 44; i + 1 < expected.size(); i += 2) std::swap(expected[i], expected[i + 1]);

  // Without the library the slow copy does the work, and says so in the workflow log.
  WriteAll(F("hvr_5.caf"), caf);
  ConvertirCaf(g, F("hvr_5.caf"));
  EXPECT_TRUE(ReadAll(F("hvr_5.wav")) == expected);
  EXPECT_EQ(WorkflowLog(),
            "07/12/2026 10:00:00 - " +
                W("Radiveve copyinv a retourné -1 (dll probablement pas à jour dans client et "
                  "administrateur). La conversion caf=>wav sera lente.\r\n"));

  InstallCodec(site.app());
  WriteAll(F("hvr_6.caf"), caf);
  ConvertirCaf(g, F("hvr_6.caf"));
  EXPECT_TRUE(ReadAll(F("hvr_6.wav")) == expected);
  EXPECT_EQ(WorkflowLog().find("hvr_6"), std::string::npos);
}

TEST_F(Conversion, CafReadableByFfprobeAndFormerWavBackedUp) {
  REQUIRE_DICTATION();
  InstallCodec(site.app());
  const std::string samples = Bytes(22050 * 2, 3);  // two seconds
  WriteAll(F("hvr_8.caf"), CafHeader() + samples);
  WriteAll(F("hvr_8.wav"), "former wav");
  WriteAll(F("hvr_8.wav.bak"), "older backup");
  ConvertirCaf(g, F("hvr_8.caf"));
  EXPECT_EQ(ReadAll(F("hvr_8.wav.bak")), "former wav");
  ExpectProbe(F("hvr_8.wav"), "sample_rate", "11025");
  ExpectProbe(F("hvr_8.wav"), "channels", "1");
  ExpectProbe(F("hvr_8.wav"), "codec_name", "pcm_s16le");
  ExpectDuration(F("hvr_8.wav"), 2.0, 0.01);
  // Both files hold the same samples, as outside readers see them.
  const std::string wav = ReadAll(F("hvr_8.wav"));
  ASSERT_EQ(wav.size(), samples.size() + 44);
  ExpectDecodedSamples(F("hvr_8.caf"), wav.substr(44));
  ExpectDecodedSamples(F("hvr_8.wav"), wav.substr(44));
}

TEST_F(Conversion, ShortCafAndFailedBackupLeaveTheWavAlone) {
  InstallCodec(site.app());
  WriteAll(F("hvr_9.caf"), CafHeader());  // exactly 4096 bytes: no samples
  ConvertirCaf(g, F("hvr_9.caf"));
  EXPECT_FALSE(Exists(F("hvr_9.wav")));

  WriteAll(F("hvr_10.caf"), CafHeader() + "abcd");
  WriteAll(F("hvr_10.wav"), "former wav");
  site.env.FailWhen(
      "CopyFile", [](const std::string& p) { return p.ends_with(".wav"); }, Status::kDiskFull);
  ConvertirCaf(g, F("hvr_10.caf"));
  EXPECT_EQ(ReadAll(F("hvr_10.wav")), "former wav");
  EXPECT_NE(WorkflowLog().find("Can't copy " + F("hvr_10.wav")), std::string::npos);
}

// A link planted where a conversion writes: nothing is written through it, and the
// conversion stops with a line in the workflow log.
TEST_F(Conversion, LinkInPlaceOfAnOutputIsNeverWrittenThrough) {
  SKIP_ON_WINDOWS("symbolic links planted the Linux way");
  REQUIRE_DICTATION();
  const std::string victim = site.root() + "/victim.bin", content = Bytes(20000, 9);
  WriteAll(victim, content);
  for (bool library : {false, true}) {
    SCOPED_TRACE(library ? "with the codec library" : "slow copy");
    if (library) InstallCodec(site.app());
    std::filesystem::remove_all(folder);
    MakeDirs(folder);
    // Speex: the CAF made from the decoded WAV.
    WriteAll(F("hvr_42.spx"), ReadAll(Dictation()));
    std::filesystem::create_symlink(victim, F("hvr_42.caf"));
    ConvertirSpx(g, F("hvr_42.spx"));
    // CAF: the WAV made from it.
    WriteAll(F("hvr_43.caf"), CafHeader() + Bytes(5000, 1));
    std::filesystem::create_symlink(victim, F("hvr_43.wav"));
    ConvertirCaf(g, F("hvr_43.caf"));

    EXPECT_TRUE(ReadAll(victim) == content);
    EXPECT_TRUE(std::filesystem::is_symlink(F("hvr_43.wav")));
    const std::string log = WorkflowLog();
    if (library) {  // without the library the Speex file is not even decoded
      EXPECT_NE(log.find("ConvertirSpx : Type de fichier incorrect (" + F("hvr_42.caf") + ")"),
                std::string::npos)
          << log;
    }
    EXPECT_NE(log.find("ConvertirCaf : Type de fichier incorrect (" + F("hvr_43.wav") + ")"),
              std::string::npos)
        << log;
  }
}

// A folder in the WAV's place: the CAF stays, and the failure is in the workflow log.
TEST_F(Conversion, CafWhoseWavCannotBeWrittenIsLogged) {
  InstallCodec(site.app());
  WriteAll(F("hvr_5.caf"), CafHeader() + Bytes(5000, 2));
  MakeDirs(F("hvr_5.wav"));
  ConvertirCaf(g, F("hvr_5.caf"));
  EXPECT_EQ(WorkflowLog(), "07/12/2026 10:00:00 - ConvertirCaf : Type de fichier incorrect (" +
                               F("hvr_5.wav") + ")\r\n");
  EXPECT_EQ(ListDir(F("hvr_5.wav")), std::vector<std::string>{});
}

}  // namespace
}  // namespace guichet::test
