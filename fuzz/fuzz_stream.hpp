#pragma once
// An Asio byte stream whose other end is the fuzz input: each read the real
// channels' link starts is answered with some bytes (a short read), the end of the
// line, a reset, or nothing at all until the link gives up and cancels; each write
// may take part of the bytes or fail. Nothing waits on a clock: a read left
// unanswered holds no work, so the link's deadline passes at once.

#include "fuzz_input.hpp"

#include <asio.hpp>

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace de30::fuzz {

// What the far end did during one transaction, for the harness to judge the
// channel's result by.
struct TWireLog {
  std::vector<std::uint8_t> Written;
  std::vector<std::uint8_t> Delivered; // after the frame went out: the reply
  std::vector<std::uint8_t> Dropped;   // before it, while the line was let fall quiet
  std::size_t LargestAsk = 0;          // the most bytes one read of the reply asked for
  bool Discarded = false;
  bool WriteFailed = false;
  bool Closed = false;
  bool Stalled = false;
  void Reset() { *this = TWireLog{}; }
};

class TFuzzStream {
public:
  using executor_type = asio::io_context::executor_type;

  explicit TFuzzStream(asio::io_context &Context) : Io(Context) {}

  // Set by whoever opens the link, before the first transaction.
  TFuzzInput *In = nullptr;
  TWireLog *Log = nullptr;

  executor_type get_executor() { return Io.get_executor(); }

  template <class TBuffers>
  std::size_t write_some(const TBuffers &Buffers, asio::error_code &E) {
    const asio::const_buffer First = *asio::buffer_sequence_begin(Buffers);
    const std::uint8_t Kind = In->Byte();
    if (Kind == 0xFF || Gone) {
      Log->WriteFailed = true;
      E = asio::error::broken_pipe;
      return 0;
    }
    // Kind 0xC0 and above: the driver of the line took only part of the bytes.
    std::size_t Count = First.size();
    if (Kind >= 0xC0 && Count > 1)
      Count = Kind % Count + 1;
    const auto *Bytes = static_cast<const std::uint8_t *>(First.data());
    Log->Written.insert(Log->Written.end(), Bytes, Bytes + Count);
    E = {};
    return Count;
  }

  template <class TBuffers, class THandler>
  void async_read_some(const TBuffers &Buffers, THandler &&Handler) {
    const asio::mutable_buffer First = *asio::buffer_sequence_begin(Buffers);
    const bool Replying = !Log->Written.empty();
    if (Replying && First.size() > Log->LargestAsk)
      Log->LargestAsk = First.size();
    if (Gone) {
      Complete(std::move(Handler), asio::error::eof, 0);
      return;
    }
    if (In->Empty()) {
      Stall(std::move(Handler));
      return;
    }
    const std::uint8_t Kind = In->Byte();
    if (Kind < 0xD0) {
      std::size_t Count = Kind % 16 + 1;
      if (Count > First.size())
        Count = First.size();
      auto *Dest = static_cast<std::uint8_t *>(First.data());
      for (std::size_t I = 0; I < Count; ++I) {
        Dest[I] = In->Byte();
        (Replying ? Log->Delivered : Log->Dropped).push_back(Dest[I]);
      }
      Complete(std::move(Handler), {}, Count);
    } else if (Kind < 0xE0) {
      Gone = Log->Closed = true;
      Complete(std::move(Handler), asio::error::eof, 0);
    } else if (Kind < 0xE8) {
      Gone = Log->Closed = true;
      Complete(std::move(Handler), asio::error::connection_reset, 0);
    } else {
      Stall(std::move(Handler));
    }
  }

  void cancel(asio::error_code &E) {
    E = {};
    if (Waiting)
      std::move(*Waiting).Abort(Io);
    Waiting.reset();
  }

private:
  // A read that waits for bytes that never come, until it is cancelled.
  struct TWaiting {
    virtual ~TWaiting() = default;
    virtual void Abort(asio::io_context &Context) && = 0;
  };
  template <class THandler> struct TWaitingFor final : TWaiting {
    explicit TWaitingFor(THandler &&H) : Handler(std::move(H)) {}
    void Abort(asio::io_context &Context) && override {
      asio::post(Context, [H = std::move(Handler)]() mutable {
        H(asio::error_code(asio::error::operation_aborted), std::size_t{0});
      });
    }
    THandler Handler;
  };

  template <class THandler>
  void Complete(THandler &&Handler, asio::error_code E, std::size_t Count) {
    asio::post(Io, [H = std::move(Handler), E, Count]() mutable { H(E, Count); });
  }
  template <class THandler> void Stall(THandler &&Handler) {
    Log->Stalled = true;
    Waiting = std::make_unique<TWaitingFor<std::decay_t<THandler>>>(std::move(Handler));
  }

  asio::io_context &Io;
  std::unique_ptr<TWaiting> Waiting;
  bool Gone = false; // the far end closed; every later read sees the end
};

// The link drops stale input before each write; here there is none, so it is only
// recorded that the channel asked.
inline void DiscardInput(TFuzzStream &Stream) { Stream.Log->Discarded = true; }
// The far end's bytes come only when a read asks for them: none ever waits, and
// the line is let fall quiet only after a failed exchange.
inline bool InputWaiting(TFuzzStream &) { return false; }

} // namespace de30::fuzz
