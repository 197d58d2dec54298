#include "guarded_server.hpp"

#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace de30::service {
namespace {

using TClock = std::chrono::steady_clock;

// Whether the socket has something to read (or has been closed) within Ms.
bool WaitFor(socket_t Socket, short Events, int Ms) {
  pollfd Poll{Socket, Events, 0};
  for (;;) {
    const int Ready = ::poll(&Poll, 1, Ms);
    if (Ready < 0 && errno == EINTR)
      continue;
    return Ready > 0;
  }
}

void Endpoint(socket_t Socket, bool Remote, std::string &Ip, int &Port) {
  sockaddr_storage Address{};
  socklen_t Length = sizeof Address;
  auto *Raw = reinterpret_cast<sockaddr *>(&Address);
  const int Got =
      Remote ? ::getpeername(Socket, Raw, &Length) : ::getsockname(Socket, Raw, &Length);
  Ip.clear();
  Port = -1;
  if (Got != 0)
    return;
  char Host[NI_MAXHOST];
  char Service[NI_MAXSERV];
  if (::getnameinfo(Raw, Length, Host, sizeof Host, Service, sizeof Service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  Ip = Host;
  Port = std::atoi(Service);
}

// A connection's socket as httplib reads and writes it, except that reading
// stops at the request's deadline: a client that trickles its headers a byte
// at a time is cut off after RequestTime, however punctual each byte is.
class TDeadlineStream final : public httplib::Stream {
public:
  TDeadlineStream(socket_t Socket, std::chrono::milliseconds WriteTimeout)
      : Sock(Socket), WriteMs(static_cast<int>(WriteTimeout.count())) {}

  void ReadUntil(TClock::time_point At) { Deadline = At; }
  // Whether a read was given up (the deadline, or nothing came in time): what
  // follows on the connection would be the rest of a request answered already.
  bool Expired = false;

  bool is_readable() const override { return WaitFor(Sock, POLLIN, Remaining()); }

  bool is_writable() const override {
    if (!WaitFor(Sock, POLLOUT, WriteMs))
      return false;
    // A peer that has gone shows as readable with nothing to read.
    char Byte;
    if (WaitFor(Sock, POLLIN, 0))
      return ::recv(Sock, &Byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
    return true;
  }

  ssize_t read(char *Data, size_t Size) override {
    // Past the deadline even a byte already waiting is not read.
    if (TClock::now() >= Deadline || !is_readable()) {
      Expired = true;
      return -1;
    }
    for (;;) {
      const ssize_t Got = ::recv(Sock, Data, Size, 0);
      if (Got < 0 && errno == EINTR)
        continue;
      return Got;
    }
  }

  ssize_t write(const char *Data, size_t Size) override {
    if (!is_writable())
      return -1;
    for (;;) {
      const ssize_t Sent = ::send(Sock, Data, Size, MSG_NOSIGNAL);
      if (Sent < 0 && errno == EINTR)
        continue;
      return Sent;
    }
  }

  void get_remote_ip_and_port(std::string &Ip, int &Port) const override {
    Endpoint(Sock, true, Ip, Port);
  }
  void get_local_ip_and_port(std::string &Ip, int &Port) const override {
    Endpoint(Sock, false, Ip, Port);
  }
  socket_t socket() const override { return Sock; }

private:
  int Remaining() const {
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return Left > 0 ? static_cast<int>(Left) : 0;
  }

  socket_t Sock;
  int WriteMs;
  TClock::time_point Deadline = TClock::now();
};

} // namespace

TGuardedServer::TGuardedServer(TClientLimits Limits) : Setup(Limits) {}

int TGuardedServer::Bind(const std::string &Host, int Port) {
  const int Bound = Port == 0 ? bind_to_any_port(Host) : (bind_to_port(Host, Port) ? Port : -1);
  if (Bound <= 0)
    return -1;
  // httplib listens with a queue of 5; listening again on the bound socket
  // lengthens it (the system caps it at net.core.somaxconn).
  if (::listen(svr_sock_, Setup.ListenBacklog) != 0)
    return -1;
  return Bound;
}

std::string TGuardedServer::Key(const std::string &Address, int Port) {
  return Address + "|" + std::to_string(Port);
}

bool TGuardedServer::Admit(const std::string &Address, int Port) {
  std::lock_guard<std::mutex> Lock(Guard);
  int &Count = PerAddress[Address];
  if (Count >= Setup.ConnectionsPerClient) {
    if (Count == 0)
      PerAddress.erase(Address);
    return false;
  }
  ++Count;
  Connections[Key(Address, Port)] = TConnection{Address, false, false};
  return true;
}

void TGuardedServer::Release(const std::string &Address, int Port) {
  std::lock_guard<std::mutex> Lock(Guard);
  Connections.erase(Key(Address, Port));
  if (--PerAddress[Address] <= 0)
    PerAddress.erase(Address);
}

bool TGuardedServer::NextRequest(const std::string &Address, int Port) {
  std::lock_guard<std::mutex> Lock(Guard);
  auto Found = Connections.find(Key(Address, Port));
  if (Found == Connections.end() || Found->second.Close)
    return false;
  Found->second.Stream = false;
  return true;
}

bool TGuardedServer::ClaimStream(const httplib::Request &Request) {
  std::lock_guard<std::mutex> Lock(Guard);
  auto Found = Connections.find(Key(Request.remote_addr, Request.remote_port));
  if (Found == Connections.end())
    return false;
  int Streams = 0;
  for (const auto &[Name, Connection] : Connections)
    Streams += Connection.Stream && Connection.Address == Request.remote_addr ? 1 : 0;
  if (Streams >= Setup.StreamsPerClient)
    return false;
  Found->second.Stream = true;
  return true;
}

void TGuardedServer::CloseAfter(const httplib::Request &Request) {
  std::lock_guard<std::mutex> Lock(Guard);
  auto Found = Connections.find(Key(Request.remote_addr, Request.remote_port));
  if (Found != Connections.end())
    Found->second.Close = true;
}

bool TGuardedServer::process_and_close_socket(socket_t Socket) {
  std::string Address;
  int Port = -1;
  Endpoint(Socket, true, Address, Port);
  bool Served = false;
  if (!Address.empty() && Admit(Address, Port)) {
    TDeadlineStream Stream(Socket, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::seconds(write_timeout_sec_) +
                                       std::chrono::microseconds(write_timeout_usec_)));
    for (std::size_t Left = keep_alive_max_count_; Left > 0; --Left) {
      // Waits for the next request in slices, so that a stopping server does not
      // wait for its idle connections.
      bool Ready = false;
      const auto Idle = TClock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
      while (!Ready && svr_sock_ != INVALID_SOCKET && TClock::now() < Idle)
        Ready = WaitFor(Socket, POLLIN, 100);
      if (!Ready || !NextRequest(Address, Port))
        break;
      Stream.ReadUntil(TClock::now() + Setup.RequestTime);
      bool Closed = false;
      Served = process_request(Stream, Left == 1, Closed, nullptr);
      if (!Served || Closed || Stream.Expired)
        break;
    }
    Release(Address, Port);
  }
  ::shutdown(Socket, SHUT_RDWR);
  ::close(Socket);
  return Served;
}

} // namespace de30::service
