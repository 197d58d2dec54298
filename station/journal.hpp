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
  int Limit = 1000;        // newest first
};

class TJournal {
public:
  // Opens or creates the file (and its folder). EJournalError when it cannot.
  explicit TJournal(const std::filesystem::path &File);
  ~TJournal();
  TJournal(const TJournal &) = delete;
  TJournal &operator=(const TJournal &) = delete;

  // Records a new open sale and returns it with its id. Sale.Id is ignored.
  TSale OpenSale(const TSale &Sale);
  // Updates an open sale's nozzle, grade, price, volume and amount (fill progress).
  void UpdateSale(const TSale &Sale);
  // Ends an open sale: end totals, volume, amount, flags, end time, and the state
  // (payable, or cleared for an empty sale). False when the sale was not open
  // (already closed: a second close changes nothing, so no sale is counted twice).
  bool CloseSale(const TSale &Sale);

  TClaimResult LockSale(std::int64_t Id, const std::string &Client);
  TClaimResult ClearSale(std::int64_t Id, const std::string &Client);

  std::optional<TSale> Sale(std::int64_t Id);
  std::vector<TSale> Sales(const TSaleFilter &Filter);
  std::vector<TSale> OpenSales();
  // The newest sale of a pump, if any.
  std::optional<TSale> LastSale(int Line, int Pump);
  // Sales by state, for metrics.
  std::map<TSaleState, std::int64_t> CountByState();

  // Station prices, grade number to price.
  std::map<int, double> Prices();
  void SetPrices(const std::map<int, double> &Changes);

  // The last totals read from a pump, kept across restarts.
  std::optional<TTotals> LastTotals(int Line, int Pump);
  void SetLastTotals(int Line, int Pump, const TTotals &Totals);

  std::int64_t SizeBytes();

private:
  struct TDb;
  std::unique_ptr<TDb> Db;
  std::mutex Guard;
};

} // namespace de30::station
