// Kills de30d with SIGKILL at random moments while simulated customers fill, and
// restarts it each time; then lets it settle and checks the journal against what
// the pumps themselves measured.
//
// The station: line 1 with two one-nozzle pumps, a two-nozzle pump whose totals
// hold the pump's sum (`totals = "sum"`) and two whose totals hold nozzle 2's own
// counter (`totals = "per_nozzle"`); line 2 with one pump. Some pumps authorise
// themselves (`auto_authorize`); the others are authorised through de30d's HTTP
// interface by a POS thread when they call, with no preset, a preset in litres
// or one in money, and now and then in advance, before the customer lifts a
// nozzle. The simulated customers lift the nozzles in turn, walk away when
// nobody serves them, and come back. Replies of every kind of frame (polls, fill
// and totals reads, start, stop, dose and price commands and the execute
// commands that carry them out, re-initialisations) are spoiled now and then by
// random faults drawn from the seed: lost, late, a wrong echo, digits that are
// not decimal, a byte dropped, a stray byte ahead, an error status.
//
// Before the end the faults are lifted, no new customer comes, and de30d runs
// until every pump is hung up and idle and no sale is open. Then:
//   - every fill a pump recorded is in the journal exactly once, as a sale of the
//     same line, pump and nozzle with exactly its volume and amount;
//   - no sale with fuel lacks such a fill; a sale without fuel is cleared and
//     flagged empty;
//   - no sale is open;
//   - on a nozzle the pump's totals cover, a sale's volume is its totals delta
//     unless the sale says the totals were not read (no_totals).
//
// The simulated station lives in this process, served on loopback TCP, so the
// pumps (and their fills and totals) carry on while de30d is dead, as real pumps
// would. A mismatch is printed with the fill and the sale, and with what
// happened to that pump around it: de30d's log lines (which mark each kill), the
// replies the station spoiled and the fills the pump ended. The seed fixes the
// random draws; threads and sockets run in real time, so a run is not replayed
// exactly.
//
//   de30_kill_restart --de30d PATH [--kills N] [--seed S] [--dir DIR]

#include "sim/clock.hpp"
#include "sim/faults.hpp"
#include "sim/server.hpp"
#include "sim/station.hpp"
#include "station/journal.hpp"
#include "support/free_port.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using de30::test::FreePort;
using Clock = std::chrono::steady_clock;
using de30::sim::TTotalsLayout;

struct TOptions {
  std::string De30d;
  int Kills = 20;
  unsigned Seed = 1;
  std::filesystem::path Dir;
};

struct TPlace {
  int Line;
  int Address;
  std::vector<int> Grades; // the station grade nozzle k sells
  TTotalsLayout Totals;    // what the pump's last totals group holds (two nozzles)
  bool Auto;               // authorises itself; else the POS does
  std::int64_t FlowRate;   // hundredths of a litre a second
  std::int64_t IdleMs;     // until the next customer lifts a nozzle
};

const std::vector<TPlace> Places = {
    {1, 1, {1}, TTotalsLayout::Sum, true, 2000, 300},
    {1, 2, {2}, TTotalsLayout::Sum, false, 1500, 400},
    {1, 3, {1, 2}, TTotalsLayout::Sum, false, 2500, 350},
    {1, 4, {1, 2}, TTotalsLayout::PerNozzle, true, 1800, 450},
    {1, 5, {2, 1}, TTotalsLayout::PerNozzle, false, 2200, 300},
    {2, 1, {1}, TTotalsLayout::Sum, false, 2000, 250},
};

// Prices in hundredths, set through the interface at the first start.
const std::map<int, std::int64_t> Prices = {{1, 157}, {2, 139}};

std::string Name(int Line, int Pump) {
  return std::to_string(Line) + ":" + std::to_string(Pump);
}

std::string Hundredths(std::int64_t Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%s%lld.%02lld", Value < 0 ? "-" : "",
                static_cast<long long>(std::llabs(Value) / 100),
                static_cast<long long>(std::llabs(Value) % 100));
  return Text;
}

std::int64_t ToHundredths(double Value) { return std::llround(Value * 100.0); }

// Whether the totals the driver reads count a fill on Nozzle of this pump.
bool Covers(const TPlace &P, int Nozzle) {
  if (P.Grades.size() == 1 || P.Totals == TTotalsLayout::Sum)
    return true;
  return Nozzle == 2;
}

const TPlace *Find(int Line, int Address) {
  for (const auto &P : Places)
    if (P.Line == Line && P.Address == Address)
      return &P;
  return nullptr;
}

void WriteConfig(const TOptions &Options, int HttpPort, const std::map<int, int> &LinePorts) {
  std::ofstream Out(Options.Dir / "de30d.toml");
  Out << "[station]\nid = \"kill-restart\"\nlisten = \"127.0.0.1:" << HttpPort
      << "\"\njournal = \"" << (Options.Dir / "journal.db").string() << "\"\n\n"
      << "[[grade]]\nnumber = 1\nname = \"A-95\"\n\n[[grade]]\nnumber = 2\nname = "
         "\"Diesel\"\n\n";
  for (const auto &[Line, Port] : LinePorts)
    Out << "[[line]]\nnumber = " << Line << "\ntcp = \"127.0.0.1:" << Port
        << "\"\ntimeout_ms = 300\n\n";
  for (const auto &P : Places) {
    Out << "[[pump]]\nline = " << P.Line << "\naddress = " << P.Address << "\nnozzles = [";
    for (std::size_t K = 0; K < P.Grades.size(); ++K)
      Out << (K > 0 ? ", " : "") << P.Grades[K];
    Out << "]\nauto_authorize = " << (P.Auto ? "true" : "false") << "\n";
    if (P.Grades.size() == 2)
      Out << "totals = \"" << (P.Totals == TTotalsLayout::Sum ? "sum" : "per_nozzle") << "\"\n";
    Out << "\n";
  }
}

// Low-probability faults on every kind of frame, each drawn from the seed. Polls
// and reads come many times a second, commands a few times a fill: their rules
// fire more often per reply so that each sees its faults in a short run.
void AddFaults(de30::sim::TSimStation &Station, unsigned Seed) {
  using de30::sim::TFaultKind;
  struct TAimed {
    const char *Aim;
    double Probability; // per rule: each kind below is one rule
  };
  const TAimed Frequent[] = {
      {"poll", 0.002}, {"nozzles", 0.002}, {"fill", 0.003}, {"totals", 0.004}};
  const TAimed Commands[] = {
      {"start", 0.02},        {"start-execute", 0.02}, {"stop", 0.02},
      {"stop-execute", 0.02}, {"dose", 0.02},          {"dose-execute", 0.02},
      {"price", 0.02},        {"price-execute", 0.02}, {"reinit", 0.02}};
  Station.SeedFaults(Seed);
  const auto Add = [&Station](const TAimed &A, TFaultKind Kind, std::int64_t DelayMs = 0) {
    de30::sim::TFaultRule Rule;
    Rule.Kind = Kind;
    Rule.Times = -1;
    Rule.Probability = A.Probability;
    Rule.Aim = *de30::sim::AimByName(A.Aim);
    if (DelayMs > 0)
      Rule.DelayMs = DelayMs;
    Station.AddFault(Rule);
  };
  std::vector<TAimed> All(std::begin(Frequent), std::end(Frequent));
  All.insert(All.end(), std::begin(Commands), std::end(Commands));
  for (const auto &A : All) {
    Add(A, TFaultKind::NoReply);
    // Within the line's 300 ms timeout, and after it (the next exchange meets it).
    Add(A, TFaultKind::LateReply, 120);
    Add(A, TFaultKind::LateReply, 420);
    Add(A, TFaultKind::WrongEcho);
    Add(A, TFaultKind::DropByte);
    Add(A, TFaultKind::StrayByte);
    const std::string Aim = A.Aim;
    if (Aim == "fill" || Aim == "totals")
      Add(A, TFaultKind::CorruptDigits);
  }
  // An error status makes the driver re-initialise the pump, which ends a fill.
  Add({"poll", 0.001}, TFaultKind::ErrorStatus);
}

pid_t Spawn(const TOptions &Options) {
  const pid_t Child = ::fork();
  if (Child == 0) {
    const std::string Log = (Options.Dir / "de30d.log").string();
    std::FILE *Out = std::fopen(Log.c_str(), "a");
    if (Out != nullptr) {
      ::dup2(::fileno(Out), 1);
      ::dup2(::fileno(Out), 2);
    }
    const std::string Config = (Options.Dir / "de30d.toml").string();
    ::execl(Options.De30d.c_str(), Options.De30d.c_str(), "--config", Config.c_str(),
            static_cast<char *>(nullptr));
    std::_Exit(127);
  }
  return Child;
}

// A line in de30d's log, written while it is dead, so that a reader of the log
// sees where each run ended.
void Mark(const TOptions &Options, const std::string &Text) {
  std::ofstream Log(Options.Dir / "de30d.log", std::ios::app);
  Log << de30::station::IsoTime(de30::station::NowEpochMs()) << " ---- " << Text << " ----\n";
}

bool WaitHttp(int Port, std::chrono::milliseconds Limit) {
  httplib::Client Client("127.0.0.1", Port);
  Client.set_connection_timeout(0, 200000);
  const auto Until = Clock::now() + Limit;
  while (Clock::now() < Until) {
    auto Reply = Client.Get("/api/v1/pumps");
    if (Reply && Reply->status == 200)
      return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// The POS: authorises its pumps when they call, through de30d whenever it runs.
class TPos {
public:
  TPos(int HttpPort, unsigned Seed) : Port(HttpPort), Random(Seed) {}
  ~TPos() { Finish(); }

  void Start() {
    Thread = std::thread([this] { Serve(); });
  }
  void Finish() {
    Stopping = true;
    if (Thread.joinable())
      Thread.join();
  }
  // No more payments in advance: the station can fall idle.
  void StopPrepaying() { Prepaying = false; }
  std::string Summary() const {
    return std::to_string(Taken.load()) + " authorisations taken, " +
           std::to_string(Prepaid.load()) + " in advance, " + std::to_string(Refused.load()) +
           " refused, " + std::to_string(Uncertain.load()) + " uncertain, " +
           std::to_string(Unanswered.load()) + " unanswered";
  }

private:
  void Serve() {
    httplib::Client Client("127.0.0.1", Port);
    Client.set_connection_timeout(0, 200000);
    Client.set_read_timeout(3, 0);
    std::map<std::string, Clock::time_point> Tried;
    std::map<std::string, std::string> Seen; // each pump's state in the last answer
    while (!Stopping) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + Random() % 40));
      auto Reply = Client.Get("/api/v1/pumps");
      if (!Reply || Reply->status != 200)
        continue;
      const auto Pumps = nlohmann::json::parse(Reply->body, nullptr, false);
      if (!Pumps.is_array())
        continue;
      for (const auto &Pump : Pumps) {
        if (!Pump.is_object())
          continue;
        const int Line = Pump.value("line", 0);
        const int Address = Pump.value("pump", 0);
        const TPlace *P = Find(Line, Address);
        const std::string Id = Name(Line, Address);
        const std::string State = Pump.value("state", "");
        const bool CameIdle = State == "idle" && Seen[Id] != "idle";
        Seen[Id] = State;
        if (P == nullptr || P->Auto || Clock::now() - Tried[Id] < 300ms)
          continue;
        // A customer who calls is served; now and then one pays in advance, for
        // a grade of the pump, before lifting a nozzle.
        int Grade = 0;
        if (State == "calling")
          Grade = Pump.value("grade", 0) != 0 ? Pump.value("grade", 0) : P->Grades.front();
        else if (CameIdle && Prepaying && Random() % 4 == 0)
          Grade = P->Grades[Random() % P->Grades.size()];
        else
          continue;
        Tried[Id] = Clock::now();
        auto Answer = Client.Post("/api/v1/pumps/" + Id + "/authorize", Preset(Id, Grade),
                                  "application/json");
        if (!Answer)
          ++Unanswered;
        else if (Answer->status == 200)
          ++(State == "calling" ? Taken : Prepaid);
        else if (Answer->status == 504)
          ++Uncertain;
        else
          ++Refused;
      }
    }
  }

  // No preset, litres or money. The volume a preset comes to is never a
  // customer's own stop (10, 15, ... litres) nor the pump's previous preset: a
  // fill with the very figures of the fill before it, on a nozzle the totals do
  // not cover, is one the pump's fill data cannot tell from the old one.
  std::string Preset(const std::string &Id, int Grade) {
    for (;;) {
      const auto Kind = Random() % 3;
      if (Kind == 0)
        return "{}";
      std::int64_t Volume = 0;
      std::string Body;
      if (Kind == 1) {
        Volume = 200 + static_cast<std::int64_t>(Random() % 1300);
        Body = "{\"litres\": " + Hundredths(Volume) + "}";
      } else {
        const std::int64_t Money = 300 + static_cast<std::int64_t>(Random() % 2000);
        const auto Price = Prices.count(Grade) != 0 ? Prices.at(Grade) : 100;
        Volume = Money * 100 / Price;
        Body =
            "{\"money\": " + Hundredths(Money) + ", \"grade\": " + std::to_string(Grade) + "}";
      }
      if (Volume % 500 == 0 || Volume == Last[Id])
        continue;
      Last[Id] = Volume;
      return Body;
    }
  }

  int Port;
  std::mt19937 Random;
  std::map<std::string, std::int64_t> Last;
  std::atomic<bool> Stopping{false};
  std::atomic<bool> Prepaying{true};
  std::atomic<int> Taken{0}, Prepaid{0}, Refused{0}, Uncertain{0}, Unanswered{0};
  std::thread Thread;
};

const char *StateName(de30::sim::TPumpState State) {
  using de30::sim::TPumpState;
  switch (State) {
  case TPumpState::Idle:
    return "idle";
  case TPumpState::Calling:
    return "calling";
  case TPumpState::Authorised:
    return "authorised";
  case TPumpState::Fuelling:
    return "fuelling";
  case TPumpState::Finished:
    return "finished";
  case TPumpState::Fault:
    return "fault";
  case TPumpState::Locked:
    return "locked";
  }
  return "?";
}

std::string KindName(de30::sim::TFaultKind Kind) {
  for (const char *Name : {"no-reply", "late-reply", "wrong-echo", "corrupt-digits",
                           "drop-byte", "error-status", "stray-byte"})
    if (de30::sim::FaultByName(Name) == Kind)
      return Name;
  return "fault";
}

// The name de30ctl's --fault option gives the frames of an aim: the most
// specific one ("start-execute" rather than "execute").
std::string AimName(const de30::sim::TFrameAim &Aim) {
  std::string Fallback = "frame";
  const std::string Names = de30::sim::AimNames();
  for (std::size_t From = 0; From < Names.size();) {
    const std::size_t To = std::min(Names.find(", ", From), Names.size());
    const std::string Name = Names.substr(From, To - From);
    From = To + 2;
    const auto Named = de30::sim::AimByName(Name);
    if (!Named || Named->Kind != Aim.Kind)
      continue;
    if (Named->Action == Aim.Action)
      return Name;
    if (Named->Action == de30::sim::TSetAction::Any)
      Fallback = Name;
  }
  return Fallback;
}

// "2026-12-08T22:50:09.123Z" at the start of a log line, in milliseconds since
// the epoch; nullopt for a line that does not start with one.
std::optional<std::int64_t> LogTime(const std::string &Line) {
  std::tm Tm{};
  int Ms = 0;
  if (std::sscanf(Line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &Tm.tm_year, &Tm.tm_mon,
                  &Tm.tm_mday, &Tm.tm_hour, &Tm.tm_min, &Tm.tm_sec, &Ms) != 7)
    return std::nullopt;
  Tm.tm_year -= 1900;
  Tm.tm_mon -= 1;
  return static_cast<std::int64_t>(::timegm(&Tm)) * 1000 + Ms;
}

// What went wrong, each with what the reader needs to find it in de30d's log.
class TReport {
public:
  TReport(const std::filesystem::path &LogFile, std::int64_t WallOffsetMs,
          de30::sim::TSimStation &Station)
      : Log(LogFile), Offset(WallOffsetMs), Spoiled(Station.SpoiledLog()) {
    for (const auto &P : Places)
      Fills[{P.Line, P.Address}] = Station.FillLog(P.Line, P.Address);
  }

  int Count() const { return Faults; }
  std::int64_t OffsetMs() const { return Offset; }

  void Fault(const std::string &Text) {
    std::fprintf(stderr, "kill-restart: %s\n", Text.c_str());
    ++Faults;
  }

  std::string Describe(const de30::station::TSale &Sale) const {
    std::string Flags;
    for (const auto &F : Sale.Flags)
      Flags += (Flags.empty() ? "" : ",") + F;
    auto Totals = [](const de30::station::TTotals &T) {
      return T.Known ? Hundredths(ToHundredths(T.Volume)) : std::string("?");
    };
    return "sale " + std::to_string(Sale.Id) + " (pump " + Sale.PumpId() + " nozzle " +
           std::to_string(Sale.Nozzle) + ", " + Hundredths(ToHundredths(Sale.Volume)) + " l, " +
           Hundredths(ToHundredths(Sale.Amount)) + ", " +
           de30::station::SaleStateName(Sale.State) + " [" + Flags + "], baseline " +
           (Sale.Baseline.Known ? Hundredths(ToHundredths(Sale.Baseline.Volume)) : "?") +
           ", totals " + Totals(Sale.StartTotals) + " -> " + Totals(Sale.EndTotals) +
           ", started " + de30::station::IsoTime(Sale.StartedMs) + ", ended " +
           (Sale.EndedMs != 0 ? de30::station::IsoTime(Sale.EndedMs) : "-") + ")";
  }

  std::string Describe(const de30::sim::TFillRecord &Fill, int Line, int Pump) const {
    return "fill (pump " + Name(Line, Pump) + " nozzle " + std::to_string(Fill.Nozzle) + ", " +
           Hundredths(Fill.Volume) + " l, " + Hundredths(Fill.Amount) + ", ended " +
           de30::station::IsoTime(Fill.EndedMs + Offset) + ")";
  }

  // What happened to a pump between two moments (wall clock, milliseconds since
  // the epoch): de30d's log lines about it, its restarts and the kills, with the
  // replies the station spoiled and the fills the pump ended, in time order.
  void Excerpt(int Line, int Pump, std::int64_t FromMs, std::int64_t ToMs) const {
    std::vector<std::pair<std::int64_t, std::string>> Lines;
    const auto Stamp = [](std::int64_t At) { return de30::station::IsoTime(At) + " "; };
    std::vector<const de30::sim::TSpoiledReply *> Around;
    for (const auto &S : Spoiled)
      if (S.Line == Line && S.Pump == Pump && S.AtMs + Offset >= FromMs &&
          S.AtMs + Offset <= ToMs)
        Around.push_back(&S);
    // A pump alone on its line is polled so often that lost polls would hide the
    // rest; an error status stays, as it makes the driver re-initialise the pump.
    std::size_t Left = 0;
    for (const auto *S : Around) {
      const bool Poll = S->Aim.Kind == de30::sim::TFrameKind::StatusPoll ||
                        S->Aim.Kind == de30::sim::TFrameKind::NozzlePoll;
      if (Around.size() > 40 && Poll && S->Kind != de30::sim::TFaultKind::ErrorStatus) {
        ++Left;
        continue;
      }
      Lines.emplace_back(S->AtMs + Offset, Stamp(S->AtMs + Offset) + "(station) " +
                                               KindName(S->Kind) + " on a " + AimName(S->Aim) +
                                               " reply");
    }
    if (Left > 0)
      std::fprintf(stderr, "    | (%zu spoiled poll replies left out)\n", Left);
    const auto Own = Fills.find({Line, Pump});
    if (Own != Fills.end())
      for (const auto &F : Own->second)
        if (F.EndedMs + Offset >= FromMs && F.EndedMs + Offset <= ToMs)
          Lines.emplace_back(F.EndedMs + Offset,
                             Stamp(F.EndedMs + Offset) + "(station) fill ended: nozzle " +
                                 std::to_string(F.Nozzle) + ", " + Hundredths(F.Volume) +
                                 " l, " + Hundredths(F.Amount));
    std::ifstream In(Log);
    const std::string Id = "pump " + Name(Line, Pump) + " ";
    std::string Text;
    while (std::getline(In, Text)) {
      const auto At = LogTime(Text);
      if (!At || *At < FromMs || *At > ToMs || Text.find("prices of pump") != std::string::npos)
        continue;
      if (Text.find(Id) != std::string::npos || Text.find(" ---- ") != std::string::npos ||
          Text.find(" station kill-restart") != std::string::npos)
        Lines.emplace_back(*At, Text);
    }
    std::stable_sort(Lines.begin(), Lines.end(),
                     [](const auto &A, const auto &B) { return A.first < B.first; });
    if (Lines.size() > 120)
      Lines.resize(120);
    for (const auto &Shown : Lines)
      std::fprintf(stderr, "    | %s\n", Shown.second.c_str());
  }

private:
  std::filesystem::path Log;
  std::int64_t Offset; // wall clock minus the simulated station's clock
  std::vector<de30::sim::TSpoiledReply> Spoiled;
  std::map<std::pair<int, int>, std::vector<de30::sim::TFillRecord>> Fills;
  int Faults = 0;
};

// Pairs a pump's fills with its sales with fuel: each fill must be a sale of the
// same nozzle with its very volume and amount, and each sale such a fill.
void MatchPump(const TPlace &P, const std::vector<de30::sim::TFillRecord> &Fills,
               const std::vector<const de30::station::TSale *> &Sales, TReport &Report) {
  using de30::sim::TFillRecord;
  using de30::station::TSale;
  const auto Figures = [](const TFillRecord &F, const TSale &S) {
    return ToHundredths(S.Volume) == F.Volume && ToHundredths(S.Amount) == F.Amount;
  };
  std::vector<bool> SaleMatched(Sales.size(), false);
  std::vector<bool> FillMatched(Fills.size(), false);
  std::set<int> NozzlesFilled;
  // Fills and sales of a pump come in the same order: look from the last match on.
  std::size_t Next = 0;
  for (std::size_t F = 0; F < Fills.size(); ++F) {
    NozzlesFilled.insert(Fills[F].Nozzle);
    std::optional<std::size_t> Found;
    for (std::size_t Pass = 0; Pass < 2 && !Found; ++Pass)
      for (std::size_t I = Pass == 0 ? Next : 0;
           I < (Pass == 0 ? Sales.size() : Next) && !Found; ++I)
        if (!SaleMatched[I] && Sales[I]->Nozzle == Fills[F].Nozzle &&
            Figures(Fills[F], *Sales[I]))
          Found = I;
    if (Found) {
      SaleMatched[*Found] = FillMatched[F] = true;
      Next = std::max(Next, *Found + 1);
    }
  }
  const auto SaleWindow = [&Report, &P](const TSale &Sale) {
    Report.Excerpt(P.Line, P.Address, Sale.StartedMs - 3000,
                   (Sale.EndedMs != 0 ? Sale.EndedMs : Sale.StartedMs) + 1000);
  };
  // A sale with a fill's figures on another nozzle (or none).
  for (std::size_t F = 0; F < Fills.size(); ++F) {
    for (std::size_t I = 0; I < Sales.size() && !FillMatched[F]; ++I) {
      if (SaleMatched[I] || !Figures(Fills[F], *Sales[I]))
        continue;
      SaleMatched[I] = FillMatched[F] = true;
      Report.Fault("the wrong nozzle: " + Report.Describe(*Sales[I]) + " is the " +
                   Report.Describe(Fills[F], P.Line, P.Address));
      SaleWindow(*Sales[I]);
    }
  }
  for (std::size_t F = 0; F < Fills.size(); ++F) {
    if (FillMatched[F])
      continue;
    const auto &Fill = Fills[F];
    const std::int64_t At = Fill.EndedMs + Report.OffsetMs();
    Report.Fault("not in the journal: " + Report.Describe(Fill, P.Line, P.Address));
    // The sale open when the fill ended, if any.
    for (const TSale *S : Sales)
      if (S->StartedMs <= At && (S->EndedMs == 0 || S->EndedMs >= At))
        std::fprintf(stderr, "  open when it ended: %s\n", Report.Describe(*S).c_str());
    Report.Excerpt(P.Line, P.Address, At - 4000, At + 2000);
  }
  for (std::size_t I = 0; I < Sales.size(); ++I) {
    if (SaleMatched[I])
      continue;
    const TSale &Sale = *Sales[I];
    Report.Fault("no fill for " + Report.Describe(Sale));
    for (const auto &Fill : Fills) {
      const std::int64_t At = Fill.EndedMs + Report.OffsetMs();
      if (At >= Sale.StartedMs && (Sale.EndedMs == 0 || At <= Sale.EndedMs))
        std::fprintf(stderr, "  ended while it was open: %s\n",
                     Report.Describe(Fill, P.Line, P.Address).c_str());
    }
    SaleWindow(Sale);
  }
  for (int K = 1; K <= static_cast<int>(P.Grades.size()); ++K)
    if (NozzlesFilled.count(K) == 0)
      Report.Fault("no fill on nozzle " + std::to_string(K) + " of pump " +
                   Name(P.Line, P.Address) + ": the run proves nothing about it");
}

struct TCounts {
  std::size_t Fills = 0, ZeroFills = 0, Sales = 0, EmptySales = 0;
};

TCounts Check(de30::sim::TSimStation &Station, const std::filesystem::path &Journal,
              TReport &Report) {
  using de30::station::TSale;
  using de30::station::TSaleState;
  de30::station::TJournal Book(Journal);
  de30::station::TSaleFilter All;
  All.Limit = 1000000;
  auto Sales = Book.Sales(All);
  std::sort(Sales.begin(), Sales.end(),
            [](const TSale &A, const TSale &B) { return A.Id < B.Id; });
  TCounts Counts;
  Counts.Sales = Sales.size();

  const auto Open = Book.CountByState()[TSaleState::Open];
  if (Open != 0)
    Report.Fault(std::to_string(Open) + " sale(s) still open");

  std::map<std::pair<int, int>, std::vector<const TSale *>> WithFuel;
  for (const auto &Sale : Sales) {
    const TPlace *P = Find(Sale.Line, Sale.Pump);
    if (P == nullptr) {
      Report.Fault("a sale of a pump the station does not have: " + Report.Describe(Sale));
      continue;
    }
    if (Sale.Volume > 0.0) {
      WithFuel[{Sale.Line, Sale.Pump}].push_back(&Sale);
      if (Sale.HasFlag(de30::station::FlagEmpty))
        Report.Fault("a sale with fuel flagged empty: " + Report.Describe(Sale));
    } else {
      ++Counts.EmptySales;
      if (Sale.State != TSaleState::Cleared || !Sale.HasFlag(de30::station::FlagEmpty))
        Report.Fault("a sale without fuel not closed as cleared and empty: " +
                     Report.Describe(Sale));
    }
    if (Covers(*P, Sale.Nozzle) && !Sale.HasFlag(de30::station::FlagNoTotals)) {
      if (!Sale.StartTotals.Known || !Sale.EndTotals.Known)
        Report.Fault("totals missing without no_totals: " + Report.Describe(Sale));
      else if (ToHundredths(Sale.EndTotals.Volume) - ToHundredths(Sale.StartTotals.Volume) !=
               ToHundredths(Sale.Volume))
        Report.Fault("volume is not the totals delta: " + Report.Describe(Sale));
    }
  }

  for (const auto &P : Places) {
    std::vector<de30::sim::TFillRecord> Fills;
    for (const auto &Fill : Station.FillLog(P.Line, P.Address))
      if (Fill.Volume > 0)
        Fills.push_back(Fill);
      else
        ++Counts.ZeroFills;
    Counts.Fills += Fills.size();
    MatchPump(P, Fills, WithFuel[{P.Line, P.Address}], Report);
  }
  return Counts;
}

void Stop(pid_t Child, int Signal) {
  ::kill(Child, Signal);
  ::waitpid(Child, nullptr, 0);
}

// How de30d ended, when it has: "" while it runs.
std::string Ended(pid_t Child) {
  int Status = 0;
  if (::waitpid(Child, &Status, WNOHANG) != Child)
    return "";
  if (WIFEXITED(Status))
    return "exited with " + std::to_string(WEXITSTATUS(Status));
  return "ended by signal " + std::to_string(WIFSIGNALED(Status) ? WTERMSIG(Status) : 0);
}

int Run(const TOptions &Options) {
  const auto Began = Clock::now();
  std::filesystem::create_directories(Options.Dir);
  for (const char *File : {"journal.db", "journal.db-wal", "journal.db-shm", "de30d.log"})
    std::filesystem::remove(Options.Dir / File);
  de30::sim::TSteadyClock SimClock;
  de30::sim::TSimStation Station(SimClock);
  const std::int64_t WallOffset = de30::station::NowEpochMs() - SimClock.NowMs();
  std::vector<std::unique_ptr<de30::sim::TStationServer>> Servers;
  std::map<int, int> LinePorts;
  for (const auto &P : Places) {
    de30::sim::TPumpConfig Pump;
    Pump.Address = static_cast<std::uint8_t>(P.Address);
    Pump.Nozzles = static_cast<int>(P.Grades.size());
    Pump.Totals = P.Totals;
    Pump.FlowRate = P.FlowRate; // 15 to 25 litres a second: fills of a second or so
    Pump.StartDelayMs = 150;
    Pump.AutoCustomer = true;
    Pump.IdleMs = P.IdleMs;
    Pump.HangMs = 250;
    // A restarted driver shows a lifted nozzle only once the pump has reported
    // idle: the customer nobody serves walks away and comes back.
    Pump.WaitMs = 2500;
    Pump.LogFills = true;
    Station.AddPump(P.Line, Pump);
    if (LinePorts.count(P.Line) == 0) {
      std::string Error;
      auto Server = de30::sim::TStationServer::OnTcp(Station, P.Line, 0, Error);
      if (!Server) {
        std::fprintf(stderr, "kill-restart: line %d: %s\n", P.Line, Error.c_str());
        return 2;
      }
      LinePorts[P.Line] = Server->Port();
      Servers.push_back(std::move(Server));
    }
  }
  // No customer comes until de30d has set the prices.
  Station.SetArrivals(false);
  for (auto &Server : Servers)
    Server->Start();
  const int HttpPort = FreePort();
  WriteConfig(Options, HttpPort, LinePorts);

  std::mt19937 Random(Options.Seed);
  std::vector<std::string> Crashes; // de30d ending other than by the test's kills
  // The first start sets the prices the pumps sell at; the journal keeps them.
  pid_t Child = Spawn(Options);
  if (!WaitHttp(HttpPort, 10s)) {
    std::fprintf(stderr, "kill-restart: de30d did not come up (see %s)\n",
                 (Options.Dir / "de30d.log").c_str());
    Stop(Child, SIGKILL);
    return 2;
  }
  httplib::Client Client("127.0.0.1", HttpPort);
  Client.set_read_timeout(5, 0);
  std::string Body;
  for (const auto &[Grade, Price] : Prices)
    Body += (Body.empty() ? "{" : ", ") + ("\"" + std::to_string(Grade) + "\": ") +
            Hundredths(Price);
  auto Set = Client.Put("/api/v1/prices", Body + "}", "application/json");
  if (!Set || Set->status != 200) {
    std::fprintf(stderr, "kill-restart: setting prices failed: %s\n",
                 Set ? (std::to_string(Set->status) + " " + Set->body).c_str()
                     : httplib::to_string(Set.error()).c_str());
    Stop(Child, SIGKILL);
    return 2;
  }
  AddFaults(Station, Options.Seed);
  Station.KeepSpoiledLog(true);
  Station.SetArrivals(true);
  TPos Pos(HttpPort, Options.Seed + 1);
  Pos.Start();
  for (int Kill = 1; Kill <= Options.Kills; ++Kill) {
    // Mostly within 2 s of the start; one run in three long enough for de30d to
    // close what the runs before left open (a recovered sale closes once its
    // fill has stood still for 2 s).
    const auto Alive = Random() % 3 == 0 ? 2000 + Random() % 2500 : 200 + Random() % 1800;
    std::this_thread::sleep_for(std::chrono::milliseconds(Alive));
    if (const std::string How = Ended(Child); !How.empty())
      Crashes.push_back("before kill " + std::to_string(Kill) + " de30d " + How);
    else
      Stop(Child, SIGKILL);
    Mark(Options, "kill " + std::to_string(Kill) + " of " + std::to_string(Options.Kills));
    // Sometimes de30d stays dead a while: fills go on without it.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(Random() % 3 == 0 ? Random() % 1500 : 0));
    Child = Spawn(Options);
    if (Kill % 10 == 0 || Kill == Options.Kills) {
      std::printf("kill-restart: %d of %d kills\n", Kill, Options.Kills);
      std::fflush(stdout);
    }
  }

  // Settle: no more faults and no new customer; those at the pumps finish (the
  // POS still serves them), and de30d closes every sale.
  Station.ClearFaults();
  Station.SetArrivals(false);
  Pos.StopPrepaying();
  Mark(Options, "settling: faults lifted, no new customers");
  bool Settled = false;
  std::string Unsettled; // why not, at the last look
  std::optional<Clock::time_point> QuietSince;
  Client.set_connection_timeout(1, 0);
  const auto Until = Clock::now() + 60s;
  while (!Settled && Clock::now() < Until) {
    std::this_thread::sleep_for(200ms);
    if (const std::string How = Ended(Child); !How.empty()) {
      Crashes.push_back("while settling de30d " + How);
      Child = Spawn(Options);
    }
    Unsettled.clear();
    for (const auto &P : Places) {
      const auto View = Station.View(P.Line, P.Address);
      if (View.State != de30::sim::TPumpState::Idle || View.Lifted != 0)
        Unsettled += "pump " + Name(P.Line, P.Address) + " " + StateName(View.State) +
                     " (nozzle " + std::to_string(View.Lifted) + " lifted); ";
    }
    auto Open = Client.Get("/api/v1/sales?state=open");
    if (!Open || Open->status != 200)
      Unsettled += "de30d does not answer";
    else if (Open->body.find("\"id\"") != std::string::npos)
      Unsettled += "open sales: " + Open->body;
    if (!Unsettled.empty()) {
      QuietSince.reset();
      continue;
    }
    // Every pump idle and nothing open for a few seconds: de30d has polled each
    // pump many times since, and has nothing left to close.
    if (!QuietSince)
      QuietSince = Clock::now();
    Settled = Clock::now() - *QuietSince >= 3s;
  }
  Pos.Finish();
  ::kill(Child, SIGTERM);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    Crashes.push_back("de30d did not stop cleanly on SIGTERM (wait status " +
                      std::to_string(Status) + ")");
  for (auto &Server : Servers)
    Server->Halt();

  TReport Report(Options.Dir / "de30d.log", WallOffset, Station);
  for (const auto &Crash : Crashes)
    Report.Fault(Crash);
  if (!Settled)
    Report.Fault("the station did not settle within 60 s: " + Unsettled);
  const TCounts Counts = Check(Station, Options.Dir / "journal.db", Report);
  if (Counts.Fills == 0)
    Report.Fault("no fill happened: the run proves nothing");
  std::size_t Spoiled = 0;
  for (const auto &[Line, Port] : LinePorts)
    Spoiled += Station.Spoiled(Line);
  const double Seconds = std::chrono::duration<double>(Clock::now() - Began).count();
  std::printf("kill-restart: seed %u, %d kills, %zu fills (%zu without fuel), %zu sales (%zu "
              "empty), %zu faults injected, %.1f s: %d mismatch(es)\n",
              Options.Seed, Options.Kills, Counts.Fills, Counts.ZeroFills, Counts.Sales,
              Counts.EmptySales, Spoiled, Seconds, Report.Count());
  std::printf("kill-restart: POS: %s\n", Pos.Summary().c_str());
  std::map<std::string, int> ByAim;
  for (const auto &S : Station.SpoiledLog())
    ++ByAim[AimName(S.Aim)];
  std::string Faults;
  for (const auto &[Aim, Count] : ByAim)
    Faults += (Faults.empty() ? "" : ", ") + Aim + " " + std::to_string(Count);
  std::printf("kill-restart: faults by frame: %s\n", Faults.c_str());
  if (Report.Count() != 0)
    std::printf("kill-restart: de30d's log: %s\n", (Options.Dir / "de30d.log").c_str());
  return Report.Count() == 0 ? 0 : 1;
}

} // namespace

int main(int Argc, char **Argv) {
  TOptions Options;
  Options.Dir =
      std::filesystem::temp_directory_path() / ("de30-kill-" + std::to_string(::getpid()));
  const auto Usage = [Argv] {
    std::fprintf(stderr, "usage: %s --de30d PATH [--kills N] [--seed S] [--dir DIR]\n",
                 Argv[0]);
    return 2;
  };
  for (int I = 1; I + 1 < Argc; I += 2) {
    const std::string Option = Argv[I];
    const std::string Value = Argv[I + 1];
    if (Option == "--de30d")
      Options.De30d = Value;
    else if (Option == "--kills")
      Options.Kills = std::stoi(Value);
    else if (Option == "--seed")
      Options.Seed = static_cast<unsigned>(std::stoul(Value));
    else if (Option == "--dir")
      Options.Dir = Value;
    else
      return Usage();
  }
  if (Options.De30d.empty() || Argc % 2 == 0)
    return Usage();
  ::signal(SIGPIPE, SIG_IGN);
  return Run(Options);
}
