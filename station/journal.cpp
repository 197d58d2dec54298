#include "station/journal.hpp"

#include "station/sqlite_db.hpp"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace de30::station {

namespace {

// Version 1, as the first release created it; Migrations bring it up to date.
// Money and litres are stored as the doubles the station computes with (SQLite
// keeps all 64 bits); flags as a comma-separated list; `uploaded` is for the
// head-office uplink and only ever goes from 0 to 1.
constexpr const char *SchemaV1 = R"sql(
CREATE TABLE sales (
  id           INTEGER PRIMARY KEY AUTOINCREMENT,
  line         INTEGER NOT NULL,
  pump         INTEGER NOT NULL,
  nozzle       INTEGER NOT NULL DEFAULT 0,
  grade        INTEGER NOT NULL DEFAULT 0,
  price        REAL    NOT NULL DEFAULT 0,
  preset_kind  TEXT    NOT NULL DEFAULT 'none' CHECK (preset_kind IN ('none', 'litres', 'money')),
  preset_value REAL    NOT NULL DEFAULT 0,
  volume       REAL    NOT NULL DEFAULT 0,
  amount       REAL    NOT NULL DEFAULT 0,
  start_known  INTEGER NOT NULL DEFAULT 0,
  start_volume REAL    NOT NULL DEFAULT 0,
  start_amount REAL    NOT NULL DEFAULT 0,
  end_known    INTEGER NOT NULL DEFAULT 0,
  end_volume   REAL    NOT NULL DEFAULT 0,
  end_amount   REAL    NOT NULL DEFAULT 0,
  started_ms   INTEGER NOT NULL,
  ended_ms     INTEGER NOT NULL DEFAULT 0,
  state        TEXT    NOT NULL CHECK (state IN ('open', 'payable', 'locked', 'cleared')),
  locked_by    TEXT    NOT NULL DEFAULT '',
  locked_ms    INTEGER NOT NULL DEFAULT 0,
  cleared_ms   INTEGER NOT NULL DEFAULT 0,
  flags        TEXT    NOT NULL DEFAULT '',
  uploaded     INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX sales_by_state ON sales (state);
CREATE INDEX sales_by_start ON sales (started_ms);
CREATE INDEX sales_by_pump ON sales (line, pump, id);
CREATE TABLE prices (
  grade      INTEGER PRIMARY KEY,
  price      REAL    NOT NULL,
  updated_ms INTEGER NOT NULL
);
CREATE TABLE pump_totals (
  line       INTEGER NOT NULL,
  pump       INTEGER NOT NULL,
  known      INTEGER NOT NULL,
  volume     REAL    NOT NULL,
  amount     REAL    NOT NULL,
  updated_ms INTEGER NOT NULL,
  PRIMARY KEY (line, pump)
);
)sql";

// Migrations[N - 1] takes a journal from version N to N + 1.
constexpr const char *Migrations[] = {
    // 2: when the broker acknowledged a sale, and the uplink's backlog found
    // without reading the whole table: the index holds closed sales not yet
    // acknowledged, so it stays as small as the backlog.
    R"sql(
ALTER TABLE sales ADD COLUMN uploaded_ms INTEGER NOT NULL DEFAULT 0;
CREATE INDEX sales_to_upload ON sales (id) WHERE uploaded = 0 AND state <> 'open';
)sql",
    // 3: the fill the pump held when the sale was authorised. It belongs to the
    // previous sale; a sale recovered after a restart is judged against it.
    R"sql(
ALTER TABLE sales ADD COLUMN base_known INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sales ADD COLUMN base_volume REAL NOT NULL DEFAULT 0;
ALTER TABLE sales ADD COLUMN base_amount REAL NOT NULL DEFAULT 0;
)sql",
    // 4: one row per start of the service. Its number goes into the ids of the
    // service's events, so that an id from before a restart is never taken for
    // one of this run.
    R"sql(
CREATE TABLE service_runs (
  run        INTEGER PRIMARY KEY AUTOINCREMENT,
  started_ms INTEGER NOT NULL
);
)sql",
    // 5: answers kept for clients that repeat a request (Idempotency-Key), and
    // pumps reserved for one client, each reservation a row from its start to
    // its end.
    R"sql(
CREATE TABLE requests (
  client      TEXT    NOT NULL,
  key         TEXT    NOT NULL,
  fingerprint TEXT    NOT NULL,
  created_ms  INTEGER NOT NULL,
  status      INTEGER NOT NULL DEFAULT 0,
  body        TEXT    NOT NULL DEFAULT '',
  PRIMARY KEY (client, key)
);
CREATE INDEX requests_by_age ON requests (created_ms);
CREATE TABLE reservations (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  line       INTEGER NOT NULL,
  pump       INTEGER NOT NULL,
  client     TEXT    NOT NULL,
  since_ms   INTEGER NOT NULL,
  until_ms   INTEGER NOT NULL,
  ended_ms   INTEGER NOT NULL DEFAULT 0,
  end_reason TEXT    NOT NULL DEFAULT ''
);
CREATE UNIQUE INDEX reservations_active ON reservations (line, pump) WHERE ended_ms = 0;
)sql",
    // 6: what a pre-paying customer paid and gets back, and fuel that went out
    // without a sale (a pump's totals that moved with no sale to account for
    // them), kept for the operator.
    R"sql(
ALTER TABLE sales ADD COLUMN prepaid REAL NOT NULL DEFAULT 0;
ALTER TABLE sales ADD COLUMN refund REAL NOT NULL DEFAULT 0;
CREATE TABLE alarms (
  id     INTEGER PRIMARY KEY AUTOINCREMENT,
  line   INTEGER NOT NULL,
  pump   INTEGER NOT NULL,
  nozzle INTEGER NOT NULL DEFAULT 0,
  volume REAL    NOT NULL DEFAULT 0,
  amount REAL    NOT NULL DEFAULT 0,
  at_ms  INTEGER NOT NULL,
  kind   TEXT    NOT NULL
);
)sql",
    // 7: sales heard on a line another controller drives (a tap line): kept
    // apart from the station's own, since no client may lock or clear them.
    R"sql(
ALTER TABLE sales ADD COLUMN observed INTEGER NOT NULL DEFAULT 0;
)sql",
    // 8: shifts. A sale belongs to the shift that was open when it closed
    // (`shift`, set when that shift closes) and its clearing is counted in the
    // shift open when it was cleared (`cleared_in`); sales that closed before
    // shifts existed belong to shift 0, which never reports. A shift keeps the
    // pumps' totals at its open (the close of the one before), its nozzles'
    // figures and the sales that were not cleared when it closed. The first
    // shift opens here, with the totals the journal holds.
    R"sql(
ALTER TABLE sales ADD COLUMN shift INTEGER;
ALTER TABLE sales ADD COLUMN cleared_in INTEGER;
UPDATE sales SET shift = 0 WHERE state <> 'open';
UPDATE sales SET cleared_in = 0 WHERE state = 'cleared';
CREATE INDEX sales_by_shift ON sales (shift);
CREATE INDEX sales_by_cleared_in ON sales (cleared_in);
CREATE TABLE shifts (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  opened_ms   INTEGER NOT NULL,
  closed_ms   INTEGER NOT NULL DEFAULT 0,
  closed_by   TEXT    NOT NULL DEFAULT '',
  uploaded    INTEGER NOT NULL DEFAULT 0,
  uploaded_ms INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX shifts_one_open ON shifts (closed_ms) WHERE closed_ms = 0;
CREATE INDEX shifts_to_upload ON shifts (id) WHERE uploaded = 0 AND closed_ms <> 0;
CREATE TABLE shift_totals (
  shift   INTEGER NOT NULL,
  line    INTEGER NOT NULL,
  pump    INTEGER NOT NULL,
  known   INTEGER NOT NULL,
  volume  REAL    NOT NULL,
  amount  REAL    NOT NULL,
  read_ms INTEGER NOT NULL,
  sale    INTEGER NOT NULL DEFAULT 0,
  missing TEXT    NOT NULL DEFAULT '',
  PRIMARY KEY (shift, line, pump)
);
CREATE TABLE shift_nozzles (
  shift          INTEGER NOT NULL,
  line           INTEGER NOT NULL,
  pump           INTEGER NOT NULL,
  nozzle         INTEGER NOT NULL,
  grade          INTEGER NOT NULL,
  open_known     INTEGER NOT NULL,
  open_volume    REAL    NOT NULL,
  open_amount    REAL    NOT NULL,
  open_read_ms   INTEGER NOT NULL,
  open_sale      INTEGER NOT NULL,
  open_missing   TEXT    NOT NULL,
  close_known    INTEGER NOT NULL,
  close_volume   REAL    NOT NULL,
  close_amount   REAL    NOT NULL,
  close_read_ms  INTEGER NOT NULL,
  close_sale     INTEGER NOT NULL,
  close_missing  TEXT    NOT NULL,
  sales          INTEGER NOT NULL,
  volume         REAL    NOT NULL,
  amount         REAL    NOT NULL,
  PRIMARY KEY (shift, line, pump, nozzle)
);
CREATE TABLE shift_pending (
  shift     INTEGER NOT NULL,
  sale      INTEGER NOT NULL,
  state     TEXT    NOT NULL,
  locked_by TEXT    NOT NULL,
  volume    REAL    NOT NULL,
  amount    REAL    NOT NULL,
  PRIMARY KEY (shift, sale)
);
INSERT INTO shifts (opened_ms)
  VALUES (CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER));
INSERT INTO shift_totals (shift, line, pump, known, volume, amount, read_ms, missing)
  SELECT (SELECT MAX(id) FROM shifts), line, pump, known, volume, amount, updated_ms,
         CASE WHEN known THEN '' ELSE 'not read at the end of the pump''s last sale' END
  FROM pump_totals;
)sql",
};
static_assert(std::size(Migrations) == TJournal::SchemaVersion - 1);

constexpr const char *SaleColumns =
    "id, line, pump, nozzle, grade, price, preset_kind, preset_value, volume, amount, "
    "start_known, start_volume, start_amount, end_known, end_volume, end_amount, started_ms, "
    "ended_ms, state, locked_by, flags, base_known, base_volume, base_amount, prepaid, refund, "
    "observed";

const char *PresetKindName(TPreset::TKind Kind) {
  switch (Kind) {
  case TPreset::TKind::Litres:
    return "litres";
  case TPreset::TKind::Money:
    return "money";
  case TPreset::TKind::None:
    break;
  }
  return "none";
}

TPreset::TKind ParsePresetKind(const std::string &Name) {
  if (Name == "litres")
    return TPreset::TKind::Litres;
  if (Name == "money")
    return TPreset::TKind::Money;
  return TPreset::TKind::None;
}

std::string JoinFlags(const std::vector<std::string> &Flags) {
  std::string Text;
  for (const auto &Flag : Flags)
    Text += (Text.empty() ? "" : ",") + Flag;
  return Text;
}

std::vector<std::string> SplitFlags(const std::string &Text) {
  std::vector<std::string> Flags;
  std::size_t From = 0;
  while (From < Text.size()) {
    auto Comma = Text.find(',', From);
    if (Comma == std::string::npos)
      Comma = Text.size();
    if (Comma > From)
      Flags.push_back(Text.substr(From, Comma - From));
    From = Comma + 1;
  }
  return Flags;
}

TSale ReadSale(const TStatement &Row) {
  TSale Sale;
  Sale.Id = Row.Int(0);
  Sale.Line = static_cast<int>(Row.Int(1));
  Sale.Pump = static_cast<int>(Row.Int(2));
  Sale.Nozzle = static_cast<int>(Row.Int(3));
  Sale.Grade = static_cast<int>(Row.Int(4));
  Sale.Price = Row.Real(5);
  Sale.Preset.Kind = ParsePresetKind(Row.Text(6));
  Sale.Preset.Value = Row.Real(7);
  Sale.Volume = Row.Real(8);
  Sale.Amount = Row.Real(9);
  Sale.StartTotals = {Row.Int(10) != 0, Row.Real(11), Row.Real(12)};
  Sale.EndTotals = {Row.Int(13) != 0, Row.Real(14), Row.Real(15)};
  Sale.StartedMs = Row.Int(16);
  Sale.EndedMs = Row.Int(17);
  // The schema's CHECK admits only the four names.
  Sale.State = ParseSaleState(Row.Text(18)).value_or(TSaleState::Open);
  Sale.LockedBy = Row.Text(19);
  Sale.Flags = SplitFlags(Row.Text(20));
  Sale.Baseline = {Row.Int(21) != 0, Row.Real(22), Row.Real(23)};
  Sale.Prepaid = Row.Real(24);
  Sale.Refund = Row.Real(25);
  Sale.Observed = Row.Int(26) != 0;
  return Sale;
}

std::vector<TSale> ReadSales(TStatement &Query) {
  std::vector<TSale> Sales;
  while (Query.Step())
    Sales.push_back(ReadSale(Query));
  return Sales;
}

void WriteTotals(TConnection &Db, int Line, int Pump, const TTotals &Totals) {
  TStatement Upsert(Db, "INSERT INTO pump_totals (line, pump, known, volume, amount, "
                        "updated_ms) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (line, pump) DO "
                        "UPDATE SET known = excluded.known, volume = excluded.volume, "
                        "amount = excluded.amount, updated_ms = excluded.updated_ms");
  Upsert.Bind(Line)
      .Bind(Pump)
      .Bind(Totals.Known)
      .Bind(Totals.Volume)
      .Bind(Totals.Amount)
      .Bind(NowEpochMs())
      .Run();
}

void RequireClient(const std::string &Client) {
  if (Client.empty())
    throw std::invalid_argument("a sale is locked and cleared by a named client");
}

struct TClaim {
  bool Found = false;
  TSaleState State = TSaleState::Open;
  std::string Holder;
  bool Observed = false;
};

TClaim ReadClaim(TConnection &Db, std::int64_t Id) {
  TStatement Query(Db, "SELECT state, locked_by, observed FROM sales WHERE id = ?");
  Query.Bind(Id);
  TClaim Claim;
  if (Query.Step()) {
    Claim.Found = true;
    Claim.State = ParseSaleState(Query.Text(0)).value_or(TSaleState::Open);
    Claim.Holder = Query.Text(1);
    Claim.Observed = Query.Int(2) != 0;
  }
  return Claim;
}

} // namespace

const char *ClaimResultCode(TClaimResult Result) {
  switch (Result) {
  case TClaimResult::Done:
    return "done";
  case TClaimResult::AlreadyDone:
    return "already_done";
  case TClaimResult::UnknownSale:
    return "unknown_sale";
  case TClaimResult::NotPayable:
    return "not_payable";
  case TClaimResult::NotLocked:
    return "not_locked";
  case TClaimResult::LockedByOther:
    return "locked_by_other";
  case TClaimResult::AlreadyCleared:
    return "already_cleared";
  case TClaimResult::Observed:
    return "tap_line";
  }
  return "unknown";
}

TJournal::TJournal(const std::filesystem::path &File, int BusyTimeoutMs)
    : Db(std::make_unique<TDb>()) {
  Db->File = File.string();
  Db->Health = &Condition;
  if (File.has_parent_path()) {
    std::error_code Failed;
    std::filesystem::create_directories(File.parent_path(), Failed);
    if (Failed)
      throw EJournalError(Db->File + ": cannot create its folder: " + Failed.message());
  }
  const int Opened = sqlite3_open_v2(Db->File.c_str(), &Db->Handle,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (Opened != SQLITE_OK) {
    if (!Db->Handle)
      throw EJournalError(Db->File + ": cannot open: " + sqlite3_errstr(Opened));
    Db->Fail("cannot open");
  }
  sqlite3_extended_result_codes(Db->Handle, 1);
  if (sqlite3_busy_timeout(Db->Handle, BusyTimeoutMs) != SQLITE_OK)
    Db->Fail("cannot set the busy timeout");

  // In WAL mode a commit is one append to the log; with synchronous FULL that
  // append is synced before COMMIT returns, so a step that returned survives a
  // crash or a power cut, and readers (a backup) never block the writer.
  {
    TStatement Mode(*Db, "PRAGMA journal_mode = WAL");
    if (!Mode.Step() || Mode.Text(0) != "wal")
      throw EJournalError(Db->File +
                          ": cannot switch to write-ahead logging (the file stays in " +
                          Mode.Text(0) + " mode)");
  }
  Db->Exec("PRAGMA synchronous = FULL");

  TTransaction Setup(*Db);
  TStatement Version(*Db, "PRAGMA user_version");
  Version.Step();
  const auto Found = Version.Int(0);
  if (Found > SchemaVersion)
    throw EJournalError(Db->File + ": written by a newer release (schema " +
                        std::to_string(Found) + ", this release knows " +
                        std::to_string(SchemaVersion) + ")");
  if (Found < SchemaVersion) {
    // A new file gets the first schema and every migration, so that new and
    // migrated journals are the same.
    if (Found == 0)
      Db->Exec(SchemaV1);
    for (auto From = std::max<std::int64_t>(Found, 1); From < SchemaVersion; ++From)
      Db->Exec(Migrations[From - 1]);
    Db->Exec(("PRAGMA user_version = " + std::to_string(SchemaVersion)).c_str());
  }
  Setup.Commit();
}

TJournal::~TJournal() = default;

TSale TJournal::OpenSale(const TSale &Sale) {
  std::lock_guard Lock(Guard);
  TSale Opened = Sale;
  Opened.State = TSaleState::Open;
  Opened.EndedMs = 0;
  Opened.LockedBy.clear();
  if (Opened.StartedMs == 0)
    Opened.StartedMs = NowEpochMs();
  TStatement Insert(*Db,
                    "INSERT INTO sales (line, pump, nozzle, grade, price, preset_kind, "
                    "preset_value, volume, amount, start_known, start_volume, "
                    "start_amount, end_known, end_volume, end_amount, started_ms, state, "
                    "flags, base_known, base_volume, base_amount, prepaid, observed) VALUES "
                    "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 'open', ?, ?, ?, ?, "
                    "?, ?)");
  Insert.Bind(Opened.Line)
      .Bind(Opened.Pump)
      .Bind(Opened.Nozzle)
      .Bind(Opened.Grade)
      .Bind(Opened.Price)
      .Bind(PresetKindName(Opened.Preset.Kind))
      .Bind(Opened.Preset.Value)
      .Bind(Opened.Volume)
      .Bind(Opened.Amount)
      .Bind(Opened.StartTotals.Known)
      .Bind(Opened.StartTotals.Volume)
      .Bind(Opened.StartTotals.Amount)
      .Bind(Opened.EndTotals.Known)
      .Bind(Opened.EndTotals.Volume)
      .Bind(Opened.EndTotals.Amount)
      .Bind(Opened.StartedMs)
      .Bind(JoinFlags(Opened.Flags))
      .Bind(Opened.Baseline.Known)
      .Bind(Opened.Baseline.Volume)
      .Bind(Opened.Baseline.Amount)
      .Bind(Opened.Prepaid)
      .Bind(Opened.Observed);
  Insert.Run();
  Opened.Id = sqlite3_last_insert_rowid(Db->Handle);
  return Opened;
}

bool TJournal::UpdateSale(const TSale &Sale) {
  std::lock_guard Lock(Guard);
  TStatement Update(*Db, "UPDATE sales SET nozzle = ?, grade = ?, price = ?, volume = ?, "
                         "amount = ?, flags = ? WHERE id = ? AND state = 'open'");
  Update.Bind(Sale.Nozzle)
      .Bind(Sale.Grade)
      .Bind(Sale.Price)
      .Bind(Sale.Volume)
      .Bind(Sale.Amount)
      .Bind(JoinFlags(Sale.Flags))
      .Bind(Sale.Id);
  return Update.Run() == 1;
}

bool TJournal::CloseSale(const TSale &Sale) {
  if (Sale.State != TSaleState::Payable && Sale.State != TSaleState::Cleared)
    throw std::invalid_argument(std::string("a sale is closed as payable or cleared, not ") +
                                SaleStateName(Sale.State));
  std::lock_guard Lock(Guard);
  const auto EndedMs = Sale.EndedMs ? Sale.EndedMs : NowEpochMs();
  // The state test in the same statement is what makes a second close (a retry,
  // a recovery racing the worker) change nothing.
  TStatement Close(*Db, "UPDATE sales SET "
                        "nozzle = CASE WHEN ?1 > 0 THEN ?1 ELSE nozzle END, "
                        "grade = CASE WHEN ?2 > 0 THEN ?2 ELSE grade END, "
                        "price = CASE WHEN ?3 > 0 THEN ?3 ELSE price END, "
                        "volume = ?4, amount = ?5, end_known = ?6, end_volume = ?7, "
                        "end_amount = ?8, flags = ?9, ended_ms = ?10, state = ?11, "
                        "locked_by = '', cleared_ms = CASE WHEN ?11 = 'cleared' THEN ?10 "
                        "ELSE 0 END, refund = ?13 WHERE id = ?12 AND state = 'open'");
  Close.Bind(Sale.Nozzle)
      .Bind(Sale.Grade)
      .Bind(Sale.Price)
      .Bind(Sale.Volume)
      .Bind(Sale.Amount)
      .Bind(Sale.EndTotals.Known)
      .Bind(Sale.EndTotals.Volume)
      .Bind(Sale.EndTotals.Amount)
      .Bind(JoinFlags(Sale.Flags))
      .Bind(EndedMs)
      .Bind(SaleStateName(Sale.State))
      .Bind(Sale.Id)
      .Bind(Sale.Refund);
  return Close.Run() == 1;
}

TClaimResult TJournal::LockSale(std::int64_t Id, const std::string &Client) {
  RequireClient(Client);
  std::lock_guard Lock(Guard);
  TTransaction Step(*Db);
  const auto Claim = ReadClaim(*Db, Id);
  auto Result = TClaimResult::NotPayable;
  if (!Claim.Found)
    Result = TClaimResult::UnknownSale;
  else if (Claim.Observed)
    Result = TClaimResult::Observed;
  else if (Claim.State == TSaleState::Locked && Claim.Holder == Client)
    Result = TClaimResult::AlreadyDone;
  else if (Claim.State == TSaleState::Payable) {
    TStatement Update(*Db, "UPDATE sales SET state = 'locked', locked_by = ?, locked_ms = ? "
                           "WHERE id = ? AND state = 'payable'");
    Update.Bind(Client).Bind(NowEpochMs()).Bind(Id).Run();
    Result = TClaimResult::Done;
  }
  Step.Commit();
  return Result;
}

TClaimResult TJournal::ClearSale(std::int64_t Id, const std::string &Client) {
  RequireClient(Client);
  std::lock_guard Lock(Guard);
  TTransaction Step(*Db);
  const auto Claim = ReadClaim(*Db, Id);
  auto Result = TClaimResult::NotLocked;
  if (!Claim.Found)
    Result = TClaimResult::UnknownSale;
  else if (Claim.Observed)
    Result = TClaimResult::Observed;
  else if (Claim.State == TSaleState::Cleared)
    Result = Claim.Holder == Client ? TClaimResult::AlreadyDone : TClaimResult::AlreadyCleared;
  else if (Claim.State == TSaleState::Locked && Claim.Holder != Client)
    Result = TClaimResult::LockedByOther;
  else if (Claim.State == TSaleState::Locked) {
    TStatement Update(*Db, "UPDATE sales SET state = 'cleared', cleared_ms = ? "
                           "WHERE id = ? AND state = 'locked'");
    Update.Bind(NowEpochMs()).Bind(Id).Run();
    Result = TClaimResult::Done;
  }
  Step.Commit();
  return Result;
}

TClaimResult TJournal::UnlockSale(std::int64_t Id, const std::string &Client, bool Force) {
  RequireClient(Client);
  std::lock_guard Lock(Guard);
  TTransaction Step(*Db);
  const auto Claim = ReadClaim(*Db, Id);
  auto Result = TClaimResult::NotLocked;
  if (!Claim.Found)
    Result = TClaimResult::UnknownSale;
  else if (Claim.Observed)
    Result = TClaimResult::Observed;
  else if (Claim.State == TSaleState::Locked && Claim.Holder != Client && !Force)
    Result = TClaimResult::LockedByOther;
  else if (Claim.State == TSaleState::Locked) {
    TStatement Update(*Db, "UPDATE sales SET state = 'payable', locked_by = '', locked_ms = 0 "
                           "WHERE id = ? AND state = 'locked'");
    Update.Bind(Id).Run();
    Result = TClaimResult::Done;
  }
  Step.Commit();
  return Result;
}

std::vector<TSale> TJournal::ExpireLocks(std::int64_t LockedBeforeMs) {
  std::lock_guard Lock(Guard);
  TTransaction Step(*Db);
  TStatement Stale(*Db, "SELECT id FROM sales WHERE state = 'locked' AND locked_ms < ?");
  Stale.Bind(LockedBeforeMs);
  std::vector<std::int64_t> Ids;
  while (Stale.Step())
    Ids.push_back(Stale.Int(0));
  std::vector<TSale> Freed;
  for (const auto Id : Ids) {
    TStatement Update(*Db, "UPDATE sales SET state = 'payable', locked_by = '', locked_ms = 0 "
                           "WHERE id = ? AND state = 'locked'");
    Update.Bind(Id).Run();
    TStatement Query(*Db, std::string("SELECT ") + SaleColumns + " FROM sales WHERE id = ?");
    Query.Bind(Id);
    if (Query.Step())
      Freed.push_back(ReadSale(Query));
  }
  Step.Commit();
  return Freed;
}

std::optional<TSale> TJournal::Sale(std::int64_t Id) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, std::string("SELECT ") + SaleColumns + " FROM sales WHERE id = ?");
  Query.Bind(Id);
  if (!Query.Step())
    return std::nullopt;
  return ReadSale(Query);
}

std::vector<TSale> TJournal::Sales(const TSaleFilter &Filter) {
  std::lock_guard Lock(Guard);
  std::string Sql = std::string("SELECT ") + SaleColumns + " FROM sales WHERE 1";
  if (Filter.State)
    Sql += " AND state = ?";
  if (Filter.FromMs)
    Sql += " AND started_ms >= ?";
  if (Filter.ToMs)
    Sql += " AND started_ms < ?";
  Sql += " ORDER BY started_ms DESC, id DESC LIMIT ?";
  TStatement Query(*Db, Sql);
  if (Filter.State)
    Query.Bind(SaleStateName(*Filter.State));
  if (Filter.FromMs)
    Query.Bind(Filter.FromMs);
  if (Filter.ToMs)
    Query.Bind(Filter.ToMs);
  Query.Bind(Filter.Limit > 0 ? Filter.Limit : -1);
  return ReadSales(Query);
}

std::vector<TSale> TJournal::OpenSales() {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, std::string("SELECT ") + SaleColumns +
                            " FROM sales WHERE state = 'open' ORDER BY id");
  return ReadSales(Query);
}

std::optional<TSale> TJournal::LastSale(int Line, int Pump) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, std::string("SELECT ") + SaleColumns +
                            " FROM sales WHERE line = ? AND pump = ? ORDER BY id DESC LIMIT 1");
  Query.Bind(Line).Bind(Pump);
  if (!Query.Step())
    return std::nullopt;
  return ReadSale(Query);
}

std::map<TSaleState, std::int64_t> TJournal::CountByState() {
  std::lock_guard Lock(Guard);
  // Every state is present, with 0 when no sale is in it: a metric that
  // disappears is harder to watch than one at zero.
  std::map<TSaleState, std::int64_t> Counts{{TSaleState::Open, 0},
                                            {TSaleState::Payable, 0},
                                            {TSaleState::Locked, 0},
                                            {TSaleState::Cleared, 0}};
  TStatement Query(*Db, "SELECT state, COUNT(*) FROM sales GROUP BY state");
  while (Query.Step())
    if (const auto State = ParseSaleState(Query.Text(0)))
      Counts[*State] = Query.Int(1);
  return Counts;
}

std::vector<TSale> TJournal::UploadBacklog(int Limit) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, std::string("SELECT ") + SaleColumns +
                            " FROM sales WHERE uploaded = 0 AND state <> 'open' "
                            "ORDER BY id LIMIT ?");
  Query.Bind(Limit > 0 ? Limit : -1);
  return ReadSales(Query);
}

std::int64_t TJournal::UploadBacklogCount() {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, "SELECT COUNT(*) FROM sales WHERE uploaded = 0 AND state <> 'open'");
  Query.Step();
  return Query.Int(0);
}

int TJournal::MarkEach(const char *Update, const std::vector<std::int64_t> &Ids) {
  if (Ids.empty())
    return 0;
  std::lock_guard Lock(Guard);
  const auto Now = NowEpochMs();
  TTransaction Step(*Db);
  int Marked = 0;
  for (const auto Id : Ids) {
    TStatement Statement(*Db, Update);
    Marked += Statement.Bind(Now).Bind(Id).Run();
  }
  Step.Commit();
  return Marked;
}

int TJournal::MarkUploaded(const std::vector<std::int64_t> &Ids) {
  return MarkEach("UPDATE sales SET uploaded = 1, uploaded_ms = ? "
                  "WHERE id = ? AND uploaded = 0 AND state <> 'open'",
                  Ids);
}

std::int64_t TJournal::UploadedMs(std::int64_t Id) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, "SELECT uploaded_ms FROM sales WHERE id = ?");
  Query.Bind(Id);
  return Query.Step() ? Query.Int(0) : 0;
}

std::map<int, double> TJournal::Prices() {
  std::lock_guard Lock(Guard);
  std::map<int, double> Prices;
  TStatement Query(*Db, "SELECT grade, price FROM prices");
  while (Query.Step())
    Prices[static_cast<int>(Query.Int(0))] = Query.Real(1);
  return Prices;
}

void TJournal::SetPrices(const std::map<int, double> &Changes) {
  std::lock_guard Lock(Guard);
  const auto Now = NowEpochMs();
  TTransaction Step(*Db);
  for (const auto &[Grade, Price] : Changes) {
    TStatement Upsert(*Db, "INSERT INTO prices (grade, price, updated_ms) VALUES (?, ?, ?) "
                           "ON CONFLICT (grade) DO UPDATE SET price = excluded.price, "
                           "updated_ms = excluded.updated_ms");
    Upsert.Bind(Grade).Bind(Price).Bind(Now).Run();
  }
  Step.Commit();
}

std::optional<TTotals> TJournal::LastTotals(int Line, int Pump) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db,
                   "SELECT known, volume, amount FROM pump_totals WHERE line = ? AND pump = ?");
  Query.Bind(Line).Bind(Pump);
  if (!Query.Step())
    return std::nullopt;
  return TTotals{Query.Int(0) != 0, Query.Real(1), Query.Real(2)};
}

void TJournal::SetLastTotals(int Line, int Pump, const TTotals &Totals) {
  std::lock_guard Lock(Guard);
  WriteTotals(*Db, Line, Pump, Totals);
}

TAlarm TJournal::AddAlarm(const TAlarm &Alarm, const std::optional<TTotals> &Totals) {
  std::lock_guard Lock(Guard);
  TAlarm Added = Alarm;
  if (Added.AtMs == 0)
    Added.AtMs = NowEpochMs();
  TTransaction Step(*Db);
  TStatement Insert(*Db, "INSERT INTO alarms (line, pump, nozzle, volume, amount, at_ms, kind) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?)");
  Insert.Bind(Added.Line)
      .Bind(Added.Pump)
      .Bind(Added.Nozzle)
      .Bind(Added.Volume)
      .Bind(Added.Amount)
      .Bind(Added.AtMs)
      .Bind(Added.Kind)
      .Run();
  Added.Id = sqlite3_last_insert_rowid(Db->Handle);
  if (Totals)
    WriteTotals(*Db, Added.Line, Added.Pump, *Totals);
  Step.Commit();
  return Added;
}

std::vector<TAlarm> TJournal::Alarms(int Limit) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db,
                   "SELECT id, line, pump, nozzle, volume, amount, at_ms, kind FROM alarms "
                   "ORDER BY id DESC LIMIT ?");
  Query.Bind(Limit > 0 ? Limit : -1);
  std::vector<TAlarm> Found;
  while (Query.Step()) {
    TAlarm Alarm;
    Alarm.Id = Query.Int(0);
    Alarm.Line = static_cast<int>(Query.Int(1));
    Alarm.Pump = static_cast<int>(Query.Int(2));
    Alarm.Nozzle = static_cast<int>(Query.Int(3));
    Alarm.Volume = Query.Real(4);
    Alarm.Amount = Query.Real(5);
    Alarm.AtMs = Query.Int(6);
    Alarm.Kind = Query.Text(7);
    Found.push_back(std::move(Alarm));
  }
  return Found;
}

std::int64_t TJournal::SizeBytes() {
  std::lock_guard Lock(Guard);
  TStatement Pages(*Db, "SELECT page_count * page_size FROM pragma_page_count(), "
                        "pragma_page_size()");
  Pages.Step();
  std::int64_t Size = Pages.Int(0);
  std::error_code Missing;
  const auto Log = std::filesystem::file_size(Db->File + "-wal", Missing);
  if (!Missing)
    Size += static_cast<std::int64_t>(Log);
  return Size;
}

std::int64_t TJournal::BeginRun() {
  std::lock_guard Lock(Guard);
  TStatement Insert(*Db, "INSERT INTO service_runs (started_ms) VALUES (?)");
  Insert.Bind(NowEpochMs());
  Insert.Run();
  return sqlite3_last_insert_rowid(Db->Handle);
}

TJournal::TSettings TJournal::Settings() {
  std::lock_guard Lock(Guard);
  TSettings Settings;
  TStatement Mode(*Db, "PRAGMA journal_mode");
  Mode.Step();
  Settings.JournalMode = Mode.Text(0);
  TStatement Sync(*Db, "PRAGMA synchronous");
  Sync.Step();
  static const char *const SyncNames[] = {"off", "normal", "full", "extra"};
  const auto Level = Sync.Int(0);
  Settings.Synchronous = Level >= 0 && Level < 4 ? SyncNames[Level] : std::to_string(Level);
  TStatement Busy(*Db, "PRAGMA busy_timeout");
  Busy.Step();
  Settings.BusyTimeoutMs = static_cast<int>(Busy.Int(0));
  TStatement Version(*Db, "PRAGMA user_version");
  Version.Step();
  Settings.SchemaVersion = static_cast<int>(Version.Int(0));
  return Settings;
}

} // namespace de30::station
