#include "link/as_byte.hpp"

#include "de30/errors.hpp"

namespace de30::link {

std::uint8_t AsByte(std::int32_t Value, const char *Argument) {
  const auto Word = static_cast<std::uint32_t>(Value);
  if (Word > 255)
    throw ERangeError(Argument, Word, 0, 255);
  return static_cast<std::uint8_t>(Word);
}

} // namespace de30::link
