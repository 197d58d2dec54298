#pragma once
// The station's HTTP interface under /api/v1 (docs/api.md): a thread pool of
// cpp-httplib, JSON bodies, a bearer token for commands, Server-Sent Events; and
// GET /metrics for Prometheus (docs/metrics.md).

#include "station/station.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace de30::service {

class TUplink;

struct TServerOptions {
  std::string Host = "127.0.0.1";
  int Port = 8030; // 0: any free port (Port() tells which)
  // Commands (POST, PUT) need "Authorization: Bearer TOKEN" when it is set: the
  // token of one admin client.
  std::string Token;
  // Clients with tokens of their own ([[client]]), and whether reads need a
  // token too.
  std::vector<station::TClientConfig> Clients;
  bool ReadToken = false;
  // Each event stream holds a thread for as long as it is open, and so does each
  // connection while its request arrives (at most ReadTimeout): the pool keeps
  // room for ordinary requests beyond MaxStreams streams and a dozen clients that
  // send their requests slowly.
  int Threads = 48;
  int MaxStreams = 16;
  // Per client address: connections at once (more are closed unanswered), and
  // event streams at once (more are refused with too_many_streams).
  int ConnectionsPerClient = 8;
  int StreamsPerClient = 4;
  int ListenBacklog = 128;
  // Host names besides the listening address that clients may use to reach the
  // service (their Host header), added to the configuration's host_names.
  std::vector<std::string> HostNames;
  std::size_t MaxBodyBytes = 64 * 1024;
  std::chrono::milliseconds Heartbeat{15000};
  // The whole of a request, headers and body, must arrive within ReadTimeout.
  std::chrono::seconds ReadTimeout{5};
  std::chrono::seconds WriteTimeout{5};
  // The uplink whose state GET /metrics shows; null when none is configured.
  const TUplink *Uplink = nullptr;
};

class TApiServer {
public:
  TApiServer(station::TStation &Station, TServerOptions Options);
  ~TApiServer(); // stops
  TApiServer(const TApiServer &) = delete;
  TApiServer &operator=(const TApiServer &) = delete;

  // Binds and serves on a thread of its own; std::runtime_error naming the
  // address when it cannot bind.
  void Start();
  // Ends every event stream cleanly, then stops listening and waits for the
  // requests in progress.
  void Stop();
  int Port() const;
  const TServerOptions &Options() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

} // namespace de30::service
