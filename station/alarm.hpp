#pragma once
// Something on the forecourt that needs a person: fuel that went out without a
// sale of this station. Kept in the journal and told on the event bus.

#include <cstdint>
#include <string>

namespace de30::station {

// The pump's totals moved with no sale of this station to account for them (a
// pump fuelled in manual mode, or while the station was not running).
inline constexpr const char AlarmTotalsMoved[] = "totals_moved";
// The pump's totals went back (a counter replaced or reset, or a pump that
// answers in another's place): no fuel can be counted from them.
inline constexpr const char AlarmTotalsBack[] = "totals_back";

struct TAlarm {
  std::int64_t Id = 0; // the journal's record of it, 0 until written
  int Line = 0;
  int Pump = 0;
  int Nozzle = 0;        // 0 when not known
  double Volume = 0.0;   // how far the totals moved: the litres that went out
  double Amount = 0.0;   // and the money (both below 0 when the totals went back)
  std::int64_t AtMs = 0; // wall clock, milliseconds since the epoch: when it was found
  std::string Kind = AlarmTotalsMoved;

  std::string PumpId() const { return std::to_string(Line) + ":" + std::to_string(Pump); }
  bool operator==(const TAlarm &) const = default;
};

} // namespace de30::station
