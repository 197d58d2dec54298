#include "names.hpp"

#include "exit_codes.hpp"
#include "protocol/vocabulary.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace de30::ctl {

std::string StatusName(std::uint16_t Code) {
  if (Code == protocol::NoStatus)
    return "no status (reply not accepted)";
  switch (protocol::FamilyOf(Code)) {
  case protocol::FamilyIdle:
    return "idle";
  case protocol::FamilyReserved:
    return "reserved";
  case protocol::FamilyReady:
    return "authorised, waiting";
  case protocol::FamilyAuthorised:
    return "authorised";
  case protocol::FamilyCalling:
    return "calling";
  default:
    return "unknown";
  }
}

std::string DescribeStatus(std::uint16_t Code) {
  std::string Text = std::to_string(Code) + " " + StatusName(Code);
  if (Code != protocol::NoStatus && protocol::NozzleOf(Code) != 0 && Code != protocol::CodeIdle)
    Text += ", nozzle " + std::to_string(protocol::NozzleOf(Code));
  return Text;
}

namespace {

bool Whole(const std::string &Text, int &Value) {
  const char *End = Text.data() + Text.size();
  const auto [Ptr, Error] = std::from_chars(Text.data(), End, Value);
  return Error == std::errc() && Ptr == End && !Text.empty();
}

} // namespace

TPumpRef ParsePumpRef(const std::string &Text) {
  const auto Colon = Text.find(':');
  TPumpRef Ref;
  if (Colon == std::string::npos || !Whole(Text.substr(0, Colon), Ref.Line) ||
      !Whole(Text.substr(Colon + 1), Ref.Pump))
    throw ECtlError(ExitUsage, "'" + Text + "' is not a pump: write LINE:PUMP, e.g. 1:2");
  if (Ref.Line < 1 || Ref.Line > 32)
    throw ECtlError(ExitUnknown,
                    "line " + std::to_string(Ref.Line) + " does not exist (1..32)");
  if (Ref.Pump < 1 || Ref.Pump > 31)
    throw ECtlError(ExitUnknown,
                    "pump " + std::to_string(Ref.Pump) + " does not exist (1..31)");
  return Ref;
}

double ParseNumber(const std::string &Text, const char *What) {
  double Value = 0;
  const char *End = Text.data() + Text.size();
  const auto [Ptr, Error] = std::from_chars(Text.data(), End, Value);
  if (Error != std::errc() || Ptr != End || Text.empty() || !std::isfinite(Value))
    throw ECtlError(ExitUsage, std::string(What) + " '" + Text + "' is not a number");
  return Value;
}

double ParseHundredths(const std::string &Text, const char *What) {
  const std::string Named = std::string(What) + " '" + Text + "'";
  if (!Text.empty() && Text[0] == '-')
    throw ECtlError(ExitUsage, Named + " is negative");
  const auto Point = Text.find('.');
  const bool Digits =
      !Text.empty() && Text.find_first_not_of("0123456789.") == std::string::npos &&
      Point != 0 &&
      (Point == std::string::npos || Text.find('.', Point + 1) == std::string::npos);
  if (!Digits)
    throw ECtlError(ExitUsage, Named + " is not a number: write digits, a point and at most "
                                       "two decimals, e.g. 45.50");
  // Further decimals would be rounded away on the wire: the pump takes hundredths.
  if (Point != std::string::npos && Text.find_first_not_of('0', Point + 3) != std::string::npos)
    throw ECtlError(ExitUsage,
                    Named + " has more than two decimals: the pump takes hundredths");
  return ParseNumber(Text, What);
}

int ParseWhole(const std::string &Text, const char *What, int Low, int High, int OutOfRange) {
  int Value = 0;
  if (!Whole(Text, Value))
    throw ECtlError(ExitUsage, std::string(What) + " '" + Text + "' is not a whole number");
  if (Value < Low || Value > High)
    throw ECtlError(static_cast<TExitCode>(OutOfRange),
                    std::string(What) + " " + Text + " is outside " + std::to_string(Low) +
                        ".." + std::to_string(High));
  return Value;
}

std::string Money(double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

} // namespace de30::ctl
