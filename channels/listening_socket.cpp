#include "channels/listening_socket.hpp"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace de30::channels {

std::unique_ptr<TListeningSocket> TListeningSocket::Connect(const std::string &Host,
                                                            std::uint16_t Port,
                                                            std::chrono::milliseconds Wait,
                                                            std::string &Reason) {
  addrinfo Hints{};
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo *Found = nullptr;
  if (::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &Hints, &Found) != 0) {
    Reason = "host not found";
    return nullptr;
  }
  Reason = "cannot connect";
  int Fd = -1;
  for (addrinfo *A = Found; A != nullptr && Fd < 0; A = A->ai_next) {
    Fd = ::socket(A->ai_family, A->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, A->ai_protocol);
    if (Fd < 0)
      continue;
    int Error = 0;
    if (::connect(Fd, A->ai_addr, A->ai_addrlen) != 0) {
      Error = errno;
      if (Error == EINPROGRESS) {
        pollfd Ready{Fd, POLLOUT, 0};
        socklen_t Size = sizeof Error;
        Error = ::poll(&Ready, 1, static_cast<int>(Wait.count())) > 0
                    ? (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Size), Error)
                    : ETIMEDOUT;
      }
    }
    if (Error != 0) {
      Reason = Error == ECONNREFUSED ? "connection refused" : std::strerror(Error);
      ::close(Fd);
      Fd = -1;
    }
  }
  ::freeaddrinfo(Found);
  if (Fd < 0)
    return nullptr;
  return std::unique_ptr<TListeningSocket>(new TListeningSocket(Fd));
}

TListeningSocket::~TListeningSocket() { ::close(Fd); }

TListeningPort::TRead TListeningSocket::Read(std::uint8_t *Dest, std::size_t Count,
                                             std::chrono::milliseconds Timeout) {
  TListeningPort::TRead Result;
  pollfd Wait{Fd, POLLIN, 0};
  if (::poll(&Wait, 1, static_cast<int>(Timeout.count())) <= 0)
    return Result;
  const ssize_t N = ::recv(Fd, Dest, Count, 0);
  if (N > 0)
    Result.Count = static_cast<std::size_t>(N);
  else if (N == 0 || (errno != EAGAIN && errno != EINTR))
    Result.Closed = true;
  return Result;
}

} // namespace de30::channels
