// de30d: the station service. With --config it runs the configured station; without,
// a simulated station with simulated customers, so that it can be tried at once.
// Exit codes: 0 stopped cleanly, 1 the service could not run (journal, address),
// 2 a bad command line or configuration.

#include "api_server.hpp"
#include "embedded.hpp"
#include "event_log.hpp"
#include "journal_lock.hpp"
#include "json_mapping.hpp"
#include "listen_address.hpp"
#include "log.hpp"
#include "station/config.hpp"
#include "station/station.hpp"
#include "uplink.hpp"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

using namespace de30;
using namespace de30::service;

enum : int { ExitOk = 0, ExitFailed = 1, ExitBadSetup = 2 };

std::atomic<bool> Interrupted{false};
extern "C" void OnSignal(int) { Interrupted = true; }

int CheckConfig(const std::string &File) {
  try {
    const station::TStationConfig Config = station::LoadConfig(File);
    std::string Uplink = "no uplink";
    if (Config.Uplink)
      Uplink = "uplink to " + Config.Uplink->Host + ":" + std::to_string(Config.Uplink->Port) +
               " as station " + Config.StationId;
    std::printf("%s: ok: %zu lines, %zu pumps, %zu grades, listens on %s:%u, %s\n",
                File.c_str(), Config.Lines.size(), Config.Pumps.size(), Config.Grades.size(),
                Config.ListenHost.c_str(), Config.ListenPort, Uplink.c_str());
    for (const auto &Warning : Config.Warnings)
      std::printf("warning: %s\n", Warning.c_str());
    return ExitOk;
  } catch (const station::EConfigError &Error) {
    // The message names the file, the line and the key.
    std::printf("%s\n", Error.what());
    return ExitBadSetup;
  }
}

struct TArguments {
  std::string Config;
  std::string Journal;
  std::string Listen;
  std::string CheckConfig;
  std::string Token;
  int Speed = 1;
  std::string Capture; // the embedded station's lines, to one file
  std::string Uplink;  // the embedded station's [station] id and [uplink]
  bool NoCustomers = false;
  bool Verbose = false;
  std::string LogLevel;
};

int Serve(const TArguments &A) {
  std::unique_ptr<TEmbeddedStation> Embedded;
  station::TStationConfig Config;
  station::TStationOptions Options;
  if (!A.Config.empty()) {
    if (!A.Capture.empty()) {
      Log(TLevel::Error, "--capture applies to the simulated station; configured lines are "
                         "captured with capture = \"FILE\" in their [[line]] table");
      return ExitBadSetup;
    }
    try {
      Config = station::LoadConfig(A.Config);
    } catch (const station::EConfigError &Error) {
      Log(TLevel::Error, std::string("configuration refused: ") + Error.what());
      return ExitBadSetup;
    }
    for (const auto &Warning : Config.Warnings)
      Log(TLevel::Warn, "configuration: " + Warning);
  } else {
    TEmbeddedOptions Simulated;
    Simulated.Speed = A.Speed;
    Simulated.Customers = !A.NoCustomers;
    Simulated.BaudRate = LineBaudRate; // the wire's pace: its figures are a real line's
    Embedded = std::make_unique<TEmbeddedStation>(Simulated);
    Config = Embedded->Config(DefaultEmbeddedJournal());
    Options = Embedded->StationOptions();
    for (auto &Line : Config.Lines)
      Line.Capture = A.Capture;
    if (!A.Uplink.empty()) {
      try {
        auto File = station::LoadUplinkFile(A.Uplink);
        Config.StationId = File.StationId;
        Config.Uplink = std::move(File.Uplink);
        for (const auto &Warning : File.Warnings)
          Log(TLevel::Warn, "configuration: " + Warning);
      } catch (const station::EConfigError &Error) {
        Log(TLevel::Error, std::string("uplink refused: ") + Error.what());
        return ExitBadSetup;
      }
    }
  }
  Options.CaptureApplication = std::string("de30d ") + DE30_VERSION;
  if (!A.Journal.empty())
    Config.Journal = A.Journal;
  if (!A.Token.empty())
    Config.Token = A.Token;
  if (!A.Listen.empty()) {
    const auto Address = ParseListen(A.Listen);
    if (!Address) {
      Log(TLevel::Error, "--listen " + A.Listen + ": write HOST:PORT, e.g. 127.0.0.1:8030");
      return ExitBadSetup;
    }
    Config.ListenHost = Address->Host;
    Config.ListenPort = static_cast<std::uint16_t>(Address->Port);
  }
  // Anyone who can reach the port could move fuel: beyond this machine, only with a token.
  if (!IsLoopback(Config.ListenHost) && Config.Token.empty() && Config.Clients.empty()) {
    Log(TLevel::Error, "listening on " + Config.ListenHost +
                           " needs a token: set token in the configuration, or listen on "
                           "127.0.0.1");
    return ExitBadSetup;
  }

  // Before anything opens the journal, seeding included. A journal in use
  // throws, and the service exits 1 naming the process that holds it.
  const TJournalLock JournalLock(Config.Journal);
  if (Embedded)
    SeedPrices(Config.Journal);
  station::TStation Station(Config, Options);
  // Before any client can subscribe: every event id of this run carries it.
  Station.Events().SetRun(static_cast<std::uint64_t>(Station.Journal().BeginRun()));
  // Once when the journal stops taking writes, once when it takes them again.
  Station.Journal().Health().Watch([](const station::TJournalHealth::TState &State) {
    if (State.Failing)
      Log(TLevel::Error, "journal: failing, sales wait in memory and commands that need it "
                         "are refused: " +
                             State.Error);
    else
      Log(TLevel::Info, "journal: writing again after " +
                            std::to_string((station::NowEpochMs() - State.SinceMs) / 1000) +
                            " s; sales held in memory are being written");
  });
  // A command that was running when the service stopped may or may not have
  // reached its pump: a repeat of it learns that, rather than acting again.
  if (const int Unknown = Station.Journal().SettleRunningRequests(
          504, ErrorJson("uncertain", "the service stopped while this request ran: whether it "
                                      "acted is not known; read the pump's state")
                       .dump() +
                   "\n"))
    Log(TLevel::Warn, std::to_string(Unknown) +
                          " request(s) with an Idempotency-Key were running when the service "
                          "stopped; their repeats are answered 504 uncertain");
  TEventLog EventLog(Station.Events());
  std::unique_ptr<TUplink> Uplink;
  if (Config.Uplink)
    Uplink = std::make_unique<TUplink>(Station, *Config.Uplink);
  TServerOptions Server;
  Server.Host = Config.ListenHost;
  Server.Port = Config.ListenPort;
  Server.Token = Config.Token;
  Server.Clients = Config.Clients;
  Server.ReadToken = Config.ReadToken;
  Server.Uplink = Uplink.get();
  TApiServer Api(Station, Server);
  Station.Start();
  Api.Start();
  if (Uplink) {
    Log(TLevel::Info, "uplink: sales to " + Config.Uplink->Topic + "/sales, pump states to " +
                          Config.Uplink->Topic + "/pumps/LINE:PUMP");
    Uplink->Start();
  }

  const std::string Base =
      "http://" +
      (Server.Host.find(':') == std::string::npos ? Server.Host : "[" + Server.Host + "]") +
      ":" + std::to_string(Api.Port());
  Log(TLevel::Info,
      std::string(Embedded ? "simulated station" : "station " + Config.StationId) +
          ", journal " + Config.Journal.string() + ", run " +
          std::to_string(Station.Events().Run()));
  Log(TLevel::Info, "listening on " + Base + "/api/v1");
  for (const auto &Line : Config.Lines) {
    if (Line.Tap)
      Log(TLevel::Info, "line " + std::to_string(Line.Number) +
                            " is a tap line: listened to read-only, nothing sent on it");
    if (!Line.Capture.empty())
      Log(TLevel::Info, "line " + std::to_string(Line.Number) + " captured to " + Line.Capture +
                            " (" + std::to_string(Line.CaptureMaxBytes >> 20) +
                            " MiB a file, " + std::to_string(Line.CaptureFiles) +
                            " files kept)");
  }
  std::printf("de30d listens on %s/api/v1\ntry: curl %s/api/v1/pumps\n     curl -N "
              "%s/api/v1/events\n",
              Base.c_str(), Base.c_str(), Base.c_str());
  std::fflush(stdout);

  while (!Interrupted)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Log(TLevel::Info, "stopping");
  Api.Stop();
  Station.Stop();
  // After the station: a sale that closed while it stopped can still go out.
  if (Uplink)
    Uplink->Stop();
  EventLog.Stop();
  Log(TLevel::Info, "stopped");
  return ExitOk;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App App{"de30d: the station service. Without --config it runs a simulated station\n"
               "with simulated customers (line 1: pumps 1 and 2, line 2: pump 3)."};
  TArguments A;
  App.set_version_flag("--version", std::string("de30d ") + DE30_VERSION);
  App.add_option("--config", A.Config, "the station's configuration (TOML)")
      ->check(CLI::ExistingFile);
  App.add_option("--journal", A.Journal,
                 "the sale journal (SQLite), instead of the configured one");
  App.add_option("--listen", A.Listen, "address to listen on (default 127.0.0.1:8030)")
      ->type_name("HOST:PORT");
  App.add_option("--check-config", A.CheckConfig, "check a configuration file and exit")
      ->type_name("FILE");
  App.add_option("--token", A.Token,
                 "bearer token commands need, instead of the configured one (other users "
                 "of this machine can read a command line: prefer the configuration)");
  CLI::Option *Speed =
      App.add_option("--speed", A.Speed,
                     "the simulated station's time runs N times faster (1..50, default 1)")
          ->check(CLI::Range(1, 50))
          ->type_name("N");
  App.add_flag("-v,--verbose", A.Verbose, "log debug lines too (--log-level debug)");
  App.add_option("--log-level", A.LogLevel, "the least level logged (default info)")
      ->check(CLI::IsMember({"debug", "info", "warn", "error"}))
      ->excludes("--verbose");
  App.add_option("--capture", A.Capture,
                 "simulated station: write every exchange of its lines to FILE (pcapng, "
                 "rotated at 16 MiB, 4 files kept)")
      ->type_name("FILE");
  App.add_option("--uplink", A.Uplink,
                 "simulated station: send its sales to the head office as FILE says (a "
                 "[station] table with its id and an [uplink] table, docs/uplink.md)")
      ->type_name("FILE")
      ->check(CLI::ExistingFile)
      ->excludes("--config");
  App.add_flag("--no-customers", A.NoCustomers,
               "simulated station: no simulated customers, so that no new sale begins")
      ->excludes("--config");
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &Error) {
    const int Code = App.exit(Error);
    return Code == 0 ? ExitOk : ExitBadSetup;
  }
  if (!A.CheckConfig.empty())
    return CheckConfig(A.CheckConfig);
  if (Speed->count() > 0 && !A.Config.empty()) {
    std::fprintf(stderr, "--speed applies to the simulated station only, not with --config\n");
    return ExitBadSetup;
  }
  if (A.Verbose)
    SetLogThreshold(TLevel::Debug);
  for (const TLevel Level : {TLevel::Debug, TLevel::Info, TLevel::Warn, TLevel::Error})
    if (A.LogLevel == LevelName(Level))
      SetLogThreshold(Level);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  try {
    return Serve(A);
  } catch (const std::exception &Error) {
    Log(TLevel::Error, Error.what());
    return ExitFailed;
  }
}
