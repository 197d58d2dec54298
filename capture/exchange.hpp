#pragma once
// One exchange of a line capture, as written and as read back, and the numbers of
// the capture file's own header (docs/capture.md).

#include "channels/line_channel.hpp"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace de30::capture {

// What became of an exchange. The numbers are the file's.
enum class TOutcome : std::uint8_t {
  Accepted = 0,     // a whole reply that the reply check took
  Rejected = 1,     // a whole reply that the reply check refused
  Timeout = 2,      // no reply, or a short one, within the timeout
  ChannelError = 3, // the channel failed otherwise (open, write, closed line)
};
inline constexpr std::uint8_t OutcomeCount = 4;
const char *OutcomeName(TOutcome Outcome); // "accepted", "rejected", "timeout", "channel error"

// The outcome the channel's trace record tells.
TOutcome OutcomeOf(const channels::TTraceRecord &Record);

// The payload header every packet starts with.
inline constexpr std::size_t HeaderSize = 8;
inline constexpr std::uint8_t HeaderVersion = 1;
// pcapng's first user link type: the file is ours to describe.
inline constexpr std::uint16_t LinkTypeUser0 = 147;

using TClock = std::chrono::system_clock;

struct TCapturedExchange {
  std::int32_t Line = 0;
  std::uint32_t Number = 0; // on its line, from 1
  TOutcome Outcome = TOutcome::Accepted;
  std::uint8_t Result = 0;      // the channel's result number
  std::uint8_t ReplyLength = 0; // what the driver expected
  std::vector<std::uint8_t> Frame;
  std::vector<std::uint8_t> Reply; // what arrived
  TClock::time_point SentAt;
  TClock::time_point DoneAt;
  bool ReplyMissing = false; // the file holds the frame but not its reply packet
};

class ECaptureError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace de30::capture
