#include "station/observed_pump.hpp"

#include "de30/host_codes.hpp"
#include "station/sale_judge.hpp"

#include <cmath>

namespace de30::station {

using capture::TObservation;

TObservedPump::TObservedPump(const TPumpConfig &Config, const TPointTiming &Timing,
                             TPumpServices Given)
    : Setup(Config), Services(std::move(Given)), Point(Config.NozzleCount(), false, Timing) {
  Published = MakeSnapshot();
}

bool TObservedPump::RecoverSale(const TSale &Open) {
  if (Sale)
    return false;
  Sale = Open;
  Recovered = true;
  Point.RecoverSale(Open.Baseline.Known, Open.Baseline.Volume, Open.Baseline.Amount);
  Snapshot();
  return true;
}

void TObservedPump::JournalFailed(const EJournalError &Error) {
  if (Services.NoteError)
    Services.NoteError(std::string("journal: ") + Error.what());
}

// --- What was heard -----------------------------------------------------------

void TObservedPump::Observe(const TObservation &Seen) {
  using K = TObservation::TKind;
  const bool AfterFill = FillJustRead;
  FillJustRead = false;
  switch (Seen.Kind) {
  case K::Status: {
    if (MultiNozzle() && !Seen.NozzlePoll) {
      // The driver reads a multi-nozzle pump's state from the nozzle poll that
      // follows, with its tables as they stood before this poll.
      ShortPoll = Seen.Shadow;
      break;
    }
    const capture::TShadowPump Before = Seen.NozzlePoll && ShortPoll ? *ShortPoll : Seen.Shadow;
    ShortPoll.reset();
    TPollInput Input;
    Input.Code = Seen.Code;
    Input.Nozzle = Seen.Nozzle;
    Input.CountDownLeft = Before.CountDownLeft;
    Input.DriverHeld = Before.Held;
    Input.AwaitingIdle = Before.AwaitingIdle;
    Poll(Input);
    break;
  }
  case K::Missed:
  case K::Rejected: {
    ShortPoll.reset();
    TPollInput Input;
    Input.Outcome =
        Seen.Kind == K::Missed ? TPollInput::TOutcome::Missed : TPollInput::TOutcome::Rejected;
    Poll(Input);
    break;
  }
  case K::Fill:
    FillJustRead = true;
    Fill(Seen.Volume, Seen.Amount);
    break;
  case K::Totals:
    // Only totals read straight after a fill read belong with that reading.
    if (AfterFill)
      Totals(TTotals{true, Seen.Volume, Seen.Amount});
    break;
  case K::Start:
    Start(Seen.Taken);
    break;
  case K::Stop:
    if (Sale)
      Handle(Point.OnStopped(Seen.Taken));
    break;
  case K::Unblock:
    Handle(Point.OnUnblocked(Seen.Taken));
    break;
  case K::Dose:
    if (Seen.Taken)
      HeardDose = TPreset{TPreset::TKind::Litres, Seen.Volume};
    break;
  case K::Prices:
    if (Seen.Taken) {
      HeardPrices = Seen.Prices;
      Snapshot();
    }
    break;
  }
  // A final fill read that no totals followed closes the sale without them.
  if (FinalFill && !FillJustRead)
    Close(TTotals{});
}

void TObservedPump::Elsewhere() {
  FillJustRead = false;
  if (FinalFill)
    Close(TTotals{});
}

void TObservedPump::Poll(const TPollInput &Input) { Handle(Point.OnPoll(Input, NowMs())); }

void TObservedPump::Handle(const TStep &Step) {
  LearnNozzle();
  if (Step.Changed)
    Publish(Step.Changed->Reason);
  else if (Point.HasSale() && Point.Reason() != View().Reason)
    Publish(Point.Reason());
  // The controller ends, settles and stops; the station waits for the final
  // fill read it makes.
  if ((Step.Action == TSaleAction::End || Step.Action == TSaleAction::Settle) && Sale &&
      !Closing && !EndWanted) {
    EndWanted = true;
    Point.Unsettled("the fill is over; waiting for the controller's final fill read");
    Publish(Point.Reason());
  }
}

void TObservedPump::Fill(double Volume, double Amount) {
  const TFillReading Reading{true, Volume, Amount};
  LastFill = Reading;
  StartTotals.reset();
  if (!Sale || Closing)
    return;
  if (EndWanted) {
    FinalFill = Reading;
    // Pumps whose totals cannot be read close at once; others wait for the
    // totals straight after.
    if (!UsesTotals())
      Close(TTotals{});
    return;
  }
  if (Point.ReadsFill()) {
    Handle(Point.OnFill(Volume, Amount, NowMs()));
    Follow();
  }
}

void TObservedPump::Totals(const TTotals &Now) {
  if (Sale && FinalFill) {
    Close(Now);
    return;
  }
  if (Sale)
    return;
  StartTotals = Now;
  CheckTotalsMoved(Now);
}

void TObservedPump::CheckTotalsMoved(const TTotals &Now) {
  std::optional<TTotals> Last = KnownTotals;
  if (!Last) {
    try {
      Last = Services.Journal->LastTotals(Services.Line, Setup.Address);
    } catch (const EJournalError &E) {
      JournalFailed(E);
      return;
    }
  }
  KnownTotals = Now;
  try {
    if (Last && Last->Known && std::fabs(Now.Volume - Last->Volume) > VolumeTolerance) {
      // Fuel went out without a sale the tap heard: the pump's next sale says so.
      MovedBeforeSale = true;
      TAlarm Alarm;
      Alarm.Line = Services.Line;
      Alarm.Pump = Setup.Address;
      Alarm.Volume = std::round((Now.Volume - Last->Volume) * 100.0) / 100.0;
      Alarm.Amount = std::round((Now.Amount - Last->Amount) * 100.0) / 100.0;
      Alarm.AtMs = NowEpochMs();
      Alarm.Kind = Alarm.Volume > 0.0 ? AlarmTotalsMoved : AlarmTotalsBack;
      const TAlarm Written = Services.Journal->AddAlarm(Alarm, Now);
      TEvent Event;
      Event.Kind = TEvent::TKind::Alarm;
      Event.Reason = "totals moved without a sale";
      Event.Alarm = Written;
      Services.Bus->Publish(std::move(Event));
    } else {
      Services.Journal->SetLastTotals(Services.Line, Setup.Address, Now);
    }
  } catch (const EJournalError &E) {
    JournalFailed(E);
  }
}

void TObservedPump::Start(bool Taken) {
  if (Sale || Closing) {
    // A second start within one sale (the controller trying again) changes
    // nothing but what the point knows.
    if (Sale && !Closing && !Point.Took() && Taken)
      Handle(Point.OnAuthorised(TStartOutcome::Taken, Sale->Nozzle, Sale->Baseline.Volume,
                                Sale->Baseline.Amount, NowMs()));
    return;
  }
  TSale Opened;
  Opened.Line = Services.Line;
  Opened.Pump = Setup.Address;
  Opened.Observed = true;
  int Nozzle = Point.State() == TPointState::Calling ? Point.Nozzle() : 0;
  if (Setup.NozzleCount() == 1)
    Nozzle = 1;
  Opened.Nozzle = Nozzle;
  if (Nozzle >= 1 && Nozzle <= Setup.NozzleCount()) {
    Opened.Grade = Setup.Nozzles[static_cast<std::size_t>(Nozzle - 1)];
    if (static_cast<std::size_t>(Nozzle) <= HeardPrices.size())
      Opened.Price = HeardPrices[static_cast<std::size_t>(Nozzle - 1)];
  }
  if (HeardDose)
    Opened.Preset = *HeardDose;
  // The fill the pump held before the start, and the totals read straight after
  // it, as the controller read them.
  if (LastFill)
    Opened.Baseline = *LastFill;
  if (UsesTotals() && StartTotals)
    Opened.StartTotals = *StartTotals;
  if (!UsesTotals() || !StartTotals)
    AddSaleFlag(Opened, FlagNoTotals);
  if (MovedBeforeSale)
    AddSaleFlag(Opened, FlagTotalsMoved);
  if (!Taken)
    AddSaleFlag(Opened, FlagUncertain);
  Opened.StartedMs = NowEpochMs();
  try {
    Opened = Services.Journal->OpenSale(Opened);
  } catch (const EJournalError &E) {
    // Not journaled, not followed: the pump goes on as if no sale had been heard.
    JournalFailed(E);
    return;
  }
  Sale = Opened;
  Recovered = false;
  SaleDirty = false;
  SaleWrittenMs = NowMs();
  MovedBeforeSale = false;
  HeardDose.reset();
  EndWanted = false;
  FinalFill.reset();
  PublishSale(Opened, "opened");
  Handle(Point.OnAuthorised(Taken ? TStartOutcome::Taken : TStartOutcome::Unknown, Nozzle,
                            Opened.Baseline.Volume, Opened.Baseline.Amount, NowMs()));
  Snapshot();
}

void TObservedPump::LearnNozzle() {
  if (!Sale || Point.Nozzle() == 0 || (Sale->Nozzle != 0 && Sale->Volume > 0.0))
    return;
  const int Nozzle = Point.Nozzle();
  if (Nozzle > Setup.NozzleCount() || Nozzle == Sale->Nozzle)
    return;
  Sale->Nozzle = Nozzle;
  Sale->Grade = Setup.Nozzles[static_cast<std::size_t>(Nozzle - 1)];
  if (static_cast<std::size_t>(Nozzle) <= HeardPrices.size())
    Sale->Price = HeardPrices[static_cast<std::size_t>(Nozzle - 1)];
  SaleDirty = true;
  WriteSale();
}

void TObservedPump::Follow() {
  if (!Sale || !Point.SawFuel())
    return;
  LearnNozzle();
  if (Sale->Volume != Point.Volume() || Sale->Amount != Point.Amount()) {
    Sale->Volume = Point.Volume();
    Sale->Amount = Point.Amount();
    SaleDirty = true;
    Publish("fill progress");
  }
  if (SaleDirty && NowMs() - SaleWrittenMs >= SaleUpdateMs)
    WriteSale();
}

bool TObservedPump::WriteSale() {
  if (!Sale)
    return true;
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

// --- Closing ------------------------------------------------------------------

void TObservedPump::Close(const TTotals &Final) {
  if (!Sale || Closing || !FinalFill)
    return;
  TSale Ended = *Sale;
  DropSaleFlag(Ended, FlagUnsettled);
  TJudgeFacts Facts;
  Facts.Took = Point.Took();
  Facts.Covered = UsesTotals() && Setup.TotalsCover(Ended.Nozzle);
  Facts.Stopped = Point.Stopped();
  Facts.Recovered = Recovered;
  JudgeSale(Ended, *FinalFill, Final, Facts);
  Ended.EndedMs = NowEpochMs();
  if (Ended.EndTotals.Known) {
    KnownTotals = Ended.EndTotals;
    try {
      Services.Journal->SetLastTotals(Services.Line, Setup.Address, Ended.EndTotals);
    } catch (const EJournalError &E) {
      JournalFailed(E);
    }
  } else {
    KnownTotals = TTotals{};
  }
  FinalFill.reset();
  EndWanted = false;
  Closing = Ended;
  FinishClose();
}

bool TObservedPump::FinishClose() {
  const TSale Ended = *Closing;
  try {
    Services.Journal->CloseSale(Ended);
  } catch (const EJournalError &E) {
    JournalFailed(E);
    return false;
  }
  Closing.reset();
  Sale.reset();
  SaleDirty = false;
  Recovered = false;
  LastSaleId = Ended.Id;
  Point.ShowFill(Ended.Volume, Ended.Amount);
  const TStep Step = Point.OnSaleClosed(Ended.State != TSaleState::Cleared);
  Publish(Step.Changed ? Step.Changed->Reason : "sale closed");
  // Payment is the other controller's business: the point does not wait for it.
  const TStep Cleared = Point.OnSaleCleared();
  if (Cleared.Changed)
    Publish("sale closed; paid at the other controller");
  if (Ended.HasFlag(FlagVolumeMismatch))
    PublishSale(Ended, "volume differs from the totals");
  PublishSale(Ended, Ended.State == TSaleState::Cleared ? "closed empty" : "closed");
  return true;
}

void TObservedPump::Retry() {
  if (Closing)
    FinishClose();
  if (SaleDirty && NowMs() - SaleWrittenMs >= SaleUpdateMs)
    WriteSale();
}

// --- Views and events ---------------------------------------------------------

TPumpSnapshot TObservedPump::MakeSnapshot() const {
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
  // The prices are the controller's: what it was heard to send, when it was.
  View.PriceState = HeardPrices.empty() ? TPriceState::Pending : TPriceState::Sent;
  View.PriceReason = HeardPrices.empty() ? "not heard yet: another controller sends them" : "";
  for (int K = 1; K <= Setup.NozzleCount() && static_cast<std::size_t>(K) <= HeardPrices.size();
       ++K)
    View.Prices.push_back(HeardPrices[static_cast<std::size_t>(K - 1)]);
  View.SaleId = Sale ? Sale->Id : LastSaleId;
  View.LastCode = Point.LastCode();
  View.Observed = true;
  View.Reason = Point.Reason();
  return View;
}

void TObservedPump::Snapshot() {
  TPumpSnapshot View = MakeSnapshot();
  std::lock_guard<std::mutex> Lock(ViewGuard);
  Published = std::move(View);
}

TPumpSnapshot TObservedPump::View() const {
  std::lock_guard<std::mutex> Lock(ViewGuard);
  return Published;
}

void TObservedPump::Publish(const std::string &Reason) {
  Snapshot();
  TEvent Event;
  Event.Kind = TEvent::TKind::Pump;
  Event.Reason = Reason;
  Event.Pump = View();
  Services.Bus->Publish(std::move(Event));
}

void TObservedPump::PublishSale(const TSale &Sold, const std::string &Reason) {
  TEvent Event;
  Event.Kind = TEvent::TKind::Sale;
  Event.Reason = Reason;
  Event.Sale = Sold;
  Services.Bus->Publish(std::move(Event));
}

} // namespace de30::station
