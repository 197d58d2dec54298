// The whole station on the in-process simulated one: real time on a steady clock
// with short start delays and a fast flow, a real journal file in a temp folder.

#include "capture/reader.hpp"
#include "capture/writer.hpp"
#include "station/station_fixture.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

namespace de30::station {
namespace {

using namespace std::chrono_literals;
using TStatus = TCommandResult::TStatus;

TEST_F(StationTest, AWholeSaleIsJournaledBeforeTheStartAndClosedFromTheTotals) {
  Start();
  const TCommandResult Result = LiftAndAuthorise();
  ASSERT_TRUE(Result.Ok()) << Result.Message;
  ASSERT_TRUE(Result.Sale);
  const auto Opened = Station->Journal().Sale(Result.Sale->Id);
  ASSERT_TRUE(Opened);
  EXPECT_EQ(Opened->State, TSaleState::Open);
  EXPECT_EQ(Opened->Nozzle, 1);
  EXPECT_EQ(Opened->Grade, 1);
  EXPECT_DOUBLE_EQ(Opened->Price, 1.50);
  EXPECT_TRUE(Opened->StartTotals.Known);

  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  std::this_thread::sleep_for(300ms);
  Sim.HangNozzle(1, 1);
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_EQ(Closed->Id, Result.Sale->Id);
  EXPECT_EQ(Closed->State, TSaleState::Payable);
  EXPECT_GT(Closed->Volume, 1.0);
  EXPECT_NEAR(Closed->Volume, SimFill(1), 0.001);
  EXPECT_NEAR(Closed->Volume, Delta(*Closed), 0.005);
  EXPECT_NEAR(Closed->Amount, std::round(Closed->Volume * 150.0) / 100.0, 0.006);
  EXPECT_FALSE(Closed->HasFlag(FlagVolumeMismatch));
  EXPECT_FALSE(Closed->HasFlag(FlagEmpty));
  EXPECT_EQ(Station->Journal().Sale(Closed->Id)->State, TSaleState::Payable);
  EXPECT_EQ(Station->Pump(1, 1)->State, TPointState::Completed);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 0u);
}

TEST_F(StationTest, PresetsInLitresAndInMoneyAtTheSentPrice) {
  Start();
  TPreset Litres;
  Litres.Kind = TPreset::TKind::Litres;
  Litres.Value = 3.0;
  ASSERT_TRUE(LiftAndAuthorise(Litres).Ok());
  auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_DOUBLE_EQ(Closed->Volume, 3.0);
  EXPECT_DOUBLE_EQ(Closed->Amount, 4.5);
  EXPECT_NEAR(Delta(*Closed), 3.0, 0.005);
  Sim.HangNozzle(1, 1);
  ASSERT_TRUE(Station->ClearSale(Closed->Id, "pos").Status == TStatus::NotLocked);

  // Nozzle 2 of pump 2 sells grade 1 at 1.50: 6.00 of money is 4 litres.
  TPreset Money;
  Money.Kind = TPreset::TKind::Money;
  Money.Value = 6.0;
  const TCommandResult Result = LiftAndAuthorise(Money, 2, 2);
  ASSERT_TRUE(Result.Ok()) << Result.Message;
  EXPECT_EQ(Result.Sale->Grade, 1);
  Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_EQ(Closed->Pump, 2);
  EXPECT_EQ(Closed->Nozzle, 2);
  EXPECT_DOUBLE_EQ(Closed->Volume, 4.0);
  EXPECT_DOUBLE_EQ(Closed->Amount, 6.0);
  EXPECT_EQ(Closed->Preset.Kind, TPreset::TKind::Money);
}

TEST_F(StationTest, EveryPumpGetsItsFullListWithoutStartValues) {
  Start();
  ASSERT_TRUE(WaitReady(1));
  ASSERT_TRUE(WaitReady(2));
  const auto One = Sim.View(1, 1).Prices;
  EXPECT_EQ(One[0], 150);
  const auto Two = Sim.View(1, 2).Prices;
  EXPECT_EQ(Two[0], 120) << "nozzle 1 sells grade 2";
  EXPECT_EQ(Two[1], 150) << "nozzle 2 sells grade 1";
  for (std::size_t I = 2; I < Two.size(); ++I)
    EXPECT_EQ(Two[I], 0) << "position " << I + 1 << " has no nozzle";
  EXPECT_EQ(Station->Pump(1, 2)->Prices, (std::vector<double>{1.20, 1.50}));
}

TEST_F(StationTest, NoPricesNoAuthorisation) {
  Start({{2, 1.20}});
  ASSERT_TRUE(WaitState(1, TPointState::Idle));
  ASSERT_TRUE(WaitFor([&] { return Station->Pump(1, 2)->State == TPointState::Idle; }));
  EXPECT_EQ(Station->Pump(1, 1)->PriceState, TPriceState::Pending);
  EXPECT_EQ(Station->Pump(1, 1)->PriceReason, "no price for grade 1");
  EXPECT_EQ(Station->Pump(1, 2)->PriceReason, "no price for grade 1")
      << "a pump gets no list until every grade it sells has a price";
  EXPECT_EQ(Sim.View(1, 2).Prices[0], 100) << "nothing was sent: the pump keeps its own";
  const TCommandResult Refused = Station->Authorize(1, 1, {}, std::nullopt);
  EXPECT_EQ(Refused.Status, TStatus::NoPrice);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 0u);
  EXPECT_EQ(Sim.View(1, 1).State, sim::TPumpState::Idle);

  ASSERT_TRUE(Station->SetPrices({{1, 1.55}}).Ok());
  ASSERT_TRUE(WaitReady(2));
  EXPECT_EQ(Sim.View(1, 2).Prices[1], 155);
}

TEST_F(StationTest, APriceChangeIsHeldBackDuringAFillAndSentAfter) {
  Start();
  ASSERT_TRUE(LiftAndAuthorise().Ok());
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  ASSERT_TRUE(Station->SetPrices({{1, 1.60}}).Ok());
  ASSERT_TRUE(WaitFor([&] {
    return Station->Pump(1, 1)->PriceReason ==
           "held back while the pump is authorised or fuelling";
  }));
  // Pump 2 sells grade 1 too, and is idle: it gets its list at once.
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 2).Prices[1] == 160; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Sim.View(1, 1).Prices[0], 150) << "nothing is sent to a fuelling pump";
  EXPECT_EQ(Station->Pump(1, 1)->Prices, std::vector<double>{1.50});
  Sim.HangNozzle(1, 1);
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_DOUBLE_EQ(Closed->Price, 1.50) << "the sale keeps the price the pump sold at";
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 1).Prices[0] == 160; }));
  ASSERT_TRUE(WaitFor([&] { return Station->Pump(1, 1)->PriceState == TPriceState::Sent; }));
  EXPECT_DOUBLE_EQ(Station->Prices().at(1), 1.60);
}

TEST_F(StationTest, BadCommandsAreRefusedAndNothingIsSent) {
  Start();
  ASSERT_TRUE(WaitReady(1));
  EXPECT_EQ(Station->Authorize(1, 9, {}, std::nullopt).Status, TStatus::UnknownPump);
  EXPECT_EQ(Station->Authorize(1, 1, {}, 7).Status, TStatus::UnknownGrade);
  EXPECT_EQ(Station->Authorize(1, 1, {}, 2).Status, TStatus::UnknownGrade)
      << "pump 1 does not sell grade 2";
  EXPECT_EQ(Station->SetPrices({{1, 100.0}}).Status, TStatus::BadValue);
  EXPECT_EQ(Station->SetPrices({{1, 1.005}}).Status, TStatus::BadValue);
  EXPECT_EQ(Station->SetPrices({{9, 1.0}}).Status, TStatus::UnknownGrade);
  EXPECT_EQ(Station->Unblock(1, 1, 256).Status, TStatus::BadValue);
  TPreset Huge;
  Huge.Kind = TPreset::TKind::Litres;
  Huge.Value = 10000.0;
  EXPECT_EQ(Station->Authorize(1, 1, Huge, std::nullopt).Status, TStatus::BadValue);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 0u);

  ASSERT_TRUE(LiftAndAuthorise().Ok());
  const TCommandResult Again = Station->Authorize(1, 1, {}, std::nullopt);
  EXPECT_EQ(Again.Status, TStatus::WrongState);
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  EXPECT_EQ(Station->Unblock(1, 1, 5).Status, TStatus::WrongState);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 1u);
  ASSERT_TRUE(Station->StopAll().Ok());
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_TRUE(Closed->HasFlag(FlagStopped));
  EXPECT_NEAR(Closed->Volume, Delta(*Closed), 0.005);
  Station->Stop();
  EXPECT_EQ(Station->Authorize(1, 1, {}, std::nullopt).Status, TStatus::Stopping);
}

TEST_F(StationTest, LockAndClearWithTheirRefusals) {
  Start();
  TPreset Litres;
  Litres.Kind = TPreset::TKind::Litres;
  Litres.Value = 1.0;
  ASSERT_TRUE(LiftAndAuthorise(Litres).Ok());
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  const std::int64_t Id = Closed->Id;
  EXPECT_EQ(Station->LockSale(Id + 100, "pos1").Status, TStatus::UnknownSale);
  EXPECT_EQ(Station->ClearSale(Id, "pos1").Status, TStatus::NotLocked);
  const TCommandResult Locked = Station->LockSale(Id, "pos1");
  ASSERT_TRUE(Locked.Ok()) << Locked.Message;
  EXPECT_EQ(Locked.Sale->State, TSaleState::Locked);
  ASSERT_TRUE(SaleEvent("locked"));
  EXPECT_EQ(Station->LockSale(Id, "pos2").Status, TStatus::NotPayable);
  EXPECT_EQ(Station->ClearSale(Id, "pos2").Status, TStatus::LockedByOther);
  EXPECT_EQ(Station->Pump(1, 1)->State, TPointState::Completed);
  ASSERT_TRUE(Station->ClearSale(Id, "pos1").Ok());
  ASSERT_TRUE(SaleEvent("cleared"));
  EXPECT_TRUE(Station->ClearSale(Id, "pos1").Ok()) << "a repeated clear by its client";
  EXPECT_EQ(Station->ClearSale(Id, "pos2").Status, TStatus::AlreadyCleared);
  EXPECT_TRUE(WaitState(1, TPointState::Idle));
}

TEST_F(StationTest, AnAbsentPumpGoesOfflineAndComesBackByItself) {
  Config.Pumps.push_back(StationPump(3, {2}));
  Start();
  ASSERT_TRUE(WaitState(3, TPointState::Offline));
  ASSERT_TRUE(WaitFor([&] { return Station->Lines()[0].Timeouts >= 3; }));
  EXPECT_EQ(Station->Authorize(1, 3, {}, std::nullopt).Status, TStatus::WrongState);
  // Polled after a growing pause: far fewer polls than the pumps that answer.
  const std::uint64_t Before = Station->Lines()[0].Timeouts;
  std::this_thread::sleep_for(1000ms);
  EXPECT_LE(Station->Lines()[0].Timeouts - Before, 6u);
  EXPECT_EQ(Station->Pump(1, 1)->State, TPointState::Idle) << "the others are not held up";

  Sim.AddPump(1, SimPump(3, 1));
  ASSERT_TRUE(WaitState(3, TPointState::Idle, 2s));
  EXPECT_EQ(Station->Pump(1, 3)->Reason, "answered again");
  EXPECT_TRUE(WaitReady(3));
  const TLineSnapshot Health = Station->Lines()[0];
  EXPECT_GT(Health.Polls, Health.Timeouts);
  EXPECT_GE(Health.ErrorsByNumber.at(4), 3u);
  EXPECT_FALSE(Health.LastError.empty());
}

TEST_F(StationTest, APumpThatStopsAnsweringIsOfflineAndItsSaleStaysOpenUntilItAnswers) {
  Start();
  ASSERT_TRUE(LiftAndAuthorise().Ok());
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  sim::TFaultRule Silence;
  Silence.Kind = sim::TFaultKind::NoReply;
  Silence.Line = 1;
  Silence.Pump = 1;
  Silence.Times = -1;
  Sim.AddFault(Silence);
  ASSERT_TRUE(WaitState(1, TPointState::Offline));
  Sim.HangNozzle(1, 1);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 1u);
  Sim.ClearFaults();
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_NEAR(Closed->Volume, Delta(*Closed), 0.005);
  EXPECT_NEAR(Closed->Volume, SimFill(1), 0.001);
}

TEST_F(StationTest, RejectedRepliesAreNeverTakenAsReadings) {
  Start();
  ASSERT_TRUE(LiftAndAuthorise().Ok());
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  sim::TFaultRule Echo;
  Echo.Kind = sim::TFaultKind::WrongEcho;
  Echo.Line = 1;
  Echo.Pump = 1;
  Echo.Times = -1;
  Echo.Probability = 0.3;
  Sim.SeedFaults(7);
  Sim.AddFault(Echo);
  double Last = 0.0;
  bool Fell = false;
  for (int I = 0; I < 150; ++I) {
    const double Volume = Station->Pump(1, 1)->Volume;
    Fell = Fell || Volume < Last;
    Last = Volume;
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_FALSE(Fell) << "a rejected fill reply reads 0.0 and must not be used";
  Sim.ClearFaults();
  EXPECT_GT(Station->Lines()[0].Rejected, 0u);
  Sim.HangNozzle(1, 1);
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_NEAR(Closed->Volume, Delta(*Closed), 0.005);

  // A command whose reply is rejected is never reported as done.
  Sim.HangNozzle(1, 1);
  Echo.Probability = 1.0;
  Sim.AddFault(Echo);
  const TCommandResult Refused = Station->Authorize(1, 1, {}, std::nullopt);
  EXPECT_FALSE(Refused.Ok());
  EXPECT_TRUE(Refused.Status == TStatus::LineFailed || Refused.Status == TStatus::WrongState)
      << StatusCode(Refused.Status);
  // The execute may have reached the pump all the same: then its sale is journaled.
  if (Sim.View(1, 1).State == sim::TPumpState::Authorised) {
    const auto Open = Station->Journal().OpenSales();
    ASSERT_EQ(Open.size(), 1u);
    EXPECT_EQ(Open[0].Pump, 1);
    EXPECT_TRUE(Refused.Sale);
  }
}

TEST_F(StationTest, AnOpenSaleIsRecoveredAfterARestartMidFillNeitherLostNorDoubled) {
  Start();
  const TCommandResult Result = LiftAndAuthorise();
  ASSERT_TRUE(Result.Ok());
  ASSERT_TRUE(WaitFor([&] { return Station->Pump(1, 1)->Volume > 0.5; }));
  Station.reset(); // killed mid-fill: the sale is open in the journal
  std::this_thread::sleep_for(100ms);

  Start({});
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling)) << Station->Pump(1, 1)->Reason;
  Sim.HangNozzle(1, 1);
  const auto Closed = SaleEvent("closed");
  ASSERT_TRUE(Closed);
  EXPECT_EQ(Closed->Id, Result.Sale->Id);
  EXPECT_TRUE(Closed->HasFlag(FlagRecovered));
  EXPECT_GT(Closed->Volume, 0.5);
  EXPECT_NEAR(Closed->Volume, Delta(*Closed), 0.005);
  EXPECT_NEAR(Closed->Volume, SimFill(1), 0.001);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 0u);
  TSaleFilter All;
  EXPECT_EQ(Station->Journal().Sales(All).size(), 1u);

  // Restarted again, the closed sale stays closed and nothing is counted twice.
  Station.reset();
  Start({});
  ASSERT_TRUE(WaitReady(1));
  EXPECT_EQ(Station->Journal().Sales(All).size(), 1u);
  EXPECT_EQ(Station->Journal().OpenSales().size(), 0u);
}

TEST_F(StationTest, ARecoveredSaleWhoseFillNeverBeganClosesEmptyDespiteTheOldFillData) {
  Start();
  TPreset Litres;
  Litres.Kind = TPreset::TKind::Litres;
  Litres.Value = 2.0;
  ASSERT_TRUE(LiftAndAuthorise(Litres).Ok());
  const auto First = SaleEvent("closed");
  ASSERT_TRUE(First);
  Sim.HangNozzle(1, 1);
  ASSERT_TRUE(Station->SetPrices({{1, 1.50}}).Ok());
  Station.reset();

  // A sale journaled just before a crash, its start never sent: the pump still
  // shows the last fill's 2 litres.
  TSale Pending;
  {
    TJournal Journal(Config.Journal);
    TSale Open;
    Open.Line = 1;
    Open.Pump = 1;
    Open.Nozzle = 1;
    Open.Grade = 1;
    Open.Price = 1.5;
    Open.StartTotals = First->EndTotals;
    Open.StartedMs = NowEpochMs();
    Pending = Journal.OpenSale(Open);
  }
  Start({});
  const auto Closed = SaleEvent("closed empty");
  ASSERT_TRUE(Closed);
  EXPECT_EQ(Closed->Id, Pending.Id);
  EXPECT_EQ(Closed->Volume, 0.0);
  EXPECT_TRUE(Closed->HasFlag(FlagEmpty));
  EXPECT_TRUE(Closed->HasFlag(FlagRecovered));
  EXPECT_EQ(Closed->State, TSaleState::Cleared);
  EXPECT_TRUE(WaitState(1, TPointState::Idle));
}

// Line events that report a capture failure, among those published so far.
int CaptureFailures(TEventBus::TSubscription &Events) {
  int Count = 0;
  TEvent Event;
  while (Events.Next(Event, 0))
    Count +=
        Event.Kind == TEvent::TKind::Line && Event.Reason.rfind("capture failed: ", 0) == 0;
  return Count;
}

TEST_F(StationTest, EveryExchangeIsCapturedAndTheHealthShowsLatencyAndWireUse) {
  Config.Lines[0].Capture = (Dir / "line1.pcapng").string();
  Start();
  ASSERT_TRUE(WaitFor(
      [&] {
        const TLineSnapshot H = Station->Lines()[0];
        return H.Capture.Exchanges >= 20 && H.LatencySamples > 0;
      },
      4s));
  Station->Stop();
  const TLineSnapshot Health = Station->Lines()[0];
  EXPECT_EQ(Health.Capture.File, Config.Lines[0].Capture);
  EXPECT_EQ(Health.Capture.Failure, "");
  EXPECT_EQ(Health.Capture.Exchanges, Health.Polls); // every one of them
  EXPECT_GT(Health.Capture.Bytes, 0u);
  EXPECT_EQ(Health.WindowS, 60.0);
  EXPECT_GT(Health.WireUse, 0.0);
  EXPECT_LE(Health.LatencyMedianMs, Health.LatencyP95Ms);
  EXPECT_LE(Health.LatencyP95Ms, Health.LatencyMaxMs);

  const capture::TCaptureContents C = capture::ReadCapture(Config.Lines[0].Capture);
  EXPECT_EQ(C.Application, "de30d");
  EXPECT_EQ(C.Devices.at(1), "simulated");
  EXPECT_EQ(C.Exchanges.size(), Health.Capture.Exchanges);
  std::set<int> Addressed; // from the lead byte after the 0x00
  for (const auto &E : C.Exchanges)
    if (E.Frame.size() >= 2 && E.Frame[0] == 0x00)
      Addressed.insert(E.Frame[1] >> 3);
  EXPECT_TRUE(Addressed.contains(1));
  EXPECT_TRUE(Addressed.contains(2));
  EXPECT_EQ(CaptureFailures(*Events), 0);

  // Started again, the station keeps the capture of the run before.
  Station.reset();
  Start();
  ASSERT_TRUE(WaitFor([&] { return Station->Lines()[0].Capture.Exchanges > 0; }));
  const std::string Before = capture::RotatedName(Config.Lines[0].Capture, 1);
  EXPECT_EQ(capture::ReadCapture(Before).Exchanges.size(), C.Exchanges.size());
}

TEST_F(StationTest, ACaptureThatFailsIsToldOnceAndNeverStopsTheLine) {
  // A file that cannot be created: the line runs uncaptured.
  Config.Lines[0].Capture = "/de30-no-such-folder/line1.pcapng";
  Start();
  ASSERT_TRUE(WaitReady(1));
  TLineSnapshot Health = Station->Lines()[0];
  EXPECT_NE(Health.Capture.Failure.find("/de30-no-such-folder/line1.pcapng: No such file"),
            std::string::npos)
      << Health.Capture.Failure;
  EXPECT_EQ(Health.Capture.Exchanges, 0u);
  EXPECT_EQ(CaptureFailures(*Events), 1);
  Station.reset();

  // A capture on the journal's file is refused, and the journal kept.
  Config.Lines[0].Capture = Config.Journal.string();
  Start();
  ASSERT_TRUE(WaitReady(1));
  EXPECT_NE(Station->Lines()[0].Capture.Failure.find("would overwrite the journal"),
            std::string::npos);
  EXPECT_EQ(Station->Prices().size(), 2u);
  Station.reset();

  // A capture that stops while the line runs: its folder goes, and the next
  // rotation cannot create the file.
  const auto Folder = Dir / "captures";
  std::filesystem::create_directory(Folder);
  Config.Lines[0].Capture = (Folder / "line1.pcapng").string();
  Config.Lines[0].CaptureMaxBytes = 4096;
  Config.Lines[0].CaptureFiles = 2;
  Start();
  ASSERT_TRUE(WaitFor([&] { return Station->Lines()[0].Capture.Exchanges >= 10; }));
  std::filesystem::remove_all(Folder);
  ASSERT_TRUE(WaitFor([&] { return !Station->Lines()[0].Capture.Failure.empty(); }));
  Health = Station->Lines()[0];
  EXPECT_NE(Health.Capture.Failure.find("cannot create the capture"), std::string::npos)
      << Health.Capture.Failure;
  const std::uint64_t Captured = Health.Capture.Exchanges;
  ASSERT_TRUE(WaitFor([&] { return Station->Lines()[0].Polls > Health.Polls + 20; }));
  EXPECT_EQ(Station->Lines()[0].Capture.Exchanges, Captured);
  EXPECT_EQ(Station->Pump(1, 1)->State, TPointState::Idle);
  EXPECT_EQ(CaptureFailures(*Events), 1);
}

} // namespace
} // namespace de30::station
