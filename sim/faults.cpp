#include "sim/faults.hpp"

#include "protocol/vocabulary.hpp"

namespace de30::sim {

using namespace de30::protocol;

namespace {

struct TNamed {
  TFaultKind Kind;
  const char *Name;
};

constexpr TNamed Names[] = {
    {TFaultKind::NoReply, "no-reply"},     {TFaultKind::LateReply, "late-reply"},
    {TFaultKind::WrongEcho, "wrong-echo"}, {TFaultKind::CorruptDigits, "corrupt-digits"},
    {TFaultKind::DropByte, "drop-byte"},   {TFaultKind::ErrorStatus, "error-status"},
    {TFaultKind::StrayByte, "stray-byte"},
};

struct TNamedAim {
  TFrameAim Aim;
  const char *Name;
};

constexpr TNamedAim AimNamesTable[] = {
    {{TFrameKind::StatusPoll, TSetAction::Any}, "poll"},
    {{TFrameKind::NozzlePoll, TSetAction::Any}, "nozzles"},
    {{TFrameKind::FillRead, TSetAction::Any}, "fill"},
    {{TFrameKind::Totals, TSetAction::Any}, "totals"},
    {{TFrameKind::Set, TSetAction::Any}, "set"},
    {{TFrameKind::Set, TSetAction::Start}, "start"},
    {{TFrameKind::Set, TSetAction::Stop}, "stop"},
    {{TFrameKind::Set, TSetAction::Price}, "price"},
    {{TFrameKind::Set, TSetAction::Dose}, "dose"},
    {{TFrameKind::Set, TSetAction::Unblock}, "unblock"},
    {{TFrameKind::Execute, TSetAction::Any}, "execute"},
    {{TFrameKind::Execute, TSetAction::Start}, "start-execute"},
    {{TFrameKind::Execute, TSetAction::Stop}, "stop-execute"},
    {{TFrameKind::Execute, TSetAction::Price}, "price-execute"},
    {{TFrameKind::Execute, TSetAction::Dose}, "dose-execute"},
    {{TFrameKind::Execute, TSetAction::Unblock}, "unblock-execute"},
    {{TFrameKind::Reinit, TSetAction::Any}, "reinit"},
};

TSetAction ActionOf(std::uint8_t Code) {
  switch (Code) {
  case CodeStart:
    return TSetAction::Start;
  case CodeStop:
    return TSetAction::Stop;
  case CodePriceOne:
  case CodePriceFive:
    return TSetAction::Price;
  case CodeDose:
    return TSetAction::Dose;
  case CodeUnblock:
    return TSetAction::Unblock;
  default:
    return TSetAction::None;
  }
}

bool IsStatus(const TBytes &Command) {
  const auto Cmd = LeadCommand(Command[0]);
  return Cmd == CmdStatus || Cmd == CmdStatusAuth;
}

// Only replies that carry the spoiled part can be spoiled.
bool Applies(TFaultKind Kind, const TBytes &Command, const TReply &Reply) {
  if (Reply.Bytes.empty())
    return false;
  switch (Kind) {
  case TFaultKind::CorruptDigits:
    return LeadCommand(Command[0]) == CmdRead;
  case TFaultKind::ErrorStatus:
    return IsStatus(Command);
  default:
    return true;
  }
}

} // namespace

std::optional<TFaultKind> FaultByName(const std::string &Name) {
  for (const TNamed &N : Names)
    if (Name == N.Name)
      return N.Kind;
  return std::nullopt;
}

TFrameAim AimOf(const TBytes &Command, std::uint8_t PendingCode) {
  if (Command[LeadAt] == TotalsLead)
    return {TFrameKind::Totals, TSetAction::None};
  switch (LeadCommand(Command[LeadAt])) {
  case CmdStatus:
  case CmdStatusAuth:
    return {TFrameKind::StatusPoll, TSetAction::None};
  case CmdRead:
    return {TFrameKind::FillRead, TSetAction::None};
  case CmdSet:
    return {TFrameKind::Set, ActionOf(Command[CodeAt])};
  case CmdExecute:
    return {TFrameKind::Execute, ActionOf(PendingCode)};
  case CmdNozzles:
    return {TFrameKind::NozzlePoll, TSetAction::None};
  case CmdReinit:
    return {TFrameKind::Reinit, TSetAction::None};
  default:
    return {TFrameKind::Any, TSetAction::None};
  }
}

bool Hits(const TFrameAim &Rule, const TFrameAim &Frame) {
  return (Rule.Kind == TFrameKind::Any || Rule.Kind == Frame.Kind) &&
         (Rule.Action == TSetAction::Any || Rule.Action == Frame.Action);
}

std::optional<TFrameAim> AimByName(const std::string &Name) {
  for (const TNamedAim &N : AimNamesTable)
    if (Name == N.Name)
      return N.Aim;
  return std::nullopt;
}

std::string AimNames() {
  std::string List;
  for (const TNamedAim &N : AimNamesTable)
    List += (List.empty() ? "" : ", ") + std::string(N.Name);
  return List;
}

std::optional<TFaultKind> TFaultInjector::Apply(int Line, int Pump, const TBytes &Command,
                                                const TFrameAim &Aim, TReply &Reply) {
  for (TFaultRule &Rule : Rules) {
    if (Rule.Times == 0 || (Rule.Line != 0 && Rule.Line != Line) ||
        (Rule.Pump != 0 && Rule.Pump != Pump) || !Hits(Rule.Aim, Aim) ||
        !Applies(Rule.Kind, Command, Reply))
      continue;
    if (Rule.Probability < 1.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(Random) >= Rule.Probability)
      continue;
    if (Rule.Times > 0)
      --Rule.Times;
    TBytes &B = Reply.Bytes;
    switch (Rule.Kind) {
    case TFaultKind::NoReply:
      B.clear();
      break;
    case TFaultKind::LateReply:
      Reply.DelayMs = Rule.DelayMs;
      break;
    case TFaultKind::WrongEcho:
      B[0] = Complement(B[0]);
      break;
    case TFaultKind::CorruptDigits:
      // The units digit of the value the host reads last (the fill volume, or
      // the pump total) becomes 0xE, which no decimal digit is.
      {
        const std::size_t At = LastValueByteAt(Command[LeadAt], B.size());
        B[At] = static_cast<std::uint8_t>((B[At] & 0xF0) | NonDecimalNibble);
      }
      break;
    case TFaultKind::DropByte:
      B.erase(B.begin() + static_cast<std::ptrdiff_t>(B.size() / 2));
      break;
    case TFaultKind::ErrorStatus:
      PutStatusReply(B[LeadAt], Rule.Status, B.data());
      break;
    case TFaultKind::StrayByte:
      // Noise just before the pump answers: the host takes it for the reply's
      // first byte, and the reply's last byte is left over on the line.
      B.insert(B.begin(), Rule.Noise);
      break;
    }
    return Rule.Kind;
  }
  return std::nullopt;
}

} // namespace de30::sim
