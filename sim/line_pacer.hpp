#pragma once
// The pace of a serial line: every byte takes ten bit times (start, eight data
// bits, stop) and a byte cannot start before the one ahead of it on the line has
// finished. A served station passes each byte it receives and sends through here,
// so a client sees the timing of a real line, not of a pseudo-terminal.

#include <chrono>
#include <cstddef>

namespace de30::sim {

class TLinePacer {
public:
  using TClock = std::chrono::steady_clock;

  // 0: no pacing, bytes pass as fast as they come.
  explicit TLinePacer(int BaudRate = 0) { SetBaudRate(BaudRate); }
  void SetBaudRate(int BaudRate);
  bool On() const { return ByteTime.count() > 0; }

  // Waits until a byte that was ready to go at Ready has crossed the line. The
  // schedule, not the moment the wait ends, sets where the next byte starts, so
  // the scheduler's lateness does not add up along a reply.
  void Carry(TClock::time_point Ready) { Carry(Ready, 1); }
  // The same for Bytes bytes one after the other, in one wait.
  void Carry(TClock::time_point Ready, std::size_t Bytes);

private:
  TClock::duration ByteTime{0};
  TClock::time_point Free{}; // when the line has finished its last byte
};

} // namespace de30::sim
