#pragma once
// The driver's per-line and per-pump state: fixed tables indexed from 1, exactly as
// lines, pumps and grades are numbered on the wire and at the host interface.

#include "de30/channel.hpp"
#include "de30/constants.hpp"
#include "de30/errors.hpp"

#include <cstdint>

namespace de30 {

// A fixed array indexed 1..N. An index outside raises ERangeError, so no table
// access can ever reach memory outside the table.
template <typename T, int N> class TIndexed {
public:
  T &operator[](std::int64_t Index) {
    Check(Index);
    return Items[Index - 1];
  }
  const T &operator[](std::int64_t Index) const {
    Check(Index);
    return Items[Index - 1];
  }
  static constexpr bool Contains(std::int64_t Index) { return Index >= 1 && Index <= N; }
  static constexpr int Size = N;

private:
  static void Check(std::int64_t Index) {
    if (!Contains(Index))
      throw ERangeError();
  }
  T Items[N]{};
};

template <typename T> using TPerLine = TIndexed<T, LineCount>;
template <typename T> using TPerPump = TIndexed<TIndexed<T, PumpCount>, LineCount>;

// The seam for the driver's two fixed pauses (after a start, inside an unblock).
// The default sleeps the calling thread; tests install one that records instead.
class TPauser {
public:
  virtual ~TPauser() = default;
  virtual void Pause(std::uint32_t Milliseconds) = 0;
};

// Sleeps the calling thread.
class TThreadPauser final : public TPauser {
public:
  void Pause(std::uint32_t Milliseconds) override;
  static TThreadPauser &Instance();
};

// Everything the protocol operations work on: the channel and the tables.
struct TDriverState {
  // The host's channel; not owned, never released.
  TComChannel *Channel = nullptr;
  // Price per grade; start values 1.0, 2.0, 3.0 for grades 1..3, 0.0 for 4..6.
  TPerPump<TIndexed<double, GradeCount>> Prices;
  // Copy of the channel's line state after the last exchange; 1 = reply accepted.
  TPerLine<std::uint8_t> LineState;
  // Polls left before an authorised pump is reported as authorised but idle (209).
  TPerPump<std::int32_t> CountDown;
  // 1 from a successful start until a poll reports 192 or 225.
  TPerPump<std::uint8_t> Authorized;
  // The pump's nozzle count as last given to GetSostEx; 0 until then.
  TPerPump<std::uint8_t> NozzleCount;
  // 1 until the pump has reported status byte 0; holds back code 225.
  TPerPump<std::uint8_t> AwaitIdle;
  // Where the pauses go; never null.
  TPauser *Pauser = &TThreadPauser::Instance();

  explicit TDriverState(TComChannel *HostChannel);
};

} // namespace de30
