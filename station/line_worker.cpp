#include "station/line_worker.hpp"

#include "capture/writer.hpp"
#include "channels/line_channel.hpp"

#include "station/counting_channel.hpp"
#include "station/pump_io.hpp"

#include <chrono>
#include <cmath>

namespace de30::station {

using TStatus = TCommandResult::TStatus;

struct TLineWorker::TSlot {
  TSlot(const TPumpConfig &Pump, const TPointTiming &Timing)
      : Config(Pump), Point(Pump.NozzleCount(), Pump.AutoAuthorize, Timing), Prices(Pump) {}

  TPumpConfig Config;
  TFuellingPoint Point;
  TPumpPrices Prices;
  TPriceTable Stored{};         // what the driver's price table holds for the pump
  std::optional<TSale> Sale;    // the open sale
  std::optional<TSale> Closing; // a closed sale the journal has not taken yet
  bool Recovered = false;       // the open sale came from before a restart
  bool Answered = false;        // the pump has answered since the start
  std::int64_t LastSaleId = 0;
  std::int64_t SaleWrittenMs = 0;
  std::int64_t FillPublishedMs = 0;
  double FillPublished = -1.0;
  std::int64_t PriceRetryAtMs = 0;
  bool UsesTotals() const { return Config.NozzleCount() <= 2; }
};

namespace {

TPointTiming TimingOf(const TStationConfig &Config) {
  TPointTiming Timing;
  Timing.OfflineAfter = Config.OfflineAfter;
  Timing.BackoffMaxMs = Config.OfflineBackoffMax.count();
  return Timing;
}

void AddFlag(TSale &Sale, const char *Flag) {
  if (!Sale.HasFlag(Flag))
    Sale.Flags.emplace_back(Flag);
}

TCommandResult Done(std::string Message = {}) {
  TCommandResult Result;
  Result.Message = std::move(Message);
  return Result;
}

std::string Money(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

} // namespace

TLineWorker::TLineWorker(const TLineConfig &Line, TLineShared Context)
    : Number(Line.Number), Setup(Line), Shared(Context) {
  const TPointTiming Timing = TimingOf(Shared.Config);
  for (const TPumpConfig &Pump : Shared.Config.Pumps)
    if (Pump.Line == Number)
      Slots.push_back(std::make_unique<TSlot>(Pump, Timing));
  HealthView.Line = Number;
  for (auto &Slot : Slots)
    Snapshots.push_back(MakeSnapshot(*Slot));
}

TLineWorker::~TLineWorker() { Stop(); }

std::int64_t TLineWorker::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TLineWorker::TSlot *TLineWorker::Find(int Address) {
  for (auto &Slot : Slots)
    if (Slot->Config.Address == Address)
      return Slot.get();
  return nullptr;
}

bool TLineWorker::HasPump(int Address) const {
  for (const auto &Slot : Slots)
    if (Slot->Config.Address == Address)
      return true;
  return false;
}

bool TLineWorker::RecoverSale(const TSale &Sale) {
  TSlot *Slot = Find(Sale.Pump);
  if (Slot == nullptr || Slot->Sale)
    return false;
  Slot->Sale = Sale;
  Slot->Recovered = true;
  Slot->Point.RecoverSale();
  std::lock_guard<std::mutex> Lock(Guard);
  for (auto &View : Snapshots)
    if (View.Pump == Sale.Pump)
      View = MakeSnapshot(*Slot);
  return true;
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

TCommandResult TLineWorker::Post(TJob Job) {
  auto Promise = std::make_shared<std::promise<TCommandResult>>();
  auto Result = Promise->get_future();
  {
    std::lock_guard<std::mutex> Lock(Guard);
    if (!Running || Stopping)
      return TCommandResult::Fail(TStatus::Stopping, "the station is not running");
    Queue.push_back({std::move(Job), Promise});
  }
  Wake.notify_all();
  return Result.get();
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
  try {
    Channel = Shared.Options.Channels(Setup);
  } catch (const std::exception &E) {
    std::lock_guard<std::mutex> Lock(Guard);
    HealthView.LastError = std::string("cannot open the line: ") + E.what();
    HealthView.LastErrorMs = NowEpochMs();
    return false;
  }
  if (!Channel) {
    std::lock_guard<std::mutex> Lock(Guard);
    HealthView.LastError = "cannot open the line";
    HealthView.LastErrorMs = NowEpochMs();
    return false;
  }
  // Every exchange feeds the line's figures and its capture.
  if (auto *Traced = dynamic_cast<channels::TLineChannel *>(Channel.get()))
    Traced->SetTracer([this](const channels::TTraceRecord &Record) { OnExchange(Record); });
  Counted = std::make_unique<TCountingChannel>(*Channel);
  Driver = MakeDriver(*Counted, Shared.Options.Pauser);
  Io = std::make_unique<TPumpIo>(*Driver, *Counted, Number);
  // Every pump's price table, before anything goes out: the driver stores prices
  // without sending them until a status poll has told it the nozzle count.
  for (auto &Slot : Slots) {
    if (Slot->Prices.Update(StationPrices))
      PublishPrice(*Slot);
    Slot->Stored = Slot->Prices.Wanted().Positions;
    for (int K = 1; K <= GradeCount; ++K)
      Io->SetPrice(Slot->Config.Address, K, Slot->Stored[static_cast<std::size_t>(K - 1)]);
  }
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
    for (auto &Slot : Slots) {
      if (Slot->Point.State() != TPointState::Offline) {
        AnyDue = true;
        break;
      }
      NextDue = std::min(NextDue, Slot->Point.NextPollMs());
    }
    if (!AnyDue)
      PauseMs = std::max<std::int64_t>(PauseMs, std::max<std::int64_t>(NextDue - NowMs(), 1));
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
  for (auto &Slot : Slots) {
    RunQueued();
    if (Slot->Closing) {
      FinishClose(*Slot);
      continue;
    }
    if (!Slot->Point.DuePoll(NowMs()))
      continue;
    const bool Offline = Slot->Point.State() == TPointState::Offline;
    if (Offline && Probed)
      continue;
    Probed = Probed || Offline;
    PollPump(*Slot);
  }
  for (auto &Slot : Slots) {
    RunQueued();
    SendPrices(*Slot, false);
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
    HealthView.LatencySamples = RecentFigures.Latency.Samples;
    HealthView.LatencyMedianMs = RecentFigures.Latency.MedianMs;
    HealthView.LatencyP95Ms = RecentFigures.Latency.P95Ms;
    HealthView.LatencyMaxMs = RecentFigures.Latency.MaxMs;
    HealthView.WireUse = RecentFigures.WireUse;
    HealthView.WindowS = std::chrono::duration<double>(Recent.Window()).count();
    HealthView.Capture = CaptureView;
  }
  if (Due) {
    LastHealthMs = NowMs();
    PublishHealth();
  }
}

// The figures are worth their sorting once for each health event, not each cycle.
void TLineWorker::UpdateFigures() {
  RecentFigures = Recent.Figures(capture::TClock::now());
  if (Capture)
    CaptureView.Bytes = Capture->Bytes();
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

void TLineWorker::PollPump(TSlot &Pump) {
  TSostRecord Record{};
  // An offline pump is looked for with a short reply timeout, so that an absent
  // pump costs its line little.
  auto *Timed = dynamic_cast<channels::TLineChannel *>(Channel.get());
  const bool Probe = Timed != nullptr && Pump.Point.State() == TPointState::Offline;
  if (Probe)
    Timed->SetReplyTimeout(Shared.Config.OfflineProbeTimeout);
  const bool CountDownLeft = Io->CountDownLeft(Pump.Config.Address);
  const TIoResult Result = Io->Poll(Pump.Config.Address, Pump.Config.NozzleCount(), Record);
  if (Probe)
    Timed->SetReplyTimeout(Setup.Timeout);
  TPollInput Input;
  if (Result.Kind == TIoResult::TKind::Rejected)
    Input.Outcome = TPollInput::TOutcome::Rejected;
  else if (!Result.Ok())
    Input.Outcome = TPollInput::TOutcome::Missed;
  else {
    Input.Code = Record.Sost;
    Input.Nozzle = Record.ActiveNozzle;
    Input.CountDownLeft = CountDownLeft;
  }
  Handle(Pump, Pump.Point.OnPoll(Input, NowMs()));
  if (!Result.Ok())
    return;
  if (!Pump.Answered) {
    Pump.Answered = true;
    // Fuel that went through while the station was not watching.
    if (!Pump.Sale && Pump.UsesTotals()) {
      TTotals Totals;
      if (Io->Totals(Pump.Config.Address, Totals).Ok())
        CheckTotalsMoved(Pump, Totals, nullptr);
    }
  }
  if (Pump.Point.ReadsFill() && !Pump.Point.Ending()) {
    double Volume = 0.0;
    double Amount = 0.0;
    if (Io->Fill(Pump.Config.Address, Volume, Amount).Ok()) {
      Handle(Pump, Pump.Point.OnFill(Volume, Amount, NowMs()));
      Follow(Pump);
    }
  }
}

void TLineWorker::Handle(TSlot &Pump, const TStep &Step) {
  if (Step.Changed) {
    LearnNozzle(Pump);
    PublishPump(Pump, Step.Changed->Reason);
  }
  switch (Step.Action) {
  case TSaleAction::None:
    break;
  case TSaleAction::Begin: {
    // An auto-authorise pump is authorised under the rules of the command; a
    // refusal (no prices yet) is tried again at its next call.
    DoAuthorize(Pump, TPreset{}, std::nullopt);
    break;
  }
  case TSaleAction::End:
    EndSale(Pump, false);
    break;
  case TSaleAction::Settle:
    EndSale(Pump, true);
    break;
  }
}

void TLineWorker::LearnNozzle(TSlot &Pump) {
  if (!Pump.Sale || Pump.Sale->Nozzle != 0 || Pump.Point.Nozzle() == 0)
    return;
  const int Nozzle = Pump.Point.Nozzle();
  if (Nozzle > Pump.Config.NozzleCount())
    return;
  Pump.Sale->Nozzle = Nozzle;
  Pump.Sale->Grade = Pump.Config.Nozzles[static_cast<std::size_t>(Nozzle - 1)];
  Pump.Sale->Price = Pump.Prices.SentPrice(Pump.Sale->Grade).value_or(0.0);
}

void TLineWorker::Follow(TSlot &Pump) {
  const std::int64_t Now = NowMs();
  const double Volume = Pump.Point.Volume();
  if (Volume != Pump.FillPublished && Now - Pump.FillPublishedMs >= FillEventMs) {
    Pump.FillPublished = Volume;
    Pump.FillPublishedMs = Now;
    PublishPump(Pump, "fill progress");
  }
  if (!Pump.Sale || !Pump.Point.SawFuel())
    return;
  LearnNozzle(Pump);
  if (Pump.Sale->Volume == Volume && Pump.Sale->Amount == Pump.Point.Amount())
    return;
  if (Now - Pump.SaleWrittenMs < SaleUpdateMs)
    return;
  Pump.Sale->Volume = Volume;
  Pump.Sale->Amount = Pump.Point.Amount();
  try {
    Shared.Journal.UpdateSale(*Pump.Sale);
    Pump.SaleWrittenMs = Now;
    PublishSale(*Pump.Sale, "updated");
  } catch (const EJournalError &E) {
    Counted->NoteError(std::string("journal: ") + E.what());
  }
}

void TLineWorker::CheckTotalsMoved(TSlot &Pump, const TTotals &Now, TSale *Sale) {
  const auto Last = Shared.Journal.LastTotals(Number, Pump.Config.Address);
  if (Last && Last->Known && std::fabs(Now.Volume - Last->Volume) > VolumeTolerance) {
    const std::string Reason = "totals moved without a sale: " + Money(Last->Volume) + " -> " +
                               Money(Now.Volume) + " litres";
    if (Sale != nullptr)
      AddFlag(*Sale, FlagTotalsMoved);
    PublishPump(Pump, Reason);
  }
  Shared.Journal.SetLastTotals(Number, Pump.Config.Address, Now);
}

void TLineWorker::EndSale(TSlot &Pump, bool Settle) {
  if (!Pump.Sale)
    return;
  const int Address = Pump.Config.Address;
  if (Settle) {
    // After a restart nobody knows whether the pump still holds the old
    // authorisation: withdraw it before the sale is judged from the totals.
    const TIoResult Stopped = Io->Stop(Address);
    if (!Stopped.Ok()) {
      Pump.Point.OnSettleFailed();
      Counted->NoteError(Stopped.Describe("stop before closing a recovered sale"));
      return;
    }
  }
  TSale Sale = *Pump.Sale;
  double Volume = Pump.Point.Volume();
  double Amount = Pump.Point.Amount();
  // The pump keeps the last fill until its next authorisation.
  Io->Fill(Address, Volume, Amount);
  if (Pump.UsesTotals()) {
    TTotals End;
    if (Io->Totals(Address, End).Ok())
      Sale.EndTotals = End;
  }
  const bool Delta = Sale.StartTotals.Known && Sale.EndTotals.Known;
  const double Moved = Delta ? Sale.EndTotals.Volume - Sale.StartTotals.Volume : 0.0;
  if (!Pump.Point.SawFuel()) {
    // The fill data may be an older fill's: only moved totals prove this one.
    if (!Delta || std::fabs(Moved) <= VolumeTolerance) {
      Volume = 0.0;
      Amount = 0.0;
    }
  }
  Sale.Volume = Volume;
  Sale.Amount = Amount;
  if (!Sale.StartTotals.Known || !Sale.EndTotals.Known)
    AddFlag(Sale, FlagNoTotals);
  if (Delta && std::fabs(Moved - Volume) > VolumeTolerance)
    AddFlag(Sale, FlagVolumeMismatch);
  if (Pump.Point.Stopped())
    AddFlag(Sale, FlagStopped);
  if (Pump.Recovered)
    AddFlag(Sale, FlagRecovered);
  const bool Empty = Volume <= 0.0 && (!Delta || std::fabs(Moved) <= VolumeTolerance);
  if (Empty)
    AddFlag(Sale, FlagEmpty);
  Sale.State = Empty ? TSaleState::Cleared : TSaleState::Payable;
  Sale.EndedMs = NowEpochMs();
  if (Sale.EndTotals.Known)
    Shared.Journal.SetLastTotals(Number, Address, Sale.EndTotals);
  Pump.Closing = Sale;
  FinishClose(Pump);
}

bool TLineWorker::FinishClose(TSlot &Pump) {
  const TSale Sale = *Pump.Closing;
  try {
    Shared.Journal.CloseSale(Sale);
  } catch (const EJournalError &E) {
    // Not closed, so not reported: tried again next cycle.
    Counted->NoteError(std::string("journal: ") + E.what());
    return false;
  }
  Pump.Closing.reset();
  Pump.Sale.reset();
  Pump.Recovered = false;
  Pump.LastSaleId = Sale.Id;
  Pump.Point.ShowFill(Sale.Volume, Sale.Amount);
  // Published even without a change of state: the figures shown during the fill
  // were its last reading, and clients must see the sale's own.
  const TStep Step = Pump.Point.OnSaleClosed(Sale.State != TSaleState::Cleared);
  PublishPump(Pump, Step.Changed ? Step.Changed->Reason : "sale closed");
  if (Sale.HasFlag(FlagVolumeMismatch))
    PublishSale(Sale, "volume differs from the totals");
  PublishSale(Sale, Sale.State == TSaleState::Cleared ? "closed empty" : "closed");
  return true;
}

// --- Prices -------------------------------------------------------------------

void TLineWorker::SendPrices(TSlot &Pump, bool Force) {
  if (!Pump.Prices.NeedsSend())
    return;
  const TPointState State = Pump.Point.State();
  if (State == TPointState::Offline) {
    if (Pump.Prices.Hold("waiting for the pump to answer"))
      PublishPrice(Pump);
    return;
  }
  if (Pump.Point.HasSale() || State == TPointState::Authorised ||
      State == TPointState::Fuelling) {
    if (Pump.Prices.Hold("held back while the pump is authorised or fuelling"))
      PublishPrice(Pump);
    return;
  }
  if (!Force && Pump.Prices.State() == TPriceState::Failed && NowMs() < Pump.PriceRetryAtMs)
    return;
  SendPriceList(Pump);
}

bool TLineWorker::SendPriceList(TSlot &Pump) {
  const TPriceTable &Want = Pump.Prices.Wanted().Positions;
  const int Address = Pump.Config.Address;
  // Each SetPrice stores one position and sends the whole table; the last call
  // therefore carries the complete list.
  bool Sent = false;
  TIoResult Result;
  for (int K = 1; K <= GradeCount && Result.Ok(); ++K) {
    const auto I = static_cast<std::size_t>(K - 1);
    if (Want[I] == Pump.Stored[I])
      continue;
    Result = Io->SetPrice(Address, K, Want[I]);
    if (Result.Kind != TIoResult::TKind::Refused)
      Pump.Stored[I] = Want[I];
    Sent = true;
  }
  if (!Sent)
    Result = Io->SetPrice(Address, 1, Want[0]);
  bool Changed = false;
  if (Result.Ok()) {
    Changed = Pump.Prices.OnSent(true, "");
  } else {
    Pump.PriceRetryAtMs = NowMs() + PriceRetryMs;
    Changed = Pump.Prices.OnSent(false, Result.Describe("price list"));
  }
  if (Changed)
    PublishPrice(Pump);
  return Result.Ok();
}

// --- Commands -----------------------------------------------------------------

TCommandResult TLineWorker::DoAuthorize(TSlot &Pump, const TPreset &Preset,
                                        std::optional<int> Grade) {
  if (auto Refusal = Pump.Point.RefuseAuthorise())
    return TCommandResult::Fail(TStatus::WrongState, *Refusal);
  if (Pump.Closing)
    return TCommandResult::Fail(TStatus::WrongState, "the pump's last sale is being closed");
  if (Grade) {
    bool Sells = false;
    for (int G : Pump.Config.Nozzles)
      Sells = Sells || G == *Grade;
    if (!Sells)
      return TCommandResult::Fail(TStatus::UnknownGrade,
                                  "the pump does not sell grade " + std::to_string(*Grade));
  }
  if (!Pump.Prices.Current()) {
    if (Pump.Prices.NeedsSend())
      SendPrices(Pump, true);
    if (!Pump.Prices.Current())
      return TCommandResult::Fail(TStatus::NoPrice, "the pump has not been sent its prices: " +
                                                        Pump.Prices.Reason());
  }
  const int Address = Pump.Config.Address;
  int Nozzle = Pump.Point.State() == TPointState::Calling ? Pump.Point.Nozzle() : 0;
  if (Pump.Config.NozzleCount() == 1)
    Nozzle = 1;
  const int NozzleGrade = Nozzle >= 1 && Nozzle <= Pump.Config.NozzleCount()
                              ? Pump.Config.Nozzles[static_cast<std::size_t>(Nozzle - 1)]
                              : 0;

  double Litres = 0.0;
  switch (Preset.Kind) {
  case TPreset::TKind::None:
    break;
  case TPreset::TKind::Litres:
    Litres = Preset.Value;
    if (!std::isfinite(Litres) || Litres <= 0.0 || Litres > MaxDoseLitres)
      return TCommandResult::Fail(TStatus::BadValue,
                                  "a preset in litres lies in 0.01..9999.99");
    break;
  case TPreset::TKind::Money: {
    int PriceGrade = Grade.value_or(NozzleGrade);
    if (PriceGrade == 0) {
      bool OneGrade = true;
      for (int G : Pump.Config.Nozzles)
        OneGrade = OneGrade && G == Pump.Config.Nozzles.front();
      if (!OneGrade)
        return TCommandResult::Fail(TStatus::UnknownGrade,
                                    "a money preset needs the grade: no nozzle is lifted");
      PriceGrade = Pump.Config.Nozzles.front();
    }
    const auto Price = Pump.Prices.SentPrice(PriceGrade);
    if (!Price || *Price <= 0.0)
      return TCommandResult::Fail(TStatus::NoPrice, "the pump sells grade " +
                                                        std::to_string(PriceGrade) +
                                                        " at no price");
    if (!std::isfinite(Preset.Value) || Preset.Value <= 0.0)
      return TCommandResult::Fail(TStatus::BadValue, "a money preset must be above 0");
    // Rounded down, so the fill never costs more than was paid.
    Litres = std::floor(Preset.Value / *Price * 100.0 + 1e-6) / 100.0;
    if (Litres <= 0.0 || Litres > MaxDoseLitres)
      return TCommandResult::Fail(TStatus::BadValue, "the money preset comes to " +
                                                         Money(Litres) +
                                                         " litres, outside 0.01..9999.99");
    break;
  }
  }

  TSale Sale;
  Sale.Line = Number;
  Sale.Pump = Address;
  Sale.Nozzle = Nozzle;
  Sale.Grade = NozzleGrade;
  Sale.Price = NozzleGrade != 0 ? Pump.Prices.SentPrice(NozzleGrade).value_or(0.0) : 0.0;
  Sale.Preset = Preset;
  Sale.State = TSaleState::Open;
  if (Pump.UsesTotals()) {
    const TIoResult Read = Io->Totals(Address, Sale.StartTotals);
    if (!Read.Ok())
      return TCommandResult::Fail(TStatus::LineFailed, Read.Describe("reading the totals"));
    CheckTotalsMoved(Pump, Sale.StartTotals, &Sale);
  } else {
    AddFlag(Sale, FlagNoTotals);
  }
  Sale.StartedMs = NowEpochMs();
  // Journaled before anything that could start a fill goes out.
  try {
    Sale = Shared.Journal.OpenSale(Sale);
  } catch (const EJournalError &E) {
    return TCommandResult::Fail(TStatus::Journal, E.what());
  }
  Pump.Sale = Sale;
  Pump.Recovered = false;
  Pump.SaleWrittenMs = NowMs();
  PublishSale(Sale, "opened");

  if (Preset.Kind != TPreset::TKind::None) {
    const TIoResult Dosed = Io->Dose(Address, Litres);
    if (!Dosed.Ok()) {
      // Nothing was authorised: the sale ends empty at once.
      Sale.EndTotals = Sale.StartTotals;
      Sale.EndedMs = NowEpochMs();
      Sale.State = TSaleState::Cleared;
      AddFlag(Sale, FlagEmpty);
      Pump.Closing = Sale;
      FinishClose(Pump);
      TCommandResult Result =
          TCommandResult::Fail(TStatus::LineFailed, Dosed.Describe("presetting the dose"));
      Result.Sale = Sale;
      return Result;
    }
  }
  const TIoResult Started = Io->Start(Address);
  Handle(Pump, Pump.Point.OnAuthorised(Started.Ok(), Nozzle));
  Snapshot(Pump);
  if (!Started.Ok()) {
    TCommandResult Result =
        TCommandResult::Fail(TStatus::LineFailed, Started.Describe("authorising the pump"));
    Result.Sale = Pump.Sale ? *Pump.Sale : Sale;
    return Result;
  }
  TCommandResult Result =
      Done(Preset.Kind == TPreset::TKind::None ? "authorised"
                                               : "authorised for " + Money(Litres) + " litres");
  Result.Sale = Pump.Sale ? *Pump.Sale : Sale;
  return Result;
}

TCommandResult TLineWorker::DoStop(TSlot &Pump) {
  if (auto Refusal = Pump.Point.RefuseStop())
    return TCommandResult::Fail(TStatus::WrongState, *Refusal);
  const TIoResult Stopped = Io->Stop(Pump.Config.Address);
  Handle(Pump, Pump.Point.OnStopped(Stopped.Ok()));
  Snapshot(Pump);
  if (!Stopped.Ok())
    return TCommandResult::Fail(TStatus::LineFailed, Stopped.Describe("stopping the pump"));
  return Done("stopped");
}

TCommandResult TLineWorker::DoUnblock(TSlot &Pump, int Code) {
  if (Code < 0 || Code > 255)
    return TCommandResult::Fail(TStatus::BadValue, "an unblock code lies in 0..255");
  if (auto Refusal = Pump.Point.RefuseUnblock())
    return TCommandResult::Fail(TStatus::WrongState, *Refusal);
  const TIoResult Unblocked = Io->Unblock(Pump.Config.Address, Code);
  Handle(Pump, Pump.Point.OnUnblocked(Unblocked.Ok()));
  if (!Unblocked.Ok())
    return TCommandResult::Fail(TStatus::LineFailed, Unblocked.Describe("unblocking the pump"));
  return Done("unblocked");
}

TCommandResult TLineWorker::Authorize(int Pump, const TPreset &Preset,
                                      std::optional<int> Grade) {
  return Post([this, Pump, Preset, Grade] {
    TSlot *Slot = Find(Pump);
    if (Slot == nullptr)
      return TCommandResult::Fail(TStatus::UnknownPump, "no such pump");
    return DoAuthorize(*Slot, Preset, Grade);
  });
}

TCommandResult TLineWorker::StopPump(int Pump) {
  return Post([this, Pump] {
    TSlot *Slot = Find(Pump);
    if (Slot == nullptr)
      return TCommandResult::Fail(TStatus::UnknownPump, "no such pump");
    return DoStop(*Slot);
  });
}

TCommandResult TLineWorker::StopAll() {
  return Post([this] {
    std::string Failures;
    for (auto &Slot : Slots) {
      const TPointState State = Slot->Point.State();
      if (State != TPointState::Authorised && State != TPointState::Fuelling)
        continue;
      const TCommandResult One = DoStop(*Slot);
      if (!One.Ok())
        Failures += (Failures.empty() ? "" : "; ") + Slot->Config.Id() + ": " + One.Message;
    }
    if (!Failures.empty())
      return TCommandResult::Fail(TStatus::LineFailed, Failures);
    return Done();
  });
}

TCommandResult TLineWorker::Unblock(int Pump, int Code) {
  return Post([this, Pump, Code] {
    TSlot *Slot = Find(Pump);
    if (Slot == nullptr)
      return TCommandResult::Fail(TStatus::UnknownPump, "no such pump");
    return DoUnblock(*Slot, Code);
  });
}

void TLineWorker::PricesChanged(const std::map<int, double> &Prices) {
  PostAsync([this, Prices] {
    StationPrices = Prices;
    for (auto &Slot : Slots)
      if (Slot->Prices.Update(StationPrices))
        PublishPrice(*Slot);
    return Done();
  });
}

void TLineWorker::SaleCleared(int Pump, std::int64_t SaleId) {
  PostAsync([this, Pump, SaleId] {
    TSlot *Slot = Find(Pump);
    if (Slot != nullptr && Slot->LastSaleId == SaleId) {
      const TStep Step = Slot->Point.OnSaleCleared();
      if (Step.Changed)
        PublishPump(*Slot, Step.Changed->Reason);
    }
    return Done();
  });
}

// --- Views and events ---------------------------------------------------------

TPumpSnapshot TLineWorker::MakeSnapshot(const TSlot &Pump) const {
  TPumpSnapshot View;
  View.Line = Number;
  View.Pump = Pump.Config.Address;
  View.State = Pump.Point.State();
  View.Nozzle = Pump.Point.Nozzle();
  if (View.Nozzle >= 1 && View.Nozzle <= Pump.Config.NozzleCount())
    View.Grade = Pump.Config.Nozzles[static_cast<std::size_t>(View.Nozzle - 1)];
  View.NozzleCount = Pump.Config.NozzleCount();
  View.Volume = Pump.Point.Volume();
  View.Amount = Pump.Point.Amount();
  if (Pump.Sale)
    View.Preset = Pump.Sale->Preset;
  View.PriceState = Pump.Prices.State();
  View.PriceReason = Pump.Prices.Reason();
  View.Prices = Pump.Prices.SentPrices();
  View.SaleId = Pump.Sale ? Pump.Sale->Id : Pump.LastSaleId;
  View.LastCode = Pump.Point.LastCode();
  View.AutoAuthorize = Pump.Config.AutoAuthorize;
  View.Reason = Pump.Point.Reason();
  return View;
}

void TLineWorker::Snapshot(TSlot &Pump) {
  TPumpSnapshot View = MakeSnapshot(Pump);
  std::lock_guard<std::mutex> Lock(Guard);
  for (auto &Old : Snapshots)
    if (Old.Pump == View.Pump)
      Old = std::move(View);
}

void TLineWorker::PublishPump(TSlot &Pump, const std::string &Reason) {
  Snapshot(Pump);
  TEvent Event;
  Event.Kind = TEvent::TKind::Pump;
  Event.Reason = Reason;
  Event.Pump = MakeSnapshot(Pump);
  Shared.Bus.Publish(std::move(Event));
}

void TLineWorker::PublishPrice(TSlot &Pump) {
  Snapshot(Pump);
  TEvent Event;
  Event.Kind = TEvent::TKind::Price;
  Event.Reason = Pump.Prices.Reason().empty() ? std::string(PriceStateName(Pump.Prices.State()))
                                              : Pump.Prices.Reason();
  Event.Pump = MakeSnapshot(Pump);
  Shared.Bus.Publish(std::move(Event));
}

void TLineWorker::PublishSale(const TSale &Sale, const std::string &Reason) {
  TEvent Event;
  Event.Kind = TEvent::TKind::Sale;
  Event.Reason = Reason;
  Event.Sale = Sale;
  Shared.Bus.Publish(std::move(Event));
}

void TLineWorker::PublishHealth() {
  TEvent Event;
  Event.Kind = TEvent::TKind::Line;
  Event.LineHealth = Health();
  Shared.Bus.Publish(std::move(Event));
}

std::vector<TPumpSnapshot> TLineWorker::Pumps() const {
  std::lock_guard<std::mutex> Lock(Guard);
  return Snapshots;
}

std::optional<TPumpSnapshot> TLineWorker::Pump(int Address) const {
  std::lock_guard<std::mutex> Lock(Guard);
  for (const auto &View : Snapshots)
    if (View.Pump == Address)
      return View;
  return std::nullopt;
}

TLineSnapshot TLineWorker::Health() const {
  std::lock_guard<std::mutex> Lock(Guard);
  return HealthView;
}

} // namespace de30::station
