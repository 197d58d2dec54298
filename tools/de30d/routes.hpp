#pragma once
// What the route handlers share, and the handlers' common shape: a refusal thrown
// anywhere inside becomes its JSON error.

#include "api_error.hpp"
#include "api_server.hpp"
#include "clients.hpp"
#include "json_mapping.hpp"

#include <httplib.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace de30::service {

struct TApiContext {
  TApiContext(station::TStation &Served, const TServerOptions &Setup)
      : Station(Served), Options(Setup), Clients(Setup.Token, Setup.Clients, Setup.ReadToken) {}
  station::TStation &Station;
  const TServerOptions &Options;
  TClientBook Clients;
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
// A command: also finds who asks from the bearer token first (refusing an
// unknown token, and a viewer), answers a repeated Idempotency-Key with the first
// answer, and logs what was asked. It reads the body itself: a request without
// Content-Length or Transfer-Encoding has none (as curl -X POST sends), rather
// than one that lasts until the client closes the connection.
using TCommandHandler =
    std::function<void(const httplib::Request &, httplib::Response &, const TCaller &)>;
httplib::Server::HandlerWithContentReader Command(TApiContext &Context,
                                                  TCommandHandler Handler);
// The client a command acts for: the token's client when it names one (a body
// naming another is refused with 403), else the body's, else empty.
std::string ClientFor(const TCaller &Caller, const std::optional<std::string> &Asked);
// The same, where the command needs a name (lock, clear, reserve, unlock).
std::string NamedClient(const TCaller &Caller, const std::optional<std::string> &Asked);
// Refuses Force from a caller that is not an admin.
void CheckForce(const TCaller &Caller, bool Force);
// How long an Idempotency-Key's answer is kept.
inline constexpr std::int64_t IdempotencyKeepMs = 24LL * 3600 * 1000;
inline constexpr std::size_t MaxIdempotencyKey = 128;
inline constexpr const char *IdempotencyHeader = "Idempotency-Key";
// On an answer that repeats the first one.
inline constexpr const char *ReplayedHeader = "Idempotent-Replayed";

// The result of a station command: its refusal, or nothing when it is Ok.
void Require(const station::TCommandResult &Result);

void AddPumpRoutes(httplib::Server &Server, TApiContext &Context);
void AddSaleRoutes(httplib::Server &Server, TApiContext &Context);
void AddAlarmRoutes(httplib::Server &Server, TApiContext &Context);
void AddShiftRoutes(httplib::Server &Server, TApiContext &Context);
void AddStationRoutes(httplib::Server &Server, TApiContext &Context);
void AddEventStream(httplib::Server &Server, TApiContext &Context);
// The dashboard's page and files at / (web_routes.cpp).
void AddWebRoutes(httplib::Server &Server);

} // namespace de30::service
