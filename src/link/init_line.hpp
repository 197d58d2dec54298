#pragma once
// Line set-up: the routine the driver registers with the channel, and InitLine,
// which registers and runs it.

#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::link {

// The line set-up routine registered with the channel; Data is the TDriverState.
std::int32_t ApplyLineSetup(void *Data, std::int32_t Line);

// Registers ApplyLineSetup for the line and runs it once; returns its result.
std::int32_t InitLine(TDriverState &Driver, std::int32_t Line);

} // namespace de30::link
