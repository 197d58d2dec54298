#include "protocol/nozzles.hpp"

#include "link/check_exchange.hpp"
#include "protocol/range_checks.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// Whether position code Code replaces a current code of family Family.
bool Outranks(THostFamily Family, std::uint16_t Code) {
  switch (Family) {
  case FamilyNone:
    return true;
  case FamilyIdle:
    return Code > HostCode(FamilyIdle, 6);
  case FamilyReserved:
  case FamilyCalling:
    // Every code with the bits of the ready family set (ready, authorised, ...),
    // and the reserved family's nozzle 0.
    return (Code & FamilyReady) == FamilyReady || Code == HostCode(FamilyReserved, 0);
  default:
    return false;
  }
}

// The families under which a position beyond the record could still be taken.
bool StillOpen(THostFamily Family) {
  return Family == FamilyNone || Family == FamilyIdle || Family == FamilyReserved ||
         Family == FamilyCalling;
}

} // namespace

void BeginSostEx(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                 std::uint8_t Count) {
  CheckPumpAndLine(Line, Pump);
  Driver.NozzleCount[Line][Pump] = Count;
}

void FinishSostEx(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                  std::uint8_t Count, std::uint16_t ShortWord, TSostRecord &Record) {
  if (Count <= 1) {
    Record.Sost = static_cast<std::uint8_t>(ShortWord & 0xFF);
    Record.SostHigh = static_cast<std::uint8_t>(ShortWord >> 8);
    Record.ActiveNozzle = static_cast<std::uint8_t>(NozzleOf(ShortWord));
    Record.Reserved = 0;
    return;
  }
  const std::uint8_t Lead = LeadByte(Pump, ShapeNozzles.Command);
  std::uint8_t Buffer[CommandBufferSize] = {Lead};
  link::CheckExchange(link::Exchange(Driver, Line, Pump, Buffer, ShapeNozzles.SendLength,
                                     ShapeNozzles.ReplyLength, Lead),
                      Line, ShapeNozzles.Message);
  if (Driver.LineState[Line] != LineAccepted)
    return;
  for (int K = 1; K <= Count && K <= ReportedNozzles; ++K)
    Record.Nozzle(K) = TranslateNozzle(Driver, Line, Pump, K, NozzleNibble(Buffer, K));
  Record.Sost = 0;
  Record.SostHigh = 0;
  Record.Reserved = 0;
  SelectActiveNozzle(Record, Count);
}

std::uint16_t TranslateNozzle(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump, int K,
                              std::uint8_t Nibble) {
  switch (Nibble) {
  case NibbleCalling: {
    std::int32_t &CountDown = Driver.CountDown[Line][Pump];
    if (CountDown == 0) {
      Driver.Authorized[Line][Pump] = 0;
      return HostCode(FamilyCalling, K);
    }
    --CountDown;
    return HostCode(FamilyAuthorised, K);
  }
  case NibbleFlowing:
    return HostCode(FamilyAuthorised, K);
  case NibbleReady:
    return HostCode(FamilyReady, K);
  default:
    return CodeIdle;
  }
}

void SelectActiveNozzle(TSostRecord &Record, std::uint8_t Count) {
  for (int K = 1; K <= Count; ++K) {
    const THostFamily Family = FamilyOf(Record.Sost);
    if (K > NozzlePositions) {
      if (StillOpen(Family))
        throw ERangeError("nozzle count", Count, 0, NozzlePositions);
      continue;
    }
    const std::uint16_t Code = Record.Nozzle(K);
    if (!Outranks(Family, Code))
      continue;
    if (Code > 255)
      throw ERangeError("nozzle code", Code, 0, 255);
    Record.Sost = static_cast<std::uint8_t>(Code);
    Record.ActiveNozzle = static_cast<std::uint8_t>(K);
  }
}

} // namespace de30::protocol
