#pragma once
// The push stream of station events as Server-Sent Events: "id:" the run and the
// event's sequence ("7-1234"), "event:" its kind, "data:" its object on one line.
// A client that reconnects with Last-Event-ID is sent the events it missed, or,
// when they are no longer kept or the id is of another run, an event "reset".

#include "station/events.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace de30::service {

std::string SseFrame(const std::string &Id, const station::TEvent &Event);
// Tells a client that events were lost: it reads the state again, and applies
// the events after Id.
std::string SseReset(const std::string &Id, const std::string &Reason);

struct TEventId {
  std::uint64_t Run = 0;
  std::uint64_t Sequence = 0;
};
// "RUN-SEQUENCE"; nothing for any other text.
std::optional<TEventId> ParseEventId(std::string_view Text);
// A comment line: clients ignore it, proxies and dead peers notice the traffic.
std::string SseComment(const std::string &Text);

} // namespace de30::service
