#include "clients.hpp"

namespace de30::service {
namespace {

// Compares without stopping at the first difference, so the time taken does not
// tell how much of a guessed token was right.
bool SameToken(const std::string &Given, const std::string &Expected) {
  if (Expected.empty())
    return false;
  unsigned char Difference = Given.size() == Expected.size() ? 0 : 1;
  for (std::size_t I = 0; I < Given.size(); ++I)
    Difference |= static_cast<unsigned char>(Given[I] ^ Expected[I % Expected.size()]);
  return Difference == 0;
}

} // namespace

TClientBook::TClientBook(std::string StationToken, std::vector<station::TClientConfig> Clients,
                         bool Reads)
    : Token(std::move(StationToken)), Known(std::move(Clients)), ReadToken(Reads) {}

std::optional<TCaller> TClientBook::Find(const std::string &Given) const {
  std::optional<TCaller> Found;
  if (SameToken(Given, Token))
    Found = TCaller{station::StationTokenClient, station::TClientRole::Admin, !Known.empty()};
  for (const auto &Client : Known)
    if (SameToken(Given, Client.Token))
      Found = TCaller{Client.Name, Client.Role, true};
  return Found;
}

std::optional<std::string> BearerToken(const httplib::Request &Request) {
  const std::string Scheme = "Bearer ";
  const std::string Header = Request.get_header_value("Authorization");
  if (Header.rfind(Scheme, 0) == 0)
    return Header.substr(Scheme.size());
  if ((Request.method == "GET" || Request.method == "HEAD") &&
      Request.has_param("access_token"))
    return Request.get_param_value("access_token");
  return std::nullopt;
}

} // namespace de30::service
