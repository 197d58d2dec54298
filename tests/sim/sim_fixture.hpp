#pragma once
// A driver on the embedded simulated station, its time on a manual clock that
// the driver's pauses move too.

#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/sim_channel.hpp"
#include "sim/station.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace de30::test {

class SimTest : public ::testing::Test {
protected:
  SimTest() : Station(Clock), Channel(Station), Pauser(Clock) {
    sim::TPumpConfig One;
    One.Address = 1;
    sim::TPumpConfig Two;
    Two.Address = 2;
    Two.Nozzles = 2;
    Station.AddPump(1, One);
    Station.AddPump(1, Two);
    Driver = GetDE30(0, 0, &Channel, &Pauser);
    Driver->InitLine(1);
  }

  // The host code of a multi-nozzle poll (teaching the driver the count).
  std::uint8_t Poll(int Pump, int Nozzles) {
    TSostRecord Record{};
    Driver->GetSostEx(1, static_cast<std::uint8_t>(Pump), static_cast<std::uint8_t>(Nozzles),
                      Record);
    LastRecord = Record;
    return Record.Sost;
  }

  // Polls every second until the pump reports Code, at most Limit times.
  bool PollUntil(int Pump, int Nozzles, std::uint8_t Code, int Limit = 120) {
    for (int I = 0; I < Limit; ++I) {
      if (Poll(Pump, Nozzles) == Code)
        return true;
      Clock.Advance(1000);
    }
    return false;
  }

  sim::TManualClock Clock;
  sim::TSimStation Station;
  sim::TSimChannel Channel;
  sim::TClockPauser Pauser;
  std::unique_ptr<TVM30> Driver;
  TSostRecord LastRecord{};
};

} // namespace de30::test
