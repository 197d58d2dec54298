#include "faults/fault_model.hpp"

#include "de30/messages.hpp"

#include <bit>
#include <cstdio>
#include <cstring>

namespace de30::test {
namespace {

std::string Render(const TStep &Step) {
  std::string Text = "00 ";
  char Hex[8];
  for (std::uint8_t B : Step.Command) {
    std::snprintf(Hex, sizeof Hex, "%02X ", B);
    Text += Hex;
  }
  std::snprintf(Hex, sizeof Hex, "@%02X", Step.Lead);
  return Text + "/" + std::to_string(Step.ReplyLength) + " " + Hex;
}

bool SameBits(double A, double B) {
  return std::bit_cast<std::uint64_t>(A) == std::bit_cast<std::uint64_t>(B);
}

// An error number no channel state explains, so a wrong source shows.
constexpr std::int32_t TransactError = 5;
constexpr std::int32_t ChannelLastError = 77;
constexpr std::uint8_t HostLineState = 7;

} // namespace

TSostRecord TCallerVars::Untouched() {
  TSostRecord Record;
  std::memset(&Record, 0xA5, sizeof Record);
  return Record;
}

bool TCallerVars::operator==(const TCallerVars &Other) const {
  return SameBits(Value1, Other.Value1) && SameBits(Value2, Other.Value2) &&
         SameBits(Result, Other.Result) &&
         std::memcmp(&Record, &Other.Record, sizeof Record) == 0;
}

TStep Send(TBytes Command, std::uint8_t ReplyLength, std::uint8_t Lead, const char *Message) {
  TStep Step;
  Step.Kind = TStep::Exchange;
  Step.Command = std::move(Command);
  Step.ReplyLength = ReplyLength;
  Step.Lead = Lead;
  Step.Message = Message;
  return Step;
}

TStep Decode(TBytes Command, std::uint8_t ReplyLength, const char *Message, TBytes Reply,
             TEffect OnReply, TEffect OnStale, TEffect OnSkipped) {
  const std::uint8_t Lead = Command.at(0);
  TStep Step = Send(std::move(Command), ReplyLength, Lead, Message);
  Step.Reply = std::move(Reply);
  Step.OnReply = std::move(OnReply);
  Step.OnStale = std::move(OnStale);
  Step.OnSkipped = OnSkipped ? std::move(OnSkipped) : [](TWorld &) {};
  return Step;
}

TStep Write(TEffect Effect) {
  TStep Step;
  Step.Kind = TStep::Write;
  Step.Effect = std::move(Effect);
  return Step;
}

TStep Pause(std::uint32_t Milliseconds) {
  TStep Step;
  Step.Kind = TStep::Pause;
  Step.Milliseconds = Milliseconds;
  return Step;
}

TStep AfterReply(TStep Step) {
  Step.AfterReplyOnly = true;
  return Step;
}

TStep Execute() {
  constexpr std::uint8_t Lead = FaultPump * 8 + 5;
  return Send({Lead, static_cast<std::uint8_t>(~Lead)}, 1, Lead, messages::ExecuteCommand);
}

const char *Name(TFault Fault) {
  switch (Fault) {
  case TFault::None:
    return "None";
  case TFault::ErrorNumber:
    return "ErrorNumber";
  case TFault::Absorbed:
    return "Absorbed";
  case TFault::AbsorbedAfterHost:
    return "AbsorbedAfterHostState";
  case TFault::AbsorbedWithError:
    return "AbsorbedWithLastError";
  case TFault::Rejected:
    return "Rejected";
  case TFault::Foreign:
    return "ForeignException";
  }
  return "?";
}

std::uint8_t LineStateBefore(TFault Kind) {
  switch (Kind) {
  case TFault::AbsorbedAfterHost:
  case TFault::AbsorbedWithError:
  case TFault::Foreign:
    return HostLineState;
  default:
    return LineAccepted;
  }
}

std::int32_t LastErrorFor(TFault Kind) {
  return Kind == TFault::AbsorbedWithError ? ChannelLastError : 0;
}

TOutcome Predict(const TCase &Case, const TWorld &Start, TPlan Plan) {
  TOutcome Out;
  Out.World = Start;
  std::uint8_t &LineState = Out.World.Tables.LineState[FaultLine];
  LineState = LineStateBefore(Plan.Kind);
  bool LastWasReply = true;
  for (const TStep &Step : Case.Steps) {
    if (Step.AfterReplyOnly && !LastWasReply)
      continue;
    if (Step.Kind == TStep::Write) {
      Step.Effect(Out.World);
      continue;
    }
    if (Step.Kind == TStep::Pause) {
      Out.Wire.push_back("pause " + std::to_string(Step.Milliseconds));
      continue;
    }
    Out.Wire.push_back(Render(Step));
    const TFault Fault = Out.Exchanges++ == Plan.At ? Plan.Kind : TFault::None;
    TAnswer Answer = TAnswer::Bytes(Step.Reply);
    enum { FromReply, FromStaleBuffer, NotDecoded } Decoding = FromReply;
    switch (Fault) {
    case TFault::None:
      // Exchange stores the channel's verdict on every reply.
      LineState = LineAccepted;
      break;
    case TFault::Rejected:
      Answer.Reject = true;
      LineState = LineRejected;
      Decoding = NotDecoded;
      break;
    case TFault::ErrorNumber:
      // The line state is stored even when Transact reports an error.
      Answer.Reject = true;
      Answer.Result = TransactError;
      LineState = LineRejected;
      Out.Answers.push_back(Answer);
      Out.Ending = TOutcome::RaisesSerialIO;
      Out.Message = Step.Message;
      return Out;
    case TFault::AbsorbedWithError:
      // The channel's LastError takes the place of the result; the state stays.
      Out.Answers.push_back(TAnswer::Throws());
      Out.Ending = TOutcome::RaisesSerialIO;
      Out.Message = Step.Message;
      return Out;
    case TFault::Foreign:
      Answer.ThrowOther = true;
      Out.Answers.push_back(Answer);
      Out.Ending = TOutcome::RaisesForeign;
      return Out;
    case TFault::Absorbed:
    case TFault::AbsorbedAfterHost:
      // Goes on as after success; the decoder trusts the line state as it was.
      Answer = TAnswer::Throws();
      Decoding = LineState == LineAccepted ? FromStaleBuffer : NotDecoded;
      break;
    }
    Out.Answers.push_back(Answer);
    if (!Step.OnReply)
      continue;
    if (Decoding == FromReply)
      Step.OnReply(Out.World);
    else if (Decoding == FromStaleBuffer)
      Step.OnStale(Out.World);
    else
      Step.OnSkipped(Out.World);
    LastWasReply = Decoding == FromReply;
  }
  return Out;
}

} // namespace de30::test
