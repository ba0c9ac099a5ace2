// Moves cut short: the state a kill leaves during the move cycle (the queue line still
// there, the family partly or wholly in Transcriptions/<author>, audio half converted,
// no stage batch file), built on disk; the next cycle finishes the move.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/text.h"
#include "workflow/audio.h"
#include "workflow/move.h"
#include "workflow_test_util.h"

namespace guichet::test {
namespace {

class CutShort : public ::testing::Test {
 protected:
  TestSite site;
  Guichet& g = *site.g;

  void SetUp() override {
    MakeDirs(site.templates() + "/S");
    WriteAll(site.templates() + "/Services.txt", "1|S\r\n");
    WriteAll(site.templates() + "/TypeDocs.txt", "1|T|Type\r\n");
    WriteAll(site.templates() + "/S/Type.info", "Auteur=%Auteur%\r\n");
    WriteAll(site.templates() + "/S/Type.doc", "DOC");
    MakeDirs(Trans(""));
    InstallCodec(site.app());
  }
  std::string T(const std::string& rest) { return site.tasks() + "/" + rest; }
  std::string Trans(const std::string& rest) { return T("Transcriptions/u7/" + rest); }
  std::string Line(const std::string& text) { return "07/12/2026 10:00:00 - " + text; }

  // The WAV and CAF a whole conversion of the test dictation gives.
  void Reference(std::string* wav, std::string* caf) {
    const std::string ref = T("ref");
    MakeDirs(ref);
    WriteAll(ref + "/hvr_1.spx", ReadAll(Dictation()));
    ConvertirSpx(g, ref + "/hvr_1.spx");
    *wav = ReadAll(ref + "/hvr_1.wav");
    *caf = ReadAll(ref + "/hvr_1.caf");
    std::filesystem::remove_all(ref);
  }

  void ExpectFinished(const std::string& id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ListDir(Trans("")),
              (std::vector<std::string>{"hvr_" + id + ".caf", "hvr_" + id + ".doc",
                                        "hvr_" + id + ".finished.bat", "hvr_" + id + ".id",
                                        "hvr_" + id + ".info", "hvr_" + id + ".spx.old",
                                        "hvr_" + id + ".typedoc", "hvr_" + id + ".wav"}));
    EXPECT_TRUE(AudioConverted(g.env, Trans("hvr_" + id)));
    EXPECT_EQ(ReadAll(Trans("hvr_" + id + ".finished.bat")), BatchTranscription(id, "u7"));
    EXPECT_EQ(ReadAll(Trans("hvr_" + id + ".info")), "Auteur=u7\r\n");
    EXPECT_EQ(ReadAll(T("ToMove.txt")), "");
  }
};

// Killed once every file had left the tasks folder, before any conversion.
TEST_F(CutShort, WholeFamilyMovedNothingConverted) {
  REQUIRE_DICTATION();
  WriteAll(Trans("hvr_42.spx"), ReadAll(Dictation()));
  WriteAll(Trans("hvr_42.typedoc"), "T\r\n");
  WriteAll(T("ToMove.txt"), "42;u7\r\n");
  RepereMove(g);
  ExpectFinished("42");
  EXPECT_EQ(g.Activities(), std::vector<std::string>{Line("Trans. : u7 (#42)")});
}

// Killed after the Speex file was moved, the type file still in the tasks folder.
TEST_F(CutShort, SpeexMovedButNotConvertedRestStillInTasks) {
  REQUIRE_DICTATION();
  WriteAll(Trans("hvr_42.spx"), ReadAll(Dictation()));
  WriteAll(T("hvr_42.typedoc"), "T\r\n");
  WriteAll(T("ToMove.txt"), "42;u7\r\n");
  RepereMove(g);
  ExpectFinished("42");
  EXPECT_FALSE(Exists(T("hvr_42.typedoc")));
}

// Killed inside the Speex conversion, at each of its steps, the documents finished.
TEST_F(CutShort, SpeexConversionStoppedAtEachStep) {
  REQUIRE_DICTATION();
  std::string wav, caf;
  Reference(&wav, &caf);
  ASSERT_GT(wav.size(), 1000u);
  const std::string spx = ReadAll(Dictation());
  struct Case {
    const char* what;
    bool spx, old;
    std::string wav, caf;
  } cases[] = {
      {"half-decoded WAV", true, false, wav.substr(0, 700), ""},
      {"Speex copied to .spx.old, not yet deleted", true, true, wav, ""},
      {"CAF header only", false, true, wav, caf.substr(0, 4096)},
      {"CAF half copied", false, true, wav, caf.substr(0, caf.size() / 2)},
      {"no CAF yet", false, true, wav, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Trans(""));
    MakeDirs(Trans(""));
    if (c.spx) WriteAll(Trans("hvr_42.spx"), spx);
    if (c.old) WriteAll(Trans("hvr_42.spx.old"), spx);
    if (!c.wav.empty()) WriteAll(Trans("hvr_42.wav"), c.wav);
    if (!c.caf.empty()) WriteAll(Trans("hvr_42.caf"), c.caf);
    WriteAll(Trans("hvr_42.typedoc"), "T\r\n");
    WriteAll(T("ToMove.txt"), "42;u7\r\n");
    RepereMove(g);
    ExpectFinished("42");
    EXPECT_TRUE(ReadAll(Trans("hvr_42.wav")) == wav);
    EXPECT_TRUE(ReadAll(Trans("hvr_42.caf")) == caf);
    EXPECT_TRUE(ReadAll(Trans("hvr_42.spx.old")) == spx);
  }
}

// A CAF dictation whose WAV was being made: the half-made WAV is replaced, and the
// former WAV's backup is kept.
TEST_F(CutShort, CafConversionStopped) {
  const std::string samples = std::string(3000, 'a') + std::string(3000, 'b');
  const std::string caf = CafHeader() + samples;
  std::string wav = WavHeader(6000) + samples;
  for (size_t i = 44; i + 1 < wav.size(); i += 2) std::swap(wav[i], wav[i + 1]);
  struct Case {
    const char* what;
    std::string wav, bak;
  } cases[] = {
      {"no WAV yet", "", ""},
      {"WAV header only, former WAV backed up", WavHeader(6000), "former wav"},
      {"WAV half copied", wav.substr(0, 3000), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Trans(""));
    MakeDirs(Trans(""));
    WriteAll(Trans("hvr_43.caf"), caf);
    if (!c.wav.empty()) WriteAll(Trans("hvr_43.wav"), c.wav);
    if (!c.bak.empty()) WriteAll(Trans("hvr_43.wav.bak"), c.bak);
    WriteAll(Trans("hvr_43.typedoc"), "T\r\n");
    WriteAll(T("ToMove.txt"), "43;u7\r\n");
    RepereMove(g);
    EXPECT_TRUE(ReadAll(Trans("hvr_43.wav")) == wav);
    EXPECT_TRUE(ReadAll(Trans("hvr_43.caf")) == caf);
    if (!c.bak.empty()) {
      EXPECT_EQ(ReadAll(Trans("hvr_43.wav.bak")), c.bak);
    }
    EXPECT_TRUE(Exists(Trans("hvr_43.finished.bat")));
    EXPECT_EQ(ReadAll(T("ToMove.txt")), "");
  }
}

// Killed while finishing: what is there stays (an edited template too), what is missing
// is written, and the stage batch file comes last.
TEST_F(CutShort, FinishingStoppedHalfWay) {
  WriteAll(Trans("hvr_44.typedoc"), "T\r\n");
  WriteAll(Trans("hvr_44.id"), "Nom\r\n");
  WriteAll(Trans("hvr_44.info"), "edited");
  WriteAll(T("ToMove.txt"), "44;u7\r\n");
  RepereMove(g);
  EXPECT_EQ(ReadAll(Trans("hvr_44.id")), "Nom\r\n");
  EXPECT_EQ(ReadAll(Trans("hvr_44.info")), "edited");
  EXPECT_EQ(ReadAll(Trans("hvr_44.doc")), "DOC");
  EXPECT_EQ(ReadAll(Trans("hvr_44.finished.bat")), BatchTranscription("44", "u7"));
  EXPECT_EQ(g.Activities(), std::vector<std::string>{Line("Trans. : u7 (#44)")});
}

// A document that was finished (its batch file there, its audio whole) is left as it is
// by a later line naming it, as after a rejection: no second line, nothing rewritten.
TEST_F(CutShort, FinishedDocumentIsLeftAlone) {
  WriteAll(Trans("hvr_45.typedoc"), "T\r\n");
  WriteAll(Trans("hvr_45.caf"), CafHeader() + "abcd");
  WriteAll(Trans("hvr_45.wav"), WavHeader(4) + "badc");
  WriteAll(Trans("hvr_45.finished.bat"), "old batch");
  WriteAll(T("ToMove.txt"), "45;u7\r\n46;u7\r\n");
  RepereMove(g);
  EXPECT_EQ(ListDir(Trans("")), (std::vector<std::string>{"hvr_45.caf", "hvr_45.finished.bat",
                                                          "hvr_45.typedoc", "hvr_45.wav"}));
  EXPECT_EQ(ReadAll(Trans("hvr_45.finished.bat")), "old batch");
  EXPECT_TRUE(g.Activities().empty());
  EXPECT_EQ(ReadAll(T("ToMove.txt")), "");
}

}  // namespace
}  // namespace guichet::test
