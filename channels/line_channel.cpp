#include "channels/line_channel.hpp"

#include "de30/constants.hpp"

#include <algorithm>

namespace de30::channels {

const char *ErrorText(std::int32_t Error) {
  switch (Error) {
  case ErrNone:
    return "no error";
  case ErrNoSuchLine:
    return "line not configured";
  case ErrOpenFailed:
    return "cannot open the line";
  case ErrWriteFailed:
    return "write failed";
  case ErrTimeout:
    return "no reply (timeout)";
  case ErrShortReply:
    return "short reply (timeout)";
  case ErrClosed:
    return "line closed by the other side";
  case ErrBadFrame:
    return "bad frame or setting";
  case ErrRejected:
    return "reply rejected";
  default:
    return "unknown error";
  }
}

void TLink::Discard() {
  std::uint8_t Junk[64];
  while (Read(Junk, sizeof Junk, std::chrono::milliseconds(0)).Count > 0) {
  }
}

std::int32_t TLineChannel::LastError(std::int32_t Line) { return Slot(Line).Error; }

std::string TLineChannel::LastErrorText(std::int32_t Line) {
  const TSlot &S = Slot(Line);
  std::string Text = ErrorText(S.Error);
  if (!S.Reason.empty() && (S.Error == ErrOpenFailed || S.Error == ErrNoSuchLine))
    Text += ": " + S.Reason;
  if (S.NotQuiet && S.Error != ErrNone)
    Text += " (the line never fell quiet before the frame)";
  return Text;
}

void TLineChannel::Explain(std::int32_t Line, std::string Reason) {
  Slot(Line).Reason = std::move(Reason);
}

void TLineChannel::SetError(std::int32_t Line, std::int32_t Code) { Slot(Line).Error = Code; }

void TLineChannel::SetState(std::int32_t Line, std::int32_t State) {
  Slot(Line).State = static_cast<std::uint8_t>(State);
}

std::uint8_t TLineChannel::GetState(std::int32_t Line) { return Slot(Line).State; }

void TLineChannel::SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) {
  TSlot &S = Slot(Line);
  S.Check = Check;
  S.CheckData = Data;
}

void TLineChannel::SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) {
  TSlot &S = Slot(Line);
  S.Setup = Setup;
  S.SetupData = Data;
}

std::int32_t TLineChannel::Fail(TSlot &S, std::int32_t Error) {
  S.State = StateFailed;
  S.Error = Error;
  return Error;
}

std::int32_t TLineChannel::SetupLine(std::int32_t Line, std::int32_t Parameter,
                                     std::int32_t BaudRate) {
  TSlot &S = Slot(Line);
  if (Parameter <= 0 || BaudRate <= 0)
    return Fail(S, ErrBadFrame);
  S.Parameter = Parameter;
  S.BaudRate = BaudRate;
  S.Link.reset();
  S.Reason.clear();
  // Whatever was on its way belonged to the old link; a fresh one starts with
  // what Discard and Pending see.
  S.Unsettled = false;
  S.NotQuiet = false;
  std::int32_t Error = ErrNone;
  S.Link = Open(Line, BaudRate, Error);
  if (!S.Link)
    return Fail(S, Error != ErrNone ? Error : ErrOpenFailed);
  S.Error = ErrNone;
  return ErrNone;
}

std::int32_t TLineChannel::Reopen(std::int32_t Line) {
  TSlot &S = Slot(Line);
  // The driver's own set-up routine knows the line settings; without one the
  // defaults the driver would use stand in.
  if (S.Setup != nullptr)
    return S.Setup(S.SetupData, Line);
  return SetupLine(Line, S.Parameter, S.BaudRate);
}

std::chrono::milliseconds TLineChannel::ReplyTimeout(std::int32_t Line,
                                                     std::size_t ReplyLength) {
  const TSlot &S = Slot(Line);
  const std::chrono::milliseconds Wait =
      TimeoutOverride.count() > 0 ? TimeoutOverride
                                  : std::chrono::milliseconds(S.Parameter * TimeoutUnitMs);
  // Ten bit times a byte (start, eight data bits, stop), rounded up.
  const auto Transmission = std::chrono::milliseconds(
      (static_cast<std::int64_t>(ReplyLength) * 10 * 1000 + S.BaudRate - 1) / S.BaudRate);
  return Wait + Transmission;
}

std::chrono::milliseconds TLineChannel::QuietGap(std::int32_t Line) {
  const TSlot &S = Slot(Line);
  const auto Gap = std::chrono::milliseconds(
      (static_cast<std::int64_t>(QuietByteTimes) * 10 * 1000 + S.BaudRate - 1) / S.BaudRate);
  return std::max(Gap, std::chrono::milliseconds(QuietFloor));
}

std::chrono::milliseconds TLineChannel::QuietLimit(std::int32_t Line) {
  return QuietGap(Line) * QuietLimitGaps;
}

void TLineChannel::Unsettle(TSlot &S) {
  S.Unsettled = true;
  S.UnsettledAt = std::chrono::steady_clock::now();
}

bool TLineChannel::Settle(std::int32_t Line, TSlot &S, TTraceRecord &Record) {
  using TClock = std::chrono::steady_clock;
  S.NotQuiet = false;
  const bool Stray = S.Link->Pending();
  if (!S.Unsettled && !Stray)
    return true;
  S.Unsettled = false;
  const auto Gap = QuietGap(Line);
  const auto Start = TClock::now();
  const auto Limit = Start + QuietLimit(Line);
  // Silence since the failed exchange counts, but bytes already waiting came at
  // a moment nobody knows: then the gap starts now.
  auto Heard = Stray ? Start : S.UnsettledAt;
  for (;;) {
    // Near the limit the wait is cut short, and silence in what is left of it
    // is not yet a gap.
    const bool Cut = Heard + Gap > Limit;
    const auto Left = (Cut ? Limit : Heard + Gap) - TClock::now();
    const auto Wait = Left > TClock::duration::zero()
                          ? std::chrono::ceil<std::chrono::milliseconds>(Left)
                          : std::chrono::milliseconds(0);
    // A byte at a time, so that the gap runs from the last one exactly.
    std::uint8_t Byte = 0;
    const TLink::TRead Got = S.Link->Read(&Byte, 1, Wait);
    if (Got.Closed)
      return false;
    if (Got.Count == 0) {
      S.NotQuiet = Record.NotQuiet = Cut;
      return true;
    }
    ++Record.Dropped;
    Heard = TClock::now();
    if (Heard >= Limit) {
      S.NotQuiet = Record.NotQuiet = true;
      return true;
    }
  }
}

std::int32_t TLineChannel::Transact(std::int32_t Line, std::int32_t, const std::uint8_t *Frame,
                                    std::uint8_t FrameLength, std::uint8_t *Reply,
                                    std::uint8_t ReplyLength, std::uint8_t) {
  TTraceRecord Record;
  Record.Line = Line;
  Record.ReplyLength = ReplyLength;
  Record.SentAt = std::chrono::system_clock::now();
  const auto Finish = [&](std::int32_t Result) {
    Record.DoneAt = std::chrono::system_clock::now();
    Record.Result = Result;
    Record.State = Slot(Line).State;
    if (Trace)
      Trace(Record);
    return Result;
  };
  if (Frame == nullptr || FrameLength < 2 || (Reply == nullptr && ReplyLength > 0))
    return Finish(Fail(Slot(Line), ErrBadFrame));
  Record.Frame.assign(Frame, Frame + FrameLength);
  if (!Slot(Line).Link) {
    const std::int32_t Error = Reopen(Line);
    if (Error != ErrNone || !Slot(Line).Link)
      return Finish(Fail(Slot(Line), Error != ErrNone ? Error : ErrOpenFailed));
  }
  TSlot &S = Slot(Line);
  if (!Settle(Line, S, Record)) {
    S.Link.reset();
    return Finish(Fail(S, ErrClosed));
  }
  S.Link->Discard();
  Record.SentAt = std::chrono::system_clock::now();
  if (!S.Link->Write(Frame, FrameLength)) {
    S.Link.reset();
    return Finish(Fail(S, ErrWriteFailed));
  }
  std::uint8_t Received[256];
  const TLink::TRead Got = S.Link->Read(Received, ReplyLength, ReplyTimeout(Line, ReplyLength));
  Record.Reply.assign(Received, Received + Got.Count);
  if (Got.Count < ReplyLength) {
    if (Got.Closed) {
      S.Link.reset();
      return Finish(Fail(S, ErrClosed));
    }
    Unsettle(S);
    return Finish(Fail(S, Got.Count == 0 ? ErrTimeout : ErrShortReply));
  }
  for (std::size_t I = 0; I < ReplyLength; ++I)
    Reply[I] = Received[I];
  // Buffer A: the command bytes sent (the frame without its 0x00); buffer B: the
  // reply. The check records its verdict through SetState and SetError.
  if (S.Check != nullptr && ReplyLength > 0) {
    S.Check(S.CheckData, Line, Frame + 1, Reply);
  } else {
    S.State = LineAccepted;
    S.Error = ErrNone;
  }
  // A rejected reply is most often out of step with its frame: the reply that
  // belongs to the frame is still to come.
  if (S.State != LineAccepted)
    Unsettle(S);
  return Finish(ErrNone);
}

} // namespace de30::channels
