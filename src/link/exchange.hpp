#pragma once
// The one road to the pumps: every command goes through Exchange.

#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::link {

// What an exchange reports to its operation.
struct TExchangeResult {
  // 0, or the channel's error number: the operation fails unless it is 0.
  std::int32_t ChannelError = 0;
  // True when the channel threw and ChannelError is what LastError gave.
  bool Absorbed = false;
};

// Frames the first SendCount bytes of Buffer behind a 0x00 byte, registers the
// reply check, runs one Transact and stores the channel's state in
// LineState[Line]. The reply lands in Buffer, ReplyLen bytes from position 0.
// ChannelError is what Transact returned. An exception of the std::exception
// family from Transact or GetState (or a Line outside 1..32 on storing the state)
// is absorbed: ChannelError is then LastError(Line), Absorbed is set and LineState
// keeps its value. Pump is not used: the address travels inside the command bytes.
TExchangeResult Exchange(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                         std::uint8_t *Buffer, std::uint8_t SendCount, std::uint8_t ReplyLen,
                         std::uint8_t Lead);

// The reply check registered with the channel; Data is the TDriverState.
bool CheckReply(void *Data, std::int32_t Line, const std::uint8_t *A, const std::uint8_t *B);

} // namespace de30::link
