// de30ctl as a user runs it: its output and its documented exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct TRun {
  int Code = -1;
  std::string Output; // stdout and stderr together
};

TRun Ctl(const std::string &Arguments) {
  TRun Result;
  const std::string Command = std::string(DE30CTL) + " " + Arguments + " 2>&1";
  std::FILE *Pipe = ::popen(Command.c_str(), "r");
  if (Pipe == nullptr)
    return Result;
  char Buffer[512];
  while (std::fgets(Buffer, sizeof Buffer, Pipe) != nullptr)
    Result.Output += Buffer;
  const int Status = ::pclose(Pipe);
  Result.Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  return Result;
}

TEST(De30ctl, TheDemoRunsItsWholeScriptAndPasses) {
  const TRun R = Ctl("demo");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_NE(R.Output.find("every check held"), std::string::npos) << R.Output;
  EXPECT_EQ(R.Output.find("FAILED"), std::string::npos) << R.Output;
}

TEST(De30ctl, CommandsOnTheEmbeddedStationSucceed) {
  EXPECT_EQ(Ctl("ident").Code, 0);
  const TRun Poll = Ctl("poll 1:2");
  EXPECT_EQ(Poll.Code, 0);
  EXPECT_NE(Poll.Output.find("pump 1:2: 192 idle"), std::string::npos) << Poll.Output;
  EXPECT_NE(Poll.Output.find("nozzle 2: 192 idle"), std::string::npos) << Poll.Output;
  for (const char *Args : {"start 1:1", "stop 1:1", "unblock 1:1 --code 5", "price 1:2 2 45.5",
                           "dose 1:1 --litres 20", "dose 1:1 --money 50 --grade 1", "fill 1:1",
                           "totals 1:2", "monitor --count 2 --interval 50"})
    EXPECT_EQ(Ctl(Args).Code, 0) << Args;
}

TEST(De30ctl, TraceShowsFramesAndTheirMeaning) {
  const TRun R = Ctl("--trace price 1:1 1 45.50");
  EXPECT_EQ(R.Code, 0);
  EXPECT_NE(R.Output.find("00 0C 69 45 50"), std::string::npos) << R.Output;
  EXPECT_NE(R.Output.find("price 45.50, pump 1"), std::string::npos) << R.Output;
  EXPECT_NE(R.Output.find("status byte 0x00 (idle)"), std::string::npos) << R.Output;
}

TEST(De30ctl, BadInputGetsAMessageAndItsExitCode) {
  struct TCase {
    const char *Args;
    int Code;
    const char *Says;
  };
  const TCase Cases[] = {
      {"poll 1x", 2, "is not a pump"},
      {"price 1:1 1 4,5", 2, "is not a number"},
      {"price 1:1 1 100.00", 2, "does not fit the wire"},
      {"dose 1:1 --litres 10000", 2, "does not fit the wire"},
      {"dose 1:1", 2, "either in --litres or in --money"},
      {"unblock 1:1 --code 256", 2, "outside 0..255"},
      {"--bogus poll 1:1", 2, ""},
      {"poll 1:9", 3, "has no pump 9"},
      {"poll 5:1", 3, "line 5 is not on the embedded station"},
      {"price 1:1 7 1.00", 3, "grade 7"},
      {"totals 2:3", 3, "1 or 2 only"},
      {"--serial 1=/dev/de30-no-such-device poll 1:1", 4, "cannot open the line"},
      {"--fault no-reply poll 1:1", 1, "Can't GetSost"},
      {"--fault drop-byte fill 1:1", 1, "short reply"},
  };
  for (const TCase &C : Cases) {
    const TRun R = Ctl(C.Args);
    EXPECT_EQ(R.Code, C.Code) << C.Args << "\n" << R.Output;
    EXPECT_NE(R.Output.find(C.Says), std::string::npos) << C.Args << "\n" << R.Output;
  }
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

TEST(De30ctl, ServesTheStationThatAnotherDe30ctlOperatesOverTcp) {
  std::FILE *Server =
      ::popen((std::string(DE30CTL) + " simulate --port 0 --duration 3").c_str(), "r");
  ASSERT_NE(Server, nullptr);
  std::string Address;
  char Line[256];
  while (Address.empty() && std::fgets(Line, sizeof Line, Server) != nullptr) {
    const std::string Text = Line;
    const auto At = Text.find("line 1 served on ");
    if (At != std::string::npos)
      Address = Text.substr(At + 17, Text.find('\n') - At - 17);
  }
  ASSERT_FALSE(Address.empty());
  const TRun R = Ctl("--tcp 1=" + Address + " poll 1:2 -n 2");
  EXPECT_EQ(R.Code, 0) << R.Output;
  EXPECT_NE(R.Output.find("nozzle 2:"), std::string::npos) << R.Output;
  while (std::fgets(Line, sizeof Line, Server) != nullptr) {
  }
  EXPECT_EQ(::pclose(Server), 0);
}

} // namespace
