#include "station/pump.hpp"

#include "de30/host_codes.hpp"
#include "station/sale_judge.hpp"

#include <cmath>
#include <cstdio>

namespace de30::station {

using TStatus = TCommandResult::TStatus;

namespace {

void AddFlag(TSale &Sale, const char *Flag) { AddSaleFlag(Sale, Flag); }
void DropFlag(TSale &Sale, const char *Flag) { DropSaleFlag(Sale, Flag); }

TCommandResult Done(std::string Message = {}) {
  TCommandResult Result;
  Result.Message = std::move(Message);
  return Result;
}

std::string Money(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

} // namespace

TPump::TPump(const TPumpConfig &Config, const TPointTiming &Timing, TPumpServices Given)
    : TPumpCore(Config, Timing, std::move(Given), Config.AutoAuthorize), Prices(Config) {
  AuthorizeTimeoutMs =
      std::chrono::milliseconds(Setup.AuthorizeTimeout.value_or(Services.AuthorizeTimeout))
          .count();
  Snapshot();
}

void TPump::JournalFailed(const EJournalError &Error) {
  JournalRetryAtMs = NowMs() + JournalRetryMs;
  TPumpCore::JournalFailed(Error);
}

bool TPump::RecoverSale(const TSale &Open) {
  if (!AdoptSale(Open))
    return false;
  AwaitingNozzle = false;
  TimedOut = false;
  return true;
}

bool TPump::Busy() const {
  const TPointState State = Point.State();
  return State == TPointState::Authorised || State == TPointState::Fuelling;
}

// --- The step -----------------------------------------------------------------

void TPump::Connected(TPumpIo &Io, const std::map<int, double> &StationPrices) {
  Answered = false;
  TotalsDue = true;
  if (Prices.Update(StationPrices))
    PublishPrice();
  Stored = Prices.Wanted().Positions;
  for (int K = 1; K <= GradeCount; ++K)
    Io.LoadPrice(Setup.Address, K, Stored[static_cast<std::size_t>(K - 1)]);
}

void TPump::Update(TPumpIo &Io) {
  // What the journal did not take last time, first; a journal that keeps failing
  // is tried once a second, and the pump is followed meanwhile.
  if (NowMs() >= JournalRetryAtMs) {
    if (Closing)
      FinishClose();
    FlushTotals();
    if (SaleDirty && NowMs() - SaleWrittenMs >= SaleUpdateMs)
      WriteSale();
  }
  // A sale whose end waits for an accepted final reading tries again once a step,
  // after a poll the pump answered.
  const bool Unsettled = Sale && !Closing && Point.Ending() && Sale->HasFlag(FlagUnsettled);
  if (!Poll(Io))
    return;
  if (Unsettled && Sale && !Closing)
    EndSale(Io);
  CheckAuthorizeTimeout(Io);
}

bool TPump::Poll(TPumpIo &Io) {
  TSostRecord Record{};
  const bool CountDownLeft = Io.CountDownLeft(Setup.Address);
  const bool Held = Io.DriverHeld(Setup.Address);
  const TIoResult Result = Io.Poll(Setup.Address, Setup.NozzleCount(), Record);
  TPollInput Input;
  if (Result.Kind == TIoResult::TKind::Rejected)
    Input.Outcome = TPollInput::TOutcome::Rejected;
  else if (!Result.Ok())
    Input.Outcome = TPollInput::TOutcome::Missed;
  else {
    Input.Code = Record.Sost;
    Input.Nozzle = Record.ActiveNozzle;
    Input.CountDownLeft = CountDownLeft;
    Input.DriverHeld = Held;
    Input.AwaitingIdle = Io.AwaitingIdle(Setup.Address);
  }
  const TPointState Before = Point.State();
  Handle(Io, Point.OnPoll(Input, NowMs()));
  if (!Result.Ok())
    return false;
  if (Services.Between)
    Services.Between();
  // A pump that answers again, or is idle again after it showed a lifted nozzle
  // or an authorisation the station did not give, may have poured while nobody
  // sold (a pump in manual mode reads as calling while it pours): its totals tell.
  const TPointState After = Point.State();
  if (!Answered || (After == TPointState::Idle &&
                    (Before == TPointState::Offline || Before == TPointState::Calling ||
                     Before == TPointState::Error)))
    TotalsDue = true;
  Answered = true;
  if (!Sale && (After == TPointState::Calling || After == TPointState::Error) &&
      Point.Nozzle() != 0)
    UnsoldNozzle = UnsoldNozzle == 0 || UnsoldNozzle == Point.Nozzle() ? Point.Nozzle() : -1;
  CheckIdleTotals(Io);
  if (Point.ReadsFill() && !Point.Ending()) {
    const TPumpReading Reading = Io.Read(Setup.Address, false);
    if (Reading.Fill.Known)
      TakeFill(Io, Reading);
  }
  return true;
}

void TPump::TakeFill(TPumpIo &Io, const TPumpReading &Reading) {
  Handle(Io, Point.OnFill(Reading.Fill.Volume, Reading.Fill.Amount, NowMs()));
  Follow();
}

void TPump::Handle(TPumpIo &Io, const TStep &Step) {
  LearnNozzle();
  if (Step.Changed) {
    Publish(Step.Changed->Reason);
  } else if (Point.HasSale() && Point.Reason() != View().Reason) {
    // Not a transition, but clients see why a sale waits (for the nozzle, for
    // the pump to show what it did with a start).
    Publish(Point.Reason());
  }
  switch (Step.Action) {
  case TSaleAction::None:
    break;
  case TSaleAction::Begin:
    // An auto-authorise pump is authorised under the rules of the command; a
    // refusal (no prices yet) is tried again at its next call.
    Authorize(Io, TPreset{}, std::nullopt);
    break;
  case TSaleAction::End:
    EndSale(Io);
    break;
  case TSaleAction::Settle:
    Settle(Io);
    break;
  case TSaleAction::Stop: {
    const TIoResult Stopped = Io.Stop(Setup.Address);
    Handle(Io, Point.OnStopped(Stopped.Ok()));
    break;
  }
  }
}

std::optional<double> TPump::PouringPrice(int Nozzle) const {
  return Prices.SentPrice(Setup.Nozzles[static_cast<std::size_t>(Nozzle - 1)]);
}

void TPump::InferNozzle(TSale &Ended, const TFillReading &Fill) const {
  if (Fill.Volume <= 0.0 || Setup.NozzleCount() < 2)
    return;
  // The amount is the volume at the price of the nozzle that poured it: a price
  // that gives exactly the amount names the nozzle, when only one does.
  const auto Makes = [&](int K) {
    const auto Price = NozzlePrice(K);
    return Price && std::fabs(std::round(Fill.Volume * *Price * 100.0) / 100.0 - Fill.Amount) <=
                        VolumeTolerance;
  };
  // A nozzle a poll named stands unless its price cannot make the amount (the
  // customer changed nozzles while the station was not watching).
  if (Ended.Nozzle != 0 && Makes(Ended.Nozzle))
    return;
  int Found = 0;
  int Fits = 0;
  for (int K = 1; K <= Setup.NozzleCount(); ++K)
    if (Makes(K)) {
      Found = K;
      ++Fits;
    }
  if (Ended.Nozzle != 0 && Fits != 1)
    return;
  // A counter of nozzle 2's own moves with its fills and only with them.
  if (Fits != 1 && Setup.NozzleCount() == 2 && Setup.Totals == TTotalsLayout::PerNozzle &&
      Ended.StartTotals.Known && Ended.EndTotals.Known) {
    const double Moved = Ended.EndTotals.Volume - Ended.StartTotals.Volume;
    Fits = 1;
    if (std::fabs(Moved - Fill.Volume) <= VolumeTolerance)
      Found = 2;
    else if (std::fabs(Moved) <= VolumeTolerance)
      Found = 1;
    else
      Fits = 0;
  }
  if (Fits != 1)
    return;
  Ended.Nozzle = Found;
  Ended.Grade = Setup.Nozzles[static_cast<std::size_t>(Found - 1)];
  Ended.Price = NozzlePrice(Found).value_or(0.0);
}

std::optional<double> TPump::NozzlePrice(int Nozzle) const {
  const int Grade = Setup.Nozzles[static_cast<std::size_t>(Nozzle - 1)];
  if (auto Sent = Prices.SentPrice(Grade))
    return Sent;
  // Nothing sent in this run yet (a sale recovered after a restart holds the
  // list back): the station's list is what the pump was last sent, unless it
  // changed since; a changed price then fits no nozzle, and the flag stays.
  if (!Prices.Wanted().Complete)
    return std::nullopt;
  return Prices.Wanted().Positions[static_cast<std::size_t>(Nozzle - 1)];
}

void TPump::Follow() {
  const std::int64_t Now = NowMs();
  const double Volume = Point.Volume();
  if (Volume != FillPublished && Now - FillPublishedMs >= FillEventMs) {
    FillPublished = Volume;
    FillPublishedMs = Now;
    Publish("fill progress");
  }
  if (!Sale || !Point.SawFuel())
    return;
  LearnNozzle();
  if (Sale->Volume != Volume || Sale->Amount != Point.Amount()) {
    Sale->Volume = Volume;
    Sale->Amount = Point.Amount();
    SaleDirty = true;
  }
  if (SaleDirty && Now - SaleWrittenMs >= SaleUpdateMs)
    WriteSale();
}

void TPump::CheckTotalsMoved(const TTotals &Now, TSale *Open) {
  std::optional<TTotals> Last;
  if (!NewestTotals(Last))
    return;
  if (!Last || !Last->Known || std::fabs(Now.Volume - Last->Volume) <= VolumeTolerance) {
    RememberTotals(Now);
    return;
  }
  // The pump's next sale carries the flag, this one when it is opening now (and
  // the next, should this one never reach the journal).
  if (Open != nullptr)
    AddFlag(*Open, FlagTotalsMoved);
  Publish("totals moved without a sale: " + Money(Last->Volume) + " -> " + Money(Now.Volume) +
          " litres");
  RaiseTotalsAlarm(*Last, Now, UnsoldNozzle);
  UnsoldNozzle = 0;
}

void TPump::CheckIdleTotals(TPumpIo &Io) {
  // Only between sales (a sale reads its own), on a pump whose totals can be read,
  // and not while a nozzle is lifted: a fill the station did not authorise is
  // judged once it is over, and a customer who waits is authorised with a reading.
  const TPointState State = Point.State();
  if (!TotalsDue || Sale || Closing || !UsesTotals() || State == TPointState::Error ||
      State == TPointState::Calling || State == TPointState::Offline ||
      NowMs() < TotalsCheckAtMs)
    return;
  const TPumpReading Reading = Io.Read(Setup.Address, true);
  if (!Reading.Totals.Known) {
    TotalsCheckAtMs = NowMs() + TotalsRetryMs;
    return;
  }
  TotalsDue = false;
  CheckTotalsMoved(Reading.Totals, nullptr);
  UnsoldNozzle = 0;
}

void TPump::CheckAuthorizeTimeout(TPumpIo &Io) {
  if (!AwaitingNozzle || !Sale || Closing)
    return;
  if (Point.SawFuel() || Point.Took()) {
    // The customer came (a stop whose reply was lost never reached the pump):
    // an ordinary sale after all.
    AwaitingNozzle = false;
    if (TimedOut) {
      TimedOut = false;
      DropFlag(*Sale, FlagAuthorizeTimeout);
      SaleDirty = true;
      WriteSale();
    }
    return;
  }
  if (Point.Ending() || Point.State() != TPointState::Authorised)
    return;
  if (!TimedOut) {
    // Any code but idle shows a lifted nozzle (an authorised pump reports idle
    // until then): the customer is at the pump.
    if (FamilyOf(Point.LastCode()) != FamilyIdle) {
      AwaitingNozzle = false;
      return;
    }
    if (NowMs() - AuthorisedAtMs < AuthorizeTimeoutMs)
      return;
    TimedOut = true;
    AddFlag(*Sale, FlagAuthorizeTimeout);
    SaleDirty = true;
    WriteSale();
    Publish("the authorisation timed out: no nozzle lifted within " +
            std::to_string(AuthorizeTimeoutMs / 1000) + " s; stopping the pump");
  } else if (NowMs() < TimeoutStopAtMs) {
    return;
  }
  // Until a stop is taken, the pump may still hold the authorisation: the sale
  // stays open and the stop goes out again (docs/station.md).
  const TIoResult Stopped = Io.Stop(Setup.Address);
  if (!Stopped.Ok()) {
    TimeoutStopAtMs = NowMs() + TimeoutStopRetryMs;
    Note(Stopped.Describe("stop after the authorisation timed out"));
  }
  Handle(Io, Point.OnStopped(Stopped.Ok()));
  Snapshot();
}

// --- Closing a sale -----------------------------------------------------------

void TPump::Settle(TPumpIo &Io) {
  if (!Sale)
    return;
  // Whatever authorisation the pump may still hold is withdrawn before the sale
  // is judged, so that no fuel can follow the final reading.
  const TIoResult Stopped = Io.Stop(Setup.Address);
  if (!Stopped.Ok()) {
    Point.OnSettleFailed();
    Note(Stopped.Describe("stop before closing the sale"));
    return;
  }
  EndSale(Io);
}

void TPump::EndSale(TPumpIo &Io) {
  if (!Sale || Closing)
    return;
  // The final reading: the fill, and the totals straight after it.
  TPumpReading Final;
  for (int Try = 0; Try < FinalReadTries && !Final.Fill.Known; ++Try)
    Final = Io.Read(Setup.Address, UsesTotals());
  if (!Final.Fill.Known) {
    const std::string Why =
        "the fill is over; no final fill reading accepted yet (" + Final.FillRead.Error + ")";
    Point.Unsettled(Why);
    Publish(Why);
    if (!Sale->HasFlag(FlagUnsettled)) {
      AddFlag(*Sale, FlagUnsettled);
      SaleDirty = true;
      WriteSale();
    }
    return;
  }
  TSale Ended = *Sale;
  DropFlag(Ended, FlagUnsettled);
  Judge(Ended, Final);
  Ended.EndedMs = NowEpochMs();
  // Totals the sale's end could not read: the last ones known are behind by what
  // it sold, so the next reading starts afresh rather than raise an alarm.
  if (Ended.EndTotals.Known)
    RememberTotals(Ended.EndTotals);
  else if (UsesTotals())
    RememberTotals(TTotals{});
  Closing = Ended;
  FinishClose();
}

void TPump::Judge(TSale &Ended, const TPumpReading &Final) {
  TJudgeFacts Facts;
  Facts.Took = Point.Took();
  Facts.Covered = UsesTotals() && Setup.TotalsCover(Ended.Nozzle);
  Facts.Stopped = Point.Stopped();
  Facts.Recovered = Recovered;
  Facts.InferNozzle = [this](TSale &Named, const TFillReading &Fill) {
    InferNozzle(Named, Fill);
  };
  JudgeSale(Ended, Final.Fill, Final.Totals, Facts);
}

// --- Prices -------------------------------------------------------------------

void TPump::PricesChanged(const std::map<int, double> &StationPrices) {
  if (Prices.Update(StationPrices))
    PublishPrice();
}

void TPump::SendPrices(TPumpIo &Io, bool Force) {
  if (!Prices.NeedsSend())
    return;
  const TPointState State = Point.State();
  if (State == TPointState::Offline) {
    if (Prices.Hold("waiting for the pump to answer"))
      PublishPrice();
    return;
  }
  if (Point.HasSale() || State == TPointState::Authorised || State == TPointState::Fuelling) {
    if (Prices.Hold("held back while the pump is authorised or fuelling"))
      PublishPrice();
    return;
  }
  if (!Force && Prices.State() == TPriceState::Failed && NowMs() < PriceRetryAtMs)
    return;
  SendPriceList(Io);
}

bool TPump::SendPriceList(TPumpIo &Io) {
  const TPriceTable &Want = Prices.Wanted().Positions;
  // The driver sends its whole table with every price it is given: the table is
  // loaded first with nothing sent, and then one command carries the complete
  // list, so no frame ever holds a grade's old price or none.
  for (int K = 2; K <= GradeCount; ++K) {
    const auto I = static_cast<std::size_t>(K - 1);
    if (Want[I] != Stored[I]) {
      Io.LoadPrice(Setup.Address, K, Want[I]);
      Stored[I] = Want[I];
    }
  }
  const TIoResult Result = Io.SetPrice(Setup.Address, 1, Want[0]);
  if (Result.Kind != TIoResult::TKind::Refused)
    Stored[0] = Want[0];
  bool Changed = false;
  if (Result.Ok()) {
    Changed = Prices.OnSent(true, "");
  } else {
    PriceRetryAtMs = NowMs() + PriceRetryMs;
    Changed = Prices.OnSent(false, Result.Describe("price list"));
  }
  if (Changed)
    PublishPrice();
  return Result.Ok();
}

// --- Commands -----------------------------------------------------------------

std::optional<TCommandResult> TPump::CheckPreset(const TPreset &Preset,
                                                 std::optional<int> Grade, int NozzleGrade,
                                                 double &Litres) const {
  Litres = 0.0;
  switch (Preset.Kind) {
  case TPreset::TKind::None:
    return std::nullopt;
  case TPreset::TKind::Litres:
    Litres = Preset.Value;
    if (!std::isfinite(Litres) || Litres <= 0.0 || Litres > MaxDoseLitres)
      return TCommandResult::Fail(TStatus::BadValue,
                                  "a preset in litres lies in 0.01..9999.99");
    return std::nullopt;
  case TPreset::TKind::Money:
    break;
  }
  int PriceGrade = Grade.value_or(NozzleGrade);
  if (PriceGrade == 0) {
    bool OneGrade = true;
    for (int G : Setup.Nozzles)
      OneGrade = OneGrade && G == Setup.Nozzles.front();
    if (!OneGrade)
      return TCommandResult::Fail(TStatus::UnknownGrade,
                                  "a money preset needs the grade: no nozzle is lifted");
    PriceGrade = Setup.Nozzles.front();
  }
  const auto Price = Prices.SentPrice(PriceGrade);
  if (!Price || *Price <= 0.0)
    return TCommandResult::Fail(TStatus::NoPrice, "the pump sells grade " +
                                                      std::to_string(PriceGrade) +
                                                      " at no price");
  if (!std::isfinite(Preset.Value) || Preset.Value <= 0.0)
    return TCommandResult::Fail(TStatus::BadValue, "a money preset must be above 0");
  // Rounded down, so the fill never costs more than was paid.
  Litres = std::floor(Preset.Value / *Price * 100.0 + 1e-6) / 100.0;
  if (Litres <= 0.0 || Litres > MaxDoseLitres)
    return TCommandResult::Fail(TStatus::BadValue, "the money preset comes to " +
                                                       Money(Litres) +
                                                       " litres, outside 0.01..9999.99");
  return std::nullopt;
}

TCommandResult TPump::Authorize(TPumpIo &Io, const TPreset &Preset, std::optional<int> Grade) {
  if (auto Refusal = Point.RefuseAuthorise())
    return TCommandResult::Fail(TStatus::WrongState, *Refusal);
  if (Sale || Closing)
    return TCommandResult::Fail(TStatus::WrongState, "the pump's last sale is being closed");
  if (Grade) {
    bool Sells = false;
    for (int G : Setup.Nozzles)
      Sells = Sells || G == *Grade;
    if (!Sells)
      return TCommandResult::Fail(TStatus::UnknownGrade,
                                  "the pump does not sell grade " + std::to_string(*Grade));
  }
  if (!Prices.Current()) {
    if (Prices.NeedsSend())
      SendPrices(Io, true);
    if (!Prices.Current())
      return TCommandResult::Fail(TStatus::NoPrice,
                                  "the pump has not been sent its prices: " + Prices.Reason());
  }
  const int Address = Setup.Address;
  int Nozzle = Point.State() == TPointState::Calling ? Point.Nozzle() : 0;
  if (Setup.NozzleCount() == 1)
    Nozzle = 1;
  const int NozzleGrade = Nozzle >= 1 && Nozzle <= Setup.NozzleCount()
                              ? Setup.Nozzles[static_cast<std::size_t>(Nozzle - 1)]
                              : 0;
  double Litres = 0.0;
  if (auto Refusal = CheckPreset(Preset, Grade, NozzleGrade, Litres))
    return *Refusal;

  TSale Opened;
  Opened.Line = Services.Line;
  Opened.Pump = Address;
  Opened.Nozzle = Nozzle;
  Opened.Grade = NozzleGrade;
  Opened.Price = NozzleGrade != 0 ? Prices.SentPrice(NozzleGrade).value_or(0.0) : 0.0;
  Opened.Preset = Preset;
  if (Preset.Kind == TPreset::TKind::Money)
    Opened.Prepaid = Preset.Value;
  Opened.State = TSaleState::Open;
  // The fill the pump holds now is the previous sale's: the baseline this sale's
  // readings are told apart from. The totals come straight after it.
  const TPumpReading Before = Io.Read(Address, UsesTotals());
  if (!Before.Fill.Known)
    return TCommandResult::Fail(TStatus::LineFailed,
                                Before.FillRead.Describe("reading the fill before the start"));
  Opened.Baseline = Before.Fill;
  if (UsesTotals()) {
    if (!Before.Totals.Known)
      return TCommandResult::Fail(TStatus::LineFailed,
                                  Before.TotalsRead.Describe("reading the totals"));
    Opened.StartTotals = Before.Totals;
    // Fuel without a sale found since the last sale, or now.
    if (MovedBeforeSale)
      AddFlag(Opened, FlagTotalsMoved);
    CheckTotalsMoved(Opened.StartTotals, &Opened);
  } else {
    AddFlag(Opened, FlagNoTotals);
  }
  Opened.StartedMs = NowEpochMs();
  // Journaled before anything that could start a fill goes out.
  try {
    Opened = Services.Journal->OpenSale(Opened);
  } catch (const EJournalError &E) {
    return TCommandResult::Fail(TStatus::Journal, E.what());
  }
  Sale = Opened;
  Recovered = false;
  SaleDirty = false;
  SaleWrittenMs = NowMs();
  MovedBeforeSale = false;
  UnsoldNozzle = 0;
  AwaitingNozzle = false;
  TimedOut = false;
  PublishSale(Opened, "opened");

  if (Preset.Kind != TPreset::TKind::None) {
    const TIoResult Dosed = Io.Dose(Address, Litres);
    if (!Dosed.Ok()) {
      // No start went out: nothing was authorised, and the sale ends empty.
      Opened.EndTotals = Opened.StartTotals;
      Opened.EndedMs = NowEpochMs();
      Opened.State = TSaleState::Cleared;
      Opened.Refund = RefundOf(Opened.Prepaid, 0.0);
      AddFlag(Opened, FlagEmpty);
      Closing = Opened;
      FinishClose();
      TCommandResult Result =
          TCommandResult::Fail(TStatus::LineFailed, Dosed.Describe("presetting the dose"));
      Result.Sale = Opened;
      return Result;
    }
  }
  const TIoResult Started = Io.Start(Address);
  const TStartOutcome Outcome = Started.Ok() ? TStartOutcome::Taken
                                : Started.Kind == TIoResult::TKind::Refused
                                    ? TStartOutcome::Refused
                                    : TStartOutcome::Unknown;
  if (Outcome == TStartOutcome::Unknown && Sale) {
    AddFlag(*Sale, FlagUncertain);
    SaleDirty = true;
    WriteSale();
  }
  const std::optional<TSale> Authorised = Sale;
  // A taken start waits for the nozzle only so long; a start of unknown outcome
  // has its own, shorter time.
  AwaitingNozzle = Outcome == TStartOutcome::Taken && AuthorizeTimeoutMs > 0;
  AuthorisedAtMs = NowMs();
  Handle(Io, Point.OnAuthorised(Outcome, Nozzle, Opened.Baseline.Volume, Opened.Baseline.Amount,
                                NowMs()));
  Snapshot();
  TCommandResult Result;
  if (Outcome == TStartOutcome::Taken) {
    Result = Done(Preset.Kind == TPreset::TKind::None
                      ? "authorised"
                      : "authorised for " + Money(Litres) + " litres");
  } else if (Outcome == TStartOutcome::Unknown) {
    Result = TCommandResult::Fail(TStatus::Uncertain,
                                  Started.Describe("authorising the pump") +
                                      "; the pump may have taken the start: the sale stays "
                                      "open while the pump is followed");
  } else {
    Result =
        TCommandResult::Fail(TStatus::LineFailed, Started.Describe("authorising the pump"));
  }
  Result.Sale = Sale ? *Sale : Authorised.value_or(Opened);
  return Result;
}

TCommandResult TPump::Stop(TPumpIo &Io) {
  if (auto Refusal = Point.RefuseStop())
    return TCommandResult::Fail(TStatus::WrongState, *Refusal);
  const TIoResult Stopped = Io.Stop(Setup.Address);
  const bool HadSale = Point.HasSale();
  Handle(Io, Point.OnStopped(Stopped.Ok()));
  Snapshot();
  if (!Stopped.Ok())
    return TCommandResult::Fail(HadSale ? TStatus::Uncertain : TStatus::LineFailed,
                                Stopped.Describe("stopping the pump"));
  return Done("stopped");
}

TCommandResult TPump::Unblock(TPumpIo &Io, int Code) {
  if (Code < 0 || Code > 255)
    return TCommandResult::Fail(TStatus::BadValue, "an unblock code lies in 0..255");
  if (auto Refusal = Point.RefuseUnblock())
    return TCommandResult::Fail(TStatus::WrongState, *Refusal);
  const TIoResult Unblocked = Io.Unblock(Setup.Address, Code);
  Handle(Io, Point.OnUnblocked(Unblocked.Ok()));
  if (!Unblocked.Ok())
    return TCommandResult::Fail(TStatus::LineFailed, Unblocked.Describe("unblocking the pump"));
  return Done("unblocked");
}

void TPump::SaleCleared(std::int64_t SaleId) {
  if (LastSaleId != SaleId)
    return;
  const TStep Step = Point.OnSaleCleared();
  if (Step.Changed)
    Publish(Step.Changed->Reason);
}

// --- Views and events ---------------------------------------------------------

TPumpSnapshot TPump::MakeSnapshot() const {
  TPumpSnapshot View = BaseSnapshot();
  View.PriceState = Prices.State();
  View.PriceReason = Prices.Reason();
  View.Prices = Prices.SentPrices();
  View.AutoAuthorize = Setup.AutoAuthorize;
  return View;
}

void TPump::PublishPrice() {
  Snapshot();
  TEvent Event;
  Event.Kind = TEvent::TKind::Price;
  Event.Reason =
      Prices.Reason().empty() ? std::string(PriceStateName(Prices.State())) : Prices.Reason();
  Event.Pump = View();
  Services.Bus->Publish(std::move(Event));
}

} // namespace de30::station
