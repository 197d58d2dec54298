#pragma once
// `de30ctl stats`: a capture's figures per line and per pump, as a table or JSON
// (capture/line_stats.hpp says what each figure is), and for a line a tap listened
// to, that it was not driven, the bytes it heard in no exchange and the line's
// error counts when the capture carries them.

#include <string>
#include <vector>

namespace de30::ctl {

struct TStatsOptions {
  std::vector<std::string> Files;
  bool Json = false;
};

int RunStats(const TStatsOptions &Options);

} // namespace de30::ctl
