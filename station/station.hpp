#pragma once
// The station service's core: one worker thread per line, each with its own
// driver and channel, polling every configured pump, running a fuelling point per
// pump, journaling every sale and distributing prices. Clients (the HTTP interface,
// tests) call the commands below from any thread; a command for a pump is queued
// on its line and runs between polls, ahead of the next poll, and its result comes
// back when it has run.
//
// Nothing here knows HTTP or JSON: see tools/de30d.

#include "de30/channel.hpp"
#include "de30/driver.hpp"
#include "station/command_result.hpp"
#include "station/config.hpp"
#include "station/events.hpp"
#include "station/journal.hpp"
#include "station/options.hpp"
#include "station/reservation.hpp"

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace de30::station {

class TStation {
public:
  // Opens the journal, recovers its open sales and loads the prices; starts
  // nothing yet. EJournalError when the journal cannot be opened.
  TStation(TStationConfig Config, TStationOptions Options = {});
  ~TStation(); // stops the workers
  TStation(const TStation &) = delete;
  TStation &operator=(const TStation &) = delete;

  // Starts one worker per line. Each loads the station prices into its driver
  // before it sends anything, then polls.
  void Start();
  // Stops polling; queued commands are refused with Stopping. Open sales stay open
  // in the journal and are recovered at the next start.
  void Stop();

  const TStationConfig &Config() const { return Setup; }
  TEventBus &Events() { return Bus; }
  TJournal &Journal() { return *Book; }

  std::vector<TPumpSnapshot> Pumps() const;
  std::optional<TPumpSnapshot> Pump(int Line, int Address) const;
  std::vector<TLineSnapshot> Lines() const;

  // Authorises the pump, after presetting the dose when Preset says so. Grade
  // (station grade) picks the price for a money preset; without it the calling
  // nozzle's grade, or the pump's only grade. Client names who asks (empty for
  // a client without a name): a pump reserved for another client is refused.
  TCommandResult Authorize(int Line, int Address, const TPreset &Preset,
                           std::optional<int> Grade, const std::string &Client = {});
  TCommandResult StopPump(int Line, int Address, const std::string &Client = {});
  // The same commands, queued at once and answered through the future when they
  // have run: for a caller that must not wait, such as a recorded run that
  // queues its commands from inside an exchange.
  std::future<TCommandResult> AuthorizeAsync(int Line, int Address, const TPreset &Preset,
                                             std::optional<int> Grade);
  std::future<TCommandResult> StopPumpAsync(int Line, int Address);
  // Stops every pump that is authorised or fuelling; Message lists failures.
  TCommandResult StopAll();
  TCommandResult Unblock(int Line, int Address, int Code, const std::string &Client = {});

  // Holds a pump for Client for Seconds; Release ends it (another client's only
  // with Force). A reservation also ends when a sale made under it is cleared,
  // and when its time is up.
  TCommandResult Reserve(int Line, int Address, const std::string &Client,
                         std::int64_t Seconds);
  TCommandResult Release(int Line, int Address, const std::string &Client, bool Force);
  std::optional<TReservation> Reservation(int Line, int Address) const;
  std::vector<TReservation> Reservations() const;
  // Sets station prices (grade to price, 0.00..99.99) and sends each pump that
  // sells a changed grade its full list, once it is idle.
  TCommandResult SetPrices(const std::map<int, double> &Prices);
  std::map<int, double> Prices();

  TCommandResult LockSale(std::int64_t Id, const std::string &Client);
  TCommandResult ClearSale(std::int64_t Id, const std::string &Client);
  // Takes a lock back (the sale is payable again); another client's only with Force.
  TCommandResult UnlockSale(std::int64_t Id, const std::string &Client, bool Force);

  // Closes the open shift in Client's name and opens the next, and tells the
  // bus; with Expected, only when the open shift is that one (nullopt
  // otherwise: nothing closed). EJournalError when the journal cannot take it.
  std::optional<TShift> CloseShift(const std::string &Client,
                                   std::optional<std::int64_t> Expected = std::nullopt);
  // The open shift with its figures so far.
  TShift ShiftSoFar();
  // The configured nozzles, and whether each pump's totals count a nozzle alone.
  std::vector<TShiftCounter> ShiftCounters() const;

  // Ends what has run out of time: reservations, and locks held longer than the
  // configuration's lock timeout. The station runs it every second while started.
  void Housekeep();

private:
  // A lock, clear or unlock ("lock", "clear", "unlock") through the journal,
  // with its event.
  TCommandResult Claim(std::int64_t Id, const std::string &Client, const char *What,
                       bool Force = false);
  std::optional<TCommandResult> Reserved(int Line, int Address, const std::string &Client);
  struct TImpl;
  TStationConfig Setup;
  TEventBus Bus;
  std::unique_ptr<TJournal> Book;
  std::unique_ptr<TImpl> Impl;
};

} // namespace de30::station
