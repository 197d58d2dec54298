#pragma once
// de30ctl --service URL: the pump and sale commands sent to a running de30d over
// HTTP, so that they act on the service's state (its sales, its prices) instead
// of on a line of their own. Exit codes as de30ctl's others (exit_codes.hpp).

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace de30::ctl {

// Where de30d listens unless configured otherwise.
inline constexpr char DefaultServiceUrl[] = "http://127.0.0.1:8030";

struct TServiceArguments {
  std::string Url;
  std::string Token; // --token, or the environment's DE30_TOKEN
  CLI::Option *Given = nullptr;
  // start's preset, through the service only
  std::string Litres;
  std::string Money;
  std::string Grade;
  // the service's own commands
  std::string Pump;
  std::string Sale;
  std::string Client;
  std::string State;
  std::string From;
  std::string To;
  int Limit = 20;
};

// The values of de30ctl's own subcommands that the service also takes.
struct TCtlValues {
  std::string Pump;
  std::string Code; // unblock
  // price: "GRADE=PRICE ..." or "GRADE PRICE", station grades
  std::vector<std::string> Prices;
};

// Adds --service and --token, start's --litres/--money/--grade, and the commands
// only the service has: status, sales, lock, clear. Call after the subcommands.
void AddServiceOptions(CLI::App &App, TServiceArguments &A);
// Whether the command goes to the service: --service was given, or the command
// exists only there (then ECtlError(ExitUsage) without --service).
bool ForService(const TServiceArguments &A, const std::string &Command);
// Runs the command through the service; returns the exit code, ECtlError on failure.
int RunServiceCommand(TServiceArguments &A, const std::string &Command,
                      const TCtlValues &Values);

} // namespace de30::ctl
