#pragma once
// The journal's few wrappers around SQLite's C interface: a connection that
// names its file in every error, prepared statements, and transactions. Shared
// by the journal's source files only.

#include "station/journal.hpp"

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace de30::station {

// The connection and the file it is named after, for every error it raises.
struct TConnection {
  TJournalHealth *Health = nullptr;

  sqlite3 *Handle = nullptr;
  std::string File;

  [[noreturn]] void Fail(const std::string &What) const {
    const std::string Error = File + ": " + What + ": " + sqlite3_errmsg(Handle);
    if (Health)
      Health->Failed(Error, (sqlite3_extended_errcode(Handle) & 0xff) == SQLITE_FULL);
    throw EJournalError(Error);
  }
  // A write went through: the journal takes writes again.
  void Wrote() const {
    if (Health)
      Health->Wrote();
  }
  void Exec(const char *Sql) {
    if (sqlite3_exec(Handle, Sql, nullptr, nullptr, nullptr) != SQLITE_OK)
      Fail(Sql);
  }
  TConnection() = default;
  ~TConnection() { sqlite3_close_v2(Handle); }
  TConnection(const TConnection &) = delete;
  TConnection &operator=(const TConnection &) = delete;
};

// One prepared statement; binds in order, steps, reads columns by position.
class TStatement {
public:
  TStatement(TConnection &On, const std::string &Sql) : Db(On) {
    if (sqlite3_prepare_v2(Db.Handle, Sql.c_str(), -1, &Handle, nullptr) != SQLITE_OK)
      Db.Fail("cannot prepare " + Sql);
  }
  ~TStatement() { sqlite3_finalize(Handle); }
  TStatement(const TStatement &) = delete;
  TStatement &operator=(const TStatement &) = delete;

  TStatement &Bind(std::int64_t Value) {
    Check(sqlite3_bind_int64(Handle, ++Bound, Value));
    return *this;
  }
  TStatement &Bind(int Value) { return Bind(static_cast<std::int64_t>(Value)); }
  TStatement &Bind(bool Value) { return Bind(static_cast<std::int64_t>(Value ? 1 : 0)); }
  TStatement &Bind(double Value) {
    Check(sqlite3_bind_double(Handle, ++Bound, Value));
    return *this;
  }
  TStatement &Bind(const std::string &Value) {
    Check(sqlite3_bind_text(Handle, ++Bound, Value.data(), static_cast<int>(Value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  TStatement &Bind(const char *Value) { return Bind(std::string(Value)); }

  // True with a row to read, false when the statement has run to its end.
  bool Step() {
    const int Result = sqlite3_step(Handle);
    if (Result == SQLITE_ROW)
      return true;
    if (Result != SQLITE_DONE)
      Db.Fail(sqlite3_sql(Handle));
    if (!sqlite3_stmt_readonly(Handle) && sqlite3_get_autocommit(Db.Handle))
      Db.Wrote();
    return false;
  }
  // Runs a statement that returns no rows; the rows it changed.
  int Run() {
    Step();
    return sqlite3_changes(Db.Handle);
  }

  std::int64_t Int(int Column) const { return sqlite3_column_int64(Handle, Column); }
  double Real(int Column) const { return sqlite3_column_double(Handle, Column); }
  std::string Text(int Column) const {
    const auto *Value = sqlite3_column_text(Handle, Column);
    return Value ? reinterpret_cast<const char *>(Value) : "";
  }

private:
  void Check(int Result) {
    if (Result != SQLITE_OK)
      Db.Fail(std::string("cannot bind a value to ") + sqlite3_sql(Handle));
  }
  TConnection &Db;
  sqlite3_stmt *Handle = nullptr;
  int Bound = 0;
};

// A step of several statements, all or nothing. IMMEDIATE takes the write lock
// at the start, so what the step read cannot change before it writes.
class TTransaction {
public:
  explicit TTransaction(TConnection &On) : Db(On) { Db.Exec("BEGIN IMMEDIATE"); }
  void Commit() {
    Db.Exec("COMMIT");
    Done = true;
    Db.Wrote();
  }
  ~TTransaction() {
    if (!Done)
      sqlite3_exec(Db.Handle, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  TTransaction(const TTransaction &) = delete;
  TTransaction &operator=(const TTransaction &) = delete;

private:
  TConnection &Db;
  bool Done = false;
};

struct TJournal::TDb : TConnection {};

} // namespace de30::station
