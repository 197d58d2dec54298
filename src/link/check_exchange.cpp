#include "link/check_exchange.hpp"

namespace de30::link {

void CheckExchange(const TExchangeResult &Result, std::int32_t Line, const char *Message) {
  if (Result.ChannelError != 0)
    throw ESerialIO(Message, Line, Result.ChannelError, Result.Absorbed);
}

} // namespace de30::link
