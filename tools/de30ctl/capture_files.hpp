#pragma once
// Captures given on the command line, read for `replay` and `stats`: several files
// (a rotated capture, or the captures of several runs) are taken in the order of
// their first exchange, whatever the order given, so that a shell glob
// (line1*.pcapng) reads a rotated capture from its oldest file on.

#include "capture/reader.hpp"

#include <string>
#include <vector>

namespace de30::ctl {

struct TCaptureFiles {
  std::vector<std::string> Files;                    // in the order read
  std::vector<capture::TCapturedExchange> Exchanges; // of every file, in that order
  std::map<std::int32_t, std::string> Devices;       // each line's device, as the files say
  std::vector<std::string> Warnings;                 // files cut off or damaged, gaps
};

// ECtlError(ExitCannotOpen) for a file that cannot be read or is no capture.
TCaptureFiles ReadCaptureFiles(const std::vector<std::string> &Files);

} // namespace de30::ctl
