#include "fuzz_channel.hpp"

#include "de30/constants.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace de30::fuzz {

void Fail(const char *What) {
  std::fprintf(stderr, "invariant broken: %s\n", What);
  std::abort();
}

void TFuzzChannel::MaybeThrow() {
  const std::uint8_t Decision = In.Byte();
  if (Decision == 0xFE)
    throw std::runtime_error("channel failure");
  if (Decision == 0xFF)
    throw TForeignFailure{};
}

std::int32_t TFuzzChannel::LastError(std::int32_t) {
  MaybeThrow();
  const std::uint8_t Kind = In.Byte();
  return Kind < 0x80 ? 0 : In.I32();
}

void TFuzzChannel::SetError(std::int32_t, std::int32_t Code) {
  if (Code != ReplyAcceptedCode && Code != ReplyRejectedCode)
    Fail("the reply check stored an error code other than 0 or 219");
}

void TFuzzChannel::SetState(std::int32_t Line, std::int32_t State) {
  if (State != LineAccepted && State != LineRejected)
    Fail("the reply check stored a line state other than 1 or 3");
  States[Line & 0xFF] = static_cast<std::uint8_t>(State);
}

std::uint8_t TFuzzChannel::GetState(std::int32_t Line) {
  MaybeThrow();
  const std::uint8_t Kind = In.Byte();
  return Kind < 0xC0 ? States[Line & 0xFF] : In.Byte();
}

std::int32_t TFuzzChannel::SetupLine(std::int32_t, std::int32_t Parameter,
                                     std::int32_t BaudRate) {
  if (Parameter != LineSetupParameter || BaudRate != LineBaudRate)
    Fail("line set-up with other values than 15 and 2400");
  MaybeThrow();
  return In.I32();
}

std::int32_t TFuzzChannel::Transact(std::int32_t Line, std::int32_t Line2,
                                    const std::uint8_t *Frame, std::uint8_t FrameLength,
                                    std::uint8_t *Reply, std::uint8_t ReplyLength,
                                    std::uint8_t Lead) {
  if (Line != Line2)
    Fail("Transact's two line words differ");
  if (FrameLength < 2 || Frame[0] != 0x00)
    Fail("a frame without its 0x00 byte or without a command");
  if (Lead != Frame[1] && !(Lead == 0 && FrameLength == 5 && Frame[2] == 0x96))
    Fail("a lead argument other than the lead byte outside the unblock command");
  if (ReplyLength < 1 || ReplyLength > CommandBufferSize)
    Fail("a reply length no command buffer holds");
  const std::uint8_t Sent = Frame[1];
  // A channel may re-open the line, and so run its set-up, at any time.
  if (Setups[Line & 0xFF] != nullptr && In.Byte() == 0x5E)
    Setups[Line & 0xFF](SetupData[Line & 0xFF], Line);
  MaybeThrow();
  // The channel writes what the input says, up to the length the driver asked for;
  // a buffer shorter than that shows up under the address sanitizer.
  const std::uint8_t Written = static_cast<std::uint8_t>(In.Byte() % (ReplyLength + 1));
  for (std::uint8_t I = 0; I < Written; ++I)
    Reply[I] = In.Byte();
  const std::uint8_t Verdict = In.Byte();
  if (Written > 0 && Verdict < 0xA0)
    Reply[0] = Sent; // an answer from the addressed pump
  TReplyCheck Check = Checks[Line & 0xFF];
  if (Check != nullptr && Verdict != 0xFF && Written > 0) {
    if (CheckData[Line & 0xFF] != Expected)
      Fail("a reply check registered with another driver's data");
    Check(CheckData[Line & 0xFF], Line, Frame + 1, Reply);
  }
  const std::uint8_t Outcome = In.Byte();
  return Outcome < 0xE0 ? 0 : In.I32();
}

void TFuzzChannel::SetReplyCheck(std::int32_t Line, TReplyCheck Check, void *Data) {
  if (Check == nullptr || Data != Expected)
    Fail("SetReplyCheck without the driver's check and data");
  Checks[Line & 0xFF] = Check;
  CheckData[Line & 0xFF] = Data;
}

void TFuzzChannel::SetLineSetup(std::int32_t Line, TLineSetup Setup, void *Data) {
  if (Setup == nullptr || Data != Expected)
    Fail("SetLineSetup without the driver's routine and data");
  Setups[Line & 0xFF] = Setup;
  SetupData[Line & 0xFF] = Data;
}

void TFuzzChannel::Pause(std::uint32_t Milliseconds) {
  if (Milliseconds != StartPauseMs && Milliseconds != UnblockPauseMs)
    Fail("a pause other than the start and unblock pauses");
}

} // namespace de30::fuzz
