#pragma once
// What the station tells its clients: pump state changes, sales, price states,
// line health and alarms, in the order they happened. Subscribers get every event
// published after they subscribed; a slow subscriber loses nothing until its
// queue holds MaxQueued events, and then is told it fell behind (Overflowed) and
// dropped.
// The bus also keeps the last Kept events, so that a client which lost its
// connection can be handed what it missed (SubscribeAfter).

#include "capture/exchange.hpp"
#include "station/alarm.hpp"
#include "station/fuelling_point.hpp"
#include "station/prices.hpp"
#include "station/reservation.hpp"
#include "station/sale.hpp"
#include "station/shift.hpp"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace de30::station {

// A fuelling point as clients see it.
struct TPumpSnapshot {
  int Line = 0;
  int Pump = 0;
  TPointState State = TPointState::Offline;
  int Nozzle = 0; // the calling or active nozzle, 0 for none
  int Grade = 0;  // the station grade of that nozzle, 0 for none
  int NozzleCount = 1;
  double Volume = 0.0; // the current (or last) fill
  double Amount = 0.0;
  TPreset Preset;
  TPriceState PriceState = TPriceState::Pending;
  std::string PriceReason;    // why prices are pending or failed; empty when sent
  std::vector<double> Prices; // what the pump was last sent, one per nozzle (empty: none)
  std::int64_t SaleId = 0;    // the open or last sale of the pump, 0 for none
  std::uint16_t LastCode = 0; // the driver's last host status code
  bool AutoAuthorize = false;
  // On a tap line: followed from what another controller does, never commanded.
  bool Observed = false;
  std::string Reason; // why the point entered its state

  std::string Id() const; // "LINE:PUMP"
};

// A line's status cycle times, counted into fixed buckets (for the metrics'
// histogram). A 2400-baud line takes some 50 ms for one pump's poll and its
// reply; a cycle over many pumps, or one with a missed reply (a 1.5 s timeout),
// takes seconds.
inline constexpr std::array<double, 10> CycleBucketsSeconds{0.05, 0.1, 0.2, 0.3, 0.5,
                                                            0.75, 1.0, 1.5, 2.5, 5.0};
struct TCycleHistogram {
  // AtMost[i]: cycles that took at most CycleBucketsSeconds[i] (cumulative).
  std::array<std::uint64_t, CycleBucketsSeconds.size()> AtMost{};
  std::uint64_t Count = 0;
  double SumSeconds = 0.0;
  void Observe(double Seconds);
};

struct TLineSnapshot {
  int Line = 0;
  double CycleMs = 0.0; // the last full status cycle
  std::uint64_t Cycles = 0;
  std::uint64_t Polls = 0;    // exchanges of every kind
  std::uint64_t Timeouts = 0; // exchanges without a (complete) reply
  std::uint64_t Rejected = 0; // replies the reply check refused
  std::uint64_t ChannelErrors = 0;
  std::map<int, std::uint64_t> ErrorsByNumber; // channel error number to count
  std::string LastError;                       // empty for none
  std::int64_t LastErrorMs = 0;
  TCycleHistogram CycleTimes; // every full status cycle so far
  // Over the line's recent exchanges (the last minute; capture/line_stats.hpp),
  // brought up to date about once a second: the reply latency of whole replies
  // (LatencySamples of them; 0 and no figures without any) and the wire's use
  // against 2400 baud, in percent, over WindowS seconds.
  std::uint64_t LatencySamples = 0;
  double LatencyMedianMs = 0.0;
  double LatencyP95Ms = 0.0;
  double LatencyMaxMs = 0.0;
  double WireUse = 0.0;
  double WindowS = 0.0;
  // The serial port's error counts since the line was opened (framing, parity,
  // overrun, break), as the kernel keeps them; none when the device keeps no
  // counts (a pseudo-terminal, a TCP line, some USB adapters).
  std::optional<capture::TLineErrors> LineErrors;
  // A tap line: listened to, never driven. Polls, Timeouts and Rejected then
  // count the exchanges heard; bytes that paired with nothing are counted here
  // and never read.
  bool Tap = false;
  struct TTapCounts {
    std::uint64_t Bytes = 0;        // every byte heard
    std::uint64_t GarbageBytes = 0; // in no frame and no reply
    std::uint64_t GarbagePieces = 0;
    std::uint64_t StrayReplies = 0; // replies whose frame was not heard
    std::uint64_t StrayBytes = 0;
  } Heard;
  // The line's capture; File empty when it has none.
  struct TCapture {
    std::string File;
    std::uint64_t Exchanges = 0; // of this line, written to it
    std::uint64_t Bytes = 0;     // in the file being written
    std::string Failure;         // why it stopped (or never started); empty while it runs
  } Capture;
};

struct TEvent {
  enum class TKind { Pump, Sale, Price, Line, Reservation, Alarm, Shift } Kind = TKind::Pump;
  std::uint64_t Sequence = 0; // 1, 2, ... in publishing order
  std::int64_t AtMs = 0;      // wall clock
  std::string Reason;         // what caused it, for pump events the transition's reason
  TPumpSnapshot Pump;         // Kind Pump and Price
  TSale Sale;                 // Kind Sale
  TLineSnapshot LineHealth;   // Kind Line
  TReservation Reservation;   // Kind Reservation; Reason "reserved", "released", "expired", ...
  TAlarm Alarm;               // Kind Alarm, once the journal holds it
  TShift Shift;               // Kind Shift: the shift just closed
};
const char *EventKindName(TEvent::TKind Kind); // "pump", "sale", "price", "line", ...

class TEventBus {
public:
  // Line health comes once a second per line and a fill reports several times a
  // second: some minutes of a busy station, enough for a client to reconnect.
  static constexpr std::size_t Kept = 10000;
  // Room for a whole replay and the events that come while it is sent.
  static constexpr std::size_t MaxQueued = 2 * Kept;

  class TSubscription {
  public:
    // Waits up to TimeoutMs for the next event; false on timeout, when the bus has
    // closed (events still queued then are not handed out) or when the subscriber
    // was dropped. Overflowed() tells a subscriber it was dropped for falling behind.
    bool Next(TEvent &Event, int TimeoutMs);
    bool Overflowed() const;
    ~TSubscription();

  private:
    friend class TEventBus;
    TEventBus *Bus = nullptr;
    std::deque<TEvent> Queue;
    bool Dropped = false;
  };

  TEventBus() = default;
  // Detaches the subscriptions still held, so they may outlive the bus.
  ~TEventBus();
  TEventBus(const TEventBus &) = delete;
  TEventBus &operator=(const TEventBus &) = delete;

  // After Close, a subscription that is closed from the start.
  std::shared_ptr<TSubscription> Subscribe();
  struct TResumed {
    std::shared_ptr<TSubscription> Subscription;
    // True when every event after the one asked for was still kept: they are
    // queued first, in order. False when some are gone (or the sequence was never
    // published): the subscription starts after Sequence, and the client must
    // read the state again.
    bool Complete = false;
    std::uint64_t Sequence = 0; // the last event published when it subscribed
  };
  // Subscribes and queues the kept events after After, in one step, so that no
  // event is missed or handed out twice between the two.
  TResumed SubscribeAfter(std::uint64_t After);
  // Stamps Sequence and AtMs, and hands the event to every subscriber.
  void Publish(TEvent Event);
  // Wakes every waiting subscriber for good (the service is stopping).
  void Close();
  std::uint64_t Published() const;

  // Sequences restart at 1 with every run of the service; the run number (kept
  // in the journal, growing from run to run) tells a client whose id is whose.
  // Set before anything subscribes.
  void SetRun(std::uint64_t Run);
  std::uint64_t Run() const;
  // "RUN-SEQUENCE", the id clients see.
  std::string EventId(std::uint64_t Of) const;

private:
  friend class TSubscription;
  void Unsubscribe(TSubscription *Subscriber);
  mutable std::mutex Guard;
  std::condition_variable Changed;
  std::vector<TSubscription *> Subscribers;
  std::deque<TEvent> Recent; // the last Kept events, oldest first
  std::uint64_t Sequence = 0;
  std::uint64_t RunNumber = 0;
  bool Closed = false;
};

} // namespace de30::station
