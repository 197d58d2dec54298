#pragma once
// The host's channel as the driver sees it: a TComChannel that calls the host's
// object through the host's own table of stdcall code addresses, each call under a
// frame-based handler (seh.hpp).

#include "de30/channel.hpp"

#include <cstdint>

namespace de30::win32 {

class THostChannel final : public TComChannel {
public:
  // Host: the host's channel object (its first word points to its table). Owner:
  // the data word registered with the host's routines, the DLL's driver object.
  THostChannel(void *Host, void *Owner) noexcept : HostObject(Host), OwnerObject(Owner) {}

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

  // The host calls these, registered with it in place of the driver's routines;
  // each runs the routine the driver registered last. One slot each serves every
  // line: the driver always registers the same routine with the same data.
  static bool __attribute__((regparm(3), stdcall))
  CheckThunk(void *Owner, std::int32_t Line, std::uint32_t Ecx, const std::uint8_t *B,
             const std::uint8_t *A, std::uint32_t Ignored);
  static std::int32_t __attribute__((regparm(3), stdcall))
  SetupThunk(void *Owner, std::int32_t Line);

private:
  // How the host's exceptions from a position reach the driver.
  enum TOnException {
    Absorbable, // EChannelException: Exchange absorbs it
    PassOn      // THostException: the DLL entry raises it again for the host
  };
  // Calls the host's entry at Position with the object and Words argument words.
  template <int Words>
  std::uint32_t CallWords(int Position, TOnException OnException, const std::uint32_t *Args);

  void *HostObject;
  void *OwnerObject;
  TReplyCheck Check = nullptr;
  void *CheckData = nullptr;
  TLineSetup Setup = nullptr;
  void *SetupData = nullptr;
};

} // namespace de30::win32
