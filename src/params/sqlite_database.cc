#include "params/sqlite_database.h"

#include <sqlite3.h>

#include <array>
#include <cstring>

#include "support/text.h"

namespace guichet {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS Parametres ("
    " idUtilisateur TEXT NOT NULL,"
    " Parametre TEXT NOT NULL,"
    " Valeur TEXT,"
    " UNIQUE (idUtilisateur, Parametre))";

struct ProcedureText {
  const char* name;
  const char* sql;
};

constexpr std::array<ProcedureText, 6> kProcedures = {{
    {"ParametresHalveroGet",
     "SELECT Valeur FROM Parametres WHERE idUtilisateur = ?1 AND Parametre = ?2"},
    {"ParametresHalveroLst",
     "SELECT Parametre, Valeur FROM Parametres WHERE idUtilisateur = ?1 ORDER BY Parametre"},
    {"AdminParametresLstAll",
     "SELECT idUtilisateur, Parametre, Valeur FROM Parametres ORDER BY idUtilisateur, Parametre"},
    {"ParametresHalveroAdd",
     "INSERT INTO Parametres (idUtilisateur, Parametre, Valeur) VALUES (?1, ?2, ?3)"},
    {"ParametresHalveroUpd",
     "UPDATE Parametres SET Valeur = ?3 WHERE idUtilisateur = ?1 AND Parametre = ?2"},
    {"ParametresHalveroDel", "DELETE FROM Parametres WHERE idUtilisateur = ?1 AND Parametre = ?2"},
}};

// Texts are stored as UTF-8, so other tools read the file; every Windows-1252 byte
// survives the trip (see ToUtf8 and FromUtf8).
std::string ToFile(const std::string& cp1252) { return ToUtf8(cp1252); }

std::string FromFile(const unsigned char* s, int n) {
  return FromUtf8(std::string_view(reinterpret_cast<const char*>(s), static_cast<size_t>(n)));
}

std::string FromFile(const char* s) {
  return FromFile(reinterpret_cast<const unsigned char*>(s), static_cast<int>(strlen(s)));
}

}  // namespace

SqliteDatabase::SqliteDatabase(const std::string& path, int busyTimeoutMs) {
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    std::string description = FromFile(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    Close();
    throw DbError(kErrSqliteBase + (rc & 0xFF), description + " (" + path + ")", kSqliteSource);
  }
  try {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    Exec(kSchema);
    for (const ProcedureText& p : kProcedures) {
      Procedure proc;
      rc = sqlite3_prepare_v3(db_, p.sql, -1, SQLITE_PREPARE_PERSISTENT, &proc.stmt, nullptr);
      if (rc != SQLITE_OK) RaiseSqlite(rc);
      proc.paramCount = sqlite3_bind_parameter_count(proc.stmt);
      procedures_[p.name] = proc;
    }
  } catch (...) {
    Close();
    throw;
  }
}

SqliteDatabase::~SqliteDatabase() { Close(); }

void SqliteDatabase::Close() {
  if (!db_) return;
  for (auto& [name, proc] : procedures_) sqlite3_finalize(proc.stmt);
  procedures_.clear();
  // Work that was never committed is dropped, as when a connection closes.
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
  db_ = nullptr;
  depth_ = 0;
}

void SqliteDatabase::RaiseSqlite(int code) {
  int extended = sqlite3_extended_errcode(db_);
  if (extended == SQLITE_OK) extended = code;
  std::string description = FromFile(sqlite3_errmsg(db_));
  if (extended == SQLITE_CONSTRAINT_UNIQUE || extended == SQLITE_CONSTRAINT_PRIMARYKEY)
    throw DbError(kErrIntegrityViolation, description, kSqliteSource);
  throw DbError(kErrSqliteBase + (extended & 0xFF), description, kSqliteSource);
}

void SqliteDatabase::Exec(const std::string& sql) {
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) RaiseSqlite(rc);
}

Rows SqliteDatabase::Run(const std::string& procedure, const std::vector<Variant>& params,
                         bool keepRows) {
  auto it = procedures_.find(procedure);
  if (it == procedures_.end())
    throw DbError(kErrUnknownProcedure, W("Procédure stockée inconnue : ") + procedure,
                  kSqliteSource);
  sqlite3_stmt* stmt = it->second.stmt;
  if (static_cast<int>(params.size()) != it->second.paramCount)
    throw DbError(kErrParameterCount,
                  W("Nombre de valeurs incorrect pour la procédure ") + procedure + " : " +
                      Dec(static_cast<int64_t>(params.size())) + " au lieu de " +
                      Dec(it->second.paramCount),
                  kSqliteSource);

  // The statement is reset whatever happens, so that it never holds a lock past the call.
  struct ResetOnExit {
    sqlite3_stmt* stmt;
    ~ResetOnExit() {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
    }
  } resetOnExit{stmt};

  for (int i = 0; i < static_cast<int>(params.size()); ++i) {
    const Variant& v = params[i];
    int rc = SQLITE_OK;
    switch (v.kind()) {
      case Variant::Kind::Empty:
      case Variant::Kind::Null:
        rc = sqlite3_bind_null(stmt, i + 1);
        break;
      case Variant::Kind::Text: {
        std::string utf8 = ToFile(v.text());
        rc = sqlite3_bind_text64(stmt, i + 1, utf8.data(), utf8.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
        break;
      }
      case Variant::Kind::Integer:
        rc = sqlite3_bind_int64(stmt, i + 1, v.integer());
        break;
      case Variant::Kind::Real:
        rc = sqlite3_bind_double(stmt, i + 1, v.real());
        break;
    }
    if (rc != SQLITE_OK) RaiseSqlite(rc);
  }

  Rows rows;
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) RaiseSqlite(rc);
    if (!keepRows) continue;
    Row row;
    int columns = sqlite3_column_count(stmt);
    for (int c = 0; c < columns; ++c) {
      Variant value;
      switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_NULL:
          value = Variant::Null();
          break;
        case SQLITE_INTEGER:
          value = Variant(static_cast<int64_t>(sqlite3_column_int64(stmt, c)));
          break;
        case SQLITE_FLOAT:
          value = Variant(sqlite3_column_double(stmt, c));
          break;
        case SQLITE_TEXT:
          value = Variant(FromFile(sqlite3_column_text(stmt, c), sqlite3_column_bytes(stmt, c)));
          break;
        default: {  // a blob: its bytes as they are
          const char* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, c));
          value = Variant(std::string(bytes ? bytes : "", sqlite3_column_bytes(stmt, c)));
        }
      }
      row.Add(sqlite3_column_name(stmt, c), std::move(value));
    }
    rows.Add(std::move(row));
  }
  return rows;
}

Rows SqliteDatabase::hvrDbRequete(const std::string& procedure,
                                  const std::vector<Variant>& params) {
  return Run(procedure, params, true);
}

void SqliteDatabase::hvrDbExecute(const std::string& procedure,
                                  const std::vector<Variant>& params) {
  Run(procedure, params, false);
}

void SqliteDatabase::SyncDepth() {
  if (depth_ > 0 && sqlite3_get_autocommit(db_)) depth_ = 0;
}

int SqliteDatabase::TransactionDepth() {
  SyncDepth();
  return depth_;
}

bool SqliteDatabase::hvrDbBeginTrans() {
  SyncDepth();
  Exec(depth_ == 0 ? std::string("BEGIN IMMEDIATE") : "SAVEPOINT hvr" + Dec(depth_));
  ++depth_;
  return true;
}

void SqliteDatabase::hvrDbCommitTrans() {
  SyncDepth();
  if (depth_ <= 1) {
    // With no transaction open, SQLite itself refuses the COMMIT and says so.
    Exec("COMMIT");
    depth_ = 0;
  } else {
    Exec("RELEASE hvr" + Dec(depth_ - 1));
    --depth_;
  }
}

bool SqliteDatabase::hvrDbRollBack() {
  SyncDepth();
  if (depth_ == 0) return false;
  if (depth_ == 1) {
    Exec("ROLLBACK");
  } else {
    std::string name = "hvr" + Dec(depth_ - 1);
    Exec("ROLLBACK TO " + name + "; RELEASE " + name);
  }
  --depth_;
  return true;
}

}  // namespace guichet
