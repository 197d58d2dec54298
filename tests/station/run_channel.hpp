#pragma once
// The line of a recorded station run. It is one of de30's own line channels, so
// the station treats it as it treats a serial line: the reply check, the
// timeouts, the short probe of an offline pump and the error numbers all come
// from the channel code the station runs on in the field. What answers the line
// is the simulated station (recording) or the capture of a recording (replay).
//
// Time on the line is virtual and moves only with the exchanges: a frame and its
// reply take their wire time at 2400 baud and the pump's turn-around, a missing
// or short reply the whole reply timeout. The same rule runs in both modes, so a
// replay sees the clock the recording saw, exchange for exchange. A capture
// taken in the field brings its own times: a reply that took longer than the
// rule says takes as long in the replay, and a frame that went out later than
// the clock has come to (the site's station paused between cycles) moves the
// clock on to it.

#include "capture/exchange.hpp"
#include "channels/line_channel.hpp"
#include "sim/clock.hpp"
#include "sim/station.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace de30::station::runs {

// How long a pump takes to start its reply once the frame has crossed.
inline constexpr std::int64_t TurnaroundMs = 5;
// The moment a run's clock counts from, so that a capture's stamps are the same
// at every recording: 2026-01-01T00:00:00Z.
inline constexpr std::chrono::seconds RunEpoch{1767225600};

// Milliseconds that Bytes take on a 2400-baud line, ten bits a byte, rounded up.
std::int64_t WireMs(std::size_t Bytes);
// Bytes in hex, "00 0a b4", as a divergence names them ("nothing" for none).
std::string Hex(const std::vector<std::uint8_t> &Bytes);
// A moment of the run's clock on the capture's time line.
capture::TClock::time_point StampOf(std::int64_t RunMs);

// The captured exchanges of the run's line, handed out frame by frame: exchange N
// answers only the frame it holds.
class TCapturedLine {
public:
  explicit TCapturedLine(std::vector<capture::TCapturedExchange> Exchanges);

  // Exchange Number (from 1) when Frame is the frame it holds; null otherwise,
  // and the first such miss is kept as the divergence.
  const capture::TCapturedExchange *Answer(std::uint32_t Number,
                                           const std::vector<std::uint8_t> &Frame);
  std::size_t Size() const { return Exchanges.size(); }
  // When exchange Number's frame went out, in milliseconds after the first
  // exchange's; nullopt beyond the capture.
  std::optional<std::int64_t> SentMs(std::uint32_t Number) const;
  bool Diverged() const { return !Miss.empty(); }
  // "exchange 41: the station sent 00 0a, the capture holds 00 12", or empty.
  const std::string &Divergence() const { return Miss; }

private:
  std::vector<capture::TCapturedExchange> Exchanges;
  std::string Miss;
};

// What the run does around each exchange, on the line worker's thread.
struct TRunHooks {
  // Before exchange Number (from 1) goes out. False ends the run: the exchange
  // and every later one fail at once, and nothing more is recorded.
  std::function<bool(std::uint32_t Number)> Before;
  // The exchange as it crossed the line, stamped on the run's clock.
  std::function<void(const channels::TTraceRecord &Record)> After;
};

class TRunChannel final : public channels::TLineChannel {
public:
  // Recording: the simulated station answers.
  TRunChannel(sim::TManualClock &Clock, sim::TSimStation &Station, TRunHooks Hooks);
  // Replay: the capture answers.
  TRunChannel(sim::TManualClock &Clock, TCapturedLine &Captured, TRunHooks Hooks);
  ~TRunChannel() override;

  std::int32_t Transact(std::int32_t Line, std::int32_t Line2, const std::uint8_t *Frame,
                        std::uint8_t FrameLength, std::uint8_t *Reply, std::uint8_t ReplyLength,
                        std::uint8_t Lead) override;

  // What the far end handed back during the exchange under way: the links fill
  // it in, the channel reads it to move the clock and to record the exchange.
  struct TSeen {
    std::uint32_t Number = 0;
    bool Written = false;            // the frame went out: what is read now is its reply
    std::vector<std::uint8_t> Reply; // reply bytes handed to the channel
    std::int64_t DelayMs = 0;        // how much later than the turn-around the reply began
  };

protected:
  std::unique_ptr<channels::TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                                        std::int32_t &Error) override;

private:
  sim::TManualClock &Clock;
  sim::TSimStation *Station = nullptr;
  TCapturedLine *Captured = nullptr;
  TRunHooks Hooks;
  std::uint32_t Exchanges = 0;
  std::int64_t FirstMs = 0; // the run's clock at its first exchange
  TSeen Seen;
};

} // namespace de30::station::runs
