#pragma once
// The channel contract, implemented once for every way of reaching a line. A
// TLineChannel keeps the per-line state the driver relies on (state, last error,
// the registered reply check and set-up routine) and runs each transaction the
// same way; a subclass only says how a line is opened, as a TLink that moves bytes.
// docs/channels.md lists the error numbers and the timing.

#include "de30/channel.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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

// One open line: bytes out, bytes in.
class TLink {
public:
  struct TRead {
    std::size_t Count = 0; // bytes read
    bool Closed = false;   // the other side has closed the line
  };
  virtual ~TLink() = default;
  // Drops input left over from an earlier transaction (a reply that came late).
  virtual void Discard() = 0;
  virtual bool Write(const std::uint8_t *Data, std::size_t Count) = 0;
  // Reads Count bytes, waiting at most Timeout in all.
  virtual TRead Read(std::uint8_t *Dest, std::size_t Count,
                     std::chrono::milliseconds Timeout) = 0;
};

// One transaction as the channel saw it, for tracing.
struct TTraceRecord {
  std::int32_t Line = 0;
  std::vector<std::uint8_t> Frame;
  std::vector<std::uint8_t> Reply; // what arrived, possibly short
  std::uint8_t ReplyLength = 0;
  std::int32_t Result = 0;
  std::uint8_t State = 0;
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

  // Replaces the timeout that SetupLine's parameter gives (0: back to it).
  void SetReplyTimeout(std::chrono::milliseconds Timeout) { TimeoutOverride = Timeout; }
  void SetTracer(TTracer Tracer) { Trace = std::move(Tracer); }
  // The timeout a reply of ReplyLength bytes gets on the line.
  std::chrono::milliseconds ReplyTimeout(std::int32_t Line, std::size_t ReplyLength);

protected:
  // Opens the line at BaudRate, or sets Error and returns null.
  virtual std::unique_ptr<TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                      std::int32_t &Error) = 0;

private:
  struct TSlot {
    std::unique_ptr<TLink> Link;
    std::uint8_t State = StateUnused;
    std::int32_t Error = ErrNone;
    std::int32_t Parameter = 15;
    std::int32_t BaudRate = 2400;
    TReplyCheck Check = nullptr;
    void *CheckData = nullptr;
    TLineSetup Setup = nullptr;
    void *SetupData = nullptr;
  };
  TSlot &Slot(std::int32_t Line) { return Slots[Line]; }
  std::int32_t Fail(TSlot &S, std::int32_t Error);
  std::int32_t Reopen(std::int32_t Line);

  std::map<std::int32_t, TSlot> Slots;
  std::chrono::milliseconds TimeoutOverride{0};
  TTracer Trace;
};

} // namespace de30::channels
