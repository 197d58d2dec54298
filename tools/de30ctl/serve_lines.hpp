#pragma once
// Serves lines to other programs, as `simulate` and `replay` do: each line on a
// pseudo-terminal of its own, or on loopback TCP port Port + k - 1 for line k (0:
// any free ports), with a line printed for each saying where.

#include "sim/server.hpp"

#include <memory>
#include <string>
#include <vector>

namespace de30::ctl {

struct TServedLines {
  std::vector<std::unique_ptr<sim::TStationServer>> Servers;
  // The de30ctl options that reach them: " --tcp 1=127.0.0.1:5000 ...".
  std::string Options;
};

// Opens a server for each of Lines, answered by Responder, not started yet.
// BaudRate above 0 paces the replies like a line of that speed. ECtlError for a
// port beyond 65535 or a server that cannot be opened.
TServedLines ServeLines(sim::TLineResponder &Responder, const std::vector<int> &Lines, bool Pty,
                        int Port, int BaudRate = 0);

} // namespace de30::ctl
