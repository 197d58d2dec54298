#pragma once
// The words every command is made of: lead bytes, code bytes, complements and
// numbers in packed BCD hundredths. Shared by the driver and the simulated pumps,
// so the two sides cannot drift apart.

#include "de30/errors.hpp"

#include <cstddef>
#include <cstdint>

namespace de30::protocol {

// Command numbers, the low three bits of a lead byte.
enum TCommand : std::uint8_t {
  CmdStatus = 1,     // short status poll, pump not authorised
  CmdRead = 2,       // fill data and totals requests
  CmdStatusAuth = 3, // short status poll, pump authorised
  CmdSet = 4,        // start, stop, price, dose, unblock
  CmdExecute = 5,    // confirms the preceding command 4
  CmdNozzles = 6,    // multi-nozzle status
  CmdReinit = 7,     // re-initialise the pump
};

// Code bytes: the second byte of a command 4 or a read request. In each the high
// nibble is the complement of the low one.
inline constexpr std::uint8_t CodeStart = 0xE1;
inline constexpr std::uint8_t CodeStop = 0xD2;
inline constexpr std::uint8_t CodeDose = 0x0F;
inline constexpr std::uint8_t CodePriceOne = 0x69;
inline constexpr std::uint8_t CodePriceFive = 0x4B;
inline constexpr std::uint8_t CodeUnblock = 0x96;
inline constexpr std::uint8_t CodeFill = 0xB4;
inline constexpr std::uint8_t CodeTotals1First = 0x87;  // one nozzle, first request
inline constexpr std::uint8_t CodeTotals2First = 0x2D;  // two nozzles, first request
inline constexpr std::uint8_t CodeTotals1Second = 0x78; // one nozzle, second request
inline constexpr std::uint8_t CodeTotals2Second = 0x1E; // two nozzles, second request

// The totals requests carry this lead byte whatever the pump.
inline constexpr std::uint8_t TotalsLead = 0x02;

// Reply lengths and layouts, the same for the driver reading a reply and for a
// pump writing one.
inline constexpr std::uint8_t StatusReplyLength = 3; // short poll and re-initialise
inline constexpr std::uint8_t ExecuteReplyLength = 1;
inline constexpr std::uint8_t NozzleReplyLength = 5;
inline constexpr std::uint8_t FillReplyLength = 16;
inline constexpr int FillValue2At = 2; // fill reply: the first value's first byte
inline constexpr int FillValue1At = 8; // fill reply: the second value's first byte
// A totals reply carries one 12-byte group per nozzle; the host reads the last.
inline constexpr int TotalsGroup = 12;
constexpr std::uint8_t TotalsReplyLength(int Nozzles) {
  return static_cast<std::uint8_t>(Nozzles * TotalsGroup + 4);
}
constexpr int TotalsAt(int Nozzles) { return (Nozzles - 1) * TotalsGroup + 2; }

// Byte widths on the wire.
inline constexpr int PriceDigits = 4; // 2 bytes, 0.00..99.99
inline constexpr int DoseDigits = 5;  // 3 bytes (6 digits), 0.00..9999.99
inline constexpr int FillBytes = 3;
inline constexpr int TotalBytes = 6;
// Largest hundredths a price and a dose field carry.
inline constexpr std::int32_t MaxPriceHundredths = 9999;
inline constexpr std::int32_t MaxDoseHundredths = 999999;

// Pump * 8 + Command, formed in full width; above 255 is a range error. Pump 0
// passes: callers that need 1..32 test it themselves.
std::uint8_t LeadByte(std::int64_t Pump, std::uint8_t Command);

// The pump address and command number a lead byte carries.
constexpr std::uint8_t LeadPump(std::uint8_t Lead) { return Lead >> 3; }
constexpr std::uint8_t LeadCommand(std::uint8_t Lead) { return Lead & 7; }

// The bitwise complement, sent after a byte by the execute, re-initialise and
// unblock commands.
constexpr std::uint8_t Complement(std::uint8_t X) { return static_cast<std::uint8_t>(~X); }

// Writes Value in packed BCD, (Digits - 1) / 2 + 1 bytes from Dest, most
// significant pair first. Digits beyond the bytes written are dropped from the top;
// a negative Value gives bytes formed from negative remainders (not BCD). Callers
// that must not lose digits check the range first (ToWireHundredths).
void IntToBCD(std::int32_t Value, std::uint8_t *Dest, std::uint8_t Digits);

// Decodes packed BCD bytes, most significant first. Nibbles are not validated (a
// nibble above 9 counts with its value). Accumulates in 64 bits, so twelve digits
// decode exactly.
std::int64_t BCDToInt(const std::uint8_t *Bytes, std::size_t Count);

// Gathers Count bytes standing at every second position from First and decodes
// them: the layout of every value in a reply.
std::int64_t BCDAtEverySecond(const std::uint8_t *First, std::size_t Count);

// Value * 100 rounded to the nearest integer, halves to even. ERangeError when the
// value is not finite or the result does not fit a signed 32-bit integer.
std::int32_t ToHundredths(double Value);

// ToHundredths, then ERangeError unless the result lies within 0..MaxHundredths:
// the field would otherwise drop digits or carry a sign it cannot hold.
std::int32_t ToWireHundredths(double Value, std::int32_t MaxHundredths);

// Hundredths back to a value.
inline double FromHundredths(std::int64_t Hundredths) {
  return static_cast<double>(Hundredths) / 100.0;
}

} // namespace de30::protocol
