#pragma once
// de30ctl's pump commands, each a thin layer over the driver's operations. They
// print what they did on stdout and raise ECtlError for bad input; the driver's
// own failures pass through.

#include "de30/driver.hpp"
#include "names.hpp"
#include "transport.hpp"

#include <optional>

namespace de30::ctl {

struct TSession {
  TTransport &Transport;
  TVM30 &Driver;
};

void Ident(TSession &S);
void Poll(TSession &S, const TPumpRef &Pump, int Nozzles, bool Short);
void Start(TSession &S, const TPumpRef &Pump);
void Stop(TSession &S, const TPumpRef &Pump);
void Unblock(TSession &S, const TPumpRef &Pump, int Code);
void Price(TSession &S, const TPumpRef &Pump, int Nozzles, int Grade, double Value);
// Exactly one of Litres and Money; Money needs Grade.
void Dose(TSession &S, const TPumpRef &Pump, std::optional<double> Litres,
          std::optional<double> Money, int Grade);
void Fill(TSession &S, const TPumpRef &Pump);
void Totals(TSession &S, const TPumpRef &Pump, int Nozzles);

// One multi-nozzle poll, which also teaches the driver the nozzle count.
TSostRecord PollRecord(TSession &S, const TPumpRef &Pump, int Nozzles);

} // namespace de30::ctl
