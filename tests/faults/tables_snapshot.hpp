#pragma once
// A copy of every driver table, so a test can state the tables it expects after an
// operation and compare them with the driver's, entry by entry.

#include "de30/driver.hpp"

#include <cstdint>
#include <string>

namespace de30::test {

// A copy of the driver's tables.
using TTables = TDriverTables;

TTables Snapshot(const TVM30 &Driver);

// One line per differing entry ("CountDown[2][3]: expected 6, found 0"), at most a
// dozen; empty when the tables are equal. Prices compare bit for bit.
std::string Differences(const TTables &Expected, const TTables &Actual);

} // namespace de30::test
