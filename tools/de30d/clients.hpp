#pragma once
// Who is asking: the client a request's bearer token names. With no token and no
// client configured, every request is anonymous and may do everything (the
// service then listens on loopback only); otherwise commands need a token, and
// reads too when [station] read_token is set.

#include "station/config.hpp"

#include <httplib.h>

#include <optional>
#include <string>
#include <vector>

namespace de30::service {

struct TCaller {
  std::string Name; // empty for an anonymous caller
  station::TClientRole Role = station::TClientRole::Admin;
  // The name is the client's for locks, clears and reservations: a body naming
  // another client is refused. False for an anonymous caller and for the one
  // station token when no [[client]] is configured, whose clients name themselves.
  bool Named = false;
};

class TClientBook {
public:
  // StationToken: [station] token or --token, an admin client.
  TClientBook(std::string StationToken, std::vector<station::TClientConfig> Clients,
              bool ReadToken);

  // Any credentials at all: commands then need one.
  bool Guarded() const { return !Token.empty() || !Known.empty(); }
  bool GuardsReads() const { return ReadToken && Guarded(); }
  // The client of a token; nothing for an unknown one. Every token is compared
  // in full, so the time taken tells nothing about a guess.
  std::optional<TCaller> Find(const std::string &Given) const;

private:
  std::string Token;
  std::vector<station::TClientConfig> Known;
  bool ReadToken = false;
};

// The bearer token of a request: "Authorization: Bearer TOKEN", or for a read the
// access_token query parameter (a browser's EventSource cannot send headers).
std::optional<std::string> BearerToken(const httplib::Request &Request);

} // namespace de30::service
