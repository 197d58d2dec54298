#include "station/reservations.hpp"

namespace de30::station {

using TStatus = TCommandResult::TStatus;

namespace {

std::string PumpName(int Line, int Pump) {
  return std::to_string(Line) + ":" + std::to_string(Pump);
}

TCommandResult ReservedRefusal(const TReservation &Held) {
  return TCommandResult::Fail(TStatus::Reserved, "pump " + PumpName(Held.Line, Held.Pump) +
                                                     " is reserved for " + Held.Client +
                                                     " until " + IsoTime(Held.UntilMs));
}

// Another client holds the pump now (one whose time is up holds nothing, whether
// or not the housekeeping has ended it yet).
bool HeldByAnother(const TReservation &Held, const std::string &Client, std::int64_t NowMs) {
  return Held.UntilMs > NowMs && Held.Client != Client;
}

} // namespace

TReservations::TReservations(TJournal &Journal, TEventBus &Events)
    : Book(Journal), Bus(Events) {
  for (const TReservation &Reservation : Book.ActiveReservations())
    Held[{Reservation.Line, Reservation.Pump}] = Reservation;
}

std::optional<TCommandResult> TReservations::Refusal(int Line, int Pump,
                                                     const std::string &Client,
                                                     std::int64_t NowMs) const {
  std::lock_guard Lock(Guard);
  const auto Found = Held.find({Line, Pump});
  if (Found == Held.end() || !HeldByAnother(Found->second, Client, NowMs))
    return std::nullopt;
  return ReservedRefusal(Found->second);
}

TCommandResult TReservations::Reserve(int Line, int Pump, const std::string &Client,
                                      std::int64_t Seconds, std::int64_t NowMs) {
  if (Client.empty())
    return TCommandResult::Fail(TStatus::BadValue, "a reservation needs the client's name");
  if (Seconds < 1 || Seconds > MaxReservationS)
    return TCommandResult::Fail(TStatus::BadValue, "a reservation lasts 1.." +
                                                       std::to_string(MaxReservationS) +
                                                       " seconds");
  TReservation Made;
  {
    std::lock_guard Lock(Guard);
    const auto Found = Held.find({Line, Pump});
    if (Found != Held.end() && HeldByAnother(Found->second, Client, NowMs))
      return ReservedRefusal(Found->second);
    TReservation Asked{0, Line, Pump, Client, NowMs, NowMs + Seconds * 1000};
    try {
      Made = Book.Reserve(Asked);
    } catch (const EJournalError &E) {
      return TCommandResult::Fail(TStatus::Journal, E.what());
    }
    Held[{Line, Pump}] = Made;
  }
  Publish(Made, "reserved");
  return TCommandResult{};
}

TCommandResult TReservations::Release(int Line, int Pump, const std::string &Client,
                                      bool Force) {
  TReservation Ended;
  {
    std::lock_guard Lock(Guard);
    const auto Found = Held.find({Line, Pump});
    if (Found == Held.end())
      return TCommandResult::Fail(TStatus::WrongState,
                                  "pump " + PumpName(Line, Pump) + " is not reserved");
    if (Found->second.Client != Client && !Force)
      return ReservedRefusal(Found->second);
    Ended = Found->second;
    try {
      Book.EndReservation(Line, Pump, "released");
    } catch (const EJournalError &E) {
      return TCommandResult::Fail(TStatus::Journal, E.what());
    }
    Held.erase(Found);
  }
  Publish(Ended, "released");
  return TCommandResult{};
}

bool TReservations::End(int Line, int Pump, const std::string &Reason) {
  TReservation Ended;
  {
    std::lock_guard Lock(Guard);
    const auto Found = Held.find({Line, Pump});
    if (Found == Held.end())
      return false;
    Ended = Found->second;
    // A journal that fails leaves the reservation held: the next look ends it.
    try {
      Book.EndReservation(Line, Pump, Reason);
    } catch (const EJournalError &) {
      return false;
    }
    Held.erase(Found);
  }
  Publish(Ended, Reason);
  return true;
}

void TReservations::SaleCleared(const TSale &Sale) {
  const auto Current = Of(Sale.Line, Sale.Pump);
  // A sale from before the reservation (the previous customer's) leaves it be.
  if (Current && Sale.StartedMs >= Current->SinceMs)
    End(Sale.Line, Sale.Pump, "cleared");
}

void TReservations::Expire(std::int64_t NowMs) {
  for (const TReservation &Reservation : All())
    if (Reservation.UntilMs <= NowMs)
      End(Reservation.Line, Reservation.Pump, "expired");
}

std::optional<TReservation> TReservations::Of(int Line, int Pump) const {
  std::lock_guard Lock(Guard);
  const auto Found = Held.find({Line, Pump});
  if (Found == Held.end())
    return std::nullopt;
  return Found->second;
}

std::vector<TReservation> TReservations::All() const {
  std::lock_guard Lock(Guard);
  std::vector<TReservation> List;
  for (const auto &[Pump, Reservation] : Held)
    List.push_back(Reservation);
  return List;
}

void TReservations::Publish(const TReservation &Reservation, const std::string &Reason) {
  TEvent Event;
  Event.Kind = TEvent::TKind::Reservation;
  Event.Reason = Reason;
  Event.Reservation = Reservation;
  Bus.Publish(std::move(Event));
}

} // namespace de30::station
