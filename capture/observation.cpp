#include "capture/observation.hpp"

#include "protocol/vocabulary.hpp"

namespace de30::capture {

using namespace de30::protocol;

namespace {

bool IsTotalsFirst(std::uint8_t Code) {
  return Code == CodeTotals1First || Code == CodeTotals2First;
}
bool IsTotalsSecond(std::uint8_t Code) {
  return Code == CodeTotals1Second || Code == CodeTotals2Second;
}

} // namespace

const char *ObservationName(TObservation::TKind Kind) {
  using K = TObservation::TKind;
  switch (Kind) {
  case K::Status:
    return "status";
  case K::Missed:
    return "missed";
  case K::Rejected:
    return "rejected";
  case K::Fill:
    return "fill";
  case K::Totals:
    return "totals";
  case K::Start:
    return "start";
  case K::Stop:
    return "stop";
  case K::Unblock:
    return "unblock";
  case K::Dose:
    return "dose";
  case K::Prices:
    return "prices";
  }
  return "unknown";
}

std::vector<TObservation> TExchangeDecoder::Decode(int Line, const THeard &E) {
  std::vector<TObservation> Out;
  const int Addressed = LastPump;
  const std::optional<double> Volume = TotalsVolume;
  LastPump = 0;
  TotalsVolume.reset();
  if (E.Kind != THeardKind::Exchange || E.Frame.size() < 2)
    return Out;
  const std::uint8_t Lead = E.Frame[1];
  const std::uint8_t Code = E.Frame.size() > 2 ? E.Frame[2] : NoCode;
  const bool Accepted = E.Outcome() == TOutcome::Accepted;

  if (Lead == TotalsLead) {
    // Only a whole pair after the addressed pump's exchange is that pump's.
    if (!Accepted || Addressed == 0)
      return Out;
    const int Groups = TotalsGroups(E.Reply.size());
    const double Total = FromHundredths(TotalOf(E.Reply.data(), Groups));
    if (IsTotalsFirst(Code)) {
      LastPump = Addressed;
      TotalsVolume = Total;
    } else if (IsTotalsSecond(Code) && Volume) {
      TObservation T;
      T.Kind = TObservation::TKind::Totals;
      T.Pump = Addressed;
      T.Volume = *Volume;
      T.Amount = Total;
      Out.push_back(T);
    }
    return Out;
  }

  const int Pump = LeadPump(Lead);
  if (Pump < 1 || Pump > PumpCount)
    return Out;
  const TShadowPump Before = Codes.Pump(Line, Pump);
  const auto Derived = Codes.Follow(Line, E);
  LastPump = Pump;
  TObservation O;
  O.Pump = Pump;
  switch (LeadCommand(Lead)) {
  case CmdStatus:
  case CmdStatusAuth:
  case CmdNozzles:
    O.NozzlePoll = LeadCommand(Lead) == CmdNozzles;
    O.Shadow = Before;
    if (E.Result() != 0) {
      O.Kind = TObservation::TKind::Missed;
    } else if (!Accepted || !Derived) {
      O.Kind = TObservation::TKind::Rejected;
    } else {
      O.Kind = TObservation::TKind::Status;
      O.Code = Derived->Code;
      O.Nozzle = O.NozzlePoll ? Derived->ActiveNozzle
                              : static_cast<std::uint8_t>(NozzleOf(Derived->Code));
    }
    Out.push_back(O);
    break;
  case CmdRead:
    if (Code == CodeFill && Accepted) {
      O.Kind = TObservation::TKind::Fill;
      O.Volume = FromHundredths(FillVolumeOf(E.Reply.data()));
      O.Amount = FromHundredths(FillAmountOf(E.Reply.data()));
      Out.push_back(O);
    }
    break;
  case CmdSet:
    Command4(Pump, E, Out);
    break;
  case CmdExecute:
    Execute(Pump, E, Out);
    break;
  default:
    break;
  }
  return Out;
}

void TExchangeDecoder::Command4(int Pump, const THeard &E, std::vector<TObservation> &Out) {
  // A command 4 whose execute never came is replaced by the next.
  Pending.erase(Pump);
  TPending P;
  P.Command.assign(E.Frame.begin() + 1, E.Frame.end());
  P.Through = E.Result() == 0;
  if (P.Through) {
    Pending[Pump] = std::move(P);
    return;
  }
  // The driver gives up at a failed exchange and sends no execute: only a start
  // or a stop matters then, its outcome unknown.
  const std::uint8_t Code = P.Command.size() > 1 ? P.Command[1] : NoCode;
  TObservation O;
  O.Pump = Pump;
  O.Taken = false;
  if (Code == CodeStart)
    O.Kind = TObservation::TKind::Start;
  else if (Code == CodeStop)
    O.Kind = TObservation::TKind::Stop;
  else
    return;
  Out.push_back(O);
}

void TExchangeDecoder::Execute(int Pump, const THeard &E, std::vector<TObservation> &Out) {
  const auto Found = Pending.find(Pump);
  if (Found == Pending.end())
    return;
  const TPending P = std::move(Found->second);
  Pending.erase(Found);
  const std::uint8_t *C = P.Command.data();
  const std::uint8_t Code = P.Command.size() > 1 ? C[1] : NoCode;
  TObservation O;
  O.Pump = Pump;
  O.Taken = P.Through && E.Result() == 0;
  switch (Code) {
  case CodeStart:
    O.Kind = TObservation::TKind::Start;
    break;
  case CodeStop:
    O.Kind = TObservation::TKind::Stop;
    break;
  case CodeUnblock:
    O.Kind = TObservation::TKind::Unblock;
    break;
  case CodeDose:
    if (P.Command.size() < ShapeDose.SendLength)
      return;
    O.Kind = TObservation::TKind::Dose;
    O.Volume = FromHundredths(DoseOf(C));
    break;
  case CodePriceOne:
  case CodePriceFive: {
    const int Grades = Code == CodePriceOne ? GradesOneNozzle : GradesSeveralNozzles;
    if (P.Command.size() < static_cast<std::size_t>(PriceAt(Grades) + PriceBytes))
      return;
    O.Kind = TObservation::TKind::Prices;
    for (int G = 1; G <= Grades; ++G)
      O.Prices.push_back(FromHundredths(PriceOf(C, G)));
    break;
  }
  default:
    return;
  }
  Out.push_back(O);
}

} // namespace de30::capture
