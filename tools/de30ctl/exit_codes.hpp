#pragma once
// de30ctl's exit codes; the README lists them for scripts.

#include <stdexcept>
#include <string>

namespace de30::ctl {

enum TExitCode : int {
  ExitOk = 0,
  ExitPumpFailed = 1,  // the driver raised a failure (exchange failed, range error)
  ExitUsage = 2,       // unknown option, malformed number, value that does not fit the wire
  ExitUnknown = 3,     // unknown line, pump, nozzle or grade
  ExitCannotOpen = 4,  // a device or address that cannot be opened
  ExitCheckFailed = 5, // the demo saw something other than it expected
};

// A failure de30ctl reports itself, with the exit code it ends with.
class ECtlError : public std::runtime_error {
public:
  ECtlError(TExitCode ExitCode, const std::string &Message)
      : std::runtime_error(Message), Code(ExitCode) {}
  TExitCode Code;
};

} // namespace de30::ctl
