// The journal's side of the head-office uplink: which sales are due, the mark
// that only the broker's acknowledgement sets, all at once or not at all; and a
// journal of the first release, opened and migrated to the schema that holds it.
#include "station/journal.hpp"
#include "station/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace de30::station {
namespace {

std::vector<std::int64_t> Ids(const std::vector<TSale> &Sales) {
  std::vector<std::int64_t> Result;
  for (const auto &Sale : Sales)
    Result.push_back(Sale.Id);
  return Result;
}

TSale Close(TJournal &Book, TSale Sale, TSaleState State, double Volume) {
  Sale.Volume = Volume;
  Sale.Amount = Volume * 2;
  Sale.State = State;
  EXPECT_TRUE(Book.CloseSale(Sale));
  return *Book.Sale(Sale.Id);
}

TSale Opened(TJournal &Book, int Pump) {
  TSale Sale;
  Sale.Line = 1;
  Sale.Pump = Pump;
  return Book.OpenSale(Sale);
}

// Runs SQL on the file through a connection of its own; what it printed.
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

class JournalUpload : public ::testing::Test {
protected:
  test::TTempDir Dir;
  std::filesystem::path File = Dir / "journal.db";
};

TEST_F(JournalUpload, AClosedSaleIsDueUntilItIsMarkedAndOpenSalesNeverAre) {
  TJournal Book(File);
  const auto Open = Opened(Book, 1);
  EXPECT_TRUE(Book.UploadBacklog(0).empty());
  EXPECT_EQ(Book.UploadBacklogCount(), 0);
  // An open sale is not done: it cannot be marked, whatever asks.
  EXPECT_EQ(Book.MarkUploaded({Open.Id}), 0);
  EXPECT_EQ(Book.UploadedMs(Open.Id), 0);

  const auto Payable = Close(Book, Opened(Book, 2), TSaleState::Payable, 5.0);
  const auto Empty = Close(Book, Opened(Book, 3), TSaleState::Cleared, 0.0);
  auto Locked = Close(Book, Opened(Book, 4), TSaleState::Payable, 7.0);
  ASSERT_EQ(Book.LockSale(Locked.Id, "pos-1"), TClaimResult::Done);
  EXPECT_EQ(Ids(Book.UploadBacklog(0)), (std::vector{Payable.Id, Empty.Id, Locked.Id}));
  EXPECT_EQ(Ids(Book.UploadBacklog(2)), (std::vector{Payable.Id, Empty.Id}));
  EXPECT_EQ(Book.UploadBacklogCount(), 3);

  // The mark sets the time and nothing else; a second mark, or one for a sale
  // that does not exist, marks nothing.
  EXPECT_EQ(Book.MarkUploaded({Empty.Id, Open.Id + 1000}), 1);
  const auto Marked = Book.UploadedMs(Empty.Id);
  EXPECT_GT(Marked, 0);
  EXPECT_EQ(Book.Sale(Empty.Id), Empty);
  EXPECT_EQ(Book.MarkUploaded({Empty.Id}), 0);
  EXPECT_EQ(Book.UploadedMs(Empty.Id), Marked);
  EXPECT_EQ(Ids(Book.UploadBacklog(0)), (std::vector{Payable.Id, Locked.Id}));

  // A sale that closes late, after newer ones went out, is due first: the
  // backlog is by id, not by the time of the close.
  Close(Book, Open, TSaleState::Payable, 1.0);
  EXPECT_EQ(Ids(Book.UploadBacklog(0)), (std::vector{Open.Id, Payable.Id, Locked.Id}));
  // Clearing a sale does not make it due again.
  ASSERT_EQ(Book.ClearSale(Locked.Id, "pos-1"), TClaimResult::Done);
  EXPECT_EQ(Book.MarkUploaded({Open.Id, Payable.Id, Locked.Id}), 3);
  EXPECT_EQ(Book.UploadBacklogCount(), 0);
  EXPECT_EQ(Book.MarkUploaded({}), 0);

  TJournal Again(File);
  EXPECT_EQ(Again.UploadBacklogCount(), 0);
  EXPECT_EQ(Again.UploadedMs(Empty.Id), Marked);
}

TEST_F(JournalUpload, MarksAreOneTransactionAllOrNothing) {
  TJournal Book(File, 100);
  const auto First = Close(Book, Opened(Book, 1), TSaleState::Payable, 1.0);
  const auto Second = Close(Book, Opened(Book, 2), TSaleState::Payable, 2.0);
  // Another connection holds the write lock: the mark fails as a whole.
  sqlite3 *Other = nullptr;
  ASSERT_EQ(sqlite3_open(File.c_str(), &Other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_THROW(Book.MarkUploaded({First.Id, Second.Id}), EJournalError);
  sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(Other);
  EXPECT_EQ(Book.UploadBacklogCount(), 2);
  EXPECT_EQ(Book.UploadedMs(First.Id), 0);
  EXPECT_EQ(Book.MarkUploaded({First.Id, Second.Id}), 2);
}

// The schema the first release wrote, as it wrote it: the file a station has.
constexpr const char *ReleaseOneSchema = R"sql(
CREATE TABLE sales (
  id           INTEGER PRIMARY KEY AUTOINCREMENT,
  line         INTEGER NOT NULL,
  pump         INTEGER NOT NULL,
  nozzle       INTEGER NOT NULL DEFAULT 0,
  grade        INTEGER NOT NULL DEFAULT 0,
  price        REAL    NOT NULL DEFAULT 0,
  preset_kind  TEXT    NOT NULL DEFAULT 'none' CHECK (preset_kind IN ('none', 'litres', 'money')),
  preset_value REAL    NOT NULL DEFAULT 0,
  volume       REAL    NOT NULL DEFAULT 0,
  amount       REAL    NOT NULL DEFAULT 0,
  start_known  INTEGER NOT NULL DEFAULT 0,
  start_volume REAL    NOT NULL DEFAULT 0,
  start_amount REAL    NOT NULL DEFAULT 0,
  end_known    INTEGER NOT NULL DEFAULT 0,
  end_volume   REAL    NOT NULL DEFAULT 0,
  end_amount   REAL    NOT NULL DEFAULT 0,
  started_ms   INTEGER NOT NULL,
  ended_ms     INTEGER NOT NULL DEFAULT 0,
  state        TEXT    NOT NULL CHECK (state IN ('open', 'payable', 'locked', 'cleared')),
  locked_by    TEXT    NOT NULL DEFAULT '',
  locked_ms    INTEGER NOT NULL DEFAULT 0,
  cleared_ms   INTEGER NOT NULL DEFAULT 0,
  flags        TEXT    NOT NULL DEFAULT '',
  uploaded     INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX sales_by_state ON sales (state);
CREATE INDEX sales_by_start ON sales (started_ms);
CREATE INDEX sales_by_pump ON sales (line, pump, id);
CREATE TABLE prices (
  grade      INTEGER PRIMARY KEY,
  price      REAL    NOT NULL,
  updated_ms INTEGER NOT NULL
);
CREATE TABLE pump_totals (
  line       INTEGER NOT NULL,
  pump       INTEGER NOT NULL,
  known      INTEGER NOT NULL,
  volume     REAL    NOT NULL,
  amount     REAL    NOT NULL,
  updated_ms INTEGER NOT NULL,
  PRIMARY KEY (line, pump)
);
PRAGMA user_version = 1;
INSERT INTO sales (line, pump, nozzle, grade, price, volume, amount, start_known, start_volume,
  start_amount, end_known, end_volume, end_amount, started_ms, ended_ms, state, flags)
  VALUES (1, 3, 1, 2, 47.2, 10.0, 472.0, 1, 100.0, 4720.0, 1, 110.0, 5192.0, 1700000000000,
  1700000060000, 'payable', '');
INSERT INTO sales (line, pump, started_ms, state) VALUES (1, 4, 1700000100000, 'open');
INSERT INTO prices VALUES (2, 47.2, 1700000000000);
INSERT INTO pump_totals VALUES (1, 3, 1, 110.0, 5192.0, 1700000060000);
)sql";

TEST_F(JournalUpload, AJournalOfTheFirstReleaseIsMigratedWhenOpened) {
  const auto Old = Dir / "release-1.db";
  Sql(Old, std::string("PRAGMA journal_mode = WAL;") + ReleaseOneSchema);
  ASSERT_EQ(Sql(Old, "PRAGMA user_version"), "1\n");
  {
    TJournal Book(Old);
    EXPECT_EQ(Book.Settings().SchemaVersion, TJournal::SchemaVersion);
    // What it held is still there, and its closed sale is due for upload.
    const auto Sold = Book.Sale(1);
    ASSERT_TRUE(Sold);
    EXPECT_EQ(Sold->State, TSaleState::Payable);
    EXPECT_EQ(Sold->Volume, 10.0);
    EXPECT_EQ(Sold->EndTotals, (TTotals{true, 110.0, 5192.0}));
    EXPECT_EQ(Book.OpenSales().size(), 1u);
    EXPECT_EQ(Book.Prices(), (std::map<int, double>{{2, 47.2}}));
    EXPECT_EQ(Book.LastTotals(1, 3), (TTotals{true, 110.0, 5192.0}));
    EXPECT_EQ(Ids(Book.UploadBacklog(0)), (std::vector<std::int64_t>{1}));
    EXPECT_EQ(Book.MarkUploaded({1}), 1);
    EXPECT_GT(Book.UploadedMs(1), 0);
    // New sales go on after the old ones.
    EXPECT_EQ(Opened(Book, 3).Id, 3);
  }
  EXPECT_EQ(Sql(Old, "PRAGMA user_version"), std::to_string(TJournal::SchemaVersion) + "\n");
  EXPECT_EQ(Sql(Old, "PRAGMA integrity_check"), "ok\n");
  // Opened again it is not migrated twice, and it keeps its mark.
  {
    TJournal Book(Old);
    EXPECT_EQ(Book.UploadBacklogCount(), 0);
  }
  // A migrated journal and a new one have the same schema, to the letter.
  { TJournal Fresh(File); }
  const std::string Schema = "SELECT type, name, sql FROM sqlite_master ORDER BY name";
  EXPECT_EQ(Sql(Old, Schema), Sql(File, Schema));
  EXPECT_NE(Sql(File, Schema).find("sales_to_upload"), std::string::npos);
}

} // namespace
} // namespace de30::station
