#pragma once
// The driver operations a line worker uses, each reduced to what it came to: a
// reading or command that was taken, a reply the reply check rejected (nothing of
// it is used), a failed exchange (with the channel's error number), or a refusal
// by the driver. The driver does not raise for a rejected reply, so every
// operation is judged by the line state and by the rejections counted during it.

#include "de30/driver.hpp"
#include "station/counting_channel.hpp"
#include "station/sale.hpp"

#include <memory>
#include <string>

namespace de30::station {

struct TIoResult {
  enum class TKind { Ok, Rejected, Failed, Refused } Kind = TKind::Ok;
  std::string Error;    // empty when Ok
  int ChannelError = 0; // the channel's error number of a failed exchange

  bool Ok() const { return Kind == TKind::Ok; }
  // "what: why", for reasons and command results.
  std::string Describe(const std::string &What) const;
};

// Creates the line's driver with its pauses going to Pauser (null: real sleeps).
std::unique_ptr<TVM30> MakeDriver(TComChannel &Channel, TPauser *Pauser);
// Destroys a driver made by MakeDriver.
void DropDriver(std::unique_ptr<TVM30> &Driver);

// A fill reading and the totals read straight after it. The totals request
// carries no pump address: the pump the line addressed last answers it. So the
// totals are read only right after an accepted fill read of the same pump, with
// no exchange between, and the reading names the pump it belongs to.
struct TPumpReading {
  int Pump = 0;
  TIoResult FillRead;
  TFillReading Fill;    // Known when FillRead was accepted
  TIoResult TotalsRead; // Refused ("not read") when the fill was not accepted
  TTotals Totals;       // Known when read, and only then
};

class TPumpIo {
public:
  TPumpIo(TVM30 &LineDriver, TCountingChannel &Counted, int LineNumber)
      : Driver(LineDriver), Channel(Counted), Line(LineNumber) {}

  // Record is cleared first, so the nozzle selection starts from no code.
  TIoResult Poll(int Pump, int NozzleCount, TSostRecord &Record);
  TIoResult Fill(int Pump, double &Volume, double &Amount);
  // The fill, then (WithTotals) the totals, as TPumpReading says. Totals only for
  // pumps of one or two nozzles.
  TPumpReading Read(int Pump, bool WithTotals);
  TIoResult Start(int Pump);
  TIoResult Stop(int Pump);
  TIoResult Unblock(int Pump, int Code);
  TIoResult Dose(int Pump, double Litres);
  TIoResult SetPrice(int Pump, int Position, double Price);
  // Stores a price in the driver's table without sending anything.
  void LoadPrice(int Pump, int Position, double Price);
  std::int32_t InitLine();
  // Whether the driver still counts down a start it no longer holds: the pump's
  // last authorisation has ended, but its count-down has not run out. Until it
  // does, a multi-nozzle pump's lifted nozzle reads as authorised (216+k).
  bool CountDownLeft(int Pump) const;
  // Whether the driver counts the pump authorised, and whether it still awaits
  // the pump's first idle status.
  bool DriverHeld(int Pump) const;
  bool AwaitingIdle(int Pump) const;

private:
  // Volume and amount totals, from whichever pump the line addressed last.
  TIoResult Totals(int Pump, TTotals &Totals);
  template <typename TOperation> TIoResult Run(TOperation &&Operation);

  TVM30 &Driver;
  TCountingChannel &Channel;
  int Line;
};

} // namespace de30::station
