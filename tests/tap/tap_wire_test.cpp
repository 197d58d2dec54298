// de30ctl tap end to end on a shared pair: the simulated station served on a
// pseudo-terminal (`de30ctl simulate --pty`, with faults), de30ctl driving it
// through de30_shared_wire, which carries both directions over one 2400-baud wire
// and lets a third pseudo-terminal hear it, and `de30ctl tap` listening there.
// Every exchange the driver made (its own capture and --trace) must come out of
// the tap the same: frame, reply, outcome, and the same decoded lines; the faults
// marked; nothing written by the tap, which holds the line read-only.

#include "capture/reader.hpp"
#include "station/temp_dir.hpp"
#include "support/open_mode.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace de30;
using namespace de30::capture;
using test::TBackground;

std::string Ctl(const std::string &Arguments) { return std::string(DE30CTL) + " " + Arguments; }

// The lines --trace prints for frames and replies ("  L1 > ...", "  L1 < ...").
std::vector<std::string> TraceLines(const std::string &Output) {
  std::vector<std::string> Lines;
  std::istringstream In(Output);
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind("  L1 > ", 0) == 0 || Line.rfind("  L1 < ", 0) == 0)
      Lines.push_back(Line);
  return Lines;
}

// "00 09 | 09 00 FF | accepted 0"
std::string Shown(const TCapturedExchange &E) {
  std::string Text;
  char Byte[4];
  for (const auto *Part : {&E.Frame, &E.Reply}) {
    for (std::uint8_t B : *Part) {
      std::snprintf(Byte, sizeof Byte, "%02X ", B);
      Text += Byte;
    }
    Text += "| ";
  }
  return Text + OutcomeName(E.Outcome) + " " + std::to_string(E.Result);
}

struct TCommand {
  const char *Arguments;
  int Exit;
};

// What the driver does, with the station's faults in the comments.
const TCommand Commands[] = {
    {"poll 1:1", 1},      // no reply
    {"poll 1:2 -n 2", 6}, // a noise byte ahead of the reply
    {"fill 1:1", 1},      // a byte of the reply lost
    {"totals 1:1", 6},    // the first request's echo spoilt
    {"start 1:1", 0},
    {"price 1:2 1=1.10 2=2.20 3=3.30 4=0 5=0 -n 2", 0},
    {"dose 1:1 --litres 5", 0},
    {"unblock 1:2 --code 7", 0},
    {"poll 1:1 --short", 0},
    {"stop 1:1", 0},
    {"totals 1:2 -n 2", 0},
};
const char *Faults = "--fault no-reply,pump=1,command=poll,times=1 "
                     "--fault stray-byte,pump=2,command=poll,times=1 "
                     "--fault drop-byte,command=fill,times=1 "
                     "--fault wrong-echo,command=totals,times=1";

TEST(TapOnASharedPair, HearsEveryExchangeTheDriverMadeAndMarksTheFaults) {
  test::TTempDir Dir;
  TBackground Station(
      Ctl(std::string(Faults) + " simulate --pty --no-customers --duration 60"));
  const std::string StationPath = Station.After("line 1 served on ");
  ASSERT_FALSE(StationPath.empty()) << Station.Output;
  TBackground Wire(std::string(SHARED_WIRE) + " --station " + StationPath);
  const std::string Controller = Wire.After("controller on ");
  const std::string TapPath = Wire.After("tap on ");
  ASSERT_FALSE(TapPath.empty()) << Wire.Output;
  const std::string TapCapture = Dir / "tap.pcapng";
  const std::string Raw = Dir / "tap.raw";
  // The driver gives up on a reply after 200 ms, so a pause of 60 ms inside one is
  // not the driver's: a gap that long keeps a machine too busy to run the wire's
  // programs on time from splitting replies (docs/capture.md, --gap).
  TBackground Tap(Ctl("tap --serial " + TapPath + " --gap 60 --capture " + TapCapture +
                      " --record " + Raw));
  ASSERT_FALSE(Tap.After("tap: listening to ").empty()) << Tap.Output;
  // The tap holds the line read-only.
  EXPECT_EQ(test::AccessMode(Tap.Id(), TapPath), O_RDONLY);

  std::vector<TCapturedExchange> Made;
  std::vector<std::string> Traced;
  for (std::size_t I = 0; I < std::size(Commands); ++I) {
    const TCommand &C = Commands[I];
    SCOPED_TRACE(C.Arguments);
    const std::string Capture = Dir / ("driven" + std::to_string(I) + ".pcapng");
    const test::TRun Run = test::RunProgram(Ctl("--serial 1=" + Controller +
                                                " --timeout 200 "
                                                "--trace --capture " +
                                                Capture + " " + C.Arguments));
    EXPECT_EQ(Run.Code, C.Exit) << Run.Output;
    for (TCapturedExchange &E : ReadCapture(Capture).Exchanges)
      Made.push_back(std::move(E));
    for (std::string &Line : TraceLines(Run.Output))
      Traced.push_back(std::move(Line));
  }
  EXPECT_EQ(Tap.Stop(SIGINT), 0) << Tap.Output;
  Wire.Stop(SIGTERM);
  Station.Stop(SIGTERM);
  EXPECT_NE(Wire.Output.find(", 0 written by the tap"), std::string::npos) << Wire.Output;

  // Exchange by exchange, the tap's capture against the driver's own.
  const TCaptureContents Heard = ReadCapture(TapCapture);
  EXPECT_EQ(Heard.Listened, (std::set<std::int32_t>{1}));
  std::size_t Decoded = 0;
  for (std::size_t I = 0; I < Made.size() && I < Heard.Exchanges.size(); ++I) {
    const TCapturedExchange &D = Made[I];
    const TCapturedExchange &T = Heard.Exchanges[I];
    const bool Same = T.Frame == D.Frame && T.Reply == D.Reply && T.Outcome == D.Outcome &&
                      T.Result == D.Result && T.ReplyLength == D.ReplyLength;
    EXPECT_TRUE(Same) << "exchange " << I + 1 << " of " << Made.size()
                      << "\n  driven: " << Shown(D) << "\n  heard:  " << Shown(T);
    Decoded += Same ? 1 : 0;
  }
  std::printf("tap: %zu of %zu exchanges the driver made decoded exactly\n", Decoded,
              Made.size());
  RecordProperty("decoded", std::to_string(Decoded) + "/" + std::to_string(Made.size()));
  EXPECT_EQ(Heard.Exchanges.size(), Made.size());
  EXPECT_EQ(Decoded, Made.size());
  EXPECT_GE(Made.size(), 20u);
  // The same trace, line for line: pumps, commands, values, status bytes.
  EXPECT_EQ(TraceLines(Tap.Output), Traced);

  // The faults, marked: no reply, a short one, two rejected, and the byte the noise
  // pushed out of the reply, heard in no exchange.
  std::map<std::pair<TOutcome, int>, int> Outcomes;
  for (const TCapturedExchange &E : Heard.Exchanges)
    ++Outcomes[{E.Outcome, E.Result}];
  EXPECT_EQ((Outcomes[{TOutcome::Timeout, 4}]), 1);
  EXPECT_EQ((Outcomes[{TOutcome::Timeout, 5}]), 1);
  EXPECT_EQ((Outcomes[{TOutcome::Rejected, 0}]), 2);
  ASSERT_EQ(Heard.Loose.size(), 1u);
  EXPECT_EQ(Heard.Loose[0].Kind, THeardKind::Garbage);
  EXPECT_NE(Tap.Output.find("1 without a reply, 1 with a short one"), std::string::npos)
      << Tap.Output;
  EXPECT_NE(Tap.Output.find("line errors: not available"), std::string::npos) << Tap.Output;
  EXPECT_NE(Tap.Output.find("host code 192 idle, pump 1"), std::string::npos) << Tap.Output;

  // The raw recording splits the same again.
  const std::string Again = Dir / "again.pcapng";
  const test::TRun FromFile =
      test::RunProgram(Ctl("tap --file " + Raw + " --gap 60 --capture " + Again));
  EXPECT_EQ(FromFile.Code, 0) << FromFile.Output;
  const TCaptureContents Resplit = ReadCapture(Again);
  ASSERT_EQ(Resplit.Exchanges.size(), Heard.Exchanges.size());
  for (std::size_t I = 0; I < Heard.Exchanges.size(); ++I) {
    EXPECT_EQ(Resplit.Exchanges[I].Frame, Heard.Exchanges[I].Frame) << I;
    EXPECT_EQ(Resplit.Exchanges[I].Reply, Heard.Exchanges[I].Reply) << I;
  }
  EXPECT_EQ(TraceLines(FromFile.Output), Traced);

  // A driving de30ctl's capture carries its serial line's error counts too: a
  // pseudo-terminal keeps none.
  const test::TRun DrivenStats =
      test::RunProgram(Ctl("stats " + (Dir / "driven0.pcapng").string()));
  EXPECT_EQ(DrivenStats.Code, 0) << DrivenStats.Output;
  EXPECT_NE(DrivenStats.Output.find("line 1 errors: not available"), std::string::npos)
      << DrivenStats.Output;
  EXPECT_EQ(DrivenStats.Output.find("listened by a tap"), std::string::npos)
      << DrivenStats.Output;

  // The capture works with stats and replay as a driven one does.
  const test::TRun Stats = test::RunProgram(Ctl("stats " + TapCapture));
  EXPECT_EQ(Stats.Code, 0) << Stats.Output;
  EXPECT_NE(Stats.Output.find("line 1: listened by a tap, not driven"), std::string::npos)
      << Stats.Output;
  EXPECT_NE(Stats.Output.find("line 1 errors: not available"), std::string::npos)
      << Stats.Output;
  TBackground Replay(Ctl("replay --port 0 --duration 30 " + TapCapture));
  const std::string Served = Replay.After("line 1 served on ");
  ASSERT_FALSE(Served.empty()) << Replay.Output;
  // The first poll of pump 1 went unanswered when heard; the next was answered.
  EXPECT_EQ(test::RunProgram(Ctl("--tcp 1=" + Served + " --timeout 200 poll 1:1 --short")).Code,
            1);
  const test::TRun Second =
      test::RunProgram(Ctl("--tcp 1=" + Served + " --timeout 200 poll 1:1 --short"));
  EXPECT_EQ(Second.Code, 0) << Second.Output;
  Replay.Stop(SIGTERM);
}

TEST(TapOnASharedPair, RefusesWhatWouldMeanAnythingButListening) {
  struct TCase {
    const char *Args;
    int Code;
    const char *Says;
  };
  const TCase Cases[] = {
      {"tap", 2, "give --serial DEVICE, --tcp HOST:PORT or --file RECORDING"},
      {"tap --serial /dev/null --file x.raw", 2, "tap listens to one line"},
      {"--serial 1=/dev/null tap --serial /dev/null", 2, "tap listens only"},
      {"--fault no-reply tap --serial /dev/null", 2, "no --fault"},
      {"tap --file x.raw --record y.raw", 2, "--record keeps what a live line carries"},
      {"tap --serial /dev/de30-no-such-device", 4, "no such file or directory"},
      {"tap --serial /dev/null", 4, "/dev/null: not a terminal"},
      {"tap --serial /dev/null --baud 1234", 4, "1234 baud is not a speed the port takes"},
      {"tap --tcp 127.0.0.1:1", 4, "connection refused"},
      {"tap --file /de30-no-such-recording.raw", 4, "cannot open"},
  };
  for (const TCase &C : Cases) {
    const test::TRun R = test::RunProgram(Ctl(C.Args));
    EXPECT_EQ(R.Code, C.Code) << C.Args << "\n" << R.Output;
    EXPECT_NE(R.Output.find(C.Says), std::string::npos) << C.Args << "\n" << R.Output;
  }
}

} // namespace
