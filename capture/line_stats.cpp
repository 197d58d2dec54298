#include "capture/line_stats.hpp"

#include "de30/constants.hpp"
#include "protocol/vocabulary.hpp"

#include <algorithm>
#include <cmath>

namespace de30::capture {

namespace {

std::uint32_t WireBytesOf(TOutcome Outcome, std::int32_t Result, std::size_t Frame,
                          std::size_t Reply) {
  const bool FrameWent = Outcome != TOutcome::ChannelError || Result == channels::ErrClosed;
  return static_cast<std::uint32_t>((FrameWent ? Frame : 0) + Reply);
}

bool Whole(TOutcome Outcome) {
  return Outcome == TOutcome::Accepted || Outcome == TOutcome::Rejected;
}

double Ms(TClock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

} // namespace

TStatSample SampleOf(const TCapturedExchange &Exchange) {
  TStatSample S;
  S.Outcome = Exchange.Outcome;
  S.SentAt = Exchange.SentAt;
  // A reply the file does not hold (cut off) has no known end.
  S.WholeReply = Whole(Exchange.Outcome) && !Exchange.ReplyMissing;
  S.Latency = S.WholeReply ? Exchange.DoneAt - Exchange.SentAt : TClock::duration{0};
  S.WireBytes = WireBytesOf(Exchange.Outcome, Exchange.Result, Exchange.Frame.size(),
                            Exchange.Reply.size());
  return S;
}

TStatSample SampleOf(const channels::TTraceRecord &Record) {
  TStatSample S;
  S.Outcome = OutcomeOf(Record);
  S.SentAt = Record.SentAt;
  S.WholeReply = Whole(S.Outcome);
  S.Latency = S.WholeReply ? Record.DoneAt - Record.SentAt : TClock::duration{0};
  S.WireBytes = WireBytesOf(S.Outcome, Record.Result, Record.Frame.size(), Record.Reply.size());
  return S;
}

double NearestRank(const std::vector<double> &Sorted, double Percent) {
  const auto N = static_cast<double>(Sorted.size());
  const auto Rank = static_cast<std::size_t>(std::ceil(Percent / 100.0 * N));
  return Sorted[std::clamp<std::size_t>(Rank, 1, Sorted.size()) - 1];
}

double WireUsePercent(std::uint64_t Bytes, TClock::duration Period) {
  const double Seconds = std::chrono::duration<double>(Period).count();
  if (Seconds <= 0.0)
    return 0.0;
  const double Carried = static_cast<double>(Bytes) * WireBitsPerByte / LineBaudRate;
  return 100.0 * Carried / Seconds;
}

TClock::duration WireTime(std::uint64_t Bytes) {
  using namespace std::chrono;
  const auto Bits = static_cast<std::int64_t>(Bytes) * WireBitsPerByte;
  return duration_cast<TClock::duration>(nanoseconds(Bits * 1'000'000'000LL / LineBaudRate));
}

void TFigureSum::Add(const TStatSample &Sample) {
  ++Sum.Exchanges;
  switch (Sample.Outcome) {
  case TOutcome::Accepted:
    ++Sum.Accepted;
    break;
  case TOutcome::Rejected:
    ++Sum.Rejected;
    break;
  case TOutcome::Timeout:
    ++Sum.Timeouts;
    break;
  case TOutcome::ChannelError:
    ++Sum.ChannelErrors;
    break;
  }
  Sum.WireBytes += Sample.WireBytes;
  // Bytes queue behind those still on the wire: a line carries one at a time.
  if (Sample.WireBytes > 0) {
    if (Sample.SentAt >= WireFrom + WireTime(WireQueued)) {
      WireFrom = Sample.SentAt;
      WireQueued = 0;
    }
    WireQueued += Sample.WireBytes;
  }
  if (Sample.WholeReply)
    LatenciesMs.push_back(Ms(Sample.Latency));
}

TFigures TFigureSum::Figures(TClock::time_point From, TClock::time_point To) const {
  TFigures Result = Sum;
  if (To > From) {
    // What is still queued at To crosses after the period: nothing was sent after
    // To, so all of it is in the last stretch of the schedule.
    const double LateS =
        std::max(std::chrono::duration<double>(WireFrom - To).count() +
                     static_cast<double>(WireQueued) * WireBitsPerByte / LineBaudRate,
                 0.0);
    const double Use = WireUsePercent(Sum.WireBytes, To - From) -
                       100.0 * LateS / std::chrono::duration<double>(To - From).count();
    // Only samples sent before From, the caller's mistake, could go beyond.
    Result.WireUse = std::clamp(Use, 0.0, 100.0);
  }
  if (!LatenciesMs.empty()) {
    std::vector<double> Sorted = LatenciesMs;
    std::sort(Sorted.begin(), Sorted.end());
    Result.Latency.Samples = Sorted.size();
    Result.Latency.MedianMs = NearestRank(Sorted, 50.0);
    Result.Latency.P95Ms = NearestRank(Sorted, 95.0);
    Result.Latency.MaxMs = Sorted.back();
  }
  return Result;
}

int TPumpOfFrame::Pump(const std::vector<std::uint8_t> &Frame) {
  const std::size_t At = Frame.size() > 1 && Frame[0] == FrameStart ? 1 : 0;
  if (At >= Frame.size())
    return Last;
  const std::uint8_t Lead = Frame[At];
  if (Lead == protocol::TotalsLead)
    return Last;
  Last = protocol::LeadPump(Lead);
  return Last;
}

TCaptureStats ComputeStats(const std::vector<TCapturedExchange> &Exchanges) {
  TCaptureStats Stats;
  std::map<std::int32_t, TFigureSum> Lines;
  std::map<std::pair<std::int32_t, int>, TFigureSum> Pumps;
  std::map<std::int32_t, TPumpOfFrame> Addressed;
  bool Any = false;
  for (const TCapturedExchange &E : Exchanges) {
    const TStatSample Sample = SampleOf(E);
    Lines[E.Line].Add(Sample);
    Pumps[{E.Line, Addressed[E.Line].Pump(E.Frame)}].Add(Sample);
    const TClock::time_point End = std::max(E.SentAt, E.DoneAt);
    Stats.First = Any ? std::min(Stats.First, E.SentAt) : E.SentAt;
    Stats.Last = Any ? std::max(Stats.Last, End) : End;
    Any = true;
    ++Stats.Exchanges;
  }
  for (const auto &[Line, Sum] : Lines)
    Stats.Lines[Line] = Sum.Figures(Stats.First, Stats.Last);
  for (const auto &[Key, Sum] : Pumps)
    Stats.Pumps[Key] = Sum.Figures(Stats.First, Stats.Last);
  return Stats;
}

TSlidingFigures::TSlidingFigures(TClock::duration Window, std::size_t MaxSamples)
    : Span(Window), Most(std::max<std::size_t>(MaxSamples, 1)) {}

void TSlidingFigures::Add(const TStatSample &Sample) {
  if (!Begun)
    Began = Sample.SentAt;
  Begun = true;
  Samples.push_back(Sample);
  if (Samples.size() > Most) {
    Samples.pop_front();
    CutAt = Samples.front().SentAt;
  }
}

void TSlidingFigures::Expire(TClock::time_point Now) {
  while (!Samples.empty() && Samples.front().SentAt < Now - Span)
    Samples.pop_front();
}

TFigures TSlidingFigures::Figures(TClock::time_point Now) {
  Expire(Now);
  TFigureSum Sum;
  for (const TStatSample &Sample : Samples)
    Sum.Add(Sample);
  const TClock::time_point From = std::max({Now - Span, Began, CutAt});
  return Begun ? Sum.Figures(From, Now) : Sum.Figures(Now, Now);
}

} // namespace de30::capture
