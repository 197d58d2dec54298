// The office's database against a real PostgreSQL: the schema made and brought
// up to date by --init, and each sale kept once by station and id whatever
// repeats arrive, a repeat with other figures kept aside and never over the
// stored sale, a message that is no sale kept aside too, a value the database
// refuses costing that message alone.
#include "postgres_fixture.hpp"
#include "schema.hpp"
#include "store.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace de30;
using namespace de30::office;
using namespace de30::test;

class OfficeStore : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Why;
    if (!Server.Start(Why))
      GTEST_SKIP() << "PostgreSQL cannot be started here: " << Why;
    Db = std::make_unique<TPg>(Server.ConnInfo(), "");
  }

  // A sale message as de30d sends it, with Changes applied.
  static nlohmann::json Sale(std::int64_t Id,
                             const nlohmann::json &Changes = nlohmann::json::object()) {
    nlohmann::json Message = {
        {"id", Id},
        {"station", "north-7"},
        {"pump", "1:3"},
        {"nozzle", 1},
        {"grade", 2},
        {"price", 45.5},
        {"preset", {{"litres", 10.0}}},
        {"volume", 10.0},
        {"amount", 455.0},
        {"start_totals", {{"volume", 1000.0}, {"amount", 45500.0}}},
        {"end_totals", {{"volume", 1010.0}, {"amount", 45955.0}}},
        {"state", "payable"},
        {"locked_by", nullptr},
        {"started", "2026-12-08T22:50:09.123Z"},
        {"ended", "2026-12-08T22:51:09.000Z"},
        {"flags", nlohmann::json::array()},
        {"prepaid", 0.0},
        {"refund", 0.0},
    };
    Message.merge_patch(Changes);
    return Message;
  }
  static TIncoming On(const std::string &Kind, const nlohmann::json &Message) {
    return {"de30/north-7/" + Kind, Message.dump()};
  }
  std::string One(const std::string &Sql) { return Db->Exec(Sql).Text(0, 0); }

  TPostgres Server;
  std::unique_ptr<TPg> Db;
};

TEST_F(OfficeStore, InitMakesTheSchemaOnceAndRefusesANewerOne) {
  EXPECT_EQ(SchemaVersion(*Db), 0);
  EXPECT_EQ(Migrate(*Db), LatestSchema());
  EXPECT_EQ(SchemaVersion(*Db), LatestSchema());
  // Again: nothing to do, nothing applied twice.
  EXPECT_EQ(Migrate(*Db), LatestSchema());
  EXPECT_EQ(One("SELECT COUNT(*) FROM de30_schema"), std::to_string(LatestSchema()));
  for (const char *Table : {"stations", "sales", "sale_problems", "alarms"})
    EXPECT_EQ(One(std::string("SELECT to_regclass('") + Table + "') IS NOT NULL"), "t")
        << Table;
  // A database a later de30-office migrated is not touched.
  Db->Exec("INSERT INTO de30_schema (version) VALUES ($1)",
           {std::to_string(LatestSchema() + 1)});
  EXPECT_THROW(Migrate(*Db), EDatabase);
}

TEST_F(OfficeStore, EachSaleIsKeptOnceAndARepeatWithOtherFiguresIsKeptAside) {
  Migrate(*Db);
  TStore Store(*Db, "de30", "office-1");
  const auto First =
      Store.Write({On("sales", Sale(17)), On("sales", Sale(18, {{"preset", nullptr}}))});
  EXPECT_EQ(First.Inserted, 2);
  ASSERT_EQ(First.Acks.size(), 1u);
  EXPECT_EQ(First.Acks[0].Topic, "de30/north-7/acks");
  EXPECT_EQ(First.Acks[0].Station, "north-7");
  EXPECT_EQ(First.Acks[0].Sales, (std::vector<std::int64_t>{17, 18}));

  // Every field in its column, and the whole message as it came.
  const auto Row = Db->Exec(
      "SELECT pump, nozzle, grade, price, preset_kind, preset_value, volume, amount, "
      "start_volume, start_amount, end_volume, end_amount, state, locked_by IS NULL, "
      "to_char(started AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.MS'), flags::text, prepaid, "
      "refund, body->>'station', ingested_by FROM sales WHERE station = 'north-7' AND sale_id "
      "= 17");
  ASSERT_EQ(Row.Rows(), 1);
  const std::vector<std::string> Expected = {
      "1:3",     "1",        "2",       "45.50",   "litres",
      "10.00",   "10.00",    "455.00",  "1000.00", "45500.00",
      "1010.00", "45955.00", "payable", "t",       "2026-12-08 22:50:09.123",
      "[]",      "0.00",     "0.00",    "north-7", "office-1"};
  for (std::size_t I = 0; I < Expected.size(); ++I)
    EXPECT_EQ(Row.Text(0, static_cast<int>(I)), Expected[I]) << "column " << I;
  EXPECT_EQ(One("SELECT preset_kind IS NULL FROM sales WHERE sale_id = 18"), "t");

  struct TRepeat {
    const char *Name;
    nlohmann::json Changes;
    bool Conflict;
  };
  const TRepeat Repeats[] = {
      {"the same message again", nlohmann::json::object(), false},
      // Payment moves on after the sale closed; that is no other sale.
      {"locked since", {{"state", "locked"}, {"locked_by", "pos-1"}}, false},
      {"cleared since, flagged", {{"state", "cleared"}, {"flags", {"empty"}}}, false},
      // A figure of its own that the stored sale has not is not compared.
      {"a field a later de30d adds", {{"shift", 4}}, false},
      {"another volume", {{"volume", 12.0}}, true},
      {"another end total", {{"end_totals", {{"volume", 1012.0}}}}, true},
      {"another pump", {{"pump", "1:4"}}, true},
  };
  int Conflicts = 0;
  for (const auto &Repeat : Repeats) {
    SCOPED_TRACE(Repeat.Name);
    const auto Result = Store.Write({On("sales", Sale(17, Repeat.Changes))});
    EXPECT_EQ(Result.Inserted, 0);
    EXPECT_EQ(Result.Duplicates, Repeat.Conflict ? 0 : 1);
    EXPECT_EQ(Result.Conflicts, Repeat.Conflict ? 1 : 0);
    // Acknowledged either way: the office has it, one way or the other.
    ASSERT_EQ(Result.Acks.size(), 1u);
    EXPECT_EQ(Result.Acks[0].Sales, std::vector<std::int64_t>{17});
    Conflicts += Repeat.Conflict;
    EXPECT_EQ(One("SELECT COUNT(*) FROM sale_problems WHERE kind = 'conflict'"),
              std::to_string(Conflicts));
  }
  // The stored sale is the first, untouched.
  EXPECT_EQ(One("SELECT volume || ' ' || pump || ' ' || state FROM sales WHERE sale_id = 17"),
            "10.00 1:3 payable");
  EXPECT_EQ(One("SELECT COUNT(*) FROM sales"), "2");
  const auto Problem =
      Db->Exec("SELECT detail, received->>'volume', stored->>'volume' FROM sale_problems "
               "WHERE kind = 'conflict' ORDER BY id LIMIT 1");
  EXPECT_EQ(Problem.Text(0, 0), "volume: 10.0 stored, 12.0 received");
  EXPECT_EQ(Problem.Text(0, 1), "12.0");
  EXPECT_EQ(Problem.Text(0, 2), "10.0");
}

TEST_F(OfficeStore, WhatIsNoSaleIsKeptAsideWithoutHoldingUpTheRest) {
  Migrate(*Db);
  TStore Store(*Db, "de30", "office-1");
  auto NoDate = Sale(21);
  NoDate["started"] = "the day before yesterday";
  auto NoPump = Sale(22);
  NoPump.erase("pump");
  const auto Result = Store.Write({
      On("sales", Sale(20)),
      On("sales", NoDate),                        // the database refuses it
      On("sales", NoPump),                        // a sale without its pump
      On("sales", nlohmann::json{{"volume", 3}}), // names no sale: not acknowledged
      {"de30/north-7/sales", "{not json"},        // the same
      On("sales", Sale(23)),
      On("alarms", {{"id", 4},
                    {"station", "north-7"},
                    {"pump", "1:3"},
                    {"nozzle", 1},
                    {"volume", 2.5},
                    {"amount", 113.75},
                    {"at", "2026-12-08T23:00:00.000Z"},
                    {"kind", "totals_moved"}}),
      On("status", {{"station", "north-7"}, {"online", true}}),
      {"de30/north-7/pumps/1:3", "{}"}, // not the office's business
  });
  EXPECT_EQ(Result.Inserted, 2);
  EXPECT_EQ(Result.Malformed, 2);
  EXPECT_EQ(Result.Alarms, 1);
  EXPECT_EQ(Result.Ignored, 3);
  ASSERT_EQ(Result.Acks.size(), 1u);
  EXPECT_EQ(Result.Acks[0].Sales, (std::vector<std::int64_t>{20, 21, 22, 23}));
  EXPECT_EQ(One("SELECT string_agg(sale_id::text, ',' ORDER BY sale_id) FROM sales"), "20,23");
  EXPECT_EQ(One("SELECT string_agg(sale_id || ':' || kind, ',' ORDER BY sale_id) FROM "
                "sale_problems"),
            "21:malformed,22:malformed");
  EXPECT_EQ(One("SELECT volume || ' ' || kind FROM alarms WHERE alarm_id = 4"),
            "2.50 totals_moved");
  EXPECT_EQ(One("SELECT online FROM stations WHERE id = 'north-7'"), "t");
  // An alarm again is the same alarm.
  EXPECT_EQ(Store
                .Write({On("alarms", {{"id", 4},
                                      {"station", "north-7"},
                                      {"pump", "1:3"},
                                      {"at", "2026-12-08T23:00:00.000Z"},
                                      {"kind", "totals_moved"}})})
                .Alarms,
            0);
}

TEST_F(OfficeStore, NothingIsAcknowledgedWhenTheDatabaseIsGone) {
  Migrate(*Db);
  TStore Store(*Db, "de30", "office-1");
  Server.Stop();
  EXPECT_THROW(Store.Write({On("sales", Sale(30))}), EDatabase);
  EXPECT_FALSE(Db->Usable());
  std::string Why;
  ASSERT_TRUE(Server.Start(Why)) << Why;
  TPg Again(Server.ConnInfo(), "");
  TStore Restarted(Again, "de30", "office-1");
  EXPECT_EQ(Restarted.Write({On("sales", Sale(30))}).Inserted, 1);
}

} // namespace
