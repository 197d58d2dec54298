#include "trace.hpp"

#include "names.hpp"
#include "protocol/vocabulary.hpp"
#include "sim/pump.hpp"

namespace de30::ctl {

using namespace de30::protocol;

namespace {

std::string Hex(const std::vector<std::uint8_t> &Bytes) {
  std::string Text;
  char Pair[4];
  for (std::uint8_t B : Bytes) {
    std::snprintf(Pair, sizeof Pair, "%02X ", B);
    Text += Pair;
  }
  return Text;
}

std::string Amount(const std::vector<std::uint8_t> &Bytes, std::size_t At, std::size_t Count) {
  return Money(FromHundredths(BCDAtEverySecond(Bytes.data() + At, Count)));
}

std::string Pump(std::uint8_t Lead) { return ", pump " + std::to_string(LeadPump(Lead)); }

bool IsTotals(const std::vector<std::uint8_t> &Command) {
  return Command.size() >= 2 && Command[0] == TotalsLead;
}

} // namespace

std::string DescribeStatusByte(std::uint8_t S) {
  std::string Name;
  switch (S) {
  case sim::StatusIdle:
    Name = "idle";
    break;
  case sim::StatusCalling:
    Name = "nozzle lifted";
    break;
  case sim::StatusAuthorised:
    Name = "authorised";
    break;
  case sim::StatusFuelling:
    Name = "fuelling";
    break;
  case sim::StatusFinished:
    Name = "fill ended";
    break;
  case 0x04:
  case 0x51:
  case 0x59:
  case 0x80:
  case 0x91:
    Name = "fault, asks for re-initialisation";
    break;
  default:
    Name = (S & 0x88) == 0x88 ? "locked or error" : "other";
  }
  char Text[64];
  std::snprintf(Text, sizeof Text, "status byte 0x%02X (%s)", S, Name.c_str());
  return Text;
}

std::string DescribeCommand(const std::vector<std::uint8_t> &C) {
  if (C.empty())
    return "empty";
  const std::uint8_t Lead = C[0];
  if (IsTotals(C)) {
    const bool First = C[1] == CodeTotals1First || C[1] == CodeTotals2First;
    const bool Two = C[1] == CodeTotals2First || C[1] == CodeTotals2Second;
    return std::string("totals, ") + (First ? "first" : "second") + " request, " +
           (Two ? "two nozzle groups" : "one nozzle group") + ", pump last addressed";
  }
  switch (LeadCommand(Lead)) {
  case CmdStatus:
    return "status poll" + Pump(Lead);
  case CmdStatusAuth:
    return "status poll (authorised)" + Pump(Lead);
  case CmdRead:
    return "fill data" + Pump(Lead);
  case CmdExecute:
    return "execute" + Pump(Lead);
  case CmdNozzles:
    return "nozzle status" + Pump(Lead);
  case CmdReinit:
    return "re-initialise" + Pump(Lead);
  case CmdSet:
    break;
  default:
    return "unknown command";
  }
  if (C.size() < 2)
    return "command 4" + Pump(Lead);
  switch (C[1]) {
  case CodeStart:
    return "start" + Pump(Lead);
  case CodeStop:
    return "stop" + Pump(Lead);
  case CodeDose:
    return C.size() >= 5
               ? "dose " + Money(FromHundredths(BCDToInt(C.data() + 2, 3))) + " l" + Pump(Lead)
               : "dose";
  case CodePriceOne:
    return C.size() >= 4
               ? "price " + Money(FromHundredths(BCDToInt(C.data() + 2, 2))) + Pump(Lead)
               : "price";
  case CodePriceFive: {
    std::string Text = "prices";
    for (std::size_t G = 0; G < 5 && 3 + 2 * G < C.size(); ++G)
      Text += " " + Money(FromHundredths(BCDToInt(C.data() + 2 + 2 * G, 2)));
    return Text + Pump(Lead);
  }
  case CodeUnblock:
    return C.size() >= 3 ? "unblock, code " + std::to_string(C[2]) + Pump(Lead) : "unblock";
  default:
    return "unknown command 4 code";
  }
}

std::string DescribeReply(const std::vector<std::uint8_t> &C,
                          const std::vector<std::uint8_t> &R) {
  if (C.empty() || R.empty())
    return "";
  std::string Echo = R[0] == C[0] ? "" : " [echo does not match: rejected]";
  if (IsTotals(C) && R.size() >= 16)
    return "total " + Amount(R, R.size() - 14, 6) + Echo;
  switch (LeadCommand(C[0])) {
  case CmdStatus:
  case CmdStatusAuth:
  case CmdReinit:
    return R.size() >= 2 ? DescribeStatusByte(R[1]) + Echo : Echo;
  case CmdNozzles:
    if (R.size() >= 4) {
      char Text[64];
      std::snprintf(Text, sizeof Text, "nozzle nibbles %X %X %X %X", R[1] >> 4, R[1] & 15,
                    R[3] >> 4, R[3] & 15);
      return Text + Echo;
    }
    return Echo;
  case CmdRead:
    if (R.size() >= 13)
      return "volume " + Amount(R, 8, 3) + " l, amount " + Amount(R, 2, 3) + Echo;
    return Echo;
  default:
    return "acknowledged" + Echo;
  }
}

void PrintTrace(std::FILE *Out, const channels::TTraceRecord &Record) {
  const std::vector<std::uint8_t> Command(Record.Frame.begin() + (Record.Frame.empty() ? 0 : 1),
                                          Record.Frame.end());
  std::fprintf(Out, "  L%d > %-40s %s\n", Record.Line, Hex(Record.Frame).c_str(),
               DescribeCommand(Command).c_str());
  std::string Meaning;
  if (Record.Result != 0)
    Meaning = std::string("error ") + std::to_string(Record.Result) + ": " +
              channels::ErrorText(Record.Result) + ", " + std::to_string(Record.Reply.size()) +
              " of " + std::to_string(Record.ReplyLength) + " bytes";
  else
    Meaning = DescribeReply(Command, Record.Reply);
  std::fprintf(Out, "  L%d < %-40s %s\n", Record.Line, Hex(Record.Reply).c_str(),
               Meaning.c_str());
}

} // namespace de30::ctl
