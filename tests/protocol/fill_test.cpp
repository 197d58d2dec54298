#include "de30/messages.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace de30::test {
namespace {

using Strings = std::vector<std::string>;
using FillTest = DriverTest;

// A reply of Length bytes carrying Digits (packed BCD) at every second position
// from First; the bytes in between hold 0xEE so a decoder reading them would show.
TBytes ReplyWith(std::size_t Length, std::size_t First, TBytes Digits) {
  TBytes Reply(Length, 0xEE);
  for (std::size_t I = 0; I < Digits.size(); ++I)
    Reply[First + 2 * I] = Digits[I];
  return Reply;
}

TEST_F(FillTest, ReadFillDecodesBothValuesFromEverySecondByte) {
  TBytes Reply = ReplyWith(16, 2, {0x00, 0x01, 0x23, 0x00, 0x45, 0x67});
  Channel.Reply(Reply);
  double Value2 = -1;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 5, Value2), 45.67);
  EXPECT_DOUBLE_EQ(Value2, 1.23);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 2A B4 /16 @2A"}));

  Channel.Reply(ReplyWith(16, 2, {0x99, 0x99, 0x99, 0x12, 0x34, 0x56}));
  double Value1 = -1;
  Driver->GetFillData(1, 5, Value1, Value2);
  EXPECT_DOUBLE_EQ(Value1, 1234.56);
  EXPECT_DOUBLE_EQ(Value2, 9999.99);
}

TEST_F(FillTest, ARejectedFillReplyWritesNothingAndReadsAsZero) {
  Channel.Answer(TAnswer::Rejected());
  double Value2 = 3.5;
  EXPECT_EQ(Driver->ReadFill(1, 5, Value2), 0.0);
  EXPECT_EQ(Value2, 3.5);
  Channel.Answer(TAnswer::Rejected());
  double Value1 = 8.0;
  Driver->GetFillData(1, 5, Value1, Value2);
  EXPECT_EQ(Value1, 0.0);
  EXPECT_EQ(Value2, 3.5);
}

TEST_F(FillTest, ReadFillFailures) {
  Channel.Answer(TAnswer::Error(4));
  double Value2 = 3.5;
  try {
    Driver->ReadFill(1, 5, Value2);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::ReadFill);
  }
  EXPECT_EQ(Value2, 3.5);

  Channel.Clear();
  EXPECT_THROW(Driver->ReadFill(1, 32, Value2), ERangeError);
  EXPECT_THROW(Driver->ReadFill(256, 5, Value2), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
  // A line outside the tables reaches the wire and fails before decoding.
  Channel.Reply(ReplyWith(16, 2, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
  EXPECT_THROW(Driver->ReadFill(40, 5, Value2), ERangeError);
  EXPECT_EQ(Channel.Frames().size(), 1u);
  EXPECT_EQ(Value2, 3.5);
}

TEST_F(FillTest, TotalsOfOneNozzle) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Channel.Reply(ReplyWith(16, 2, {0x00, 0x00, 0x12, 0x34, 0x56, 0x78}))
      .Reply(ReplyWith(16, 2, {0x99, 0x99, 0x99, 0x99, 0x99, 0x99}));
  double Total1 = 0, Total2 = 0;
  Driver->GetTotals(1, 3, Total1, Total2);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 02 87 /16 @02", "00 02 78 /16 @02"}));
  EXPECT_DOUBLE_EQ(Total1, 123456.78);
  EXPECT_DOUBLE_EQ(Total2, 9999999999.99) << "twelve digits decode exactly";
}

TEST_F(FillTest, TotalsOfTwoNozzlesComeFromTheSecondGroup) {
  Exposed(*Driver).NozzleCount[1][3] = 2;
  TBytes First = ReplyWith(28, 2, {0x77, 0x77, 0x77, 0x77, 0x77, 0x77});
  for (std::size_t I = 0; I < 6; ++I)
    First[14 + 2 * I] = static_cast<std::uint8_t>(0x10 + I);
  Channel.Reply(First).Reply(ReplyWith(28, 14, {0, 0, 0, 0, 0x01, 0x00}));
  double Total1 = 0, Total2 = 0;
  Driver->GetTotals(1, 3, Total1, Total2);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 02 2D /28 @02", "00 02 1E /28 @02"}));
  EXPECT_DOUBLE_EQ(Total1, 1011121314.15);
  EXPECT_DOUBLE_EQ(Total2, 1.0);
}

TEST_F(FillTest, TotalsRequestsDoNotCarryThePumpAddress) {
  Exposed(*Driver).NozzleCount[1][32] = 1;
  Exposed(*Driver).NozzleCount[1][4] = 1;
  double Total1 = 0, Total2 = 0;
  Driver->GetTotals(1, 32, Total1, Total2);
  Driver->GetTotals(1, 4, Total1, Total2);
  const auto Frames = Channel.Frames();
  ASSERT_EQ(Frames.size(), 4u);
  EXPECT_EQ(Frames[0], Frames[2]);
  EXPECT_EQ(Frames[1], Frames[3]);
}

TEST_F(FillTest, TotalsNeedANozzleCountOfOneOrTwo) {
  double Total1 = 5, Total2 = 6;
  for (std::uint8_t Count : {0, 3, 4, 255}) {
    Exposed(*Driver).NozzleCount[1][3] = Count;
    EXPECT_THROW(Driver->GetTotals(1, 3, Total1, Total2), ERangeError) << int(Count);
  }
  Exposed(*Driver).NozzleCount[1][3] = 1;
  EXPECT_THROW(Driver->GetTotals(0, 3, Total1, Total2), ERangeError);
  EXPECT_THROW(Driver->GetTotals(1, 33, Total1, Total2), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
  EXPECT_EQ(Total1, 5);
  EXPECT_EQ(Total2, 6);
}

TEST_F(FillTest, EachTotalIsWrittenOnlyFromItsOwnAcceptedReply) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Channel.Answer(TAnswer::Rejected()).Reply(ReplyWith(16, 2, {0, 0, 0, 0, 0x02, 0x50}));
  double Total1 = 5, Total2 = 6;
  Driver->GetTotals(1, 3, Total1, Total2);
  EXPECT_EQ(Total1, 5);
  EXPECT_DOUBLE_EQ(Total2, 2.5);
  EXPECT_EQ(Channel.Frames().size(), 2u);
}

TEST_F(FillTest, TheSecondTotalsRequestGoesOutFromTheFirstRequestsBuffer) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  // The second channel raises and reports no error: the line state still says
  // accepted, and what the buffer holds is the first reply behind the new request.
  Channel.Reply(ReplyWith(16, 2, {0x00, 0x00, 0x12, 0x34, 0x56, 0x78}))
      .Answer(TAnswer::Throws());
  Channel.LastErrorValue = 0;
  double Total1 = 5, Total2 = 6;
  Driver->GetTotals(1, 3, Total1, Total2);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 02 87 /16 @02", "00 02 78 /16 @02"}));
  EXPECT_DOUBLE_EQ(Total1, 123456.78);
  EXPECT_DOUBLE_EQ(Total2, 123456.78) << "decoded from the buffer the first reply left";
}

TEST_F(FillTest, AFailedFirstTotalsRequestEndsTheOperation) {
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Channel.Answer(TAnswer::Error(2));
  double Total1 = 5, Total2 = 6;
  try {
    Driver->GetTotals(1, 3, Total1, Total2);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::GetTotals);
    EXPECT_EQ(E.Line(), 1);
    EXPECT_EQ(E.ChannelError(), 2);
  }
  EXPECT_EQ(Channel.Frames().size(), 1u);
  EXPECT_EQ(Total1, 5);
  EXPECT_EQ(Total2, 6);
}

} // namespace
} // namespace de30::test
