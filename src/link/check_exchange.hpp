#pragma once
// The failure convention of every operation: an exchange that reports an error
// number stops the operation with its fixed message.

#include "link/exchange.hpp"

#include <cstdint>

namespace de30::link {

// Raises ESerialIO with Message, Line and the exchange's error number (and whether
// it came from an absorbed exception) unless the error number is 0.
void CheckExchange(const TExchangeResult &Result, std::int32_t Line, const char *Message);

} // namespace de30::link
