#pragma once
// The sale journal: one SQLite file in WAL mode with synchronous FULL, so a step
// that returned is on disk whatever is killed afterwards. Every durable step is
// one transaction. It holds the sales, the station's prices and, per pump, the
// last totals seen (to notice totals that moved without a sale).
//
// One TJournal may be used from several threads: calls are serialised inside.

#include "station/sale.hpp"

#include <filesystem>
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

// What a lock or clear request came to.
enum class TClaimResult {
  Done,           // locked / cleared now
  AlreadyDone,    // the same client repeated a clear (or a lock) that had succeeded
  UnknownSale,    // no sale with that id
  NotPayable,     // lock: the sale is open, locked by someone else, or cleared
  NotLocked,      // clear: the sale is open or payable (lock it first)
  LockedByOther,  // clear: another client holds the lock
  AlreadyCleared, // clear: cleared before, by another client
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

  // Records a start of the service and returns its run number: 1 for the first,
  // then one more with every start, never reused.
  std::int64_t BeginRun();

  // The database file and its write-ahead log.
  std::int64_t SizeBytes();

  // The schema this release writes (PRAGMA user_version). A file of a newer
  // release is refused; an older one is migrated when it is opened, in one
  // transaction.
  static constexpr int SchemaVersion = 4;
  // What the connection actually runs with, as SQLite reports it.
  struct TSettings {
    std::string JournalMode; // "wal"
    std::string Synchronous; // "full"
    int BusyTimeoutMs = 0;
    int SchemaVersion = 0;
  };
  TSettings Settings();

private:
  struct TDb;
  std::unique_ptr<TDb> Db;
  std::mutex Guard;
};

} // namespace de30::station
