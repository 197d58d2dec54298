#include "station/station.hpp"

#include "channels/serial_channel.hpp"
#include "channels/tcp_channel.hpp"
#include "station/line_captures.hpp"
#include "station/line_worker.hpp"
#include "station/prices.hpp"
#include "station/reservations.hpp"

#include <condition_variable>
#include <set>
#include <thread>

namespace de30::station {

using TStatus = TCommandResult::TStatus;

TChannelFactory RealLines() {
  return [](const TLineConfig &Line) -> std::unique_ptr<TComChannel> {
    std::unique_ptr<channels::TLineChannel> Channel;
    if (!Line.Serial.empty())
      Channel = std::make_unique<channels::TSerialChannel>(
          std::map<std::int32_t, std::string>{{Line.Number, Line.Serial}});
    else
      Channel =
          std::make_unique<channels::TTcpChannel>(std::map<std::int32_t, channels::TEndpoint>{
              {Line.Number, channels::TEndpoint{Line.TcpHost, Line.TcpPort}}});
    Channel->SetReplyTimeout(Line.Timeout);
    return Channel;
  };
}

struct TStation::TImpl {
  TStationOptions Options;
  std::unique_ptr<TLineCaptures> Captures; // outlives the workers that write to them
  std::vector<std::unique_ptr<TLineWorker>> Workers;
  std::mutex PriceGuard; // one price change at a time, in journal order
  std::unique_ptr<TReservations> Reservations;
  bool Started = false;
  // The housekeeping thread: expiries, once a second.
  std::thread Keeper;
  std::mutex KeeperGuard;
  std::condition_variable KeeperWake;
  bool KeeperStop = false;

  TLineWorker *Line(int Number) {
    for (auto &Worker : Workers)
      if (Worker->Line() == Number)
        return Worker.get();
    return nullptr;
  }
};

TStation::TStation(TStationConfig Config, TStationOptions Options)
    : Setup(std::move(Config)),
      Book(std::make_unique<TJournal>(Setup.Journal,
                                      static_cast<int>(Setup.JournalBusyTimeout.count()))),
      Impl(std::make_unique<TImpl>()) {
  Impl->Options = std::move(Options);
  if (Setup.JournalMaxBytes > 0)
    Book->LimitSize(Setup.JournalMaxBytes);
  Impl->Reservations = std::make_unique<TReservations>(*Book, Bus);
  const TLineShared Shared{Setup, Impl->Options, *Book, Bus};
  Impl->Captures = std::make_unique<TLineCaptures>(Setup.Lines, Setup.Journal,
                                                   Impl->Options.CaptureApplication);
  for (const TLineConfig &Line : Setup.Lines) {
    Impl->Workers.push_back(std::make_unique<TLineWorker>(Line, Shared));
    const auto Capture = Impl->Captures->For(Line.Number);
    if (!Line.Capture.empty())
      Impl->Workers.back()->AttachCapture(Line.Capture, Capture.Writer, Capture.Failure);
  }
  // A sale of a pump no longer configured stays open in the journal.
  for (const TSale &Sale : Book->OpenSales())
    if (TLineWorker *Worker = Impl->Line(Sale.Line))
      Worker->RecoverSale(Sale);
}

TStation::~TStation() { Stop(); }

void TStation::Start() {
  if (Impl->Started)
    return;
  Impl->Started = true;
  const auto Prices = Book->Prices();
  for (auto &Worker : Impl->Workers)
    Worker->Start(Prices);
  Impl->KeeperStop = false;
  Impl->Keeper = std::thread([this] {
    std::unique_lock Lock(Impl->KeeperGuard);
    while (!Impl->KeeperWake.wait_for(Lock, std::chrono::seconds(1),
                                      [this] { return Impl->KeeperStop; })) {
      Lock.unlock();
      Housekeep();
      Lock.lock();
    }
  });
}

void TStation::Stop() {
  if (Impl->Keeper.joinable()) {
    {
      std::lock_guard Lock(Impl->KeeperGuard);
      Impl->KeeperStop = true;
    }
    Impl->KeeperWake.notify_all();
    Impl->Keeper.join();
  }
  for (auto &Worker : Impl->Workers)
    Worker->Stop();
  Impl->Started = false;
}

void TStation::Housekeep() {
  const std::int64_t Now = NowEpochMs();
  Book->Probe();
  Impl->Reservations->Expire(Now);
  std::vector<TSale> Freed;
  try {
    Freed = Book->ExpireLocks(Now - std::chrono::milliseconds(Setup.LockTimeout).count());
  } catch (const EJournalError &) {
    return; // the journal's condition is watched and logged; tried again next time
  }
  for (TSale &Sale : Freed) {
    TEvent Event;
    Event.Kind = TEvent::TKind::Sale;
    Event.Reason = "lock_expired";
    Event.Sale = std::move(Sale);
    Bus.Publish(std::move(Event));
  }
}

std::vector<TPumpSnapshot> TStation::Pumps() const {
  std::vector<TPumpSnapshot> All;
  for (const auto &Worker : Impl->Workers)
    for (TPumpSnapshot &View : Worker->Pumps())
      All.push_back(std::move(View));
  return All;
}

std::optional<TPumpSnapshot> TStation::Pump(int Line, int Address) const {
  TLineWorker *Worker = Impl->Line(Line);
  if (Worker == nullptr)
    return std::nullopt;
  return Worker->Pump(Address);
}

std::vector<TLineSnapshot> TStation::Lines() const {
  std::vector<TLineSnapshot> All;
  for (const auto &Worker : Impl->Workers)
    All.push_back(Worker->Health());
  return All;
}

namespace {

std::future<TCommandResult> Answered(TCommandResult Result) {
  std::promise<TCommandResult> Promise;
  Promise.set_value(std::move(Result));
  return Promise.get_future();
}

TCommandResult NoPump(int Line, int Address) {
  return TCommandResult::Fail(TStatus::UnknownPump, "no pump " + std::to_string(Line) + ":" +
                                                        std::to_string(Address));
}

} // namespace

std::optional<TCommandResult> TStation::Reserved(int Line, int Address,
                                                 const std::string &Client) {
  return Impl->Reservations->Refusal(Line, Address, Client, NowEpochMs());
}

std::future<TCommandResult> TStation::AuthorizeAsync(int Line, int Address,
                                                     const TPreset &Preset,
                                                     std::optional<int> Grade) {
  TLineWorker *Worker = Impl->Line(Line);
  if (Worker == nullptr || !Worker->HasPump(Address))
    return Answered(NoPump(Line, Address));
  if (Worker->Tap())
    return Answered(TCommandResult::Fail(TStatus::TapLine, TapRefusal(Line)));
  if (Grade && Setup.FindGrade(*Grade) == nullptr)
    return Answered(
        TCommandResult::Fail(TStatus::UnknownGrade, "no grade " + std::to_string(*Grade)));
  return Worker->Authorize(Address, Preset, Grade);
}

TCommandResult TStation::Authorize(int Line, int Address, const TPreset &Preset,
                                   std::optional<int> Grade, const std::string &Client) {
  if (auto Refused = Reserved(Line, Address, Client))
    return *Refused;
  return AuthorizeAsync(Line, Address, Preset, Grade).get();
}

std::future<TCommandResult> TStation::StopPumpAsync(int Line, int Address) {
  TLineWorker *Worker = Impl->Line(Line);
  if (Worker == nullptr || !Worker->HasPump(Address))
    return Answered(NoPump(Line, Address));
  return Worker->StopPump(Address);
}

TCommandResult TStation::StopPump(int Line, int Address, const std::string &Client) {
  if (auto Refused = Reserved(Line, Address, Client))
    return *Refused;
  return StopPumpAsync(Line, Address).get();
}

TCommandResult TStation::StopAll() {
  std::string Failures;
  TStatus Status = TStatus::Ok;
  // Every line stops its pumps at once; none waits for another.
  std::vector<std::future<TCommandResult>> Answers;
  for (auto &Worker : Impl->Workers)
    Answers.push_back(Worker->StopAll());
  std::string Skipped;
  for (auto &Answer : Answers) {
    const TCommandResult One = Answer.get();
    if (One.Ok()) {
      // A tap line answers what it left alone.
      if (!One.Message.empty())
        Skipped += (Skipped.empty() ? "" : "; ") + One.Message;
      continue;
    }
    Status = One.Status;
    Failures += (Failures.empty() ? "" : "; ") + One.Message;
  }
  if (Status != TStatus::Ok)
    return TCommandResult::Fail(Status, Failures + (Skipped.empty() ? "" : "; " + Skipped));
  TCommandResult Result;
  Result.Message = Skipped;
  return Result;
}

TCommandResult TStation::Unblock(int Line, int Address, int Code, const std::string &Client) {
  TLineWorker *Worker = Impl->Line(Line);
  if (Worker == nullptr || !Worker->HasPump(Address))
    return NoPump(Line, Address);
  if (Worker->Tap())
    return TCommandResult::Fail(TStatus::TapLine, TapRefusal(Line));
  if (Code < 0 || Code > 255)
    return TCommandResult::Fail(TStatus::BadValue, "an unblock code lies in 0..255");
  if (auto Refused = Reserved(Line, Address, Client))
    return *Refused;
  return Worker->Unblock(Address, Code).get();
}

TCommandResult TStation::Reserve(int Line, int Address, const std::string &Client,
                                 std::int64_t Seconds) {
  TLineWorker *Worker = Impl->Line(Line);
  if (Worker == nullptr || !Worker->HasPump(Address))
    return NoPump(Line, Address);
  if (Worker->Tap())
    return TCommandResult::Fail(TStatus::TapLine, TapRefusal(Line));
  return Impl->Reservations->Reserve(Line, Address, Client, Seconds, NowEpochMs());
}

TCommandResult TStation::Release(int Line, int Address, const std::string &Client, bool Force) {
  TLineWorker *Worker = Impl->Line(Line);
  if (Worker == nullptr || !Worker->HasPump(Address))
    return NoPump(Line, Address);
  if (Worker->Tap())
    return TCommandResult::Fail(TStatus::TapLine, TapRefusal(Line));
  return Impl->Reservations->Release(Line, Address, Client, Force);
}

std::optional<TReservation> TStation::Reservation(int Line, int Address) const {
  return Impl->Reservations->Of(Line, Address);
}

std::vector<TReservation> TStation::Reservations() const { return Impl->Reservations->All(); }

TCommandResult TStation::SetPrices(const std::map<int, double> &Prices) {
  if (Prices.empty())
    return TCommandResult::Fail(TStatus::BadValue, "no prices given");
  for (const auto &[Grade, Price] : Prices) {
    if (Setup.FindGrade(Grade) == nullptr)
      return TCommandResult::Fail(TStatus::UnknownGrade, "no grade " + std::to_string(Grade));
    if (!ValidPrice(Price))
      return TCommandResult::Fail(
          TStatus::BadValue, "a price lies in 0.00..99.99 with at most two decimals (grade " +
                                 std::to_string(Grade) + ")");
  }
  std::lock_guard<std::mutex> Lock(Impl->PriceGuard);
  std::map<int, double> All;
  try {
    Book->SetPrices(Prices);
    All = Book->Prices();
  } catch (const EJournalError &E) {
    return TCommandResult::Fail(TStatus::Journal, E.what());
  }
  for (auto &Worker : Impl->Workers)
    Worker->PricesChanged(All);
  TCommandResult Result;
  Result.Message = "prices recorded; each pump gets its list once idle";
  return Result;
}

std::map<int, double> TStation::Prices() { return Book->Prices(); }

namespace {

TCommandResult FromClaim(TClaimResult Claim) {
  switch (Claim) {
  case TClaimResult::Done:
  case TClaimResult::AlreadyDone:
    return TCommandResult{};
  case TClaimResult::UnknownSale:
    return TCommandResult::Fail(TStatus::UnknownSale, "no such sale");
  case TClaimResult::NotPayable:
    return TCommandResult::Fail(TStatus::NotPayable,
                                "the sale is open, locked by another client, or cleared");
  case TClaimResult::NotLocked:
    return TCommandResult::Fail(TStatus::NotLocked, "lock the sale before clearing it");
  case TClaimResult::LockedByOther:
    return TCommandResult::Fail(TStatus::LockedByOther, "another client holds the lock");
  case TClaimResult::AlreadyCleared:
    return TCommandResult::Fail(TStatus::AlreadyCleared, "cleared before by another client");
  case TClaimResult::Observed:
    return TCommandResult::Fail(TStatus::TapLine,
                                "the sale was heard on a tap line: another controller sold it");
  }
  return TCommandResult::Fail(TStatus::Journal, "unknown claim result");
}

} // namespace

std::vector<TShiftCounter> TStation::ShiftCounters() const {
  std::vector<TShiftCounter> All;
  for (const TPumpConfig &Pump : Setup.Pumps)
    for (int Nozzle = 1; Nozzle <= Pump.NozzleCount(); ++Nozzle) {
      TShiftCounter Counter{Pump.Line, Pump.Address, Nozzle, Pump.Nozzles[Nozzle - 1], {}};
      // A nozzle's own totals: the pump's one counter with one nozzle; nozzle
      // 2's with a per_nozzle pair. Elsewhere they tell nothing of the nozzle.
      if (Pump.NozzleCount() > 2)
        Counter.NotOwn = "the totals of a pump with more than two nozzles are not read";
      else if (Pump.NozzleCount() == 2 && Pump.Totals == TTotalsLayout::Sum)
        Counter.NotOwn = "the pump's totals count both nozzles together";
      else if (Pump.NozzleCount() == 2 && Pump.Totals == TTotalsLayout::PerNozzle &&
               Nozzle == 1)
        Counter.NotOwn = "the pump's totals count nozzle 2 only";
      else if (Pump.NozzleCount() == 2 && Pump.Totals == TTotalsLayout::Unknown)
        Counter.NotOwn = "the pump's totals layout is not known";
      All.push_back(std::move(Counter));
    }
  return All;
}

std::optional<TShift> TStation::CloseShift(const std::string &Client,
                                           std::optional<std::int64_t> Expected) {
  auto Closed = Book->CloseShift(Client, ShiftCounters(), Expected);
  if (Closed) {
    TEvent Event;
    Event.Kind = TEvent::TKind::Shift;
    Event.Reason = "closed";
    Event.Shift = *Closed;
    Bus.Publish(std::move(Event));
  }
  return Closed;
}

TShift TStation::ShiftSoFar() { return Book->ShiftSoFar(ShiftCounters()); }

TCommandResult TStation::LockSale(std::int64_t Id, const std::string &Client) {
  return Claim(Id, Client, "lock");
}

TCommandResult TStation::ClearSale(std::int64_t Id, const std::string &Client) {
  return Claim(Id, Client, "clear");
}

TCommandResult TStation::UnlockSale(std::int64_t Id, const std::string &Client, bool Force) {
  return Claim(Id, Client, "unlock", Force);
}

TCommandResult TStation::Claim(std::int64_t Id, const std::string &Client, const char *What,
                               bool Force) {
  const std::string Kind = What;
  const bool Lock = Kind == "lock";
  const bool Clear = Kind == "clear";
  if (Client.empty())
    return TCommandResult::Fail(TStatus::BadValue,
                                std::string("a ") + What + " needs the client's name");
  TClaimResult Claimed;
  std::optional<TSale> Sale;
  try {
    Claimed = Lock    ? Book->LockSale(Id, Client)
              : Clear ? Book->ClearSale(Id, Client)
                      : Book->UnlockSale(Id, Client, Force);
    Sale = Book->Sale(Id);
  } catch (const EJournalError &E) {
    // A claim that was made but could not be read back is still told as not
    // done: the client repeats it, and a repeat by the same client is answered
    // as done.
    return TCommandResult::Fail(TStatus::Journal, E.what());
  }
  TCommandResult Result = FromClaim(Claimed);
  if (!Lock && !Clear && Claimed == TClaimResult::NotLocked)
    Result.Message = "the sale is not locked";
  if (!Lock && !Clear && Claimed == TClaimResult::LockedByOther)
    Result.Message = "another client holds the lock; an admin may take it back with force";
  Result.Sale = Sale;
  if (Claimed == TClaimResult::Done && Result.Sale) {
    TEvent Event;
    Event.Kind = TEvent::TKind::Sale;
    Event.Reason = Lock ? "locked" : Clear ? "cleared" : "unlocked";
    Event.Sale = *Result.Sale;
    Bus.Publish(std::move(Event));
    // A cleared sale frees its pump's point from completed, and the pump from
    // the reservation it was sold under.
    if (Clear) {
      if (TLineWorker *Worker = Impl->Line(Result.Sale->Line))
        Worker->SaleCleared(Result.Sale->Pump, Id);
      Impl->Reservations->SaleCleared(*Result.Sale);
    }
  }
  return Result;
}

} // namespace de30::station
