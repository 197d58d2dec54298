// Writing your own channel: a minimal TComChannel over a serial line the host has
// already opened (a POSIX file descriptor).
//
// The driver never opens ports. Every byte goes through the channel the host
// hands it, so a host that owns its serial lines (or a multiplexer, a USB bridge,
// a log) only has to implement the eight members below. This one serves one line.
//
// To have something to talk to, the example serves de30's simulated station on a
// pseudo-terminal and opens the terminal as a host would open /dev/ttyS0.

#include "de30/driver.hpp"
#include "sim/clock.hpp"
#include "sim/server.hpp"
#include "sim/station.hpp"

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

class TFdChannel final : public de30::TComChannel {
public:
  explicit TFdChannel(int Line) : Fd(Line) {}

  // Error numbers of this channel (any non-zero value makes the driver raise).
  static constexpr std::int32_t ErrWrite = 1, ErrTimeout = 2;

  std::int32_t LastError(std::int32_t) override { return Error; }
  void SetError(std::int32_t, std::int32_t Code) override { Error = Code; }
  void SetState(std::int32_t, std::int32_t NewState) override {
    State = static_cast<std::uint8_t>(NewState);
  }
  std::uint8_t GetState(std::int32_t) override { return State; }

  // Called through InitLine: the line's settings. The driver asks for 2400 baud.
  std::int32_t SetupLine(std::int32_t, std::int32_t, std::int32_t BaudRate) override {
    termios Settings{};
    if (tcgetattr(Fd, &Settings) != 0)
      return ErrWrite;
    cfmakeraw(&Settings);
    const speed_t Speed = BaudRate == 2400 ? B2400 : B9600;
    cfsetispeed(&Settings, Speed);
    cfsetospeed(&Settings, Speed);
    return tcsetattr(Fd, TCSANOW, &Settings) == 0 ? 0 : ErrWrite;
  }

  // One command and its reply. The reply must land in Reply; then the driver's
  // check routine decides whether it is accepted (it compares first bytes).
  std::int32_t Transact(std::int32_t Line, std::int32_t, const std::uint8_t *Frame,
                        std::uint8_t FrameLength, std::uint8_t *Reply, std::uint8_t ReplyLength,
                        std::uint8_t) override {
    const std::uint8_t Sent = Frame[1]; // the command's first byte, before Reply overwrites it
    if (write(Fd, Frame, FrameLength) != FrameLength)
      return Error = ErrWrite;
    int Got = 0;
    while (Got < ReplyLength) {
      pollfd Wait{Fd, POLLIN, 0};
      if (poll(&Wait, 1, TimeoutMs) <= 0)
        return Error = ErrTimeout; // a silent pump must never hang the host
      const ssize_t N = read(Fd, Reply + Got, static_cast<std::size_t>(ReplyLength - Got));
      if (N <= 0)
        return Error = ErrTimeout;
      Got += static_cast<int>(N);
    }
    if (Check != nullptr)
      Check(CheckData, Line, &Sent, Reply); // calls our SetState and SetError
    return 0;
  }

  // The driver registers its reply check before every transaction.
  void SetReplyCheck(std::int32_t, de30::TReplyCheck Routine, void *Data) override {
    Check = Routine;
    CheckData = Data;
  }
  // A channel that reopens its line would call this routine again; this one never does.
  void SetLineSetup(std::int32_t, de30::TLineSetup, void *) override {}

private:
  static constexpr int TimeoutMs = 1500;
  int Fd;
  std::int32_t Error = 0;
  std::uint8_t State = 1;
  de30::TReplyCheck Check = nullptr;
  void *CheckData = nullptr;
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

  // The host's own line, opened the way it opens its serial ports.
  const int Fd = open(Server->Path().c_str(), O_RDWR | O_NOCTTY);
  if (Fd < 0) {
    std::printf("cannot open %s\n", Server->Path().c_str());
    return 1;
  }
  TFdChannel Channel(Fd);
  auto Driver = de30::GetDE30(0, 0, &Channel);
  int Result = 1;
  if (Driver->InitLine(1) == 0) {
    try {
      std::printf("pump 4 status: %u\n", Driver->GetSost(1, 4)); // 192: idle
      Driver->GetSost(1, 7);                                     // nobody at 7
    } catch (const de30::ESerialIO &Failure) {
      std::printf("pump 7: %s (channel error %d)\n", Failure.what(), Channel.LastError(1));
      Result = Channel.LastError(1) == TFdChannel::ErrTimeout ? 0 : 1;
    }
  }
  close(Fd);
  Server->Halt();
  return Result;
}
