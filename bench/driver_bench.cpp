// The driver's own cost per operation, with a channel that answers at once from
// memory. Targets (Release build): each single-exchange operation at most 100 ns,
// GetSostEx with four nozzles at most 300 ns, a GetSostEx sweep over 32 lines x 31
// pumps at most 300 us.
#include "de30/driver.hpp"
#include "support/exposed.hpp"
#include "support/memory_channel.hpp"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using de30::TVM30;
using de30::test::Exposed;
using de30::test::TMemoryChannel;

constexpr std::uint8_t L = 2, P = 3;

// A driver on a memory channel whose pumps report idle with nozzle 3 active
// (reply byte 1 = 0x00, byte 3 = 0xA0), so every poll is accepted and translated.
struct TBench {
  TMemoryChannel Channel;
  std::unique_ptr<TVM30> Driver;

  TBench() : Driver(de30::GetDE30(0, 0, &Channel, &Channel)) {
    Channel.Reply[3] = 0xA0;
    for (int Line = 1; Line <= de30::LineCount; ++Line)
      for (int Pump = 1; Pump <= de30::PumpCount; ++Pump)
        Exposed(*Driver).NozzleCount[Line][Pump] = 1;
  }
};

template <typename TOperation> void Run(benchmark::State &State, TOperation Operation) {
  TBench Bench;
  for (auto _ : State)
    Operation(*Bench.Driver);
}

// One exchange.
void GetSost(benchmark::State &State) {
  Run(State, [](TVM30 &D) { benchmark::DoNotOptimize(D.GetSost(L, P)); });
}
void GetSostExOneNozzle(benchmark::State &State) {
  de30::TSostRecord Record{};
  Run(State, [&Record](TVM30 &D) {
    D.GetSostEx(L, P, 1, Record);
    benchmark::DoNotOptimize(Record);
  });
}
void ReadFill(benchmark::State &State) {
  double Value2 = 0;
  Run(State, [&Value2](TVM30 &D) {
    benchmark::DoNotOptimize(D.ReadFill(L, P, Value2));
    benchmark::DoNotOptimize(Value2);
  });
}
void GetFillData(benchmark::State &State) {
  double Value1 = 0, Value2 = 0;
  Run(State, [&](TVM30 &D) {
    D.GetFillData(L, P, Value1, Value2);
    benchmark::DoNotOptimize(Value1);
    benchmark::DoNotOptimize(Value2);
  });
}
// No exchange: the price is stored until the nozzle count is known.
void SetPriceStoredOnly(benchmark::State &State) {
  Run(State, [](TVM30 &D) {
    Exposed(D).NozzleCount[L][P] = 0;
    D.SetPrice(L, P, 2, 45.5);
  });
}

// Two exchanges: a command 4 and its execute command, or the two totals requests.
void StopPump(benchmark::State &State) {
  Run(State, [](TVM30 &D) { benchmark::DoNotOptimize(D.StopPump(L, P)); });
}
void StartPump(benchmark::State &State) {
  Run(State, [](TVM30 &D) { D.StartPump(L, P); });
}
void SetPriceOneNozzle(benchmark::State &State) {
  Run(State, [](TVM30 &D) { D.SetPrice(L, P, 1, 45.5); });
}
void SetPriceFiveGrades(benchmark::State &State) {
  Run(State, [](TVM30 &D) {
    Exposed(D).NozzleCount[L][P] = 2;
    D.SetPrice(L, P, 1, 45.5);
  });
}
void SetDoseLitres(benchmark::State &State) {
  Run(State, [](TVM30 &D) { D.SetDoseLitres(L, P, 12.34); });
}
void SetDoseMoney(benchmark::State &State) {
  Run(State, [](TVM30 &D) { D.SetDoseMoney(L, P, 1, 100.0); });
}
void GetTotals(benchmark::State &State) {
  double Total1 = 0, Total2 = 0;
  Run(State, [&](TVM30 &D) {
    D.GetTotals(L, P, Total1, Total2);
    benchmark::DoNotOptimize(Total1);
    benchmark::DoNotOptimize(Total2);
  });
}
// GetSostEx with four nozzles: the short poll and the nozzle poll.
void GetSostExFourNozzles(benchmark::State &State) {
  de30::TSostRecord Record{};
  Run(State, [&Record](TVM30 &D) {
    D.GetSostEx(L, P, 4, Record);
    benchmark::DoNotOptimize(Record);
  });
}

// Three exchanges.
void UnblockPump(benchmark::State &State) {
  Run(State, [](TVM30 &D) { D.UnblockPump(L, P, 7); });
}

// A whole station: every pump address 1..31 of every line, four nozzles each.
void SweepGetSostEx(benchmark::State &State) {
  de30::TSostRecord Record{};
  Run(State, [&Record](TVM30 &D) {
    for (int Line = 1; Line <= de30::LineCount; ++Line)
      for (int Pump = 1; Pump <= 31; ++Pump) {
        D.GetSostEx(static_cast<std::uint8_t>(Line), static_cast<std::uint8_t>(Pump), 4,
                    Record);
        benchmark::DoNotOptimize(Record);
      }
  });
}

} // namespace

BENCHMARK(GetSost);
BENCHMARK(GetSostExOneNozzle);
BENCHMARK(ReadFill);
BENCHMARK(GetFillData);
BENCHMARK(SetPriceStoredOnly);
BENCHMARK(StopPump);
BENCHMARK(StartPump);
BENCHMARK(SetPriceOneNozzle);
BENCHMARK(SetPriceFiveGrades);
BENCHMARK(SetDoseLitres);
BENCHMARK(SetDoseMoney);
BENCHMARK(GetTotals);
BENCHMARK(GetSostExFourNozzles);
BENCHMARK(UnblockPump);
BENCHMARK(SweepGetSostEx)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
