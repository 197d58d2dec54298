#pragma once
// Lines on TCP connections, as serial device servers offer them: each line maps to
// a host and port that carries the line's bytes raw. The baud rate is the device
// server's business; it only sets how long a reply may take.
//
// Installed as <de30/channels/tcp_channel.hpp>; link de30::channels.

#include "line_channel.hpp"

#include <map>
#include <string>

namespace de30::channels {

struct TEndpoint {
  std::string Host;
  std::uint16_t Port = 0;
};

// How long opening a connection may take.
inline constexpr std::chrono::milliseconds ConnectTimeout{3000};

class TTcpChannel final : public TLineChannel {
public:
  explicit TTcpChannel(std::map<std::int32_t, TEndpoint> LineEndpoints)
      : Endpoints(std::move(LineEndpoints)) {}

protected:
  std::unique_ptr<TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                              std::int32_t &Error) override;

private:
  std::map<std::int32_t, TEndpoint> Endpoints;
};

// Connects to Endpoint within ConnectTimeout; null with Reason ("10.0.0.7:4001:
// connection refused", "pumps.invalid:4001: host not found") when it cannot. For
// channels that mix kinds of line.
std::unique_ptr<TLink> OpenTcpLink(const TEndpoint &Endpoint, std::string &Reason);

} // namespace de30::channels
