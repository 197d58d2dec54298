#include "channels/serial_channel.hpp"

#include "channels/asio_link.hpp"

namespace de30::channels {

std::unique_ptr<TLink> TSerialChannel::Open(std::int32_t Line, std::int32_t BaudRate,
                                            std::int32_t &Error) {
  const auto Device = Devices.find(Line);
  if (Device == Devices.end()) {
    Error = ErrNoSuchLine;
    return nullptr;
  }
  auto Link = std::make_unique<TAsioLink<asio::serial_port>>();
  asio::error_code Failed;
  Link->Stream.open(Device->second, Failed);
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
    Error = ErrOpenFailed;
    return nullptr;
  }
  return Link;
}

} // namespace de30::channels
