#include "channels/asio_link.hpp"

#include <termios.h>

namespace de30::channels {

void DiscardInput(asio::serial_port &Port) { ::tcflush(Port.native_handle(), TCIFLUSH); }

void DiscardInput(asio::ip::tcp::socket &Socket) {
  asio::error_code Error;
  std::uint8_t Junk[256];
  while (Socket.available(Error) > 0 && !Error)
    Socket.read_some(asio::buffer(Junk), Error);
}

} // namespace de30::channels
