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
#include "station/config.hpp"
#include "station/events.hpp"
#include "station/fuelling_point.hpp"
#include "station/journal.hpp"
#include "station/pump.hpp"

#include <mutex>
#include <optional>
#include <vector>

namespace de30::station {

class TObservedPump {
public:
  TObservedPump(const TPumpConfig &Config, const TPointTiming &Timing, TPumpServices Services);

  const TPumpConfig &Config() const { return Setup; }
  int Address() const { return Setup.Address; }

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

  TPumpSnapshot View() const;

private:
  bool MultiNozzle() const { return Setup.NozzleCount() > 1; }
  bool UsesTotals() const { return Setup.NozzleCount() <= 2; }
  void Poll(const TPollInput &Input);
  void Handle(const TStep &Step);
  void Fill(double Volume, double Amount);
  void Totals(const TTotals &Now);
  void Start(bool Taken);
  void LearnNozzle();
  void Follow();
  void Close(const TTotals &Final);
  bool FinishClose();
  bool WriteSale();
  void CheckTotalsMoved(const TTotals &Now);
  void JournalFailed(const EJournalError &Error);
  void Publish(const std::string &Reason);
  void PublishSale(const TSale &Sale, const std::string &Reason);
  void Snapshot();
  TPumpSnapshot MakeSnapshot() const;
  std::int64_t NowMs() const { return Services.Clock(); }

  TPumpConfig Setup;
  TPumpServices Services;
  TFuellingPoint Point;

  // What was last heard of the pump.
  std::optional<TFillReading> LastFill;
  bool FillJustRead = false;          // its last exchange was an accepted fill read
  std::optional<TTotals> StartTotals; // totals read straight after the last fill read
  std::optional<capture::TShadowPump> ShortPoll; // before the short poll of a nozzle poll
  std::vector<double> HeardPrices;               // by nozzle position, from the controller
  std::optional<TPreset> HeardDose;              // since the last sale began

  std::optional<TSale> Sale;
  std::optional<TSale> Closing;
  bool Recovered = false;
  bool SaleDirty = false;
  std::int64_t SaleWrittenMs = 0;
  std::int64_t LastSaleId = 0;
  // The fill is over: the next fill read heard is the final one, and the totals
  // after it are the sale's end totals.
  bool EndWanted = false;
  std::optional<TFillReading> FinalFill;
  bool MovedBeforeSale = false;
  std::optional<TTotals> KnownTotals; // the newest the station knows of

  mutable std::mutex ViewGuard;
  TPumpSnapshot Published;
};

} // namespace de30::station
