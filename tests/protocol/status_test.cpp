#include "de30/messages.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace de30::test {
namespace {

using Strings = std::vector<std::string>;

class StatusTest : public DriverTest {
protected:
  // Polls line 1, pump 3 with status byte S in the reply.
  std::uint16_t Poll(std::uint8_t S) {
    Channel.Reply({0, S, 0});
    return Driver->GetSost(1, 3);
  }
  void SetPump(std::uint8_t A, std::int32_t C, std::uint8_t W) {
    Exposed(*Driver).Authorized[1][3] = A;
    Exposed(*Driver).CountDown[1][3] = C;
    Exposed(*Driver).AwaitIdle[1][3] = W;
  }
};

TEST_F(StatusTest, AFreshPumpIsPolledWithCommandOneAndHoldsBack225UntilIdle) {
  EXPECT_EQ(Poll(0x0A), 192);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 19 /3 @19"}));
  EXPECT_EQ(Poll(0x00), 192);
  EXPECT_EQ(Driver->AwaitIdle()[1][3], 0);
  EXPECT_EQ(Poll(0x0A), 225);
}

TEST_F(StatusTest, AnAuthorisedPumpCountsDownSixPollsThenReports209) {
  Driver->StartPump(1, 3);
  Channel.Clear();
  std::vector<std::uint16_t> Codes;
  for (int I = 0; I < 7; ++I)
    Codes.push_back(Poll(0x08));
  EXPECT_EQ(Codes, (std::vector<std::uint16_t>{217, 217, 217, 217, 217, 217, 209}));
  EXPECT_EQ(Channel.Wire()[0], "00 1B /3 @1B");
  EXPECT_EQ(Driver->CountDown()[1][3], 0);
  EXPECT_EQ(Driver->Authorized()[1][3], 1);
}

TEST_F(StatusTest, WorkedCases) {
  SetPump(1, 6, 0);
  EXPECT_EQ(Poll(0x88), 192);
  EXPECT_EQ(Driver->Authorized()[1][3], 0);
  EXPECT_EQ(Driver->CountDown()[1][3], 5);

  SetPump(1, 2, 0);
  Channel.Clear();
  EXPECT_EQ(Poll(0x59), 217);
  EXPECT_EQ(Driver->CountDown()[1][3], 1);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1B /3 @1B", "00 1F E0 /3 @1F"}));

  SetPump(0, 0, 0);
  EXPECT_EQ(Poll(0x59), 209);

  for (std::uint8_t S : {0x80, 0x91}) {
    SetPump(0, 0, 1);
    EXPECT_EQ(Poll(S), 209) << int(S);
  }

  SetPump(1, 3, 0);
  EXPECT_EQ(Poll(0x20), 192);
  EXPECT_EQ(Driver->Authorized()[1][3], 0);
}

// The translation written as the table of status byte classes: each of the 256
// bytes falls in exactly one row.
struct TExpected {
  std::uint8_t Code;
  std::uint8_t A, W;
  std::int32_t C;
  bool Reinit;
};

TExpected ByClass(std::uint8_t S, std::uint8_t A, std::int32_t C, std::uint8_t W) {
  const bool Bit3 = (S & 0x08) != 0, Bit7 = (S & 0x80) != 0;
  if (S == 0x00)
    return {192, 0, 0, C, false};
  if (Bit3 && Bit7)
    return {192, 0, W, (A && C) ? C - 1 : C, false};
  if (S == 0x0A) {
    if (A)
      return {217, A, W, C, false};
    return {static_cast<std::uint8_t>(W ? 192 : 225), 0, W, C, false};
  }
  if (S == 0x59)
    return {static_cast<std::uint8_t>(A ? 217 : 209), A, W, (A && C) ? C - 1 : C, true};
  if (Bit3) {
    if (!A)
      return {static_cast<std::uint8_t>(W ? 192 : 225), 0, W, C, false};
    if (C == 0)
      return {209, A, W, C, false};
    return {217, A, W, C - 1, false};
  }
  if (S == 0x04 || S == 0x51 || S == 0x80 || S == 0x91)
    return {static_cast<std::uint8_t>(A ? 217 : 209), A, W, C, true};
  return {192, 0, W, C, false};
}

TEST_F(StatusTest, EveryStatusByteTranslatesByItsClass) {
  struct TStart {
    std::uint8_t A;
    std::int32_t C;
    std::uint8_t W;
  };
  const TStart Starts[] = {{0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {1, 3, 0}, {1, 6, 1}, {0, 2, 1}};
  for (int S = 0; S < 256; ++S) {
    for (const TStart &Start : Starts) {
      SetPump(Start.A, Start.C, Start.W);
      Channel.Clear();
      const auto Byte = static_cast<std::uint8_t>(S);
      const TExpected E = ByClass(Byte, Start.A, Start.C, Start.W);
      const std::uint16_t Word = Poll(Byte);
      SCOPED_TRACE("S=" + std::to_string(S) + " A=" + std::to_string(Start.A) +
                   " C=" + std::to_string(Start.C) + " W=" + std::to_string(Start.W));
      EXPECT_EQ(Word, E.Code) << "high byte 0, low byte the code";
      EXPECT_EQ(Driver->Authorized()[1][3], E.A);
      EXPECT_EQ(Driver->CountDown()[1][3], E.C);
      EXPECT_EQ(Driver->AwaitIdle()[1][3], E.W);
      EXPECT_EQ(Channel.Frames().size(), E.Reinit ? 2u : 1u);
    }
  }
}

TEST_F(StatusTest, OutOfRangePollsSendNothing) {
  EXPECT_THROW(Driver->GetSost(1, 32), ERangeError);
  EXPECT_THROW(Driver->GetSost(1, 0), ERangeError);
  EXPECT_THROW(Driver->GetSost(0, 3), ERangeError);
  EXPECT_THROW(Driver->GetSost(33, 3), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(StatusTest, AFailedOrRejectedPollChangesNothing) {
  SetPump(1, 4, 1);
  Channel.Answer(TAnswer::Error(9));
  try {
    Driver->GetSost(1, 3);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::GetSost);
  }
  TAnswer Rejected = TAnswer::Rejected();
  Rejected.Reply = {0, 0x00, 0};
  Channel.Answer(Rejected);
  EXPECT_EQ(Driver->GetSost(1, 3), 0) << "no status is reported as 0";
  EXPECT_EQ(Driver->LineState()[1], LineRejected);
  EXPECT_EQ(Driver->Authorized()[1][3], 1);
  EXPECT_EQ(Driver->CountDown()[1][3], 4);
  EXPECT_EQ(Driver->AwaitIdle()[1][3], 1);
}

TEST_F(StatusTest, AnAbsorbedChannelFailureLeavesTheOldLineStateToDecide) {
  // LastError 0 lets the poll go on as after success, with the line state as it was.
  Driver->SetLineState(1, LineRejected);
  Channel.Answer(TAnswer::Throws());
  EXPECT_EQ(Driver->GetSost(1, 3), 0);
  Driver->SetLineState(1, LineAccepted);
  SetPump(0, 0, 0);
  Channel.Answer(TAnswer::Throws());
  EXPECT_EQ(Driver->GetSost(1, 3), 192) << "the buffer still holds the command, status 0";
  EXPECT_EQ(Driver->AwaitIdle()[1][3], 0);
}

TEST_F(StatusTest, AFailedReinitRaisesItsMessageAfterTheCountDownStep) {
  SetPump(1, 2, 1);
  Channel.Reply({0, 0x59, 0}).Answer(TAnswer::Error(4));
  try {
    Driver->GetSost(1, 3);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::ReinitPump);
  }
  EXPECT_EQ(Driver->CountDown()[1][3], 1);
  EXPECT_EQ(Driver->Authorized()[1][3], 1);
  EXPECT_EQ(Driver->AwaitIdle()[1][3], 1);
}

} // namespace
} // namespace de30::test
