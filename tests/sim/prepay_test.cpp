// A pump authorised before the customer arrives (pre-pay): it looks idle until a
// nozzle is lifted, and what the driver then reports depends on whether it polled
// the pump in between.
#include "sim_fixture.hpp"

namespace de30::test {
namespace {

class Prepay : public SimTest {};

TEST_F(Prepay, AnAuthorisedPumpReportsIdleUntilItsNozzleIsLifted) {
  ASSERT_EQ(Poll(2, 2), 192);
  Driver->StartPump(1, 2);
  sim::TPumpView View = Station.View(1, 2);
  ASSERT_EQ(View.State, sim::TPumpState::Authorised);
  EXPECT_EQ(View.Status, protocol::StatusIdle);
  EXPECT_EQ(Poll(2, 2), 192);
  EXPECT_EQ(LastRecord.Nozzle(1), 192);
  EXPECT_EQ(LastRecord.Nozzle(2), 192);
  Clock.Advance(60'000);
  EXPECT_EQ(Station.View(1, 2).FillVolume, 0); // nothing flows without a nozzle

  ASSERT_TRUE(Station.LiftNozzle(1, 2, 2));
  View = Station.View(1, 2);
  EXPECT_EQ(View.Status, protocol::StatusAuthorised);
  // The short poll has dropped the driver's authorisation on the idle report, so
  // it reads "calling"; the nozzle's own nibble still says authorised, and the
  // nozzle poll ranks that higher.
  EXPECT_EQ(Poll(2, 2), 218);
  EXPECT_EQ(LastRecord.ActiveNozzle, 2);
  EXPECT_EQ(Driver->GetSost(1, 2), 225);
  Clock.Advance(2000);
  EXPECT_EQ(Station.View(1, 2).State, sim::TPumpState::Fuelling);
}

TEST_F(Prepay, WhatTheHostSeesOnceTheNozzleIsLiftedDependsOnItsPollsBefore) {
  struct TCase {
    int PollsBeforeLift;
    std::uint8_t Lifted;  // the code once the nozzle is lifted, fuel not flowing yet
    std::uint8_t Flowing; // and once fuel flows
  };
  const TCase Cases[] = {
      {0, 217, 217}, // the driver still counts the pump authorised
      {1, 225, 225}, // the idle report withdrew that: the pump reads as calling
      {3, 225, 225},
  };
  for (const TCase &C : Cases) {
    ASSERT_EQ(Poll(1, 1), 192);
    Driver->StartPump(1, 1);
    for (int I = 0; I < C.PollsBeforeLift; ++I)
      EXPECT_EQ(Poll(1, 1), 192) << C.PollsBeforeLift << " polls";
    ASSERT_TRUE(Station.LiftNozzle(1, 1, 1));
    EXPECT_EQ(Poll(1, 1), C.Lifted) << C.PollsBeforeLift << " polls";
    Clock.Advance(3000);
    ASSERT_EQ(Station.View(1, 1).State, sim::TPumpState::Fuelling);
    EXPECT_EQ(Poll(1, 1), C.Flowing) << C.PollsBeforeLift << " polls";
    // A start on the "calling" pump only brings the driver back in step: the
    // pump goes on with the fill it is running.
    Driver->StartPump(1, 1);
    EXPECT_EQ(Poll(1, 1), 217) << C.PollsBeforeLift << " polls";
    EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Fuelling);
    Driver->StopPump(1, 1);
    Station.HangNozzle(1, 1);
  }
}

TEST_F(Prepay, AStopBeforeTheCustomerArrivesWithdrawsTheAuthorisation) {
  Poll(1, 1);
  Driver->StartPump(1, 1);
  Driver->StopPump(1, 1);
  EXPECT_EQ(Station.View(1, 1).State, sim::TPumpState::Idle);
  Station.LiftNozzle(1, 1, 1);
  EXPECT_EQ(Station.View(1, 1).Status, protocol::StatusCalling);
  Clock.Advance(10'000);
  EXPECT_EQ(Station.View(1, 1).FillVolume, 0);
}

} // namespace
} // namespace de30::test
