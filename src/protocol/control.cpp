#include "protocol/control.hpp"

#include "link/as_byte.hpp"
#include "link/check_exchange.hpp"
#include "protocol/range_checks.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// The longest control command: lead byte, code, unblock code, complement.
constexpr int ControlBytes = 4;
static_assert(ShapeUnblock.SendLength <= ControlBytes);

// Sends the first bytes of Command as Shape says, with Lead as the lead argument.
void Send(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
          const TCommandShape &Shape, std::uint8_t (&Command)[ControlBytes],
          std::uint8_t Lead) {
  const std::uint8_t PumpByte = link::AsByte(Pump, PumpArgument);
  const std::uint8_t LineByte = link::AsByte(Line, LineArgument);
  link::CheckExchange(link::Exchange(Driver, LineByte, PumpByte, Command, Shape.SendLength,
                                     Shape.ReplyLength, Lead),
                      Line, Shape.Message);
}

// A command whose lead byte is followed by its complement.
void SendLeadAndComplement(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                           const TCommandShape &Shape) {
  const std::uint8_t Lead = LeadByte(Pump, Shape.Command);
  std::uint8_t Command[ControlBytes] = {};
  PutLeadAndComplement(Lead, Command);
  Send(Driver, Line, Pump, Shape, Command, Lead);
}

// A command 4 with one code byte.
void SendSetCommand(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                    const TCommandShape &Shape) {
  const std::uint8_t Lead = LeadByte(Pump, Shape.Command);
  std::uint8_t Command[ControlBytes] = {Lead, Shape.Code};
  Send(Driver, Line, Pump, Shape, Command, Lead);
}

} // namespace

void StartPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  // Tested before anything is sent: a pump switched on outside the tables could
  // never be tracked by the status polls.
  CheckPumpAndLine(Line, Pump);
  SendSetCommand(Driver, Line, Pump, ShapeStart);
  ExecuteCommand(Driver, Line, Pump);
  Driver.Authorized[Line][Pump] = 1;
  Driver.CountDown[Line][Pump] = StartPolls;
  Driver.Pauser.Pause(StartPauseMs);
}

void StopPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  SendSetCommand(Driver, Line, Pump, ShapeStop);
  ExecuteCommand(Driver, Line, Pump);
}

void UnblockPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                 std::int32_t UnblockCode) {
  CheckPumpAndLine(Line, Pump);
  Driver.AwaitIdle[Line][Pump] = 1;
  ReinitPump(Driver, Line, Pump);
  SendUnblock(Driver, Line, Pump, UnblockCode);
}

void ExecuteCommand(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  SendLeadAndComplement(Driver, Line, Pump, ShapeExecute);
}

void ReinitPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  SendLeadAndComplement(Driver, Line, Pump, ShapeReinit);
}

void SendUnblock(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                 std::int32_t UnblockCode) {
  const std::uint8_t Lead = LeadByte(Pump, ShapeUnblock.Command);
  if (UnblockCode < 0 || UnblockCode > 255)
    throw ERangeError("unblock code", UnblockCode, 0, 255);
  std::uint8_t Command[ControlBytes] = {Lead, ShapeUnblock.Code};
  PutUnblockCode(static_cast<std::uint8_t>(UnblockCode), Command);
  // The one exchange whose lead argument is 0 rather than its lead byte.
  Send(Driver, Line, Pump, ShapeUnblock, Command, 0);
  Driver.Pauser.Pause(UnblockPauseMs);
  ExecuteCommand(Driver, Line, Pump);
}

} // namespace de30::protocol
