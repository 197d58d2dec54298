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
  // The product is rounded exactly: a double multiplication would itself round
  // and could turn 2.675 (stored just below) into a tie, or 0.005 (just above)
  // into one. So |Value| is taken apart as Mantissa * 2^Shift and scaled in
  // integers, which also keeps the result independent of the host's FPU modes.
  int Exponent = 0;
  const double Fraction = std::frexp(std::fabs(Value), &Exponent);
  const auto Mantissa = static_cast<std::uint64_t>(std::ldexp(Fraction, 53));
  const int Shift = Exponent - 53;
  if (Mantissa != 0 && Shift >= 0)
    throw ERangeError(); // at least 2^52: far beyond any hundredths that fit
  const std::uint64_t Scaled = Mantissa * static_cast<std::uint64_t>(WireScale); // < 2^60
  std::uint64_t Whole = 0;
  if (Mantissa != 0 && -Shift < 61) { // from 2^61 on, Scaled is under half a unit
    const int Bits = -Shift;
    Whole = Scaled >> Bits;
    const std::uint64_t Rest = Scaled & ((std::uint64_t{1} << Bits) - 1);
    const std::uint64_t Half = std::uint64_t{1} << (Bits - 1);
    if (Rest > Half || (Rest == Half && (Whole & 1) != 0))
      ++Whole; // halves go to the even neighbour
  }
  const auto Limit = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  if (Whole > Limit + (Value < 0 ? 1 : 0))
    throw ERangeError();
  const auto Signed = static_cast<std::int64_t>(Whole);
  return static_cast<std::int32_t>(Value < 0 ? -Signed : Signed);
}

std::int32_t ToWireHundredths(double Value, std::int32_t MaxHundredths) {
  const std::int32_t Hundredths = ToHundredths(Value);
  if (Hundredths < 0 || Hundredths > MaxHundredths)
    throw ERangeError();
  return Hundredths;
}

} // namespace de30::protocol
