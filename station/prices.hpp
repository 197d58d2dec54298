#pragma once
// Per-pump price lists built from the station prices. The driver keeps one price
// table per pump indexed by nozzle position: position k holds the price of the
// station grade nozzle k sells, the positions beyond the nozzles 0.00. A pump is
// sent its whole list, and only once every grade its nozzles sell has a price.

#include "de30/constants.hpp"
#include "station/config.hpp"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace de30::station {

enum class TPriceState { Pending, Sent, Failed };
const char *PriceStateName(TPriceState State); // "pending", "sent", "failed"

using TPriceTable = std::array<double, GradeCount>; // positions 1..6, index 0 first

struct TPriceList {
  TPriceTable Positions{}; // what the driver's table should hold
  bool Complete = false;   // every nozzle's grade has a price
  std::string Missing;     // why not complete, e.g. "no price for grade 3"
};

TPriceList BuildPriceList(const TPumpConfig &Pump, const std::map<int, double> &Prices);

// Whether a price is one the station may send: 0.00..99.99 with at most two decimals.
bool ValidPrice(double Price);

// The price state of one pump: what its list should be, what it was last sent,
// and whether the two agree.
class TPumpPrices {
public:
  explicit TPumpPrices(TPumpConfig Pump);

  // The station prices changed (or were loaded): true when the state or its
  // reason changed.
  bool Update(const std::map<int, double> &Prices);
  // Whether a list is waiting to be sent.
  bool NeedsSend() const;
  const TPriceList &Wanted() const { return Want; }
  // The send ran: true when it was taken (then the pump sells at Wanted()).
  bool OnSent(bool Ok, const std::string &Why);
  // Held back while the pump is busy; true when the reason changed.
  bool Hold(const std::string &Why);

  TPriceState State() const { return Now; }
  const std::string &Reason() const { return Why; }
  // What the pump sells at, one per nozzle; empty until a list was sent.
  std::vector<double> SentPrices() const;
  // The price the pump was last sent for Grade; nullopt when none or not sent.
  std::optional<double> SentPrice(int Grade) const;
  // Whether the pump sells at the station's current prices.
  bool Current() const { return Now == TPriceState::Sent; }

private:
  bool Set(TPriceState State, std::string Reason);

  TPumpConfig Config;
  TPriceList Want;
  std::optional<TPriceTable> Sent;
  TPriceState Now = TPriceState::Pending;
  std::string Why = "not sent since the start";
};

} // namespace de30::station
