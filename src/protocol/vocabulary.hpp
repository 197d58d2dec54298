#pragma once
// The wire vocabulary: every number that crosses a line, written once. Commands
// and their shapes, code bytes, status bytes and nozzle nibbles, host status codes,
// field positions, and the encoders and decoders of every field in pairs. The
// driver, the simulated pumps, the decoded trace and the fault injector all take
// their wire facts from here, so the two ends of a line cannot drift apart.

#include "de30/constants.hpp"
#include "de30/errors.hpp"
#include "de30/host_codes.hpp"
#include "de30/messages.hpp"

#include <cstddef>
#include <cstdint>

namespace de30::protocol {

// ---- Commands ---------------------------------------------------------------

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
// A command whose position 1 is no code byte (a complement, or nothing). No code
// byte of the vocabulary is 0.
inline constexpr std::uint8_t NoCode = 0x00;

// The totals requests carry this lead byte whatever the pump.
inline constexpr std::uint8_t TotalsLead = 0x02;

// One command the driver sends: how long it is, how long its reply, which
// operation sends it and what that operation raises when the exchange fails.
struct TCommandShape {
  TCommand Command;
  std::uint8_t Code; // NoCode for commands without one
  std::uint8_t SendLength;
  std::uint8_t ReplyLength;
  const char *Operation;
  const char *Message;
};

inline constexpr TCommandShape ShapeStatus{CmdStatus, NoCode,    1,
                                           3,         "GetSost", messages::GetSost};
inline constexpr TCommandShape ShapeStatusAuth{CmdStatusAuth, NoCode,           1, 3,
                                               "GetSost",     messages::GetSost};
inline constexpr TCommandShape ShapeFill{CmdRead, CodeFill,   2,
                                         16,      "ReadFill", messages::ReadFill};
inline constexpr TCommandShape ShapeTotals1First{CmdRead,     CodeTotals1First,   2, 16,
                                                 "GetTotals", messages::GetTotals};
inline constexpr TCommandShape ShapeTotals2First{CmdRead,     CodeTotals2First,   2, 28,
                                                 "GetTotals", messages::GetTotals};
inline constexpr TCommandShape ShapeTotals1Second{CmdRead,     CodeTotals1Second,  2, 16,
                                                  "GetTotals", messages::GetTotals};
inline constexpr TCommandShape ShapeTotals2Second{CmdRead,     CodeTotals2Second,  2, 28,
                                                  "GetTotals", messages::GetTotals};
inline constexpr TCommandShape ShapeStart{CmdSet, CodeStart,   2,
                                          2,      "StartPump", messages::StartPump};
inline constexpr TCommandShape ShapeStop{CmdSet, CodeStop,   2,
                                         2,      "StopPump", messages::StopPump};
inline constexpr TCommandShape ShapeDose{CmdSet, CodeDose,        5,
                                         5,      "SetDoseLitres", messages::SetDoseLitres};
inline constexpr TCommandShape ShapePriceOne{CmdSet, CodePriceOne, 4,
                                             4,      "SetPrice",   messages::SetPrice};
inline constexpr TCommandShape ShapePriceFive{CmdSet, CodePriceFive, 12,
                                              12,     "SetPrice",    messages::SetPrice};
inline constexpr TCommandShape ShapeUnblock{CmdSet, CodeUnblock,   4,
                                            4,      "SendUnblock", messages::SendUnblock};
inline constexpr TCommandShape ShapeExecute{
    CmdExecute, NoCode, 2, 1, "ExecuteCommand", messages::ExecuteCommand};
inline constexpr TCommandShape ShapeNozzles{CmdNozzles, NoCode,      1,
                                            5,          "GetSostEx", messages::GetSost};
inline constexpr TCommandShape ShapeReinit{CmdReinit, NoCode,       2,
                                           3,         "ReinitPump", messages::ReinitPump};

// Every command of the vocabulary.
inline constexpr TCommandShape CommandShapes[] = {
    ShapeStatus,       ShapeStatusAuth,    ShapeFill,          ShapeTotals1First,
    ShapeTotals2First, ShapeTotals1Second, ShapeTotals2Second, ShapeStart,
    ShapeStop,         ShapeDose,          ShapePriceOne,      ShapePriceFive,
    ShapeUnblock,      ShapeExecute,       ShapeNozzles,       ShapeReinit,
};

// The shape of the command that starts with Lead and Code (Code is ignored for
// commands without one); null when no command of the vocabulary starts so.
const TCommandShape *FindShape(std::uint8_t Lead, std::uint8_t Code);
// Whether the commands with this lead byte's number are told apart by a code byte.
bool ShapeNeedsCode(std::uint8_t Lead);

// The totals requests of a pump with Nozzles nozzle groups (1 or 2).
constexpr const TCommandShape &TotalsFirst(int Nozzles) {
  return Nozzles == 1 ? ShapeTotals1First : ShapeTotals2First;
}
constexpr const TCommandShape &TotalsSecond(int Nozzles) {
  return Nozzles == 1 ? ShapeTotals1Second : ShapeTotals2Second;
}

// ---- Lead bytes and complements -------------------------------------------------

// Positions every command and reply shares.
inline constexpr int LeadAt = 0;
inline constexpr int CodeAt = 1;

// Pump * 8 + Command, formed in full width; above 255 is a range error. Pump 0
// passes: callers that need 1..32 test it themselves.
std::uint8_t LeadByte(std::int64_t Pump, std::uint8_t Command);

// The pump address and command number a lead byte carries.
constexpr std::uint8_t LeadPump(std::uint8_t Lead) { return Lead >> 3; }
constexpr std::uint8_t LeadCommand(std::uint8_t Lead) { return Lead & 7; }

// The bitwise complement, sent after a byte by the execute, re-initialise and
// unblock commands, and after every byte of a value in a reply.
constexpr std::uint8_t Complement(std::uint8_t X) { return static_cast<std::uint8_t>(~X); }

// ---- Pump status bytes (reply position 1 of the short poll) ---------------------

inline constexpr std::uint8_t StatusIdle = 0x00;
inline constexpr std::uint8_t StatusFinished = 0x02;   // the fill has ended
inline constexpr std::uint8_t StatusCalling = 0x08;    // a nozzle lifted
inline constexpr std::uint8_t StatusAuthorised = 0x09; // authorised, fuel not flowing yet
inline constexpr std::uint8_t StatusFuelling = 0x0A;
inline constexpr std::uint8_t StatusLocked = 0x8C;
inline constexpr std::uint8_t StatusFault = 0x80; // the plainest of the faults
// Bit 3: the pump has a customer (calling, authorised or fuelling).
inline constexpr std::uint8_t StatusActiveBit = 0x08;
// Bits 7 and 3 together: locked or in error.
inline constexpr std::uint8_t StatusErrorBits = 0x88;
// Status bytes after which the driver re-initialises the pump.
inline constexpr std::uint8_t ReinitStatuses[] = {0x04, 0x51, 0x59, 0x80, 0x91};

constexpr bool IsActiveStatus(std::uint8_t S) { return (S & StatusActiveBit) != 0; }
constexpr bool IsErrorStatus(std::uint8_t S) {
  return (S & StatusErrorBits) == StatusErrorBits;
}
constexpr bool AsksForReinit(std::uint8_t S) {
  for (std::uint8_t R : ReinitStatuses)
    if (S == R)
      return true;
  return false;
}

// ---- Nozzle nibbles (the multi-nozzle reply) --------------------------------------

inline constexpr std::uint8_t NibbleIdle = 0x0;
inline constexpr std::uint8_t NibbleFinished = 0x1;
inline constexpr std::uint8_t NibbleCalling = 0x2; // lifted, waiting for authorisation
inline constexpr std::uint8_t NibbleFlowing = 0xA; // authorised or fuelling
inline constexpr std::uint8_t NibbleReady = 0xB;

// ---- Host status codes ----------------------------------------------------------

// Public, since hosts read them too (de30/host_codes.hpp); named here with the
// rest of the wire.
using de30::CodeAuthorized;
using de30::CodeAuthorizedIdle;
using de30::CodeCalling;
using de30::CodeIdle;
using de30::FamilyAuthorised;
using de30::FamilyBits;
using de30::FamilyCalling;
using de30::FamilyIdle;
using de30::FamilyNone;
using de30::FamilyOf;
using de30::FamilyReady;
using de30::FamilyReserved;
using de30::HostCode;
using de30::NoStatus;
using de30::NozzleBits;
using de30::NozzleOf;
using de30::THostFamily;

// ---- Numbers in packed BCD ------------------------------------------------------

// A nibble that is no decimal digit: what a spoiled digit on the line looks like.
inline constexpr std::uint8_t NonDecimalNibble = 0xE;

// Writes Value in packed BCD, (Digits - 1) / 2 + 1 bytes from Dest, most
// significant pair first. Digits beyond the bytes written are dropped from the top;
// a negative Value gives bytes formed from negative remainders (not BCD). Callers
// that must not lose digits check the range first (ToWireHundredths).
void IntToBCD(std::int32_t Value, std::uint8_t *Dest, std::uint8_t Digits);

// Decodes packed BCD bytes, most significant first. Nibbles are not validated (a
// nibble above 9 counts with its value). Accumulates in 64 bits, so twelve digits
// decode exactly.
std::int64_t BCDToInt(const std::uint8_t *Bytes, std::size_t Count);

// The layout of every value in a reply: Count BCD bytes at every second position
// from First, each followed by its complement. At most 8 bytes.
void PutBCDAtEverySecond(std::int64_t Value, std::uint8_t *First, std::size_t Count);
std::int64_t BCDAtEverySecond(const std::uint8_t *First, std::size_t Count);

// Value * 100 rounded to the nearest integer, halves to even. ERangeError naming
// Argument when the value is not finite or the result does not fit a signed 32-bit
// integer.
std::int32_t ToHundredths(double Value, const char *Argument = "value");

// ToHundredths, then ERangeError naming Argument unless the rounded result lies
// within 0..MaxHundredths: the field would otherwise drop digits or carry a sign it
// cannot hold. A value that rounds to 0 from below is 0.
std::int32_t ToWireHundredths(double Value, std::int32_t MaxHundredths,
                              const char *Argument = "value");

// Hundredths back to a value.
inline double FromHundredths(std::int64_t Hundredths) {
  return static_cast<double>(Hundredths) / 100.0;
}

// ---- Fields of the commands -----------------------------------------------------

// Prices: grade g at positions 2g and 2g + 1 of a price command, four digits.
inline constexpr int PriceDigits = 4;
inline constexpr int PriceBytes = 2;
inline constexpr std::int32_t MaxPriceHundredths = 9999;
inline constexpr int GradesOneNozzle = 1;      // what ShapePriceOne carries
inline constexpr int GradesSeveralNozzles = 5; // what ShapePriceFive carries
constexpr int PriceAt(int Grade) { return 2 * Grade; }
static_assert(ShapePriceOne.SendLength == PriceAt(GradesOneNozzle) + PriceBytes);
static_assert(ShapePriceFive.SendLength == PriceAt(GradesSeveralNozzles) + PriceBytes);
void PutPrice(std::int32_t Hundredths, std::uint8_t *Command, int Grade);
std::int32_t PriceOf(const std::uint8_t *Command, int Grade);

// The dose limit: six digits (three bytes) from position 2.
inline constexpr int DoseAt = 2;
inline constexpr int DoseDigits = 5; // rounds up to three bytes
inline constexpr int DoseBytes = 3;
inline constexpr std::int32_t MaxDoseHundredths = 999999;
static_assert(ShapeDose.SendLength == DoseAt + DoseBytes);
void PutDose(std::int32_t Hundredths, std::uint8_t *Command);
std::int32_t DoseOf(const std::uint8_t *Command);

// The unblock code at position 2, its complement at 3.
inline constexpr int UnblockCodeAt = 2;
void PutUnblockCode(std::uint8_t Code, std::uint8_t *Command);
std::uint8_t UnblockCodeOf(const std::uint8_t *Command);
bool UnblockCodeIntact(const std::uint8_t *Command);

// The execute and re-initialise commands: the lead byte and its complement.
void PutLeadAndComplement(std::uint8_t Lead, std::uint8_t *Command);
bool LeadComplementIntact(const std::uint8_t *Command);

// ---- Fields of the replies --------------------------------------------------------

// Short poll and re-initialise: the status byte at 1, its complement at 2.
inline constexpr int StatusByteAt = 1;
void PutStatusReply(std::uint8_t Lead, std::uint8_t Status, std::uint8_t *Reply);
std::uint8_t StatusByteOf(const std::uint8_t *Reply);

// Multi-nozzle poll: nozzles 1 and 2 in the byte at 1 (high nibble first), 3 and
// 4 in the byte at 3, each byte followed by its complement.
void PutNozzleReply(std::uint8_t Lead, const std::uint8_t (&Nibbles)[ReportedNozzles],
                    std::uint8_t *Reply);
std::uint8_t NozzleNibble(const std::uint8_t *Reply, int Nozzle);

// Fill data: the amount (Value2) from position 2, the volume (Value1) from 8, three
// BCD bytes each at every second position; the nozzle of the fill at 14.
inline constexpr int FillValueBytes = 3;
inline constexpr int FillAmountAt = 2;
inline constexpr int FillVolumeAt = 8;
inline constexpr int FillNozzleAt = 14;
inline constexpr std::int64_t MaxFillHundredths = 999999;
static_assert(FillNozzleAt + 2 == ShapeFill.ReplyLength);
void PutFillReply(std::uint8_t Lead, std::int64_t Amount, std::int64_t Volume, int Nozzle,
                  std::uint8_t *Reply);
std::int64_t FillAmountOf(const std::uint8_t *Reply);
std::int64_t FillVolumeOf(const std::uint8_t *Reply);

// Totals: one 12-byte group per nozzle group from position 2, six BCD bytes at
// every second position each; the host reads the last group. The nozzle count
// stands behind the groups.
inline constexpr int TotalsGroupBytes = 12;
inline constexpr int TotalValueBytes = 6;
constexpr int TotalsAt(int Group) { return (Group - 1) * TotalsGroupBytes + 2; }
constexpr std::uint8_t TotalsReplyLength(int Groups) {
  return static_cast<std::uint8_t>(TotalsAt(Groups) + TotalsGroupBytes + 2);
}
static_assert(TotalsReplyLength(1) == ShapeTotals1First.ReplyLength);
static_assert(TotalsReplyLength(2) == ShapeTotals2First.ReplyLength);
// Groups in a totals reply of Length bytes.
constexpr int TotalsGroups(std::size_t Length) {
  return static_cast<int>((Length - 4) / TotalsGroupBytes);
}
void PutTotalsGroup(std::int64_t Total, std::uint8_t *Reply, int Group);
void PutTotalsNozzles(int Nozzles, std::uint8_t *Reply, int Groups);
std::int64_t TotalOf(const std::uint8_t *Reply, int Groups);

// The units byte of the value the host reads last from a read reply of Length
// bytes to a command with Lead: the fill volume, or the last total.
std::size_t LastValueByteAt(std::uint8_t Lead, std::size_t Length);

} // namespace de30::protocol
