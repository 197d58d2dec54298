#pragma once
// cpp-httplib's server with the limits a service on a shop's network needs: a
// whole request (its headers and body) must arrive within the read timeout, not
// merely each of its bytes; one client address holds a bounded number of
// connections and of event streams; the listen queue is long enough for a
// browser's burst of connections.

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace de30::service {

struct TClientLimits {
  // Connections one address may hold at once; a further one is closed unanswered.
  int ConnectionsPerClient = 8;
  // Event streams one address may hold at once.
  int StreamsPerClient = 4;
  // The time from a request's first byte to its last, headers and body together.
  std::chrono::milliseconds RequestTime{5000};
  int ListenBacklog = 128;
};

class TGuardedServer : public httplib::Server {
public:
  explicit TGuardedServer(TClientLimits Limits);

  // bind_to_port or bind_to_any_port (Port 0), then the listen queue's length;
  // the bound port, or -1.
  int Bind(const std::string &Host, int Port);

  // Counts the request's connection as an event stream of its address; false when
  // the address holds StreamsPerClient already. The count ends with the
  // connection or its next request.
  bool ClaimStream(const httplib::Request &Request);
  // The connection closes after this request's answer: its body, if any, was
  // not read.
  void CloseAfter(const httplib::Request &Request);
  const TClientLimits &Limits() const { return Setup; }

private:
  bool process_and_close_socket(socket_t Socket) override;

  struct TConnection {
    std::string Address;
    bool Stream = false;
    bool Close = false;
  };
  static std::string Key(const std::string &Address, int Port);
  bool Admit(const std::string &Address, int Port);
  void Release(const std::string &Address, int Port);
  // Called before each request of a connection: what the last one claimed ends.
  bool NextRequest(const std::string &Address, int Port);

  TClientLimits Setup;
  std::mutex Guard;
  std::map<std::string, TConnection> Connections; // by "address|port"
  std::map<std::string, int> PerAddress;
};

} // namespace de30::service
