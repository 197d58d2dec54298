#include "sim/frames.hpp"

#include "de30/constants.hpp"
#include "protocol/vocabulary.hpp"

namespace de30::sim {

using namespace de30::protocol;

bool LengthNeedsCode(std::uint8_t Lead) { return ShapeNeedsCode(Lead); }

std::optional<std::size_t> CommandLength(std::uint8_t Lead, std::uint8_t Code) {
  const TCommandShape *Shape = FindShape(Lead, Code);
  if (Shape == nullptr)
    return std::nullopt;
  return Shape->SendLength;
}

std::size_t ReplyLength(const TBytes &Command) {
  const TCommandShape *Shape =
      FindShape(Command[LeadAt], Command.size() > 1 ? Command[CodeAt] : 0);
  return Shape != nullptr ? Shape->ReplyLength : Command.size();
}

std::vector<TBytes> TFrameParser::Feed(const std::uint8_t *Data, std::size_t Count) {
  std::vector<TBytes> Done;
  for (std::size_t I = 0; I < Count; ++I)
    Push(Data[I], Done);
  return Done;
}

void TFrameParser::Push(std::uint8_t Byte, std::vector<TBytes> &Done) {
  if (Pending.empty()) {
    if (!Synced) {
      if (Byte == FrameStart)
        Synced = true;
      else
        ++GarbageBytes;
      return;
    }
    // Repeated 0x00 bytes are taken as line idle fill, not as garbage.
    if (Byte == FrameStart)
      return;
    if (!CommandLength(Byte, 0) && !LengthNeedsCode(Byte)) {
      ++GarbageBytes;
      Synced = false;
      return;
    }
    Synced = false;
    Pending.push_back(Byte);
  } else {
    Pending.push_back(Byte);
  }
  const std::uint8_t Code = Pending.size() > 1 ? Pending[1] : 0;
  if (LengthNeedsCode(Pending[0]) && Pending.size() < 2)
    return;
  const auto Length = CommandLength(Pending[0], Code);
  if (!Length) {
    // An unknown code byte: the lead byte was garbage, and the code byte may
    // itself start the next frame.
    GarbageBytes += 1;
    Pending.clear();
    Synced = Byte == FrameStart;
    if (!Synced)
      ++GarbageBytes;
    return;
  }
  if (Pending.size() == *Length) {
    Done.push_back(std::move(Pending));
    Pending.clear();
  }
}

} // namespace de30::sim
