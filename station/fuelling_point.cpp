#include "station/fuelling_point.hpp"

#include "de30/host_codes.hpp"

#include <algorithm>

namespace de30::station {

namespace {

// On a short poll 209 is not "nozzle 1 ready": the count-down ran out, or the
// driver has just re-initialised the pump after a fault status.
constexpr std::uint8_t CodeWaiting = CodeAuthorizedIdle;

std::string Times(int N, const char *What) {
  return std::to_string(N) + " " + What + (N == 1 ? " reply" : " replies") + " in a row";
}

} // namespace

std::int64_t OfflineBackoffMs(int Attempts, std::int64_t MaxMs) {
  std::int64_t Pause = OfflineBackoffFirstMs;
  for (int I = 1; I < Attempts && Pause < MaxMs; ++I)
    Pause *= 2;
  return std::max<std::int64_t>(std::min(Pause, MaxMs), 0);
}

TFuellingPoint::TFuellingPoint(int NozzleCount, bool AutoAuthorize, TPointTiming PointTiming)
    : Nozzles(NozzleCount), Auto(AutoAuthorize), Timing(PointTiming) {}

bool TFuellingPoint::DuePoll(std::int64_t NowMs) const {
  return Now != TPointState::Offline || NowMs >= NextPoll;
}

bool TFuellingPoint::ReadsFill() const {
  return Now != TPointState::Offline &&
         (Sale || Now == TPointState::Authorised || Now == TPointState::Fuelling);
}

TStep TFuellingPoint::Enter(TPointState Next, std::string Reason, std::uint8_t Cause) {
  TStep Step;
  if (Next == Now) {
    Why = std::move(Reason); // the same state for another reason is no transition
    return Step;
  }
  Step.Changed = TTransition{Now, Next, Reason, Cause};
  Now = Next;
  Why = std::move(Reason);
  return Step;
}

bool TFuellingPoint::AuthorisedCode(std::uint8_t C) const {
  const std::uint8_t F = FamilyOf(C);
  if (F == FamilyAuthorised)
    return true;
  // With several nozzles 208 + k is a nozzle that is ready; on a short poll 209
  // has its own meanings.
  return F == FamilyReady && (Nozzles >= 2 || C != CodeWaiting);
}

TStep TFuellingPoint::OnPoll(const TPollInput &Poll, std::int64_t NowMs) {
  if (Poll.Outcome != TPollInput::TOutcome::Answered) {
    ++Missed;
    const char *What = Poll.Outcome == TPollInput::TOutcome::Missed ? "missed" : "rejected";
    if (Now == TPointState::Offline) {
      ++Attempts;
      NextPoll =
          NowMs + OfflineBackoffMs(Attempts + 1, EverAnswered ? Timing.BackoffMaxMs
                                                              : Timing.AbsentBackoffMaxMs);
      return {};
    }
    if (Missed < Timing.OfflineAfter)
      return {};
    Attempts = 0;
    NextPoll = NowMs + OfflineBackoffMs(1, Timing.BackoffMaxMs);
    return Enter(TPointState::Offline, Times(Missed, What), 0);
  }
  Missed = 0;
  Attempts = 0;
  NextPoll = 0;
  EverAnswered = true;
  if (Poll.DriverHeld)
    DriverAuthorised = *Poll.DriverHeld;
  Masked = Poll.AwaitingIdle && Poll.Code == CodeIdle;
  Code = Poll.Code;
  int Nozzle = Poll.Nozzle;
  if (Nozzles <= 1 && Nozzle != 0)
    Nozzle = 1;
  const std::uint8_t F = FamilyOf(Poll.Code);
  if (F == FamilyIdle || F == FamilyCalling)
    DriverAuthorised = false;
  // A lifted nozzle read while the driver counts down an ended authorisation:
  // calling, as the driver itself will say once the count runs out. An
  // authorisation by someone else shows as such from then on.
  if (!Sale && !DriverAuthorised && Poll.CountDownLeft && Nozzles > 1 && F == FamilyAuthorised)
    return Answered(HostCode(FamilyCalling, NozzleOf(Poll.Code)), Nozzle);
  return Answered(Poll.Code, Nozzle);
}

TStep TFuellingPoint::Answered(std::uint8_t C, int Nozzle) {
  const bool WasOffline = Now == TPointState::Offline;
  const std::uint8_t F = FamilyOf(C);
  const bool Authorised = AuthorisedCode(C);
  if (Sale)
    return AnsweredWithSale(C, Nozzle, Authorised, WasOffline);

  if (F != FamilyIdle && F != FamilyCalling && F != FamilyReady && F != FamilyAuthorised)
    return Enter(TPointState::Error, "unknown status code " + std::to_string(C), C);
  if (Now == TPointState::Locked && !Authorised)
    return {}; // only an unblock frees it; a lifted nozzle means nothing meanwhile
  if (Authorised || C == CodeWaiting) {
    if (DriverAuthorised) {
      Active = Nozzle;
      return Enter(TPointState::Calling, "stopped; the nozzle is still lifted", C);
    }
    if (C == CodeWaiting)
      return Enter(TPointState::Error,
                   "the driver re-initialised the pump after a fault status", C);
    Active = Nozzle;
    return Enter(TPointState::Error, "authorised, but not by this station", C);
  }
  if (F == FamilyCalling) {
    Active = Nozzle;
    TStep Step = Enter(TPointState::Calling, "nozzle " + std::to_string(Nozzle) + " lifted", C);
    if (Auto)
      Step.Action = TSaleAction::Begin;
    return Step;
  }
  // 192.
  if (Now == TPointState::Completed)
    return {};
  Active = 0;
  if (WasOffline)
    return Enter(TPointState::Idle, "answered again", C);
  if (Now == TPointState::Error)
    return Enter(TPointState::Idle, "the fault has cleared", C);
  return Enter(TPointState::Idle, "idle", C);
}

TStep TFuellingPoint::AnsweredWithSale(std::uint8_t C, int Nozzle, bool Authorised,
                                       bool WasOffline) {
  const std::uint8_t F = FamilyOf(C);
  DriverCalling = F == FamilyCalling;
  if (Recover) {
    if (Authorised) {
      Recover = false;
      Active = Nozzle;
      return Enter(Fuel ? TPointState::Fuelling : TPointState::Authorised,
                   "sale resumed after a restart", C);
    }
    // A driver that has just started reports a fuelling single-nozzle pump as
    // idle or calling: only the fill reading tells whether fuel still flows.
    if (WasOffline)
      return Enter(TPointState::Authorised, "recovering the open sale", C);
    return {};
  }
  if (EndAsked)
    return {};
  if (Authorised || (C == CodeWaiting && DriverAuthorised)) {
    if (Nozzle != 0)
      Active = Nozzle;
    if (Now == TPointState::Fuelling)
      return {};
    if (C == CodeWaiting && Nozzles <= 1)
      return Enter(TPointState::Authorised,
                   "authorised; the pump has not started within its count-down", C);
    return Enter(Fuel ? TPointState::Fuelling : TPointState::Authorised,
                 WasOffline ? "answered again" : "authorised", C);
  }
  if (F != FamilyIdle && F != FamilyCalling && C != CodeWaiting)
    return Enter(TPointState::Error, "unknown status code " + std::to_string(C), C);
  if (C == CodeWaiting) {
    // The driver re-initialised the pump after a fault status: whatever it held
    // of the authorisation is gone.
    if (Fuel)
      return AskEnd(Enter(TPointState::Completed, "fill ended by a fault status", C));
    return AskEnd(Enter(TPointState::Error,
                        "the driver re-initialised the pump after a fault status", C));
  }
  const bool StopTaken = StopSent && !StopUnknown;
  // 192 read while the driver waits for the pump's first idle status may be a
  // calling or fuelling pump: the fill decides, as for a calling code.
  if (Masked) {
    DriverCalling = true;
    if (Fuel)
      return Enter(TPointState::Fuelling, "fuelling (the driver reads the pump as idle)", C);
    return WaitForNozzle(C);
  }
  if (F == FamilyIdle) {
    if (Fuel)
      return AskEnd(Enter(TPointState::Completed,
                          WasOffline ? "fill ended while offline" : "fill ended", C));
    if (StopTaken)
      return AskEnd(Enter(TPointState::Idle, "stopped", C));
    // An authorised pump reports idle until its nozzle is lifted (a pre-paid
    // sale): the sale waits for the customer.
    return WaitForNozzle(C);
  }
  // Calling. The driver drops its authorisation on the first idle poll, and then
  // reads a lifted nozzle as calling whatever the pump does: the pump may be
  // pouring under this authorisation, so only the fill tells.
  if (Nozzle != 0)
    Active = Nozzle;
  if (Fuel)
    return Enter(TPointState::Fuelling, "fuelling", C);
  if (StopTaken)
    return AskEnd(Enter(TPointState::Calling, "stopped; the nozzle is still lifted", C));
  return Enter(TPointState::Authorised,
               StartUnknown
                   ? "the start's outcome is unknown; nozzle " + std::to_string(Active) +
                         " lifted"
                   : "authorised; nozzle " + std::to_string(Active) + " lifted, no fuel yet",
               C);
}

TStep TFuellingPoint::WaitForNozzle(std::uint8_t Cause) {
  return Enter(TPointState::Authorised,
               StartUnknown ? "the start's outcome is unknown; the pump reports idle"
                            : "authorised; waiting for the nozzle",
               Cause);
}

TStep TFuellingPoint::AskEnd(TStep Step) {
  EndAsked = true;
  Step.Action = TSaleAction::End;
  return Step;
}

TStep TFuellingPoint::OnFill(double Volume, double Amount, std::int64_t NowMs) {
  if (!Sale) {
    FillVolume = Volume;
    FillAmount = Amount;
    return {};
  }
  // A reading that is not the baseline shows the pump took the authorisation.
  if (!Taken && BaseKnown && (Volume != BaseVolume || Amount != BaseAmount))
    Taken = true;
  if (Taken)
    StartUnknown = false;
  // Until then the reading is the previous sale's fill: this sale has none. A
  // sale recovered from a journal that kept no baseline shows what it reads.
  const bool Counts = Taken || !BaseKnown;
  const double V = Counts ? Volume : 0.0;
  const double A = Counts ? Amount : 0.0;
  const bool Moved = V != FillVolume || !FillSeen;
  FillVolume = V;
  FillAmount = A;
  if (Moved)
    MovedAt = NowMs;
  if (Recover) {
    if (!FillSeen) {
      FillSeen = true;
      Fuel = Taken && V > 0.0;
      return {};
    }
    if (Moved) {
      Fuel = Counts;
      return Enter(TPointState::Fuelling, "fuelling, resumed after a restart", 0);
    }
    if (!SettleAsked && NowMs - MovedAt >= Timing.RecoverySettleMs)
      return AskSettle();
    return {};
  }
  FillSeen = true;
  if (EndAsked)
    return {};
  if (Counts && V > 0.0) {
    Fuel = true;
    if (Now == TPointState::Authorised)
      return Enter(TPointState::Fuelling, "fuelling", Code);
  }
  if (SettleAsked)
    return {};
  // A start that showed nothing within its time: withdrawn, then judged.
  if (StartUnknown && !Taken && NowMs - AuthorisedAt >= Timing.UnknownStartMs)
    return AskSettle();
  // The driver reads the nozzle as calling and the fill stands still: the fill
  // is over, but the pump may still hold the authorisation.
  if (Fuel && DriverCalling && NowMs - MovedAt >= Timing.CallingSettleMs)
    return AskSettle();
  return {};
}

TStep TFuellingPoint::AskSettle() {
  SettleAsked = true;
  TStep Step;
  Step.Action = TSaleAction::Settle;
  return Step;
}

std::optional<std::string> TFuellingPoint::RefuseAuthorise() const {
  switch (Now) {
  case TPointState::Offline:
    return "the pump is offline";
  case TPointState::Authorised:
    return "the pump is already authorised";
  case TPointState::Fuelling:
    return "the pump is fuelling";
  case TPointState::Locked:
    return "the pump is locked; unblock it first";
  case TPointState::Error:
    return "the pump reports a fault";
  default:
    break;
  }
  if (Sale)
    return "the pump's last sale is still open";
  return std::nullopt;
}

std::optional<std::string> TFuellingPoint::RefuseStop() const {
  if (Now == TPointState::Offline)
    return "the pump is offline";
  return std::nullopt;
}

std::optional<std::string> TFuellingPoint::RefuseUnblock() const {
  if (Now == TPointState::Offline)
    return "the pump is offline";
  if (Now == TPointState::Fuelling)
    return "the pump is fuelling";
  if (Sale && !EndAsked)
    return "the pump is authorised; stop it first";
  return std::nullopt;
}

TStep TFuellingPoint::OnAuthorised(TStartOutcome Outcome, int Nozzle, double BaselineVolume,
                                   double BaselineAmount, std::int64_t NowMs) {
  Sale = true;
  Fuel = false;
  StopSent = false;
  StopUnknown = false;
  EndAsked = false;
  Recover = false;
  SettleAsked = false;
  FillSeen = false;
  Taken = false;
  BaseKnown = true;
  BaseVolume = BaselineVolume;
  BaseAmount = BaselineAmount;
  AuthorisedAt = NowMs;
  MovedAt = NowMs;
  DriverCalling = false;
  FillVolume = 0.0;
  FillAmount = 0.0;
  if (Nozzle != 0)
    Active = Nozzle;
  if (Outcome == TStartOutcome::Refused)
    return AskEnd(Enter(Now, Why, Code));
  DriverAuthorised = Outcome == TStartOutcome::Taken;
  StartUnknown = Outcome == TStartOutcome::Unknown;
  return Enter(TPointState::Authorised,
               StartUnknown ? "the start's outcome is unknown; following the pump"
                            : "authorised by the station",
               Code);
}

TStep TFuellingPoint::OnStopped(bool Ok) {
  if (!Sale || EndAsked)
    return {};
  StopSent = true;
  if (!Ok) {
    // Whether the pump took it shows in what it does next; meanwhile the stop
    // goes out again, a few times.
    if (!StopUnknown)
      StopsLeft = Timing.StopRetries;
    StopUnknown = true;
    if (StopsLeft <= 0)
      return {};
    --StopsLeft;
    TStep Step;
    Step.Action = TSaleAction::Stop;
    return Step;
  }
  StopUnknown = false;
  if (Fuel || Recover)
    return {}; // a fill in progress ends when the pump reports it
  return AskEnd(Enter(TPointState::Idle, "stopped before fuelling", 0));
}

TStep TFuellingPoint::OnUnblocked(bool Ok) {
  if (!Ok)
    return {};
  Active = 0;
  return Enter(TPointState::Idle, "unblocked", 0);
}

void TFuellingPoint::RecoverSale(bool BaselineKnown, double BaselineVolume,
                                 double BaselineAmount) {
  Sale = true;
  Recover = true;
  Fuel = false;
  Taken = false;
  BaseKnown = BaselineKnown;
  BaseVolume = BaselineVolume;
  BaseAmount = BaselineAmount;
  FillSeen = false;
  SettleAsked = false;
  EndAsked = false;
  Why = "recovering an open sale; not answered yet";
}

TStep TFuellingPoint::OnSaleClosed(bool Fuelled) {
  const bool Recovered = Recover;
  const bool Guessed = Now == TPointState::Locked || Now == TPointState::Calling;
  Sale = false;
  Fuel = false;
  StopSent = false;
  StopUnknown = false;
  StartUnknown = false;
  Taken = false;
  EndAsked = false;
  Recover = false;
  SettleAsked = false;
  if (Recovered) {
    Active = 0;
    return Enter(TPointState::Idle, "the recovered sale is closed", 0);
  }
  // Closed after the pump's authorisation was withdrawn.
  if (Now == TPointState::Authorised || Now == TPointState::Fuelling) {
    if (Fuelled)
      return Enter(TPointState::Completed, "fill ended", Code);
    if (FamilyOf(Code) == FamilyCalling && Active != 0)
      return Enter(TPointState::Calling, "nozzle " + std::to_string(Active) + " lifted", Code);
    Active = 0;
    return Enter(TPointState::Idle, "the sale closed without fuel", 0);
  }
  // The whole fill fell between two polls: the final reading shows it.
  if (Fuelled && Guessed)
    return Enter(TPointState::Completed, "fill ended between two polls", Code);
  return {};
}

void TFuellingPoint::OnSettleFailed() { SettleAsked = false; }

TStep TFuellingPoint::OnSaleCleared() {
  if (Now != TPointState::Completed || Sale)
    return {};
  Active = 0;
  return Enter(TPointState::Idle, "sale cleared", 0);
}

const char *PointStateName(TPointState State) {
  switch (State) {
  case TPointState::Offline:
    return "offline";
  case TPointState::Idle:
    return "idle";
  case TPointState::Calling:
    return "calling";
  case TPointState::Authorised:
    return "authorised";
  case TPointState::Fuelling:
    return "fuelling";
  case TPointState::Completed:
    return "completed";
  case TPointState::Locked:
    return "locked";
  case TPointState::Error:
    return "error";
  }
  return "unknown";
}

} // namespace de30::station
