#include "uplink.hpp"

#include "log.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iterator>
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

// An encrypted key would make OpenSSL ask for its passphrase on the terminal a
// service has not got: no passphrase is given, and such a key fails to load.
int NoPassphrase(char *, int, int, void *) { return 0; }

// "error:0A000086:SSL routines::certificate verify failed" -> "certificate
// verify failed": what OpenSSL found, without its codes.
std::string OpenSslReason(const std::string &Line) {
  const auto Cut = Line.rfind(':');
  std::string Reason = Cut == std::string::npos ? Line : Line.substr(Cut + 1);
  while (!Reason.empty() && Reason.front() == ' ')
    Reason.erase(Reason.begin());
  return Reason.empty() ? Line : Reason;
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

TJson AlarmMessage(const station::TAlarm &Alarm, const std::string &StationId) {
  TJson Message = AlarmJson(Alarm);
  Message["station"] = StationId;
  return Message;
}

namespace {

std::vector<std::int64_t> AcknowledgedIds(const std::string &Payload,
                                          const std::string &StationId, const char *Key) {
  const auto Message = TJson::parse(Payload, nullptr, false);
  std::vector<std::int64_t> Ids;
  if (!Message.is_object() || !Message.contains("station") || !Message.contains(Key) ||
      Message["station"] != StationId || !Message[Key].is_array())
    return Ids;
  for (const auto &Id : Message[Key])
    if (Id.is_number_integer() && Id.get<std::int64_t>() > 0)
      Ids.push_back(Id.get<std::int64_t>());
  return Ids;
}

} // namespace

std::vector<std::int64_t> AcknowledgedSales(const std::string &Payload,
                                            const std::string &StationId) {
  return AcknowledgedIds(Payload, StationId, "sales");
}

std::vector<std::int64_t> AcknowledgedShifts(const std::string &Payload,
                                             const std::string &StationId) {
  return AcknowledgedIds(Payload, StationId, "shifts");
}

TJson ShiftMessage(const station::TShift &Shift, const std::string &StationId) {
  TJson Message = ShiftJson(Shift);
  Message["station"] = StationId;
  return Message;
}

const char *UplinkFaultName(TUplinkFault Fault) {
  switch (Fault) {
  case TUplinkFault::None:
    break;
  case TUplinkFault::Unreachable:
    return "unreachable";
  case TUplinkFault::Tls:
    return "tls";
  case TUplinkFault::Credentials:
    return "credentials";
  case TUplinkFault::Refused:
    return "refused";
  }
  return "none";
}

struct TUplink::TImpl {
  using TBy = station::TUplinkConfig::TAcknowledgedBy;

  TImpl(station::TStation &On, station::TUplinkConfig Config, TUplinkOptions Chosen)
      : Station(On), Setup(std::move(Config)), Options(Chosen),
        StationId(On.Config().StationId), SalesTopic(Setup.Topic + "/sales"),
        PumpsTopic(Setup.Topic + "/pumps/"), StatusTopic(Setup.Topic + "/status"),
        AcksTopic(Setup.Topic + "/acks"), AlarmsTopic(Setup.Topic + "/alarms"),
        ShiftsTopic(Setup.Topic + "/shifts"), Broker(BrokerName(Setup)),
        ByOffice(Setup.AcknowledgedBy == TBy::Office) {}

  station::TStation &Station;
  const station::TUplinkConfig Setup;
  const TUplinkOptions Options;
  const std::string StationId;
  const std::string SalesTopic;
  const std::string PumpsTopic; // + "LINE:PUMP"
  const std::string StatusTopic;
  const std::string AcksTopic;
  const std::string AlarmsTopic;
  const std::string ShiftsTopic;
  const std::string Broker;
  const bool ByOffice; // a sale is delivered once the office acknowledges it

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
  TUplinkFault DropFault = TUplinkFault::None;
  TUplinkFault LoggedFault = TUplinkFault::None; // the fault the last warning named
  std::string TlsError; // what OpenSSL said during this connection, if anything
  TClock::time_point ConnectStarted{};
  TClock::time_point NextAttempt{};
  TClock::time_point NextBacklogLook{};
  TClock::time_point NextAwayReport{};
  int Failures = 0;                     // attempts in a row that did not end in a connection
  std::map<int, std::int64_t> InFlight; // message id to sale id, awaiting PUBACK
  // Sales sent and not yet acknowledged by the office: when each goes out again,
  // and how often it went out.
  struct TSent {
    TClock::time_point ResendAt;
    int Attempts = 0;
  };
  std::map<std::int64_t, TSent> Sent;
  std::set<std::int64_t> Acknowledged; // acknowledged, not yet marked in the journal
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
  std::map<std::int64_t, station::TAlarm> AlarmsDue; // by id, oldest first
  // Closed shifts, delivered as sales are: published and awaiting the PUBACK
  // (message id to shift id), sent and awaiting the office, acknowledged and
  // not yet marked.
  std::map<int, std::int64_t> ShiftsInFlight;
  std::map<std::int64_t, TSent> ShiftsSent;
  std::set<std::int64_t> ShiftsAcknowledged;
  bool ShiftsDue = true;
  TClock::time_point NextShiftLook{};

  bool StopAsked() {
    std::lock_guard Lock(WakeGuard);
    return Stopping;
  }
  void Pause(milliseconds For) {
    std::unique_lock Lock(WakeGuard);
    Wake.wait_for(Lock, For, [this] { return Stopping; });
  }
  void Show(bool Up, bool NewConnection, std::size_t Marked, std::size_t Resent = 0) {
    std::lock_guard Lock(StatusGuard);
    Shown.Connected = Up;
    Shown.Connections += NewConnection ? 1 : 0;
    Shown.Acknowledged += Marked;
    Shown.Resent += Resent;
    if (Up) {
      Shown.Fault = TUplinkFault::None;
      Shown.FaultText.clear();
    }
  }
  void ShowFault(TUplinkFault Fault, const std::string &Text) {
    std::lock_guard Lock(StatusGuard);
    Shown.Connected = false;
    Shown.Fault = Fault;
    Shown.FaultText = Text;
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
  void GiveUp(std::string Reason, TUplinkFault Fault = TUplinkFault::Unreachable) {
    if (Dropping)
      return;
    // A handshake that failed says why through OpenSSL, whatever code came back;
    // once connected, an OpenSSL error is only how the connection was lost.
    if (Fault == TUplinkFault::Unreachable && !TlsError.empty() && !Connected) {
      Fault = TUplinkFault::Tls;
      Reason = TlsError;
    }
    Dropping = true;
    DropReason = std::move(Reason);
    DropFault = Fault;
  }
  // How long the office may take to acknowledge a sale sent Attempts times.
  milliseconds AckWait(int Attempts) const {
    milliseconds Wait = Setup.AckTimeout;
    for (int I = 1; I < Attempts && Wait < Setup.AckTimeout * 10; ++I)
      Wait *= 2;
    return std::min<milliseconds>(Wait, Setup.AckTimeout * 10);
  }
  std::string FaultMessage() const;

  void LoadPumps() {
    const auto Now = station::NowEpochMs();
    for (const auto &Pump : Station.Pumps())
      Pumps[Pump.Id()] = TPumpState{Pump, Now, true};
  }
  void LoadAlarms() {
    try {
      for (const auto &Alarm : Station.Journal().Alarms(Options.RecentAlarms))
        AlarmsDue[Alarm.Id] = Alarm;
    } catch (const station::EJournalError &Error) {
      Log(TLevel::Error, std::string("uplink: cannot read the alarms: ") + Error.what());
    }
  }

  void Run();
  void Connect();
  void Drop();
  void ReadEvents();
  void MarkAcknowledged();
  void PublishPumps();
  void PublishAlarms();
  void PublishSales();
  void PublishShifts();
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
  static void OnMessage(mosquitto *, void *Self, const mosquitto_message *Message) {
    static_cast<TImpl *>(Self)->OfficeAcknowledged(Message);
  }
  static void OnLog(mosquitto *, void *Self, int Level, const char *Text) {
    // The one place libmosquitto tells why a TLS handshake failed.
    const std::string Line = Text ? Text : "";
    if (Level == MOSQ_LOG_ERR && Line.find("OpenSSL Error") != std::string::npos) {
      auto &Impl = *static_cast<TImpl *>(Self);
      if (Impl.TlsError.empty())
        Impl.TlsError = OpenSslReason(Line);
    }
  }
  void Accepted(int Code);
  void Acknowledge(int Mid);
  void OfficeAcknowledged(const mosquitto_message *Message);
};

std::string TUplink::TImpl::FaultMessage() const {
  switch (DropFault) {
  case TUplinkFault::Tls:
    return "refused the broker " + Broker + ": TLS failed (" + DropReason +
           "); check ca_file, that the broker's certificate names " + Setup.Host +
           ", and cert_file and key_file if the broker asks for a client certificate";
  case TUplinkFault::Credentials:
    return "the broker " + Broker + " refused the connection (" + DropReason +
           "); check username and password_file";
  case TUplinkFault::Refused:
    return "the broker " + Broker + " refused the connection (" + DropReason + ")";
  case TUplinkFault::None:
  case TUplinkFault::Unreachable:
    break;
  }
  return "cannot reach the broker " + Broker + " (" + DropReason + ")";
}

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
      PublishAlarms();
      PublishSales();
      PublishShifts();
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
  TlsError.clear();
  ConnectStarted = TClock::now();
  Client = mosquitto_new(Setup.ClientId.c_str(), true, this);
  if (Client == nullptr) {
    GiveUp(std::string("cannot create an MQTT client: ") + std::strerror(errno));
    return;
  }
  mosquitto_connect_callback_set(Client, &TImpl::OnConnect);
  mosquitto_disconnect_callback_set(Client, &TImpl::OnDisconnect);
  mosquitto_publish_callback_set(Client, &TImpl::OnPublish);
  mosquitto_message_callback_set(Client, &TImpl::OnMessage);
  mosquitto_log_callback_set(Client, &TImpl::OnLog);
  mosquitto_max_inflight_messages_set(Client, static_cast<unsigned>(Options.Window));
  if (!Setup.CaFile.empty()) {
    // The broker's certificate is checked against the CA, and must name the
    // host de30d was told to reach.
    const int Tls = mosquitto_tls_set(Client, Setup.CaFile.c_str(), nullptr,
                                      Setup.CertFile.empty() ? nullptr : Setup.CertFile.c_str(),
                                      Setup.KeyFile.empty() ? nullptr : Setup.KeyFile.c_str(),
                                      &NoPassphrase);
    if (Tls != MOSQ_ERR_SUCCESS) {
      GiveUp("the TLS files cannot be used: " + ErrorText(Tls), TUplinkFault::Tls);
      return;
    }
    mosquitto_tls_opts_set(Client, 1, nullptr, nullptr);
    mosquitto_tls_insecure_set(Client, false);
  }
  if (!Setup.Username.empty())
    mosquitto_username_pw_set(Client, Setup.Username.c_str(),
                              Setup.PasswordFile.empty() ? nullptr : Setup.Password.c_str());
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
    // MQTT 3.1.1: 4 a bad user name or password, 5 not authorised.
    GiveUp(mosquitto_connack_string(Code),
           Code == 4 || Code == 5 ? TUplinkFault::Credentials : TUplinkFault::Refused);
    return;
  }
  Connected = true;
  Failures = 0;
  LoggedFault = TUplinkFault::None;
  InFlight.clear();
  ShiftsInFlight.clear();
  // What the office has not acknowledged goes out again at once.
  const auto Now = TClock::now();
  for (auto &[Id, Entry] : Sent)
    Entry.ResendAt = Now;
  for (auto &[Id, Entry] : ShiftsSent)
    Entry.ResendAt = Now;
  BacklogDue = true;
  ShiftsDue = true;
  for (auto &[Id, State] : Pumps)
    State.Due = true;
  LoadAlarms();
  Show(true, true, 0);
  if (ByOffice)
    mosquitto_subscribe(Client, nullptr, AcksTopic.c_str(), 1);
  const std::string Online = StatusMessage(StationId, true).dump();
  mosquitto_publish(Client, nullptr, StatusTopic.c_str(), static_cast<int>(Online.size()),
                    Online.data(), 1, true);
  const auto Count = Backlog();
  BacklogReported = Count > 0;
  Log(TLevel::Info, "uplink: connected to " + Broker + " as " + Setup.ClientId +
                        (Setup.CaFile.empty() ? "" : " over TLS") +
                        (Count > 0 ? "; " + std::to_string(Count) + " sales to send" : ""));
}

void TUplink::TImpl::Acknowledge(int Mid) {
  if (Mid == StatusMid)
    StatusAcknowledged = true;
  if (const auto Shift = ShiftsInFlight.find(Mid); Shift != ShiftsInFlight.end()) {
    if (!ByOffice) {
      ShiftsAcknowledged.insert(Shift->second);
      ShiftsDue = true;
    }
    ShiftsInFlight.erase(Shift);
    return;
  }
  const auto Found = InFlight.find(Mid);
  if (Found == InFlight.end())
    return; // a pump state, an alarm or the status: nothing to mark
  if (!ByOffice) {
    Acknowledged.insert(Found->second);
    BacklogDue = true;
  }
  InFlight.erase(Found);
}

void TUplink::TImpl::OfficeAcknowledged(const mosquitto_message *Message) {
  if (!ByOffice || Message->topic == nullptr || AcksTopic != Message->topic)
    return;
  const std::string Payload(static_cast<const char *>(Message->payload),
                            static_cast<std::size_t>(std::max(Message->payloadlen, 0)));
  const auto Ids = AcknowledgedSales(Payload, StationId);
  const auto Shifts = AcknowledgedShifts(Payload, StationId);
  for (const auto Id : Shifts) {
    ShiftsAcknowledged.insert(Id);
    ShiftsSent.erase(Id);
  }
  if (!Shifts.empty())
    ShiftsDue = true;
  if (Ids.empty() && Shifts.empty()) {
    Log(TLevel::Debug, "uplink: ignored a message on " + AcksTopic +
                           " that acknowledges no "
                           "sale of this station");
    return;
  }
  // Any sale the office committed is delivered, whether this run sent it or an
  // earlier one did.
  for (const auto Id : Ids) {
    Acknowledged.insert(Id);
    Sent.erase(Id);
  }
  BacklogDue = true;
}

void TUplink::TImpl::Drop() {
  const bool WasUp = Connected;
  Connected = false;
  InFlight.clear();
  ShiftsInFlight.clear();
  if (Client != nullptr) {
    mosquitto_destroy(Client);
    Client = nullptr;
  }
  ShowFault(DropFault, FaultMessage());
  Dropping = false;
  ++Failures;
  auto Next = Options.RetryFirst;
  for (int I = 1; I < Failures && Next < Options.RetryMax; ++I)
    Next *= 2;
  Next = std::min(Next, Options.RetryMax);
  const auto Now = TClock::now();
  NextAttempt = Now + Next;
  // A broker refused for its certificate or for the credentials is an error a
  // person must fix; said once for each new fault, and again as a reminder.
  const bool Refusal = DropFault == TUplinkFault::Tls ||
                       DropFault == TUplinkFault::Credentials ||
                       DropFault == TUplinkFault::Refused;
  const TLevel Level = Refusal ? TLevel::Error : TLevel::Warn;
  if (WasUp) {
    Log(Level, "uplink: lost the broker " + Broker + " (" + DropReason + ")" + Waiting() +
                   "; trying again in " + Seconds(Next));
    NextAwayReport = Now + Options.AwayReport;
  } else if (Failures == 1 || DropFault != LoggedFault) {
    Log(Level, "uplink: " + FaultMessage() + Waiting() + "; trying again in " + Seconds(Next));
    NextAwayReport = Now + Options.AwayReport;
  } else if (Now >= NextAwayReport) {
    Log(Level, "uplink: still not connected: " + FaultMessage() + Waiting());
    NextAwayReport = Now + Options.AwayReport;
  } else {
    Log(TLevel::Debug,
        "uplink: broker " + Broker + ": " + DropReason + "; trying again in " + Seconds(Next));
  }
  LoggedFault = DropFault;
}

void TUplink::TImpl::ReadEvents() {
  station::TEvent Event;
  while (Events->Next(Event, 0)) {
    if (Event.Kind == station::TEvent::TKind::Sale) {
      BacklogDue = true;
    } else if (Event.Kind == station::TEvent::TKind::Shift) {
      ShiftsDue = true;
    } else if (Event.Kind == station::TEvent::TKind::Pump) {
      auto &State = Pumps[Event.Pump.Id()];
      if (State.AtMs == 0 || State.Pump.State != Event.Pump.State) {
        State.Due = true;
        State.AtMs = Event.AtMs;
      }
      State.Pump = Event.Pump;
    } else if (Event.Kind == station::TEvent::TKind::Alarm && Event.Alarm.Id > 0) {
      AlarmsDue[Event.Alarm.Id] = Event.Alarm;
      // Kept within bounds while the broker is away: the latest go out again
      // from the journal on the next connection.
      while (AlarmsDue.size() > static_cast<std::size_t>(Options.RecentAlarms))
        AlarmsDue.erase(AlarmsDue.begin());
    }
  }
  if (Events->Overflowed()) {
    // Fell behind (a stalled journal, a storm of events): start again from the
    // station's current state and the journal.
    Events = Station.Events().Subscribe();
    LoadPumps();
    LoadAlarms();
    BacklogDue = true;
    ShiftsDue = true;
  }
}

void TUplink::TImpl::MarkAcknowledged() {
  if (!ShiftsAcknowledged.empty()) {
    const std::vector<std::int64_t> Shifts(ShiftsAcknowledged.begin(),
                                           ShiftsAcknowledged.end());
    try {
      Station.Journal().MarkShiftsUploaded(Shifts);
      for (const auto Id : Shifts)
        Log(TLevel::Info, "uplink: shift " + std::to_string(Id) + " delivered");
      ShiftsAcknowledged.clear();
    } catch (const station::EJournalError &Error) {
      Log(TLevel::Error, std::string("uplink: cannot mark delivered shifts: ") + Error.what());
    }
  }
  if (Acknowledged.empty())
    return;
  const std::vector<std::int64_t> Ids(Acknowledged.begin(), Acknowledged.end());
  try {
    Station.Journal().MarkUploaded(Ids);
  } catch (const station::EJournalError &Error) {
    // Kept and tried again; should de30d stop first, the sales go out again.
    Log(TLevel::Error, std::string("uplink: cannot mark delivered sales: ") + Error.what());
    return;
  }
  for (const auto Id : Ids)
    Log(TLevel::Debug, "uplink: sale " + std::to_string(Id) + " delivered");
  Show(Connected, false, Ids.size());
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

void TUplink::TImpl::PublishAlarms() {
  while (!AlarmsDue.empty()) {
    const auto &Alarm = AlarmsDue.begin()->second;
    const std::string Payload = AlarmMessage(Alarm, StationId).dump();
    const int Result =
        mosquitto_publish(Client, nullptr, AlarmsTopic.c_str(),
                          static_cast<int>(Payload.size()), Payload.data(), 1, false);
    if (Result != MOSQ_ERR_SUCCESS) {
      GiveUp(ErrorText(Result));
      return;
    }
    AlarmsDue.erase(AlarmsDue.begin());
  }
}

void TUplink::TImpl::PublishSales() {
  const auto Now = TClock::now();
  // Sales published (or acknowledged and not yet marked) are still due in the
  // journal: they are skipped, not sent twice, until the office has had its time.
  std::set<std::int64_t> Busy(Acknowledged.begin(), Acknowledged.end());
  for (const auto &[Mid, Id] : InFlight)
    Busy.insert(Id);
  bool ResendDue = false;
  for (const auto &[Id, Entry] : Sent) {
    if (Entry.ResendAt > Now)
      Busy.insert(Id);
    else
      ResendDue = true;
  }
  const int Room = Options.Window - static_cast<int>(Busy.size() - Acknowledged.size());
  if (Room <= 0 || (!BacklogDue && !ResendDue && Now < NextBacklogLook))
    return;
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
  int Published = 0;
  std::size_t Again = 0;
  for (const auto &Sale : Due) {
    if (Busy.count(Sale.Id))
      continue;
    if (Published == Room) {
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
    if (ByOffice) {
      auto &Entry = Sent[Sale.Id];
      if (Entry.Attempts > 0) {
        ++Again;
        Log(TLevel::Debug, "uplink: sale " + std::to_string(Sale.Id) +
                               " sent again: the office has not acknowledged it");
      }
      ++Entry.Attempts;
      Entry.ResendAt = Now + AckWait(Entry.Attempts);
    }
    ++Published;
  }
  // A sale due to go out again that the journal no longer holds as due needs
  // no resend (and must not have the journal read again every turn).
  if (Due.size() < static_cast<std::size_t>(Room) + Busy.size())
    for (auto It = Sent.begin(); It != Sent.end();) {
      const bool Held = std::any_of(Due.begin(), Due.end(), [&](const station::TSale &Sale) {
        return Sale.Id == It->first;
      });
      It = It->second.ResendAt <= Now && !Held ? Sent.erase(It) : std::next(It);
    }
  if (Again > 0)
    Show(Connected, false, 0, Again);
  if (BacklogReported && Due.empty() && InFlight.empty() && Acknowledged.empty() &&
      Sent.empty()) {
    BacklogReported = false;
    Log(TLevel::Info, "uplink: every closed sale is delivered");
  }
}

void TUplink::TImpl::PublishShifts() {
  const auto Now = TClock::now();
  bool ResendDue = false;
  for (const auto &[Id, Entry] : ShiftsSent)
    ResendDue = ResendDue || Entry.ResendAt <= Now;
  if (!ShiftsDue && !ResendDue && Now < NextShiftLook)
    return;
  // Few and far between: the whole backlog, a handful at a time.
  constexpr int Batch = 10;
  std::vector<station::TShift> Due;
  try {
    Due = Station.Journal().ShiftBacklog(Batch);
  } catch (const station::EJournalError &Error) {
    Log(TLevel::Error, std::string("uplink: cannot read the shifts: ") + Error.what());
  }
  ShiftsDue = false;
  NextShiftLook = Now + Options.BacklogPoll;
  std::set<std::int64_t> Held;
  int Published = 0;
  for (const auto &Shift : Due) {
    Held.insert(Shift.Id);
    const bool Flying =
        std::any_of(ShiftsInFlight.begin(), ShiftsInFlight.end(),
                    [&](const auto &Entry) { return Entry.second == Shift.Id; });
    const auto Resend = ShiftsSent.find(Shift.Id);
    if (Flying || ShiftsAcknowledged.count(Shift.Id) ||
        (Resend != ShiftsSent.end() && Resend->second.ResendAt > Now))
      continue;
    const std::string Payload = ShiftMessage(Shift, StationId).dump();
    int Mid = 0;
    const int Result =
        mosquitto_publish(Client, &Mid, ShiftsTopic.c_str(), static_cast<int>(Payload.size()),
                          Payload.data(), 1, false);
    if (Result != MOSQ_ERR_SUCCESS) {
      GiveUp(ErrorText(Result));
      return;
    }
    ShiftsInFlight[Mid] = Shift.Id;
    ++Published;
    if (ByOffice) {
      auto &Entry = ShiftsSent[Shift.Id];
      if (Entry.Attempts > 0)
        Log(TLevel::Debug, "uplink: shift " + std::to_string(Shift.Id) +
                               " sent again: the office has not acknowledged it");
      ++Entry.Attempts;
      Entry.ResendAt = Now + AckWait(Entry.Attempts);
    }
  }
  if (Due.size() == static_cast<std::size_t>(Batch)) {
    // More may wait behind these: looked at again once these went, or were
    // acknowledged.
    ShiftsDue = Published > 0;
  } else {
    // Marked since (by this run or an earlier one): nothing to send again.
    for (auto It = ShiftsSent.begin(); It != ShiftsSent.end();)
      It = Held.count(It->first) ? std::next(It) : ShiftsSent.erase(It);
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
