// The batch file dialect: what Guichet writes reads back to the same commands, in both
// line ends; everything else is refused with the line it stands on.
#include "batch_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace guichet::batch {
namespace {

std::string Render(const std::vector<BatchCommand>& commands) {
  std::string out;
  for (const BatchCommand& c : commands) {
    out += std::to_string(c.line) + (c.kind == BatchCommand::kMkdir ? " mkdir " : " move ");
    if (c.kind == BatchCommand::kMove) out += PatternText(c) + " ";
    for (const std::string& p : c.path) out += "[" + p + "]";
    out += "\n";
  }
  return out;
}

TEST(BatchFile, ReadsWhatGuichetWritesInEitherLineEnd) {
  const std::string archive =
      "mkdir \"..\\..\\..\\Archives\"\r\n"
      "mkdir \"..\\..\\..\\Archives\\(Sans nom) \xC9t\xE9\"\r\n"
      "move hvr_42.info \"..\\..\\..\\Archives\\(Sans nom) \xC9t\xE9\"\r\n"
      "move hvr_42.* \"..\\..\\..\\Archives_Trash\\(Sans nom) \xC9t\xE9\"\r\n";
  const std::string expected =
      "1 mkdir [..][..][..][Archives]\n"
      "2 mkdir [..][..][..][Archives][(Sans nom) \xC9t\xE9]\n"
      "3 move hvr_42.info [..][..][..][Archives][(Sans nom) \xC9t\xE9]\n"
      "4 move hvr_42.* [..][..][..][Archives_Trash][(Sans nom) \xC9t\xE9]\n";
  struct Case {
    std::string name, content, expected;
  } cases[] = {
      {"CR LF", archive, expected},
      {"LF",
       "mkdir \"..\\..\\..\\Archives\"\n"
       "mkdir \"..\\..\\..\\Archives\\(Sans nom) \xC9t\xE9\"\n"
       "move hvr_42.info \"..\\..\\..\\Archives\\(Sans nom) \xC9t\xE9\"\n"
       "move hvr_42.* \"..\\..\\..\\Archives_Trash\\(Sans nom) \xC9t\xE9\"",
       expected},
      // Command words in any case, blanks around, blank lines, no end on the last line.
      {"loose", "\r\n  MKDIR   \"..\\..\\Validations\"  \r\n\r\nMove HVR_7-a.* \"x\"",
       "2 mkdir [..][..][Validations]\n4 move hvr_7-a.* [x]\n"},
  };
  for (const Case& c : cases) {
    std::vector<BatchCommand> commands;
    BatchError error;
    ASSERT_TRUE(ParseBatchFile(c.content, &commands, &error)) << c.name << ": " << error.reason;
    EXPECT_EQ(Render(commands), c.expected) << c.name;
  }
}

TEST(BatchFile, RefusesEverythingElseWithItsLine) {
  struct Case {
    std::string content;
    int line;
    std::string reason;  // a part of the reason
  } cases[] = {
      {"", 0, "no command"},
      {"\r\n  \r\n", 0, "no command"},
      {std::string(70 * 1024, ' '), 0, "64 KiB"},
      {"mkdir \"a\"\r\ndel hvr_1.*\r\n", 2, "unknown command: del"},
      {"@echo off\r\n", 1, "unknown command"},
      {"md \"a\"\r\n", 1, "unknown command: md"},
      {"mkdir\r\n", 1, "unknown command"},
      {"mkdir a\r\n", 1, "double quotes"},
      {"mkdir \"a\" b\r\n", 1, "double quotes"},
      {"mkdir \"a\"b\"\r\n", 1, "double quote in a name"},
      {"mkdir \"\"\r\n", 1, "empty folder"},
      {"mkdir \"..\\\\a\"\r\n", 1, "empty part"},
      {"mkdir \"\\a\"\r\n", 1, "empty part"},
      {"mkdir \"a\\\"\r\n", 1, "empty part"},
      {"mkdir \".\\a\"\r\n", 1, "\".\""},
      {"mkdir \"C:\\a\"\r\n", 1, "cannot hold"},
      {"mkdir \"/etc\"\r\n", 1, "cannot hold"},
      {"mkdir \"a%PATH%\"\r\n", 1, "cannot hold"},
      {"mkdir \"a*\"\r\n", 1, "cannot hold"},
      {"mkdir \"..\\CON\"\r\n", 1, "reserved"},
      {"mkdir \"..\\nul.txt\"\r\n", 1, "reserved"},
      {"mkdir \"..\\Com1 \"\r\n", 1, "ending in a dot or a space"},
      {"mkdir \"..\\lpt9.x\"\r\n", 1, "reserved"},
      {"mkdir \"..\\a.\"\r\n", 1, "ending in a dot"},
      {"mkdir \"a\tb\"\r\n", 1, "control character"},
      {"mkdir \"a\"\rmkdir \"b\"\r\n", 1, "control character"},
      {std::string("mkdir \"a\0b\"\r\n", 13), 1, "control character"},
      {"move hvr_1.*\r\n", 1, "without a folder"},
      {"move *.* \"a\"\r\n", 1, "not a document pattern"},
      {"move \"hvr_1.*\" \"a\"\r\n", 1, "not a document pattern"},
      {"move hvr_1 \"a\"\r\n", 1, "without extension"},
      {"move hvr_1. \"a\"\r\n", 1, "ending in a dot"},
      {"move hvr_.pdf \"a\"\r\n", 1, "document number"},
      {"move hvr_1.2.pdf \"a\"\r\n", 1, "ending"},  // number "1", extension "2.pdf" is fine
      {"move hvr_1?.pdf \"a\"\r\n", 1, "document number"},
      {"move hvr_1.p?f \"a\"\r\n", 1, "cannot hold"},
      {"move hvr_1.pdf \"a\" \"b\"\r\n", 1, "double quote"},
  };
  for (const Case& c : cases) {
    std::vector<BatchCommand> commands;
    BatchError error;
    const bool ok = ParseBatchFile(c.content, &commands, &error);
    if (c.reason == "ending") {
      EXPECT_TRUE(ok) << c.content;  // a dotted extension is a name like any other
      continue;
    }
    EXPECT_FALSE(ok) << c.content;
    EXPECT_EQ(error.line, c.line) << c.content;
    EXPECT_NE(error.reason.find(c.reason), std::string::npos)
        << c.content << " -> " << error.reason;
  }
}

TEST(BatchFile, PatternsMatchWithoutRegardToCase) {
  EXPECT_TRUE(MatchesPattern("HVR_42.PDF", "42", "*"));
  EXPECT_TRUE(MatchesPattern("hvr_42.finished.bat", "42", "*"));
  EXPECT_TRUE(MatchesPattern("Hvr_42.Pdf", "42", "pdf"));
  EXPECT_TRUE(MatchesPattern("hvr_42.\xC9t\xE9", "42", "\xE9T\xC9"));  // Windows-1252 folding
  EXPECT_FALSE(MatchesPattern("hvr_421.pdf", "42", "*"));
  EXPECT_FALSE(MatchesPattern("hvr_42", "42", "*"));
  EXPECT_FALSE(MatchesPattern("hvr_42.", "42", "*"));
  EXPECT_FALSE(MatchesPattern("hvr_42.pdfx", "42", "pdf"));
  EXPECT_FALSE(MatchesPattern("xhvr_42.pdf", "42", "pdf"));
}

}  // namespace
}  // namespace guichet::batch
