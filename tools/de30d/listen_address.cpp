#include "listen_address.hpp"

#include <algorithm>
#include <charconv>

namespace de30::service {

std::optional<TListenAddress> ParseListen(const std::string &Text) {
  const auto Colon = Text.rfind(':');
  if (Colon == std::string::npos || Colon == 0 || Colon + 1 == Text.size())
    return std::nullopt;
  std::string Host = Text.substr(0, Colon);
  if (Host.front() == '[') {
    if (Host.size() < 3 || Host.back() != ']')
      return std::nullopt;
    Host = Host.substr(1, Host.size() - 2);
  } else if (Host.find(':') != std::string::npos) {
    return std::nullopt; // a bare IPv6 address is ambiguous: write [::1]:8030
  }
  const std::string Port = Text.substr(Colon + 1);
  int Number = -1;
  const auto [End, Error] = std::from_chars(Port.data(), Port.data() + Port.size(), Number);
  if (Error != std::errc() || End != Port.data() + Port.size() || Number < 0 || Number > 65535)
    return std::nullopt;
  return TListenAddress{Host, Number};
}

bool IsLoopback(const std::string &Host) {
  if (Host == "localhost" || Host == "::1")
    return true;
  // 127.x.y.z, each part a number.
  if (Host.rfind("127.", 0) != 0)
    return false;
  return std::count(Host.begin(), Host.end(), '.') == 3 &&
         std::all_of(Host.begin(), Host.end(),
                     [](char C) { return C == '.' || (C >= '0' && C <= '9'); });
}

} // namespace de30::service
