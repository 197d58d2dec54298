// Every protocol operation, with each of its exchanges failing in turn in every way
// a channel can fail: the frames sent, the tables, the caller's variables and the
// error that reaches the caller must follow the operation's failure rules.
#include "faults/fault_cases.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace de30::test {
namespace {

struct TRun {
  const TCase *Case;
  TPlan Plan;
};

constexpr TFault Faults[] = {TFault::ErrorNumber,       TFault::Absorbed,
                             TFault::AbsorbedAfterHost, TFault::AbsorbedWithError,
                             TFault::Rejected,          TFault::Foreign};

// The undisturbed run of each case, then each of its exchanges failing each way.
std::vector<TRun> AllRuns() {
  std::vector<TRun> Runs;
  for (const TCase &Case : FaultCases()) {
    Runs.push_back({&Case, {}});
    const int Exchanges = Predict(Case, TWorld{}, {}).Exchanges;
    for (int At = 0; At < Exchanges; ++At)
      for (TFault Fault : Faults)
        Runs.push_back({&Case, {At, Fault}});
  }
  return Runs;
}

void PrintTo(const TRun &Run, std::ostream *Out) {
  *Out << Run.Case->Name << ", exchange " << Run.Plan.At << ", " << Name(Run.Plan.Kind);
}

std::string RunName(const testing::TestParamInfo<TRun> &Info) {
  const TRun &Run = Info.param;
  if (Run.Plan.Kind == TFault::None)
    return std::string(Run.Case->Name) + "_Undisturbed";
  return std::string(Run.Case->Name) + "_Exchange" + std::to_string(Run.Plan.At) + "_" +
         Name(Run.Plan.Kind);
}

struct TObserved {
  TOutcome::TEnding Ending = TOutcome::Returns;
  std::string Message;
};

class FaultInjection : public testing::TestWithParam<TRun> {};

TEST_P(FaultInjection, FollowsTheFailureRules) {
  const TRun &Run = GetParam();
  TScriptChannel Channel;
  auto Driver = GetDE30(0, 0, &Channel, &Channel);
  if (Run.Case->Setup)
    Run.Case->Setup(*Driver);
  Driver->SetLineState(FaultLine, LineStateBefore(Run.Plan.Kind));

  const TWorld Start{Snapshot(*Driver), TCallerVars{}};
  const TOutcome Expected = Predict(*Run.Case, Start, Run.Plan);
  Channel.Script = Expected.Answers;
  Channel.LastErrorValue = LastErrorFor(Run.Plan.Kind);

  TCallerVars Vars;
  TObserved Seen;
  try {
    Run.Case->Call(*Driver, Vars);
  } catch (const ESerialIO &E) {
    Seen = {TOutcome::RaisesSerialIO, E.what()};
  } catch (int) {
    Seen = {TOutcome::RaisesForeign, {}};
  } catch (const std::exception &E) {
    FAIL() << "unexpected " << typeid(E).name() << ": " << E.what();
  }

  EXPECT_EQ(Channel.Wire(), Expected.Wire) << "frames and pauses";
  EXPECT_EQ(Seen.Ending, Expected.Ending) << "0 returns, 1 ESerialIO, 2 foreign exception";
  if (Expected.Ending == TOutcome::RaisesSerialIO) {
    EXPECT_EQ(Seen.Message, Expected.Message);
  }
  EXPECT_EQ(Differences(Expected.World.Tables, Snapshot(*Driver)), "");
  EXPECT_EQ(Vars, Expected.World.Vars) << "caller's variables";
  EXPECT_TRUE(Channel.Script.empty()) << "answers left over: fewer exchanges than expected";
}

INSTANTIATE_TEST_SUITE_P(EveryExchange, FaultInjection, testing::ValuesIn(AllRuns()), RunName);

// The table itself: every protocol position of the interface is in it, and each
// fault reaches at least one exchange of it.
TEST(FaultCases, CoverEveryProtocolOperation) {
  const char *Operations[] = {"StopPump",    "StopPumpIf",  "StartPump",     "StartPumpEx",
                              "UnblockPump", "SetPrice",    "SetDoseLitres", "SetDoseMoney",
                              "ReadFill",    "GetFillData", "GetTotals",     "GetSost",
                              "GetSostEx"};
  for (const char *Operation : Operations) {
    int Exchanges = 0;
    for (const TCase &Case : FaultCases())
      if (std::string(Case.Name).starts_with(Operation))
        Exchanges += Predict(Case, TWorld{}, {}).Exchanges;
    EXPECT_GT(Exchanges, 0) << Operation;
  }
}

} // namespace

static std::string Hex(const TSostRecord &Record) {
  const auto *Bytes = reinterpret_cast<const std::uint8_t *>(&Record);
  std::string Text;
  char Byte[4];
  for (std::size_t I = 0; I < sizeof Record; ++I) {
    std::snprintf(Byte, sizeof Byte, "%02X ", Bytes[I]);
    Text += Byte;
  }
  return Text;
}

void PrintTo(const TCallerVars &V, std::ostream *Out) {
  *Out << "{Value1 " << V.Value1 << ", Value2 " << V.Value2 << ", Result " << V.Result
       << ", Record " << Hex(V.Record) << "}";
}

} // namespace de30::test
