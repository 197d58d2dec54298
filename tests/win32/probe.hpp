#pragma once
// Calls into DE30.dll the way a host compiled by another compiler would: a small
// assembly routine pushes the stack words, calls the code address and records what
// came back (EAX, EDX, ST0 on request), how many words the callee removed, whether
// it kept ESI and EDI, and any structured exception raised inside, caught by a
// frame-based handler.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace de30::wintest {

using TWord = std::uint32_t;

struct TCall {
  TWord Eax;
  TWord Edx;
  TWord Removed; // stack words the callee removed
  TWord Raised;  // 1 when a structured exception left the callee
  double St0;    // with ProbeSt0 only
  TWord Esi;     // as the callee left them; the probe loads marker values
  TWord Edi;
  EXCEPTION_RECORD Record; // when Raised

  std::uint8_t Al() const { return static_cast<std::uint8_t>(Eax); }
  std::uint16_t Ax() const { return static_cast<std::uint16_t>(Eax); }
  bool KeptRegisters() const;
};

enum TProbeFlags : TWord {
  ProbeSt0 = 1,       // pop ST0 into St0 after the call (double results only)
  ProbeRegisters = 2, // the first three words go into EAX, EDX and ECX
  ProbeNoHandler = 4  // install no handler: exceptions go on to the caller's
};

extern "C" void de30t_call(const void *Code, const TWord *Words, TWord Count, TWord Flags,
                           TCall *Out);

// Calls Body(Arg) under a frame whose handler only counts the unwinds it is asked
// for, the way a host's try/finally block sees an exception pass: the driver must
// let RtlUnwind reach it.
extern "C" void de30t_finally(void (*Body)(void *), void *Arg, TWord *Unwinds);

// Words in the order of the callee's parameters (the first one ends up at [ESP+4]).
TCall Probe(const void *Code, std::initializer_list<TWord> Words, TWord Flags = 0);
TCall Probe(const void *Code, const TWord *Words, std::size_t Count, TWord Flags = 0);

// A double as its two stack words, in memory order.
TWord Low(double Value);
TWord High(double Value);
template <typename T> TWord Word(T *Pointer) {
  return static_cast<TWord>(reinterpret_cast<std::uintptr_t>(Pointer));
}

} // namespace de30::wintest
