#pragma once
// The sale journal: one SQLite file in WAL mode with synchronous FULL, so a step
// that returned is on disk whatever is killed afterwards. Every durable step is
// one transaction. It holds the sales, the station's prices, per pump the last
// totals seen (to notice totals that moved without a sale), and the alarms.
//
// One TJournal may be used from several threads: calls are serialised inside.

#include "station/alarm.hpp"
#include "station/reservation.hpp"
#include "station/sale.hpp"
#include "station/shift.hpp"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace de30::station {

// The journal cannot be opened or written. A sale step that fails with it has not
// happened: the caller must not report it.
class EJournalError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Whether the journal takes writes. A step that fails marks it failing, with the
// error, until a write goes through again; a watcher (the log) hears each change
// of condition once, not every failed step.
class TJournalHealth {
public:
  struct TState {
    bool Failing = false;
    std::string Error;          // the first failure of this spell, or the last one
    std::int64_t SinceMs = 0;   // wall clock, when it began failing
    std::uint64_t Failures = 0; // failed steps since the service started
    // Out of room (a full disk, or the configured size reached): a write that
    // fits in the room left proves nothing; only Probe() clears it.
    bool Full = false;
  };
  TState State() const;
  // Called with the new state by the step that changed it; it must not use the
  // journal.
  void Watch(std::function<void(const TState &)> OnChange);
  void Failed(const std::string &Error, bool Full);
  void Wrote();
  // The journal has room again (checked by TJournal::Probe).
  void Recovered();

private:
  // Ends the spell; a full journal only when EvenIfFull (Recovered).
  void Clear(bool EvenIfFull);
  mutable std::mutex Guard;
  std::atomic<bool> Failing{false}; // Now.Failing, read without the lock by Wrote()
  TState Now;
  std::function<void(const TState &)> Watcher;
};

// What a lock or clear request came to.
enum class TClaimResult {
  Done,           // locked / cleared now
  AlreadyDone,    // the same client repeated a clear (or a lock) that had succeeded
  UnknownSale,    // no sale with that id
  NotPayable,     // lock: the sale is open, locked by someone else, or cleared
  NotLocked,      // clear: the sale is open or payable (lock it first)
  LockedByOther,  // clear: another client holds the lock
  AlreadyCleared, // clear: cleared before, by another client
  Observed,       // a sale heard on a tap line: another controller's to settle
};
const char *ClaimResultCode(TClaimResult Result); // e.g. "unknown_sale"

struct TSaleFilter {
  std::optional<TSaleState> State;
  std::int64_t FromMs = 0; // started at or after; 0 for no bound
  std::int64_t ToMs = 0;   // started before; 0 for no bound
  int Limit = 1000;        // newest first; 0 or less for no limit
};

class TJournal {
public:
  // How long a step waits for another writer (a maintenance tool holding the file
  // for a moment) before it fails: long enough for such a tool, short enough that
  // a journal stuck behind it fails the step, and the caller refuses it, instead
  // of stalling its line.
  static constexpr int DefaultBusyTimeoutMs = 5000;

  // Opens or creates the file (and its folder). EJournalError when it cannot.
  explicit TJournal(const std::filesystem::path &File,
                    int BusyTimeoutMs = DefaultBusyTimeoutMs);
  ~TJournal();
  TJournal(const TJournal &) = delete;
  TJournal &operator=(const TJournal &) = delete;

  // Records a new open sale and returns it with its id. Sale.Id is ignored.
  TSale OpenSale(const TSale &Sale);
  // Updates an open sale's nozzle, grade, price, volume, amount and flags (fill
  // progress, a sale not yet settled).
  // False when the sale is not open: a closed sale never changes again.
  bool UpdateSale(const TSale &Sale);
  // Ends an open sale: end totals, volume, amount, flags, end time (now when
  // EndedMs is 0), and the state (payable, or cleared for an empty sale; any other
  // state is std::invalid_argument). A nozzle, grade or price of 0 keeps what the
  // journal holds. False when the sale was not open (already closed: a second
  // close changes nothing, so no sale is counted twice).
  bool CloseSale(const TSale &Sale);

  // Client names who holds a sale; an empty name is std::invalid_argument (it
  // could not be told apart from "nobody").
  TClaimResult LockSale(std::int64_t Id, const std::string &Client);
  TClaimResult ClearSale(std::int64_t Id, const std::string &Client);

  // Takes a lock back: the sale is payable again. Another client's lock only with
  // Force. NotLocked when the sale is not locked (payable, open or cleared).
  TClaimResult UnlockSale(std::int64_t Id, const std::string &Client, bool Force);
  // Locks taken before LockedBeforeMs (wall clock) go back to payable, in one
  // step; the sales they freed, as they are now.
  std::vector<TSale> ExpireLocks(std::int64_t LockedBeforeMs);

  // Answers to requests a client may repeat (an Idempotency-Key), kept by client
  // and key so that a repeat, after a time-out or a restart, gets the first answer
  // instead of acting twice.
  struct TStoredAnswer {
    enum class TState {
      New,      // first time: recorded as running; the caller acts, then Finish
      Running,  // the first request has not answered yet
      Answered, // Status and Body are the first answer
      Mismatch, // the key was used for a different request
    } State = TState::New;
    int Status = 0;
    std::string Body;
  };
  // Fingerprint tells requests apart (method, path, body). Keys older than
  // KeepMs are forgotten first.
  TStoredAnswer BeginRequest(const std::string &Client, const std::string &Key,
                             const std::string &Fingerprint, std::int64_t KeepMs);
  void FinishRequest(const std::string &Client, const std::string &Key, int Status,
                     const std::string &Body);
  // The request ended without an answer worth repeating: the key may be used again.
  void ForgetRequest(const std::string &Client, const std::string &Key);
  // Requests still running when the service stopped may or may not have acted:
  // each gets Status and Body as its answer. How many there were.
  int SettleRunningRequests(int Status, const std::string &Body);

  // Pumps held for one client: one record per reservation, from its start to its
  // end.
  // Records a reservation, ending the pump's current one (Reason "replaced").
  TReservation Reserve(const TReservation &Reservation);
  // Ends the pump's active reservation with Reason ("released", "expired",
  // "cleared"); false when it had none.
  bool EndReservation(int Line, int Pump, const std::string &Reason);
  std::vector<TReservation> ActiveReservations();

  std::optional<TSale> Sale(std::int64_t Id);
  std::vector<TSale> Sales(const TSaleFilter &Filter);
  std::vector<TSale> OpenSales();
  // The newest sale of a pump, if any.
  std::optional<TSale> LastSale(int Line, int Pump);
  // Sales by state, for metrics.
  std::map<TSaleState, std::int64_t> CountByState();

  // The head-office uplink's side of the journal. A sale is due for upload once it
  // has closed (payable, locked or cleared) and until the broker has acknowledged
  // it; the mark only ever goes from not uploaded to uploaded.
  // Due sales, lowest id first, at most Limit (0 or less for all).
  std::vector<TSale> UploadBacklog(int Limit);
  std::int64_t UploadBacklogCount();
  // Marks closed sales uploaded, all in one transaction; the number marked now
  // (an open, unknown or already marked sale is left as it is).
  int MarkUploaded(const std::vector<std::int64_t> &Ids);
  // When the sale was marked uploaded (milliseconds since the epoch), 0 for not yet.
  std::int64_t UploadedMs(std::int64_t Id);

  // Station prices, grade number to price.
  std::map<int, double> Prices();
  void SetPrices(const std::map<int, double> &Changes);

  // The last totals read from a pump, kept across restarts.
  std::optional<TTotals> LastTotals(int Line, int Pump);
  void SetLastTotals(int Line, int Pump, const TTotals &Totals);

  // Fuel that went out without a sale. Records the alarm (AtMs now when 0) and
  // returns it with its id; with Totals, the pump's last totals become them in
  // the same step, so the totals that showed the fuel never replace the ones
  // before it without the alarm (a step that fails leaves both as they were).
  TAlarm AddAlarm(const TAlarm &Alarm, const std::optional<TTotals> &Totals = std::nullopt);
  // The newest alarms first, at most Limit (0 or less for all).
  std::vector<TAlarm> Alarms(int Limit);

  // Shifts (station/shift.hpp). There is always one open shift: the first opens
  // with the journal. Closes the open shift and opens the next, in one step: each
  // pump's last totals read (with a sale open, its start totals) become the
  // close of the one and the open of the other, the sales closed since the last
  // close are counted in it, and the sales not cleared are listed. Counters names the
  // configured nozzles. With Expected, only when the open shift is that one (nullopt otherwise:
  // nothing changed).
  std::optional<TShift> CloseShift(const std::string &Client,
                                   const std::vector<TShiftCounter> &Counters,
                                   std::optional<std::int64_t> Expected = std::nullopt);
  // The open shift as it would close now (ClosedMs 0); nothing is written.
  TShift ShiftSoFar(const std::vector<TShiftCounter> &Counters);
  std::optional<TShift> Shift(std::int64_t Id);
  // The newest first, the open one included, at most Limit (0 or less for all).
  std::vector<TShift> Shifts(int Limit);
  // Closed shifts the head office has not acknowledged, lowest id first.
  std::vector<TShift> ShiftBacklog(int Limit);
  std::int64_t ShiftBacklogCount();
  // Marks closed shifts uploaded in one step; the number marked now.
  int MarkShiftsUploaded(const std::vector<std::int64_t> &Ids);

  // Records a start of the service and returns its run number: 1 for the first,
  // then one more with every start, never reused.
  std::int64_t BeginRun();

  // The database file and its write-ahead log.
  std::int64_t SizeBytes();
  // While the journal is failing, tries whether it would take writes again
  // (the write lock can be had; there is room to grow) and clears the condition
  // when it would. Cheap when it is not failing. Run about once a second.
  void Probe();
  // Caps the database file near Bytes (never below what it already holds): a step
  // that would grow it further fails as on a full disk.
  void LimitSize(std::int64_t Bytes);

  // The schema this release writes (PRAGMA user_version). A file of a newer
  // release is refused; an older one is migrated when it is opened, in one
  // transaction.
  static constexpr int SchemaVersion = 8;
  // What the connection actually runs with, as SQLite reports it.
  struct TSettings {
    std::string JournalMode; // "wal"
    std::string Synchronous; // "full"
    int BusyTimeoutMs = 0;
    int SchemaVersion = 0;
  };
  TSettings Settings();

  // The condition of the journal's writes (the log, line health and metrics).
  TJournalHealth &Health() { return Condition; }

private:
  // Runs Update (its parameters: now, then an id) for each of Ids in one step;
  // the number of rows it changed.
  int MarkEach(const char *Update, const std::vector<std::int64_t> &Ids);

  TJournalHealth Condition;
  struct TDb;
  std::unique_ptr<TDb> Db;
  std::mutex Guard;
};

} // namespace de30::station
