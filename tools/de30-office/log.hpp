#pragma once
// de30-office's log: one line per event on stderr, "TIME LEVEL message", as
// de30d writes it, so that journald and a terminal both read it.

#include <string>

namespace de30::office {

enum class TLevel { Debug, Info, Warn, Error };

void SetLogThreshold(TLevel Level); // Info unless set
void Log(TLevel Level, const std::string &Message);

} // namespace de30::office
