#pragma once
// The driver object and its factories: what a C++ host includes.
//
// A host creates a driver bound to its channel with GetDE30 (or GetDriver25), calls
// InitLine once for each line it uses, and then works the pumps through the 24
// operations below, listed in the order of their interface positions. Every
// operation runs on the caller's thread and blocks for its exchanges; calls on one
// driver must be serialised by the host. Failures are exceptions: ESerialIO (a
// failed exchange, with the operation's fixed message), ERangeError (a line, pump,
// grade or value out of range), EAbstractError (position 0), and whatever the
// channel throws outside the std::exception family.
//
// Lines and pumps are 1..32, grades 1..6. The operations that take int32 lines and
// pumps test them as each one documents; those that take bytes see only the low
// byte of what the host passed, as the Windows interface does.

#include "de30/channel.hpp"
#include "de30/constants.hpp"
#include "de30/errors.hpp"
#include "de30/status_record.hpp"
#include "de30/tables.hpp"

#include <array>
#include <cstdint>
#include <memory>

namespace de30 {

// The identification string as hosts receive it: a length byte (30) followed by
// 30 characters in Windows code page 1251.
using TIdentString = std::array<std::uint8_t, 31>;
// The same text in UTF-8.
inline constexpr const char IdentText[] = "v2.50#Протокол к Nuovo Pignone";

// The host's main window handle, kept by the driver and never used for a window.
using TWindowHandle = std::uintptr_t;

class TVM30 : public TDriverState {
public:
  TVM30(TWindowHandle HostWindow, TComChannel *HostChannel);
  virtual ~TVM30();
  TVM30(const TVM30 &) = delete;
  TVM30 &operator=(const TVM30 &) = delete;

  TWindowHandle AppHandle() const { return Window; }

  // 0: no operation stands here; raises EAbstractError and changes nothing.
  virtual void Spare0();
  // 1: the identification string, always the same 31 bytes.
  virtual TIdentString GetIdent();
  // 2: stores Value in LineState[Line]. No exchange. A line outside 1..32 changes
  // nothing.
  virtual void SetLineState(std::uint8_t Line, std::uint8_t Value);
  // 3: LineState[Line]; 0 for a line outside 1..32. No exchange.
  virtual std::uint8_t GetLineState(std::uint8_t Line);
  // 4: stop the pump: sends the stop command (lead Pump*8+4, code 0xD2), then the
  // execute command. Changes no table. Pump must be 0..31 (lead byte) and Line at
  // most 255. Raises "Can't STOP POMP" or the execute command's message. Returns 0.
  virtual std::uint8_t StopPump(std::int32_t Line, std::int32_t Pump);
  // 5: does nothing.
  virtual void Spare5();
  // 6: Value1 := ReadFill(Line, Pump, Value2), through this object's ReadFill.
  virtual void GetFillData(std::int32_t Line, std::int32_t Pump, double &Value1,
                           double &Value2);
  // 7: reads the pump's two totals with two requests (lead byte 0x02). Needs
  // NozzleCount 1 or 2 (set by GetSostEx), else ERangeError before any exchange.
  // Each total is written only from its own accepted reply. Raises "Ошибка при
  // запросе общих счетчиков ТРК" when an exchange fails.
  virtual void GetTotals(std::int32_t Line, std::int32_t Pump, double &Total1, double &Total2);
  // 8: does nothing.
  virtual void Spare8();
  // 9: requests the current fill (lead Pump*8+2, code 0xB4). From an accepted
  // reply writes Value2 and returns Value1; from a rejected one returns 0.0 and
  // leaves Value2 alone. Raises "Ошибка запроса данных отлива" when the exchange
  // fails; ERangeError for Pump 32 or more (before) or a Line outside 1..32 (after
  // the exchange).
  virtual double ReadFill(std::int32_t Line, std::int32_t Pump, double &Value2);
  // 10: short status poll. Returns the status word: low byte the host status code
  // (192, 209, 217 or 225), high byte 0; 0 when the reply was not accepted.
  // Updates Authorized, CountDown and AwaitIdle, and may re-initialise the pump.
  // Raises "Can't GetSost" when the exchange fails.
  virtual std::uint16_t GetSost(std::uint8_t Line, std::uint8_t Pump);
  // 11: stores Price for the grade, then, when the pump's NozzleCount is known,
  // sends the grade 1 price (one nozzle) or grades 1..5 (several) and the execute
  // command. Raises "Ошибка при установке цены" when the exchange fails, and
  // ERangeError for an index out of range or a price outside 0.00..99.99.
  virtual void SetPrice(std::int32_t Line, std::int32_t Pump, std::int32_t Grade, double Price);
  // 12: does nothing.
  virtual void Spare12();
  // 13: presets the dose in litres (0.00..9999.99), then the execute command.
  // Raises "Ошибка при установке предела отлива в литрах" when the exchange fails.
  virtual void SetDoseLitres(std::int32_t Line, std::int32_t Pump, double Volume);
  // 14: presets a dose given as money: Money divided by the grade's stored price,
  // sent through this object's SetDoseLitres.
  virtual void SetDoseMoney(std::int32_t Line, std::int32_t Pump, std::int32_t Grade,
                            double Money);
  // 15: authorises the pump: start command (code 0xE1), execute command, then
  // Authorized := 1, CountDown := 6, and a 100 ms pause. Raises "Ошибка при
  // включении ТРК" or the execute command's message; ERangeError before any frame
  // for a line or pump outside 1..32.
  virtual void StartPump(std::int32_t Line, std::int32_t Pump);
  // 16: registers the line set-up routine with the channel and runs it; returns
  // the channel's SetupLine(Line, 15, 2400) result. Line is not checked.
  virtual std::int32_t InitLine(std::int32_t Line);
  // 17, 18: do nothing.
  virtual void Spare17();
  virtual void Spare18();
  // 19: StartPump through this object's StartPump.
  virtual void StartPumpEx(std::int32_t Line, std::int32_t Pump);
  // 20: capability query: kind 1 writes 0, kinds 2 and 4 write 1, each returning
  // true; any other kind returns false and writes nothing.
  virtual bool GetCapability(std::int32_t Kind, std::int32_t &Value);
  // 21: multi-nozzle status poll. Stores Count in NozzleCount, runs this object's
  // GetSost, and for Count 2 or more polls the nozzles (lead Pump*8+6) and picks
  // the active one. Writes Record as far as the path taken reaches (fields it does
  // not write keep what the caller had in them).
  virtual void GetSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count,
                         TSostRecord &Record);
  // 22: when StopFlag is not 0, StopPump through this object's
  // StopPump; otherwise nothing.
  virtual void StopPumpIf(std::int32_t Line, std::int32_t Pump, std::uint8_t StopFlag);
  // 23: unblocks the pump: AwaitIdle := 1, re-initialise command, unblock command
  // with UnblockCode (0..255) and its complement, 50 ms, execute command.
  virtual void UnblockPump(std::int32_t Line, std::int32_t Pump, std::int32_t UnblockCode);

  // The steps around the forwarding calls, for callers that forward through a
  // table of their own (the Windows interface).

  // SetDoseMoney up to its forwarding call: checks and the volume to send.
  double MoneyToVolume(std::int32_t Line, std::int32_t Pump, std::int32_t Grade, double Money);
  // GetSostEx before its GetSost call: checks and NozzleCount.
  void BeginSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count);
  // GetSostEx after its GetSost call, given the status word it returned.
  void FinishSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count,
                    std::uint16_t ShortWord, TSostRecord &Record);

private:
  TWindowHandle Window;
};

// Creates a driver bound to Channel (not owned; it must outlive the driver). The
// first argument is ignored; AppHandle is kept and never used for a window.
std::unique_ptr<TVM30> GetDE30(std::uint8_t Unused, TWindowHandle AppHandle,
                               TComChannel *Channel);
// The same, for hosts that know the second factory; the last five values are
// ignored.
std::unique_ptr<TVM30> GetDriver25(std::uint8_t Unused, TWindowHandle AppHandle,
                                   TComChannel *Channel, std::uint32_t Ignored4 = 0,
                                   std::uint32_t Ignored5 = 0, std::uint32_t Ignored6 = 0,
                                   std::uint32_t Ignored7 = 0, std::uint32_t Ignored8 = 0);
// The driver the most recent factory call created, or null once that driver has
// been destroyed.
TVM30 *MostRecentDriver() noexcept;

} // namespace de30
