#pragma once
// The filling-station program's channel, as a host compiled by another compiler
// would present it: an object whose first word points to a table of stdcall code
// addresses. It records every call the driver makes, answers each Transact from a
// script, runs the check routine the driver registered with the host runtime's
// register convention (through the probe, so the words it removes are measured),
// and raises structured exceptions where a test asks for them.

#include "probe.hpp"

#include <cstdint>
#include <deque>
#include <vector>

namespace de30::wintest {

using TBytes = std::vector<std::uint8_t>;

// One call the driver made: the channel position and the words after the object.
struct THostEvent {
  int Position = 0;
  TWord Words[7] = {};
  TBytes Frame;                  // Transact: the frame as sent
  std::uint16_t ControlWord = 0; // the x87 control word the channel ran under
};

// How one Transact is answered.
struct THostAnswer {
  TBytes Reply;        // written into the driver's buffer (up to the reply length)
  bool Reject = false; // first reply byte := complement of the lead (else the lead)
  std::int32_t Result = 0;
  DWORD Raise = 0; // non-zero: raise this exception code before answering
};

class THostChannel {
public:
  THostChannel();

  const void *const *Table; // first word, as the driver reads it
  std::vector<THostEvent> Events;
  std::deque<THostAnswer> Script; // an empty script answers with an accepted echo
  std::int32_t LastErrorValue = 0;
  std::int32_t SetupResult = 0;
  // Non-zero: the channel position raises this code (parameters 0x11, 0x22).
  DWORD RaiseAt[22] = {};
  // Raise from inside a try/finally-like frame, counting how often it was unwound.
  bool RaiseUnderFinally = false;
  TWord Unwinds = 0;
  // The check routine as the driver registered it, and its last run.
  TWord CheckRoutine = 0, CheckData = 0, SetupRoutine = 0, SetupData = 0;
  TCall LastCheck{};
  int CheckRuns = 0;

  THostChannel &Answer(THostAnswer A) {
    Script.push_back(A);
    return *this;
  }
  THostChannel &Reply(TBytes Bytes) { return Answer(THostAnswer{Bytes}); }
  std::vector<TBytes> Frames() const;
  std::vector<THostEvent> At(int Position) const;
  void Clear() { Events.clear(); }

  // The channel entries, stdcall, the object first.
  static TWord __stdcall LastError(THostChannel *Self, TWord Line);
  static TWord __stdcall SetError(THostChannel *Self, TWord Line, TWord Code);
  static TWord __stdcall SetState(THostChannel *Self, TWord Line, TWord State);
  static TWord __stdcall GetState(THostChannel *Self, TWord Line);
  static TWord __stdcall SetupLine(THostChannel *Self, TWord Line, TWord Parameter, TWord Baud);
  static TWord __stdcall Transact(THostChannel *Self, TWord Line, TWord Line2,
                                  const std::uint8_t *Frame, TWord FrameLength,
                                  std::uint8_t *Buffer, TWord ReplyLength, TWord Lead);
  static TWord __stdcall SetReplyCheck(THostChannel *Self, TWord Line, TWord Routine,
                                       TWord Data);
  static TWord __stdcall SetLineSetup(THostChannel *Self, TWord Line, TWord Routine,
                                      TWord Data);

private:
  void Record(int Position, std::initializer_list<TWord> Words, TBytes Frame = {});
  void MaybeRaise(int Position);
  void Raise(DWORD Code);
  std::uint8_t States[256] = {};
};

} // namespace de30::wintest
