#include "params/sqlite_database.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "params/parametres_halvero.h"
#include "params_test_util.h"
#include "support/text.h"

namespace guichet {
namespace {

using testing::RawConnection;
using testing::TempDir;

std::vector<std::string> NoLog;

ParametresHalvero Store(std::shared_ptr<Database> db, const std::string& user,
                        std::vector<std::string>& log = NoLog) {
  ParametresHalvero p([&log](const std::string& m) { log.push_back(m); });
  p.setHvrADOMsa(std::move(db));
  p.idUtilisateur = user;
  return p;
}

// Output of the sqlite3 command-line tool, or nullopt when the tool is not there.
std::optional<std::string> SqliteCli(const std::string& file, const std::string& sql) {
  std::string cmd = "sqlite3 '" + file + "' \"" + sql + "\" 2>/dev/null";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return std::nullopt;
  std::string out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  if (pclose(f) != 0) return std::nullopt;
  return out;
}

TEST(SqliteDatabaseTest, InstancesShareTheFileAndItSurvivesReopening) {
  TempDir dir;
  const std::string file = dir.File("params.db");
  {
    auto a = std::make_shared<SqliteDatabase>(file);
    auto b = std::make_shared<SqliteDatabase>(file);
    ParametresHalvero viaA = Store(a, "marie");
    ParametresHalvero viaB = Store(b, "marie");
    viaA.AjouterModifier("Dossier", W("Été"));
    EXPECT_EQ(viaB.ObtenirValeur("Dossier", "?"), W("Été"));
    viaB.AjouterModifier("Dossier", "Hiver");
    EXPECT_EQ(viaA.ObtenirValeur("Dossier", "?"), "Hiver");
  }
  ParametresHalvero reopened = Store(std::make_shared<SqliteDatabase>(file), "marie");
  EXPECT_EQ(reopened.ObtenirValeur("Dossier", "?"), "Hiver");
  reopened.AjouterModifier("Titre", W("Dictée n°1"));

  // Other tools read the file as ordinary UTF-8 text.
  auto cli = SqliteCli(file, "SELECT Valeur FROM Parametres WHERE Parametre='Titre'");
  if (!cli) GTEST_SKIP() << "sqlite3 command-line tool not available";
  EXPECT_EQ(*cli,
            "Dict\xC3\xA9"
            "e n\xC2\xB0"
            "1\n");
}

TEST(SqliteDatabaseTest, EveryByteSurvivesTheTrip) {
  TempDir dir;
  SqliteDatabase db(dir.File("params.db"));
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  db.hvrDbExecute("ParametresHalveroAdd", {all, all, all});
  Rows rows = db.hvrDbRequete("AdminParametresLstAll");
  ASSERT_EQ(rows.Count(), 1u);
  for (const char* column : {"idUtilisateur", "Parametre", "Valeur"})
    EXPECT_EQ(rows[1][column].ToText(), all) << column;
}

TEST(SqliteDatabaseTest, FailuresCarryTheirNumbers) {
  TempDir dir;
  std::ofstream(dir.File("junk.db")) << std::string(4096, 'x');
  SqliteDatabase db(dir.File("params.db"));
  db.hvrDbExecute("ParametresHalveroAdd", {"u", "p", "v"});
  const std::vector<std::pair<uint32_t, std::function<void()>>> cases = {
      {0x80040E2F,
       [&] {
         db.hvrDbExecute("ParametresHalveroAdd", {"u", "p", "w"});
       }},
      {0x80040E14, [&] { db.hvrDbRequete("ParametresHalveroXyz", {"u"}); }},
      {0x80040E10, [&] { db.hvrDbRequete("ParametresHalveroGet", {"u"}); }},
      {0x80042013,
       [&] {
         db.hvrDbExecute("ParametresHalveroAdd", {Variant::Null(), "p", "v"});
       }},
      {0x80042001, [&] { db.hvrDbCommitTrans(); }},
      {0x8004201A, [&] { SqliteDatabase junk(dir.File("junk.db")); }},
      {0x800A0CC1,
       [&] {
         db.hvrDbRequete("ParametresHalveroGet", {"u", "p"})[1]["Autre"];
       }},
  };
  for (const auto& [number, action] : cases) {
    SCOPED_TRACE(std::to_string(number));
    try {
      action();
      ADD_FAILURE() << "no error raised";
    } catch (const DbError& e) {
      EXPECT_EQ(e.number(), ErrNumber(number)) << e.description();
      EXPECT_FALSE(e.description().empty());
    }
  }
  EXPECT_EQ(db.hvrDbRequete("ParametresHalveroGet", {"u", "p"})[1]["Valeur"].ToText(), "v");
}

TEST(SqliteDatabaseTest, NestedTransactionsAndUncommittedWorkOnClose) {
  TempDir dir;
  const std::string file = dir.File("params.db");
  {
    SqliteDatabase db(file);
    ASSERT_TRUE(db.hvrDbBeginTrans());
    db.hvrDbExecute("ParametresHalveroAdd", {"u", "outer", "1"});
    ASSERT_TRUE(db.hvrDbBeginTrans());
    db.hvrDbExecute("ParametresHalveroAdd", {"u", "inner", "2"});
    EXPECT_TRUE(db.hvrDbRollBack());  // undoes the inner one only
    EXPECT_EQ(db.TransactionDepth(), 1);
    db.hvrDbCommitTrans();
    EXPECT_FALSE(db.hvrDbRollBack());  // nothing left to roll back

    ASSERT_TRUE(db.hvrDbBeginTrans());
    db.hvrDbExecute("ParametresHalveroAdd", {"u", "never", "3"});
  }  // closed with the transaction open
  SqliteDatabase db(file);
  Rows rows = db.hvrDbRequete("ParametresHalveroLst", {"u"});
  ASSERT_EQ(rows.Count(), 1u);
  EXPECT_EQ(rows[1]["Parametre"].ToText(), "outer");
}

TEST(SqliteDatabaseTest, WritersWaitForEachOtherUpToTheBusyTimeout) {
  TempDir dir;
  const std::string file = dir.File("params.db");
  auto impatient = std::make_shared<SqliteDatabase>(file, 0);
  auto patient = std::make_shared<SqliteDatabase>(file, 10000);
  RawConnection other(file);
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);

  std::vector<std::string> log;
  ParametresHalvero store = Store(impatient, "u", log);
  try {
    store.AjouterModifier("P", "v");
    ADD_FAILURE() << "no error raised";
  } catch (const DbError& e) {
    EXPECT_EQ(e.number(), ErrNumber(0x80042005));  // SQLITE_BUSY
    EXPECT_EQ(e.source(), "SQLite");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "Parametres.AjouterModifier: Erreur inattendue " + e.description());
  }
  EXPECT_EQ(impatient->TransactionDepth(), 0);

  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    other.Exec("COMMIT");
  });
  Store(patient, "u").AjouterModifier("P", "v");
  release.join();
  EXPECT_EQ(Store(impatient, "u").ObtenirValeur("P", "?"), "v");
}

}  // namespace
}  // namespace guichet
