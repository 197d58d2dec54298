// de30-office: the head office's side of the uplink (docs/office.md). It takes
// every station's sales from the broker, commits each once into PostgreSQL, and
// acknowledges it to its station only then. Several processes share the load
// through the broker's shared subscription.
// Exit codes: 0 stopped cleanly, 1 could not run (database, schema), 2 a bad
// command line or configuration.

#include "ingest.hpp"
#include "log.hpp"
#include "office_config.hpp"
#include "report.hpp"
#include "schema.hpp"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

using namespace de30::office;

enum : int { ExitOk = 0, ExitFailed = 1, ExitBadSetup = 2 };

std::atomic<bool> Interrupted{false};
extern "C" void OnSignal(int) { Interrupted = true; }

} // namespace

int main(int argc, char **argv) {
  CLI::App App{"de30-office: stores every station's sales in PostgreSQL, each once, and\n"
               "acknowledges each to its station once it is committed."};
  std::string ConfigFile;
  std::string ClientId;
  bool Init = false;
  bool Check = false;
  bool Verbose = false;
  App.set_version_flag("--version", std::string("de30-office ") + DE30_VERSION);
  App.add_option("--config", ConfigFile, "the office's configuration (TOML)")
      ->required()
      ->check(CLI::ExistingFile);
  App.add_flag("--init", Init,
               "create the database's schema, or bring it up to date, and exit");
  App.add_flag("--check-config", Check, "check the configuration and exit");
  App.add_option("--client-id", ClientId,
                 "this process's MQTT client id, instead of [broker] client_id (each ingest "
                 "process needs its own)");
  App.add_flag("-v,--verbose", Verbose, "log debug lines too");
  TReportOptions Report;
  bool Csv = false;
  auto *Reporting = App.add_subcommand(
      "report", "print a report from the office's views (docs/office.md) and exit");
  Reporting->fallthrough();
  Reporting->add_option("kind", Report.Kind, "daily, unsettled, differences or silent")
      ->required()
      ->check(CLI::IsMember(ReportKinds()));
  Reporting->add_flag("--csv", Csv, "CSV instead of an aligned table");
  Reporting
      ->add_option("--tolerance", Report.Tolerance,
                   "differences: litres a shift nozzle may differ by (0.5)")
      ->check(CLI::NonNegativeNumber);
  Reporting
      ->add_option("--stale-minutes", Report.StaleMinutes,
                   "silent: minutes without a sale, alarm or shift (15)")
      ->check(CLI::PositiveNumber);
  Reporting->add_option("--days", Report.Days, "daily: the last so many days (7)")
      ->check(CLI::PositiveNumber);
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &Error) {
    const int Code = App.exit(Error);
    return Code == 0 ? ExitOk : ExitBadSetup;
  }
  if (Verbose)
    SetLogThreshold(TLevel::Debug);
  TOfficeConfig Config;
  try {
    Config = LoadOfficeConfig(ConfigFile);
  } catch (const EOfficeConfigError &Error) {
    std::fprintf(Check ? stdout : stderr, "%s\n", Error.what());
    return ExitBadSetup;
  }
  if (!ClientId.empty())
    Config.Broker.ClientId = ClientId;
  if (Check) {
    std::printf("%s: ok: broker %s:%u%s, sales from $share/%s/%s/+/sales\n", ConfigFile.c_str(),
                Config.Broker.Host.c_str(), Config.Broker.Port,
                Config.Broker.CaFile.empty() ? "" : " over TLS", Config.Broker.Group.c_str(),
                Config.Broker.TopicPrefix.c_str());
    return ExitOk;
  }
  if (Reporting->parsed()) {
    try {
      TPg Db(Config.Database.ConnInfo, Config.Database.Password);
      const TTable Table = RunReport(Db, Report);
      const std::string Text = Csv ? FormatCsv(Table) : FormatText(Table);
      std::fwrite(Text.data(), 1, Text.size(), stdout);
      return ExitOk;
    } catch (const EDatabase &Error) {
      Log(TLevel::Error, std::string("report: ") + Error.what());
      return ExitFailed;
    }
  }
  if (Init) {
    try {
      TPg Db(Config.Database.ConnInfo, Config.Database.Password);
      const int Before = SchemaVersion(Db);
      const int After = Migrate(Db);
      std::printf("schema version %d%s\n", After,
                  Before == After ? " (already up to date)"
                                  : (", from " + std::to_string(Before)).c_str());
      return ExitOk;
    } catch (const EDatabase &Error) {
      Log(TLevel::Error, std::string("init: ") + Error.what());
      return ExitFailed;
    }
  }
  if (Config.Broker.ClientId.empty()) {
    Log(TLevel::Error, "set [broker] client_id or --client-id: each ingest process needs its "
                       "own, the same across its restarts");
    return ExitBadSetup;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  return RunIngest(Config, Config.Broker.ClientId, Interrupted);
}
