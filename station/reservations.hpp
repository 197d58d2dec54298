#pragma once
// The station's reservations: which pump is held for which client, kept in the
// journal (so they survive a restart) and told to clients as events. Safe from
// any thread.

#include "station/command_result.hpp"
#include "station/events.hpp"
#include "station/journal.hpp"
#include "station/reservation.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace de30::station {

class TReservations {
public:
  // Loads the reservations the journal holds (EJournalError when it cannot).
  TReservations(TJournal &Book, TEventBus &Bus);

  // Why Client may not authorise, stop or unblock the pump; nothing when it may
  // (the pump is not reserved, or reserved for Client).
  std::optional<TCommandResult> Refusal(int Line, int Pump, const std::string &Client,
                                        std::int64_t NowMs) const;
  // Holds the pump for Client for Seconds (a client's own reservation is
  // renewed); refused while another client holds it.
  TCommandResult Reserve(int Line, int Pump, const std::string &Client, std::int64_t Seconds,
                         std::int64_t NowMs);
  // Ends Client's reservation; another client's only with Force.
  TCommandResult Release(int Line, int Pump, const std::string &Client, bool Force);
  // A sale was cleared: the reservation it was sold under ends with it.
  void SaleCleared(const TSale &Sale);
  // Ends the reservations whose time is up.
  void Expire(std::int64_t NowMs);

  std::optional<TReservation> Of(int Line, int Pump) const;
  std::vector<TReservation> All() const;

private:
  bool End(int Line, int Pump, const std::string &Reason);
  void Publish(const TReservation &Reservation, const std::string &Reason);

  TJournal &Book;
  TEventBus &Bus;
  mutable std::mutex Guard;
  std::map<std::pair<int, int>, TReservation> Held;
};

} // namespace de30::station
