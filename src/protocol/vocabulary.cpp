#include "protocol/vocabulary.hpp"

#include "de30/constants.hpp"

#include <cmath>
#include <limits>

namespace de30::protocol {

std::uint8_t LeadByte(std::int64_t Pump, std::uint8_t Command) {
  const std::int64_t Sum = Pump * 8 + Command;
  if (Sum < 0 || Sum > 255)
    throw ERangeError();
  return static_cast<std::uint8_t>(Sum);
}

void IntToBCD(std::int32_t Value, std::uint8_t *Dest, std::uint8_t Digits) {
  const int Last = (Digits - 1) / 2; // C++ division truncates toward zero
  for (int I = Last; I >= 0; --I) {
    const std::int32_t Units = Value % 10;
    Value /= 10;
    const std::int32_t Tens = Value % 10;
    Value /= 10;
    // Taking the low byte is the "mod 256" of the wire rule, negative values included.
    Dest[I] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(Units + Tens * 16) & 0xFF);
  }
}

std::int64_t BCDToInt(const std::uint8_t *Bytes, std::size_t Count) {
  std::int64_t Result = 0;
  for (std::size_t I = 0; I < Count; ++I)
    Result = Result * 100 + (Bytes[I] >> 4) * 10 + (Bytes[I] & 15);
  return Result;
}

std::int64_t BCDAtEverySecond(const std::uint8_t *First, std::size_t Count) {
  std::uint8_t Gathered[8];
  if (Count > sizeof Gathered)
    throw ERangeError();
  for (std::size_t I = 0; I < Count; ++I)
    Gathered[I] = First[2 * I];
  return BCDToInt(Gathered, Count);
}

std::int32_t ToHundredths(double Value) {
  if (!std::isfinite(Value))
    throw ERangeError();
  // Halves go to the even neighbour whatever rounding mode the host has set.
  const double Product = Value * WireScale;
  double Scaled = std::floor(Product);
  const double Fraction = Product - Scaled;
  if (Fraction > 0.5 || (Fraction == 0.5 && std::fmod(Scaled, 2.0) != 0.0))
    Scaled += 1.0;
  if (Scaled < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
      Scaled > static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    throw ERangeError();
  return static_cast<std::int32_t>(Scaled);
}

std::int32_t ToWireHundredths(double Value, std::int32_t MaxHundredths) {
  const std::int32_t Hundredths = ToHundredths(Value);
  if (Hundredths < 0 || Hundredths > MaxHundredths)
    throw ERangeError();
  return Hundredths;
}

} // namespace de30::protocol
