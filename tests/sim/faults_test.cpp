// Faults injected into the station's replies, as the driver meets them.
#include "sim_fixture.hpp"

#include <functional>
#include <vector>

namespace de30::test {
namespace {

class Faults : public SimTest {
protected:
  void Add(sim::TFaultKind Kind, int Times = 1) {
    sim::TFaultRule Rule;
    Rule.Kind = Kind;
    Rule.Times = Times;
    Station.AddFault(Rule);
  }
};

TEST_F(Faults, NoReplyIsATimeoutAndTheNextExchangeWorks) {
  Add(sim::TFaultKind::NoReply);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
  EXPECT_EQ(Channel.LastError(1), channels::ErrTimeout);
  EXPECT_EQ(Channel.GetState(1), channels::StateFailed);
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
}

TEST_F(Faults, AReplyLaterThanTheTimeoutIsMissingAndOneWithinItIsNot) {
  sim::TFaultRule Late;
  Late.Kind = sim::TFaultKind::LateReply;
  Late.DelayMs = 2000; // beyond the 1.5 s of the line set-up
  Station.AddFault(Late);
  Late.DelayMs = 1000;
  Station.AddFault(Late);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
  EXPECT_EQ(Channel.LastError(1), channels::ErrTimeout);
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
}

TEST_F(Faults, ALateReplyIsLostAndNeverReachesTheNextExchange) {
  sim::TFaultRule Late;
  Late.Kind = sim::TFaultKind::LateReply;
  Late.DelayMs = 2000;
  Station.AddFault(Late);
  EXPECT_THROW(Driver->GetSost(1, 1), ESerialIO);
  // A poll reply taken for this fill reply would be rejected, its lead byte being
  // the poll's.
  double Amount = -1;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 0.0);
  EXPECT_EQ(Driver->GetLineState(1), LineAccepted);
  EXPECT_DOUBLE_EQ(Amount, 0.0);
}

TEST_F(Faults, AStrayByteShiftsTheReplySoThatItIsRejectedAndTheLineRecovers) {
  struct TCase {
    const char *Exchange;
    std::function<void()> Run;
  };
  const TCase Cases[] = {
      {"status poll", [&] { EXPECT_EQ(Driver->GetSost(1, 1), NoStatus); }},
      {"fill",
       [&] {
         double Amount = -1;
         Driver->ReadFill(1, 1, Amount);
         EXPECT_DOUBLE_EQ(Amount, -1); // not read from a rejected reply
       }},
  };
  for (const TCase &C : Cases) {
    Add(sim::TFaultKind::StrayByte);
    C.Run();
    EXPECT_EQ(Driver->GetLineState(1), LineRejected) << C.Exchange;
    EXPECT_EQ(Channel.LastError(1), ReplyRejectedCode) << C.Exchange;
    // The reply's last byte, left over, is gone before the next frame.
    EXPECT_EQ(Driver->GetSost(1, 1), 192) << C.Exchange;
    EXPECT_EQ(Driver->GetLineState(1), LineAccepted) << C.Exchange;
  }
}

TEST_F(Faults, AStrayByteThatEqualsTheLeadByteIsAcceptedAndMisread) {
  ASSERT_EQ(Driver->GetSost(1, 1), 192); // the pump has reported idle
  sim::TFaultRule Rule;
  Rule.Kind = sim::TFaultKind::StrayByte;
  Rule.Noise = protocol::LeadByte(1, protocol::CmdStatus);
  Station.AddFault(Rule);
  // The check compares first bytes only; the status byte the driver reads is
  // then the reply's lead byte, 0x09, which says "nozzle lifted".
  EXPECT_EQ(Driver->GetSost(1, 1), 225);
  EXPECT_EQ(Driver->GetLineState(1), LineAccepted);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Idle);
}

TEST_F(Faults, AWrongEchoIsRejectedByTheDriversCheck) {
  Add(sim::TFaultKind::WrongEcho);
  EXPECT_EQ(Driver->GetSost(1, 1), 0); // no status from a rejected reply
  EXPECT_EQ(Driver->GetLineState(1), LineRejected);
  EXPECT_EQ(Channel.LastError(1), ReplyRejectedCode);
}

TEST_F(Faults, ADroppedByteIsAShortReply) {
  Add(sim::TFaultKind::DropByte);
  double Amount = 0;
  EXPECT_THROW(Driver->ReadFill(1, 1, Amount), ESerialIO);
  EXPECT_EQ(Channel.LastError(1), channels::ErrShortReply);
}

TEST_F(Faults, CorruptDigitsReachTheHostAsAWrongValue) {
  Add(sim::TFaultKind::CorruptDigits);
  double Amount = 0;
  // The units digit 0xE counts as 14 hundredths: the driver does not validate.
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 0.14);
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 0.00);
}

TEST_F(Faults, AnErrorStatusMakesTheDriverReinitialiseThePump) {
  sim::TFaultRule Rule;
  Rule.Kind = sim::TFaultKind::ErrorStatus;
  Rule.Status = 0x91;
  Station.AddFault(Rule);
  const std::size_t Before = Station.Frames(1);
  EXPECT_EQ(Driver->GetSost(1, 1), 209);
  EXPECT_EQ(Station.Frames(1) - Before, 2u); // the poll and the re-initialisation
}

TEST_F(Faults, ARuleForOnePumpLeavesTheOthersAlone) {
  sim::TFaultRule Rule;
  Rule.Kind = sim::TFaultKind::NoReply;
  Rule.Pump = 2;
  Rule.Times = -1;
  Station.AddFault(Rule);
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
  EXPECT_THROW(Driver->GetSost(1, 2), ESerialIO);
  EXPECT_THROW(Driver->GetSost(1, 2), ESerialIO);
  EXPECT_EQ(Driver->GetSost(1, 1), 192);
}

TEST_F(Faults, AScriptedFaultSpoilsExactlyItsCount) {
  Add(sim::TFaultKind::NoReply, 3);
  int Failed = 0;
  for (int I = 0; I < 6; ++I) {
    try {
      Driver->GetSost(1, 1);
    } catch (const ESerialIO &) {
      ++Failed;
    }
  }
  EXPECT_EQ(Failed, 3);
}

TEST_F(Faults, TheStationCountsTheRepliesItSpoiledPerLine) {
  sim::TPumpConfig Other;
  Other.Address = 4;
  Station.AddPump(2, Other);
  Driver->InitLine(2);
  Add(sim::TFaultKind::WrongEcho, 2);
  EXPECT_EQ(Station.Spoiled(1), 0u);
  for (int I = 0; I < 4; ++I)
    Driver->GetSost(1, 1);
  Driver->GetSost(2, 4);
  EXPECT_EQ(Station.Spoiled(1), 2u);
  EXPECT_EQ(Station.Spoiled(2), 0u);
  EXPECT_EQ(Station.Spoiled(9), 0u);
  // Nothing is kept unless asked for.
  EXPECT_TRUE(Station.SpoiledLog().empty());
}

TEST_F(Faults, AKeptLogOfSpoiledRepliesSaysWhenWhereWhatAndToWhichFrame) {
  Poll(2, 2);
  Station.KeepSpoiledLog(true);
  sim::TFaultRule Totals;
  Totals.Kind = sim::TFaultKind::DropByte;
  Totals.Aim = *sim::AimByName("totals");
  Station.AddFault(Totals);
  Add(sim::TFaultKind::NoReply);
  const std::int64_t At = Clock.NowMs() + 5000;
  Clock.Advance(5000);
  EXPECT_THROW(Driver->GetSost(1, 2), ESerialIO);
  Clock.Advance(1000);
  double Volume = 0, Amount = 0;
  EXPECT_THROW(Driver->GetTotals(1, 2, Volume, Amount), ESerialIO);
  const auto Log = Station.SpoiledLog();
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_EQ(Log[0].AtMs, At);
  EXPECT_EQ(Log[0].Line, 1);
  EXPECT_EQ(Log[0].Pump, 2);
  EXPECT_EQ(Log[0].Kind, sim::TFaultKind::NoReply);
  EXPECT_EQ(Log[0].Aim.Kind, sim::TFrameKind::StatusPoll);
  EXPECT_EQ(Log[1].Pump, 2); // the pump that answers the totals
  EXPECT_EQ(Log[1].Kind, sim::TFaultKind::DropByte);
  EXPECT_EQ(Log[1].Aim.Kind, sim::TFrameKind::Totals);
  EXPECT_EQ(Log[1].AtMs, At + 1000);
}

// Which of 200 polls fail under a random fault of probability 0.3 and Seed.
std::vector<bool> RandomRun(std::uint32_t Seed) {
  sim::TManualClock Clock;
  sim::TSimStation Station(Clock);
  sim::TPumpConfig Pump;
  Station.AddPump(1, Pump);
  sim::TFaultRule Rule;
  Rule.Probability = 0.3;
  Rule.Times = -1;
  Station.SeedFaults(Seed);
  Station.AddFault(Rule);
  sim::TSimChannel Channel(Station);
  auto Driver = GetDE30(0, 0, &Channel);
  std::vector<bool> Failed;
  for (int I = 0; I < 200; ++I) {
    try {
      Driver->GetSost(1, 1);
      Failed.push_back(false);
    } catch (const ESerialIO &) {
      Failed.push_back(true);
    }
  }
  return Failed;
}

TEST(RandomFaults, TheSameSeedGivesTheSameFaultsAtAboutTheirProbability) {
  const auto First = RandomRun(42);
  EXPECT_EQ(First, RandomRun(42));
  const auto Count = std::count(First.begin(), First.end(), true);
  EXPECT_GT(Count, 30);
  EXPECT_LT(Count, 90);
}

} // namespace
} // namespace de30::test
