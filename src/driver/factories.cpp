#include "de30/driver.hpp"

namespace de30 {
namespace {

// The driver the last factory call created. Kept for hosts of the original
// library; nothing in the driver reads it.
TVM30 *LastCreated = nullptr;

} // namespace

TVM30::TVM30(TWindowHandle HostWindow, TComChannel *HostChannel, TPauser *Pauser)
    : Window(HostWindow),
      State(HostChannel, Pauser != nullptr ? *Pauser : TThreadPauser::Instance()) {}

TVM30::~TVM30() {
  if (LastCreated == this)
    LastCreated = nullptr;
}

std::unique_ptr<TVM30> GetDE30(std::uint8_t /*Unused*/, TWindowHandle AppHandle,
                               TComChannel *Channel, TPauser *Pauser) {
  auto Driver = std::make_unique<TVM30>(AppHandle, Channel, Pauser);
  LastCreated = Driver.get();
  return Driver;
}

std::unique_ptr<TVM30> GetDriver25(std::uint8_t Unused, TWindowHandle AppHandle,
                                   TComChannel *Channel, std::uint32_t, std::uint32_t,
                                   std::uint32_t, std::uint32_t, std::uint32_t,
                                   TPauser *Pauser) {
  return GetDE30(Unused, AppHandle, Channel, Pauser);
}

TVM30 *MostRecentDriver() noexcept { return LastCreated; }

} // namespace de30
