#pragma once
// One line's scheduler: a thread with its own driver and channel. It has every
// pump load its prices into the driver before anything is sent, sets the line
// up, then cycles: client commands queued for the line run between the pumps'
// steps, ahead of the next; each pump takes its step every cycle (an offline one
// after its back-off, at most one such probe a cycle); price lists go to idle
// pumps; the line's health is kept and published. What a pump does in its step
// is the pump's own (station/pump.hpp).
//
// A tap line (TLineConfig::Tap) has no driver and no channel: its thread listens
// to the line read-only, splits what it hears into exchanges and has its pumps
// follow them (station/line_tap.cpp, station/observed_pump.hpp); every command
// to it is refused with TapLine.

#include "capture/line_stats.hpp"
#include "channels/serial_channel.hpp"
#include "station/command_result.hpp"
#include "station/config.hpp"
#include "station/events.hpp"
#include "station/journal.hpp"
#include "station/options.hpp"
#include "station/pump.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace de30::capture {
class TCaptureWriter;
struct THeard;
class TExchangeDecoder;
} // namespace de30::capture

namespace de30::station {

class TPumpIo;
class TCountingChannel;
class TObservedPump;

// What the workers of one station share; each part is safe to use from several
// threads.
struct TLineShared {
  const TStationConfig &Config;
  const TStationOptions &Options;
  TJournal &Journal;
  TEventBus &Bus;
};

// Why a command to a tap line's pump is refused.
std::string TapRefusal(int Line);

// How often line health is published.
inline constexpr std::int64_t HealthEventMs = 1000;

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
  bool Tap() const { return Setup.Tap; }
  bool HasPump(int Address) const;
  std::vector<TPumpSnapshot> Pumps() const;
  std::optional<TPumpSnapshot> Pump(int Address) const;
  TLineSnapshot Health() const;

  // Commands: each is queued and runs on the worker's thread; the answer comes
  // through the future once it has run.
  using TAnswer = std::future<TCommandResult>;
  TAnswer Authorize(int Pump, const TPreset &Preset, std::optional<int> Grade);
  TAnswer StopPump(int Pump);
  // Stops the line's pumps that are authorised or fuelling; Message lists failures.
  TAnswer StopAll();
  TAnswer Unblock(int Pump, int Code);
  // New station prices: each pump that sells a changed grade gets its list once idle.
  void PricesChanged(const std::map<int, double> &Prices);
  // A sale was cleared: its pump, if completed with it, goes idle.
  void SaleCleared(int Pump, std::int64_t SaleId);

private:
  using TJob = std::function<TCommandResult()>;
  struct TQueued {
    TJob Job;
    std::shared_ptr<std::promise<TCommandResult>> Done; // null: nobody waits
  };

  TAnswer Post(TJob Job);
  // Runs Job with the pump at Address, or answers UnknownPump.
  TAnswer PostToPump(int Address, std::function<TCommandResult(TPump &)> Job);
  void PostAsync(TJob Job);
  void Run();
  // A tap line's thread (station/line_tap.cpp).
  void RunTap();
  void TakeHeard(const std::vector<capture::THeard> &Pieces,
                 capture::TExchangeDecoder &Decoder);
  void PublishTapHealth();
  // The serial port's error counts since Opened, when the port keeps them.
  void NoteLineErrors(const std::optional<channels::TSerialCounters> &Opened,
                      const std::optional<channels::TSerialCounters> &Now);
  bool Connect();
  void Disconnect();
  void RunQueued();
  void RefuseQueued();
  void Cycle();
  void StepPump(TPump &Pump);
  void PublishHealth();
  // The recent exchanges' latency and wire use into the health view; under Guard.
  void ShowRecentFigures();
  void OnExchange(const channels::TTraceRecord &Record);
  void ReportCaptureFailure();
  void UpdateFigures();
  void NoteError(const std::string &Error);
  TPump *Find(int Address);
  std::int64_t NowMs() const;

  int Number;
  TLineConfig Setup;
  TLineShared Shared;
  std::vector<std::unique_ptr<TPump>> Dispensers;
  std::vector<std::unique_ptr<TObservedPump>> Observed; // a tap line's

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
  // A driven serial line's error counts when it was opened.
  std::optional<channels::TSerialCounters> OpenedCounts;
  std::optional<capture::TLineErrors> LineErrors;

  // Shared with callers.
  mutable std::mutex Guard;
  std::condition_variable Wake;
  std::deque<TQueued> Queue;
  bool Running = false;
  bool Stopping = false;
  TLineSnapshot HealthView;
  std::thread Thread;
};

} // namespace de30::station
