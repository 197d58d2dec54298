#pragma once
// de30ctl's pump commands, each a thin layer over the driver's operations. They
// print what they did on stdout, warn on stderr about every reply the reply check
// rejected, and return the exit code; they raise ECtlError for bad input, and the
// driver's own failures pass through.

#include "de30/driver.hpp"
#include "exit_codes.hpp"
#include "names.hpp"
#include "transport.hpp"

#include <exception>
#include <map>
#include <optional>

namespace de30::ctl {

struct TSession {
  TTransport &Transport;
  TVM30 &Driver;
};

// Nozzle counts each operation handles: the nozzle poll reports four nozzles, the
// price command carries five grades, the totals requests know one or two groups.
inline constexpr int MaxPollNozzles = 4;
inline constexpr int MaxPriceNozzles = 5;
inline constexpr int MaxTotalsNozzles = 2;
// Grades a price command carries: grade 1 alone, or grades 1..5.
inline constexpr int SentGrades = 5;

void Ident(TSession &S);
TExitCode Poll(TSession &S, const TPumpRef &Pump, int Nozzles, bool Short);
TExitCode Start(TSession &S, const TPumpRef &Pump);
TExitCode Stop(TSession &S, const TPumpRef &Pump);
TExitCode Unblock(TSession &S, const TPumpRef &Pump, int Code);
// Prices by grade. A one-nozzle pump receives grade 1 only; a pump with more
// nozzles receives grades 1..5 in one command, so all five must be given.
TExitCode Price(TSession &S, const TPumpRef &Pump, int Nozzles,
                const std::map<int, double> &Prices);
// A dose in litres, or in money at a price given with it (stored as Grade's).
TExitCode DoseLitres(TSession &S, const TPumpRef &Pump, double Litres);
TExitCode DoseMoney(TSession &S, const TPumpRef &Pump, double Amount, double Price, int Grade);
TExitCode Fill(TSession &S, const TPumpRef &Pump);
TExitCode Totals(TSession &S, const TPumpRef &Pump, int Nozzles);

// One multi-nozzle poll, which also teaches the driver the nozzle count.
TSostRecord PollRecord(TSession &S, const TPumpRef &Pump, int Nozzles);
// Sends Prices (grade 1 alone for one nozzle, grades 1..5 otherwise) in one price
// command, so that no grade goes out with a value it was not given. Returns the
// number of exchanges recorded before the price command.
std::size_t SendPrices(TSession &S, const TPumpRef &Pump, int Nozzles,
                       const std::map<int, double> &Prices);

// A driver failure as de30ctl shows it: the driver's fixed text, what it means in
// English, and the channel's reason ("Can't GetSost (the status poll failed):
// line 1: no reply (timeout), channel error 4").
std::string DescribeFailure(const std::exception &Failure, const TTransport &Transport);

} // namespace de30::ctl
