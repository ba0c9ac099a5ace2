// The list store "vaultpilot.cbo": what is stored, what is found again, what survives a
// failed write.
#include "exchange/liststore.h"

#include <gtest/gtest.h>

#include "support_lib/site.h"

namespace guichet {
namespace {

using test::ReadAll;
using test::TestSite;

class ListStoreTest : public ::testing::Test {
 protected:
  std::string File() { return ReadAll(site.app() + "/vaultpilot.cbo"); }
  TestSite site;
  Guichet& g = *site.g;
};

TEST_F(ListStoreTest, StoresEntriesWithoutBlanksAndEndMarkers) {
  TraiteListe(g, "a|b| -End- |c|  ");
  EXPECT_EQ(File(), "a\r\nb\r\nc\r\n-End-\r\n");
}

TEST_F(ListStoreTest, ListAlreadyStoredIsNotStoredAgain) {
  TraiteListe(g, "x|a|b|c|y");
  TraiteListe(g, "a|b|c");      // inside the longer list
  TraiteListe(g, "x|a|b|c|y");  // the same list
  EXPECT_EQ(File(), "x\r\na\r\nb\r\nc\r\ny\r\n-End-\r\n");
  TraiteListe(g, "a|b|d");
  EXPECT_EQ(File(), "x\r\na\r\nb\r\nc\r\ny\r\n-End-\r\na\r\nb\r\nd\r\n-End-\r\n");
}

TEST_F(ListStoreTest, TwoEntriesStoreNothing) {
  TraiteListe(g, "a|-End-|b|");
  EXPECT_FALSE(test::Exists(site.app() + "/vaultpilot.cbo"));
}

TEST_F(ListStoreTest, EntriesKeepTheirSpaces) {
  TraiteListe(g, "a|b|c");
  TraiteListe(g, " a|b|c");
  EXPECT_EQ(File(), "a\r\nb\r\nc\r\n-End-\r\n a\r\nb\r\nc\r\n-End-\r\n");
}

TEST_F(ListStoreTest, ReloadsAFileChangedByAnotherProgram) {
  TraiteListe(g, "a|b|c");
  test::WriteAll(site.app() + "/vaultpilot.cbo", "p\r\nq\r\n\r\nr\r\n-End-\r\n");
  TraiteListe(g, "a|b|c");  // no longer in the file: stored after what it now holds
  TraiteListe(g, "p|q|r");  // found across the blank line, which is not kept
  EXPECT_EQ(File(), "p\r\nq\r\nr\r\n-End-\r\na\r\nb\r\nc\r\n-End-\r\n");
}

TEST_F(ListStoreTest, FailedWriteIsLoggedAndTheListIsWrittenNextTime) {
  TraiteListe(g, "a|b|c");
  site.env.FailWhen(
      "WriteFileAtomic", [](const std::string& p) { return p.find("vaultpilot") != p.npos; },
      Status::kDiskFull);
  TraiteListe(g, "d|e|f");
  EXPECT_NE(site.DayLog().find("SaveGiantCombo : Disque plein"), std::string::npos);
  EXPECT_EQ(File(), "a\r\nb\r\nc\r\n-End-\r\n");
  site.env.ClearFailures();
  TraiteListe(g, "d|e|f");
  EXPECT_EQ(File(), "a\r\nb\r\nc\r\n-End-\r\nd\r\ne\r\nf\r\n-End-\r\n");
}

}  // namespace
}  // namespace guichet
