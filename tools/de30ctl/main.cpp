// de30ctl: operates dispensers through the de30 driver, on the embedded simulated
// station by default or on real lines. Exit codes: exit_codes.hpp (and README).

#include "bench.hpp"
#include "commands.hpp"
#include "demo.hpp"
#include "exit_codes.hpp"
#include "fault_option.hpp"
#include "monitor.hpp"
#include "service_client.hpp"
#include "simulate.hpp"
#include "transport.hpp"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

using namespace de30;
using namespace de30::ctl;

std::atomic<bool> Interrupted{false};

extern "C" void OnSignal(int) { Interrupted = true; }

// Arguments of every subcommand, filled in by CLI11.
struct TArguments {
  TTransportOptions Transport;
  std::vector<std::string> Faults;
  unsigned Seed = 1;
  std::string Pump;
  int Nozzles = 0;
  bool Short = false;
  std::string Code = "0";
  std::string Grade = "1";
  std::string Value;
  std::string Litres;
  std::string Money;
  std::vector<std::string> MonitorPumps;
  TMonitorOptions Monitor;
  TSimulateOptions Simulate;
  TBenchOptions Bench;
  std::string PollKind = "short";
  bool NoCustomers = false;
  TServiceArguments Service;
};

// "LINE:PUMP" or "LINE:PUMP/NOZZLES" for monitor.
TWatched MonitorPump(const std::string &Text) {
  TWatched Watched;
  const auto Slash = Text.find('/');
  if (Slash != std::string::npos)
    Watched.Nozzles = ParseWhole(Text.substr(Slash + 1), "nozzle count", 1, 6, ExitUsage);
  Watched.Pump = ParsePumpRef(Text.substr(0, Slash));
  return Watched;
}

// The channel's account of the last failure, for the driver's failure messages.
std::string LastFailure;

int Dispatch(CLI::App &App, TArguments &A) {
  CLI::App *Command = App.get_subcommands().front();
  const std::string Name = Command->get_name();
  if (ForService(A.Service, Name))
    return RunServiceCommand(A.Service, Name, {A.Pump, A.Code, A.Grade, A.Value});
  std::vector<sim::TFaultRule> Faults;
  for (const auto &Text : A.Faults)
    Faults.push_back(ParseFault(Text));

  if (Name == "simulate") {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    A.Simulate.Faults = Faults;
    A.Simulate.Seed = A.Seed;
    A.Simulate.Customers = !A.NoCustomers;
    return RunSimulate(A.Simulate, Interrupted);
  }
  if (Name == "bench") {
    if (!A.Transport.Serial.empty() || !A.Transport.Tcp.empty() || !Faults.empty())
      throw ECtlError(ExitUsage, "bench serves its own station: no --serial, --tcp or --fault");
    A.Bench.MultiNozzle = A.PollKind == "multi";
    return ReportBench(A.Bench, RunBench(A.Bench));
  }
  const bool Demo = Name == "demo";
  if (Demo && (!A.Transport.Serial.empty() || !A.Transport.Tcp.empty()))
    throw ECtlError(ExitUsage, "the demo runs on the embedded station only");
  // The demo and the monitor drive the embedded station's time themselves.
  const bool Manual = Demo || Name == "monitor";
  TTransport Transport(A.Transport, Manual, Name == "monitor" && !A.NoCustomers);
  if (Transport.Embedded()) {
    Transport.Simulated()->SeedFaults(A.Seed);
    for (const auto &Rule : Faults)
      Transport.Simulated()->AddFault(Rule);
  } else if (!Faults.empty()) {
    throw ECtlError(ExitUsage, "--fault applies to the simulated station only");
  }
  if (Demo)
    return RunDemo(Transport);

  auto Driver = GetDE30(0, 0, &Transport.Channel());
  Transport.Attach(*Driver);
  TSession S{Transport, *Driver};
  struct TKeep {
    TTransport &T;
    ~TKeep() { LastFailure = T.LastFailure(); }
  } Keep{Transport};
  if (Name == "ident") {
    Ident(S);
    return ExitOk;
  }
  if (Name == "monitor") {
    for (const auto &Text : A.MonitorPumps)
      A.Monitor.Pumps.push_back(MonitorPump(Text));
    Transport.InitLines(*Driver);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return RunMonitor(S, A.Monitor, Interrupted);
  }
  const TPumpRef Pump = ParsePumpRef(A.Pump);
  Transport.Require(Pump);
  Transport.InitLines(*Driver);
  if (Name == "poll")
    Poll(S, Pump, A.Nozzles, A.Short);
  else if (Name == "start")
    Start(S, Pump);
  else if (Name == "stop")
    Stop(S, Pump);
  else if (Name == "unblock")
    Unblock(S, Pump, ParseWhole(A.Code, "unblock code", 0, 255, ExitUsage));
  else if (Name == "price")
    Price(S, Pump, A.Nozzles, ParseWhole(A.Grade, "grade", 1, 6, ExitUnknown),
          ParseNumber(A.Value, "price"));
  else if (Name == "dose") {
    std::optional<double> Litres;
    std::optional<double> Money;
    if (!A.Litres.empty())
      Litres = ParseNumber(A.Litres, "litres");
    if (!A.Money.empty())
      Money = ParseNumber(A.Money, "money");
    Dose(S, Pump, Litres, Money, ParseWhole(A.Grade, "grade", 1, 6, ExitUnknown));
  } else if (Name == "fill")
    Fill(S, Pump);
  else if (Name == "totals")
    Totals(S, Pump, A.Nozzles);
  return ExitOk;
}

void AddPump(CLI::App *Command, TArguments &A) {
  Command->add_option("pump", A.Pump, "the pump, as LINE:PUMP (e.g. 1:2)")->required();
}

void AddNozzles(CLI::App *Command, TArguments &A) {
  Command
      ->add_option("-n,--nozzles", A.Nozzles,
                   "the pump's nozzle count on a real line (default 1; the embedded "
                   "station knows its own)")
      ->check(CLI::Range(1, 6));
}

} // namespace

int main(int argc, char **argv) {
  CLI::App App{"de30ctl: operate Nuovo Pignone dispensers through the de30 driver.\n"
               "Without --serial or --tcp, commands run on an embedded simulated station:\n"
               "line 1 with pumps 1 (one nozzle) and 2 (two), line 2 with pump 3 (four)."};
  App.require_subcommand(1, 1);
  TArguments A;
  App.add_option("--serial", A.Transport.Serial, "a real line on a serial device (repeatable)")
      ->type_name("LINE=DEVICE");
  App.add_option("--tcp", A.Transport.Tcp, "a real line on a serial device server (repeatable)")
      ->type_name("LINE=HOST:PORT");
  App.add_flag("--trace", A.Transport.Trace, "print every frame and reply, decoded");
  App.add_option("--timeout", A.Transport.TimeoutMs,
                 "reply timeout in ms (default: 1500, from the line set-up)")
      ->check(CLI::Range(1, 60000));
  App.add_option("--fault", A.Faults,
                 "inject a fault into the simulated station (repeatable): "
                 "KIND[,line=N][,pump=N][,times=N][,prob=P][,delay=MS][,status=BYTE]");
  App.add_option("--seed", A.Seed, "seed of the random faults");

  App.add_subcommand("ident", "show the driver's identification and capabilities");
  auto *Poll = App.add_subcommand("poll", "poll a pump's status");
  AddPump(Poll, A);
  AddNozzles(Poll, A);
  Poll->add_flag("--short", A.Short, "short poll only (no nozzle status)");
  AddPump(App.add_subcommand("start", "authorise a pump"), A);
  AddPump(App.add_subcommand("stop", "stop a pump"), A);
  auto *Unblock = App.add_subcommand("unblock", "re-initialise and unblock a pump");
  AddPump(Unblock, A);
  Unblock->add_option("--code", A.Code, "unblock code, 0..255 (default 0)");
  auto *Price = App.add_subcommand("price", "set a grade's price and send the pump its prices");
  AddPump(Price, A);
  Price->add_option("grade", A.Grade, "grade, 1..6")->required();
  Price->add_option("price", A.Value, "price per litre, 0.00..99.99")->required();
  AddNozzles(Price, A);
  auto *Dose = App.add_subcommand("dose", "preset a dose in litres or in money");
  AddPump(Dose, A);
  Dose->add_option("--litres", A.Litres, "dose in litres, 0.00..9999.99");
  Dose->add_option("--money", A.Money, "dose in money, at the grade's price");
  Dose->add_option("--grade", A.Grade, "grade whose price converts money (default 1)");
  AddPump(App.add_subcommand("fill", "read the current fill: volume and amount"), A);
  auto *Totals = App.add_subcommand("totals", "read the pump's totals: volume and amount");
  AddPump(Totals, A);
  AddNozzles(Totals, A);
  auto *Monitor = App.add_subcommand("monitor", "watch the pumps in a live table");
  Monitor->add_option("--pump", A.MonitorPumps,
                      "pump to watch, LINE:PUMP[/NOZZLES] (repeatable; default: every pump of "
                      "the embedded station)");
  Monitor
      ->add_option("--interval", A.Monitor.IntervalMs, "refresh interval in ms (default 1000)")
      ->check(CLI::Range(50, 60000));
  Monitor
      ->add_option("--count", A.Monitor.Count, "refreshes, then stop (default: until Ctrl-C)")
      ->check(CLI::Range(0, 1000000));
  Monitor->add_flag("--authorize", A.Monitor.Authorise, "authorise every pump that calls");
  Monitor
      ->add_option("--speed", A.Monitor.Speed,
                   "embedded station: simulated seconds per second (default 1)")
      ->check(CLI::Range(1, 100));
  Monitor->add_flag("--no-customers", A.NoCustomers, "embedded station: nobody uses the pumps");
  auto *Simulate =
      App.add_subcommand("simulate", "serve the simulated station to other programs");
  Simulate->add_flag("--pty", A.Simulate.Pty, "serve each line on a pseudo-terminal");
  Simulate
      ->add_option("--port", A.Simulate.Port,
                   "serve line k on 127.0.0.1 port PORT+k-1 (0: any free ports)")
      ->check(CLI::Range(0, 65535));
  Simulate
      ->add_option("--duration", A.Simulate.DurationS,
                   "seconds to serve (default: until Ctrl-C)")
      ->check(CLI::Range(0, 86400));
  Simulate->add_flag("--no-customers", A.NoCustomers, "nobody uses the pumps");
  App.add_subcommand("demo", "a scripted session on the embedded station");
  auto *Bench = App.add_subcommand(
      "bench", "poll a station served on a pseudo-terminal, paced like a serial line");
  Bench->add_option("--duration", A.Bench.DurationS, "seconds of polling (default 10)")
      ->check(CLI::Range(0.1, 3600.0));
  Bench->add_option("--pumps", A.Bench.Pumps, "pumps on the line, polled in turn (default 1)")
      ->check(CLI::Range(1, 31));
  Bench
      ->add_option("--poll", A.PollKind,
                   "short: GetSost; multi: GetSostEx on four-nozzle pumps (default short)")
      ->check(CLI::IsMember({"short", "multi"}));
  Bench->add_option("--baud", A.Bench.BaudRate, "line speed, 10 bits a byte (default 2400)")
      ->check(CLI::Range(300, 115200));

  AddServiceOptions(App, A.Service);

  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &Error) {
    const int Code = App.exit(Error);
    return Code == 0 ? ExitOk : ExitUsage;
  }
  try {
    return Dispatch(App, A);
  } catch (const ECtlError &Error) {
    std::fprintf(stderr, "de30ctl: %s\n", Error.what());
    return Error.Code;
  } catch (const ESerialIO &Error) {
    std::fprintf(stderr, "de30ctl: the pump command failed: %s%s%s\n", Error.what(),
                 LastFailure.empty() ? "" : ": ", LastFailure.c_str());
    return ExitPumpFailed;
  } catch (const ERangeError &Error) {
    std::fprintf(stderr, "de30ctl: the driver refused a value out of range: %s\n",
                 Error.what());
    return ExitPumpFailed;
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "de30ctl: %s\n", Error.what());
    return ExitPumpFailed;
  }
}
