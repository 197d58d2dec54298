#pragma once
// What the route handlers share, and the handlers' common shape: a refusal thrown
// anywhere inside becomes its JSON error.

#include "api_error.hpp"
#include "api_server.hpp"
#include "json_mapping.hpp"

#include <httplib.h>

#include <atomic>
#include <functional>

namespace de30::service {

struct TApiContext {
  station::TStation &Station;
  const TServerOptions &Options;
  std::atomic<bool> Stopping{false};
  std::atomic<int> Streams{0};
};

void SendJson(httplib::Response &Response, int Status, const TJson &Body);
void SendError(httplib::Response &Response, const EApiError &Error);

using THandler = std::function<void(const httplib::Request &, httplib::Response &)>;
// A read: refusals and failures become JSON errors.
httplib::Server::Handler Query(THandler Handler);
// A read of the station's state: its answer carries, in EventIdHeader, the id of
// the last event published before the state was read, so that a client which
// opened the event stream first applies only the events after it.
httplib::Server::Handler StateQuery(TApiContext &Context, THandler Handler);
inline constexpr const char *EventIdHeader = "De30-Event-Id";
// A command: also checks the bearer token first, and logs what was asked. It
// reads the body itself: a request without Content-Length or Transfer-Encoding
// has none (as curl -X POST sends), rather than one that lasts until the client
// closes the connection.
httplib::Server::HandlerWithContentReader Command(TApiContext &Context, THandler Handler);

// The result of a station command: its refusal, or nothing when it is Ok.
void Require(const station::TCommandResult &Result);

void AddPumpRoutes(httplib::Server &Server, TApiContext &Context);
void AddSaleRoutes(httplib::Server &Server, TApiContext &Context);
void AddStationRoutes(httplib::Server &Server, TApiContext &Context);
void AddEventStream(httplib::Server &Server, TApiContext &Context);
// The dashboard's page and files at / (web_routes.cpp).
void AddWebRoutes(httplib::Server &Server);

} // namespace de30::service
