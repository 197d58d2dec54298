#include "protocol/status.hpp"

#include "de30/messages.hpp"
#include "link/exchange.hpp"
#include "protocol/control.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// Status bytes after which the pump must be re-initialised.
bool AsksForReinit(std::uint8_t S) {
  return S == 0x04 || S == 0x51 || S == 0x59 || S == 0x80 || S == 0x91;
}

} // namespace

std::uint16_t GetSost(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump) {
  CheckPumpAndLine(Line, Pump);
  const std::uint8_t Lead =
      LeadByte(Pump, Driver.Authorized[Line][Pump] != 0 ? CmdStatusAuth : CmdStatus);
  std::uint8_t Buffer[CommandBufferSize] = {Lead};
  CheckExchange(link::Exchange(Driver, Line, Pump, Buffer, 1, StatusReplyLength, Lead),
                messages::GetSost);
  if (Driver.LineState[Line] != LineAccepted)
    return 0; // no status: 0 is no host status code
  return TranslateSost(Driver, Line, Pump, Buffer[1]);
}

std::uint8_t TranslateSost(TDriverState &Driver, std::uint8_t Line, std::uint8_t Pump,
                           std::uint8_t S) {
  std::uint8_t &Authorized = Driver.Authorized[Line][Pump];
  std::int32_t &CountDown = Driver.CountDown[Line][Pump];
  std::uint8_t &AwaitIdle = Driver.AwaitIdle[Line][Pump];

  std::uint8_t Code = CodeIdle;
  if (S == 0)
    AwaitIdle = 0;
  if (S == 0x0A) {
    Code = Authorized != 0 ? CodeAuthorized : CodeCalling;
  } else if ((S & 0x08) == 0x08) {
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
  if ((S & 0x88) == 0x88) {
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
