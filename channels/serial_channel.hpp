#pragma once
// Lines on serial ports: each line maps to a device such as /dev/ttyUSB0. The line
// runs at the baud rate SetupLine gives, 8 data bits, no parity, 1 stop bit, no
// flow control.
//
// Installed as <de30/channels/serial_channel.hpp>; link de30::channels.

#include "line_channel.hpp"

#include <map>
#include <string>

namespace de30::channels {

class TSerialChannel final : public TLineChannel {
public:
  explicit TSerialChannel(std::map<std::int32_t, std::string> LineDevices)
      : Devices(std::move(LineDevices)) {}

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

} // namespace de30::channels
