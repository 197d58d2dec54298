#pragma once
// A serial device server's port in monitor mode, opened to listen only: the
// server sends what its line carries, and nothing is ever written to the
// socket, so nothing this program does can put a byte on the line.

#include "channels/serial_channel.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace de30::channels {

class TListeningSocket {
public:
  // Null with Reason ("connection refused", "host not found", ...) when it
  // cannot connect within Wait.
  static std::unique_ptr<TListeningSocket> Connect(const std::string &Host, std::uint16_t Port,
                                                   std::chrono::milliseconds Wait,
                                                   std::string &Reason);
  ~TListeningSocket();
  TListeningSocket(const TListeningSocket &) = delete;
  TListeningSocket &operator=(const TListeningSocket &) = delete;

  // Whatever has arrived, up to Count bytes, waiting at most Timeout for the
  // first; Closed when the server hung up.
  TListeningPort::TRead Read(std::uint8_t *Dest, std::size_t Count,
                             std::chrono::milliseconds Timeout);

private:
  explicit TListeningSocket(int Descriptor) : Fd(Descriptor) {}
  int Fd = -1;
};

} // namespace de30::channels
