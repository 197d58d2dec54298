#pragma once
// --listen HOST:PORT, and whether a host is reachable from this machine only.

#include <optional>
#include <string>

namespace de30::service {

struct TListenAddress {
  std::string Host;
  int Port = 0;
};

// "HOST:PORT" or "[V6]:PORT"; nullopt when malformed or the port lies outside 0..65535.
std::optional<TListenAddress> ParseListen(const std::string &Text);
// 127.0.0.0/8, ::1 and "localhost".
bool IsLoopback(const std::string &Host);

} // namespace de30::service
