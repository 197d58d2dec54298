// Shifts on the simulated station with a real journal: the pumps' totals at
// open and close against the sales of the shift, fuel without a sale, who
// cleared what, what was left open, and each sale counted in one shift only,
// whatever closes race and whatever restarts.

#include "station/journal.hpp"
#include "station/station_fixture.hpp"
#include "station/temp_dir.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace de30::station {
namespace {

const TShiftNozzle *FindNozzle(const TShift &Shift, int Pump, int Nozzle) {
  for (const auto &Row : Shift.Nozzles)
    if (Row.Line == 1 && Row.Pump == Pump && Row.Nozzle == Nozzle)
      return &Row;
  return nullptr;
}

class ShiftTest : public StationTest {
protected:
  // Starts the station and waits until pump 1's totals are in the journal (read
  // when it first answers): a shift closed then has them.
  void StartWithTotals() {
    Start();
    ASSERT_TRUE(WaitReady(1));
    ASSERT_TRUE(WaitFor([&] {
      const auto Totals = Station->Journal().LastTotals(1, 1);
      return Totals && Totals->Known;
    }));
  }
  // A litres sale on pump 1, to its close, the nozzle hung up after it (the
  // pump stays completed until the sale is cleared).
  TSale Sell(double Litres) {
    EXPECT_TRUE(WaitFor([&] {
      const auto View = Station->Pump(1, 1);
      return (View->State == TPointState::Idle || View->State == TPointState::Completed) &&
             View->PriceState == TPriceState::Sent;
    }));
    Sim.LiftNozzle(1, 1, 1);
    EXPECT_TRUE(WaitState(1, TPointState::Calling));
    const TCommandResult Result =
        Station->Authorize(1, 1, {TPreset::TKind::Litres, Litres}, std::nullopt);
    EXPECT_TRUE(Result.Ok()) << Result.Message;
    const auto Closed = SaleEvent("closed");
    EXPECT_TRUE(Closed);
    Sim.HangNozzle(1, 1);
    std::this_thread::sleep_for(50ms);
    return Closed.value_or(TSale{});
  }
  TShift Close(const std::string &Client = "pos1") {
    const auto Closed = Station->CloseShift(Client);
    EXPECT_TRUE(Closed);
    return Closed.value_or(TShift{});
  }
};

// The first shift opened with the journal, before any totals were read: its
// nozzles say so instead of reckoning from a start value. The next one has
// both ends, and sales that match the pump's totals leave no difference; its
// grades, clients and uncleared sales are counted from the same sales.
TEST_F(ShiftTest, SalesThatMatchTheTotalsLeaveNoDifference) {
  StartWithTotals();
  const TShift First = Close();
  EXPECT_EQ(First.Id, 1);
  EXPECT_TRUE(First.Closed());
  EXPECT_EQ(First.ClosedBy, "pos1");
  const TShiftNozzle *Unread = FindNozzle(First, 1, 1);
  ASSERT_TRUE(Unread);
  EXPECT_FALSE(Unread->Open.Known);
  EXPECT_EQ(Unread->Open.Missing, "not read before the shift opened");
  EXPECT_TRUE(Unread->Close.Known);
  EXPECT_FALSE(Unread->HasDifference());

  const TSale Cleared = Sell(2.0);
  const TSale Payable = Sell(1.0);
  ASSERT_TRUE(Station->LockSale(Cleared.Id, "pos2").Ok());
  ASSERT_TRUE(Station->ClearSale(Cleared.Id, "pos2").Ok());

  const TShift Second = Close("pos1");
  EXPECT_EQ(Second.Id, 2);
  EXPECT_GE(Second.OpenedMs, First.ClosedMs);
  const TShiftNozzle *Row = FindNozzle(Second, 1, 1);
  ASSERT_TRUE(Row);
  EXPECT_EQ(Row->Grade, 1);
  ASSERT_TRUE(Row->HasDifference());
  EXPECT_EQ(Row->Open, Unread->Close) << "one shift's close is the next one's open";
  EXPECT_EQ(Row->Sales, 2);
  EXPECT_NEAR(Row->Volume, 3.0, 0.001);
  EXPECT_NEAR(Row->Close.Volume - Row->Open.Volume, 3.0, 0.006);
  EXPECT_NEAR(Row->DifferenceVolume(), 0.0, 0.006);
  EXPECT_NEAR(Row->DifferenceAmount(), 0.0, 0.006);
  EXPECT_DOUBLE_EQ(Row->Close.Volume, Payable.EndTotals.Volume)
      << "the totals read at the end of the last sale";

  // Pump 2's two nozzles share totals of a layout not known: no difference.
  for (const int Nozzle : {1, 2}) {
    const TShiftNozzle *Shared = FindNozzle(Second, 2, Nozzle);
    ASSERT_TRUE(Shared);
    EXPECT_FALSE(Shared->HasDifference());
    EXPECT_EQ(Shared->Open.Missing, "the pump's totals layout is not known");
    EXPECT_EQ(Shared->Sales, 0);
  }
  ASSERT_EQ(Second.Grades.size(), 1u);
  EXPECT_EQ(Second.Grades[0].Grade, 1);
  EXPECT_EQ(Second.Grades[0].Sales, 2);
  EXPECT_NEAR(Second.Grades[0].Amount, Cleared.Amount + Payable.Amount, 0.001);
  ASSERT_EQ(Second.Clients.size(), 1u);
  EXPECT_EQ(Second.Clients[0], (TShiftClient{"pos2", 1, Cleared.Volume, Cleared.Amount}));
  ASSERT_EQ(Second.Pending.size(), 1u);
  EXPECT_EQ(Second.Pending[0].SaleId, Payable.Id);
  EXPECT_EQ(Second.Pending[0].State, TSaleState::Payable);

  // The sale cleared later counts in the shift it was cleared in, its fuel not.
  ASSERT_TRUE(Station->LockSale(Payable.Id, "pos1").Ok());
  ASSERT_TRUE(Station->ClearSale(Payable.Id, "pos1").Ok());
  const TShift Third = Close("pos2");
  EXPECT_TRUE(Third.Grades.empty());
  EXPECT_EQ(FindNozzle(Third, 1, 1)->Sales, 0);
  EXPECT_NEAR(FindNozzle(Third, 1, 1)->DifferenceVolume(), 0.0, 0.006);
  ASSERT_EQ(Third.Clients.size(), 1u);
  EXPECT_EQ(Third.Clients[0], (TShiftClient{"pos1", 1, Payable.Volume, Payable.Amount}));
  EXPECT_TRUE(Third.Pending.empty());
  EXPECT_EQ(Station->Journal().Shift(2), Second) << "a closed shift reads back as it closed";
}

// Fuel poured in manual mode, without a sale, is the positive difference of the
// shift the pump's totals showed it in.
TEST_F(ShiftTest, FuelWithoutASaleIsAPositiveDifference) {
  StartWithTotals();
  Close();
  Sim.SetManual(1, 1, true);
  Sim.LiftNozzle(1, 1, 1);
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 1).FillVolume >= 150; }));
  Sim.HangNozzle(1, 1);
  Sim.SetManual(1, 1, false);
  const double Poured = static_cast<double>(Sim.View(1, 1).FillVolume) / 100.0;
  ASSERT_TRUE(WaitFor([&] { return !Station->Journal().Alarms(1).empty(); }));
  const TShift Shift = Close();
  const TShiftNozzle *Row = FindNozzle(Shift, 1, 1);
  ASSERT_TRUE(Row);
  ASSERT_TRUE(Row->HasDifference());
  EXPECT_EQ(Row->Sales, 0);
  EXPECT_NEAR(Row->DifferenceVolume(), Poured, 0.006);
  EXPECT_NEAR(Row->DifferenceVolume(), Station->Journal().Alarms(1)[0].Volume, 0.006);
  EXPECT_GT(Row->DifferenceAmount(), 0.0);
}

// A sale still open at a close is listed with its figures so far and counted in
// the shift it closes in.
TEST_F(ShiftTest, ASaleOpenAtTheCloseBelongsToTheShiftItEndsIn) {
  StartWithTotals();
  Close();
  const TCommandResult Result = LiftAndAuthorise();
  ASSERT_TRUE(Result.Ok()) << Result.Message;
  ASSERT_TRUE(WaitState(1, TPointState::Fuelling));
  const TShift During = Close();
  ASSERT_EQ(During.Pending.size(), 1u);
  EXPECT_EQ(During.Pending[0].SaleId, Result.Sale->Id);
  EXPECT_EQ(During.Pending[0].State, TSaleState::Open);
  EXPECT_EQ(During.Pending[0].EndedMs, 0);
  EXPECT_EQ(FindNozzle(During, 1, 1)->Sales, 0);
  EXPECT_NEAR(FindNozzle(During, 1, 1)->DifferenceVolume(), 0.0, 0.006);
  Sim.HangNozzle(1, 1);
  const auto Ended = SaleEvent("closed");
  ASSERT_TRUE(Ended);
  const TShift After = Close();
  const TShiftNozzle *Row = FindNozzle(After, 1, 1);
  EXPECT_EQ(Row->Sales, 1);
  EXPECT_NEAR(Row->Volume, Ended->Volume, 0.001);
  EXPECT_NEAR(Row->DifferenceVolume(), 0.0, 0.006);
}

// Closes racing each other and the sales: every closed sale is in exactly one
// shift, a close that names the shift it expects closes it once, and the
// shifts are as they were after a restart.
TEST_F(ShiftTest, RacingClosesCountEachSaleOnceAndShiftsSurviveARestart) {
  StartWithTotals();
  std::atomic<bool> Selling{true};
  std::atomic<int> Closes{0};
  std::thread Closer([&] {
    while (Selling) {
      if (Station->CloseShift("closer"))
        ++Closes;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::set<std::int64_t> Sold;
  for (int I = 0; I < 4; ++I)
    Sold.insert(Sell(0.5 + I).Id);
  Selling = false;
  Closer.join();
  // Two clients close "shift N" at once: one of them does.
  const std::int64_t Current = Station->ShiftSoFar().Id;
  std::atomic<int> Won{0};
  std::vector<std::thread> Racers;
  for (int I = 0; I < 4; ++I)
    Racers.emplace_back([&, I] {
      if (Station->CloseShift("pos" + std::to_string(I), Current))
        ++Won;
    });
  for (auto &Racer : Racers)
    Racer.join();
  EXPECT_EQ(Won, 1);
  EXPECT_EQ(Station->ShiftSoFar().Id, Current + 1);
  EXPECT_FALSE(Station->CloseShift("pos1", Current)) << "a closed shift is not closed again";

  const auto Shifts = Station->Journal().Shifts(0);
  ASSERT_EQ(Shifts.size(), static_cast<std::size_t>(Closes + 2))
      << "the racers' and the open one";
  std::int64_t Counted = 0;
  double Litres = 0.0;
  for (const auto &Shift : Shifts)
    for (const auto &Row : Shift.Nozzles) {
      Counted += Row.Sales;
      Litres += Row.Volume;
    }
  EXPECT_EQ(Counted, static_cast<std::int64_t>(Sold.size()));
  EXPECT_NEAR(Litres, 0.5 + 1.5 + 2.5 + 3.5, 0.001);

  Station.reset();
  Open();
  EXPECT_EQ(Station->Journal().Shifts(0), Shifts);
  EXPECT_EQ(Station->ShiftSoFar().Id, Current + 1);
}

// A journal of the schema before shifts: its first shift opens with the
// migration, from the totals the journal held; the sales closed before it
// belong to no shift, and the ones left open or not cleared are listed.
TEST(ShiftJournal, AJournalFromBeforeShiftsOpensItsFirstShiftWhenMigrated) {
  test::TTempDir Dir;
  const auto File = Dir / "schema-7.db";
  { TJournal Current(File); }
  sqlite3 *Db = nullptr;
  ASSERT_EQ(sqlite3_open(File.c_str(), &Db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(
          Db,
          "DROP TABLE shifts; DROP TABLE shift_totals; DROP TABLE shift_nozzles; "
          "DROP TABLE shift_pending; DROP INDEX sales_by_shift; DROP INDEX "
          "sales_by_cleared_in; "
          "ALTER TABLE sales DROP COLUMN shift; ALTER TABLE sales DROP COLUMN cleared_in; "
          "PRAGMA user_version = 7;"
          "INSERT INTO sales (line, pump, nozzle, grade, volume, amount, started_ms, ended_ms, "
          "state) VALUES (1, 1, 1, 1, 4.0, 6.0, 1700000000000, 1700000060000, 'payable');"
          "INSERT INTO sales (line, pump, nozzle, grade, started_ms, state) "
          "VALUES (1, 1, 1, 1, 1700000100000, 'open');"
          "INSERT INTO pump_totals VALUES (1, 1, 1, 104.0, 156.0, 1700000060000);",
          nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(Db);

  TJournal Book(File);
  EXPECT_EQ(Book.Settings().SchemaVersion, TJournal::SchemaVersion);
  const auto Shifts = Book.Shifts(0);
  ASSERT_EQ(Shifts.size(), 1u);
  EXPECT_FALSE(Shifts[0].Closed());
  TSale Open = *Book.Sale(2);
  Open.Volume = 2.0;
  Open.Amount = 3.0;
  Open.EndTotals = {true, 106.0, 159.0};
  Open.State = TSaleState::Payable;
  ASSERT_TRUE(Book.CloseSale(Open));
  const std::vector<TShiftCounter> Pump1{{1, 1, 1, 1, ""}};
  const auto Closed = Book.CloseShift("pos1", Pump1, 1);
  ASSERT_TRUE(Closed);
  ASSERT_EQ(Closed->Nozzles.size(), 1u);
  const TShiftNozzle &Row = Closed->Nozzles[0];
  EXPECT_EQ(Row.Open, (TShiftTotals{true, 104.0, 156.0, 1700000060000, 0, ""}));
  EXPECT_TRUE(Row.Close.Known);
  EXPECT_EQ(Row.Close.SaleId, 2) << "its end totals are newer than the ones kept";
  EXPECT_EQ(Row.Sales, 1) << "the sale closed before shifts is in none";
  EXPECT_DOUBLE_EQ(Row.DifferenceVolume(), 0.0);
  ASSERT_EQ(Closed->Pending.size(), 2u);
  EXPECT_EQ(Closed->Pending[0].SaleId, 1);
  EXPECT_EQ(Closed->Pending[1].SaleId, 2);
  EXPECT_EQ(Book.ShiftBacklog(0).size(), 1u);
  EXPECT_EQ(Book.MarkShiftsUploaded({1, 2, 99}), 1) << "only a closed shift is marked";
  EXPECT_TRUE(Book.ShiftBacklog(0).empty());
  EXPECT_TRUE(Book.Shift(1)->Uploaded);
}

// The pump keeps a sale's end totals just before it closes the sale: a close
// that falls between the two takes the open sale's start totals, so that the
// sale's fuel and the sale itself land in the same shift, the next one.
TEST(ShiftJournal, ACloseBetweenASalesEndTotalsAndItsCloseKeepsTheFuelWithTheSale) {
  test::TTempDir Dir;
  TJournal Book(Dir / "journal.db");
  const std::vector<TShiftCounter> Pump1{{1, 1, 1, 1, ""}};
  Book.SetLastTotals(1, 1, {true, 100.0, 200.0});
  ASSERT_TRUE(Book.CloseShift("pos1", Pump1));
  TSale Sale;
  Sale.Line = 1;
  Sale.Pump = 1;
  Sale.Nozzle = 1;
  Sale.Grade = 1;
  Sale.StartTotals = {true, 100.0, 200.0};
  Sale = Book.OpenSale(Sale);
  Book.SetLastTotals(1, 1, {true, 105.0, 210.0});

  const auto Between = Book.CloseShift("pos1", Pump1);
  ASSERT_TRUE(Between);
  const TShiftNozzle &During = Between->Nozzles.at(0);
  EXPECT_EQ(During.Close.Volume, 100.0);
  EXPECT_EQ(During.Close.SaleId, Sale.Id) << "read at the start of the open sale";
  EXPECT_EQ(During.Sales, 0);
  EXPECT_DOUBLE_EQ(During.DifferenceVolume(), 0.0);
  ASSERT_EQ(Between->Pending.size(), 1u);
  EXPECT_EQ(Between->Pending[0].State, TSaleState::Open);

  Sale.Volume = 5.0;
  Sale.Amount = 10.0;
  Sale.EndTotals = {true, 105.0, 210.0};
  Sale.State = TSaleState::Payable;
  ASSERT_TRUE(Book.CloseSale(Sale));
  const auto After = Book.CloseShift("pos1", Pump1);
  ASSERT_TRUE(After);
  const TShiftNozzle &Row = After->Nozzles.at(0);
  EXPECT_EQ(Row.Open.Volume, 100.0);
  EXPECT_EQ(Row.Close.Volume, 105.0);
  EXPECT_EQ(Row.Sales, 1);
  EXPECT_DOUBLE_EQ(Row.DifferenceVolume(), 0.0);
  EXPECT_DOUBLE_EQ(Row.DifferenceAmount(), 0.0);
}

// A sale heard on a tap line is paid at the other controller: over, it is no
// sale this station waits for, so no close lists it as uncleared. Its fuel
// still counts against the pump's totals, and one still pouring is listed.
TEST(ShiftJournal, AnObservedSaleThatIsOverIsNotLeftUncleared) {
  test::TTempDir Dir;
  TJournal Book(Dir / "journal.db");
  const std::vector<TShiftCounter> Pump1{{1, 1, 1, 1, ""}};
  Book.SetLastTotals(1, 1, {true, 100.0, 200.0});
  ASSERT_TRUE(Book.CloseShift("pos1", Pump1));
  const auto Sell = [&](bool Observed, double From, bool Close) {
    TSale Sale;
    Sale.Line = 1;
    Sale.Pump = 1;
    Sale.Nozzle = 1;
    Sale.Grade = 1;
    Sale.Observed = Observed;
    Sale.StartTotals = {true, From, From * 2};
    Sale = Book.OpenSale(Sale);
    if (Close) {
      Sale.Volume = 5.0;
      Sale.Amount = 10.0;
      Sale.EndTotals = {true, From + 5.0, From * 2 + 10.0};
      Sale.State = TSaleState::Payable;
      EXPECT_TRUE(Book.CloseSale(Sale));
      Book.SetLastTotals(1, 1, Sale.EndTotals);
    }
    return Sale.Id;
  };
  const auto Heard = Sell(true, 100.0, true);
  const auto Own = Sell(false, 105.0, true);
  const auto Pouring = Sell(true, 110.0, false);

  const auto Closed = Book.CloseShift("pos1", Pump1);
  ASSERT_TRUE(Closed);
  std::set<std::int64_t> Pending;
  for (const auto &Sale : Closed->Pending)
    Pending.insert(Sale.SaleId);
  EXPECT_EQ(Pending, (std::set<std::int64_t>{Own, Pouring})) << "not " << Heard;
  const TShiftNozzle &Row = Closed->Nozzles.at(0);
  EXPECT_EQ(Row.Sales, 2);
  EXPECT_DOUBLE_EQ(Row.Volume, 10.0);
  EXPECT_DOUBLE_EQ(Row.DifferenceVolume(), 0.0);
}

} // namespace
} // namespace de30::station
