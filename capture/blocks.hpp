#pragma once
// pcapng's blocks as bytes: the three the writer needs, in the byte order of the
// machine that writes them (the section header tells readers which that is).

#include "capture/exchange.hpp"

#include <cstdint>
#include <string>

namespace de30::capture::blocks {

inline constexpr std::uint32_t SectionHeader = 0x0A0D0D0A;
inline constexpr std::uint32_t InterfaceDescription = 1;
inline constexpr std::uint32_t InterfaceStatistics = 5;
inline constexpr std::uint32_t EnhancedPacket = 6;
inline constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;

inline constexpr std::uint16_t OptEnd = 0;
inline constexpr std::uint16_t OptComment = 1;
inline constexpr std::uint16_t OptShbUserAppl = 4;
inline constexpr std::uint16_t OptIfName = 2;
inline constexpr std::uint16_t OptIfDescription = 3;
inline constexpr std::uint16_t OptIfTsresol = 9;
inline constexpr std::uint16_t OptEpbFlags = 2;
inline constexpr std::uint16_t OptIsbStartTime = 2;
inline constexpr std::uint16_t OptIsbEndTime = 3;

// epb_flags' direction bits.
inline constexpr std::uint32_t FlagInbound = 1;
inline constexpr std::uint32_t FlagOutbound = 2;
// epb_flags' reception type (bits 2..4) "promiscuous": heard, neither sent nor
// addressed to the capturing host. A tap's packets carry it.
inline constexpr std::uint32_t FlagPromiscuous = 4u << 2;

// The 8 bytes in front of every packet's line bytes (docs/capture.md).
struct THeader {
  std::uint8_t Outcome = 0;
  std::uint8_t Result = 0;
  std::uint8_t ReplyLength = 0;
  std::uint32_t Number = 0;
};
THeader HeaderOf(const TCapturedExchange &Exchange);

std::string Section(const std::string &Application);
// Listened: the line is heard by a tap (ListenedComment).
std::string Interface(std::int32_t Line, const std::string &Device, bool Listened = false);
// One packet: the de30 header and Bytes; Flags are epb_flags.
std::string Packet(std::uint32_t Interface, TClock::time_point At, std::uint32_t Flags,
                   const THeader &Header, const std::vector<std::uint8_t> &Bytes);
// Statistics of an interface from From to At, with Comment.
std::string Statistics(std::uint32_t Interface, TClock::time_point From, TClock::time_point At,
                       const std::string &Comment);

} // namespace de30::capture::blocks
