#pragma once
// A TLink over an Asio stream (serial port or TCP socket): blocking writes, and
// reads that give up at their deadline with whatever has arrived.

#include "line_channel.hpp"

#include <asio.hpp>

namespace de30::channels {

void DiscardInput(asio::serial_port &Port);
void DiscardInput(asio::ip::tcp::socket &Socket);
bool InputWaiting(asio::serial_port &Port);
bool InputWaiting(asio::ip::tcp::socket &Socket);

template <class TStream> class TAsioLink final : public TLink {
public:
  asio::io_context Io;
  TStream Stream{Io};

  void Discard() override { DiscardInput(Stream); }
  bool Pending() override { return InputWaiting(Stream); }

  bool Write(const std::uint8_t *Data, std::size_t Count) override {
    asio::error_code Error;
    asio::write(Stream, asio::buffer(Data, Count), Error);
    return !Error;
  }

  // One read_some at a time rather than a composed read: a composed read that is
  // cancelled may already have queued its next step, which would then wait for a
  // byte with no deadline. A deadline that has passed (or a zero timeout) still
  // collects what has already arrived.
  TRead Read(std::uint8_t *Dest, std::size_t Count,
             std::chrono::milliseconds Timeout) override {
    TRead Result;
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (Result.Count < Count) {
      bool Done = false;
      std::size_t Got = 0;
      asio::error_code Error;
      Stream.async_read_some(asio::buffer(Dest + Result.Count, Count - Result.Count),
                             [&](const asio::error_code &E, std::size_t N) {
                               Error = E;
                               Got = N;
                               Done = true;
                             });
      Io.restart();
      Io.run_until(Deadline);
      if (!Done) {
        // Past the deadline the reactor is asked once more without waiting, so
        // that bytes already in the buffer are not taken for silence.
        Io.restart();
        Io.poll();
      }
      if (!Done) {
        // The cancelled read still completes, with the bytes it had gathered.
        asio::error_code Ignored;
        Stream.cancel(Ignored);
        Io.restart();
        Io.run();
      }
      Result.Count += Got;
      if (Error == asio::error::operation_aborted || (!Error && Got == 0))
        break;
      // End of file, a reset connection or a vanished terminal: the line is gone.
      if (Error) {
        Result.Closed = Result.Count < Count;
        break;
      }
    }
    return Result;
  }
};

} // namespace de30::channels
