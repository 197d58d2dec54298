#include "monitor.hpp"

#include "exit_codes.hpp"
#include "protocol/vocabulary.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <thread>
#include <unistd.h>

namespace de30::ctl {
namespace {

struct TRow {
  TPumpRef Pump;
  std::string Status;
  int Active = 0;
  std::string Volume = "-", Amount = "-", TotalVolume = "-", TotalAmount = "-";
};

// A value the reply check kept from being read, as the table shows it.
constexpr const char *Unread = "unread";

// One pump's row; a failing pump shows its failure instead of stopping the table.
TRow Read(TSession &S, const TPumpRef &Pump, int Nozzles, bool Authorise) {
  TRow Row;
  Row.Pump = Pump;
  const auto Accepted = [&] {
    return S.Driver.GetLineState(static_cast<std::uint8_t>(Pump.Line)) == LineAccepted;
  };
  try {
    TSostRecord Record = PollRecord(S, Pump, Nozzles);
    if (Authorise && protocol::FamilyOf(Record.Sost) == protocol::FamilyCalling) {
      S.Driver.StartPump(Pump.Line, Pump.Pump);
      const bool Confirmed = Accepted();
      Record = PollRecord(S, Pump, Nozzles);
      Row.Status = Confirmed ? "" : "start not confirmed; ";
    }
    Row.Status += DescribeStatus(Record.Sost);
    Row.Active = Record.ActiveNozzle;
    double Amount = std::numeric_limits<double>::quiet_NaN();
    const double Volume = S.Driver.ReadFill(Pump.Line, Pump.Pump, Amount);
    Row.Volume = Accepted() ? Money(Volume) : Unread;
    Row.Amount = std::isnan(Amount) ? Unread : Money(Amount);
    if (Nozzles <= MaxTotalsNozzles) {
      double TotalVolume = std::numeric_limits<double>::quiet_NaN();
      double TotalAmount = TotalVolume;
      S.Driver.GetTotals(Pump.Line, Pump.Pump, TotalVolume, TotalAmount);
      Row.TotalVolume = std::isnan(TotalVolume) ? Unread : Money(TotalVolume);
      Row.TotalAmount = std::isnan(TotalAmount) ? Unread : Money(TotalAmount);
    }
  } catch (const std::exception &Failure) {
    Row.Status = "failed: " + DescribeFailure(Failure, S.Transport);
  }
  return Row;
}

} // namespace

int RunMonitor(TSession &S, const TMonitorOptions &Options, const std::atomic<bool> &Stop) {
  std::vector<TWatched> Pumps = Options.Pumps;
  if (Pumps.empty())
    for (const TPumpRef &Pump : S.Transport.Pumps())
      Pumps.push_back({Pump, 0});
  if (Pumps.empty())
    throw ECtlError(ExitUsage, "name the pumps to monitor on real lines (--pump LINE:PUMP)");
  for (TWatched &W : Pumps) {
    S.Transport.Require(W.Pump);
    W.Nozzles = S.Transport.Nozzles(W.Pump, W.Nozzles);
  }
  const bool Live = ::isatty(STDOUT_FILENO) != 0;
  sim::TManualClock *Clock = S.Transport.Manual();
  for (int Round = 1; !Stop && (Options.Count == 0 || Round <= Options.Count); ++Round) {
    std::vector<TRow> Rows;
    for (const TWatched &W : Pumps)
      Rows.push_back(Read(S, W.Pump, W.Nozzles, Options.Authorise));
    if (Live)
      std::printf("\033[H\033[J"); // home and clear: the table replaces itself
    else
      std::printf("-- refresh %d\n", Round);
    std::printf("%-6s %-30s %6s %9s %10s %12s %12s\n", "pump", "status", "nozzle", "volume",
                "amount", "total vol", "total amt");
    for (const TRow &R : Rows)
      std::printf("%2d:%-3d %-30s %6d %9s %10s %12s %12s\n", R.Pump.Line, R.Pump.Pump,
                  R.Status.c_str(), R.Active, R.Volume.c_str(), R.Amount.c_str(),
                  R.TotalVolume.c_str(), R.TotalAmount.c_str());
    std::fflush(stdout);
    if (Options.Count != 0 && Round == Options.Count)
      break;
    if (Clock != nullptr)
      Clock->Advance(static_cast<std::int64_t>(Options.IntervalMs) * Options.Speed);
    for (int Waited = 0; Waited < Options.IntervalMs && !Stop; Waited += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ExitOk;
}

} // namespace de30::ctl
