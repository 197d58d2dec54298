#include "json_mapping.hpp"

#include <cmath>

namespace de30::service {

using namespace station;

double Hundredths(double Value) { return std::round(Value * 100.0) / 100.0; }

TJson PresetJson(const TPreset &Preset) {
  switch (Preset.Kind) {
  case TPreset::TKind::Litres:
    return {{"litres", Hundredths(Preset.Value)}};
  case TPreset::TKind::Money:
    return {{"money", Hundredths(Preset.Value)}};
  case TPreset::TKind::None:
    break;
  }
  return nullptr;
}

TJson TotalsJson(const TTotals &Totals) {
  if (!Totals.Known)
    return nullptr;
  return {{"volume", Hundredths(Totals.Volume)}, {"amount", Hundredths(Totals.Amount)}};
}

TJson PumpJson(const TPumpSnapshot &Pump) {
  TJson Prices = TJson::array();
  for (double Price : Pump.Prices)
    Prices.push_back(Hundredths(Price));
  return {
      {"id", Pump.Id()},
      {"line", Pump.Line},
      {"pump", Pump.Pump},
      {"state", PointStateName(Pump.State)},
      {"nozzle", Pump.Nozzle},
      {"grade", Pump.Grade},
      {"nozzles", Pump.NozzleCount},
      {"volume", Hundredths(Pump.Volume)},
      {"amount", Hundredths(Pump.Amount)},
      {"preset", PresetJson(Pump.Preset)},
      {"price_state", PriceStateName(Pump.PriceState)},
      {"price_reason", Pump.PriceReason.empty() ? TJson(nullptr) : TJson(Pump.PriceReason)},
      {"prices", Prices},
      {"sale", Pump.SaleId == 0 ? TJson(nullptr) : TJson(Pump.SaleId)},
      {"last_code", Pump.LastCode},
      {"auto_authorize", Pump.AutoAuthorize},
      // On a tap line: followed from another controller's exchanges, never commanded.
      {"observed", Pump.Observed},
      {"reason", Pump.Reason},
  };
}

TJson SaleJson(const TSale &Sale) {
  const bool Open = Sale.State == TSaleState::Open;
  return {
      {"id", Sale.Id},
      {"pump", Sale.PumpId()},
      {"nozzle", Sale.Nozzle},
      {"grade", Sale.Grade},
      {"price", Hundredths(Sale.Price)},
      {"preset", PresetJson(Sale.Preset)},
      {"volume", Hundredths(Sale.Volume)},
      {"amount", Hundredths(Sale.Amount)},
      {"start_totals", TotalsJson(Sale.StartTotals)},
      // An open sale has no end totals yet, whatever the struct holds.
      {"end_totals", Open ? TJson(nullptr) : TotalsJson(Sale.EndTotals)},
      {"state", SaleStateName(Sale.State)},
      {"locked_by", Sale.LockedBy.empty() ? TJson(nullptr) : TJson(Sale.LockedBy)},
      {"started", IsoTime(Sale.StartedMs)},
      {"ended", Open || Sale.EndedMs == 0 ? TJson(nullptr) : TJson(IsoTime(Sale.EndedMs))},
      {"flags", Sale.Flags},
      // Money paid in advance (a money preset), and what goes back of it once the
      // sale closed short; 0 for none.
      {"prepaid", Hundredths(Sale.Prepaid)},
      {"refund", Hundredths(Sale.Refund)},
      // Heard on a tap line: another controller's sale, never locked or cleared here.
      {"observed", Sale.Observed},
  };
}

TJson AlarmJson(const TAlarm &Alarm) {
  return {
      {"id", Alarm.Id},
      {"pump", Alarm.PumpId()},
      {"nozzle", Alarm.Nozzle},
      {"volume", Hundredths(Alarm.Volume)},
      {"amount", Hundredths(Alarm.Amount)},
      {"at", IsoTime(Alarm.AtMs)},
      {"kind", Alarm.Kind},
  };
}

namespace {

// A pump's totals at a shift's open or close: null when not known (the reason
// goes beside it).
TJson ShiftTotalsJson(const TShiftTotals &Totals) {
  if (!Totals.Known)
    return nullptr;
  return {{"volume", Hundredths(Totals.Volume)},
          {"amount", Hundredths(Totals.Amount)},
          {"read", IsoTime(Totals.ReadMs)},
          {"sale", Totals.SaleId ? TJson(Totals.SaleId) : TJson(nullptr)}};
}

TJson Missing(const TShiftTotals &Totals) {
  return Totals.Known ? TJson(nullptr) : TJson(Totals.Missing);
}

} // namespace

TJson ShiftJson(const TShift &Shift) {
  TJson Nozzles = TJson::array();
  for (const auto &Row : Shift.Nozzles)
    Nozzles.push_back({
        {"pump", Row.PumpId()},
        {"nozzle", Row.Nozzle},
        {"grade", Row.Grade},
        {"open_totals", ShiftTotalsJson(Row.Open)},
        {"open_missing", Missing(Row.Open)},
        {"close_totals", ShiftTotalsJson(Row.Close)},
        {"close_missing", Missing(Row.Close)},
        {"sales",
         {{"count", Row.Sales},
          {"volume", Hundredths(Row.Volume)},
          {"amount", Hundredths(Row.Amount)}}},
        {"difference", Row.HasDifference()
                           ? TJson{{"volume", Hundredths(Row.DifferenceVolume())},
                                   {"amount", Hundredths(Row.DifferenceAmount())}}
                           : TJson(nullptr)},
    });
  TJson Grades = TJson::array();
  for (const auto &Grade : Shift.Grades)
    Grades.push_back({{"grade", Grade.Grade},
                      {"count", Grade.Sales},
                      {"volume", Hundredths(Grade.Volume)},
                      {"amount", Hundredths(Grade.Amount)}});
  TJson Clients = TJson::array();
  for (const auto &Client : Shift.Clients)
    Clients.push_back({{"client", Client.Client},
                       {"count", Client.Sales},
                       {"volume", Hundredths(Client.Volume)},
                       {"amount", Hundredths(Client.Amount)}});
  TJson Pending = TJson::array();
  for (const auto &Sale : Shift.Pending)
    Pending.push_back(
        {{"id", Sale.SaleId},
         {"pump", Sale.PumpId()},
         {"state", SaleStateName(Sale.State)},
         {"locked_by", Sale.LockedBy.empty() ? TJson(nullptr) : TJson(Sale.LockedBy)},
         {"volume", Hundredths(Sale.Volume)},
         {"amount", Hundredths(Sale.Amount)},
         {"started", IsoTime(Sale.StartedMs)},
         {"ended", Sale.EndedMs ? TJson(IsoTime(Sale.EndedMs)) : TJson(nullptr)}});
  return {
      {"id", Shift.Id},
      {"state", Shift.Closed() ? "closed" : "open"},
      {"opened", IsoTime(Shift.OpenedMs)},
      {"closed", Shift.Closed() ? TJson(IsoTime(Shift.ClosedMs)) : TJson(nullptr)},
      {"closed_by", Shift.Closed() ? TJson(Shift.ClosedBy) : TJson(nullptr)},
      {"nozzles", Nozzles},
      {"grades", Grades},
      {"clients", Clients},
      {"pending", {{"count", Shift.Pending.size()}, {"sales", Pending}}},
      {"uploaded", Shift.Uploaded},
  };
}

namespace {

// Milliseconds to the microsecond.
double Micros(double Ms) { return std::round(Ms * 1000.0) / 1000.0; }

TJson LatencyJson(const TLineSnapshot &Line) {
  if (Line.LatencySamples == 0)
    return nullptr;
  return {{"median", Micros(Line.LatencyMedianMs)},
          {"p95", Micros(Line.LatencyP95Ms)},
          {"max", Micros(Line.LatencyMaxMs)},
          {"exchanges", Line.LatencySamples}};
}

TJson CaptureJson(const TLineSnapshot::TCapture &Capture) {
  if (Capture.File.empty())
    return nullptr;
  return {{"file", Capture.File},
          {"exchanges", Capture.Exchanges},
          {"bytes", Capture.Bytes},
          {"failure", Capture.Failure.empty() ? TJson(nullptr) : TJson(Capture.Failure)}};
}

TJson LineErrorsJson(const std::optional<capture::TLineErrors> &Errors) {
  if (!Errors)
    return nullptr;
  return {{"framing", Errors->Framing},
          {"parity", Errors->Parity},
          {"overrun", Errors->Overrun},
          {"break", Errors->Break}};
}

TJson HeardJson(const TLineSnapshot &Line) {
  if (!Line.Tap)
    return nullptr;
  return {{"bytes", Line.Heard.Bytes},
          {"garbage_bytes", Line.Heard.GarbageBytes},
          {"garbage_pieces", Line.Heard.GarbagePieces},
          {"stray_replies", Line.Heard.StrayReplies},
          {"stray_bytes", Line.Heard.StrayBytes}};
}

} // namespace

TJson LineJson(const TLineSnapshot &Line) {
  TJson ByNumber = TJson::object();
  for (const auto &[Number, Count] : Line.ErrorsByNumber)
    ByNumber[std::to_string(Number)] = Count;
  return {
      {"line", Line.Line},
      {"cycle_ms", Line.CycleMs},
      {"cycles", Line.Cycles},
      {"polls", Line.Polls},
      {"timeouts", Line.Timeouts},
      {"rejected", Line.Rejected},
      {"channel_errors", Line.ChannelErrors},
      {"errors_by_number", ByNumber},
      {"last_error", Line.LastError.empty() ? TJson(nullptr) : TJson(Line.LastError)},
      {"last_error_at",
       Line.LastErrorMs == 0 ? TJson(nullptr) : TJson(IsoTime(Line.LastErrorMs))},
      {"latency_ms", LatencyJson(Line)},
      {"wire_use", Hundredths(Line.WireUse)},
      {"window_s", Micros(Line.WindowS)},
      {"capture", CaptureJson(Line.Capture)},
      {"line_errors", LineErrorsJson(Line.LineErrors)},
      {"tap", Line.Tap},
      {"heard", HeardJson(Line)},
  };
}

TJson PricesJson(const std::map<int, double> &Prices) {
  TJson Result = TJson::object();
  for (const auto &[Grade, Price] : Prices)
    Result[std::to_string(Grade)] = Hundredths(Price);
  return Result;
}

TJson StationJson(const TStationConfig &Config) {
  TJson Grades = TJson::object();
  for (const auto &Grade : Config.Grades)
    Grades[std::to_string(Grade.Number)] = Grade.Name;
  return {{"id", Config.StationId}, {"grades", Grades}};
}

TJson EventJson(const TEvent &Event) {
  switch (Event.Kind) {
  case TEvent::TKind::Pump:
  case TEvent::TKind::Price:
    return PumpJson(Event.Pump);
  case TEvent::TKind::Sale:
    return SaleJson(Event.Sale);
  case TEvent::TKind::Line:
    return LineJson(Event.LineHealth);
  case TEvent::TKind::Reservation: {
    TJson Reservation = ReservationJson(Event.Reservation);
    // What happened to it: reserved, released, expired, cleared or replaced.
    Reservation["reason"] = Event.Reason;
    return Reservation;
  }
  case TEvent::TKind::Alarm:
    return AlarmJson(Event.Alarm);
  case TEvent::TKind::Shift:
    return ShiftJson(Event.Shift);
  }
  return nullptr;
}

TJson JournalHealthJson(const TJournalHealth::TState &State) {
  return {{"ok", !State.Failing},
          {"error", State.Failing ? TJson(State.Error) : TJson(nullptr)},
          {"since", State.Failing ? TJson(IsoTime(State.SinceMs)) : TJson(nullptr)},
          {"failures", State.Failures}};
}

TJson ReservationJson(const TReservation &Reservation) {
  return {{"pump", std::to_string(Reservation.Line) + ":" + std::to_string(Reservation.Pump)},
          {"client", Reservation.Client},
          {"since", IsoTime(Reservation.SinceMs)},
          {"until", IsoTime(Reservation.UntilMs)}};
}

TJson ErrorJson(const std::string &Code, const std::string &Message) {
  return {{"error", Code}, {"message", Message}};
}

} // namespace de30::service
