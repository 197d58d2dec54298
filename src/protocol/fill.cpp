#include "protocol/fill.hpp"

#include "link/as_byte.hpp"
#include "link/check_exchange.hpp"
#include "protocol/range_checks.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// Sends one totals request from Buffer, which keeps whatever the previous request
// left behind its first two positions, and, when the reply is accepted, decodes the
// total of the last nozzle group into Total.
void RequestTotal(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                  const TCommandShape &Shape, int Nozzles,
                  std::uint8_t (&Buffer)[CommandBufferSize], double &Total) {
  Buffer[LeadAt] = TotalsLead;
  Buffer[CodeAt] = Shape.Code;
  link::CheckExchange(link::Exchange(Driver, Line, Pump, Buffer, Shape.SendLength,
                                     Shape.ReplyLength, TotalsLead),
                      Line, Shape.Message);
  if (Driver.LineState[Line] != LineAccepted)
    return;
  Total = FromHundredths(TotalOf(Buffer, Nozzles));
}

} // namespace

double ReadFill(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double &Value2) {
  const std::uint8_t Lead = LeadByte(Pump, ShapeFill.Command);
  std::uint8_t Buffer[CommandBufferSize] = {Lead, ShapeFill.Code};
  const std::uint8_t PumpByte = link::AsByte(Pump, PumpArgument);
  const std::uint8_t LineByte = link::AsByte(Line, LineArgument);
  link::CheckExchange(link::Exchange(Driver, LineByte, PumpByte, Buffer, ShapeFill.SendLength,
                                     ShapeFill.ReplyLength, Lead),
                      Line, ShapeFill.Message);
  if (Driver.LineState[Line] != LineAccepted) // range-checks Line
    return 0.0;
  Value2 = FromHundredths(FillAmountOf(Buffer));
  return FromHundredths(FillVolumeOf(Buffer));
}

void GetTotals(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double &Total1,
               double &Total2) {
  CheckPumpAndLine(Line, Pump);
  const int Nozzles = Driver.NozzleCount[Line][Pump];
  // With no nozzle count the pump's reply length is unknown, and with three or
  // more the reply would not fit the command buffer.
  if (Nozzles < 1 || Nozzles > 2)
    throw ERangeError("nozzle count", Nozzles, 1, 2);
  static_assert(TotalsReplyLength(2) <= CommandBufferSize);
  const auto LineByte = static_cast<std::uint8_t>(Line);
  const auto PumpByte = static_cast<std::uint8_t>(Pump);
  // Both requests go out from one buffer: a second exchange whose channel wrote
  // nothing leaves the first reply there, as on the original line.
  std::uint8_t Buffer[CommandBufferSize] = {};
  RequestTotal(Driver, LineByte, PumpByte, TotalsFirst(Nozzles), Nozzles, Buffer, Total1);
  RequestTotal(Driver, LineByte, PumpByte, TotalsSecond(Nozzles), Nozzles, Buffer, Total2);
}

} // namespace de30::protocol
