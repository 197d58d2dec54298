#include "tap_codes.hpp"

#include "names.hpp"

namespace de30::ctl {

std::string DescribeDerived(const capture::TDerivedCodes &Codes) {
  std::string Text = "host code " + DescribeStatus(Codes.Code);
  if (!Codes.Nozzles.empty()) {
    Text += " (nozzles";
    for (std::uint16_t Code : Codes.Nozzles)
      Text += " " + std::to_string(Code);
    Text += ")";
  }
  return Text + ", pump " + std::to_string(Codes.Pump);
}

} // namespace de30::ctl
