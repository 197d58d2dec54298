#pragma once
// Recorded station runs, in the manner of gpsd's regression logs: the whole
// station core (TStation, its line worker, pumps, journal) runs a scenario on
// line 1, once against the simulated station to record it, and then, in every
// test run, against the recording's capture. The station's clock is the line's
// virtual clock (tests/station/run_channel.hpp), so a run is the same every time
// and does not wait: the station's every timing rule sees the recorded time.
//
// The run ends when the line is about to make exchange Exchanges + 1: what the
// station published until then, its journal and the POS commands' results are
// the run's text (tests/station/run_output.hpp).

#include "capture/exchange.hpp"
#include "station/run_scenario.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace de30::station::runs {

struct TRunResult {
  std::string Text;            // what the station did, as the expected file holds it
  std::string Divergence;      // replay: the first frame the capture does not hold there
  std::uint32_t Exchanges = 0; // exchanges the line made within the run
  bool Finished = false;       // the run reached its end (false: it stalled)
  // Recording: what in the scenario could not be done (a nozzle that would not
  // lift, a capture that failed). A recording with any is not to be kept.
  std::vector<std::string> Problems;
};

// Runs Scenario against the simulated station, writing every exchange to
// CaptureFile.
TRunResult RecordRun(const TRunScenario &Scenario, const std::filesystem::path &CaptureFile);
// Runs Scenario's station and POS against Captured's replies.
TRunResult ReplayRun(const TRunScenario &Scenario,
                     const std::vector<capture::TCapturedExchange> &Captured);

// The exchanges of Line in a capture file, in order.
std::vector<capture::TCapturedExchange> LineExchanges(const std::filesystem::path &Capture,
                                                      int Line = RunLine);

} // namespace de30::station::runs
