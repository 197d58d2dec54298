#include "link/exchange.hpp"

#include "link/init_line.hpp"

#include "de30/driver.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

namespace de30::test {
namespace {

using ExchangeTest = DriverTest;

link::TExchangeResult Exchange(TVM30 &Driver, std::uint8_t Line, TBytes Command,
                               std::uint8_t ReplyLen, std::uint8_t Lead,
                               TBytes *ReplyOut = nullptr) {
  std::uint8_t Buffer[CommandBufferSize] = {};
  for (std::size_t I = 0; I < Command.size(); ++I)
    Buffer[I] = Command[I];
  const auto Result = link::Exchange(Exposed(Driver), Line, 9, Buffer,
                                     static_cast<std::uint8_t>(Command.size()), ReplyLen, Lead);
  if (ReplyOut != nullptr)
    ReplyOut->assign(Buffer, Buffer + ReplyLen);
  return Result;
}

std::int32_t Send(TVM30 &Driver, std::uint8_t Line, TBytes Command, std::uint8_t ReplyLen,
                  std::uint8_t Lead, TBytes *ReplyOut = nullptr) {
  return Exchange(Driver, Line, std::move(Command), ReplyLen, Lead, ReplyOut).ChannelError;
}

TEST_F(ExchangeTest, FramesTheCommandBehindAZeroByteAndPassesLengthsAndLead) {
  Channel.Reply({0x1C, 0x55});
  TBytes Reply;
  EXPECT_EQ(Send(*Driver, 2, {0x1C, 0xE1}, 2, 0x1C, &Reply), 0);
  const auto T = Channel.Transactions();
  ASSERT_EQ(T.size(), 1u);
  EXPECT_EQ(T[0].Frame, (TBytes{0x00, 0x1C, 0xE1}));
  EXPECT_EQ(T[0].Line, 2);
  EXPECT_EQ(T[0].Line2, 2);
  EXPECT_EQ(T[0].ReplyLength, 2);
  EXPECT_EQ(T[0].Lead, 0x1C);
  EXPECT_EQ(Reply, (TBytes{0x1C, 0x55}));
}

TEST_F(ExchangeTest, RegistersItsOwnCheckBeforeEveryTransactionThenReadsTheState) {
  Send(*Driver, 3, {0x19}, 3, 0x19);
  Send(*Driver, 3, {0x19}, 3, 0x19);
  std::vector<TEvent::TKind> Kinds;
  for (const auto &E : Channel.Events)
    Kinds.push_back(E.Kind);
  // SetState/SetError come from the check routine the channel runs inside Transact.
  const std::vector<TEvent::TKind> Once = {TEvent::SetReplyCheck, TEvent::Transact,
                                           TEvent::SetState, TEvent::SetError,
                                           TEvent::GetState};
  std::vector<TEvent::TKind> Twice = Once;
  Twice.insert(Twice.end(), Once.begin(), Once.end());
  EXPECT_EQ(Kinds, Twice);
  EXPECT_EQ(Channel.Events[0].Check, Channel.Events[5].Check);
  EXPECT_EQ(Channel.Events[0].Check, &link::CheckReply);
  EXPECT_EQ(Channel.Events[0].Data, &Exposed(*Driver));
  EXPECT_EQ(Channel.Events[5].Data, Channel.Events[0].Data);
}

TEST_F(ExchangeTest, StoresTheLineStateAfterEveryTransactionEvenOnAnErrorNumber) {
  Channel.Answer(TAnswer::Rejected());
  EXPECT_EQ(Send(*Driver, 4, {0x19}, 3, 0x19), 0);
  EXPECT_EQ(Driver->LineState()[4], LineRejected);

  TAnswer Failing = TAnswer::Error(5);
  Channel.Answer(Failing);
  const auto Result = Exchange(*Driver, 4, {0x19}, 3, 0x19);
  EXPECT_EQ(Result.ChannelError, 5);
  EXPECT_FALSE(Result.Absorbed) << "Transact's own number";
  EXPECT_EQ(Driver->LineState()[4], LineAccepted);
}

TEST_F(ExchangeTest, AbsorbsStdExceptionsAndReportsTheChannelsLastError) {
  Exposed(*Driver).LineState[6] = 7;
  Channel.Answer(TAnswer::Throws());
  Channel.LastErrorValue = 0;
  EXPECT_EQ(Send(*Driver, 6, {0x19}, 3, 0x19), 0);
  EXPECT_EQ(Driver->LineState()[6], 7) << "the line state keeps its value";

  Channel.Answer(TAnswer::Throws());
  Channel.LastErrorValue = 31;
  const auto Result = Exchange(*Driver, 6, {0x19}, 3, 0x19);
  EXPECT_EQ(Result.ChannelError, 31);
  EXPECT_TRUE(Result.Absorbed);
  EXPECT_EQ(Driver->LineState()[6], 7);
  EXPECT_EQ(Channel.Events.back().Kind, TEvent::LastError);
  EXPECT_EQ(Channel.Events.back().Line, 6);
}

TEST_F(ExchangeTest, AbsorbsAFailingStateQuery) {
  Exposed(*Driver).LineState[1] = 9;
  Channel.GetStateThrows = true;
  Channel.LastErrorValue = 12;
  EXPECT_EQ(Send(*Driver, 1, {0x19}, 3, 0x19), 12);
  EXPECT_EQ(Driver->LineState()[1], 9);
}

TEST_F(ExchangeTest, LetsExceptionsOutsideTheStdFamilyThrough) {
  TAnswer Other;
  Other.ThrowOther = true;
  Channel.Answer(Other);
  EXPECT_THROW(Send(*Driver, 1, {0x19}, 3, 0x19), int);
  for (const auto &E : Channel.Events)
    EXPECT_NE(E.Kind, TEvent::LastError);
}

TEST_F(ExchangeTest, ALineOutsideTheTablesStillTransactsAndTheStoreFailureIsAbsorbed) {
  Channel.LastErrorValue = 0;
  for (std::uint8_t Line : {0, 33, 255}) {
    Channel.Clear();
    EXPECT_EQ(Send(*Driver, Line, {0x19}, 3, 0x19), 0);
    const auto T = Channel.Transactions();
    ASSERT_EQ(T.size(), 1u);
    EXPECT_EQ(T[0].Line, Line);
    EXPECT_EQ(Channel.Events.back().Kind, TEvent::LastError);
  }
  for (int Line = 1; Line <= LineCount; ++Line)
    EXPECT_EQ(Driver->LineState()[Line], LineAccepted);
}

TEST_F(ExchangeTest, RefusesACommandTooLongForTheFrame) {
  std::uint8_t Buffer[256] = {};
  try {
    link::Exchange(Exposed(*Driver), 1, 1, Buffer, 255, 1, 0);
    ADD_FAILURE() << "a 255-byte command was sent";
  } catch (const ERangeError &E) {
    EXPECT_STREQ(E.Detail(), "send count 255 outside 0..254");
  }
  EXPECT_TRUE(Channel.Events.empty());
  std::fill(std::begin(Buffer), std::end(Buffer), 0x11);
  EXPECT_EQ(link::Exchange(Exposed(*Driver), 1, 1, Buffer, 254, 0, 0x11).ChannelError, 0);
  EXPECT_EQ(Channel.Frames().at(0).size(), 255u);
}

TEST(ExchangeNoChannel, ADriverWithoutAChannelFailsAtTheFirstExchange) {
  auto Driver = GetDE30(0, 0, nullptr);
  std::uint8_t Buffer[4] = {0x19};
  EXPECT_THROW(link::Exchange(Exposed(*Driver), 1, 3, Buffer, 1, 3, 0x19), ENoChannel);
  EXPECT_THROW(Driver->InitLine(1), ENoChannel);
}

TEST_F(ExchangeTest, CheckReplyAcceptsEqualFirstBytesAndTellsTheChannel) {
  const std::uint8_t A[] = {0x1C, 1}, Same[] = {0x1C, 2}, Other[] = {0x1D, 1};
  TDriverState *Data = &Exposed(*Driver);
  EXPECT_TRUE(link::CheckReply(Data, 300, A, Same));
  EXPECT_FALSE(link::CheckReply(Data, 300, A, Other));
  ASSERT_EQ(Channel.Events.size(), 4u);
  EXPECT_EQ(Channel.Events[0].Kind, TEvent::SetState);
  EXPECT_EQ(Channel.Events[0].Value, 1);
  EXPECT_EQ(Channel.Events[1].Kind, TEvent::SetError);
  EXPECT_EQ(Channel.Events[1].Value, 0);
  EXPECT_EQ(Channel.Events[2].Value, 3);
  EXPECT_EQ(Channel.Events[3].Value, 219);
  for (const auto &E : Channel.Events)
    EXPECT_EQ(E.Line, 300) << "the line word is handed on unchanged";
}

TEST_F(ExchangeTest, InitLineRegistersTheSetupRoutineAndReturnsSetupLinesResult) {
  Channel.SetupResult = -17;
  EXPECT_EQ(Driver->InitLine(3), -17);
  ASSERT_EQ(Channel.Events.size(), 2u);
  EXPECT_EQ(Channel.Events[0].Kind, TEvent::SetLineSetup);
  EXPECT_EQ(Channel.Events[0].Line, 3);
  EXPECT_EQ(Channel.Events[0].Setup, &link::ApplyLineSetup);
  EXPECT_EQ(Channel.Events[0].Data, &Exposed(*Driver));
  EXPECT_EQ(Channel.Events[1].Kind, TEvent::SetupLine);
  EXPECT_EQ(Channel.Events[1].Line, 3);
  EXPECT_EQ(Channel.Events[1].Value, 15);
  EXPECT_EQ(Channel.Events[1].Value2, 2400);
  // The channel may run the registered routine again when it reopens the line.
  Channel.SetupResult = 4;
  EXPECT_EQ(Channel.Events[0].Setup(Channel.Events[0].Data, 77), 4);
  EXPECT_EQ(Channel.Events.back().Line, 77);
  // Line is not checked.
  EXPECT_EQ(Driver->InitLine(-5), 4);
}

} // namespace
} // namespace de30::test
