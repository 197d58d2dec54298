#pragma once
// The cheapest channel that behaves like a real one: every transaction is answered
// at once from a fixed reply, the first byte echoing the command's lead byte, and
// runs the registered reply check. It records nothing and never allocates, so what
// a benchmark or an allocation count sees is the driver's own cost.

#include "de30/channel.hpp"
#include "de30/constants.hpp"
#include "de30/driver_state.hpp"

#include <cstdint>

namespace de30::test {

class TMemoryChannel final : public TComChannel, public TPauser {
public:
  // The reply every transaction receives; byte 0 is replaced by the lead byte.
  std::uint8_t Reply[CommandBufferSize] = {};

  std::int32_t LastError(std::int32_t) override { return 0; }
  void SetError(std::int32_t, std::int32_t) override {}
  void SetState(std::int32_t Line, std::int32_t State) override {
    States[Line & 0xFF] = static_cast<std::uint8_t>(State);
  }
  std::uint8_t GetState(std::int32_t Line) override { return States[Line & 0xFF]; }
  std::int32_t SetupLine(std::int32_t, std::int32_t, std::int32_t) override { return 0; }
  std::int32_t Transact(std::int32_t Line, std::int32_t, const std::uint8_t *Frame,
                        std::uint8_t, std::uint8_t *Buffer, std::uint8_t ReplyLength,
                        std::uint8_t) override {
    for (std::uint8_t I = 0; I < ReplyLength; ++I)
      Buffer[I] = Reply[I];
    Buffer[0] = Frame[1];
    const std::uint8_t Slot = Line & 0xFF;
    if (Checks[Slot] != nullptr)
      Checks[Slot](CheckData[Slot], Line, Frame + 1, Buffer);
    return 0;
  }
  void SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) override {
    Checks[Line & 0xFF] = Check;
    CheckData[Line & 0xFF] = Data;
  }
  void SetLineSetup(std::int32_t, TLineSetup, void *) override {}
  void Pause(std::uint32_t) override {}

private:
  std::uint8_t States[256] = {};
  TReplyCheck Checks[256] = {};
  void *CheckData[256] = {};
};

} // namespace de30::test
