#pragma once
// Reading numbers from a pump: the current fill and the totals.

#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::protocol {

// Requests the current fill. From an accepted reply writes Value2 (positions 2, 4,
// 6) and returns Value1 (positions 8, 10, 12); returns 0.0 and leaves Value2 alone
// when the reply was not accepted.
double ReadFill(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double &Value2);

// Reads the pump's two totals, each from its own request; a total is written only
// from an accepted reply. The pump's nozzle count must be 1 or 2.
void GetTotals(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double &Total1,
               double &Total2);

} // namespace de30::protocol
