#pragma once
// The simulated station's sense of time. Pumps never read a system clock: fills
// progress by what the clock says, so tests and the demo can move time on by hand
// and get the same fill every run, while a served station runs on real time.

#include "de30/pauser.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace de30::sim {

class TSimClock {
public:
  virtual ~TSimClock() = default;
  // Milliseconds since the station started.
  virtual std::int64_t NowMs() const = 0;
};

// Time moves only when Advance is called.
class TManualClock final : public TSimClock {
public:
  std::int64_t NowMs() const override { return Now.load(); }
  void Advance(std::int64_t Milliseconds) { Now += Milliseconds; }

private:
  std::atomic<std::int64_t> Now{0};
};

// Real elapsed time, for stations served to other programs.
class TSteadyClock final : public TSimClock {
public:
  std::int64_t NowMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - Start)
        .count();
  }

private:
  std::chrono::steady_clock::time_point Start = std::chrono::steady_clock::now();
};

// The driver's pauses moving a manual clock instead of sleeping: a start still
// gives the pump its 100 ms, and nobody waits for them.
class TClockPauser final : public TPauser {
public:
  explicit TClockPauser(TManualClock &StationClock) : Clock(StationClock) {}
  void Pause(std::uint32_t Milliseconds) override { Clock.Advance(Milliseconds); }

private:
  TManualClock &Clock;
};

} // namespace de30::sim
