#pragma once
// Cutting the byte stream of a line into commands. Every frame is 0x00, a lead
// byte and the rest of the command; how long the rest is follows from the command
// number and, for command 4, from the code byte. Bytes that fit no frame are
// counted as garbage and skipped until the next 0x00.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace de30::sim {

using TBytes = std::vector<std::uint8_t>;

// Command bytes (lead byte first) of a command that starts with Lead, given the
// code byte when the command has one; nullopt when no command of the vocabulary
// starts this way. Code is ignored for commands that have none.
std::optional<std::size_t> CommandLength(std::uint8_t Lead, std::uint8_t Code);

// Whether a command with this lead byte has a code byte that decides whether
// (and, for command 4, how long) it is a command at all.
bool LengthNeedsCode(std::uint8_t Lead);

// Reply length the host expects for a complete command.
std::size_t ReplyLength(const TBytes &Command);

class TFrameParser {
public:
  // Feeds received bytes; returns the commands (without the 0x00) completed by them.
  std::vector<TBytes> Feed(const std::uint8_t *Data, std::size_t Count);
  // Bytes skipped because they belonged to no frame.
  std::size_t Garbage() const { return GarbageBytes; }

private:
  void Push(std::uint8_t Byte, std::vector<TBytes> &Done);

  bool Synced = false; // a 0x00 has been seen and no command byte yet
  TBytes Pending;      // command bytes gathered so far
  std::size_t GarbageBytes = 0;
};

} // namespace de30::sim
