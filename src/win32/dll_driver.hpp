#pragma once
// The object DE30.dll hands to the host: its first word points to the 24-entry
// table of stdcall code addresses; behind it the host-channel adapter and the
// portable driver.

#include "de30/driver.hpp"
#include "win32/host_channel.hpp"

#include <memory>

namespace de30::win32 {

struct TInterfaceTable;

struct TDllDriver {
  // First word, read by the host and by the forwarding positions. Starts at the
  // DLL's table; a host may point it at a table of its own.
  const TInterfaceTable *Table;
  THostChannel Channel;
  std::unique_ptr<TVM30> Driver;

  TDllDriver(std::uint8_t Unused, std::uintptr_t AppHandle, void *HostChannel);

  static TDllDriver &Of(void *Object) { return *static_cast<TDllDriver *>(Object); }
};

// The DLL's own table, the one every new object starts with.
extern const TInterfaceTable InterfaceTable;

} // namespace de30::win32
