#pragma once
// A line of a capture served again: each request the line receives is answered
// with the reply the capture holds for the same request bytes, in the order they
// were captured, so that a host meets the replies (whole, short, missing or
// rejected) that the captured host met.

#include "capture/exchange.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace de30::capture {

class TReplayLine {
public:
  // One line's exchanges, in the order they were sent. Channel errors are not
  // served (their frame may never have reached the line), nor exchanges whose
  // reply the file lacks (a capture cut off).
  explicit TReplayLine(std::vector<TCapturedExchange> Exchanges);

  // The exchange that answers Frame (0x00 first): of the exchanges not served yet,
  // the first with these frame bytes. A line keeps a cursor at its first exchange
  // not served, so this is the next such exchange at or after the cursor. Null
  // when the capture holds no (more) such request; it is counted as unmatched.
  const TCapturedExchange *Answer(const std::vector<std::uint8_t> &Frame);

  std::size_t Servable() const { return Serve.size(); }
  std::size_t Served() const { return ServedCount; }
  std::size_t Cursor() const { return Next; }
  std::uint64_t Unmatched() const { return UnmatchedCount; }
  // Each request no exchange answered, with how often it came, in the order first met.
  const std::vector<std::pair<std::vector<std::uint8_t>, std::uint64_t>> &
  UnmatchedRequests() const {
    return Missing;
  }

private:
  std::vector<TCapturedExchange> Serve;
  std::vector<bool> Used;
  // The exchanges not served yet of each request, earliest first. Every exchange
  // before the cursor is served, so the front of each queue lies at or after it.
  std::map<std::vector<std::uint8_t>, std::deque<std::size_t>> Waiting;
  std::size_t Next = 0;
  std::size_t ServedCount = 0;
  std::uint64_t UnmatchedCount = 0;
  std::vector<std::pair<std::vector<std::uint8_t>, std::uint64_t>> Missing;
  std::map<std::vector<std::uint8_t>, std::size_t> MissingAt; // where in Missing
};

} // namespace de30::capture
