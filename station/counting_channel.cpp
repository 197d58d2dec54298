#include "station/counting_channel.hpp"

#include "channels/line_channel.hpp"
#include "de30/constants.hpp"
#include "station/sale.hpp"

namespace de30::station {

void TCountingChannel::NoteError(const std::string &Error) {
  Health.LastError = Error;
  Health.LastErrorMs = NowEpochMs();
}

void TCountingChannel::Failed(std::int32_t Error) {
  ++Health.ChannelErrors;
  ++Health.ErrorsByNumber[Error];
  if (Error == channels::ErrTimeout || Error == channels::ErrShortReply)
    ++Health.Timeouts;
  NoteError(std::string("channel error ") + std::to_string(Error) + ": " +
            channels::ErrorText(Error));
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
    NoteError("line set-up failed: " + std::string(channels::ErrorText(Result)));
  return Result;
}

std::int32_t TCountingChannel::Transact(std::int32_t Line, std::int32_t Line2,
                                        const std::uint8_t *Frame, std::uint8_t FrameLength,
                                        std::uint8_t *Reply, std::uint8_t ReplyLength,
                                        std::uint8_t Lead) {
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
    Failed(Result);
  return Result;
}

void TCountingChannel::SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) {
  Channel.SetReplyCheck(Line, Check, Data);
}

void TCountingChannel::SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) {
  Channel.SetLineSetup(Line, Setup, Data);
}

} // namespace de30::station
