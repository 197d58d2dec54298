#pragma once
// The operations under fault injection: every protocol position of the driver, with
// arguments and a pump state that make it take all its exchanges.

#include "faults/fault_model.hpp"

#include <vector>

namespace de30::test {

const std::vector<TCase> &FaultCases();

} // namespace de30::test
