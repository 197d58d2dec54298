#pragma once
// `de30ctl replay`: serves the lines of a capture, each on a pseudo-terminal or a
// loopback TCP port as `simulate` does, answering every request with the reply
// the capture holds for it, until interrupted; then reports what it served and
// the requests the capture did not hold.

#include <atomic>
#include <string>
#include <vector>

namespace de30::ctl {

struct TReplayOptions {
  std::vector<std::string> Files;
  bool Pty = false;
  int Port = -1;     // first TCP port, line k on Port + k - 1; 0: any free ports
  int DurationS = 0; // 0: until interrupted
};

int RunReplay(const TReplayOptions &Options, const std::atomic<bool> &Stop);

} // namespace de30::ctl
