// The pump's side of a sale's life as a POS sees it, on the simulated station: a
// pre-paid sale that closes short and gives money back, a pump that runs over its
// preset, an authorisation nobody comes for, and fuel that goes out without a
// sale. The station's clock is the steady one plus a skew the tests move on, so
// that a two-minute timeout passes in a moment.

#include "station/config.hpp"
#include "station/journal.hpp"
#include "station/station_fixture.hpp"
#include "station/temp_dir.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>

namespace de30::station {
namespace {

using TStatus = TCommandResult::TStatus;

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Cents(std::int64_t Hundredths) { return static_cast<double>(Hundredths) / 100.0; }

class SaleLifecycleTest : public StationTest {
protected:
  SaleLifecycleTest() {
    // Pump 3: one nozzle of grade 1, slow enough to be hung up half-way.
    auto Slow = SimPump(3, 1);
    Slow.FlowRate = 200;
    Sim.AddPump(1, Slow);
    Config.Pumps.push_back(StationPump(3, {1}));
  }

  // The fixture's station, on a clock the test can move on.
  void StartSkewed(std::map<int, double> Prices = {{1, 1.50}, {2, 1.20}}) {
    TStationOptions Options;
    Options.Channels = [this](const TLineConfig &) {
      return std::make_unique<sim::TSimChannel>(Sim);
    };
    Options.IdleCycleMs = 5;
    Options.Clock = [this] { return SteadyMs() + Skew.load(); };
    Station = std::make_unique<TStation>(Config, Options);
    Events = Station->Events().Subscribe();
    ASSERT_TRUE(Station->SetPrices(Prices).Ok());
    Station->Start();
  }
  void Later(std::chrono::seconds By) { Skew += std::chrono::milliseconds(By).count(); }

  // The next event of Kind for which Match holds, skipping the others.
  std::optional<TEvent> NextEvent(TEvent::TKind Kind,
                                  const std::function<bool(const TEvent &)> &Match,
                                  std::chrono::milliseconds Limit = 8s) {
    const auto Until = std::chrono::steady_clock::now() + Limit;
    TEvent Event;
    while (std::chrono::steady_clock::now() < Until)
      if (Events->Next(Event, 50) && Event.Kind == Kind && Match(Event))
        return Event;
    return std::nullopt;
  }
  std::optional<TSale> Closed(std::chrono::milliseconds Limit = 8s) {
    const auto Event = NextEvent(
        TEvent::TKind::Sale,
        [](const TEvent &E) { return E.Reason == "closed" || E.Reason == "closed empty"; },
        Limit);
    return Event ? std::optional<TSale>(Event->Sale) : std::nullopt;
  }
  // Authorises the idle pump in advance, before the customer comes.
  TCommandResult PrePay(int Pump, const TPreset &Preset) {
    EXPECT_TRUE(WaitReady(Pump));
    const TCommandResult Result = Station->Authorize(1, Pump, Preset, std::nullopt);
    EXPECT_TRUE(Result.Ok()) << Result.Message;
    EXPECT_TRUE(WaitFor([&] {
      return Station->Pump(1, Pump)->Reason == "authorised; waiting for the nozzle";
    }));
    return Result;
  }
  // The journal's copy: what was made durable, not only what was published.
  TSale Journaled(std::int64_t Id) {
    const auto Sale = Station->Journal().Sale(Id);
    EXPECT_TRUE(Sale);
    return Sale.value_or(TSale{});
  }

  std::atomic<std::int64_t> Skew{0};
};

// A pre-paying customer who takes less than was paid gets the difference back;
// one who takes it all (to the hundredth the dose was rounded down to) almost none.
TEST_F(SaleLifecycleTest, APrePaidSaleThatClosesShortCarriesItsRefund) {
  StartSkewed();
  ASSERT_TRUE(WaitReady(3));
  const auto Paid = PrePay(3, {TPreset::TKind::Money, 10.0});
  ASSERT_TRUE(Paid.Sale);
  EXPECT_DOUBLE_EQ(Paid.Sale->Prepaid, 10.0);
  EXPECT_DOUBLE_EQ(Paid.Sale->Refund, 0.0) << "nothing goes back while the sale is open";
  Sim.LiftNozzle(1, 3, 1);
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 3).FillVolume >= 200; }));
  Sim.HangNozzle(1, 3);
  const auto Sold = Closed();
  ASSERT_TRUE(Sold);
  const double Amount = Cents(Sim.View(1, 3).FillAmount);
  ASSERT_LT(Amount, 9.0) << "hung up well short of the 6.66 litres paid for";
  EXPECT_DOUBLE_EQ(Sold->Amount, Amount);
  EXPECT_DOUBLE_EQ(Sold->Prepaid, 10.0);
  EXPECT_DOUBLE_EQ(Sold->Refund, std::round((10.0 - Amount) * 100.0) / 100.0);
  EXPECT_FALSE(Sold->HasFlag(FlagOverrun));
  const TSale Kept = Journaled(Sold->Id);
  EXPECT_DOUBLE_EQ(Kept.Prepaid, Sold->Prepaid);
  EXPECT_DOUBLE_EQ(Kept.Refund, Sold->Refund);

  // The whole dose: 6.66 litres at 1.50 cost 9.99 of the 10.00 paid.
  Sim.HangNozzle(1, 3);
  ASSERT_TRUE(Station->LockSale(Sold->Id, "till").Ok());
  ASSERT_TRUE(Station->ClearSale(Sold->Id, "till").Ok());
  ASSERT_TRUE(WaitReady(3));
  PrePay(3, {TPreset::TKind::Money, 10.0});
  Sim.LiftNozzle(1, 3, 1);
  const auto Full = Closed(15s);
  ASSERT_TRUE(Full);
  EXPECT_DOUBLE_EQ(Full->Volume, 6.66);
  EXPECT_DOUBLE_EQ(Full->Amount, 9.99);
  EXPECT_DOUBLE_EQ(Full->Refund, 0.01);
}

// A valve that closes late pours past the preset: the sale is what the pump
// delivered, flagged, and a pre-paid one gives nothing back.
TEST_F(SaleLifecycleTest, APumpThatRunsOverItsPresetFlagsTheSale) {
  auto Late = SimPump(4, 1);
  Late.Overrun = 3; // three centilitres
  Sim.AddPump(1, Late);
  Config.Pumps.push_back(StationPump(4, {1}));
  struct TCase {
    TPreset Preset;
    double Volume;
    double Amount;
    double Prepaid;
  };
  const TCase Cases[] = {
      {{TPreset::TKind::Litres, 2.0}, 2.03, 3.05, 0.0},
      // 3.00 buys 2.00 litres at 1.50; 2.03 cost 3.05.
      {{TPreset::TKind::Money, 3.0}, 2.03, 3.05, 3.0},
  };
  StartSkewed();
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Prepaid);
    const TCommandResult Result = LiftAndAuthorise(Case.Preset, 4);
    ASSERT_TRUE(Result.Ok()) << Result.Message;
    const auto Sold = Closed();
    ASSERT_TRUE(Sold);
    EXPECT_DOUBLE_EQ(Sold->Volume, Case.Volume);
    EXPECT_DOUBLE_EQ(Sold->Amount, Case.Amount);
    EXPECT_TRUE(Sold->HasFlag(FlagOverrun));
    EXPECT_DOUBLE_EQ(Sold->Prepaid, Case.Prepaid);
    EXPECT_DOUBLE_EQ(Sold->Refund, 0.0);
    EXPECT_EQ(Journaled(Sold->Id).Flags, Sold->Flags);
    Sim.HangNozzle(1, 4);
    ASSERT_TRUE(Station->LockSale(Sold->Id, "till").Ok());
    ASSERT_TRUE(Station->ClearSale(Sold->Id, "till").Ok());
  }
}

// Nobody comes for a pre-paid pump: at its timeout (the pump's own, else the
// station's) the pump is stopped, the sale closes empty with the whole
// prepayment to give back, and the pump is idle and can be authorised again.
TEST_F(SaleLifecycleTest, AnAuthorisationNobodyComesForIsStoppedAndClosedEmpty) {
  Config.AuthorizeTimeout = 600s;
  Config.Pumps[0].AuthorizeTimeout = 30s; // pump 1
  StartSkewed();
  struct TCase {
    int Pump;
    TPreset Preset;
    std::chrono::seconds Timeout;
  };
  const TCase Cases[] = {
      {1, {TPreset::TKind::Money, 10.0}, 30s},
      {2, {TPreset::TKind::Litres, 4.0}, 600s},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Pump);
    const auto Paid = PrePay(Case.Pump, Case.Preset);
    ASSERT_TRUE(Paid.Sale);
    Later(Case.Timeout - 2s);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Station->Pump(1, Case.Pump)->State, TPointState::Authorised) << "not yet";
    EXPECT_EQ(Sim.View(1, Case.Pump).State, sim::TPumpState::Authorised);
    Later(3s);
    const auto Told = NextEvent(TEvent::TKind::Pump, [&](const TEvent &E) {
      return E.Pump.Pump == Case.Pump && E.Reason.rfind("the authorisation timed out", 0) == 0;
    });
    ASSERT_TRUE(Told);
    const auto Sold = Closed();
    ASSERT_TRUE(Sold);
    EXPECT_EQ(Sold->Id, Paid.Sale->Id);
    EXPECT_EQ(Sold->State, TSaleState::Cleared);
    EXPECT_DOUBLE_EQ(Sold->Volume, 0.0);
    EXPECT_TRUE(Sold->HasFlag(FlagAuthorizeTimeout));
    EXPECT_TRUE(Sold->HasFlag(FlagEmpty));
    EXPECT_FALSE(Sold->HasFlag(FlagStopped)) << "no client stopped it";
    EXPECT_DOUBLE_EQ(Sold->Refund, Sold->Prepaid);
    EXPECT_EQ(Journaled(Sold->Id).Flags, Sold->Flags);
    // The stop reached the pump: nothing else takes its authorisation away.
    EXPECT_EQ(Sim.View(1, Case.Pump).State, sim::TPumpState::Idle);
    EXPECT_TRUE(WaitState(Case.Pump, TPointState::Idle));
  }
  const auto Again = PrePay(1, {TPreset::TKind::Litres, 1.0});
  Sim.LiftNozzle(1, 1, 1);
  const auto Sold = Closed();
  ASSERT_TRUE(Sold);
  EXPECT_DOUBLE_EQ(Sold->Volume, 1.0);
}

// A customer who lifts the nozzle in time keeps the authorisation however long
// the fill then takes; one who was authorised while holding the nozzle too.
TEST_F(SaleLifecycleTest, ANozzleLiftedInTimeCancelsTheTimeout) {
  Config.AuthorizeTimeout = 30s;
  // The clock jumps while fuel flows: the rule for a fill that stands still is
  // not the one under test.
  Config.CallingSettle = 3600s;
  StartSkewed();
  PrePay(3, {TPreset::TKind::Litres, 3.0});
  Later(25s);
  std::this_thread::sleep_for(100ms);
  Sim.LiftNozzle(1, 3, 1);
  ASSERT_TRUE(WaitState(3, TPointState::Fuelling));
  Later(60s);
  const auto Sold = Closed();
  ASSERT_TRUE(Sold);
  EXPECT_DOUBLE_EQ(Sold->Volume, 3.0);
  EXPECT_FALSE(Sold->HasFlag(FlagAuthorizeTimeout));
  EXPECT_FALSE(Sold->HasFlag(FlagStopped));

  // Authorised at the nozzle, then a long wait before the fuel flows.
  Sim.HangNozzle(1, 3);
  ASSERT_TRUE(Station->LockSale(Sold->Id, "till").Ok());
  ASSERT_TRUE(Station->ClearSale(Sold->Id, "till").Ok());
  ASSERT_TRUE(LiftAndAuthorise({TPreset::TKind::Litres, 1.0}, 1).Ok());
  Later(120s);
  const auto Second = Closed();
  ASSERT_TRUE(Second);
  EXPECT_DOUBLE_EQ(Second->Volume, 1.0);
  EXPECT_FALSE(Second->HasFlag(FlagAuthorizeTimeout));
}

// The stop after a timeout whose reply is lost may or may not have reached the
// pump: the sale stays open and the pump authorised until a stop is taken.
TEST_F(SaleLifecycleTest, ATimeoutStopWhoseReplyIsLostKeepsTheSaleOpenUntilOneIsTaken) {
  Config.AuthorizeTimeout = 30s;
  StartSkewed();
  const auto Paid = PrePay(1, {TPreset::TKind::Money, 6.0});
  sim::TFaultRule Lost;
  Lost.Kind = sim::TFaultKind::NoReply;
  Lost.Line = 1;
  Lost.Pump = 1;
  Lost.Times = -1;
  Lost.Aim = *sim::AimByName("stop-execute");
  Sim.AddFault(Lost);
  Later(31s);
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 1).State == sim::TPumpState::Idle; }))
      << "the pump took the stop; only its reply was lost";
  std::this_thread::sleep_for(300ms);
  Later(5s); // the stop goes out again, and its reply is lost again
  std::this_thread::sleep_for(300ms);
  const auto Open = Station->Journal().OpenSales();
  ASSERT_EQ(Open.size(), 1u);
  EXPECT_EQ(Open.front().Id, Paid.Sale->Id);
  EXPECT_TRUE(Open.front().HasFlag(FlagAuthorizeTimeout));
  EXPECT_EQ(Station->Pump(1, 1)->State, TPointState::Authorised) << "never claimed stopped";
  Sim.ClearFaults();
  Later(2s);
  const auto Sold = Closed();
  ASSERT_TRUE(Sold);
  EXPECT_EQ(Sold->Id, Paid.Sale->Id);
  EXPECT_TRUE(Sold->HasFlag(FlagAuthorizeTimeout));
  EXPECT_DOUBLE_EQ(Sold->Refund, 6.0);
  EXPECT_TRUE(WaitState(1, TPointState::Idle));
}

// A pump in manual mode pours for a customer the station never authorised: a
// one-nozzle pump reads as calling meanwhile, a two-nozzle one as authorised by
// someone else. Once the pump is idle again its totals are read: the fuel is an
// alarm in the journal and on the event bus, at once, naming the nozzle, and the
// pump's next sale is flagged. A journal that refuses the alarm meanwhile gets it
// later, once.
TEST_F(SaleLifecycleTest, FuelWithoutASaleIsAnAlarmAsSoonAsThePumpIsIdle) {
  struct TCase {
    int Pump;
    int Nozzle;
    TPointState Shown;
    bool JournalHeld;
  };
  const TCase Cases[] = {
      {3, 1, TPointState::Calling, true},
      {2, 2, TPointState::Error, false},
  };
  StartSkewed();
  std::size_t Alarms = 0;
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Pump);
    ASSERT_TRUE(WaitReady(Case.Pump));
    Sim.SetManual(1, Case.Pump, true);
    Sim.LiftNozzle(1, Case.Pump, Case.Nozzle);
    ASSERT_TRUE(WaitFor([&] { return Sim.View(1, Case.Pump).FillVolume >= 150; }));
    ASSERT_TRUE(WaitState(Case.Pump, Case.Shown)) << Station->Pump(1, Case.Pump)->Reason;
    sqlite3 *Other = nullptr;
    if (Case.JournalHeld) {
      ASSERT_EQ(sqlite3_open(Config.Journal.c_str(), &Other), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(Other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    Sim.HangNozzle(1, Case.Pump);
    Sim.SetManual(1, Case.Pump, false);
    const sim::TPumpView Poured = Sim.View(1, Case.Pump);
    ASSERT_TRUE(WaitState(Case.Pump, TPointState::Idle));
    if (Case.JournalHeld) {
      EXPECT_FALSE(NextEvent(
          TEvent::TKind::Alarm, [](const TEvent &) { return true; }, 700ms))
          << "no alarm before the journal holds it";
      sqlite3_exec(Other, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_close(Other);
    }
    const auto Raised = NextEvent(TEvent::TKind::Alarm, [](const TEvent &) { return true; });
    ASSERT_TRUE(Raised);
    ++Alarms;
    const TAlarm &Alarm = Raised->Alarm;
    EXPECT_EQ(Alarm.Pump, Case.Pump);
    EXPECT_EQ(Alarm.Nozzle, Case.Nozzle);
    EXPECT_EQ(Alarm.Kind, AlarmTotalsMoved);
    EXPECT_DOUBLE_EQ(Alarm.Volume, Cents(Poured.FillVolume));
    EXPECT_DOUBLE_EQ(Alarm.Amount, Cents(Poured.FillAmount));
    EXPECT_GT(Alarm.Id, 0);
    EXPECT_EQ(Station->Journal().Alarms(1), std::vector<TAlarm>{Alarm});
    std::int64_t Total = 0;
    for (const auto Nozzle : Poured.TotalVolume)
      Total += Nozzle;
    EXPECT_DOUBLE_EQ(Station->Journal().LastTotals(1, Case.Pump)->Volume, Cents(Total));
  }

  // No second alarm for the same fuel, and the next sale carries the flag.
  const TCommandResult Result = LiftAndAuthorise({TPreset::TKind::Litres, 1.0}, 3);
  ASSERT_TRUE(Result.Ok()) << Result.Message;
  ASSERT_TRUE(Result.Sale);
  EXPECT_TRUE(Result.Sale->HasFlag(FlagTotalsMoved));
  const auto Sold = Closed();
  ASSERT_TRUE(Sold);
  EXPECT_DOUBLE_EQ(Sold->Volume, 1.0);
  EXPECT_EQ(Station->Journal().Alarms(0).size(), Alarms);
}

// A customer who lifts a nozzle and hangs it up again unserved pours nothing:
// the totals read afterwards make no alarm.
TEST_F(SaleLifecycleTest, ANozzleLiftedAndHungUpUnservedIsNoAlarm) {
  StartSkewed();
  ASSERT_TRUE(WaitReady(3));
  Sim.LiftNozzle(1, 3, 1);
  ASSERT_TRUE(WaitState(3, TPointState::Calling));
  Sim.HangNozzle(1, 3);
  ASSERT_TRUE(WaitState(3, TPointState::Idle));
  EXPECT_FALSE(NextEvent(
      TEvent::TKind::Alarm, [](const TEvent &) { return true; }, 500ms));
  EXPECT_TRUE(Station->Journal().Alarms(0).empty());
  const TCommandResult Result = LiftAndAuthorise({TPreset::TKind::Litres, 1.0}, 3);
  ASSERT_TRUE(Result.Sale);
  EXPECT_FALSE(Result.Sale->HasFlag(FlagTotalsMoved));
}

// A sale whose end totals could not be read moved them by what it sold: that is
// no fuel without a sale. The next reading starts afresh, with no alarm and no flag.
TEST_F(SaleLifecycleTest, ASaleWhoseEndTotalsWereNotReadRaisesNoAlarm) {
  StartSkewed();
  ASSERT_TRUE(LiftAndAuthorise({TPreset::TKind::Litres, 2.0}, 3).Ok());
  ASSERT_TRUE(WaitState(3, TPointState::Fuelling));
  sim::TFaultRule Spoilt;
  Spoilt.Kind = sim::TFaultKind::CorruptDigits;
  Spoilt.Line = 1;
  Spoilt.Pump = 3;
  Spoilt.Times = -1;
  Spoilt.Aim = *sim::AimByName("totals");
  Sim.AddFault(Spoilt);
  const auto First = Closed();
  ASSERT_TRUE(First);
  EXPECT_TRUE(First->HasFlag(FlagNoTotals));
  EXPECT_DOUBLE_EQ(First->Volume, 2.0);
  Sim.ClearFaults();
  Sim.HangNozzle(1, 3);
  ASSERT_TRUE(Station->LockSale(First->Id, "till").Ok());
  ASSERT_TRUE(Station->ClearSale(First->Id, "till").Ok());
  const TCommandResult Second = LiftAndAuthorise({TPreset::TKind::Litres, 1.0}, 3);
  ASSERT_TRUE(Second.Ok()) << Second.Message;
  ASSERT_TRUE(Second.Sale);
  EXPECT_FALSE(Second.Sale->HasFlag(FlagTotalsMoved));
  ASSERT_TRUE(Closed());
  EXPECT_TRUE(Station->Journal().Alarms(0).empty());
}

// Fuel that went out while the station was down is found when the pump first
// answers, before anyone authorises it.
TEST_F(SaleLifecycleTest, FuelPouredWhileTheStationWasDownIsAnAlarmAtTheStart) {
  StartSkewed();
  ASSERT_TRUE(WaitReady(3));
  Station.reset();
  Sim.SetManual(1, 3, true);
  Sim.LiftNozzle(1, 3, 1);
  ASSERT_TRUE(WaitFor([&] { return Sim.View(1, 3).FillVolume >= 100; }));
  Sim.HangNozzle(1, 3);
  Sim.SetManual(1, 3, false);
  StartSkewed();
  const auto Raised = NextEvent(TEvent::TKind::Alarm, [](const TEvent &) { return true; });
  ASSERT_TRUE(Raised);
  EXPECT_EQ(Raised->Alarm.PumpId(), "1:3");
  EXPECT_EQ(Raised->Alarm.Nozzle, 0) << "no poll saw the nozzle";
  EXPECT_DOUBLE_EQ(Raised->Alarm.Volume, Cents(Sim.View(1, 3).FillVolume));
  EXPECT_EQ(Station->Journal().Alarms(0).size(), 1u);
}

// Totals that went back (a counter replaced, a pump answering in another's place)
// are no fuel: an alarm of its own kind, with how far they went back.
TEST_F(SaleLifecycleTest, TotalsThatWentBackAreAnAlarmOfTheirOwn) {
  StartSkewed();
  ASSERT_TRUE(WaitReady(3));
  Station.reset();
  {
    TJournal Book(Config.Journal);
    const auto Last = Book.LastTotals(1, 3);
    ASSERT_TRUE(Last && Last->Known);
    Book.SetLastTotals(1, 3, {true, Last->Volume + 10.0, Last->Amount + 15.0});
  }
  StartSkewed();
  const auto Raised = NextEvent(TEvent::TKind::Alarm, [](const TEvent &) { return true; });
  ASSERT_TRUE(Raised);
  EXPECT_EQ(Raised->Alarm.Kind, AlarmTotalsBack);
  EXPECT_DOUBLE_EQ(Raised->Alarm.Volume, -10.0);
  EXPECT_DOUBLE_EQ(Raised->Alarm.Amount, -15.0);
}

// The settings: the station's timeout and a pump's own, each within 5..3600 s,
// a bad one refused with its file, line and key.
TEST(SaleLifecycleConfig, AuthorisationTimeoutsAreReadAndChecked) {
  const std::string Head = "[[grade]]\nnumber = 1\nname = \"A95\"\n"
                           "[[line]]\nnumber = 1\ntcp = \"127.0.0.1:4001\"\n";
  const auto Parse = [&](const std::string &Station, const std::string &Pump) {
    return ParseConfig(Station + Head + "[[pump]]\nline = 1\naddress = 1\nnozzles = [1]\n" +
                           Pump + "[[pump]]\nline = 1\naddress = 2\nnozzles = [1]\n",
                       "site.toml");
  };
  const TStationConfig Default = Parse("", "");
  EXPECT_EQ(Default.AuthorizeTimeout, 120s);
  EXPECT_FALSE(Default.Pumps[0].AuthorizeTimeout);
  const TStationConfig Set =
      Parse("[station]\nauthorize_timeout_s = 300\n", "authorize_timeout_s = 45\n");
  EXPECT_EQ(Set.AuthorizeTimeout, 300s);
  EXPECT_EQ(Set.Pumps[0].AuthorizeTimeout, 45s);
  EXPECT_FALSE(Set.Pumps[1].AuthorizeTimeout);

  struct TBad {
    std::string Station;
    std::string Pump;
    int Line;
    std::string Key;
  };
  const TBad Bad[] = {
      {"[station]\nauthorize_timeout_s = 4\n", "", 2, "station.authorize_timeout_s"},
      {"[station]\nauthorize_timeout_s = 3601\n", "", 2, "station.authorize_timeout_s"},
      {"[station]\nauthorize_timeout_s = \"60\"\n", "", 2, "station.authorize_timeout_s"},
      {"", "authorize_timeout_s = 0\n", 11, "pump[1].authorize_timeout_s"},
      {"", "authorize_timeout_s = 1.5\n", 11, "pump[1].authorize_timeout_s"},
  };
  for (const TBad &Case : Bad) {
    SCOPED_TRACE(Case.Station + Case.Pump);
    try {
      Parse(Case.Station, Case.Pump);
      ADD_FAILURE() << "accepted";
    } catch (const EConfigError &Error) {
      EXPECT_EQ(Error.File(), "site.toml");
      EXPECT_EQ(Error.Line(), Case.Line);
      EXPECT_EQ(Error.Key(), Case.Key);
    }
  }
}

// Runs SQL on a journal file through a connection of its own; what it printed.
std::string Sql(const std::filesystem::path &File, const std::string &Text) {
  sqlite3 *Db = nullptr;
  EXPECT_EQ(sqlite3_open(File.c_str(), &Db), SQLITE_OK);
  std::string Out;
  char *Error = nullptr;
  const auto Collect = [](void *Into, int Columns, char **Values, char **) {
    auto &Printed = *static_cast<std::string *>(Into);
    for (int I = 0; I < Columns; ++I)
      Printed += std::string(Values[I] ? Values[I] : "NULL") + (I + 1 < Columns ? "|" : "\n");
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(Db, Text.c_str(), Collect, &Out, &Error), SQLITE_OK)
      << (Error ? Error : "");
  sqlite3_free(Error);
  sqlite3_close(Db);
  return Out;
}

// What version 8 of the journal added (the shifts), taken away again.
constexpr const char DropShifts[] =
    "DROP TABLE shifts; DROP TABLE shift_totals; DROP TABLE shift_nozzles; "
    "DROP TABLE shift_pending; DROP INDEX sales_by_shift; DROP INDEX sales_by_cleared_in; "
    "ALTER TABLE sales DROP COLUMN shift; ALTER TABLE sales DROP COLUMN cleared_in; "
    "PRAGMA user_version = 7;";

// A station's journal of the release before (schema 5: no prepayment, no
// alarms) is migrated when opened: its sales, prices and totals are kept, and
// what the new columns say of the old sales is nothing paid in advance.
TEST(SaleLifecycleJournal, AJournalOfThePreviousSchemaIsMigratedWithItsData) {
  test::TTempDir Dir;
  const auto Old = Dir / "schema-5.db";
  { TJournal Current(Old); }
  // Schema 5: this one without what versions 6, 7 and 8 added.
  Sql(Old, DropShifts);
  Sql(Old, "ALTER TABLE sales DROP COLUMN observed; "
           "DROP TABLE alarms; ALTER TABLE sales DROP COLUMN refund; "
           "ALTER TABLE sales DROP COLUMN prepaid; PRAGMA user_version = 5;"
           "INSERT INTO sales (line, pump, nozzle, grade, price, preset_kind, preset_value, "
           "volume, amount, start_known, start_volume, start_amount, end_known, end_volume, "
           "end_amount, started_ms, ended_ms, state, flags, base_known, base_volume, "
           "base_amount) VALUES (1, 3, 1, 2, 1.5, 'money', 10.0, 4.0, 6.0, 1, 100.0, 150.0, 1, "
           "104.0, 156.0, 1700000000000, 1700000060000, 'payable', 'stopped', 1, 2.0, 3.0);"
           "INSERT INTO sales (line, pump, started_ms, state) VALUES (1, 4, 1700000100000, "
           "'open');"
           "INSERT INTO prices VALUES (2, 1.5, 1700000000000);"
           "INSERT INTO pump_totals VALUES (1, 3, 1, 104.0, 156.0, 1700000060000);");
  ASSERT_EQ(Sql(Old, "PRAGMA user_version"), "5\n");
  {
    TJournal Book(Old, 100);
    EXPECT_EQ(Book.Settings().SchemaVersion, TJournal::SchemaVersion);
    const auto Sold = Book.Sale(1);
    ASSERT_TRUE(Sold);
    EXPECT_EQ(Sold->State, TSaleState::Payable);
    EXPECT_EQ(Sold->Preset, (TPreset{TPreset::TKind::Money, 10.0}));
    EXPECT_EQ(Sold->Amount, 6.0);
    EXPECT_EQ(Sold->EndTotals, (TTotals{true, 104.0, 156.0}));
    EXPECT_EQ(Sold->Baseline, (TFillReading{true, 2.0, 3.0}));
    EXPECT_EQ(Sold->Flags, std::vector<std::string>{"stopped"});
    EXPECT_EQ(Sold->Prepaid, 0.0);
    EXPECT_EQ(Sold->Refund, 0.0);
    EXPECT_EQ(Book.OpenSales().size(), 1u);
    EXPECT_EQ(Book.Prices(), (std::map<int, double>{{2, 1.5}}));
    EXPECT_TRUE(Book.Alarms(0).empty());

    // The new columns and table work in the migrated file: an open pre-paid sale
    // closed short, and an alarm whose totals replace the last ones with it.
    TSale Paid;
    Paid.Line = 1;
    Paid.Pump = 3;
    Paid.Preset = {TPreset::TKind::Money, 20.0};
    Paid.Prepaid = 20.0;
    Paid = Book.OpenSale(Paid);
    EXPECT_EQ(Paid.Id, 3) << "new sales go on after the old ones";
    Paid.Amount = 12.5;
    Paid.Refund = 7.5;
    Paid.State = TSaleState::Payable;
    ASSERT_TRUE(Book.CloseSale(Paid));
    EXPECT_EQ(Book.Sale(3)->Prepaid, 20.0);
    EXPECT_EQ(Book.Sale(3)->Refund, 7.5);
    TAlarm Fuel;
    Fuel.Line = 1;
    Fuel.Pump = 3;
    Fuel.Volume = 5.0;
    Fuel.Amount = 7.5;
    const TAlarm Added = Book.AddAlarm(Fuel, TTotals{true, 109.0, 163.5});
    EXPECT_EQ(Added.Id, 1);
    EXPECT_GT(Added.AtMs, 0);
    EXPECT_EQ(Book.Alarms(0), std::vector<TAlarm>{Added});
    EXPECT_EQ(Book.LastTotals(1, 3), (TTotals{true, 109.0, 163.5}));

    // A step that fails leaves both the alarms and the last totals as they were.
    sqlite3 *Other = nullptr;
    ASSERT_EQ(sqlite3_open(Old.c_str(), &Other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(Other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_THROW(Book.AddAlarm(Fuel, TTotals{true, 120.0, 180.0}), EJournalError);
    sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(Other);
    EXPECT_EQ(Book.Alarms(0).size(), 1u);
    EXPECT_EQ(Book.LastTotals(1, 3), (TTotals{true, 109.0, 163.5}));
    // Newest first, as many as asked.
    Fuel.Pump = 4;
    const TAlarm Second = Book.AddAlarm(Fuel);
    EXPECT_EQ(Book.Alarms(1), std::vector<TAlarm>{Second});
    EXPECT_EQ(Book.Alarms(0), (std::vector<TAlarm>{Second, Added}));
    EXPECT_FALSE(Book.LastTotals(1, 4)) << "an alarm without totals leaves them alone";
  }
  EXPECT_EQ(Sql(Old, "PRAGMA integrity_check"), "ok\n");
  // A migrated journal and a new one have the same schema, to the letter.
  const auto Fresh = Dir / "fresh.db";
  { TJournal New(Fresh); }
  const std::string Schema = "SELECT type, name, sql FROM sqlite_master ORDER BY name";
  EXPECT_EQ(Sql(Old, Schema), Sql(Fresh, Schema));
}

// Schema 6 has no observed sales: migrated, its sales are the station's own and
// keep their claims; a sale heard on a tap line, recorded after, is no client's
// to lock, clear or unlock.
TEST(SaleLifecycleJournal, AJournalOfSchemaSixGainsObservedSalesThatNoClientMayClaim) {
  test::TTempDir Dir;
  const auto Old = Dir / "schema-6.db";
  { TJournal Current(Old); }
  Sql(Old, DropShifts);
  Sql(Old,
      "ALTER TABLE sales DROP COLUMN observed; PRAGMA user_version = 6;"
      "INSERT INTO sales (line, pump, nozzle, volume, amount, started_ms, ended_ms, state) "
      "VALUES (1, 3, 1, 4.0, 6.0, 1700000000000, 1700000060000, 'payable');");
  ASSERT_EQ(Sql(Old, "PRAGMA user_version"), "6\n");
  TJournal Book(Old, 100);
  EXPECT_EQ(Book.Settings().SchemaVersion, TJournal::SchemaVersion);
  ASSERT_TRUE(Book.Sale(1));
  EXPECT_FALSE(Book.Sale(1)->Observed);
  EXPECT_EQ(Book.LockSale(1, "pos-1"), TClaimResult::Done);

  TSale Heard;
  Heard.Line = 2;
  Heard.Pump = 1;
  Heard.Nozzle = 1;
  Heard.Observed = true;
  Heard = Book.OpenSale(Heard);
  EXPECT_TRUE(Book.Sale(Heard.Id)->Observed);
  EXPECT_EQ(Book.LockSale(Heard.Id, "pos-1"), TClaimResult::Observed) << "while open";
  Heard.Volume = 2.0;
  Heard.Amount = 3.0;
  Heard.State = TSaleState::Payable;
  ASSERT_TRUE(Book.CloseSale(Heard));
  const auto Closed = Book.Sale(Heard.Id);
  ASSERT_TRUE(Closed);
  EXPECT_TRUE(Closed->Observed);
  EXPECT_EQ(Closed->State, TSaleState::Payable);
  for (const auto &Claim : std::vector<std::function<TClaimResult()>>{
           [&] { return Book.LockSale(Heard.Id, "pos-1"); },
           [&] { return Book.ClearSale(Heard.Id, "pos-1"); },
           [&] { return Book.UnlockSale(Heard.Id, "admin", true); },
       })
    EXPECT_EQ(Claim(), TClaimResult::Observed);
  EXPECT_EQ(std::string(ClaimResultCode(TClaimResult::Observed)), "tap_line");
  EXPECT_EQ(Book.Sale(Heard.Id)->State, TSaleState::Payable) << "untouched by the refusals";
}

} // namespace
} // namespace de30::station
