#include "de30/driver.hpp"

#include "driver/ident.hpp"

#include "link/init_line.hpp"
#include "protocol/control.hpp"
#include "protocol/fill.hpp"
#include "protocol/nozzles.hpp"
#include "protocol/prices.hpp"
#include "protocol/status.hpp"

namespace de30 {

void TVM30::Spare0() { throw EAbstractError(); }

TIdentString TVM30::GetIdent() { return Ident; }

void TVM30::SetLineState(std::uint8_t Line, std::uint8_t Value) {
  if (State.LineState.Contains(Line))
    State.LineState[Line] = Value;
}

std::uint8_t TVM30::GetLineState(std::uint8_t Line) {
  return State.LineState.Contains(Line) ? State.LineState[Line] : 0;
}

std::uint8_t TVM30::StopPump(std::int32_t Line, std::int32_t Pump) {
  protocol::StopPump(State, Line, Pump);
  return 0;
}

void TVM30::Spare5() {}

void TVM30::GetFillData(std::int32_t Line, std::int32_t Pump, double &Value1, double &Value2) {
  Value1 = ReadFill(Line, Pump, Value2);
}

void TVM30::GetTotals(std::int32_t Line, std::int32_t Pump, double &Total1, double &Total2) {
  protocol::GetTotals(State, Line, Pump, Total1, Total2);
}

void TVM30::Spare8() {}

double TVM30::ReadFill(std::int32_t Line, std::int32_t Pump, double &Value2) {
  return protocol::ReadFill(State, Line, Pump, Value2);
}

std::uint16_t TVM30::GetSost(std::uint8_t Line, std::uint8_t Pump) {
  return protocol::GetSost(State, Line, Pump);
}

void TVM30::SetPrice(std::int32_t Line, std::int32_t Pump, std::int32_t Grade, double Price) {
  protocol::SetPrice(State, Line, Pump, Grade, Price);
}

void TVM30::Spare12() {}

void TVM30::SetDoseLitres(std::int32_t Line, std::int32_t Pump, double Volume) {
  protocol::SetDoseLitres(State, Line, Pump, Volume);
}

void TVM30::SetDoseMoney(std::int32_t Line, std::int32_t Pump, std::int32_t Grade,
                         double Money) {
  SetDoseLitres(Line, Pump, MoneyToVolume(Line, Pump, Grade, Money));
}

void TVM30::StartPump(std::int32_t Line, std::int32_t Pump) {
  protocol::StartPump(State, Line, Pump);
}

std::int32_t TVM30::InitLine(std::int32_t Line) { return link::InitLine(State, Line); }

void TVM30::Spare17() {}

void TVM30::Spare18() {}

void TVM30::StartPumpEx(std::int32_t Line, std::int32_t Pump) { StartPump(Line, Pump); }

bool TVM30::GetCapability(std::int32_t Kind, std::int32_t &Value) {
  switch (Kind) {
  case 1:
    Value = 0;
    return true;
  case 2:
  case 4:
    Value = 1;
    return true;
  default:
    return false;
  }
}

void TVM30::GetSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count,
                      TSostRecord &Record) {
  BeginSostEx(Line, Pump, Count);
  const std::uint16_t ShortWord = GetSost(Line, Pump);
  FinishSostEx(Line, Pump, Count, ShortWord, Record);
}

void TVM30::StopPumpIf(std::int32_t Line, std::int32_t Pump, std::uint8_t StopFlag) {
  if (StopFlag != 0)
    StopPump(Line, Pump);
}

void TVM30::UnblockPump(std::int32_t Line, std::int32_t Pump, std::int32_t UnblockCode) {
  protocol::UnblockPump(State, Line, Pump, UnblockCode);
}

double TVM30::MoneyToVolume(std::int32_t Line, std::int32_t Pump, std::int32_t Grade,
                            double Money) {
  return protocol::MoneyToVolume(State, Line, Pump, Grade, Money);
}

void TVM30::BeginSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count) {
  protocol::BeginSostEx(State, Line, Pump, Count);
}

void TVM30::FinishSostEx(std::uint8_t Line, std::uint8_t Pump, std::uint8_t Count,
                         std::uint16_t ShortWord, TSostRecord &Record) {
  protocol::FinishSostEx(State, Line, Pump, Count, ShortWord, Record);
}

} // namespace de30
