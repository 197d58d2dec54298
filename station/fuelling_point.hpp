#pragma once
// One fuelling point: what a pump is doing, decided from the outcomes of its
// status polls, its fill readings and the outcomes of the commands sent to it. No
// I/O, no thread, no clock of its own: the line worker feeds it (with the time)
// and carries out the sale actions it asks for. docs/station.md lists every state
// and transition with the host codes that cause it.

#include "station/events.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace de30::station {

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
};

// What the worker has to do for the pump's sale after a step.
enum class TSaleAction {
  None,
  Begin,  // an auto-authorise pump is calling: authorise it under the command's rules
  End,    // the fill is over: read the end totals and the last fill, close the sale
  Settle, // a recovered sale's fill stands still: stop the pump, then close it from the totals
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
  // How long a recovered sale's fill must stand still before it counts as over.
  std::int64_t RecoverySettleMs = 2000;
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
  // Fill readings are taken only while ReadsFill() (authorised, fuelling, recovering).
  bool ReadsFill() const;
  TStep OnFill(double Volume, double Amount, std::int64_t NowMs);

  // Why a command does not fit the pump's state; nullopt when it does.
  std::optional<std::string> RefuseAuthorise() const;
  std::optional<std::string> RefuseStop() const;
  std::optional<std::string> RefuseUnblock() const;

  // The sale is journaled and the start command has run; Ok when it was taken.
  // A failed start keeps the sale open: the next polls show whether the pump took it.
  TStep OnAuthorised(bool Ok, int Nozzle);
  // A stop command ran. Stopped before any fuel, the sale ends at once.
  TStep OnStopped(bool Ok);
  TStep OnUnblocked(bool Ok);
  // The journal holds an open sale of this pump from before a restart.
  void RecoverSale();
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
  std::int64_t NextPoll = 0;

  // The driver keeps a pump authorised after a stop until a poll reports 192 or
  // 225; while it does, 209 and 217 mean "stopped, nozzle still lifted".
  bool DriverAuthorised = false;

  // The open sale, as far as the point is concerned.
  bool Sale = false;
  bool Fuel = false;
  bool StopSent = false;
  bool StartFailed = false;
  bool EndAsked = false;
  bool Recover = false;
  bool SettleAsked = false;
  bool FillSeen = false;
  std::int64_t StillSince = 0;
  double FillVolume = 0.0;
  double FillAmount = 0.0;
};

} // namespace de30::station
