#include <gtest/gtest.h>

#include <random>

#include "core/records.h"
#include "platform/datetime.h"
#include "support/names.h"
#include "support/text.h"
#include "support/wildcard.h"

namespace guichet {
namespace {

TEST(Records, ExtractFields) {
  struct Case {
    const char* record;
    int n;
    const char* want;
  } cases[] = {{"a;b;c", 2, "b"}, {"a;b;c", 3, "c"}, {"a;b;c", 4, ""}, {"a;;c", 2, ""},
               {"abc", 1, "abc"}, {"", 1, ""},       {"a;b", 0, ""},   {"a;b", -1, ""},
               {"a;b;", 3, ""},   {"a;b;", 2, "b"},  {";x", 1, ""},    {";x", 2, "x"}};
  for (const auto& c : cases) EXPECT_EQ(Extract(c.record, c.n), c.want) << c.record << " #" << c.n;
  EXPECT_EQ(Extract2("a;b|c", 1), "a;b");
  EXPECT_EQ(Extract2("a;b|c", 2), "c");
}

TEST(Records, PathPieces) {
  EXPECT_EQ(ExtensionFichier("x.caf.gz"), "gz");
  EXPECT_EQ(ExtensionFichier("noext"), "");
  EXPECT_EQ(ExtensionFichier("dir.d/file"), "d/file");
  EXPECT_EQ(DossierParent("/a/b.txt"), "/a");
  EXPECT_EQ(NomFichier("/a/b.txt"), "b.txt");
  EXPECT_EQ(DossierParent("b.txt"), "b.txt");
  EXPECT_EQ(NomFichier("b.txt"), "b.txt");
}

TEST(Records, InsertionSortsKeepTheirOrder) {
  std::vector<std::string> list = {"a;3", "b;7"};
  TriParInsertion(list, "x;5", 2);
  TriParInsertion(list, "y;7", 2);
  EXPECT_EQ(list, (std::vector<std::string>{"a;3", "x;5", "y;7", "b;7"}));

  std::vector<std::string> val, text;
  for (const char* r : {"b;9", "c;x", "a;10"}) {
    TriParInsertionInverseVal(val, r, 2);
    TriParInsertionInverse(text, r, 2);
  }
  EXPECT_EQ(val, (std::vector<std::string>{"a;10", "b;9", "c;x"}));
  // Text order: "x" > "9" > "10".
  EXPECT_EQ(text, (std::vector<std::string>{"c;x", "b;9", "a;10"}));
}

TEST(Records, SortAsInsertedEqualsOneByOneInsertion) {
  std::mt19937 rng(7);
  for (RecordOrder order :
       {RecordOrder::kAscending, RecordOrder::kDescending, RecordOrder::kDescendingValue}) {
    std::vector<std::string> records, one_by_one;
    for (int i = 0; i < 300; ++i) {
      std::string r = "r" + std::to_string(i) + ";" + std::to_string(rng() % 20);
      if (i % 17 == 0) r = "r" + std::to_string(i) + ";x";
      records.push_back(r);
      switch (order) {
        case RecordOrder::kAscending:
          TriParInsertion(one_by_one, r, 2);
          break;
        case RecordOrder::kDescending:
          TriParInsertionInverse(one_by_one, r, 2);
          break;
        case RecordOrder::kDescendingValue:
          TriParInsertionInverseVal(one_by_one, r, 2);
          break;
      }
    }
    EXPECT_EQ(SortAsInserted(records, 2, order), one_by_one) << static_cast<int>(order);
  }
}

TEST(Text, Windows1252Case) {
  EXPECT_EQ(W("été"), "\xE9t\xE9");
  EXPECT_EQ(ToUpper(W("l'été ÿ œ")), W("L'ÉTÉ Ÿ Œ"));
  EXPECT_EQ(ToLower(W("ÉCOLE")), W("école"));
  EXPECT_EQ(ToUpper("a\xF7"), "A\xF7");  // the division sign has no case
  EXPECT_EQ(ToUtf8(W("Déc €")), "Déc €");
  EXPECT_TRUE(EqualsNoCase("TypeDocs.txt", "typedocs.TXT"));
  EXPECT_EQ(LeadingNumber("  42abc"), 42);
  EXPECT_EQ(LeadingNumber("x"), 0);
  EXPECT_EQ(LeadingNumber("99999999999999999999999"), INT64_MAX);
  // Saturation starts exactly past the ends of the range, not a few units before.
  EXPECT_EQ(LeadingNumber("9223372036854775806"), INT64_MAX - 1);
  EXPECT_EQ(LeadingNumber("9223372036854775799"), INT64_MAX - 8);
  EXPECT_EQ(LeadingNumber("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(LeadingNumber("9223372036854775808"), INT64_MAX);
  EXPECT_EQ(LeadingNumber("-9223372036854775807"), INT64_MIN + 1);
  EXPECT_EQ(LeadingNumber("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(LeadingNumber("-9223372036854775809"), INT64_MIN);
}

TEST(Wildcard, WindowTitlePatterns) {
  struct Case {
    const char* text;
    const char* pattern;
    bool want;
  } cases[] = {{"MY VAULT PILOT 2", "*VAULT PILOT*", true},
               {"VAULT PILOT", "*VAULT PILOT*", true},
               {"VAULTPILOT", "*VAULT PILOT*", false},
               {"THUNDERRT6FORMDC", "*FORM*", true},
               {"AB", "A?", true},
               {"A", "A?", false},
               {"A7", "A#", true},
               {"AX", "A#", false},
               {"B", "[ABC]", true},
               {"D", "[ABC]", false},
               {"D", "[!ABC]", true},
               {"M", "[A-Z]", true},
               {"", "*", true},
               {"X", "[AB", false}};
  for (const auto& c : cases)
    EXPECT_EQ(MatchesLike(c.text, c.pattern), c.want) << c.text << " ~ " << c.pattern;
}

TEST(Names, ChecksOnNamesFromOutside) {
  EXPECT_TRUE(IsValidDocumentNumber("42"));
  EXPECT_TRUE(IsValidDocumentNumber("a-B_9"));
  for (const char* bad : {"", "../x", "4 2", "x.y", "a/b", "*"})
    EXPECT_FALSE(IsValidDocumentNumber(bad)) << bad;
  EXPECT_FALSE(IsValidDocumentNumber(std::string(65, '1')));
  EXPECT_TRUE(IsValidNamePart("Salle 2"));
  for (const char* bad : {"", "..", " . ", "a/b", "a\\b", "x%y", "a:b", "a\tb", "a|b"})
    EXPECT_FALSE(IsValidNamePart(bad)) << bad;
  // Length in bytes: a Windows-1252 name of 120 characters passes, one more does not.
  EXPECT_TRUE(IsValidNamePart(std::string(120, '\xe9')));
  EXPECT_FALSE(IsValidNamePart(std::string(121, 'a')));
  EXPECT_FALSE(IsValidNamePart(std::string(300, 'a')));
  EXPECT_TRUE(IsValidExtension("." + std::string(120, 'a')));
  EXPECT_FALSE(IsValidExtension("." + std::string(121, 'a')));
  EXPECT_TRUE(IsValidExtension(""));
  EXPECT_TRUE(IsValidExtension(".spx"));
  EXPECT_FALSE(IsValidExtension("spx"));
  EXPECT_FALSE(IsValidExtension("./../../x"));
  EXPECT_FALSE(IsValidExtension("."));
  EXPECT_EQ(ArchiveName("  Dupont \"Jean\" 50% ok.. "), "Dupont _Jean_ 50_ ok__");
  EXPECT_EQ(ArchiveName("../etc"), ".._etc");
  EXPECT_EQ(ArchiveName("   "), "");
}

TEST(Dates, ReadAndWrite) {
  auto d = ParseDate("7/12/2026");
  ASSERT_TRUE(d);
  EXPECT_EQ(Format(*d, "dd/mm/yyyy hh:nn"), "07/12/2026 00:00");
  d = ParseDate("07/12/2026 09:05:03");
  ASSERT_TRUE(d);
  EXPECT_EQ(Format(*d, "yyyymmddhhnnss"), "20261207090503");
  for (const char* bad :
       {"31/02/2026", "abc", "07/12/26", "07/12/2026 25:00", "07/12/2026x", "29/02/2025", ""})
    EXPECT_FALSE(ParseDate(bad)) << bad;
  EXPECT_TRUE(ParseDate("29/02/2028"));
  DateTime a = *ParseDate("07/12/2026 10:00:59");
  DateTime b = *ParseDate("07/12/2026 10:01:00");
  EXPECT_EQ(DiffMinutes(a, b), 1);  // boundaries crossed, not elapsed time
  EXPECT_EQ(DiffSeconds(a, b), 1);
  EXPECT_EQ(Format(b.AddHours(24), "dd/mm/yyyy hh:nn"), "08/12/2026 10:01");
  EXPECT_EQ(Format(*ParseDate("31/12/2026 23:30"), "yymmdd"), "261231");
}

}  // namespace
}  // namespace guichet
