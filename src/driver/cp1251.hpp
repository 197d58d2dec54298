#pragma once
// UTF-8 to Windows code page 1251, the encoding hosts of the Windows library read
// messages and the identification string in. Usable at compile time, so fixed
// texts are written once, in UTF-8.

#include <array>
#include <cstddef>
#include <cstdint>

namespace de30 {
namespace cp1251 {

// Decodes one UTF-8 sequence at Text, advancing it; malformed input yields U+FFFD.
constexpr char32_t NextCodePoint(const char *&Text) {
  const auto Lead = static_cast<unsigned char>(*Text++);
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
    const auto Next = static_cast<unsigned char>(*Text);
    if ((Next & 0xC0) != 0x80)
      return 0xFFFD; // a truncated sequence: the next byte starts afresh
    Point = (Point << 6) | (Next & 0x3F);
    ++Text;
  }
  return Point;
}

constexpr unsigned char FromCodePoint(char32_t Point) {
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

} // namespace cp1251

// Converts the NUL-terminated UTF-8 Text into Dest (always NUL-terminated when
// DestSize > 0) and returns the number of bytes written before the NUL. Characters
// with no code page 1251 form become '?'; a text too long for Dest is cut at a
// character boundary.
std::size_t Utf8ToCp1251(const char *Text, char *Dest, std::size_t DestSize);

// Text in code page 1251 behind a length byte, in Size bytes (the rest 0): a
// counted string. Evaluated as a constant, a text too long for Size does not
// compile.
template <std::size_t Size>
constexpr std::array<std::uint8_t, Size> CountedCp1251(const char *Text) {
  std::array<std::uint8_t, Size> Result{};
  std::size_t Length = 0;
  while (*Text != 0)
    Result.at(++Length) = cp1251::FromCodePoint(cp1251::NextCodePoint(Text));
  Result[0] = static_cast<std::uint8_t>(Length);
  return Result;
}

} // namespace de30
