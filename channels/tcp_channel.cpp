#include "channels/tcp_channel.hpp"

#include "channels/asio_link.hpp"

namespace de30::channels {

namespace {

std::string Why(const TEndpoint &Endpoint, const asio::error_code &Error) {
  const std::string Where = Endpoint.Host + ":" + std::to_string(Endpoint.Port) + ": ";
  if (Error == asio::error::connection_refused)
    return Where + "connection refused";
  if (Error == asio::error::host_not_found || Error == asio::error::host_not_found_try_again ||
      Error == asio::error::no_data)
    return Where + "host not found";
  if (Error == asio::error::timed_out)
    return Where + "no connection within " + std::to_string(ConnectTimeout.count() / 1000) +
           " s";
  return Where + Error.message();
}

} // namespace

std::unique_ptr<TLink> OpenTcpLink(const TEndpoint &Endpoint, std::string &Reason) {
  auto Link = std::make_unique<TAsioLink<asio::ip::tcp::socket>>();
  asio::error_code Failed;
  asio::ip::tcp::resolver Resolver(Link->Io);
  const auto Found = Resolver.resolve(Endpoint.Host, std::to_string(Endpoint.Port), Failed);
  if (Failed) {
    Reason = Why(Endpoint, Failed);
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
    Reason = Why(Endpoint, Failed);
    return nullptr;
  }
  Link->Stream.set_option(asio::ip::tcp::no_delay(true), Failed);
  return Link;
}

std::unique_ptr<TLink> TTcpChannel::Open(std::int32_t Line, std::int32_t, std::int32_t &Error) {
  const auto Endpoint = Endpoints.find(Line);
  if (Endpoint == Endpoints.end()) {
    Error = ErrNoSuchLine;
    return nullptr;
  }
  std::string Reason;
  auto Link = OpenTcpLink(Endpoint->second, Reason);
  if (!Link) {
    Error = ErrOpenFailed;
    Explain(Line, Reason);
  }
  return Link;
}

} // namespace de30::channels
