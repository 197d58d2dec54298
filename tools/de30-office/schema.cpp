#include "schema.hpp"

#include <string>
#include <vector>

namespace de30::office {
namespace {

// Step N brings the schema from version N-1 to N. Steps are never edited once
// released: a change is a new step.
const std::vector<std::string> &Steps() {
  static const std::vector<std::string> All = {
      // 1: stations, their sales (every field of the sale message as columns,
      // and the whole message as jsonb), sales whose repeat did not match, alarms.
      R"sql(
CREATE TABLE stations (
  id          text PRIMARY KEY,
  topic       text NOT NULL,
  first_seen  timestamptz NOT NULL DEFAULT clock_timestamp(),
  online      boolean,
  status_at   timestamptz
);
CREATE TABLE sales (
  station       text NOT NULL REFERENCES stations (id),
  sale_id       bigint NOT NULL,
  pump          text NOT NULL,
  nozzle        integer NOT NULL,
  grade         integer NOT NULL,
  price         numeric(12, 2) NOT NULL,
  preset_kind   text,
  preset_value  numeric(12, 2),
  volume        numeric(12, 2) NOT NULL,
  amount        numeric(14, 2) NOT NULL,
  start_volume  numeric(16, 2),
  start_amount  numeric(18, 2),
  end_volume    numeric(16, 2),
  end_amount    numeric(18, 2),
  state         text NOT NULL,
  locked_by     text,
  started       timestamptz NOT NULL,
  ended         timestamptz,
  flags         jsonb NOT NULL DEFAULT '[]',
  prepaid       numeric(14, 2),
  refund        numeric(14, 2),
  figures       jsonb NOT NULL,
  body          jsonb NOT NULL,
  received_at   timestamptz NOT NULL DEFAULT clock_timestamp(),
  ingested_by   text NOT NULL,
  PRIMARY KEY (station, sale_id)
);
CREATE INDEX sales_ended ON sales (ended);
CREATE INDEX sales_received_at ON sales (received_at);
CREATE TABLE sale_problems (
  id           bigserial PRIMARY KEY,
  station      text NOT NULL,
  sale_id      bigint NOT NULL,
  kind         text NOT NULL CHECK (kind IN ('conflict', 'malformed')),
  detail       text NOT NULL,
  received     jsonb NOT NULL,
  stored       jsonb,
  received_at  timestamptz NOT NULL DEFAULT clock_timestamp(),
  ingested_by  text NOT NULL
);
CREATE INDEX sale_problems_sale ON sale_problems (station, sale_id);
CREATE TABLE alarms (
  station      text NOT NULL REFERENCES stations (id),
  alarm_id     bigint NOT NULL,
  pump         text NOT NULL,
  nozzle       integer NOT NULL,
  volume       numeric(16, 2) NOT NULL,
  amount       numeric(18, 2) NOT NULL,
  at           timestamptz NOT NULL,
  kind         text NOT NULL,
  body         jsonb NOT NULL,
  received_at  timestamptz NOT NULL DEFAULT clock_timestamp(),
  PRIMARY KEY (station, alarm_id)
);
)sql",
  };
  return All;
}

// Any fixed number: the lock de30-office processes take while they migrate.
constexpr const char *MigrationLock = "7305330";

} // namespace

int LatestSchema() { return static_cast<int>(Steps().size()); }

int SchemaVersion(TPg &Db) {
  const auto Exists = Db.Exec("SELECT to_regclass('de30_schema') IS NOT NULL");
  if (Exists.Text(0, 0) != "t")
    return 0;
  const auto Version = Db.Exec("SELECT COALESCE(MAX(version), 0) FROM de30_schema");
  return std::stoi(Version.Text(0, 0));
}

int Migrate(TPg &Db) {
  Db.Exec("SELECT pg_advisory_lock(" + std::string(MigrationLock) + ")");
  try {
    Db.Exec("CREATE TABLE IF NOT EXISTS de30_schema ("
            "version integer PRIMARY KEY, "
            "applied_at timestamptz NOT NULL DEFAULT clock_timestamp())");
    int Version = SchemaVersion(Db);
    if (Version > LatestSchema())
      throw EDatabase("the database's schema is version " + std::to_string(Version) +
                      ", newer than this de30-office's " + std::to_string(LatestSchema()) +
                      ": upgrade de30-office");
    for (; Version < LatestSchema(); ++Version)
      InTransaction(Db, [&] {
        Db.Script(Steps()[static_cast<std::size_t>(Version)]);
        Db.Exec("INSERT INTO de30_schema (version) VALUES ($1)", {std::to_string(Version + 1)});
      });
    Db.Exec("SELECT pg_advisory_unlock(" + std::string(MigrationLock) + ")");
    return Version;
  } catch (...) {
    if (Db.Usable())
      Db.Exec("SELECT pg_advisory_unlock(" + std::string(MigrationLock) + ")");
    throw;
  }
}

} // namespace de30::office
