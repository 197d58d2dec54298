// Wire use is the share of the period the bytes occupied on a 2400-baud line:
// bytes queue behind those ahead of them and what would cross after the period
// is not in it, so exchanges that come faster than the wire (a line without
// pacing) never show more than 100 %, in de30d's window or over a capture.

#include "capture/line_stats.hpp"

#include <gtest/gtest.h>

namespace {

using namespace de30::capture;
using std::chrono::milliseconds;
using std::chrono::seconds;

const TClock::time_point Start = TClock::time_point(seconds(1796780000));
constexpr std::uint32_t PollBytes = 5;          // a poll's 2 bytes and its reply's 3
constexpr double PollMs = PollBytes * 10 / 2.4; // 20.83 ms at 2400 baud

struct TRun {
  const char *What;
  int Count;      // polls of PollBytes bytes
  int FirstMs;    // when the first is sent
  double EveryMs; // between one and the next
  int PeriodMs;   // the figures over Start..Start + PeriodMs
  double Percent; // the wire use expected
};

TFigures Figures(const TRun &Run) {
  TFigureSum Sum;
  for (int I = 0; I < Run.Count; ++I) {
    TStatSample S;
    S.SentAt = Start + milliseconds(Run.FirstMs) +
               std::chrono::duration_cast<TClock::duration>(
                   std::chrono::duration<double, std::milli>(I * Run.EveryMs));
    S.WireBytes = PollBytes;
    Sum.Add(S);
  }
  return Sum.Figures(Start, Start + milliseconds(Run.PeriodMs));
}

TEST(WireUse, IsTheShareOfThePeriodTheBytesOccupied) {
  const TRun Runs[] = {
      {"paced like a line, each poll 50 ms after the last", 10, 0, 50, 500,
       100.0 * 10 * PollMs / 500},
      {"polls back to back on the wire", 24, 0, PollMs, 500, 100.0 * 24 * PollMs / 500},
      {"a line without pacing: 200 polls in 200 ms", 200, 0, 1, 200, 100.0},
      {"a burst early in the period crosses whole", 20, 0, 0.01, 1000,
       100.0 * 20 * PollMs / 1000},
      {"a burst at the end: only what crossed by then", 20, 900, 0.01, 1000, 10.0},
      {"nothing sent", 0, 0, 1, 1000, 0.0},
  };
  for (const TRun &Run : Runs) {
    const TFigures F = Figures(Run);
    EXPECT_NEAR(F.WireUse, Run.Percent, 1e-6) << Run.What;
    EXPECT_EQ(F.WireBytes, static_cast<std::uint64_t>(Run.Count) * PollBytes) << Run.What;
  }
}

TEST(WireUse, NeverAboveAllOfTheWireInTheWindowOrOverACapture) {
  // de30d's simulated station before its lines were paced: a poll every 0.1 ms,
  // 2000 of them in 0.2 s, which a 2400-baud line would take 41.7 s to carry.
  TSlidingFigures Window(seconds(60), 8192);
  std::vector<TCapturedExchange> Capture;
  for (int I = 0; I < 2000; ++I) {
    TStatSample S;
    S.SentAt = Start + std::chrono::microseconds(100 * I);
    S.WireBytes = PollBytes;
    S.WholeReply = true;
    S.Latency = std::chrono::microseconds(4);
    Window.Add(S);
    TCapturedExchange E;
    E.Line = 1;
    E.Frame = {0x00, static_cast<std::uint8_t>(I % 2 == 0 ? 0x09 : 0x11)}; // pumps 1 and 2
    E.Reply = {E.Frame[1], 0x00, 0xFF};
    E.SentAt = S.SentAt;
    E.DoneAt = S.SentAt + S.Latency;
    Capture.push_back(E);
  }
  // The old count: the bytes against the time they were sent in.
  EXPECT_GT(WireUsePercent(2000 * PollBytes, milliseconds(200)), 20000.0);
  // Still crossing a second on: the wire has been full all the time.
  EXPECT_NEAR(Window.Figures(Start + seconds(1)).WireUse, 100.0, 1e-9);
  // 59 s on, the queue has crossed: 41.7 s of the wire in 59 s.
  EXPECT_NEAR(Window.Figures(Start + seconds(59)).WireUse, 100.0 * 2000 * PollMs / 59000, 1e-6);

  // Over the capture, from its first frame to its last reply: the wire was full.
  const TCaptureStats Stats = ComputeStats(Capture);
  EXPECT_NEAR(Stats.Lines.at(1).WireUse, 100.0, 1e-9);
  // Each pump's own bytes alone would need 20.8 s of the wire's 0.2 s: full from
  // its first poll on, pump 2's 0.1 ms after pump 1's.
  const double Period = 199.9 + 0.004;
  EXPECT_NEAR(Stats.Pumps.at({1, 1}).WireUse, 100.0, 1e-9);
  EXPECT_NEAR(Stats.Pumps.at({1, 2}).WireUse, 100.0 * (Period - 0.1) / Period, 1e-9);
}

} // namespace
