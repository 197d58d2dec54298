#include "host_channel.hpp"

#include "de30/de30_win32.h"

namespace de30::wintest {
namespace {

// Positions the driver must never call: raising makes a stray call visible.
template <int Position> TWord __stdcall Unexpected(THostChannel *) {
  RaiseException(0xE0BAD000 + Position, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  return 0;
}

const void *const Entries[22] = {
    reinterpret_cast<const void *>(&Unexpected<0>),
    reinterpret_cast<const void *>(&THostChannel::LastError),
    reinterpret_cast<const void *>(&THostChannel::SetError),
    reinterpret_cast<const void *>(&THostChannel::SetState),
    reinterpret_cast<const void *>(&THostChannel::GetState),
    reinterpret_cast<const void *>(&Unexpected<5>),
    reinterpret_cast<const void *>(&Unexpected<6>),
    reinterpret_cast<const void *>(&Unexpected<7>),
    reinterpret_cast<const void *>(&Unexpected<8>),
    reinterpret_cast<const void *>(&Unexpected<9>),
    reinterpret_cast<const void *>(&Unexpected<10>),
    reinterpret_cast<const void *>(&Unexpected<11>),
    reinterpret_cast<const void *>(&Unexpected<12>),
    reinterpret_cast<const void *>(&Unexpected<13>),
    reinterpret_cast<const void *>(&Unexpected<14>),
    reinterpret_cast<const void *>(&Unexpected<15>),
    reinterpret_cast<const void *>(&Unexpected<16>),
    reinterpret_cast<const void *>(&THostChannel::SetupLine),
    reinterpret_cast<const void *>(&THostChannel::Transact),
    reinterpret_cast<const void *>(&THostChannel::SetReplyCheck),
    reinterpret_cast<const void *>(&Unexpected<20>),
    reinterpret_cast<const void *>(&THostChannel::SetLineSetup),
};

} // namespace

THostChannel::THostChannel() : Table(Entries) {}

void THostChannel::Record(int Position, std::initializer_list<TWord> Words, TBytes Frame) {
  THostEvent Event;
  Event.Position = Position;
  int I = 0;
  for (TWord W : Words)
    Event.Words[I++] = W;
  Event.Frame = std::move(Frame);
  __asm__ volatile("fnstcw %0" : "=m"(Event.ControlWord));
  Events.push_back(std::move(Event));
}

void THostChannel::MaybeRaise(int Position) {
  if (RaiseAt[Position] != 0)
    Raise(RaiseAt[Position]);
}

void THostChannel::Raise(DWORD Code) {
  static DWORD Raising;
  Raising = Code;
  auto Body = [](void *) {
    const ULONG_PTR Parameters[2] = {0x11, 0x22};
    RaiseException(Raising, 0, 2, Parameters);
  };
  if (RaiseUnderFinally)
    de30t_finally(Body, nullptr, &Unwinds);
  else
    Body(nullptr);
}

std::vector<TBytes> THostChannel::Frames() const {
  std::vector<TBytes> Result;
  for (const THostEvent &E : Events)
    if (E.Position == DE30_CHANNEL_TRANSACT)
      Result.push_back(E.Frame);
  return Result;
}

std::vector<THostEvent> THostChannel::At(int Position) const {
  std::vector<THostEvent> Result;
  for (const THostEvent &E : Events)
    if (E.Position == Position)
      Result.push_back(E);
  return Result;
}

TWord THostChannel::LastError(THostChannel *Self, TWord Line) {
  Self->Record(DE30_CHANNEL_LAST_ERROR, {Line});
  Self->MaybeRaise(DE30_CHANNEL_LAST_ERROR);
  return static_cast<TWord>(Self->LastErrorValue);
}

TWord THostChannel::SetError(THostChannel *Self, TWord Line, TWord Code) {
  Self->Record(DE30_CHANNEL_SET_ERROR, {Line, Code});
  Self->MaybeRaise(DE30_CHANNEL_SET_ERROR);
  return 0xBADBAD;
}

TWord THostChannel::SetState(THostChannel *Self, TWord Line, TWord State) {
  Self->Record(DE30_CHANNEL_SET_STATE, {Line, State});
  Self->MaybeRaise(DE30_CHANNEL_SET_STATE);
  Self->States[Line & 0xFF] = static_cast<std::uint8_t>(State);
  return 0xBADBAD;
}

TWord THostChannel::GetState(THostChannel *Self, TWord Line) {
  Self->Record(DE30_CHANNEL_GET_STATE, {Line});
  Self->MaybeRaise(DE30_CHANNEL_GET_STATE);
  // Only AL carries the state: the rest of EAX is left as a careless host would.
  return 0xABCDEF00 | Self->States[Line & 0xFF];
}

TWord THostChannel::SetupLine(THostChannel *Self, TWord Line, TWord Parameter, TWord Baud) {
  Self->Record(DE30_CHANNEL_SETUP_LINE, {Line, Parameter, Baud});
  Self->MaybeRaise(DE30_CHANNEL_SETUP_LINE);
  return static_cast<TWord>(Self->SetupResult);
}

TWord THostChannel::Transact(THostChannel *Self, TWord Line, TWord Line2,
                             const std::uint8_t *Frame, TWord FrameLength, std::uint8_t *Buffer,
                             TWord ReplyLength, TWord Lead) {
  Self->Record(DE30_CHANNEL_TRANSACT,
               {Line, Line2, Word(Frame), FrameLength, Word(Buffer), ReplyLength, Lead},
               TBytes(Frame, Frame + FrameLength));
  THostAnswer Answer;
  if (!Self->Script.empty()) {
    Answer = Self->Script.front();
    Self->Script.pop_front();
  }
  Self->MaybeRaise(DE30_CHANNEL_TRANSACT);
  if (Answer.Raise != 0)
    Self->Raise(Answer.Raise);
  // Buffer A: the command as sent; buffer B: the reply as received. Kept in fixed
  // arrays: an exception from the check routine abandons this frame.
  std::uint8_t Sent[256] = {};
  std::uint8_t Received[256] = {};
  for (TWord I = 1; I < FrameLength; ++I)
    Sent[I - 1] = Frame[I];
  for (TWord I = 0; I < ReplyLength && I < Answer.Reply.size(); ++I)
    Received[I] = Answer.Reply[I];
  Received[0] = Answer.Reject ? static_cast<std::uint8_t>(~Sent[0]) : Sent[0];
  for (TWord I = 0; I < ReplyLength; ++I)
    Buffer[I] = Received[I];
  if (Self->CheckRoutine != 0) {
    ++Self->CheckRuns;
    // EAX data, EDX line, ECX a spare word; stack words pushed: ignored, A, B.
    const TWord Words[] = {Self->CheckData, Line,       0xECECECEC,
                           Word(Buffer),    Word(Sent), 0x16A0BEEF};
    Self->LastCheck = Probe(reinterpret_cast<const void *>(Self->CheckRoutine), Words, 6,
                            ProbeRegisters | ProbeNoHandler);
  }
  return static_cast<TWord>(Answer.Result);
}

TWord THostChannel::SetReplyCheck(THostChannel *Self, TWord Line, TWord Routine, TWord Data) {
  Self->Record(DE30_CHANNEL_SET_REPLY_CHECK, {Line, Routine, Data});
  Self->MaybeRaise(DE30_CHANNEL_SET_REPLY_CHECK);
  Self->CheckRoutine = Routine;
  Self->CheckData = Data;
  return 0xBADBAD;
}

TWord THostChannel::SetLineSetup(THostChannel *Self, TWord Line, TWord Routine, TWord Data) {
  Self->Record(DE30_CHANNEL_SET_LINE_SETUP, {Line, Routine, Data});
  Self->MaybeRaise(DE30_CHANNEL_SET_LINE_SETUP);
  Self->SetupRoutine = Routine;
  Self->SetupData = Data;
  return 0xBADBAD;
}

} // namespace de30::wintest
