#pragma once
// UTF-8 to Windows code page 1251, the encoding hosts of the Windows library read
// messages and the identification string in.

#include <cstddef>
#include <cstdint>

namespace de30 {

// Converts the NUL-terminated UTF-8 Text into Dest (always NUL-terminated when
// DestSize > 0) and returns the number of bytes written before the NUL. Characters
// with no code page 1251 form become '?'; a text too long for Dest is cut at a
// character boundary.
std::size_t Utf8ToCp1251(const char *Text, char *Dest, std::size_t DestSize);

} // namespace de30
