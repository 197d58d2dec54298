#include "simulate.hpp"

#include "exit_codes.hpp"
#include "serve_lines.hpp"
#include "transport.hpp"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace de30::ctl {

int RunSimulate(const TSimulateOptions &Options, const std::atomic<bool> &Stop) {
  if (Options.Pty == (Options.Port >= 0))
    throw ECtlError(ExitUsage, "serve either on --pty or on --port PORT");
  sim::TSteadyClock Clock;
  sim::TSimStation Station(Clock);
  std::vector<int> Lines;
  std::string Watch;
  for (sim::TPumpPlace Place : sim::DefaultStation(Options.Customers)) {
    Place.Pump.Totals = Options.Totals;
    Watch += " --pump " + std::to_string(Place.Line) + ":" +
             std::to_string(Place.Pump.Address) + "/" + std::to_string(Place.Pump.Nozzles);
    Station.AddPump(Place.Line, Place.Pump);
    if (Lines.empty() || Lines.back() != Place.Line)
      Lines.push_back(Place.Line);
    std::printf("line %d, pump %d: %d nozzle(s)\n", Place.Line, Place.Pump.Address,
                Place.Pump.Nozzles);
  }
  Station.SeedFaults(Options.Seed);
  for (const auto &Rule : Options.Faults)
    Station.AddFault(Rule);

  TServedLines Served = ServeLines(Station, Lines, Options.Pty, Options.Port);
  for (auto &Server : Served.Servers)
    Server->Start();
  std::printf("try: de30ctl%s monitor%s --authorize\n", Served.Options.c_str(), Watch.c_str());
  std::fflush(stdout);
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Options.DurationS);
  while (!Stop && (Options.DurationS == 0 || std::chrono::steady_clock::now() < Until))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (auto &Server : Served.Servers)
    Server->Halt();
  return ExitOk;
}

} // namespace de30::ctl
