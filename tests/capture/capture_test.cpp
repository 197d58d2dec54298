// Line captures: what is written reads back exactly, a file cut anywhere gives
// every whole exchange before the cut (to our reader and to tshark), rotation keeps
// the files it should, and a capture that cannot write never stops the line.

#include "capture/reader.hpp"
#include "capture/writer.hpp"
#include "station/temp_dir.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace de30;
using namespace de30::capture;
using std::chrono::microseconds;

const TClock::time_point Start = TClock::time_point(std::chrono::seconds(1796780000));

channels::TTraceRecord Record(std::int32_t Line, std::vector<std::uint8_t> Frame,
                              std::vector<std::uint8_t> Reply, std::uint8_t ReplyLength,
                              std::int32_t Result, std::uint8_t State, int AtMs) {
  channels::TTraceRecord R;
  R.Line = Line;
  R.Frame = std::move(Frame);
  R.Reply = std::move(Reply);
  R.ReplyLength = ReplyLength;
  R.Result = Result;
  R.State = State;
  R.SentAt = Start + std::chrono::milliseconds(AtMs);
  R.DoneAt = R.SentAt + microseconds(12345);
  return R;
}

// One exchange of every outcome, on two lines.
std::vector<channels::TTraceRecord> EveryOutcome() {
  return {
      Record(1, {0x00, 0x11}, {0x11, 0x00, 0xFF}, 3, 0, 1, 0),      // accepted
      Record(1, {0x00, 0x11}, {0x12, 0x00, 0xFF}, 3, 0, 3, 100),    // rejected
      Record(2, {0x00, 0x19}, {}, 3, channels::ErrTimeout, 2, 200), // timeout
      Record(2, {0x00, 0x1A, 0xB4}, {0x1A, 0xB4}, 16, channels::ErrShortReply, 2, 300),
      Record(1, {0x00, 0x21}, {}, 3, channels::ErrOpenFailed, 2, 400), // channel error
  };
}

std::string Slurp(const std::filesystem::path &Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

TEST(Capture, EveryExchangeReadsBackAsItWasWritten) {
  test::TTempDir Dir;
  const std::string Path = Dir / "lines.pcapng";
  const auto Records = EveryOutcome();
  {
    TCaptureWriter W({Path, 0, 1, "de30 test"});
    W.DescribeLine(1, "/dev/ttyUSB0");
    W.DescribeLine(2, "tcp 10.0.0.5:4001");
    for (const auto &R : Records)
      W.Write(R);
    EXPECT_EQ(W.Exchanges(), Records.size());
    EXPECT_EQ(W.Failure(), "");
  }
  const TCaptureContents C = ReadCapture(Path);
  EXPECT_EQ(C.Application, "de30 test");
  EXPECT_FALSE(C.Truncated);
  EXPECT_EQ(C.Skipped, 0u);
  EXPECT_EQ(C.Devices, (std::map<std::int32_t, std::string>{{1, "/dev/ttyUSB0"},
                                                            {2, "tcp 10.0.0.5:4001"}}));
  ASSERT_EQ(C.Exchanges.size(), Records.size());
  const TOutcome Outcomes[] = {TOutcome::Accepted, TOutcome::Rejected, TOutcome::Timeout,
                               TOutcome::Timeout, TOutcome::ChannelError};
  const std::uint32_t Numbers[] = {1, 2, 1, 2, 3}; // counted per line
  for (std::size_t I = 0; I < Records.size(); ++I) {
    SCOPED_TRACE(I);
    const TCapturedExchange &E = C.Exchanges[I];
    EXPECT_EQ(E.Line, Records[I].Line);
    EXPECT_EQ(E.Frame, Records[I].Frame);
    EXPECT_EQ(E.Reply, Records[I].Reply);
    EXPECT_EQ(E.ReplyLength, Records[I].ReplyLength);
    EXPECT_EQ(E.Result, Records[I].Result);
    EXPECT_EQ(E.Outcome, Outcomes[I]);
    EXPECT_EQ(E.Number, Numbers[I]);
    EXPECT_EQ(E.SentAt, Records[I].SentAt);
    EXPECT_EQ(E.DoneAt, Records[I].DoneAt);
    EXPECT_FALSE(E.ReplyMissing);
  }
}

TEST(Capture, AFileCutAnywhereGivesEveryWholeExchangeBeforeTheCut) {
  test::TTempDir Dir;
  const std::string Path = Dir / "whole.pcapng";
  {
    TCaptureWriter W({Path});
    for (const auto &R : EveryOutcome())
      W.Write(R);
  }
  const std::string Whole = Slurp(Path);
  // Where each exchange ends in the file: read every prefix and watch the count grow.
  std::size_t Previous = 0;
  for (std::size_t Cut = 28; Cut <= Whole.size(); ++Cut) {
    const TCaptureContents C = ReadCaptureBytes(Whole.substr(0, Cut));
    EXPECT_TRUE(C.Damage.empty()) << Cut;
    std::size_t Complete = 0;
    for (const auto &E : C.Exchanges)
      Complete += E.ReplyMissing ? 0 : 1;
    EXPECT_GE(Complete, Previous) << Cut;
    Previous = Complete;
    if (Cut == Whole.size()) {
      EXPECT_FALSE(C.Truncated);
    }
  }
  EXPECT_EQ(Previous, 5u);

  // tshark, cut inside the last exchange's reply: the four before it are there.
  const std::string Cut = Dir / "cut.pcapng";
  std::ofstream(Cut, std::ios::binary) << Whole.substr(0, Whole.size() - 10);
  const auto Run = test::RunProgram("tshark -r " + Cut + " -T fields -e frame.number");
  EXPECT_NE(Run.Output.find("\n9\n"), std::string::npos) << Run.Output;
  EXPECT_EQ(Run.Output.find("\n10\n"), std::string::npos) << Run.Output;
  EXPECT_NE(Run.Output.find("cut short"), std::string::npos) << Run.Output;
}

TEST(Capture, RotationKeepsTheNewestFilesEachOpeningOnItsOwn) {
  test::TTempDir Dir;
  const std::string Path = Dir / "line1.pcapng";
  {
    TCaptureWriter W({Path, 600, 3});
    W.DescribeLine(1, "/dev/ttyS0");
    for (int I = 0; I < 40; ++I)
      W.Write(Record(1, {0x00, 0x11}, {0x11, 0x00, 0xFF}, 3, 0, 1, I));
    EXPECT_EQ(W.Failure(), "");
    EXPECT_LE(W.Bytes(), 600u);
  }
  EXPECT_EQ(RotatedName(Path, 2), (Dir / "line1.2.pcapng").string());
  EXPECT_EQ(RotatedName("/var/cap/.hidden", 1), "/var/cap/.hidden.1");
  EXPECT_EQ(RotatedName("dir.d/capture", 1), "dir.d/capture.1");
  EXPECT_FALSE(std::filesystem::exists(RotatedName(Path, 3)));
  // Oldest first: the numbers run on across the files, with no gap.
  std::uint32_t Next = 0;
  for (unsigned Index = 3; Index-- > 0;) {
    const std::string File = RotatedName(Path, Index);
    ASSERT_TRUE(std::filesystem::exists(File)) << File;
    EXPECT_LE(std::filesystem::file_size(File), 600u);
    const TCaptureContents C = ReadCapture(File);
    EXPECT_EQ(C.Devices.at(1), "/dev/ttyS0");
    ASSERT_FALSE(C.Exchanges.empty());
    for (const auto &E : C.Exchanges) {
      if (Next != 0) {
        EXPECT_EQ(E.Number, Next + 1);
      }
      Next = E.Number;
    }
  }
  EXPECT_EQ(Next, 40u);
}

TEST(Capture, SyncingFromAnotherThreadWhileWritingAndRotatingKeepsEveryFileWhole) {
  test::TTempDir Dir;
  const std::string Path = Dir / "synced.pcapng";
  {
    TCaptureOptions Options{Path, 2000, 3};
    Options.SyncEvery = std::chrono::milliseconds(0); // the thread below does it
    TCaptureWriter W(Options);
    std::atomic<bool> Done{false};
    std::thread Syncer([&] {
      while (!Done)
        W.Sync();
    });
    for (int I = 0; I < 300; ++I)
      W.Write(Record(1, {0x00, 0x11}, {0x11, 0x00, 0xFF}, 3, 0, 1, I));
    Done = true;
    Syncer.join();
    EXPECT_EQ(W.Failure(), "");
    EXPECT_EQ(W.Exchanges(), 300u);
  }
  // Every file whole, the newest ones ending at the last exchange.
  std::uint32_t Last = 0;
  for (unsigned Index = 3; Index-- > 0;) {
    const TCaptureContents C = ReadCapture(RotatedName(Path, Index));
    EXPECT_FALSE(C.Truncated);
    EXPECT_TRUE(C.Damage.empty());
    ASSERT_FALSE(C.Exchanges.empty());
    if (Last != 0) {
      EXPECT_EQ(C.Exchanges.front().Number, Last + 1);
    }
    Last = C.Exchanges.back().Number;
  }
  EXPECT_EQ(Last, 300u);
}

TEST(Capture, AStartThatKeepsThePreviousCaptureRotatesItAway) {
  test::TTempDir Dir;
  const std::string Path = Dir / "line1.pcapng";
  const auto Run = [&](int Exchanges, bool Keep, unsigned Files) {
    TCaptureOptions Options{Path, 100000, Files};
    Options.KeepPrevious = Keep;
    TCaptureWriter W(Options);
    for (int I = 0; I < Exchanges; ++I)
      W.Write(EveryOutcome()[0]);
  };
  Run(3, true, 3); // nothing there yet
  Run(2, true, 3);
  Run(1, true, 3);
  Run(4, true, 3);
  EXPECT_EQ(ReadCapture(Path).Exchanges.size(), 4u);
  EXPECT_EQ(ReadCapture(RotatedName(Path, 1)).Exchanges.size(), 1u);
  EXPECT_EQ(ReadCapture(RotatedName(Path, 2)).Exchanges.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(RotatedName(Path, 3)));
  // Without it, or with one file kept, the file is replaced.
  Run(5, false, 3);
  EXPECT_EQ(ReadCapture(Path).Exchanges.size(), 5u);
  EXPECT_EQ(ReadCapture(RotatedName(Path, 1)).Exchanges.size(), 1u);
  Run(6, true, 1);
  EXPECT_EQ(ReadCapture(Path).Exchanges.size(), 6u);
}

TEST(Capture, ACaptureThatCannotBeWrittenSaysWhyAndStopsQuietly) {
  try {
    TCaptureWriter W({"/de30-no-such-folder/x.pcapng"});
    ADD_FAILURE() << "created a capture in a folder that does not exist";
  } catch (const ECaptureError &Error) {
    EXPECT_NE(std::string(Error.what()).find("/de30-no-such-folder/x.pcapng: No such file"),
              std::string::npos)
        << Error.what();
  }
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full here";
  // A full disk: the section header already fails, and says so.
  try {
    TCaptureWriter Full({"/dev/full"});
    ADD_FAILURE() << "wrote a capture to a full disk";
  } catch (const ECaptureError &Error) {
    EXPECT_NE(std::string(Error.what()).find("No space"), std::string::npos) << Error.what();
  }
}

TEST(Capture, ReadingRefusesWhatIsNoCaptureAndPassesOverForeignPackets) {
  EXPECT_THROW(ReadCaptureBytes("not a capture at all"), ECaptureError);
  EXPECT_THROW(ReadCapture("/de30-no-such-file.pcapng"), ECaptureError);

  test::TTempDir Dir;
  const std::string Path = Dir / "one.pcapng";
  {
    TCaptureWriter W({Path});
    W.Write(EveryOutcome()[0]);
  }
  std::string Bytes = Slurp(Path);
  // A second section, as mergecap would append it, with one more exchange; and a
  // damaged length at the very end, which stops reading but keeps what came before.
  Bytes += Bytes;
  Bytes += std::string("\x06\x00\x00\x00\x0d\x00\x00\x00\x00\x00\x00\x00", 12);
  const TCaptureContents C = ReadCaptureBytes(Bytes);
  EXPECT_EQ(C.Exchanges.size(), 2u);
  EXPECT_FALSE(C.Damage.empty());
}

} // namespace

namespace {

// de30ctl --capture: what the driver met is in the file, with its outcome.
TEST(Capture, De30ctlCapturesEveryExchangeWithItsOutcome) {
  test::TTempDir Dir;
  struct {
    const char *Arguments;
    int Exit;
    TOutcome Outcome;
  } Cases[] = {
      {"poll 1:1", 0, TOutcome::Accepted},
      {"--fault no-reply,times=1 poll 1:1", 1, TOutcome::Timeout},
      {"--fault wrong-echo,times=1 poll 1:1", 6, TOutcome::Rejected},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Arguments);
    const std::string File = Dir / "ctl.pcapng";
    const auto Run =
        test::RunProgram(std::string(DE30CTL) + " --capture " + File + " " + C.Arguments);
    EXPECT_EQ(Run.Code, C.Exit) << Run.Output;
    const TCaptureContents Read = ReadCapture(File);
    ASSERT_FALSE(Read.Exchanges.empty());
    EXPECT_EQ(Read.Exchanges.front().Outcome, C.Outcome);
    EXPECT_EQ(Read.Exchanges.front().Frame, (std::vector<std::uint8_t>{0x00, 0x09}));
    EXPECT_EQ(Read.Devices.at(1), "embedded station");
    const std::size_t N = Read.Exchanges.size();
    EXPECT_NE(Run.Output.find(std::to_string(N) + (N == 1 ? " exchange" : " exchanges") +
                              " captured in"),
              std::string::npos)
        << Run.Output;
  }
  const auto Refused = test::RunProgram(std::string(DE30CTL) +
                                        " --capture /de30-no-such-folder/x.pcapng poll 1:1");
  EXPECT_EQ(Refused.Code, 4) << Refused.Output;
  EXPECT_NE(Refused.Output.find("cannot create the capture"), std::string::npos);
}

} // namespace
