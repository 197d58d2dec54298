#include "station/prices.hpp"

#include <gtest/gtest.h>

namespace de30::station {
namespace {

TPumpConfig PumpSelling(std::vector<int> Grades) {
  TPumpConfig Pump;
  Pump.Line = 1;
  Pump.Address = 4;
  Pump.Nozzles = std::move(Grades);
  return Pump;
}

TEST(PriceListTest, PositionKHoldsThePriceOfTheGradeNozzleKSellsAndTheRestZero) {
  const TPriceList List =
      BuildPriceList(PumpSelling({95, 92}), {{92, 1.55}, {95, 1.72}, {7, 9.0}});
  EXPECT_TRUE(List.Complete);
  EXPECT_DOUBLE_EQ(List.Positions[0], 1.72);
  EXPECT_DOUBLE_EQ(List.Positions[1], 1.55);
  for (std::size_t I = 2; I < List.Positions.size(); ++I)
    EXPECT_EQ(List.Positions[I], 0.0) << "position " << I + 1 << " must not keep a start value";
}

TEST(PriceListTest, AListIsIncompleteUntilEveryGradeHasAPrice) {
  const TPriceList List = BuildPriceList(PumpSelling({1, 3}), {{1, 1.5}});
  EXPECT_FALSE(List.Complete);
  EXPECT_EQ(List.Missing, "no price for grade 3");
  EXPECT_EQ(List.Positions[1], 0.0);
}

TEST(PriceListTest, ValidPricesHaveAtMostTwoDecimalsWithinTheRange) {
  EXPECT_TRUE(ValidPrice(0.0));
  EXPECT_TRUE(ValidPrice(99.99));
  EXPECT_TRUE(ValidPrice(1.05));
  EXPECT_FALSE(ValidPrice(100.0));
  EXPECT_FALSE(ValidPrice(-0.01));
  EXPECT_FALSE(ValidPrice(1.005));
  EXPECT_FALSE(ValidPrice(std::numeric_limits<double>::quiet_NaN()));
}

TEST(PumpPricesTest, PendingAfterTheStartUntilSentOnceThenSentUntilAGradeOfItChanges) {
  TPumpPrices Prices(PumpSelling({1, 2}));
  EXPECT_EQ(Prices.State(), TPriceState::Pending);
  EXPECT_TRUE(Prices.SentPrices().empty());
  EXPECT_FALSE(Prices.SentPrice(1));
  Prices.Update({{1, 1.5}, {2, 1.6}});
  EXPECT_EQ(Prices.Reason(), "not sent since the start");
  EXPECT_TRUE(Prices.NeedsSend());
  EXPECT_TRUE(Prices.OnSent(true, ""));
  EXPECT_EQ(Prices.State(), TPriceState::Sent);
  EXPECT_EQ(Prices.SentPrices(), (std::vector<double>{1.5, 1.6}));
  EXPECT_EQ(*Prices.SentPrice(2), 1.6);
  EXPECT_FALSE(Prices.Update({{1, 1.5}, {2, 1.6}, {3, 2.0}})) << "grade 3 is not sold here";
  EXPECT_FALSE(Prices.NeedsSend());

  EXPECT_TRUE(Prices.Update({{1, 1.5}, {2, 1.7}, {3, 2.0}}));
  EXPECT_EQ(Prices.State(), TPriceState::Pending);
  EXPECT_EQ(Prices.Reason(), "new prices to send");
  EXPECT_EQ(*Prices.SentPrice(2), 1.6) << "the pump still sells at what it was sent";
  EXPECT_TRUE(Prices.Hold("held back"));
  EXPECT_FALSE(Prices.Hold("held back"));
  EXPECT_TRUE(Prices.OnSent(false, "price list: the reply was rejected"));
  EXPECT_EQ(Prices.State(), TPriceState::Failed);
  EXPECT_FALSE(Prices.Hold("held back")) << "the failure's reason stays until the next try";
  EXPECT_EQ(*Prices.SentPrice(2), 1.6);
  Prices.OnSent(true, "");
  EXPECT_EQ(*Prices.SentPrice(2), 1.7);
}

TEST(PumpPricesTest, NoListForAPumpWithAGradeWithoutPrice) {
  TPumpPrices Prices(PumpSelling({1, 2}));
  Prices.Update({{1, 1.5}});
  EXPECT_FALSE(Prices.NeedsSend());
  EXPECT_EQ(Prices.State(), TPriceState::Pending);
  EXPECT_EQ(Prices.Reason(), "no price for grade 2");
}

} // namespace
} // namespace de30::station
