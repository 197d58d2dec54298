#pragma once
// de30-office logs as de30d does (tools/de30d/log.hpp): one line per event on
// stderr, "TIME LEVEL message", with its syslog priority under systemd.

#include "de30d/log.hpp"

namespace de30::office {

using service::Log;
using service::SetLogThreshold;
using service::TLevel;

} // namespace de30::office
