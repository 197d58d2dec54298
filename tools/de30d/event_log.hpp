#pragma once
// Every station event as one log line, written from a thread of its own so that
// a slow terminal never holds up the station.

#include "log.hpp"
#include "station/events.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace de30::service {

// The line and level an event is logged with: faults and flags warn.
TLevel EventLevel(const station::TEvent &Event);
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
