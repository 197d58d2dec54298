// What a pump remembers between transactions: its last fill, which pump a totals
// request reaches, and what the groups of a totals reply hold.
#include "sim_fixture.hpp"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace de30::test {
namespace {

class PumpMemory : public SimTest {
protected:
  PumpMemory() {
    sim::TPumpConfig Three;
    Three.Address = 3;
    Station.AddPump(1, Three);
    sim::TPumpConfig Four;
    Four.Address = 4;
    Four.Nozzles = 2;
    Four.Totals = sim::TTotalsLayout::PerNozzle;
    Station.AddPump(1, Four);
  }

  // A whole sale of Litres on one nozzle, the nozzle hung up at the end.
  void Sell(int Pump, int Nozzles, int Nozzle, double Litres) {
    ASSERT_EQ(Poll(Pump, Nozzles), 192);
    ASSERT_TRUE(Station.LiftNozzle(1, Pump, Nozzle));
    Poll(Pump, Nozzles);
    Driver->SetDoseLitres(1, Pump, Litres);
    Driver->StartPump(1, Pump);
    ASSERT_TRUE(PollUntil(Pump, Nozzles, 192));
    ASSERT_TRUE(Station.HangNozzle(1, Pump));
    Poll(Pump, Nozzles);
  }

  // The volume total the driver reads for Pump, whichever pump answers.
  double TotalVolume(int Pump) {
    double Volume = -1;
    double Amount = -1;
    Driver->GetTotals(1, Pump, Volume, Amount);
    return Volume;
  }

  // The raw reply to a totals request with Code, after a status poll of Pump.
  std::vector<std::uint8_t> RawTotals(int Pump, std::uint8_t Code) {
    const std::uint8_t Frames[] = {0x00, protocol::LeadByte(Pump, protocol::CmdStatus), 0x00,
                                   protocol::TotalsLead, Code};
    const auto Replies = Station.Receive(1, Frames, sizeof Frames);
    return Replies.size() == 2 ? Replies[1].Bytes : std::vector<std::uint8_t>{};
  }
};

TEST_F(PumpMemory, TheLastFillStaysUntilTheNextAuthorisationWhateverHappensMeanwhile) {
  ASSERT_EQ(Poll(1, 1), 192);
  Driver->SetPrice(1, 1, 1, 40.00);
  ASSERT_TRUE(Station.LiftNozzle(1, 1, 1));
  Poll(1, 1);
  Driver->StartPump(1, 1);
  Clock.Advance(2000 + 3000);
  Driver->StopPump(1, 1);
  double Amount = 0;
  const double Volume = Driver->ReadFill(1, 1, Amount);
  ASSERT_GT(Volume, 1.0);
  ASSERT_DOUBLE_EQ(Amount, std::round(Volume * 40.00 * 100) / 100);

  struct TStep {
    const char *What;
    std::function<void()> Do;
  };
  const std::uint8_t StartNotExecuted[] = {0x00, 0x0C, protocol::CodeStart};
  const TStep Steps[] = {
      {"a poll", [&] { Poll(1, 1); }},
      {"a second stop", [&] { Driver->StopPump(1, 1); }},
      {"the nozzle hung up", [&] { Station.HangNozzle(1, 1); }},
      {"an hour idle", [&] { Clock.Advance(3'600'000); }},
      {"the nozzle lifted again", [&] { Station.LiftNozzle(1, 1, 1); }},
      {"a start never executed",
       [&] { Station.Receive(1, StartNotExecuted, sizeof StartNotExecuted); }},
      {"a new price", [&] { Driver->SetPrice(1, 1, 1, 50.00); }},
      {"a new dose", [&] { Driver->SetDoseLitres(1, 1, 7.0); }},
      {"an unblock, re-initialisation first", [&] { Driver->UnblockPump(1, 1, 3); }},
  };
  for (const TStep &Step : Steps) {
    Step.Do();
    double After = -1;
    EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, After), Volume) << "after " << Step.What;
    EXPECT_DOUBLE_EQ(After, Amount) << "after " << Step.What;
  }

  // Only the next authorisation starts a new fill at zero, before fuel flows.
  Driver->StartPump(1, 1);
  ASSERT_EQ(Station.View(1, 1).State, sim::TPumpState::Authorised);
  double Fresh = -1;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Fresh), 0.0);
  EXPECT_DOUBLE_EQ(Fresh, 0.0);
}

TEST_F(PumpMemory, ATotalsRequestIsAnsweredByThePumpLastAddressedThatIsPresent) {
  // Nobody addressed yet: the request carries no address, so no pump answers.
  const std::uint8_t Totals[] = {0x00, protocol::TotalsLead, protocol::CodeTotals1First};
  sim::TManualClock FreshClock;
  sim::TSimStation Fresh(FreshClock);
  Fresh.AddPump(1, sim::TPumpConfig{});
  EXPECT_TRUE(Fresh.Receive(1, Totals, sizeof Totals).empty());

  Sell(1, 1, 1, 1.00);
  Sell(2, 2, 1, 2.00);
  Sell(3, 1, 1, 3.00);

  struct TCase {
    int Addressed;   // the pump polled last, 9 having no pump
    int Asked;       // the pump the host means to read
    double Expected; // what it reads
  };
  const TCase Cases[] = {
      {1, 1, 1.00}, {2, 1, 2.00}, {3, 1, 3.00}, {9, 1, 3.00},
      {1, 3, 1.00}, {9, 3, 1.00}, {2, 2, 2.00}, {9, 2, 2.00},
  };
  for (const TCase &C : Cases) {
    if (C.Addressed == 9) {
      EXPECT_THROW(Driver->GetSost(1, 9), ESerialIO);
    } else {
      Poll(C.Addressed, C.Addressed == 2 ? 2 : 1);
    }
    EXPECT_DOUBLE_EQ(TotalVolume(C.Asked), C.Expected)
        << "after pump " << C.Addressed << " was addressed";
  }
}

TEST_F(PumpMemory, TheLastTotalsGroupHoldsThePumpOrItsLastNozzleByTheLayout) {
  for (int Pump : {2, 4}) {
    Sell(Pump, 2, 1, 2.00);
    Sell(Pump, 2, 2, 3.00);
  }
  struct TCase {
    int Pump;
    int Taught;      // the nozzle count the host polls with: 1 or 2 groups
    double Expected; // the last group, the one the driver reads
  };
  const TCase Cases[] = {
      {2, 2, 5.00}, // sum: the whole pump
      {2, 1, 5.00},
      {4, 2, 3.00}, // per nozzle: the last group is nozzle 2's own counter
      {4, 1, 2.00}, // and a one-group reply holds nozzle 1 alone
  };
  for (const TCase &C : Cases) {
    Poll(C.Pump, C.Taught);
    EXPECT_DOUBLE_EQ(TotalVolume(C.Pump), C.Expected)
        << "pump " << C.Pump << " read as " << C.Taught << " group(s)";
  }

  // The first group is nozzle 1 in both layouts.
  for (int Pump : {2, 4}) {
    const auto Reply = RawTotals(Pump, protocol::CodeTotals2First);
    ASSERT_EQ(Reply.size(), protocol::ShapeTotals2First.ReplyLength) << "pump " << Pump;
    EXPECT_EQ(protocol::BCDAtEverySecond(Reply.data() + protocol::TotalsAt(1),
                                         protocol::TotalValueBytes),
              200)
        << "pump " << Pump;
  }
  const auto Amounts = RawTotals(4, protocol::CodeTotals2Second);
  ASSERT_EQ(Amounts.size(), protocol::ShapeTotals2Second.ReplyLength);
  EXPECT_EQ(protocol::TotalOf(Amounts.data(), 2), 600); // 3 litres of grade 2 at 2.00
}

} // namespace
} // namespace de30::test
