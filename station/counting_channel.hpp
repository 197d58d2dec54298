#pragma once
// The line's channel as the driver sees it: every call goes through to the real
// channel, and each exchange is counted on the way (exchanges, channel errors by
// number, timeouts, replies the reply check refused). The counts are exact because
// they are taken where the exchanges happen, not guessed from the operations.

#include "de30/channel.hpp"
#include "station/events.hpp"

#include <cstdint>
#include <string>

namespace de30::channels {
class TLineChannel;
}

namespace de30::station {

class TCountingChannel final : public TComChannel {
public:
  explicit TCountingChannel(TComChannel &Inner);

  std::int32_t LastError(std::int32_t Line) override;
  void SetError(std::int32_t Line, std::int32_t Code) override;
  void SetState(std::int32_t Line, std::int32_t State) override;
  std::uint8_t GetState(std::int32_t Line) override;
  std::int32_t SetupLine(std::int32_t Line, std::int32_t Parameter,
                         std::int32_t BaudRate) override;
  std::int32_t Transact(std::int32_t Line, std::int32_t Line2, const std::uint8_t *Frame,
                        std::uint8_t FrameLength, std::uint8_t *Reply, std::uint8_t ReplyLength,
                        std::uint8_t Lead) override;
  void SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) override;
  void SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) override;

  // Exchanges, timeouts, rejected replies and channel errors so far. Line,
  // CycleMs and Cycles are the worker's to fill in.
  const TLineSnapshot &Counts() const { return Health; }
  void NoteError(const std::string &Error);

  // While held, no frame reaches the line: every exchange fails at once with
  // HeldResult and is not counted. A price list is loaded into the driver's
  // table this way, one grade at a time, and then sent once, complete.
  void Hold(bool On) { Holding = On; }
  static constexpr std::int32_t HeldResult = 3; // as a write that failed

private:
  void Failed(std::int32_t Line, std::int32_t Error);
  // The error in words: the real channel's own, with the device and the reason
  // when a line cannot be opened, or the bare text of the number.
  std::string Words(std::int32_t Line, std::int32_t Error);

  TComChannel &Channel;
  channels::TLineChannel *Lines; // Channel, when it is one of de30's own
  TLineSnapshot Health;
  bool Holding = false;
};

} // namespace de30::station
