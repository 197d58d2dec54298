#pragma once
// The range checks the operations make on their host arguments before they send.

#include <cstdint>

namespace de30::protocol {

// Raises ERangeError unless Pump and then Line lie within 1..32.
void CheckPumpAndLine(std::int32_t Line, std::int32_t Pump);
// Raises ERangeError unless Grade lies within 1..6.
void CheckGrade(std::int32_t Grade);

} // namespace de30::protocol
