#pragma once
// The head-office uplink (docs/uplink.md): every closed sale and every change of
// a pump's state published to an MQTT broker with libmosquitto, on a thread of its
// own so that a slow or absent broker never holds up the station.
//
// Sales are delivered at least once, driven from the journal: a sale is marked
// uploaded only after the broker has acknowledged it (QoS 1, its PUBACK). While
// the broker or the network is away, sales wait in the journal; when it is back
// they go out lowest id first. A sale whose acknowledgement was lost with the
// connection is sent again, so the office drops duplicates by station and sale id.

#include "json_mapping.hpp"
#include "station/config.hpp"
#include "station/station.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace de30::service {

struct TUplinkOptions {
  // Pause before the first reconnection attempt; each further failure doubles
  // it up to RetryMax.
  std::chrono::milliseconds RetryFirst{1000};
  std::chrono::milliseconds RetryMax{30000};
  // A broker that has not accepted the connection by then counts as away.
  std::chrono::milliseconds ConnectTimeout{10000};
  // Sales published and not yet acknowledged at any one time.
  int Window = 20;
  // How often the journal is looked at when no sale event said so (a sale
  // closed while the event queue was dropped, a mark that failed).
  std::chrono::milliseconds BacklogPoll{2000};
  // While the broker stays away, a reminder with the backlog this often.
  std::chrono::milliseconds AwayReport{600000};
};

// What /metrics shows of the uplink.
struct TUplinkStatus {
  bool Connected = false;
  std::uint64_t Acknowledged = 0; // sales the broker acknowledged since the start
  std::uint64_t Connections = 0;  // connections the broker accepted since the start
};

// The message of a sale: the interface's sale object with "station" added.
TJson SaleMessage(const station::TSale &Sale, const std::string &StationId);
// The message of a pump state: the interface's pump object with "station" and
// "at" (when the pump entered the state, or when de30d last saw it) added.
TJson PumpMessage(const station::TPumpSnapshot &Pump, const std::string &StationId,
                  std::int64_t AtMs);
// The station's retained status: online, or (the broker's last will, and a clean
// stop) offline.
TJson StatusMessage(const std::string &StationId, bool Online);

class TUplink {
public:
  TUplink(station::TStation &Station, station::TUplinkConfig Config,
          TUplinkOptions Options = {});
  ~TUplink(); // stops
  TUplink(const TUplink &) = delete;
  TUplink &operator=(const TUplink &) = delete;

  // Connects (and keeps reconnecting) on a thread of its own.
  void Start();
  // Says offline to the broker when connected, then disconnects. Sales not yet
  // acknowledged stay due in the journal.
  void Stop();

  TUplinkStatus Status() const;
  const station::TUplinkConfig &Config() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

} // namespace de30::service
