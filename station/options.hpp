#pragma once
// What a station is handed besides its configuration: how it reaches its lines,
// the driver's pauses, and its sense of time.

#include "de30/channel.hpp"
#include "de30/pauser.hpp"
#include "station/config.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace de30::station {

// How the station reaches its lines. The default opens each configured line as a
// serial or TCP channel; the embedded simulated station and tests hand in their
// own. Called once per line, on that line's worker thread.
using TChannelFactory = std::function<std::unique_ptr<TComChannel>(const TLineConfig &Line)>;
// The channel factory for real lines (serial device or TCP serial server).
TChannelFactory RealLines();

struct TStationOptions {
  TChannelFactory Channels = RealLines();
  // Pause between status cycles of a line with nothing to do, so an idle line
  // does not spin (0: poll back to back, as on a real 2400-baud line).
  int IdleCycleMs = 0;
  // The driver's pauses; null for real sleeps.
  TPauser *Pauser = nullptr;
  // Names the program in the lines' capture files.
  std::string CaptureApplication = "de30d";
  // The lines' sense of time (milliseconds of a steady clock) and their pause
  // between cycles with nothing to do; null for the real ones. A recorded run is
  // replayed on the time its capture gives.
  std::function<std::int64_t()> Clock;
  std::function<void(std::int64_t)> Idle;
};

} // namespace de30::station
