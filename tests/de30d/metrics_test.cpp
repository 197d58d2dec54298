// GET /metrics: the writer's escapes, numbers and histograms; the reader the tests
// judge the format with; and scrapes over a real socket of de30d on the simulated
// station, read as a scraper reads them and checked against the interface and the
// journal.
#include "exposition.hpp"
#include "exposition_reader.hpp"
#include "service_fixture.hpp"

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace {

using namespace de30;
using namespace de30::test;
using service::TExposition;

std::string Faults(const TExpositionRead &Read) {
  std::string Text;
  for (const auto &Fault : Read.Faults)
    Text += Fault + "\n";
  return Text;
}

TEST(Exposition, LabelValuesAndHelpAreEscapedAndReadBackWhole) {
  const std::string Odd = "north \"7\" \\ east\nline";
  TExposition Out;
  Out.Family("de30_test_info", TExposition::TType::Gauge, "Help with \\ and\na new line.");
  Out.Sample({{"station", Odd}}, 1.0);
  EXPECT_EQ(Out.Text(), "# HELP de30_test_info Help with \\\\ and\\na new line.\n"
                        "# TYPE de30_test_info gauge\n"
                        "de30_test_info{station=\"north \\\"7\\\" \\\\ east\\nline\"} 1\n");
  const auto Read = ReadExposition(Out.Text());
  EXPECT_TRUE(Read.Faults.empty()) << Faults(Read);
  EXPECT_EQ(Read.Value("de30_test_info", {{"station", Odd}}), 1.0);
  ASSERT_NE(Read.Family("de30_test_info"), nullptr);
  EXPECT_EQ(Read.Family("de30_test_info")->Help, "Help with \\ and\na new line.");
}

TEST(Exposition, ValuesAreTheFormatsNumbersAndReadBackExactly) {
  EXPECT_EQ(service::FormatValue(0.05), "0.05");
  EXPECT_EQ(service::FormatValue(1.0), "1");
  EXPECT_EQ(service::FormatValue(-2.5e-7), "-2.5e-07");
  EXPECT_EQ(service::FormatValue(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(service::FormatValue(INFINITY), "+Inf");
  EXPECT_EQ(service::FormatValue(-INFINITY), "-Inf");
  EXPECT_EQ(service::FormatValue(std::nan("")), "NaN");
  // Counters are whole numbers: all 64 bits, no rounding through a double.
  TExposition Out;
  Out.Family("de30_test_total", TExposition::TType::Counter, "Counts.");
  Out.Sample({}, std::numeric_limits<std::uint64_t>::max());
  EXPECT_NE(Out.Text().find("de30_test_total 18446744073709551615\n"), std::string::npos);
}

TEST(Exposition, AHistogramIsCumulativeWithItsInfBucketSumAndCount) {
  TExposition Out;
  Out.Family("de30_test_seconds", TExposition::TType::Histogram, "Times.");
  const double Bounds[] = {0.1, 1.0};
  const std::uint64_t AtMost[] = {2, 3};
  Out.Histogram({{"line", "1"}}, Bounds, AtMost, 4, 7.5);
  EXPECT_EQ(Out.Text(), "# HELP de30_test_seconds Times.\n"
                        "# TYPE de30_test_seconds histogram\n"
                        "de30_test_seconds_bucket{line=\"1\",le=\"0.1\"} 2\n"
                        "de30_test_seconds_bucket{line=\"1\",le=\"1\"} 3\n"
                        "de30_test_seconds_bucket{line=\"1\",le=\"+Inf\"} 4\n"
                        "de30_test_seconds_sum{line=\"1\"} 7.5\n"
                        "de30_test_seconds_count{line=\"1\"} 4\n");
  const auto Read = ReadExposition(Out.Text());
  EXPECT_TRUE(Read.Faults.empty()) << Faults(Read);
}

TEST(Exposition, WhatTheFormatRefusesIsRefusedBeforeItIsWritten) {
  TExposition Out;
  EXPECT_THROW(Out.Sample({}, 1.0), std::invalid_argument); // no family yet
  EXPECT_THROW(Out.Family("de30-line", TExposition::TType::Gauge, ""), std::invalid_argument);
  EXPECT_THROW(Out.Family("1de30", TExposition::TType::Gauge, ""), std::invalid_argument);
  Out.Family("de30_a", TExposition::TType::Gauge, "A.");
  EXPECT_THROW(Out.Family("de30_a", TExposition::TType::Gauge, "A."), std::invalid_argument);
  EXPECT_THROW(Out.Sample({{"bad-label", "x"}}, 1.0), std::invalid_argument);
  EXPECT_THROW(Out.Sample({{"__name__", "x"}}, 1.0), std::invalid_argument);
  EXPECT_THROW(Out.Histogram({}, {}, {}, 0, 0.0), std::invalid_argument); // not a histogram
  Out.Family("de30_b_seconds", TExposition::TType::Histogram, "B.");
  EXPECT_THROW(Out.Sample({}, 1.0), std::invalid_argument);
  const double Bound[] = {1.0};
  const std::uint64_t Count[] = {1};
  EXPECT_THROW(Out.Histogram({{"le", "1"}}, Bound, Count, 1, 1.0), std::invalid_argument);
  EXPECT_THROW(Out.Histogram({}, Bound, {}, 1, 1.0), std::invalid_argument);
}

TEST(ExpositionReader, FindsWhatAScraperWouldTripOver) {
  const std::string Good = "# HELP a_total A.\n# TYPE a_total counter\na_total{x=\"1\"} 3\n";
  EXPECT_TRUE(ReadExposition(Good).Faults.empty()) << Faults(ReadExposition(Good));
  const std::string Histogram = "# HELP h H.\n# TYPE h histogram\n";
  for (const std::string &Bad : std::vector<std::string>{
           std::string("a_total 3\n"),                             // no TYPE
           Good.substr(0, Good.size() - 1),                        // no final line feed
           Good + "# TYPE a_total counter\n",                      // a second TYPE
           Good + "# HELP b B.\n# TYPE b gauge\nb 1,5\n",          // not a number
           Good + "# HELP b B.\n# TYPE b gauge\nb{x=\"\\t\"} 1\n", // an escape it lacks
           Good + "# HELP b B.\n# TYPE b gauge\nb{x=\"1\",x=\"2\"} 1\n",
           Good + "# HELP b B.\n# TYPE b gauge\na_total 4\n", // apart from its family
           std::string("# HELP a_total A.\n# TYPE a_total counter\na_total -1\n"),
           std::string("# TYPE a gauge\na 1\n"), // no HELP
           Histogram + "h_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_sum 1\nh_count 1\n",
           Histogram + "h_bucket{le=\"1\"} 1\nh_sum 1\nh_count 1\n",
           Histogram + "h_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 1\n",
           Histogram + "h_bucket{le=\"+Inf\"} 1\nh_count 1\n",
       })
    EXPECT_FALSE(ReadExposition(Bad).Faults.empty()) << Bad;
}

class Metrics : public TServiceTest {
protected:
  std::string Scrape(std::string *ContentType = nullptr) {
    const auto Answer = Client->Get("/metrics");
    if (!Answer) {
      ADD_FAILURE() << "no answer to GET /metrics";
      return {};
    }
    EXPECT_EQ(Answer->status, 200) << Answer->body;
    if (ContentType)
      *ContentType = Answer->get_header_value("Content-Type");
    return Answer->body;
  }
  // One whole sale of Litres on nozzle 1 of a pump, left payable.
  TJson Sell(const std::string &Id, int Line, int Pump, double Litres) {
    WaitForPump(Id, "idle");
    EXPECT_TRUE(Sim().LiftNozzle(Line, Pump, 1));
    WaitForPump(Id, "calling");
    EXPECT_EQ(Post("/api/v1/pumps/" + Id + "/authorize",
                   "{\"litres\": " + std::to_string(Litres) + "}")
                  .Status,
              200);
    WaitForPump(Id, "completed");
    Sim().HangNozzle(Line, Pump);
    return WaitForSale(Id, "payable");
  }
};

TEST_F(Metrics, AScrapeAgreesWithTheInterfaceAndTheJournal) {
  const TJson Locked = Sell("1:1", 1, 1, 2.0);
  ASSERT_EQ(
      Post("/api/v1/sales/" + Locked["id"].dump() + "/lock", R"({"client": "pos-1"})").Status,
      200);
  Sell("1:2", 1, 2, 1.0);
  // Line 2 misses one reply and has one refused by the reply check; its pump
  // stays online (three in a row would take it offline).
  Sim().AddFault({sim::TFaultKind::NoReply, 2, 3, 1});
  Sim().AddFault({sim::TFaultKind::WrongEcho, 2, 3, 1});
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  TJson Line2;
  do {
    Line2 = Get("/api/v1/lines").Body[1];
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while ((Line2["timeouts"] < 1 || Line2["rejected"] < 1) &&
           std::chrono::steady_clock::now() < Deadline);
  ASSERT_EQ(Line2["timeouts"], 1) << Line2.dump();
  ASSERT_EQ(Line2["rejected"], 1) << Line2.dump();

  const TJson Before = Get("/api/v1/lines").Body;
  std::string ContentType;
  const std::string Text = Scrape(&ContentType);
  const TJson After = Get("/api/v1/lines").Body;
  const TJson Pumps = Get("/api/v1/pumps").Body;
  EXPECT_EQ(ContentType, "text/plain; version=0.0.4; charset=utf-8");
  const auto Read = ReadExposition(Text);
  ASSERT_TRUE(Read.Faults.empty()) << Faults(Read) << Text;

  for (const auto &Family : Read.Families) {
    EXPECT_EQ(Family.Name.rfind("de30_", 0), 0u) << Family.Name;
    EXPECT_EQ(Family.Type == "counter",
              Family.Name.size() > 6 && Family.Name.substr(Family.Name.size() - 6) == "_total")
        << Family.Name;
    EXPECT_FALSE(Family.Help.empty()) << Family.Name;
  }
  // Counters read between the interface's two answers around the scrape.
  ASSERT_EQ(Before.size(), 2u);
  for (std::size_t I = 0; I < Before.size(); ++I) {
    const TLabelSet Line{{"line", Before[I]["line"].dump()}};
    SCOPED_TRACE(Before[I].dump());
    const auto Between = [&](const char *Metric, const char *Field) {
      const auto Value = Read.Value(Metric, Line);
      ASSERT_TRUE(Value) << Metric;
      EXPECT_GE(*Value, Before[I][Field].get<double>()) << Metric;
      EXPECT_LE(*Value, After[I][Field].get<double>()) << Metric;
    };
    Between("de30_line_polls_total", "polls");
    Between("de30_line_timeouts_total", "timeouts");
    Between("de30_line_rejected_replies_total", "rejected");
    Between("de30_line_cycle_duration_seconds_count", "cycles");
    EXPECT_GT(*Read.Value("de30_line_cycle_duration_seconds_sum", Line), 0.0);
    // Channel errors by number, as the interface counts them.
    EXPECT_EQ(Before[I]["errors_by_number"], After[I]["errors_by_number"]);
    for (const auto &[Number, Count] : After[I]["errors_by_number"].items()) {
      TLabelSet ByNumber = Line;
      ByNumber["error"] = Number;
      EXPECT_EQ(Read.Value("de30_line_channel_errors_total", ByNumber), Count.get<double>())
          << Number;
    }
  }
  EXPECT_EQ(Read.Value("de30_line_channel_errors_total", {{"line", "2"}, {"error", "4"}}), 1.0);
  EXPECT_FALSE(Read.Value("de30_line_channel_errors_total", {{"line", "1"}, {"error", "4"}}));

  // Each pump is in one state, the interface's; each of the eight states is there.
  for (const auto &Pump : Pumps) {
    const std::string Line = Pump["line"].dump(), Address = Pump["pump"].dump();
    int Ones = 0, Series = 0;
    for (const auto &S : Read.Family("de30_pump_state")->Samples) {
      if (S.Labels.at("line") != Line || S.Labels.at("pump") != Address)
        continue;
      ++Series;
      if (S.Value == 1.0) {
        ++Ones;
        EXPECT_EQ(S.Labels.at("state"), Pump["state"]) << Pump.dump();
      } else {
        EXPECT_EQ(S.Value, 0.0);
      }
    }
    EXPECT_EQ(Series, 8) << Pump.dump();
    EXPECT_EQ(Ones, 1) << Pump.dump();
    EXPECT_EQ(Read.Value("de30_pump_last_status_code", {{"line", Line}, {"pump", Address}}),
              Pump["last_code"].get<double>());
  }
  EXPECT_EQ(
      Read.Value("de30_pump_state", {{"line", "1"}, {"pump", "1"}, {"state", "completed"}}),
      1.0);

  // Sales by state, as the journal holds them.
  double AllSales = 0;
  for (const char *State : {"open", "payable", "locked", "cleared"}) {
    const auto Listed = Get(std::string("/api/v1/sales?state=") + State).Body.size();
    EXPECT_EQ(Read.Value("de30_journal_sales", {{"state", State}}), static_cast<double>(Listed))
        << State;
    AllSales += static_cast<double>(Listed);
  }
  EXPECT_EQ(AllSales, 2.0);
  EXPECT_EQ(Read.Value("de30_journal_sales", {{"state", "locked"}}), 1.0);
  // The journal's size: its pages are in the file or in the write-ahead log.
  const auto Size = Read.Value("de30_journal_size_bytes");
  ASSERT_TRUE(Size);
  const auto File = Dir.Path() / "journal.db";
  const auto Db = static_cast<double>(std::filesystem::file_size(File));
  const auto Wal = static_cast<double>(std::filesystem::file_size(File.string() + "-wal"));
  EXPECT_GE(*Size, Wal);
  EXPECT_LE(*Size, Db + 2 * Wal);
  EXPECT_GT(*Size, 4096.0);

  EXPECT_EQ(Read.Value("de30_station_info", {{"station", "de30-simulated"}}), 1.0);
  ASSERT_NE(Read.Family("de30_build_info"), nullptr);
  ASSERT_EQ(Read.Family("de30_build_info")->Samples.size(), 1u);
  EXPECT_EQ(Read.Family("de30_build_info")->Samples[0].Labels.at("version").rfind("1.", 0), 0u);
  // Without an uplink its metrics are left out, not shown as zero.
  for (const auto &Family : Read.Families)
    EXPECT_EQ(Family.Name.rfind("de30_uplink_", 0), std::string::npos) << Family.Name;
}

TEST_F(Metrics, CyclesFallIntoTheBucketsOfTheirTime) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  TJson Lines;
  do {
    Lines = Get("/api/v1/lines").Body;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while ((Lines[0]["cycles"] < 20 || Lines[1]["cycles"] < 20) &&
           std::chrono::steady_clock::now() < Deadline);
  const auto Read = ReadExposition(Scrape());
  ASSERT_TRUE(Read.Faults.empty()) << Faults(Read);
  // The simulated line answers at once: its cycles fall into the first buckets,
  // none takes seconds, and every one is counted in the buckets above its own.
  for (const auto &Line : Lines) {
    const std::string L = Line["line"].dump();
    const auto Bucket = [&](const char *Le) {
      return *Read.Value("de30_line_cycle_duration_seconds_bucket", {{"line", L}, {"le", Le}});
    };
    const auto Count = *Read.Value("de30_line_cycle_duration_seconds_count", {{"line", L}});
    EXPECT_GE(Count, Line["cycles"].get<double>());
    EXPECT_GT(Bucket("0.05"), 0.0);
    EXPECT_EQ(Bucket("5"), Count);
    EXPECT_EQ(Bucket("+Inf"), Count);
    const auto Sum = *Read.Value("de30_line_cycle_duration_seconds_sum", {{"line", L}});
    EXPECT_GT(Sum, 0.0);
    EXPECT_LT(Sum, 5.0 * Count);
  }
}

class OddlyNamedStation : public Metrics {
protected:
  static constexpr const char *Odd = "north \"7\"\\east\nline";
  void Adjust(station::TStationConfig &Config) override { Config.StationId = Odd; }
};

TEST_F(OddlyNamedStation, ItsIdIsEscapedInTheScrapeAndReadsBackWhole) {
  const std::string Text = Scrape();
  EXPECT_NE(Text.find("{station=\"north \\\"7\\\"\\\\east\\nline\"}"), std::string::npos)
      << Text;
  const auto Read = ReadExposition(Text);
  EXPECT_TRUE(Read.Faults.empty()) << Faults(Read);
  EXPECT_EQ(Read.Value("de30_station_info", {{"station", Odd}}), 1.0);
}

} // namespace
