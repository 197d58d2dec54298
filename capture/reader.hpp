#pragma once
// Reads a line capture back: its lines and its exchanges, each frame paired with
// its reply. Reads files in either byte order and with several sections (files
// joined by mergecap or cut by editcap); packets that are not de30's are counted
// and passed over. A file cut off inside a block gives everything before it.

#include "capture/exchange.hpp"

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace de30::capture {

struct TCaptureContents {
  std::string Application;                     // of the first section
  std::map<std::int32_t, std::string> Devices; // each line's device, "" when not said
  std::vector<TCapturedExchange> Exchanges;    // in the order their frames were sent
  bool Truncated = false;                      // the file ends inside a block
  std::string Damage;                          // why reading stopped early, when it did
  std::size_t Skipped = 0;                     // packets that are not de30's
  std::set<std::int32_t> Listened;             // lines heard by a tap, not driven
  std::vector<TLooseBytes> Loose;              // bytes a tap heard in no exchange
  // Each line's error counts, when the file carries them (null: not available).
  std::map<std::int32_t, std::optional<TLineErrors>> LineErrors;
};

// Throws ECaptureError when the file cannot be read or is no pcapng file.
TCaptureContents ReadCapture(const std::string &Path);
TCaptureContents ReadCaptureBytes(const std::string &Bytes);

} // namespace de30::capture
