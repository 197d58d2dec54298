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
};

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

std::optional<TFaultKind> TFaultInjector::Apply(int Line, int Pump, const TBytes &Command,
                                                TReply &Reply) {
  for (TFaultRule &Rule : Rules) {
    if (Rule.Times == 0 || (Rule.Line != 0 && Rule.Line != Line) ||
        (Rule.Pump != 0 && Rule.Pump != Pump) || !Applies(Rule.Kind, Command, Reply))
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
    }
    return Rule.Kind;
  }
  return std::nullopt;
}

} // namespace de30::sim
