// The sale journal on a real file: what it keeps across a reopen, closing once,
// every outcome of locking and clearing, the filters, and the settings that make
// a returned step durable.
#include "station/journal.hpp"
#include "station/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <thread>

namespace de30::station {
namespace {

TSale NewSale(int Line, int Pump, std::int64_t StartedMs = 0) {
  TSale Sale;
  Sale.Line = Line;
  Sale.Pump = Pump;
  Sale.StartedMs = StartedMs;
  return Sale;
}

// Closes a sale as a fill of Volume litres.
TSale Fill(TJournal &Journal, int Pump, double Volume, std::int64_t StartedMs = 0) {
  auto Sale = Journal.OpenSale(NewSale(1, Pump, StartedMs));
  Sale.Volume = Volume;
  Sale.Amount = Volume * 2;
  Sale.State = TSaleState::Payable;
  EXPECT_TRUE(Journal.CloseSale(Sale));
  return *Journal.Sale(Sale.Id);
}

// A pragma as a second connection to the file sees it.
std::string PragmaFromOutside(const std::filesystem::path &File, const char *Pragma) {
  sqlite3 *Db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(File.c_str(), &Db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt *Query = nullptr;
  std::string Value;
  if (sqlite3_prepare_v2(Db, (std::string("PRAGMA ") + Pragma).c_str(), -1, &Query, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(Query) == SQLITE_ROW)
    Value = reinterpret_cast<const char *>(sqlite3_column_text(Query, 0));
  sqlite3_finalize(Query);
  sqlite3_close(Db);
  return Value;
}

class Journal : public ::testing::Test {
protected:
  test::TTempDir Dir;
  std::filesystem::path File = Dir / "var/de30/journal.db"; // the folders do not exist yet
};

TEST_F(Journal, EverythingRecordedIsThereAfterAReopen) {
  TSale Closed = NewSale(2, 17, 1700000000000);
  Closed.Nozzle = 2;
  Closed.Grade = 95;
  Closed.Price = 1.57;
  Closed.Preset = {TPreset::TKind::Money, 50.0};
  Closed.StartTotals = {true, 123456.78, 987654.32};
  Closed.Baseline = {true, 12.34, 19.37};
  TSale Open = NewSale(2, 18);
  {
    TJournal Book(File);
    auto Opening = Closed;
    Opening.Id = 99;                     // ignored
    Opening.State = TSaleState::Cleared; // ignored: a new sale is open
    Closed = Book.OpenSale(Opening);
    EXPECT_NE(Closed.Id, 99);
    EXPECT_EQ(Closed.State, TSaleState::Open);
    Closed.Volume = 31.85;
    Closed.Amount = 50.0;
    Closed.EndTotals = {true, 123488.63, 987704.32};
    Closed.Flags = {FlagStopped, FlagVolumeMismatch};
    Closed.EndedMs = 1700000090000;
    Closed.State = TSaleState::Payable;
    ASSERT_TRUE(Book.CloseSale(Closed));
    ASSERT_EQ(Book.LockSale(Closed.Id, "pos-1"), TClaimResult::Done);
    Closed.State = TSaleState::Locked;
    Closed.LockedBy = "pos-1";

    Open = Book.OpenSale(Open);
    EXPECT_GT(Open.StartedMs, 0); // stamped when not given
    Open.Nozzle = 1;
    Open.Grade = 92;
    Open.Price = 1.49;
    Open.Volume = 3.5;
    Open.Amount = 5.22;
    Open.Flags = {FlagUnsettled};
    ASSERT_TRUE(Book.UpdateSale(Open));

    Book.SetPrices({{92, 1.49}, {95, 1.57}});
    Book.SetPrices({{95, 1.61}});
    Book.SetLastTotals(2, 17, {true, 123488.63, 987704.32});
    Book.SetLastTotals(2, 18, {false, 0, 0});
  }
  TJournal Book(File);
  EXPECT_EQ(Book.Sale(Closed.Id), Closed);
  EXPECT_EQ(Book.OpenSales(), std::vector<TSale>{Open});
  EXPECT_EQ(Book.LastSale(2, 17), Closed);
  EXPECT_EQ(Book.LastSale(2, 18), Open);
  EXPECT_EQ(Book.LastSale(1, 17), std::nullopt);
  EXPECT_EQ(Book.Prices(), (std::map<int, double>{{92, 1.49}, {95, 1.61}}));
  EXPECT_EQ(Book.LastTotals(2, 17), (TTotals{true, 123488.63, 987704.32}));
  EXPECT_EQ(Book.LastTotals(2, 18), TTotals{});
  EXPECT_EQ(Book.LastTotals(2, 19), std::nullopt);
  EXPECT_GT(Book.SizeBytes(), 0);
}

TEST_F(Journal, ASaleClosesOnceAndNeverChangesAfterwards) {
  TJournal Book(File);
  auto Sale = Book.OpenSale(NewSale(1, 1));
  Sale.Nozzle = 1;
  Sale.Grade = 1;
  Sale.Price = 2.0;
  Sale.Volume = 10.0;
  Sale.Amount = 20.0;
  Sale.EndedMs = 1000;
  Sale.State = TSaleState::Payable;
  EXPECT_TRUE(Book.CloseSale(Sale));

  // A second close (a retry, a recovery) with other figures changes nothing.
  auto Again = Sale;
  Again.Volume = 99.0;
  Again.EndedMs = 2000;
  Again.Flags = {FlagRecovered};
  EXPECT_FALSE(Book.CloseSale(Again));
  EXPECT_FALSE(Book.UpdateSale(Again));
  auto Stored = Book.Sale(Sale.Id);
  EXPECT_EQ(Stored->Volume, 10.0);
  EXPECT_EQ(Stored->EndedMs, 1000);
  EXPECT_TRUE(Stored->Flags.empty());
  EXPECT_EQ(Stored->State, TSaleState::Payable);

  // Nor does closing a locked sale unlock it.
  ASSERT_EQ(Book.LockSale(Sale.Id, "pos"), TClaimResult::Done);
  EXPECT_FALSE(Book.CloseSale(Again));
  EXPECT_EQ(Book.Sale(Sale.Id)->State, TSaleState::Locked);
  EXPECT_EQ(Book.CountByState()[TSaleState::Locked], 1);

  TSale Unknown = Sale;
  Unknown.Id = Sale.Id + 100;
  EXPECT_FALSE(Book.CloseSale(Unknown));
}

TEST_F(Journal, ClosingKeepsAKnownNozzleAndRefusesStatesThatAreNotAnEnd) {
  TJournal Book(File);
  auto Sale = NewSale(1, 1);
  Sale.Nozzle = 3;
  Sale.Grade = 2;
  Sale.Price = 1.25;
  Sale = Book.OpenSale(Sale);
  TSale End;
  End.Id = Sale.Id;
  End.State = TSaleState::Open;
  EXPECT_THROW(Book.CloseSale(End), std::invalid_argument);
  End.State = TSaleState::Locked;
  EXPECT_THROW(Book.CloseSale(End), std::invalid_argument);
  End.State = TSaleState::Payable;
  EXPECT_TRUE(Book.CloseSale(End));
  const auto Stored = Book.Sale(Sale.Id);
  EXPECT_EQ(Stored->Nozzle, 3);
  EXPECT_EQ(Stored->Grade, 2);
  EXPECT_EQ(Stored->Price, 1.25);
  EXPECT_GT(Stored->EndedMs, 0); // stamped when not given
}

TEST_F(Journal, LockingAndClearingComeToEachOutcome) {
  TJournal Book(File);
  const auto Open = Book.OpenSale(NewSale(1, 1)).Id;
  const auto Sale = Fill(Book, 2, 5.0).Id;
  const std::int64_t Unknown = Sale + 1000;

  EXPECT_EQ(Book.LockSale(Unknown, "a"), TClaimResult::UnknownSale);
  EXPECT_EQ(Book.ClearSale(Unknown, "a"), TClaimResult::UnknownSale);
  EXPECT_EQ(Book.LockSale(Open, "a"), TClaimResult::NotPayable);
  EXPECT_EQ(Book.ClearSale(Open, "a"), TClaimResult::NotLocked);
  EXPECT_EQ(Book.ClearSale(Sale, "a"), TClaimResult::NotLocked); // payable: lock it first

  EXPECT_EQ(Book.LockSale(Sale, "a"), TClaimResult::Done);
  EXPECT_EQ(Book.Sale(Sale)->LockedBy, "a");
  EXPECT_EQ(Book.LockSale(Sale, "a"), TClaimResult::AlreadyDone);
  EXPECT_EQ(Book.LockSale(Sale, "b"), TClaimResult::NotPayable);
  EXPECT_EQ(Book.ClearSale(Sale, "b"), TClaimResult::LockedByOther);
  EXPECT_EQ(Book.Sale(Sale)->State, TSaleState::Locked);

  EXPECT_EQ(Book.ClearSale(Sale, "a"), TClaimResult::Done);
  EXPECT_EQ(Book.Sale(Sale)->State, TSaleState::Cleared);
  EXPECT_EQ(Book.Sale(Sale)->LockedBy, "a");
  EXPECT_EQ(Book.ClearSale(Sale, "a"), TClaimResult::AlreadyDone);
  EXPECT_EQ(Book.ClearSale(Sale, "b"), TClaimResult::AlreadyCleared);
  EXPECT_EQ(Book.LockSale(Sale, "a"), TClaimResult::NotPayable);
  EXPECT_EQ(Book.LockSale(Sale, "b"), TClaimResult::NotPayable);
  EXPECT_EQ(Book.Sale(Sale)->State, TSaleState::Cleared);

  EXPECT_THROW(Book.LockSale(Sale, ""), std::invalid_argument);
  EXPECT_THROW(Book.ClearSale(Sale, ""), std::invalid_argument);
  EXPECT_STREQ(ClaimResultCode(TClaimResult::LockedByOther), "locked_by_other");
  EXPECT_STREQ(ClaimResultCode(TClaimResult::UnknownSale), "unknown_sale");
}

TEST_F(Journal, AnEmptySaleClosedAsClearedBelongsToNoClient) {
  TJournal Book(File);
  auto Sale = Book.OpenSale(NewSale(1, 1));
  Sale.State = TSaleState::Cleared;
  Sale.Flags = {FlagEmpty};
  ASSERT_TRUE(Book.CloseSale(Sale));
  const auto Stored = Book.Sale(Sale.Id);
  EXPECT_EQ(Stored->State, TSaleState::Cleared);
  EXPECT_TRUE(Stored->LockedBy.empty());
  EXPECT_TRUE(Stored->HasFlag(FlagEmpty));
  EXPECT_EQ(Book.ClearSale(Sale.Id, "pos"), TClaimResult::AlreadyCleared);
  EXPECT_EQ(Book.LockSale(Sale.Id, "pos"), TClaimResult::NotPayable);
}

TEST_F(Journal, SalesAreFilteredByStateAndStartNewestFirst) {
  TJournal Book(File);
  const auto First = Fill(Book, 1, 1.0, 1000).Id;
  const auto Second = Fill(Book, 1, 2.0, 2000).Id;
  const auto Third = Fill(Book, 2, 3.0, 3000).Id;
  const auto Open = Book.OpenSale(NewSale(1, 3, 4000)).Id;
  ASSERT_EQ(Book.LockSale(Second, "pos"), TClaimResult::Done);

  const auto Ids = [&](const TSaleFilter &Filter) {
    std::vector<std::int64_t> Found;
    for (const auto &Sale : Book.Sales(Filter))
      Found.push_back(Sale.Id);
    return Found;
  };
  using TIds = std::vector<std::int64_t>;
  EXPECT_EQ(Ids({}), (TIds{Open, Third, Second, First}));
  EXPECT_EQ(Ids({TSaleState::Payable, 0, 0, 1000}), (TIds{Third, First}));
  EXPECT_EQ(Ids({TSaleState::Locked, 0, 0, 1000}), (TIds{Second}));
  EXPECT_EQ(Ids({TSaleState::Open, 0, 0, 1000}), (TIds{Open}));
  EXPECT_EQ(Ids({TSaleState::Cleared, 0, 0, 1000}), TIds{});
  EXPECT_EQ(Ids({std::nullopt, 2000, 0, 1000}), (TIds{Open, Third, Second}));
  EXPECT_EQ(Ids({std::nullopt, 0, 3000, 1000}), (TIds{Second, First})); // before 3000
  EXPECT_EQ(Ids({std::nullopt, 2000, 4000, 1000}), (TIds{Third, Second}));
  EXPECT_EQ(Ids({std::nullopt, 0, 0, 2}), (TIds{Open, Third}));
  EXPECT_EQ(Ids({std::nullopt, 0, 0, 0}).size(), 4u);

  const auto Counts = Book.CountByState();
  EXPECT_EQ(Counts.at(TSaleState::Open), 1);
  EXPECT_EQ(Counts.at(TSaleState::Payable), 2);
  EXPECT_EQ(Counts.at(TSaleState::Locked), 1);
  EXPECT_EQ(Counts.at(TSaleState::Cleared), 0);
}

TEST_F(Journal, RunsInWalModeWithFullSyncAndAVersionedSchema) {
  {
    TJournal Book(File);
    const auto Settings = Book.Settings();
    EXPECT_EQ(Settings.JournalMode, "wal");
    EXPECT_EQ(Settings.Synchronous, "full");
    EXPECT_GT(Settings.BusyTimeoutMs, 0);
    EXPECT_EQ(Settings.SchemaVersion, TJournal::SchemaVersion);
    Fill(Book, 1, 1.0);
    // The log exists while the journal is open: commits go there first.
    EXPECT_TRUE(std::filesystem::exists(File.string() + "-wal"));
  }
  // The mode and the version are the file's own, not just this connection's.
  EXPECT_EQ(PragmaFromOutside(File, "journal_mode"), "wal");
  EXPECT_EQ(PragmaFromOutside(File, "user_version"), std::to_string(TJournal::SchemaVersion));
  EXPECT_EQ(PragmaFromOutside(File, "integrity_check"), "ok");
}

TEST_F(Journal, FilesItCannotUseAreRefusedNamingTheFile) {
  const auto Expect = [](const std::filesystem::path &Path, const std::string &Cause) {
    try {
      TJournal Book(Path);
      ADD_FAILURE() << Path << " opened";
    } catch (const EJournalError &Error) {
      const std::string Text = Error.what();
      EXPECT_NE(Text.find(Path.string()), std::string::npos) << Text;
      EXPECT_NE(Text.find(Cause), std::string::npos) << Text;
    }
  };
  const auto Garbage = Dir / "garbage.db";
  std::ofstream(Garbage) << std::string(8192, 'x');
  Expect(Garbage, "file is not a database");

  const auto Blocked = Dir / "plain-file";
  std::ofstream(Blocked) << "x";
  Expect(Blocked / "journal.db", "cannot create its folder");

  const auto Newer = Dir / "newer.db";
  { TJournal Book(Newer); }
  {
    sqlite3 *Db = nullptr;
    ASSERT_EQ(sqlite3_open(Newer.c_str(), &Db), SQLITE_OK);
    const std::string Bump =
        "PRAGMA user_version = " + std::to_string(TJournal::SchemaVersion + 1);
    ASSERT_EQ(sqlite3_exec(Db, Bump.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(Db);
  }
  Expect(Newer, "newer release");
}

TEST_F(Journal, AFailedWriteIsAnErrorThatNamesTheFile) {
  TJournal Book(File, 100);
  // Another connection holds the write lock longer than the busy timeout allows.
  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(File.c_str(), &Other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  try {
    Book.OpenSale(NewSale(1, 1));
    ADD_FAILURE() << "written through another writer's lock";
  } catch (const EJournalError &Error) {
    const std::string Text = Error.what();
    EXPECT_NE(Text.find(File.string()), std::string::npos) << Text;
    EXPECT_NE(Text.find("database is locked"), std::string::npos) << Text;
  }
  EXPECT_THROW(Book.LockSale(1, "pos"), EJournalError);
  sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(Other);
  // The refused step left nothing behind, and the journal goes on.
  EXPECT_TRUE(Book.OpenSales().empty());
  EXPECT_NO_THROW(Book.OpenSale(NewSale(1, 1)));
}

// What `sqlite3 FILE ".backup COPY"` does: the backup interface, step by step,
// from a second connection while the journal goes on writing. The steps are
// smaller than the shell's 100 pages, so that writes land between them and the
// copy has to start over.
TEST_F(Journal, ABackupTakenWhileSalesAreWrittenIsASoundJournal) {
  TJournal Book(File);
  for (int Index = 1; Index <= 300; ++Index)
    Fill(Book, 1, Index);
  std::thread Writer([&Book] {
    for (int Index = 301; Index <= 400; ++Index)
      Fill(Book, 2, Index);
  });
  const auto Copy = Dir / "backup.db";
  sqlite3 *Source = nullptr;
  sqlite3 *Target = nullptr;
  ASSERT_EQ(sqlite3_open(File.c_str(), &Source), SQLITE_OK);
  ASSERT_EQ(sqlite3_open(Copy.c_str(), &Target), SQLITE_OK);
  auto *Backup = sqlite3_backup_init(Target, "main", Source, "main");
  ASSERT_NE(Backup, nullptr);
  int Result = SQLITE_OK;
  while ((Result = sqlite3_backup_step(Backup, 2)) == SQLITE_OK || Result == SQLITE_BUSY ||
         Result == SQLITE_LOCKED)
    ;
  EXPECT_EQ(Result, SQLITE_DONE);
  sqlite3_backup_finish(Backup);
  sqlite3_close(Target);
  sqlite3_close(Source);
  Writer.join();

  EXPECT_EQ(PragmaFromOutside(Copy, "integrity_check"), "ok");
  TJournal Restored(Copy);
  const auto Sales = Restored.Sales({std::nullopt, 0, 0, 0});
  ASSERT_GE(Sales.size(), 300u);
  // A snapshot: the sales of one moment, each as it was then (the writer's last one
  // may be caught open, before its fill).
  for (const auto &Sale : Sales) {
    EXPECT_EQ(Sale.Volume, Sale.State == TSaleState::Open ? 0.0 : static_cast<double>(Sale.Id));
    EXPECT_EQ(Sale.State, Sale.Volume ? TSaleState::Payable : TSaleState::Open);
  }
  EXPECT_LE(Restored.CountByState()[TSaleState::Open], 1);
}

TEST_F(Journal, StepsFromSeveralThreadsAreSerialised) {
  TJournal Book(File);
  std::vector<std::thread> Workers;
  for (int Pump = 1; Pump <= 4; ++Pump)
    Workers.emplace_back([&Book, Pump] {
      for (int Index = 0; Index < 25; ++Index) {
        auto Sale = Book.OpenSale(NewSale(1, Pump));
        Sale.Volume = 1.0;
        Sale.State = TSaleState::Payable;
        Book.CloseSale(Sale);
      }
    });
  for (auto &Worker : Workers)
    Worker.join();
  EXPECT_EQ(Book.CountByState()[TSaleState::Payable], 100);
  EXPECT_EQ(Book.CountByState()[TSaleState::Open], 0);
}

} // namespace
} // namespace de30::station
