#pragma once
// The seam for the driver's two fixed pauses (after a start, inside an unblock),
// handed to the driver when it is created.

#include <cstdint>

namespace de30 {

class TPauser {
public:
  virtual ~TPauser() = default;
  // Called on the operation's thread; the operation goes on when it returns.
  virtual void Pause(std::uint32_t Milliseconds) = 0;
};

// Sleeps the calling thread: what a driver created without a pauser of its own uses.
class TThreadPauser final : public TPauser {
public:
  void Pause(std::uint32_t Milliseconds) override;
  static TThreadPauser &Instance();
};

} // namespace de30
