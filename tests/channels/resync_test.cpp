// A line that falls out of step with its pump (a reply later than the timeout,
// noise, bytes trailing a reply) costs the exchange that meets the fault, not
// every exchange after it: on a real pseudo-terminal and a real TCP connection,
// against a pump whose bytes come at the line's pace.
#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"
#include "support/paced_peer.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace de30::test {
namespace {

using namespace std::chrono_literals;

// Slow enough that a loaded machine's scheduling stays well inside a byte time.
constexpr int Baud = 1200;
constexpr auto ByteTime = std::chrono::microseconds(10 * 1000000 / Baud);
constexpr auto Timeout = 150ms;
constexpr std::int32_t Line = 1;

// The driver's own rule: the reply's first byte must echo the command's.
bool EchoCheck(void *Data, std::int32_t CheckedLine, const std::uint8_t *A,
               const std::uint8_t *B) {
  auto *Channel = static_cast<TComChannel *>(Data);
  const bool Accepted = A[0] == B[0];
  Channel->SetState(CheckedLine, Accepted ? 1 : 3);
  Channel->SetError(CheckedLine, Accepted ? 0 : 219);
  return Accepted;
}

enum class TWire { Pty, Tcp };

struct TCase {
  const char *Name;
  int Faulty; // the exchange whose reply meets the fault
  TPeerFault Fault;
  std::chrono::microseconds Pause; // between exchanges, as a host polls
  // Per exchange: A accepted, R rejected, T timed out.
  std::string Expected;
};

class Resync : public ::testing::TestWithParam<TWire> {
protected:
  // Exchanges with the leads 0x11, 0x12, ... so that a reply meant for another
  // frame never passes the check; the outcome of each, as in TCase::Expected.
  std::string Exchange(channels::TLineChannel &Channel, int Count,
                       std::chrono::microseconds Pause) {
    std::string Outcomes;
    for (int I = 1; I <= Count; ++I) {
      const auto Lead = static_cast<std::uint8_t>(0x10 + I);
      const std::uint8_t Frame[] = {0x00, Lead, static_cast<std::uint8_t>(I)};
      std::uint8_t Reply[3] = {Lead};
      Channel.SetReplyCheck(Line, EchoCheck, static_cast<TComChannel *>(&Channel));
      const std::int32_t Result = Channel.Transact(Line, Line, Frame, 3, Reply, 3, Lead);
      if (Result == channels::ErrTimeout || Result == channels::ErrShortReply)
        Outcomes += 'T';
      else if (Result != 0)
        Outcomes += 'E';
      else
        Outcomes += Channel.GetState(Line) == 1 ? 'A' : 'R';
      std::this_thread::sleep_for(Pause);
    }
    return Outcomes;
  }

  // The peer on this test's kind of line, and a channel opened to it.
  std::unique_ptr<channels::TLineChannel> Connect(std::unique_ptr<TPacedPeer> &Peer) {
    std::string Error;
    std::unique_ptr<channels::TLineChannel> Channel;
    if (GetParam() == TWire::Pty) {
      Peer = TPacedPeer::OnPty(Baud, Error);
      if (Peer)
        Channel = std::make_unique<channels::TSerialChannel>(
            std::map<std::int32_t, std::string>{{Line, Peer->Path()}});
    } else {
      Peer = TPacedPeer::OnTcp(Baud, Error);
      if (Peer)
        Channel = std::make_unique<channels::TTcpChannel>(
            std::map<std::int32_t, channels::TEndpoint>{{Line, {"127.0.0.1", Peer->Port()}}});
    }
    EXPECT_TRUE(Peer) << Error;
    return Channel;
  }
};

std::string WireName(const ::testing::TestParamInfo<TWire> &Info) {
  return Info.param == TWire::Pty ? "SerialOnPty" : "TcpOnLoopback";
}

TEST_P(Resync, OneFaultCostsTheExchangeItMeetsAndNoneAfter) {
  // When the channel gives up on a reply of three bytes.
  const auto GivesUp = std::chrono::ceil<std::chrono::milliseconds>(Timeout + 3 * ByteTime);
  const std::vector<TCase> Cases = {
      {"a reply just later than the timeout", 2, {{}, GivesUp + 5ms, {}, false}, 0us, "ATAAAA"},
      {"a noise byte ahead of a reply",
       2,
       {{TPacedPeer::Noise}, 0ms, {}, false},
       0us,
       "ARAAAA"},
      {"two noise bytes ahead of a reply",
       2,
       {{TPacedPeer::Noise, TPacedPeer::Noise}, 0ms, {}, false},
       0us,
       "ARAAAA"},
      // Still sounding when the next frame is due: the host polls again after
      // two bytes of it have come.
      {"a burst trailing an accepted reply",
       2,
       {{}, 0ms, std::vector<std::uint8_t>(6, TPacedPeer::Noise), false},
       5 * ByteTime / 2,
       "AAAAAA"},
      // It reaches the next exchange, which rejects it; the one after is clean.
      {"a reply far later than the timeout",
       2,
       {{}, GivesUp + 100ms, {}, false},
       0us,
       "ATRAAA"},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    std::unique_ptr<TPacedPeer> Peer;
    auto Channel = Connect(Peer);
    ASSERT_TRUE(Channel);
    Peer->Plan(Case.Faulty, Case.Fault);
    Peer->Start();
    Channel->SetReplyTimeout(Timeout);
    ASSERT_EQ(Channel->SetupLine(Line, 15, Baud), 0) << Channel->LastErrorText(Line);
    EXPECT_EQ(Exchange(*Channel, static_cast<int>(Case.Expected.size()), Case.Pause),
              Case.Expected);
  }
}

TEST_P(Resync, TheBytesLetDieDownAreCountedInTheTrace) {
  std::unique_ptr<TPacedPeer> Peer;
  auto Channel = Connect(Peer);
  ASSERT_TRUE(Channel);
  Peer->Plan(2, {{TPacedPeer::Noise}, 0ms, {}, false});
  Peer->Start();
  std::vector<channels::TTraceRecord> Records;
  Channel->SetTracer([&](const channels::TTraceRecord &R) { Records.push_back(R); });
  Channel->SetReplyTimeout(Timeout);
  ASSERT_EQ(Channel->SetupLine(Line, 15, Baud), 0);
  ASSERT_EQ(Exchange(*Channel, 3, 0us), "ARA");
  ASSERT_EQ(Records.size(), 3u);
  // The rejected reply took the noise and two bytes of its own; its last byte
  // came while the third frame waited for the line to fall quiet.
  EXPECT_EQ(Records[1].Reply, (std::vector<std::uint8_t>{TPacedPeer::Noise, 0x12, 0x02}));
  EXPECT_EQ(Records[0].Dropped, 0u);
  EXPECT_EQ(Records[2].Dropped, 1u);
  EXPECT_FALSE(Records[2].NotQuiet);
}

TEST_P(Resync, ALineThatNeverFallsQuietHoldsAFrameBackOnlyUpToTheLimit) {
  std::unique_ptr<TPacedPeer> Peer;
  auto Channel = Connect(Peer);
  ASSERT_TRUE(Channel);
  Peer->Plan(2, {{}, 0ms, {}, true});
  Peer->Start();
  std::vector<channels::TTraceRecord> Records;
  Channel->SetTracer([&](const channels::TTraceRecord &R) { Records.push_back(R); });
  Channel->SetReplyTimeout(Timeout);
  ASSERT_EQ(Channel->SetupLine(Line, 15, Baud), 0);
  // The second frame is answered with babble; the third waits for a silence
  // that never comes, then goes out and reads babble too.
  EXPECT_EQ(Exchange(*Channel, 3, 0us), "ARR");
  ASSERT_EQ(Records.size(), 3u);
  EXPECT_TRUE(Records[2].NotQuiet);
  // A byte time apart, for as long as the limit.
  const auto Limit = Channel->QuietLimit(Line);
  EXPECT_GE(Records[2].Dropped, static_cast<std::size_t>(Limit / ByteTime / 2));
  EXPECT_EQ(Channel->LastErrorText(Line),
            "reply rejected (the line never fell quiet before the frame)");
}

INSTANTIATE_TEST_SUITE_P(Wires, Resync, ::testing::Values(TWire::Pty, TWire::Tcp), WireName);

} // namespace
} // namespace de30::test
