// After creation the driver must not touch the heap: every operation, on its
// normal path, runs on fixed tables and stack buffers. This binary replaces the
// global allocation functions to count calls. (Exceptions are left out: throwing
// allocates the exception object in any C++ runtime.)
#include "de30/driver.hpp"
#include "support/exposed.hpp"
#include "support/memory_channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

namespace {
std::atomic<std::size_t> Allocations{0};

void *Allocate(std::size_t Size) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  if (void *Block = std::malloc(Size == 0 ? 1 : Size))
    return Block;
  throw std::bad_alloc();
}
} // namespace

void *operator new(std::size_t Size) { return Allocate(Size); }
void *operator new[](std::size_t Size) { return Allocate(Size); }
void *operator new(std::size_t Size, const std::nothrow_t &) noexcept {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(Size == 0 ? 1 : Size);
}
void *operator new[](std::size_t Size, const std::nothrow_t &) noexcept {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(Size == 0 ? 1 : Size);
}
void operator delete(void *Block) noexcept { std::free(Block); }
void operator delete[](void *Block) noexcept { std::free(Block); }
void operator delete(void *Block, std::size_t) noexcept { std::free(Block); }
void operator delete[](void *Block, std::size_t) noexcept { std::free(Block); }

namespace de30::test {
namespace {

struct TOperation {
  const char *Name;
  std::function<void(TVM30 &)> Run;
};

constexpr std::uint8_t L = 2, P = 3;

// Every position with an arguments set that takes its longest normal path.
std::vector<TOperation> Operations() {
  static double Value1 = 0, Value2 = 0;
  static std::int32_t Capability = 0;
  static TSostRecord Record{};
  return {
      {"GetIdent", [](TVM30 &D) { (void)D.GetIdent(); }},
      {"SetLineState", [](TVM30 &D) { D.SetLineState(L, 1); }},
      {"GetLineState", [](TVM30 &D) { (void)D.GetLineState(L); }},
      {"StopPump", [](TVM30 &D) { (void)D.StopPump(L, P); }},
      {"Spares",
       [](TVM30 &D) {
         D.Spare5();
         D.Spare8();
         D.Spare12();
         D.Spare17();
         D.Spare18();
       }},
      {"GetFillData", [](TVM30 &D) { D.GetFillData(L, P, Value1, Value2); }},
      {"GetTotals",
       [](TVM30 &D) {
         Exposed(D).NozzleCount[L][P] = 2;
         D.GetTotals(L, P, Value1, Value2);
       }},
      {"ReadFill", [](TVM30 &D) { Value1 = D.ReadFill(L, P, Value2); }},
      {"GetSost", [](TVM30 &D) { (void)D.GetSost(L, P); }},
      {"SetPrice",
       [](TVM30 &D) {
         Exposed(D).NozzleCount[L][P] = 2;
         D.SetPrice(L, P, 1, 45.5);
       }},
      {"SetDoseLitres", [](TVM30 &D) { D.SetDoseLitres(L, P, 12.34); }},
      {"SetDoseMoney", [](TVM30 &D) { D.SetDoseMoney(L, P, 1, 10.0); }},
      {"StartPump", [](TVM30 &D) { D.StartPump(L, P); }},
      {"InitLine", [](TVM30 &D) { (void)D.InitLine(L); }},
      {"StartPumpEx", [](TVM30 &D) { D.StartPumpEx(L, P); }},
      {"GetCapability", [](TVM30 &D) { (void)D.GetCapability(2, Capability); }},
      {"GetSostExOneNozzle", [](TVM30 &D) { D.GetSostEx(L, P, 1, Record); }},
      {"GetSostExFourNozzles", [](TVM30 &D) { D.GetSostEx(L, P, 4, Record); }},
      {"StopPumpIf", [](TVM30 &D) { D.StopPumpIf(L, P, 1); }},
      {"UnblockPump", [](TVM30 &D) { D.UnblockPump(L, P, 7); }},
  };
}

class NoAllocation : public testing::TestWithParam<TOperation> {};

TEST_P(NoAllocation, AfterCreation) {
  TMemoryChannel Channel;
  // A status byte that re-initialises the pump, and nozzle nibbles 2 and 10, so
  // the polls take their longest paths.
  Channel.Reply[1] = 0x59;
  Channel.Reply[3] = 0x2A;
  auto Driver = GetDE30(0, 0, &Channel, &Channel);
  Exposed(*Driver).Authorized[L][P] = 1;
  Exposed(*Driver).CountDown[L][P] = StartPolls;

  const std::size_t Before = Allocations.load();
  for (int Round = 0; Round < 8; ++Round)
    GetParam().Run(*Driver);
  const std::size_t During = Allocations.load() - Before;
  EXPECT_EQ(During, 0u) << GetParam().Name << " allocated";
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, NoAllocation, testing::ValuesIn(Operations()),
                         [](const testing::TestParamInfo<TOperation> &Info) {
                           return std::string(Info.param.Name);
                         });

// The counter itself must see the allocations it is there to catch.
TEST(AllocationCounter, CountsAnAllocation) {
  const std::size_t Before = Allocations.load();
  auto Block = std::make_unique<int>(5);
  EXPECT_EQ(Allocations.load() - Before, 1u);
  EXPECT_EQ(*Block, 5);
}

} // namespace
} // namespace de30::test
