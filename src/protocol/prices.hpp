#pragma once
// Prices and dose presets: values loaded into a pump with command 4.

#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::protocol {

// Stores Price for the grade; when the pump's nozzle count is known, sends its
// price list (grade 1 for one nozzle, grades 1..5 for several) and the execute
// command. Every price sent must round to 0.00..99.99.
void SetPrice(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, std::int32_t Grade,
              double Price);

// Presets the dose limit (rounded to 0.00..9999.99 litres) and sends the execute
// command.
void SetDoseLitres(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double Volume);

// The litres that Money buys at the grade's stored price. ERangeError for an index
// out of range, a money value that is not finite, or a stored price of 0.
double MoneyToVolume(const TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                     std::int32_t Grade, double Money);

} // namespace de30::protocol
