#include "de30/messages.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace de30::test {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

using Strings = std::vector<std::string>;
using PriceTest = DriverTest;

TEST_F(PriceTest, WithoutANozzleCountThePriceIsOnlyStored) {
  Driver->SetPrice(1, 3, 2, 45.5);
  Driver->SetPrice(1, 32, 1, 12.0);
  Driver->SetPrice(1, 3, 6, 250.0); // not sent, so not checked against the field
  EXPECT_EQ(Driver->Prices()[1][3][2], 45.5);
  EXPECT_EQ(Driver->Prices()[1][32][1], 12.0);
  EXPECT_EQ(Driver->Prices()[1][3][6], 250.0);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(PriceTest, OneNozzleReceivesTheGradeOnePriceWhateverGradeWasSet) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Driver->SetPrice(1, 3, 2, 45.5);
  EXPECT_EQ(Driver->Prices()[1][3][2], 45.5);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1C 69 01 00 /4 @1C", "00 1D E2 /1 @1D"}));
  Channel.Clear();
  Driver->SetPrice(1, 3, 1, 45.5);
  EXPECT_EQ(Channel.Wire()[0], "00 1C 69 45 50 /4 @1C");
}

TEST_F(PriceTest, SeveralNozzlesReceiveGradesOneToFive) {
  Exposed(*Driver).NozzleCount[1][3] = 2;
  Driver->SetPrice(1, 3, 1, 45.5);
  EXPECT_EQ(Channel.Wire(),
            (Strings{"00 1C 4B 45 50 02 00 03 00 00 00 00 00 /12 @1C", "00 1D E2 /1 @1D"}));
  Channel.Clear();
  Exposed(*Driver).NozzleCount[1][3] = 4;
  Driver->SetPrice(1, 3, 6, 9.99);
  EXPECT_EQ(Driver->Prices()[1][3][6], 9.99);
  EXPECT_EQ(Channel.Wire()[0], "00 1C 4B 45 50 02 00 03 00 00 00 00 00 /12 @1C")
      << "grade 6 is never sent";
}

TEST_F(PriceTest, PricesRoundHalvesToEven) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Driver->SetPrice(1, 3, 1, 1.125);
  Driver->SetPrice(1, 3, 1, 1.375);
  Driver->SetPrice(1, 3, 1, 99.99);
  const auto Wire = Channel.Wire();
  EXPECT_EQ(Wire[0], "00 1C 69 01 12 /4 @1C");
  EXPECT_EQ(Wire[2], "00 1C 69 01 38 /4 @1C");
  EXPECT_EQ(Wire[4], "00 1C 69 99 99 /4 @1C");
}

TEST_F(PriceTest, AValueThatRoundsToZeroFromBelowGoesOutAsZero) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Driver->SetPrice(1, 3, 1, -0.004);
  Driver->SetDoseLitres(1, 3, -0.0049);
  Driver->SetDoseLitres(1, 3, -0.0);
  const auto Wire = Channel.Wire();
  ASSERT_EQ(Wire.size(), 6u);
  EXPECT_EQ(Wire[0], "00 1C 69 00 00 /4 @1C");
  EXPECT_EQ(Wire[2], "00 1C 0F 00 00 00 /5 @1C");
  EXPECT_EQ(Wire[4], "00 1C 0F 00 00 00 /5 @1C");
  // -0.005 is stored a hair below the decimal written: its exact hundredths,
  // -0.500000000000000010..., round to -1, which the field cannot carry.
  Channel.Clear();
  EXPECT_THROW(Driver->SetDoseLitres(1, 3, -0.005), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(PriceTest, APriceTheFieldCannotCarryIsStoredButNotSent) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  for (double Price : {123.45, 100.0, -0.01, -5.0, 21474836.48, NaN, Inf}) {
    EXPECT_THROW(Driver->SetPrice(1, 3, 1, Price), ERangeError) << Price;
    if (!std::isnan(Price)) {
      EXPECT_EQ(Driver->Prices()[1][3][1], Price);
    }
  }
  EXPECT_TRUE(Channel.Events.empty());
  // Every grade about to be sent is checked, not only the one being set.
  Exposed(*Driver).NozzleCount[1][3] = 2;
  Exposed(*Driver).Prices[1][3][4] = 150.0;
  EXPECT_THROW(Driver->SetPrice(1, 3, 1, 10.0), ERangeError);
  EXPECT_EQ(Driver->Prices()[1][3][1], 10.0);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(PriceTest, IndexesAreCheckedBeforeAnythingIsStored) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  for (auto [Line, Pump, Grade] :
       {std::tuple{1, 0, 1}, {1, 33, 1}, {0, 3, 1}, {33, 3, 1}, {1, 3, 0}, {1, 3, 7}})
    EXPECT_THROW(Driver->SetPrice(Line, Pump, Grade, 50.0), ERangeError);
  for (int Grade = 1; Grade <= 6; ++Grade)
    EXPECT_NE(Driver->Prices()[1][3][Grade], 50.0);
  // Pump 32 is stored, then has no lead byte.
  Exposed(*Driver).NozzleCount[1][32] = 1;
  EXPECT_THROW(Driver->SetPrice(1, 32, 1, 50.0), ERangeError);
  EXPECT_EQ(Driver->Prices()[1][32][1], 50.0);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(PriceTest, AFailedPriceExchangeKeepsTheStoredPriceAndSkipsTheExecute) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Channel.Answer(TAnswer::Error(8));
  try {
    Driver->SetPrice(1, 3, 1, 12.5);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::SetPrice);
  }
  EXPECT_EQ(Channel.Frames().size(), 1u);
  EXPECT_EQ(Driver->Prices()[1][3][1], 12.5);
}

TEST_F(PriceTest, DoseLitresSendsSixDigitsThenExecutes) {
  Driver->SetDoseLitres(1, 2, 12.34);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 14 0F 00 12 34 /5 @14", "00 15 EA /1 @15"}));
  Channel.Clear();
  Driver->SetDoseLitres(1, 0, 9999.99);
  EXPECT_EQ(Channel.Wire()[0], "00 04 0F 99 99 99 /5 @04") << "pump address 0 is sent";
  Channel.Clear();
  Driver->SetDoseLitres(0, 2, 0.0);
  EXPECT_EQ(Channel.Wire()[0], "00 14 0F 00 00 00 /5 @14");
  EXPECT_EQ(Channel.Transactions()[0].Line, 0);
}

TEST_F(PriceTest, ADoseTheFieldCannotCarryIsRefusedBeforeAnyFrame) {
  for (double Volume : {12345.67, 10000.0, -0.01, NaN, -Inf, 1e12})
    EXPECT_THROW(Driver->SetDoseLitres(1, 2, Volume), ERangeError) << Volume;
  EXPECT_THROW(Driver->SetDoseLitres(1, 32, 1.0), ERangeError);
  EXPECT_THROW(Driver->SetDoseLitres(256, 2, 1.0), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(PriceTest, DoseLitresFailuresReportTheFailingExchange) {
  Channel.Answer(TAnswer::Error(1));
  try {
    Driver->SetDoseLitres(1, 2, 1.0);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::SetDoseLitres);
  }
  EXPECT_EQ(Channel.Frames().size(), 1u);
}

TEST_F(PriceTest, DoseMoneyDividesByTheStoredPrice) {
  Driver->SetPrice(1, 3, 1, 45.5);
  Driver->SetDoseMoney(1, 3, 1, 100.0);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1C 0F 00 02 20 /5 @1C", "00 1D E2 /1 @1D"}));
}

TEST_F(PriceTest, DoseMoneyRefusesWhatCannotBeConvertedBeforeAnyFrame) {
  EXPECT_THROW(Driver->SetDoseMoney(1, 3, 4, 100.0), ERangeError) << "grade 4 costs 0";
  EXPECT_THROW(Driver->SetDoseMoney(1, 3, 1, NaN), ERangeError);
  EXPECT_THROW(Driver->SetDoseMoney(1, 3, 1, Inf), ERangeError);
  EXPECT_THROW(Driver->SetDoseMoney(1, 3, 1, 20000.0), ERangeError) << "20000 litres";
  EXPECT_THROW(Driver->SetDoseMoney(1, 0, 1, 10.0), ERangeError);
  EXPECT_THROW(Driver->SetDoseMoney(33, 3, 1, 10.0), ERangeError);
  EXPECT_THROW(Driver->SetDoseMoney(1, 3, 7, 10.0), ERangeError);
  Exposed(*Driver).Prices[1][3][2] = 1e-300;
  EXPECT_THROW(Driver->SetDoseMoney(1, 3, 2, 1e300), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
}

} // namespace
} // namespace de30::test
