#pragma once
// --listen HOST:PORT, and whether a host is reachable from this machine only.

#include <optional>
#include <string>
#include <vector>

namespace de30::service {

struct TListenAddress {
  std::string Host;
  int Port = 0;
};

// "HOST:PORT" or "[V6]:PORT"; nullopt when malformed or the port lies outside 0..65535.
std::optional<TListenAddress> ParseListen(const std::string &Text);
// 127.0.0.0/8, ::1 and "localhost".
bool IsLoopback(const std::string &Host);

// Whether a request's Host header names this service: the listening address with
// its port (localhost too when listening on loopback, any address literal when
// listening on every interface), or one of Names with any port. A name an
// attacker's DNS points at us (rebinding) is none of these.
bool HostAllowed(const std::string &HostHeader, const std::string &ListenHost, int Port,
                 const std::vector<std::string> &Names);
// Whether an Origin header is the origin the request reached (http or https with
// the Host header's authority).
bool SameOrigin(const std::string &Origin, const std::string &HostHeader);

} // namespace de30::service
