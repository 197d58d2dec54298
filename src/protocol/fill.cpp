#include "protocol/fill.hpp"

#include "de30/messages.hpp"
#include "link/exchange.hpp"
#include "protocol/control.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// Sends one totals request and, when its reply is accepted, decodes the total of
// the last nozzle group into Total.
void RequestTotal(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump, std::uint8_t Code,
                  int Nozzles, double &Total) {
  std::uint8_t Buffer[CommandBufferSize] = {TotalsLead, Code};
  CheckExchange(
      link::Exchange(Driver, Line, Pump, Buffer, 2, TotalsReplyLength(Nozzles), TotalsLead),
      messages::GetTotals);
  if (Driver.LineState[Line] != LineAccepted)
    return;
  Total = FromHundredths(BCDAtEverySecond(Buffer + TotalsAt(Nozzles), TotalBytes));
}

} // namespace

double ReadFill(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double &Value2) {
  const std::uint8_t Lead = LeadByte(Pump, CmdRead);
  std::uint8_t Buffer[CommandBufferSize] = {Lead, CodeFill};
  const std::uint8_t PumpByte = AsByte(Pump);
  const std::uint8_t LineByte = AsByte(Line);
  CheckExchange(link::Exchange(Driver, LineByte, PumpByte, Buffer, 2, FillReplyLength, Lead),
                messages::ReadFill);
  if (Driver.LineState[Line] != LineAccepted) // range-checks Line
    return 0.0;
  Value2 = FromHundredths(BCDAtEverySecond(Buffer + FillValue2At, FillBytes));
  return FromHundredths(BCDAtEverySecond(Buffer + FillValue1At, FillBytes));
}

void GetTotals(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double &Total1,
               double &Total2) {
  CheckPumpAndLine(Line, Pump);
  const int Nozzles = Driver.NozzleCount[Line][Pump];
  // With no nozzle count the pump's reply length is unknown, and with three or
  // more the reply would not fit the command buffer.
  if (Nozzles < 1 || Nozzles > 2)
    throw ERangeError();
  const auto LineByte = static_cast<std::uint8_t>(Line);
  const auto PumpByte = static_cast<std::uint8_t>(Pump);
  RequestTotal(Driver, LineByte, PumpByte, Nozzles == 1 ? CodeTotals1First : CodeTotals2First,
               Nozzles, Total1);
  RequestTotal(Driver, LineByte, PumpByte, Nozzles == 1 ? CodeTotals1Second : CodeTotals2Second,
               Nozzles, Total2);
}

} // namespace de30::protocol
