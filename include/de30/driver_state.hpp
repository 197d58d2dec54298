#pragma once
// Everything the protocol operations work on: the channel, the pause seam and the
// tables. A TVM30 owns one and is the only one to hand it out; hosts read the
// tables through the driver's accessors.

#include "de30/channel.hpp"
#include "de30/constants.hpp"
#include "de30/pauser.hpp"
#include "de30/tables.hpp"

#include <cstdint>

namespace de30 {

// The per-line and per-pump tables.
struct TDriverTables {
  // Price per grade; start values 1.0, 2.0, 3.0 for grades 1..3, 0.0 for 4..6.
  TPerPump<TPerGrade<double>> Prices;
  // Copy of the channel's line state after the last exchange; 1 = reply accepted.
  TPerLine<std::uint8_t> LineState;
  // Polls left before an authorised pump is reported as authorised but idle (209).
  TPerPump<std::int32_t> CountDown;
  // 1 from a successful start until a poll reports 192 or 225.
  TPerPump<std::uint8_t> Authorized;
  // The pump's nozzle count as last given to GetSostEx; 0 until then.
  TPerPump<std::uint8_t> NozzleCount;
  // 1 until the pump has reported status byte 0; holds back code 225.
  TPerPump<std::uint8_t> AwaitIdle;
};

struct TDriverState : TDriverTables {
  // The host's channel; not owned, never released.
  TComChannel *const Channel;
  // Where the pauses go.
  TPauser &Pauser;

  TDriverState(TComChannel *HostChannel, TPauser &HostPauser);
  TDriverState(const TDriverState &) = delete;
  TDriverState &operator=(const TDriverState &) = delete;
};

} // namespace de30
