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
#include <string>
#include <vector>

namespace de30::ctl {

struct TDerivedCodes {
  std::uint8_t Pump = 0;
  std::uint8_t Code = 0;              // the pump's host status code
  std::vector<std::uint16_t> Nozzles; // a nozzle poll's code per nozzle, nozzle 1 first
};

class THostCodes {
public:
  THostCodes();
  ~THostCodes();
  THostCodes(const THostCodes &) = delete;
  THostCodes &operator=(const THostCodes &) = delete;

  // Follows one exchange heard on Line (1..32); the codes the driver would report
  // from it, when it reports any (accepted status and nozzle polls).
  std::optional<TDerivedCodes> Follow(int Line, const capture::THeard &Exchange);

private:
  struct TShadow;
  std::unique_ptr<TShadow> Shadow;
};

// "host code 225 calling, nozzle 1 (nozzles 225 192 192 192)"
std::string DescribeDerived(const TDerivedCodes &Codes);

} // namespace de30::ctl
