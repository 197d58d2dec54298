#pragma once
// The short status poll and the translation of a pump's status byte into a host
// status code.

#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::protocol {

// Polls the pump (command 3 when it is authorised, else 1) and returns the status
// word: the host status code in the low byte, 0 in the high byte; 0 when the reply
// was not accepted.
std::uint16_t GetSost(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump);

// Translates status byte S of the pump into a host status code, updating its
// Authorized, CountDown and AwaitIdle; re-initialises the pump for the status
// bytes that ask for it.
std::uint8_t TranslateSost(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                           std::uint8_t S);

} // namespace de30::protocol
