#pragma once
// The whole station on the in-process simulated one: real time on a steady clock
// with short start delays and a fast flow, a real journal file in a temp folder.
// Line 1 holds pump 1 (one nozzle, grade 1) and pump 2 (two nozzles, grades 2
// and 1); a test adds pumps before Open.

#include "sim/clock.hpp"
#include "sim/sim_channel.hpp"
#include "sim/station.hpp"
#include "station/station.hpp"
#include "station/temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

namespace de30::station {

using namespace std::chrono_literals;

inline sim::TPumpConfig SimPump(int Address, int Nozzles) {
  sim::TPumpConfig Pump;
  Pump.Address = static_cast<std::uint8_t>(Address);
  Pump.Nozzles = Nozzles;
  Pump.FlowRate = 1000; // 10 litres a second
  Pump.StartDelayMs = 50;
  return Pump;
}

inline TPumpConfig StationPump(int Address, std::vector<int> Grades) {
  TPumpConfig Pump;
  Pump.Line = 1;
  Pump.Address = Address;
  Pump.Nozzles = std::move(Grades);
  return Pump;
}

class StationTest : public ::testing::Test {
protected:
  StationTest() : Sim(Clock) {
    Sim.AddPump(1, SimPump(1, 1));
    Sim.AddPump(1, SimPump(2, 2));
    Config.Journal = Dir / "journal.db";
    Config.OfflineAfter = 3;
    Config.OfflineBackoffMax = 400ms;
    Config.AbsentBackoffMax = 400ms;
    Config.Grades = {{1, "A95"}, {2, "Diesel"}};
    TLineConfig Line;
    Line.Number = 1;
    Config.Lines = {Line};
    Config.Pumps = {StationPump(1, {1}), StationPump(2, {2, 1})};
  }
  ~StationTest() override { Station.reset(); }

  void Open() {
    TStationOptions Options;
    Options.Channels = [this](const TLineConfig &) {
      return std::make_unique<sim::TSimChannel>(Sim);
    };
    Options.IdleCycleMs = 5;
    Station = std::make_unique<TStation>(Config, Options);
    Events = Station->Events().Subscribe();
  }
  void Start(std::map<int, double> Prices = {{1, 1.50}, {2, 1.20}}) {
    Open();
    if (!Prices.empty()) {
      ASSERT_TRUE(Station->SetPrices(Prices).Ok());
    }
    Station->Start();
  }

  static bool WaitFor(const std::function<bool()> &Done, std::chrono::milliseconds Limit = 5s) {
    const auto Until = std::chrono::steady_clock::now() + Limit;
    while (std::chrono::steady_clock::now() < Until) {
      if (Done())
        return true;
      std::this_thread::sleep_for(2ms);
    }
    return Done();
  }
  bool WaitState(int Pump, TPointState State, std::chrono::milliseconds Limit = 5s) {
    return WaitFor([&] { return Station->Pump(1, Pump)->State == State; }, Limit);
  }
  bool WaitReady(int Pump) {
    return WaitFor([&] {
      const auto View = Station->Pump(1, Pump);
      return View->State == TPointState::Idle && View->PriceState == TPriceState::Sent;
    });
  }
  // The next sale event with Reason, skipping the others.
  std::optional<TSale> SaleEvent(const std::string &Reason, int TimeoutMs = 8000) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    TEvent Event;
    while (std::chrono::steady_clock::now() < Until)
      if (Events->Next(Event, 50) && Event.Kind == TEvent::TKind::Sale &&
          Event.Reason == Reason)
        return Event.Sale;
    return std::nullopt;
  }
  static double Delta(const TSale &Sale) {
    return Sale.EndTotals.Volume - Sale.StartTotals.Volume;
  }
  double SimFill(int Pump) { return static_cast<double>(Sim.View(1, Pump).FillVolume) / 100.0; }

  // Lifts nozzle 1 of pump 1 and authorises it with Preset.
  TCommandResult LiftAndAuthorise(const TPreset &Preset = {}, int Pump = 1, int Nozzle = 1) {
    EXPECT_TRUE(WaitReady(Pump));
    Sim.LiftNozzle(1, Pump, Nozzle);
    EXPECT_TRUE(WaitState(Pump, TPointState::Calling));
    return Station->Authorize(1, Pump, Preset, std::nullopt);
  }

  sim::TSteadyClock Clock;
  sim::TSimStation Sim;
  test::TTempDir Dir;
  TStationConfig Config;
  std::unique_ptr<TStation> Station;
  std::shared_ptr<TEventBus::TSubscription> Events;
};

} // namespace de30::station
