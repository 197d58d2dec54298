#include "support/paced_peer.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace de30::test {
namespace {

// How often a waiting peer looks whether it is told to stop.
constexpr int PollMs = 10;

std::string Why(const char *What) { return std::string(What) + ": " + std::strerror(errno); }

bool MakeRaw(int Fd) {
  termios Settings{};
  if (::tcgetattr(Fd, &Settings) != 0)
    return false;
  ::cfmakeraw(&Settings);
  return ::tcsetattr(Fd, TCSANOW, &Settings) == 0;
}

void Close(int &Fd) {
  if (Fd >= 0)
    ::close(Fd);
  Fd = -1;
}

} // namespace

TPacedPeer::TPacedPeer(int BaudRate)
    // Ten bit times a byte: start, eight data bits, stop.
    : ByteTime(10 * 1000000 / BaudRate) {}

TPacedPeer::~TPacedPeer() {
  Stop = true;
  if (Worker.joinable())
    Worker.join();
  Close(ClientFd);
  Close(HoldFd);
  Close(MainFd);
}

std::unique_ptr<TPacedPeer> TPacedPeer::OnPty(int BaudRate, std::string &Error) {
  std::unique_ptr<TPacedPeer> Peer(new TPacedPeer(BaudRate));
  Peer->MainFd = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (Peer->MainFd < 0 || ::grantpt(Peer->MainFd) != 0 || ::unlockpt(Peer->MainFd) != 0 ||
      ::ptsname(Peer->MainFd) == nullptr) {
    Error = Why("pseudo-terminal");
    return nullptr;
  }
  Peer->Device = ::ptsname(Peer->MainFd);
  Peer->HoldFd = ::open(Peer->Device.c_str(), O_RDWR | O_NOCTTY);
  if (Peer->HoldFd < 0 || !MakeRaw(Peer->HoldFd) || !MakeRaw(Peer->MainFd)) {
    Error = Why("pseudo-terminal set-up");
    return nullptr;
  }
  return Peer;
}

std::unique_ptr<TPacedPeer> TPacedPeer::OnTcp(int BaudRate, std::string &Error) {
  std::unique_ptr<TPacedPeer> Peer(new TPacedPeer(BaudRate));
  Peer->MainFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto *Generic = reinterpret_cast<sockaddr *>(&Address);
  socklen_t Size = sizeof Address;
  if (Peer->MainFd < 0 || ::bind(Peer->MainFd, Generic, Size) != 0 ||
      ::listen(Peer->MainFd, 1) != 0 || ::getsockname(Peer->MainFd, Generic, &Size) != 0) {
    Error = Why("listen on 127.0.0.1");
    return nullptr;
  }
  Peer->TcpPort = ntohs(Address.sin_port);
  return Peer;
}

void TPacedPeer::Start() {
  Worker = std::thread([this] { Run(); });
}

int TPacedPeer::Connection() {
  if (TcpPort == 0)
    return MainFd;
  while (ClientFd < 0 && !Stop) {
    pollfd Listening{MainFd, POLLIN, 0};
    if (::poll(&Listening, 1, PollMs) > 0)
      ClientFd = ::accept(MainFd, nullptr, nullptr);
  }
  if (ClientFd >= 0) {
    // Each byte goes out on its own, when the line would carry it.
    const int On = 1;
    ::setsockopt(ClientFd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
  }
  return Stop ? -1 : ClientFd;
}

bool TPacedPeer::Send(int Fd, const std::vector<std::uint8_t> &Bytes) {
  for (const std::uint8_t Byte : Bytes) {
    // A line has no flow control: a byte nobody reads in time is lost, and the
    // peer never blocks on it.
    if (Stop || (::write(Fd, &Byte, 1) != 1 && errno != EAGAIN))
      return false;
    std::this_thread::sleep_for(ByteTime);
  }
  return true;
}

void TPacedPeer::Answer(int Fd, const std::vector<std::uint8_t> &Frame,
                        std::chrono::steady_clock::time_point Arrived) {
  const auto Planned = Faults.find(Received);
  const TPeerFault Fault = Planned == Faults.end() ? TPeerFault{} : Planned->second;
  if (Fault.Babble) {
    Talk(Fd);
    return;
  }
  if (!Send(Fd, Fault.Before))
    return;
  const auto Due = Arrived + Fault.Delay;
  while (std::chrono::steady_clock::now() < Due && !Stop)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::uint8_t Value = Frame[2];
  if (Send(Fd, {Frame[1], Value, static_cast<std::uint8_t>(~Value)}))
    Send(Fd, Fault.After);
}

void TPacedPeer::Talk(int Fd) {
  std::uint8_t Junk[64];
  while (Send(Fd, {Noise})) {
    // Frames that come meanwhile go unanswered.
    pollfd Line{Fd, POLLIN, 0};
    while (::poll(&Line, 1, 0) > 0 && ::read(Fd, Junk, sizeof Junk) > 0) {
    }
  }
}

void TPacedPeer::Run() {
  const int Fd = Connection();
  if (Fd < 0)
    return;
  ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
  std::vector<std::uint8_t> Frame;
  while (!Stop) {
    pollfd Line{Fd, POLLIN, 0};
    if (::poll(&Line, 1, PollMs) <= 0)
      continue;
    std::uint8_t Byte = 0;
    if (::read(Fd, &Byte, 1) != 1)
      return;
    Frame.push_back(Byte);
    if (Frame.size() < FrameLength)
      continue;
    ++Received;
    Answer(Fd, Frame, std::chrono::steady_clock::now());
    Frame.clear();
  }
}

} // namespace de30::test
