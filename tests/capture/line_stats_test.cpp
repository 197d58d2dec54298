// A line's figures on exchanges whose answers are known: counts by outcome,
// nearest-rank percentiles, wire use against 2400 baud, pumps from lead bytes,
// the sliding window de30d shows; and the replay's matching of requests.

#include "capture/line_stats.hpp"
#include "capture/replay.hpp"

#include <gtest/gtest.h>

namespace {

using namespace de30;
using namespace de30::capture;
using std::chrono::milliseconds;
using std::chrono::seconds;

const TClock::time_point Start = TClock::time_point(seconds(1796780000));

TCapturedExchange Exchange(std::int32_t Line, std::vector<std::uint8_t> Frame,
                           std::vector<std::uint8_t> Reply, TOutcome Outcome, int AtMs,
                           int LatencyMs, std::uint8_t Result = 0) {
  TCapturedExchange E;
  E.Line = Line;
  E.Frame = std::move(Frame);
  E.Reply = std::move(Reply);
  E.Outcome = Outcome;
  E.Result = Result;
  E.SentAt = Start + milliseconds(AtMs);
  E.DoneAt = E.SentAt + milliseconds(LatencyMs);
  return E;
}

TStatSample Sample(TOutcome Outcome, int AtMs, int LatencyMs, std::uint32_t Bytes) {
  TStatSample S;
  S.Outcome = Outcome;
  S.SentAt = Start + milliseconds(AtMs);
  S.WholeReply = Outcome == TOutcome::Accepted || Outcome == TOutcome::Rejected;
  S.Latency = milliseconds(LatencyMs);
  S.WireBytes = Bytes;
  return S;
}

TEST(LineStats, PercentilesAreNearestRank) {
  std::vector<double> Twenty;
  for (int I = 1; I <= 20; ++I)
    Twenty.push_back(I);
  EXPECT_EQ(NearestRank(Twenty, 50), 10);
  EXPECT_EQ(NearestRank(Twenty, 95), 19);
  EXPECT_EQ(NearestRank(Twenty, 100), 20);
  EXPECT_EQ(NearestRank({7.5}, 50), 7.5);
  EXPECT_EQ(NearestRank({7.5}, 95), 7.5);
  EXPECT_EQ(NearestRank({1, 2}, 50), 1);
  EXPECT_EQ(NearestRank({1, 2}, 95), 2);
  EXPECT_EQ(NearestRank({1, 2, 3}, 50), 2);
}

TEST(LineStats, WireUseIsTenBitsAByteAgainst2400Baud) {
  // 240 bytes take one second at 2400 baud.
  EXPECT_DOUBLE_EQ(WireUsePercent(240, seconds(10)), 10.0);
  EXPECT_DOUBLE_EQ(WireUsePercent(2400, seconds(10)), 100.0);
  EXPECT_DOUBLE_EQ(WireUsePercent(6, milliseconds(100)), 25.0);
  EXPECT_EQ(WireUsePercent(100, TClock::duration{0}), 0.0);
}

TEST(LineStats, FiguresCountOutcomesAndTakeLatencyFromWholeRepliesOnly) {
  TFigureSum Sum;
  for (int I = 1; I <= 18; ++I)
    Sum.Add(Sample(TOutcome::Accepted, I * 100, I, 5));
  Sum.Add(Sample(TOutcome::Rejected, 1900, 19, 5)); // a whole reply, refused
  Sum.Add(Sample(TOutcome::Rejected, 2000, 40, 5));
  Sum.Add(Sample(TOutcome::Timeout, 2100, 1500, 2)); // waited out: no latency
  Sum.Add(Sample(TOutcome::ChannelError, 2200, 0, 0));
  const TFigures F = Sum.Figures(Start, Start + seconds(4));
  EXPECT_EQ(F.Exchanges, 22u);
  EXPECT_EQ(F.Accepted, 18u);
  EXPECT_EQ(F.Rejected, 2u);
  EXPECT_EQ(F.Timeouts, 1u);
  EXPECT_EQ(F.ChannelErrors, 1u);
  EXPECT_EQ(F.Latency.Samples, 20u);
  EXPECT_DOUBLE_EQ(F.Latency.MedianMs, 10.0);
  EXPECT_DOUBLE_EQ(F.Latency.P95Ms, 19.0);
  EXPECT_DOUBLE_EQ(F.Latency.MaxMs, 40.0);
  EXPECT_EQ(F.WireBytes, 102u);
  EXPECT_DOUBLE_EQ(F.WireUse, 10.625); // 102 bytes: 0.425 s of a 2400-baud line in 4 s

  const TFigures None = TFigureSum().Figures(Start, Start + seconds(1));
  EXPECT_EQ(None.Latency.Samples, 0u);
  EXPECT_EQ(None.Latency.MaxMs, 0.0);
}

TEST(LineStats, CapturesArePerLineAndPumpOverTheCaptureDuration) {
  const std::vector<TCapturedExchange> Exchanges = {
      // Line 1: pump 1 polled (lead 0x09), its totals (lead 0x02 names no pump),
      // pump 2 polled (lead 0x11), then pump 2 again, refused.
      Exchange(1, {0x00, 0x09}, {0x09, 0x00, 0xFF}, TOutcome::Accepted, 0, 20),
      Exchange(1, {0x00, 0x02, 0x87}, std::vector<std::uint8_t>(16, 0x02), TOutcome::Accepted,
               100, 60),
      Exchange(1, {0x00, 0x11}, {0x11, 0x00, 0xFF}, TOutcome::Accepted, 200, 30),
      Exchange(1, {0x00, 0x11}, {0x12, 0x00, 0xFF}, TOutcome::Rejected, 300, 40),
      // Line 2: a timeout with a byte of the reply, a line that could not be opened
      // (its frame never went out) and one the other side closed after the frame.
      Exchange(2, {0x00, 0x19}, {0x19}, TOutcome::Timeout, 400, 1500, channels::ErrShortReply),
      Exchange(2, {0x00, 0x19}, {}, TOutcome::ChannelError, 2000, 0, channels::ErrOpenFailed),
      Exchange(2, {0x00, 0x19}, {}, TOutcome::ChannelError, 2300, 10, channels::ErrClosed),
  };
  const TCaptureStats S = ComputeStats(Exchanges);
  EXPECT_EQ(S.Exchanges, 7u);
  EXPECT_EQ(S.First, Start);
  EXPECT_EQ(S.Last, Start + milliseconds(2310));
  ASSERT_EQ(S.Lines.size(), 2u);
  const TFigures &One = S.Lines.at(1);
  EXPECT_EQ(One.Exchanges, 4u);
  EXPECT_EQ(One.Rejected, 1u);
  EXPECT_EQ(One.Latency.Samples, 4u);
  EXPECT_DOUBLE_EQ(One.Latency.MedianMs, 30.0);
  EXPECT_DOUBLE_EQ(One.Latency.MaxMs, 60.0);
  EXPECT_EQ(One.WireBytes, 2u + 3 + 3 + 16 + 2 + 3 + 2 + 3);
  EXPECT_DOUBLE_EQ(One.WireUse, WireUsePercent(34, milliseconds(2310)));
  const TFigures &Two = S.Lines.at(2);
  EXPECT_EQ(Two.Timeouts, 1u);
  EXPECT_EQ(Two.ChannelErrors, 2u);
  EXPECT_EQ(Two.Latency.Samples, 0u);
  EXPECT_EQ(Two.WireBytes, 2u + 1 + 2); // the closed line's frame went out

  // The totals request counts for pump 1, addressed just before it.
  ASSERT_EQ(S.Pumps.size(), 3u);
  EXPECT_EQ(S.Pumps.at({1, 1}).Exchanges, 2u);
  EXPECT_DOUBLE_EQ(S.Pumps.at({1, 1}).Latency.MaxMs, 60.0);
  EXPECT_EQ(S.Pumps.at({1, 2}).Exchanges, 2u);
  EXPECT_EQ(S.Pumps.at({1, 2}).Rejected, 1u);
  EXPECT_EQ(S.Pumps.at({2, 3}).Exchanges, 3u);

  // Totals before any pump was addressed belong to none.
  TPumpOfFrame Fresh;
  EXPECT_EQ(Fresh.Pump({0x00, 0x02, 0x87}), 0);
  EXPECT_EQ(Fresh.Pump({0x00, 0xF9}), 31);
  EXPECT_EQ(Fresh.Pump({0x00, 0x02, 0x78}), 31);
}

TEST(LineStats, TheSlidingWindowKeepsTheLastMinuteOrTheLastSamples) {
  TSlidingFigures Window(seconds(60), 100);
  EXPECT_EQ(Window.Figures(Start).Exchanges, 0u);
  EXPECT_EQ(Window.Figures(Start).WireUse, 0.0);
  // Two samples a second for 90 s, 24 bytes each: the line has run 10 s, then 90 s.
  for (int I = 0; I < 20; ++I)
    Window.Add(Sample(TOutcome::Accepted, I * 500, I < 10 ? 10 : 20, 24));
  TFigures Young = Window.Figures(Start + seconds(10));
  EXPECT_EQ(Young.Exchanges, 20u);
  EXPECT_DOUBLE_EQ(Young.WireUse, WireUsePercent(480, seconds(10))); // since the first
  EXPECT_DOUBLE_EQ(Young.Latency.MedianMs, 10.0);
  for (int I = 20; I < 180; ++I)
    Window.Add(Sample(TOutcome::Accepted, I * 500, 30, 24));
  // The cap of 100 samples leaves the last 50 s.
  const TFigures Capped = Window.Figures(Start + seconds(90));
  EXPECT_EQ(Capped.Exchanges, 100u);
  EXPECT_DOUBLE_EQ(Capped.WireUse, WireUsePercent(2400, seconds(50)));
  EXPECT_DOUBLE_EQ(Capped.Latency.MaxMs, 30.0);
  // Nothing for a while: the samples older than a minute go, the quiet time counts.
  const TFigures Quiet = Window.Figures(Start + seconds(130));
  EXPECT_EQ(Quiet.Exchanges, 40u); // sent from 70 s on
  EXPECT_DOUBLE_EQ(Quiet.WireUse, WireUsePercent(960, seconds(60)));
  EXPECT_EQ(Window.Figures(Start + seconds(200)).Exchanges, 0u);
}

TEST(Replay, EachRequestGetsTheNextCapturedReplyForTheSameBytes) {
  const std::vector<std::uint8_t> Poll1{0x00, 0x09}, Poll2{0x00, 0x11}, Fill1{0x00, 0x0A, 0xB4};
  TReplayLine Line({
      Exchange(1, Poll1, {}, TOutcome::Timeout, 0, 1500, channels::ErrTimeout),
      Exchange(1, Poll2, {0x11, 0x00, 0xFF}, TOutcome::Accepted, 10, 20),
      Exchange(1, Poll1, {0x09, 0x00, 0xFF}, TOutcome::Accepted, 20, 20),
      Exchange(1, Fill1, {}, TOutcome::ChannelError, 30, 0, channels::ErrWriteFailed),
      Exchange(1, Poll1, {0x0A, 0x00, 0xFF}, TOutcome::Rejected, 40, 20),
  });
  EXPECT_EQ(Line.Servable(), 4u); // the channel error never reached the line
  // Pump 1 twice before pump 2: the second poll of pump 1 is taken from after the
  // cursor, which stays on pump 2's exchange until it is asked for.
  const TCapturedExchange *A = Line.Answer(Poll1);
  ASSERT_NE(A, nullptr);
  EXPECT_EQ(A->Outcome, TOutcome::Timeout);
  EXPECT_EQ(Line.Cursor(), 1u);
  const TCapturedExchange *B = Line.Answer(Poll1);
  ASSERT_NE(B, nullptr);
  EXPECT_EQ(B->Reply, (std::vector<std::uint8_t>{0x09, 0x00, 0xFF}));
  EXPECT_EQ(Line.Cursor(), 1u);
  const TCapturedExchange *C = Line.Answer(Poll2);
  ASSERT_NE(C, nullptr);
  EXPECT_EQ(C->Reply, (std::vector<std::uint8_t>{0x11, 0x00, 0xFF}));
  EXPECT_EQ(Line.Cursor(), 3u); // past the exchanges served
  // The rejected reply is served as captured.
  const TCapturedExchange *D = Line.Answer(Poll1);
  ASSERT_NE(D, nullptr);
  EXPECT_EQ(D->Outcome, TOutcome::Rejected);
  EXPECT_EQ(D->Reply.front(), 0x0A);
  EXPECT_EQ(Line.Served(), 4u);
  // Nothing left for a poll; the fill was never on the line.
  EXPECT_EQ(Line.Answer(Poll1), nullptr);
  EXPECT_EQ(Line.Answer(Fill1), nullptr);
  EXPECT_EQ(Line.Answer(Poll1), nullptr);
  EXPECT_EQ(Line.Unmatched(), 3u);
  ASSERT_EQ(Line.UnmatchedRequests().size(), 2u);
  EXPECT_EQ(Line.UnmatchedRequests()[0].first, Poll1);
  EXPECT_EQ(Line.UnmatchedRequests()[0].second, 2u);
  EXPECT_EQ(Line.UnmatchedRequests()[1].first, Fill1);
  EXPECT_EQ(Line.UnmatchedRequests()[1].second, 1u);
}

} // namespace
