#pragma once
// Lines and pumps reach Exchange as bytes, after a test against 255.

#include <cstdint>

namespace de30::link {

// Value as a byte. ERangeError naming Argument unless Value, taken as an unsigned
// 32-bit word (so a negative value is a large one), is at most 255.
std::uint8_t AsByte(std::int32_t Value, const char *Argument);

} // namespace de30::link
