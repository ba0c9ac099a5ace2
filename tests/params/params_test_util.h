// Helpers for the parameter store tests: a temporary folder, a raw SQLite connection for
// doing to the file what the database object never does, and a recording database object
// that forwards to a real one and can be told to fail or to answer with given rows.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "params/database.h"

namespace guichet::testing {

class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    // No mkdtemp there: a random name, created only when it did not exist.
    std::random_device random;
    for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
      auto candidate = std::filesystem::temp_directory_path() /
                       ("params_" + std::to_string(random()) + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("create_directory");
#else
    std::string tmpl = (std::filesystem::temp_directory_path() / "params_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
#endif
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A plain SQLite connection of its own on the file.
class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << sqlite3_errmsg(db_);
  }
  ~RawConnection() { sqlite3_close_v2(db_); }
  // Runs `sql`; returns SQLite's result code.
  int Exec(const std::string& sql) {
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    return rc;
  }

 private:
  sqlite3* db_ = nullptr;
};

// Forwards to `inner` (when there is one) and records each call as "Begin", "Commit",
// "RollBack", "Execute <procedure>" or "Requete <procedure>". A call whose record is a key
// of `failures` raises the errors queued there, one per call, instead of forwarding;
// `cannedRows` answers every query instead of `inner`.
class RecordingDatabase : public Database {
 public:
  explicit RecordingDatabase(std::shared_ptr<Database> inner = nullptr)
      : inner_(std::move(inner)) {}

  std::vector<std::string> calls;
  std::map<std::string, std::vector<DbError>> failures;
  std::optional<Rows> cannedRows;

  Rows hvrDbRequete(const std::string& procedure, const std::vector<Variant>& params) override {
    Record("Requete " + procedure);
    if (cannedRows) return *cannedRows;
    return inner_ ? inner_->hvrDbRequete(procedure, params) : Rows();
  }
  void hvrDbExecute(const std::string& procedure, const std::vector<Variant>& params) override {
    Record("Execute " + procedure);
    if (inner_) inner_->hvrDbExecute(procedure, params);
  }
  bool hvrDbBeginTrans() override {
    Record("Begin");
    return inner_ ? inner_->hvrDbBeginTrans() : true;
  }
  void hvrDbCommitTrans() override {
    Record("Commit");
    if (inner_) inner_->hvrDbCommitTrans();
  }
  bool hvrDbRollBack() override {
    Record("RollBack");
    return inner_ ? inner_->hvrDbRollBack() : true;
  }

 private:
  void Record(const std::string& call) {
    calls.push_back(call);
    auto it = failures.find(call);
    if (it != failures.end() && !it->second.empty()) {
      DbError e = it->second.front();
      it->second.erase(it->second.begin());
      throw e;
    }
  }

  std::shared_ptr<Database> inner_;
};

}  // namespace guichet::testing
