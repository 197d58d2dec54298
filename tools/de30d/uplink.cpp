#include "uplink.hpp"

#include "log.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace de30::service {
namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// libmosquitto is set up once per process, before its first client.
void InitLibrary() {
  static const int Ready = mosquitto_lib_init();
  (void)Ready;
}

std::string ErrorText(int Code) {
  if (Code == MOSQ_ERR_ERRNO)
    return std::strerror(errno);
  return mosquitto_strerror(Code);
}

std::string BrokerName(const station::TUplinkConfig &Config) {
  const bool V6 = Config.Host.find(':') != std::string::npos;
  return (V6 ? "[" + Config.Host + "]" : Config.Host) + ":" + std::to_string(Config.Port);
}

std::string Seconds(milliseconds Pause) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f s", static_cast<double>(Pause.count()) / 1000.0);
  return Text;
}

} // namespace

TJson SaleMessage(const station::TSale &Sale, const std::string &StationId) {
  TJson Message = SaleJson(Sale);
  Message["station"] = StationId;
  return Message;
}

TJson PumpMessage(const station::TPumpSnapshot &Pump, const std::string &StationId,
                  std::int64_t AtMs) {
  TJson Message = PumpJson(Pump);
  Message["station"] = StationId;
  Message["at"] = station::IsoTime(AtMs);
  return Message;
}

TJson StatusMessage(const std::string &StationId, bool Online) {
  return {{"station", StationId}, {"online", Online}};
}

struct TUplink::TImpl {
  TImpl(station::TStation &On, station::TUplinkConfig Config, TUplinkOptions Chosen)
      : Station(On), Setup(std::move(Config)), Options(Chosen),
        StationId(On.Config().StationId), SalesTopic(Setup.Topic + "/sales"),
        PumpsTopic(Setup.Topic + "/pumps/"), StatusTopic(Setup.Topic + "/status"),
        Broker(BrokerName(Setup)) {}

  station::TStation &Station;
  const station::TUplinkConfig Setup;
  const TUplinkOptions Options;
  const std::string StationId;
  const std::string SalesTopic;
  const std::string PumpsTopic; // + "LINE:PUMP"
  const std::string StatusTopic;
  const std::string Broker;

  std::thread Worker;
  std::mutex WakeGuard;
  std::condition_variable Wake;
  bool Stopping = false;

  mutable std::mutex StatusGuard;
  TUplinkStatus Shown;

  // The worker's own from here on; libmosquitto's callbacks run inside
  // mosquitto_loop() on the worker's thread.
  std::shared_ptr<station::TEventBus::TSubscription> Events;
  mosquitto *Client = nullptr;
  bool Connected = false;
  bool Dropping = false; // the connection is to be given up
  std::string DropReason;
  TClock::time_point ConnectStarted{};
  TClock::time_point NextAttempt{};
  TClock::time_point NextBacklogLook{};
  TClock::time_point NextAwayReport{};
  int Failures = 0;                       // attempts in a row that did not end in a connection
  std::map<int, std::int64_t> InFlight;   // message id to sale id, awaiting PUBACK
  std::vector<std::int64_t> Acknowledged; // acknowledged, not yet marked in the journal
  bool BacklogDue = true;
  bool BacklogReported = false;
  int StatusMid = -1;
  bool StatusAcknowledged = false;
  struct TPumpState {
    station::TPumpSnapshot Pump;
    std::int64_t AtMs = 0;
    bool Due = true;
  };
  std::map<std::string, TPumpState> Pumps;

  bool StopAsked() {
    std::lock_guard Lock(WakeGuard);
    return Stopping;
  }
  void Pause(milliseconds For) {
    std::unique_lock Lock(WakeGuard);
    Wake.wait_for(Lock, For, [this] { return Stopping; });
  }
  void Show(bool Up, bool NewConnection, std::size_t Marked) {
    std::lock_guard Lock(StatusGuard);
    Shown.Connected = Up;
    Shown.Connections += NewConnection ? 1 : 0;
    Shown.Acknowledged += Marked;
  }
  // Sales that wait in the journal; -1 when the journal cannot tell.
  std::int64_t Backlog() {
    try {
      return Station.Journal().UploadBacklogCount();
    } catch (const station::EJournalError &Error) {
      Log(TLevel::Error, std::string("uplink: ") + Error.what());
      return -1;
    }
  }
  std::string Waiting() {
    const auto Count = Backlog();
    return Count < 0 ? std::string()
                     : "; " + std::to_string(Count) + " sales wait in the journal";
  }
  void GiveUp(std::string Reason) {
    if (Dropping)
      return;
    Dropping = true;
    DropReason = std::move(Reason);
  }

  void LoadPumps() {
    const auto Now = station::NowEpochMs();
    for (const auto &Pump : Station.Pumps())
      Pumps[Pump.Id()] = TPumpState{Pump, Now, true};
  }

  void Run();
  void Connect();
  void Drop();
  void ReadEvents();
  void MarkAcknowledged();
  void PublishPumps();
  void PublishSales();
  void SayOffline();

  static void OnConnect(mosquitto *, void *Self, int Code) {
    static_cast<TImpl *>(Self)->Accepted(Code);
  }
  static void OnDisconnect(mosquitto *, void *Self, int Code) {
    static_cast<TImpl *>(Self)->GiveUp(Code == 0 ? "disconnected" : "the connection was lost");
  }
  static void OnPublish(mosquitto *, void *Self, int Mid) {
    static_cast<TImpl *>(Self)->Acknowledge(Mid);
  }
  void Accepted(int Code);
  void Acknowledge(int Mid);
};

void TUplink::TImpl::Run() {
  while (!StopAsked()) {
    ReadEvents();
    if (Client == nullptr) {
      const auto Now = TClock::now();
      if (Now < NextAttempt) {
        Pause(std::min(milliseconds(100),
                       std::chrono::duration_cast<milliseconds>(NextAttempt - Now) +
                           milliseconds(1)));
        continue;
      }
      Connect();
    }
    if (Client != nullptr && !Dropping) {
      const int Result = mosquitto_loop(Client, 100, 1);
      if (Result != MOSQ_ERR_SUCCESS)
        GiveUp(ErrorText(Result));
    }
    if (!Connected && !Dropping && TClock::now() - ConnectStarted > Options.ConnectTimeout)
      GiveUp("no answer within " + Seconds(Options.ConnectTimeout));
    MarkAcknowledged();
    if (Dropping) {
      Drop();
      continue;
    }
    if (Connected) {
      PublishPumps();
      PublishSales();
    }
  }
  if (Client != nullptr) {
    if (Connected && !Dropping)
      SayOffline();
    MarkAcknowledged();
    mosquitto_destroy(Client);
    Client = nullptr;
    Show(false, false, 0);
  }
}

void TUplink::TImpl::Connect() {
  Dropping = false;
  DropReason.clear();
  ConnectStarted = TClock::now();
  Client = mosquitto_new(Setup.ClientId.c_str(), true, this);
  if (Client == nullptr) {
    GiveUp(std::string("cannot create an MQTT client: ") + std::strerror(errno));
    return;
  }
  mosquitto_connect_callback_set(Client, &TImpl::OnConnect);
  mosquitto_disconnect_callback_set(Client, &TImpl::OnDisconnect);
  mosquitto_publish_callback_set(Client, &TImpl::OnPublish);
  mosquitto_max_inflight_messages_set(Client, static_cast<unsigned>(Options.Window));
  // Should de30d or its link die, the broker tells the office.
  const std::string Will = StatusMessage(StationId, false).dump();
  mosquitto_will_set(Client, StatusTopic.c_str(), static_cast<int>(Will.size()), Will.data(), 1,
                     true);
  const int Result = mosquitto_connect_async(Client, Setup.Host.c_str(), Setup.Port,
                                             static_cast<int>(Setup.KeepAlive.count()));
  if (Result != MOSQ_ERR_SUCCESS)
    GiveUp(ErrorText(Result));
}

void TUplink::TImpl::Accepted(int Code) {
  if (Code != 0) {
    GiveUp(std::string("the broker refused the connection: ") + mosquitto_connack_string(Code));
    return;
  }
  Connected = true;
  Failures = 0;
  InFlight.clear();
  BacklogDue = true;
  for (auto &[Id, State] : Pumps)
    State.Due = true;
  Show(true, true, 0);
  const std::string Online = StatusMessage(StationId, true).dump();
  mosquitto_publish(Client, nullptr, StatusTopic.c_str(), static_cast<int>(Online.size()),
                    Online.data(), 1, true);
  const auto Count = Backlog();
  BacklogReported = Count > 0;
  Log(TLevel::Info, "uplink: connected to " + Broker + " as " + Setup.ClientId +
                        (Count > 0 ? "; " + std::to_string(Count) + " sales to send" : ""));
}

void TUplink::TImpl::Acknowledge(int Mid) {
  if (Mid == StatusMid)
    StatusAcknowledged = true;
  const auto Found = InFlight.find(Mid);
  if (Found == InFlight.end())
    return; // a pump state or the status: nothing to mark
  Acknowledged.push_back(Found->second);
  InFlight.erase(Found);
  BacklogDue = true;
}

void TUplink::TImpl::Drop() {
  const bool WasUp = Connected;
  Connected = false;
  InFlight.clear();
  if (Client != nullptr) {
    mosquitto_destroy(Client);
    Client = nullptr;
  }
  Show(false, false, 0);
  Dropping = false;
  ++Failures;
  auto Next = Options.RetryFirst;
  for (int I = 1; I < Failures && Next < Options.RetryMax; ++I)
    Next *= 2;
  Next = std::min(Next, Options.RetryMax);
  const auto Now = TClock::now();
  NextAttempt = Now + Next;
  if (WasUp || Failures == 1) {
    Log(TLevel::Warn,
        "uplink: " + std::string(WasUp ? "lost the broker " : "cannot reach the broker ") +
            Broker + " (" + DropReason + ")" + Waiting() + "; trying again in " +
            Seconds(Next));
    NextAwayReport = Now + Options.AwayReport;
  } else if (Now >= NextAwayReport) {
    Log(TLevel::Warn,
        "uplink: the broker " + Broker + " is still away (" + DropReason + ")" + Waiting());
    NextAwayReport = Now + Options.AwayReport;
  } else {
    Log(TLevel::Debug,
        "uplink: broker " + Broker + ": " + DropReason + "; trying again in " + Seconds(Next));
  }
}

void TUplink::TImpl::ReadEvents() {
  station::TEvent Event;
  while (Events->Next(Event, 0)) {
    if (Event.Kind == station::TEvent::TKind::Sale) {
      BacklogDue = true;
    } else if (Event.Kind == station::TEvent::TKind::Pump) {
      auto &State = Pumps[Event.Pump.Id()];
      if (State.AtMs == 0 || State.Pump.State != Event.Pump.State) {
        State.Due = true;
        State.AtMs = Event.AtMs;
      }
      State.Pump = Event.Pump;
    }
  }
  if (Events->Overflowed()) {
    // Fell behind (a stalled journal, a storm of events): start again from the
    // station's current state and the journal.
    Events = Station.Events().Subscribe();
    LoadPumps();
    BacklogDue = true;
  }
}

void TUplink::TImpl::MarkAcknowledged() {
  if (Acknowledged.empty())
    return;
  try {
    Station.Journal().MarkUploaded(Acknowledged);
  } catch (const station::EJournalError &Error) {
    // Kept and tried again; should de30d stop first, the sales go out again.
    Log(TLevel::Error, std::string("uplink: cannot mark delivered sales: ") + Error.what());
    return;
  }
  for (const auto Id : Acknowledged)
    Log(TLevel::Debug, "uplink: sale " + std::to_string(Id) + " delivered");
  Show(Connected, false, Acknowledged.size());
  Acknowledged.clear();
}

void TUplink::TImpl::PublishPumps() {
  for (auto &[Id, State] : Pumps) {
    if (!State.Due)
      continue;
    const std::string Topic = PumpsTopic + Id;
    const std::string Payload = PumpMessage(State.Pump, StationId, State.AtMs).dump();
    // The state of the moment, kept by the broker for whoever subscribes next;
    // a state lost with the connection is replaced by the next connection's.
    const int Result =
        mosquitto_publish(Client, nullptr, Topic.c_str(), static_cast<int>(Payload.size()),
                          Payload.data(), 0, true);
    if (Result != MOSQ_ERR_SUCCESS) {
      GiveUp(ErrorText(Result));
      return;
    }
    State.Due = false;
  }
}

void TUplink::TImpl::PublishSales() {
  const auto Now = TClock::now();
  const int Room = Options.Window - static_cast<int>(InFlight.size());
  if (Room <= 0 || (!BacklogDue && Now < NextBacklogLook))
    return;
  // Sales already published (or acknowledged and not yet marked) are still due
  // in the journal: they are skipped, not sent twice.
  std::set<std::int64_t> Busy(Acknowledged.begin(), Acknowledged.end());
  for (const auto &[Mid, Id] : InFlight)
    Busy.insert(Id);
  std::vector<station::TSale> Due;
  try {
    Due = Station.Journal().UploadBacklog(Room + static_cast<int>(Busy.size()));
  } catch (const station::EJournalError &Error) {
    Log(TLevel::Error, std::string("uplink: cannot read the journal: ") + Error.what());
    BacklogDue = false;
    NextBacklogLook = Now + Options.BacklogPoll;
    return;
  }
  BacklogDue = false;
  NextBacklogLook = Now + Options.BacklogPoll;
  int Sent = 0;
  for (const auto &Sale : Due) {
    if (Busy.count(Sale.Id))
      continue;
    if (Sent == Room) {
      BacklogDue = true; // more wait: the next acknowledgement makes room
      break;
    }
    const std::string Payload = SaleMessage(Sale, StationId).dump();
    int Mid = 0;
    const int Result =
        mosquitto_publish(Client, &Mid, SalesTopic.c_str(), static_cast<int>(Payload.size()),
                          Payload.data(), 1, false);
    if (Result != MOSQ_ERR_SUCCESS) {
      GiveUp(ErrorText(Result));
      return;
    }
    InFlight[Mid] = Sale.Id;
    ++Sent;
  }
  if (BacklogReported && Due.empty() && InFlight.empty() && Acknowledged.empty()) {
    BacklogReported = false;
    Log(TLevel::Info, "uplink: every closed sale is delivered");
  }
}

void TUplink::TImpl::SayOffline() {
  const std::string Offline = StatusMessage(StationId, false).dump();
  StatusAcknowledged = false;
  if (mosquitto_publish(Client, &StatusMid, StatusTopic.c_str(),
                        static_cast<int>(Offline.size()), Offline.data(), 1,
                        true) == MOSQ_ERR_SUCCESS) {
    const auto Deadline = TClock::now() + milliseconds(1000);
    while (!StatusAcknowledged && !Dropping && TClock::now() < Deadline)
      if (mosquitto_loop(Client, 50, 1) != MOSQ_ERR_SUCCESS)
        break;
  }
  mosquitto_disconnect(Client);
  mosquitto_loop(Client, 50, 1);
  Log(TLevel::Info, "uplink: disconnected from " + Broker + Waiting());
}

TUplink::TUplink(station::TStation &Station, station::TUplinkConfig Config,
                 TUplinkOptions Options)
    : Impl(std::make_unique<TImpl>(Station, std::move(Config), Options)) {
  InitLibrary();
}

TUplink::~TUplink() { Stop(); }

void TUplink::Start() {
  if (Impl->Worker.joinable())
    return;
  {
    std::lock_guard Lock(Impl->WakeGuard);
    Impl->Stopping = false;
  }
  // Subscribed before the thread runs, so that no state change falls between.
  Impl->Events = Impl->Station.Events().Subscribe();
  Impl->LoadPumps();
  Impl->Worker = std::thread([this] { Impl->Run(); });
}

void TUplink::Stop() {
  {
    std::lock_guard Lock(Impl->WakeGuard);
    Impl->Stopping = true;
  }
  Impl->Wake.notify_all();
  if (Impl->Worker.joinable())
    Impl->Worker.join();
}

TUplinkStatus TUplink::Status() const {
  std::lock_guard Lock(Impl->StatusGuard);
  return Impl->Shown;
}

const station::TUplinkConfig &TUplink::Config() const { return Impl->Setup; }

} // namespace de30::service
