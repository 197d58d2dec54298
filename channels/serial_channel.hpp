#pragma once
// Lines on serial ports: each line maps to a device such as /dev/ttyUSB0. The line
// runs at the baud rate SetupLine gives, 8 data bits, no parity, 1 stop bit, no
// flow control.
//
// Installed as <de30/channels/serial_channel.hpp>; link de30::channels.

#include "line_channel.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace de30::channels {

// The kernel's counts for a serial port (Linux, TIOCGICOUNT): bytes received and
// sent, and the errors the UART saw. They run from when the port's driver started,
// not from when the port was opened, so a caller takes the difference of two
// readings. Overrun counts bytes the UART had to drop and bytes the kernel's
// buffer had no room for.
struct TSerialCounters {
  std::uint64_t Received = 0;
  std::uint64_t Sent = 0;
  std::uint64_t Framing = 0; // a byte whose stop bit was not there
  std::uint64_t Parity = 0;
  std::uint64_t Overrun = 0;
  std::uint64_t Break = 0; // the line held at space for longer than a byte
};
// Since: what Now counted beyond Before (a counter that went back, as after the
// adapter was plugged in again, counts from 0).
TSerialCounters CountedSince(const TSerialCounters &Before, const TSerialCounters &Now);

// The counts of the open serial port Fd; null where the device does not keep them
// (a pseudo-terminal, most USB adapters' drivers, systems other than Linux).
std::optional<TSerialCounters> SerialCounters(int Fd);
// The same for a device by its path, opened read-only for the moment of asking.
// Opening a port nobody holds raises its DTR and RTS for that moment: ask while
// the port is open, or just before a program opens it anyway.
std::optional<TSerialCounters> DeviceCounters(const std::string &Device);

class TSerialChannel final : public TLineChannel {
public:
  explicit TSerialChannel(std::map<std::int32_t, std::string> LineDevices)
      : Devices(std::move(LineDevices)) {}

  // The kernel's counts for the line's port (null: not kept, or no such line). It
  // opens the device once more, read-only, to ask: call it while the line is open,
  // since opening a port nobody holds raises its DTR and RTS for the moment.
  std::optional<TSerialCounters> Counters(std::int32_t Line) const;

protected:
  std::unique_ptr<TLink> Open(std::int32_t Line, std::int32_t BaudRate,
                              std::int32_t &Error) override;

private:
  std::map<std::int32_t, std::string> Devices;
};

// Opens Device as a serial line at BaudRate, 8N1; null with Reason ("/dev/ttyS9:
// no such file or directory", "/dev/ttyS0: permission denied", "/dev/ttyUSB0:
// busy", "/dev/null: not a terminal") when it cannot. For channels that mix
// kinds of line.
std::unique_ptr<TLink> OpenSerialLink(const std::string &Device, std::int32_t BaudRate,
                                      std::string &Reason);

// A serial port opened to listen only: read-only (O_RDONLY), so that nothing this
// program does can put a byte on the line. Raw 8N1 at the baud rate, no flow
// control; the modem lines are left as the kernel sets them on opening.
class TListeningPort {
public:
  // Null with Reason, in the words OpenSerialLink uses, when it cannot be opened
  // or does not take the baud rate.
  static std::unique_ptr<TListeningPort> Open(const std::string &Device, std::int32_t BaudRate,
                                              std::string &Reason);
  ~TListeningPort();
  TListeningPort(const TListeningPort &) = delete;
  TListeningPort &operator=(const TListeningPort &) = delete;

  struct TRead {
    std::size_t Count = 0;
    bool Closed = false; // the device is gone (unplugged, hung up)
  };
  // Whatever has arrived, up to Count bytes, waiting at most Timeout for the first.
  TRead Read(std::uint8_t *Dest, std::size_t Count, std::chrono::milliseconds Timeout);
  std::optional<TSerialCounters> Counters() const { return SerialCounters(Fd); }
  const std::string &Device() const { return Path; }

private:
  TListeningPort(int Descriptor, std::string Device)
      : Fd(Descriptor), Path(std::move(Device)) {}
  int Fd = -1;
  std::string Path;
};

} // namespace de30::channels
