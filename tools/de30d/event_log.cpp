#include "event_log.hpp"

#include "json_mapping.hpp"

#include <chrono>
#include <cstdio>

namespace de30::service {
namespace {

std::string Money(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Hundredths(Value));
  return Text;
}

std::string WithReason(std::string Text, const std::string &Reason) {
  return Reason.empty() ? Text : Text + " (" + Reason + ")";
}

} // namespace

TLevel EventLevel(const station::TEvent &Event) {
  using station::TEvent;
  switch (Event.Kind) {
  case TEvent::TKind::Pump:
    // A fill reports its progress several times a second: only with --verbose.
    if (Event.Reason == "fill progress")
      return TLevel::Debug;
    return Event.Pump.State == station::TPointState::Error ||
                   Event.Pump.State == station::TPointState::Offline
               ? TLevel::Warn
               : TLevel::Info;
  case TEvent::TKind::Price:
    return Event.Pump.PriceState == station::TPriceState::Failed ? TLevel::Warn : TLevel::Info;
  case TEvent::TKind::Sale:
    // An open sale is written once a second while it fills: only with --verbose.
    if (Event.Reason == "updated")
      return TLevel::Debug;
    return Event.Sale.Flags.empty() ||
                   (Event.Sale.Flags.size() == 1 && Event.Sale.HasFlag(station::FlagEmpty))
               ? TLevel::Info
               : TLevel::Warn;
  case TEvent::TKind::Line:
    // A reason is news (a capture that failed), told once; health is routine.
    return Event.LineHealth.LastError.empty() && Event.Reason.empty() ? TLevel::Debug
                                                                      : TLevel::Warn;
  case TEvent::TKind::Reservation:
  case TEvent::TKind::Shift:
    return TLevel::Info;
  case TEvent::TKind::Alarm:
    return TLevel::Warn;
  }
  return TLevel::Info;
}

TLevel TLineErrorLimiter::Level(const station::TEvent &Event) {
  const TLevel Usual = EventLevel(Event);
  if (Event.Kind != station::TEvent::TKind::Line || Usual != TLevel::Warn)
    return Usual;
  TSeen &Seen = Lines[Event.LineHealth.Line];
  if (Event.LineHealth.LastErrorMs == Seen.LastErrorMs)
    return TLevel::Debug; // nothing new since the last line about it
  if (Seen.WarnedMs != 0 && Event.AtMs - Seen.WarnedMs < Interval)
    return TLevel::Debug;
  Seen.LastErrorMs = Event.LineHealth.LastErrorMs;
  Seen.WarnedMs = Event.AtMs;
  return TLevel::Warn;
}

std::string DescribeEvent(const station::TEvent &Event) {
  using station::TEvent;
  const std::string Head = "#" + std::to_string(Event.Sequence) + " ";
  switch (Event.Kind) {
  case TEvent::TKind::Pump: {
    const auto &P = Event.Pump;
    std::string Text = Head + "pump " + P.Id() + " " + station::PointStateName(P.State);
    if (P.Nozzle != 0)
      Text += " nozzle " + std::to_string(P.Nozzle) + " grade " + std::to_string(P.Grade);
    if (P.State == station::TPointState::Fuelling || P.State == station::TPointState::Completed)
      Text += " " + Money(P.Volume) + " l " + Money(P.Amount);
    return WithReason(Text, Event.Reason.empty() ? P.Reason : Event.Reason);
  }
  case TEvent::TKind::Price:
    return WithReason(Head + "prices of pump " + Event.Pump.Id() + " " +
                          station::PriceStateName(Event.Pump.PriceState),
                      Event.Pump.PriceReason);
  case TEvent::TKind::Sale: {
    const auto &S = Event.Sale;
    std::string Text = Head + "sale " + std::to_string(S.Id) + " pump " + S.PumpId() + " " +
                       station::SaleStateName(S.State) + " " + Money(S.Volume) + " l " +
                       Money(S.Amount);
    if (!S.LockedBy.empty())
      Text += " by " + S.LockedBy;
    for (const auto &Flag : S.Flags)
      Text += " [" + Flag + "]";
    return WithReason(Text, Event.Reason);
  }
  case TEvent::TKind::Reservation: {
    const auto &R = Event.Reservation;
    return WithReason(Head + "pump " + std::to_string(R.Line) + ":" + std::to_string(R.Pump) +
                          " reserved for " + R.Client + " until " + station::IsoTime(R.UntilMs),
                      Event.Reason);
  }
  case TEvent::TKind::Alarm: {
    const auto &A = Event.Alarm;
    return WithReason(Head + "alarm pump " + A.PumpId() +
                          (A.Nozzle ? " nozzle " + std::to_string(A.Nozzle) : std::string()) +
                          " " + Money(A.Volume) + " l without a sale",
                      A.Kind);
  }
  case TEvent::TKind::Shift: {
    const auto &S = Event.Shift;
    return WithReason(Head + "shift " + std::to_string(S.Id) + " closed by " + S.ClosedBy +
                          ", " + std::to_string(S.Pending.size()) + " sales not cleared",
                      Event.Reason);
  }
  case TEvent::TKind::Line: {
    const auto &L = Event.LineHealth;
    return WithReason(Head + "line " + std::to_string(L.Line) + " " + std::to_string(L.Polls) +
                          " polls, " + std::to_string(L.Timeouts) + " timeouts, " +
                          std::to_string(L.Rejected) + " rejected" +
                          (L.LastError.empty() ? "" : ", last error: " + L.LastError),
                      Event.Reason);
  }
  }
  return Head;
}

TEventLog::TEventLog(station::TEventBus &Bus) : Subscription(Bus.Subscribe()) {
  Writer = std::thread([this] {
    station::TEvent Event;
    TLineErrorLimiter Limiter;
    while (!Stopping) {
      const auto Asked = std::chrono::steady_clock::now();
      if (Subscription->Next(Event, 200)) {
        Log(Limiter.Level(Event), DescribeEvent(Event));
      } else if (Subscription->Overflowed()) {
        Log(TLevel::Warn, "the event log fell behind and stops");
        return;
      } else if (std::chrono::steady_clock::now() - Asked < std::chrono::milliseconds(100)) {
        return; // the bus has closed
      }
    }
  });
}

TEventLog::~TEventLog() { Stop(); }

void TEventLog::Stop() {
  Stopping = true;
  if (Writer.joinable())
    Writer.join();
}

} // namespace de30::service
