#include "api_server.hpp"

#include "guarded_server.hpp"
#include "listen_address.hpp"
#include "log.hpp"
#include "routes.hpp"
#include "web_assets.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <optional>
#include <regex>
#include <stdexcept>
#include <thread>

namespace de30::service {
namespace {

// Every path the interface serves and the methods it takes there: a request with
// another method is answered 405 with these in Allow, not 404.
struct TRouteMethods {
  const char *Pattern;
  const char *Allow;
};
constexpr std::array<TRouteMethods, 13> RouteTable{{
    {"/api/v1/pumps", "GET"},
    {"/api/v1/pumps/[^/]+", "GET"},
    {"/api/v1/reservations", "GET"},
    {"/api/v1/pumps/[^/]+/(authorize|stop|unblock|reserve|release)", "POST"},
    {"/api/v1/stop-all", "POST"},
    {"/api/v1/sales", "GET"},
    {"/api/v1/sales/[^/]+", "GET"},
    {"/api/v1/sales/[^/]+/(lock|clear|unlock)", "POST"},
    {"/api/v1/station", "GET"},
    {"/api/v1/prices", "GET, PUT"},
    {"/api/v1/lines", "GET"},
    {"/api/v1/events", "GET"},
    {"/metrics", "GET"},
}};

// The methods Path takes; empty for a path the service does not have.
std::string AllowedMethods(const std::string &Path) {
  for (const TRouteMethods &Route : RouteTable)
    if (std::regex_match(Path, std::regex(Route.Pattern)))
      return Route.Allow;
  for (const TWebAsset &Asset : WebAssets())
    if (Path == "/" + std::string(Asset.Name) ||
        (Path == "/" && std::string(Asset.Name) == "index.html"))
      return "GET";
  return "";
}

// HEAD is answered wherever GET is.
bool MethodAllowed(const std::string &Method, const std::string &Allow) {
  const std::string Asked = Method == "HEAD" ? "GET" : Method;
  std::size_t From = 0;
  while (From < Allow.size()) {
    const auto Comma = Allow.find(',', From);
    const std::string One =
        Allow.substr(From, Comma == std::string::npos ? std::string::npos : Comma - From);
    if (One == Asked)
      return true;
    if (Comma == std::string::npos)
      break;
    From = Comma + 2; // ", "
  }
  return false;
}

// What a guarded read needs a token for: the station's state, not the
// dashboard's own files.
bool IsStateRead(const httplib::Request &Q) {
  return (Q.method == "GET" || Q.method == "HEAD") &&
         (Q.path.rfind("/api/", 0) == 0 || Q.path == "/metrics");
}

bool IsCommand(const std::string &Method) {
  return Method == "POST" || Method == "PUT" || Method == "DELETE" || Method == "PATCH";
}

bool HasBody(const httplib::Request &Request) {
  if (Request.has_header("Transfer-Encoding"))
    return true;
  const std::string Length = Request.get_header_value("Content-Length");
  return !Length.empty() && Length.find_first_not_of('0') != std::string::npos;
}

// "application/json", with or without parameters (charset), in any case.
bool IsJson(const std::string &ContentType) {
  std::string Type = ContentType.substr(0, ContentType.find(';'));
  Type.erase(std::remove_if(Type.begin(), Type.end(),
                            [](unsigned char C) { return std::isspace(C) != 0; }),
             Type.end());
  std::transform(Type.begin(), Type.end(), Type.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Type == "application/json";
}

bool ReadAllowed(const TClientBook &Clients, const httplib::Request &Q) {
  const auto Token = BearerToken(Q);
  return Token && Clients.Find(*Token).has_value();
}

} // namespace

struct TApiServer::TImpl {
  TImpl(station::TStation &Station, TServerOptions Options)
      : Setup(std::move(Options)), Context{Station, Setup} {}

  TServerOptions Setup;
  TApiContext Context;
  TGuardedServer Http{
      TClientLimits{Setup.ConnectionsPerClient, Setup.StreamsPerClient,
                    std::chrono::duration_cast<std::chrono::milliseconds>(Setup.ReadTimeout),
                    Setup.ListenBacklog}};
  std::thread Listener;
  std::atomic<int> BoundPort{0};
};

TApiServer::TApiServer(station::TStation &Station, TServerOptions Options)
    : Impl(std::make_unique<TImpl>(Station, std::move(Options))) {
  auto &Http = Impl->Http;
  TServerOptions &O = Impl->Setup;
  for (const auto &Name : Station.Config().HostNames)
    O.HostNames.push_back(Name);
  const int Threads = O.Threads;
  Http.new_task_queue = [Threads] {
    return new httplib::ThreadPool(static_cast<size_t>(Threads));
  };
  Http.set_payload_max_length(O.MaxBodyBytes);
  Http.set_read_timeout(O.ReadTimeout);
  Http.set_write_timeout(O.WriteTimeout);
  // A kept-alive connection holds a thread while idle: not for long.
  Http.set_keep_alive_timeout(2);
  // Failures httplib answers itself (no route, a body too large, a request it
  // cannot read) get the same JSON error as ours.
  Http.set_error_handler(httplib::Server::HandlerWithResponse([&O](const httplib::Request &,
                                                                   httplib::Response &R) {
    if (!R.body.empty())
      return httplib::Server::HandlerResponse::Unhandled;
    switch (R.status) {
    case 404:
      SendError(R, EApiError(404, codes::NotFound, "no such resource under /api/v1"));
      break;
    case 413:
      SendError(R, EApiError(413, codes::PayloadTooLarge,
                             "the body exceeds " + std::to_string(O.MaxBodyBytes) + " bytes"));
      break;
    default:
      SendError(R, EApiError(R.status, codes::MalformedJson, "the request could not be read"));
      break;
    }
    return httplib::Server::HandlerResponse::Handled;
  }));
  // Before a body is read: a page of another site, a name that is not ours, a
  // body that is not JSON and a client's excess of streams are refused first.
  TImpl &State = *Impl;
  Http.set_pre_routing_handler([&State](const httplib::Request &Q, httplib::Response &R) {
    const TServerOptions &Setup = State.Setup;
    const std::string Host = Q.get_header_value("Host");
    std::optional<EApiError> Refused;
    if (!HostAllowed(Host, Setup.Host, State.BoundPort, Setup.HostNames))
      Refused = EApiError(421, codes::ForbiddenHost,
                          "the Host header \"" + Host +
                              "\" does not name this service; add the name to [station] "
                              "host_names");
    else if (Q.has_header("Origin") && (IsCommand(Q.method) || Q.path == "/api/v1/events") &&
             !SameOrigin(Q.get_header_value("Origin"), Host))
      Refused = EApiError(403, codes::ForbiddenOrigin,
                          "a page of " + Q.get_header_value("Origin") +
                              " may not command this service");
    else if (const std::string Allow = AllowedMethods(Q.path);
             !Allow.empty() && !MethodAllowed(Q.method, Allow))
      Refused = EApiError(405, codes::MethodNotAllowed,
                          Q.method + " is not taken here, only " + Allow);
    else if (State.Context.Clients.GuardsReads() && IsStateRead(Q) &&
             !ReadAllowed(State.Context.Clients, Q))
      Refused =
          EApiError(401, codes::Unauthorized,
                    "reads need \"Authorization: Bearer TOKEN\" (or ?access_token=TOKEN)");
    else if (IsCommand(Q.method) && HasBody(Q) && !IsJson(Q.get_header_value("Content-Type")))
      Refused = EApiError(415, codes::UnsupportedMediaType,
                          "a body must be sent as Content-Type: application/json");
    else if (Q.method == "GET" && Q.path == "/api/v1/events" && !State.Http.ClaimStream(Q))
      Refused = EApiError(503, codes::TooManyStreams,
                          "at most " + std::to_string(Setup.StreamsPerClient) +
                              " event streams from one address at once");
    if (!Refused)
      return httplib::Server::HandlerResponse::Unhandled;
    if (HasBody(Q))
      State.Http.CloseAfter(Q); // the body stays unread
    Log(TLevel::Warn, Q.method + " " + Q.path + " from " + Q.remote_addr + ": " +
                          std::to_string(Refused->Status) + " " + Refused->Code);
    if (Refused->Status == 405)
      R.set_header("Allow", AllowedMethods(Q.path));
    SendError(R, *Refused);
    return httplib::Server::HandlerResponse::Handled;
  });
  AddPumpRoutes(Http, Impl->Context);
  AddSaleRoutes(Http, Impl->Context);
  AddAlarmRoutes(Http, Impl->Context);
  AddShiftRoutes(Http, Impl->Context);
  AddStationRoutes(Http, Impl->Context);
  AddEventStream(Http, Impl->Context);
  AddWebRoutes(Http);
}

TApiServer::~TApiServer() { Stop(); }

void TApiServer::Start() {
  auto &Http = Impl->Http;
  const TServerOptions &O = Impl->Setup;
  const int Port = Http.Bind(O.Host, O.Port);
  if (Port <= 0)
    throw std::runtime_error("cannot listen on " + O.Host + ":" + std::to_string(O.Port));
  Impl->BoundPort = Port;
  Impl->Listener = std::thread([&Http] { Http.listen_after_bind(); });
  // httplib's stop() does nothing until the server runs: a Stop() right after
  // Start() would otherwise leave the listener accepting for ever.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!Http.is_running() && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TApiServer::Stop() {
  if (!Impl->Listener.joinable())
    return;
  // The streams end first, with their closing comment, while the pool still runs.
  Impl->Context.Stopping = true;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Impl->Context.Streams > 0 && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Impl->Http.stop();
  Impl->Listener.join();
}

int TApiServer::Port() const { return Impl->BoundPort; }

const TServerOptions &TApiServer::Options() const { return Impl->Setup; }

} // namespace de30::service
