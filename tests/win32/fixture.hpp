#pragma once
// A driver created through DE30.dll's export on a host channel of its own, called
// position by position through the table its first word points to.

#include "check.hpp"
#include "host_channel.hpp"
#include "probe.hpp"

#include "de30/de30_win32.h"

#include <cstring>
#include <initializer_list>
#include <vector>

namespace de30::wintest {

struct TLibrary {
  HMODULE Module = nullptr;
  const void *GetDE30 = nullptr;
  const void *GetDriver25 = nullptr;
};
// Loaded once by main.
TLibrary &Library();

class TDriver {
public:
  THostChannel Channel;
  TWord Object = 0;

  TDriver();
  explicit TDriver(TWord ChannelWord);
  // The code address at Position of the table the object's first word points to.
  const void *Entry(int Position) const;
  // Calls Position with the object followed by Words.
  TCall Call(int Position, std::initializer_list<TWord> Words, TWord Flags = 0) const;
  // The same with the hidden result address ahead of the object.
  TCall CallInto(int Position, void *Result, std::initializer_list<TWord> Words) const;
};

// The driver's own failure: code, kind and both messages.
void CheckFailure(const TCall &Call, ULONG_PTR Kind, const char *Cp1251, const char *Utf8);
// A host exception that passed through unchanged (as THostChannel raises them).
void CheckHostException(const TCall &Call, DWORD Code);

// The status byte S in a short poll's 3-byte reply.
inline TBytes StatusReply(std::uint8_t S) { return TBytes{0, S, 0}; }

} // namespace de30::wintest
