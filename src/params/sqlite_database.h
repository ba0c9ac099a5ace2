// SqliteDatabase: the parameter store's database object over an SQLite file.
//
// Opens (creating when missing) a database file that holds the users' parameters in one
// table, Parametres (idUtilisateur, Parametre, Valeur, UNIQUE (idUtilisateur, Parametre)),
// and offers the stored procedures of the parameter store as prepared statements:
//   ParametresHalveroGet  (user, name)         rows with column Valeur
//   ParametresHalveroLst  (user)               rows Parametre, Valeur of the user, by name
//   AdminParametresLstAll ()                   rows idUtilisateur, Parametre, Valeur
//   ParametresHalveroAdd  (user, name, value)  plain INSERT: an existing row is a violation
//   ParametresHalveroUpd  (user, name, value)  UPDATE of the value
//   ParametresHalveroDel  (user, name)         DELETE
// Transactions are SQLite transactions: the outermost one is BEGIN IMMEDIATE (it takes the
// write lock at once, so the add-then-update of the parameter store cannot race another
// writer), nested ones are savepoints. Several instances, in this or other processes, may
// share one file; each waits up to its busy timeout for the others' locks.
//
// Errors raised (DbError, source "SQLite"):
//   0x80040E2F  unique or primary-key violation (the row exists already)
//   0x80040E14  unknown procedure name
//   0x80040E10  wrong number of parameter values for the procedure
//   0x80042000 + SQLite's primary result code, for every other SQLite failure
//               (e.g. 0x80042005 SQLITE_BUSY, 0x80042013 other constraint, 0x8004200E
//               cannot open), with SQLite's message as description.
// Texts are Windows-1252 inside Guichet and UTF-8 in the file, so that other tools read
// them; the conversion is lossless for every byte.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "params/database.h"

struct sqlite3;
struct sqlite3_stmt;

namespace guichet {

inline constexpr int32_t kErrSqliteBase = ErrNumber(0x80042000);
inline constexpr const char* kSqliteSource = "SQLite";

class SqliteDatabase : public Database {
 public:
  // Opens or creates the file at `path` and its table; raises DbError when it cannot.
  explicit SqliteDatabase(const std::string& path, int busyTimeoutMs = 5000);
  // Rolls back a transaction still open and closes the file.
  ~SqliteDatabase() override;
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  Rows hvrDbRequete(const std::string& procedure, const std::vector<Variant>& params) override;
  using Database::hvrDbRequete;
  void hvrDbExecute(const std::string& procedure, const std::vector<Variant>& params) override;
  bool hvrDbBeginTrans() override;
  void hvrDbCommitTrans() override;
  bool hvrDbRollBack() override;

  // Number of transactions open (nested ones included).
  int TransactionDepth();

 private:
  struct Procedure {
    sqlite3_stmt* stmt = nullptr;
    int paramCount = 0;
  };

  Rows Run(const std::string& procedure, const std::vector<Variant>& params, bool keepRows);
  void Exec(const std::string& sql);
  [[noreturn]] void RaiseSqlite(int code);
  // Forgets transactions that SQLite has rolled back on its own (after a full disk, an
  // I/O error, lack of memory), so that the depth follows the connection's real state.
  void SyncDepth();
  void Close();

  sqlite3* db_ = nullptr;
  std::map<std::string, Procedure> procedures_;
  int depth_ = 0;
};

}  // namespace guichet
