#pragma once
// The push stream of station events as Server-Sent Events: "id:" the event's
// sequence, "event:" its kind, "data:" its object on one line.

#include "station/events.hpp"

#include <string>

namespace de30::service {

std::string SseFrame(const station::TEvent &Event);
// A comment line: clients ignore it, proxies and dead peers notice the traffic.
std::string SseComment(const std::string &Text);

} // namespace de30::service
