#include "protocol/nozzles.hpp"

#include "de30/messages.hpp"
#include "support/exposed.hpp"
#include "support/fixture.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace de30::test {
namespace {

using Strings = std::vector<std::string>;

// A record whose every byte says "not written".
TSostRecord Untouched() {
  TSostRecord Record;
  std::memset(&Record, 0xAB, sizeof Record);
  return Record;
}

class NozzleTest : public DriverTest {
protected:
  // Answers the short poll with status byte S and the nozzle poll with bytes 1 and 3.
  void Answers(std::uint8_t S, std::uint8_t Byte1, std::uint8_t Byte3) {
    Channel.Reply({0, S, 0}).Reply({0, Byte1, 0, Byte3, 0});
  }
};

TEST_F(NozzleTest, OneNozzleRepackagesTheShortPoll) {
  Exposed(*Driver).AwaitIdle[1][3] = 0;
  for (std::uint8_t Count : {0, 1}) {
    TSostRecord Record = Untouched();
    Channel.Clear();
    Channel.Reply({0, 0x0A, 0});
    Driver->GetSostEx(1, 3, Count, Record);
    EXPECT_EQ(Record.Sost, 225);
    EXPECT_EQ(Record.SostHigh, 0);
    EXPECT_EQ(Record.ActiveNozzle, 1);
    EXPECT_EQ(Record.Reserved, 0);
    for (int K = 1; K <= 6; ++K)
      EXPECT_EQ(Record.Nozzle(K), 0xABAB) << "nozzles are not written";
    EXPECT_EQ(Channel.Wire(), (Strings{"00 19 /3 @19"}));
    EXPECT_EQ(Driver->NozzleCount()[1][3], Count);
  }
  TSostRecord Record = Untouched();
  Channel.Reply({0, 0x20, 0});
  Driver->GetSostEx(1, 3, 1, Record);
  EXPECT_EQ(Record.Sost, 192);
  EXPECT_EQ(Record.ActiveNozzle, 0);
}

TEST_F(NozzleTest, ARejectedShortPollGivesAnEmptyRecordOnTheOneNozzlePath) {
  TSostRecord Record = Untouched();
  Channel.Answer(TAnswer::Rejected());
  Driver->GetSostEx(1, 3, 1, Record);
  EXPECT_EQ(Record.Sost, 0);
  EXPECT_EQ(Record.SostHigh, 0);
  EXPECT_EQ(Record.ActiveNozzle, 0);
  EXPECT_EQ(Record.Reserved, 0);
}

TEST_F(NozzleTest, TwoNozzlesSendTheNozzlePollAfterTheShortPoll) {
  TSostRecord Record = Untouched();
  Answers(0x00, 0xA0, 0x00);
  Driver->GetSostEx(1, 3, 2, Record);
  EXPECT_EQ(Channel.Wire(), (Strings{"00 19 /3 @19", "00 1E /5 @1E"}));
  EXPECT_EQ(Record.Nozzle(1), 217);
  EXPECT_EQ(Record.Nozzle(2), 192);
  for (int K = 3; K <= 6; ++K)
    EXPECT_EQ(Record.Nozzle(K), 0xABAB);
  EXPECT_EQ(Record.Sost, 217);
  EXPECT_EQ(Record.ActiveNozzle, 1);
  EXPECT_EQ(Record.SostHigh, 0);
  EXPECT_EQ(Record.Reserved, 0);
}

TEST_F(NozzleTest, FourNozzlesTranslateEachNibbleAndPickTheFirstOfTheHighestRank) {
  Exposed(*Driver).Authorized[1][3] = 1;
  Exposed(*Driver).CountDown[1][3] = 4;
  TSostRecord Record = Untouched();
  Answers(0x08, 0x0B, 0xA2); // the short poll reports 217 and leaves CountDown at 3
  Driver->GetSostEx(1, 3, 4, Record);
  EXPECT_EQ(Record.Nozzle(1), 192);
  EXPECT_EQ(Record.Nozzle(2), 210);
  EXPECT_EQ(Record.Nozzle(3), 219);
  EXPECT_EQ(Record.Nozzle(4), 220);
  EXPECT_EQ(Driver->CountDown()[1][3], 2);
  EXPECT_EQ(Record.Sost, 210);
  EXPECT_EQ(Record.ActiveNozzle, 2);
}

TEST_F(NozzleTest, NibbleTwoCountsDownThenReportsCallingAndClearsTheAuthorisation) {
  Exposed(*Driver).Authorized[1][3] = 1;
  Exposed(*Driver).CountDown[1][3] = 2;
  TSostRecord Record = Untouched();
  Answers(0x08, 0x22, 0x00);
  Driver->GetSostEx(1, 3, 4, Record);
  EXPECT_EQ(Record.Nozzle(1), 217);
  EXPECT_EQ(Record.Nozzle(2), 226);
  EXPECT_EQ(Record.Nozzle(3), 192);
  EXPECT_EQ(Record.Nozzle(4), 192);
  EXPECT_EQ(Driver->CountDown()[1][3], 0);
  EXPECT_EQ(Driver->Authorized()[1][3], 0);
  EXPECT_EQ(Record.Sost, 217);
  EXPECT_EQ(Record.ActiveNozzle, 1);

  // Right after a short poll that reported 217, with the count-down run out.
  Exposed(*Driver).Authorized[1][3] = 1;
  Exposed(*Driver).CountDown[1][3] = 1;
  Answers(0x08, 0x20, 0x00);
  Driver->GetSostEx(1, 3, 2, Record);
  EXPECT_EQ(Record.Nozzle(1), 225);
  EXPECT_EQ(Driver->Authorized()[1][3], 0);
  EXPECT_EQ(Record.Sost, 225);
}

TEST_F(NozzleTest, NibbleTwoAfterAShortPollOf209FollowsTheUsualRule) {
  Exposed(*Driver).Authorized[1][3] = 1;
  Exposed(*Driver).CountDown[1][3] = 0;
  TSostRecord Record = Untouched();
  Answers(0x08, 0x02, 0x00); // the short poll reports 209
  Driver->GetSostEx(1, 3, 2, Record);
  EXPECT_EQ(Record.Nozzle(2), 226);
  EXPECT_EQ(Record.Sost, 226);
  EXPECT_EQ(Record.ActiveNozzle, 2);
}

TEST_F(NozzleTest, NozzleCodesIgnoreAwaitIdle) {
  TSostRecord Record = Untouched();
  Answers(0x0A, 0x20, 0x00); // fresh pump: AwaitIdle 1, CountDown 0
  Driver->GetSostEx(1, 3, 2, Record);
  EXPECT_EQ(Record.Nozzle(1), 225);
  EXPECT_EQ(Record.Sost, 225);
}

TEST(NozzleTranslation, EveryNibbleAtEveryPosition) {
  TScriptChannel Channel;
  auto Driver = GetDE30(0, 0, &Channel);
  for (int K = 1; K <= 4; ++K) {
    for (std::uint8_t N = 0; N < 16; ++N) {
      Exposed(*Driver).CountDown[2][5] = 1;
      Exposed(*Driver).Authorized[2][5] = 1;
      const std::uint16_t Code = protocol::TranslateNozzle(Exposed(*Driver), 2, 5, K, N);
      const int Expected = N == 0x2 ? 216 + K : N == 0xA ? 216 + K : N == 0xB ? 208 + K : 192;
      EXPECT_EQ(Code, Expected) << "k=" << K << " nibble=" << int(N);
      EXPECT_EQ(Driver->CountDown()[2][5], N == 0x2 ? 0 : 1);
      EXPECT_EQ(Driver->Authorized()[2][5], 1);
    }
  }
  EXPECT_TRUE(Channel.Events.empty());
}

TSostRecord WithCodes(std::uint8_t Sost, std::vector<std::uint16_t> Codes) {
  TSostRecord Record = Untouched();
  Record.Sost = Sost;
  for (std::size_t K = 0; K < Codes.size(); ++K)
    Record.Nozzles[K] = Codes[K];
  return Record;
}

TEST(NozzleSelection, StartsFromTheRecordsCodeAndRanksTheFamilies) {
  TSostRecord Idle = WithCodes(192, {192, 192, 192, 192});
  protocol::SelectActiveNozzle(Idle, 4);
  EXPECT_EQ(Idle.Sost, 192);
  EXPECT_EQ(Idle.ActiveNozzle, 0xAB) << "nothing taken, nothing written";

  TSostRecord Calling = WithCodes(226, {192, 192, 192, 212});
  protocol::SelectActiveNozzle(Calling, 4);
  EXPECT_EQ(Calling.Sost, 212);
  EXPECT_EQ(Calling.ActiveNozzle, 4);

  TSostRecord Ranked = WithCodes(0, {192, 227, 219, 210});
  protocol::SelectActiveNozzle(Ranked, 4);
  EXPECT_EQ(Ranked.Sost, 219) << "224+k gives way to 216+k, which is never replaced";
  EXPECT_EQ(Ranked.ActiveNozzle, 3);

  TSostRecord Family200 = WithCodes(200, {192, 200});
  protocol::SelectActiveNozzle(Family200, 2);
  EXPECT_EQ(Family200.Sost, 200);
  EXPECT_EQ(Family200.ActiveNozzle, 2);
}

TEST(NozzleSelection, PositionsBeyondTheRecordRaiseOnlyWhileTheCodeMayStillChange) {
  TSostRecord Settled = WithCodes(0, {210, 192, 192, 192, 0, 0});
  protocol::SelectActiveNozzle(Settled, 8);
  EXPECT_EQ(Settled.Sost, 210);
  EXPECT_EQ(Settled.ActiveNozzle, 1);

  TSostRecord Open = WithCodes(0, {192, 192, 192, 192, 198, 150});
  EXPECT_THROW(protocol::SelectActiveNozzle(Open, 7), ERangeError);
  EXPECT_EQ(Open.Sost, 192);
  EXPECT_EQ(Open.ActiveNozzle, 1);

  TSostRecord Oversized = WithCodes(0, {192, 192, 192, 192, 0x1D1});
  EXPECT_THROW(protocol::SelectActiveNozzle(Oversized, 5), ERangeError);
}

TEST_F(NozzleTest, ACountAboveSixRaisesAtPositionSevenWhileTheCodeIsOpen) {
  TSostRecord Record = WithCodes(0, {0, 0, 0, 0, 198, 100});
  Answers(0x00, 0x00, 0x00);
  EXPECT_THROW(Driver->GetSostEx(1, 3, 7, Record), ERangeError);
  for (int K = 1; K <= 4; ++K)
    EXPECT_EQ(Record.Nozzle(K), 192);

  Record = Untouched();
  Answers(0x00, 0xB0, 0x00);
  Driver->GetSostEx(1, 3, 8, Record);
  EXPECT_EQ(Record.Sost, 209);
  EXPECT_EQ(Record.ActiveNozzle, 1);
}

TEST_F(NozzleTest, TheCountIsStoredBeforeAnyExchangeAndKeptOnFailure) {
  Channel.Reply({0, 0, 0});
  TSostRecord Record = Untouched();
  Driver->GetSostEx(1, 3, 4, Record);
  Channel.Reply({0, 0, 0});
  Driver->GetSostEx(1, 3, 1, Record);
  EXPECT_EQ(Driver->NozzleCount()[1][3], 1);

  Channel.Answer(TAnswer::Error(2));
  EXPECT_THROW(Driver->GetSostEx(1, 3, 2, Record), ESerialIO);
  EXPECT_EQ(Driver->NozzleCount()[1][3], 2);

  EXPECT_THROW(Driver->GetSostEx(2, 32, 2, Record), ERangeError);
  EXPECT_EQ(Driver->NozzleCount()[2][32], 2) << "stored before the lead byte fails";
  EXPECT_THROW(Driver->GetSostEx(0, 3, 2, Record), ERangeError);
  EXPECT_THROW(Driver->GetSostEx(1, 33, 2, Record), ERangeError);
}

TEST_F(NozzleTest, AFailedOrRejectedNozzlePollLeavesTheRecordButKeepsTheShortPollsChanges) {
  Exposed(*Driver).Authorized[1][3] = 1;
  Exposed(*Driver).CountDown[1][3] = 3;
  TSostRecord Record = Untouched();
  Channel.Reply({0, 0x08, 0}).Answer(TAnswer::Error(6));
  try {
    Driver->GetSostEx(1, 3, 2, Record);
    ADD_FAILURE() << "no exception";
  } catch (const ESerialIO &E) {
    EXPECT_STREQ(E.what(), messages::GetSost);
  }
  EXPECT_EQ(Driver->CountDown()[1][3], 2);
  EXPECT_EQ(Record.Sost, 0xAB);

  TAnswer Rejected = TAnswer::Rejected();
  Rejected.Reply = {0, 0x22, 0, 0x22, 0};
  Channel.Reply({0, 0x08, 0}).Answer(Rejected);
  Driver->GetSostEx(1, 3, 4, Record);
  EXPECT_EQ(Driver->CountDown()[1][3], 1) << "only the short poll counted down";
  const TSostRecord Expected = Untouched();
  EXPECT_EQ(std::memcmp(&Record, &Expected, sizeof Record), 0);
}

TEST_F(NozzleTest, TheNozzlePollGoesOutEvenWhenTheShortPollWasRejected) {
  Channel.Answer(TAnswer::Rejected()).Reply({0, 0xA0, 0, 0, 0});
  TSostRecord Record = Untouched();
  Driver->GetSostEx(1, 3, 2, Record);
  EXPECT_EQ(Channel.Frames().size(), 2u);
  EXPECT_EQ(Record.Sost, 217);
}

} // namespace
} // namespace de30::test
