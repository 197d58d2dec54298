#pragma once
// de30d's log: one line per event on stderr, "TIME LEVEL message", so that
// journald and a terminal both read it; under systemd each line also carries its
// syslog priority for the journal.

#include <atomic>
#include <string>

namespace de30::service {

enum class TLevel { Debug, Info, Warn, Error };
const char *LevelName(TLevel Level); // "debug", "info", "warn", "error"

// Lines below the threshold are dropped (Info by default).
void SetLogThreshold(TLevel Level);
void Log(TLevel Level, const std::string &Message);

} // namespace de30::service
