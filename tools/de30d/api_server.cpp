#include "api_server.hpp"

#include "log.hpp"
#include "routes.hpp"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace de30::service {

struct TApiServer::TImpl {
  TImpl(station::TStation &Station, TServerOptions Options)
      : Setup(std::move(Options)), Context{Station, Setup} {}

  TServerOptions Setup;
  TApiContext Context;
  httplib::Server Http;
  std::thread Listener;
  int BoundPort = 0;
};

TApiServer::TApiServer(station::TStation &Station, TServerOptions Options)
    : Impl(std::make_unique<TImpl>(Station, std::move(Options))) {
  auto &Http = Impl->Http;
  const TServerOptions &O = Impl->Setup;
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
  AddPumpRoutes(Http, Impl->Context);
  AddSaleRoutes(Http, Impl->Context);
  AddStationRoutes(Http, Impl->Context);
  AddEventStream(Http, Impl->Context);
  AddWebRoutes(Http);
}

TApiServer::~TApiServer() { Stop(); }

void TApiServer::Start() {
  auto &Http = Impl->Http;
  const TServerOptions &O = Impl->Setup;
  const int Port = O.Port == 0 ? Http.bind_to_any_port(O.Host)
                               : (Http.bind_to_port(O.Host, O.Port) ? O.Port : -1);
  if (Port <= 0)
    throw std::runtime_error("cannot listen on " + O.Host + ":" + std::to_string(O.Port));
  Impl->BoundPort = Port;
  Impl->Listener = std::thread([&Http] { Http.listen_after_bind(); });
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
