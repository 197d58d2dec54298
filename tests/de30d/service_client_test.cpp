// de30ctl --service against de30d's server in-process: the commands act on the
// service's state, and refusals end with de30ctl's exit codes.
#include "service_fixture.hpp"
#include "support/run_program.hpp"

#include <cstdio>
#include <sys/wait.h>

namespace {

using namespace de30::test;

class ServiceClient : public TServiceTest {
protected:
  // de30ctl aimed at the service, with its token unless told otherwise.
  TRun Ctl(const std::string &Arguments, const std::string &Token = "s3cret") {
    return RunProgram(std::string(DE30CTL) + " --service " + Base() + " --token '" + Token +
                      "' " + Arguments);
  }
};

TEST_F(ServiceClient, ShowsThePumpsAsTheServiceSeesThem) {
  WaitForPump("2:3", "idle");
  const TRun All = Ctl("status");
  EXPECT_EQ(All.Code, 0) << All.Output;
  for (const char *Id : {"pump 1:1: ", "pump 1:2: ", "pump 2:3: idle"})
    EXPECT_NE(All.Output.find(Id), std::string::npos) << Id << "\n" << All.Output;
  const TRun One = Ctl("poll 2:3");
  EXPECT_EQ(One.Code, 0) << One.Output;
  EXPECT_NE(One.Output.find("pump 2:3: idle"), std::string::npos) << One.Output;
}

TEST_F(ServiceClient, ASaleStartedLockedAndClearedThroughTheService) {
  WaitForPump("1:1", "idle");
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  const TRun Start = Ctl("start 1:1 --litres 1.5");
  ASSERT_EQ(Start.Code, 0) << Start.Output;
  EXPECT_NE(Start.Output.find("pump 1:1: authorised"), std::string::npos) << Start.Output;
  WaitForPump("1:1", "completed");
  Sim().HangNozzle(1, 1);
  const TJson Sale = WaitForSale("1:1", "payable");
  ASSERT_TRUE(Sale.is_object());
  const std::string Id = Sale["id"].dump();

  const TRun Payable = Ctl("sales --state payable");
  EXPECT_EQ(Payable.Code, 0);
  EXPECT_NE(Payable.Output.find("sale " + Id + ": pump 1:1 payable, 1.50 l, 70.80 at 47.20"),
            std::string::npos)
      << Payable.Output;
  EXPECT_EQ(Ctl("lock " + Id + " --client pos-1").Code, 0);
  const TRun Other = Ctl("clear " + Id + " --client pos-2");
  EXPECT_EQ(Other.Code, 1) << Other.Output;
  EXPECT_NE(Other.Output.find("locked_by_other"), std::string::npos) << Other.Output;
  const TRun Cleared = Ctl("clear " + Id + " --client pos-1");
  EXPECT_EQ(Cleared.Code, 0) << Cleared.Output;
  EXPECT_NE(Cleared.Output.find("cleared"), std::string::npos) << Cleared.Output;
  EXPECT_EQ(Station->Journal().Sale(Sale["id"].get<std::int64_t>())->State,
            de30::station::TSaleState::Cleared);
}

TEST_F(ServiceClient, PricesStopAndUnblockActOnTheService) {
  WaitForPump("1:2", "idle");
  const TRun Price = Ctl("price 1:2 2 50.10");
  EXPECT_EQ(Price.Code, 0) << Price.Output;
  EXPECT_NE(Price.Output.find("grade 2: 50.10"), std::string::npos) << Price.Output;
  EXPECT_EQ(Station->Prices().at(2), 50.1);
  EXPECT_EQ(Ctl("stop 1:2").Code, 0);
  EXPECT_EQ(Ctl("unblock 1:2 --code 7").Code, 0);
  EXPECT_EQ(Sim().View(1, 2).LastUnblockCode, 7);
}

TEST_F(ServiceClient, RefusalsEndWithTheirExitCodes) {
  struct TCase {
    std::string Args;
    std::string Token;
    int Code;
    const char *Says;
  };
  const TCase Cases[] = {
      {"poll 9:9", "s3cret", 3, "unknown_pump"},
      {"lock 4242 --client pos-1", "s3cret", 3, "unknown_sale"},
      {"start 1:1 --litres -1", "s3cret", 2, "bad_value"},
      {"start 1:1 --litres 1 --money 1", "s3cret", 2, "either in --litres or in --money"},
      {"stop 1:1", "wrong", 2, "unauthorized"},
      {"totals 1:1", "s3cret", 2, "not available through the service"},
  };
  for (const TCase &C : Cases) {
    const TRun R = Ctl(C.Args, C.Token);
    EXPECT_EQ(R.Code, C.Code) << C.Args << "\n" << R.Output;
    EXPECT_NE(R.Output.find(C.Says), std::string::npos) << C.Args << "\n" << R.Output;
  }
  // Nothing listens there.
  Server->Stop();
  const TRun Gone = Ctl("status");
  EXPECT_EQ(Gone.Code, 4) << Gone.Output;
  EXPECT_NE(Gone.Output.find("cannot reach the service"), std::string::npos) << Gone.Output;
}

} // namespace
