#include "de30/tables.hpp"

#include <chrono>
#include <thread>

namespace de30 {

void TThreadPauser::Pause(std::uint32_t Milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

TThreadPauser &TThreadPauser::Instance() {
  static TThreadPauser Pauser;
  return Pauser;
}

TDriverState::TDriverState(TComChannel *HostChannel) : Channel(HostChannel) {
  static constexpr double StartPrices[GradeCount] = {1.0, 2.0, 3.0, 0.0, 0.0, 0.0};
  for (int Line = 1; Line <= LineCount; ++Line) {
    LineState[Line] = LineAccepted;
    for (int Pump = 1; Pump <= PumpCount; ++Pump) {
      for (int Grade = 1; Grade <= GradeCount; ++Grade)
        Prices[Line][Pump][Grade] = StartPrices[Grade - 1];
      CountDown[Line][Pump] = 0;
      Authorized[Line][Pump] = 0;
      NozzleCount[Line][Pump] = 0;
      AwaitIdle[Line][Pump] = 1;
    }
  }
}

} // namespace de30
