#include "link/exchange.hpp"

#include <exception>

namespace de30::link {

TExchangeResult Exchange(TDriverState &Driver, std::uint8_t Line, std::uint8_t /*Pump*/,
                         std::uint8_t *Buffer, std::uint8_t SendCount, std::uint8_t ReplyLen,
                         std::uint8_t Lead) {
  // No caller sends more than a dozen bytes; a longer command would not fit the
  // frame's length byte.
  if (SendCount > MaxSendCount)
    throw ERangeError("send count", SendCount, 0, MaxSendCount);
  if (Driver.Channel == nullptr)
    throw ENoChannel();
  std::uint8_t Frame[MaxSendCount + 1];
  Frame[0] = FrameStart;
  for (int I = 0; I < SendCount; ++I)
    Frame[I + 1] = Buffer[I];
  const auto FrameLength = static_cast<std::uint8_t>(SendCount + 1);

  TComChannel &Channel = *Driver.Channel;
  Channel.SetReplyCheck(Line, &CheckReply, &Driver);
  TExchangeResult Result;
  try {
    Result.ChannelError =
        Channel.Transact(Line, Line, Frame, FrameLength, Buffer, ReplyLen, Lead);
    const std::uint8_t State = Channel.GetState(Line);
    Driver.LineState[Line] = State;
  } catch (const std::exception &) {
    // The channel's own failures count as its error number, like any other.
    Result.ChannelError = Channel.LastError(Line);
    Result.Absorbed = true;
  }
  return Result;
}

bool CheckReply(void *Data, std::int32_t Line, const std::uint8_t *A, const std::uint8_t *B) {
  TComChannel &Channel = *static_cast<TDriverState *>(Data)->Channel;
  if (B[0] == A[0]) {
    Channel.SetState(Line, LineAccepted);
    Channel.SetError(Line, ReplyAcceptedCode);
    return true;
  }
  Channel.SetState(Line, LineRejected);
  Channel.SetError(Line, ReplyRejectedCode);
  return false;
}

} // namespace de30::link
