#include "station/counting_channel.hpp"

#include "protocol/vocabulary.hpp"

#include "channels/line_channel.hpp"
#include "de30/constants.hpp"
#include "station/sale.hpp"

namespace de30::station {

namespace {

bool Decimal(std::uint8_t Byte) { return (Byte >> 4) <= 9 && (Byte & 0x0F) <= 9; }

// Whether every value byte of a fill or totals reply holds two decimal digits.
// Frame is the command as sent, its 0x00 first.
bool DigitsDecimal(const std::uint8_t *Frame, std::uint8_t FrameLength,
                   const std::uint8_t *Reply, std::uint8_t ReplyLength) {
  using namespace protocol;
  if (Frame == nullptr || Reply == nullptr || FrameLength < 3)
    return true;
  const std::uint8_t Lead = Frame[1];
  const std::uint8_t Code = Frame[2];
  if (Lead == TotalsLead) {
    if (ReplyLength < TotalsReplyLength(1))
      return true;
    for (int Group = 1; Group <= TotalsGroups(ReplyLength); ++Group)
      for (int K = 0; K < TotalValueBytes; ++K)
        if (!Decimal(Reply[TotalsAt(Group) + 2 * K]))
          return false;
    return true;
  }
  if (LeadCommand(Lead) != CmdRead || Code != CodeFill || ReplyLength < ShapeFill.ReplyLength)
    return true;
  for (int K = 0; K < FillValueBytes; ++K)
    if (!Decimal(Reply[FillAmountAt + 2 * K]) || !Decimal(Reply[FillVolumeAt + 2 * K]))
      return false;
  return true;
}

} // namespace

void TCountingChannel::NoteError(const std::string &Error) {
  Health.LastError = Error;
  Health.LastErrorMs = NowEpochMs();
}

TCountingChannel::TCountingChannel(TComChannel &Inner)
    : Channel(Inner), Lines(dynamic_cast<channels::TLineChannel *>(&Inner)) {}

std::string TCountingChannel::Words(std::int32_t Line, std::int32_t Error) {
  if (Lines != nullptr && Lines->LastError(Line) == Error)
    return Lines->LastErrorText(Line);
  return channels::ErrorText(Error);
}

void TCountingChannel::Failed(std::int32_t Line, std::int32_t Error) {
  ++Health.ChannelErrors;
  ++Health.ErrorsByNumber[Error];
  if (Error == channels::ErrTimeout || Error == channels::ErrShortReply)
    ++Health.Timeouts;
  NoteError(std::string("channel error ") + std::to_string(Error) + ": " + Words(Line, Error));
}

std::int32_t TCountingChannel::LastError(std::int32_t Line) { return Channel.LastError(Line); }

void TCountingChannel::SetError(std::int32_t Line, std::int32_t Code) {
  Channel.SetError(Line, Code);
}

void TCountingChannel::SetState(std::int32_t Line, std::int32_t State) {
  if (State != LineAccepted) {
    ++Health.Rejected;
    NoteError("reply rejected by the reply check");
  }
  Channel.SetState(Line, State);
}

std::uint8_t TCountingChannel::GetState(std::int32_t Line) { return Channel.GetState(Line); }

std::int32_t TCountingChannel::SetupLine(std::int32_t Line, std::int32_t Parameter,
                                         std::int32_t BaudRate) {
  const std::int32_t Result = Channel.SetupLine(Line, Parameter, BaudRate);
  if (Result != 0)
    NoteError("line set-up failed: " + Words(Line, Result));
  return Result;
}

std::int32_t TCountingChannel::Transact(std::int32_t Line, std::int32_t Line2,
                                        const std::uint8_t *Frame, std::uint8_t FrameLength,
                                        std::uint8_t *Reply, std::uint8_t ReplyLength,
                                        std::uint8_t Lead) {
  // Held: the driver stores what the operation writes to its tables, and the
  // frame never reaches the line.
  if (Holding)
    return HeldResult;
  ++Health.Polls;
  std::int32_t Result = 0;
  try {
    Result = Channel.Transact(Line, Line2, Frame, FrameLength, Reply, ReplyLength, Lead);
  } catch (...) {
    ++Health.ChannelErrors;
    NoteError("the channel raised an exception");
    throw;
  }
  if (Result != 0)
    Failed(Line, Result);
  else if (Channel.GetState(Line) == LineAccepted &&
           !DigitsDecimal(Frame, FrameLength, Reply, ReplyLength)) {
    // The driver decodes any nibble as a digit: a reading with one that is not
    // decimal is noise on the line, and nothing of it may be used.
    ++Health.Rejected;
    NoteError("a reply value with a digit that is not decimal");
  }
  return Result;
}

void TCountingChannel::SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) {
  Channel.SetReplyCheck(Line, Check, Data);
}

void TCountingChannel::SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) {
  Channel.SetLineSetup(Line, Setup, Data);
}

} // namespace de30::station
