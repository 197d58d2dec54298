#pragma once
// A PostgreSQL connection through libpq: statements with parameters, results
// read as text, and failures raised with what the server said.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace de30::office {

class EDatabase : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

using TParams = std::vector<std::optional<std::string>>; // nullopt: NULL

class TResult {
public:
  explicit TResult(pg_result *Result) : Held(Result) {}
  ~TResult();
  TResult(TResult &&Other) noexcept : Held(Other.Held) { Other.Held = nullptr; }
  TResult(const TResult &) = delete;
  TResult &operator=(const TResult &) = delete;
  TResult &operator=(TResult &&) = delete;

  int Rows() const;
  bool IsNull(int Row, int Column) const;
  std::string Text(int Row, int Column) const;
  int Columns() const;
  std::string Name(int Column) const;

private:
  pg_result *Held;
};

class TPg {
public:
  // Connects, or throws EDatabase. Password, when not empty, is given to libpq
  // beside the connection string (which then need not hold it).
  TPg(const std::string &ConnInfo, const std::string &Password);
  ~TPg();
  TPg(const TPg &) = delete;
  TPg &operator=(const TPg &) = delete;

  TResult Exec(const std::string &Sql, const TParams &Params = {});
  // Several statements in one text, without parameters (a schema step).
  void Script(const std::string &Sql);
  // Whether the connection is still good (false after the server went away).
  bool Usable() const;

private:
  pg_conn *Connection = nullptr;
};

// Runs Body inside BEGIN .. COMMIT; a failure rolls back and is raised again.
template <typename F> void InTransaction(TPg &Db, F &&Body) {
  Db.Exec("BEGIN");
  try {
    Body();
  } catch (...) {
    if (Db.Usable()) {
      try {
        Db.Exec("ROLLBACK");
      } catch (const EDatabase &) {
      }
    }
    throw;
  }
  Db.Exec("COMMIT");
}

} // namespace de30::office
