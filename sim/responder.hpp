#pragma once
// What answers the bytes a served line receives: the simulated station, or a
// capture played back (`de30ctl replay`).

#include "sim/faults.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace de30::sim {

class TLineResponder {
public:
  virtual ~TLineResponder() = default;
  // Bytes arriving on a line; returns the replies they complete, in order. Called
  // from the line's serving thread; lines may be served on threads of their own.
  virtual std::vector<TReply> Receive(int Line, const std::uint8_t *Data,
                                      std::size_t Count) = 0;
};

} // namespace de30::sim
