// Random sequences of host operations with arbitrary arguments against a channel
// the input controls. Whatever happens, the driver must not crash or hit undefined
// behaviour, must keep its tables within their value ranges and must write nothing
// beyond the caller's variables; every failure must be one the driver documents.
#include "de30/driver.hpp"
#include "de30/messages.hpp"
#include "fuzz_channel.hpp"
#include "support/exposed.hpp"

#include <cstring>
#include <stdexcept>

namespace de30::fuzz {
namespace {

constexpr int MaxOperations = 64;
constexpr std::uint8_t GuardByte = 0xCC;

// A caller's variable with guard bytes on both sides.
template <typename T> struct TGuarded {
  std::uint8_t Front[16];
  T Value;
  std::uint8_t Back[16];

  explicit TGuarded(const T &Start) : Value(Start) {
    std::memset(Front, GuardByte, sizeof Front);
    std::memset(Back, GuardByte, sizeof Back);
  }
  void Check() const {
    for (std::size_t I = 0; I < sizeof Front; ++I)
      if (Front[I] != GuardByte || Back[I] != GuardByte)
        Fail("a write beyond a caller's variable");
  }
};

struct TCallerArea {
  TGuarded<double> Value1{0.0};
  TGuarded<double> Value2{0.0};
  TGuarded<std::int32_t> Capability{-7};
  TGuarded<TSostRecord> Record{TSostRecord{}};

  void Check() const {
    Value1.Check();
    Value2.Check();
    Capability.Check();
    Record.Check();
  }
};

// Runs after every operation over all 1024 pumps, so it reads the tables as plain
// arrays and folds the range tests into bit operations: a compare per entry would
// cost the fuzzer most of its speed in coverage callbacks.
template <typename TTable> std::uint32_t OutOfRange(const TTable &Table, int Shift) {
  if constexpr (sizeof(TTable) == LineCount * PumpCount) {
    std::uint8_t Flags[LineCount * PumpCount];
    std::memcpy(Flags, &Table, sizeof Flags);
    std::uint32_t Bad = 0;
    for (std::uint8_t Flag : Flags)
      Bad |= static_cast<std::uint32_t>(Flag >> Shift);
    return Bad;
  } else {
    std::int32_t Counts[LineCount * PumpCount];
    static_assert(sizeof Counts == sizeof(TTable));
    std::memcpy(Counts, &Table, sizeof Counts);
    std::uint32_t Bad = 0;
    for (std::int32_t Count : Counts) {
      const auto Word = static_cast<std::uint32_t>(Count);
      Bad |= (Word >> 31) | ((Word + 1) >> Shift); // below 0, or 7 and above
    }
    return Bad;
  }
}

void CheckTables(const TVM30 &Driver) {
  static_assert(StartPolls == 6, "the CountDown test below admits 0..6");
  if (OutOfRange(Driver.CountDown(), 3) != 0)
    Fail("CountDown outside 0..6");
  if (OutOfRange(Driver.Authorized(), 1) != 0)
    Fail("Authorized neither 0 nor 1");
  if (OutOfRange(Driver.AwaitIdle(), 1) != 0)
    Fail("AwaitIdle neither 0 nor 1");
}

bool KnownMessage(const char *Text) {
  for (const char *Message :
       {messages::StartPump, messages::StopPump, messages::ExecuteCommand, messages::ReinitPump,
        messages::SendUnblock, messages::SetPrice, messages::SetDoseLitres, messages::ReadFill,
        messages::GetTotals, messages::GetSost})
    if (std::strcmp(Text, Message) == 0)
      return true;
  return false;
}

std::uint8_t LowByte(std::int32_t Word) { return static_cast<std::uint8_t>(Word & 0xFF); }

// One host call at the interface position the input picks.
void Call(TVM30 &Driver, TFuzzInput &In, TCallerArea &Area) {
  const std::uint8_t Position = In.Byte() % 24;
  switch (Position) {
  case 0:
    Driver.Spare0();
    break;
  case 1:
    if (Driver.GetIdent()[0] != 30)
      Fail("identification string without its length byte 30");
    break;
  case 2:
    Driver.SetLineState(LowByte(In.Index()), In.Byte());
    break;
  case 3: {
    const std::uint8_t Line = LowByte(In.Index());
    const std::uint8_t State = Driver.GetLineState(Line);
    if (Driver.LineState().Contains(Line) ? State != Driver.LineState()[Line] : State != 0)
      Fail("GetLineState differs from the table");
    break;
  }
  case 4:
    Driver.StopPump(In.Index(), In.Index());
    break;
  case 6:
    Driver.GetFillData(In.Index(), In.Index(), Area.Value1.Value, Area.Value2.Value);
    break;
  case 7:
    Driver.GetTotals(In.Index(), In.Index(), Area.Value1.Value, Area.Value2.Value);
    break;
  case 9:
    Area.Value1.Value = Driver.ReadFill(In.Index(), In.Index(), Area.Value2.Value);
    break;
  case 10: {
    const std::uint16_t Word = Driver.GetSost(LowByte(In.Index()), LowByte(In.Index()));
    if (Word != 0 && Word != 192 && Word != 209 && Word != 217 && Word != 225)
      Fail("GetSost returned no status word of the short poll");
    break;
  }
  case 11:
    Driver.SetPrice(In.Index(), In.Index(), In.Index(), In.Value());
    break;
  case 13:
    Driver.SetDoseLitres(In.Index(), In.Index(), In.Value());
    break;
  case 14:
    Driver.SetDoseMoney(In.Index(), In.Index(), In.Index(), In.Value());
    break;
  case 15:
    Driver.StartPump(In.Index(), In.Index());
    break;
  case 16:
    Driver.InitLine(In.Index());
    break;
  case 19:
    Driver.StartPumpEx(In.Index(), In.Index());
    break;
  case 20: {
    const std::int32_t Kind = In.Byte() < 0x80 ? In.Byte() % 6 : In.I32();
    const std::int32_t Before = Area.Capability.Value;
    const bool Known = Driver.GetCapability(Kind, Area.Capability.Value);
    if (Known != (Kind == 1 || Kind == 2 || Kind == 4) ||
        (!Known && Area.Capability.Value != Before))
      Fail("GetCapability answered a kind it does not know");
    break;
  }
  case 21:
    Driver.GetSostEx(LowByte(In.Index()), LowByte(In.Index()), In.Byte(), Area.Record.Value);
    break;
  case 22:
    Driver.StopPumpIf(In.Index(), In.Index(), In.Byte());
    break;
  case 23:
    Driver.UnblockPump(In.Index(), In.Index(), In.Index());
    break;
  default: // the spare positions
    Driver.Spare5();
    Driver.Spare8();
    Driver.Spare12();
    Driver.Spare17();
    Driver.Spare18();
    break;
  }
}

} // namespace
} // namespace de30::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  using namespace de30;
  using namespace de30::fuzz;
  TFuzzInput In(Data, Size);
  TFuzzChannel Channel(In);
  auto Driver = GetDE30(0, 0, &Channel, &Channel);
  Channel.Expected = &test::Exposed(*Driver);
  TCallerArea Area;
  for (int Done = 0; Done < MaxOperations && !In.Empty(); ++Done) {
    try {
      Call(*Driver, In, Area);
    } catch (const ESerialIO &E) {
      if (!KnownMessage(E.what()))
        Fail("ESerialIO with a message of its own");
    } catch (const ERangeError &) {
    } catch (const EAbstractError &) {
    } catch (const TForeignFailure &) {
    } catch (const std::runtime_error &) {
      // the channel's own failure, raised where the driver does not absorb it
    }
    Area.Check();
    CheckTables(*Driver);
  }
  return 0;
}
