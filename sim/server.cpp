#include "sim/server.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace de30::sim {
namespace {

constexpr int PollMs = 50;

std::string Why(const char *What) { return std::string(What) + ": " + std::strerror(errno); }

void CloseFd(int &Fd) {
  if (Fd >= 0)
    ::close(Fd);
  Fd = -1;
}

bool MakeRaw(int Fd) {
  termios Settings{};
  if (::tcgetattr(Fd, &Settings) != 0)
    return false;
  ::cfmakeraw(&Settings);
  return ::tcsetattr(Fd, TCSANOW, &Settings) == 0;
}

} // namespace

TStationServer::TStationServer(TLineResponder &Served, int ServedLine)
    : Responder(Served), Line(ServedLine) {}

TStationServer::~TStationServer() {
  Halt();
  CloseFd(ClientFd);
  CloseFd(HoldFd);
  CloseFd(MainFd);
}

std::unique_ptr<TStationServer> TStationServer::OnPty(TLineResponder &Responder, int Line,
                                                      std::string &Error) {
  std::unique_ptr<TStationServer> Server(new TStationServer(Responder, Line));
  Server->MainFd = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (Server->MainFd < 0 || ::grantpt(Server->MainFd) != 0 || ::unlockpt(Server->MainFd) != 0) {
    Error = Why("pseudo-terminal");
    return nullptr;
  }
  const char *Name = ::ptsname(Server->MainFd);
  if (Name == nullptr) {
    Error = Why("pseudo-terminal name");
    return nullptr;
  }
  Server->DevicePath = Name;
  // Holding the device side open keeps the terminal alive between clients, and
  // raw mode keeps the line discipline away from the bytes.
  Server->HoldFd = ::open(Name, O_RDWR | O_NOCTTY);
  if (Server->HoldFd < 0 || !MakeRaw(Server->HoldFd) || !MakeRaw(Server->MainFd)) {
    Error = Why("pseudo-terminal set-up");
    return nullptr;
  }
  return Server;
}

std::unique_ptr<TStationServer> TStationServer::OnTcp(TLineResponder &Responder, int Line,
                                                      std::uint16_t Port, std::string &Error) {
  std::unique_ptr<TStationServer> Server(new TStationServer(Responder, Line));
  Server->Tcp = true;
  Server->MainFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Server->MainFd < 0) {
    Error = Why("socket");
    return nullptr;
  }
  const int On = 1;
  ::setsockopt(Server->MainFd, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // loopback only
  Address.sin_port = htons(Port);
  auto *Generic = reinterpret_cast<sockaddr *>(&Address);
  socklen_t Size = sizeof Address;
  if (::bind(Server->MainFd, Generic, Size) != 0 || ::listen(Server->MainFd, 1) != 0 ||
      ::getsockname(Server->MainFd, Generic, &Size) != 0) {
    Error = Why("listen on 127.0.0.1");
    return nullptr;
  }
  Server->TcpPort = ntohs(Address.sin_port);
  Server->DevicePath = "127.0.0.1:" + std::to_string(Server->TcpPort);
  return Server;
}

bool TStationServer::Reply(int Fd, const std::atomic<bool> &Stop, const TReply &Reply) {
  // A late pump: wait in small steps so that stopping is never held up.
  const auto Due = std::chrono::steady_clock::now() + std::chrono::milliseconds(Reply.DelayMs);
  while (std::chrono::steady_clock::now() < Due && !Stop)
    ::usleep(5000);
  // Paced, each byte leaves when the line has carried it. A pump on time answers
  // as the command's last byte arrives by the line's schedule, not when this
  // thread happened to wake up for it.
  const std::size_t Step = Pacer.On() ? 1 : Reply.Bytes.size();
  const auto Ready =
      Reply.DelayMs > 0 ? std::chrono::steady_clock::now() : TLinePacer::TClock::time_point{};
  std::size_t Done = 0;
  while (Done < Reply.Bytes.size()) {
    if (Pacer.On())
      Pacer.Carry(Ready);
    const std::size_t Want = std::min(Step, Reply.Bytes.size() - Done);
    const ssize_t N = ::write(Fd, Reply.Bytes.data() + Done, Want);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      return false;
    Done += static_cast<std::size_t>(N);
    Sent += static_cast<std::uint64_t>(N);
  }
  return true;
}

void TStationServer::Serve(int Fd, const std::atomic<bool> &Stop) {
  pollfd Wait{Fd, POLLIN, 0};
  if (::poll(&Wait, 1, PollMs) <= 0)
    return;
  std::uint8_t Buffer[256];
  const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
  if (N <= 0) {
    if (Tcp && (N == 0 || errno != EINTR))
      CloseFd(ClientFd); // the client went away: wait for the next one
    return;
  }
  Received += static_cast<std::uint64_t>(N);
  const auto Count = static_cast<std::size_t>(N);
  // Paced, the station sees each byte only once the line has carried it, so a
  // reply cannot start before the whole frame has crossed the line.
  const auto Ready = std::chrono::steady_clock::now();
  const std::size_t Step = Pacer.On() ? 1 : Count;
  for (std::size_t At = 0; At < Count; At += Step) {
    Pacer.Carry(Ready);
    for (const TReply &Answer :
         Responder.Receive(Line, Buffer + At, std::min(Step, Count - At)))
      if (!Reply(Fd, Stop, Answer)) {
        if (Tcp)
          CloseFd(ClientFd);
        return;
      }
  }
}

void TStationServer::Run(const std::atomic<bool> &Stop) {
  while (!Stop) {
    if (!Tcp) {
      Serve(MainFd, Stop);
      continue;
    }
    if (ClientFd >= 0) {
      Serve(ClientFd, Stop);
      continue;
    }
    pollfd Wait{MainFd, POLLIN, 0};
    if (::poll(&Wait, 1, PollMs) > 0) {
      ClientFd = ::accept4(MainFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (ClientFd >= 0) {
        const int On = 1;
        ::setsockopt(ClientFd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
      }
    }
  }
}

void TStationServer::Start() {
  Stopping = false;
  Worker = std::thread([this] { Run(Stopping); });
}

void TStationServer::Halt() {
  Stopping = true;
  if (Worker.joinable())
    Worker.join();
}

} // namespace de30::sim
