#include "driver/cp1251.hpp"

namespace de30 {
namespace {

// Decodes one UTF-8 sequence at Text, advancing it; malformed input yields U+FFFD.
char32_t NextCodePoint(const unsigned char *&Text) {
  const unsigned char Lead = *Text++;
  if (Lead < 0x80)
    return Lead;
  int Extra = 0;
  char32_t Point = 0;
  if ((Lead & 0xE0) == 0xC0) {
    Extra = 1;
    Point = Lead & 0x1F;
  } else if ((Lead & 0xF0) == 0xE0) {
    Extra = 2;
    Point = Lead & 0x0F;
  } else if ((Lead & 0xF8) == 0xF0) {
    Extra = 3;
    Point = Lead & 0x07;
  } else {
    return 0xFFFD;
  }
  for (int I = 0; I < Extra; ++I) {
    if ((*Text & 0xC0) != 0x80)
      return 0xFFFD; // a truncated sequence: the next byte starts afresh
    Point = (Point << 6) | (*Text++ & 0x3F);
  }
  return Point;
}

unsigned char ToCp1251(char32_t Point) {
  if (Point < 0x80)
    return static_cast<unsigned char>(Point);
  if (Point >= 0x0410 && Point <= 0x044F) // А..я
    return static_cast<unsigned char>(0xC0 + (Point - 0x0410));
  if (Point == 0x0401) // Ё
    return 0xA8;
  if (Point == 0x0451) // ё
    return 0xB8;
  if (Point == 0x00A0) // no-break space
    return 0xA0;
  return '?';
}

} // namespace

std::size_t Utf8ToCp1251(const char *Text, char *Dest, std::size_t DestSize) {
  if (DestSize == 0)
    return 0;
  auto Cursor = reinterpret_cast<const unsigned char *>(Text);
  std::size_t Written = 0;
  while (*Cursor != 0 && Written + 1 < DestSize)
    Dest[Written++] = static_cast<char>(ToCp1251(NextCodePoint(Cursor)));
  Dest[Written] = '\0';
  return Written;
}

} // namespace de30
