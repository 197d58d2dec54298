#include "commands.hpp"

#include "exit_codes.hpp"
#include "protocol/vocabulary.hpp"

#include <cstdio>

namespace de30::ctl {

namespace {

std::string Name(const TPumpRef &Pump) {
  return "pump " + std::to_string(Pump.Line) + ":" + std::to_string(Pump.Pump);
}

// A reply the driver did not accept leaves its values unread: say so.
std::string Accepted(TSession &S, const TPumpRef &Pump) {
  const std::uint8_t State = S.Driver.GetLineState(static_cast<std::uint8_t>(Pump.Line));
  return State == LineAccepted ? ""
                               : " (reply not accepted, line state " + std::to_string(State) +
                                     ": values not read)";
}

void CheckGrade(int Grade) {
  if (Grade < 1 || Grade > GradeCount)
    throw ECtlError(ExitUnknown, "grade " + std::to_string(Grade) + " does not exist (1..6)");
}

} // namespace

TSostRecord PollRecord(TSession &S, const TPumpRef &Pump, int Nozzles) {
  TSostRecord Record{};
  S.Driver.GetSostEx(static_cast<std::uint8_t>(Pump.Line), static_cast<std::uint8_t>(Pump.Pump),
                     static_cast<std::uint8_t>(Nozzles), Record);
  return Record;
}

void Ident(TSession &S) {
  const TIdentString Raw = S.Driver.GetIdent();
  std::printf("%s (%u characters)\n", IdentText, Raw[0]);
  for (int Kind : {1, 2, 4}) {
    std::int32_t Value = 0;
    if (S.Driver.GetCapability(Kind, Value))
      std::printf("capability %d: %d\n", Kind, Value);
  }
}

void Poll(TSession &S, const TPumpRef &Pump, int Nozzles, bool Short) {
  S.Transport.Require(Pump);
  if (Short) {
    const std::uint16_t Word = S.Driver.GetSost(static_cast<std::uint8_t>(Pump.Line),
                                                static_cast<std::uint8_t>(Pump.Pump));
    std::printf("%s: %s\n", Name(Pump).c_str(), DescribeStatus(Word).c_str());
    return;
  }
  const int Count = S.Transport.Nozzles(Pump, Nozzles);
  TSostRecord Record = PollRecord(S, Pump, Count);
  std::printf("%s: %s (active nozzle %u)\n", Name(Pump).c_str(),
              DescribeStatus(Record.Sost).c_str(), Record.ActiveNozzle);
  for (int K = 1; Count >= 2 && K <= Count && K <= ReportedNozzles; ++K)
    std::printf("  nozzle %d: %s\n", K, DescribeStatus(Record.Nozzle(K)).c_str());
}

void Start(TSession &S, const TPumpRef &Pump) {
  S.Transport.Require(Pump);
  S.Driver.StartPump(Pump.Line, Pump.Pump);
  std::printf("%s: authorised\n", Name(Pump).c_str());
}

void Stop(TSession &S, const TPumpRef &Pump) {
  S.Transport.Require(Pump);
  S.Driver.StopPump(Pump.Line, Pump.Pump);
  std::printf("%s: stopped\n", Name(Pump).c_str());
}

void Unblock(TSession &S, const TPumpRef &Pump, int Code) {
  S.Transport.Require(Pump);
  S.Driver.UnblockPump(Pump.Line, Pump.Pump, Code);
  std::printf("%s: re-initialised and unblocked with code %d\n", Name(Pump).c_str(), Code);
}

void Price(TSession &S, const TPumpRef &Pump, int Nozzles, int Grade, double Value) {
  S.Transport.Require(Pump);
  CheckGrade(Grade);
  FitWire(Value, protocol::MaxPriceHundredths, "price");
  // The driver sends prices only once it knows the nozzle count, which a
  // multi-nozzle poll teaches it.
  const int Count = S.Transport.Nozzles(Pump, Nozzles);
  PollRecord(S, Pump, Count);
  S.Driver.SetPrice(Pump.Line, Pump.Pump, Grade, Value);
  std::printf("%s: grade %d price %s sent (%s)\n", Name(Pump).c_str(), Grade,
              Money(Value).c_str(),
              Count == 1 ? "one nozzle: the pump receives grade 1" : "grades 1..5");
}

void Dose(TSession &S, const TPumpRef &Pump, std::optional<double> Litres,
          std::optional<double> Amount, int Grade) {
  S.Transport.Require(Pump);
  if (Litres.has_value() == Amount.has_value())
    throw ECtlError(ExitUsage, "give the dose either in --litres or in --money");
  if (Litres) {
    FitWire(*Litres, protocol::MaxDoseHundredths, "dose");
    S.Driver.SetDoseLitres(Pump.Line, Pump.Pump, *Litres);
    std::printf("%s: dose %s l preset\n", Name(Pump).c_str(), Money(*Litres).c_str());
    return;
  }
  CheckGrade(Grade);
  FitWire(*Amount, 999999999, "money");
  const double Price = S.Driver.Prices()[Pump.Line][Pump.Pump][Grade];
  if (Price > 0)
    FitWire(*Amount / Price, protocol::MaxDoseHundredths, "dose");
  S.Driver.SetDoseMoney(Pump.Line, Pump.Pump, Grade, *Amount);
  std::printf("%s: dose for %s at grade %d price %s preset\n", Name(Pump).c_str(),
              Money(*Amount).c_str(), Grade, Money(Price).c_str());
}

void Fill(TSession &S, const TPumpRef &Pump) {
  S.Transport.Require(Pump);
  double Amount = 0;
  const double Volume = S.Driver.ReadFill(Pump.Line, Pump.Pump, Amount);
  std::printf("%s: fill volume %s l, amount %s%s\n", Name(Pump).c_str(), Money(Volume).c_str(),
              Money(Amount).c_str(), Accepted(S, Pump).c_str());
}

void Totals(TSession &S, const TPumpRef &Pump, int Nozzles) {
  S.Transport.Require(Pump);
  const int Count = S.Transport.Nozzles(Pump, Nozzles);
  if (Count > 2)
    throw ECtlError(ExitUnknown, Name(Pump) + " has " + std::to_string(Count) +
                                     " nozzles: the driver reads totals of 1 or 2 only");
  PollRecord(S, Pump, Count);
  double Volume = 0;
  double Amount = 0;
  S.Driver.GetTotals(Pump.Line, Pump.Pump, Volume, Amount);
  std::printf("%s: total volume %s l, total amount %s%s\n", Name(Pump).c_str(),
              Money(Volume).c_str(), Money(Amount).c_str(), Accepted(S, Pump).c_str());
}

} // namespace de30::ctl
