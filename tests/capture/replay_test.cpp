// de30ctl replay and stats end to end: de30ctl commands are captured on the
// simulated station with injected faults, the captures are served again on TCP,
// and the same commands against the replay end with the same output and exit
// code; what the capture does not hold is answered by silence and reported.

#include "capture/reader.hpp"
#include "capture/writer.hpp"
#include "station/temp_dir.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace de30;
using namespace de30::capture;
using test::TBackground;

std::string Ctl(const std::string &Arguments) { return std::string(DE30CTL) + " " + Arguments; }

// What a command printed, without the line the capture adds.
std::string Seen(const std::string &Output) {
  std::istringstream In(Output);
  std::string Line, Kept;
  while (std::getline(In, Line))
    if (Line.find(" captured in ") == std::string::npos)
      Kept += Line + "\n";
  return Kept;
}

struct TCommand {
  const char *Fault; // on the simulated station when captured
  const char *Arguments;
  int Exit;
};

const TCommand Commands[] = {
    {"", "poll 1:1", 0},
    {"--fault no-reply,times=1", "poll 1:1", 1},
    {"--fault wrong-echo,times=1", "poll 1:1", 6},
    {"--fault corrupt-digits", "totals 1:1", 0}, // a wrong value the driver takes
    {"--fault drop-byte,times=1", "fill 1:1", 1},
    {"", "price 1:1 1=45.50", 0},
};

TEST(Replay, De30ctlMeetsTheCapturedRepliesAgainAndUnmatchedRequestsAreReported) {
  test::TTempDir Dir;
  std::vector<std::string> Outputs;
  std::string Files;
  std::size_t Captured = 0;
  for (std::size_t I = 0; I < std::size(Commands); ++I) {
    const TCommand &C = Commands[I];
    SCOPED_TRACE(C.Arguments);
    const std::string File = Dir / ("run" + std::to_string(I) + ".pcapng");
    const auto Run =
        test::RunProgram(Ctl("--capture " + File + " " + C.Fault + " " + C.Arguments));
    ASSERT_EQ(Run.Code, C.Exit) << Run.Output;
    Outputs.push_back(Seen(Run.Output));
    Captured += ReadCapture(File).Exchanges.size();
    Files += " " + File;
  }

  TBackground Replay(Ctl("replay --port 0 --duration 60" + Files));
  const std::string Where = Replay.After("line 1 served on ");
  ASSERT_FALSE(Where.empty()) << Replay.Output;
  EXPECT_NE(Replay.Output.find("line 1: " + std::to_string(Captured) +
                               " exchanges captured on embedded station, pump 1"),
            std::string::npos)
      << Replay.Output;
  std::string Replayed;
  for (std::size_t I = 0; I < std::size(Commands); ++I) {
    const TCommand &C = Commands[I];
    SCOPED_TRACE(C.Arguments);
    const std::string File = Dir / ("replayed" + std::to_string(I) + ".pcapng");
    const auto Run = test::RunProgram(
        Ctl("--timeout 300 --tcp 1=" + Where + " --capture " + File + " " + C.Arguments));
    EXPECT_EQ(Run.Code, C.Exit) << Run.Output;
    EXPECT_EQ(Seen(Run.Output), Outputs[I]);
    // Byte for byte what the captured run met, with the same outcome.
    const auto Before = ReadCapture((Dir / ("run" + std::to_string(I) + ".pcapng")).string());
    const auto After = ReadCapture(File);
    ASSERT_EQ(After.Exchanges.size(), Before.Exchanges.size());
    for (std::size_t K = 0; K < After.Exchanges.size(); ++K) {
      EXPECT_EQ(After.Exchanges[K].Frame, Before.Exchanges[K].Frame) << K;
      EXPECT_EQ(After.Exchanges[K].Reply, Before.Exchanges[K].Reply) << K;
      EXPECT_EQ(After.Exchanges[K].Outcome, Before.Exchanges[K].Outcome) << K;
    }
    Replayed += " " + File;
  }
  // Pump 2 was never polled in the capture: silence, as from an absent pump.
  const auto Absent = test::RunProgram(Ctl("--timeout 300 --tcp 1=" + Where + " poll 1:2"));
  EXPECT_EQ(Absent.Code, 1) << Absent.Output;
  EXPECT_NE(Absent.Output.find("no reply (timeout)"), std::string::npos) << Absent.Output;

  EXPECT_EQ(Replay.Stop(SIGINT), 0) << Replay.Output;
  EXPECT_NE(Replay.Output.find("replay: " + std::to_string(Captured) + " of " +
                               std::to_string(Captured) +
                               " captured exchanges served, 1 request unmatched"),
            std::string::npos)
      << Replay.Output;
  EXPECT_NE(Replay.Output.find("not in the capture: 00 11 (status poll, pump 2), 1 time"),
            std::string::npos)
      << Replay.Output;

  // The statistics of the replayed run: every outcome counted, and the replies
  // came at the pace of a 2400-baud line (a poll's 2 + 3 bytes take 20.8 ms).
  const auto Stats = test::RunProgram(Ctl("stats --json" + Replayed));
  ASSERT_EQ(Stats.Code, 0) << Stats.Output;
  const auto Json = nlohmann::json::parse(Stats.Output);
  ASSERT_EQ(Json["lines"].size(), 1u);
  const auto &Line = Json["lines"][0];
  EXPECT_EQ(Line["exchanges"], Captured);
  EXPECT_EQ(Line["timeouts"], 2);
  EXPECT_EQ(Line["rejected"], 1);
  EXPECT_EQ(Line["channel_errors"], 0);
  EXPECT_GE(Line["latency_ms"]["median"].get<double>(), 20.0);
  EXPECT_GT(Line["wire_use"].get<double>(), 0.0);
  ASSERT_EQ(Line["pumps"].size(), 1u);
  EXPECT_EQ(Line["pumps"][0]["pump"], 1);
  EXPECT_EQ(Json["files"].size(), std::size(Commands));

  const auto Table = test::RunProgram(Ctl("stats" + Replayed));
  EXPECT_EQ(Table.Code, 0) << Table.Output;
  EXPECT_NE(Table.Output.find("line  pump  exchanges  timeouts  rejected"), std::string::npos)
      << Table.Output;
  EXPECT_NE(Table.Output.find("   1   all  "), std::string::npos) << Table.Output;

  EXPECT_EQ(test::RunProgram(Ctl("stats /de30-no-such-file.pcapng")).Code, 4);
  EXPECT_EQ(test::RunProgram(Ctl("replay --port 0 --pty" + Files)).Code, 2);
  EXPECT_EQ(test::RunProgram(Ctl("--tcp 1=127.0.0.1:1 replay --port 0" + Files)).Code, 2);
}

TEST(Stats, ARotatedCaptureIsReadOldestFirstWhateverTheOrderGivenAndAGapIsNamed) {
  test::TTempDir Dir;
  const std::string Path = Dir / "line1.pcapng";
  const auto At = TClock::time_point(std::chrono::seconds(1796780000));
  {
    TCaptureWriter W({Path, 1500, 4});
    W.DescribeLine(1, "/dev/ttyS0");
    // A poll every 100 ms, each taking 25 ms: 10 bytes a second, one in 24 of the wire.
    for (int I = 0; I < 60; ++I) {
      channels::TTraceRecord R;
      R.Line = 1;
      R.Frame = {0x00, 0x09};
      R.Reply = {0x09, 0x00, 0xFF};
      R.ReplyLength = 3;
      R.State = 1;
      R.SentAt = At + std::chrono::milliseconds(100 * I);
      R.DoneAt = R.SentAt + std::chrono::milliseconds(25);
      W.Write(R);
    }
  }
  std::vector<std::string> Files;
  for (unsigned I = 0; I < 4; ++I)
    Files.push_back(RotatedName(Path, I));
  // As a shell glob gives them: line1.1, line1.2, line1.3, line1.
  const std::string Globbed = " " + Files[1] + " " + Files[2] + " " + Files[3] + " " + Files[0];
  const auto Run = test::RunProgram(Ctl("stats --json" + Globbed));
  ASSERT_EQ(Run.Code, 0) << Run.Output;
  const auto Json = nlohmann::json::parse(Run.Output);
  EXPECT_EQ(Json["files"], nlohmann::json({Files[3], Files[2], Files[1], Files[0]}));
  EXPECT_TRUE(Json["warnings"].empty()) << Run.Output;
  const auto &Line = Json["lines"][0];
  const std::size_t Kept = Json["exchanges"].get<std::size_t>();
  EXPECT_GT(Kept, 10u);
  EXPECT_LT(Kept, 60u); // the oldest rotated away
  EXPECT_EQ(Line["device"], "/dev/ttyS0");
  EXPECT_EQ(Line["latency_ms"]["median"], 25.0);
  EXPECT_EQ(Line["latency_ms"]["max"], 25.0);
  // Kept polls of 5 bytes from the first one sent to the last reply's end.
  const double Seconds = (static_cast<double>(Kept) - 1) * 0.1 + 0.025;
  EXPECT_NEAR(Line["wire_use"].get<double>(),
              100.0 * static_cast<double>(5 * Kept) * 10 / 2400 / Seconds, 0.01);

  // A file in the middle left out: the exchanges it held are named as missing.
  const auto Gap = test::RunProgram(Ctl("stats " + Files[3] + " " + Files[1] + " " + Files[0]));
  EXPECT_EQ(Gap.Code, 0) << Gap.Output;
  EXPECT_NE(Gap.Output.find("are in none of the files (a rotated file left out?)"),
            std::string::npos)
      << Gap.Output;
}

} // namespace
