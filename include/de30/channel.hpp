#pragma once
// The host's channel: every byte between the driver and the pumps passes through an
// object of a class derived from TComChannel. The host (or de30's own channels and
// simulator) implements it; the driver only calls it, always on the caller's thread,
// one call at a time.

#include <cstdint>

namespace de30 {

// Reply check the driver registers before every transaction. Data is the value
// registered with it (the driver's state), Line the line word of the transaction.
// The channel calls it once it holds a reply, with buffer A and buffer B of its own
// choosing; the driver accepts the reply when their first bytes are equal. The
// routine reports its verdict to the channel through SetState and SetError, then
// returns it (true = accepted). It keeps no state of its own.
using TReplyCheck = bool (*)(void *Data, std::int32_t Line, const std::uint8_t *A,
                             const std::uint8_t *B);

// Line set-up routine the driver registers from InitLine. The channel may call it
// whenever it (re)opens the line; it calls SetupLine on the same channel and
// returns SetupLine's result.
using TLineSetup = std::int32_t (*)(void *Data, std::int32_t Line);

class TComChannel {
public:
  virtual ~TComChannel() = default;

  // Called by Exchange when Transact or GetState threw. Returns the number of the
  // line's last error, 0 for none; 0 makes the operation go on as after success.
  // May throw: the exception reaches the host.
  virtual std::int32_t LastError(std::int32_t Line) = 0;

  // Called by the reply check: Code 0 for an accepted reply, 219 for a rejected
  // one. The channel keeps it for the line (LastError may report it).
  virtual void SetError(std::int32_t Line, std::int32_t Code) = 0;

  // Called by the reply check: State 1 for an accepted reply, 3 for a rejected
  // one. The channel keeps it for the line; GetState reports it.
  virtual void SetState(std::int32_t Line, std::int32_t State) = 0;

  // Called by Exchange right after Transact. Returns the line's state: 1 when the
  // last reply was accepted. An exception of the std::exception family is absorbed
  // by Exchange (LastError takes its place); any other exception reaches the host.
  virtual std::uint8_t GetState(std::int32_t Line) = 0;

  // Called by the line set-up routine with (Line, 15, 2400): open or configure the
  // line. The result goes back to the host unchanged through InitLine.
  virtual std::int32_t SetupLine(std::int32_t Line, std::int32_t Parameter,
                                 std::int32_t BaudRate) = 0;

  // One transaction, called by Exchange. Line is passed twice (both words carry
  // the line). Sends FrameLength bytes of Frame (0x00, then the command bytes),
  // writes at most ReplyLength reply bytes into Reply (which holds the command
  // bytes on entry), and runs the registered reply check so that the next GetState
  // reflects its verdict. Lead is the command's lead byte, or 0 for the unblock
  // command. Returns 0 on success or an error number of the channel's own. An
  // exception of the std::exception family is absorbed by Exchange; any other
  // exception reaches the host.
  virtual std::int32_t Transact(std::int32_t Line, std::int32_t Line2,
                                const std::uint8_t *Frame, std::uint8_t FrameLength,
                                std::uint8_t *Reply, std::uint8_t ReplyLength,
                                std::uint8_t Lead) = 0;

  // Called by Exchange before every Transact: keep Check and Data for the line,
  // replacing what was registered before.
  virtual void SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) = 0;

  // Called by InitLine: keep Setup and Data for the line.
  virtual void SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) = 0;
};

} // namespace de30
