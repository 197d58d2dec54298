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

TEST(CommandShapes, EveryLeadAndCodeFindsItsOwnRowAndNothingElseMatches) {
  for (const TCommandShape &Shape : CommandShapes) {
    const std::uint8_t Lead = LeadByte(3, Shape.Command);
    const TCommandShape *Found = FindShape(Lead, Shape.Code == NoCode ? 0x5A : Shape.Code);
    ASSERT_NE(Found, nullptr) << Shape.Operation;
    EXPECT_EQ(Found, &Shape) << Shape.Operation;
    EXPECT_GE(CommandBufferSize, Shape.ReplyLength) << "the reply fits the command buffer";
    EXPECT_EQ(ShapeNeedsCode(Lead), Shape.Code != NoCode) << Shape.Operation;
  }
  EXPECT_EQ(FindShape(0x18, 0x00), nullptr) << "command number 0";
  EXPECT_EQ(FindShape(0x1C, 0x33), nullptr) << "a command 4 code of no operation";
}

// Every field read back by its own decoder, at the positions the pumps use.
TEST(Fields, EachEncoderIsUndoneByItsDecoder) {
  std::uint8_t B[CommandBufferSize] = {};
  PutPrice(4550, B, 2);
  EXPECT_EQ(B[4], 0x45);
  EXPECT_EQ(B[5], 0x50);
  EXPECT_EQ(PriceOf(B, 2), 4550);
  PutDose(123456, B);
  EXPECT_EQ(DoseOf(B), 123456);
  PutUnblockCode(0x05, B);
  EXPECT_EQ(UnblockCodeOf(B), 0x05);
  EXPECT_TRUE(UnblockCodeIntact(B));
  B[3] ^= 1;
  EXPECT_FALSE(UnblockCodeIntact(B));
  PutLeadAndComplement(0x1D, B);
  EXPECT_EQ(B[1], 0xE2);
  EXPECT_TRUE(LeadComplementIntact(B));

  PutStatusReply(0x19, StatusFuelling, B);
  EXPECT_EQ(StatusByteOf(B), StatusFuelling);
  EXPECT_EQ(B[2], 0xF5);
  const std::uint8_t Nibbles[ReportedNozzles] = {NibbleCalling, NibbleFlowing, NibbleReady,
                                                 0x1};
  PutNozzleReply(0x1E, Nibbles, B);
  EXPECT_EQ(B[1], 0x2A);
  EXPECT_EQ(B[3], 0xB1);
  for (int K = 1; K <= ReportedNozzles; ++K)
    EXPECT_EQ(NozzleNibble(B, K), Nibbles[K - 1]) << "nozzle " << K;

  std::uint8_t Fill[CommandBufferSize] = {};
  PutFillReply(0x1A, 12345, 999999, 2, Fill);
  EXPECT_EQ(FillAmountOf(Fill), 12345);
  EXPECT_EQ(FillVolumeOf(Fill), 999999);
  EXPECT_EQ(Fill[9], 0x66) << "each value byte is followed by its complement";
  EXPECT_EQ(LastValueByteAt(0x1A, ShapeFill.ReplyLength), 12u);

  std::uint8_t Totals[CommandBufferSize] = {};
  PutTotalsGroup(111, Totals, 1);
  PutTotalsGroup(999999999999, Totals, 2);
  PutTotalsNozzles(2, Totals, 2);
  EXPECT_EQ(TotalOf(Totals, 2), 999999999999);
  EXPECT_EQ(TotalOf(Totals, 1), 111);
  EXPECT_EQ(Totals[26], 2);
  EXPECT_EQ(TotalsGroups(ShapeTotals2First.ReplyLength), 2);
  EXPECT_EQ(LastValueByteAt(TotalsLead, ShapeTotals2First.ReplyLength), 24u);
}

TEST(StatusVocabulary, NamesTheWireBytesAndHostCodes) {
  for (std::uint8_t S : {0x04, 0x51, 0x59, 0x80, 0x91})
    EXPECT_TRUE(AsksForReinit(S)) << int(S);
  EXPECT_FALSE(AsksForReinit(0x00));
  EXPECT_FALSE(AsksForReinit(0x8C));
  EXPECT_TRUE(IsErrorStatus(0x8C));
  EXPECT_FALSE(IsErrorStatus(0x80));
  EXPECT_EQ(CodeIdle, 192);
  EXPECT_EQ(CodeAuthorizedIdle, 209);
  EXPECT_EQ(CodeAuthorized, 217);
  EXPECT_EQ(CodeCalling, 225);
  EXPECT_EQ(HostCode(FamilyCalling, 4), 228);
  EXPECT_EQ(FamilyOf(203), FamilyReserved);
  EXPECT_EQ(NozzleOf(203), 3);
}

} // namespace
} // namespace de30::protocol
