// Opening real lines that are not there: an error number, at once.
#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// LastErrorText of a line on Device, opened by a process that is not root: root
// passes file permissions and a terminal's exclusive mode alike.
std::string OpenedUnprivileged(const std::string &Device) {
  int Pipe[2];
  if (::pipe(Pipe) != 0)
    return "no pipe";
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::close(Pipe[0]);
    const uid_t Nobody = 65534;
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0))
      ::_exit(1);
    TSerialChannel Channel({{1, Device}});
    Channel.SetupLine(1, 15, 2400);
    const std::string Text = Channel.LastErrorText(1);
    const bool Told =
        ::write(Pipe[1], Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
    ::_exit(Told ? 0 : 1);
  }
  ::close(Pipe[1]);
  std::string Text;
  char Buffer[256];
  ssize_t Got;
  while ((Got = ::read(Pipe[0], Buffer, sizeof Buffer)) > 0)
    Text.append(Buffer, static_cast<std::size_t>(Got));
  ::close(Pipe[0]);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  return WIFEXITED(Status) && WEXITSTATUS(Status) == 0 ? Text : "the child failed";
}

TEST(SerialChannel, ALineThatCannotBeOpenedIsNamedWithTheReason) {
  // A file nobody may open.
  char Locked[] = "/tmp/de30-locked-XXXXXX";
  const int LockedFd = ::mkstemp(Locked);
  ASSERT_GE(LockedFd, 0);
  ::close(LockedFd);
  ASSERT_EQ(::chmod(Locked, 0), 0);
  // A terminal anyone may open, held in exclusive mode.
  const int Main = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(Main, 0);
  ASSERT_EQ(::grantpt(Main), 0);
  ASSERT_EQ(::unlockpt(Main), 0);
  const std::string Terminal = ::ptsname(Main);
  const int Held = ::open(Terminal.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(Held, 0);
  ASSERT_EQ(::chmod(Terminal.c_str(), 0666), 0);
  ASSERT_EQ(::ioctl(Held, TIOCEXCL), 0);

  struct TRow {
    std::string Device;
    std::string Reason;
  };
  for (const TRow &Row : std::vector<TRow>{
           {"/dev/de30-no-such-device", "no such file or directory"},
           {"/dev/null", "not a terminal"},
           {Locked, "permission denied"},
           {Terminal, "busy"},
       })
    EXPECT_EQ(OpenedUnprivileged(Row.Device),
              "cannot open the line: " + Row.Device + ": " + Row.Reason);
  ::close(Held);
  ::close(Main);
  ::unlink(Locked);
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
