#pragma once
// What every pump the station follows has, whether the station drives it
// (station/pump.hpp) or only hears another controller drive it
// (station/observed_pump.hpp): its configuration and services, its fuelling
// point, its open sale and a closed one the journal has not taken yet, the
// totals and alarms on their way to the journal, and the view clients see.

#include "station/config.hpp"
#include "station/events.hpp"
#include "station/fuelling_point.hpp"
#include "station/journal.hpp"

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace de30::station {

// Unit prices and volumes are compared in hundredths.
inline constexpr double VolumeTolerance = 0.005;
// How often an open sale's progress is written to the journal.
inline constexpr std::int64_t SaleUpdateMs = 1000;

// What a pump is handed by its line.
struct TPumpServices {
  int Line = 0;
  TJournal *Journal = nullptr;
  TEventBus *Bus = nullptr;
  // Milliseconds of a steady clock.
  std::function<std::int64_t()> Clock;
  // A fault the line's health should carry (a journal step that failed, ...).
  std::function<void(const std::string &)> NoteError;
  // Called between the exchanges of a step where nothing ties them together, so
  // that a client command waits for at most one exchange.
  std::function<void()> Between;
  // How long an authorised pump waits for its nozzle, unless its configuration
  // says otherwise (the station's authorize_timeout_s).
  std::chrono::seconds AuthorizeTimeout{120};
};

class TPumpCore {
public:
  TPumpCore(const TPumpConfig &Config, const TPointTiming &Timing, TPumpServices Services,
            bool AutoAuthorize);
  virtual ~TPumpCore() = default;
  TPumpCore(const TPumpCore &) = delete;
  TPumpCore &operator=(const TPumpCore &) = delete;

  const TPumpConfig &Config() const { return Setup; }
  int Address() const { return Setup.Address; }

  // What clients see; safe from any thread.
  TPumpSnapshot View() const;

protected:
  // Takes up an open sale from before a restart; false when the pump has one.
  bool AdoptSale(const TSale &Open);
  // Writes the open sale's progress; false while the journal does not take it.
  bool WriteSale();
  // A sale the journal did not take when it began has no id yet: it is opened
  // in the journal first, with what it has come to since. False while the
  // journal does not take it.
  bool OpenLate(TSale &Unwritten);
  // Writes the closed sale (Closing) and reports it; false while the journal
  // does not take it (tried again later: nothing is reported before).
  bool FinishClose();
  // Between the pump's event and the sale's of a close.
  virtual void SaleClosed() {}
  // Until fuel flows the customer may hang one nozzle up and take another: the
  // open sale's nozzle is the one that pours, with its grade and price.
  void LearnNozzle();
  // The price nozzle Nozzle pours at, as this pump knows it.
  virtual std::optional<double> PouringPrice(int Nozzle) const = 0;

  // The newest totals the station knows of the pump: ones the journal has not
  // taken yet, else the journal's. False when the journal cannot say.
  bool NewestTotals(std::optional<TTotals> &Last);
  void RememberTotals(const TTotals &Totals);
  void FlushTotals();
  // Writes the alarms the journal has not taken yet; false when one is still due.
  bool FlushAlarms();
  // Fuel went out (or came back) between two readings of the totals without a
  // sale: an alarm, written together with the totals that showed it.
  void RaiseTotalsAlarm(const TTotals &Last, const TTotals &Now, int Nozzle);

  virtual void JournalFailed(const EJournalError &Error);
  void Note(const std::string &Error) const;
  void Publish(const std::string &Reason);
  void PublishSale(const TSale &Sale, const std::string &Reason);
  void PublishAlarm(const TAlarm &Alarm);
  void Snapshot();
  virtual TPumpSnapshot MakeSnapshot() const = 0;
  // The fields of the view every pump fills the same way.
  TPumpSnapshot BaseSnapshot() const;
  bool UsesTotals() const { return Setup.NozzleCount() <= 2; }
  std::int64_t NowMs() const { return Services.Clock(); }

  TPumpConfig Setup;
  TPumpServices Services;
  TFuellingPoint Point;

  // The open sale, and a closed one the journal has not taken yet.
  std::optional<TSale> Sale;
  std::optional<TSale> Closing;
  bool Recovered = false; // the open sale came from before a restart
  bool SaleDirty = false; // the open sale has progress the journal lacks
  std::int64_t LastSaleId = 0;
  std::int64_t SaleWrittenMs = 0;
  // Fuel without a sale was seen: the pump's next sale carries totals_moved.
  bool MovedBeforeSale = false;

private:
  // Alarms not yet in the journal, each with the totals that showed it (written
  // with it), and the last totals the journal has not taken.
  struct TUnsold {
    TAlarm Alarm;
    TTotals Totals;
  };
  std::deque<TUnsold> AlarmsToWrite;
  std::optional<TTotals> TotalsToWrite;

  mutable std::mutex ViewGuard;
  TPumpSnapshot Published;
};

} // namespace de30::station
