// Each rule a sale is closed by, against a simulated station that does what real
// pumps do: totals answered by the pump last addressed, a fill kept until the next
// authorisation, a start taken while its reply is lost, both two-nozzle totals
// layouts, an authorised pump that reports idle until its nozzle is lifted.

#include "capture/reader.hpp"
#include "protocol/vocabulary.hpp"
#include "station/station_fixture.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

namespace de30::station {
namespace {

using TStatus = TCommandResult::TStatus;

sim::TFaultRule Aimed(sim::TFaultKind Kind, int Pump, const char *Aim, int Times = 1) {
  sim::TFaultRule Rule;
  Rule.Kind = Kind;
  Rule.Line = 1;
  Rule.Pump = Pump;
  Rule.Times = Times;
  Rule.Aim = *sim::AimByName(Aim);
  return Rule;
}

class EvidenceTest : public StationTest {
protected:
  EvidenceTest() {
    Config.UnknownStartTimeout = 600ms;
    Config.CallingSettle = 600ms;
  }

  // One sale on the pump, poured to a dose and hung up: the pump then holds its
  // fill, and its totals have moved.
  void PourAndHang(int Pump, double Litres, int Nozzle = 1) {
    ASSERT_TRUE(LiftAndAuthorise({TPreset::TKind::Litres, Litres}, Pump, Nozzle).Ok());
    ASSERT_TRUE(SaleEvent("closed"));
    Sim.HangNozzle(1, Pump);
    ASSERT_TRUE(
        WaitFor([&] { return Station->Pump(1, Pump)->State != TPointState::Fuelling; }));
  }
  double SimAmount(int Pump) {
    return static_cast<double>(Sim.View(1, Pump).FillAmount) / 100.0;
  }
  // Every pump state the event stream carried for Pump until Done.
  std::vector<TPointState> StatesUntil(int Pump,
                                       const std::function<bool(const TEvent &)> &Done,
                                       std::chrono::milliseconds Limit = 8s) {
    std::vector<TPointState> States;
    const auto Until = std::chrono::steady_clock::now() + Limit;
    TEvent Event;
    while (std::chrono::steady_clock::now() < Until) {
      if (!Events->Next(Event, 50))
        continue;
      if (Event.Kind == TEvent::TKind::Pump && Event.Pump.Pump == Pump)
        States.push_back(Event.Pump.State);
      if (Done(Event))
        break;
    }
    return States;
  }
  static bool Closed(const TEvent &Event) {
    return Event.Kind == TEvent::TKind::Sale &&
           (Event.Reason == "closed" || Event.Reason == "closed empty");
  }
};

// The totals request carries no address: a pump polled just before answers it.
TEST_F(EvidenceTest, TotalsAreReadFromThePumpTheyAreFor) {
  Sim.AddPump(1, SimPump(3, 1));
  Config.Pumps.push_back(StationPump(3, {1}));
  Start();
  PourAndHang(3, 4.0);
  PourAndHang(2, 2.5);
  for (int Sale = 0; Sale < 3; ++Sale) {
    SCOPED_TRACE(Sale);
    const double Before = static_cast<double>(Sim.View(1, 1).TotalVolume[0]) / 100.0;
    ASSERT_TRUE(LiftAndAuthorise({TPreset::TKind::Litres, 1.0 + Sale}).Ok());
    const auto Sold = SaleEvent("closed");
    ASSERT_TRUE(Sold);
    EXPECT_DOUBLE_EQ(Sold->StartTotals.Volume, Before);
    EXPECT_NEAR(Delta(*Sold), Sold->Volume, 0.001);
    EXPECT_FALSE(Sold->HasFlag(FlagVolumeMismatch));
    Sim.HangNozzle(1, 1);
    ASSERT_TRUE(WaitState(1, TPointState::Completed));
    Station->LockSale(Sold->Id, "till");
    Station->ClearSale(Sold->Id, "till");
  }
}

// A start frame that got no reply never reached the pump: it keeps the previous
// customer's fill, which must not become a sale.
TEST_F(EvidenceTest, AStartThatNeverReachedThePumpMakesNoPhantomSale) {
  Start();
  PourAndHang(2, 2.0, 2);
  const int FillsBefore = Sim.View(1, 2).Fills;
  Sim.AddFault(Aimed(sim::TFaultKind::NoReply, 2, "start"));
  ASSERT_TRUE(WaitState(2, TPointState::Completed));
  Sim.LiftNozzle(1, 2, 2);
  ASSERT_TRUE(WaitState(2, TPointState::Calling));
  const TCommandResult Result = Station->Authorize(1, 2, {}, std::nullopt);
  EXPECT_EQ(Result.Status, TStatus::Uncertain) << Result.Message;
  ASSERT_TRUE(Result.Sale);
  const auto States = StatesUntil(2, Closed);
  for (TPointState State : States)
    EXPECT_NE(State, TPointState::Fuelling) << "the old fill is not this sale's fuel";
  const auto Sale = Station->Journal().Sale(Result.Sale->Id);
  ASSERT_TRUE(Sale);
  EXPECT_EQ(Sale->State, TSaleState::Cleared);
  EXPECT_EQ(Sale->Volume, 0.0);
  EXPECT_TRUE(Sale->HasFlag(FlagEmpty));
  EXPECT_TRUE(Sale->HasFlag(FlagUncertain));
  EXPECT_EQ(Sim.View(1, 2).Fills, FillsBefore) << "nothing was poured";
}

// The execute reply after a start is lost, but the pump took the start: the sale
// stays open, the pump is never shown calling while it pours, and the whole fill
// is counted once.
TEST_F(EvidenceTest, AStartTakenWhileItsReplyWasLostIsCountedOnce) {
  Config.Pumps[0].AutoAuthorize = true;
  Start();
  ASSERT_TRUE(WaitReady(1));
  Sim.AddFault(Aimed(sim::TFaultKind::NoReply, 1, "start-execute"));
  Sim.LiftNozzle(1, 1, 1);
  bool SawCalling = false;
  int Opened = 0;
  std::optional<TSale> Sold;
  const auto Until = std::chrono::steady_clock::now() + 8s;
  TEvent Event;
  while (!Sold && std::chrono::steady_clock::now() < Until) {
    if (!Events->Next(Event, 50))
      continue;
    if (Event.Kind == TEvent::TKind::Sale && Event.Reason == "opened")
      ++Opened;
    if (Event.Kind == TEvent::TKind::Sale && Event.Reason == "closed")
      Sold = Event.Sale;
    if (Opened > 0 && Event.Kind == TEvent::TKind::Pump && Event.Pump.Pump == 1 &&
        Event.Pump.State == TPointState::Calling && Sim.View(1, 1).FillVolume > 0)
      SawCalling = true;
    // The customer stops at 3 litres.
    if (Sim.View(1, 1).FillVolume >= 300 && Sim.View(1, 1).Lifted != 0)
      Sim.HangNozzle(1, 1);
  }
  ASSERT_TRUE(Sold);
  EXPECT_EQ(Opened, 1) << "no second sale opened mid-fill";
  EXPECT_FALSE(SawCalling);
  EXPECT_DOUBLE_EQ(Sold->Volume, SimFill(1));
  EXPECT_DOUBLE_EQ(Sold->Amount, SimAmount(1));
  EXPECT_TRUE(Sold->HasFlag(FlagUncertain));
  EXPECT_NEAR(Delta(*Sold), Sold->Volume, 0.001);
}

// The final fill reading must be accepted: until one is, the sale stays open,
// flagged, and then closes on its own figures, not an older reading.
TEST_F(EvidenceTest, ASaleClosesOnlyOnAnAcceptedFinalReading) {
  Start();
  ASSERT_TRUE(LiftAndAuthorise({TPreset::TKind::Litres, 3.0}).Ok());
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  Sim.AddFault(Aimed(sim::TFaultKind::CorruptDigits, 1, "fill", -1));
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto Open = Station->Journal().OpenSales();
        return !Open.empty() && Open.front().HasFlag(FlagUnsettled);
      },
      8s));
  EXPECT_NE(Station->Pump(1, 1)->Reason.find("no final fill reading"), std::string::npos)
      << Station->Pump(1, 1)->Reason;
  Sim.ClearFaults();
  const auto Sold = SaleEvent("closed");
  ASSERT_TRUE(Sold);
  EXPECT_DOUBLE_EQ(Sold->Volume, 3.0);
  EXPECT_DOUBLE_EQ(Sold->Amount, SimAmount(1));
  EXPECT_FALSE(Sold->HasFlag(FlagUnsettled));
}

// Pre-pay: authorised before anyone lifts a nozzle. The pump reports idle until
// the customer comes; the preset belongs to the sale that follows.
TEST_F(EvidenceTest, APrePaidIdlePumpWaitsForTheCustomer) {
  Start();
  ASSERT_TRUE(WaitReady(1));
  const TCommandResult Result = Station->Authorize(1, 1, {TPreset::TKind::Money, 10.0}, 1);
  ASSERT_TRUE(Result.Ok()) << Result.Message;
  EXPECT_EQ(Result.Message, "authorised for 6.66 litres");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Station->Pump(1, 1)->State, TPointState::Authorised);
  EXPECT_EQ(Station->Pump(1, 1)->Reason, "authorised; waiting for the nozzle");
  Sim.LiftNozzle(1, 1, 1);
  const auto States = StatesUntil(1, Closed);
  for (TPointState State : States) {
    EXPECT_NE(State, TPointState::Locked);
    EXPECT_NE(State, TPointState::Calling);
  }
  const auto Sale = Station->Journal().Sale(Result.Sale->Id);
  ASSERT_TRUE(Sale);
  EXPECT_EQ(Sale->State, TSaleState::Payable);
  EXPECT_DOUBLE_EQ(Sale->Volume, 6.66);
  EXPECT_DOUBLE_EQ(Sale->Amount, SimAmount(1));
  EXPECT_EQ(Station->Journal().Sales({}).size(), 1u) << "one sale, the pre-paid one";
}

// A pre-paid customer takes one nozzle, hangs it up and pours with the other:
// the sale is the nozzle that poured, at its grade and price.
TEST_F(EvidenceTest, TheSalesNozzleIsTheOneThatPoured) {
  Start();
  ASSERT_TRUE(WaitReady(2));
  const TCommandResult Result = Station->Authorize(1, 2, {TPreset::TKind::Litres, 1.0}, {});
  ASSERT_TRUE(Result.Ok()) << Result.Message;
  Sim.LiftNozzle(1, 2, 1);
  ASSERT_TRUE(WaitFor([&] { return Station->Pump(1, 2)->Nozzle == 1; }));
  Sim.HangNozzle(1, 2);
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 2).Lifted == 0; }));
  std::this_thread::sleep_for(100ms); // a few polls of the hung-up pump
  EXPECT_EQ(Station->Pump(1, 2)->State, TPointState::Authorised);
  Sim.LiftNozzle(1, 2, 2);
  const auto Sold = SaleEvent("closed");
  ASSERT_TRUE(Sold);
  EXPECT_EQ(Sold->Nozzle, 2);
  EXPECT_EQ(Sold->Grade, 1) << "nozzle 2 of pump 2 sells grade 1";
  EXPECT_DOUBLE_EQ(Sold->Price, 1.50);
  EXPECT_DOUBLE_EQ(Sold->Volume, 1.0);
  EXPECT_DOUBLE_EQ(Sold->Amount, 1.50);
}

// Two-nozzle totals: what the last group holds decides which nozzles the totals
// can judge. A fill that showed fuel for this authorisation is never emptied by
// totals that do not cover its nozzle, not even after a restart.
TEST_F(EvidenceTest, TwoNozzleTotalsJudgeOnlyTheNozzlesTheirLayoutCovers) {
  struct TCase {
    sim::TTotalsLayout Pump;
    TTotalsLayout Configured;
    int Nozzle;
    bool JudgedByTotals;
  };
  const TCase Cases[] = {
      {sim::TTotalsLayout::PerNozzle, TTotalsLayout::PerNozzle, 1, false},
      {sim::TTotalsLayout::PerNozzle, TTotalsLayout::PerNozzle, 2, true},
      {sim::TTotalsLayout::PerNozzle, TTotalsLayout::Unknown, 1, false},
      {sim::TTotalsLayout::Sum, TTotalsLayout::Sum, 1, true},
      {sim::TTotalsLayout::Sum, TTotalsLayout::Unknown, 2, false},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(std::string(TotalsLayoutName(Case.Configured)) + " nozzle " +
                 std::to_string(Case.Nozzle));
    Station.reset();
    sim::TSimStation Pumps(Clock);
    auto Two = SimPump(2, 2);
    Two.Totals = Case.Pump;
    Two.FlowRate = 100; // a litre a second: the restart falls mid-fill
    Pumps.AddPump(1, Two);
    test::TTempDir Here;
    TStationConfig Setup = Config;
    Setup.Journal = Here / "journal.db";
    Setup.Pumps = {StationPump(2, {2, 1})};
    Setup.Pumps[0].Totals = Case.Configured;
    TStationOptions Options;
    Options.Channels = [&](const TLineConfig &) {
      return std::make_unique<sim::TSimChannel>(Pumps);
    };
    Options.IdleCycleMs = 5;
    auto Run = std::make_unique<TStation>(Setup, Options);
    ASSERT_TRUE(Run->SetPrices({{1, 1.50}, {2, 1.20}}).Ok());
    Run->Start();
    const auto Ready = [&] {
      const auto View = Run->Pump(1, 2);
      return View->State == TPointState::Idle && View->PriceState == TPriceState::Sent;
    };
    ASSERT_TRUE(WaitFor(Ready));
    Pumps.LiftNozzle(1, 2, Case.Nozzle);
    ASSERT_TRUE(WaitFor([&] { return Run->Pump(1, 2)->State == TPointState::Calling; }));
    const TCommandResult Result = Run->Authorize(1, 2, {TPreset::TKind::Litres, 1.5}, {});
    ASSERT_TRUE(Result.Ok()) << Result.Message;
    ASSERT_TRUE(WaitFor([&] { return Pumps.View(1, 2).FillVolume >= 40; }));
    Run.reset(); // killed mid-fill: the sale is recovered by the next run
    Run = std::make_unique<TStation>(Setup, Options);
    Run->Start();
    ASSERT_TRUE(WaitFor([&] { return Run->Journal().OpenSales().empty(); }, 10s));
    const auto Sale = Run->Journal().Sale(Result.Sale->Id);
    ASSERT_TRUE(Sale);
    EXPECT_EQ(Sale->State, TSaleState::Payable);
    EXPECT_DOUBLE_EQ(Sale->Volume, static_cast<double>(Pumps.View(1, 2).FillVolume) / 100.0);
    EXPECT_TRUE(Sale->HasFlag(FlagRecovered));
    EXPECT_FALSE(Sale->HasFlag(FlagVolumeMismatch));
    const bool Judged = Sale->StartTotals.Known && Sale->EndTotals.Known &&
                        Sale->EndTotals.Volume != Sale->StartTotals.Volume;
    if (Case.JudgedByTotals) {
      EXPECT_TRUE(Judged) << "the covered counter moved by the fill";
    }
    Run.reset();
  }
}

// A pump's list goes out as one command with every grade it sells set, even on
// the first prices of a fresh journal.
TEST_F(EvidenceTest, APriceListGoesOutOnceAndComplete) {
  const auto File = Dir / "line1.pcapng";
  Config.Lines[0].Capture = File.string();
  Start({});
  ASSERT_TRUE(WaitState(2, TPointState::Idle));
  ASSERT_TRUE(Station->SetPrices({{1, 45.50}, {2, 47.20}}).Ok());
  ASSERT_TRUE(WaitReady(2));
  Station.reset();
  int Lists = 0;
  for (const auto &Exchange : capture::ReadCapture(File.string()).Exchanges) {
    const auto &Frame = Exchange.Frame;
    // On the wire: 0x00, then the lead byte of command 4 to pump 2 and the code.
    if (Frame.size() < 7 || Frame[1] != protocol::LeadByte(2, protocol::CmdSet) ||
        Frame[2] != protocol::CodePriceFive)
      continue;
    ++Lists;
    // Nozzle 1 sells grade 2, nozzle 2 grade 1.
    EXPECT_EQ(Frame[3], 0x47);
    EXPECT_EQ(Frame[4], 0x20);
    EXPECT_EQ(Frame[5], 0x45);
    EXPECT_EQ(Frame[6], 0x50);
  }
  EXPECT_EQ(Lists, 1);
}

// A journal held by another program: the step waits for it, nothing ends the
// service, and the sale is closed once the journal is back.
TEST_F(EvidenceTest, AJournalHeldByAnotherProgramDelaysTheCloseAndLosesNothing) {
  Start();
  ASSERT_TRUE(LiftAndAuthorise({TPreset::TKind::Litres, 2.0}).Ok());
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(Config.Journal.c_str(), &Other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 1).State != sim::TPumpState::Fuelling; }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(Station->Lines().front().LastError.empty());
  EXPECT_FALSE(Station->Pump(1, 1)->State == TPointState::Offline) << "polling went on";
  sqlite3_exec(Other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(Other);
  const auto Sold = SaleEvent("closed");
  ASSERT_TRUE(Sold);
  EXPECT_DOUBLE_EQ(Sold->Volume, 2.0);
  EXPECT_EQ(Station->Journal().Sales({}).size(), 1u);
}

} // namespace
} // namespace de30::station
