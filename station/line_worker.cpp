#include "station/line_worker.hpp"

#include "capture/writer.hpp"
#include "channels/line_channel.hpp"

#include "station/counting_channel.hpp"
#include "station/observed_pump.hpp"
#include "station/pump_io.hpp"

#include <chrono>

namespace de30::station {

using TStatus = TCommandResult::TStatus;

namespace {

TPointTiming TimingOf(const TStationConfig &Config) {
  TPointTiming Timing;
  Timing.OfflineAfter = Config.OfflineAfter;
  Timing.BackoffMaxMs = Config.OfflineBackoffMax.count();
  Timing.AbsentBackoffMaxMs = Config.AbsentBackoffMax.count();
  Timing.UnknownStartMs = Config.UnknownStartTimeout.count();
  Timing.CallingSettleMs = Config.CallingSettle.count();
  return Timing;
}

} // namespace

std::string TapRefusal(int Line) {
  return "line " + std::to_string(Line) +
         " is a tap line: another controller drives its pumps, and de30d only listens";
}

TLineWorker::TLineWorker(const TLineConfig &Line, TLineShared Context)
    : Number(Line.Number), Setup(Line), Shared(std::move(Context)) {
  const TPointTiming Timing = TimingOf(Shared.Config);
  TPumpServices Services;
  Services.Line = Number;
  Services.Journal = &Shared.Journal;
  Services.Bus = &Shared.Bus;
  Services.Clock = [this] { return NowMs(); };
  Services.NoteError = [this](const std::string &Error) { NoteError(Error); };
  Services.Between = [this] { RunQueued(); };
  Services.AuthorizeTimeout = Shared.Config.AuthorizeTimeout;
  for (const TPumpConfig &Pump : Shared.Config.Pumps) {
    if (Pump.Line != Number)
      continue;
    if (Setup.Tap)
      Observed.push_back(std::make_unique<TObservedPump>(Pump, Timing, Services));
    else
      Dispensers.push_back(std::make_unique<TPump>(Pump, Timing, Services));
  }
  HealthView.Line = Number;
  HealthView.Tap = Setup.Tap;
}

TLineWorker::~TLineWorker() { Stop(); }

std::int64_t TLineWorker::NowMs() const {
  if (Shared.Options.Clock)
    return Shared.Options.Clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TLineWorker::NoteError(const std::string &Error) {
  if (Counted) {
    Counted->NoteError(Error);
    return;
  }
  // A tap line has no channel to count with: its health keeps the fault itself.
  std::lock_guard<std::mutex> Lock(Guard);
  HealthView.LastError = Error;
  HealthView.LastErrorMs = NowEpochMs();
}

TPump *TLineWorker::Find(int Address) {
  for (auto &Pump : Dispensers)
    if (Pump->Address() == Address)
      return Pump.get();
  return nullptr;
}

bool TLineWorker::HasPump(int Address) const {
  for (const auto &Pump : Dispensers)
    if (Pump->Address() == Address)
      return true;
  for (const auto &Pump : Observed)
    if (Pump->Address() == Address)
      return true;
  return false;
}

bool TLineWorker::RecoverSale(const TSale &Sale) {
  for (auto &Pump : Observed)
    if (Pump->Address() == Sale.Pump)
      return Pump->RecoverSale(Sale);
  TPump *Pump = Find(Sale.Pump);
  return Pump != nullptr && Pump->RecoverSale(Sale);
}

void TLineWorker::AttachCapture(const std::string &File,
                                std::shared_ptr<capture::TCaptureWriter> Writer,
                                const std::string &Failure) {
  Capture = std::move(Writer);
  CaptureView.File = File;
  CaptureView.Failure = Capture ? "" : Failure;
  std::lock_guard<std::mutex> Lock(Guard);
  HealthView.Capture = CaptureView;
}

// --- Thread and queue -------------------------------------------------------

void TLineWorker::Start(const std::map<int, double> &Prices) {
  std::lock_guard<std::mutex> Lock(Guard);
  if (Running || Thread.joinable())
    return;
  StationPrices = Prices;
  Running = true;
  Stopping = false;
  Thread = std::thread([this] { Run(); });
}

void TLineWorker::Stop() {
  {
    std::lock_guard<std::mutex> Lock(Guard);
    Stopping = true;
  }
  Wake.notify_all();
  if (Thread.joinable())
    Thread.join();
  RefuseQueued();
}

TLineWorker::TAnswer TLineWorker::Post(TJob Job) {
  auto Promise = std::make_shared<std::promise<TCommandResult>>();
  auto Result = Promise->get_future();
  {
    std::lock_guard<std::mutex> Lock(Guard);
    if (!Running || Stopping) {
      Promise->set_value(TCommandResult::Fail(TStatus::Stopping, "the station is not running"));
      return Result;
    }
    Queue.push_back({std::move(Job), Promise});
  }
  Wake.notify_all();
  return Result;
}

void TLineWorker::PostAsync(TJob Job) {
  {
    std::lock_guard<std::mutex> Lock(Guard);
    if (!Running || Stopping)
      return;
    Queue.push_back({std::move(Job), nullptr});
  }
  Wake.notify_all();
}

void TLineWorker::RunQueued() {
  for (;;) {
    TQueued Next;
    {
      std::lock_guard<std::mutex> Lock(Guard);
      if (Queue.empty() || Stopping)
        return;
      Next = std::move(Queue.front());
      Queue.pop_front();
    }
    TCommandResult Result;
    try {
      Result = Next.Job();
    } catch (const EJournalError &E) {
      Result = TCommandResult::Fail(TStatus::Journal, E.what());
    }
    if (Next.Done)
      Next.Done->set_value(std::move(Result));
  }
}

void TLineWorker::RefuseQueued() {
  std::deque<TQueued> Left;
  {
    std::lock_guard<std::mutex> Lock(Guard);
    Left.swap(Queue);
    Running = false;
  }
  for (TQueued &Item : Left)
    if (Item.Done)
      Item.Done->set_value(
          TCommandResult::Fail(TStatus::Stopping, "the station is shutting down"));
}

bool TLineWorker::Connect() {
  std::string Failure;
  try {
    Channel = Shared.Options.Channels(Setup);
  } catch (const std::exception &E) {
    Failure = E.what();
  }
  if (!Channel) {
    std::lock_guard<std::mutex> Lock(Guard);
    HealthView.LastError =
        "cannot open the line" + (Failure.empty() ? std::string() : ": " + Failure);
    HealthView.LastErrorMs = NowEpochMs();
    return false;
  }
  // Every exchange feeds the line's figures and its capture.
  if (auto *Traced = dynamic_cast<channels::TLineChannel *>(Channel.get()))
    Traced->SetTracer([this](const channels::TTraceRecord &Record) { OnExchange(Record); });
  if (auto *Serial = dynamic_cast<channels::TSerialChannel *>(Channel.get()))
    OpenedCounts = Serial->Counters(Number);
  Counted = std::make_unique<TCountingChannel>(*Channel);
  Driver = MakeDriver(*Counted, Shared.Options.Pauser);
  Io = std::make_unique<TPumpIo>(*Driver, *Counted, Number);
  for (auto &Pump : Dispensers)
    Pump->Connected(*Io, StationPrices);
  Io->InitLine();
  return true;
}

void TLineWorker::Disconnect() {
  Io.reset();
  DropDriver(Driver);
  Counted.reset();
  Channel.reset();
}

void TLineWorker::Run() {
  if (Setup.Tap) {
    RunTap();
    return;
  }
  if (!CaptureView.Failure.empty())
    ReportCaptureFailure();
  while (!Connect()) {
    // The line's health carries why it cannot be opened, for the log and clients.
    PublishHealth();
    std::unique_lock<std::mutex> Lock(Guard);
    if (Wake.wait_for(Lock, std::chrono::seconds(1), [this] { return Stopping; })) {
      Lock.unlock();
      Disconnect();
      return;
    }
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> Lock(Guard);
      if (Stopping)
        break;
    }
    Cycle();
    std::int64_t PauseMs = Shared.Options.IdleCycleMs;
    bool AnyDue = false;
    std::int64_t NextDue = NowMs() + 50;
    for (auto &Pump : Dispensers) {
      if (!Pump->Offline()) {
        AnyDue = true;
        break;
      }
      NextDue = std::min(NextDue, Pump->NextPollMs());
    }
    if (!AnyDue)
      PauseMs = std::max<std::int64_t>(PauseMs, std::max<std::int64_t>(NextDue - NowMs(), 1));
    if (Shared.Options.Idle) {
      Shared.Options.Idle(PauseMs);
      continue;
    }
    std::unique_lock<std::mutex> Lock(Guard);
    if (PauseMs > 0)
      Wake.wait_for(Lock, std::chrono::milliseconds(PauseMs),
                    [this] { return Stopping || !Queue.empty(); });
  }
  Disconnect();
}

// --- The cycle ----------------------------------------------------------------

void TLineWorker::Cycle() {
  const auto Began = std::chrono::steady_clock::now();
  // At most one offline pump is looked for per cycle: the others wait for the
  // next, so absent pumps lengthen no cycle by more than one probe.
  bool Probed = false;
  for (auto &Pump : Dispensers) {
    RunQueued();
    if (!Pump->DuePoll(NowMs()))
      continue;
    const bool Offline = Pump->Offline();
    if (Offline && Probed)
      continue;
    Probed = Probed || Offline;
    StepPump(*Pump);
  }
  for (auto &Pump : Dispensers) {
    RunQueued();
    Pump->SendPrices(*Io, false);
  }
  LastCycleMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Began)
          .count();
  ++Cycles;
  CycleTimes.Observe(LastCycleMs / 1000.0);
  const bool Due = NowMs() - LastHealthMs >= HealthEventMs;
  if (Due)
    UpdateFigures();
  {
    std::lock_guard<std::mutex> Lock(Guard);
    HealthView = Counted->Counts();
    HealthView.Line = Number;
    HealthView.CycleMs = LastCycleMs;
    HealthView.Cycles = Cycles;
    HealthView.CycleTimes = CycleTimes;
    ShowRecentFigures();
    HealthView.Capture = CaptureView;
    HealthView.LineErrors = LineErrors;
  }
  if (Due) {
    LastHealthMs = NowMs();
    PublishHealth();
  }
}

// The figures are worth their sorting once for each health event, not each cycle.
void TLineWorker::UpdateFigures() {
  RecentFigures = Recent.Figures(capture::TClock::now());
  if (auto *Serial = dynamic_cast<channels::TSerialChannel *>(Channel.get()))
    NoteLineErrors(OpenedCounts, Serial->Counters(Number));
  if (Capture)
    CaptureView.Bytes = Capture->Bytes();
}

void TLineWorker::NoteLineErrors(const std::optional<channels::TSerialCounters> &Opened,
                                 const std::optional<channels::TSerialCounters> &Now) {
  if (!Opened || !Now) {
    LineErrors.reset();
    return;
  }
  const channels::TSerialCounters Since = channels::CountedSince(*Opened, *Now);
  LineErrors = capture::TLineErrors{Since.Framing, Since.Parity, Since.Overrun, Since.Break};
}

void TLineWorker::OnExchange(const channels::TTraceRecord &Record) {
  Recent.Add(capture::SampleOf(Record));
  if (!Capture || !CaptureView.Failure.empty())
    return;
  Capture->Write(Record);
  std::string Failure = Capture->Failure();
  if (Failure.empty()) {
    ++CaptureView.Exchanges;
    return;
  }
  // The line goes on without it; the reason is told once, and stays in the health.
  CaptureView.Failure = std::move(Failure);
  ReportCaptureFailure();
}

void TLineWorker::ReportCaptureFailure() {
  TEvent Event;
  Event.Kind = TEvent::TKind::Line;
  Event.Reason = "capture failed: " + CaptureView.Failure;
  {
    std::lock_guard<std::mutex> Lock(Guard);
    HealthView.Capture = CaptureView;
    Event.LineHealth = HealthView;
  }
  Shared.Bus.Publish(std::move(Event));
}

void TLineWorker::StepPump(TPump &Pump) {
  // An offline pump is looked for with a short reply timeout, so that an absent
  // pump costs its line little.
  auto *Timed = dynamic_cast<channels::TLineChannel *>(Channel.get());
  const bool Probe = Timed != nullptr && Pump.Offline();
  if (Probe)
    Timed->SetReplyTimeout(Shared.Config.OfflineProbeTimeout);
  Pump.Update(*Io);
  if (Probe)
    Timed->SetReplyTimeout(Setup.Timeout);
}

// --- Commands -----------------------------------------------------------------

TLineWorker::TAnswer TLineWorker::PostToPump(int Address,
                                             std::function<TCommandResult(TPump &)> Job) {
  if (Setup.Tap) {
    std::promise<TCommandResult> Refused;
    Refused.set_value(
        TCommandResult::Fail(HasPump(Address) ? TStatus::TapLine : TStatus::UnknownPump,
                             HasPump(Address) ? TapRefusal(Number) : "no such pump"));
    return Refused.get_future();
  }
  return Post([this, Address, Job = std::move(Job)] {
    TPump *Pump = Find(Address);
    if (Pump == nullptr)
      return TCommandResult::Fail(TStatus::UnknownPump, "no such pump");
    return Job(*Pump);
  });
}

TLineWorker::TAnswer TLineWorker::Authorize(int Pump, const TPreset &Preset,
                                            std::optional<int> Grade) {
  return PostToPump(
      Pump, [this, Preset, Grade](TPump &P) { return P.Authorize(*Io, Preset, Grade); });
}

TLineWorker::TAnswer TLineWorker::StopPump(int Pump) {
  return PostToPump(Pump, [this](TPump &P) { return P.Stop(*Io); });
}

TLineWorker::TAnswer TLineWorker::StopAll() {
  if (Setup.Tap) {
    // Nothing is ever sent on a tap line: its pumps are the other controller's
    // to stop. The answer says so, and is no failure.
    std::promise<TCommandResult> Skipped;
    TCommandResult Result;
    Result.Message =
        "line " + std::to_string(Number) +
        " is a tap line: its pumps are not stopped (another controller drives them)";
    Skipped.set_value(std::move(Result));
    return Skipped.get_future();
  }
  return Post([this] {
    std::string Failures;
    TStatus Worst = TStatus::Ok;
    for (auto &Pump : Dispensers) {
      if (!Pump->Busy())
        continue;
      const TCommandResult One = Pump->Stop(*Io);
      if (!One.Ok()) {
        Failures += (Failures.empty() ? "" : "; ") + Pump->Config().Id() + ": " + One.Message;
        if (Worst != TStatus::Uncertain)
          Worst = One.Status;
      }
    }
    if (!Failures.empty())
      return TCommandResult::Fail(Worst, Failures);
    return TCommandResult{};
  });
}

TLineWorker::TAnswer TLineWorker::Unblock(int Pump, int Code) {
  return PostToPump(Pump, [this, Code](TPump &P) { return P.Unblock(*Io, Code); });
}

void TLineWorker::PricesChanged(const std::map<int, double> &Prices) {
  if (Setup.Tap)
    return; // another controller sends its pumps their prices
  PostAsync([this, Prices] {
    StationPrices = Prices;
    for (auto &Pump : Dispensers)
      Pump->PricesChanged(StationPrices);
    return TCommandResult{};
  });
}

void TLineWorker::SaleCleared(int Pump, std::int64_t SaleId) {
  if (Setup.Tap)
    return;
  PostAsync([this, Pump, SaleId] {
    if (TPump *P = Find(Pump))
      P->SaleCleared(SaleId);
    return TCommandResult{};
  });
}

// --- Views and events ---------------------------------------------------------

void TLineWorker::ShowRecentFigures() {
  HealthView.LatencySamples = RecentFigures.Latency.Samples;
  HealthView.LatencyMedianMs = RecentFigures.Latency.MedianMs;
  HealthView.LatencyP95Ms = RecentFigures.Latency.P95Ms;
  HealthView.LatencyMaxMs = RecentFigures.Latency.MaxMs;
  HealthView.WireUse = RecentFigures.WireUse;
  HealthView.WindowS = std::chrono::duration<double>(Recent.Window()).count();
}

void TLineWorker::PublishHealth() {
  TEvent Event;
  Event.Kind = TEvent::TKind::Line;
  Event.LineHealth = Health();
  Shared.Bus.Publish(std::move(Event));
}

std::vector<TPumpSnapshot> TLineWorker::Pumps() const {
  std::vector<TPumpSnapshot> Views;
  for (const auto &Pump : Dispensers)
    Views.push_back(Pump->View());
  for (const auto &Pump : Observed)
    Views.push_back(Pump->View());
  return Views;
}

std::optional<TPumpSnapshot> TLineWorker::Pump(int Address) const {
  for (const auto &Pump : Dispensers)
    if (Pump->Address() == Address)
      return Pump->View();
  for (const auto &Pump : Observed)
    if (Pump->Address() == Address)
      return Pump->View();
  return std::nullopt;
}

TLineSnapshot TLineWorker::Health() const {
  std::lock_guard<std::mutex> Lock(Guard);
  return HealthView;
}

} // namespace de30::station
