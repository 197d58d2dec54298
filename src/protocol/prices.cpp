#include "protocol/prices.hpp"

#include "link/as_byte.hpp"
#include "link/check_exchange.hpp"
#include "protocol/control.hpp"
#include "protocol/range_checks.hpp"
#include "protocol/vocabulary.hpp"

#include <cmath>

namespace de30::protocol {

void SetPrice(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, std::int32_t Grade,
              double Price) {
  CheckPumpAndLine(Line, Pump);
  CheckGrade(Grade);
  auto &Prices = Driver.Prices[Line][Pump];
  Prices[Grade] = Price;
  const std::uint8_t Nozzles = Driver.NozzleCount[Line][Pump];
  if (Nozzles == 0)
    return; // sent with the next price once the nozzle count is known
  const TCommandShape &Shape = Nozzles == 1 ? ShapePriceOne : ShapePriceFive;
  const int Grades = Nozzles == 1 ? GradesOneNozzle : GradesSeveralNozzles;
  const std::uint8_t Lead = LeadByte(Pump, Shape.Command);
  std::uint8_t Buffer[CommandBufferSize] = {Lead, Shape.Code};
  for (int G = 1; G <= Grades; ++G)
    PutPrice(ToWireHundredths(Prices[G], MaxPriceHundredths, "price"), Buffer, G);
  link::CheckExchange(link::Exchange(Driver, link::AsByte(Line, LineArgument),
                                     link::AsByte(Pump, PumpArgument), Buffer, Shape.SendLength,
                                     Shape.ReplyLength, Lead),
                      Line, Shape.Message);
  ExecuteCommand(Driver, Line, Pump);
}

void SetDoseLitres(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double Volume) {
  const std::uint8_t Lead = LeadByte(Pump, ShapeDose.Command);
  const std::int32_t Hundredths = ToWireHundredths(Volume, MaxDoseHundredths, "dose");
  std::uint8_t Buffer[CommandBufferSize] = {Lead, ShapeDose.Code};
  PutDose(Hundredths, Buffer);
  const std::uint8_t PumpByte = link::AsByte(Pump, PumpArgument);
  const std::uint8_t LineByte = link::AsByte(Line, LineArgument);
  link::CheckExchange(link::Exchange(Driver, LineByte, PumpByte, Buffer, ShapeDose.SendLength,
                                     ShapeDose.ReplyLength, Lead),
                      Line, ShapeDose.Message);
  ExecuteCommand(Driver, Line, Pump);
}

double MoneyToVolume(const TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                     std::int32_t Grade, double Money) {
  CheckPumpAndLine(Line, Pump);
  CheckGrade(Grade);
  const double Price = Driver.Prices[Line][Pump][Grade];
  // A zero price buys no definite volume; it is reported in hundredths, as the
  // smallest price that could have been sent.
  if (Price == 0.0)
    throw ERangeError("stored price", 0, 1, MaxPriceHundredths);
  if (!std::isfinite(Money))
    (void)ToHundredths(Money, "money"); // raises the range error of a value that is no number
  return Money / Price;
}

} // namespace de30::protocol
