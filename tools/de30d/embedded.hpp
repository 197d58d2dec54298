#pragma once
// The station de30d runs without a configuration: simulated pumps with simulated
// customers, so that a newcomer sees pumps call, fill and sales appear at once.
// Line 1 has pump 1 (one nozzle) and pump 2 (two), line 2 pump 3 (four).

#include "sim/clock.hpp"
#include "sim/station.hpp"
#include "station/station.hpp"

#include <cstdint>
#include <filesystem>
#include <map>

namespace de30::service {

struct TEmbeddedOptions {
  bool Customers = true;      // simulated customers lift and hang up nozzles
  bool AutoAuthorize = true;  // every calling pump is authorised
  std::int64_t FlowRate = 50; // hundredths of a litre per second
  std::int64_t StartDelayMs = 2000;
  // The pumps' time runs this many times faster than real time (1..50): fills,
  // start delays and customers alike, for demonstrations and browser tests.
  int Speed = 1;
  // The lines' pace: each byte takes ten bit times at this rate, whatever the
  // speed (de30d: 2400, so that the line figures are a real line's). 0: the
  // simulated line answers at once, as the in-process tests want.
  int BaudRate = 0;
};

// Real time, sped up: at 10 a 20-litre fill at 0.5 l/s takes 4 s.
class TFastClock final : public sim::TSimClock {
public:
  explicit TFastClock(int Speed) : Factor(Speed < 1 ? 1 : Speed) {}
  std::int64_t NowMs() const override { return Real.NowMs() * Factor; }

private:
  sim::TSteadyClock Real;
  std::int64_t Factor;
};

class TEmbeddedStation {
public:
  explicit TEmbeddedStation(const TEmbeddedOptions &Options = {});

  sim::TSimStation &Sim() { return Station; }
  station::TStationConfig Config(const std::filesystem::path &Journal) const;
  // Lines lead to the simulated pumps, at the options' pace; idle lines pause
  // between cycles.
  station::TStationOptions StationOptions();

private:
  TEmbeddedOptions Setup;
  TFastClock Clock;
  sim::TSimStation Station;
};

// The prices a new embedded station starts with, grade to price.
std::map<int, double> StarterPrices();
// Gives a journal without prices the starter prices, so that the pumps can serve
// from the first start; a journal with prices keeps its own.
void SeedPrices(const std::filesystem::path &Journal);
// Where the embedded station keeps its journal unless told: the temporary folder.
std::filesystem::path DefaultEmbeddedJournal();

} // namespace de30::service
