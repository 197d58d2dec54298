// de30ctl: operates dispensers through the de30 driver, on the embedded simulated
// station by default or on real lines. Exit codes: exit_codes.hpp (and README).

#include "bench.hpp"
#include "commands.hpp"
#include "demo.hpp"
#include "exit_codes.hpp"
#include "fault_option.hpp"
#include "monitor.hpp"
#include "replay.hpp"
#include "service_client.hpp"
#include "simulate.hpp"
#include "stats.hpp"
#include "tap.hpp"
#include "transport.hpp"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>

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
  std::string TotalsLayout;
  std::string Pump;
  int Nozzles = 0;
  bool Short = false;
  std::string Code = "0";
  std::vector<std::string> Prices; // GRADE=PRICE pairs, or GRADE PRICE
  std::string Grade;
  std::string Litres;
  std::string Money;
  std::string Price;
  std::vector<std::string> MonitorPumps;
  TMonitorOptions Monitor;
  TSimulateOptions Simulate;
  TReplayOptions Replay;
  TStatsOptions Stats;
  TTapOptions Tap;
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
    Watched.Nozzles =
        ParseWhole(Text.substr(Slash + 1), "nozzle count", 1, MaxPollNozzles, ExitUnknown);
  Watched.Pump = ParsePumpRef(Text.substr(0, Slash));
  return Watched;
}

// "GRADE=PRICE ..." or the single pair "GRADE PRICE".
std::map<int, double> ParsePrices(const std::vector<std::string> &Items) {
  std::vector<std::pair<std::string, std::string>> Pairs;
  if (Items.size() == 2 && Items[0].find('=') == std::string::npos &&
      Items[1].find('=') == std::string::npos) {
    Pairs.emplace_back(Items[0], Items[1]);
  } else {
    for (const auto &Item : Items) {
      const auto Equals = Item.find('=');
      if (Equals == std::string::npos)
        throw ECtlError(ExitUsage, "'" + Item + "' is not GRADE=PRICE, e.g. 1=45.50");
      Pairs.emplace_back(Item.substr(0, Equals), Item.substr(Equals + 1));
    }
  }
  std::map<int, double> Prices;
  for (const auto &[Grade, Price] : Pairs) {
    const int G = ParseWhole(Grade, "grade", 1, GradeCount, ExitUnknown);
    if (!Prices.emplace(G, ParseHundredths(Price, "price")).second)
      throw ECtlError(ExitUsage, "grade " + Grade + " is given twice");
  }
  return Prices;
}

// Options a command would ignore are refused, so that nobody believes they acted.
void Refuse(bool Given, const std::string &What) {
  if (Given)
    throw ECtlError(ExitUsage, What);
}

bool Given(CLI::App *Command, const char *Option) {
  return Command->get_option(Option)->count() > 0;
}

// -n within what the operation handles; on the embedded station the pump's own
// count is checked the same way.
void CheckNozzles(const TTransport &Transport, const TPumpRef &Pump, int Given, int Most,
                  const char *Handles) {
  const int Count = Transport.Nozzles(Pump, Given);
  if (Count < 1 || Count > Most)
    throw ECtlError(ExitUnknown, "pump " + std::to_string(Pump.Line) + ":" +
                                     std::to_string(Pump.Pump) + " with " +
                                     std::to_string(Count) + " nozzles: " + Handles + " 1.." +
                                     std::to_string(Most));
}

int Operate(CLI::App &App, TArguments &A, TTransport &Transport);

int Dispatch(CLI::App &App, TArguments &A) {
  CLI::App *Command = App.get_subcommands().front();
  const std::string Name = Command->get_name();
  if (ForService(A.Service, Name))
    return RunServiceCommand(A.Service, Name, {A.Pump, A.Code, A.Prices});
  std::vector<sim::TFaultRule> Faults;
  for (const auto &Text : A.Faults)
    Faults.push_back(ParseFault(Text));
  const bool LayoutGiven = !A.TotalsLayout.empty();
  const sim::TTotalsLayout Layout =
      A.TotalsLayout == "per-nozzle" ? sim::TTotalsLayout::PerNozzle : sim::TTotalsLayout::Sum;
  A.Transport.Totals = Layout;

  if (Name == "simulate") {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    A.Simulate.Faults = Faults;
    A.Simulate.Seed = A.Seed;
    A.Simulate.Customers = !A.NoCustomers;
    A.Simulate.Totals = Layout;
    return RunSimulate(A.Simulate, Interrupted);
  }
  if (Name == "tap") {
    if (!A.Transport.Serial.empty() || !A.Transport.Tcp.empty() || !Faults.empty() ||
        A.Transport.Trace || A.Transport.TimeoutMs > 0 || LayoutGiven)
      throw ECtlError(ExitUsage, "tap listens only: give its line after it (tap --serial "
                                 "DEVICE); no --fault, --totals-layout, --trace or --timeout");
    if (!A.Transport.Capture.empty()) {
      if (!A.Tap.Capture.empty())
        throw ECtlError(ExitUsage, "--capture is given twice");
      A.Tap.Capture = A.Transport.Capture;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return RunTap(A.Tap, Interrupted);
  }
  if (Name == "replay" || Name == "stats") {
    if (!A.Transport.Serial.empty() || !A.Transport.Tcp.empty() || !Faults.empty() ||
        !A.Transport.Capture.empty() || A.Transport.Trace || A.Transport.TimeoutMs > 0 ||
        LayoutGiven)
      throw ECtlError(ExitUsage, Name + " reads captures: no --serial, --tcp, --fault, "
                                        "--totals-layout, --capture, --trace or --timeout");
    if (Name == "stats")
      return RunStats(A.Stats);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return RunReplay(A.Replay, Interrupted);
  }
  if (Name == "bench") {
    if (!A.Transport.Serial.empty() || !A.Transport.Tcp.empty() || !Faults.empty() ||
        LayoutGiven)
      throw ECtlError(ExitUsage, "bench serves its own station: no --serial, --tcp, --fault "
                                 "or --totals-layout");
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
  } else if (LayoutGiven) {
    throw ECtlError(ExitUsage, "--totals-layout applies to the simulated station only");
  }
  try {
    if (Demo)
      return RunDemo(Transport);
    return Operate(App, A, Transport);
  } catch (const ESerialIO &Error) {
    std::fprintf(stderr, "de30ctl: %s\n", DescribeFailure(Error, Transport).c_str());
    return ExitPumpFailed;
  } catch (const ERangeError &Error) {
    std::fprintf(stderr, "de30ctl: %s\n", DescribeFailure(Error, Transport).c_str());
    return ExitRange;
  }
}

// A command on the pumps, with the lines in place.
int Operate(CLI::App &App, TArguments &A, TTransport &Transport) {
  CLI::App *Command = App.get_subcommands().front();
  const std::string Name = Command->get_name();
  if (!Transport.Embedded()) {
    Refuse(App.get_option("--seed")->count() > 0,
           "--seed applies to the simulated station only");
    if (Name == "monitor") {
      Refuse(Given(Command, "--speed"), "--speed applies to the embedded station only");
      Refuse(Given(Command, "--no-customers"),
             "--no-customers applies to the embedded station only");
    }
  }

  auto Driver = GetDE30(0, 0, &Transport.Channel(), Transport.Pauser());
  TSession S{Transport, *Driver};
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
  if (Name == "poll") {
    Refuse(A.Short && A.Nozzles != 0, "--short polls without the nozzle status: no -n");
    CheckNozzles(Transport, Pump, A.Nozzles, MaxPollNozzles, "the nozzle poll reports");
  } else if (Name == "price") {
    CheckNozzles(Transport, Pump, A.Nozzles, MaxPriceNozzles, "the price command serves");
  } else if (Name == "totals") {
    CheckNozzles(Transport, Pump, A.Nozzles, MaxTotalsNozzles, "the totals requests know");
  }
  // Everything the command line says is checked before the first frame goes out.
  std::map<int, double> Prices;
  if (Name == "price")
    Prices = ParsePrices(A.Prices);
  std::optional<double> Litres, Amount, Price;
  int Grade = 1;
  if (Name == "dose") {
    if (A.Litres.empty() == A.Money.empty())
      throw ECtlError(ExitUsage, "give the dose either in --litres or in --money");
    if (!A.Litres.empty()) {
      Refuse(!A.Grade.empty(),
             "--grade applies to --money only: a dose in litres has no grade");
      Refuse(!A.Price.empty(), "--price applies to --money only");
      Litres = ParseHundredths(A.Litres, "litres");
    } else {
      // A fresh driver holds start prices (1.00, 2.00, 3.00, 0, 0) that no pump
      // charges: converting money at one of them would preset a wrong dose.
      if (A.Price.empty())
        throw ECtlError(ExitUsage, "a dose in --money needs the --price it is converted at");
      Amount = ParseHundredths(A.Money, "money");
      Price = ParseHundredths(A.Price, "price");
      if (!A.Grade.empty())
        Grade = ParseWhole(A.Grade, "grade", 1, GradeCount, ExitUnknown);
    }
  }

  Transport.InitLines(*Driver, Pump.Line);
  if (Name == "poll")
    return Poll(S, Pump, A.Nozzles, A.Short);
  if (Name == "start")
    return Start(S, Pump);
  if (Name == "stop")
    return Stop(S, Pump);
  if (Name == "unblock")
    return Unblock(S, Pump, ParseWhole(A.Code, "unblock code", 0, 255, ExitUsage));
  if (Name == "price")
    return ctl::Price(S, Pump, A.Nozzles, Prices);
  if (Name == "dose")
    return Litres ? DoseLitres(S, Pump, *Litres) : DoseMoney(S, Pump, *Amount, *Price, Grade);
  if (Name == "fill")
    return Fill(S, Pump);
  if (Name == "totals")
    return Totals(S, Pump, A.Nozzles);
  return ExitOk;
}

void AddPump(CLI::App *Command, TArguments &A) {
  Command->add_option("pump", A.Pump, "the pump, as LINE:PUMP (e.g. 1:2)")->required();
}

void AddNozzles(CLI::App *Command, TArguments &A, int Most) {
  Command->add_option("-n,--nozzles", A.Nozzles,
                      "the pump's nozzle count, 1.." + std::to_string(Most) +
                          " (default: 1 on a real line, the embedded station's own)");
}

// The first word that is neither a global option nor its value, when it names no
// subcommand; CLI11 itself only says that a subcommand is required.
std::string UnknownSubcommand(CLI::App &App, int argc, char **argv) {
  for (int I = 1; I < argc; ++I) {
    const std::string Word = argv[I];
    if (Word.rfind("-", 0) == 0) {
      const CLI::Option *Option = nullptr;
      try {
        Option = App.get_option(Word.substr(0, Word.find('=')));
      } catch (const CLI::OptionNotFound &) {
        return "";
      }
      if (Option->get_items_expected_min() > 0 && Word.find('=') == std::string::npos)
        ++I; // its value
      continue;
    }
    try {
      App.get_subcommand(Word);
      return "";
    } catch (const CLI::OptionNotFound &) {
      return Word;
    }
  }
  return "";
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
  App.add_option("--capture", A.Transport.Capture,
                 "write every frame and reply to FILE, as pcapng for Wireshark and replay")
      ->type_name("FILE");
  App.add_option("--timeout", A.Transport.TimeoutMs,
                 "reply timeout in ms (default: 1500, from the line set-up)")
      ->check(CLI::Range(1, 60000));
  App.add_option("--fault", A.Faults,
                 "inject a fault into the simulated station (repeatable): "
                 "KIND[,line=N][,pump=N][,command=C][,times=N][,prob=P][,delay=MS]"
                 "[,status=BYTE][,byte=BYTE]");
  App.add_option("--seed", A.Seed, "seed of the random faults");
  App.add_option("--totals-layout", A.TotalsLayout,
                 "what the simulated pumps' last totals group holds: sum (the whole pump, "
                 "default) or per-nozzle (the last nozzle's own counter)")
      ->check(CLI::IsMember({"sum", "per-nozzle"}));

  App.add_subcommand("ident", "show the driver's identification and capabilities");
  auto *Poll = App.add_subcommand("poll", "poll a pump's status");
  AddPump(Poll, A);
  AddNozzles(Poll, A, MaxPollNozzles);
  Poll->add_flag("--short", A.Short, "short poll only (no nozzle status)");
  AddPump(App.add_subcommand("start", "authorise a pump"), A);
  AddPump(App.add_subcommand("stop", "stop a pump"), A);
  auto *Unblock = App.add_subcommand("unblock", "re-initialise and unblock a pump");
  AddPump(Unblock, A);
  Unblock->add_option("--code", A.Code, "unblock code, 0..255 (default 0)");
  auto *Price = App.add_subcommand("price", "set a grade's price and send the pump its prices");
  AddPump(Price, A);
  Price
      ->add_option("prices", A.Prices,
                   "GRADE=PRICE per grade sent, price per litre 0.00..99.99 (or GRADE PRICE): "
                   "grade 1 for a one-nozzle pump, each of grades 1..5 for more nozzles")
      ->required();
  AddNozzles(Price, A, MaxPriceNozzles);
  auto *Dose = App.add_subcommand("dose", "preset a dose in litres or in money");
  AddPump(Dose, A);
  Dose->add_option("--litres", A.Litres, "dose in litres, 0.00..9999.99");
  Dose->add_option("--money", A.Money, "dose in money, converted at --price");
  Dose->add_option("--price", A.Price, "price per litre the money buys at");
  Dose->add_option("--grade", A.Grade, "grade the price is kept under (default 1)");
  AddPump(App.add_subcommand("fill", "read the current fill: volume and amount"), A);
  auto *Totals = App.add_subcommand("totals", "read the pump's totals: volume and amount");
  AddPump(Totals, A);
  AddNozzles(Totals, A, MaxTotalsNozzles);
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
  auto *Replay = App.add_subcommand(
      "replay", "serve a capture's lines, answering each request with the captured reply");
  Replay->add_option("file", A.Replay.Files, "the capture (several: taken in time order)")
      ->required();
  Replay->add_flag("--pty", A.Replay.Pty, "serve each line on a pseudo-terminal");
  Replay
      ->add_option("--port", A.Replay.Port,
                   "serve line k on 127.0.0.1 port PORT+k-1 (0: any free ports)")
      ->check(CLI::Range(0, 65535));
  Replay
      ->add_option("--duration", A.Replay.DurationS, "seconds to serve (default: until Ctrl-C)")
      ->check(CLI::Range(0, 86400));
  auto *Stats = App.add_subcommand(
      "stats", "a capture's exchanges, timeouts, rejections, latency and wire use per line "
               "and pump");
  Stats->add_option("file", A.Stats.Files, "the capture (several: taken in time order)")
      ->required();
  Stats->add_flag("--json", A.Stats.Json, "print JSON instead of a table");
  auto *Tap = App.add_subcommand(
      "tap",
      "listen to a line another controller drives, read-only, and decode every exchange");
  Tap->add_option("--serial", A.Tap.Serial, "a receive-only adapter on the line's pair")
      ->type_name("DEVICE");
  Tap->add_option("--tcp", A.Tap.Tcp, "a serial device server in monitor mode")
      ->type_name("HOST:PORT");
  Tap->add_option("--file", A.Tap.File, "a raw recording of a line (--record) to decode again")
      ->type_name("RAW");
  Tap->add_option("--record", A.Tap.Record, "keep the raw bytes heard, with when, in RAW")
      ->type_name("RAW");
  Tap->add_option("--capture", A.Tap.Capture,
                  "write every exchange heard to FILE, as pcapng marked as listened")
      ->type_name("FILE");
  Tap->add_option("--line", A.Tap.Line,
                  "the line's number in the output and the capture (default 1)")
      ->check(CLI::Range(1, 32));
  Tap->add_option("--baud", A.Tap.BaudRate,
                  "the line's speed (default 2400, or the recording's)")
      ->check(CLI::Range(300, 115200));
  Tap->add_option(
         "--gap", A.Tap.GapMs,
         "the pause in ms that may end a reply (default: 5 byte times, at least 10 ms)")
      ->check(CLI::Range(1, 60000));
  Tap->add_option("--duration", A.Tap.DurationS, "seconds to listen (default: until Ctrl-C)")
      ->check(CLI::Range(0, 86400 * 366));
  Tap->add_flag("--summary", A.Tap.Summary, "print only the summary, not every exchange");
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
    if (const std::string Word = UnknownSubcommand(App, argc, argv); !Word.empty()) {
      std::string Known;
      for (const CLI::App *Sub : App.get_subcommands({}))
        Known += (Known.empty() ? "" : ", ") + Sub->get_name();
      std::fprintf(stderr, "de30ctl: unknown subcommand '%s' (one of: %s)\n", Word.c_str(),
                   Known.c_str());
      return ExitUsage;
    }
    const int Code = App.exit(Error);
    return Code == 0 ? ExitOk : ExitUsage;
  }
  try {
    return Dispatch(App, A);
  } catch (const ECtlError &Error) {
    std::fprintf(stderr, "de30ctl: %s\n", Error.what());
    return Error.Code;
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "de30ctl: %s\n", Error.what());
    return ExitPumpFailed;
  }
}
