// Whole transactions on the simulated station, seen through the driver's codes.
#include "sim_fixture.hpp"

#include "de30/errors.hpp"

#include <vector>

namespace de30::test {
namespace {

class Transaction : public SimTest {};

TEST_F(Transaction, SingleNozzleRunsFromIdleThroughFuellingToIdleAtItsDose) {
  ASSERT_EQ(Poll(1, 1), 192);
  Driver->SetPrice(1, 1, 1, 45.50);
  double Volume0 = -1, Amount0 = -1;
  Driver->GetTotals(1, 1, Volume0, Amount0);

  ASSERT_TRUE(Station.LiftNozzle(1, 1, 1));
  EXPECT_EQ(Poll(1, 1), 225);
  Driver->SetDoseLitres(1, 1, 5.0);
  Driver->StartPump(1, 1);
  EXPECT_EQ(Poll(1, 1), 217);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Authorised);

  // The fill grows while fuelling and the status stays "authorised".
  double Last = 0;
  bool Grew = false;
  for (int I = 0; I < 60 && Station.View(1, 1).State != sim::TPumpState::Finished; ++I) {
    Clock.Advance(1000);
    const std::uint8_t Code = Poll(1, 1);
    double Amount = 0;
    const double Volume = Driver->ReadFill(1, 1, Amount);
    ASSERT_GE(Volume, Last);
    Grew = Grew || Volume > Last;
    Last = Volume;
    if (Station.View(1, 1).State == sim::TPumpState::Fuelling) {
      EXPECT_EQ(Code, 217);
    }
  }
  EXPECT_TRUE(Grew);
  EXPECT_EQ(Poll(1, 1), 192);
  double Amount = 0;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), 5.00);
  EXPECT_DOUBLE_EQ(Amount, 227.50);

  Station.HangNozzle(1, 1);
  EXPECT_EQ(Poll(1, 1), 192);
  double Volume1 = 0, Amount1 = 0;
  Driver->GetTotals(1, 1, Volume1, Amount1);
  EXPECT_DOUBLE_EQ(Volume1 - Volume0, 5.00);
  EXPECT_DOUBLE_EQ(Amount1 - Amount0, 227.50);
}

TEST_F(Transaction, MultiNozzlePumpReportsTheLiftedNozzleAndPricesItByItsGrade) {
  ASSERT_EQ(Poll(2, 2), 192);
  Driver->SetPrice(1, 2, 2, 50.00);
  ASSERT_TRUE(Station.LiftNozzle(1, 2, 2));
  EXPECT_EQ(Poll(2, 2), 226);
  EXPECT_EQ(LastRecord.ActiveNozzle, 2);
  EXPECT_EQ(LastRecord.Nozzle(1), 192);
  Driver->SetDoseMoney(1, 2, 2, 100.0);
  Driver->StartPump(1, 2);
  EXPECT_EQ(Poll(2, 2), 218);
  ASSERT_TRUE(PollUntil(2, 2, 192));
  double Amount = 0;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 2, Amount), 2.00);
  EXPECT_DOUBLE_EQ(Amount, 100.00);
  double Volume = 0, Money = 0;
  Driver->GetTotals(1, 2, Volume, Money); // two groups; the last holds the whole pump
  EXPECT_DOUBLE_EQ(Volume, 2.00);
  EXPECT_DOUBLE_EQ(Money, 100.00);
}

TEST_F(Transaction, ThePumpHoldsThePricesSentForOneAndForSeveralNozzles) {
  Poll(1, 1);
  Poll(2, 2);
  Driver->SetPrice(1, 1, 1, 12.34);
  Driver->SetPrice(1, 2, 5, 99.99);
  EXPECT_EQ(Station.View(1, 1).Prices[0], 1234);
  const auto Two = Station.View(1, 2).Prices;
  EXPECT_EQ((std::vector<std::int32_t>(Two.begin(), Two.end())),
            (std::vector<std::int32_t>{100, 200, 300, 0, 9999}));
}

TEST_F(Transaction, StopEndsAFillAndTheTotalsKeepWhatFlowed) {
  Poll(1, 1);
  Station.LiftNozzle(1, 1, 1);
  Poll(1, 1);
  Driver->StartPump(1, 1);
  Clock.Advance(2000 + 4000); // start delay, then 4 s at 0.5 l/s
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Fuelling);
  Driver->StopPump(1, 1);
  EXPECT_EQ(Poll(1, 1), 192);
  double V = 0, A = 0;
  Driver->GetTotals(1, 1, V, A);
  EXPECT_NEAR(V, 2.0, 0.06);
  Clock.Advance(10000);
  double Amount = 0;
  EXPECT_DOUBLE_EQ(Driver->ReadFill(1, 1, Amount), V); // nothing flows after the stop
}

TEST_F(Transaction, StopBeforeFuelWithdrawsTheAuthorisation) {
  Poll(1, 1);
  Station.LiftNozzle(1, 1, 1);
  Poll(1, 1);
  Driver->StartPump(1, 1);
  Driver->StopPump(1, 1);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Calling);
  // The driver still counts the pump as authorised until its count-down runs
  // out; then the pump's "nozzle lifted" shows as authorised but not fuelling.
  EXPECT_TRUE(PollUntil(1, 1, 209, 10));
  Clock.Advance(60000);
  EXPECT_EQ(Station.View(1, 1).FillVolume, 0);
}

TEST_F(Transaction, AFaultingPumpIsReinitialisedByThePollAndRecovers) {
  Poll(1, 1);
  Station.Fail(1, 1, 0x80);
  const std::size_t Before = Station.Frames(1);
  EXPECT_EQ(Poll(1, 1), 209); // the driver re-initialised the pump
  EXPECT_EQ(Station.Frames(1) - Before, 2u);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Idle);
  EXPECT_EQ(Poll(1, 1), 192);
}

TEST_F(Transaction, ALockedPumpRefusesToStartUntilUnblocked) {
  Poll(1, 1);
  Station.LiftNozzle(1, 1, 1);
  Station.Lock(1, 1);
  EXPECT_EQ(Poll(1, 1), 192); // bits 7 and 3: nothing the host may act on
  Driver->StartPump(1, 1);
  Clock.Advance(10000);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Locked);
  EXPECT_EQ(Poll(1, 1), 192); // and the driver drops its authorisation
  Driver->UnblockPump(1, 1, 7);
  const auto View = Station.View(1, 1);
  EXPECT_EQ(View.State, sim::TPumpState::Calling);
  EXPECT_EQ(View.LastUnblockCode, 7);
  // The driver waits for an idle report before it shows "calling" again.
  EXPECT_EQ(Poll(1, 1), 192);
  Station.HangNozzle(1, 1);
  Poll(1, 1);
  Station.LiftNozzle(1, 1, 1);
  EXPECT_EQ(Poll(1, 1), 225);
}

TEST_F(Transaction, AnExecuteWithAWrongComplementChangesNothing) {
  Poll(1, 1);
  const std::uint8_t Frames[] = {0x00, 0x0C, 0xE1, 0x00, 0x0D, 0x00};
  Station.Receive(1, Frames, sizeof Frames);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Idle);
}

TEST_F(Transaction, SimulatedCustomersComeAndGoByTheClock) {
  sim::TPumpConfig Auto;
  Auto.Address = 5;
  Auto.AutoCustomer = true;
  Auto.IdleMs = 3000;
  Auto.HangMs = 2000;
  ASSERT_TRUE(Station.AddPump(1, Auto));
  EXPECT_EQ(Poll(5, 1), 192);
  Clock.Advance(3000);
  EXPECT_EQ(Poll(5, 1), 225);
  Driver->SetDoseLitres(1, 5, 1.0);
  Driver->StartPump(1, 5);
  ASSERT_TRUE(PollUntil(5, 1, 192));
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Finished);
  Clock.Advance(2000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Idle);
  EXPECT_EQ(Station.View(1, 5).Fills, 1);
}

TEST_F(Transaction, ASimulatedCustomerServedWithoutADoseStopsAfterAPlausibleFillAndHangsUp) {
  sim::TPumpConfig Auto;
  Auto.Address = 5;
  Auto.AutoCustomer = true;
  Auto.IdleMs = 3000;
  Auto.HangMs = 2000;
  ASSERT_TRUE(Station.AddPump(1, Auto));
  std::int64_t Before = 0;
  for (int Fill = 1; Fill <= 2; ++Fill) {
    ASSERT_TRUE(PollUntil(5, 1, 225));
    Driver->StartPump(1, 5);
    ASSERT_TRUE(PollUntil(5, 1, 192, 600));
    const sim::TPumpView Ended = Station.View(1, 5);
    EXPECT_GE(Ended.FillVolume, 1000) << "fill " << Fill;
    EXPECT_LE(Ended.FillVolume, 3000) << "fill " << Fill;
    EXPECT_EQ(Ended.TotalVolume[0], Before + Ended.FillVolume);
    Before = Ended.TotalVolume[0];
    Clock.Advance(2000);
    EXPECT_EQ(Station.View(1, 5).Lifted, 0) << "fill " << Fill;
    EXPECT_EQ(Station.View(1, 5).Fills, Fill);
  }
}

TEST_F(Transaction, APumpThatKeepsItsFillLogRecordsEachFillWithItsNozzleVolumeAndAmount) {
  sim::TPumpConfig Logged;
  Logged.Address = 5;
  Logged.Nozzles = 2;
  Logged.LogFills = true;
  ASSERT_TRUE(Station.AddPump(1, Logged));
  ASSERT_EQ(Poll(5, 2), 192);
  // Nozzle k sells at the pump's own price of grade k: 1.00, 2.00.
  // Nozzle 2 at its dose, then nozzle 1 stopped by the host part-way.
  ASSERT_TRUE(Station.LiftNozzle(1, 5, 2));
  Poll(5, 2);
  Driver->SetDoseLitres(1, 5, 3.21);
  Driver->StartPump(1, 5);
  ASSERT_TRUE(PollUntil(5, 2, 192));
  Station.HangNozzle(1, 5);
  Poll(5, 2);
  ASSERT_TRUE(Station.LiftNozzle(1, 5, 1));
  Poll(5, 2);
  Driver->StartPump(1, 5);
  Clock.Advance(2000 + 3000);
  Driver->StopPump(1, 5);
  const sim::TPumpView View = Station.View(1, 5);
  ASSERT_EQ(View.State, sim::TPumpState::Finished);
  const auto Log = Station.FillLog(1, 5);
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_EQ(Log[0].Nozzle, 2);
  EXPECT_EQ(Log[0].Volume, 321);
  EXPECT_EQ(Log[0].Amount, 642);
  EXPECT_EQ(Log[1].Nozzle, 1);
  EXPECT_EQ(Log[1].Volume, View.FillVolume);
  EXPECT_EQ(Log[1].Amount, View.FillAmount);
  EXPECT_GT(Log[1].Volume, 100);
  EXPECT_LT(Log[0].EndedMs, Log[1].EndedMs);
  // What the log holds is what the totals grew by, nozzle by nozzle.
  EXPECT_EQ(View.TotalVolume[0], Log[1].Volume);
  EXPECT_EQ(View.TotalVolume[1], Log[0].Volume);
  // A pump that does not keep one has none, whatever it sold.
  Station.LiftNozzle(1, 1, 1);
  Poll(1, 1);
  Driver->StartPump(1, 1);
  Clock.Advance(2000 + 2000);
  Station.HangNozzle(1, 1);
  EXPECT_EQ(Station.View(1, 1).Fills, 1);
  EXPECT_TRUE(Station.FillLog(1, 1).empty());
  EXPECT_THROW(Station.FillLog(1, 9), ERangeError);
}

TEST_F(Transaction, ACustomerNobodyServesWalksAwayAfterWaitingAndComesBack) {
  sim::TPumpConfig Auto;
  Auto.Address = 5;
  Auto.AutoCustomer = true;
  Auto.IdleMs = 1000;
  Auto.WaitMs = 4000;
  ASSERT_TRUE(Station.AddPump(1, Auto));
  Clock.Advance(1000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Calling);
  Clock.Advance(3999);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Calling);
  Clock.Advance(1);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Idle);
  EXPECT_EQ(Station.View(1, 5).Lifted, 0);
  Clock.Advance(1000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Calling);
  // Without a wait the customer stays.
  sim::TPumpConfig Patient = Auto;
  Patient.Address = 6;
  Patient.WaitMs = 0;
  ASSERT_TRUE(Station.AddPump(1, Patient));
  Clock.Advance(1000);
  ASSERT_EQ(Station.View(1, 6).State, sim::TPumpState::Calling);
  Clock.Advance(600000);
  EXPECT_EQ(Station.View(1, 6).State, sim::TPumpState::Calling);
}

TEST_F(Transaction, ACustomerWhoPaidInAdvanceComesForTheFillAndTakesTheNextNozzle) {
  sim::TPumpConfig Auto;
  Auto.Address = 5;
  Auto.Nozzles = 2;
  Auto.AutoCustomer = true;
  Auto.IdleMs = 60000;
  Auto.HangMs = 1000;
  Auto.LogFills = true;
  ASSERT_TRUE(Station.AddPump(1, Auto));
  ASSERT_EQ(Poll(5, 2), 192);
  for (int Fill = 1; Fill <= 2; ++Fill) {
    Driver->SetDoseLitres(1, 5, 1.0);
    Driver->StartPump(1, 5);
    EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Authorised) << "fill " << Fill;
    EXPECT_EQ(Station.View(1, 5).Lifted, 0) << "fill " << Fill;
    Clock.Advance(60000);
    EXPECT_EQ(Station.View(1, 5).Lifted, Fill) << "fill " << Fill;
    Clock.Advance(2000 + 2000 + 1000);
    EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Idle) << "fill " << Fill;
    Poll(5, 2);
  }
  const auto Log = Station.FillLog(1, 5);
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_EQ(Log[0].Nozzle, 1);
  EXPECT_EQ(Log[1].Nozzle, 2);
  EXPECT_EQ(Log[1].Volume, 100);
}

TEST_F(Transaction, WithArrivalsClosedTheCustomersAtThePumpsFinishAndNoNewOneComes) {
  sim::TPumpConfig Auto;
  Auto.Address = 5;
  Auto.AutoCustomer = true;
  Auto.IdleMs = 1000;
  Auto.HangMs = 1000;
  ASSERT_TRUE(Station.AddPump(1, Auto));
  ASSERT_EQ(Poll(5, 1), 192);
  Clock.Advance(1000);
  ASSERT_EQ(Poll(5, 1), 225);
  Driver->SetDoseLitres(1, 5, 1.0);
  Driver->StartPump(1, 5);
  Station.SetArrivals(false);
  Clock.Advance(2000 + 2000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Finished);
  Clock.Advance(1000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Idle);
  Clock.Advance(600000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Idle);
  EXPECT_EQ(Station.View(1, 5).Fills, 1);
  Station.SetArrivals(true);
  Clock.Advance(1000);
  EXPECT_EQ(Station.View(1, 5).State, sim::TPumpState::Calling);
}

TEST_F(Transaction, GarbageOnTheLineDoesNotDisturbTheNextExchange) {
  const std::uint8_t Noise[] = {0x42, 0x00, 0x18, 0x77};
  Station.Receive(1, Noise, sizeof Noise);
  EXPECT_EQ(Poll(1, 1), 192);
  EXPECT_EQ(Station.Garbage(1), 3u);
}

TEST_F(Transaction, CommandsToAnAddressWithoutAPumpGetNoReply) {
  EXPECT_THROW(Driver->GetSost(1, 9), ESerialIO);
  EXPECT_EQ(Channel.LastError(1), channels::ErrTimeout);
}

} // namespace
} // namespace de30::test
