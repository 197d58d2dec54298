#pragma once
// A pump held for one client: while it lasts, only that client authorises, stops
// or unblocks the pump (a stop of every pump still stops it).

#include <cstdint>
#include <string>

namespace de30::station {

struct TReservation {
  std::int64_t Id = 0; // the journal's record of it
  int Line = 0;
  int Pump = 0;
  std::string Client;
  std::int64_t SinceMs = 0; // wall clock, milliseconds since the epoch
  std::int64_t UntilMs = 0;
  bool operator==(const TReservation &) const = default;
};

// How long a reservation lasts when the client does not say, and at most.
inline constexpr std::int64_t DefaultReservationS = 300;
inline constexpr std::int64_t MaxReservationS = 86400;

} // namespace de30::station
