#include "win32/host_channel.hpp"

#include "de30/de30_win32.h"
#include "win32/dll_driver.hpp"
#include "win32/failure.hpp"
#include "win32/fpu.hpp"
#include "win32/seh.hpp"

#include <utility>

namespace de30::win32 {
namespace {

using TWord = std::uint32_t;

template <typename T> TWord Word(T *Pointer) {
  return reinterpret_cast<std::uintptr_t>(Pointer);
}
TWord Word(std::int32_t Value) { return static_cast<TWord>(Value); }

// The host's stdcall entries by the number of words after the object. Every result
// is read as the whole of EAX; callers narrow it where the contract says so.
template <int Words> struct THostEntry;
template <> struct THostEntry<1> { using T = TWord(__stdcall *)(void *, TWord); };
template <> struct THostEntry<2> { using T = TWord(__stdcall *)(void *, TWord, TWord); };
template <> struct THostEntry<3> { using T = TWord(__stdcall *)(void *, TWord, TWord, TWord); };
template <> struct THostEntry<7> {
  using T = TWord(__stdcall *)(void *, TWord, TWord, TWord, TWord, TWord, TWord, TWord);
};

template <int Words, std::size_t... I>
TWord Invoke(typename THostEntry<Words>::T Entry, void *Object, const TWord *Args,
             std::index_sequence<I...>) noexcept {
  return Entry(Object, Args[I]...);
}

} // namespace

template <int Words>
TWord THostChannel::CallWords(int Position, TOnException OnException, const TWord *Args) {
  void *const Object = HostObject;
  TWord Result = 0;
  // The table is read inside the guard too: a broken channel object is the host's
  // exception, not the driver's.
  auto Body = [&]() noexcept {
    void *const *HostTable = *static_cast<void *const *const *>(Object);
    const auto Entry = reinterpret_cast<typename THostEntry<Words>::T>(HostTable[Position]);
    Result = Invoke<Words>(Entry, Object, Args, std::make_index_sequence<Words>());
  };
  EXCEPTION_RECORD Record;
  const THostFpu HostWord;
  if (RaisedIn(Body, Record)) {
    if (OnException == Absorbable)
      throw EChannelException(Record.ExceptionCode);
    throw THostException{Record};
  }
  return Result;
}

std::int32_t THostChannel::LastError(std::int32_t Line) {
  const TWord Args[] = {Word(Line)};
  return static_cast<std::int32_t>(CallWords<1>(DE30_CHANNEL_LAST_ERROR, PassOn, Args));
}

void THostChannel::SetError(std::int32_t Line, std::int32_t Code) {
  const TWord Args[] = {Word(Line), Word(Code)};
  CallWords<2>(DE30_CHANNEL_SET_ERROR, PassOn, Args);
}

void THostChannel::SetState(std::int32_t Line, std::int32_t State) {
  const TWord Args[] = {Word(Line), Word(State)};
  CallWords<2>(DE30_CHANNEL_SET_STATE, PassOn, Args);
}

std::uint8_t THostChannel::GetState(std::int32_t Line) {
  const TWord Args[] = {Word(Line)};
  // Only AL carries the state; the rest of EAX is whatever the host left there.
  return static_cast<std::uint8_t>(CallWords<1>(DE30_CHANNEL_GET_STATE, Absorbable, Args));
}

std::int32_t THostChannel::SetupLine(std::int32_t Line, std::int32_t Parameter,
                                     std::int32_t BaudRate) {
  const TWord Args[] = {Word(Line), Word(Parameter), Word(BaudRate)};
  return static_cast<std::int32_t>(CallWords<3>(DE30_CHANNEL_SETUP_LINE, PassOn, Args));
}

std::int32_t THostChannel::Transact(std::int32_t Line, std::int32_t Line2,
                                    const std::uint8_t *Frame, std::uint8_t FrameLength,
                                    std::uint8_t *Reply, std::uint8_t ReplyLength,
                                    std::uint8_t Lead) {
  const TWord Args[] = {Word(Line),  Word(Line2), Word(Frame), FrameLength,
                        Word(Reply), ReplyLength, Lead};
  return static_cast<std::int32_t>(CallWords<7>(DE30_CHANNEL_TRANSACT, Absorbable, Args));
}

void THostChannel::SetReplyCheck(std::int32_t Line, TReplyCheck NewCheck, void *Data) {
  Check = NewCheck;
  CheckData = Data;
  const TWord Args[] = {Word(Line),
                        static_cast<TWord>(reinterpret_cast<std::uintptr_t>(&CheckThunk)),
                        Word(OwnerObject)};
  CallWords<3>(DE30_CHANNEL_SET_REPLY_CHECK, PassOn, Args);
}

void THostChannel::SetLineSetup(std::int32_t Line, TLineSetup NewSetup, void *Data) {
  Setup = NewSetup;
  SetupData = Data;
  const TWord Args[] = {Word(Line),
                        static_cast<TWord>(reinterpret_cast<std::uintptr_t>(&SetupThunk)),
                        Word(OwnerObject)};
  CallWords<3>(DE30_CHANNEL_SET_LINE_SETUP, PassOn, Args);
}

// Called from inside the host's Transact, a foreign frame: a failure leaves as a
// structured exception, which the frame-based handler around Transact catches.
bool THostChannel::CheckThunk(void *Owner, std::int32_t Line, std::uint32_t /*Ecx*/,
                              const std::uint8_t *B, const std::uint8_t *A,
                              std::uint32_t /*Ignored*/) {
  return Enter([&] {
    THostChannel &Self = TDllDriver::Of(Owner).Channel;
    return Self.Check(Self.CheckData, Line, A, B);
  });
}

std::int32_t THostChannel::SetupThunk(void *Owner, std::int32_t Line) {
  return Enter([&] {
    THostChannel &Self = TDllDriver::Of(Owner).Channel;
    return Self.Setup(Self.SetupData, Line);
  });
}

} // namespace de30::win32
