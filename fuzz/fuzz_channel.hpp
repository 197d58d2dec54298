#pragma once
// A channel that lets the fuzz input decide everything a channel decides: results,
// exceptions, reply bytes, whether the reply check runs and what it sees. It checks
// what the driver hands it on the way.

#include "de30/channel.hpp"
#include "de30/driver_state.hpp"
#include "fuzz_input.hpp"

namespace de30::fuzz {

// Thrown by the channel to stand for a host exception outside std::exception.
struct TForeignFailure {};

// Stops the run with a message: a broken invariant.
[[noreturn]] void Fail(const char *What);

class TFuzzChannel final : public TComChannel, public TPauser {
public:
  explicit TFuzzChannel(TFuzzInput &Input) : In(Input) {}

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
  void Pause(std::uint32_t Milliseconds) override;

  // The driver the registered routines must name as their data.
  void *Expected = nullptr;

private:
  // Raises a std or foreign exception when the input says so.
  void MaybeThrow();

  TFuzzInput &In;
  std::uint8_t States[256] = {};
  TReplyCheck Checks[256] = {};
  void *CheckData[256] = {};
  TLineSetup Setups[256] = {};
  void *SetupData[256] = {};
};

} // namespace de30::fuzz
