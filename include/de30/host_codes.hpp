#pragma once
// Host status codes: what GetSost and GetSostEx report for a pump and each of its
// nozzles (docs/status-codes.md). A host reads them as a family and a nozzle
// number; the wire vocabulary produces them from status bytes and nibbles.

#include <cstdint>

namespace de30 {

// The high five bits of a host status code; the low three are the nozzle number.
enum THostFamily : std::uint8_t {
  FamilyNone = 0x00, // not a code: no status
  FamilyIdle = 0xC0,
  FamilyReserved = 0xC8, // never produced; recognised by the nozzle selection
  FamilyReady = 0xD0,
  FamilyAuthorised = 0xD8,
  FamilyCalling = 0xE0,
};
inline constexpr std::uint8_t FamilyBits = 0xF8;
inline constexpr std::uint8_t NozzleBits = 0x07;

constexpr std::uint8_t HostCode(THostFamily Family, int Nozzle) {
  return static_cast<std::uint8_t>(Family | (Nozzle & NozzleBits));
}
constexpr THostFamily FamilyOf(std::uint16_t Code) {
  return static_cast<THostFamily>(Code & FamilyBits);
}
constexpr int NozzleOf(std::uint16_t Code) { return Code & NozzleBits; }

// The codes of the short poll.
inline constexpr std::uint8_t CodeIdle = HostCode(FamilyIdle, 0);             // 192
inline constexpr std::uint8_t CodeAuthorizedIdle = HostCode(FamilyReady, 1);  // 209
inline constexpr std::uint8_t CodeAuthorized = HostCode(FamilyAuthorised, 1); // 217
inline constexpr std::uint8_t CodeCalling = HostCode(FamilyCalling, 1);       // 225
// The status word of a poll whose reply was not accepted.
inline constexpr std::uint16_t NoStatus = 0;

} // namespace de30
