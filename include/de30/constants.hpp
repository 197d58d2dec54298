#pragma once
// Every fixed number of the driver, in one place. None of them is configurable:
// existing hosts and pumps depend on each of these values.

#include <cstdint>

namespace de30 {

// Channel lines a driver addresses; lines are numbered 1..LineCount.
inline constexpr int LineCount = 32;
// Pump addresses per line in the driver's tables; pumps are numbered 1..PumpCount.
inline constexpr int PumpCount = 32;
// Price grades kept per pump; grades are numbered 1..GradeCount.
inline constexpr int GradeCount = 6;
// Nozzle positions in a multi-nozzle status record.
inline constexpr int NozzlePositions = 6;
// Nozzles whose status the pump reports in one nozzle status reply.
inline constexpr int ReportedNozzles = 4;

// Status polls an authorised pump may report "authorised" before the driver reports
// it as "authorised, not yet fuelling" (209): the count-down a start command loads.
inline constexpr std::int32_t StartPolls = 6;

// Second argument of SetupLine: the line parameter value the pumps' line set-up uses.
inline constexpr std::int32_t LineSetupParameter = 15;
// Third argument of SetupLine: the line speed in baud.
inline constexpr std::int32_t LineBaudRate = 2400;

// Pause after a start command, giving the pump time to switch on before the next poll.
inline constexpr std::uint32_t StartPauseMs = 100;
// Pause between the unblock command and its execute command.
inline constexpr std::uint32_t UnblockPauseMs = 50;

// Prices, volumes, amounts and totals travel in hundredths.
inline constexpr int WireScale = 100;

// Line state the reply check reports for an accepted reply, and for a rejected one.
inline constexpr std::uint8_t LineAccepted = 1;
inline constexpr std::uint8_t LineRejected = 3;
// Error code the reply check stores for an accepted reply, and for a rejected one.
inline constexpr std::int32_t ReplyAcceptedCode = 0;
inline constexpr std::int32_t ReplyRejectedCode = 219;

// The byte in front of every command on the line.
inline constexpr std::uint8_t FrameStart = 0x00;

// Size of the command buffer of the price, dose, fill and totals operations.
inline constexpr int CommandBufferSize = 31;
// Longest command Exchange frames (the frame adds one 0x00 byte in front).
inline constexpr int MaxSendCount = 254;

} // namespace de30
