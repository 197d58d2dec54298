// The Wireshark dissector (tools/wireshark/de30.lua) read by tshark on captures the
// capture writer made of the driver working the simulated station: every command
// and reply the driver sends and reads decodes to what the driver sent and read,
// the reply check's rejections, timeouts, short replies and channel errors are
// marked, frames and replies are paired, and odd packets decode without a Lua
// error. Also: the vocabulary check fails on a section that has drifted.

#include "capture/exchange.hpp"
#include "capture/writer.hpp"
#include "de30/driver.hpp"
#include "protocol/vocabulary.hpp"
#include "sim/clock.hpp"
#include "sim/sim_channel.hpp"
#include "sim/station.hpp"
#include "station/temp_dir.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace {

using namespace de30;
using protocol::CommandShapes;
using protocol::NoCode;

// The fields the test reads, in tshark's column order.
const std::vector<std::string> Fields = {
    "frame.number",        "de30.direction",      "de30.line",          "de30.exchange",
    "de30.outcome",        "de30.channel_result", "de30.pump",          "de30.command",
    "de30.code",           "de30.operation",      "de30.request_in",    "de30.response_in",
    "de30.time",           "de30.status",         "de30.status.name",   "de30.status.reinit",
    "de30.nozzle.1",       "de30.nozzle.2",       "de30.nozzle.3",      "de30.nozzle.4",
    "de30.fill.volume",    "de30.fill.amount",    "de30.fill.nozzle",   "de30.total",
    "de30.totals.request", "de30.totals.groups",  "de30.totals.pump",   "de30.totals.nozzles",
    "de30.price.1",        "de30.price.2",        "de30.price.3",       "de30.price.4",
    "de30.price.5",        "de30.dose",           "de30.unblock_code",  "de30.rejected",
    "de30.timeout",        "de30.short",          "de30.channel_error", "de30.bcd_invalid",
    "de30.complement_bad", "de30.received",       "_ws.col.Info",       "_ws.expert.message",
    "_ws.lua.error",
};

// One packet as tshark decoded it: field name to value ("" when absent).
using TRow = std::map<std::string, std::string>;

struct TDecoded {
  std::vector<TRow> Rows; // by frame number - 1
  std::string Errors;     // what tshark wrote to stderr, its "running as root" note aside
  int Code = -1;
};

std::vector<std::string> Split(const std::string &Line, char By) {
  std::vector<std::string> Parts;
  std::string Part;
  std::istringstream In(Line);
  while (std::getline(In, Part, By))
    Parts.push_back(Part);
  if (!Line.empty() && Line.back() == By)
    Parts.emplace_back();
  return Parts;
}

TDecoded Decode(const test::TTempDir &Dir, const std::string &Capture) {
  const std::string Err = Dir / "tshark.err";
  // Two passes, so that a frame links the reply that follows it; the read filter
  // makes tshark dissect in the first pass too.
  std::string Command = "(tshark -X lua_script:" DE30_LUA " -2 -R de30 -r " + Capture +
                        " -T fields -E separator=/t -E aggregator='|' -E occurrence=a";
  for (const std::string &F : Fields)
    Command += " -e " + F;
  const test::TRun Run = test::RunProgram(Command + " 2>" + Err + ")");
  TDecoded D;
  D.Code = Run.Code;
  std::istringstream Out(Run.Output);
  std::string Line;
  while (std::getline(Out, Line)) {
    const auto Values = Split(Line, '\t');
    TRow Row;
    for (std::size_t I = 0; I < Fields.size(); ++I)
      Row[Fields[I]] = I < Values.size() ? Values[I] : "";
    D.Rows.push_back(Row);
  }
  std::ifstream In(Err);
  while (std::getline(In, Line))
    if (Line.find("Running as user") == std::string::npos)
      D.Errors += Line + "\n";
  return D;
}

double Number(const TRow &Row, const std::string &Field) {
  const std::string &Text = Row.at(Field);
  if (Text.empty()) {
    ADD_FAILURE() << Field << " missing in frame " << Row.at("frame.number");
    return -1;
  }
  return std::stod(Text, nullptr);
}

long Whole(const TRow &Row, const std::string &Field) {
  const std::string &Text = Row.at(Field);
  if (Text.empty()) {
    ADD_FAILURE() << Field << " missing in frame " << Row.at("frame.number");
    return -1;
  }
  return std::stol(Text, nullptr, 0); // hex fields print as 0x..
}

bool Has(const TRow &Row, const std::string &Field, const std::string &Part) {
  return Row.at(Field).find(Part) != std::string::npos;
}

// The driver on the simulated station, every exchange traced into a capture and
// kept, and each driver call noted with the operations its frames should carry.
class Dissector : public ::testing::Test {
protected:
  Dissector() : Station(Clock), Pauser(Clock), Channel(Station) {
    AddPump(1, 3, 1);
    AddPump(1, 5, 2);
    AddPump(2, 4, 4);
    Path = Dir / "driver.pcapng";
    Writer = std::make_unique<capture::TCaptureWriter>(capture::TCaptureOptions{Path});
    Writer->DescribeLine(1, "simulated");
    Writer->DescribeLine(2, "simulated");
    Channel.SetTracer([this](const channels::TTraceRecord &R) {
      Writer->Write(R);
      Records.push_back(R);
    });
    Driver = GetDE30(0, 0, &Channel, &Pauser);
    Driver->InitLine(1);
    Driver->InitLine(2);
  }

  void AddPump(int Line, std::uint8_t Address, int Nozzles) {
    sim::TPumpConfig Config;
    Config.Address = Address;
    Config.Nozzles = Nozzles;
    Station.AddPump(Line, Config);
  }

  // Runs Call and notes that its exchanges carry Operations; returns the index of
  // its first exchange.
  std::size_t Run(std::vector<std::string> Operations, const std::function<void()> &Call) {
    const std::size_t First = Records.size();
    Call();
    EXPECT_EQ(Records.size() - First, Operations.size()) << Operations.front();
    for (auto &Operation : Operations)
      Expected.push_back(std::move(Operation));
    return First;
  }

  // A call the channel fails: ESerialIO from the driver.
  std::size_t Fails(std::vector<std::string> Operations, const std::function<void()> &Call) {
    return Run(std::move(Operations), [&] { EXPECT_THROW(Call(), ESerialIO); });
  }

  std::uint8_t Poll(int Line, int Pump, int Nozzles, TSostRecord &Record) {
    Driver->GetSostEx(static_cast<std::uint8_t>(Line), static_cast<std::uint8_t>(Pump),
                      static_cast<std::uint8_t>(Nozzles), Record);
    return Record.Sost;
  }

  void Fault(sim::TFaultKind Kind, int Line, int Pump) {
    sim::TFaultRule Rule;
    Rule.Kind = Kind;
    Rule.Line = Line;
    Rule.Pump = Pump;
    Station.AddFault(Rule);
  }

  TDecoded Finish() {
    Writer.reset(); // closes the file
    return Decode(Dir, Path);
  }

  test::TTempDir Dir;
  sim::TManualClock Clock;
  sim::TSimStation Station;
  sim::TClockPauser Pauser;
  sim::TSimChannel Channel;
  std::string Path;
  std::unique_ptr<capture::TCaptureWriter> Writer;
  std::vector<channels::TTraceRecord> Records;
  std::vector<std::string> Expected; // the operation of each exchange
  std::unique_ptr<TVM30> Driver;
};

TEST_F(Dissector, EveryCommandAndReplyDecodesAsTheDriverSentAndReadIt) {
  TSostRecord R{};
  std::uint16_t Code = 0;
  double Volume = -1, Amount = -1, Total1 = -1, Total2 = -1;

  // A whole fill on the one-nozzle pump 1:3.
  const auto Idle = Run({"GetSost"}, [&] { Code = Poll(1, 3, 1, R); });
  EXPECT_EQ(Code, CodeIdle);
  const auto Price =
      Run({"SetPrice", "ExecuteCommand"}, [&] { Driver->SetPrice(1, 3, 1, 45.5); });
  ASSERT_TRUE(Station.LiftNozzle(1, 3, 1));
  const auto Lifted = Run({"GetSost"}, [&] { Code = Driver->GetSost(1, 3); });
  EXPECT_EQ(Code, CodeCalling);
  const auto Dose =
      Run({"SetDoseLitres", "ExecuteCommand"}, [&] { Driver->SetDoseLitres(1, 3, 2.5); });
  const auto Start = Run({"StartPump", "ExecuteCommand"}, [&] { Driver->StartPump(1, 3); });
  const auto Authorised = Run({"GetSost"}, [&] { Code = Driver->GetSost(1, 3); });
  EXPECT_EQ(Code, CodeAuthorized);
  Clock.Advance(4000);
  double MidAmount = -1;
  const auto Midway = Run({"ReadFill"}, [&] { Volume = Driver->ReadFill(1, 3, MidAmount); });
  const double MidVolume = Volume;
  EXPECT_GT(MidVolume, 0.0);
  const auto Fuelling = Run({"GetSost"}, [&] { Code = Driver->GetSost(1, 3); });
  Clock.Advance(10000);
  const auto Ended = Run({"GetSost"}, [&] { Code = Driver->GetSost(1, 3); });
  EXPECT_EQ(Code, CodeIdle);
  const auto Fill = Run({"ReadFill"}, [&] { Volume = Driver->ReadFill(1, 3, Amount); });
  EXPECT_DOUBLE_EQ(Volume, 2.5);
  EXPECT_DOUBLE_EQ(Amount, 113.75);
  const auto Totals =
      Run({"GetTotals", "GetTotals"}, [&] { Driver->GetTotals(1, 3, Total1, Total2); });
  const double OneTotal1 = Total1, OneTotal2 = Total2;
  Station.HangNozzle(1, 3);

  // The two-nozzle pump 1:5: five prices, nozzle polls, a stop, totals of two groups.
  for (int G = 2; G <= 5; ++G)
    Driver->SetPrice(1, 5, G, G == 2 ? 52.9 : 0.0); // kept until the nozzle count is known
  TSostRecord Five{};
  const auto FiveIdle = Run({"GetSost", "GetSostEx"}, [&] { Poll(1, 5, 2, Five); });
  const auto Prices =
      Run({"SetPrice", "ExecuteCommand"}, [&] { Driver->SetPrice(1, 5, 1, 47.2); });
  ASSERT_TRUE(Station.LiftNozzle(1, 5, 2));
  TSostRecord FiveLifted{};
  const auto FiveCalling = Run({"GetSost", "GetSostEx"}, [&] { Poll(1, 5, 2, FiveLifted); });
  Run({"StartPump", "ExecuteCommand"}, [&] { Driver->StartPump(1, 5); });
  Clock.Advance(3000);
  TSostRecord FiveFlowing{};
  const auto FiveFuelling = Run({"GetSost", "GetSostEx"}, [&] { Poll(1, 5, 2, FiveFlowing); });
  const auto Stop = Run({"StopPump", "ExecuteCommand"}, [&] { Driver->StopPump(1, 5); });
  const auto TwoGroups =
      Run({"GetTotals", "GetTotals"}, [&] { Driver->GetTotals(1, 5, Total1, Total2); });

  // The four-nozzle pump 2:4: nozzle 3 lifted.
  ASSERT_TRUE(Station.LiftNozzle(2, 4, 3));
  TSostRecord Four{};
  const auto FourNozzles = Run({"GetSost", "GetSostEx"}, [&] { Poll(2, 4, 4, Four); });

  // A locked pump unblocked, a fault the driver re-initialises the pump for.
  ASSERT_TRUE(Station.Lock(1, 3));
  const auto Locked = Run({"GetSost"}, [&] { Code = Driver->GetSost(1, 3); });
  const auto Unblock = Run({"ReinitPump", "SendUnblock", "ExecuteCommand"},
                           [&] { Driver->UnblockPump(1, 3, 5); });
  EXPECT_EQ(Station.View(1, 3).LastUnblockCode, 5);
  ASSERT_TRUE(Station.Fail(1, 3, protocol::StatusFault));
  const auto Reinit = Run({"GetSost", "ReinitPump"}, [&] { Code = Driver->GetSost(1, 3); });
  EXPECT_EQ(Code, CodeAuthorizedIdle);

  // What goes wrong: a rejected reply, spoiled digits, no reply, a short reply, a
  // line that cannot be opened.
  Fault(sim::TFaultKind::WrongEcho, 1, 3);
  double Untouched = -7;
  const auto Rejected =
      Run({"ReadFill"}, [&] { EXPECT_EQ(Driver->ReadFill(1, 3, Untouched), 0); });
  EXPECT_EQ(Driver->GetLineState(1), LineRejected);
  EXPECT_EQ(Untouched, -7); // the driver read nothing from it
  Fault(sim::TFaultKind::CorruptDigits, 1, 3);
  double SpoiltAmount = -1;
  double Spoilt = -1;
  const auto Corrupt =
      Run({"ReadFill"}, [&] { Spoilt = Driver->ReadFill(1, 3, SpoiltAmount); });
  EXPECT_NE(Spoilt, 2.5);
  Fault(sim::TFaultKind::NoReply, 1, 3);
  const auto Timeout = Fails({"GetSost"}, [&] { Driver->GetSost(1, 3); });
  Fault(sim::TFaultKind::DropByte, 1, 3);
  const auto Short = Fails({"ReadFill"}, [&] { Driver->ReadFill(1, 3, Untouched); });
  const auto NoLine = Fails({"GetSost"}, [&] { Driver->GetSost(3, 1); });

  const TDecoded D = Finish();
  ASSERT_EQ(D.Code, 0) << D.Errors;
  EXPECT_EQ(D.Errors, "");
  ASSERT_EQ(D.Rows.size(), 2 * Records.size());
  const auto FrameOf = [&](std::size_t I) -> const TRow & { return D.Rows[2 * I]; };
  const auto ReplyOf = [&](std::size_t I) -> const TRow & { return D.Rows[2 * I + 1]; };

  // Every exchange: its two packets, paired, with the header the writer gave them
  // and the operation the driver ran.
  std::map<int, long> PerLine;
  std::set<std::pair<long, long>> Seen; // command and code byte of every frame
  for (std::size_t I = 0; I < Records.size(); ++I) {
    SCOPED_TRACE("exchange " + std::to_string(I) + ": " + Expected[I]);
    const channels::TTraceRecord &Rec = Records[I];
    const TRow &F = FrameOf(I), &Y = ReplyOf(I);
    EXPECT_EQ(Y.at("_ws.lua.error") + F.at("_ws.lua.error"), "");
    EXPECT_EQ(Whole(F, "de30.direction"), 1);
    EXPECT_EQ(Whole(Y, "de30.direction"), 2);
    for (const TRow *P : {&F, &Y}) {
      EXPECT_EQ(Whole(*P, "de30.line"), Rec.Line);
      EXPECT_EQ(Whole(*P, "de30.exchange"), PerLine[Rec.Line] + 1);
      EXPECT_EQ(Whole(*P, "de30.outcome"), static_cast<long>(capture::OutcomeOf(Rec)));
      EXPECT_EQ(Whole(*P, "de30.channel_result"), Rec.Result);
      EXPECT_EQ(P->at("de30.operation"), Expected[I]);
      EXPECT_EQ(Whole(*P, "de30.pump"), Rec.Frame[1] >> 3);
    }
    ++PerLine[Rec.Line];
    EXPECT_EQ(Whole(F, "de30.response_in"), Whole(Y, "frame.number"));
    EXPECT_EQ(Whole(Y, "de30.request_in"), Whole(F, "frame.number"));
    EXPECT_GE(Number(Y, "de30.time"), 0.0);
    EXPECT_EQ(Whole(Y, "de30.received"), static_cast<long>(Rec.Reply.size()));
    EXPECT_TRUE(Has(F, "_ws.col.Info", Expected[I])) << F.at("_ws.col.Info");
    if (I != Corrupt) {
      EXPECT_EQ(F.at("de30.complement_bad") + Y.at("de30.complement_bad"), "");
    }
    const long Command = Whole(F, "de30.command");
    Seen.insert({Command, F.at("de30.code").empty() ? NoCode : Whole(F, "de30.code")});
  }
  // ... and the scenario sent every command of the vocabulary.
  for (const auto &Shape : CommandShapes)
    EXPECT_TRUE(Seen.contains({Shape.Command, Shape.Code}))
        << Shape.Operation << " command " << int{Shape.Command} << " code " << int{Shape.Code};

  // Status replies: the byte the driver translated, and its name.
  const struct {
    std::size_t At;
    std::uint8_t Status;
    const char *Name;
    long Command;
  } Polls[] = {
      {Idle, protocol::StatusIdle, "idle", protocol::CmdStatus},
      {Lifted, protocol::StatusCalling, "nozzle lifted", protocol::CmdStatus},
      {Authorised, protocol::StatusAuthorised, "authorised", protocol::CmdStatusAuth},
      {Fuelling, protocol::StatusFuelling, "fuelling", protocol::CmdStatusAuth},
      {Ended, protocol::StatusFinished, "fill ended", protocol::CmdStatusAuth},
      {Locked, protocol::StatusLocked, "locked or error", protocol::CmdStatus},
      {Reinit, protocol::StatusFault, "fault, asks for re-initialisation", protocol::CmdStatus},
  };
  for (const auto &P : Polls) {
    SCOPED_TRACE(P.Name);
    EXPECT_EQ(Whole(FrameOf(P.At), "de30.command"), P.Command);
    EXPECT_EQ(Whole(ReplyOf(P.At), "de30.status"), Records[P.At].Reply[1]);
    EXPECT_EQ(Whole(ReplyOf(P.At), "de30.status"), P.Status);
    EXPECT_EQ(ReplyOf(P.At).at("de30.status.name"), P.Name);
    EXPECT_TRUE(Has(ReplyOf(P.At), "_ws.col.Info", std::string("GetSost → ") + P.Name))
        << ReplyOf(P.At).at("_ws.col.Info");
  }
  EXPECT_EQ(Whole(ReplyOf(Reinit), "de30.status.reinit"), 1);
  EXPECT_EQ(ReplyOf(Idle).at("de30.status.reinit"), "");
  EXPECT_EQ(Whole(ReplyOf(Reinit + 1), "de30.command"), protocol::CmdReinit);
  EXPECT_NE(ReplyOf(Reinit + 1).at("de30.status"), ""); // the re-initialise reply's status

  // The values the driver sent.
  EXPECT_DOUBLE_EQ(Number(FrameOf(Price), "de30.price.1"), 45.5);
  EXPECT_EQ(FrameOf(Price).at("de30.price.2"), ""); // one grade to a one-nozzle pump
  EXPECT_EQ(Whole(FrameOf(Price), "de30.code"), protocol::CodePriceOne);
  const double FivePrices[] = {47.2, 52.9, 0, 0, 0};
  for (int G = 1; G <= 5; ++G)
    EXPECT_DOUBLE_EQ(Number(FrameOf(Prices), "de30.price." + std::to_string(G)),
                     FivePrices[G - 1]);
  EXPECT_EQ(Whole(FrameOf(Prices), "de30.code"), protocol::CodePriceFive);
  EXPECT_DOUBLE_EQ(Number(FrameOf(Dose), "de30.dose"), 2.5);
  EXPECT_TRUE(Has(FrameOf(Dose), "_ws.col.Info", "SetDoseLitres 2.50 l"));
  EXPECT_EQ(Whole(FrameOf(Start), "de30.code"), protocol::CodeStart);
  EXPECT_EQ(Whole(FrameOf(Stop), "de30.code"), protocol::CodeStop);
  EXPECT_EQ(Whole(FrameOf(Unblock + 1), "de30.unblock_code"), 5);

  // The values the driver read: fill data, totals, nozzles.
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Midway), "de30.fill.volume"), MidVolume);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Midway), "de30.fill.amount"), MidAmount);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Fill), "de30.fill.volume"), Volume);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Fill), "de30.fill.amount"), Amount);
  EXPECT_EQ(Whole(ReplyOf(Fill), "de30.fill.nozzle"), 1);
  EXPECT_TRUE(Has(ReplyOf(Fill), "_ws.col.Info", "ReadFill → 2.50 l 113.75"))
      << ReplyOf(Fill).at("_ws.col.Info");
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Totals), "de30.total"), OneTotal1);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Totals + 1), "de30.total"), OneTotal2);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(TwoGroups), "de30.total"), Total1);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(TwoGroups + 1), "de30.total"), Total2);
  EXPECT_GT(Total1, 0.0);
  for (std::size_t At : {Totals, Totals + 1}) {
    EXPECT_EQ(Whole(FrameOf(At), "de30.totals.groups"), 1);
    EXPECT_EQ(Whole(FrameOf(At), "de30.totals.pump"), 3); // the pump last addressed
    EXPECT_EQ(Whole(ReplyOf(At), "de30.totals.nozzles"), 1);
  }
  EXPECT_EQ(Whole(FrameOf(Totals), "de30.totals.request"), 1);
  EXPECT_EQ(Whole(FrameOf(Totals + 1), "de30.totals.request"), 2);
  EXPECT_EQ(Whole(FrameOf(TwoGroups), "de30.totals.groups"), 2);
  EXPECT_EQ(Whole(FrameOf(TwoGroups + 1), "de30.totals.request"), 2);

  // Each nibble is the one behind the driver's code for that nozzle.
  const auto Family = [](long Nibble, int K) -> std::uint16_t {
    switch (Nibble) {
    case protocol::NibbleFlowing:
      return HostCode(FamilyAuthorised, K);
    case protocol::NibbleReady:
      return HostCode(FamilyReady, K);
    case protocol::NibbleCalling:
      return HostCode(FamilyCalling, K); // the start count-down has run out in these polls
    default:
      return CodeIdle;
    }
  };
  const struct {
    std::size_t At;
    TSostRecord *Record;
    int Nozzles;
  } NozzlePolls[] = {{FiveIdle + 1, &Five, 2},
                     {FiveCalling + 1, &FiveLifted, 2},
                     {FiveFuelling + 1, &FiveFlowing, 2},
                     {FourNozzles + 1, &Four, 4}};
  for (const auto &P : NozzlePolls) {
    for (int K = 1; K <= P.Nozzles; ++K) {
      SCOPED_TRACE("exchange " + std::to_string(P.At) + " nozzle " + std::to_string(K));
      const long Nibble = Whole(ReplyOf(P.At), "de30.nozzle." + std::to_string(K));
      EXPECT_EQ(Family(Nibble, K), P.Record->Nozzle(K));
    }
  }
  EXPECT_EQ(FiveLifted.Nozzle(2), HostCode(FamilyCalling, 2));
  EXPECT_EQ(FiveFlowing.Nozzle(2), HostCode(FamilyAuthorised, 2));
  EXPECT_EQ(Four.Nozzle(3), HostCode(FamilyCalling, 3));
  EXPECT_TRUE(Has(ReplyOf(FourNozzles + 1), "_ws.col.Info", "3 nozzle lifted"));

  // A rejected reply: marked, and its values shown but flagged as not read.
  const TRow &Refused = ReplyOf(Rejected);
  EXPECT_EQ(Whole(Refused, "de30.rejected"), 1);
  EXPECT_EQ(Whole(Refused, "de30.outcome"), static_cast<long>(capture::TOutcome::Rejected));
  EXPECT_TRUE(Has(Refused, "_ws.col.Info", "(rejected)")) << Refused.at("_ws.col.Info");
  EXPECT_TRUE(Has(Refused, "_ws.expert.message", "rejected by the reply check"));
  EXPECT_DOUBLE_EQ(Number(Refused, "de30.fill.volume"), 2.5); // what the pump sent
  EXPECT_EQ(ReplyOf(Fill).at("de30.rejected"), "");

  // Spoilt digits: the dissector reads them as the driver does, and says so.
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Corrupt), "de30.fill.volume"), Spoilt);
  EXPECT_DOUBLE_EQ(Number(ReplyOf(Corrupt), "de30.fill.amount"), SpoiltAmount);
  EXPECT_NE(ReplyOf(Corrupt).at("de30.bcd_invalid"), "");
  EXPECT_TRUE(Has(ReplyOf(Corrupt), "_ws.expert.message", "not decimal"));
  EXPECT_NE(ReplyOf(Corrupt).at("de30.complement_bad"), ""); // its complement was not spoilt

  // No reply, a short one, a line that cannot be opened.
  EXPECT_EQ(Whole(ReplyOf(Timeout), "de30.timeout"), 1);
  EXPECT_EQ(Whole(ReplyOf(Timeout), "de30.channel_result"), channels::ErrTimeout);
  EXPECT_TRUE(Has(ReplyOf(Timeout), "_ws.expert.message", "No reply within the timeout"));
  EXPECT_TRUE(Has(ReplyOf(Timeout), "_ws.col.Info", "no reply (timeout)"));
  EXPECT_TRUE(Has(FrameOf(Timeout), "_ws.col.Info", "[timeout]"));
  EXPECT_EQ(Whole(ReplyOf(Short), "de30.short"), 1);
  EXPECT_EQ(Whole(ReplyOf(Short), "de30.channel_result"), channels::ErrShortReply);
  EXPECT_EQ(ReplyOf(Short).at("de30.fill.volume"), ""); // nothing decoded from it
  EXPECT_TRUE(Has(ReplyOf(Short), "_ws.expert.message", "Short reply"));
  EXPECT_EQ(Whole(ReplyOf(NoLine), "de30.channel_error"), 1);
  EXPECT_EQ(Whole(ReplyOf(NoLine), "de30.channel_result"), channels::ErrNoSuchLine);
  EXPECT_TRUE(Has(ReplyOf(NoLine), "_ws.expert.message", "line not configured"));
}

// Packets no driver of ours sends still decode, with warnings and no Lua error.
TEST_F(Dissector, OddPacketsDecodeWithWarningsAndWithoutALuaError) {
  const auto Odd = [&](std::vector<std::uint8_t> Frame, std::vector<std::uint8_t> Reply,
                       std::uint8_t Length, std::int32_t Result, std::uint8_t State) {
    channels::TTraceRecord R;
    R.Line = 1;
    R.Frame = std::move(Frame);
    R.Reply = std::move(Reply);
    R.ReplyLength = Length;
    R.Result = Result;
    R.State = State;
    R.SentAt = R.DoneAt = std::chrono::system_clock::now();
    Writer->Write(R);
  };
  Odd({0x00, 0x18}, {0x18}, 1, 0, 1);                         // command number 0
  Odd({0x00, 0x1C, 0x55}, {0x1C, 0x55}, 2, 0, 1);             // unknown code byte
  Odd({}, {}, 3, channels::ErrBadFrame, 2);                   // nothing sent
  Odd({0x00, 0x19}, {0x19, 0x0A, 0x00}, 3, 0, 1);             // a wrong complement
  Odd({0x00, 0x19}, {0x19, 0x0A, 0xF5, 0x77, 0x77}, 5, 0, 1); // longer than the poll's
  Odd({0x00, 0x1A, 0xB4}, {0x1A, 0xB4, 0x00}, 16, 0, 1);      // short, yet "accepted"
  Odd({0x00, 0x1A, 0xB4}, std::vector<std::uint8_t>(16, 0xFF), 16, 0, 3);
  const TDecoded D = Finish();
  ASSERT_EQ(D.Code, 0) << D.Errors;
  EXPECT_EQ(D.Errors, "");
  ASSERT_EQ(D.Rows.size(), 14u);
  for (const TRow &Row : D.Rows)
    EXPECT_EQ(Row.at("_ws.lua.error"), "") << Row.at("frame.number");
  EXPECT_TRUE(Has(D.Rows[0], "_ws.expert.message", "No command of the vocabulary"));
  EXPECT_TRUE(Has(D.Rows[2], "_ws.expert.message", "No command of the vocabulary"));
  EXPECT_NE(D.Rows[7].at("de30.complement_bad"), "");
  EXPECT_TRUE(Has(D.Rows[7], "_ws.expert.message", "Complement byte 0x00"));
  EXPECT_TRUE(Has(D.Rows[9], "_ws.expert.message", "5 reply bytes"));
  EXPECT_EQ(Whole(D.Rows[11], "de30.short"), 1);
  EXPECT_EQ(Whole(D.Rows[13], "de30.rejected"), 1);
}

// Copied into the personal plugin folder, as docs/capture.md says, Wireshark loads it.
TEST_F(Dissector, LoadsFromThePersonalPluginFolder) {
  Run({"GetSost"}, [&] { Driver->GetSost(1, 3); });
  Writer.reset();
  const std::filesystem::path Home = Dir / "home";
  const std::filesystem::path Plugins = Home / ".local/lib/wireshark/plugins";
  std::filesystem::create_directories(Plugins);
  std::filesystem::copy_file(DE30_LUA, Plugins / "de30.lua");
  const auto Run = test::RunProgram("HOME=" + Home.string() + " tshark -r " + Path +
                                    " -T fields -e de30.operation -e de30.status.name");
  EXPECT_EQ(Run.Code, 0) << Run.Output;
  EXPECT_NE(Run.Output.find("GetSost\tidle"), std::string::npos) << Run.Output;
}

// The vocabulary check fails on a section that no longer matches the driver's.
TEST(DissectorVocabulary, TheCheckFailsOnASectionThatHasDrifted) {
  test::TTempDir Dir;
  std::ifstream In(DE30_LUA);
  std::stringstream Text;
  Text << In.rdbuf();
  std::string Lua = Text.str();
  const std::string Committed = Dir / "committed.lua";
  std::ofstream(Committed) << Lua;
  EXPECT_EQ(test::RunProgram(std::string(VOCABULARY) + " --check " + Committed).Code, 0);
  const std::size_t At = Lua.find("fill_volume_at = ");
  ASSERT_NE(At, std::string::npos);
  Lua.replace(At, std::string("fill_volume_at = 8").size(), "fill_volume_at = 9");
  const std::string Drifted = Dir / "drifted.lua";
  std::ofstream(Drifted) << Lua;
  const auto Check = test::RunProgram(std::string(VOCABULARY) + " --check " + Drifted);
  EXPECT_EQ(Check.Code, 1);
  EXPECT_NE(Check.Output.find("fill_volume_at = 9"), std::string::npos) << Check.Output;
  EXPECT_NE(Check.Output.find("--target wireshark_vocabulary"), std::string::npos);
  // --update puts it right again, and leaves the rest of the file alone.
  EXPECT_EQ(test::RunProgram(std::string(VOCABULARY) + " --update " + Drifted).Code, 0);
  std::ifstream Back(Drifted);
  std::stringstream Fixed;
  Fixed << Back.rdbuf();
  EXPECT_EQ(Fixed.str(), Text.str());
}

} // namespace
