#pragma once
// Lines on TCP connections, as serial device servers offer them: each line maps to
// a host and port that carries the line's bytes raw. The baud rate is the device
// server's business; it only sets how long a reply may take.

#include "channels/line_channel.hpp"

#include <map>
#include <string>

namespace de30::channels {

struct TEndpoint {
  std::string Host;
  std::uint16_t Port = 0;
};

class TTcpChannel final : public TLineChannel {
public:
  explicit TTcpChannel(std::map<std::int32_t, TEndpoint> LineEndpoints)
      : Endpoints(std::move(LineEndpoints)) {}

  // How long opening a connection may take.
  void SetConnectTimeout(std::chrono::milliseconds Timeout) { ConnectTimeout = Timeout; }

protected:
  std::unique_ptr<TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                              std::int32_t &Error) override;

private:
  std::map<std::int32_t, TEndpoint> Endpoints;
  std::chrono::milliseconds ConnectTimeout{3000};
};

} // namespace de30::channels
