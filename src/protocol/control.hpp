#pragma once
// Commands that change a pump's operating state, and the exchanges other
// operations share with them: the execute command that confirms every command 4,
// and the re-initialise command.

#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::protocol {

// Start (0xE1) and execute; then Authorized := 1, CountDown := 6 and the start pause.
void StartPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump);
// Stop (0xD2) and execute. Changes no table.
void StopPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump);
// AwaitIdle := 1, re-initialise, unblock with UnblockCode, execute.
void UnblockPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                 std::int32_t UnblockCode);

// Command 5 with the complement of its lead byte: confirms the command 4 before it.
void ExecuteCommand(TDriverState &Driver, std::int32_t Line, std::int32_t Pump);
// Command 7 with the complement of its lead byte.
void ReinitPump(TDriverState &Driver, std::int32_t Line, std::int32_t Pump);
// Command 4 with 0x96, the unblock code and its complement; the unblock pause; execute.
void SendUnblock(TDriverState &Driver, std::int32_t Line, std::int32_t Pump,
                 std::int32_t UnblockCode);

} // namespace de30::protocol
