#include "sim/line_pacer.hpp"

#include <thread>

namespace de30::sim {

void TLinePacer::SetBaudRate(int BaudRate) {
  using namespace std::chrono;
  ByteTime = BaudRate > 0
                 ? duration_cast<TClock::duration>(nanoseconds(10'000'000'000LL / BaudRate))
                 : TClock::duration{0};
}

void TLinePacer::Carry(TClock::time_point Ready, std::size_t Bytes) {
  if (!On() || Bytes == 0)
    return;
  Free = (Ready > Free ? Ready : Free) + ByteTime * static_cast<TClock::rep>(Bytes);
  std::this_thread::sleep_until(Free);
}

} // namespace de30::sim
