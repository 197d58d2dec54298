#pragma once
// A loopback TCP port free at this moment, for a server a test starts (de30d, a
// broker); 0 when none could be had.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace de30::test {

inline int FreePort() {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  int Port = 0;
  if (Fd >= 0 && ::bind(Fd, reinterpret_cast<sockaddr *>(&Address), sizeof Address) == 0 &&
      ::getsockname(Fd, reinterpret_cast<sockaddr *>(&Address), &Length) == 0)
    Port = ntohs(Address.sin_port);
  if (Fd >= 0)
    ::close(Fd);
  return Port;
}

} // namespace de30::test
