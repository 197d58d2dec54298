// Opening real lines that are not there: an error number, at once.
#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace de30::channels {
namespace {

TEST(SerialChannel, AMissingDeviceOrUnmappedLineIsAnErrorNumber) {
  TSerialChannel Channel({{1, "/dev/de30-no-such-device"}, {2, "/dev/null"}});
  EXPECT_EQ(Channel.SetupLine(1, 15, 2400), ErrOpenFailed);
  EXPECT_EQ(Channel.LastErrorText(1),
            "cannot open the line: /dev/de30-no-such-device: no such file or directory");
  EXPECT_EQ(Channel.SetupLine(2, 15, 2400), ErrOpenFailed);
  EXPECT_EQ(Channel.LastErrorText(2), "cannot open the line: /dev/null: not a terminal");
  EXPECT_EQ(Channel.SetupLine(3, 15, 2400), ErrNoSuchLine);
  const std::uint8_t Frame[] = {0x00, 0x09};
  std::uint8_t Reply[3] = {0x09};
  EXPECT_EQ(Channel.Transact(1, 1, Frame, 2, Reply, 3, 0x09), ErrOpenFailed);
  EXPECT_EQ(Channel.LastError(1), ErrOpenFailed);
}

// A loopback port nobody listens on: bound, then closed again.
std::uint16_t ClosedPort() {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Size = sizeof Address;
  ::bind(Fd, reinterpret_cast<sockaddr *>(&Address), Size);
  ::getsockname(Fd, reinterpret_cast<sockaddr *>(&Address), &Size);
  ::close(Fd);
  return ntohs(Address.sin_port);
}

TEST(TcpChannel, ARefusedConnectionUnknownHostOrUnmappedLineIsAnErrorNumber) {
  const std::uint16_t Port = ClosedPort();
  TTcpChannel Channel({{1, {"127.0.0.1", Port}}, {2, {"de30-no-such-host.invalid", 4001}}});
  EXPECT_EQ(Channel.SetupLine(1, 15, 2400), ErrOpenFailed);
  EXPECT_EQ(Channel.LastErrorText(1),
            "cannot open the line: 127.0.0.1:" + std::to_string(Port) + ": connection refused");
  EXPECT_EQ(Channel.SetupLine(2, 15, 2400), ErrOpenFailed);
  EXPECT_EQ(Channel.LastErrorText(2),
            "cannot open the line: de30-no-such-host.invalid:4001: host not found");
  EXPECT_EQ(Channel.SetupLine(3, 15, 2400), ErrNoSuchLine);
}

} // namespace
} // namespace de30::channels
