#include "channels/serial_channel.hpp"

#include "channels/asio_link.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace de30::channels {

namespace {

// The same words as Why below, from an errno.
std::string WhyNot(const std::string &Device, int Error) {
  switch (Error) {
  case ENOTTY:
    return Device + ": not a terminal";
  case ENOENT:
    return Device + ": no such file or directory";
  case EACCES:
    return Device + ": permission denied";
  case EBUSY:
    return Device + ": busy";
  default:
    return Device + ": " + std::strerror(Error);
  }
}

std::optional<speed_t> SpeedOf(std::int32_t BaudRate) {
  switch (BaudRate) {
  case 1200:
    return B1200;
  case 2400:
    return B2400;
  case 4800:
    return B4800;
  case 9600:
    return B9600;
  case 19200:
    return B19200;
  case 38400:
    return B38400;
  case 57600:
    return B57600;
  case 115200:
    return B115200;
  default:
    return std::nullopt;
  }
}

// What went wrong, in the words an engineer at the pump expects.
std::string Why(const std::string &Device, const asio::error_code &Error) {
  if (Error == asio::error_code(ENOTTY, asio::system_category()))
    return Device + ": not a terminal";
  if (Error == asio::error_code(ENOENT, asio::system_category()))
    return Device + ": no such file or directory";
  // Not in the device's group (dialout), or the port belongs to someone else.
  if (Error == asio::error_code(EACCES, asio::system_category()))
    return Device + ": permission denied";
  // Another program holds the port exclusively (a modem manager, a second de30d).
  if (Error == asio::error_code(EBUSY, asio::system_category()))
    return Device + ": busy";
  return Device + ": " + Error.message();
}

} // namespace

std::unique_ptr<TLink> OpenSerialLink(const std::string &Device, std::int32_t BaudRate,
                                      std::string &Reason) {
  auto Link = std::make_unique<TAsioLink<asio::serial_port>>();
  asio::error_code Failed;
  Link->Stream.open(Device, Failed);
  using Base = asio::serial_port_base;
  if (!Failed)
    Link->Stream.set_option(Base::baud_rate(static_cast<unsigned>(BaudRate)), Failed);
  if (!Failed)
    Link->Stream.set_option(Base::character_size(8), Failed);
  if (!Failed)
    Link->Stream.set_option(Base::parity(Base::parity::none), Failed);
  if (!Failed)
    Link->Stream.set_option(Base::stop_bits(Base::stop_bits::one), Failed);
  if (!Failed)
    Link->Stream.set_option(Base::flow_control(Base::flow_control::none), Failed);
  if (Failed) {
    Reason = Why(Device, Failed);
    return nullptr;
  }
  return Link;
}

std::unique_ptr<TLink> TSerialChannel::Open(std::int32_t Line, std::int32_t BaudRate,
                                            std::int32_t &Error) {
  const auto Device = Devices.find(Line);
  if (Device == Devices.end()) {
    Error = ErrNoSuchLine;
    return nullptr;
  }
  std::string Reason;
  auto Link = OpenSerialLink(Device->second, BaudRate, Reason);
  if (!Link) {
    Error = ErrOpenFailed;
    Explain(Line, Reason);
  }
  return Link;
}

TSerialCounters CountedSince(const TSerialCounters &Before, const TSerialCounters &Now) {
  const auto Since = [](std::uint64_t Was, std::uint64_t Is) {
    return Is >= Was ? Is - Was : Is;
  };
  TSerialCounters D;
  D.Received = Since(Before.Received, Now.Received);
  D.Sent = Since(Before.Sent, Now.Sent);
  D.Framing = Since(Before.Framing, Now.Framing);
  D.Parity = Since(Before.Parity, Now.Parity);
  D.Overrun = Since(Before.Overrun, Now.Overrun);
  D.Break = Since(Before.Break, Now.Break);
  return D;
}

std::optional<TSerialCounters> SerialCounters(int Fd) {
#if defined(__linux__) && defined(TIOCGICOUNT)
  serial_icounter_struct Kernel{};
  if (Fd < 0 || ::ioctl(Fd, TIOCGICOUNT, &Kernel) != 0)
    return std::nullopt;
  const auto Count = [](int N) { return static_cast<std::uint64_t>(static_cast<unsigned>(N)); };
  TSerialCounters C;
  C.Received = Count(Kernel.rx);
  C.Sent = Count(Kernel.tx);
  C.Framing = Count(Kernel.frame);
  C.Parity = Count(Kernel.parity);
  C.Overrun = Count(Kernel.overrun) + Count(Kernel.buf_overrun);
  C.Break = Count(Kernel.brk);
  return C;
#else
  (void)Fd;
  return std::nullopt;
#endif
}

std::optional<TSerialCounters> DeviceCounters(const std::string &Device) {
  const int Fd = ::open(Device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0)
    return std::nullopt;
  auto Counts = SerialCounters(Fd);
  ::close(Fd);
  return Counts;
}

std::optional<TSerialCounters> TSerialChannel::Counters(std::int32_t Line) const {
  const auto Device = Devices.find(Line);
  if (Device == Devices.end())
    return std::nullopt;
  return DeviceCounters(Device->second);
}

std::unique_ptr<TListeningPort>
TListeningPort::Open(const std::string &Device, std::int32_t BaudRate, std::string &Reason) {
  const std::optional<speed_t> Speed = SpeedOf(BaudRate);
  if (!Speed) {
    Reason = Device + ": " + std::to_string(BaudRate) + " baud is not a speed the port takes";
    return nullptr;
  }
  // Read-only: no write of this program, nor the line discipline's echo, can
  // reach the line through this descriptor.
  const int Fd = ::open(Device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    Reason = WhyNot(Device, errno);
    return nullptr;
  }
  std::unique_ptr<TListeningPort> Port(new TListeningPort(Fd, Device));
  termios Settings{};
  if (::tcgetattr(Fd, &Settings) != 0) {
    Reason = WhyNot(Device, errno);
    return nullptr;
  }
  ::cfmakeraw(&Settings);
  Settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  Settings.c_cflag |= CS8 | CLOCAL | CREAD;
  Settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  Settings.c_cc[VMIN] = 1;
  Settings.c_cc[VTIME] = 0;
  if (::cfsetispeed(&Settings, *Speed) != 0 || ::cfsetospeed(&Settings, *Speed) != 0 ||
      ::tcsetattr(Fd, TCSANOW, &Settings) != 0) {
    Reason = WhyNot(Device, errno);
    return nullptr;
  }
  return Port;
}

TListeningPort::~TListeningPort() {
  if (Fd >= 0)
    ::close(Fd);
}

TListeningPort::TRead TListeningPort::Read(std::uint8_t *Dest, std::size_t Count,
                                           std::chrono::milliseconds Timeout) {
  TRead Result;
  pollfd Wait{Fd, POLLIN, 0};
  const int Ready =
      ::poll(&Wait, 1, static_cast<int>(std::max<std::int64_t>(Timeout.count(), 0)));
  if (Ready <= 0)
    return Result;
  const ssize_t N = ::read(Fd, Dest, Count);
  if (N > 0)
    Result.Count = static_cast<std::size_t>(N);
  else if (N == 0 || (errno != EAGAIN && errno != EINTR))
    Result.Closed = true; // end of file, or EIO from a device that went away
  return Result;
}

} // namespace de30::channels
