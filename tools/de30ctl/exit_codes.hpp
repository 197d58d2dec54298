#pragma once
// de30ctl's exit codes; the README lists them for scripts.

#include <stdexcept>
#include <string>

namespace de30::ctl {

enum TExitCode : int {
  ExitOk = 0,
  ExitPumpFailed = 1,  // the driver raised ESerialIO: an exchange failed
  ExitUsage = 2,       // unknown subcommand or option, malformed number, an ignored option
  ExitUnknown = 3,     // unknown line, pump or sale (de30d's too), a grade or nozzle count
                       // the pump or the station cannot take
  ExitCannotOpen = 4,  // a device or address that cannot be opened
  ExitCheckFailed = 5, // the demo saw something other than it expected
  ExitRejected = 6,    // the reply check rejected a reply: not done, or values not read
  ExitRange = 7,       // the driver refused a value out of range (ERangeError)
};

// A failure de30ctl reports itself, with the exit code it ends with.
class ECtlError : public std::runtime_error {
public:
  ECtlError(TExitCode ExitCode, const std::string &Message)
      : std::runtime_error(Message), Code(ExitCode) {}
  TExitCode Code;
};

} // namespace de30::ctl
