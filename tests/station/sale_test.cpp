// Sale names and times as the interface writes them.
#include "station/sale.hpp"

#include <gtest/gtest.h>

namespace de30::station {
namespace {

TEST(SaleNames, EveryStateReadsBackFromItsName) {
  for (const auto State :
       {TSaleState::Open, TSaleState::Payable, TSaleState::Locked, TSaleState::Cleared})
    EXPECT_EQ(ParseSaleState(SaleStateName(State)), State);
  EXPECT_STREQ(SaleStateName(TSaleState::Payable), "payable");
  EXPECT_EQ(ParseSaleState("Payable"), std::nullopt);
  EXPECT_EQ(ParseSaleState(""), std::nullopt);
}

TEST(IsoTime, IsUtcWithMilliseconds) {
  EXPECT_EQ(IsoTime(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(IsoTime(1796770209123), "2026-12-08T22:50:09.123Z");
  // A leap day, and the last millisecond of a year.
  EXPECT_EQ(IsoTime(951782400007), "2000-02-29T00:00:00.007Z");
  EXPECT_EQ(IsoTime(1704067199999), "2023-12-31T23:59:59.999Z");
  // Before the epoch the milliseconds still count forward within the second.
  EXPECT_EQ(IsoTime(-1), "1969-12-31T23:59:59.999Z");
}

TEST(IsoTime, NowIsTheWallClock) {
  const auto Now = NowEpochMs();
  EXPECT_GT(Now, 1700000000000); // after November 2023
  EXPECT_EQ(IsoTime(Now).size(), 24u);
}

} // namespace
} // namespace de30::station
