// de30ctl as a user runs it: its output and its documented exit codes.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using de30::test::RunProgram;
using de30::test::TRun;

TRun Ctl(const std::string &Arguments) {
  return RunProgram(std::string(DE30CTL) + " " + Arguments);
}

TEST(De30ctl, TheDemoRunsItsWholeScriptAndPasses) {
  const TRun R = Ctl("demo");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_NE(R.Output.find("every check held"), std::string::npos) << R.Output;
  EXPECT_EQ(R.Output.find("FAILED"), std::string::npos) << R.Output;
}

bool Has(const TRun &R, const std::string &Text) {
  return R.Output.find(Text) != std::string::npos;
}

int Occurrences(const std::string &Text, const std::string &Part) {
  int Count = 0;
  for (auto At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1))
    ++Count;
  return Count;
}

TEST(De30ctl, CommandsOnTheEmbeddedStationSucceed) {
  EXPECT_EQ(Ctl("ident").Code, 0);
  const TRun Poll = Ctl("poll 1:2");
  EXPECT_EQ(Poll.Code, 0);
  EXPECT_TRUE(Has(Poll, "pump 1:2: 192 idle")) << Poll.Output;
  EXPECT_TRUE(Has(Poll, "nozzle 2: 192 idle")) << Poll.Output;
  for (const char *Args :
       {"start 1:1", "stop 1:1", "unblock 1:1 --code 5", "price 1:1 1 45.5",
        "price 1:1 1=45.50", "price 1:2 1=45.5 2=47.20 3=0 4=0 5=0", "dose 1:1 --litres 20",
        "dose 1:1 --money 50 --price 45.50 --grade 2", "fill 1:1", "totals 1:2",
        "poll 1:1 --short", "poll 2:3 -n 2", "monitor --count 2 --interval 50"})
    EXPECT_EQ(Ctl(Args).Code, 0) << Args;
}

TEST(De30ctl, TraceShowsFramesAndTheirMeaning) {
  const TRun R = Ctl("--trace price 1:1 1 45.50");
  EXPECT_EQ(R.Code, 0);
  EXPECT_TRUE(Has(R, "00 0C 69 45 50")) << R.Output;
  EXPECT_TRUE(Has(R, "price 45.50, pump 1")) << R.Output;
  EXPECT_TRUE(Has(R, "status byte 0x00 (idle)")) << R.Output;
}

TEST(De30ctl, AMultiNozzlePriceGoesOutOnceWithEveryGradeAsGiven) {
  const TRun R = Ctl("--trace price 1:2 1=47.20 2=52.90 3=1.5 4=0 5=0");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_EQ(Occurrences(R.Output, "00 14 4B "), 1) << R.Output; // command 4, five prices
  EXPECT_TRUE(Has(R, "prices 47.20 52.90 1.50 0.00 0.00, pump 2")) << R.Output;
}

TEST(De30ctl, AMoneyDoseIsConvertedAtTheGivenPriceWhichIsNotSent) {
  const TRun R = Ctl("--trace dose 1:1 --money 100 --price 40");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_TRUE(Has(R, "dose 2.50 l, pump 1")) << R.Output;
  EXPECT_FALSE(Has(R, "price")) << R.Output;
}

TEST(De30ctl, BadInputGetsAMessageAndItsExitCode) {
  struct TCase {
    const char *Args;
    int Code;
    const char *Says;
  };
  const TCase Cases[] = {
      {"poll 1x", 2, "is not a pump"},
      {"bogus 1:1", 2, "unknown subcommand 'bogus'"},
      {"--trace frob", 2, "unknown subcommand 'frob'"},
      {"--bogus poll 1:1", 2, ""},
      {"price 1:1 1 4,5", 2, "is not a number"},
      {"price 1:1 1 45.505", 2, "more than two decimals"},
      {"price 1:1 1 -1", 2, "is negative"},
      {"price 1:1 1=2 1=3", 2, "given twice"},
      {"dose 1:1 --litres 1.234", 2, "more than two decimals"},
      {"dose 1:1 --money -5 --price 1", 2, "is negative"},
      {"dose 1:1 --money 5 --price 1.001", 2, "more than two decimals"},
      {"dose 1:1", 2, "either in --litres or in --money"},
      {"dose 1:1 --litres 5 --grade 2", 2, "--grade applies to --money only"},
      {"dose 1:1 --litres 5 --price 2", 2, "--price applies to --money only"},
      {"dose 1:1 --money 100 --grade 1", 2, "needs the --price"},
      {"price 1:2 2 3.25", 2, "(missing: 1, 3, 4, 5)"},
      {"price 1:2 1=4 2=3.25 -n 2", 2, "(missing: 3, 4, 5)"},
      {"unblock 1:1 --code 256", 2, "outside 0..255"},
      {"poll 1:1 --short -n 1", 2, "no -n"},
      {"--tcp 1=127.0.0.1:1 monitor --pump 1:1 --speed 5", 2, "--speed applies"},
      {"--tcp 1=127.0.0.1:1 --seed 4 poll 1:1", 2, "--seed applies"},
      {"poll 1:9", 3, "has no pump 9"},
      {"poll 5:1", 3, "line 5 is not on the embedded station"},
      {"price 1:1 7 1.00", 3, "grade 7"},
      {"price 1:1 2 3.25", 3, "receives grade 1 only"},
      {"price 1:2 1=1 2=2 3=3 4=4 5=5 6=6", 3, "grade 6 cannot be sent"},
      {"poll 1:1 -n 5", 3, "the nozzle poll reports 1..4"},
      {"price 1:1 1 1 -n 6", 3, "the price command serves 1..5"},
      {"totals 1:1 -n 3", 3, "the totals requests know 1..2"},
      {"totals 2:3", 3, "the totals requests know 1..2"},
      {"monitor --pump 1:1/5 --count 1", 3, "outside 1..4"},
      {"--serial 1=/dev/de30-no-such-device poll 1:1", 4, "no such file or directory"},
      {"--serial 1=/dev/null poll 1:1", 4, "/dev/null: not a terminal"},
      {"--tcp 1=de30-no-such-host.invalid:4001 poll 1:1", 4, "host not found"},
      {"--fault no-reply poll 1:1", 1, "Can't GetSost (the status poll failed)"},
      {"--fault no-reply,command=frob poll 1:1", 2, "unknown fault command 'frob' (poll, "},
      {"--fault stray-byte,byte=256 poll 1:1", 2, "fault byte"},
      {"--totals-layout both totals 1:2", 2, "not in {sum,per-nozzle}"},
      {"--tcp 1=127.0.0.1:1 --totals-layout sum poll 1:1", 2, "--totals-layout applies"},
      {"--totals-layout per-nozzle bench", 2, "no --serial, --tcp, --fault or --totals-layout"},
      {"--totals-layout sum stats x.pcapng", 2, "--totals-layout"},
      {"price 1:1 1 100.00", 7, "Range check error (the driver refused a value out of range)"},
      {"dose 1:1 --litres 10000", 7, "Range check error"},
  };
  for (const TCase &C : Cases) {
    const TRun R = Ctl(C.Args);
    EXPECT_EQ(R.Code, C.Code) << C.Args << "\n" << R.Output;
    EXPECT_TRUE(Has(R, C.Says)) << C.Args << "\n" << R.Output;
  }
}

TEST(De30ctl, LinesMayBeMixedAndOnlyThePumpsLineIsOpened) {
  // Line 2 is not there; a command on line 1 does not need it.
  const TRun R = Ctl("--serial 2=/dev/de30-no-such-device --tcp 1=de30-no-such-host.invalid:1 "
                     "poll 1:1");
  EXPECT_EQ(R.Code, 4) << R.Output;
  EXPECT_TRUE(Has(R, "line 1 (de30-no-such-host.invalid:1)")) << R.Output;
  EXPECT_FALSE(Has(R, "line 2")) << R.Output;
}

TEST(De30ctl, EveryRejectedReplyOfACommandIsNamedAndTheExitIsNotZero) {
  // Every reply spoiled: each exchange of the command is named.
  struct TCase {
    const char *Args;
    std::vector<const char *> Named;
  };
  const TCase Cases[] = {
      {"start 1:1", {"'start, pump 1'", "'execute, pump 1'"}},
      {"stop 1:1", {"'stop, pump 1'", "'execute, pump 1'"}},
      {"unblock 1:1", {"'re-initialise, pump 1'", "'unblock, code 0, pump 1'"}},
      {"price 1:1 1 45.50", {"'price 45.50, pump 1'", "'execute, pump 1'"}},
      {"dose 1:1 --litres 5", {"'dose 5.00 l, pump 1'"}},
      {"poll 1:2", {"'status poll, pump 2'", "'nozzle status, pump 2'"}},
      {"fill 1:1", {"'fill data, pump 1'"}},
  };
  for (const TCase &C : Cases) {
    const TRun R = Ctl(std::string("--fault wrong-echo,times=-1 ") + C.Args);
    EXPECT_EQ(R.Code, 6) << C.Args << "\n" << R.Output;
    for (const char *Name : C.Named)
      EXPECT_TRUE(Has(R, std::string("the reply to ") + Name + " was rejected"))
          << C.Args << "\n"
          << R.Output;
  }
  // Only the start command's own reply spoiled: the execute reply that follows is
  // accepted, and the line state after the operation says 1.
  const TRun Start = Ctl("--fault wrong-echo,times=1 start 1:1");
  EXPECT_EQ(Start.Code, 6) << Start.Output;
  EXPECT_TRUE(Has(Start, "'start, pump 1' was rejected")) << Start.Output;
  EXPECT_FALSE(Has(Start, "'execute, pump 1' was rejected")) << Start.Output;
  EXPECT_TRUE(Has(Start, "NOT CONFIRMED")) << Start.Output;
}

TEST(De30ctl, AValueWhoseReplyWasRejectedIsMarkedAndNeverShownAsZero) {
  const TRun Fill = Ctl("--fault wrong-echo,times=-1 fill 1:1");
  EXPECT_TRUE(Has(Fill, "fill volume not read (reply rejected), amount not read"))
      << Fill.Output;
  EXPECT_FALSE(Has(Fill, "0.00")) << Fill.Output;
  const TRun Both = Ctl("--fault wrong-echo,times=-1 totals 1:1");
  EXPECT_EQ(Both.Code, 6) << Both.Output;
  EXPECT_FALSE(Has(Both, "0.00")) << Both.Output;
  // The poll that teaches the nozzle count and the first totals request spoiled:
  // the second total is read.
  const TRun First = Ctl("--fault wrong-echo,times=2 totals 1:1");
  EXPECT_EQ(First.Code, 6) << First.Output;
  EXPECT_TRUE(Has(First, "total volume not read (reply rejected), total amount 0.00"))
      << First.Output;
}

TEST(De30ctl, APollShowsTheRawStatusByteAndWhyACallingPumpShows192) {
  const TRun Idle = Ctl("poll 1:1");
  EXPECT_TRUE(Has(Idle, "192 idle (active nozzle 0); status byte 0x00 (idle)")) << Idle.Output;
  EXPECT_FALSE(Has(Idle, "held")) << Idle.Output;
  // A fresh driver has seen no idle yet: the nozzle lifted reads as 192.
  const TRun Calling = Ctl("--fault error-status,status=9 poll 1:1 --short");
  EXPECT_EQ(Calling.Code, 0) << Calling.Output;
  EXPECT_TRUE(Has(Calling, "192 idle; status byte 0x09")) << Calling.Output;
  EXPECT_TRUE(Has(Calling, "held at 192: the pump has not reported idle since the driver "
                           "started"))
      << Calling.Output;
}

TEST(De30ctl, AFaultAimedAtOneStepOfACommandSpoilsThatStepAlone) {
  struct TCase {
    const char *Args;
    int Code;
    const char *Says;
  };
  const TCase Cases[] = {
      {"--fault no-reply,command=start-execute start 1:1", 1,
       "(the execute command failed): line 1: no reply"},
      {"--fault no-reply,command=start start 1:1", 1, "(authorising the pump failed)"},
      {"--fault no-reply,command=stop-execute start 1:1", 0, "pump 1:1: authorised"},
      {"--fault no-reply,command=stop-execute stop 1:1", 1, "(the execute command failed)"},
      {"--fault no-reply,command=totals,times=-1 poll 1:1", 0, "192 idle"},
      {"--fault no-reply,command=totals totals 1:1", 1, "(reading the totals failed)"},
      {"--fault wrong-echo,command=nozzles poll 1:2", 6,
       "'nozzle status, pump 2' was rejected"},
      {"--fault stray-byte poll 1:1 --short", 6, "'status poll, pump 1' was rejected"},
      // Noise that equals the lead byte passes the check: the lead byte is then
      // read as the status byte.
      {"--fault stray-byte,byte=9 poll 1:1 --short", 0, "status byte 0x09"},
  };
  for (const TCase &C : Cases) {
    const TRun R = Ctl(C.Args);
    EXPECT_EQ(R.Code, C.Code) << C.Args << "\n" << R.Output;
    EXPECT_TRUE(Has(R, C.Says)) << C.Args << "\n" << R.Output;
  }
}

// The columns of Pump's row ("1:2") in the last refresh of a monitor run.
std::vector<std::string> LastRow(const TRun &R, const std::string &Pump) {
  const auto Refresh = R.Output.rfind("-- refresh");
  if (Refresh == std::string::npos)
    return {};
  const std::string Last = R.Output.substr(Refresh);
  const auto Row = Last.find(" " + Pump + " ");
  if (Row == std::string::npos)
    return {};
  std::istringstream Line(Last.substr(Row, Last.find('\n', Row) - Row));
  std::vector<std::string> Columns;
  for (std::string Column; Line >> Column;)
    Columns.push_back(Column);
  return Columns;
}

TEST(De30ctl, ThePerNozzleTotalsLayoutShowsTheLastNozzlesOwnCounter) {
  // Customers take pump 1:2's nozzles in turn: nozzle 1 sells grade 1 at 1.00,
  // nozzle 2 grade 2 at 2.00. Read as the pump's sum, the amount mixes both
  // prices; read per nozzle, it is nozzle 2's alone.
  const char *Monitor = "monitor --authorize --speed 100 --count 30 --interval 50";
  const TRun Sum = Ctl(Monitor);
  const TRun PerNozzle = Ctl(std::string("--totals-layout per-nozzle ") + Monitor);
  const auto SumRow = LastRow(Sum, "1:2");
  const auto NozzleRow = LastRow(PerNozzle, "1:2");
  ASSERT_GE(SumRow.size(), 2u) << Sum.Output;
  ASSERT_GE(NozzleRow.size(), 2u) << PerNozzle.Output;
  const double SumVolume = std::stod(SumRow[SumRow.size() - 2]);
  const double SumAmount = std::stod(SumRow.back());
  const double NozzleVolume = std::stod(NozzleRow[NozzleRow.size() - 2]);
  const double NozzleAmount = std::stod(NozzleRow.back());
  EXPECT_GT(NozzleVolume, 0.0) << PerNozzle.Output;
  EXPECT_DOUBLE_EQ(NozzleAmount, 2 * NozzleVolume) << PerNozzle.Output;
  EXPECT_LT(SumAmount, 2 * SumVolume) << Sum.Output;
  EXPECT_GT(SumAmount, SumVolume) << Sum.Output;
}

TEST(De30ctl, SimulatedCustomersInTheMonitorCompleteTheirFills) {
  const TRun R = Ctl("monitor --authorize --speed 100 --count 30 --interval 50");
  EXPECT_EQ(R.Code, 0) << R.Output;
  const std::string Last = R.Output.substr(R.Output.rfind("-- refresh"));
  // Pump 1:1's row: its totals have grown by at least one whole fill of 10 litres.
  const auto Row = Last.find(" 1:1 ");
  ASSERT_NE(Row, std::string::npos) << Last;
  std::istringstream Line(Last.substr(Row, Last.find('\n', Row) - Row));
  std::vector<std::string> Columns;
  for (std::string Column; Line >> Column;)
    Columns.push_back(Column);
  ASSERT_GE(Columns.size(), 2u) << Last;
  const double TotalVolume = std::stod(Columns[Columns.size() - 2]);
  EXPECT_GE(TotalVolume, 10.0) << Last;
}

// The reason of a failure comes from the exception's line and channel number, and
// a range error's from its detail.
TEST(De30ctl, FailuresShowTheChannelsReasonAndTheRangeThatWasBroken) {
  const TRun Silent = Ctl("--fault no-reply poll 1:1");
  EXPECT_TRUE(Has(Silent, "Can't GetSost (the status poll failed): line 1: no reply (timeout), "
                          "channel error 4"))
      << Silent.Output;
  const TRun Short = Ctl("--fault drop-byte fill 1:1");
  EXPECT_EQ(Short.Code, 1) << Short.Output;
  EXPECT_TRUE(Has(Short, "(reading the fill failed): line 1: short reply (timeout), channel "
                         "error 5"))
      << Short.Output;
  const TRun Range = Ctl("price 1:1 1 100.00");
  EXPECT_TRUE(Has(Range, "out of range): ")) << Range.Output;
}

TEST(De30ctl, BenchCountsTheBytesOfEachPollKindAgainstTheWire) {
  // Frame and reply bytes a poll: 2 + 3 for GetSost, 2 + 3 + 2 + 5 for GetSostEx on
  // four nozzles; at 240 bytes a second that allows 48 and 20 polls a second.
  const TRun Short = Ctl("bench --duration 0.3 --pumps 2");
  EXPECT_EQ(Short.Code, 0) << Short.Output;
  EXPECT_NE(Short.Output.find("(0 failed)"), std::string::npos) << Short.Output;
  EXPECT_NE(Short.Output.find("5.0 a poll"), std::string::npos) << Short.Output;
  EXPECT_NE(Short.Output.find("wire limit:    48.00 polls/s"), std::string::npos)
      << Short.Output;
  const TRun Multi = Ctl("bench --duration 0.3 --poll multi");
  EXPECT_EQ(Multi.Code, 0) << Multi.Output;
  EXPECT_NE(Multi.Output.find("wire limit:    20.00 polls/s"), std::string::npos)
      << Multi.Output;
  EXPECT_EQ(Ctl("bench --pumps 32").Code, 2);
  EXPECT_EQ(Ctl("--tcp 1=127.0.0.1:1 bench").Code, 2);
}

// `de30ctl simulate` in the background, and where it serves line Line.
struct TServed {
  std::FILE *Pipe = nullptr;
  std::string Where;
};

TServed Serve(const std::string &How, int Line) {
  TServed Served;
  Served.Pipe =
      ::popen((std::string(DE30CTL) + " simulate " + How + " --duration 3").c_str(), "r");
  if (Served.Pipe == nullptr)
    return Served;
  const std::string Marker = "line " + std::to_string(Line) + " served on ";
  char Text[256];
  while (Served.Where.empty() && std::fgets(Text, sizeof Text, Served.Pipe) != nullptr) {
    const std::string Got = Text;
    const auto At = Got.find(Marker);
    if (At != std::string::npos)
      Served.Where = Got.substr(At + Marker.size(), Got.find('\n') - At - Marker.size());
  }
  return Served;
}

int Finish(TServed &Served) {
  char Text[256];
  while (std::fgets(Text, sizeof Text, Served.Pipe) != nullptr) {
  }
  return ::pclose(Served.Pipe);
}

TEST(De30ctl, ServesTheStationThatAnotherDe30ctlOperatesOverTcp) {
  TServed Served = Serve("--port 0", 1);
  ASSERT_FALSE(Served.Where.empty());
  const TRun R = Ctl("--tcp 1=" + Served.Where + " poll 1:2 -n 2");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_TRUE(Has(R, "nozzle 2:")) << R.Output;
  EXPECT_EQ(Finish(Served), 0);
}

TEST(De30ctl, OneRunWorksALineOnASerialDeviceAndAnotherOnTcp) {
  TServed OnPty = Serve("--pty", 1);
  TServed OnTcp = Serve("--port 0", 2);
  ASSERT_FALSE(OnPty.Where.empty());
  ASSERT_FALSE(OnTcp.Where.empty());
  const TRun R = Ctl("--serial 1=" + OnPty.Where + " --tcp 2=" + OnTcp.Where +
                     " monitor --pump 1:2/2 --pump 2:3/4 --count 1");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_TRUE(Has(R, " 1:2   192 idle")) << R.Output;
  EXPECT_TRUE(Has(R, " 2:3   192 idle")) << R.Output;
  EXPECT_EQ(Finish(OnPty), 0);
  EXPECT_EQ(Finish(OnTcp), 0);
}

} // namespace
