#include "station/pump_core.hpp"

#include <algorithm>
#include <cmath>

namespace de30::station {

TPumpCore::TPumpCore(const TPumpConfig &Config, const TPointTiming &Timing, TPumpServices Given,
                     bool AutoAuthorize)
    : Setup(Config), Services(std::move(Given)),
      Point(Config.NozzleCount(), AutoAuthorize, Timing) {}

bool TPumpCore::AdoptSale(const TSale &Open) {
  if (Sale)
    return false;
  Sale = Open;
  Recovered = true;
  Point.RecoverSale(Open.Baseline.Known, Open.Baseline.Volume, Open.Baseline.Amount);
  Snapshot();
  return true;
}

bool TPumpCore::OpenLate(TSale &Unwritten) {
  if (Unwritten.Id != 0)
    return true;
  TSale Opened;
  try {
    Opened = Services.Journal->OpenSale(Unwritten);
  } catch (const EJournalError &E) {
    JournalFailed(E);
    return false;
  }
  Unwritten.Id = Opened.Id;
  Unwritten.StartedMs = Opened.StartedMs;
  PublishSale(Opened, "opened");
  return true;
}

bool TPumpCore::WriteSale() {
  if (!Sale)
    return true;
  if (!OpenLate(*Sale))
    return false;
  try {
    Services.Journal->UpdateSale(*Sale);
  } catch (const EJournalError &E) {
    JournalFailed(E);
    return false;
  }
  SaleDirty = false;
  SaleWrittenMs = NowMs();
  PublishSale(*Sale, "updated");
  return true;
}

bool TPumpCore::FinishClose() {
  if (!OpenLate(*Closing))
    return false;
  if (Sale)
    Sale->Id = Closing->Id;
  const TSale Ended = *Closing;
  try {
    Services.Journal->CloseSale(Ended);
  } catch (const EJournalError &E) {
    // Not closed, so not reported: tried again later.
    JournalFailed(E);
    return false;
  }
  Closing.reset();
  Sale.reset();
  SaleDirty = false;
  Recovered = false;
  LastSaleId = Ended.Id;
  Point.ShowFill(Ended.Volume, Ended.Amount);
  // Published even without a change of state: the figures shown during the fill
  // were its last reading, and clients must see the sale's own.
  const TStep Step = Point.OnSaleClosed(Ended.State != TSaleState::Cleared);
  Publish(Step.Changed ? Step.Changed->Reason : "sale closed");
  SaleClosed();
  if (Ended.HasFlag(FlagVolumeMismatch))
    PublishSale(Ended, "volume differs from the totals");
  PublishSale(Ended, Ended.State == TSaleState::Cleared ? "closed empty" : "closed");
  return true;
}

void TPumpCore::LearnNozzle() {
  if (!Sale || Point.Nozzle() == 0 || (Sale->Nozzle != 0 && Sale->Volume > 0.0))
    return;
  const int Nozzle = Point.Nozzle();
  if (Nozzle > Setup.NozzleCount() || Nozzle == Sale->Nozzle)
    return;
  Sale->Nozzle = Nozzle;
  Sale->Grade = Setup.Nozzles[static_cast<std::size_t>(Nozzle - 1)];
  Sale->Price = PouringPrice(Nozzle).value_or(0.0);
  // Written at once: a sale recovered after a restart must know its nozzle.
  SaleDirty = true;
  WriteSale();
}

// --- Totals and alarms --------------------------------------------------------

bool TPumpCore::NewestTotals(std::optional<TTotals> &Last) {
  Last = TotalsToWrite;
  if (!Last && !AlarmsToWrite.empty())
    Last = AlarmsToWrite.back().Totals;
  if (Last)
    return true;
  try {
    Last = Services.Journal->LastTotals(Services.Line, Setup.Address);
  } catch (const EJournalError &E) {
    // Unknown, not unmoved: the check waits for a journal that answers.
    JournalFailed(E);
    return false;
  }
  return true;
}

void TPumpCore::RememberTotals(const TTotals &Totals) {
  TotalsToWrite = Totals;
  FlushTotals();
}

void TPumpCore::FlushTotals() {
  // Totals read after an alarm's go in after it.
  if (!FlushAlarms() || !TotalsToWrite)
    return;
  try {
    Services.Journal->SetLastTotals(Services.Line, Setup.Address, *TotalsToWrite);
    TotalsToWrite.reset();
  } catch (const EJournalError &E) {
    JournalFailed(E);
  }
}

bool TPumpCore::FlushAlarms() {
  while (!AlarmsToWrite.empty()) {
    TAlarm Written;
    try {
      Written =
          Services.Journal->AddAlarm(AlarmsToWrite.front().Alarm, AlarmsToWrite.front().Totals);
    } catch (const EJournalError &E) {
      JournalFailed(E);
      return false;
    }
    AlarmsToWrite.pop_front();
    PublishAlarm(Written);
  }
  return true;
}

void TPumpCore::RaiseTotalsAlarm(const TTotals &Last, const TTotals &Now, int Nozzle) {
  MovedBeforeSale = true;
  TAlarm Alarm;
  Alarm.Line = Services.Line;
  Alarm.Pump = Setup.Address;
  Alarm.Nozzle = std::max(Nozzle, 0);
  Alarm.Volume = std::round((Now.Volume - Last.Volume) * 100.0) / 100.0;
  Alarm.Amount = std::round((Now.Amount - Last.Amount) * 100.0) / 100.0;
  Alarm.AtMs = NowEpochMs();
  Alarm.Kind = Alarm.Volume > 0.0 ? AlarmTotalsMoved : AlarmTotalsBack;
  // The alarm carries these totals into the journal: they replace the last ones
  // only together with it, so a journal that fails now finds the fuel again later.
  AlarmsToWrite.push_back({Alarm, Now});
  TotalsToWrite.reset();
  FlushAlarms();
}

// --- Views and events ---------------------------------------------------------

void TPumpCore::JournalFailed(const EJournalError &Error) {
  Note(std::string("journal: ") + Error.what());
}

void TPumpCore::Note(const std::string &Error) const {
  if (Services.NoteError)
    Services.NoteError(Error);
}

TPumpSnapshot TPumpCore::BaseSnapshot() const {
  TPumpSnapshot View;
  View.Line = Services.Line;
  View.Pump = Setup.Address;
  View.State = Point.State();
  View.Nozzle = Point.Nozzle();
  if (View.Nozzle >= 1 && View.Nozzle <= Setup.NozzleCount())
    View.Grade = Setup.Nozzles[static_cast<std::size_t>(View.Nozzle - 1)];
  View.NozzleCount = Setup.NozzleCount();
  View.Volume = Point.Volume();
  View.Amount = Point.Amount();
  if (Sale)
    View.Preset = Sale->Preset;
  View.SaleId = Sale ? Sale->Id : LastSaleId;
  View.LastCode = Point.LastCode();
  View.Reason = Point.Reason();
  return View;
}

void TPumpCore::Snapshot() {
  TPumpSnapshot View = MakeSnapshot();
  std::lock_guard<std::mutex> Lock(ViewGuard);
  Published = std::move(View);
}

TPumpSnapshot TPumpCore::View() const {
  std::lock_guard<std::mutex> Lock(ViewGuard);
  return Published;
}

void TPumpCore::Publish(const std::string &Reason) {
  Snapshot();
  TEvent Event;
  Event.Kind = TEvent::TKind::Pump;
  Event.Reason = Reason;
  Event.Pump = View();
  Services.Bus->Publish(std::move(Event));
}

void TPumpCore::PublishSale(const TSale &Sold, const std::string &Reason) {
  TEvent Event;
  Event.Kind = TEvent::TKind::Sale;
  Event.Reason = Reason;
  Event.Sale = Sold;
  Services.Bus->Publish(std::move(Event));
}

void TPumpCore::PublishAlarm(const TAlarm &Alarm) {
  TEvent Event;
  Event.Kind = TEvent::TKind::Alarm;
  Event.Reason = "totals moved without a sale";
  Event.Alarm = Alarm;
  Services.Bus->Publish(std::move(Event));
}

} // namespace de30::station
