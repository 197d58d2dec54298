#pragma once
// The identification string, derived from its UTF-8 text at compile time so the
// two forms cannot differ.

#include "de30/driver.hpp"
#include "driver/cp1251.hpp"

namespace de30 {

inline constexpr TIdentString Ident = CountedCp1251<std::tuple_size_v<TIdentString>>(IdentText);
static_assert(Ident[0] == 30, "30 characters behind the length byte");

} // namespace de30
