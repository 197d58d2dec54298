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
#include "de30/driver_state.hpp"
#include "de30/errors.hpp"
#include "de30/pauser.hpp"
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

// Test-only access to a driver's state (tests/support/exposed.hpp).
struct TExposed;

class TVM30 {
public:
  // Pauser null: the pauses sleep the calling thread. Neither the channel nor the
  // pauser is owned; both must outlive the driver.
  TVM30(TWindowHandle HostWindow, TComChannel *HostChannel, TPauser *Pauser = nullptr);
  virtual ~TVM30();
  TVM30(const TVM30 &) = delete;
  TVM30 &operator=(const TVM30 &) = delete;

  TWindowHandle AppHandle() const { return Window; }
  TComChannel *Channel() const { return State.Channel; }

  // The tables, for reading; the operations below are their only writers.
  const TPerPump<TPerGrade<double>> &Prices() const { return State.Prices; }
  const TPerLine<std::uint8_t> &LineState() const { return State.LineState; }
  const TPerPump<std::int32_t> &CountDown() const { return State.CountDown; }
  const TPerPump<std::uint8_t> &Authorized() const { return State.Authorized; }
  const TPerPump<std::uint8_t> &NozzleCount() const { return State.NozzleCount; }
  const TPerPump<std::uint8_t> &AwaitIdle() const { return State.AwaitIdle; }
  const TDriverTables &Tables() const { return State; }

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
  // 6: Value1 := ReadFill(Line, Pump, Value2), through this object's ReadFill:
  // the same frame, checks and failures. A rejected reply stores 0.0 in Value1
  // and leaves Value2 alone.
  virtual void GetFillData(std::int32_t Line, std::int32_t Pump, double &Value1,
                           double &Value2);
  // 7: reads the pump's two totals (twelve digits each, in hundredths) with two
  // requests: lead byte 0x02 for every pump, code 0x87 then 0x78 for one nozzle
  // (reply 16 bytes), 0x2D then 0x1E for two (reply 28 bytes). The second request
  // goes out whether or not the first reply was accepted, from the same buffer
  // (only its first two bytes rewritten); each total is written only from an
  // accepted reply to its own request. ERangeError before any exchange for a line
  // or pump outside 1..32 or a NozzleCount other than 1 or 2 (GetSostEx sets it).
  // Raises "Ошибка при запросе общих счетчиков ТРК" when an exchange fails; a
  // failed first request sends no second one. Changes no table.
  virtual void GetTotals(std::int32_t Line, std::int32_t Pump, double &Total1, double &Total2);
  // 8: does nothing.
  virtual void Spare8();
  // 9: requests the current fill (lead Pump*8+2, code 0xB4, reply 16 bytes).
  // From an accepted reply writes Value2 (reply bytes 2, 4, 6) and returns Value1
  // (bytes 8, 10, 12), in hundredths; from a rejected one returns 0.0 and leaves
  // Value2 alone. Raises "Ошибка запроса данных отлива" when the exchange fails;
  // ERangeError for Pump outside 0..31 or Line above 255 (before the exchange) or
  // a Line outside 1..32 (after it). Changes no table.
  virtual double ReadFill(std::int32_t Line, std::int32_t Pump, double &Value2);
  // 10: short status poll: lead Pump*8+3 while the pump is authorised, else
  // Pump*8+1; reply 3 bytes, byte 1 the pump's status byte. Returns the status
  // word: low byte the host status code (192, 209, 217 or 225, see
  // docs/status-codes.md), high byte 0; 0 when the reply was not accepted (then
  // no table changes). Updates Authorized, CountDown and AwaitIdle, and for a few
  // fault status bytes re-initialises the pump (command 7). ERangeError before
  // anything is sent for a line or pump outside 1..32 or pump 32. Raises "Can't
  // GetSost" when the exchange fails, "Переинициализация ТРК" when the
  // re-initialisation does.
  virtual std::uint16_t GetSost(std::uint8_t Line, std::uint8_t Pump);
  // 11: checks Pump, Line (1..32) and Grade (1..6), stores Price in
  // Prices[Line][Pump][Grade], then, when the pump's NozzleCount is known (not 0),
  // sends the stored grade 1 price (one nozzle: code 0x69) or grades 1..5
  // (several: code 0x4B), each in four BCD digits of hundredths, and the execute
  // command. The stored price stays whatever follows. ERangeError for an index out
  // of range (nothing stored) or, after storing, for pump 32 or a price to be sent
  // outside 0.00..99.99 (nothing sent). Raises "Ошибка при установке цены" or the
  // execute command's message when an exchange fails.
  virtual void SetPrice(std::int32_t Line, std::int32_t Pump, std::int32_t Grade, double Price);
  // 12: does nothing.
  virtual void Spare12();
  // 13: presets the dose limit: command 4, code 0x0F, the volume in six BCD
  // digits of hundredths (0.00..9999.99 litres, halves rounded to even), then the
  // execute command. ERangeError before anything is sent for a volume outside that
  // range or not finite, Pump outside 0..31 or Line above 255. Raises "Ошибка при
  // установке предела отлива в литрах" or the execute command's message when an
  // exchange fails. Changes no table.
  virtual void SetDoseLitres(std::int32_t Line, std::int32_t Pump, double Volume);
  // 14: presets a dose given as money: Money divided by the grade's stored price,
  // sent through this object's SetDoseLitres. ERangeError before anything is sent
  // for a line or pump outside 1..32, a grade outside 1..6, a stored price of 0 or
  // a Money that is not finite; otherwise as SetDoseLitres.
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
  // 19: StartPump through this object's StartPump: the same frames, tables and
  // failures.
  virtual void StartPumpEx(std::int32_t Line, std::int32_t Pump);
  // 20: capability query: kind 1 writes 0, kinds 2 and 4 write 1, each returning
  // true; any other kind returns false and writes nothing.
  virtual bool GetCapability(std::int32_t Kind, std::int32_t &Value);
  // 21: multi-nozzle status poll. Checks Line and Pump (1..32), stores Count in
  // NozzleCount (before any exchange), runs this object's GetSost. Count 0 or 1:
  // Record gets Sost = the status code, SostHigh 0, ActiveNozzle = code & 7,
  // Reserved 0. Count 2 or more: the nozzle poll (lead Pump*8+6, reply 5 bytes,
  // one nibble per nozzle 1..4) gives Nozzles 1..4 (as far as Count reaches) and
  // Sost/ActiveNozzle name the first nozzle reporting 208+k or 216+k, else the
  // first reporting 224+k, else nozzle 1; nibble 2 counts CountDown down or, at 0,
  // clears Authorized. Fields a path does not write keep what the caller had in
  // them; a rejected nozzle reply writes nothing. Raises what GetSost raises,
  // "Can't GetSost" when the nozzle poll fails, ERangeError for pump 32 (after
  // storing the count) or for a Count above 6 that leaves the choice open.
  virtual void GetSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count,
                         TSostRecord &Record);
  // 22: when StopFlag is not 0, StopPump through this object's
  // StopPump; otherwise nothing.
  virtual void StopPumpIf(std::int32_t Line, std::int32_t Pump, std::uint8_t StopFlag);
  // 23: unblocks the pump: checks Pump and Line (1..32), sets AwaitIdle := 1,
  // then sends the re-initialise command (command 7), the unblock command (command
  // 4, code 0x96, UnblockCode and its complement), pauses 50 ms and sends the
  // execute command. ERangeError for pump 32 (after AwaitIdle, before any frame)
  // or an UnblockCode outside 0..255 (after the re-initialise frame). Raises the
  // message of whichever exchange fails: "Переинициализация ТРК", "Ошибка
  // разблокировки" or "Ошибка исполнения команды".
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
  friend struct TExposed;
  TWindowHandle Window;
  TDriverState State;
};

// Creates a driver bound to Channel (not owned; it must outlive the driver). The
// first argument is ignored; AppHandle is kept and never used for a window. The
// driver's pauses go to Pauser (not owned), or sleep the calling thread when it is
// null.
std::unique_ptr<TVM30> GetDE30(std::uint8_t Unused, TWindowHandle AppHandle,
                               TComChannel *Channel, TPauser *Pauser = nullptr);
// The same, for hosts that know the second factory; the five values after the
// channel are ignored.
std::unique_ptr<TVM30> GetDriver25(std::uint8_t Unused, TWindowHandle AppHandle,
                                   TComChannel *Channel, std::uint32_t Ignored4 = 0,
                                   std::uint32_t Ignored5 = 0, std::uint32_t Ignored6 = 0,
                                   std::uint32_t Ignored7 = 0, std::uint32_t Ignored8 = 0,
                                   TPauser *Pauser = nullptr);
// The driver the most recent factory call created, or null once that driver has
// been destroyed.
TVM30 *MostRecentDriver() noexcept;

} // namespace de30
