// The event bus: every subscriber sees the events in publishing order, a stalled
// one is dropped and told, and closing wakes every waiter.
#include "station/events.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace de30::station {
namespace {

TEvent SaleEvent(std::int64_t Id) {
  TEvent Event;
  Event.Kind = TEvent::TKind::Sale;
  Event.Sale.Id = Id;
  return Event;
}

TEST(EventBus, EverySubscriberGetsWhatWasPublishedAfterItSubscribedInOrder) {
  TEventBus Bus;
  auto Early = Bus.Subscribe();
  Bus.Publish(SaleEvent(1));
  auto Late = Bus.Subscribe();
  const auto Before = NowEpochMs();
  Bus.Publish(SaleEvent(2));
  Bus.Publish(SaleEvent(3));
  EXPECT_EQ(Bus.Published(), 3u);

  TEvent Event;
  for (std::int64_t Id = 1; Id <= 3; ++Id) {
    ASSERT_TRUE(Early->Next(Event, 0));
    EXPECT_EQ(Event.Sale.Id, Id);
    EXPECT_EQ(Event.Sequence, static_cast<std::uint64_t>(Id));
  }
  for (std::int64_t Id = 2; Id <= 3; ++Id) {
    ASSERT_TRUE(Late->Next(Event, 0));
    EXPECT_EQ(Event.Sale.Id, Id);
    EXPECT_GE(Event.AtMs, Before);
  }
  EXPECT_FALSE(Early->Next(Event, 10));
  EXPECT_FALSE(Late->Overflowed());
}

TEST(EventBus, AWaitingSubscriberWakesForAnEventFromAnotherThread) {
  TEventBus Bus;
  auto Subscriber = Bus.Subscribe();
  std::thread Publisher([&] {
    for (std::int64_t Id = 1; Id <= 100; ++Id)
      Bus.Publish(SaleEvent(Id));
  });
  TEvent Event;
  for (std::int64_t Id = 1; Id <= 100; ++Id) {
    ASSERT_TRUE(Subscriber->Next(Event, 10000));
    EXPECT_EQ(Event.Sale.Id, Id);
  }
  Publisher.join();
}

TEST(EventBus, AStalledSubscriberIsDroppedAndToldWhileOthersGoOn) {
  TEventBus Bus;
  auto Stalled = Bus.Subscribe();
  auto Reader = Bus.Subscribe();
  TEvent Event;
  for (std::size_t Index = 1; Index <= TEventBus::MaxQueued; ++Index) {
    Bus.Publish(SaleEvent(static_cast<std::int64_t>(Index)));
    ASSERT_TRUE(Reader->Next(Event, 0));
  }
  // A full queue has lost nothing yet.
  EXPECT_FALSE(Stalled->Overflowed());
  Bus.Publish(SaleEvent(0));
  EXPECT_TRUE(Stalled->Overflowed());
  EXPECT_FALSE(Stalled->Next(Event, 0));
  Bus.Publish(SaleEvent(0));
  EXPECT_FALSE(Stalled->Next(Event, 0));
  EXPECT_FALSE(Reader->Overflowed());
  ASSERT_TRUE(Reader->Next(Event, 0));
  EXPECT_EQ(Event.Sequence, TEventBus::MaxQueued + 1);
  ASSERT_TRUE(Reader->Next(Event, 0));
}

TEST(EventBus, CloseWakesEveryWaiterForGood) {
  TEventBus Bus;
  auto First = Bus.Subscribe();
  auto Second = Bus.Subscribe();
  bool FirstGot = true;
  bool SecondGot = true;
  std::thread A([&] {
    TEvent Event;
    FirstGot = First->Next(Event, 60000);
  });
  std::thread B([&] {
    TEvent Event;
    SecondGot = Second->Next(Event, 60000);
  });
  Bus.Close();
  A.join();
  B.join();
  EXPECT_FALSE(FirstGot);
  EXPECT_FALSE(SecondGot);
  Bus.Publish(SaleEvent(1));
  TEvent Event;
  EXPECT_FALSE(First->Next(Event, 0));
  EXPECT_FALSE(Bus.Subscribe()->Next(Event, 0));
}

TEST(EventBus, SubscriptionsMayEndBeforeOrAfterTheBus) {
  auto Bus = std::make_unique<TEventBus>();
  auto Gone = Bus->Subscribe();
  auto Kept = Bus->Subscribe();
  Gone.reset();
  Bus->Publish(SaleEvent(1));
  TEvent Event;
  ASSERT_TRUE(Kept->Next(Event, 0));
  Bus.reset();
  EXPECT_FALSE(Kept->Next(Event, 0));
  EXPECT_FALSE(Kept->Overflowed());
}

} // namespace
} // namespace de30::station
