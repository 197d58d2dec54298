#pragma once
// A dispenser on a tap line: another controller drives it, and the station
// follows it from the exchanges it hears (capture/observation.hpp). Its fuelling
// point takes the host codes de30's driver would derive, the controller's
// starts and stops, and the fills it read; a sale opens at a start the pump was
// heard to take, follows the fills, and closes on the first fill read after the
// fill ended (with the totals read straight after it), judged as a driven sale
// is (station/sale_judge.hpp) and journaled as observed. Nothing is ever sent:
// the commands a client may give a driven pump are refused before they reach it.

#include "capture/observation.hpp"
#include "station/pump_core.hpp"

#include <optional>
#include <vector>

namespace de30::station {

class TObservedPump : public TPumpCore {
public:
  TObservedPump(const TPumpConfig &Config, const TPointTiming &Timing, TPumpServices Services);

  // An open observed sale from before a restart: closed by the next final fill
  // read heard, flagged recovered. False when the pump already has one.
  bool RecoverSale(const TSale &Sale);
  // One observation of this pump.
  void Observe(const capture::TObservation &Seen);
  // Something else was heard on the line (another pump's exchange, bytes in no
  // exchange): totals after it are not this pump's.
  void Elsewhere();
  // Journal steps that failed, tried again; once a cycle of the listener.
  void Retry();

private:
  bool MultiNozzle() const { return Setup.NozzleCount() > 1; }
  void Poll(const TPollInput &Input);
  void Handle(const TStep &Step);
  void Fill(double Volume, double Amount);
  void Totals(const TTotals &Now);
  void Start(bool Taken);
  std::optional<double> PouringPrice(int Nozzle) const override;
  void Follow();
  void Close(const TTotals &Final);
  void CheckTotalsMoved(const TTotals &Now);
  void SaleClosed() override;
  TPumpSnapshot MakeSnapshot() const override;

  // What was last heard of the pump.
  std::optional<TFillReading> LastFill;
  bool FillJustRead = false;          // its last exchange was an accepted fill read
  std::optional<TTotals> StartTotals; // totals read straight after the last fill read
  std::optional<capture::TShadowPump> ShortPoll; // before the short poll of a nozzle poll
  std::vector<double> HeardPrices;               // by nozzle position, from the controller
  std::optional<TPreset> HeardDose;              // since the last sale began

  // The fill is over: the next fill read heard is the final one, and the totals
  // after it are the sale's end totals.
  bool EndWanted = false;
  std::optional<TFillReading> FinalFill;
};

} // namespace de30::station
