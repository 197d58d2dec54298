// One whole transaction, as a station program runs it: price, preset,
// authorisation, the fill watched to its end, and the totals.
//
// The pump is de30's simulated one, whose time moves only when we say so, so the
// example runs in a blink; a real host simply polls every few hundred
// milliseconds.

#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/sim_channel.hpp"
#include "sim/station.hpp"

#include <cstdio>

int main() {
  constexpr int Line = 1;
  constexpr int Pump = 3;
  de30::sim::TManualClock Clock;
  de30::sim::TSimStation Station(Clock);
  Station.AddPump(Line, {.Address = Pump, .Nozzles = 1});
  de30::sim::TSimChannel Channel(Station);
  // The driver pauses briefly after a start; on the simulated station those
  // pauses move the station's clock instead of sleeping.
  de30::sim::TClockPauser Pauser(Clock);

  auto Driver = de30::GetDE30(0, 0, &Channel, &Pauser);
  Driver->InitLine(Line);

  // GetSostEx tells the driver how many nozzles the pump has; prices and totals
  // need that. The first poll also shows the driver the pump is idle.
  de30::TSostRecord Record{};
  Driver->GetSostEx(Line, Pump, 1, Record);
  std::printf("idle:        status %u\n", Record.Sost);

  double TotalVolume = 0, TotalAmount = 0;
  Driver->GetTotals(Line, Pump, TotalVolume, TotalAmount);
  std::printf("totals:      %.2f l, %.2f\n", TotalVolume, TotalAmount);

  Driver->SetPrice(Line, Pump, 1, 45.50); // grade 1, per litre

  // A customer lifts the nozzle: the pump calls (225).
  Station.LiftNozzle(Line, Pump, 1);
  Driver->GetSostEx(Line, Pump, 1, Record);
  std::printf("calling:     status %u\n", Record.Sost);

  // The customer prepays 200.00: preset that amount at grade 1, then authorise.
  Driver->SetDoseMoney(Line, Pump, 1, 200.00);
  Driver->StartPump(Line, Pump);

  // Watch the fill: 217 while authorised or fuelling, 192 once it has ended.
  double Volume = 0, Amount = 0;
  for (int Second = 0; Second < 600; ++Second) {
    Driver->GetSostEx(Line, Pump, 1, Record);
    Driver->GetFillData(Line, Pump, Volume, Amount);
    if (Second % 3 == 0 || Record.Sost == 192)
      std::printf("t+%3ds:      status %u, %6.2f l, %7.2f\n", Second, Record.Sost, Volume,
                  Amount);
    if (Record.Sost == 192 && Second > 0)
      break;
    Clock.Advance(1000);
  }
  Station.HangNozzle(Line, Pump);

  double NewVolume = 0, NewAmount = 0;
  Driver->GetTotals(Line, Pump, NewVolume, NewAmount);
  std::printf("totals:      %.2f l, %.2f (+%.2f l)\n", NewVolume, NewAmount,
              NewVolume - TotalVolume);

  // The fill stopped at the preset: the money buys 4.3956 litres, and the dose
  // travels in hundredths, so the pump stops at 4.40 l (200.20 at 45.50).
  const bool Stopped = Volume > 4.395 && Volume < 4.405;
  const bool Counted =
      NewVolume - TotalVolume > Volume - 0.005 && NewVolume - TotalVolume < Volume + 0.005;
  return Stopped && Counted ? 0 : 1;
}
