#include "fault_option.hpp"

#include "exit_codes.hpp"
#include "names.hpp"

#include <sstream>

namespace de30::ctl {

sim::TFaultRule ParseFault(const std::string &Text) {
  std::stringstream Parts(Text);
  std::string Part;
  std::getline(Parts, Part, ',');
  const auto Kind = sim::FaultByName(Part);
  if (!Kind)
    throw ECtlError(ExitUsage, "unknown fault '" + Part +
                                   "' (no-reply, late-reply, wrong-echo, corrupt-digits, "
                                   "drop-byte, error-status, stray-byte)");
  sim::TFaultRule Rule;
  Rule.Kind = *Kind;
  bool TimesGiven = false;
  while (std::getline(Parts, Part, ',')) {
    const auto Equals = Part.find('=');
    const std::string Key = Part.substr(0, Equals);
    const std::string Value = Equals == std::string::npos ? "" : Part.substr(Equals + 1);
    if (Key == "line")
      Rule.Line = ParseWhole(Value, "fault line", 1, 32, ExitUsage);
    else if (Key == "pump")
      Rule.Pump = ParseWhole(Value, "fault pump", 1, 31, ExitUsage);
    else if (Key == "times") {
      Rule.Times = ParseWhole(Value, "fault times", -1, 1000000, ExitUsage);
      TimesGiven = true;
    } else if (Key == "prob") {
      Rule.Probability = ParseNumber(Value, "fault probability");
      if (Rule.Probability <= 0 || Rule.Probability > 1)
        throw ECtlError(ExitUsage, "fault probability must lie in (0, 1]");
    } else if (Key == "delay")
      Rule.DelayMs = ParseWhole(Value, "fault delay", 0, 600000, ExitUsage);
    else if (Key == "status")
      Rule.Status =
          static_cast<std::uint8_t>(ParseWhole(Value, "fault status", 0, 255, ExitUsage));
    else if (Key == "byte")
      Rule.Noise =
          static_cast<std::uint8_t>(ParseWhole(Value, "fault byte", 0, 255, ExitUsage));
    else if (Key == "command") {
      const auto Aim = sim::AimByName(Value);
      if (!Aim)
        throw ECtlError(ExitUsage,
                        "unknown fault command '" + Value + "' (" + sim::AimNames() + ")");
      Rule.Aim = *Aim;
    } else
      throw ECtlError(ExitUsage, "unknown fault setting '" + Part + "'");
  }
  if (!TimesGiven && Rule.Probability < 1.0)
    Rule.Times = -1; // a random fault keeps striking
  return Rule;
}

} // namespace de30::ctl
