#pragma once
// The head-office uplink (docs/uplink.md): every closed sale and every change of
// a pump's state published to an MQTT broker with libmosquitto, on a thread of its
// own so that a slow or absent broker never holds up the station.
//
// Sales are delivered at least once, driven from the journal: a sale is marked
// uploaded only once the head office says it has committed it (its
// acknowledgement on TOPIC/acks; or, with acknowledged_by = "broker", the
// broker's PUBACK). While the broker, the network or the office is away, sales
// wait in the journal; a sale not acknowledged in time, or when the connection
// comes back, is sent again, lowest id first, so the office keeps each sale once
// by station and sale id. Closed shifts go the same way, on TOPIC/shifts, each
// marked uploaded on its acknowledgement. Alarms go out as they are raised, and the latest ones
// again on each connection.

#include "json_mapping.hpp"
#include "station/config.hpp"
#include "station/station.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  // Alarms sent again on each connection (the latest), and kept for the next
  // one while the broker is away.
  int RecentAlarms = 50;
};

// Why the uplink is not connected, as /metrics shows it.
enum class TUplinkFault {
  None,        // connected, or not tried yet
  Unreachable, // no answer, connection refused or lost, name not found
  Tls,         // the broker's certificate failed verification, or the TLS handshake
  Credentials, // the broker refused the user name or password (or their absence)
  Refused,     // the broker refused the connection for another reason
};
const char *UplinkFaultName(TUplinkFault Fault); // "none", "unreachable", "tls", ...

// What /metrics shows of the uplink.
struct TUplinkStatus {
  bool Connected = false;
  std::uint64_t Acknowledged = 0; // sales acknowledged (and marked) since the start
  std::uint64_t Connections = 0;  // connections the broker accepted since the start
  std::uint64_t Resent = 0;       // sales sent again for want of an acknowledgement
  TUplinkFault Fault = TUplinkFault::None;
  std::string FaultText; // what the log said of it; empty with no fault
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
// An alarm: the interface's alarm object with "station" added.
TJson AlarmMessage(const station::TAlarm &Alarm, const std::string &StationId);
// The sale ids an acknowledgement of the office names for StationId (it arrives
// on TOPIC/acks as {"station": ID, "sales": [IDS]}); empty for a message that is
// not one, or is another station's.
std::vector<std::int64_t> AcknowledgedSales(const std::string &Payload,
                                            const std::string &StationId);
// The shift ids the same message names ({"station": ID, "shifts": [IDS]}; an
// acknowledgement may name sales and shifts together).
std::vector<std::int64_t> AcknowledgedShifts(const std::string &Payload,
                                             const std::string &StationId);
// A closed shift: the interface's shift object with "station" added.
TJson ShiftMessage(const station::TShift &Shift, const std::string &StationId);

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
