#pragma once
// One fuelling point: what a pump is doing, decided from the outcomes of its
// status polls, its fill readings and the outcomes of the commands sent to it. No
// I/O, no thread, no clock of its own: the line worker feeds it (with the time)
// and carries out the sale actions it asks for. docs/station.md lists every state
// and transition with the host codes that cause it.

#include <cstdint>
#include <optional>
#include <string>

namespace de30::station {

enum class TPointState {
  Offline,
  Idle,
  Calling,
  Authorised,
  Fuelling,
  Completed,
  Locked,
  Error
};
// "offline", "idle", "calling", "authorised", "fuelling", "completed", "locked", "error"
const char *PointStateName(TPointState State);

// What one status poll of the pump came to.
struct TPollInput {
  enum class TOutcome {
    Answered, // the reply was accepted: Code and Nozzle are the record's Sost and ActiveNozzle
    Missed,   // the exchange failed (no reply, short reply, channel error)
    Rejected, // a reply came but the reply check refused it: nothing in it is used
  } Outcome = TOutcome::Answered;
  std::uint8_t Code = 0;
  std::uint8_t Nozzle = 0;
  // The driver went into the poll still counting down an authorisation that had
  // ended: on a multi-nozzle pump a lifted nozzle then reads 216+k, as if authorised.
  bool CountDownLeft = false;
  // Whether the driver held an authorisation of the pump going into the poll (it
  // then reads a waiting pump as 209 or 217); unset: as the point's own commands
  // left it. A start whose reply was refused may still have left it held.
  std::optional<bool> DriverHeld;
  // The driver still waits for the pump's first idle status (after its start or
  // an unblock) and reads every calling status as 192 meanwhile: a 192 then proves
  // neither an idle pump nor a fill that ended.
  bool AwaitingIdle = false;
};

// What the pump has to do for its sale after a step.
enum class TSaleAction {
  None,
  Begin,  // an auto-authorise pump is calling: authorise it under the command's rules
  End,    // the fill is over: take an accepted final reading, close the sale
  Settle, // the pump's authorisation must be withdrawn (a stop) before the sale closes:
          // a recovered sale, a start whose outcome stayed unknown, a fill that stands
          // still while the driver no longer holds the authorisation
  Stop,   // a stop whose reply was lost: send it again (stopping twice is harmless)
};

// What came of a start command.
enum class TStartOutcome {
  Taken,   // command and execute replies accepted
  Unknown, // a reply was lost or rejected: the pump may or may not have taken it
  Refused, // nothing went out (the driver refused it)
};

struct TTransition {
  TPointState From = TPointState::Offline;
  TPointState To = TPointState::Offline;
  std::string Reason;
  std::uint8_t Code = 0; // the host code that caused it, 0 for none
};

struct TStep {
  std::optional<TTransition> Changed;
  TSaleAction Action = TSaleAction::None;
};

struct TPointTiming {
  int OfflineAfter = 3;             // missed or rejected replies in a row
  std::int64_t BackoffMaxMs = 4000; // longest pause between polls of an offline pump
  // The same for a pump that has never answered: a configured pump that is not
  // there would otherwise cost its line a probe every few seconds for good.
  std::int64_t AbsentBackoffMaxMs = 30000;
  // How long a recovered sale's fill must stand still before it counts as over.
  std::int64_t RecoverySettleMs = 2000;
  // How long a start of unknown outcome may show nothing before it is withdrawn.
  std::int64_t UnknownStartMs = 6000;
  // How long a fill must stand still, while the driver reads the lifted nozzle as
  // calling, before the sale is settled.
  std::int64_t CallingSettleMs = 10000;
  // How many times a stop whose reply was lost is sent again.
  int StopRetries = 3;
};

// First pause between polls of an offline pump; each further miss doubles it.
inline constexpr std::int64_t OfflineBackoffFirstMs = 250;
// The pause before poll number Attempts (1, 2, ...) of an offline pump.
std::int64_t OfflineBackoffMs(int Attempts, std::int64_t MaxMs);

class TFuellingPoint {
public:
  TFuellingPoint(int NozzleCount, bool AutoAuthorize, TPointTiming Timing);

  // An offline pump is polled only after its back-off; every other pump each cycle.
  bool DuePoll(std::int64_t NowMs) const;
  TStep OnPoll(const TPollInput &Poll, std::int64_t NowMs);
  // Fill readings are taken while ReadsFill() (a sale is open, or the pump is
  // authorised or fuelling).
  bool ReadsFill() const;
  // An accepted fill reading. It counts for the open sale only once the pump has
  // shown that it took this authorisation: a reading that differs from the fill it
  // held when it was authorised (the previous sale's).
  TStep OnFill(double Volume, double Amount, std::int64_t NowMs);

  // Why a command does not fit the pump's state; nullopt when it does.
  std::optional<std::string> RefuseAuthorise() const;
  std::optional<std::string> RefuseStop() const;
  std::optional<std::string> RefuseUnblock() const;

  // The sale is journaled and the start command has run. Baseline is the fill the
  // pump held just before. A start of unknown outcome keeps the sale open: what
  // the pump shows next tells whether it took it.
  TStep OnAuthorised(TStartOutcome Outcome, int Nozzle, double BaselineVolume,
                     double BaselineAmount, std::int64_t NowMs);
  // A stop command ran. Taken before any fuel, the sale ends at once; a stop whose
  // reply was lost is sent again.
  TStep OnStopped(bool Ok);
  TStep OnUnblocked(bool Ok);
  // The journal holds an open sale of this pump from before a restart, with the
  // fill the pump held when it was authorised (when the journal knows it).
  void RecoverSale(bool BaselineKnown, double BaselineVolume, double BaselineAmount);
  // The worker closed the sale the End or Settle action asked for; Fuelled when
  // the sale holds fuel (seen, or proved by the totals).
  TStep OnSaleClosed(bool Fuelled);
  // A Settle could not be carried out (the stop failed): try again later.
  void OnSettleFailed();
  // The pump's last sale was cleared: a completed point goes idle.
  TStep OnSaleCleared();

  TPointState State() const { return Now; }
  const std::string &Reason() const { return Why; }
  int Nozzle() const { return Active; }
  std::uint8_t LastCode() const { return Code; }
  bool HasSale() const { return Sale; }
  bool SawFuel() const { return Fuel; }
  bool Stopped() const { return StopSent; }
  bool Recovering() const { return Recover; }
  // The pump has shown that it took the open sale's authorisation.
  bool Took() const { return Taken; }
  bool StartUncertain() const { return StartUnknown; }
  // The sale's end waits for an accepted final reading.
  void Unsettled(const std::string &Reason) { Why = Reason; }
  bool Ending() const { return EndAsked; }
  double Volume() const { return FillVolume; }
  // The closed sale's figures become what the point shows: the last reading taken
  // while fuel flowed may be a little short of the end.
  void ShowFill(double Volume, double Amount) {
    FillVolume = Volume;
    FillAmount = Amount;
  }
  double Amount() const { return FillAmount; }
  int Misses() const { return Missed; }
  std::int64_t NextPollMs() const { return NextPoll; }

private:
  TStep Enter(TPointState Next, std::string Reason, std::uint8_t Cause);
  TStep Answered(std::uint8_t Code, int Nozzle);
  TStep AnsweredWithSale(std::uint8_t Code, int Nozzle, bool Authorised, bool WasOffline);
  TStep AskEnd(TStep Step);
  TStep AskSettle();
  // An open sale with no fuel yet, whose pump reads idle: it waits for the nozzle.
  TStep WaitForNozzle(std::uint8_t Cause);
  bool AuthorisedCode(std::uint8_t Code) const;

  int Nozzles;
  bool Auto;
  TPointTiming Timing;

  TPointState Now = TPointState::Offline;
  std::string Why = "not answered yet";
  std::uint8_t Code = 0;
  int Active = 0;

  // Poll bookkeeping.
  int Missed = 0;
  int Attempts = 0; // polls since the pump went offline
  bool EverAnswered = false;
  std::int64_t NextPoll = 0;

  // The driver keeps a pump authorised after a stop until a poll reports 192 or
  // 225; while it does, 209 and 217 mean "stopped, nozzle still lifted".
  bool DriverAuthorised = false;

  // The open sale, as far as the point is concerned.
  bool Sale = false;
  bool Fuel = false;
  bool StopSent = false;
  bool StartUnknown = false;
  bool StopUnknown = false;
  int StopsLeft = 0;
  bool Taken = false;
  bool BaseKnown = false;
  double BaseVolume = 0.0;
  double BaseAmount = 0.0;
  std::int64_t AuthorisedAt = 0;
  std::int64_t MovedAt = 0;
  bool DriverCalling = false; // the last poll read the lifted nozzle as calling
  bool Masked = false;        // the last 192 came while the driver awaited idle
  bool EndAsked = false;
  bool Recover = false;
  bool SettleAsked = false;
  bool FillSeen = false;
  double FillVolume = 0.0;
  double FillAmount = 0.0;
};

} // namespace de30::station
