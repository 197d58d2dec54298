// A pump on a tap line, fed what a tap heard (capture/observation.hpp), with a
// real journal file: each run of observations must open, follow and close its
// sale as the controller's exchanges show it, with the flags a driven sale of
// the same evidence carries, and journal it as observed.

#include "station/observed_pump.hpp"
#include "station/temp_dir.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace de30::station {
namespace {

using capture::TObservation;
using K = TObservation::TKind;

// One thing heard: an observation of pump 1, or (Other) an exchange of another
// pump between.
struct THeardStep {
  TObservation Seen;
  bool Other = false;
};

THeardStep Status(std::uint8_t Code, bool Held) {
  THeardStep S;
  S.Seen.Kind = K::Status;
  S.Seen.Pump = 1;
  S.Seen.Code = Code;
  S.Seen.Nozzle = static_cast<std::uint8_t>(Code & 7);
  S.Seen.Shadow.Held = Held;
  return S;
}
THeardStep Reading(K Kind, double Volume, double Amount) {
  THeardStep S;
  S.Seen.Kind = Kind;
  S.Seen.Pump = 1;
  S.Seen.Volume = Volume;
  S.Seen.Amount = Amount;
  return S;
}
THeardStep Fill(double Volume) { return Reading(K::Fill, Volume, Volume * 1.5); }
THeardStep Totals(double Volume) { return Reading(K::Totals, Volume, Volume * 1.5); }
THeardStep Command(K Kind, bool Taken) {
  THeardStep S;
  S.Seen.Kind = Kind;
  S.Seen.Pump = 1;
  S.Seen.Taken = Taken;
  return S;
}
THeardStep Other() {
  THeardStep S;
  S.Other = true;
  return S;
}

// A customer lifts the nozzle, the controller reads the fill and totals, starts
// the pump, and the fill runs to 2 litres.
std::vector<THeardStep> Begun(bool StartTaken = true) {
  return {Status(225, false), Fill(0.0), Totals(100.0),     Command(K::Start, StartTaken),
          Status(217, true),  Fill(1.0), Status(217, true), Fill(2.0)};
}
std::vector<THeardStep> Then(std::vector<THeardStep> Steps,
                             const std::vector<THeardStep> &More) {
  Steps.insert(Steps.end(), More.begin(), More.end());
  return Steps;
}

struct TScenario {
  const char *Name;
  std::vector<THeardStep> Steps;
  std::optional<double> LastTotals; // what the journal knew of the pump's totals before
  double Volume;
  std::vector<std::string> Flags;
  TSaleState State;
};

const TScenario Scenarios[] = {
    {"a fill that ends is closed by the final reading and the totals after it",
     Then(Begun(), {Status(192, true), Fill(2.0), Totals(102.0)}),
     100.0,
     2.0,
     {},
     TSaleState::Payable},
    {"a final reading that no totals follow closes the sale without them",
     Then(Begun(), {Status(192, true), Fill(2.0), Other(), Totals(102.0)}),
     100.0,
     2.0,
     {"no_totals"},
     TSaleState::Payable},
    {"a start whose reply was lost opens the sale uncertain",
     Then(Begun(false), {Status(192, true), Fill(2.0), Totals(102.0)}),
     100.0,
     2.0,
     {"uncertain"},
     TSaleState::Payable},
    {"a stop during the fill is the sale's flag",
     Then(Begun(), {Command(K::Stop, true), Status(192, true), Fill(2.0), Totals(102.0)}),
     100.0,
     2.0,
     {"stopped"},
     TSaleState::Payable},
    {"totals that moved before the sale say fuel went out without one",
     Then(Begun(), {Status(192, true), Fill(2.0), Totals(102.0)}),
     90.0,
     2.0,
     {"totals_moved"},
     TSaleState::Payable},
    {"totals that moved by more than the fill",
     Then(Begun(), {Status(192, true), Fill(2.0), Totals(105.0)}),
     100.0,
     2.0,
     {"volume_mismatch"},
     TSaleState::Payable},
    {"a stop before any fuel closes the sale empty",
     {Status(225, false), Fill(0.0), Totals(100.0), Command(K::Start, true), Status(217, true),
      Command(K::Stop, true), Fill(0.0), Totals(100.0)},
     100.0,
     0.0,
     {"empty", "stopped"},
     TSaleState::Cleared},
};

class ObservedPump : public ::testing::Test {
protected:
  ObservedPump() : Book(Dir / "journal.db") {
    Config.Line = 2;
    Config.Address = 1;
    Config.Nozzles = {1};
  }

  TObservedPump Make() {
    TPumpServices Services;
    Services.Line = 2;
    Services.Journal = &Book;
    Services.Bus = &Bus;
    Services.Clock = [this] { return Now += 100; };
    return TObservedPump(Config, TPointTiming{}, Services);
  }

  static void Feed(TObservedPump &Pump, const std::vector<THeardStep> &Steps) {
    for (const THeardStep &Step : Steps)
      if (Step.Other)
        Pump.Elsewhere();
      else
        Pump.Observe(Step.Seen);
  }

  test::TTempDir Dir;
  TJournal Book;
  TEventBus Bus;
  TPumpConfig Config;
  std::int64_t Now = 0;
};

TEST_F(ObservedPump, EachHeardSaleIsJournaledAsTheEvidenceShowsIt) {
  for (const TScenario &S : Scenarios) {
    SCOPED_TRACE(S.Name);
    test::TTempDir Own;
    TJournal Journal(Own / "journal.db");
    TPumpServices Services;
    Services.Line = 2;
    Services.Journal = &Journal;
    Services.Bus = &Bus;
    Services.Clock = [this] { return Now += 100; };
    if (S.LastTotals)
      Journal.SetLastTotals(2, 1, TTotals{true, *S.LastTotals, *S.LastTotals * 1.5});
    TObservedPump Pump(Config, TPointTiming{}, Services);
    Feed(Pump, S.Steps);
    const auto Sales = Journal.Sales({});
    ASSERT_EQ(Sales.size(), 1u);
    const TSale &Sale = Sales[0];
    EXPECT_TRUE(Sale.Observed);
    EXPECT_EQ(Sale.PumpId(), "2:1");
    EXPECT_EQ(Sale.Nozzle, 1);
    EXPECT_EQ(Sale.Grade, 1);
    EXPECT_EQ(Sale.State, S.State);
    EXPECT_DOUBLE_EQ(Sale.Volume, S.Volume);
    EXPECT_DOUBLE_EQ(Sale.Amount, S.Volume * 1.5);
    EXPECT_EQ(Sale.Baseline, (TFillReading{true, 0.0, 0.0}));
    EXPECT_EQ(Sale.StartTotals, (TTotals{true, 100.0, 150.0}));
    auto Flags = Sale.Flags;
    std::sort(Flags.begin(), Flags.end());
    EXPECT_EQ(Flags, S.Flags);
    const TPumpSnapshot View = Pump.View();
    EXPECT_TRUE(View.Observed);
    EXPECT_EQ(View.SaleId, Sale.Id);
    EXPECT_EQ(Journal.Alarms(0).size(), S.LastTotals && *S.LastTotals != 100.0 ? 1u : 0u);
  }
}

TEST_F(ObservedPump, FollowsTheFillWhileItRunsAndWaitsForTheFinalReading) {
  TObservedPump Pump = Make();
  Feed(Pump, Begun());
  EXPECT_EQ(Pump.View().State, TPointState::Fuelling);
  auto Open = Book.OpenSales();
  ASSERT_EQ(Open.size(), 1u);
  EXPECT_TRUE(Open[0].Observed);
  // The fill ended; the sale waits for the controller's final reading.
  Feed(Pump, {Status(192, true)});
  EXPECT_EQ(Book.OpenSales().size(), 1u);
  // Totals without a fill read before them are no final reading's.
  Feed(Pump, {Totals(102.0)});
  EXPECT_EQ(Book.OpenSales().size(), 1u);
  Feed(Pump, {Fill(2.0), Totals(102.0)});
  EXPECT_TRUE(Book.OpenSales().empty());
  // Payment is the other controller's: the pump is idle again at once.
  EXPECT_EQ(Pump.View().State, TPointState::Idle);
  EXPECT_DOUBLE_EQ(Pump.View().Volume, 2.0);
}

TEST_F(ObservedPump, HeardPricesAndDosesGoWithTheSale) {
  TObservedPump Pump = Make();
  THeardStep Prices = Command(K::Prices, true);
  Prices.Seen.Prices = {1.5};
  THeardStep Dose = Command(K::Dose, true);
  Dose.Seen.Volume = 5.0;
  Feed(Pump, {Status(192, false), Prices, Dose});
  EXPECT_EQ(Pump.View().Prices, std::vector<double>{1.5});
  EXPECT_EQ(Pump.View().PriceState, TPriceState::Sent);
  Feed(Pump, Begun());
  const auto Open = Book.OpenSales();
  ASSERT_EQ(Open.size(), 1u);
  EXPECT_EQ(Open[0].Price, 1.5);
  EXPECT_EQ(Open[0].Preset, (TPreset{TPreset::TKind::Litres, 5.0}));
}

TEST_F(ObservedPump, MissedPollsTakeItOfflineAndNothingElseOpensASale) {
  TObservedPump Pump = Make();
  Feed(Pump, {Status(192, false)});
  EXPECT_EQ(Pump.View().State, TPointState::Idle);
  Feed(Pump,
       {Command(K::Missed, false), Command(K::Missed, false), Command(K::Rejected, false)});
  EXPECT_EQ(Pump.View().State, TPointState::Offline);
  // Fills and totals without a start are readings, not sales.
  Feed(Pump, {Status(192, false), Fill(3.0), Totals(100.0), Command(K::Unblock, true)});
  EXPECT_TRUE(Book.Sales({}).empty());
  EXPECT_EQ(Pump.View().State, TPointState::Idle);
}

// The pump pours whether or not the journal takes the sale: one begun while
// another program held the journal is followed all the same, written once the
// journal is free, and closed once, even when the journal is held again at its
// final reading.
TEST_F(ObservedPump, ASaleHeardWhileTheJournalIsHeldIsWrittenOnceItIsFree) {
  const auto File = Dir / "held.db";
  TJournal Journal(File, 50);
  TPumpServices Services;
  Services.Line = 2;
  Services.Journal = &Journal;
  Services.Bus = &Bus;
  Services.Clock = [this] { return Now += 100; };
  std::vector<std::string> Noted;
  Services.NoteError = [&](const std::string &Error) { Noted.push_back(Error); };
  TObservedPump Pump(Config, TPointTiming{}, Services);
  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(File.c_str(), &Other), SQLITE_OK);
  const auto Hold = [&] {
    ASSERT_EQ(sqlite3_exec(Other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  };
  const auto Free = [&] {
    ASSERT_EQ(sqlite3_exec(Other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  };

  Feed(Pump, {Status(225, false), Fill(0.0), Totals(100.0)});
  Hold();
  Feed(Pump, {Command(K::Start, true), Status(217, true), Fill(1.0)});
  EXPECT_FALSE(Noted.empty()) << "the journal's failure is the line's to show";
  EXPECT_EQ(Pump.View().State, TPointState::Fuelling);
  Free();
  EXPECT_TRUE(Journal.Sales({}).empty());
  for (int I = 0; I < 20 && Journal.OpenSales().empty(); ++I)
    Pump.Retry();
  ASSERT_EQ(Journal.OpenSales().size(), 1u);
  EXPECT_DOUBLE_EQ(Journal.OpenSales()[0].Volume, 1.0);

  Feed(Pump, {Status(217, true), Fill(2.0), Status(192, true)});
  Hold();
  Feed(Pump, {Fill(2.0), Totals(102.0)});
  Free();
  for (int I = 0; I < 20 && !Journal.OpenSales().empty(); ++I)
    Pump.Retry();
  sqlite3_close(Other);

  const auto Sales = Journal.Sales({});
  ASSERT_EQ(Sales.size(), 1u);
  EXPECT_TRUE(Sales[0].Observed);
  EXPECT_EQ(Sales[0].State, TSaleState::Payable);
  EXPECT_DOUBLE_EQ(Sales[0].Volume, 2.0);
  EXPECT_EQ(Sales[0].StartTotals, (TTotals{true, 100.0, 150.0}));
  EXPECT_EQ(Sales[0].EndTotals, (TTotals{true, 102.0, 153.0}));
  EXPECT_TRUE(Sales[0].Flags.empty());
  EXPECT_EQ(Pump.View().SaleId, Sales[0].Id);
}

} // namespace
} // namespace de30::station
