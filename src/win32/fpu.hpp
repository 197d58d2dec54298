#pragma once
// The x87 control word on both sides of the boundary. The driver computes under a
// control word of its own: all exceptions masked (hosts built with Delphi unmask
// several, and a trap inside the driver would skip its C++ frames), double
// precision (hosts may run in single precision, and the portable build computes
// in doubles), rounding to nearest. The host's code, its channel included, always
// runs under the host's own control word.

#include <cstdint>

namespace de30::win32 {

inline std::uint16_t ReadControlWord() {
  std::uint16_t Word;
  __asm__ volatile("fnstcw %0" : "=m"(Word));
  return Word;
}

// Clears the exception flags first: a flag raised under one control word must not
// trap under the next.
inline void LoadControlWord(std::uint16_t Word) {
  __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(Word));
}

// The control word of the host whose call the thread is serving, while it is.
inline thread_local bool ServingHost = false;
inline thread_local std::uint16_t HostControlWord = 0;

// Around an entry's C++ work.
class TDriverFpu {
public:
  static constexpr std::uint16_t DriverWord = 0x027F;

  TDriverFpu() noexcept
      : Saved(ReadControlWord()), OuterServing(ServingHost), OuterWord(HostControlWord) {
    ServingHost = true;
    HostControlWord = Saved;
    LoadControlWord(DriverWord);
  }
  ~TDriverFpu() {
    ServingHost = OuterServing;
    HostControlWord = OuterWord;
    LoadControlWord(Saved);
  }
  TDriverFpu(const TDriverFpu &) = delete;
  TDriverFpu &operator=(const TDriverFpu &) = delete;

private:
  std::uint16_t Saved;
  bool OuterServing;
  std::uint16_t OuterWord;
};

// Around a call into the host's channel.
class THostFpu {
public:
  THostFpu() noexcept : Saved(ReadControlWord()) {
    if (ServingHost)
      LoadControlWord(HostControlWord);
  }
  ~THostFpu() { LoadControlWord(Saved); }
  THostFpu(const THostFpu &) = delete;
  THostFpu &operator=(const THostFpu &) = delete;

private:
  std::uint16_t Saved;
};

} // namespace de30::win32
