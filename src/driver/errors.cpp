#include "de30/errors.hpp"

#include <cinttypes>
#include <cstdio>

namespace de30 {

ERangeError::ERangeError(const char *Argument, std::int64_t Value, std::int64_t Min,
                         std::int64_t Max) noexcept
    : Name(Argument), Was(Value), Low(Min), High(Max) {
  std::snprintf(Line, sizeof Line, "%s %" PRId64 " outside %" PRId64 "..%" PRId64, Argument,
                Value, Min, Max);
}

} // namespace de30
