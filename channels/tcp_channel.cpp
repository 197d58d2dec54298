#include "channels/tcp_channel.hpp"

#include "channels/asio_link.hpp"

namespace de30::channels {

std::unique_ptr<TLink> TTcpChannel::Open(std::int32_t Line, std::int32_t, std::int32_t &Error) {
  const auto Endpoint = Endpoints.find(Line);
  if (Endpoint == Endpoints.end()) {
    Error = ErrNoSuchLine;
    return nullptr;
  }
  auto Link = std::make_unique<TAsioLink<asio::ip::tcp::socket>>();
  asio::error_code Failed;
  asio::ip::tcp::resolver Resolver(Link->Io);
  const auto Found =
      Resolver.resolve(Endpoint->second.Host, std::to_string(Endpoint->second.Port), Failed);
  if (Failed) {
    Error = ErrOpenFailed;
    return nullptr;
  }
  bool Done = false;
  asio::async_connect(Link->Stream, Found,
                      [&](const asio::error_code &E, const asio::ip::tcp::endpoint &) {
                        Failed = E;
                        Done = true;
                      });
  Link->Io.run_for(ConnectTimeout);
  if (!Done) {
    asio::error_code Ignored;
    Link->Stream.close(Ignored);
    Link->Io.restart();
    Link->Io.run();
    Failed = asio::error::timed_out;
  }
  if (Failed) {
    Error = ErrOpenFailed;
    return nullptr;
  }
  Link->Stream.set_option(asio::ip::tcp::no_delay(true), Failed);
  return Link;
}

} // namespace de30::channels
