#include "de30/driver_state.hpp"

namespace de30 {

TDriverState::TDriverState(TComChannel *HostChannel, TPauser &HostPauser)
    : Channel(HostChannel), Pauser(HostPauser) {
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
