#include "de30/pauser.hpp"

#include <chrono>
#include <thread>

namespace de30 {

void TThreadPauser::Pause(std::uint32_t Milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

TThreadPauser &TThreadPauser::Instance() {
  static TThreadPauser Pauser;
  return Pauser;
}

} // namespace de30
