#pragma once
// The station's objects under the interface's fixed names (docs/api.md). Clients
// rely on these names; new fields may be added, none renamed.

#include "station/config.hpp"
#include "station/events.hpp"
#include "station/journal.hpp"
#include "station/sale.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <string>

namespace de30::service {

using TJson = nlohmann::json;

// Money and volumes as the pump shows them: hundredths, without binary noise.
double Hundredths(double Value);

TJson PresetJson(const station::TPreset &Preset); // {"litres": x}, {"money": x} or null
TJson TotalsJson(const station::TTotals &Totals); // null when the pump's totals are unknown
TJson PumpJson(const station::TPumpSnapshot &Pump);
// Whether the journal takes writes: {"ok", "error", "since", "failures"}.
TJson JournalHealthJson(const station::TJournalHealth::TState &State);
// A pump's reservation: pump, client, since, until.
TJson ReservationJson(const station::TReservation &Reservation);
TJson SaleJson(const station::TSale &Sale);
// Fuel without a sale: id, pump, nozzle (0: not known), volume, amount, at, kind.
TJson AlarmJson(const station::TAlarm &Alarm);
// A shift (docs/api.md): the open one without its figures, a closed one with them.
TJson ShiftJson(const station::TShift &Shift);
TJson LineJson(const station::TLineSnapshot &Line);
TJson PricesJson(const std::map<int, double> &Prices); // {"1": 45.5}
// The station's name and its grades' names: {"id": "station-7", "grades": {"1": "A-95"}}.
TJson StationJson(const station::TStationConfig &Config);
// The object an event carries: the pump for pump and price events, the sale, the
// line, the reservation, the alarm.
TJson EventJson(const station::TEvent &Event);
TJson ErrorJson(const std::string &Code, const std::string &Message);

} // namespace de30::service
