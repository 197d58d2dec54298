#include "protocol/vocabulary.hpp"

#include "de30/constants.hpp"

#include <cmath>
#include <limits>

namespace de30::protocol {
namespace {

// What a range error reports for a value that is not a number or out of all range.
std::int64_t Reported(double Value) {
  if (std::isnan(Value) ||
      Value <= static_cast<double>(std::numeric_limits<std::int64_t>::min()))
    return std::numeric_limits<std::int64_t>::min();
  if (Value >= static_cast<double>(std::numeric_limits<std::int64_t>::max()))
    return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(Value);
}

constexpr std::int64_t Int32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t Int32Max = std::numeric_limits<std::int32_t>::max();

} // namespace

const TCommandShape *FindShape(std::uint8_t Lead, std::uint8_t Code) {
  for (const TCommandShape &Shape : CommandShapes)
    if (Shape.Command == LeadCommand(Lead) && (Shape.Code == NoCode || Shape.Code == Code))
      return &Shape;
  return nullptr;
}

bool ShapeNeedsCode(std::uint8_t Lead) {
  for (const TCommandShape &Shape : CommandShapes)
    if (Shape.Command == LeadCommand(Lead) && Shape.Code != NoCode)
      return true;
  return false;
}

std::uint8_t LeadByte(std::int64_t Pump, std::uint8_t Command) {
  const std::int64_t Sum = Pump * 8 + Command;
  if (Sum < 0 || Sum > 255)
    throw ERangeError("lead byte", Sum, 0, 255);
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

void PutBCDAtEverySecond(std::int64_t Value, std::uint8_t *First, std::size_t Count) {
  for (std::size_t I = Count; I-- > 0;) {
    const auto Pair = static_cast<std::int32_t>(Value % 100);
    Value /= 100;
    std::uint8_t Byte = 0;
    IntToBCD(Pair, &Byte, 2);
    First[2 * I] = Byte;
    First[2 * I + 1] = Complement(Byte);
  }
}

std::int64_t BCDAtEverySecond(const std::uint8_t *First, std::size_t Count) {
  std::uint8_t Gathered[8];
  if (Count > sizeof Gathered)
    throw ERangeError("value bytes", static_cast<std::int64_t>(Count), 0, sizeof Gathered);
  for (std::size_t I = 0; I < Count; ++I)
    Gathered[I] = First[2 * I];
  return BCDToInt(Gathered, Count);
}

std::int32_t ToHundredths(double Value, const char *Argument) {
  if (!std::isfinite(Value))
    throw ERangeError(Argument, Reported(Value), Int32Min, Int32Max);
  // The product is rounded exactly: a double multiplication would itself round
  // and could turn 2.675 (stored just below) into a tie, or 0.005 (just above)
  // into one. So |Value| is taken apart as Mantissa * 2^Shift and scaled in
  // integers, which also keeps the result independent of the host's FPU modes.
  int Exponent = 0;
  const double Fraction = std::frexp(std::fabs(Value), &Exponent);
  const auto Mantissa = static_cast<std::uint64_t>(std::ldexp(Fraction, 53));
  const int Shift = Exponent - 53;
  if (Mantissa != 0 && Shift >= 0) // at least 2^52: far beyond any hundredths that fit
    throw ERangeError(Argument, Reported(Value * WireScale), Int32Min, Int32Max);
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
  const auto Signed = static_cast<std::int64_t>(Whole); // Whole < 2^60
  const std::int64_t Hundredths = Value < 0 ? -Signed : Signed;
  if (Hundredths < Int32Min || Hundredths > Int32Max)
    throw ERangeError(Argument, Hundredths, Int32Min, Int32Max);
  return static_cast<std::int32_t>(Hundredths);
}

std::int32_t ToWireHundredths(double Value, std::int32_t MaxHundredths, const char *Argument) {
  const std::int32_t Hundredths = ToHundredths(Value, Argument);
  if (Hundredths < 0 || Hundredths > MaxHundredths)
    throw ERangeError(Argument, Hundredths, 0, MaxHundredths);
  return Hundredths;
}

void PutPrice(std::int32_t Hundredths, std::uint8_t *Command, int Grade) {
  IntToBCD(Hundredths, Command + PriceAt(Grade), PriceDigits);
}

std::int32_t PriceOf(const std::uint8_t *Command, int Grade) {
  return static_cast<std::int32_t>(BCDToInt(Command + PriceAt(Grade), PriceBytes));
}

void PutDose(std::int32_t Hundredths, std::uint8_t *Command) {
  IntToBCD(Hundredths, Command + DoseAt, DoseDigits);
}

std::int32_t DoseOf(const std::uint8_t *Command) {
  return static_cast<std::int32_t>(BCDToInt(Command + DoseAt, DoseBytes));
}

void PutUnblockCode(std::uint8_t Code, std::uint8_t *Command) {
  Command[UnblockCodeAt] = Code;
  Command[UnblockCodeAt + 1] = Complement(Code);
}

std::uint8_t UnblockCodeOf(const std::uint8_t *Command) { return Command[UnblockCodeAt]; }

bool UnblockCodeIntact(const std::uint8_t *Command) {
  return Command[UnblockCodeAt + 1] == Complement(Command[UnblockCodeAt]);
}

void PutLeadAndComplement(std::uint8_t Lead, std::uint8_t *Command) {
  Command[LeadAt] = Lead;
  Command[CodeAt] = Complement(Lead);
}

bool LeadComplementIntact(const std::uint8_t *Command) {
  return Command[CodeAt] == Complement(Command[LeadAt]);
}

void PutStatusReply(std::uint8_t Lead, std::uint8_t Status, std::uint8_t *Reply) {
  Reply[LeadAt] = Lead;
  Reply[StatusByteAt] = Status;
  Reply[StatusByteAt + 1] = Complement(Status);
}

std::uint8_t StatusByteOf(const std::uint8_t *Reply) { return Reply[StatusByteAt]; }

void PutNozzleReply(std::uint8_t Lead, const std::uint8_t (&Nibbles)[ReportedNozzles],
                    std::uint8_t *Reply) {
  Reply[LeadAt] = Lead;
  for (int Pair = 0; Pair < ReportedNozzles / 2; ++Pair) {
    const auto Byte = static_cast<std::uint8_t>(Nibbles[2 * Pair] << 4 | Nibbles[2 * Pair + 1]);
    Reply[1 + 2 * Pair] = Byte;
    Reply[2 + 2 * Pair] = Complement(Byte);
  }
}

std::uint8_t NozzleNibble(const std::uint8_t *Reply, int Nozzle) {
  const std::uint8_t Byte = Reply[1 + 2 * ((Nozzle - 1) / 2)];
  return static_cast<std::uint8_t>(Nozzle % 2 == 1 ? Byte >> 4 : Byte & 15);
}

void PutFillReply(std::uint8_t Lead, std::int64_t Amount, std::int64_t Volume, int Nozzle,
                  std::uint8_t *Reply) {
  Reply[LeadAt] = Lead;
  Reply[CodeAt] = CodeFill;
  PutBCDAtEverySecond(Amount, Reply + FillAmountAt, FillValueBytes);
  PutBCDAtEverySecond(Volume, Reply + FillVolumeAt, FillValueBytes);
  Reply[FillNozzleAt] = static_cast<std::uint8_t>(Nozzle);
  Reply[FillNozzleAt + 1] = Complement(Reply[FillNozzleAt]);
}

std::int64_t FillAmountOf(const std::uint8_t *Reply) {
  return BCDAtEverySecond(Reply + FillAmountAt, FillValueBytes);
}

std::int64_t FillVolumeOf(const std::uint8_t *Reply) {
  return BCDAtEverySecond(Reply + FillVolumeAt, FillValueBytes);
}

void PutTotalsGroup(std::int64_t Total, std::uint8_t *Reply, int Group) {
  PutBCDAtEverySecond(Total, Reply + TotalsAt(Group), TotalValueBytes);
}

void PutTotalsNozzles(int Nozzles, std::uint8_t *Reply, int Groups) {
  const int At = TotalsAt(Groups) + TotalsGroupBytes;
  Reply[At] = static_cast<std::uint8_t>(Nozzles);
  Reply[At + 1] = Complement(Reply[At]);
}

std::int64_t TotalOf(const std::uint8_t *Reply, int Groups) {
  return BCDAtEverySecond(Reply + TotalsAt(Groups), TotalValueBytes);
}

std::size_t LastValueByteAt(std::uint8_t Lead, std::size_t Length) {
  if (Lead == TotalsLead)
    return static_cast<std::size_t>(TotalsAt(TotalsGroups(Length)) + 2 * (TotalValueBytes - 1));
  return FillVolumeAt + 2 * (FillValueBytes - 1);
}

} // namespace de30::protocol
