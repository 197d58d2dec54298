#pragma once
// How a sale is judged when it closes: its figures from the final fill reading,
// the reconciliation flags from the totals and what the pump was seen to do. A
// driven pump (station/pump.hpp) and an observed one (station/observed_pump.hpp)
// judge alike, so their sales compare.

#include "station/sale.hpp"

#include <functional>

namespace de30::station {

struct TJudgeFacts {
  // The pump showed it took this authorisation (a reading that differed from
  // the baseline).
  bool Took = false;
  // The totals the station reads count the sale's nozzle.
  bool Covered = false;
  // A stop ended the sale.
  bool Stopped = false;
  // The sale was closed after a restart.
  bool Recovered = false;
  // Names the nozzle of a sale no poll named, from the final fill, when the
  // evidence allows; may be empty.
  std::function<void(TSale &, const TFillReading &)> InferNozzle;
};

// Sets Ended's figures, end totals (FinalTotals when known), flags, refund and
// state (payable, or cleared when empty) from the final fill reading.
void JudgeSale(TSale &Ended, const TFillReading &Fill, const TTotals &FinalTotals,
               const TJudgeFacts &Facts);

void AddSaleFlag(TSale &Sale, const char *Flag);
void DropSaleFlag(TSale &Sale, const char *Flag);

} // namespace de30::station
