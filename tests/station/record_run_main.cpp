// de30_record_run: records station runs again from their scenarios. For each
// NAME it runs tests/station/runs/NAME.toml against the simulated station and
// writes NAME.pcapng (every exchange of the line) and NAME.expected (what the
// station did). A recording is kept only when it replays to the very same text,
// so that what is committed is what the tests will compare.
//
// With --replay it records nothing: it replays the capture already there and
// writes only NAME.expected. That is how a capture taken in the field gets its
// expected text, and how the texts follow a change of the station's behaviour
// that leaves its frames as they were.
//
//   de30_record_run [--runs DIR] [--replay] NAME...   the named runs
//   de30_record_run [--runs DIR] [--replay] --all     every run of the folder

#include "station/recorded_run.hpp"
#include "station/run_output.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace de30::station::runs;

namespace {

int Usage() {
  std::cerr << "usage: de30_record_run [--runs DIR] [--replay] NAME... | --all\n";
  return 2;
}

std::size_t LineCount(const std::string &Text) {
  return static_cast<std::size_t>(std::count(Text.begin(), Text.end(), '\n'));
}

bool Replay(const fs::path &Runs, const std::string &Name) {
  const TRunScenario Scenario = LoadScenario(Runs / (Name + ".toml"));
  const auto Captured = LineExchanges(Runs / (Name + ".pcapng"), Scenario.CaptureLine);
  const TRunResult Replayed = ReplayRun(Scenario, Captured);
  std::string Problem;
  if (Captured.size() < Scenario.Exchanges)
    Problem = "the capture holds " + std::to_string(Captured.size()) + " exchanges, the run " +
              std::to_string(Scenario.Exchanges);
  else if (!Replayed.Divergence.empty())
    Problem = "the station left the capture at " + Replayed.Divergence;
  else if (!Replayed.Finished)
    Problem = "the run stalled after " + std::to_string(Replayed.Exchanges) + " exchanges";
  if (!Problem.empty()) {
    std::cerr << Name << ": " << Problem << "\n";
    return false;
  }
  std::ofstream(Runs / (Name + ".expected"), std::ios::binary) << Replayed.Text;
  std::cout << Name << ": " << Replayed.Exchanges << " exchanges replayed, "
            << LineCount(Replayed.Text) << " lines; wrote " << Name << ".expected\n";
  return true;
}

bool Record(const fs::path &Runs, const std::string &Name) {
  const TRunScenario Scenario = LoadScenario(Runs / (Name + ".toml"));
  const fs::path Capture = Runs / (Name + ".pcapng");
  const fs::path Fresh = Runs / (Name + ".pcapng.new");
  const TRunResult Recorded = RecordRun(Scenario, Fresh);
  std::vector<std::string> Problems = Recorded.Problems;
  if (!Recorded.Finished)
    Problems.push_back("the run stalled after " + std::to_string(Recorded.Exchanges) +
                       " exchanges");
  if (Problems.empty()) {
    const TRunResult Replayed = ReplayRun(Scenario, LineExchanges(Fresh));
    if (!Replayed.Divergence.empty())
      Problems.push_back("its replay diverged: " + Replayed.Divergence);
    else if (const std::string Difference = FirstDifference(Recorded.Text, Replayed.Text);
             !Difference.empty())
      Problems.push_back("its replay does not give the recorded text:\n" + Difference);
  }
  if (!Problems.empty()) {
    fs::remove(Fresh);
    for (const std::string &Problem : Problems)
      std::cerr << Name << ": " << Problem << "\n";
    return false;
  }
  fs::rename(Fresh, Capture);
  std::ofstream(Runs / (Name + ".expected"), std::ios::binary) << Recorded.Text;
  std::cout << Name << ": " << Recorded.Exchanges << " exchanges, " << LineCount(Recorded.Text)
            << " lines; wrote " << Capture.filename().string() << " and " << Name
            << ".expected\n";
  return true;
}

} // namespace

int main(int argc, char **argv) {
  fs::path Runs = DE30_RUNS_DIR;
  std::vector<std::string> Names;
  bool All = false;
  bool ReplayOnly = false;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    if (Arg == "--runs" && I + 1 < argc)
      Runs = argv[++I];
    else if (Arg == "--replay")
      ReplayOnly = true;
    else if (Arg == "--all")
      All = true;
    else if (!Arg.empty() && Arg[0] != '-')
      Names.push_back(fs::path(Arg).stem().string());
    else
      return Usage();
  }
  if (All)
    for (const auto &Entry : fs::directory_iterator(Runs))
      if (Entry.path().extension() == ".toml")
        Names.push_back(Entry.path().stem().string());
  if (Names.empty())
    return Usage();
  std::sort(Names.begin(), Names.end());
  bool Ok = true;
  for (const std::string &Name : Names) {
    try {
      Ok = (ReplayOnly ? Replay(Runs, Name) : Record(Runs, Name)) && Ok;
    } catch (const std::exception &Error) {
      std::cerr << Name << ": " << Error.what() << "\n";
      Ok = false;
    }
  }
  return Ok ? 0 : 1;
}
