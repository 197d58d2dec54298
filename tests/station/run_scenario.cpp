#include "station/run_scenario.hpp"

#include "station/toml_table_reader.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace de30::station::runs {

namespace {

constexpr int MaxPumpAddress = 31;
constexpr int MaxNozzles = 4;
constexpr int MaxGrade = 99; // the station's own grade numbers

std::string Money(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

TTotalsLayout StationLayout(TTableReader &Reader, const toml::table &Table) {
  const auto Name = Reader.Text("totals");
  if (!Name || *Name == "unknown")
    return TTotalsLayout::Unknown;
  if (*Name == "sum")
    return TTotalsLayout::Sum;
  if (*Name == "per_nozzle")
    return TTotalsLayout::PerNozzle;
  Reader.Fail(Table, "totals", "\"sum\", \"per_nozzle\" or \"unknown\" is wanted");
}

sim::TTotalsLayout SimLayout(TTableReader &Reader, const toml::table &Table) {
  const auto Name = Reader.Text("sim_totals");
  if (!Name || *Name == "sum")
    return sim::TTotalsLayout::Sum;
  if (*Name == "per_nozzle")
    return sim::TTotalsLayout::PerNozzle;
  Reader.Fail(Table, "sim_totals", "\"sum\" or \"per_nozzle\" is wanted");
}

TRunPump ReadPump(TTableReader &Reader, const toml::table &Table) {
  TRunPump Pump;
  Pump.Address = static_cast<int>(Reader.NeedInt("address", 1, MaxPumpAddress));
  const toml::node *Nozzles = Reader.Find("nozzles");
  if (Nozzles == nullptr || !Nozzles->is_array())
    Reader.Fail(LineOf(Table), "nozzles", "an array of grade numbers is wanted");
  for (const toml::node &Grade : *Nozzles->as_array()) {
    if (!Grade.is_integer())
      Reader.Fail(Grade, "nozzles", "grade numbers are wanted");
    Pump.Grades.push_back(static_cast<int>(Grade.as_integer()->get()));
  }
  if (Pump.Grades.empty() || Pump.Grades.size() > static_cast<std::size_t>(MaxNozzles))
    Reader.Fail(*Nozzles, "nozzles", "one to four nozzles");
  Pump.AutoAuthorize = Reader.Flag("auto_authorize");
  Pump.Totals = StationLayout(Reader, Table);
  Pump.SimTotals = SimLayout(Reader, Table);
  if (const auto Flow = Reader.Amount("flow")) {
    Pump.FlowRate = std::llround(*Flow * 100.0);
    if (Pump.FlowRate <= 0)
      Reader.Fail(LineOf(Table), "flow", "litres a second, above 0");
  }
  if (const auto Delay = Reader.Int("start_delay_ms", 0, 60000))
    Pump.StartDelayMs = *Delay;
  if (const auto Overrun = Reader.Amount("overrun")) {
    Pump.Overrun = std::llround(*Overrun * 100.0);
    if (Pump.Overrun < 0)
      Reader.Fail(LineOf(Table), "overrun", "litres past the dose, 0 or more");
  }
  Reader.Done();
  return Pump;
}

TRunStep::TKind KindOf(TTableReader &Reader, const toml::table &Table) {
  static const std::map<std::string, TRunStep::TKind> Kinds = {
      {"lift", TRunStep::TKind::Lift},     {"hang", TRunStep::TKind::Hang},
      {"fault", TRunStep::TKind::Fault},   {"authorise", TRunStep::TKind::Authorise},
      {"stop", TRunStep::TKind::Stop},     {"prices", TRunStep::TKind::Prices},
      {"manual", TRunStep::TKind::Manual}, {"automatic", TRunStep::TKind::Automatic},
  };
  const auto Name = Reader.Text("do");
  if (!Name)
    Reader.Fail(LineOf(Table), "do", "missing");
  const auto Kind = Kinds.find(*Name);
  if (Kind == Kinds.end())
    Reader.Fail(LineOf(Table), "do",
                "one of lift, hang, fault, authorise, stop, prices, manual, automatic is "
                "wanted");
  return Kind->second;
}

void ReadFault(TTableReader &Reader, const toml::table &Table, TRunStep &Step) {
  const auto Kind = Reader.Text("kind");
  const auto Fault = Kind ? sim::FaultByName(*Kind) : std::nullopt;
  if (!Fault)
    Reader.Fail(LineOf(Table), "kind",
                "a fault kind is wanted (no-reply, late-reply, wrong-echo, corrupt-digits, "
                "drop-byte, error-status, stray-byte)");
  Step.Fault.Kind = *Fault;
  Step.Fault.Line = RunLine;
  Step.Fault.Pump = Step.Pump;
  if (const auto Command = Reader.Text("command")) {
    const auto Aim = sim::AimByName(*Command);
    if (!Aim)
      Reader.Fail(LineOf(Table), "command", "one of " + sim::AimNames() + " is wanted");
    Step.Fault.Aim = *Aim;
  }
  Step.Fault.Times = static_cast<int>(Reader.Int("times", -1, 1000).value_or(1));
  if (const auto Delay = Reader.Int("delay_ms", 0, 60000))
    Step.Fault.DelayMs = *Delay;
  if (const auto Status = Reader.Int("status", 0, 255))
    Step.Fault.Status = static_cast<std::uint8_t>(*Status);
  if (const auto Noise = Reader.Int("noise", 0, 255))
    Step.Fault.Noise = static_cast<std::uint8_t>(*Noise);
}

TRunStep ReadStep(TTableReader &Reader, const toml::table &Table, std::uint32_t Exchanges) {
  TRunStep Step;
  Step.SourceLine = LineOf(Table);
  Step.At = static_cast<std::uint32_t>(Reader.NeedInt("at", 1, Exchanges));
  Step.Kind = KindOf(Reader, Table);
  using TKind = TRunStep::TKind;
  if (Step.Kind != TKind::Prices)
    Step.Pump = static_cast<int>(Reader.NeedInt("pump", 1, MaxPumpAddress));
  switch (Step.Kind) {
  case TKind::Lift:
    Step.Nozzle = static_cast<int>(Reader.NeedInt("nozzle", 1, MaxNozzles));
    break;
  case TKind::Hang:
  case TKind::Stop:
  case TKind::Manual:
  case TKind::Automatic:
    break;
  case TKind::Fault:
    ReadFault(Reader, Table, Step);
    break;
  case TKind::Authorise: {
    const auto Litres = Reader.Amount("litres");
    const auto Money = Reader.Amount("money");
    if (Litres && Money)
      Reader.Fail(Step.SourceLine, "litres", "a preset in litres or in money, not both");
    if (Litres)
      Step.Preset = {TPreset::TKind::Litres, *Litres};
    if (Money)
      Step.Preset = {TPreset::TKind::Money, *Money};
    if (const auto Grade = Reader.Int("grade", 1, MaxGrade))
      Step.Grade = static_cast<int>(*Grade);
    break;
  }
  case TKind::Prices:
    Step.Prices = Reader.Prices("prices");
    if (Step.Prices.empty())
      Reader.Fail(Step.SourceLine, "prices", "at least one grade's price is wanted");
    break;
  }
  Reader.Done();
  return Step;
}

} // namespace

bool TRunStep::ByPos() const {
  return Kind == TKind::Authorise || Kind == TKind::Stop || Kind == TKind::Prices;
}

std::string TRunStep::Describe() const {
  const std::string Pumped = std::to_string(RunLine) + ":" + std::to_string(Pump);
  switch (Kind) {
  case TKind::Lift:
    return "lift " + Pumped + " nozzle " + std::to_string(Nozzle);
  case TKind::Hang:
    return "hang " + Pumped;
  case TKind::Fault:
    return "fault " + Pumped;
  case TKind::Authorise: {
    std::string Text = "authorise " + Pumped;
    if (Preset.Kind == TPreset::TKind::Litres)
      Text += " litres " + Money(Preset.Value);
    if (Preset.Kind == TPreset::TKind::Money)
      Text += " money " + Money(Preset.Value);
    if (Grade)
      Text += " grade " + std::to_string(*Grade);
    return Text;
  }
  case TKind::Stop:
    return "stop " + Pumped;
  case TKind::Manual:
    return "manual " + Pumped;
  case TKind::Automatic:
    return "automatic " + Pumped;
  case TKind::Prices: {
    std::string Text = "prices";
    for (const auto &[Number, Price] : Prices)
      Text += " " + std::to_string(Number) + "=" + Money(Price);
    return Text;
  }
  }
  return "?";
}

TRunScenario ParseScenario(const std::string &Text, const std::string &Name) {
  const std::string File = Name + ".toml";
  toml::table Root;
  try {
    Root = toml::parse(Text, File);
  } catch (const toml::parse_error &Error) {
    throw EScenarioError(File + ":" + std::to_string(Error.source().begin.line) + ": " +
                         std::string(Error.description()));
  }
  TRunScenario Scenario;
  Scenario.Name = Name;
  TTableReader Top(Root, File, "");
  Scenario.Description = Top.Text("description").value_or("");
  Scenario.Exchanges = static_cast<std::uint32_t>(Top.NeedInt("exchanges", 1, 100000));
  Scenario.CaptureLine = static_cast<int>(Top.Int("capture_line", 1, 32).value_or(RunLine));

  const toml::node *StationNode = Top.Find("station");
  if (StationNode == nullptr || !StationNode->is_table())
    Top.Fail(0, "station", "a table is wanted");
  const toml::table &StationTable = *StationNode->as_table();
  TTableReader Station(StationTable, File, "station");
  for (const auto &[Number, Node] : Station.ByGrade("grades")) {
    if (!Node->is_string())
      Station.Fail(*Node, "grades." + std::to_string(Number), "a name is wanted");
    Scenario.Grades.push_back({Number, Node->as_string()->get()});
  }
  if (Scenario.Grades.empty())
    Station.Fail(LineOf(StationTable), "grades", "at least one grade is wanted");
  Scenario.Prices = Station.Prices("prices");
  Scenario.TimeoutMs = Station.Int("timeout_ms", 50, 60000).value_or(Scenario.TimeoutMs);
  Scenario.OfflineAfter =
      static_cast<int>(Station.Int("offline_after", 1, 1000).value_or(Scenario.OfflineAfter));
  Scenario.OfflineBackoffMs =
      Station.Int("offline_backoff_ms", 100, 600000).value_or(Scenario.OfflineBackoffMs);
  Scenario.OfflineProbeMs =
      Station.Int("offline_probe_ms", 20, 60000).value_or(Scenario.OfflineProbeMs);
  Scenario.UnknownStartMs =
      Station.Int("unknown_start_ms", 100, 600000).value_or(Scenario.UnknownStartMs);
  Scenario.CallingSettleMs =
      Station.Int("calling_settle_ms", 100, 600000).value_or(Scenario.CallingSettleMs);
  Scenario.AuthorizeTimeoutS =
      Station.Int("authorize_timeout_s", 5, 3600).value_or(Scenario.AuthorizeTimeoutS);
  Station.Done();

  const toml::node *Pumps = Top.Find("pump");
  if (Pumps == nullptr || !Pumps->is_array_of_tables())
    Top.Fail(0, "pump", "one [[pump]] table or more is wanted");
  std::set<int> Addresses;
  for (const toml::node &Node : *Pumps->as_array()) {
    const toml::table &Table = *Node.as_table();
    TTableReader Reader(Table, File, "pump[" + std::to_string(Scenario.Pumps.size()) + "]");
    TRunPump Pump = ReadPump(Reader, Table);
    if (!Addresses.insert(Pump.Address).second)
      Reader.Fail(Table, "address", "two pumps at one address");
    for (int Grade : Pump.Grades) {
      bool Known = false;
      for (const TGrade &G : Scenario.Grades)
        Known = Known || G.Number == Grade;
      if (!Known)
        Reader.Fail(Table, "nozzles", "grade " + std::to_string(Grade) + " is not a grade");
    }
    Scenario.Pumps.push_back(std::move(Pump));
  }

  if (const toml::node *Steps = Top.Find("step")) {
    if (!Steps->is_array_of_tables())
      Top.Fail(*Steps, "step", "[[step]] tables are wanted");
    for (const toml::node &Node : *Steps->as_array()) {
      const toml::table &Table = *Node.as_table();
      TTableReader Reader(Table, File, "step[" + std::to_string(Scenario.Steps.size()) + "]");
      TRunStep Step = ReadStep(Reader, Table, Scenario.Exchanges);
      if (Step.Kind != TRunStep::TKind::Prices && !Addresses.contains(Step.Pump))
        Reader.Fail(Table, "pump", "no such pump in the run");
      if (!Scenario.Steps.empty() && Step.At < Scenario.Steps.back().At)
        Reader.Fail(Table, "at", "steps are written in the order they happen");
      Scenario.Steps.push_back(std::move(Step));
    }
  }
  Top.Done();
  return Scenario;
}

TRunScenario LoadScenario(const std::filesystem::path &File) {
  std::ifstream In(File, std::ios::binary);
  if (!In)
    throw EScenarioError("cannot read " + File.string());
  std::ostringstream Text;
  Text << In.rdbuf();
  return ParseScenario(Text.str(), File.stem().string());
}

TStationConfig StationOf(const TRunScenario &Scenario, const std::filesystem::path &Journal) {
  TStationConfig Config;
  Config.StationId = "run-" + Scenario.Name;
  Config.Journal = Journal;
  Config.Grades = Scenario.Grades;
  Config.OfflineAfter = Scenario.OfflineAfter;
  Config.OfflineBackoffMax = std::chrono::milliseconds(Scenario.OfflineBackoffMs);
  Config.OfflineProbeTimeout = std::chrono::milliseconds(Scenario.OfflineProbeMs);
  Config.UnknownStartTimeout = std::chrono::milliseconds(Scenario.UnknownStartMs);
  Config.CallingSettle = std::chrono::milliseconds(Scenario.CallingSettleMs);
  Config.AuthorizeTimeout = std::chrono::seconds(Scenario.AuthorizeTimeoutS);
  TLineConfig Line;
  Line.Number = RunLine;
  Line.Serial = "recorded";
  Line.Timeout = std::chrono::milliseconds(Scenario.TimeoutMs);
  Config.Lines = {Line};
  for (const TRunPump &Pump : Scenario.Pumps) {
    TPumpConfig Station;
    Station.Line = RunLine;
    Station.Address = Pump.Address;
    Station.Nozzles = Pump.Grades;
    Station.AutoAuthorize = Pump.AutoAuthorize;
    Station.Totals = Pump.Totals;
    Config.Pumps.push_back(std::move(Station));
  }
  return Config;
}

} // namespace de30::station::runs
