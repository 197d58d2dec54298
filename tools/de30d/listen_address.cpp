#include "listen_address.hpp"

#include <algorithm>
#include <cctype>
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

namespace {

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Text;
}

bool IsAddressLiteral(const std::string &Host) {
  if (Host.find(':') != std::string::npos) // an IPv6 address, its brackets removed
    return std::all_of(Host.begin(), Host.end(),
                       [](char C) { return C == ':' || C == '.' || std::isxdigit(C); });
  return std::count(Host.begin(), Host.end(), '.') == 3 &&
         std::all_of(Host.begin(), Host.end(),
                     [](char C) { return C == '.' || (C >= '0' && C <= '9'); });
}

} // namespace

bool HostAllowed(const std::string &HostHeader, const std::string &ListenHost, int Port,
                 const std::vector<std::string> &Names) {
  if (HostHeader.empty())
    return false;
  // Without a port, the header means the scheme's default.
  const bool Bare = HostHeader.back() == ']' || HostHeader.find(':') == std::string::npos;
  const auto Address = ParseListen(Bare ? HostHeader + ":80" : HostHeader);
  if (!Address)
    return false;
  const std::string Name = Lower(Address->Host);
  if (std::any_of(Names.begin(), Names.end(),
                  [&](const std::string &Allowed) { return Lower(Allowed) == Name; }))
    return true;
  if (Address->Port != Port)
    return false;
  const std::string Listening = Lower(ListenHost);
  if (Name == Listening)
    return true;
  if (IsLoopback(Listening) && Name == "localhost")
    return true;
  const bool Everywhere = Listening.empty() || Listening == "0.0.0.0" || Listening == "::";
  return Everywhere && (Name == "localhost" || IsAddressLiteral(Name));
}

bool SameOrigin(const std::string &Origin, const std::string &HostHeader) {
  const std::string Given = Lower(Origin);
  const std::string Authority = Lower(HostHeader);
  return !Authority.empty() &&
         (Given == "http://" + Authority || Given == "https://" + Authority);
}

} // namespace de30::service
