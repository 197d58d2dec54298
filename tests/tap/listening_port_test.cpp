// The serial side of listening, on real pseudo-terminals: a port opened to listen
// is read-only and reads what the line carries, says when the line is gone, and
// the kernel's error counts are "not available" on a device that keeps none,
// never zeros; counts are taken as differences, a counter that went back counting
// from 0.

#include "channels/serial_channel.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace de30::channels;

// A pseudo-terminal: its controlling side here, its device path for the port.
struct TPty {
  TPty() {
    Main = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (Main >= 0 && ::grantpt(Main) == 0 && ::unlockpt(Main) == 0)
      Path = ::ptsname(Main);
  }
  ~TPty() {
    if (Main >= 0)
      ::close(Main);
  }
  int Main = -1;
  std::string Path;
};

TEST(ListeningPort, ReadsWhatTheLineCarriesAndSaysWhenItIsGone) {
  TPty Pty;
  ASSERT_FALSE(Pty.Path.empty());
  std::string Reason;
  auto Port = TListeningPort::Open(Pty.Path, 2400, Reason);
  ASSERT_TRUE(Port) << Reason;
  // Raw, and no echo: what the line carries comes back untouched, and nothing
  // goes the other way.
  const std::uint8_t Line[] = {0x00, 0x09, 0x0A, 0x0D, 0x11, 0x13};
  ASSERT_EQ(::write(Pty.Main, Line, sizeof Line), static_cast<ssize_t>(sizeof Line));
  std::uint8_t Got[16];
  std::size_t Count = 0;
  for (int Try = 0; Try < 20 && Count < sizeof Line; ++Try)
    Count += Port->Read(Got + Count, sizeof Got - Count, std::chrono::milliseconds(50)).Count;
  EXPECT_EQ(std::vector<std::uint8_t>(Got, Got + Count),
            std::vector<std::uint8_t>(Line, Line + sizeof Line));
  ::fcntl(Pty.Main, F_SETFL, O_NONBLOCK);
  EXPECT_LT(::read(Pty.Main, Got, sizeof Got), 1);
  // A pseudo-terminal keeps no error counts.
  EXPECT_FALSE(Port->Counters().has_value());

  ::close(Pty.Main);
  Pty.Main = -1;
  EXPECT_TRUE(Port->Read(Got, sizeof Got, std::chrono::milliseconds(200)).Closed);
}

TEST(ListeningPort, RefusesWhatItCannotListenTo) {
  TPty Pty;
  std::string Reason;
  EXPECT_FALSE(TListeningPort::Open(Pty.Path, 1234, Reason));
  EXPECT_EQ(Reason, Pty.Path + ": 1234 baud is not a speed the port takes");
  EXPECT_FALSE(TListeningPort::Open("/dev/null", 2400, Reason));
  EXPECT_EQ(Reason, "/dev/null: not a terminal");
  EXPECT_FALSE(TListeningPort::Open("/dev/de30-no-such-device", 2400, Reason));
  EXPECT_EQ(Reason, "/dev/de30-no-such-device: no such file or directory");
}

TEST(SerialCounters, AChannelSaysNotAvailableRatherThanZeros) {
  TPty Pty;
  const TSerialChannel Channel({{1, Pty.Path}});
  EXPECT_FALSE(Channel.Counters(1).has_value()); // a pseudo-terminal
  EXPECT_FALSE(Channel.Counters(2).has_value()); // no such line
  EXPECT_FALSE(SerialCounters(-1).has_value());
}

TEST(SerialCounters, TheCountsSinceAReadingAreDifferences) {
  const TSerialCounters Before{100, 50, 1, 0, 2, 0};
  const TSerialCounters Now{160, 50, 4, 0, 2, 1};
  const TSerialCounters D = CountedSince(Before, Now);
  EXPECT_EQ(D.Received, 60u);
  EXPECT_EQ(D.Sent, 0u);
  EXPECT_EQ(D.Framing, 3u);
  EXPECT_EQ(D.Overrun, 0u);
  EXPECT_EQ(D.Break, 1u);
  // The adapter plugged in again: its counts start over.
  const TSerialCounters Again = CountedSince(Now, TSerialCounters{7, 0, 1, 0, 0, 0});
  EXPECT_EQ(Again.Received, 7u);
  EXPECT_EQ(Again.Framing, 1u);
}

} // namespace
