#include "station/observed_pump.hpp"

#include "de30/host_codes.hpp"
#include "station/sale_judge.hpp"

#include <cmath>

namespace de30::station {

using capture::TObservation;

TObservedPump::TObservedPump(const TPumpConfig &Config, const TPointTiming &Timing,
                             TPumpServices Given)
    : TPumpCore(Config, Timing, std::move(Given), false) {
  Snapshot();
}

bool TObservedPump::RecoverSale(const TSale &Open) { return AdoptSale(Open); }

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
  std::optional<TTotals> Last;
  if (!NewestTotals(Last))
    return;
  if (Last && Last->Known && std::fabs(Now.Volume - Last->Volume) > VolumeTolerance)
    // Fuel went out without a sale the tap heard: the pump's next sale says so.
    RaiseTotalsAlarm(*Last, Now, 0);
  else
    RememberTotals(Now);
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
    Opened.Price = PouringPrice(Nozzle).value_or(0.0);
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
  // The pump pours whether or not the journal takes the sale now: one it does
  // not take is followed all the same and written as soon as it does.
  bool Written = true;
  try {
    Opened = Services.Journal->OpenSale(Opened);
  } catch (const EJournalError &E) {
    JournalFailed(E);
    Written = false;
  }
  Sale = Opened;
  Recovered = false;
  SaleDirty = !Written;
  SaleWrittenMs = NowMs();
  MovedBeforeSale = false;
  HeardDose.reset();
  EndWanted = false;
  FinalFill.reset();
  if (Written)
    PublishSale(Opened, "opened");
  Handle(Point.OnAuthorised(Taken ? TStartOutcome::Taken : TStartOutcome::Unknown, Nozzle,
                            Opened.Baseline.Volume, Opened.Baseline.Amount, NowMs()));
  Snapshot();
}

// The controller's prices: what it was heard to send, when it was.
std::optional<double> TObservedPump::PouringPrice(int Nozzle) const {
  if (Nozzle < 1 || static_cast<std::size_t>(Nozzle) > HeardPrices.size())
    return std::nullopt;
  return HeardPrices[static_cast<std::size_t>(Nozzle - 1)];
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
  // Totals the sale's end could not read: the last ones known are behind by what
  // it sold, so the next reading starts afresh rather than raise an alarm.
  if (Ended.EndTotals.Known)
    RememberTotals(Ended.EndTotals);
  else if (UsesTotals())
    RememberTotals(TTotals{});
  FinalFill.reset();
  EndWanted = false;
  Closing = Ended;
  FinishClose();
}

// Payment is the other controller's business: the point does not wait for it.
void TObservedPump::SaleClosed() {
  const TStep Cleared = Point.OnSaleCleared();
  if (Cleared.Changed)
    Publish("sale closed; paid at the other controller");
}

void TObservedPump::Retry() {
  FlushTotals();
  if (Closing)
    FinishClose();
  if (SaleDirty && NowMs() - SaleWrittenMs >= SaleUpdateMs)
    WriteSale();
}

// --- Views and events ---------------------------------------------------------

TPumpSnapshot TObservedPump::MakeSnapshot() const {
  TPumpSnapshot View = BaseSnapshot();
  // The prices are the controller's: what it was heard to send, when it was.
  View.PriceState = HeardPrices.empty() ? TPriceState::Pending : TPriceState::Sent;
  View.PriceReason = HeardPrices.empty() ? "not heard yet: another controller sends them" : "";
  for (int K = 1; K <= Setup.NozzleCount() && static_cast<std::size_t>(K) <= HeardPrices.size();
       ++K)
    View.Prices.push_back(HeardPrices[static_cast<std::size_t>(K - 1)]);
  View.Observed = true;
  return View;
}

} // namespace de30::station
