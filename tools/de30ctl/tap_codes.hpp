#pragma once
// How de30ctl tap shows the host codes de30's driver would derive from what it
// hears (capture/host_codes.hpp).

#include "capture/host_codes.hpp"

#include <string>

namespace de30::ctl {

// "host code 225 calling, nozzle 1 (nozzles 225 192 192 192)"
std::string DescribeDerived(const capture::TDerivedCodes &Codes);

} // namespace de30::ctl
