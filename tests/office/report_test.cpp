// The office's reports against known data in a real PostgreSQL, written the way
// ingest writes it: per station, day and grade; sales left open or not cleared
// at a station's last shift close; shift nozzles beyond a tolerance; stations
// not heard from. Text and CSV, compared whole.
#include "postgres_fixture.hpp"
#include "report.hpp"
#include "schema.hpp"
#include "store.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace de30::office;
using namespace de30::test;
using nlohmann::json;

json Sale(const std::string &Station, std::int64_t Id, int Grade, double Volume, double Amount,
          const std::string &Ended) {
  return {{"id", Id},
          {"station", Station},
          {"pump", "1:3"},
          {"nozzle", 1},
          {"grade", Grade},
          {"price", 45.5},
          {"preset", nullptr},
          {"volume", Volume},
          {"amount", Amount},
          {"start_totals", nullptr},
          {"end_totals", nullptr},
          {"state", "payable"},
          {"locked_by", nullptr},
          {"started", "2026-12-08T06:00:00.000Z"},
          {"ended", Ended},
          {"flags", json::array()},
          {"prepaid", 0.0},
          {"refund", 0.0}};
}

json Nozzle(const std::string &Pump, int Number, int Grade, const json &Difference) {
  return {{"pump", Pump},
          {"nozzle", Number},
          {"grade", Grade},
          {"open_totals", Difference.is_null() ? json(nullptr) : json{{"volume", 10.0}}},
          {"open_missing",
           Difference.is_null() ? json("the pump's totals were never read") : json(nullptr)},
          {"close_totals", nullptr},
          {"close_missing", "the pump's totals were never read"},
          {"sales", {{"count", 2}, {"volume", 12.5}, {"amount", 500.0}}},
          {"difference", Difference}};
}

json Shift(std::int64_t Id, const std::string &Closed, const json &Nozzles,
           const json &Pending) {
  return {{"id", Id},
          {"station", "north-7"},
          {"state", "closed"},
          {"opened", "2026-12-08T06:00:00.000Z"},
          {"closed", Closed},
          {"closed_by", "till"},
          {"nozzles", Nozzles},
          {"grades", json::array()},
          {"clients", json::array()},
          {"pending", {{"count", Pending.size()}, {"sales", Pending}}},
          {"uploaded", false}};
}

json Pending(std::int64_t Id, const std::string &State, const std::string &Started,
             const json &Ended) {
  return {{"id", Id},       {"pump", "1:3"},   {"state", State},     {"locked_by", nullptr},
          {"volume", 10.0}, {"amount", 455.0}, {"started", Started}, {"ended", Ended}};
}

class OfficeReport : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Why;
    if (!Server.Start(Why))
      GTEST_SKIP() << "PostgreSQL cannot be started here: " << Why;
    Db = std::make_unique<TPg>(Server.ConnInfo(), "");
    Db->Exec("SET TIME ZONE 'UTC'");
    Migrate(*Db);
  }
  TWriteResult Write(const std::vector<std::pair<std::string, json>> &Messages) {
    std::vector<TIncoming> Batch;
    for (const auto &[Topic, Message] : Messages)
      Batch.push_back(
          {"de30/" + Message["station"].get<std::string>() + "/" + Topic, Message.dump()});
    TStore Store(*Db, "de30", "office-test");
    return Store.Write(Batch);
  }
  std::string One(const std::string &Sql) { return Db->Exec(Sql).Text(0, 0); }
  std::string Report(const TReportOptions &Options, bool Csv) {
    const TTable Table = RunReport(*Db, Options);
    return Csv ? FormatCsv(Table) : FormatText(Table);
  }

  TPostgres Server;
  std::unique_ptr<TPg> Db;
};

// Shift 4 of north-7 comes twice, in two batches, and once more beside its
// station's sales: stored once, acknowledged every time.
TEST_F(OfficeReport, AShiftIsStoredOnceWhateverRepeatsArrive) {
  const json Four = Shift(
      4, "2026-12-09T14:00:00.000Z",
      {Nozzle("1:3", 1, 2, {{"volume", 1.25}, {"amount", 56.88}}),
       Nozzle("1:3", 2, 1, {{"volume", -0.2}, {"amount", -9.1}}), Nozzle("1:4", 1, 1, nullptr)},
      json::array(
          {Pending(17, "payable", "2026-12-08T22:50:09.123Z", "2026-12-08T22:51:09.000Z")}));
  for (int Round = 0; Round < 3; ++Round) {
    SCOPED_TRACE(Round);
    std::vector<std::pair<std::string, json>> Batch{{"shifts", Four}};
    if (Round == 2)
      Batch.emplace_back("sales", Sale("north-7", 1, 2, 10.0, 455.0, "2026-12-08T22:51:09Z"));
    const auto Written = Write(Batch);
    EXPECT_EQ(Written.Shifts, Round == 0 ? 1 : 0);
    ASSERT_EQ(Written.Acks.size(), 1u);
    EXPECT_EQ(Written.Acks[0].Topic, "de30/north-7/acks");
    EXPECT_EQ(Written.Acks[0].Shifts, std::vector<std::int64_t>{4});
  }
  EXPECT_EQ(One("SELECT COUNT(*) FROM shifts"), "1");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shift_nozzles"), "3");
  EXPECT_EQ(One("SELECT COUNT(*) FROM shift_pending"), "1");
  EXPECT_EQ(One("SELECT body->>'closed_by' FROM shifts"), "till");
  // Another station's shift 4 is another shift; one that is no shift is not kept.
  json South = Four;
  South["station"] = "south-2";
  json Broken = Four;
  Broken["station"] = "south-2";
  Broken["id"] = 5;
  Broken.erase("nozzles");
  const auto Written = Write({{"shifts", South}, {"shifts", Broken}});
  EXPECT_EQ(Written.Shifts, 1);
  EXPECT_EQ(Written.Ignored, 1);
  ASSERT_EQ(Written.Acks.size(), 1u);
  EXPECT_EQ(Written.Acks[0].Shifts, std::vector<std::int64_t>{4});
  EXPECT_EQ(One("SELECT COUNT(*) FROM shifts"), "2");
}

TEST_F(OfficeReport, TheReportsReadKnownDataAsTextAndCsv) {
  Write({{"sales", Sale("north-7", 1, 2, 10.0, 455.0, "2026-12-08T22:51:09.000Z")},
         {"sales", Sale("north-7", 2, 2, 5.5, 250.25, "2026-12-08T23:10:00.000Z")},
         {"sales", Sale("north-7", 3, 1, 2.0, 91.0, "2026-12-09T08:00:00.000Z")},
         {"sales", Sale("south-2", 1, 2, 10.0, 455.0, "2026-12-08T12:00:00.000Z")}});
  // Shift 3's pending sale 9 is superseded by shift 4, the station's last.
  Write({{"shifts", Shift(3, "2026-12-08T14:00:00.000Z", json::array(),
                          json::array({Pending(9, "locked", "2026-12-01T10:00:00.000Z",
                                               "2026-12-01T10:01:00.000Z")}))},
         {"shifts",
          Shift(4, "2026-12-09T14:00:00.000Z",
                {Nozzle("1:3", 1, 2, {{"volume", 1.25}, {"amount", 56.88}}),
                 Nozzle("1:3", 2, 1, {{"volume", -0.2}, {"amount", -9.1}}),
                 Nozzle("1:4", 1, 1, nullptr)},
                json::array({Pending(17, "payable", "2026-12-08T22:50:09.123Z",
                                     "2026-12-08T22:51:09.000Z"),
                             Pending(18, "open", "2100-01-01T00:00:00.000Z", nullptr)}))}});
  Db->Exec("UPDATE stations SET last_message = now() - interval '2 hours' "
           "WHERE id = 'south-2'");

  TReportOptions Daily{"daily", 0.5, 15, 36500};
  EXPECT_EQ(Report(Daily, false), "station  day         grade  sales  volume  amount\n"
                                  "-------  ----------  -----  -----  ------  ------\n"
                                  "north-7  2026-12-08      2      2   15.50  705.25\n"
                                  "north-7  2026-12-09      1      1    2.00   91.00\n"
                                  "south-2  2026-12-08      2      1   10.00  455.00\n"
                                  "(3 rows)\n");
  EXPECT_EQ(Report(Daily, true), "station,day,grade,sales,volume,amount\r\n"
                                 "north-7,2026-12-08,2,2,15.50,705.25\r\n"
                                 "north-7,2026-12-09,1,1,2.00,91.00\r\n"
                                 "south-2,2026-12-08,2,1,10.00,455.00\r\n");

  struct TCase {
    double Tolerance;
    std::string Csv;
  };
  const std::string Head = "station,shift,closed,pump,nozzle,grade,sales,volume,"
                           "difference_volume,difference_amount\r\n";
  const std::string Over = "north-7,4,2026-12-09 14:00:00+00,1:3,1,2,2,12.50,1.25,56.88\r\n";
  const std::string Under = "north-7,4,2026-12-09 14:00:00+00,1:3,2,1,2,12.50,-0.20,-9.10\r\n";
  const TCase Cases[] = {{0.5, Head + Over}, {0.1, Head + Over + Under}, {1.25, Head}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Tolerance);
    EXPECT_EQ(Report({"differences", Case.Tolerance, 15, 7}, true), Case.Csv);
  }

  EXPECT_EQ(
      Report({"unsettled", 0.5, 15, 7}, false),
      "station  shift  sale  pump  state    locked_by  volume  amount  started                 "
      "    ended\n"
      "-------  -----  ----  ----  -------  ---------  ------  ------  "
      "--------------------------"
      "  ----------------------\n"
      "north-7      4    17  1:3   payable  -           10.00  455.00  2026-12-08 "
      "22:50:09.123+00"
      "  2026-12-08 22:51:09+00\n"
      "(1 row)\n");

  const TTable Silent = RunReport(*Db, {"silent", 0.5, 15, 7});
  ASSERT_EQ(Silent.Rows.size(), 1u);
  EXPECT_EQ(Silent.Rows[0][0], "south-2");
  EXPECT_EQ(Silent.Rows[0][3].value_or("").substr(0, 5), "02:00");
  EXPECT_TRUE(RunReport(*Db, {"silent", 0.5, 180, 7}).Rows.empty());
  EXPECT_THROW(RunReport(*Db, {"weekly", 0.5, 15, 7}), std::invalid_argument);
}

} // namespace
