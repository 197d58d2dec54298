#pragma once
// One dispenser and everything about it: its fuelling point, its open sale (the
// pump is the sale's one owner), its prices, its readings with the pump they came
// from, and the commands that act on it. The line worker hands it the line's pump
// I/O for each step and for each command; the journal, the event bus and the
// clock are handed in at creation.
//
// Update() is the pump's one step per cycle: it polls, reads what the step
// needs, moves the sale on, and publishes what changed. Nothing in a step raises:
// a journal that fails leaves the step undone (a sale not yet durable stays open
// in memory and is written next cycle), a line that fails is what the fuelling
// point hears. docs/station.md lists the evidence rules a sale is closed by.

#include "station/command_result.hpp"
#include "station/config.hpp"
#include "station/events.hpp"
#include "station/prices.hpp"
#include "station/pump_core.hpp"
#include "station/pump_io.hpp"

#include <map>
#include <optional>
#include <string>

namespace de30::station {

// The longest dose a pump takes, in litres.
inline constexpr double MaxDoseLitres = 9999.99;
// How often fill progress is published.
inline constexpr std::int64_t FillEventMs = 250;
// Pause before a failed price list is tried again.
inline constexpr std::int64_t PriceRetryMs = 2000;
// Final fill reads tried in one step before the sale waits, unsettled, for the next.
inline constexpr int FinalReadTries = 3;
// Pause before a journal step that failed is tried again.
inline constexpr std::int64_t JournalRetryMs = 1000;
// Pause before an idle pump's totals are read again when a reading failed, and
// before a stop whose reply was lost after an authorisation timed out goes out
// again.
inline constexpr std::int64_t TotalsRetryMs = 1000;
inline constexpr std::int64_t TimeoutStopRetryMs = 1000;

class TPump : public TPumpCore {
public:
  TPump(const TPumpConfig &Config, const TPointTiming &Timing, TPumpServices Services);

  // An open sale from the journal, followed once the pump answers. Before the
  // line starts; false when the pump already has one.
  bool RecoverSale(const TSale &Sale);

  // The line is open with a new driver: its price table gets the pump's list
  // before anything goes out (nothing is sent).
  void Connected(TPumpIo &Io, const std::map<int, double> &StationPrices);
  // The pump's step of a cycle.
  void Update(TPumpIo &Io);
  bool DuePoll(std::int64_t NowMs) const { return Point.DuePoll(NowMs); }
  bool Offline() const { return Point.State() == TPointState::Offline; }
  std::int64_t NextPollMs() const { return Point.NextPollMs(); }
  // Authorised or fuelling: what a stop-all stops.
  bool Busy() const;

  // Sends the price list when one is due and the pump is not busy.
  void SendPrices(TPumpIo &Io, bool Force);
  void PricesChanged(const std::map<int, double> &StationPrices);

  TCommandResult Authorize(TPumpIo &Io, const TPreset &Preset, std::optional<int> Grade);
  TCommandResult Stop(TPumpIo &Io);
  TCommandResult Unblock(TPumpIo &Io, int Code);
  // A sale was cleared: the pump, if completed with it, goes idle.
  void SaleCleared(std::int64_t SaleId);

private:
  // False when the poll was not answered.
  bool Poll(TPumpIo &Io);
  void Handle(TPumpIo &Io, const TStep &Step);
  void TakeFill(TPumpIo &Io, const TPumpReading &Reading);
  std::optional<double> PouringPrice(int Nozzle) const override;
  void Follow();
  void CheckTotalsMoved(const TTotals &Now, TSale *Sale);
  // Reads an idle pump's totals, when the rules of docs/station.md ask for it, to
  // find fuel that went out without a sale.
  void CheckIdleTotals(TPumpIo &Io);
  // An authorised pump whose nozzle was not lifted in time is stopped, and its
  // sale closed.
  void CheckAuthorizeTimeout(TPumpIo &Io);
  void Settle(TPumpIo &Io);
  void EndSale(TPumpIo &Io);
  void Judge(TSale &Sale, const TPumpReading &Final);
  // A sale whose nozzle no poll showed (the whole fill between two polls, or while
  // the station was down): named from the final reading when the evidence allows.
  void InferNozzle(TSale &Ended, const TFillReading &Fill) const;
  // The price nozzle Nozzle sells at, as far as the station knows it.
  std::optional<double> NozzlePrice(int Nozzle) const;
  bool SendPriceList(TPumpIo &Io);
  // The dose a preset comes to, or why it is refused.
  std::optional<TCommandResult> CheckPreset(const TPreset &Preset, std::optional<int> Grade,
                                            int NozzleGrade, double &Litres) const;
  void PublishPrice();
  TPumpSnapshot MakeSnapshot() const override;
  void JournalFailed(const EJournalError &Error) override;

  TPumpPrices Prices;
  TPriceTable Stored{}; // what the driver's price table holds for the pump

  bool Answered = false; // the pump has answered since the line opened
  std::int64_t FillPublishedMs = 0;
  double FillPublished = -1.0;
  std::int64_t PriceRetryAtMs = 0;
  std::int64_t JournalRetryAtMs = 0; // a failed journal step waits until then

  // Fuel without a sale: the idle pump's totals due for a check; the nozzle the
  // pump showed lifted or pouring without a sale (0: none, -1: several).
  bool TotalsDue = true;
  std::int64_t TotalsCheckAtMs = 0;
  int UnsoldNozzle = 0;

  // The authorisation timeout of the open sale: armed while the pump waits for
  // its nozzle; timed out once the stop was due.
  std::int64_t AuthorizeTimeoutMs = 0;
  bool AwaitingNozzle = false;
  bool TimedOut = false;
  std::int64_t AuthorisedAtMs = 0;
  std::int64_t TimeoutStopAtMs = 0;
};

} // namespace de30::station
