#pragma once
// The channel contract, implemented once for every way of reaching a line.
//
// A host that brings its own kind of line (a multiplexer, a USB bridge, a port it
// already owns) derives from TLineChannel and implements only Open, which hands
// back a TLink that writes and reads bytes. Everything else the driver relies on
// is here: the per-line state and last error, the registered reply check and
// set-up routine, reopening a line that was lost, and the reply timeout taken
// from the line set-up. docs/channels.md lists the error numbers and the timing.
//
// After an exchange that failed (no reply, a short one, a rejected one) the line
// may still carry bytes nobody waits for: a reply later than the timeout, the
// rest of a reply that noise pushed out of step. They are let die down before
// the next frame goes out, not at the end of the failed exchange: the time the
// host takes before its next frame counts towards the quiet gap, so a host that
// is slow to send again pays nothing. An accepted exchange leaves the line as it
// is unless bytes are already waiting when the next frame is due.
//
// Installed as <de30/channels/line_channel.hpp>; link de30::channels.

#include "de30/channel.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace de30::channels {

// Error numbers Transact, SetupLine and LastError report.
enum TChannelError : std::int32_t {
  ErrNone = 0,
  ErrNoSuchLine = 1, // the line is not mapped to a device or address
  ErrOpenFailed = 2, // the device or address could not be opened
  ErrWriteFailed = 3,
  ErrTimeout = 4,    // no reply byte within the timeout
  ErrShortReply = 5, // fewer reply bytes than expected within the timeout
  ErrClosed = 6,     // the other side closed the line; the next call reopens it
  ErrBadFrame = 7,   // a frame without command bytes, or a bad setting
  ErrRejected = 219, // the reply check rejected the reply (LastError only)
};

const char *ErrorText(std::int32_t Error);

// Line states GetState reports besides the reply check's 1 and 3.
inline constexpr std::uint8_t StateUnused = 0; // no transaction yet
inline constexpr std::uint8_t StateFailed = 2; // the last transaction failed; see LastError

// Reply timeout for SetupLine's parameter 15: the parameter counts tenths of a second.
inline constexpr std::int32_t TimeoutUnitMs = 100;
// Silence that marks the line as quiet after a failed exchange, in byte times at
// the line's baud rate: longer than any pause inside a reply, short beside the
// timeout.
inline constexpr int QuietByteTimes = 4;
// The quiet gap never shrinks below this, whatever the baud rate: a TCP serial
// server and the scheduler add jitter of their own.
inline constexpr std::chrono::milliseconds QuietFloor{5};
// A line that keeps talking (noise, a pump repeating itself) holds a frame back
// for at most this many quiet gaps; the frame then goes out anyway.
inline constexpr int QuietLimitGaps = 16;

// One open line: bytes out, bytes in. Called on the channel's caller's thread,
// one call at a time; none may block beyond the timeout it is given.
class TLink {
public:
  struct TRead {
    std::size_t Count = 0; // bytes read
    bool Closed = false;   // the other side has closed the line
  };
  virtual ~TLink() = default;
  // Writes all Count bytes; false when the line failed (it is then reopened).
  virtual bool Write(const std::uint8_t *Data, std::size_t Count) = 0;
  // Reads Count bytes into Dest, waiting at most Timeout in all, and reports how
  // many arrived. A read that runs short because the line is gone says Closed.
  virtual TRead Read(std::uint8_t *Dest, std::size_t Count,
                     std::chrono::milliseconds Timeout) = 0;
  // Drops input left over from an earlier transaction (a reply that came late),
  // before each frame is written. The default reads with no wait until nothing
  // is left; a link that can flush its input at once does that instead.
  virtual void Discard();
  // Whether input is waiting, without taking it; asked before each frame, so
  // that bytes trailing an accepted reply are let die down before the frame
  // rather than spoil its reply. The default cannot tell and says no.
  virtual bool Pending() { return false; }
};

// One transaction as the channel saw it, for tracing.
struct TTraceRecord {
  std::int32_t Line = 0;
  std::vector<std::uint8_t> Frame;
  std::vector<std::uint8_t> Reply; // what arrived, possibly short
  std::uint8_t ReplyLength = 0;    // what was expected
  std::int32_t Result = 0;
  std::uint8_t State = 0; // the line state after it: 1 accepted, 3 rejected, 2 failed
  // Bytes read and dropped while the line was let fall quiet before the frame.
  std::size_t Dropped = 0;
  // The line was still talking when the quiet limit ran out; the frame went out
  // anyway.
  bool NotQuiet = false;
  // When the frame's first byte was written, and when the reply's last byte
  // arrived or the wait for it ended. Equal when the exchange failed before the
  // frame went out.
  std::chrono::system_clock::time_point SentAt;
  std::chrono::system_clock::time_point DoneAt;
};

class TLineChannel : public TComChannel {
public:
  using TTracer = std::function<void(const TTraceRecord &)>;

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

  // The last error of the line in words, with the reason Open gave when the line
  // could not be opened: "cannot open the line: /dev/ttyS9: no such file or
  // directory", and a note when the line never fell quiet before the frame.
  std::string LastErrorText(std::int32_t Line);
  // Replaces the timeout that SetupLine's parameter gives (0: back to it).
  void SetReplyTimeout(std::chrono::milliseconds Timeout) { TimeoutOverride = Timeout; }
  // Called after every transaction, whatever its outcome.
  void SetTracer(TTracer Tracer) { Trace = std::move(Tracer); }
  // The timeout a reply of ReplyLength bytes gets on the line.
  std::chrono::milliseconds ReplyTimeout(std::int32_t Line, std::size_t ReplyLength);
  // The silence that counts as quiet on the line, and the longest a frame is held
  // back waiting for it.
  std::chrono::milliseconds QuietGap(std::int32_t Line);
  std::chrono::milliseconds QuietLimit(std::int32_t Line);

protected:
  // Opens the line at BaudRate. On failure sets Error (ErrOpenFailed when left
  // alone), may say why with Explain, and returns null.
  virtual std::unique_ptr<TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                      std::int32_t &Error) = 0;
  // Why the line's last Open failed, in a few words, for LastErrorText.
  void Explain(std::int32_t Line, std::string Reason);

private:
  struct TSlot {
    std::unique_ptr<TLink> Link;
    std::uint8_t State = StateUnused;
    std::int32_t Error = ErrNone;
    std::string Reason;
    std::int32_t Parameter = 15;
    std::int32_t BaudRate = 2400;
    TReplyCheck Check = nullptr;
    void *CheckData = nullptr;
    TLineSetup Setup = nullptr;
    void *SetupData = nullptr;
    // The last exchange failed: bytes of it may still be on their way.
    bool Unsettled = false;
    std::chrono::steady_clock::time_point UnsettledAt;
    bool NotQuiet = false; // the last frame went out on a line that never fell quiet
  };
  TSlot &Slot(std::int32_t Line) { return Slots[Line]; }
  std::int32_t Fail(TSlot &S, std::int32_t Error);
  std::int32_t Reopen(std::int32_t Line);
  void Unsettle(TSlot &S);
  // Lets the line fall quiet before a frame when it has to; false when the other
  // side closed the line meanwhile.
  bool Settle(std::int32_t Line, TSlot &S, TTraceRecord &Record);

  std::map<std::int32_t, TSlot> Slots;
  std::chrono::milliseconds TimeoutOverride{0};
  TTracer Trace;
};

} // namespace de30::channels
