#include "protocol/prices.hpp"

#include "de30/messages.hpp"
#include "link/exchange.hpp"
#include "protocol/control.hpp"
#include "protocol/vocabulary.hpp"

#include <cmath>

namespace de30::protocol {
namespace {

void CheckGrade(std::int32_t Grade) {
  if (!TIndexed<int, GradeCount>::Contains(Grade))
    throw ERangeError();
}

// Grades sent with one nozzle, and with several (grade 6 is never sent).
constexpr int GradesOneNozzle = 1;
constexpr int GradesSeveralNozzles = 5;

} // namespace

void SetPrice(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, std::int32_t Grade,
              double Price) {
  CheckPumpAndLine(Line, Pump);
  CheckGrade(Grade);
  auto &Prices = Driver.Prices[Line][Pump];
  Prices[Grade] = Price;
  const std::uint8_t Nozzles = Driver.NozzleCount[Line][Pump];
  if (Nozzles == 0)
    return; // sent with the next price once the nozzle count is known
  const std::uint8_t Lead = LeadByte(Pump, CmdSet);
  const int Grades = Nozzles == 1 ? GradesOneNozzle : GradesSeveralNozzles;
  std::uint8_t Buffer[CommandBufferSize] = {Lead, Nozzles == 1 ? CodePriceOne : CodePriceFive};
  for (int G = 1; G <= Grades; ++G)
    IntToBCD(ToWireHundredths(Prices[G], MaxPriceHundredths), Buffer + 2 * G, PriceDigits);
  const auto Length = static_cast<std::uint8_t>(2 * Grades + 2);
  CheckExchange(
      link::Exchange(Driver, AsByte(Line), AsByte(Pump), Buffer, Length, Length, Lead),
      messages::SetPrice);
  ExecuteCommand(Driver, Line, Pump);
}

void SetDoseLitres(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, double Volume) {
  const std::uint8_t Lead = LeadByte(Pump, CmdSet);
  const std::int32_t Hundredths = ToWireHundredths(Volume, MaxDoseHundredths);
  std::uint8_t Buffer[CommandBufferSize] = {Lead, CodeDose};
  IntToBCD(Hundredths, Buffer + 2, DoseDigits);
  const std::uint8_t PumpByte = AsByte(Pump);
  const std::uint8_t LineByte = AsByte(Line);
  CheckExchange(link::Exchange(Driver, LineByte, PumpByte, Buffer, 5, 5, Lead),
                messages::SetDoseLitres);
  ExecuteCommand(Driver, Line, Pump);
}

double MoneyToVolume(const TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                     std::int32_t Grade, double Money) {
  CheckPumpAndLine(Line, Pump);
  CheckGrade(Grade);
  const double Price = Driver.Prices[Line][Pump][Grade];
  if (Price == 0.0 || !std::isfinite(Money))
    throw ERangeError();
  return Money / Price;
}

} // namespace de30::protocol
