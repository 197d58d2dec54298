#include "trace.hpp"

#include "names.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::ctl {

using namespace de30::protocol;

std::string Hex(const std::vector<std::uint8_t> &Bytes) {
  std::string Text;
  char Pair[4];
  for (std::uint8_t B : Bytes) {
    std::snprintf(Pair, sizeof Pair, "%02X ", B);
    Text += Pair;
  }
  return Text;
}

namespace {

std::string Amount(std::int64_t Hundredths) { return Money(FromHundredths(Hundredths)); }

std::string Pump(std::uint8_t Lead) { return ", pump " + std::to_string(LeadPump(Lead)); }

bool IsTotals(const std::vector<std::uint8_t> &Command) {
  return Command.size() >= ShapeTotals1First.SendLength && Command[LeadAt] == TotalsLead;
}

} // namespace

const char *StatusByteName(std::uint8_t S) {
  switch (S) {
  case StatusIdle:
    return "idle";
  case StatusCalling:
    return "nozzle lifted";
  case StatusAuthorised:
    return "authorised";
  case StatusFuelling:
    return "fuelling";
  case StatusFinished:
    return "fill ended";
  default:
    if (AsksForReinit(S))
      return StatusNameReinit;
    return IsErrorStatus(S) ? StatusNameError : StatusNameOther;
  }
}

std::string DescribeStatusByte(std::uint8_t S) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "status byte 0x%02X (%s)", S, StatusByteName(S));
  return Text;
}

std::string DescribeCommand(const std::vector<std::uint8_t> &C) {
  if (C.empty())
    return "empty";
  const std::uint8_t Lead = C[LeadAt];
  if (IsTotals(C)) {
    const bool First = C[CodeAt] == TotalsFirst(1).Code || C[CodeAt] == TotalsFirst(2).Code;
    const bool Two = C[CodeAt] == TotalsFirst(2).Code || C[CodeAt] == TotalsSecond(2).Code;
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
  if (C.size() <= CodeAt)
    return "command 4" + Pump(Lead);
  switch (C[CodeAt]) {
  case CodeStart:
    return "start" + Pump(Lead);
  case CodeStop:
    return "stop" + Pump(Lead);
  case CodeDose:
    return C.size() >= ShapeDose.SendLength
               ? "dose " + Amount(DoseOf(C.data())) + " l" + Pump(Lead)
               : "dose";
  case CodePriceOne:
    return C.size() >= ShapePriceOne.SendLength
               ? "price " + Amount(PriceOf(C.data(), 1)) + Pump(Lead)
               : "price";
  case CodePriceFive: {
    std::string Text = "prices";
    for (int G = 1; G <= GradesSeveralNozzles &&
                    static_cast<std::size_t>(PriceAt(G) + PriceBytes) <= C.size();
         ++G)
      Text += " " + Amount(PriceOf(C.data(), G));
    return Text + Pump(Lead);
  }
  case CodeUnblock:
    return C.size() > UnblockCodeAt
               ? "unblock, code " + std::to_string(UnblockCodeOf(C.data())) + Pump(Lead)
               : "unblock";
  default:
    return "unknown command 4 code";
  }
}

std::string DescribeReply(const std::vector<std::uint8_t> &C,
                          const std::vector<std::uint8_t> &R) {
  if (C.empty() || R.empty())
    return "";
  std::string Echo = R[LeadAt] == C[LeadAt] ? "" : " [echo does not match: rejected]";
  if (IsTotals(C) && R.size() >= TotalsReplyLength(1))
    return "total " + Amount(TotalOf(R.data(), TotalsGroups(R.size()))) + Echo;
  switch (LeadCommand(C[LeadAt])) {
  case CmdStatus:
  case CmdStatusAuth:
  case CmdReinit:
    return R.size() > StatusByteAt ? DescribeStatusByte(StatusByteOf(R.data())) + Echo : Echo;
  case CmdNozzles:
    if (R.size() >= ShapeNozzles.ReplyLength - 1u) {
      char Text[64];
      std::snprintf(Text, sizeof Text, "nozzle nibbles %X %X %X %X", NozzleNibble(R.data(), 1),
                    NozzleNibble(R.data(), 2), NozzleNibble(R.data(), 3),
                    NozzleNibble(R.data(), 4));
      return Text + Echo;
    }
    return Echo;
  case CmdRead:
    if (R.size() > FillVolumeAt + 2u * (FillValueBytes - 1))
      return "volume " + Amount(FillVolumeOf(R.data())) + " l, amount " +
             Amount(FillAmountOf(R.data())) + Echo;
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
