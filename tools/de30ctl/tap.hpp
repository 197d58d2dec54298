#pragma once
// `de30ctl tap`: listens to a line that another controller drives, through a
// receive-only adapter on the same pair (a serial device opened read-only), a
// serial device server in monitor mode, or a raw recording of one, and shows every
// exchange decoded as --trace does, with the host code de30's driver would derive.
// Nothing is ever written to the line. docs/capture.md, "Listening to a line
// another controller drives".

#include <atomic>
#include <string>

namespace de30::ctl {

struct TTapOptions {
  std::string Serial; // a serial device, opened read-only
  std::string Tcp;    // HOST:PORT of a serial device server in monitor mode
  std::string File;   // a raw recording (capture/raw_recording.hpp) to split again
  std::string Record; // write the raw bytes heard to this recording
  std::string Capture;
  int Line = 1;         // the line number the output and the capture give it
  int BaudRate = 0;     // 0: the recording's, else 2400
  int GapMs = 0;        // 0: a few byte times at the baud rate
  int DurationS = 0;    // 0: until interrupted (or the recording's end)
  bool Summary = false; // only the summary, not every exchange
};

int RunTap(const TTapOptions &Options, const std::atomic<bool> &Stop);

} // namespace de30::ctl
