#pragma once
// Raw recordings of a line: the bytes a tap read, as it read them, with the
// moment of each read, so that a recording can be split and decoded again later
// (`de30ctl tap --file`) or by tools of one's own (docs/capture.md). A text file:
//
//   # de30 raw line recording
//   # baud 2400
//   # device /dev/ttyUSB0
//   1796780000.123456 00 09
//   1796780000.145000 09 00 FF
//
// Lines starting with '#' are comments; "# baud N" gives the line's speed and
// "# device TEXT" where it was heard, others are ignored. Every other line is one
// read: the moment it ended, in seconds since 1970 UTC with up to nine decimals,
// then the bytes read, two hex digits each, separated by spaces.

#include "capture/exchange.hpp"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace de30::capture {

inline constexpr const char *RawRecordingTitle = "# de30 raw line recording";

struct TRawHeader {
  int BaudRate = 0; // 0: not said
  std::string Device;
};

// One read: bytes and the moment the read gave them.
using TRawRead =
    std::function<void(TClock::time_point At, const std::vector<std::uint8_t> &Bytes)>;

// Reads Path, calling Each for every read in the file's order; the header lines
// found before the first read are in Header when the first call comes. Throws
// ECaptureError ("FILE:LINE: ...") for a file that cannot be read or a line that
// is neither a comment nor a read.
void ReadRawRecording(const std::string &Path, TRawHeader &Header, const TRawRead &Each);

// Parses one line of a recording: true with At and Bytes for a read, false for a
// comment or an empty line; throws ECaptureError naming what is wrong.
bool ParseRawLine(const std::string &Text, TRawHeader &Header, TClock::time_point &At,
                  std::vector<std::uint8_t> &Bytes);
// The line Write puts in a recording for one read.
std::string RawLine(TClock::time_point At, const std::uint8_t *Data, std::size_t Count);

// Writes a recording: the header at once, then a line per read, each reaching the
// file with one write so that a recording cut off by a crash ends in whole lines.
class TRawRecorder {
public:
  // Throws ECaptureError when the file cannot be created.
  TRawRecorder(const std::string &Path, const TRawHeader &Header);
  ~TRawRecorder();
  TRawRecorder(const TRawRecorder &) = delete;
  TRawRecorder &operator=(const TRawRecorder &) = delete;

  void Write(TClock::time_point At, const std::uint8_t *Data, std::size_t Count);
  // Empty while recording; otherwise why it stopped.
  const std::string &Failure() const { return Failed; }
  std::uint64_t Bytes() const { return Recorded; }
  const std::string &Path() const { return File; }

private:
  void Append(const std::string &Text);

  std::string File;
  int Fd = -1;
  std::string Failed;
  std::uint64_t Recorded = 0;
};

} // namespace de30::capture
