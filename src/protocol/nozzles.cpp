#include "protocol/nozzles.hpp"

#include "de30/messages.hpp"
#include "link/exchange.hpp"
#include "protocol/control.hpp"
#include "protocol/status.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// Whether position code Code replaces a current code of family Family.
bool Outranks(std::uint8_t Family, std::uint16_t Code) {
  switch (Family) {
  case 0x00:
    return true;
  case 0xC0:
    return Code > 198;
  case 0xC8:
  case 0xE0:
    return (Code & 0xD0) == 0xD0 || Code == 200;
  default:
    return false;
  }
}

// The families under which a position beyond the record could still be taken.
bool StillOpen(std::uint8_t Family) {
  return Family == 0x00 || Family == 0xC0 || Family == 0xC8 || Family == 0xE0;
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
    Record.ActiveNozzle = static_cast<std::uint8_t>(ShortWord & 7);
    Record.Reserved = 0;
    return;
  }
  const std::uint8_t Lead = LeadByte(Pump, CmdNozzles);
  std::uint8_t Buffer[CommandBufferSize] = {Lead};
  CheckExchange(link::Exchange(Driver, Line, Pump, Buffer, 1, NozzleReplyLength, Lead),
                messages::GetSost);
  if (Driver.LineState[Line] != LineAccepted)
    return;
  const std::uint8_t Nibbles[ReportedNozzles] = {
      static_cast<std::uint8_t>(Buffer[1] >> 4), static_cast<std::uint8_t>(Buffer[1] & 15),
      static_cast<std::uint8_t>(Buffer[3] >> 4), static_cast<std::uint8_t>(Buffer[3] & 15)};
  for (int K = 1; K <= Count && K <= ReportedNozzles; ++K)
    Record.Nozzle(K) = TranslateNozzle(Driver, Line, Pump, K, Nibbles[K - 1]);
  Record.Sost = 0;
  Record.SostHigh = 0;
  Record.Reserved = 0;
  SelectActiveNozzle(Record, Count);
}

std::uint16_t TranslateNozzle(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump, int K,
                              std::uint8_t Nibble) {
  switch (Nibble) {
  case 0x2: {
    std::int32_t &CountDown = Driver.CountDown[Line][Pump];
    if (CountDown == 0) {
      Driver.Authorized[Line][Pump] = 0;
      return static_cast<std::uint16_t>(224 + K);
    }
    --CountDown;
    return static_cast<std::uint16_t>(216 + K);
  }
  case 0xA:
    return static_cast<std::uint16_t>(216 + K);
  case 0xB:
    return static_cast<std::uint16_t>(208 + K);
  default:
    return CodeIdle;
  }
}

void SelectActiveNozzle(TSostRecord &Record, std::uint8_t Count) {
  for (int K = 1; K <= Count; ++K) {
    const auto Family = static_cast<std::uint8_t>(Record.Sost & 0xF8);
    if (K > NozzlePositions) {
      if (StillOpen(Family))
        throw ERangeError();
      continue;
    }
    const std::uint16_t Code = Record.Nozzle(K);
    if (!Outranks(Family, Code))
      continue;
    if (Code > 255)
      throw ERangeError();
    Record.Sost = static_cast<std::uint8_t>(Code);
    Record.ActiveNozzle = static_cast<std::uint8_t>(K);
  }
}

} // namespace de30::protocol
