#include "channels/asio_link.hpp"

#include <sys/ioctl.h>
#include <termios.h>

namespace de30::channels {

void DiscardInput(asio::serial_port &Port) { ::tcflush(Port.native_handle(), TCIFLUSH); }

void DiscardInput(asio::ip::tcp::socket &Socket) {
  asio::error_code Error;
  std::uint8_t Junk[256];
  while (Socket.available(Error) > 0 && !Error)
    Socket.read_some(asio::buffer(Junk), Error);
}

bool InputWaiting(asio::serial_port &Port) {
  int Count = 0;
  return ::ioctl(Port.native_handle(), FIONREAD, &Count) == 0 && Count > 0;
}

bool InputWaiting(asio::ip::tcp::socket &Socket) {
  asio::error_code Error;
  return Socket.available(Error) > 0 && !Error;
}

} // namespace de30::channels
