#pragma once
// Cuts what a receive-only tap hears on a two-wire line into exchanges. On a
// half-duplex pair the controller's frames and the pumps' replies share the wire,
// so the tap hears one stream of bytes; the wire vocabulary says how long every
// frame is and how long its reply, and the silences between bytes say where the
// line paused.
//
// - A frame is 0x00 and a command of the vocabulary, its bytes one after the other
//   without a pause; the execute and re-initialise commands must carry the
//   complement of their lead byte, the unblock command that of its code.
// - The reply is what follows the frame, up to the length its command expects,
//   as the controller reads it: a noise byte ahead of the reply counts as its
//   first byte. A 0x00 where a reply should begin, or after a pause inside one,
//   that opens a whole frame is the controller's next frame: the reply before it
//   was missing or short; after a pause inside a reply, only when what follows
//   the frame is its echo, a pause or silence, since zero values and their
//   complements (00 FF 00) look like a frame. A reader that was late takes
//   several bytes in one read after what looks like a pause; when the line falls
//   silent after that read, the pause was there, not before it, and the read's
//   bytes go on the reply.
// - Bytes between a finished exchange and the next frame belong to no exchange.
//   A burst of them (bytes without a pause) that starts with a lead byte and has
//   the length of that command's reply is a reply whose frame the tap did not
//   hear; anything else is garbage.
//
// Every byte fed comes out exactly once, in the order it was heard: in a frame, a
// reply, or a piece that belongs to no exchange. No I/O here: the caller reads the
// line and hands over the bytes with the moment it read them.

#include "capture/exchange.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace de30::capture {

// Silence inside a reply, in byte times, after which a frame may begin: longer
// than a USB adapter's delivery jitter with its latency timer at 1 ms, far
// shorter than any controller's reply timeout.
inline constexpr int TapGapByteTimes = 5;
// The gap never shrinks below this, whatever the baud rate: the reading
// program's own clock is not finer.
inline constexpr std::chrono::milliseconds TapGapFloor{10};

struct TTapOptions {
  int BaudRate = 2400;
  // The pause that separates bursts; zero: TapGapByteTimes at BaudRate, at least
  // TapGapFloor.
  TClock::duration Gap{0};
};

struct THeard {
  THeardKind Kind = THeardKind::Exchange;
  std::vector<std::uint8_t> Frame; // an exchange's frame, 0x00 first
  std::vector<std::uint8_t> Reply; // an exchange's reply as heard; else the piece's bytes
  std::uint8_t ReplyLength = 0;    // the reply length the frame's command expects
  // When the first byte began to cross the line, and when the last ended. An
  // exchange whose reply was missing or short ends where the next frame began,
  // the controller having given up by then.
  TClock::time_point Begin;
  TClock::time_point End;

  // Of an exchange: accepted (the whole reply, its first byte echoing the lead
  // byte), rejected (whole, but the echo differs: the reply check refuses it) or
  // timeout (missing or short).
  TOutcome Outcome() const;
  // The channel's number for it: 0, or no reply (4) or a short one (5).
  std::int32_t Result() const;
  // The bytes of the piece, frame and reply together.
  std::size_t Size() const { return Frame.size() + Reply.size(); }
  // An exchange as the channel's trace would have recorded it on Line, had the
  // controller been de30: for the figures, the capture and the trace.
  channels::TTraceRecord Record(std::int32_t Line) const;
};

class TTapSplitter {
public:
  explicit TTapSplitter(TTapOptions Options = {});

  // Count bytes, read at At. A read gives what the line carried since the last
  // one, so the bytes are taken to have ended one byte time apart with the last
  // at At (or later, when the line cannot have carried them that fast): a
  // reader that was late does not make pauses that were not on the line.
  // Returns the pieces these bytes completed, in the order heard.
  std::vector<THeard> Feed(TClock::time_point At, const std::uint8_t *Data, std::size_t Count);
  // The line has been silent until Now: a frame left unfinished by the silence
  // was none, and bytes that belong to no exchange are given out.
  std::vector<THeard> Quiet(TClock::time_point Now);
  // The end of the recording: everything held is given out, an exchange still
  // waiting for its reply without it.
  std::vector<THeard> Finish();

  std::uint64_t BytesFed() const { return Fed; }
  std::uint64_t BytesGiven() const { return Given; }
  TClock::duration ByteTime() const { return Byte; }
  TClock::duration Gap() const { return Pause; }

private:
  struct TByte {
    std::uint8_t Value = 0;
    TClock::time_point End;
    bool AfterGap = false;  // the line was silent for longer than the gap before it
    std::uint64_t Read = 0; // the read that gave it
  };
  enum class TMatch { Frame, NotFrame, NeedMore };

  TMatch MatchFrame(bool Settled, std::size_t &Length) const;
  void Run(bool Settled, bool Last, std::vector<THeard> &Out);
  TMatch Answered(std::size_t Length, bool Settled) const;
  bool PlacePause(bool Settled);
  void Close(TClock::time_point End, std::vector<THeard> &Out);
  void FlushLoose(std::vector<THeard> &Out);
  void Give(THeard &&Piece, std::vector<THeard> &Out);
  TClock::time_point BeginOf(const TByte &B) const { return B.End - Byte; }

  TClock::duration Byte;
  TClock::duration Pause;
  std::deque<TByte> Held;     // heard, not yet placed
  std::optional<THeard> Open; // a frame waiting for (the rest of) its reply
  std::vector<TByte> Loose;   // a burst that belongs to no exchange
  std::optional<TClock::time_point> LastEnd;
  std::uint64_t Fed = 0;
  std::uint64_t Given = 0;
  std::uint64_t Reads = 0;
};

} // namespace de30::capture
