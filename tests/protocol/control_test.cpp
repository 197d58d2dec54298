#include "de30/messages.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace de30::test {
namespace {

using Strings = std::vector<std::string>;
using ControlTest = DriverTest;

// Expects Call to raise ESerialIO with exactly Message.
template <typename F> void ExpectSerialError(F Call, const char *Message) {
  try {
    Call();
    ADD_FAILURE() << "no ESerialIO, expected \"" << Message << "\"";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), Message);
  }
}

TEST_F(ControlTest, StartPumpSendsStartAndExecuteThenAuthorisesAndPauses) {
  Driver->StartPump(1, 3);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1C E1 /2 @1C", "00 1D E2 /1 @1D", "pause 100"}));
  EXPECT_EQ(Driver->Authorized()[1][3], 1);
  EXPECT_EQ(Driver->CountDown()[1][3], 6);
  // Starting again reloads the count-down.
  Exposed(*Driver).CountDown[1][3] = 2;
  Driver->StartPumpEx(1, 3);
  EXPECT_EQ(Driver->CountDown()[1][3], 6);
}

TEST_F(ControlTest, StartPumpFailuresLeaveTheTablesAndSkipThePause) {
  Channel.Answer(TAnswer::Error(5));
  ExpectSerialError([&] { Driver->StartPump(1, 3); }, messages::StartPump);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1C E1 /2 @1C"}));

  Channel.Clear();
  Channel.Reply({}).Answer(TAnswer::Error(7));
  ExpectSerialError([&] { Driver->StartPump(1, 3); }, messages::ExecuteCommand);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1C E1 /2 @1C", "00 1D E2 /1 @1D"}));
  EXPECT_EQ(Driver->Authorized()[1][3], 0);
  EXPECT_EQ(Driver->CountDown()[1][3], 0);
}

TEST_F(ControlTest, StartPumpRefusesPumpsAndLinesOutsideTheTablesBeforeAnyFrame) {
  // Pump 32 is in the tables but has no lead byte.
  for (auto [Line, Pump] :
       {std::pair{1, 0}, {1, 33}, {0, 3}, {33, 3}, {-1, 3}, {1, -8}, {1, 32}})
    EXPECT_THROW(Driver->StartPump(Line, Pump), ERangeError) << Line << "/" << Pump;
  EXPECT_TRUE(Channel.Events.empty());
}

TEST_F(ControlTest, StopPumpSendsStopAndExecuteAndChangesNoTable) {
  Exposed(*Driver).Authorized[2][31] = 1;
  Exposed(*Driver).CountDown[2][31] = 4;
  EXPECT_EQ(Driver->StopPump(2, 31), 0);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 FC D2 /2 @FC", "00 FD 02 /1 @FD"}));
  EXPECT_EQ(Driver->Authorized()[2][31], 1);
  EXPECT_EQ(Driver->CountDown()[2][31], 4);
}

TEST_F(ControlTest, StopPumpFailuresReportTheFailingExchange) {
  Channel.Answer(TAnswer::Error(1));
  ExpectSerialError([&] { Driver->StopPump(1, 1); }, messages::StopPump);
  EXPECT_EQ(Channel.Frames().size(), 1u);
  Channel.Clear();
  Channel.Reply({}).Answer(TAnswer::Error(1));
  ExpectSerialError([&] { Driver->StopPump(1, 1); }, messages::ExecuteCommand);
  EXPECT_EQ(Channel.Frames().size(), 2u);
}

TEST_F(ControlTest, StopPumpChecksOnlyTheLeadByteAndTheByteRange) {
  EXPECT_THROW(Driver->StopPump(1, 32), ERangeError);
  EXPECT_THROW(Driver->StopPump(256, 3), ERangeError);
  EXPECT_THROW(Driver->StopPump(-1, 3), ERangeError);
  EXPECT_TRUE(Channel.Events.empty());
  // Pump address 0 and line 0 reach the wire; the line's state store is absorbed.
  Driver->StopPump(0, 0);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 04 D2 /2 @04", "00 05 FA /1 @05"}));
  EXPECT_EQ(Channel.Transactions()[0].Line, 0);
}

TEST_F(ControlTest, StopPumpIfStopsOnlyWithANonZeroFlag) {
  Driver->StopPumpIf(1, 3, 0);
  EXPECT_TRUE(Channel.Events.empty());
  Driver->StopPumpIf(1, 3, 1);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 1C D2 /2 @1C", "00 1D E2 /1 @1D"}));
}

TEST_F(ControlTest, UnblockPumpReinitialisesUnblocksPausesAndExecutes) {
  Exposed(*Driver).AwaitIdle[1][2] = 0;
  Driver->UnblockPump(1, 2, 7);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 17 E8 /3 @17", "00 14 96 07 F8 /4 @00", "pause 50",
                                     "00 15 EA /1 @15"}));
  EXPECT_EQ(Driver->AwaitIdle()[1][2], 1);
}

TEST_F(ControlTest, UnblockPumpSetsAwaitIdleBeforeItsFirstExchangeWhateverFails) {
  Exposed(*Driver).AwaitIdle[1][2] = 0;
  Channel.Answer(TAnswer::Error(3));
  ExpectSerialError([&] { Driver->UnblockPump(1, 2, 7); }, messages::ReinitPump);
  EXPECT_EQ(Channel.Frames().size(), 1u);
  EXPECT_EQ(Driver->AwaitIdle()[1][2], 1);

  Channel.Clear();
  Channel.Reply({}).Answer(TAnswer::Error(3));
  ExpectSerialError([&] { Driver->UnblockPump(1, 2, 7); }, messages::SendUnblock);
  EXPECT_TRUE(Channel.Pauses().empty());

  Channel.Clear();
  Channel.Reply({}).Reply({}).Answer(TAnswer::Error(3));
  ExpectSerialError([&] { Driver->UnblockPump(1, 2, 7); }, messages::ExecuteCommand);
  EXPECT_EQ(Channel.Pauses(), std::vector<std::int32_t>{50});
}

TEST_F(ControlTest, UnblockCodeOutsideAByteStopsAfterTheReinitFrame) {
  for (std::int32_t Code : {256, -1}) {
    Channel.Clear();
    Exposed(*Driver).AwaitIdle[1][2] = 0;
    EXPECT_THROW(Driver->UnblockPump(1, 2, Code), ERangeError);
    EXPECT_EQ(Channel.Wire(), (Strings{"00 17 E8 /3 @17"}));
    EXPECT_EQ(Driver->AwaitIdle()[1][2], 1);
  }
  Channel.Clear();
  Driver->UnblockPump(1, 2, 255);
  EXPECT_EQ(Channel.Wire()[1], "00 14 96 FF 00 /4 @00");
}

TEST_F(ControlTest, UnblockPumpChecksPumpAndLineFirstAndPump32AfterSettingAwaitIdle) {
  EXPECT_THROW(Driver->UnblockPump(1, 33, 1), ERangeError);
  EXPECT_THROW(Driver->UnblockPump(0, 3, 1), ERangeError);
  EXPECT_THROW(Driver->UnblockPump(1, 0, 1), ERangeError);
  Exposed(*Driver).AwaitIdle[4][32] = 0;
  EXPECT_THROW(Driver->UnblockPump(4, 32, 1), ERangeError);
  EXPECT_EQ(Driver->AwaitIdle()[4][32], 1);
  EXPECT_TRUE(Channel.Events.empty());
}

// Replaces one operation and records calls to it, to show which operations reach
// their peers through the driver's own virtual operations.
class TRecordingDriver : public TVM30 {
public:
  using TVM30::TVM30;
  std::vector<std::string> Calls;
  void StartPump(std::int32_t Line, std::int32_t Pump) override {
    Calls.push_back("StartPump " + std::to_string(Line) + " " + std::to_string(Pump));
  }
  std::uint8_t StopPump(std::int32_t Line, std::int32_t Pump) override {
    Calls.push_back("StopPump " + std::to_string(Line) + " " + std::to_string(Pump));
    return 0;
  }
  double ReadFill(std::int32_t Line, std::int32_t, double &Value2) override {
    Calls.push_back("ReadFill " + std::to_string(Line));
    Value2 = 2.5;
    return 7.25;
  }
  void SetDoseLitres(std::int32_t, std::int32_t, double Volume) override {
    Calls.push_back("SetDoseLitres " + std::to_string(Volume));
  }
  std::uint16_t GetSost(std::uint8_t Line, std::uint8_t) override {
    Calls.push_back("GetSost " + std::to_string(Line));
    return 0xE1;
  }
};

TEST(Forwarding, OperationsDefinedByOthersGoThroughTheDriversOwnOperations) {
  TScriptChannel Channel;
  TRecordingDriver Driver(0, &Channel, &Channel);
  Driver.StartPumpEx(2, 5);
  Driver.StopPumpIf(3, 6, 1);
  double Value1 = 0, Value2 = 0;
  Driver.GetFillData(4, 7, Value1, Value2);
  Driver.SetDoseMoney(5, 8, 1, 10.0); // grade 1 starts at 1.0 per litre
  TSostRecord Record{};
  Driver.GetSostEx(6, 9, 1, Record);
  EXPECT_EQ(Driver.Calls,
            (std::vector<std::string>{"StartPump 2 5", "StopPump 3 6", "ReadFill 4",
                                      "SetDoseLitres 10.000000", "GetSost 6"}));
  EXPECT_EQ(Value1, 7.25);
  EXPECT_EQ(Value2, 2.5);
  EXPECT_EQ(Record.Sost, 0xE1);
  EXPECT_EQ(Record.ActiveNozzle, 1);
  EXPECT_TRUE(Channel.Frames().empty());
}

} // namespace
} // namespace de30::test
