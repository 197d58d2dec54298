#include "protocol/status.hpp"

#include "link/check_exchange.hpp"
#include "protocol/control.hpp"
#include "protocol/range_checks.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {

std::uint16_t GetSost(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump) {
  CheckPumpAndLine(Line, Pump);
  const TCommandShape &Shape =
      Driver.Authorized[Line][Pump] != 0 ? ShapeStatusAuth : ShapeStatus;
  const std::uint8_t Lead = LeadByte(Pump, Shape.Command);
  std::uint8_t Buffer[CommandBufferSize] = {Lead};
  link::CheckExchange(
      link::Exchange(Driver, Line, Pump, Buffer, Shape.SendLength, Shape.ReplyLength, Lead),
      Line, Shape.Message);
  if (Driver.LineState[Line] != LineAccepted)
    return NoStatus;
  return TranslateSost(Driver, Line, Pump, StatusByteOf(Buffer));
}

std::uint8_t TranslateSost(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                           std::uint8_t S) {
  std::uint8_t &Authorized = Driver.Authorized[Line][Pump];
  std::int32_t &CountDown = Driver.CountDown[Line][Pump];
  std::uint8_t &AwaitIdle = Driver.AwaitIdle[Line][Pump];

  std::uint8_t Code = CodeIdle;
  if (S == StatusIdle)
    AwaitIdle = 0;
  if (S == StatusFuelling) {
    Code = Authorized != 0 ? CodeAuthorized : CodeCalling;
  } else if (IsActiveStatus(S)) {
    if (Authorized == 0) {
      Code = CodeCalling;
    } else if (CountDown == 0) {
      Code = CodeAuthorizedIdle;
    } else {
      Code = CodeAuthorized;
      --CountDown;
    }
  }
  // A fault overrides the code above; the count-down step above stands.
  if (IsErrorStatus(S)) {
    Code = CodeIdle;
  } else if (AsksForReinit(S)) {
    ReinitPump(Driver, Line, Pump);
    Code = Authorized != 0 ? CodeAuthorized : CodeAuthorizedIdle;
  }
  if (AwaitIdle != 0 && Code == CodeCalling)
    Code = CodeIdle;
  if (Code == CodeIdle || Code == CodeCalling)
    Authorized = 0;
  return Code;
}

} // namespace de30::protocol
