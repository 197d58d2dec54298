#pragma once
// One line: a thread with its own driver and channel. It loads the station prices
// into the driver before it sends anything, sets the line up, then cycles: client
// commands queued for the line run between polls, ahead of the next poll; every
// configured pump is polled each cycle (an offline one after its back-off); the
// fill is read for pumps that are authorised or fuelling; sales are opened,
// followed and closed in the journal; price lists go to idle pumps.

#include "capture/line_stats.hpp"
#include "station/config.hpp"
#include "station/events.hpp"
#include "station/fuelling_point.hpp"
#include "station/journal.hpp"
#include "station/prices.hpp"
#include "station/station.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace de30::capture {
class TCaptureWriter;
}

namespace de30::station {

class TPumpIo;
class TCountingChannel;

// What the workers of one station share; each part is safe to use from several
// threads.
struct TLineShared {
  const TStationConfig &Config;
  const TStationOptions &Options;
  TJournal &Journal;
  TEventBus &Bus;
};

// Unit prices and volumes are compared in hundredths.
inline constexpr double VolumeTolerance = 0.005;
// The longest dose a pump takes, in litres.
inline constexpr double MaxDoseLitres = 9999.99;
// How often an open sale's progress is written to the journal, and how often fill
// progress and line health are published.
inline constexpr std::int64_t SaleUpdateMs = 1000;
inline constexpr std::int64_t FillEventMs = 250;
inline constexpr std::int64_t HealthEventMs = 1000;
// Pause before a failed price list is tried again.
inline constexpr std::int64_t PriceRetryMs = 2000;

class TLineWorker {
public:
  TLineWorker(const TLineConfig &Line, TLineShared Shared);
  ~TLineWorker();
  TLineWorker(const TLineWorker &) = delete;
  TLineWorker &operator=(const TLineWorker &) = delete;

  // An open sale from the journal, to be recovered once its pump answers. Before Start.
  bool RecoverSale(const TSale &Sale);
  // Every exchange of the line goes to Writer (null when it could not be created:
  // Failure says why). Before Start.
  void AttachCapture(const std::string &File, std::shared_ptr<capture::TCaptureWriter> Writer,
                     const std::string &Failure);
  void Start(const std::map<int, double> &Prices);
  void Stop();

  int Line() const { return Number; }
  bool HasPump(int Address) const;
  std::vector<TPumpSnapshot> Pumps() const;
  std::optional<TPumpSnapshot> Pump(int Address) const;
  TLineSnapshot Health() const;

  // Commands: each runs on the worker's thread and returns when it has run.
  TCommandResult Authorize(int Pump, const TPreset &Preset, std::optional<int> Grade);
  TCommandResult StopPump(int Pump);
  // Stops the line's pumps that are authorised or fuelling; Message lists failures.
  TCommandResult StopAll();
  TCommandResult Unblock(int Pump, int Code);
  // New station prices: each pump that sells a changed grade gets its list once idle.
  void PricesChanged(const std::map<int, double> &Prices);
  // A sale was cleared: its pump, if completed with it, goes idle.
  void SaleCleared(int Pump, std::int64_t SaleId);

private:
  struct TSlot;
  using TJob = std::function<TCommandResult()>;
  struct TQueued {
    TJob Job;
    std::shared_ptr<std::promise<TCommandResult>> Done; // null: nobody waits
  };

  TCommandResult Post(TJob Job);
  void PostAsync(TJob Job);
  void Run();
  bool Connect();
  void Disconnect();
  void RunQueued();
  void RefuseQueued();
  void Cycle();
  void PollPump(TSlot &Pump);
  void Handle(TSlot &Pump, const TStep &Step);
  void Follow(TSlot &Pump);
  void LearnNozzle(TSlot &Pump);
  void EndSale(TSlot &Pump, bool Settle);
  bool FinishClose(TSlot &Pump);
  void CheckTotalsMoved(TSlot &Pump, const TTotals &Now, TSale *Sale);
  void SendPrices(TSlot &Pump, bool Force);
  bool SendPriceList(TSlot &Pump);
  TCommandResult DoAuthorize(TSlot &Pump, const TPreset &Preset, std::optional<int> Grade);
  TCommandResult DoStop(TSlot &Pump);
  TCommandResult DoUnblock(TSlot &Pump, int Code);
  void PublishPump(TSlot &Pump, const std::string &Reason);
  void PublishPrice(TSlot &Pump);
  void PublishSale(const TSale &Sale, const std::string &Reason);
  void PublishHealth();
  void OnExchange(const channels::TTraceRecord &Record);
  void ReportCaptureFailure();
  void UpdateFigures();
  void Snapshot(TSlot &Pump);
  TPumpSnapshot MakeSnapshot(const TSlot &Pump) const;
  TSlot *Find(int Address);
  std::int64_t NowMs() const;

  int Number;
  TLineConfig Setup;
  TLineShared Shared;
  std::vector<std::unique_ptr<TSlot>> Slots;

  // Worker thread only.
  std::unique_ptr<TComChannel> Channel;
  std::unique_ptr<TCountingChannel> Counted;
  std::unique_ptr<TVM30> Driver;
  std::unique_ptr<TPumpIo> Io;
  std::map<int, double> StationPrices;
  std::int64_t LastHealthMs = 0;
  double LastCycleMs = 0.0;
  std::uint64_t Cycles = 0;
  TCycleHistogram CycleTimes;
  // The line's capture (shared with lines that write the same file), and the
  // figures of its recent exchanges.
  std::shared_ptr<capture::TCaptureWriter> Capture;
  TLineSnapshot::TCapture CaptureView;
  capture::TSlidingFigures Recent;
  capture::TFigures RecentFigures;

  // Shared with callers.
  mutable std::mutex Guard;
  std::condition_variable Wake;
  std::deque<TQueued> Queue;
  bool Running = false;
  bool Stopping = false;
  std::vector<TPumpSnapshot> Snapshots;
  TLineSnapshot HealthView;
  std::thread Thread;
};

} // namespace de30::station
