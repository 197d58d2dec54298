#pragma once
// One exchange of a line capture, as written and as read back, and the numbers of
// the capture file's own header (docs/capture.md).

#include "channels/line_channel.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
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
  bool Listened = false;     // heard by a tap on a line another controller drives
};

// A line listened to (de30ctl tap) rather than driven: every interface of such a
// line carries this comment, and its packets the reception type "promiscuous".
inline constexpr const char *ListenedComment =
    "de30: listened on a receive-only tap, not driven by de30";

// What a tap heard, and the numbers its file gives it: an exchange, or bytes that
// belong to none. The latter are packets of their own, inbound, with exchange
// number 0, outcome LooseOutcome and the kind in the result byte.
enum class THeardKind : std::uint8_t {
  Exchange = 0,   // a frame and what was heard of its reply
  Garbage = 1,    // bytes that belong to no frame and no reply
  StrayReply = 2, // bytes shaped like a whole reply whose frame was not heard
};
const char *HeardKindName(THeardKind Kind); // "exchange", "garbage", "reply without its frame"
inline constexpr std::uint8_t LooseOutcome = 4;

struct TLooseBytes {
  std::int32_t Line = 0;
  THeardKind Kind = THeardKind::Garbage;
  std::vector<std::uint8_t> Bytes;
  TClock::time_point At; // when the last of them ended
};

// The serial port's error counts over a capture, as the kernel counts them: bytes
// received with a bad stop bit (framing), a bad parity bit, bytes lost because
// nobody read them in time (overrun, in the UART or in the kernel's buffer), and
// breaks (the line held at space for longer than a byte).
struct TLineErrors {
  std::uint64_t Framing = 0;
  std::uint64_t Parity = 0;
  std::uint64_t Overrun = 0;
  std::uint64_t Break = 0;
  bool operator==(const TLineErrors &) const = default;
};
// "framing 0, parity 0, overrun 0, break 0", or "not available" when the device
// does not count them (a pseudo-terminal, a TCP line, some USB adapters).
std::string LineErrorsText(const std::optional<TLineErrors> &Errors);
// The comment of an interface statistics block that carries them.
inline constexpr const char *LineErrorsPrefix = "de30 line errors: ";
// Reads LineErrorsText back; false when Text is neither form.
bool ParseLineErrors(const std::string &Text, std::optional<TLineErrors> &Errors);

class ECaptureError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace de30::capture
