// Fault rules aimed at one kind of frame: a reply lost after the pump has done
// what the frame asked, the totals alone, the execute command of one setting.
#include "sim_fixture.hpp"

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace de30::test {
namespace {

using sim::TFrameKind;
using sim::TSetAction;

// One single-nozzle pump on line 1, fresh for each case.
struct TOnePump {
  TOnePump() {
    Station.AddPump(1, sim::TPumpConfig{});
    Driver = GetDE30(0, 0, &Channel, &Pauser);
    Driver->InitLine(1);
    TSostRecord Record{};
    Driver->GetSostEx(1, 1, 1, Record);
  }
  void Aim(const char *Name, sim::TFaultKind Kind = sim::TFaultKind::NoReply, int Times = 1) {
    sim::TFaultRule Rule;
    Rule.Kind = Kind;
    Rule.Times = Times;
    Rule.Aim = *sim::AimByName(Name);
    Station.AddFault(Rule);
  }
  sim::TPumpView View() { return Station.View(1, 1); }

  sim::TManualClock Clock;
  sim::TSimStation Station{Clock};
  sim::TSimChannel Channel{Station};
  sim::TClockPauser Pauser{Clock};
  std::unique_ptr<TVM30> Driver;
};

TEST(AimedFaults, AReplyLostOnTheWayBackLeavesWhatThePumpDidDone) {
  struct TCase {
    const char *Aim;
    std::function<void(TOnePump &)> Before; // sets the scene, unspoiled
    std::function<void(TVM30 &)> Operation;
    const char *Message; // of the exchange whose reply was lost
    std::function<bool(const sim::TPumpView &)> Holds;
    const char *What;
  };
  const auto Lift = [](TOnePump &P) { P.Station.LiftNozzle(1, 1, 1); };
  const TCase Cases[] = {
      {"start", Lift, [](TVM30 &D) { D.StartPump(1, 1); }, messages::StartPump,
       [](const sim::TPumpView &V) { return V.State == sim::TPumpState::Calling; },
       "a start without its execute is not carried out"},
      {"start-execute", Lift, [](TVM30 &D) { D.StartPump(1, 1); }, messages::ExecuteCommand,
       [](const sim::TPumpView &V) { return V.State == sim::TPumpState::Authorised; },
       "the start was taken"},
      {"execute", Lift, [](TVM30 &D) { D.StartPump(1, 1); }, messages::ExecuteCommand,
       [](const sim::TPumpView &V) { return V.State == sim::TPumpState::Authorised; },
       "the start was taken"},
      {"stop-execute",
       [&](TOnePump &P) {
         Lift(P);
         P.Driver->StartPump(1, 1);
       },
       [](TVM30 &D) { D.StopPump(1, 1); }, messages::ExecuteCommand,
       [](const sim::TPumpView &V) { return V.State == sim::TPumpState::Calling; },
       "the authorisation was withdrawn"},
      {"price-execute", nullptr, [](TVM30 &D) { D.SetPrice(1, 1, 1, 12.34); },
       messages::ExecuteCommand, [](const sim::TPumpView &V) { return V.Prices[0] == 1234; },
       "the price was taken"},
      {"dose", nullptr, [](TVM30 &D) { D.SetDoseLitres(1, 1, 5.0); }, messages::SetDoseLitres,
       [](const sim::TPumpView &V) { return V.Dose == 0; }, "no dose without its execute"},
      {"dose-execute", nullptr, [](TVM30 &D) { D.SetDoseLitres(1, 1, 5.0); },
       messages::ExecuteCommand, [](const sim::TPumpView &V) { return V.Dose == 500; },
       "the dose was taken"},
      {"unblock-execute", [](TOnePump &P) { P.Station.Lock(1, 1); },
       [](TVM30 &D) { D.UnblockPump(1, 1, 9); }, messages::ExecuteCommand,
       [](const sim::TPumpView &V) {
         return V.State == sim::TPumpState::Idle && V.LastUnblockCode == 9;
       },
       "the pump was unblocked"},
      {"reinit", [](TOnePump &P) { P.Station.Fail(1, 1, 0x80); },
       [](TVM30 &D) { D.UnblockPump(1, 1, 0); }, messages::ReinitPump,
       [](const sim::TPumpView &V) { return V.State == sim::TPumpState::Idle; },
       "the fault was cleared"},
  };
  for (const TCase &C : Cases) {
    TOnePump P;
    if (C.Before)
      C.Before(P);
    P.Aim(C.Aim);
    try {
      C.Operation(*P.Driver);
      ADD_FAILURE() << C.Aim << ": no failure";
    } catch (const ESerialIO &Error) {
      EXPECT_STREQ(Error.what(), C.Message) << C.Aim;
      EXPECT_EQ(Error.ChannelError(), channels::ErrTimeout) << C.Aim;
    }
    EXPECT_TRUE(C.Holds(P.View())) << C.Aim << ": " << C.What;
  }
}

TEST(AimedFaults, ARuleOnTheTotalsSpoilsThemAloneAndForGood) {
  TOnePump P;
  P.Aim("totals", sim::TFaultKind::NoReply, -1);
  double Volume = 0;
  double Amount = 0;
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(P.Driver->GetSost(1, 1), 192);
    EXPECT_DOUBLE_EQ(P.Driver->ReadFill(1, 1, Amount), 0.0);
    P.Driver->SetPrice(1, 1, 1, 40.00);
    EXPECT_THROW(P.Driver->GetTotals(1, 1, Volume, Amount), ESerialIO);
  }
}

TEST(AimedFaults, ARuleWaitsForItsFrameWithoutSpendingItsCount) {
  TOnePump P;
  P.Aim("fill", sim::TFaultKind::NoReply, 1);
  for (int I = 0; I < 5; ++I)
    EXPECT_EQ(P.Driver->GetSost(1, 1), 192);
  double Amount = 0;
  EXPECT_THROW(P.Driver->ReadFill(1, 1, Amount), ESerialIO);
  EXPECT_DOUBLE_EQ(P.Driver->ReadFill(1, 1, Amount), 0.0);
}

TEST(AimedFaults, EachNameAimsAtItsOwnFramesOnly) {
  struct TCase {
    const char *Name;
    sim::TFrameAim Frame;
    bool Hit;
  };
  const TCase Cases[] = {
      {"poll", {TFrameKind::StatusPoll, TSetAction::None}, true},
      {"poll", {TFrameKind::NozzlePoll, TSetAction::None}, false},
      {"totals", {TFrameKind::Totals, TSetAction::None}, true},
      {"totals", {TFrameKind::FillRead, TSetAction::None}, false},
      {"set", {TFrameKind::Set, TSetAction::Dose}, true},
      {"set", {TFrameKind::Execute, TSetAction::Dose}, false},
      {"start", {TFrameKind::Set, TSetAction::Start}, true},
      {"start", {TFrameKind::Set, TSetAction::Stop}, false},
      {"start", {TFrameKind::Execute, TSetAction::Start}, false},
      {"execute", {TFrameKind::Execute, TSetAction::None}, true},
      {"execute", {TFrameKind::Execute, TSetAction::Price}, true},
      {"start-execute", {TFrameKind::Execute, TSetAction::Start}, true},
      {"start-execute", {TFrameKind::Execute, TSetAction::None}, false},
      {"start-execute", {TFrameKind::Set, TSetAction::Start}, false},
      {"reinit", {TFrameKind::Reinit, TSetAction::None}, true},
      {"reinit", {TFrameKind::StatusPoll, TSetAction::None}, false},
  };
  for (const TCase &C : Cases) {
    const auto Aim = sim::AimByName(C.Name);
    ASSERT_TRUE(Aim) << C.Name;
    EXPECT_EQ(sim::Hits(*Aim, C.Frame), C.Hit) << C.Name;
    EXPECT_TRUE(sim::Hits(sim::TFrameAim{}, C.Frame)) << "an unaimed rule, " << C.Name;
  }
  // Every listed name is understood, and no two name the same frames.
  std::set<std::pair<TFrameKind, TSetAction>> Seen;
  std::istringstream Names(sim::AimNames());
  int Count = 0;
  for (std::string Name; std::getline(Names, Name, ',');) {
    Name.erase(0, Name.find_first_not_of(' '));
    const auto Aim = sim::AimByName(Name);
    ASSERT_TRUE(Aim) << Name;
    EXPECT_TRUE(Seen.insert({Aim->Kind, Aim->Action}).second) << Name;
    ++Count;
  }
  EXPECT_EQ(Count, 17);
  EXPECT_FALSE(sim::AimByName("start-exec"));
}

} // namespace
} // namespace de30::test
