// Recorded station runs: every capture of tests/station/runs replayed through the
// station core and compared exactly with the run's expected file; a spoilt
// capture must be caught; a recording must be the same file every time.

#include "protocol/vocabulary.hpp"
#include "station/recorded_run.hpp"
#include "station/run_channel.hpp"
#include "station/run_output.hpp"
#include "station/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace de30::station::runs {
namespace {

namespace fs = std::filesystem;

const fs::path RunsDir = DE30_RUNS_DIR;

std::vector<std::string> RunNames() {
  std::vector<std::string> Names;
  for (const auto &Entry : fs::directory_iterator(RunsDir))
    if (Entry.path().extension() == ".toml")
      Names.push_back(Entry.path().stem().string());
  std::sort(Names.begin(), Names.end());
  return Names;
}

std::string ReadFile(const fs::path &File) {
  std::ifstream In(File, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

struct TRunFiles {
  TRunScenario Scenario;
  std::vector<capture::TCapturedExchange> Captured;
  std::string Expected;
};

TRunFiles Load(const std::string &Name) {
  TRunFiles Files;
  Files.Scenario = LoadScenario(RunsDir / (Name + ".toml"));
  Files.Captured = LineExchanges(RunsDir / (Name + ".pcapng"), Files.Scenario.CaptureLine);
  Files.Expected = ReadFile(RunsDir / (Name + ".expected"));
  return Files;
}

// Empty when the replay did what the expected file says; otherwise why not.
std::string Judge(const TRunResult &Result, const std::string &Expected) {
  if (!Result.Divergence.empty())
    return "the station left the recorded run at " + Result.Divergence + "\n" +
           FirstDifference(Expected, Result.Text);
  if (!Result.Finished)
    return "the run stalled after " + std::to_string(Result.Exchanges) + " exchanges";
  return FirstDifference(Expected, Result.Text);
}

class RecordedRun : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordedRun, ReplaysToExactlyItsExpectedText) {
  const TRunFiles Files = Load(GetParam());
  ASSERT_GE(Files.Captured.size(), Files.Scenario.Exchanges)
      << "the capture does not hold the run's exchanges: record it again";
  const TRunResult Result = ReplayRun(Files.Scenario, Files.Captured);
  EXPECT_EQ(Result.Exchanges, Files.Scenario.Exchanges);
  EXPECT_EQ(Judge(Result, Files.Expected), "");
}

// Recording is deterministic: the same scenario gives the same capture, byte for
// byte, and the same text; and the replay of a fresh recording gives the text of
// the recording, so that replay puts the station through what recording did.
TEST_P(RecordedRun, RecordsTheSameFileEveryTimeAndReplaysToItsOwnText) {
  const TRunScenario Scenario = LoadScenario(RunsDir / (GetParam() + ".toml"));
  test::TTempDir Dir;
  const TRunResult First = RecordRun(Scenario, Dir / "first.pcapng");
  const TRunResult Second = RecordRun(Scenario, Dir / "second.pcapng");
  ASSERT_TRUE(First.Finished);
  EXPECT_TRUE(First.Problems.empty());
  EXPECT_EQ(First.Exchanges, Scenario.Exchanges);
  EXPECT_EQ(FirstDifference(First.Text, Second.Text), "");
  EXPECT_TRUE(ReadFile(Dir / "first.pcapng") == ReadFile(Dir / "second.pcapng"));
  const TRunResult Replayed = ReplayRun(Scenario, LineExchanges(Dir / "first.pcapng"));
  EXPECT_EQ(Judge(Replayed, First.Text), "");
}

INSTANTIATE_TEST_SUITE_P(Runs, RecordedRun, ::testing::ValuesIn(RunNames()),
                         [](const ::testing::TestParamInfo<std::string> &Info) {
                           std::string Name = Info.param;
                           std::replace_if(
                               Name.begin(), Name.end(),
                               [](char C) {
                                 return !std::isalnum(static_cast<unsigned char>(C));
                               },
                               '_');
                           return Name;
                         });

TEST(RecordedRuns, EveryScenarioHasItsCaptureAndExpectedText) {
  const std::vector<std::string> Names = RunNames();
  EXPECT_GE(Names.size(), 8u);
  for (const std::string &Name : Names) {
    EXPECT_TRUE(fs::exists(RunsDir / (Name + ".pcapng"))) << Name;
    EXPECT_TRUE(fs::exists(RunsDir / (Name + ".expected"))) << Name;
  }
}

// --- A spoilt capture is caught -------------------------------------------------

// The run every spoilt capture is made from: three pumps, sales on each.
constexpr char SpoiltRun[] = "three_pumps_api_presets";

bool IsFillRead(const capture::TCapturedExchange &Exchange) {
  return Exchange.Frame.size() > 2 &&
         protocol::LeadCommand(Exchange.Frame[1]) == protocol::CmdRead &&
         Exchange.Frame[1] != protocol::TotalsLead && Exchange.Frame[2] == protocol::CodeFill;
}

// The last accepted fill reading with fuel in it: the final reading of the run's
// last sale.
std::size_t FinalFillRead(const std::vector<capture::TCapturedExchange> &Captured) {
  for (std::size_t I = Captured.size(); I-- > 0;) {
    const capture::TCapturedExchange &Exchange = Captured[I];
    if (IsFillRead(Exchange) && Exchange.Outcome == capture::TOutcome::Accepted &&
        protocol::FillVolumeOf(Exchange.Reply.data()) > 0)
      return I;
  }
  ADD_FAILURE() << "the run holds no fill reading with fuel";
  return 0;
}

std::string Litres(std::int64_t Hundredths) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "volume=%.2f", static_cast<double>(Hundredths) / 100.0);
  return Text;
}

struct TSpoilt {
  const char *Name; // what is spoilt, as the test's name
  // Spoils the capture; returns what the report or the replay's text must show.
  std::function<std::string(std::vector<capture::TCapturedExchange> &)> Spoil;
  bool Diverges; // the station's frames part from the capture's
};

const TSpoilt SpoiltCases[] = {
    {"TenMoreLitresInTheFinalFillReading",
     [](std::vector<capture::TCapturedExchange> &Captured) {
       capture::TCapturedExchange &Final = Captured[FinalFillRead(Captured)];
       const std::int64_t Volume = protocol::FillVolumeOf(Final.Reply.data()) + 1000;
       protocol::PutBCDAtEverySecond(Volume, Final.Reply.data() + protocol::FillVolumeAt,
                                     protocol::FillValueBytes);
       return Litres(Volume);
     },
     false},
    {"TheFinalFillReadingLost",
     [](std::vector<capture::TCapturedExchange> &Captured) {
       // The station reads the fill again at once, where the capture holds the
       // totals that followed the reading.
       const std::size_t At = FinalFillRead(Captured);
       Captured[At].Reply.clear();
       Captured[At].Outcome = capture::TOutcome::Timeout;
       return "exchange " + std::to_string(At + 2) + ": the station sent " +
              Hex(Captured[At].Frame) + ", the capture holds " + Hex(Captured[At + 1].Frame);
     },
     true},
    {"AFrameTheStationNeverSent",
     [](std::vector<capture::TCapturedExchange> &Captured) {
       const std::size_t At = Captured.size() / 2;
       Captured[At].Frame.back() ^= 0x01;
       return "exchange " + std::to_string(At + 1) + ":";
     },
     true},
};

// How the test lists name a case.
void PrintTo(const TSpoilt &Case, std::ostream *Out) { *Out << Case.Name; }

class SpoiltCapture : public ::testing::TestWithParam<TSpoilt> {};

TEST_P(SpoiltCapture, IsCaughtByTheReplay) {
  TRunFiles Files = Load(SpoiltRun);
  const std::string Shows = GetParam().Spoil(Files.Captured);
  const TRunResult Result = ReplayRun(Files.Scenario, Files.Captured);
  const std::string Report = Judge(Result, Files.Expected);
  EXPECT_NE(Report, "");
  EXPECT_EQ(!Result.Divergence.empty(), GetParam().Diverges) << Result.Divergence;
  EXPECT_NE((Report + Result.Text).find(Shows), std::string::npos)
      << "expected to see \"" << Shows << "\" in:\n"
      << Report;
}

INSTANTIATE_TEST_SUITE_P(Spoilt, SpoiltCapture, ::testing::ValuesIn(SpoiltCases),
                         [](const ::testing::TestParamInfo<TSpoilt> &Info) {
                           return std::string(Info.param.Name);
                         });

// --- Scenarios ----------------------------------------------------------------------

constexpr char GoodStart[] = R"(exchanges = 50
[station]
grades = { 1 = "A-95" }
prices = { 1 = 1.50 }
[[pump]]
address = 1
nozzles = [1]
)";

struct TBadScenario {
  const char *Name;
  const char *Tail; // appended to GoodStart
  const char *Says;
};

const TBadScenario BadScenarios[] = {
    {"AnUnknownKey", "[[step]]\nat = 3\ndo = \"hang\"\npump = 1\nnozle = 1\n",
     "bad.toml:12: step[0].nozle: unknown key"},
    {"AnUnknownStep", "[[step]]\nat = 3\ndo = \"dance\"\npump = 1\n",
     "step[0].do: one of lift"},
    {"AStepForAPumpNotThere", "[[step]]\nat = 3\ndo = \"lift\"\npump = 2\nnozzle = 1\n",
     "step[0].pump: no such pump"},
    {"AStepPastTheRun", "[[step]]\nat = 51\ndo = \"hang\"\npump = 1\n",
     "step[0].at: lies in 1..50"},
    {"AnUnknownFault", "[[step]]\nat = 3\ndo = \"fault\"\npump = 1\nkind = \"gremlin\"\n",
     "step[0].kind"},
    {"AnUnknownAim",
     "[[step]]\nat = 3\ndo = \"fault\"\npump = 1\nkind = \"no-reply\"\ncommand = \"fly\"\n",
     "step[0].command: one of poll"},
    {"TwoPresets", "[[step]]\nat = 3\ndo = \"authorise\"\npump = 1\nlitres = 2\nmoney = 3\n",
     "not both"},
    {"ThreeDecimals", "[[step]]\nat = 3\ndo = \"authorise\"\npump = 1\nlitres = 2.001\n",
     "two decimals"},
    {"StepsOutOfOrder",
     "[[step]]\nat = 9\ndo = \"hang\"\npump = 1\n[[step]]\nat = 4\ndo = \"hang\"\npump = 1\n",
     "step[1].at: steps are written in the order they happen"},
};

void PrintTo(const TBadScenario &Case, std::ostream *Out) { *Out << Case.Name; }

class BadScenario : public ::testing::TestWithParam<TBadScenario> {};

TEST_P(BadScenario, IsRefusedNamingTheKey) {
  try {
    ParseScenario(std::string(GoodStart) + GetParam().Tail, "bad");
    FAIL() << "accepted";
  } catch (const EScenarioError &Error) {
    EXPECT_NE(std::string(Error.what()).find(GetParam().Says), std::string::npos)
        << Error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Refused, BadScenario, ::testing::ValuesIn(BadScenarios),
                         [](const ::testing::TestParamInfo<TBadScenario> &Info) {
                           return std::string(Info.param.Name);
                         });

TEST(RecordedRuns, AGoodScenarioReadsAsWritten) {
  const TRunScenario Scenario = ParseScenario(
      std::string(GoodStart) + "[[step]]\nat = 7\ndo = \"authorise\"\npump = 1\nmoney = 6\n"
                               "grade = 1\n[[step]]\nat = 9\ndo = \"fault\"\npump = 1\n"
                               "kind = \"no-reply\"\ncommand = \"start-execute\"\ntimes = 2\n",
      "good");
  EXPECT_EQ(Scenario.Exchanges, 50u);
  ASSERT_EQ(Scenario.Steps.size(), 2u);
  EXPECT_EQ(Scenario.Steps[0].Describe(), "authorise 1:1 money 6.00 grade 1");
  EXPECT_EQ(Scenario.Steps[1].Fault.Times, 2);
  EXPECT_EQ(Scenario.Steps[1].Fault.Pump, 1);
  EXPECT_EQ(Scenario.Steps[1].Fault.Aim.Kind, sim::TFrameKind::Execute);
  EXPECT_EQ(Scenario.Steps[1].Fault.Aim.Action, sim::TSetAction::Start);
}

} // namespace
} // namespace de30::station::runs
