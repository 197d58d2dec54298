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
      // 2: the stations' closed shifts (the whole message as jsonb, its nozzles
      // and the sales it left open or not cleared as rows), when each station
      // was last heard from, and the reports' views.
      R"sql(
ALTER TABLE stations ADD COLUMN IF NOT EXISTS last_message timestamptz;
UPDATE stations s SET last_message = GREATEST(
  (SELECT MAX(received_at) FROM sales WHERE station = s.id),
  (SELECT MAX(received_at) FROM alarms WHERE station = s.id));
CREATE TABLE IF NOT EXISTS shifts (
  station       text NOT NULL REFERENCES stations (id),
  shift_id      bigint NOT NULL,
  opened        timestamptz NOT NULL,
  closed        timestamptz NOT NULL,
  closed_by     text NOT NULL,
  pending       integer NOT NULL,
  body          jsonb NOT NULL,
  received_at   timestamptz NOT NULL DEFAULT clock_timestamp(),
  ingested_by   text NOT NULL,
  PRIMARY KEY (station, shift_id)
);
CREATE TABLE IF NOT EXISTS shift_nozzles (
  station            text NOT NULL,
  shift_id           bigint NOT NULL,
  pump               text NOT NULL,
  nozzle             integer NOT NULL,
  grade              integer NOT NULL,
  open_volume        numeric(16, 2),
  open_amount        numeric(18, 2),
  open_missing       text,
  close_volume       numeric(16, 2),
  close_amount       numeric(18, 2),
  close_missing      text,
  sales              integer NOT NULL,
  volume             numeric(14, 2) NOT NULL,
  amount             numeric(16, 2) NOT NULL,
  difference_volume  numeric(14, 2),
  difference_amount  numeric(16, 2),
  PRIMARY KEY (station, shift_id, pump, nozzle),
  FOREIGN KEY (station, shift_id) REFERENCES shifts (station, shift_id)
);
CREATE TABLE IF NOT EXISTS shift_pending (
  station    text NOT NULL,
  shift_id   bigint NOT NULL,
  sale_id    bigint NOT NULL,
  pump       text NOT NULL,
  state      text NOT NULL,
  locked_by  text,
  volume     numeric(14, 2) NOT NULL,
  amount     numeric(16, 2) NOT NULL,
  started    timestamptz NOT NULL,
  ended      timestamptz,
  PRIMARY KEY (station, shift_id, sale_id),
  FOREIGN KEY (station, shift_id) REFERENCES shifts (station, shift_id)
);
-- Per station and day (of the session's time zone: PGTZ), per grade.
CREATE OR REPLACE VIEW daily_grades AS
  SELECT station, ended::date AS day, grade, COUNT(*) AS sales,
         SUM(volume) AS volume, SUM(amount) AS amount
  FROM sales WHERE ended IS NOT NULL
  GROUP BY station, ended::date, grade;
-- Sales open or not cleared at each station's last shift close, that began
-- (open) or ended more than a day ago.
CREATE OR REPLACE VIEW unsettled_sales AS
  SELECT p.station, p.shift_id, p.sale_id, p.pump, p.state, p.locked_by, p.volume, p.amount,
         p.started, p.ended
  FROM shift_pending p
  JOIN (SELECT station, MAX(shift_id) AS shift_id FROM shifts GROUP BY station) l
    USING (station, shift_id)
  WHERE COALESCE(p.ended, p.started) < now() - interval '1 day';
-- Every nozzle of a closed shift whose difference is known: above 0, fuel
-- without a sale; below 0, sales without the fuel.
CREATE OR REPLACE VIEW shift_differences AS
  SELECT n.station, n.shift_id, s.closed, n.pump, n.nozzle, n.grade, n.sales, n.volume,
         n.difference_volume, n.difference_amount
  FROM shift_nozzles n JOIN shifts s USING (station, shift_id)
  WHERE n.difference_volume IS NOT NULL;
CREATE OR REPLACE FUNCTION shifts_beyond(tolerance numeric)
  RETURNS SETOF shift_differences LANGUAGE sql STABLE AS
  $$ SELECT * FROM shift_differences WHERE abs(difference_volume) > tolerance $$;
-- When each station last sent a sale, an alarm or a shift.
CREATE OR REPLACE VIEW station_activity AS
  SELECT id AS station, online, last_message,
         date_trunc('second', now() - last_message) AS silent_for
  FROM stations;
CREATE OR REPLACE FUNCTION silent_stations(minutes integer)
  RETURNS SETOF station_activity LANGUAGE sql STABLE AS
  $$ SELECT * FROM station_activity
     WHERE last_message IS NULL OR last_message < now() - make_interval(mins => minutes) $$;
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
