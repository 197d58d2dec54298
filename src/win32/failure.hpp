#pragma once
// How failures leave the DLL: every entry the host can reach (the exports, the 24
// positions, the two routines registered with the channel) runs its C++ work under
// Guarded, which catches everything into a TFailure. Only after that work's frames
// are gone does the entry hand the failure to Raise, which raises it as a
// structured exception. No C++ exception ever reaches host code.

#include "de30/de30_win32.h"
#include "win32/fpu.hpp"

#include <windows.h>

#include <cstdint>
#include <type_traits>

namespace de30::win32 {

struct TFailure {
  enum TKind : ULONG_PTR {
    None = 0,
    SerialIO = DE30_FAILURE_SERIAL_IO,
    Range = DE30_FAILURE_RANGE,
    Abstract = DE30_FAILURE_ABSTRACT,
    Other = DE30_FAILURE_OTHER,
    Host = 0x100 // a host exception to raise again unchanged; Record holds it
  };
  TKind Kind = None;
  EXCEPTION_RECORD Record;

  explicit operator bool() const { return Kind != None; }
};
static_assert(std::is_trivially_destructible_v<TFailure>);

// Classifies the exception being handled (call it inside a catch block only) and,
// for the driver's own failures, leaves its message in the thread's buffers.
void Capture(TFailure &Failure) noexcept;

// Raises the failure as include/de30/de30_win32.h describes, or the host's
// exception as it was caught. Never returns.
[[noreturn]] void Raise(const TFailure &Failure);

// Runs Body, catching whatever it throws into Failure. Returns Body's result, or
// a value-initialised one after a failure.
template <typename TBody> auto Guarded(TFailure &Failure, TBody &&Body) noexcept {
  using TResult = decltype(Body());
  TDriverFpu Fpu;
  try {
    if constexpr (std::is_void_v<TResult>) {
      Body();
    } else if constexpr (std::is_floating_point_v<TResult>) {
      // Rounded to a double in memory while the driver's control word holds: an x87
      // register may carry a value beyond the range of a double, which the host's
      // control word would trap on as soon as the value is stored.
      volatile TResult Stored = Body();
      return static_cast<TResult>(Stored);
    } else {
      return Body();
    }
  } catch (...) {
    Capture(Failure);
  }
  if constexpr (!std::is_void_v<TResult>)
    return TResult{};
}

// An entry's whole C++ work: Guarded, then Raise once its frames are left. The
// frame of Enter itself holds nothing with a destructor.
template <typename TBody> auto Enter(TBody &&Body) {
  using TResult = decltype(Body());
  TFailure Failure;
  if constexpr (std::is_void_v<TResult>) {
    Guarded(Failure, Body);
    if (Failure)
      Raise(Failure);
  } else {
    const TResult Result = Guarded(Failure, Body);
    if (Failure)
      Raise(Failure);
    return Result;
  }
}

} // namespace de30::win32
