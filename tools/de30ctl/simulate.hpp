#pragma once
// `de30ctl simulate`: serves the simulated station's lines to other programs,
// each on a pseudo-terminal or on a loopback TCP port, until interrupted.

#include "sim/faults.hpp"
#include "sim/pump.hpp"

#include <atomic>
#include <vector>

namespace de30::ctl {

struct TSimulateOptions {
  bool Pty = false;
  int Port = -1; // first TCP port, line k on Port + k - 1; 0: any free ports
  bool Customers = true;
  int DurationS = 0; // 0: until interrupted
  std::vector<sim::TFaultRule> Faults;
  unsigned Seed = 1;
  sim::TTotalsLayout Totals = sim::TTotalsLayout::Sum;
};

int RunSimulate(const TSimulateOptions &Options, const std::atomic<bool> &Stop);

} // namespace de30::ctl
