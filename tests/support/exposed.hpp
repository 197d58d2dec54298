#pragma once
// The one door tests have into a driver's state: they set up tables (a pump
// already authorised, a nozzle count) and check what an operation did to them.
// Nothing outside tests includes this.

#include "de30/driver.hpp"

namespace de30 {

struct TExposed {
  static TDriverState &State(TVM30 &Driver) { return Driver.State; }
};

namespace test {
inline TDriverState &Exposed(TVM30 &Driver) { return TExposed::State(Driver); }
} // namespace test

} // namespace de30
