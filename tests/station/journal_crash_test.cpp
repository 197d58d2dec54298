// A process that journals sales is killed at a random moment, again and again:
// the file stays sound, and every sale whose close had returned is closed in it,
// once.
#include "station/journal.hpp"
#include "station/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <random>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace de30::station {
namespace {

// Sales the child opens before it gives up waiting to be killed.
constexpr int MaxSales = 200000;

// The child: opens and closes sales of one pump, the Nth with volume N, and
// reports each id once CloseSale has returned. Never returns.
[[noreturn]] void JournalUntilKilled(const std::filesystem::path &File, int Pump, int Report) {
  try {
    TJournal Book(File);
    for (int Index = 1; Index <= MaxSales; ++Index) {
      TSale Sale;
      Sale.Line = 1;
      Sale.Pump = Pump;
      Sale = Book.OpenSale(Sale);
      Sale.Volume = Index;
      Sale.Amount = Index * 2.0;
      Sale.State = TSaleState::Payable;
      std::int64_t Closed = Book.CloseSale(Sale) ? Sale.Id : -Sale.Id;
      if (::write(Report, &Closed, sizeof Closed) != sizeof Closed)
        ::_exit(4);
    }
    ::_exit(0);
  } catch (...) {
    ::_exit(3);
  }
}

std::string IntegrityCheck(const std::filesystem::path &File) {
  sqlite3 *Db = nullptr;
  std::string Result;
  if (sqlite3_open_v2(File.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt *Query = nullptr;
    if (sqlite3_prepare_v2(Db, "PRAGMA integrity_check", -1, &Query, nullptr) == SQLITE_OK)
      while (sqlite3_step(Query) == SQLITE_ROW)
        Result += reinterpret_cast<const char *>(sqlite3_column_text(Query, 0));
    sqlite3_finalize(Query);
  }
  sqlite3_close(Db);
  return Result;
}

TEST(JournalCrash, EverySaleReportedClosedIsClosedOnceAfterAKill) {
  test::TTempDir Dir;
  const auto File = Dir / "journal.db";
  const auto Seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(Seed));
  std::mt19937 Random(Seed);

  for (int Round = 1; Round <= 8; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    int Pipe[2];
    ASSERT_EQ(::pipe(Pipe), 0);
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
      ::close(Pipe[0]);
      JournalUntilKilled(File, Round, Pipe[1]);
    }
    ::close(Pipe[1]);

    std::vector<std::int64_t> Reported(1);
    // The first report: the child is in its loop. Then a random moment of it.
    ASSERT_EQ(::read(Pipe[0], Reported.data(), sizeof(std::int64_t)),
              static_cast<ssize_t>(sizeof(std::int64_t)));
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 150000)(Random)));
    ASSERT_EQ(::kill(Child, SIGKILL), 0);
    int Status = 0;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGKILL)
        << "the child ended by itself with " << Status;
    std::int64_t Id = 0;
    ssize_t Got = 0;
    while ((Got = ::read(Pipe[0], &Id, sizeof Id)) == static_cast<ssize_t>(sizeof Id))
      Reported.push_back(Id);
    ::close(Pipe[0]);
    ASSERT_EQ(Got, 0) << "a report was cut short";

    ASSERT_EQ(IntegrityCheck(File), "ok");
    TJournal Book(File);
    std::set<std::int64_t> Seen;
    for (std::size_t Index = 0; Index < Reported.size(); ++Index) {
      ASSERT_GT(Reported[Index], 0) << "a close returned false for sale " << -Reported[Index];
      ASSERT_TRUE(Seen.insert(Reported[Index]).second);
      const auto Sale = Book.Sale(Reported[Index]);
      ASSERT_TRUE(Sale) << "sale " << Reported[Index] << " is lost";
      EXPECT_EQ(Sale->State, TSaleState::Payable);
      EXPECT_EQ(Sale->Pump, Round);
      // The Nth report is the Nth sale, with its own figures: no row was
      // overwritten or closed with another's.
      EXPECT_EQ(Sale->Volume, static_cast<double>(Index + 1));
    }

    // What the child did after its last report: at most one more sale closed
    // (killed before it could report it) or one left open (killed before its close).
    std::vector<TSale> Closed;
    for (const auto &Sale : Book.Sales({TSaleState::Payable, 0, 0, 0}))
      if (Sale.Pump == Round)
        Closed.push_back(Sale);
    std::vector<TSale> Open;
    for (const auto &Sale : Book.OpenSales())
      if (Sale.Pump == Round)
        Open.push_back(Sale);
    EXPECT_GE(Closed.size(), Reported.size());
    EXPECT_LE(Closed.size() + Open.size(), Reported.size() + 1);
    for (const auto &Sale : Closed)
      EXPECT_TRUE(Seen.count(Sale.Id) ||
                  Sale.Volume == static_cast<double>(Reported.size() + 1))
          << "sale " << Sale.Id << " closed out of turn";

    // Recovering the sale left open closes it; nothing closes twice.
    for (auto Sale : Open) {
      Sale.State = TSaleState::Payable;
      Sale.Flags = {FlagRecovered};
      EXPECT_TRUE(Book.CloseSale(Sale));
      EXPECT_FALSE(Book.CloseSale(Sale));
    }
    for (const auto &Sale : Closed) {
      auto Again = Sale;
      EXPECT_FALSE(Book.CloseSale(Again));
    }
    EXPECT_EQ(Book.CountByState()[TSaleState::Open], 0);
  }
}

} // namespace
} // namespace de30::station
