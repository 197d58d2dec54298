#include "station/events.hpp"

#include <algorithm>
#include <chrono>

namespace de30::station {

void TCycleHistogram::Observe(double Seconds) {
  for (std::size_t I = 0; I < CycleBucketsSeconds.size(); ++I)
    if (Seconds <= CycleBucketsSeconds[I])
      ++AtMost[I];
  ++Count;
  SumSeconds += Seconds;
}

// Every subscriber's queue is guarded by the bus's one mutex: a publish touches
// all queues at once, and a single lock keeps the order the same in each.

bool TEventBus::TSubscription::Next(TEvent &Event, int TimeoutMs) {
  auto *Owner = Bus;
  if (!Owner)
    return false;
  std::unique_lock Lock(Owner->Guard);
  const auto Ready = [&] { return Owner->Closed || Dropped || !Queue.empty(); };
  if (!Owner->Changed.wait_for(Lock, std::chrono::milliseconds(std::max(TimeoutMs, 0)), Ready))
    return false;
  if (Owner->Closed || Dropped)
    return false;
  Event = std::move(Queue.front());
  Queue.pop_front();
  return true;
}

bool TEventBus::TSubscription::Overflowed() const {
  if (!Bus)
    return Dropped;
  std::lock_guard Lock(Bus->Guard);
  return Dropped;
}

TEventBus::TSubscription::~TSubscription() {
  if (Bus)
    Bus->Unsubscribe(this);
}

TEventBus::~TEventBus() {
  std::lock_guard Lock(Guard);
  for (auto *Subscriber : Subscribers)
    Subscriber->Bus = nullptr;
  Subscribers.clear();
}

std::shared_ptr<TEventBus::TSubscription> TEventBus::Subscribe() {
  auto Subscriber = std::make_shared<TSubscription>();
  Subscriber->Bus = this;
  std::lock_guard Lock(Guard);
  Subscribers.push_back(Subscriber.get());
  return Subscriber;
}

TEventBus::TResumed TEventBus::SubscribeAfter(std::uint64_t After) {
  TResumed Resumed;
  Resumed.Subscription = std::make_shared<TSubscription>();
  Resumed.Subscription->Bus = this;
  std::lock_guard Lock(Guard);
  Subscribers.push_back(Resumed.Subscription.get());
  Resumed.Sequence = Sequence;
  const std::uint64_t Oldest = Recent.empty() ? Sequence + 1 : Recent.front().Sequence;
  Resumed.Complete = After <= Sequence && After + 1 >= Oldest;
  if (Resumed.Complete)
    for (auto Missed = Recent.begin() + static_cast<std::ptrdiff_t>(After + 1 - Oldest);
         Missed != Recent.end(); ++Missed)
      Resumed.Subscription->Queue.push_back(*Missed);
  return Resumed;
}

void TEventBus::Publish(TEvent Event) {
  {
    std::lock_guard Lock(Guard);
    Event.Sequence = ++Sequence;
    Event.AtMs = NowEpochMs();
    if (Closed)
      return;
    if (Recent.size() == Kept)
      Recent.pop_front();
    Recent.push_back(Event);
    for (auto Subscriber = Subscribers.begin(); Subscriber != Subscribers.end();) {
      auto &Queue = (*Subscriber)->Queue;
      if (Queue.size() < MaxQueued) {
        Queue.push_back(Event);
        ++Subscriber;
        continue;
      }
      // Holding on would let one stalled client grow the service without bound;
      // it is told, and reconnects to start from the pumps' current state.
      (*Subscriber)->Dropped = true;
      std::deque<TEvent>().swap(Queue);
      Subscriber = Subscribers.erase(Subscriber);
    }
  }
  Changed.notify_all();
}

void TEventBus::Close() {
  {
    std::lock_guard Lock(Guard);
    Closed = true;
  }
  Changed.notify_all();
}

std::uint64_t TEventBus::Published() const {
  std::lock_guard Lock(Guard);
  return Sequence;
}

void TEventBus::SetRun(std::uint64_t Run) {
  std::lock_guard Lock(Guard);
  RunNumber = Run;
}

std::uint64_t TEventBus::Run() const {
  std::lock_guard Lock(Guard);
  return RunNumber;
}

std::string TEventBus::EventId(std::uint64_t Of) const {
  return std::to_string(Run()) + "-" + std::to_string(Of);
}

void TEventBus::Unsubscribe(TSubscription *Subscriber) {
  std::lock_guard Lock(Guard);
  Subscribers.erase(std::remove(Subscribers.begin(), Subscribers.end(), Subscriber),
                    Subscribers.end());
}

const char *EventKindName(TEvent::TKind Kind) {
  switch (Kind) {
  case TEvent::TKind::Pump:
    return "pump";
  case TEvent::TKind::Sale:
    return "sale";
  case TEvent::TKind::Price:
    return "price";
  case TEvent::TKind::Line:
    return "line";
  case TEvent::TKind::Reservation:
    return "reservation";
  case TEvent::TKind::Alarm:
    return "alarm";
  case TEvent::TKind::Shift:
    return "shift";
  }
  return "unknown";
}

std::string TPumpSnapshot::Id() const {
  return std::to_string(Line) + ":" + std::to_string(Pump);
}

} // namespace de30::station
