#pragma once
// A TLink over an Asio stream (serial port or TCP socket): blocking writes, and
// reads that give up at their deadline with whatever has arrived.

#include "line_channel.hpp"

#include <asio.hpp>

namespace de30::channels {

void DiscardInput(asio::serial_port &Port);
void DiscardInput(asio::ip::tcp::socket &Socket);

template <class TStream> class TAsioLink final : public TLink {
public:
  asio::io_context Io;
  TStream Stream{Io};

  void Discard() override { DiscardInput(Stream); }

  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    asio::error_code Error;
    asio::write(Stream, asio::buffer(Data, Count), Error);
    return !Error;
  }

  TRead Read(std::uint8_t *Dest, std::size_t Count,
             std::chrono::milliseconds Timeout) override {
    TRead Result;
    if (Count == 0)
      return Result;
    bool Done = false;
    asio::error_code Error;
    asio::async_read(Stream, asio::buffer(Dest, Count),
                     [&](const asio::error_code &E, std::size_t N) {
                       Error = E;
                       Result.Count = N;
                       Done = true;
                     });
    Io.restart();
    Io.run_for(Timeout);
    if (!Done) {
      // The cancelled read still completes, with the bytes it had gathered.
      asio::error_code Ignored;
      Stream.cancel(Ignored);
      Io.restart();
      Io.run();
      return Result;
    }
    // End of file, a reset connection or a vanished terminal: the line is gone.
    Result.Closed = static_cast<bool>(Error);
    return Result;
  }
};

} // namespace de30::channels
