#pragma once
// One simulated dispenser: nozzles, grade prices, per-nozzle totals, a preset dose
// and a fill that flows at a fixed rate by the station's clock. It answers each
// command addressed to it with the reply the host expects; docs/simulator.md
// describes the states and the status byte and nozzle nibble each reports.

#include "sim/frames.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace de30::sim {

enum class TPumpState {
  Idle,       // every nozzle hung up, not authorised
  Calling,    // a nozzle lifted, waiting for authorisation
  Authorised, // authorised, fuel not flowing yet
  Fuelling,   // fuel flowing
  Finished,   // the fill has ended, the nozzle is still lifted
  Fault,      // reports an error status byte until re-initialised
  Locked,     // refuses to start until unblocked
};

inline constexpr int MaxNozzles = 4;
inline constexpr int PumpGrades = 5;

// What the groups of a two-group totals reply hold. Both are found in the field,
// and the host reads only the last group.
enum class TTotalsLayout {
  Sum,       // earlier groups hold nozzles 1, 2, ...; the last one the whole pump
  PerNozzle, // group k holds nozzle k's own counter, so the last group is a nozzle's
};

struct TPumpConfig {
  std::uint8_t Address = 1; // 1..31
  int Nozzles = 1;          // 1..4
  // Flow in hundredths of a litre per second (50: 30 litres a minute).
  std::int64_t FlowRate = 50;
  // From authorisation with a lifted nozzle until fuel flows.
  std::int64_t StartDelayMs = 2000;
  TTotalsLayout Totals = TTotalsLayout::Sum;
  // A simulated customer: lifts a nozzle after IdleMs idle (or IdleMs after the
  // pump was authorised in advance), stops a fill without a dose after 10 to 30
  // litres, hangs it up HangMs after the fill has ended. Off for scripted use.
  bool AutoCustomer = false;
  std::int64_t IdleMs = 5000;
  std::int64_t HangMs = 3000;
  // A customer whose lifted nozzle is not served within WaitMs hangs it up and
  // comes back later; 0: waits for ever.
  std::int64_t WaitMs = 0;
  // Keeps every completed fill (FillLog), for tests that account for each one.
  bool LogFills = false;
  // Hundredths of a litre a dosed fill runs past its dose: the valve closes a
  // little late, as on real pumps (a few centilitres). 0: it stops on the dose.
  std::int64_t Overrun = 0;
};

// A completed fill, as the pump measured it.
struct TFillRecord {
  int Nozzle = 0;
  std::int64_t Volume = 0;  // hundredths of a litre
  std::int64_t Amount = 0;  // hundredths of money
  std::int64_t EndedMs = 0; // by the station's clock
  bool operator==(const TFillRecord &) const = default;
};

// What the pump holds, for displays and tests.
struct TPumpView {
  TPumpState State = TPumpState::Idle;
  int Lifted = 0;                                // lifted nozzle, 0 for none
  int Active = 0;                                // nozzle of the current or last fill
  std::int64_t FillVolume = 0;                   // hundredths of a litre
  std::int64_t FillAmount = 0;                   // hundredths of money
  std::int64_t Dose = 0;                         // hundredths of a litre, 0 for none
  std::array<std::int32_t, PumpGrades> Prices{}; // hundredths, grade k for nozzle k
  std::array<std::int64_t, MaxNozzles> TotalVolume{};
  std::array<std::int64_t, MaxNozzles> TotalAmount{};
  std::uint8_t Status = 0;
  int LastUnblockCode = -1;
  int Fills = 0; // fills completed
};

class TSimPump {
public:
  explicit TSimPump(const TPumpConfig &Config);

  const TPumpConfig &Config() const { return Setup; }

  // The customer. LiftNozzle fails for a nozzle the pump lacks or while another
  // nozzle is lifted. Hanging up ends a fill in progress.
  bool LiftNozzle(int K, std::int64_t Now);
  void HangNozzle(std::int64_t Now);

  // The pump runs into a fault: reports Status until re-initialised.
  void Fail(std::uint8_t Status, std::int64_t Now);
  // The pump locks itself: refuses to start until unblocked.
  void Lock(std::int64_t Now);
  // The pump's own mode switch: in manual mode a lifted nozzle starts a fill
  // without the host (the attendant takes the money), reported on the line as
  // any fill is. Back in automatic mode, a fill under way runs to its end.
  void SetManual(bool Manual, std::int64_t Now);

  // Brings the fill and the simulated customer up to Now.
  void Advance(std::int64_t Now);
  // Whether new customers come to the idle pump (AutoCustomer); one who has
  // paid in advance, or stands at the pump, still finishes.
  void SetArrivals(bool Open) { Arrivals = Open; }

  // Answers a command carrying this pump's address (lead byte first).
  TBytes Answer(const TBytes &Command, std::int64_t Now);
  // Answers a totals request (lead byte 0x02, which carries no address).
  TBytes AnswerTotals(const TBytes &Command, std::int64_t Now);

  TPumpView View() const;
  // Every fill completed since the pump was added, oldest first (LogFills).
  const std::vector<TFillRecord> &FillLog() const { return Log; }
  // The code byte of the command 4 the next execute command would carry out;
  // NoCode when none waits.
  std::uint8_t PendingCode() const;
  std::uint8_t StatusByte() const;
  std::array<std::uint8_t, MaxNozzles> Nibbles() const;

private:
  bool Lift(int K, std::int64_t Now);
  void Hang(std::int64_t Now);
  void Execute(std::int64_t Now);
  void Authorise(std::int64_t Now);
  void Stop(std::int64_t Now);
  void Reinitialise(std::int64_t Now);
  void EndFill(std::int64_t At);
  void Enter(TPumpState Next, std::int64_t At);
  TPumpState Resting() const; // Idle or Calling, by the nozzle
  std::int64_t FillLimit() const;
  std::int64_t AmountOf(std::int64_t Volume) const;
  TBytes StatusReply(std::uint8_t Lead) const;

  TPumpConfig Setup;
  TPumpView Data;
  TBytes Pending;              // command 4 awaiting its execute command
  std::int64_t StateSince = 0; // when the current state began
  std::int64_t FlowFrom = 0;   // when fuel starts (Authorised) or started (Fuelling)
  std::int32_t FillPrice = 0;  // price of the fill in progress
  std::uint8_t FaultStatus;    // what the pump reports in its fault state
  bool Arrivals = true;
  bool Manual = false;
  std::vector<TFillRecord> Log;
};

} // namespace de30::sim
