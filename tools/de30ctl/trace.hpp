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
// What a status byte means in the pump model of docs/simulator.md.
std::string DescribeStatusByte(std::uint8_t Status);

// Prints one transaction to Out.
void PrintTrace(std::FILE *Out, const channels::TTraceRecord &Record);

} // namespace de30::ctl
