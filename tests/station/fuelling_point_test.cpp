#include "station/fuelling_point.hpp"

#include <gtest/gtest.h>

namespace de30::station {
namespace {

using TOutcome = TPollInput::TOutcome;

TPollInput Code(std::uint8_t C, std::uint8_t Nozzle = 1) {
  TPollInput Poll;
  Poll.Code = C;
  Poll.Nozzle = Nozzle;
  return Poll;
}

TPollInput Missed() {
  TPollInput Poll;
  Poll.Outcome = TOutcome::Missed;
  return Poll;
}

TPollInput Rejected(std::uint8_t Garbage = 217) {
  TPollInput Poll;
  Poll.Outcome = TOutcome::Rejected;
  Poll.Code = Garbage;
  return Poll;
}

class PointTest : public ::testing::Test {
protected:
  explicit PointTest(int Nozzles = 1, bool Auto = false) : Point(Nozzles, Auto, Timing()) {}

  static TPointTiming Timing() {
    TPointTiming T;
    T.OfflineAfter = 3;
    T.BackoffMaxMs = 4000;
    T.RecoverySettleMs = 2000;
    return T;
  }

  TStep Poll(const TPollInput &Input) { return Point.OnPoll(Input, Now += 100); }
  TStep Fill(double Volume) { return Point.OnFill(Volume, Volume * 2.0, Now += 100); }
  // The station's start, with the fill the pump held just before it.
  TStep Authorise(int Nozzle, TStartOutcome Outcome = TStartOutcome::Taken,
                  double Baseline = 0.0) {
    return Point.OnAuthorised(Outcome, Nozzle, Baseline, Baseline * 2.0, Now);
  }

  std::int64_t Now = 0;
  TFuellingPoint Point;
};

class MultiNozzlePointTest : public PointTest {
protected:
  MultiNozzlePointTest() : PointTest(3) {}
};

class AutoPointTest : public PointTest {
protected:
  AutoPointTest() : PointTest(1, true) {}
};

TEST_F(PointTest, StartsOfflineAndAnswersIdleThenCalling) {
  EXPECT_EQ(Point.State(), TPointState::Offline);
  EXPECT_TRUE(Point.DuePoll(0));
  const TStep First = Poll(Code(192, 0));
  ASSERT_TRUE(First.Changed);
  EXPECT_EQ(First.Changed->From, TPointState::Offline);
  EXPECT_EQ(First.Changed->To, TPointState::Idle);
  EXPECT_EQ(First.Changed->Code, 192);
  EXPECT_FALSE(Poll(Code(192, 0)).Changed) << "the same state twice is no transition";
  const TStep Lifted = Poll(Code(225));
  ASSERT_TRUE(Lifted.Changed);
  EXPECT_EQ(Lifted.Changed->To, TPointState::Calling);
  EXPECT_EQ(Lifted.Changed->Reason, "nozzle 1 lifted");
  EXPECT_EQ(Lifted.Action, TSaleAction::None)
      << "only auto-authorise pumps begin by themselves";
  EXPECT_EQ(Point.Nozzle(), 1);
  EXPECT_FALSE(Point.ReadsFill());
}

TEST_F(AutoPointTest, AsksToAuthoriseEveryPollWhileCalling) {
  Poll(Code(192, 0));
  EXPECT_EQ(Poll(Code(225)).Action, TSaleAction::Begin);
  EXPECT_EQ(Poll(Code(225)).Action, TSaleAction::Begin) << "a refused start is tried again";
  Authorise(1);
  EXPECT_EQ(Poll(Code(217)).Action, TSaleAction::None);
}

TEST_F(PointTest, WholeSaleGoesAuthorisedFuellingCompletedIdle) {
  Poll(Code(225));
  EXPECT_FALSE(Point.RefuseAuthorise());
  const TStep Started = Authorise(1);
  ASSERT_TRUE(Started.Changed);
  EXPECT_EQ(Started.Changed->To, TPointState::Authorised);
  EXPECT_TRUE(Point.HasSale());
  EXPECT_TRUE(Point.ReadsFill());

  EXPECT_FALSE(Poll(Code(217)).Changed);
  EXPECT_FALSE(Fill(0.0).Changed) << "no fuel yet: still authorised";
  const TStep Flowing = Fill(0.5);
  ASSERT_TRUE(Flowing.Changed);
  EXPECT_EQ(Flowing.Changed->To, TPointState::Fuelling);
  EXPECT_TRUE(Point.SawFuel());
  EXPECT_FALSE(Poll(Code(217)).Changed);
  Fill(3.25);
  EXPECT_DOUBLE_EQ(Point.Volume(), 3.25);
  EXPECT_DOUBLE_EQ(Point.Amount(), 6.5);
  EXPECT_TRUE(Point.RefuseAuthorise());
  EXPECT_TRUE(Point.RefuseUnblock());

  const TStep Ended = Poll(Code(192, 0));
  ASSERT_TRUE(Ended.Changed);
  EXPECT_EQ(Ended.Changed->To, TPointState::Completed);
  EXPECT_EQ(Ended.Changed->Reason, "fill ended");
  EXPECT_EQ(Ended.Action, TSaleAction::End);
  EXPECT_EQ(Poll(Code(192, 0)).Action, TSaleAction::None) << "one end per sale";
  EXPECT_FALSE(Point.OnSaleClosed(true).Changed);
  EXPECT_FALSE(Point.HasSale());
  EXPECT_FALSE(Poll(Code(192, 0)).Changed) << "completed until its sale is cleared";
  const TStep Cleared = Point.OnSaleCleared();
  ASSERT_TRUE(Cleared.Changed);
  EXPECT_EQ(Cleared.Changed->To, TPointState::Idle);
}

TEST_F(PointTest, CompletedPumpCallingAgainIsCalling) {
  Authorise(1);
  Fill(1.0);
  Poll(Code(192, 0));
  Point.OnSaleClosed(true);
  EXPECT_EQ(Poll(Code(225)).Changed->To, TPointState::Calling);
}

// Evidence: the fill a pump holds when it is authorised is the previous sale's.
// Only a reading that differs from it shows the pump took this authorisation.
TEST_F(PointTest, TheFillHeldAtTheAuthorisationIsNotThisSalesFuel) {
  Poll(Code(225));
  Authorise(1, TStartOutcome::Taken, 2.0);
  Poll(Code(217));
  EXPECT_EQ(Fill(2.0).Action, TSaleAction::None);
  EXPECT_FALSE(Point.Took());
  EXPECT_FALSE(Point.SawFuel());
  EXPECT_EQ(Point.Volume(), 0.0) << "the old fill is not shown as this sale's";
  EXPECT_EQ(Point.State(), TPointState::Authorised);
  Fill(0.0);
  EXPECT_TRUE(Point.Took()) << "the authorisation reset the fill: the pump took it";
  EXPECT_FALSE(Point.SawFuel());
  ASSERT_TRUE(Fill(0.4).Changed);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  EXPECT_EQ(Point.Volume(), 0.4);
}

// Pre-pay: authorised before anyone lifts a nozzle. The pump reports idle, the
// driver then drops its authorisation and reads the lifted nozzle as calling
// while the pump pours: only the fill tells.
TEST_F(PointTest, APrePaidPumpWaitsForTheNozzleAndIsFollowedWhileTheDriverSaysCalling) {
  Poll(Code(192, 0));
  Authorise(0, TStartOutcome::Taken, 3.0);
  const TStep Idle = Poll(Code(192, 0));
  EXPECT_EQ(Idle.Action, TSaleAction::None) << "no end: the customer has not come yet";
  EXPECT_EQ(Point.State(), TPointState::Authorised);
  EXPECT_EQ(Point.Reason(), "authorised; waiting for the nozzle");
  Fill(3.0);
  EXPECT_EQ(Poll(Code(225)).Action, TSaleAction::None);
  EXPECT_EQ(Point.State(), TPointState::Authorised) << "never shown calling while it may pour";
  EXPECT_EQ(Point.Reason(), "authorised; nozzle 1 lifted, no fuel yet");
  Fill(0.0);
  Fill(1.08);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  EXPECT_EQ(Poll(Code(225)).Action, TSaleAction::None);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  const TStep End = Poll(Code(192, 0));
  EXPECT_EQ(End.Action, TSaleAction::End);
  EXPECT_EQ(Point.State(), TPointState::Completed);
}

// A fill read between two polls shows the fill; the next idle poll ends it.
TEST_F(PointTest, AFillThatFellBetweenTwoPollsShowsInTheFillReading) {
  Poll(Code(225));
  Authorise(1, TStartOutcome::Taken, 5.0);
  EXPECT_EQ(Poll(Code(192, 0)).Action, TSaleAction::None);
  Fill(3.0);
  EXPECT_TRUE(Point.SawFuel());
  EXPECT_EQ(Poll(Code(192, 0)).Action, TSaleAction::End);
  EXPECT_EQ(Point.State(), TPointState::Completed);
}

// With the driver reading the nozzle as calling, a fill that stands still is
// settled: the pump's authorisation is withdrawn before the sale is judged.
TEST_F(PointTest, AStillFillWhileTheDriverSaysCallingIsSettled) {
  Authorise(1);
  Poll(Code(192, 0));
  Poll(Code(225));
  Fill(1.0);
  Now += 9000;
  EXPECT_EQ(Fill(1.0).Action, TSaleAction::None);
  Now += 1000;
  EXPECT_EQ(Fill(1.0).Action, TSaleAction::Settle);
  EXPECT_EQ(Fill(1.0).Action, TSaleAction::None) << "asked once";
  const TStep Closed = Point.OnSaleClosed(true);
  ASSERT_TRUE(Closed.Changed);
  EXPECT_EQ(Closed.Changed->To, TPointState::Completed);
}

// A start whose reply was lost: the pump may pour, so it is never shown calling
// or failed; what it does next decides.
TEST_F(PointTest, AStartOfUnknownOutcomeIsFollowedUntilThePumpShowsWhatItDid) {
  Poll(Code(225));
  const TStep Started = Authorise(1, TStartOutcome::Unknown, 2.0);
  ASSERT_TRUE(Started.Changed);
  EXPECT_EQ(Started.Changed->To, TPointState::Authorised);
  EXPECT_TRUE(Point.StartUncertain());
  for (int Code_ : {225, 192}) {
    SCOPED_TRACE(Code_);
    EXPECT_EQ(Poll(Code(static_cast<std::uint8_t>(Code_), Code_ == 192 ? 0 : 1)).Action,
              TSaleAction::None);
    EXPECT_EQ(Point.State(), TPointState::Authorised);
    EXPECT_NE(Point.Reason().find("unknown"), std::string::npos) << Point.Reason();
  }
  Poll(Code(225));
  Fill(0.2);
  EXPECT_FALSE(Point.StartUncertain()) << "the fill moved off the baseline: it was taken";
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  EXPECT_EQ(Point.RefuseAuthorise(), "the pump is fuelling") << "no second sale mid-fill";
}

TEST_F(PointTest, AStartOfUnknownOutcomeThatShowsNothingIsWithdrawnThenJudged) {
  Poll(Code(225));
  Authorise(1, TStartOutcome::Unknown, 2.0);
  Now += 5000;
  EXPECT_EQ(Fill(2.0).Action, TSaleAction::None);
  Now += 1000;
  EXPECT_EQ(Fill(2.0).Action, TSaleAction::Settle);
  EXPECT_FALSE(Point.SawFuel());
}

TEST_F(PointTest, AStopWhoseReplyWasLostIsSentAgainAFewTimes) {
  Authorise(1);
  Fill(1.0);
  int Retries = 0;
  while (Point.OnStopped(false).Action == TSaleAction::Stop)
    ++Retries;
  EXPECT_EQ(Retries, 3);
  EXPECT_TRUE(Point.HasSale());
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  EXPECT_EQ(Poll(Code(192, 0)).Action, TSaleAction::End) << "the pump shows the stop took";
}

// What the driver itself holds decides how its codes read, not what the point
// assumed from the command's outcome.
TEST_F(PointTest, ADriverThatHoldsAnUncertainStartReads209AsWaitingNotAsAFault) {
  Poll(Code(225));
  Authorise(1, TStartOutcome::Unknown, 1.0);
  TPollInput Waiting = Code(209);
  Waiting.DriverHeld = true;
  EXPECT_EQ(Poll(Waiting).Action, TSaleAction::None);
  EXPECT_EQ(Point.State(), TPointState::Authorised);
  Waiting.DriverHeld = false;
  EXPECT_EQ(Poll(Waiting).Action, TSaleAction::End) << "without it, 209 is a re-initialisation";
}

// Until the driver has seen the pump idle once, it reads calling and fuelling as
// 192: such a 192 never ends a fill.
TEST_F(PointTest, A192WhileTheDriverAwaitsIdleDoesNotEndAFill) {
  Authorise(1, TStartOutcome::Unknown, 0.0);
  Fill(2.0);
  ASSERT_EQ(Point.State(), TPointState::Fuelling);
  TPollInput Masked = Code(192, 0);
  Masked.AwaitingIdle = true;
  EXPECT_EQ(Poll(Masked).Action, TSaleAction::None);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  Fill(3.0);
  EXPECT_EQ(Poll(Code(192, 0)).Action, TSaleAction::End) << "the pump reported idle itself";
}

TEST_F(PointTest, AStartTheDriverRefusedEndsTheSaleAtOnce) {
  Poll(Code(225));
  EXPECT_EQ(Authorise(1, TStartOutcome::Refused).Action, TSaleAction::End);
}

TEST_F(PointTest, ARecoveredSaleIsJudgedAgainstItsBaseline) {
  Point.RecoverSale(true, 4.0, 8.0);
  Point.OnPoll(Code(192, 0), 0);
  Point.OnFill(4.0, 8.0, 0);
  EXPECT_EQ(Point.Volume(), 0.0);
  EXPECT_EQ(Point.OnFill(4.0, 8.0, 2000).Action, TSaleAction::Settle);
  EXPECT_FALSE(Point.Took());
  Point.OnSettleFailed();
  Point.OnFill(1.0, 2.0, 2100);
  EXPECT_TRUE(Point.Took());
  EXPECT_TRUE(Point.SawFuel());
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
}

TEST_F(PointTest, CountDownRunOutKeepsTheSaleAuthorised) {
  Authorise(1);
  const TStep Step = Poll(Code(209));
  EXPECT_FALSE(Step.Changed) << "still authorised, for another reason";
  EXPECT_EQ(Point.State(), TPointState::Authorised);
  EXPECT_EQ(Point.Reason(), "authorised; the pump has not started within its count-down");
  EXPECT_EQ(Step.Action, TSaleAction::None);
  EXPECT_TRUE(Point.ReadsFill());
}

TEST_F(PointTest, WaitingCodeWithoutAStationAuthorisationIsAFaultThatClears) {
  Poll(Code(192, 0));
  const TStep Fault = Poll(Code(209));
  ASSERT_TRUE(Fault.Changed);
  EXPECT_EQ(Fault.Changed->To, TPointState::Error);
  EXPECT_EQ(Fault.Changed->Reason, "the driver re-initialised the pump after a fault status");
  EXPECT_EQ(Fault.Changed->Code, 209);
  EXPECT_TRUE(Point.RefuseAuthorise());
  const TStep Clear = Poll(Code(192, 0));
  ASSERT_TRUE(Clear.Changed);
  EXPECT_EQ(Clear.Changed->To, TPointState::Idle);
  EXPECT_EQ(Clear.Changed->Reason, "the fault has cleared");
}

TEST_F(PointTest, AuthorisedCodesWithoutASaleAreNotTakenForOurs) {
  Poll(Code(192, 0));
  const TStep Step = Poll(Code(217));
  ASSERT_TRUE(Step.Changed);
  EXPECT_EQ(Step.Changed->To, TPointState::Error);
  EXPECT_EQ(Step.Changed->Reason, "authorised, but not by this station");
  EXPECT_FALSE(Point.HasSale());
  EXPECT_FALSE(Point.ReadsFill());
}

TEST_F(PointTest, UnknownCodesAreErrors) {
  const TStep Step = Poll(Code(200, 0));
  ASSERT_TRUE(Step.Changed);
  EXPECT_EQ(Step.Changed->To, TPointState::Error);
  EXPECT_EQ(Step.Changed->Reason, "unknown status code 200");
}

TEST_F(MultiNozzlePointTest, NozzleCodesNameTheNozzle) {
  Poll(Code(192, 0));
  const TStep Lifted = Poll(Code(226, 2));
  ASSERT_TRUE(Lifted.Changed);
  EXPECT_EQ(Lifted.Changed->Reason, "nozzle 2 lifted");
  EXPECT_EQ(Point.Nozzle(), 2);
  Authorise(2);
  EXPECT_FALSE(Poll(Code(218, 2)).Changed);
  Fill(1.0);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  EXPECT_EQ(Poll(Code(192, 0)).Action, TSaleAction::End);
}

TEST_F(MultiNozzlePointTest, ReadyNozzleOneIsAuthorisedNotAFault) {
  Authorise(0);
  Poll(Code(209, 1));
  EXPECT_EQ(Point.State(), TPointState::Authorised);
  EXPECT_EQ(Point.Reason(), "authorised");
  EXPECT_EQ(Point.Nozzle(), 1) << "a nozzle learnt after the authorisation";
}

TEST_F(MultiNozzlePointTest, CallingAfterAnAuthorisationWithoutFuelKeepsTheSaleOpen) {
  Poll(Code(225, 1));
  Authorise(1);
  const TStep Step = Poll(Code(225, 1));
  EXPECT_EQ(Step.Action, TSaleAction::None) << "the pump may yet pour under it";
  EXPECT_EQ(Point.State(), TPointState::Authorised);
  EXPECT_TRUE(Point.HasSale());
}

// A pump that never answered is looked for ever more rarely, up to its own
// bound; one that answered and then went away only up to the shorter one.
TEST_F(PointTest, APumpThatNeverAnsweredBacksOffFurtherThanOneThatWentAway) {
  const auto LongestPause = [](TFuellingPoint &P, std::int64_t &At) {
    std::int64_t Longest = 0;
    for (int I = 0; I < 20; ++I) {
      At = std::max(At, P.NextPollMs());
      P.OnPoll(Missed(), At);
      Longest = std::max(Longest, P.NextPollMs() - At);
    }
    return Longest;
  };
  TPointTiming T = Timing();
  T.AbsentBackoffMaxMs = 30000;
  TFuellingPoint Absent(1, false, T);
  std::int64_t At = 0;
  EXPECT_EQ(LongestPause(Absent, At), 30000);
  TFuellingPoint Away(1, false, T);
  At = 0;
  Away.OnPoll(Code(192, 0), At);
  EXPECT_EQ(LongestPause(Away, At), 4000);
}

TEST(OfflineBackoffTest, DoublesFromAQuarterSecondUpToTheBound) {
  EXPECT_EQ(OfflineBackoffMs(1, 4000), 250);
  EXPECT_EQ(OfflineBackoffMs(2, 4000), 500);
  EXPECT_EQ(OfflineBackoffMs(3, 4000), 1000);
  EXPECT_EQ(OfflineBackoffMs(5, 4000), 4000);
  EXPECT_EQ(OfflineBackoffMs(40, 4000), 4000) << "no overflow however long it stays away";
  EXPECT_EQ(OfflineBackoffMs(1, 100), 100);
}

TEST_F(PointTest, MissedRepliesInARowTakeThePumpOfflineAndItIsPolledLessAndLess) {
  Poll(Code(192, 0));
  EXPECT_FALSE(Poll(Missed()).Changed);
  EXPECT_FALSE(Poll(Missed()).Changed);
  const TStep Gone = Point.OnPoll(Missed(), 1000);
  ASSERT_TRUE(Gone.Changed);
  EXPECT_EQ(Gone.Changed->To, TPointState::Offline);
  EXPECT_EQ(Gone.Changed->Reason, "3 missed replies in a row");
  EXPECT_FALSE(Point.DuePoll(1249));
  EXPECT_TRUE(Point.DuePoll(1250));
  Point.OnPoll(Missed(), 1250);
  EXPECT_FALSE(Point.DuePoll(1749));
  EXPECT_TRUE(Point.DuePoll(1750));
  Point.OnPoll(Missed(), 1750);
  EXPECT_EQ(Point.NextPollMs(), 2750);
  for (int I = 0; I < 10; ++I)
    Point.OnPoll(Missed(), 10000);
  EXPECT_EQ(Point.NextPollMs(), 14000) << "bounded by the configured maximum";
  EXPECT_TRUE(Point.RefuseAuthorise());
  EXPECT_TRUE(Point.RefuseStop());

  const TStep Back = Point.OnPoll(Code(192, 0), 14000);
  ASSERT_TRUE(Back.Changed);
  EXPECT_EQ(Back.Changed->To, TPointState::Idle);
  EXPECT_EQ(Back.Changed->Reason, "answered again");
  EXPECT_TRUE(Point.DuePoll(14001));
  EXPECT_EQ(Point.Misses(), 0);
}

TEST_F(PointTest, AnAnswerBetweenMissesStartsTheCountAgain) {
  Poll(Code(192, 0));
  Poll(Missed());
  Poll(Missed());
  Poll(Code(192, 0));
  Poll(Missed());
  Poll(Missed());
  EXPECT_EQ(Point.State(), TPointState::Idle);
}

TEST_F(PointTest, RejectedRepliesAreNeverReadings) {
  Poll(Code(192, 0));
  EXPECT_FALSE(Poll(Rejected(225)).Changed);
  EXPECT_EQ(Point.State(), TPointState::Idle);
  EXPECT_EQ(Point.LastCode(), 192) << "the rejected reply's code is not kept";
  Poll(Rejected());
  const TStep Step = Poll(Rejected());
  ASSERT_TRUE(Step.Changed) << "a pump that only garbles its replies is not reachable";
  EXPECT_EQ(Step.Changed->To, TPointState::Offline);
  EXPECT_EQ(Step.Changed->Reason, "3 rejected replies in a row");
}

TEST_F(PointTest, OfflineDuringAFillKeepsTheSaleAndEndsItOnReturn) {
  Authorise(1);
  Fill(2.0);
  for (int I = 0; I < 3; ++I)
    Poll(Missed());
  EXPECT_EQ(Point.State(), TPointState::Offline);
  EXPECT_TRUE(Point.HasSale());
  EXPECT_FALSE(Point.ReadsFill());
  const TStep Back = Point.OnPoll(Code(192, 0), 100000);
  ASSERT_TRUE(Back.Changed);
  EXPECT_EQ(Back.Changed->To, TPointState::Completed);
  EXPECT_EQ(Back.Changed->Reason, "fill ended while offline");
  EXPECT_EQ(Back.Action, TSaleAction::End);
}

TEST_F(PointTest, StoppedBeforeFuelEndsAtOnceAndTheDriversLeftoverAuthorisationIsNotOurs) {
  Poll(Code(225));
  Authorise(1);
  Poll(Code(217));
  const TStep Stop = Point.OnStopped(true);
  EXPECT_EQ(Stop.Action, TSaleAction::End);
  ASSERT_TRUE(Stop.Changed);
  EXPECT_EQ(Stop.Changed->To, TPointState::Idle);
  EXPECT_TRUE(Point.Stopped());
  Point.OnSaleClosed(false);
  // The driver keeps counting the pump authorised until it reports 192 or 225.
  const TStep Lifted = Poll(Code(217));
  ASSERT_TRUE(Lifted.Changed);
  EXPECT_EQ(Lifted.Changed->To, TPointState::Calling);
  EXPECT_EQ(Lifted.Changed->Reason, "stopped; the nozzle is still lifted");
  EXPECT_FALSE(Poll(Code(209)).Changed);
  Poll(Code(192, 0));
  EXPECT_EQ(Poll(Code(217)).Changed->To, TPointState::Error);
}

TEST_F(PointTest, StoppedDuringAFillEndsWhenThePumpReportsIt) {
  Authorise(1);
  Fill(4.0);
  EXPECT_EQ(Point.OnStopped(true).Action, TSaleAction::None);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  const TStep End = Poll(Code(192, 0));
  EXPECT_EQ(End.Action, TSaleAction::End);
  EXPECT_EQ(Point.State(), TPointState::Completed);
  EXPECT_TRUE(Point.Stopped());
}

TEST_F(PointTest, CommandsThatDoNotFitTheStateAreRefused) {
  EXPECT_EQ(*Point.RefuseAuthorise(), "the pump is offline");
  EXPECT_EQ(*Point.RefuseUnblock(), "the pump is offline");
  Poll(Code(192, 0));
  EXPECT_FALSE(Point.RefuseStop());
  Authorise(1);
  EXPECT_EQ(*Point.RefuseAuthorise(), "the pump is already authorised");
  EXPECT_EQ(*Point.RefuseUnblock(), "the pump is authorised; stop it first");
  Fill(1.0);
  EXPECT_EQ(*Point.RefuseAuthorise(), "the pump is fuelling");
  EXPECT_EQ(*Point.RefuseUnblock(), "the pump is fuelling");
}

TEST_F(PointTest, RecoveredSaleOfAnIdlePumpSettlesOnceTheFillStandsStill) {
  Point.RecoverSale(false, 0.0, 0.0);
  EXPECT_TRUE(Point.HasSale());
  const TStep Answer = Point.OnPoll(Code(192, 0), 1000);
  ASSERT_TRUE(Answer.Changed);
  EXPECT_EQ(Answer.Changed->To, TPointState::Authorised);
  EXPECT_TRUE(Point.ReadsFill());
  EXPECT_EQ(Point.OnFill(7.5, 15.0, 1000).Action, TSaleAction::None);
  EXPECT_EQ(Point.OnFill(7.5, 15.0, 2999).Action, TSaleAction::None);
  EXPECT_EQ(Point.OnFill(7.5, 15.0, 3000).Action, TSaleAction::Settle);
  EXPECT_FALSE(Point.SawFuel()) << "an old fill's data proves nothing";
  EXPECT_EQ(Point.OnFill(7.5, 15.0, 3100).Action, TSaleAction::None) << "asked once";
  Point.OnSettleFailed();
  EXPECT_EQ(Point.OnFill(7.5, 15.0, 3200).Action, TSaleAction::Settle);
  const TStep Closed = Point.OnSaleClosed(false);
  ASSERT_TRUE(Closed.Changed);
  EXPECT_EQ(Closed.Changed->To, TPointState::Idle);
  EXPECT_FALSE(Point.ReadsFill());
}

TEST_F(PointTest, RecoveredSaleOfAPumpStillFuellingIsFollowedUntilTheFillStops) {
  Point.RecoverSale(false, 0.0, 0.0);
  Point.OnPoll(Code(192, 0), 0);
  Point.OnFill(1.0, 2.0, 0);
  const TStep Moving = Point.OnFill(1.5, 3.0, 500);
  ASSERT_TRUE(Moving.Changed);
  EXPECT_EQ(Moving.Changed->To, TPointState::Fuelling);
  EXPECT_TRUE(Point.SawFuel());
  EXPECT_EQ(Point.OnFill(2.0, 4.0, 2400).Action, TSaleAction::None);
  EXPECT_EQ(Point.OnPoll(Code(192, 0), 3000).Action, TSaleAction::None)
      << "a fresh driver reports a fuelling pump as idle: the code does not end it";
  EXPECT_EQ(Point.OnFill(2.0, 4.0, 4399).Action, TSaleAction::None);
  EXPECT_EQ(Point.OnFill(2.0, 4.0, 4400).Action, TSaleAction::Settle);
}

TEST_F(MultiNozzlePointTest, RecoveredSaleOfAnAuthorisedPumpResumes) {
  Point.RecoverSale(false, 0.0, 0.0);
  const TStep Step = Point.OnPoll(Code(219, 3), 0);
  ASSERT_TRUE(Step.Changed);
  EXPECT_EQ(Step.Changed->Reason, "sale resumed after a restart");
  EXPECT_FALSE(Point.Recovering());
  EXPECT_EQ(Point.Nozzle(), 3);
  Point.OnFill(1.0, 2.0, 100);
  EXPECT_EQ(Point.State(), TPointState::Fuelling);
  EXPECT_EQ(Point.OnPoll(Code(192, 0), 200).Action, TSaleAction::End);
}

TEST_F(PointTest, RecoveredSaleOfAnOfflinePumpStaysOpen) {
  Point.RecoverSale(false, 0.0, 0.0);
  for (int I = 0; I < 10; ++I)
    Point.OnPoll(Missed(), I * 10000);
  EXPECT_TRUE(Point.HasSale());
  EXPECT_TRUE(Point.Recovering());
  EXPECT_FALSE(Point.ReadsFill());
}

} // namespace
} // namespace de30::station

namespace de30::station {
namespace {

TPollInput LeftOver(std::uint8_t C, std::uint8_t Nozzle) {
  TPollInput Poll = Code(C, Nozzle);
  Poll.CountDownLeft = true;
  return Poll;
}

// The driver keeps counting down a start after its fill: the next lifted nozzle
// reads 216+k until the count runs out. That is a customer calling, not an
// authorisation from elsewhere; with no count left, 216+k is one.
TEST_F(MultiNozzlePointTest, ALiftedNozzleReadDuringALeftOverCountDownIsCalling) {
  Poll(Code(192, 0));
  Poll(Code(226, 2));
  Authorise(2);
  Fill(2.0);
  Poll(Code(192, 0));
  Point.OnSaleClosed(true);
  const TStep Lifted = Poll(LeftOver(219, 3));
  ASSERT_TRUE(Lifted.Changed);
  EXPECT_EQ(Lifted.Changed->To, TPointState::Calling);
  EXPECT_EQ(Lifted.Changed->Reason, "nozzle 3 lifted");
  EXPECT_EQ(Point.Nozzle(), 3);
  EXPECT_FALSE(Poll(Code(227, 3)).Changed) << "the count ran out: still calling";
  const TStep Elsewhere = Poll(Code(219, 3));
  ASSERT_TRUE(Elsewhere.Changed);
  EXPECT_EQ(Elsewhere.Changed->To, TPointState::Error);
  EXPECT_EQ(Elsewhere.Changed->Reason, "authorised, but not by this station");
}

} // namespace
} // namespace de30::station
