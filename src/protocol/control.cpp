#include "protocol/control.hpp"

#include "de30/messages.hpp"
#include "link/exchange.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::protocol {
namespace {

// One short control exchange: lead byte, then up to three bytes after it.
struct TControlFrame {
  std::uint8_t Bytes[4];
  std::uint8_t SendCount;
  std::uint8_t ReplyLen;
  std::uint8_t LeadArgument;
  const char *Message;
};

void Send(TDriverState &Driver, std::int32_t Line, std::int32_t Pump, TControlFrame Frame) {
  const std::uint8_t PumpByte = AsByte(Pump);
  const std::uint8_t LineByte = AsByte(Line);
  CheckExchange(link::Exchange(Driver, LineByte, PumpByte, Frame.Bytes, Frame.SendCount,
                               Frame.ReplyLen, Frame.LeadArgument),
                Frame.Message);
}

// A lead byte followed by its complement.
TControlFrame LeadAndComplement(std::int32_t Pump, std::uint8_t Command, std::uint8_t ReplyLen,
                                const char *Message) {
  const std::uint8_t Lead = LeadByte(Pump, Command);
  return {{Lead, Complement(Lead), 0, 0}, 2, ReplyLen, Lead, Message};
}

// A command 4 with one code byte.
TControlFrame SetCommand(std::int32_t Pump, std::uint8_t Code, const char *Message) {
  const std::uint8_t Lead = LeadByte(Pump, CmdSet);
  return {{Lead, Code, 0, 0}, 2, 2, Lead, Message};
}

} // namespace

void CheckPumpAndLine(std::int32_t Line, std::int32_t Pump) {
  if (!TIndexed<int, PumpCount>::Contains(Pump) || !TIndexed<int, LineCount>::Contains(Line))
    throw ERangeError();
}

std::uint8_t AsByte(std::int32_t Value) {
  const auto Word = static_cast<std::uint32_t>(Value);
  if (Word > 255)
    throw ERangeError();
  return static_cast<std::uint8_t>(Word);
}

void CheckExchange(std::int32_t Result, const char *Message) {
  if (Result != 0)
    throw ESerialIO(Message);
}

void StartPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  // Tested before anything is sent: a pump switched on outside the tables could
  // never be tracked by the status polls.
  CheckPumpAndLine(Line, Pump);
  Send(Driver, Line, Pump, SetCommand(Pump, CodeStart, messages::StartPump));
  ExecuteCommand(Driver, Line, Pump);
  Driver.Authorized[Line][Pump] = 1;
  Driver.CountDown[Line][Pump] = StartPolls;
  Driver.Pauser->Pause(StartPauseMs);
}

void StopPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  Send(Driver, Line, Pump, SetCommand(Pump, CodeStop, messages::StopPump));
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
  Send(Driver, Line, Pump,
       LeadAndComplement(Pump, CmdExecute, ExecuteReplyLength, messages::ExecuteCommand));
}

void ReinitPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump) {
  Send(Driver, Line, Pump,
       LeadAndComplement(Pump, CmdReinit, StatusReplyLength, messages::ReinitPump));
}

void SendUnblock(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                 std::int32_t UnblockCode) {
  const std::uint8_t Lead = LeadByte(Pump, CmdSet);
  if (UnblockCode < 0 || UnblockCode > 255)
    throw ERangeError();
  const auto Code = static_cast<std::uint8_t>(UnblockCode);
  // The one exchange whose lead argument is 0 rather than its lead byte.
  Send(Driver, Line, Pump,
       {{Lead, CodeUnblock, Code, Complement(Code)}, 4, 4, 0, messages::SendUnblock});
  Driver.Pauser->Pause(UnblockPauseMs);
  ExecuteCommand(Driver, Line, Pump);
}

} // namespace de30::protocol
