// The database object that the parameter store class works through.
//
// The parameter store reads and writes per-user parameters by calling a fixed set of named
// stored procedures on a database object it is handed. This header describes that object
// as an interface, together with the three small types it trades in:
//   - Variant: "any value": Empty, Null, a text or a number. Text is Windows-1252 bytes.
//   - Row / Rows: the result of a query; rows are numbered from 1, a row's columns are
//     reached by name (without regard to case).
//   - DbError: the error every operation raises, carrying a signed 32-bit number (COM
//     style, e.g. 0x80040E2F for an integrity violation), a description and a source.
// The real implementation over SQLite lives in sqlite_database.h; tests may provide their
// own for failures a real database cannot be made to produce.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace guichet {

// Builds the signed 32-bit error number from its usual unsigned hexadecimal spelling.
constexpr int32_t ErrNumber(uint32_t hex) { return static_cast<int32_t>(hex); }

// Error numbers that callers and the database object agree on.
inline constexpr int32_t kErrIntegrityViolation = ErrNumber(0x80040E2F);  // row exists
inline constexpr int32_t kErrUnknownProcedure = ErrNumber(0x80040E14);
inline constexpr int32_t kErrParameterCount = ErrNumber(0x80040E10);
inline constexpr int32_t kErrItemNotFound = ErrNumber(0x800A0CC1);  // no such row or column
inline constexpr int32_t kErrUnexpected = ErrNumber(0x80004005);    // a non-database failure

// A raised database error. what() returns the description.
class DbError : public std::exception {
 public:
  DbError(int32_t number, std::string description, std::string source)
      : number_(number), description_(std::move(description)), source_(std::move(source)) {}

  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }
  const std::string& source() const { return source_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int32_t number_;
  std::string description_;
  std::string source_;
};

// "Any value": Empty (never set), Null (the database's missing value), a text, an integer
// or a real number.
class Variant {
 public:
  enum class Kind { Empty, Null, Text, Integer, Real };

  Variant() = default;  // Empty
  Variant(std::string text) : v_(std::move(text)) {}
  Variant(const char* text) : v_(std::string(text)) {}
  Variant(int n) : v_(static_cast<int64_t>(n)) {}
  Variant(int64_t n) : v_(n) {}
  Variant(double x) : v_(x) {}
  static Variant Null() {
    Variant v;
    v.v_ = NullTag{};
    return v;
  }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool IsEmpty() const { return kind() == Kind::Empty; }
  bool IsNull() const { return kind() == Kind::Null; }

  // The value as text: Empty and Null give "", numbers their decimal spelling
  // (a real in its shortest exact form, "." as decimal point).
  std::string ToText() const;

  // The stored number or text; only meaningful for the matching kind.
  const std::string& text() const { return std::get<std::string>(v_); }
  int64_t integer() const { return std::get<int64_t>(v_); }
  double real() const { return std::get<double>(v_); }

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  // The order of the alternatives follows Kind.
  std::variant<std::monostate, NullTag, std::string, int64_t, double> v_;
};

// One row of a result: named columns in the order the query gave them.
class Row {
 public:
  void Add(std::string name, Variant value) {
    columns_.emplace_back(std::move(name), std::move(value));
  }
  size_t Count() const { return columns_.size(); }
  // The column of that name, found without regard to case; nullptr when there is none.
  const Variant* Find(std::string_view name) const;
  // The column of that name; raises kErrItemNotFound when there is none.
  const Variant& operator[](std::string_view name) const;
  const std::vector<std::pair<std::string, Variant>>& columns() const { return columns_; }

 private:
  std::vector<std::pair<std::string, Variant>> columns_;
};

// The rows of a result, numbered from 1.
class Rows {
 public:
  void Add(Row row) { rows_.push_back(std::move(row)); }
  size_t Count() const { return rows_.size(); }
  // Row `index`, counted from 1; raises kErrItemNotFound outside 1..Count().
  const Row& operator[](size_t index) const;
  std::vector<Row>::const_iterator begin() const { return rows_.begin(); }
  std::vector<Row>::const_iterator end() const { return rows_.end(); }

 private:
  std::vector<Row> rows_;
};

// The database object. Every operation raises DbError on failure.
class Database {
 public:
  virtual ~Database() = default;

  // Runs a stored procedure and returns its rows (none for a procedure that returns none).
  virtual Rows hvrDbRequete(const std::string& procedure, const std::vector<Variant>& params) = 0;
  Rows hvrDbRequete(const std::string& procedure) { return hvrDbRequete(procedure, {}); }
  // Runs a stored procedure for its effect; rows it may return are dropped.
  virtual void hvrDbExecute(const std::string& procedure, const std::vector<Variant>& params) = 0;
  // Opens a transaction; true when one was opened.
  virtual bool hvrDbBeginTrans() = 0;
  // Commits the transaction opened last.
  virtual void hvrDbCommitTrans() = 0;
  // Rolls back the transaction opened last; true when it was rolled back, false when
  // there was none to roll back.
  virtual bool hvrDbRollBack() = 0;
};

}  // namespace guichet
