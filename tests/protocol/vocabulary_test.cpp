#include "protocol/vocabulary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace de30::protocol {
namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Encode(std::int32_t Value, std::uint8_t Digits) {
  std::uint8_t Buffer[8];
  std::fill(std::begin(Buffer), std::end(Buffer), 0xEE);
  IntToBCD(Value, Buffer, Digits);
  TBytes Written;
  for (std::uint8_t B : Buffer) {
    if (B == 0xEE)
      break;
    Written.push_back(B);
  }
  return Written;
}

TEST(IntToBCD, WritesPairsMostSignificantFirstAndDropsDigitsBeyondTheBytes) {
  EXPECT_EQ(Encode(12345, 5), (TBytes{0x01, 0x23, 0x45}));
  EXPECT_EQ(Encode(123456, 5), (TBytes{0x12, 0x34, 0x56}));
  EXPECT_EQ(Encode(1234567, 5), (TBytes{0x23, 0x45, 0x67}));
  EXPECT_EQ(Encode(1999, 4), (TBytes{0x19, 0x99}));
  EXPECT_EQ(Encode(12345, 4), (TBytes{0x23, 0x45}));
  EXPECT_EQ(Encode(0, 5), (TBytes{0x00, 0x00, 0x00}));
}

TEST(IntToBCD, ByteCountFollowsTheDigitCount) {
  for (std::uint8_t Digits : {0, 1, 2})
    EXPECT_EQ(Encode(42, Digits), TBytes{0x42}) << int(Digits);
  EXPECT_EQ(Encode(42, 3), (TBytes{0x00, 0x42}));
  EXPECT_EQ(Encode(42, 6), (TBytes{0x00, 0x00, 0x42}));
}

TEST(IntToBCD, NegativeValuesFollowTheSignedRemainderRule) {
  EXPECT_EQ(Encode(-1, 5), (TBytes{0x00, 0x00, 0xFF}));
  // -12: units -2, tens -1 -> (-2 - 16) mod 256 = 0xEE, which also is our fill byte.
  std::uint8_t Buffer[2] = {};
  IntToBCD(-12, Buffer, 4);
  EXPECT_EQ(Buffer[0], 0x00);
  EXPECT_EQ(Buffer[1], 0xEE);
}

TEST(BCDToInt, DecodesPairsWithoutValidatingNibbles) {
  const std::uint8_t A[] = {0x01, 0x23, 0x45};
  EXPECT_EQ(BCDToInt(A, 3), 12345);
  const std::uint8_t Max[] = {0x00, 0x21, 0x47, 0x48, 0x36, 0x47};
  EXPECT_EQ(BCDToInt(Max, 6), 2147483647);
  const std::uint8_t Bad[] = {0xAB};
  EXPECT_EQ(BCDToInt(Bad, 1), 111);
  EXPECT_EQ(BCDToInt(nullptr, 0), 0);
}

TEST(BCDToInt, TwelveDigitsDecodeExactly) {
  const std::uint8_t Big[] = {0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
  EXPECT_EQ(BCDToInt(Big, 6), 999999999999LL);
  const std::uint8_t Over32[] = {0x00, 0x21, 0x47, 0x48, 0x36, 0x48};
  EXPECT_EQ(BCDToInt(Over32, 6), 2147483648LL);
}

TEST(BCDToInt, GathersValuesFromEverySecondPosition) {
  const std::uint8_t Reply[] = {0x00, 0x12, 0xFF, 0x34, 0xFF, 0x56};
  EXPECT_EQ(BCDAtEverySecond(Reply + 1, 3), 123456);
}

TEST(LeadByte, IsPumpTimesEightPlusCommandAndRangeCheckedOnTheSum) {
  EXPECT_EQ(LeadByte(1, CmdStatus), 0x09);
  EXPECT_EQ(LeadByte(3, CmdSet), 0x1C);
  EXPECT_EQ(LeadByte(31, CmdReinit), 0xFF);
  EXPECT_EQ(LeadByte(0, CmdSet), 0x04) << "pump address 0 passes the sum check";
  EXPECT_THROW(LeadByte(32, CmdStatus), ERangeError);
  EXPECT_THROW(LeadByte(-1, CmdReinit), ERangeError);
  EXPECT_THROW(LeadByte(std::numeric_limits<std::int32_t>::max(), CmdStatus), ERangeError);
  EXPECT_EQ(LeadPump(0xFC), 31);
  EXPECT_EQ(LeadCommand(0xFC), 4);
}

TEST(CodeBytes, HighNibbleIsTheComplementOfTheLowOne) {
  for (std::uint8_t Code :
       {CodeStart, CodeStop, CodeDose, CodePriceOne, CodePriceFive, CodeUnblock, CodeFill,
        CodeTotals1First, CodeTotals2First, CodeTotals1Second, CodeTotals2Second})
    EXPECT_EQ(Code >> 4, (~Code) & 0x0F) << int(Code);
  EXPECT_EQ(Complement(0x1D), 0xE2);
}

TEST(ToHundredths, RoundsHalvesToEven) {
  EXPECT_EQ(ToHundredths(1.125), 112);
  EXPECT_EQ(ToHundredths(1.375), 138);
  EXPECT_EQ(ToHundredths(45.5), 4550);
  EXPECT_EQ(ToHundredths(0.004), 0);
  EXPECT_EQ(ToHundredths(0.006), 1);
  EXPECT_EQ(ToHundredths(-0.125), -12);
  EXPECT_EQ(ToHundredths(-0.375), -38);
  EXPECT_EQ(ToHundredths(2.1978021978), 220);
}

TEST(ToHundredths, RoundsTheExactProductOfTheStoredValue) {
  // Each of these is stored a hair above or below the decimal written, so only an
  // exact tie goes to the even neighbour.
  EXPECT_EQ(ToHundredths(0.005), 1);
  EXPECT_EQ(ToHundredths(0.015), 1);
  EXPECT_EQ(ToHundredths(2.675), 267);
  EXPECT_EQ(ToHundredths(45.555), 4555);
  EXPECT_EQ(ToHundredths(1234.565), 123457);
  EXPECT_EQ(ToHundredths(-2.675), -267);
  EXPECT_EQ(ToHundredths(-0.005), -1);
  EXPECT_EQ(ToHundredths(0.0), 0);
  EXPECT_EQ(ToHundredths(-0.0), 0);
  EXPECT_EQ(ToHundredths(5e-324), 0) << "the smallest subnormal";
  EXPECT_EQ(ToHundredths(0.25), 25);
  EXPECT_EQ(ToHundredths(1e-3), 0);
}

TEST(ToHundredths, RefusesValuesOutsideTheSigned32BitRangeAndNonFiniteOnes) {
  EXPECT_EQ(ToHundredths(21474836.47), 2147483647);
  EXPECT_EQ(ToHundredths(-21474836.48), std::numeric_limits<std::int32_t>::min());
  EXPECT_THROW(ToHundredths(21474836.48), ERangeError);
  EXPECT_THROW(ToHundredths(1e300), ERangeError);
  EXPECT_THROW(ToHundredths(-1e300), ERangeError);
  EXPECT_THROW(ToHundredths(4503599627370496.0), ERangeError) << "2^52";
  EXPECT_THROW(ToHundredths(-21474836.49), ERangeError);
  EXPECT_THROW(ToHundredths(std::nan("")), ERangeError);
  EXPECT_THROW(ToHundredths(std::numeric_limits<double>::infinity()), ERangeError);
  EXPECT_THROW(ToHundredths(-std::numeric_limits<double>::infinity()), ERangeError);
}

TEST(ToWireHundredths, RefusesWhatTheFieldCannotCarry) {
  EXPECT_EQ(ToWireHundredths(99.99, MaxPriceHundredths), 9999);
  EXPECT_EQ(ToWireHundredths(0.0, MaxPriceHundredths), 0);
  EXPECT_THROW(ToWireHundredths(100.0, MaxPriceHundredths), ERangeError);
  EXPECT_THROW(ToWireHundredths(-0.01, MaxPriceHundredths), ERangeError);
  EXPECT_EQ(ToWireHundredths(9999.99, MaxDoseHundredths), 999999);
  EXPECT_THROW(ToWireHundredths(12345.67, MaxDoseHundredths), ERangeError);
}

} // namespace
} // namespace de30::protocol
