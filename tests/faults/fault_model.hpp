#pragma once
// Fault injection: an operation is described by the steps it takes (table writes,
// exchanges, pauses) as its failure rules state them, and Predict derives from that
// description what must happen when one of its exchanges fails in a given way.

#include "de30/driver.hpp"
#include "faults/tables_snapshot.hpp"
#include "support/script_channel.hpp"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace de30::test {

// Every case works on this pump.
inline constexpr std::uint8_t FaultLine = 2;
inline constexpr std::uint8_t FaultPump = 3;

// The caller's variables an operation may write, each starting from a value no
// operation would produce.
struct TCallerVars {
  double Value1 = 1111.5;
  double Value2 = 2222.25;
  TSostRecord Record = Untouched();
  double Result = -1.0; // what the operation returned, for those that return a value

  static TSostRecord Untouched();
  bool operator==(const TCallerVars &Other) const;
};

// Everything an operation can change: the driver tables and the caller's variables.
struct TWorld {
  TTables Tables;
  TCallerVars Vars;

  std::int32_t &CountDown() { return Tables.CountDown[FaultLine][FaultPump]; }
  std::uint8_t &Authorized() { return Tables.Authorized[FaultLine][FaultPump]; }
  std::uint8_t &AwaitIdle() { return Tables.AwaitIdle[FaultLine][FaultPump]; }
  std::uint8_t &NozzleCount() { return Tables.NozzleCount[FaultLine][FaultPump]; }
  double &Price(int Grade) { return Tables.Prices[FaultLine][FaultPump][Grade]; }
};

using TEffect = std::function<void(TWorld &)>;

struct TStep {
  enum TKind { Exchange, Write, Pause } Kind = Write;
  // Exchange: the command bytes (the frame less its 0x00), the reply length and
  // lead argument, the message raised when it fails, and the pump's reply.
  TBytes Command;
  std::uint8_t ReplyLength = 0;
  std::uint8_t Lead = 0;
  const char *Message = nullptr;
  TBytes Reply;
  // An exchange whose reply the operation decodes: what decoding the pump's reply
  // changes; what decoding an untouched buffer changes (a channel that raised wrote
  // nothing, so the buffer holds the command bytes and zeros behind them); what the
  // operation does when the reply is not fit for decoding.
  TEffect OnReply, OnStale, OnSkipped;
  // Write: a change the operation makes at this point.
  TEffect Effect;
  // Pause: milliseconds.
  std::uint32_t Milliseconds = 0;
  // Taken only when the last decoded reply was the pump's own (a status byte that
  // asks for re-initialisation leads to more steps).
  bool AfterReplyOnly = false;
};

// Step builders, so a case reads like the operation's own description.
TStep Send(TBytes Command, std::uint8_t ReplyLength, std::uint8_t Lead, const char *Message);
TStep Decode(TBytes Command, std::uint8_t ReplyLength, const char *Message, TBytes Reply,
             TEffect OnReply, TEffect OnStale, TEffect OnSkipped = {});
TStep Write(TEffect Effect);
TStep Pause(std::uint32_t Milliseconds);
TStep AfterReply(TStep Step);
// The execute command that confirms every command 4 of the fault pump.
TStep Execute();

struct TCase {
  const char *Name;
  std::function<void(TVM30 &)> Setup; // pump state before the call
  std::function<void(TVM30 &, TCallerVars &)> Call;
  std::vector<TStep> Steps;
};

enum class TFault {
  None,
  ErrorNumber,       // Transact returns an error number (after a rejected reply)
  Absorbed,          // Transact raises a std exception, LastError 0
  AbsorbedAfterHost, // the same, after the host had set the line state to 7
  AbsorbedWithError, // Transact raises a std exception, LastError non-zero
  Rejected,          // the reply check rejects the reply (line state 3)
  Foreign,           // Transact raises an exception outside std::exception
};
const char *Name(TFault Fault);

// Which exchange fails (0-based, in the order they happen) and how.
struct TPlan {
  int At = -1;
  TFault Kind = TFault::None;
};

// The line state the host leaves before the call: the start value, or one that
// only an exchange can replace.
std::uint8_t LineStateBefore(TFault Kind);
// LastError's answer during the run.
std::int32_t LastErrorFor(TFault Kind);

struct TOutcome {
  TWorld World;
  std::vector<std::string> Wire; // as TScriptChannel::Wire() renders it
  std::deque<TAnswer> Answers;   // the channel's script for the run
  enum TEnding { Returns, RaisesSerialIO, RaisesForeign } Ending = Returns;
  const char *Message = nullptr;
  int Exchanges = 0;
};

// What the case must do, starting from Start, when the plan's fault strikes.
TOutcome Predict(const TCase &Case, const TWorld &Start, TPlan Plan);

} // namespace de30::test
