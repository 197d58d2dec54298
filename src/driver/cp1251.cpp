#include "driver/cp1251.hpp"

namespace de30 {
std::size_t Utf8ToCp1251(const char *Text, char *Dest, std::size_t DestSize) {
  if (DestSize == 0)
    return 0;
  std::size_t Written = 0;
  while (*Text != 0 && Written + 1 < DestSize)
    Dest[Written++] = static_cast<char>(cp1251::FromCodePoint(cp1251::NextCodePoint(Text)));
  Dest[Written] = '\0';
  return Written;
}

} // namespace de30
