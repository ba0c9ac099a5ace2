#include "params/parametres_halvero.h"

#include <gtest/gtest.h>

#include <functional>

#include "params/sqlite_database.h"
#include "params_test_util.h"
#include "support/text.h"

namespace guichet {
namespace {

using testing::RawConnection;
using testing::RecordingDatabase;
using testing::TempDir;
using Calls = std::vector<std::string>;

class ParametresHalveroTest : public ::testing::Test {
 protected:
  ParametresHalveroTest()
      : sqlite_(std::make_shared<SqliteDatabase>(dir_.File("params.db"))),
        recorder_(std::make_shared<RecordingDatabase>(sqlite_)),
        params_([this](const std::string& m) { log_.push_back(m); }) {}

  // Uses the real database through the recorder, for user "u1".
  void UseSqlite() {
    params_.setHvrADOMsa(recorder_);
    params_.idUtilisateur = "u1";
  }

  // Runs `action`, which must raise; returns the error.
  static DbError Raised(const std::function<void()>& action) {
    try {
      action();
    } catch (const DbError& e) {
      return e;
    }
    ADD_FAILURE() << "no error raised";
    return DbError(0, "", "");
  }

  TempDir dir_;
  std::shared_ptr<SqliteDatabase> sqlite_;
  std::shared_ptr<RecordingDatabase> recorder_;
  std::vector<std::string> log_;
  ParametresHalvero params_;
};

struct DataMethod {
  const char* message;
  std::function<void(ParametresHalvero&, const std::string&)> call;
};

const std::vector<DataMethod>& DataMethods() {
  static const std::vector<DataMethod> methods = {
      {"Parametres.ObtenirValeur: Erreur inattendue",
       [](ParametresHalvero& p, const std::string& n) { p.ObtenirValeur(n, "d"); }},
      {"Parametres.obtenirListe: Erreur inattendue",
       [](ParametresHalvero& p, const std::string&) { p.ObtenirListe(); }},
      {"Parametres.obtenirTous: Erreur inattendue",
       [](ParametresHalvero& p, const std::string&) { p.ObtenirTous(); }},
      {"Parametres.AjouterModifier: Erreur inattendue ",
       [](ParametresHalvero& p, const std::string& n) { p.AjouterModifier(n, "v"); }},
      {"Parametres.Supprimer: Erreur inattendue ",
       [](ParametresHalvero& p, const std::string& n) { p.Supprimer(n); }},
  };
  return methods;
}

TEST_F(ParametresHalveroTest, PreconditionsAreCheckedInOrderLoggedAndRaised) {
  const std::string noDb = W("Objet hvrADOMsa non initialisé");
  const std::string noUser = W("idUtilisateur non initialisé");
  for (const DataMethod& m : DataMethods()) {
    for (std::string name : {"Langue", "  "}) {
      SCOPED_TRACE(std::string(m.message) + " / '" + name + "'");
      // No database object and no user: the database check comes first.
      ParametresHalvero fresh([this](const std::string& s) { log_.push_back(s); });
      log_.clear();
      DbError e = Raised([&] { m.call(fresh, name); });
      EXPECT_EQ(e.number(), ErrNumber(0x80040001));
      EXPECT_EQ(e.description(), noDb);
      EXPECT_EQ(log_, Calls{m.message + noDb});

      // A database object but a user made Empty again by Clear.
      UseSqlite();
      params_.Clear();
      log_.clear();
      e = Raised([&] { m.call(params_, name); });
      EXPECT_EQ(e.number(), ErrNumber(0x80040002));
      EXPECT_EQ(e.description(), noUser);
      EXPECT_EQ(log_, Calls{m.message + noUser});
      EXPECT_TRUE(recorder_->calls.empty());
    }
  }
}

TEST_F(ParametresHalveroTest, AddBecomesUpdateInOneTransactionAndListsFollow) {
  UseSqlite();
  params_.AjouterModifier("Langue", "fr");
  EXPECT_EQ(recorder_->calls, (Calls{"Begin", "Execute ParametresHalveroAdd", "Commit"}));
  EXPECT_EQ(params_.ObtenirValeur("Langue", "x"), "fr");

  recorder_->calls.clear();
  params_.AjouterModifier("Langue", 42);  // the value goes in as text
  EXPECT_EQ(recorder_->calls, (Calls{"Begin", "Execute ParametresHalveroAdd",
                                     "Execute ParametresHalveroUpd", "Commit"}));
  EXPECT_EQ(params_.ObtenirValeur("Langue", "x"), "42");
  EXPECT_EQ(sqlite_->TransactionDepth(), 0);

  params_.AjouterModifier("Police", W("Arial é"));
  params_.idUtilisateur = "u2";
  params_.AjouterModifier("Langue", "de");
  Rows mine = params_.ObtenirListe();
  ASSERT_EQ(mine.Count(), 1u);
  EXPECT_EQ(mine[1]["Valeur"].ToText(), "de");
  EXPECT_EQ(params_.ObtenirTous().Count(), 3u);

  params_.idUtilisateur = "u1";
  Rows u1 = params_.ObtenirListe();
  ASSERT_EQ(u1.Count(), 2u);
  EXPECT_EQ(u1[2]["Parametre"].ToText(), "Police");
  EXPECT_EQ(u1[2]["valeur"].ToText(), W("Arial é"));

  params_.Supprimer("Langue");
  EXPECT_EQ(params_.ObtenirValeur("Langue", "absent"), "absent");
  params_.idUtilisateur = "u2";
  EXPECT_EQ(params_.ObtenirValeur("Langue", "absent"), "de");
  EXPECT_TRUE(log_.empty());
}

TEST_F(ParametresHalveroTest, MissingParameterGivesDefaultAsText) {
  UseSqlite();
  const std::vector<std::pair<Variant, std::string>> cases = {{Variant(), ""},
                                                              {Variant::Null(), ""},
                                                              {Variant(7), "7"},
                                                              {Variant(2.5), "2.5"},
                                                              {Variant("txt"), "txt"}};
  for (const auto& [defaut, expected] : cases)
    EXPECT_EQ(params_.ObtenirValeur("Absent", defaut), expected) << expected;
}

TEST_F(ParametresHalveroTest, BlankNamesNeverReachTheDatabase) {
  UseSqlite();
  EXPECT_EQ(params_.ObtenirValeur("   ", "d"), "");
  params_.AjouterModifier("", "v");
  params_.Supprimer("  ");
  EXPECT_TRUE(recorder_->calls.empty());
  EXPECT_TRUE(log_.empty());
}

TEST_F(ParametresHalveroTest, NullValueGivesEmptyTextAndSeveralRowsGiveDefault) {
  UseSqlite();
  RawConnection(dir_.File("params.db")).Exec("INSERT INTO Parametres VALUES ('u1', 'Vide', NULL)");
  EXPECT_EQ(params_.ObtenirValeur("Vide", "d"), "");

  // The unique key keeps SQLite from ever giving two rows: the double answers instead.
  Rows two;
  for (const char* v : {"a", "b"}) {
    Row row;
    row.Add("Valeur", v);
    two.Add(row);
  }
  recorder_->cannedRows = two;
  EXPECT_EQ(params_.ObtenirValeur("Vide", 5), "5");
}

TEST_F(ParametresHalveroTest, FailingWriteIsRolledBackBeforeTheCallerSeesIt) {
  struct Case {
    const char* trigger;
    std::function<void(ParametresHalvero&)> action;
    Calls calls;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"CREATE TRIGGER t BEFORE DELETE ON Parametres BEGIN SELECT RAISE(ABORT, 'refus'); END",
       [](ParametresHalvero& p) { p.Supprimer("Langue"); },
       {"Begin", "Execute ParametresHalveroDel", "RollBack"},
       "Parametres.Supprimer: Erreur inattendue refus"},
      {"CREATE TRIGGER t BEFORE UPDATE ON Parametres BEGIN SELECT RAISE(ABORT, 'refus'); END",
       [](ParametresHalvero& p) { p.AjouterModifier("Langue", "de"); },
       {"Begin", "Execute ParametresHalveroAdd", "Execute ParametresHalveroUpd", "RollBack"},
       "Parametres.AjouterModifier: Erreur inattendue refus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    UseSqlite();
    params_.AjouterModifier("Langue", "fr");
    RawConnection raw(dir_.File("params.db"));
    ASSERT_EQ(raw.Exec(c.trigger), SQLITE_OK);
    recorder_->calls.clear();
    log_.clear();
    DbError e = Raised([&] {
      try {
        c.action(params_);
      } catch (const DbError&) {
        // By the time the caller sees the error, the write lock is free again.
        EXPECT_EQ(sqlite_->TransactionDepth(), 0);
        EXPECT_EQ(raw.Exec("BEGIN IMMEDIATE; ROLLBACK"), SQLITE_OK);
        throw;
      }
    });
    EXPECT_EQ(e.number(), ErrNumber(0x80042013));  // SQLITE_CONSTRAINT from the trigger
    EXPECT_EQ(e.description(), "refus");
    EXPECT_EQ(e.source(), "SQLite");
    Calls last(recorder_->calls.end() - c.calls.size(), recorder_->calls.end());
    EXPECT_EQ(last, c.calls);
    EXPECT_EQ(log_, Calls{c.message});
    EXPECT_EQ(params_.ObtenirValeur("Langue", "absent"), "fr");
    ASSERT_EQ(raw.Exec("DROP TRIGGER t; DELETE FROM Parametres"), SQLITE_OK);
  }
}

TEST_F(ParametresHalveroTest, SecondViolationInOneCallIsAnOrdinaryFailure) {
  // After the add turned into an update, a further violation, in the update or in the
  // commit, is not retried: it is logged, rolled back and raised.
  const DbError exists(kErrIntegrityViolation, "existe", "Fournisseur");
  for (const char* second : {"Execute ParametresHalveroUpd", "Commit"}) {
    SCOPED_TRACE(second);
    auto fake = std::make_shared<RecordingDatabase>();
    fake->failures["Execute ParametresHalveroAdd"] = {exists};
    fake->failures[second] = {exists};
    params_.setHvrADOMsa(fake);
    params_.idUtilisateur = 3;
    log_.clear();
    DbError e = Raised([&] { params_.AjouterModifier("P", "v"); });
    EXPECT_EQ(e.number(), kErrIntegrityViolation);
    EXPECT_EQ(e.description(), "existe");
    EXPECT_EQ(e.source(), "Fournisseur");
    Calls expected = {"Begin", "Execute ParametresHalveroAdd", "Execute ParametresHalveroUpd"};
    if (std::string(second) == "Commit") expected.push_back("Commit");
    expected.push_back("RollBack");
    EXPECT_EQ(fake->calls, expected);
    EXPECT_EQ(log_, Calls{"Parametres.AjouterModifier: Erreur inattendue existe"});
  }
}

TEST_F(ParametresHalveroTest, FailingRollbackDoesNotHideTheFirstError) {
  auto fake = std::make_shared<RecordingDatabase>();
  fake->failures["Execute ParametresHalveroDel"] = {DbError(11, "disque", "F")};
  fake->failures["RollBack"] = {DbError(12, "perdu", "F")};
  params_.setHvrADOMsa(fake);
  params_.idUtilisateur = "u";
  DbError e = Raised([&] { params_.Supprimer("P"); });
  EXPECT_EQ(e.number(), 11);
  EXPECT_EQ(e.description(), "disque");
  EXPECT_EQ(log_, (Calls{"Parametres.Supprimer: Erreur inattendue disque",
                         "Parametres.Supprimer: Erreur inattendue perdu"}));
}

TEST_F(ParametresHalveroTest, ReadFailuresAreLoggedAndRaisedUnderTheClassName) {
  auto fake = std::make_shared<RecordingDatabase>();
  params_.setHvrADOMsa(fake);
  params_.idUtilisateur = "u";
  const std::vector<std::pair<std::string, std::string>> reads = {
      {"Requete ParametresHalveroGet", "Parametres.ObtenirValeur: Erreur inattendue"},
      {"Requete ParametresHalveroLst", "Parametres.obtenirListe: Erreur inattendue"},
      {"Requete AdminParametresLstAll", "Parametres.obtenirTous: Erreur inattendue"}};
  for (size_t i = 0; i < reads.size(); ++i) {
    SCOPED_TRACE(reads[i].second);
    fake->failures[reads[i].first] = {DbError(-5, "panne", "Fournisseur")};
    log_.clear();
    DbError e = Raised([&] { DataMethods()[i].call(params_, "P"); });
    EXPECT_EQ(e.number(), -5);
    EXPECT_EQ(e.description(), "panne");
    EXPECT_EQ(e.source(), kParametresSource);
    EXPECT_EQ(log_, Calls{reads[i].second + "panne"});
  }
}

}  // namespace
}  // namespace guichet
