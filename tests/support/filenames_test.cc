// Document file names: what the builders give, and the strict parser that reads them back.
#include "support/filenames.h"

#include <gtest/gtest.h>

#include <string>

namespace guichet {
namespace {

TEST(DocumentFileNames, BuildersGiveTheNamesOnDisk) {
  EXPECT_EQ(DocumentFileName("42", ".spx"), "hvr_42.spx");
  EXPECT_EQ(DocumentFileName("42", ".finished.bat"), "hvr_42.finished.bat");
  EXPECT_EQ(DocumentFileName("42", ""), "hvr_42");
  EXPECT_EQ(DocumentFamilyPattern("42"), "hvr_42.*");
  EXPECT_EQ(DocumentsPattern(), "hvr_*");
  EXPECT_EQ(DocumentsPattern(".pdf"), "hvr_*.pdf");
  EXPECT_EQ(StageFolder(kValidationsStage, "u7"), "Validations/u7");
  EXPECT_EQ(StageFolder(kRecycleBinStage, "u7"), "RecycleBin/u7");
}

TEST(DocumentFileNames, ParserReadsBackEveryBuiltName) {
  for (const char* ending : {".spx", ".caf", ".typedoc", ".finished.bat", ".URGENT!", ".x"}) {
    SCOPED_TRACE(ending);
    std::string number, got;
    ASSERT_TRUE(ParseDocumentFileName(DocumentFileName("A-1_b", ending), &number, &got));
    EXPECT_EQ(number, "A-1_b");
    EXPECT_EQ(got, ending);
  }
  // The prefix in any case, as the file system matches it; the ending as found.
  std::string number, ending;
  ASSERT_TRUE(ParseDocumentFileName("HVR_7.PDF", &number, &ending));
  EXPECT_EQ(number, "7");
  EXPECT_EQ(ending, ".PDF");
}

TEST(DocumentFileNames, ParserRefusesWhatIsNotADocumentFile) {
  for (const char* name : {"", "hvr_", "hvr_.txt", "hvr_12", "hvr_12.", "xhvr_12.txt", "hvr 12.txt",
                           "hvr_1 2.txt", "hvr_1/2.txt", "hvr_1\\2.txt", "12.txt", "ToMove.txt"}) {
    SCOPED_TRACE(name);
    std::string number = "unchanged", ending = "unchanged";
    EXPECT_FALSE(ParseDocumentFileName(name, &number, &ending));
    EXPECT_EQ(number, "unchanged");
    EXPECT_EQ(ending, "unchanged");
  }
  // A number longer than any the portal hands out.
  std::string number, ending;
  EXPECT_FALSE(ParseDocumentFileName("hvr_" + std::string(65, '1') + ".txt", &number, &ending));
  EXPECT_TRUE(ParseDocumentFileName("hvr_" + std::string(64, '1') + ".txt", &number, &ending));
}

}  // namespace
}  // namespace guichet
