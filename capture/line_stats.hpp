#pragma once
// A line's figures from its exchanges: how many, how they ended, how long a reply
// took and how much of the wire they used. `de30ctl stats` computes them over a
// whole capture; de30d's line health over a sliding window of the live exchanges.
// Both take them from here, so the two always mean the same.
//
// - Latency is DoneAt - SentAt of the exchanges with a whole reply (accepted or
//   rejected): from the frame's first byte written to the reply's last byte read.
//   Median and 95th percentile are nearest-rank: the smallest latency that at
//   least half (95 %) of those exchanges did not exceed.
// - Wire use is the share of the period that the bytes both ways, ten bits each,
//   occupied on a 2400-baud line, as a percentage. An exchange's bytes cannot
//   start before it was sent nor before the bytes ahead of them have crossed, and
//   what would cross after the period is not in it: a line whose exchanges come
//   faster than the wire could carry them (a simulated one without pacing) shows
//   at most 100 %, never the bytes' sum against the period. A channel error counts
//   only the reply bytes that arrived, since its frame may never have gone out
//   (unless the line closed after it was written).

#include "capture/exchange.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace de30::capture {

inline constexpr int WireBitsPerByte = 10; // start bit, eight data bits, stop bit

// One exchange as the figures need it.
struct TStatSample {
  TOutcome Outcome = TOutcome::Accepted;
  TClock::time_point SentAt;
  TClock::duration Latency{0};
  std::uint32_t WireBytes = 0;
  bool WholeReply = false; // Latency counts
};

TStatSample SampleOf(const TCapturedExchange &Exchange);
TStatSample SampleOf(const channels::TTraceRecord &Record);

struct TLatency {
  std::uint64_t Samples = 0; // exchanges with a whole reply; the rest is 0 without any
  double MedianMs = 0.0;
  double P95Ms = 0.0;
  double MaxMs = 0.0;
};

struct TFigures {
  std::uint64_t Exchanges = 0;
  std::uint64_t Accepted = 0;
  std::uint64_t Rejected = 0;      // whole replies the reply check refused
  std::uint64_t Timeouts = 0;      // no reply, or a short one
  std::uint64_t ChannelErrors = 0; // every other failure of the channel
  std::uint64_t WireBytes = 0;
  TLatency Latency;
  double WireUse = 0.0; // percent of a 2400-baud line over the period
};

// The nearest-rank Percent'th percentile (0 < Percent <= 100) of Sorted, which is
// sorted ascending and not empty.
double NearestRank(const std::vector<double> &Sorted, double Percent);
// Bytes on a 2400-baud line over Period, as a percentage (0 for an empty period).
double WireUsePercent(std::uint64_t Bytes, TClock::duration Period);
// How long Bytes take on a 2400-baud line.
TClock::duration WireTime(std::uint64_t Bytes);

// Sums samples up, added in the order they were sent; Figures() gives the figures
// over a period of the caller's, From..To, in which every sample was sent.
class TFigureSum {
public:
  void Add(const TStatSample &Sample);
  TFigures Figures(TClock::time_point From, TClock::time_point To) const;

private:
  TFigures Sum;
  std::vector<double> LatenciesMs;
  // The last stretch of the wire's schedule without a pause: when it began, and
  // the bytes queued in it since.
  TClock::time_point WireFrom{};
  std::uint64_t WireQueued = 0;
};

// The address an exchange's frame (0x00 first) speaks to. Totals requests carry no
// address; the pump last addressed on the line answers them, so they count for it
// (0 before any pump was addressed).
class TPumpOfFrame {
public:
  int Pump(const std::vector<std::uint8_t> &Frame);

private:
  int Last = 0;
};

// The figures of whole captures, per line and per pump of each line, over the
// capture's duration: from the first frame sent to the last reply's end.
struct TCaptureStats {
  TClock::time_point First;
  TClock::time_point Last;
  std::uint64_t Exchanges = 0;
  std::map<std::int32_t, TFigures> Lines;
  std::map<std::pair<std::int32_t, int>, TFigures> Pumps; // (line, pump)
};
// Exchanges in the order they were sent (several files one after the other).
TCaptureStats ComputeStats(const std::vector<TCapturedExchange> &Exchanges);

// The figures of a line's recent exchanges: those of the last Window, or the last
// MaxSamples exchanges when the line made more in that time.
class TSlidingFigures {
public:
  explicit TSlidingFigures(TClock::duration Window = std::chrono::seconds(60),
                           std::size_t MaxSamples = 8192);
  void Add(const TStatSample &Sample);
  // Over the window ending at Now. Wire use is over the whole window, or from the
  // first sample when the line has run for less (or dropped older samples).
  TFigures Figures(TClock::time_point Now);
  TClock::duration Window() const { return Span; }

private:
  void Expire(TClock::time_point Now);

  TClock::duration Span;
  std::size_t Most;
  std::deque<TStatSample> Samples;
  bool Begun = false;
  TClock::time_point Began{}; // the first sample's
  TClock::time_point CutAt{}; // the oldest kept sample's, once the cap dropped some
};

} // namespace de30::capture
