#pragma once
// pcapng's blocks as bytes: the three the writer needs, in the byte order of the
// machine that writes them (the section header tells readers which that is).

#include "capture/exchange.hpp"

#include <cstdint>
#include <string>

namespace de30::capture::blocks {

inline constexpr std::uint32_t SectionHeader = 0x0A0D0D0A;
inline constexpr std::uint32_t InterfaceDescription = 1;
inline constexpr std::uint32_t EnhancedPacket = 6;
inline constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;

inline constexpr std::uint16_t OptEnd = 0;
inline constexpr std::uint16_t OptShbUserAppl = 4;
inline constexpr std::uint16_t OptIfName = 2;
inline constexpr std::uint16_t OptIfDescription = 3;
inline constexpr std::uint16_t OptIfTsresol = 9;
inline constexpr std::uint16_t OptEpbFlags = 2;

// epb_flags' direction bits.
inline constexpr std::uint32_t FlagInbound = 1;
inline constexpr std::uint32_t FlagOutbound = 2;

std::string Section(const std::string &Application);
std::string Interface(std::int32_t Line, const std::string &Device);
// One packet: the de30 header (taken from Exchange) and Bytes.
std::string Packet(std::uint32_t Interface, TClock::time_point At, bool Outbound,
                   const TCapturedExchange &Exchange, const std::vector<std::uint8_t> &Bytes);

} // namespace de30::capture::blocks
