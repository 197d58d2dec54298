#pragma once
// Every station event as one log line, written from a thread of its own so that
// a slow terminal never holds up the station.

#include "log.hpp"
#include "station/events.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace de30::service {

// The line and level an event is logged with: faults and flags warn.
TLevel EventLevel(const station::TEvent &Event);

// Line health comes every second; a line that keeps failing (a dead line, a
// device that cannot be opened) warns when it starts, then at most once per
// interval while new errors come, and logs only at debug level in between.
class TLineErrorLimiter {
public:
  explicit TLineErrorLimiter(std::int64_t IntervalMs = 60000) : Interval(IntervalMs) {}
  TLevel Level(const station::TEvent &Event);

private:
  struct TSeen {
    std::int64_t LastErrorMs = 0; // the last error already logged about
    std::int64_t WarnedMs = 0;    // when the line last warned
  };
  std::int64_t Interval;
  std::map<int, TSeen> Lines;
};
std::string DescribeEvent(const station::TEvent &Event);

class TEventLog {
public:
  explicit TEventLog(station::TEventBus &Bus);
  ~TEventLog(); // stops
  void Stop();

private:
  std::shared_ptr<station::TEventBus::TSubscription> Subscription;
  std::atomic<bool> Stopping{false};
  std::thread Writer;
};

} // namespace de30::service
