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

std::int32_t FitWire(double Value, std::int32_t MaxHundredths, const char *What) {
  // The driver's own conversion, so the tool refuses exactly what the driver would.
  try {
    return protocol::ToWireHundredths(Value, MaxHundredths);
  } catch (const ERangeError &) {
    char Given[32];
    std::snprintf(Given, sizeof Given, "%.10g", Value); // as typed, not rounded for show
    throw ECtlError(ExitUsage, std::string(What) + " " + Given +
                                   " does not fit the wire (0.00.." +
                                   Money(MaxHundredths / 100.0) + ")");
  }
}

std::string Money(double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

} // namespace de30::ctl
