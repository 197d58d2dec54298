// The host codes de30's driver would derive from exchanges a tap hears: each
// scenario is a run of exchanges on a line, as another controller made them, and
// the code the tap must show after each (none where the driver reports none).

#include "capture/tap_splitter.hpp"
#include "protocol/vocabulary.hpp"
#include "tap_codes.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace de30;
using TBytes = std::vector<std::uint8_t>;
constexpr int None = -1;

struct TStep {
  TBytes Frame;
  TBytes Reply;
  int Code; // None: the driver reports nothing from this exchange
};

capture::THeard Heard(const TStep &Step) {
  capture::THeard H;
  H.Frame = Step.Frame;
  H.Reply = Step.Reply;
  H.ReplyLength = protocol::FindShape(Step.Frame[1], Step.Frame.size() > 2 ? Step.Frame[2] : 0)
                      ->ReplyLength;
  return H;
}

// Pump 1's frames and replies.
const TBytes Poll = {0x00, 0x09};
const TBytes PollAuthorised = {0x00, 0x0B};
TBytes Status(std::uint8_t Lead, std::uint8_t S) {
  return {Lead, S, static_cast<std::uint8_t>(~S)};
}
const TStep Idle = {Poll, Status(0x09, 0x00), 192};
const TStep Start = {{0x00, 0x0C, 0xE1}, {0x0C, 0xE1}, None};
const TStep Execute = {{0x00, 0x0D, 0xF2}, {0x0D}, None};

struct TScenario {
  const char *Name;
  std::vector<TStep> Steps;
};

std::vector<TScenario> Scenarios() {
  const TStep Authorised = {PollAuthorised, Status(0x0B, 0x09), 217};
  std::vector<TStep> SixPolls = {Idle, Start, Execute};
  for (int I = 0; I < 6; ++I)
    SixPolls.push_back(Authorised);
  SixPolls.push_back({PollAuthorised, Status(0x0B, 0x09), 209});
  return {
      {"a lifted nozzle calls only once the pump has reported idle",
       {{Poll, Status(0x09, 0x08), 192}, Idle, {Poll, Status(0x09, 0x08), 225}}},
      {"a start that went through authorises: 217 for six polls, then 209", SixPolls},
      {"a start whose execute got no reply authorises nothing",
       {Idle, Start, {Execute.Frame, {}, None}, {Poll, Status(0x09, 0x08), 225}}},
      {"a start whose own reply was short authorises nothing",
       {Idle, {Start.Frame, {0x0C}, None}, Execute, {Poll, Status(0x09, 0x08), 225}}},
      {"the command the controller polls with says whether it holds the pump authorised",
       {Idle, {PollAuthorised, Status(0x0B, 0x0A), 217}, {Poll, Status(0x09, 0x0A), 225}}},
      {"an unblock makes the driver wait for the pump's idle report again",
       {Idle,
        {{0x00, 0x0C, 0x96, 0x05, 0xFA}, {0x0C, 0x96, 0x05, 0xFA}, None},
        {Poll, Status(0x09, 0x08), 192},
        Idle,
        {Poll, Status(0x09, 0x08), 225}}},
      {"a rejected reply gives no code", {{Poll, Status(0xF6, 0x00), None}}},
      {"a status byte that asks for re-initialisation",
       {Idle, {Poll, Status(0x09, 0x80), 209}}},
      {"a nozzle poll ranks the lifted nozzle",
       {Idle, {{0x00, 0x0E}, {0x0E, 0x02, 0xFD, 0x00, 0xFF}, 226}}},
      {"totals carry no pump: no code", {{{0x00, 0x02, 0x87}, TBytes(16, 0x00), None}}},
  };
}

TEST(TapHostCodes, EachScenarioShowsTheCodesTheDriverWouldDerive) {
  for (const TScenario &S : Scenarios()) {
    SCOPED_TRACE(S.Name);
    capture::THostCodes Codes;
    for (std::size_t I = 0; I < S.Steps.size(); ++I) {
      SCOPED_TRACE("step " + std::to_string(I + 1));
      const auto Derived = Codes.Follow(1, Heard(S.Steps[I]));
      if (S.Steps[I].Code == None) {
        EXPECT_FALSE(Derived.has_value());
      } else {
        ASSERT_TRUE(Derived.has_value());
        EXPECT_EQ(Derived->Code, S.Steps[I].Code);
        EXPECT_EQ(Derived->Pump, 1);
      }
    }
  }
}

TEST(TapHostCodes, LinesAndPumpsKeepTablesOfTheirOwn) {
  capture::THostCodes Codes;
  // Pump 1 on line 1 reports idle; pump 1 on line 2 and pump 2 on line 1 have not.
  Codes.Follow(1, Heard(Idle));
  EXPECT_EQ(Codes.Follow(1, Heard({Poll, Status(0x09, 0x08), 0}))->Code, 225);
  EXPECT_EQ(Codes.Follow(2, Heard({Poll, Status(0x09, 0x08), 0}))->Code, 192);
  EXPECT_EQ(Codes.Follow(1, Heard({{0x00, 0x11}, Status(0x11, 0x08), 0}))->Code, 192);
}

TEST(TapHostCodes, ANozzlePollIsDescribedWithEveryNozzlesCode) {
  capture::THostCodes Codes;
  Codes.Follow(1, Heard(Idle));
  const auto Derived =
      Codes.Follow(1, Heard({{0x00, 0x0E}, {0x0E, 0x02, 0xFD, 0x00, 0xFF}, 0}));
  ASSERT_TRUE(Derived.has_value());
  EXPECT_EQ(ctl::DescribeDerived(*Derived),
            "host code 226 calling, nozzle 2 (nozzles 192 226 192 192), pump 1");
}

} // namespace
