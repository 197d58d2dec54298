// The two exports of DE30.dll. Their undecorated names come from de30.def.

#include "win32/dll_driver.hpp"
#include "win32/failure.hpp"

using de30::win32::Enter;
using de30::win32::TDllDriver;
using TWord = std::uint32_t;

extern "C" {

void *__stdcall GetDE30(TWord Unused, TWord AppHandle, TWord Channel) {
  return Enter([&] {
    // The object lives until the host disposes of it; the library never frees it.
    return static_cast<void *>(new TDllDriver(static_cast<std::uint8_t>(Unused), AppHandle,
                                              reinterpret_cast<void *>(Channel)));
  });
}

void *__stdcall GetDriver25(TWord Unused, TWord AppHandle, TWord Channel, TWord, TWord, TWord,
                            TWord, TWord) {
  return GetDE30(Unused, AppHandle, Channel);
}

} // extern "C"
