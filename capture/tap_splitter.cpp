#include "capture/tap_splitter.hpp"

#include "channels/line_channel.hpp"
#include "de30/constants.hpp"
#include "protocol/vocabulary.hpp"

#include <algorithm>

namespace de30::capture {

namespace {

using namespace de30::protocol;

// A burst that starts with a lead byte and is as long as a reply of its command.
bool LooksLikeReply(const std::vector<std::uint8_t> &Bytes) {
  if (Bytes.empty() || LeadCommand(Bytes[LeadAt]) == 0)
    return false;
  return std::any_of(
      std::begin(CommandShapes), std::end(CommandShapes), [&](const TCommandShape &Shape) {
        return Shape.Command == LeadCommand(Bytes[LeadAt]) && Shape.ReplyLength == Bytes.size();
      });
}

// The checks a command carries in itself: complements the controller always sends.
bool Intact(const TCommandShape &Shape, const std::uint8_t *Command) {
  if (Shape.Command == CmdExecute || Shape.Command == CmdReinit)
    return LeadComplementIntact(Command);
  if (Shape.Command == CmdSet && Shape.Code == CodeUnblock)
    return UnblockCodeIntact(Command);
  return true;
}

} // namespace

const char *HeardKindName(THeardKind Kind) {
  switch (Kind) {
  case THeardKind::Exchange:
    return "exchange";
  case THeardKind::Garbage:
    return "garbage";
  case THeardKind::StrayReply:
    return "reply without its frame";
  }
  return "unknown";
}

TOutcome THeard::Outcome() const {
  if (Reply.size() < ReplyLength || Reply.empty())
    return TOutcome::Timeout;
  return Frame.size() > 1 && Reply[LeadAt] == Frame[1] ? TOutcome::Accepted
                                                       : TOutcome::Rejected;
}

std::int32_t THeard::Result() const {
  if (Reply.empty())
    return channels::ErrTimeout;
  return Reply.size() < ReplyLength ? channels::ErrShortReply : channels::ErrNone;
}

channels::TTraceRecord THeard::Record(std::int32_t Line) const {
  channels::TTraceRecord R;
  R.Line = Line;
  R.Frame = Frame;
  R.Reply = Reply;
  R.ReplyLength = ReplyLength;
  R.Result = Result();
  R.State = R.Result != 0                     ? channels::StateFailed
            : Outcome() == TOutcome::Accepted ? LineAccepted
                                              : LineRejected;
  R.SentAt = Begin;
  R.DoneAt = End;
  return R;
}

TTapSplitter::TTapSplitter(TTapOptions Options) {
  using namespace std::chrono;
  const int Baud = Options.BaudRate > 0 ? Options.BaudRate : LineBaudRate;
  Byte = duration_cast<TClock::duration>(nanoseconds(10'000'000'000LL / Baud));
  Pause = Options.Gap.count() > 0
              ? Options.Gap
              : std::max<TClock::duration>(Byte * TapGapByteTimes, TapGapFloor);
}

std::vector<THeard> TTapSplitter::Feed(TClock::time_point At, const std::uint8_t *Data,
                                       std::size_t Count) {
  std::vector<THeard> Out;
  ++Reads;
  for (std::size_t I = 0; I < Count; ++I) {
    TByte B;
    B.Value = Data[I];
    B.Read = Reads;
    B.End = At - Byte * static_cast<std::int64_t>(Count - 1 - I);
    if (LastEnd) {
      B.End = std::max(B.End, *LastEnd + Byte);
      B.AfterGap = B.End - Byte - *LastEnd > Pause;
    } else {
      B.AfterGap = true;
    }
    LastEnd = B.End;
    Held.push_back(B);
  }
  Fed += Count;
  Run(false, false, Out);
  return Out;
}

std::vector<THeard> TTapSplitter::Quiet(TClock::time_point Now) {
  std::vector<THeard> Out;
  if (LastEnd && Now - *LastEnd > Pause)
    Run(true, false, Out);
  return Out;
}

std::vector<THeard> TTapSplitter::Finish() {
  std::vector<THeard> Out;
  Run(true, true, Out);
  return Out;
}

// Whether the held bytes start with a frame. Settled: no byte can join the ones
// held without a pause, so a frame they leave unfinished is none.
TTapSplitter::TMatch TTapSplitter::MatchFrame(bool Settled, std::size_t &Length) const {
  const TMatch Short = Settled ? TMatch::NotFrame : TMatch::NeedMore;
  if (Held.empty() || Held[0].Value != FrameStart)
    return TMatch::NotFrame;
  if (Held.size() < 2)
    return Short;
  const std::uint8_t Lead = Held[1].Value;
  if (Held[1].AfterGap || LeadCommand(Lead) == 0)
    return TMatch::NotFrame;
  std::uint8_t Code = NoCode;
  if (ShapeNeedsCode(Lead)) {
    if (Held.size() < 3)
      return Short;
    if (Held[2].AfterGap)
      return TMatch::NotFrame;
    Code = Held[2].Value;
  }
  const TCommandShape *Shape = FindShape(Lead, Code);
  if (Shape == nullptr)
    return TMatch::NotFrame;
  Length = 1u + Shape->SendLength;
  const std::size_t Have = std::min(Length, Held.size());
  for (std::size_t I = 1; I < Have; ++I)
    if (Held[I].AfterGap)
      return TMatch::NotFrame;
  if (Have < Length)
    return Short;
  std::uint8_t Command[CommandBufferSize] = {};
  for (std::size_t I = 1; I < Length; ++I)
    Command[I - 1] = Held[I].Value;
  return Intact(*Shape, Command) ? TMatch::Frame : TMatch::NotFrame;
}

void TTapSplitter::Run(bool Settled, bool Last, std::vector<THeard> &Out) {
  while (!Held.empty()) {
    TByte B = Held.front();
    std::size_t Length = 0;
    if (Open) {
      // A frame may begin where the reply should, or after a pause inside it;
      // anywhere else a 0x00 is one of the reply's digits.
      const bool Inside = !Open->Reply.empty();
      if (B.Value == FrameStart && B.AfterGap && Inside) {
        if (!PlacePause(Settled))
          return;
        B.AfterGap = Held.front().AfterGap;
      }
      if (B.Value == FrameStart && (!Inside || B.AfterGap)) {
        TMatch M = MatchFrame(Settled, Length);
        if (M == TMatch::Frame && Inside)
          M = Answered(Length, Settled);
        if (M == TMatch::NeedMore)
          return;
        if (M == TMatch::Frame) {
          Close(BeginOf(B), Out);
          continue;
        }
      }
      Open->Reply.push_back(B.Value);
      Open->End = B.End;
      Held.pop_front();
      if (Open->Reply.size() >= Open->ReplyLength)
        Close(B.End, Out);
      continue;
    }
    const TMatch M = MatchFrame(Settled, Length);
    if (M == TMatch::NeedMore)
      return;
    if (M == TMatch::Frame) {
      FlushLoose(Out);
      THeard E;
      E.Begin = BeginOf(B);
      for (std::size_t I = 0; I < Length; ++I) {
        E.Frame.push_back(Held.front().Value);
        E.End = Held.front().End;
        Held.pop_front();
      }
      const std::uint8_t Code = E.Frame.size() > 2 ? E.Frame[2] : NoCode;
      E.ReplyLength = FindShape(E.Frame[1], Code)->ReplyLength;
      Open = std::move(E);
      continue;
    }
    if (B.AfterGap)
      FlushLoose(Out);
    Loose.push_back(B);
    Held.pop_front();
  }
  if (Settled)
    FlushLoose(Out);
  if (Last && Open)
    Close(Open->End, Out);
}

// A frame of Length bytes held after a pause inside a reply. Zeros of values and
// their complements can look like one (00 FF 00, pump 31 re-initialised), so it
// counts only when what follows it fits a frame of the controller's: its echo,
// or a pause, or silence.
TTapSplitter::TMatch TTapSplitter::Answered(std::size_t Length, bool Settled) const {
  if (Held.size() <= Length)
    return Settled ? TMatch::Frame : TMatch::NeedMore;
  const TByte &After = Held[Length];
  return After.AfterGap || After.Value == Held[1].Value ? TMatch::Frame : TMatch::NotFrame;
}

// The first byte held comes after a pause. When it came with more bytes in one
// read and the line fell silent after that read, the reader may have been late
// rather than the line silent before them: the pause is taken to be after them,
// where the line certainly had one. False while it cannot be told yet.
bool TTapSplitter::PlacePause(bool Settled) {
  if (Held.size() < 2 || Held[1].Read != Held[0].Read)
    return true;
  std::size_t Next = 1;
  while (Next < Held.size() && Held[Next].Read == Held[0].Read)
    ++Next;
  if (Next == Held.size() && !Settled)
    return false;
  if (Next == Held.size() || Held[Next].AfterGap)
    Held[0].AfterGap = false;
  return true;
}

void TTapSplitter::Close(TClock::time_point End, std::vector<THeard> &Out) {
  THeard E = std::move(*Open);
  Open.reset();
  if (E.Reply.size() < E.ReplyLength)
    E.End = std::max(E.End, End);
  Give(std::move(E), Out);
}

void TTapSplitter::FlushLoose(std::vector<THeard> &Out) {
  if (Loose.empty())
    return;
  THeard Piece;
  for (const TByte &B : Loose)
    Piece.Reply.push_back(B.Value);
  Piece.Begin = BeginOf(Loose.front());
  Piece.End = Loose.back().End;
  Piece.Kind = LooksLikeReply(Piece.Reply) ? THeardKind::StrayReply : THeardKind::Garbage;
  Loose.clear();
  Give(std::move(Piece), Out);
}

void TTapSplitter::Give(THeard &&Piece, std::vector<THeard> &Out) {
  Given += Piece.Size();
  Out.push_back(std::move(Piece));
}

} // namespace de30::capture
