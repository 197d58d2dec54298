// Poll every pump address of one line and show what answers.
//
// A host usually knows its pumps, but at commissioning time it is handy to sweep a
// line: every address 1..31 is polled once; an address with no pump behind it does
// not answer, and the driver reports that as ESerialIO ("Can't GetSost").
//
// Here the line leads to de30's simulated station, so the example runs anywhere.
// On a real line, replace the station and SimChannel by a TSerialChannel
// (<de30/channels/serial_channel.hpp>, library de30::channels).

#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/sim_channel.hpp"
#include "sim/station.hpp"

#include <cstdio>

int main() {
  // A station with three pumps on line 1: addresses 2, 5 and 9.
  de30::sim::TManualClock Clock;
  de30::sim::TSimStation Station(Clock);
  Station.AddPump(1, {.Address = 2, .Nozzles = 1});
  Station.AddPump(1, {.Address = 5, .Nozzles = 2});
  Station.AddPump(1, {.Address = 9, .Nozzles = 4});
  de30::sim::TSimChannel Channel(Station);

  // The driver talks only through the channel; the window handle is not used.
  auto Driver = de30::GetDE30(0, 0, &Channel);
  if (const std::int32_t Error = Driver->InitLine(1); Error != 0) {
    std::printf("line 1 cannot be set up: error %d\n", Error);
    return 1;
  }

  int Answered = 0;
  for (std::uint8_t Pump = 1; Pump <= 31; ++Pump) {
    try {
      // The short poll's status word: the host status code in the low byte.
      const std::uint16_t Status = Driver->GetSost(1, Pump);
      if (Status == 0) {
        std::printf("pump %2u: reply not accepted\n", Pump);
        continue;
      }
      std::printf("pump %2u: status %u\n", Pump, Status);
      ++Answered;
    } catch (const de30::ESerialIO &) {
      // No pump at this address (or a dead line): nothing to show.
    }
  }
  std::printf("%d pumps answer on line 1\n", Answered);
  return Answered == 3 ? 0 : 1;
}
