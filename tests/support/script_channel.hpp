#pragma once
// A channel for tests: records every call the driver makes, answers each Transact
// from a script, and runs the registered reply check the way a real channel does
// (buffer A: the command bytes sent, buffer B: the reply received).

#include "de30/channel.hpp"
#include "de30/driver_state.hpp"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace de30::test {

using TBytes = std::vector<std::uint8_t>;

// Something the driver did, in the order it did it.
struct TEvent {
  enum TKind {
    LastError,
    SetError,
    SetState,
    GetState,
    SetupLine,
    Transact,
    SetReplyCheck,
    SetLineSetup,
    Pause
  } Kind = Pause;
  std::int32_t Line = 0;
  std::int32_t Line2 = 0;  // Transact's second line word
  std::int32_t Value = 0;  // code, state, parameter, or pause milliseconds
  std::int32_t Value2 = 0; // SetupLine's baud rate
  TBytes Frame;            // Transact: the frame as sent
  std::uint8_t ReplyLength = 0;
  std::uint8_t Lead = 0;
  TReplyCheck Check = nullptr;
  TLineSetup Setup = nullptr;
  void *Data = nullptr;

  static TEvent Of(TKind Kind, std::int32_t Line, std::int32_t Value = 0,
                   std::int32_t Value2 = 0) {
    TEvent Event;
    Event.Kind = Kind;
    Event.Line = Line;
    Event.Value = Value;
    Event.Value2 = Value2;
    return Event;
  }
};

// How one Transact is answered.
struct TAnswer {
  TBytes Reply;            // written into the reply buffer (at most the reply length)
  bool EchoLead = true;    // first reply byte := first command byte (accepted)
  bool Reject = false;     // first reply byte := complement of the command's (rejected)
  std::int32_t Result = 0; // Transact's result
  bool ThrowStd = false;   // throw a std::runtime_error instead of returning
  bool ThrowOther = false; // throw an int (outside the std::exception family)
  bool SkipCheck = false;  // do not run the reply check at all

  static TAnswer Bytes(TBytes Reply) { return TAnswer{std::move(Reply)}; }
  static TAnswer Rejected() { return TAnswer{{}, true, true}; }
  static TAnswer Error(std::int32_t Number) {
    TAnswer A;
    A.Result = Number;
    return A;
  }
  static TAnswer Throws() {
    TAnswer A;
    A.ThrowStd = true;
    return A;
  }
};

class TScriptChannel final : public TComChannel, public TPauser {
public:
  std::vector<TEvent> Events;
  std::deque<TAnswer> Script; // an empty script answers with an accepted echo
  std::int32_t LastErrorValue = 0;
  std::int32_t SetupResult = 0;
  bool GetStateThrows = false;
  std::uint8_t StateOverride = 0; // non-zero: GetState reports this instead

  std::int32_t LastError(std::int32_t Line) override;
  void SetError(std::int32_t Line, std::int32_t Code) override;
  void SetState(std::int32_t Line, std::int32_t State) override;
  std::uint8_t GetState(std::int32_t Line) override;
  std::int32_t SetupLine(std::int32_t Line, std::int32_t Parameter,
                         std::int32_t BaudRate) override;
  std::int32_t Transact(std::int32_t Line, std::int32_t Line2, const std::uint8_t *Frame,
                        std::uint8_t FrameLength, std::uint8_t *Reply, std::uint8_t ReplyLength,
                        std::uint8_t Lead) override;
  void SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) override;
  void SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) override;
  void Pause(std::uint32_t Milliseconds) override;

  // Queue answers.
  TScriptChannel &Answer(TAnswer A);
  TScriptChannel &Reply(TBytes Bytes) { return Answer(TAnswer::Bytes(std::move(Bytes))); }

  // The Transact events only, and their frames.
  std::vector<TEvent> Transactions() const;
  std::vector<TBytes> Frames() const;
  // Pauses requested, in milliseconds, in order.
  std::vector<std::int32_t> Pauses() const;
  // Transacts and pauses in order, as text ("00 1C E1 /2 @1C", "pause 100").
  std::vector<std::string> Wire() const;
  void Clear() { Events.clear(); }

private:
  std::uint8_t States[256] = {};
  TReplyCheck Checks[256] = {};
  void *CheckData[256] = {};
};

} // namespace de30::test
