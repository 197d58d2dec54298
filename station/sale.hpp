#pragma once
// A sale: one fill on one nozzle, from the authorisation to the pump's return to
// idle, and then its way through payment (payable, locked by a client, cleared).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace de30::station {

enum class TSaleState { Open, Payable, Locked, Cleared };
const char *SaleStateName(TSaleState State); // "open", "payable", "locked", "cleared"
std::optional<TSaleState> ParseSaleState(const std::string &Name);

struct TPreset {
  enum class TKind { None, Litres, Money } Kind = TKind::None;
  double Value = 0.0;
  bool operator==(const TPreset &) const = default;
};

struct TTotals {
  bool Known = false; // false when the pump's totals could not be read
  double Volume = 0.0;
  double Amount = 0.0;
  bool operator==(const TTotals &) const = default;
};

// Flags a sale may carry; each is also an event when it is raised.
inline constexpr const char FlagVolumeMismatch[] = "volume_mismatch"; // volume != totals delta
inline constexpr const char FlagNoTotals[] = "no_totals";             // totals unreadable
inline constexpr const char FlagRecovered[] = "recovered"; // closed or resumed after a restart
inline constexpr const char FlagEmpty[] = "empty";         // ended without fuel
inline constexpr const char FlagStopped[] = "stopped";     // ended by a stop command
// The pump's totals had moved since the station last read them: fuel went out
// without a sale of this station (raised on the next sale of the pump).
inline constexpr const char FlagTotalsMoved[] = "totals_moved";
// The fill is over but no final fill reading has been accepted yet: the sale
// stays open, and its figures are the last reading, until one is.
inline constexpr const char FlagUnsettled[] = "unsettled";
// A start or stop whose reply was lost: whether the pump took it is known only
// from what the pump shows next.
inline constexpr const char FlagUncertain[] = "uncertain";
// Fuel was sold, but no poll showed the nozzle and the final reading could not
// name it (two nozzles at one price, totals that cannot tell).
inline constexpr const char FlagNozzleUnknown[] = "nozzle_unknown";
// The pump delivered more than its preset: volume above a preset in litres, or
// amount above a preset in money, by more than half a hundredth (a valve that
// closed late).
inline constexpr const char FlagOverrun[] = "overrun";
// Authorised, but no nozzle was lifted within the pump's authorisation timeout:
// the station stopped the pump and closed the sale.
inline constexpr const char FlagAuthorizeTimeout[] = "authorize_timeout";

// The fill a pump holds at an authorisation: the previous sale's, kept by the
// pump until this authorisation resets it.
struct TFillReading {
  bool Known = false;
  double Volume = 0.0;
  double Amount = 0.0;
  bool operator==(const TFillReading &) const = default;
};

struct TSale {
  std::int64_t Id = 0;
  int Line = 0;
  int Pump = 0;
  int Nozzle = 0;     // 0 until known (authorised before a nozzle was lifted)
  int Grade = 0;      // station grade, 0 until the nozzle is known
  double Price = 0.0; // unit price the pump sells at
  TPreset Preset;
  double Volume = 0.0;
  double Amount = 0.0;
  TTotals StartTotals;
  TTotals EndTotals;
  std::int64_t StartedMs = 0; // wall clock, milliseconds since the epoch
  std::int64_t EndedMs = 0;   // 0 while open
  TSaleState State = TSaleState::Open;
  std::string LockedBy; // empty unless locked (or cleared after a lock)
  std::vector<std::string> Flags;
  TFillReading Baseline; // the fill the pump held when it was authorised
  // Money paid in advance: the value of a money preset, 0 without one.
  double Prepaid = 0.0;
  // What goes back to a pre-paying customer whose sale closed short: Prepaid -
  // Amount, to the hundredth; 0 while open, without a prepayment, or when the
  // pump delivered all that was paid (or more).
  double Refund = 0.0;
  // Heard on a tap line, sold by another controller: no client of this station
  // may lock, clear or unlock it.
  bool Observed = false;

  std::string PumpId() const; // "LINE:PUMP"
  bool HasFlag(const char *Flag) const;
  // Field by field, exact: what the journal gives back is what was recorded.
  bool operator==(const TSale &) const = default;
};

// A pre-paid sale's refund, from its prepayment and final amount.
double RefundOf(double Prepaid, double Amount);

// ISO 8601 in UTC with milliseconds, e.g. "2026-12-08T22:50:09.123Z".
std::string IsoTime(std::int64_t EpochMs);
std::int64_t NowEpochMs();

} // namespace de30::station
