#include "de30/driver.hpp"

#include "driver/cp1251.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace de30::test {
namespace {

TEST(Factories, ANewDriverHoldsTheStartValues) {
  TScriptChannel Channel;
  auto Driver = GetDE30(0, 0x1234, &Channel);
  EXPECT_EQ(Driver->Channel(), &Channel);
  EXPECT_EQ(Driver->AppHandle(), 0x1234u);
  for (int Line = 1; Line <= LineCount; ++Line) {
    EXPECT_EQ(Driver->GetLineState(static_cast<std::uint8_t>(Line)), 1);
    for (int Pump = 1; Pump <= PumpCount; ++Pump) {
      const auto &P = Driver->Prices()[Line][Pump];
      EXPECT_EQ(P[1], 1.0);
      EXPECT_EQ(P[2], 2.0);
      EXPECT_EQ(P[3], 3.0);
      EXPECT_EQ(P[4], 0.0);
      EXPECT_EQ(P[5], 0.0);
      EXPECT_EQ(P[6], 0.0);
      EXPECT_EQ(Driver->NozzleCount()[Line][Pump], 0);
      EXPECT_EQ(Driver->Authorized()[Line][Pump], 0);
      EXPECT_EQ(Driver->CountDown()[Line][Pump], 0);
      EXPECT_EQ(Driver->AwaitIdle()[Line][Pump], 1);
    }
  }
  EXPECT_TRUE(Channel.Events.empty()) << "creating a driver sends nothing";
}

TEST(Factories, GetDriver25IgnoresItsLastFiveValues) {
  TScriptChannel Channel;
  auto A = GetDriver25(7, 99, &Channel, 0xFFFFFFFF, 1, 2, 3, 0xDEADBEEF);
  auto B = GetDE30(7, 99, &Channel);
  EXPECT_EQ(A->AppHandle(), B->AppHandle());
  EXPECT_EQ(A->Channel(), B->Channel());
  EXPECT_EQ(A->LineState()[5], B->LineState()[5]);
  EXPECT_EQ(A->Prices()[3][4][2], B->Prices()[3][4][2]);
}

TEST(Factories, TheLibraryRemembersTheMostRecentDriverWhileItLives) {
  TScriptChannel Channel;
  auto First = GetDE30(0, 0, &Channel);
  EXPECT_EQ(MostRecentDriver(), First.get());
  auto Second = GetDriver25(0, 0, &Channel);
  EXPECT_EQ(MostRecentDriver(), Second.get());
  First.reset();
  EXPECT_EQ(MostRecentDriver(), Second.get());
  Second.reset();
  EXPECT_EQ(MostRecentDriver(), nullptr);
}

TEST(Factories, TwoDriversTalkThroughTheirOwnChannelsOnly) {
  TScriptChannel ChannelA, ChannelB;
  auto A = GetDE30(0, 0, &ChannelA);
  auto B = GetDE30(0, 0, &ChannelB);
  A->SetLineState(2, 9);
  EXPECT_EQ(A->InitLine(2), 0);
  EXPECT_EQ(B->GetLineState(2), 1);
  EXPECT_FALSE(ChannelA.Events.empty());
  EXPECT_TRUE(ChannelB.Events.empty());
}

using InterfaceTest = DriverTest;

TEST_F(InterfaceTest, GetIdentIsTheLengthByteAndThirtyCodePage1251Characters) {
  const TIdentString Ident = Driver->GetIdent();
  EXPECT_EQ(Ident[0], 30);
  char Expected[64];
  ASSERT_EQ(Utf8ToCp1251(IdentText, Expected, sizeof Expected), 30u);
  EXPECT_EQ(std::memcmp(Ident.data() + 1, Expected, 30), 0);
  EXPECT_EQ(std::memcmp(Ident.data() + 1, "v2.50#", 6), 0);
  EXPECT_EQ(Ident[7], 0xCF) << "П";
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(InterfaceTest, LineStateIsReadAndWrittenDirectlyByTheLowByte) {
  Driver->SetLineState(4, 7);
  EXPECT_EQ(Driver->GetLineState(4), 7);
  EXPECT_EQ(Driver->GetLineState(static_cast<std::uint8_t>(0x104)), 7);
  EXPECT_EQ(Driver->GetLineState(5), 1);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(InterfaceTest, LineStateOutsideTheTablesTouchesNothing) {
  Driver->SetLineState(0, 9);
  Driver->SetLineState(33, 9);
  Driver->SetLineState(255, 9);
  EXPECT_EQ(Driver->GetLineState(0), 0);
  EXPECT_EQ(Driver->GetLineState(33), 0);
  for (int Line = 1; Line <= LineCount; ++Line)
    EXPECT_EQ(Driver->LineState()[Line], 1);
}

TEST_F(InterfaceTest, GetCapabilityAnswersKindsOneTwoAndFour) {
  std::int32_t Value = 55;
  EXPECT_TRUE(Driver->GetCapability(1, Value));
  EXPECT_EQ(Value, 0);
  for (std::int32_t Kind : {2, 4}) {
    Value = 55;
    EXPECT_TRUE(Driver->GetCapability(Kind, Value));
    EXPECT_EQ(Value, 1);
  }
  for (std::int32_t Kind : {3, 0, -1, 0x102, 5}) {
    Value = 55;
    EXPECT_FALSE(Driver->GetCapability(Kind, Value));
    EXPECT_EQ(Value, 55) << "kind " << Kind;
  }
}

TEST_F(InterfaceTest, SparePositionsDoNothingAndPositionZeroRaises) {
  Driver->Spare5();
  Driver->Spare8();
  Driver->Spare12();
  Driver->Spare17();
  Driver->Spare18();
  EXPECT_THROW(Driver->Spare0(), EAbstractError);
  EXPECT_TRUE(Channel.Events.empty());
  for (int Line = 1; Line <= LineCount; ++Line)
    EXPECT_EQ(Driver->LineState()[Line], 1);
}

TEST_F(InterfaceTest, TablesRefuseIndexesOutsideTheirRange) {
  EXPECT_THROW(Driver->LineState()[0], ERangeError);
  EXPECT_THROW(Driver->LineState()[33], ERangeError);
  EXPECT_THROW(Driver->Prices()[1][1][7], ERangeError);
  EXPECT_THROW(Driver->CountDown()[1][0], ERangeError);
  EXPECT_NO_THROW(Driver->AwaitIdle()[32][32]);
}

} // namespace
} // namespace de30::test
