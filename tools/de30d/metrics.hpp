#pragma once
// GET /metrics: the station in the Prometheus text format (docs/metrics.md). Line
// health and pump states come from the station's snapshots, sales and the
// journal's size from the journal, the uplink's state from the uplink.

#include "station/station.hpp"

#include <string>

namespace de30::service {

class TUplink;

// Every metric of the station as one exposition. Uplink is null when no uplink is
// configured: the uplink's metrics are then left out. EJournalError when the
// journal cannot be read.
std::string StationMetrics(station::TStation &Station, const TUplink *Uplink);

} // namespace de30::service
