// A long run of random driver operations against the in-process simulated station,
// with every kind of station fault firing at random (seeded: the same seed plays
// the same run). Customers use the pumps on the station's clock, which the run
// moves on a little with every operation. Resident memory is sampled at intervals;
// the run fails when it grows after the warm-up. Run it under LeakSanitizer (the
// asan preset) to prove that nothing leaks, with --allowed-growth -1: the
// sanitizer's quarantine and allocation records grow on their own. scripts/soak.sh
// does both.
//   de30_soak [--operations N] [--seed S] [--samples K] [--allowed-growth KiB]
#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/sim_channel.hpp"
#include "sim/station.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace {

using namespace de30;

// Growth allowed after the warm-up by default: a page or two of allocator
// bookkeeping, far below what even one leaked byte per operation would add.
constexpr long DefaultGrowthKiB = 64;

// Anonymous resident memory (heap, stacks): the pages of the program's own code and
// libraries that a rare path touches for the first time are file-backed and would
// only blur the figure.
long ResidentKiB() {
  std::ifstream Status("/proc/self/status");
  std::string Word;
  while (Status >> Word)
    if (Word == "RssAnon:") {
      long KiB = 0;
      Status >> KiB;
      return KiB;
    }
  return 0;
}

struct TOptions {
  long Operations = 1000000;
  std::uint32_t Seed = 1;
  int Samples = 20;
  long AllowedGrowthKiB = DefaultGrowthKiB; // negative: report only
};

TOptions Parse(int Argc, char **Argv) {
  TOptions O;
  for (int I = 1; I + 1 < Argc; I += 2) {
    const long Value = std::strtol(Argv[I + 1], nullptr, 10);
    if (std::strcmp(Argv[I], "--operations") == 0 && Value > 0)
      O.Operations = Value;
    else if (std::strcmp(Argv[I], "--seed") == 0)
      O.Seed = static_cast<std::uint32_t>(Value);
    else if (std::strcmp(Argv[I], "--samples") == 0 && Value > 1)
      O.Samples = static_cast<int>(Value);
    else if (std::strcmp(Argv[I], "--allowed-growth") == 0)
      O.AllowedGrowthKiB = Value;
    else
      throw std::invalid_argument(std::string("unknown option or bad value: ") + Argv[I]);
  }
  return O;
}

// Two lines: pumps of one, two and four nozzles, with customers; address 9 on
// line 1 has no pump, so operations on it time out.
void Build(sim::TSimStation &Station) {
  const struct {
    int Line, Address, Nozzles;
  } Pumps[] = {{1, 1, 1}, {1, 2, 2}, {1, 3, 4}, {2, 1, 4}, {2, 5, 2}};
  for (const auto &P : Pumps) {
    sim::TPumpConfig Config;
    Config.Address = static_cast<std::uint8_t>(P.Address);
    Config.Nozzles = P.Nozzles;
    Config.AutoCustomer = true;
    Config.IdleMs = 1500 + 700 * P.Address;
    Config.HangMs = 800;
    Config.FlowRate = 400;
    Station.AddPump(P.Line, Config);
  }
  for (const sim::TFaultKind Kind :
       {sim::TFaultKind::NoReply, sim::TFaultKind::LateReply, sim::TFaultKind::WrongEcho,
        sim::TFaultKind::CorruptDigits, sim::TFaultKind::DropByte, sim::TFaultKind::ErrorStatus,
        sim::TFaultKind::StrayByte}) {
    sim::TFaultRule Rule;
    Rule.Kind = Kind;
    Rule.Times = -1;
    Rule.Probability = 0.01;
    Station.AddFault(Rule);
  }
}

struct TCounts {
  long Done = 0, SerialIO = 0, Range = 0;
};

// One random host operation; the driver's documented failures are counted, any
// other exception ends the run.
void Operate(TVM30 &Driver, std::mt19937 &Random, TCounts &Counts) {
  const auto Pick = [&](int Low, int High) {
    return std::uniform_int_distribution<int>(Low, High)(Random);
  };
  // One operation in twenty on address 9, where no pump answers.
  const int Line = Pick(1, 2);
  const int Pumps[2][3] = {{1, 2, 3}, {1, 5, 5}};
  const int Pump = Pick(0, 19) == 0 ? 9 : Pumps[Line - 1][Pick(0, 2)];
  const auto L = static_cast<std::uint8_t>(Line);
  const auto P = static_cast<std::uint8_t>(Pump);
  double A = 0, B = 0;
  TSostRecord Record{};
  try {
    switch (Pick(0, 11)) {
    case 0:
    case 1:
      Driver.GetSost(L, P);
      break;
    case 2:
    case 3:
      Driver.GetSostEx(L, P, static_cast<std::uint8_t>(Pick(1, 4)), Record);
      break;
    case 4:
      Driver.StartPump(Line, Pump);
      break;
    case 5:
      Driver.StopPump(Line, Pump);
      break;
    case 6:
      Driver.SetPrice(Line, Pump, Pick(1, 6), Pick(0, 12000) / 100.0);
      break;
    case 7:
      Driver.SetDoseLitres(Line, Pump, Pick(0, 1100000) / 100.0);
      break;
    case 8:
      Driver.SetDoseMoney(Line, Pump, Pick(1, 6), Pick(0, 500000) / 100.0);
      break;
    case 9:
      Driver.GetFillData(Line, Pump, A, B);
      break;
    case 10:
      Driver.GetTotals(Line, Pump, A, B);
      break;
    default:
      Driver.UnblockPump(Line, Pump, Pick(0, 255));
      break;
    }
    ++Counts.Done;
  } catch (const ESerialIO &) {
    ++Counts.SerialIO;
  } catch (const ERangeError &) {
    ++Counts.Range;
  }
}

} // namespace

int main(int Argc, char **Argv) {
  TOptions O;
  try {
    O = Parse(Argc, Argv);
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "de30_soak: %s\n", Error.what());
    return 2;
  }
  sim::TManualClock Clock;
  sim::TSimStation Station(Clock);
  Build(Station);
  Station.SeedFaults(O.Seed);
  sim::TSimChannel Channel(Station);
  sim::TClockPauser Pauser(Clock);
  auto Driver = GetDE30(0, 0, &Channel, &Pauser);
  Driver->InitLine(1);
  Driver->InitLine(2);

  std::mt19937 Random(O.Seed);
  TCounts Counts;
  const long Every = O.Operations / O.Samples;
  long WarmKiB = 0, PeakKiB = 0, LastKiB = 0;
  std::printf("operations  anonymous resident KiB\n");
  const auto Began = std::chrono::steady_clock::now();
  for (long I = 1; I <= O.Operations; ++I) {
    Operate(*Driver, Random, Counts);
    Clock.Advance(25);
    if (I % Every == 0 || I == O.Operations) {
      LastKiB = ResidentKiB();
      if (WarmKiB == 0)
        WarmKiB = LastKiB; // after the first interval: every table and buffer in use
      PeakKiB = LastKiB > PeakKiB ? LastKiB : PeakKiB;
      std::printf("%10ld  %ld\n", I, LastKiB);
    }
  }
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Began).count();
  std::printf("%ld operations in %.1f s (%.0f a second): %ld completed, %ld ESerialIO, %ld "
              "ERangeError\n",
              O.Operations, Seconds, O.Operations / Seconds, Counts.Done, Counts.SerialIO,
              Counts.Range);
  std::printf("station: %zu + %zu frames handled, %zu + %zu garbage bytes\n", Station.Frames(1),
              Station.Frames(2), Station.Garbage(1), Station.Garbage(2));
  std::printf("anonymous resident memory: %ld KiB after the first interval, %ld KiB at the "
              "end, peak %ld "
              "KiB\n",
              WarmKiB, LastKiB, PeakKiB);
  if (O.AllowedGrowthKiB >= 0 && PeakKiB - WarmKiB > O.AllowedGrowthKiB) {
    std::printf("FAILED: resident memory grew by %ld KiB\n", PeakKiB - WarmKiB);
    return 1;
  }
  if (Counts.Done == 0 || Counts.SerialIO == 0) {
    std::printf("FAILED: the run did not exercise both success and failure\n");
    return 1;
  }
  std::puts(O.AllowedGrowthKiB >= 0 ? "memory flat" : "memory not judged");
  return 0;
}
