#pragma once
// The host status codes de30's driver would derive from the exchanges a tap hears
// another controller make. A driver's code depends on its own tables (whether it
// authorised the pump, its start count-down, whether the pump has reported idle
// since it started), so a shadow of those tables follows every exchange heard, as
// the driver's own operations change them:
//
// - a start (command 4, 0xE1) whose reply and whose execute's reply both came
//   whole authorises the pump and sets the count-down;
// - an unblock command makes the driver wait for the pump's idle report again;
// - a status poll says whether the controller holds the pump authorised (command
//   3) or not (command 1), and its accepted reply is translated by the driver's
//   own translation, which updates the tables as in GetSost;
// - an accepted nozzle poll is translated nozzle by nozzle, as in GetSostEx, for
//   the four nozzles the reply reports.
//
// The shadow starts as a driver does: nothing authorised, every pump still to
// report idle. So its codes are those de30 would have shown had it made the same
// exchanges since the tap began.

#include "capture/tap_splitter.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace de30::capture {

struct TDerivedCodes {
  std::uint8_t Pump = 0;
  std::uint8_t Code = 0;              // the pump's host status code
  std::uint8_t ActiveNozzle = 0;      // of a nozzle poll, as GetSostEx selects it
  std::vector<std::uint16_t> Nozzles; // a nozzle poll's code per nozzle, nozzle 1 first
};

// What the shadow driver holds for one pump: what a status code read from it
// depends on (station/fuelling_point.hpp's poll input).
struct TShadowPump {
  bool Held = false;          // the driver counts the pump authorised
  bool CountDownLeft = false; // not held, but its start count-down has not run out
  bool AwaitingIdle = false;  // the pump has not reported idle since its start or unblock
};

class THostCodes {
public:
  THostCodes();
  ~THostCodes();
  THostCodes(const THostCodes &) = delete;
  THostCodes &operator=(const THostCodes &) = delete;

  // Follows one exchange heard on Line (1..32); the codes the driver would report
  // from it, when it reports any (accepted status and nozzle polls).
  std::optional<TDerivedCodes> Follow(int Line, const THeard &Exchange);
  // The shadow's tables for a pump, as they stand now.
  TShadowPump Pump(int Line, int Pump) const;

private:
  struct TShadow;
  std::unique_ptr<TShadow> Shadow;
};

} // namespace de30::capture
