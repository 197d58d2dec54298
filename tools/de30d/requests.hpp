#pragma once
// Strict reading of requests: a field of the wrong type, a number out of range, a
// field nobody asked for, both kinds of preset at once are refused with their own
// codes (api_error.hpp) before anything reaches a pump. Every parser throws
// EApiError with status 400.

#include "station/journal.hpp"
#include "station/reservation.hpp"
#include "station/sale.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace de30::service {

struct TPumpAddress {
  int Line = 0;
  int Pump = 0;
};

// "LINE:PUMP", each a decimal number without sign or padding beyond four digits.
TPumpAddress ParsePumpId(const std::string &Text);
std::int64_t ParseSaleId(const std::string &Text);
std::int64_t ParseShiftId(const std::string &Text);

struct TAuthorizeRequest {
  station::TPreset Preset; // None without litres or money
  std::optional<int> Grade;
  std::optional<std::string> Client;
};
// {"litres": x} or {"money": x}, optional "grade" and "client"; an empty body
// authorises without a preset.
TAuthorizeRequest ParseAuthorize(const std::string &Body);
// A command without arguments: an empty body, or {}.
void ParseNoArguments(const std::string &Body);
// {"code": n}, 0..255.
int ParseUnblock(const std::string &Body);
// {"client": name}: the client that locks or clears a sale.
std::string ParseClient(const std::string &Body);

// The body of a command that a client makes in its own name: "client" (the
// token's client stands in when it is left out), and the command's options.
struct TClientRequest {
  std::optional<std::string> Client;
  bool Force = false;                  // "force": act on another client's lock or reservation
  std::optional<std::int64_t> Seconds; // "seconds": how long a reservation lasts
  std::optional<int> Code;             // "code": an unblock code
  std::optional<std::int64_t> Shift;   // "shift": the shift a close expects to close
};
// Fields names the options the command takes besides "client" ("force",
// "seconds", "code"); an empty body is {}.
TClientRequest ParseClientRequest(const std::string &Body,
                                  const std::vector<std::string> &Fields);
// {"1": 45.5, ...}: grade number to price, 0.00..99.99.
std::map<int, double> ParsePrices(const std::string &Body);

// A list's one query parameter, ?limit=N of 1..Max; Default without it.
int ParseLimit(const std::multimap<std::string, std::string> &Query, int Default, int Max);

// Query parameters of GET /sales: state, from, to (ISO 8601 UTC or milliseconds
// since the epoch) and limit.
station::TSaleFilter ParseSaleFilter(const std::multimap<std::string, std::string> &Query);
// "2026-12-08T22:50:09Z", with optional fraction; or whole milliseconds.
std::optional<std::int64_t> ParseTime(const std::string &Text);

// Highest values a request may carry.
inline constexpr double MaxLitres = 9999.99; // a fill field holds six digits
inline constexpr double MaxMoney = 9999.99;
inline constexpr double MaxPrice = 99.99;
inline constexpr int MaxGrade = 99;
inline constexpr std::size_t MaxClientName = 64;
inline constexpr int MaxReservationSeconds = static_cast<int>(station::MaxReservationS);

} // namespace de30::service
