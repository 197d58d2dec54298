#pragma once
// The driver's pauses moving a simulated station's clock instead of sleeping: a
// start still gives the pump its 100 ms, and the test does not wait for them.

#include "de30/tables.hpp"
#include "sim/clock.hpp"

namespace de30::test {

class TClockPauser final : public TPauser {
public:
  explicit TClockPauser(sim::TManualClock &StationClock) : Clock(StationClock) {}
  void Pause(std::uint32_t Milliseconds) override { Clock.Advance(Milliseconds); }

private:
  sim::TManualClock &Clock;
};

} // namespace de30::test
