#pragma once
// --trace: every frame and reply in hex, with what it means.

#include "channels/line_channel.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace de30::ctl {

// "00 09 ": each byte in hex, each followed by a space.
std::string Hex(const std::vector<std::uint8_t> &Bytes);
// "start, pump 3", "price 45.50, pump 1", ...: the command bytes after the 0x00.
std::string DescribeCommand(const std::vector<std::uint8_t> &Command);
// "status byte 0x0A (fuelling)", "volume 12.00 l, amount 546.00", ... for a full
// reply to Command.
std::string DescribeReply(const std::vector<std::uint8_t> &Command,
                          const std::vector<std::uint8_t> &Reply);
// What a status byte means in the pump model of docs/simulator.md: "idle",
// "fuelling", ..., or one of the three names of the bytes without a name of their
// own, tested in this order: a byte after which the driver re-initialises the pump,
// a byte with the error bits set, any other byte.
const char *StatusByteName(std::uint8_t Status);
inline constexpr const char *StatusNameReinit = "fault, asks for re-initialisation";
inline constexpr const char *StatusNameError = "locked or error";
inline constexpr const char *StatusNameOther = "other";
// "status byte 0x0A (fuelling)"
std::string DescribeStatusByte(std::uint8_t Status);

// Prints one transaction to Out.
void PrintTrace(std::FILE *Out, const channels::TTraceRecord &Record);

} // namespace de30::ctl
