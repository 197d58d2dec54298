#include "channels/serial_channel.hpp"

#include "channels/asio_link.hpp"

#include <cerrno>

namespace de30::channels {

namespace {

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

} // namespace de30::channels
