#pragma once
// A simulated station: pumps on lines, the byte stream of each line cut into
// commands, replies spoiled by the fault injector. Safe to use from several
// threads: a served station answers on its own thread while a test or the
// monitor moves its customers.

#include "sim/clock.hpp"
#include "sim/faults.hpp"
#include "sim/frames.hpp"
#include "sim/pump.hpp"
#include "sim/responder.hpp"

#include <map>
#include <mutex>
#include <vector>

namespace de30::sim {

// A reply a fault rule spoiled, for tests that show what happened around a
// failure.
struct TSpoiledReply {
  std::int64_t AtMs = 0; // by the station's clock
  int Line = 0;
  int Pump = 0; // the pump the frame addressed (for totals: the one that answers)
  TFaultKind Kind = TFaultKind::NoReply;
  TFrameAim Aim;
};

struct TPumpPlace {
  int Line = 1;
  TPumpConfig Pump;
};

// The station the tools run without real lines: line 1 with pump 1 (one nozzle)
// and pump 2 (two nozzles), line 2 with pump 3 (four nozzles), whose customers
// (when AutoCustomers) arrive at different times.
std::vector<TPumpPlace> DefaultStation(bool AutoCustomers);

class TSimStation final : public TLineResponder {
public:
  explicit TSimStation(const TSimClock &Clock);

  // Adds a pump; false when the line already has one at that address or the
  // address lies outside 1..31.
  bool AddPump(int Line, const TPumpConfig &Config);
  bool HasLine(int Line) const;
  bool HasPump(int Line, int Address) const;
  std::vector<TPumpPlace> Pumps() const;

  // Bytes arriving on a line; returns the replies, in order. Commands to an
  // address without a pump get none, as on a real line.
  std::vector<TReply> Receive(int Line, const std::uint8_t *Data, std::size_t Count) override;

  // The customer and the pump's own faults; false for an unknown pump.
  bool LiftNozzle(int Line, int Address, int Nozzle);
  bool HangNozzle(int Line, int Address);
  bool Fail(int Line, int Address, std::uint8_t Status);
  bool Lock(int Line, int Address);
  // The pump's mode switch (TSimPump::SetManual).
  bool SetManual(int Line, int Address, bool Manual);
  // The pump brought up to the clock's time; ERangeError for an unknown pump.
  TPumpView View(int Line, int Address);
  // Its completed fills, oldest first, when its configuration keeps them
  // (LogFills); ERangeError for an unknown pump.
  std::vector<TFillRecord> FillLog(int Line, int Address);
  // Whether new simulated customers come to idle pumps: closed, those already
  // at a pump (or who paid in advance) still finish, and the station falls idle.
  void SetArrivals(bool Open);

  void AddFault(const TFaultRule &Rule);
  // Lifts every fault rule: a line that failed for a while recovers.
  void ClearFaults();
  void SeedFaults(std::uint32_t Seed);

  // Frames handled, garbage bytes skipped and replies a fault rule spoiled on a
  // line.
  std::size_t Frames(int Line) const;
  std::size_t Garbage(int Line) const;
  std::size_t Spoiled(int Line) const;
  // Keeps every spoiled reply from now on (off by default: a long run would
  // grow without end), and what was kept, oldest first.
  void KeepSpoiledLog(bool Keep);
  std::vector<TSpoiledReply> SpoiledLog() const;

private:
  struct TLine {
    std::map<int, TSimPump> Pumps;
    TFrameParser Parser;
    // The pump last addressed among those present: it answers totals requests.
    int Selected = 0;
    std::size_t Frames = 0;
    std::size_t Spoiled = 0;
  };
  TSimPump *Find(int Line, int Address);
  TReply Handle(int LineNumber, TLine &Line, const TBytes &Command);

  const TSimClock &Clock;
  mutable std::mutex Guard;
  std::map<int, TLine> Lines;
  TFaultInjector Faults;
  bool KeepSpoiled = false;
  std::vector<TSpoiledReply> SpoiledReplies;
};

} // namespace de30::sim
