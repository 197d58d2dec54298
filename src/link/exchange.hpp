#pragma once
// The one road to the pumps: every command goes through Exchange.

#include "de30/tables.hpp"

#include <cstdint>

namespace de30::link {

// Frames the first SendCount bytes of Buffer behind a 0x00 byte, registers the
// reply check, runs one Transact and stores the channel's state in
// LineState[Line]. The reply lands in Buffer, ReplyLen bytes from position 0.
// Returns 0 or the channel's error number. An exception of the std::exception
// family from Transact or GetState (or a Line outside 1..32 on storing the state)
// is absorbed: the result is then LastError(Line) and LineState keeps its value.
// Pump is not used: the address travels inside the command bytes.
std::int32_t Exchange(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                      std::uint8_t *Buffer, std::uint8_t SendCount, std::uint8_t ReplyLen,
                      std::uint8_t Lead);

// The reply check registered with the channel; Data is the TDriverState.
bool CheckReply(void *Data, std::int32_t Line, const std::uint8_t *A, const std::uint8_t *B);

// The line set-up routine registered with the channel; Data is the TDriverState.
std::int32_t ApplyLineSetup(void *Data, std::int32_t Line);

// Registers ApplyLineSetup for the line and runs it once.
std::int32_t InitLine(TDriverState &Driver, std::int32_t Line);

} // namespace de30::link
