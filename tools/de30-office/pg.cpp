#include "pg.hpp"

#include <libpq-fe.h>

namespace de30::office {

TResult::~TResult() {
  if (Held)
    PQclear(Held);
}

int TResult::Rows() const { return PQntuples(Held); }

bool TResult::IsNull(int Row, int Column) const { return PQgetisnull(Held, Row, Column) != 0; }

std::string TResult::Text(int Row, int Column) const {
  return std::string(PQgetvalue(Held, Row, Column),
                     static_cast<std::size_t>(PQgetlength(Held, Row, Column)));
}

int TResult::Columns() const { return PQnfields(Held); }

std::string TResult::Name(int Column) const { return PQfname(Held, Column); }

TPg::TPg(const std::string &ConnInfo, const std::string &Password) {
  const char *Keys[] = {"dbname", Password.empty() ? nullptr : "password", nullptr};
  const char *Values[] = {ConnInfo.c_str(), Password.c_str(), nullptr};
  // dbname is expanded: the connection string's own settings come first.
  Connection = PQconnectdbParams(Keys, Values, 1);
  if (Connection == nullptr)
    throw EDatabase("cannot connect to the database: out of memory");
  if (PQstatus(Connection) != CONNECTION_OK) {
    std::string Why = PQerrorMessage(Connection);
    while (!Why.empty() && (Why.back() == '\n' || Why.back() == ' '))
      Why.pop_back();
    PQfinish(Connection);
    Connection = nullptr;
    throw EDatabase("cannot connect to the database: " + Why);
  }
  // Notices (a table that exists already) are not the log's business.
  PQsetNoticeProcessor(
      Connection, [](void *, const char *) {}, nullptr);
}

TPg::~TPg() {
  if (Connection)
    PQfinish(Connection);
}

namespace {

void Check(pg_conn *Connection, pg_result *Raw) {
  const auto Status = Raw ? PQresultStatus(Raw) : PGRES_FATAL_ERROR;
  if (Status == PGRES_COMMAND_OK || Status == PGRES_TUPLES_OK)
    return;
  std::string Why = Raw ? PQresultErrorMessage(Raw) : PQerrorMessage(Connection);
  while (!Why.empty() && (Why.back() == '\n' || Why.back() == ' '))
    Why.pop_back();
  throw EDatabase(Why.empty() ? "the database failed the statement" : Why);
}

} // namespace

void TPg::Script(const std::string &Sql) {
  pg_result *Raw = PQexec(Connection, Sql.c_str());
  const TResult Result(Raw);
  Check(Connection, Raw);
}

bool TPg::Usable() const { return Connection && PQstatus(Connection) == CONNECTION_OK; }

TResult TPg::Exec(const std::string &Sql, const TParams &Params) {
  std::vector<const char *> Values;
  Values.reserve(Params.size());
  for (const auto &Param : Params)
    Values.push_back(Param ? Param->c_str() : nullptr);
  pg_result *Raw = PQexecParams(Connection, Sql.c_str(), static_cast<int>(Values.size()),
                                nullptr, Values.data(), nullptr, nullptr, 0);
  TResult Result(Raw);
  Check(Connection, Raw);
  return Result;
}

} // namespace de30::office
