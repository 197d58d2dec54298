#pragma once
// `de30ctl monitor`: a live table of the pumps, refreshed in place on a terminal
// and printed block after block otherwise.

#include "commands.hpp"

#include <atomic>
#include <vector>

namespace de30::ctl {

struct TWatched {
  TPumpRef Pump;
  int Nozzles = 0; // on real lines (0: one); the embedded station knows its own
};

struct TMonitorOptions {
  std::vector<TWatched> Pumps; // empty: every pump of the embedded station
  int IntervalMs = 1000;
  int Count = 0;          // refreshes; 0: until interrupted
  bool Authorise = false; // authorise every pump that calls
  int Speed = 1;          // embedded station: simulated seconds per second
};

// Returns the exit code. Stops early when Stop becomes true.
int RunMonitor(TSession &S, const TMonitorOptions &Options, const std::atomic<bool> &Stop);

} // namespace de30::ctl
