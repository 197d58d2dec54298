#include "station/run_output.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

namespace de30::station::runs {

namespace {

// Lines of context a difference is shown with.
constexpr std::size_t ContextLines = 3;

std::string Fixed(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

std::string Seconds(std::int64_t Ms) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%lld.%03lld", static_cast<long long>(Ms / 1000),
                static_cast<long long>(Ms % 1000));
  return Text;
}

std::string Quoted(const std::string &Text) { return "\"" + Text + "\""; }

std::string PresetText(const TPreset &Preset) {
  switch (Preset.Kind) {
  case TPreset::TKind::None:
    return "none";
  case TPreset::TKind::Litres:
    return "litres:" + Fixed(Preset.Value);
  case TPreset::TKind::Money:
    return "money:" + Fixed(Preset.Value);
  }
  return "?";
}

std::string TotalsText(const TTotals &Totals) {
  return Totals.Known ? Fixed(Totals.Volume) + "/" + Fixed(Totals.Amount) : "-";
}

std::string FillText(const TFillReading &Fill) {
  return Fill.Known ? Fixed(Fill.Volume) + "/" + Fixed(Fill.Amount) : "-";
}

std::string FlagsText(const std::vector<std::string> &Flags) {
  std::string Text;
  for (const std::string &Flag : Flags)
    Text += (Text.empty() ? "" : ",") + Flag;
  return Text.empty() ? "-" : Text;
}

std::string PricesText(const std::vector<double> &Prices) {
  std::string Text;
  for (double Price : Prices)
    Text += (Text.empty() ? "" : ",") + Fixed(Price);
  return Text.empty() ? "-" : Text;
}

// What a pre-paid sale was paid and gives back; nothing for a sale paid after.
std::string PrepaidText(const TSale &Sale) {
  if (Sale.Prepaid == 0.0 && Sale.Refund == 0.0)
    return "";
  return " prepaid=" + Fixed(Sale.Prepaid) + " refund=" + Fixed(Sale.Refund);
}

// Every field of a sale but its wall-clock times.
std::string SaleFields(const TSale &Sale) {
  return "id=" + std::to_string(Sale.Id) + " pump=" + Sale.PumpId() +
         " nozzle=" + std::to_string(Sale.Nozzle) + " grade=" + std::to_string(Sale.Grade) +
         " price=" + Fixed(Sale.Price) + " preset=" + PresetText(Sale.Preset) +
         " volume=" + Fixed(Sale.Volume) + " amount=" + Fixed(Sale.Amount) +
         " start=" + TotalsText(Sale.StartTotals) + " end=" + TotalsText(Sale.EndTotals) +
         " baseline=" + FillText(Sale.Baseline) + " state=" + SaleStateName(Sale.State) +
         " locked_by=" + (Sale.LockedBy.empty() ? "-" : Sale.LockedBy) +
         " flags=" + FlagsText(Sale.Flags) + PrepaidText(Sale);
}

std::vector<std::string> Lines(const std::string &Text) {
  std::vector<std::string> All;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);)
    All.push_back(Line);
  return All;
}

} // namespace

std::string EventLine(const TLoggedEvent &Logged) {
  const TEvent &E = Logged.Event;
  std::string Text =
      "x" + std::to_string(Logged.Exchanges) + " t=" + Seconds(Logged.AtMs) + " ";
  switch (E.Kind) {
  case TEvent::TKind::Pump:
    return Text + "pump " + E.Pump.Id() + " " + PointStateName(E.Pump.State) +
           " nozzle=" + std::to_string(E.Pump.Nozzle) + " volume=" + Fixed(E.Pump.Volume) +
           " amount=" + Fixed(E.Pump.Amount) + " sale=" + std::to_string(E.Pump.SaleId) +
           " code=" + std::to_string(E.Pump.LastCode) + " " + Quoted(E.Reason);
  case TEvent::TKind::Sale:
    return Text + "sale " + Quoted(E.Reason) + " " + SaleFields(E.Sale);
  case TEvent::TKind::Price:
    return Text + "price " + E.Pump.Id() + " " + PriceStateName(E.Pump.PriceState) +
           " prices=" + PricesText(E.Pump.Prices) + " " + Quoted(E.Reason);
  case TEvent::TKind::Alarm:
    return Text + "alarm " + E.Alarm.PumpId() + " " + E.Alarm.Kind +
           " nozzle=" + std::to_string(E.Alarm.Nozzle) + " volume=" + Fixed(E.Alarm.Volume) +
           " amount=" + Fixed(E.Alarm.Amount) + " id=" + std::to_string(E.Alarm.Id);
  case TEvent::TKind::Line:
  case TEvent::TKind::Reservation:
  case TEvent::TKind::Shift:
    break;
  }
  return Text + EventKindName(E.Kind);
}

std::string SaleLine(const TSale &Sale) { return "sale " + SaleFields(Sale); }

std::string CommandLine(const TLoggedCommand &Command) {
  std::string Text = "x" + std::to_string(Command.At) + " " + Command.What + ": ";
  if (!Command.Result)
    return Text + "not run when the run ended";
  const TCommandResult &Result = *Command.Result;
  Text += std::string(StatusCode(Result.Status)) + " " + Quoted(Result.Message);
  if (Result.Sale)
    Text += " sale=" + std::to_string(Result.Sale->Id);
  return Text;
}

std::string RunText(const std::string &Name, const std::vector<TLoggedEvent> &Events,
                    const std::vector<TSale> &Journal,
                    const std::vector<TLoggedCommand> &Commands) {
  std::string Text = "# recorded station run " + Name +
                     ": compared exactly by recorded_run_tests, written by de30_record_run\n"
                     "# xN: exchanges the line had made; t: the line's clock in seconds\n"
                     "## events\n";
  for (const TLoggedEvent &Logged : Events) {
    if (Logged.Event.Kind == TEvent::TKind::Line)
      continue;
    Text += EventLine(Logged) + "\n";
  }
  Text += "## journal at the end\n";
  for (const TSale &Sale : Journal)
    Text += SaleLine(Sale) + "\n";
  Text += "## commands\n";
  for (const TLoggedCommand &Command : Commands)
    Text += CommandLine(Command) + "\n";
  return Text;
}

std::string FirstDifference(const std::string &Expected, const std::string &Actual) {
  if (Expected == Actual)
    return "";
  const std::vector<std::string> Want = Lines(Expected);
  const std::vector<std::string> Got = Lines(Actual);
  std::size_t At = 0;
  while (At < Want.size() && At < Got.size() && Want[At] == Got[At])
    ++At;
  std::string Text = "first difference at line " + std::to_string(At + 1) + ":\n";
  for (std::size_t I = At > ContextLines ? At - ContextLines : 0; I < At; ++I)
    Text += "  " + std::to_string(I + 1) + "  " + Want[I] + "\n";
  if (At < Want.size())
    Text += "- " + std::to_string(At + 1) + "  " + Want[At] + "\n";
  else
    Text += "- " + std::to_string(At + 1) + "  (the expected text ends)\n";
  if (At < Got.size())
    Text += "+ " + std::to_string(At + 1) + "  " + Got[At] + "\n";
  else
    Text += "+ " + std::to_string(At + 1) + "  (the replay's text ends)\n";
  if (Want.size() == Got.size() && At == Want.size())
    Text += "(the texts differ only in their line ends)\n";
  return Text;
}

} // namespace de30::station::runs
