// The journal's records beside the sales: the answers kept for repeated
// requests, the pumps' reservations, and the condition of its writes.

#include "station/sqlite_db.hpp"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace de30::station {

TJournalHealth::TState TJournalHealth::State() const {
  std::lock_guard Lock(Guard);
  return Now;
}

void TJournalHealth::Watch(std::function<void(const TState &)> OnChange) {
  std::lock_guard Lock(Guard);
  Watcher = std::move(OnChange);
}

void TJournalHealth::Failed(const std::string &Error, bool Full) {
  std::function<void(const TState &)> Tell;
  TState Changed;
  {
    std::lock_guard Lock(Guard);
    ++Now.Failures;
    if (Now.Failing) {
      Now.Full = Now.Full || Full;
      return;
    }
    Now.Failing = true;
    Now.Full = Full;
    Failing = true;
    Now.Error = Error;
    Now.SinceMs = NowEpochMs();
    Tell = Watcher;
    Changed = Now;
  }
  if (Tell)
    Tell(Changed);
}

void TJournalHealth::Wrote() {
  // Every write comes here: only a change of condition takes the lock.
  if (Failing.load(std::memory_order_relaxed))
    Clear(false);
}

void TJournalHealth::Recovered() { Clear(true); }

void TJournalHealth::Clear(bool EvenIfFull) {
  std::function<void(const TState &)> Tell;
  TState Changed;
  {
    std::lock_guard Lock(Guard);
    if (!Now.Failing || (Now.Full && !EvenIfFull))
      return;
    Now.Failing = false;
    Now.Full = false;
    Failing = false;
    Tell = Watcher;
    Changed = Now;
  }
  if (Tell)
    Tell(Changed);
}

void TJournal::Probe() {
  const auto Now = Health().State();
  if (!Now.Failing)
    return;
  std::lock_guard Lock(Guard);
  try {
    if (Now.Full) {
      // Room in the file's own limit, and on the disk for the log to grow.
      TStatement Pages(*Db, "SELECT page_count < max_page_count FROM pragma_page_count(), "
                            "pragma_max_page_count()");
      Pages.Step();
      const auto Folder = std::filesystem::path(Db->File).parent_path();
      std::error_code Failed;
      const auto Space = std::filesystem::space(Folder.empty() ? "." : Folder, Failed);
      constexpr std::uintmax_t Room = 1 << 20;
      if (Pages.Int(0) != 0 && !Failed && Space.available >= Room)
        Health().Recovered();
      return;
    }
    // The write lock can be had: whoever held it has let go.
    TTransaction Step(*Db);
    Step.Commit();
  } catch (const EJournalError &) {
    // Still failing; the condition says so already.
  }
}

TJournal::TStoredAnswer TJournal::BeginRequest(const std::string &Client,
                                               const std::string &Key,
                                               const std::string &Fingerprint,
                                               std::int64_t KeepMs) {
  std::lock_guard Lock(Guard);
  const auto Now = NowEpochMs();
  TTransaction Step(*Db);
  TStatement Forget(*Db, "DELETE FROM requests WHERE created_ms < ?");
  Forget.Bind(Now - KeepMs).Run();
  TStatement Query(*Db, "SELECT fingerprint, status, body FROM requests "
                        "WHERE client = ? AND key = ?");
  Query.Bind(Client).Bind(Key);
  TStoredAnswer Answer;
  if (Query.Step()) {
    if (Query.Text(0) != Fingerprint)
      Answer.State = TStoredAnswer::TState::Mismatch;
    else if (Query.Int(1) == 0)
      Answer.State = TStoredAnswer::TState::Running;
    else {
      Answer.State = TStoredAnswer::TState::Answered;
      Answer.Status = static_cast<int>(Query.Int(1));
      Answer.Body = Query.Text(2);
    }
  } else {
    TStatement Insert(*Db, "INSERT INTO requests (client, key, fingerprint, created_ms) "
                           "VALUES (?, ?, ?, ?)");
    Insert.Bind(Client).Bind(Key).Bind(Fingerprint).Bind(Now).Run();
  }
  Step.Commit();
  return Answer;
}

void TJournal::FinishRequest(const std::string &Client, const std::string &Key, int Status,
                             const std::string &Body) {
  std::lock_guard Lock(Guard);
  TStatement Update(*Db,
                    "UPDATE requests SET status = ?, body = ? WHERE client = ? AND key = ?");
  Update.Bind(Status).Bind(Body).Bind(Client).Bind(Key).Run();
}

void TJournal::ForgetRequest(const std::string &Client, const std::string &Key) {
  std::lock_guard Lock(Guard);
  TStatement Delete(*Db, "DELETE FROM requests WHERE client = ? AND key = ? AND status = 0");
  Delete.Bind(Client).Bind(Key).Run();
}

int TJournal::SettleRunningRequests(int Status, const std::string &Body) {
  std::lock_guard Lock(Guard);
  TStatement Update(*Db, "UPDATE requests SET status = ?, body = ? WHERE status = 0");
  return Update.Bind(Status).Bind(Body).Run();
}

void TJournal::LimitSize(std::int64_t Bytes) {
  std::lock_guard Lock(Guard);
  TStatement Size(*Db, "PRAGMA page_size");
  Size.Step();
  const std::int64_t Page = std::max<std::int64_t>(Size.Int(0), 512);
  const std::int64_t Pages = std::max<std::int64_t>(1, (Bytes + Page - 1) / Page);
  TStatement Limit(*Db, "PRAGMA max_page_count = " + std::to_string(Pages));
  Limit.Step();
}

namespace {

TReservation ReadReservation(const TStatement &Row) {
  TReservation Reservation;
  Reservation.Id = Row.Int(0);
  Reservation.Line = static_cast<int>(Row.Int(1));
  Reservation.Pump = static_cast<int>(Row.Int(2));
  Reservation.Client = Row.Text(3);
  Reservation.SinceMs = Row.Int(4);
  Reservation.UntilMs = Row.Int(5);
  return Reservation;
}

void EndActive(TConnection &Db, int Line, int Pump, const std::string &Reason, bool &Ended) {
  TStatement End(Db, "UPDATE reservations SET ended_ms = ?, end_reason = ? "
                     "WHERE line = ? AND pump = ? AND ended_ms = 0");
  Ended = End.Bind(NowEpochMs()).Bind(Reason).Bind(Line).Bind(Pump).Run() > 0;
}

} // namespace

TReservation TJournal::Reserve(const TReservation &Reservation) {
  if (Reservation.Client.empty())
    throw std::invalid_argument("a pump is reserved for a named client");
  std::lock_guard Lock(Guard);
  TTransaction Step(*Db);
  bool Replaced = false;
  EndActive(*Db, Reservation.Line, Reservation.Pump, "replaced", Replaced);
  TStatement Insert(*Db, "INSERT INTO reservations (line, pump, client, since_ms, until_ms) "
                         "VALUES (?, ?, ?, ?, ?)");
  Insert.Bind(Reservation.Line)
      .Bind(Reservation.Pump)
      .Bind(Reservation.Client)
      .Bind(Reservation.SinceMs)
      .Bind(Reservation.UntilMs)
      .Run();
  TReservation Made = Reservation;
  Made.Id = sqlite3_last_insert_rowid(Db->Handle);
  Step.Commit();
  return Made;
}

bool TJournal::EndReservation(int Line, int Pump, const std::string &Reason) {
  std::lock_guard Lock(Guard);
  bool Ended = false;
  EndActive(*Db, Line, Pump, Reason, Ended);
  return Ended;
}

std::vector<TReservation> TJournal::ActiveReservations() {
  std::lock_guard Lock(Guard);
  TStatement Query(*Db, "SELECT id, line, pump, client, since_ms, until_ms FROM reservations "
                        "WHERE ended_ms = 0 ORDER BY line, pump");
  std::vector<TReservation> All;
  while (Query.Step())
    All.push_back(ReadReservation(Query));
  return All;
}

} // namespace de30::station
