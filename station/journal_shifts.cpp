// The journal's shifts: closing one and opening the next in one step, and the
// reports of closed shifts (station/shift.hpp).

#include "station/sqlite_db.hpp"

#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace de30::station {
namespace {

using TPumpKey = std::pair<int, int>;         // line, pump
using TNozzleKey = std::tuple<int, int, int>; // line, pump, nozzle
constexpr const char NotReadBefore[] = "the pump's totals were never read";

std::int64_t OpenShiftId(TConnection &Db, std::int64_t &OpenedMs) {
  TStatement Query(Db, "SELECT id, opened_ms FROM shifts WHERE closed_ms = 0");
  if (Query.Step()) {
    OpenedMs = Query.Int(1);
    return Query.Int(0);
  }
  // Only a journal whose open shift was removed by hand gets here.
  OpenedMs = NowEpochMs();
  TStatement Insert(Db, "INSERT INTO shifts (opened_ms) VALUES (?)");
  Insert.Bind(OpenedMs).Run();
  return sqlite3_last_insert_rowid(Db.Handle);
}

// The totals that part a pump's fuel of the shift closing from the next one's.
// With a sale open, its start totals: the sale belongs to the shift it closes
// in, and the pump keeps its end totals before it closes it. Otherwise the last
// ones kept (pump_totals), or the end totals of a sale that closed after them
// (whose totals the journal had not taken yet).
TShiftTotals CurrentTotals(TConnection &Db, int Line, int Pump) {
  TShiftTotals Now;
  TStatement Open(Db, "SELECT id, start_known, start_volume, start_amount, started_ms "
                      "FROM sales WHERE line = ? AND pump = ? AND state = 'open' "
                      "ORDER BY id LIMIT 1");
  Open.Bind(Line).Bind(Pump);
  if (Open.Step()) {
    Now.SaleId = Open.Int(0);
    Now.Known = Open.Int(1) != 0;
    Now.Volume = Now.Known ? Open.Real(2) : 0.0;
    Now.Amount = Now.Known ? Open.Real(3) : 0.0;
    Now.ReadMs = Open.Int(4);
    Now.Missing =
        Now.Known ? "" : "not read at the start of sale " + std::to_string(Now.SaleId);
    return Now;
  }
  Now.Missing = NotReadBefore;
  bool Kept = false;
  TStatement Last(Db, "SELECT known, volume, amount, updated_ms FROM pump_totals "
                      "WHERE line = ? AND pump = ?");
  Last.Bind(Line).Bind(Pump);
  if (Last.Step()) {
    Kept = true;
    Now.Known = Last.Int(0) != 0;
    Now.Volume = Last.Real(1);
    Now.Amount = Last.Real(2);
    Now.ReadMs = Last.Int(3);
    Now.Missing = Now.Known ? "" : "not read at the end of the pump's last sale";
  }
  TStatement Sale(Db, "SELECT id, end_known, end_volume, end_amount, ended_ms FROM sales "
                      "WHERE line = ? AND pump = ? AND state <> 'open' "
                      "ORDER BY id DESC LIMIT 1"); // a pump's sales follow one another
  Sale.Bind(Line).Bind(Pump);
  if (Sale.Step() && (!Kept || Sale.Int(4) > Now.ReadMs)) {
    Now.SaleId = Sale.Int(0);
    Now.Known = Sale.Int(1) != 0;
    Now.Volume = Now.Known ? Sale.Real(2) : 0.0;
    Now.Amount = Now.Known ? Sale.Real(3) : 0.0;
    Now.ReadMs = Sale.Int(4);
    Now.Missing = Now.Known ? "" : "not read at the end of sale " + std::to_string(Now.SaleId);
  }
  if (!Now.Known) {
    Now.Volume = 0.0;
    Now.Amount = 0.0;
  }
  return Now;
}

std::optional<TShiftTotals> StoredTotals(TConnection &Db, std::int64_t Shift, int Line,
                                         int Pump) {
  TStatement Query(Db, "SELECT known, volume, amount, read_ms, sale, missing FROM "
                       "shift_totals WHERE shift = ? AND line = ? AND pump = ?");
  Query.Bind(Shift).Bind(Line).Bind(Pump);
  if (!Query.Step())
    return std::nullopt;
  return TShiftTotals{Query.Int(0) != 0, Query.Real(1), Query.Real(2),
                      Query.Int(3),      Query.Int(4),  Query.Text(5)};
}

TShiftTotals Unknown(const std::string &Why) {
  TShiftTotals Totals;
  Totals.Missing = Why;
  return Totals;
}

// The pumps' totals now become the open of shift Next.
void KeepTotals(TConnection &Db, std::int64_t Next, const std::set<TPumpKey> &Pumps) {
  for (const auto &[Line, Pump] : Pumps) {
    const TShiftTotals Now = CurrentTotals(Db, Line, Pump);
    if (!Now.Known && Now.Missing == NotReadBefore)
      continue; // nothing read: no row, and the report says so
    TStatement Insert(Db, "INSERT INTO shift_totals (shift, line, pump, known, volume, amount, "
                          "read_ms, sale, missing) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    Insert.Bind(Next)
        .Bind(Line)
        .Bind(Pump)
        .Bind(Now.Known)
        .Bind(Now.Volume)
        .Bind(Now.Amount)
        .Bind(Now.ReadMs)
        .Bind(Now.SaleId)
        .Bind(Now.Missing)
        .Run();
  }
}

// The nozzles' rows of shift Id, closed by the totals kept for shift Next.
std::vector<TShiftNozzle> CountNozzles(TConnection &Db, std::int64_t Id, std::int64_t Next,
                                       const std::vector<TShiftCounter> &Counters) {
  std::map<TNozzleKey, TShiftNozzle> Rows;
  std::map<TNozzleKey, std::string> NotOwn;
  for (const auto &Counter : Counters) {
    const TNozzleKey Key{Counter.Line, Counter.Pump, Counter.Nozzle};
    auto &Row = Rows[Key];
    Row.Line = Counter.Line;
    Row.Pump = Counter.Pump;
    Row.Nozzle = Counter.Nozzle;
    Row.Grade = Counter.Grade;
    NotOwn[Key] = Counter.NotOwn;
  }
  TStatement Sums(Db, "SELECT line, pump, nozzle, MAX(grade), COUNT(*), TOTAL(volume), "
                      "TOTAL(amount) FROM sales WHERE shift = ? GROUP BY line, pump, nozzle");
  Sums.Bind(Id);
  while (Sums.Step()) {
    const TNozzleKey Key{static_cast<int>(Sums.Int(0)), static_cast<int>(Sums.Int(1)),
                         static_cast<int>(Sums.Int(2))};
    auto [Found, New] = Rows.try_emplace(Key);
    auto &Row = Found->second;
    if (New) {
      Row.Line = std::get<0>(Key);
      Row.Pump = std::get<1>(Key);
      Row.Nozzle = std::get<2>(Key);
      Row.Grade = static_cast<int>(Sums.Int(3));
      NotOwn[Key] = Row.Nozzle == 0 ? "the nozzle of these sales is not known"
                                    : "not a nozzle of the configuration";
    }
    Row.Sales = Sums.Int(4);
    Row.Volume = Sums.Real(5);
    Row.Amount = Sums.Real(6);
  }
  std::vector<TShiftNozzle> All;
  for (auto &[Key, Row] : Rows) {
    const std::string &Why = NotOwn[Key];
    if (!Why.empty()) {
      Row.Open = Unknown(Why);
      Row.Close = Unknown(Why);
    } else {
      Row.Open = StoredTotals(Db, Id, Row.Line, Row.Pump)
                     .value_or(Unknown("not read before the shift opened"));
      Row.Close = StoredTotals(Db, Next, Row.Line, Row.Pump).value_or(Unknown(NotReadBefore));
    }
    All.push_back(std::move(Row));
  }
  return All;
}

void StoreNozzles(TConnection &Db, std::int64_t Id, const std::vector<TShiftNozzle> &Rows) {
  for (const auto &Row : Rows) {
    TStatement Insert(Db,
                      "INSERT INTO shift_nozzles (shift, line, pump, nozzle, grade, "
                      "open_known, open_volume, open_amount, open_read_ms, open_sale, "
                      "open_missing, close_known, close_volume, close_amount, "
                      "close_read_ms, close_sale, close_missing, sales, volume, amount) "
                      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    Insert.Bind(Id).Bind(Row.Line).Bind(Row.Pump).Bind(Row.Nozzle).Bind(Row.Grade);
    for (const auto *Totals : {&Row.Open, &Row.Close})
      Insert.Bind(Totals->Known)
          .Bind(Totals->Volume)
          .Bind(Totals->Amount)
          .Bind(Totals->ReadMs)
          .Bind(Totals->SaleId)
          .Bind(Totals->Missing);
    Insert.Bind(Row.Sales).Bind(Row.Volume).Bind(Row.Amount).Run();
  }
}

TShiftTotals ReadTotals(const TStatement &Row, int From) {
  return TShiftTotals{Row.Int(From) != 0, Row.Real(From + 1), Row.Real(From + 2),
                      Row.Int(From + 3),  Row.Int(From + 4),  Row.Text(From + 5)};
}

// Everything of shift Id but its nozzles' rows.
std::optional<TShift> ReadHead(TConnection &Db, std::int64_t Id) {
  TStatement Query(Db, "SELECT id, opened_ms, closed_ms, closed_by, uploaded FROM shifts "
                       "WHERE id = ?");
  Query.Bind(Id);
  if (!Query.Step())
    return std::nullopt;
  TShift Shift;
  Shift.Id = Query.Int(0);
  Shift.OpenedMs = Query.Int(1);
  Shift.ClosedMs = Query.Int(2);
  Shift.ClosedBy = Query.Text(3);
  Shift.Uploaded = Query.Int(4) != 0;
  return Shift;
}

// The rest, from what the close recorded and from the sales that belong to it.
void ReadBody(TConnection &Db, TShift &Shift, bool WithNozzles) {
  if (WithNozzles) {
    TStatement Nozzles(Db, "SELECT line, pump, nozzle, grade, open_known, open_volume, "
                           "open_amount, open_read_ms, open_sale, open_missing, close_known, "
                           "close_volume, close_amount, close_read_ms, close_sale, "
                           "close_missing, sales, volume, amount FROM shift_nozzles "
                           "WHERE shift = ? ORDER BY line, pump, nozzle");
    Nozzles.Bind(Shift.Id);
    while (Nozzles.Step()) {
      TShiftNozzle Row;
      Row.Line = static_cast<int>(Nozzles.Int(0));
      Row.Pump = static_cast<int>(Nozzles.Int(1));
      Row.Nozzle = static_cast<int>(Nozzles.Int(2));
      Row.Grade = static_cast<int>(Nozzles.Int(3));
      Row.Open = ReadTotals(Nozzles, 4);
      Row.Close = ReadTotals(Nozzles, 10);
      Row.Sales = Nozzles.Int(16);
      Row.Volume = Nozzles.Real(17);
      Row.Amount = Nozzles.Real(18);
      Shift.Nozzles.push_back(std::move(Row));
    }
  }
  TStatement Grades(Db, "SELECT grade, COUNT(*), TOTAL(volume), TOTAL(amount) FROM sales "
                        "WHERE shift = ? GROUP BY grade ORDER BY grade");
  Grades.Bind(Shift.Id);
  while (Grades.Step())
    Shift.Grades.push_back(TShiftGrade{static_cast<int>(Grades.Int(0)), Grades.Int(1),
                                       Grades.Real(2), Grades.Real(3)});
  TStatement Clients(Db, "SELECT locked_by, COUNT(*), TOTAL(volume), TOTAL(amount) FROM sales "
                         "WHERE cleared_in = ? AND locked_by <> '' GROUP BY locked_by "
                         "ORDER BY locked_by");
  Clients.Bind(Shift.Id);
  while (Clients.Step())
    Shift.Clients.push_back(
        TShiftClient{Clients.Text(0), Clients.Int(1), Clients.Real(2), Clients.Real(3)});
  TStatement Pending(Db, "SELECT p.sale, s.line, s.pump, p.state, p.locked_by, p.volume, "
                         "p.amount, s.started_ms, s.ended_ms FROM shift_pending p "
                         "JOIN sales s ON s.id = p.sale WHERE p.shift = ? ORDER BY p.sale");
  Pending.Bind(Shift.Id);
  while (Pending.Step()) {
    TShiftPending Sale;
    Sale.SaleId = Pending.Int(0);
    Sale.Line = static_cast<int>(Pending.Int(1));
    Sale.Pump = static_cast<int>(Pending.Int(2));
    Sale.State = ParseSaleState(Pending.Text(3)).value_or(TSaleState::Open);
    Sale.LockedBy = Pending.Text(4);
    Sale.Volume = Pending.Real(5);
    Sale.Amount = Pending.Real(6);
    Sale.StartedMs = Pending.Int(7);
    Sale.EndedMs = Sale.State == TSaleState::Open ? 0 : Pending.Int(8);
    Shift.Pending.push_back(std::move(Sale));
  }
}

// Closes the open shift inside the caller's transaction; the closed shift.
TShift CloseOpen(TConnection &Db, const std::string &Client,
                 const std::vector<TShiftCounter> &Counters, std::int64_t Id,
                 std::int64_t OpenedMs) {
  const std::int64_t Now = std::max(NowEpochMs(), OpenedMs + 1);
  TStatement Close(Db, "UPDATE shifts SET closed_ms = ?, closed_by = ? WHERE id = ?");
  Close.Bind(Now).Bind(Client).Bind(Id).Run();
  TStatement Open(Db, "INSERT INTO shifts (opened_ms) VALUES (?)");
  Open.Bind(Now).Run();
  const std::int64_t Next = sqlite3_last_insert_rowid(Db.Handle);

  std::set<TPumpKey> Pumps;
  for (const auto &Counter : Counters)
    Pumps.emplace(Counter.Line, Counter.Pump);
  TStatement Known(Db, "SELECT line, pump FROM pump_totals");
  while (Known.Step())
    Pumps.emplace(static_cast<int>(Known.Int(0)), static_cast<int>(Known.Int(1)));
  KeepTotals(Db, Next, Pumps);

  // Each sale is taken by one close only: the column is set once.
  TStatement Belong(Db, "UPDATE sales SET shift = ? WHERE shift IS NULL AND state <> 'open'");
  Belong.Bind(Id).Run();
  TStatement Cleared(Db, "UPDATE sales SET cleared_in = ? "
                         "WHERE cleared_in IS NULL AND state = 'cleared'");
  Cleared.Bind(Id).Run();
  // A sale heard on a tap line is paid at the other controller: once it is over
  // it waits for nobody here.
  TStatement Pending(Db, "INSERT INTO shift_pending (shift, sale, state, locked_by, volume, "
                         "amount) SELECT ?, id, state, locked_by, volume, amount FROM sales "
                         "WHERE state IN ('open', 'payable', 'locked') "
                         "AND NOT (observed AND state <> 'open')");
  Pending.Bind(Id).Run();
  StoreNozzles(Db, Id, CountNozzles(Db, Id, Next, Counters));

  TShift Closed = *ReadHead(Db, Id);
  ReadBody(Db, Closed, true);
  return Closed;
}

} // namespace

std::optional<TShift> TJournal::CloseShift(const std::string &Client,
                                           const std::vector<TShiftCounter> &Counters,
                                           std::optional<std::int64_t> Expected) {
  if (Client.empty())
    throw std::invalid_argument("a shift is closed by a named client");
  std::lock_guard Lock(Guard);
  TTransaction Step(*Db);
  std::int64_t OpenedMs = 0;
  const std::int64_t Id = OpenShiftId(*Db, OpenedMs);
  if (Expected && *Expected != Id)
    return std::nullopt;
  TShift Closed = CloseOpen(*Db, Client, Counters, Id, OpenedMs);
  Step.Commit();
  return Closed;
}

TShift TJournal::ShiftSoFar(const std::vector<TShiftCounter> &Counters) {
  std::lock_guard Lock(Guard);
  // The close itself, taken back: the figures are the ones a close now would give.
  TTransaction Step(*Db);
  std::int64_t OpenedMs = 0;
  const std::int64_t Id = OpenShiftId(*Db, OpenedMs);
  TShift SoFar = CloseOpen(*Db, "-", Counters, Id, OpenedMs);
  SoFar.ClosedMs = 0;
  SoFar.ClosedBy.clear();
  return SoFar;
}

std::optional<TShift> TJournal::Shift(std::int64_t Id) {
  std::lock_guard Lock(Guard);
  auto Found = ReadHead(*Db, Id);
  if (Found && Found->Closed())
    ReadBody(*Db, *Found, true);
  return Found;
}

std::vector<TShift> TJournal::Shifts(int Limit) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, "SELECT id FROM shifts ORDER BY id DESC LIMIT ?");
  Query.Bind(Limit > 0 ? Limit : -1);
  std::vector<std::int64_t> Ids;
  while (Query.Step())
    Ids.push_back(Query.Int(0));
  std::vector<TShift> All;
  for (const auto Id : Ids) {
    auto Found = ReadHead(*Db, Id);
    if (!Found)
      continue;
    if (Found->Closed())
      ReadBody(*Db, *Found, true);
    All.push_back(std::move(*Found));
  }
  return All;
}

std::vector<TShift> TJournal::ShiftBacklog(int Limit) {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, "SELECT id FROM shifts WHERE uploaded = 0 AND closed_ms <> 0 "
                        "ORDER BY id LIMIT ?");
  Query.Bind(Limit > 0 ? Limit : -1);
  std::vector<std::int64_t> Ids;
  while (Query.Step())
    Ids.push_back(Query.Int(0));
  std::vector<TShift> Due;
  for (const auto Id : Ids)
    if (auto Found = ReadHead(*Db, Id)) {
      ReadBody(*Db, *Found, true);
      Due.push_back(std::move(*Found));
    }
  return Due;
}

std::int64_t TJournal::ShiftBacklogCount() {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, "SELECT COUNT(*) FROM shifts WHERE uploaded = 0 AND closed_ms <> 0");
  Query.Step();
  return Query.Int(0);
}

int TJournal::MarkShiftsUploaded(const std::vector<std::int64_t> &Ids) {
  return MarkEach("UPDATE shifts SET uploaded = 1, uploaded_ms = ? "
                  "WHERE id = ? AND uploaded = 0 AND closed_ms <> 0",
                  Ids);
}

} // namespace de30::station
