#include "win32/failure.hpp"

#include "de30/errors.hpp"
#include "driver/cp1251.hpp"
#include "win32/seh.hpp"

#include <cstring>

namespace de30::win32 {
namespace {

// The messages of the last failure raised on this thread, kept as long as
// include/de30/de30_win32.h promises hosts.
constexpr std::size_t MessageSize = 256;
thread_local char Utf8Message[MessageSize];
thread_local char Cp1251Message[MessageSize];

void Keep(TFailure &Failure, TFailure::TKind Kind, const char *Message) noexcept {
  Failure.Kind = Kind;
  // Cut at a character boundary: a lead byte never follows the cut.
  std::size_t Length = std::strlen(Message);
  if (Length >= MessageSize) {
    Length = MessageSize - 1;
    while (Length > 0 && (static_cast<unsigned char>(Message[Length]) & 0xC0) == 0x80)
      --Length;
  }
  std::memcpy(Utf8Message, Message, Length);
  Utf8Message[Length] = '\0';
  Utf8ToCp1251(Utf8Message, Cp1251Message, MessageSize);
}

} // namespace

void Capture(TFailure &Failure) noexcept {
  try {
    throw;
  } catch (const THostException &Host) {
    Failure.Kind = TFailure::Host;
    Failure.Record = Host.Record;
  } catch (const ESerialIO &Error) {
    Keep(Failure, TFailure::SerialIO, Error.what());
  } catch (const ERangeError &Error) {
    Keep(Failure, TFailure::Range, Error.what());
  } catch (const EAbstractError &Error) {
    Keep(Failure, TFailure::Abstract, Error.what());
  } catch (const std::exception &Error) {
    Keep(Failure, TFailure::Other, Error.what());
  } catch (...) {
    Keep(Failure, TFailure::Other, "Unknown failure");
  }
}

void Raise(const TFailure &Failure) {
  if (Failure.Kind == TFailure::Host) {
    const EXCEPTION_RECORD &Record = Failure.Record;
    const DWORD Count = Record.NumberParameters <= EXCEPTION_MAXIMUM_PARAMETERS
                            ? Record.NumberParameters
                            : EXCEPTION_MAXIMUM_PARAMETERS;
    RaiseException(Record.ExceptionCode, Record.ExceptionFlags & EXCEPTION_NONCONTINUABLE,
                   Count, Count != 0 ? Record.ExceptionInformation : nullptr);
  } else {
    const ULONG_PTR Parameters[DE30_EXCEPTION_PARAMETERS] = {
        Failure.Kind, reinterpret_cast<ULONG_PTR>(Cp1251Message),
        reinterpret_cast<ULONG_PTR>(Utf8Message)};
    RaiseException(DE30_EXCEPTION_CODE, EXCEPTION_NONCONTINUABLE, DE30_EXCEPTION_PARAMETERS,
                   Parameters);
  }
  // A host handler that continues a non-continuable exception gets
  // EXCEPTION_NONCONTINUABLE_EXCEPTION from the system instead; a continued host
  // exception that was continuable lands here.
  for (;;)
    RaiseException(EXCEPTION_NONCONTINUABLE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

} // namespace de30::win32
