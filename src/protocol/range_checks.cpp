#include "protocol/range_checks.hpp"

#include "de30/driver_state.hpp"

namespace de30::protocol {

void CheckPumpAndLine(std::int32_t Line, std::int32_t Pump) {
  TIndexed<int, PumpCount, PumpArgument>::Check(Pump);
  TIndexed<int, LineCount, LineArgument>::Check(Line);
}

void CheckGrade(std::int32_t Grade) { TPerGrade<int>::Check(Grade); }

} // namespace de30::protocol
