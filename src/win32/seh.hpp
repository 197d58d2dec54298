#pragma once
// Frame-based structured exception handling for GCC, which has no __try: a
// registration record on FS:[0] whose handler unwinds the frames above it with
// RtlUnwind and resumes right behind the guarded call (the pattern Wine uses under
// GCC). Every call from the DLL into the host's code goes through it, so that a
// structured exception raised by the host never runs through the driver's C++
// frames, whose unwinding only C++ exceptions can drive.

#include <windows.h>

#include <exception>

namespace de30::win32 {

extern "C" {
// Calls Body(Arg) under a frame-based handler. Returns 0 when Body returned, 1
// when a structured exception was raised inside it; the exception record (the
// record itself, not the records it chains to) is then copied to *Record and the
// frames of Body and of everything it called have been abandoned.
int de30_seh_call(void (*Body)(void *), void *Arg, EXCEPTION_RECORD *Record);
}

// Runs Body() under de30_seh_call; true when it raised, Record then holds the
// exception. Body is abandoned midway on a raise, so it must own nothing with a
// destructor and throw no C++ exception (noexcept turns one into terminate rather
// than into an unwind through the assembly frame, which has no unwind tables).
template <typename TBody> bool RaisedIn(TBody &Body, EXCEPTION_RECORD &Record) {
  static_assert(noexcept(Body()), "a guarded body must be noexcept");
  return de30_seh_call([](void *Self) { (*static_cast<TBody *>(Self))(); }, &Body, &Record) !=
         0;
}

// A structured exception the host's channel raised from a position whose
// exceptions go on to the host. Deliberately outside the std::exception family:
// Exchange lets it through, and the DLL entry that catches it raises the record
// again, unchanged, once its C++ frames are left.
struct THostException {
  EXCEPTION_RECORD Record;
};

// A structured exception the host's channel raised from Transact or GetState.
// It belongs to the std::exception family so that Exchange absorbs it, just as the
// original runtime absorbed the exceptions of its own family there.
class EChannelException : public std::exception {
public:
  explicit EChannelException(DWORD Code) noexcept : ExceptionCode(Code) {}
  const char *what() const noexcept override { return "Channel exception"; }
  DWORD Code() const noexcept { return ExceptionCode; }

private:
  DWORD ExceptionCode;
};

} // namespace de30::win32
