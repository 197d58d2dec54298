#pragma once
// What de30ctl shows and reads: names of host status codes and commands, and the
// parsing of pump references and numbers, with clear errors for bad input.

#include <cstdint>
#include <string>

namespace de30::ctl {

// The family names of docs/status-codes.md: "idle", "calling", "authorised", ...
std::string StatusName(std::uint16_t Code);
// "192 idle", "226 calling, nozzle 2"
std::string DescribeStatus(std::uint16_t Code);

struct TPumpRef {
  int Line = 0;
  int Pump = 0;
};

// "LINE:PUMP", each a whole number; ECtlError(ExitUsage) otherwise.
TPumpRef ParsePumpRef(const std::string &Text);
// A decimal number ("12.5", "12,5" is refused); ECtlError(ExitUsage) otherwise.
double ParseNumber(const std::string &Text, const char *What);
// A price, dose or amount as the pump takes it: not negative, at most two decimals
// ("45.5", "45.50"; "45.505" and "-1" are refused with ECtlError(ExitUsage)).
double ParseHundredths(const std::string &Text, const char *What);
// A whole number within Low..High; ECtlError(ExitUsage) when malformed,
// ECtlError(OutOfRange) when outside.
int ParseWhole(const std::string &Text, const char *What, int Low, int High, int OutOfRange);
// Money and volumes as shown: two decimals.
std::string Money(double Value);

} // namespace de30::ctl
