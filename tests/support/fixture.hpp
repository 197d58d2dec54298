#pragma once
// A driver on a script channel whose pauses are recorded rather than slept.

#include "de30/driver.hpp"
#include "support/script_channel.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace de30::test {

class DriverTest : public ::testing::Test {
protected:
  DriverTest() : Driver(GetDE30(0, 0, &Channel, &Channel)) {}

  TScriptChannel Channel;
  std::unique_ptr<TVM30> Driver;
};

} // namespace de30::test
