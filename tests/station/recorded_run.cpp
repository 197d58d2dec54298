#include "station/recorded_run.hpp"

#include "capture/reader.hpp"
#include "capture/writer.hpp"
#include "sim/clock.hpp"
#include "sim/station.hpp"
#include "station/run_channel.hpp"
#include "station/run_output.hpp"
#include "station/station.hpp"
#include "station/temp_dir.hpp"

#include <algorithm>
#include <chrono>
#include <future>

namespace de30::station::runs {

namespace {

using namespace std::chrono_literals;

// A run takes well under a second of real time; one that has not ended after
// this long has stalled (a line worker that stopped making exchanges).
constexpr auto StallLimit = 120s;

using TChannelMaker = std::function<std::unique_ptr<TRunChannel>(TRunHooks)>;

// One run of a scenario: the station on the run's clock, its events, its POS.
// Everything but Go runs on the line worker's thread, between exchanges.
class TRun {
public:
  explicit TRun(const TRunScenario &Given) : Scenario(Given), Pauser(Clock) {}

  sim::TManualClock Clock;
  // Recording: the customers and faults act on it. Replay: null, the capture
  // holds what they did.
  sim::TSimStation *Sim = nullptr;
  // Replay: whether the station has sent a frame the capture does not hold.
  std::function<bool()> Diverged = [] { return false; };

  TRunResult Go(const TChannelMaker &MakeChannel) {
    TStationOptions Options;
    Options.Channels = [this, MakeChannel](const TLineConfig &Line) {
      TRunHooks Hooks;
      Hooks.Before = [this](std::uint32_t Number) { return Before(Number); };
      std::unique_ptr<TRunChannel> Channel = MakeChannel(std::move(Hooks));
      // As the station's own serial and TCP lines are set up.
      Channel->SetReplyTimeout(Line.Timeout);
      return std::unique_ptr<TComChannel>(std::move(Channel));
    };
    Options.Pauser = &Pauser;
    Options.IdleCycleMs = 0;
    Options.Clock = [this] { return Clock.NowMs(); };
    Options.Idle = [this](std::int64_t Ms) { Clock.Advance(Ms); };
    Station = std::make_unique<TStation>(StationOf(Scenario, Dir / "journal.db"), Options);
    Events = Station->Events().Subscribe();
    if (!Scenario.Prices.empty()) {
      const TCommandResult Set = Station->SetPrices(Scenario.Prices);
      if (!Set.Ok())
        throw EScenarioError(Scenario.Name +
                             ": the station refused its prices: " + Set.Message);
    }
    std::future<void> Ended = Over.get_future();
    Station->Start();
    const bool Finished = Ended.wait_for(StallLimit) == std::future_status::ready;
    Station->Stop();
    if (!Finished)
      Finish(Made); // the worker has stopped: what the run came to so far
    Result.Finished = Finished;
    return Result;
  }

private:
  bool Before(std::uint32_t Number) {
    if (Done)
      return false;
    Made = Number - 1;
    Drain();
    if (Number > Scenario.Exchanges || Diverged()) {
      Finish(Made);
      Over.set_value();
      return false;
    }
    while (Next < Scenario.Steps.size() && Scenario.Steps[Next].At == Number)
      Fire(Scenario.Steps[Next++]);
    return true;
  }

  // The events published since the last exchange went out, marked with it.
  void Drain() {
    TEvent Event;
    while (Events->Next(Event, 0))
      Log.push_back({Made, Clock.NowMs(), std::move(Event)});
  }

  void Fire(const TRunStep &Step) {
    using TKind = TRunStep::TKind;
    switch (Step.Kind) {
    case TKind::Lift:
      if (Sim != nullptr && !Sim->LiftNozzle(RunLine, Step.Pump, Step.Nozzle))
        Result.Problems.push_back("step at line " + std::to_string(Step.SourceLine) + " (" +
                                  Step.Describe() + "): the pump would not lift it");
      return;
    case TKind::Hang:
      if (Sim != nullptr)
        Sim->HangNozzle(RunLine, Step.Pump);
      return;
    case TKind::Fault:
      if (Sim != nullptr)
        Sim->AddFault(Step.Fault);
      return;
    case TKind::Manual:
    case TKind::Automatic:
      if (Sim != nullptr)
        Sim->SetManual(RunLine, Step.Pump, Step.Kind == TKind::Manual);
      return;
    case TKind::Authorise:
      Commands.push_back({Step.At, Step.Describe(), std::nullopt});
      Answers.push_back(Station->AuthorizeAsync(RunLine, Step.Pump, Step.Preset, Step.Grade));
      return;
    case TKind::Stop:
      Commands.push_back({Step.At, Step.Describe(), std::nullopt});
      Answers.push_back(Station->StopPumpAsync(RunLine, Step.Pump));
      return;
    case TKind::Prices:
      // Recorded in the journal at once; the line sends the lists once the pumps
      // are idle, from its own queue.
      Commands.push_back({Step.At, Step.Describe(), Station->SetPrices(Step.Prices)});
      Answers.emplace_back();
      return;
    }
  }

  void Finish(std::uint32_t Exchanges) {
    Done = true;
    Drain();
    std::vector<TSale> Sales = Station->Journal().Sales(TSaleFilter{std::nullopt, 0, 0, 0});
    std::sort(Sales.begin(), Sales.end(),
              [](const TSale &A, const TSale &B) { return A.Id < B.Id; });
    for (std::size_t I = 0; I < Commands.size(); ++I)
      if (Answers[I].valid() && Answers[I].wait_for(0s) == std::future_status::ready)
        Commands[I].Result = Answers[I].get();
    Result.Text = RunText(Scenario.Name, Log, Sales, Commands);
    Result.Exchanges = Exchanges;
  }

  const TRunScenario &Scenario;
  sim::TClockPauser Pauser;
  test::TTempDir Dir;
  std::unique_ptr<TStation> Station;
  std::shared_ptr<TEventBus::TSubscription> Events;
  std::size_t Next = 0; // the next step of the scenario
  std::uint32_t Made = 0;
  std::vector<TLoggedEvent> Log;
  std::vector<TLoggedCommand> Commands;
  std::vector<std::future<TCommandResult>> Answers; // one per command; none for prices
  bool Done = false;
  std::promise<void> Over;
  TRunResult Result;
};

sim::TPumpConfig SimulatedPump(const TRunPump &Pump) {
  sim::TPumpConfig Simulated;
  Simulated.Address = static_cast<std::uint8_t>(Pump.Address);
  Simulated.Nozzles = static_cast<int>(Pump.Grades.size());
  Simulated.FlowRate = Pump.FlowRate;
  Simulated.StartDelayMs = Pump.StartDelayMs;
  Simulated.Overrun = Pump.Overrun;
  Simulated.Totals = Pump.SimTotals;
  return Simulated;
}

} // namespace

TRunResult RecordRun(const TRunScenario &Scenario, const std::filesystem::path &CaptureFile) {
  if (Scenario.CaptureLine != RunLine)
    throw EScenarioError(Scenario.Name +
                         ": a capture taken in the field is not recorded again");
  TRun Run(Scenario);
  sim::TSimStation Sim(Run.Clock);
  for (const TRunPump &Pump : Scenario.Pumps)
    Sim.AddPump(RunLine, SimulatedPump(Pump));
  Run.Sim = &Sim;
  capture::TCaptureOptions Options;
  Options.Path = CaptureFile.string();
  // No version in it: a recording made by another release is the same file.
  Options.Application = "de30 recorded run";
  Options.SyncEvery = 0ms;
  capture::TCaptureWriter Writer(Options);
  Writer.DescribeLine(RunLine, "simulated station");
  TRunResult Result = Run.Go([&](TRunHooks Hooks) {
    Hooks.After = [&Writer](const channels::TTraceRecord &Record) { Writer.Write(Record); };
    return std::make_unique<TRunChannel>(Run.Clock, Sim, std::move(Hooks));
  });
  Writer.Sync();
  if (!Writer.Failure().empty())
    Result.Problems.push_back("the capture failed: " + Writer.Failure());
  return Result;
}

TRunResult ReplayRun(const TRunScenario &Scenario,
                     const std::vector<capture::TCapturedExchange> &Captured) {
  TRun Run(Scenario);
  TCapturedLine Line(Captured);
  Run.Diverged = [&Line] { return Line.Diverged(); };
  TRunResult Result = Run.Go([&](TRunHooks Hooks) {
    return std::make_unique<TRunChannel>(Run.Clock, Line, std::move(Hooks));
  });
  Result.Divergence = Line.Divergence();
  return Result;
}

std::vector<capture::TCapturedExchange> LineExchanges(const std::filesystem::path &Capture,
                                                      int Line) {
  const capture::TCaptureContents Contents = capture::ReadCapture(Capture.string());
  if (Contents.Truncated || !Contents.Damage.empty())
    throw capture::ECaptureError(Capture.string() + ": damaged: " + Contents.Damage);
  std::vector<capture::TCapturedExchange> Exchanges;
  for (const capture::TCapturedExchange &Exchange : Contents.Exchanges)
    if (Exchange.Line == Line)
      Exchanges.push_back(Exchange);
  return Exchanges;
}

} // namespace de30::station::runs
