// The cause every failure carries: where an exchange failed and with which channel
// number, and which argument was out of which range. what() stays the fixed text.
#include "de30/messages.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace de30::test {
namespace {

using ErrorsTest = DriverTest;

ESerialIO SerialFailure(const std::function<void()> &Operation) {
  try {
    Operation();
  } catch (const ESerialIO &E) {
    return E;
  }
  ADD_FAILURE() << "no ESerialIO";
  return ESerialIO("");
}

ERangeError RangeFailure(const std::function<void()> &Operation) {
  try {
    Operation();
  } catch (const ERangeError &E) {
    return E;
  }
  ADD_FAILURE() << "no ERangeError";
  return ERangeError();
}

TEST_F(ErrorsTest, ASerialFailureCarriesTheLineAndTheNumberTransactReturned) {
  Channel.Answer(TAnswer::Error(7));
  const ESerialIO E = SerialFailure([&] { Driver->StartPump(5, 3); });
  EXPECT_STREQ(E.what(), messages::StartPump);
  EXPECT_EQ(E.Line(), 5);
  EXPECT_EQ(E.ChannelError(), 7);
  EXPECT_FALSE(E.Absorbed());
}

TEST_F(ErrorsTest, ASerialFailureAfterAnAbsorbedExceptionCarriesWhatLastErrorGave) {
  // The execute command fails: the message and line are its own.
  Channel.Reply({}).Answer(TAnswer::Throws());
  Channel.LastErrorValue = 31;
  const ESerialIO E = SerialFailure([&] { Driver->StopPump(9, 2); });
  EXPECT_STREQ(E.what(), messages::ExecuteCommand);
  EXPECT_EQ(E.Line(), 9);
  EXPECT_EQ(E.ChannelError(), 31);
  EXPECT_TRUE(E.Absorbed());
}

TEST_F(ErrorsTest, AFailingStateQueryCountsAsAbsorbedToo) {
  Channel.GetStateThrows = true;
  Channel.LastErrorValue = 12;
  const ESerialIO E = SerialFailure([&] { (void)Driver->GetSost(4, 1); });
  EXPECT_STREQ(E.what(), messages::GetSost);
  EXPECT_EQ(E.Line(), 4);
  EXPECT_EQ(E.ChannelError(), 12);
  EXPECT_TRUE(E.Absorbed());
}

TEST_F(ErrorsTest, EveryRangeCheckNamesItsArgumentValueAndRange) {
  struct TCase {
    std::function<void()> Operation;
    const char *Detail;
  };
  Exposed(*Driver).NozzleCount[1][3] = 1;
  Exposed(*Driver).NozzleCount[1][4] = 3;
  double Value = 0, Other = 0;
  TSostRecord Record{};
  const TCase Cases[] = {
      {[&] { Driver->StartPump(1, 33); }, "Pump 33 outside 1..32"},
      {[&] { Driver->StartPump(0, 1); }, "Line 0 outside 1..32"},
      {[&] { Driver->SetPrice(1, 3, 7, 1.0); }, "Grade 7 outside 1..6"},
      {[&] { Driver->SetPrice(1, 3, 1, 100.0); }, "price 10000 outside 0..9999"},
      {[&] { Driver->SetDoseLitres(1, 3, 10000.0); }, "dose 1000000 outside 0..999999"},
      {[&] { Driver->SetDoseLitres(1, 3, -0.01); }, "dose -1 outside 0..999999"},
      {[&] { Driver->SetDoseLitres(256, 3, 1.0); }, "Line 256 outside 0..255"},
      {[&] { (void)Driver->StopPump(1, 32); }, "lead byte 260 outside 0..255"},
      {[&] { Driver->UnblockPump(1, 3, 256); }, "unblock code 256 outside 0..255"},
      {[&] { Driver->GetTotals(1, 4, Value, Other); }, "nozzle count 3 outside 1..2"},
      {[&] { Driver->SetDoseMoney(1, 3, 5, 10.0); }, "stored price 0 outside 1..9999"},
      {[&] { Driver->GetSostEx(1, 3, 9, Record); }, "nozzle count 9 outside 0..6"},
      {[&] { (void)Record.Nozzle(7); }, "nozzle position 7 outside 1..6"},
  };
  for (const TCase &C : Cases) {
    const ERangeError E = RangeFailure(C.Operation);
    EXPECT_STREQ(E.Detail(), C.Detail);
    EXPECT_STREQ(E.what(), "Range check error") << "what the Windows interface hands on";
  }
  const ERangeError E = RangeFailure([&] { Driver->SetPrice(2, 31, 0, 1.0); });
  EXPECT_STREQ(E.Argument(), "Grade");
  EXPECT_EQ(E.Value(), 0);
  EXPECT_EQ(E.Min(), 1);
  EXPECT_EQ(E.Max(), 6);
}

TEST_F(ErrorsTest, ALineBeyondTheTablesIsNamedAfterItsExchange) {
  Channel.Reply(TBytes(16, 0));
  double Value2 = 0;
  const ERangeError E = RangeFailure([&] { (void)Driver->ReadFill(40, 5, Value2); });
  EXPECT_STREQ(E.Detail(), "Line 40 outside 1..32");
  EXPECT_EQ(Channel.Frames().size(), 1u);
}

} // namespace
} // namespace de30::test
