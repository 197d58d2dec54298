// Writing your own channel: lines on serial devices the host opens itself (POSIX
// file descriptors), on de30's channel base class.
//
// The driver never opens ports. Every byte goes through the channel the host
// hands it. TLineChannel (<de30/channels/line_channel.hpp>, library
// de30::line_channel) already does what the driver expects of a channel: it keeps
// each line's state and last error, runs the reply check the driver registers,
// reopens a lost line through the driver's set-up routine, and gives each reply
// the timeout the line set-up asks for. A channel of your own only opens a line
// and moves bytes. de30::channels installs two finished ones, TSerialChannel and
// TTcpChannel; this example shows what it takes to write a third.
//
// To have something to talk to, the example serves de30's simulated station on a
// pseudo-terminal and opens the terminal as a host would open /dev/ttyS0.

#include "channels/line_channel.hpp"
#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/server.hpp"
#include "sim/station.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

using de30::channels::TLink;

// One open line: writes and reads on the descriptor, never waiting past the
// timeout the channel gives.
class TFdLink final : public TLink {
public:
  explicit TFdLink(int Descriptor) : Fd(Descriptor) {}
  ~TFdLink() override { close(Fd); }

  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    return write(Fd, Data, Count) == static_cast<ssize_t>(Count);
  }

  TRead Read(std::uint8_t *Dest, std::size_t Count,
             std::chrono::milliseconds Timeout) override {
    TRead Result;
    const auto Until = std::chrono::steady_clock::now() + Timeout;
    while (Result.Count < Count) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          Until - std::chrono::steady_clock::now());
      pollfd Wait{Fd, POLLIN, 0};
      if (poll(&Wait, 1, static_cast<int>(std::max<std::int64_t>(Left.count(), 0))) <= 0)
        break; // a silent pump must never hang the host
      const ssize_t N = read(Fd, Dest + Result.Count, Count - Result.Count);
      if (N <= 0) {
        Result.Closed = true; // the terminal is gone; the channel reopens it next time
        break;
      }
      Result.Count += static_cast<std::size_t>(N);
    }
    return Result;
  }

private:
  int Fd;
};

// Line 1 on the device given; the driver's InitLine asks for 2400 baud.
class TFdChannel final : public de30::channels::TLineChannel {
public:
  explicit TFdChannel(std::string Path) : Device(std::move(Path)) {}

protected:
  std::unique_ptr<TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                              std::int32_t &Error) override {
    if (Line != 1) {
      Error = de30::channels::ErrNoSuchLine;
      return nullptr;
    }
    const int Fd = open(Device.c_str(), O_RDWR | O_NOCTTY);
    termios Settings{};
    if (Fd < 0 || tcgetattr(Fd, &Settings) != 0) {
      Explain(Line, Device + ": " + std::strerror(errno)); // LastErrorText says why
      if (Fd >= 0)
        close(Fd);
      return nullptr; // Error stays at ErrOpenFailed
    }
    cfmakeraw(&Settings);
    const speed_t Speed = BaudRate == 2400 ? B2400 : B9600;
    cfsetispeed(&Settings, Speed);
    cfsetospeed(&Settings, Speed);
    tcsetattr(Fd, TCSANOW, &Settings);
    return std::make_unique<TFdLink>(Fd);
  }

private:
  std::string Device;
};

} // namespace

int main() {
  // The far end: a simulated pump at address 4 on a pseudo-terminal.
  de30::sim::TSteadyClock Clock;
  de30::sim::TSimStation Station(Clock);
  Station.AddPump(1, {.Address = 4, .Nozzles = 1});
  std::string Problem;
  auto Server = de30::sim::TStationServer::OnPty(Station, 1, Problem);
  if (!Server) {
    std::printf("no pseudo-terminal: %s\n", Problem.c_str());
    return 1;
  }
  Server->Start();

  TFdChannel Channel(Server->Path());
  auto Driver = de30::GetDE30(0, 0, &Channel);
  int Result = 1;
  if (Driver->InitLine(1) != 0) {
    std::printf("line 1: %s\n", Channel.LastErrorText(1).c_str());
  } else {
    try {
      std::printf("pump 4 status: %u\n", Driver->GetSost(1, 4)); // 192: idle
      Driver->GetSost(1, 7);                                     // nobody at 7
    } catch (const de30::ESerialIO &Failure) {
      std::printf("pump 7: %s (%s)\n", Failure.what(), Channel.LastErrorText(1).c_str());
      Result = Channel.LastError(1) == de30::channels::ErrTimeout ? 0 : 1;
    }
  }
  Server->Halt();
  return Result;
}
