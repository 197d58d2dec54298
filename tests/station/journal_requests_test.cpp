// The journal's records beside the sales: kept answers, reservations, lock
// expiry and the condition of its writes, on real files.

#include "station/journal.hpp"
#include "temp_dir.hpp"

#include <sqlite3.h>

#include <gtest/gtest.h>

namespace de30::station {
namespace {

using TState = TJournal::TStoredAnswer::TState;
constexpr std::int64_t Day = 24LL * 3600 * 1000;

TEST(JournalRequests, AKeyIsAnsweredOnceThenRepeatedAcrossAReopening) {
  test::TTempDir Dir;
  const auto File = Dir / "journal.db";
  {
    TJournal Journal(File);
    EXPECT_EQ(Journal.BeginRequest("till-1", "k1", "POST /a\n{}", Day).State, TState::New);
    EXPECT_EQ(Journal.BeginRequest("till-1", "k1", "POST /a\n{}", Day).State, TState::Running);
    Journal.FinishRequest("till-1", "k1", 200, "{\"ok\":1}\n");
    // A key given up (nothing was done) may be used again.
    EXPECT_EQ(Journal.BeginRequest("till-1", "k2", "POST /b\n", Day).State, TState::New);
    Journal.ForgetRequest("till-1", "k2");
    EXPECT_EQ(Journal.BeginRequest("till-1", "k2", "POST /b\n", Day).State, TState::New);
    // Still running when the service stops.
    EXPECT_EQ(Journal.BeginRequest("till-2", "k1", "POST /c\n", Day).State, TState::New);
  }
  TJournal Reopened(File);
  EXPECT_EQ(Reopened.SettleRunningRequests(504, "unknown"), 2);
  struct TCase {
    const char *Client, *Key, *Fingerprint;
    TState State;
    int Status;
    const char *Body;
  };
  const TCase Cases[] = {
      {"till-1", "k1", "POST /a\n{}", TState::Answered, 200, "{\"ok\":1}\n"},
      {"till-1", "k1", "POST /a\n{\"x\":1}", TState::Mismatch, 0, ""},
      {"till-2", "k1", "POST /c\n", TState::Answered, 504, "unknown"},
      {"till-1", "k2", "POST /b\n", TState::Answered, 504, "unknown"},
      {"till-3", "k1", "POST /a\n{}", TState::New, 0, ""}, // keys are each client's own
  };
  for (const TCase &Case : Cases) {
    const auto Answer = Reopened.BeginRequest(Case.Client, Case.Key, Case.Fingerprint, Day);
    EXPECT_EQ(Answer.State, Case.State) << Case.Client << " " << Case.Key;
    EXPECT_EQ(Answer.Status, Case.Status) << Case.Client << " " << Case.Key;
    EXPECT_EQ(Answer.Body, Case.Body) << Case.Client << " " << Case.Key;
  }
  // Past the keeping time the key is new again.
  EXPECT_EQ(Reopened.BeginRequest("till-1", "k1", "POST /a\n{}", -1).State, TState::New);
}

TEST(JournalRequests, ReservationsEndOnceAndLocksExpireBackToPayable) {
  test::TTempDir Dir;
  TJournal Journal(Dir / "journal.db");
  const auto First = Journal.Reserve({0, 1, 3, "till-1", 1000, 2000});
  const auto Second = Journal.Reserve({0, 1, 3, "till-1", 1500, 9000}); // renewed
  Journal.Reserve({0, 1, 4, "till-2", 1000, 5000});
  EXPECT_NE(First.Id, Second.Id);
  auto Active = Journal.ActiveReservations();
  ASSERT_EQ(Active.size(), 2u);
  EXPECT_EQ(Active[0], Second);
  EXPECT_TRUE(Journal.EndReservation(1, 3, "released"));
  EXPECT_FALSE(Journal.EndReservation(1, 3, "released"));
  EXPECT_EQ(Journal.ActiveReservations().size(), 1u);

  TSale Sale;
  Sale.Line = 1;
  Sale.Pump = 3;
  const TSale Opened = Journal.OpenSale(Sale);
  TSale Closed = Opened;
  Closed.State = TSaleState::Payable;
  Closed.Volume = 2.0;
  ASSERT_TRUE(Journal.CloseSale(Closed));
  EXPECT_EQ(Journal.UnlockSale(Opened.Id, "till-1", false), TClaimResult::NotLocked);
  ASSERT_EQ(Journal.LockSale(Opened.Id, "till-1"), TClaimResult::Done);
  EXPECT_EQ(Journal.UnlockSale(Opened.Id, "till-2", false), TClaimResult::LockedByOther);
  EXPECT_TRUE(Journal.ExpireLocks(NowEpochMs() - 60000).empty()); // locked just now
  const auto Freed = Journal.ExpireLocks(NowEpochMs() + 1);
  ASSERT_EQ(Freed.size(), 1u);
  EXPECT_EQ(Freed[0].State, TSaleState::Payable);
  EXPECT_TRUE(Freed[0].LockedBy.empty());
  ASSERT_EQ(Journal.LockSale(Opened.Id, "till-2"), TClaimResult::Done);
  EXPECT_EQ(Journal.UnlockSale(Opened.Id, "till-1", true), TClaimResult::Done);
  EXPECT_EQ(Journal.UnlockSale(999, "till-1", true), TClaimResult::UnknownSale);
}

TEST(JournalHealth, AHeldJournalFailsOnceAndClearsWhenTheLockIsGone) {
  test::TTempDir Dir;
  const auto File = Dir / "journal.db";
  TJournal Journal(File, 50);
  std::vector<bool> Told;
  Journal.Health().Watch(
      [&](const TJournalHealth::TState &State) { Told.push_back(State.Failing); });
  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(File.c_str(), &Other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (int I = 0; I < 3; ++I)
    EXPECT_THROW(Journal.SetPrices({{1, 45.5}}), EJournalError);
  Journal.Probe();
  EXPECT_TRUE(Journal.Health().State().Failing);
  EXPECT_EQ(Journal.Health().State().Failures, 4u); // three steps and the probe
  sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(Other);
  Journal.Probe();
  EXPECT_FALSE(Journal.Health().State().Failing);
  EXPECT_EQ(Told, (std::vector<bool>{true, false})); // once each way, not per step
}

TEST(JournalHealth, AFullJournalStaysFailingUntilThereIsRoom) {
  test::TTempDir Dir;
  TJournal Journal(Dir / "journal.db");
  Journal.LimitSize(1); // no room beyond what it holds
  bool Full = false;
  for (int I = 0; I < 5000 && !Full; ++I) {
    try {
      Journal.BeginRequest("till", "key-" + std::to_string(I), std::string(200, 'x'), Day);
    } catch (const EJournalError &) {
      Full = true;
    }
  }
  ASSERT_TRUE(Full);
  EXPECT_TRUE(Journal.Health().State().Full);
  // A write that still fits proves nothing.
  Journal.SetPrices({{1, 45.5}});
  Journal.Probe();
  EXPECT_TRUE(Journal.Health().State().Failing);
  Journal.LimitSize(64 << 20);
  Journal.Probe();
  EXPECT_FALSE(Journal.Health().State().Failing);
}

} // namespace
} // namespace de30::station
