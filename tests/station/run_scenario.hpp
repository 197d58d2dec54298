#pragma once
// A recorded station run's scenario (tests/station/runs/NAME.toml): the station
// on line 1, the simulated dispensers that answered it when it was recorded, and
// what happened during the run, keyed by the line's exchange number. Replay uses
// the station and the POS side of the timeline only; the customers and the
// faults are in the capture's replies.

#include "sim/faults.hpp"
#include "sim/pump.hpp"
#include "station/config.hpp"
#include "station/sale.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace de30::station::runs {

// Every recorded run is on this line.
inline constexpr int RunLine = 1;

struct TRunPump {
  int Address = 0;
  std::vector<int> Grades; // the station grade each nozzle sells, nozzle 1 first
  bool AutoAuthorize = false;
  TTotalsLayout Totals = TTotalsLayout::Unknown; // what the station is told
  // The simulated dispenser, when recording.
  sim::TTotalsLayout SimTotals = sim::TTotalsLayout::Sum;
  std::int64_t FlowRate = 200; // hundredths of a litre a second
  std::int64_t StartDelayMs = 500;
  std::int64_t Overrun = 0; // hundredths of a litre a dose is overshot by
};

// One thing that happens before an exchange of the run.
struct TRunStep {
  enum class TKind {
    Lift,      // the customer lifts Nozzle of Pump (recording only)
    Hang,      // the customer hangs up at Pump (recording only)
    Fault,     // Fault is added to the simulated station (recording only)
    Authorise, // the POS authorises Pump with Preset (and Grade)
    Stop,      // the POS stops Pump
    Prices,    // the POS sets station prices
    Manual,    // Pump is switched to manual mode: it pours without the station (recording only)
    Automatic, // and back (recording only)
  };
  std::uint32_t At = 0; // before this exchange of the line, from 1
  TKind Kind = TKind::Lift;
  int Pump = 0;
  int Nozzle = 0;
  TPreset Preset;
  std::optional<int> Grade;
  sim::TFaultRule Fault;
  std::map<int, double> Prices;
  int SourceLine = 0; // where the step stands in its file

  bool ByPos() const; // Authorise, Stop, Prices: played in replay too
  // "authorise 1:2 money 10.00 grade 2", for the expected file.
  std::string Describe() const;
};

struct TRunScenario {
  std::string Name; // the file's stem
  std::string Description;
  std::uint32_t Exchanges = 0; // the run lasts this many exchanges of the line
  // The line of the capture the run replays: 1 for a recording, the site's line
  // for a capture taken in the field (the run's station has it as line 1).
  int CaptureLine = RunLine;
  std::vector<TGrade> Grades;
  std::map<int, double> Prices; // set before the station starts
  // The station's own timing, when a run needs other than the defaults (a
  // capture taken in the field: the site's).
  std::int64_t TimeoutMs = 1500; // the line's reply timeout
  int OfflineAfter = 3;
  std::int64_t OfflineBackoffMs = 4000;
  std::int64_t OfflineProbeMs = 150;
  std::int64_t UnknownStartMs = 6000;
  std::int64_t CallingSettleMs = 10000;
  std::int64_t AuthorizeTimeoutS = 120;
  std::vector<TRunPump> Pumps;
  std::vector<TRunStep> Steps; // in the order they happen
};

class EScenarioError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Reads and checks a scenario; EScenarioError naming the file, the line and the key.
TRunScenario LoadScenario(const std::filesystem::path &File);
TRunScenario ParseScenario(const std::string &Text, const std::string &Name);

// The station configuration the run's station gets (its journal at Journal).
TStationConfig StationOf(const TRunScenario &Scenario, const std::filesystem::path &Journal);

} // namespace de30::station::runs
