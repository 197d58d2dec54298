#include "win32/dll_driver.hpp"

#include "driver/ident.hpp"
#include "win32/failure.hpp"

#include <windows.h>

#include <cstddef>
#include <cstring>

namespace de30::win32 {
namespace {

using TWord = std::uint32_t;
using TObject = void *;

TVM30 &Driver(TObject Object) { return *TDllDriver::Of(Object).Driver; }
// Byte arguments: only the low byte of their word counts.
std::uint8_t Byte(TWord Value) { return static_cast<std::uint8_t>(Value); }
std::int32_t Int(TWord Value) { return static_cast<std::int32_t>(Value); }

// The driver's two pauses: plain Sleeps of the calling thread.
class TSleepPauser final : public TPauser {
public:
  void Pause(std::uint32_t Milliseconds) override { Sleep(Milliseconds); }
};
TSleepPauser SleepPauser;

} // namespace

// The table as the host sees it: 24 stdcall code addresses, one member per
// position, in order. Declared member by member so that each entry's signature
// stands next to its position, and so that no compiler's vtable layout is relied on.
struct TInterfaceTable {
  void(__stdcall *Spare0)(TObject);
  std::uint8_t *(__stdcall *GetIdent)(std::uint8_t *Result, TObject);
  void(__stdcall *SetLineState)(TObject, TWord Line, TWord Value);
  std::uint8_t(__stdcall *GetLineState)(TObject, TWord Line);
  std::uint8_t(__stdcall *StopPump)(TObject, TWord Line, TWord Pump, TWord);
  void(__stdcall *Spare5)(TObject, TWord);
  void(__stdcall *GetFillData)(TObject, TWord Line, TWord Pump, double *Value1, double *Value2);
  void(__stdcall *GetTotals)(TObject, TWord Line, TWord Pump, TWord, double *Total1,
                             double *Total2, TWord, TWord);
  void(__stdcall *Spare8)(TObject, TWord, TWord, TWord, TWord, TWord, TWord, TWord);
  double(__stdcall *ReadFill)(TObject, TWord Line, TWord Pump, double *Value2);
  std::uint16_t(__stdcall *GetSost)(TObject, TWord Line, TWord Pump);
  void(__stdcall *SetPrice)(TObject, TWord Line, TWord Pump, TWord Grade, TWord, TWord,
                            double Price);
  void(__stdcall *Spare12)(TObject, TWord, TWord, TWord);
  void(__stdcall *SetDoseLitres)(TObject, TWord Line, TWord Pump, TWord, TWord, double Volume);
  void(__stdcall *SetDoseMoney)(TObject, TWord Line, TWord Pump, TWord Grade, TWord,
                                double Money);
  void(__stdcall *StartPump)(TObject, TWord Line, TWord Pump, TWord);
  std::int32_t(__stdcall *InitLine)(TObject, TWord Line);
  void(__stdcall *Spare17)(TObject, TWord, TWord, TWord);
  void(__stdcall *Spare18)(TObject, TWord, TWord, TWord, TWord);
  void(__stdcall *StartPumpEx)(TObject, TWord Line, TWord Pump, TWord, TWord);
  bool(__stdcall *GetCapability)(TObject, TWord Kind, std::int32_t *Value);
  TSostRecord *(__stdcall *GetSostEx)(TSostRecord *Result, TObject, TWord Line, TWord Pump,
                                      TWord Count);
  void(__stdcall *StopPumpIf)(TObject, TWord Line, TWord Pump, TWord, TWord StopFlag);
  void(__stdcall *UnblockPump)(TObject, TWord Line, TWord Pump, TWord UnblockCode, TWord);
};
static_assert(sizeof(TInterfaceTable) == 24 * sizeof(void *));
static_assert(offsetof(TInterfaceTable, UnblockPump) == 23 * sizeof(void *));

namespace {

// The table the object's first word points to now: the forwarding positions call
// through it, so a host's replacement of an entry reaches them.
const TInterfaceTable &TableOf(TObject Object) { return *TDllDriver::Of(Object).Table; }

void __stdcall Spare0(TObject Object) {
  Enter([&] { Driver(Object).Spare0(); });
}

// Reads nothing of the object: hosts may ask before they have a driver.
std::uint8_t *__stdcall GetIdent(std::uint8_t *Result, TObject) {
  std::memcpy(Result, Ident.data(), Ident.size());
  return Result;
}

void __stdcall SetLineState(TObject Object, TWord Line, TWord Value) {
  Enter([&] { Driver(Object).SetLineState(Byte(Line), Byte(Value)); });
}

std::uint8_t __stdcall GetLineState(TObject Object, TWord Line) {
  return Enter([&] { return Driver(Object).GetLineState(Byte(Line)); });
}

std::uint8_t __stdcall StopPump(TObject Object, TWord Line, TWord Pump, TWord) {
  return Enter([&] { return Driver(Object).StopPump(Int(Line), Int(Pump)); });
}

void __stdcall Spare5(TObject, TWord) {}

void __stdcall GetFillData(TObject Object, TWord Line, TWord Pump, double *Value1,
                           double *Value2) {
  *Value1 = TableOf(Object).ReadFill(Object, Line, Pump, Value2);
}

void __stdcall GetTotals(TObject Object, TWord Line, TWord Pump, TWord, double *Total1,
                         double *Total2, TWord, TWord) {
  Enter([&] { Driver(Object).GetTotals(Int(Line), Int(Pump), *Total1, *Total2); });
}

void __stdcall Spare8(TObject, TWord, TWord, TWord, TWord, TWord, TWord, TWord) {}

double __stdcall ReadFill(TObject Object, TWord Line, TWord Pump, double *Value2) {
  return Enter([&] { return Driver(Object).ReadFill(Int(Line), Int(Pump), *Value2); });
}

std::uint16_t __stdcall GetSost(TObject Object, TWord Line, TWord Pump) {
  return Enter([&] { return Driver(Object).GetSost(Byte(Line), Byte(Pump)); });
}

void __stdcall SetPrice(TObject Object, TWord Line, TWord Pump, TWord Grade, TWord, TWord,
                        double Price) {
  Enter([&] { Driver(Object).SetPrice(Int(Line), Int(Pump), Int(Grade), Price); });
}

void __stdcall Spare12(TObject, TWord, TWord, TWord) {}

void __stdcall SetDoseLitres(TObject Object, TWord Line, TWord Pump, TWord, TWord,
                             double Volume) {
  Enter([&] { Driver(Object).SetDoseLitres(Int(Line), Int(Pump), Volume); });
}

void __stdcall SetDoseMoney(TObject Object, TWord Line, TWord Pump, TWord Grade, TWord Handed,
                            double Money) {
  const double Volume = Enter(
      [&] { return Driver(Object).MoneyToVolume(Int(Line), Int(Pump), Int(Grade), Money); });
  TableOf(Object).SetDoseLitres(Object, Line, Pump, Grade, Handed, Volume);
}

void __stdcall StartPump(TObject Object, TWord Line, TWord Pump, TWord) {
  Enter([&] { Driver(Object).StartPump(Int(Line), Int(Pump)); });
}

std::int32_t __stdcall InitLine(TObject Object, TWord Line) {
  return Enter([&] { return Driver(Object).InitLine(Int(Line)); });
}

void __stdcall Spare17(TObject, TWord, TWord, TWord) {}

void __stdcall Spare18(TObject, TWord, TWord, TWord, TWord) {}

void __stdcall StartPumpEx(TObject Object, TWord Line, TWord Pump, TWord Handed, TWord) {
  TableOf(Object).StartPump(Object, Line, Pump, Handed);
}

bool __stdcall GetCapability(TObject Object, TWord Kind, std::int32_t *Value) {
  return Enter([&] { return Driver(Object).GetCapability(Int(Kind), *Value); });
}

TSostRecord *__stdcall GetSostEx(TSostRecord *Result, TObject Object, TWord Line, TWord Pump,
                                 TWord Count) {
  Enter([&] { Driver(Object).BeginSostEx(Byte(Line), Byte(Pump), Byte(Count)); });
  // The short poll gets the line and pump as bytes, zero-extended.
  const std::uint16_t ShortWord = TableOf(Object).GetSost(Object, Byte(Line), Byte(Pump));
  Enter([&] {
    Driver(Object).FinishSostEx(Byte(Line), Byte(Pump), Byte(Count), ShortWord, *Result);
  });
  return Result;
}

void __stdcall StopPumpIf(TObject Object, TWord Line, TWord Pump, TWord, TWord StopFlag) {
  // The stop flag takes the third word, the one StopPump ignores.
  if (Byte(StopFlag) != 0)
    TableOf(Object).StopPump(Object, Line, Pump, StopFlag);
}

void __stdcall UnblockPump(TObject Object, TWord Line, TWord Pump, TWord UnblockCode, TWord) {
  Enter([&] { Driver(Object).UnblockPump(Int(Line), Int(Pump), Int(UnblockCode)); });
}

} // namespace

const TInterfaceTable InterfaceTable = {
    Spare0,      GetIdent,      SetLineState,  GetLineState, StopPump,   Spare5,
    GetFillData, GetTotals,     Spare8,        ReadFill,     GetSost,    SetPrice,
    Spare12,     SetDoseLitres, SetDoseMoney,  StartPump,    InitLine,   Spare17,
    Spare18,     StartPumpEx,   GetCapability, GetSostEx,    StopPumpIf, UnblockPump,
};

TDllDriver::TDllDriver(std::uint8_t Unused, std::uintptr_t AppHandle, void *HostChannel)
    : Table(&InterfaceTable), Channel(HostChannel, this) {
  // Without a channel the driver keeps none, and its first exchange fails with
  // ENoChannel instead of an access violation in the adapter.
  Driver =
      GetDE30(Unused, AppHandle, HostChannel != nullptr ? &Channel : nullptr, &SleepPauser);
}

} // namespace de30::win32

// The host reads the table from the object's first word.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(de30::win32::TDllDriver, Table) == 0);
#pragma GCC diagnostic pop
