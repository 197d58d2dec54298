#include "ingest.hpp"

#include "log.hpp"
#include "schema.hpp"
#include "store.hpp"

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace de30::office {
namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int NoPassphrase(char *, int, int, void *) { return 0; }

// What the broker hands over, waiting for the database.
class TInbox {
public:
  explicit TInbox(std::size_t Limit) : Most(Limit) {}
  // False when full: the message is dropped, unacknowledged, and its station
  // sends it again later.
  bool Put(TIncoming Message) {
    {
      std::lock_guard Lock(Guard);
      if (Queue.size() >= Most)
        return false;
      Queue.push_back(std::move(Message));
    }
    Ready.notify_one();
    return true;
  }
  std::vector<TIncoming> Take(std::size_t Count, milliseconds Wait) {
    std::unique_lock Lock(Guard);
    Ready.wait_for(Lock, Wait, [&] { return !Queue.empty(); });
    std::vector<TIncoming> Batch;
    while (!Queue.empty() && Batch.size() < Count) {
      Batch.push_back(std::move(Queue.front()));
      Queue.pop_front();
    }
    return Batch;
  }

private:
  std::size_t Most;
  std::mutex Guard;
  std::condition_variable Ready;
  std::deque<TIncoming> Queue;
};

struct TLink {
  TLink(const TOfficeConfig &Setup, std::string Id, TInbox &Into)
      : Config(Setup), ClientId(std::move(Id)), Inbox(Into),
        Broker(Setup.Broker.Host + ":" + std::to_string(Setup.Broker.Port)) {}

  const TOfficeConfig &Config;
  std::string ClientId;
  TInbox &Inbox;
  std::string Broker;
  std::mutex Guard;
  std::string TlsError;
  int LastRefusal = -1;
  std::atomic<std::uint64_t> Dropped{0};

  static void OnConnect(mosquitto *Client, void *Self, int Code) {
    auto &Link = *static_cast<TLink *>(Self);
    if (Code != 0) {
      std::lock_guard Lock(Link.Guard);
      if (Code != Link.LastRefusal)
        Log(TLevel::Error,
            "ingest: the broker " + Link.Broker + " refused the connection (" +
                mosquitto_connack_string(Code) + ")" +
                (Code == 4 || Code == 5 ? "; check username and password_file" : ""));
      Link.LastRefusal = Code;
      return;
    }
    Link.LastRefusal = -1;
    const auto &Broker = Link.Config.Broker;
    const std::string Shared = "$share/" + Broker.Group + "/" + Broker.TopicPrefix + "/+/";
    // Sales and alarms shared out among the group; the stations' retained
    // status to every process (a shared subscription gets no retained message).
    for (const std::string &Filter : {Shared + "sales", Shared + "alarms", Shared + "shifts",
                                      Broker.TopicPrefix + "/+/status"})
      mosquitto_subscribe(Client, nullptr, Filter.c_str(), 1);
    Log(TLevel::Info, "ingest: connected to " + Link.Broker + " as " + Link.ClientId +
                          "; taking " + Shared + "sales");
  }
  static void OnDisconnect(mosquitto *, void *Self, int Code) {
    auto &Link = *static_cast<TLink *>(Self);
    if (Code != 0)
      Log(TLevel::Warn, "ingest: lost the broker " + Link.Broker + "; reconnecting");
  }
  static void OnMessage(mosquitto *, void *Self, const mosquitto_message *Message) {
    auto &Link = *static_cast<TLink *>(Self);
    TIncoming In{Message->topic ? Message->topic : "",
                 std::string(static_cast<const char *>(Message->payload),
                             static_cast<std::size_t>(std::max(Message->payloadlen, 0)))};
    if (!Link.Inbox.Put(std::move(In)))
      ++Link.Dropped;
  }
  static void OnLog(mosquitto *, void *Self, int Level, const char *Text) {
    auto &Link = *static_cast<TLink *>(Self);
    const std::string Line = Text ? Text : "";
    if (Level == MOSQ_LOG_ERR && Line.find("OpenSSL Error") != std::string::npos) {
      std::lock_guard Lock(Link.Guard);
      if (Line != Link.TlsError)
        Log(TLevel::Error, "ingest: TLS with the broker " + Link.Broker + " failed: " + Line +
                               "; check ca_file (and cert_file, key_file)");
      Link.TlsError = Line;
    }
  }
};

std::unique_ptr<TPg> ConnectDatabase(const TOfficeConfig &Config, const std::atomic<bool> &Stop,
                                     bool &SchemaFault) {
  milliseconds Pause{1000};
  bool Told = false;
  while (!Stop) {
    try {
      auto Db = std::make_unique<TPg>(Config.Database.ConnInfo, Config.Database.Password);
      const int Version = SchemaVersion(*Db);
      if (Version != LatestSchema()) {
        Log(TLevel::Error,
            "ingest: the database's schema is version " + std::to_string(Version) +
                " and this de30-office writes version " + std::to_string(LatestSchema()) +
                (Version < LatestSchema() ? ": run de30-office --init"
                                          : ": upgrade de30-office"));
        SchemaFault = true;
        return nullptr;
      }
      if (Told)
        Log(TLevel::Info, "ingest: the database is back");
      return Db;
    } catch (const EDatabase &Error) {
      if (!Told)
        Log(TLevel::Error, std::string("ingest: ") + Error.what() + "; trying again");
      Told = true;
      std::this_thread::sleep_for(Pause);
      Pause = std::min(Pause * 2, milliseconds(10000));
    }
  }
  return nullptr;
}

void PublishAcks(mosquitto *Client, const std::vector<TAck> &Acks) {
  for (const auto &Ack : Acks) {
    TJson Message{{"station", Ack.Station}, {"sales", Ack.Sales}};
    if (!Ack.Shifts.empty())
      Message["shifts"] = Ack.Shifts;
    const std::string Payload = Message.dump();
    // Lost with the connection, it costs a resend: the station's, and a repeat
    // the database already has.
    const int Result =
        mosquitto_publish(Client, nullptr, Ack.Topic.c_str(), static_cast<int>(Payload.size()),
                          Payload.data(), 1, false);
    if (Result != MOSQ_ERR_SUCCESS)
      Log(TLevel::Debug, "ingest: acknowledgement on " + Ack.Topic +
                             " not sent: " + mosquitto_strerror(Result));
  }
}

} // namespace

int RunIngest(const TOfficeConfig &Config, const std::string &ClientId,
              const std::atomic<bool> &Stop) {
  mosquitto_lib_init();
  TInbox Inbox(static_cast<std::size_t>(Config.QueueLimit));
  TLink Link(Config, ClientId, Inbox);
  // A clean session: a process that is gone leaves no queue behind at the
  // broker, and the sales shared out go to the processes that are there.
  mosquitto *Client = mosquitto_new(ClientId.c_str(), true, &Link);
  if (Client == nullptr) {
    Log(TLevel::Error, "ingest: cannot create an MQTT client");
    return 1;
  }
  mosquitto_connect_callback_set(Client, &TLink::OnConnect);
  mosquitto_disconnect_callback_set(Client, &TLink::OnDisconnect);
  mosquitto_message_callback_set(Client, &TLink::OnMessage);
  mosquitto_log_callback_set(Client, &TLink::OnLog);
  mosquitto_reconnect_delay_set(Client, 1, 10, true);
  const auto &Broker = Config.Broker;
  if (!Broker.CaFile.empty()) {
    if (mosquitto_tls_set(Client, Broker.CaFile.c_str(), nullptr,
                          Broker.CertFile.empty() ? nullptr : Broker.CertFile.c_str(),
                          Broker.KeyFile.empty() ? nullptr : Broker.KeyFile.c_str(),
                          &NoPassphrase) != MOSQ_ERR_SUCCESS) {
      Log(TLevel::Error, "ingest: the TLS files cannot be used");
      mosquitto_destroy(Client);
      return 1;
    }
    mosquitto_tls_opts_set(Client, 1, nullptr, nullptr);
  }
  if (!Broker.Username.empty())
    mosquitto_username_pw_set(Client, Broker.Username.c_str(),
                              Broker.Password.empty() ? nullptr : Broker.Password.c_str());

  bool SchemaFault = false;
  auto Db = ConnectDatabase(Config, Stop, SchemaFault);
  if (!Db) {
    mosquitto_destroy(Client);
    return SchemaFault ? 1 : 0;
  }
  // Subscribed once the database is there to take what comes.
  const int First = mosquitto_connect_async(Client, Broker.Host.c_str(), Broker.Port,
                                            static_cast<int>(Broker.KeepAlive.count()));
  if (First != MOSQ_ERR_SUCCESS)
    Log(TLevel::Warn, "ingest: cannot reach the broker " + Link.Broker + " yet (" +
                          mosquitto_strerror(First) + "); trying again");
  mosquitto_loop_start(Client);

  TWriteResult Total;
  std::uint64_t Batches = 0;
  auto NextReport = TClock::now() + std::chrono::seconds(60);
  std::vector<TIncoming> Batch;
  milliseconds Pause{500};
  while (!Stop) {
    if (Batch.empty())
      Batch = Inbox.Take(static_cast<std::size_t>(Config.Batch), milliseconds(200));
    if (!Batch.empty()) {
      try {
        TStore Store(*Db, Broker.TopicPrefix, ClientId);
        const auto Written = Store.Write(Batch);
        PublishAcks(Client, Written.Acks);
        Total.Inserted += Written.Inserted;
        Total.Duplicates += Written.Duplicates;
        Total.Conflicts += Written.Conflicts;
        Total.Malformed += Written.Malformed;
        Total.Alarms += Written.Alarms;
        Total.Shifts += Written.Shifts;
        ++Batches;
        Batch.clear();
        Pause = milliseconds(500);
      } catch (const EDatabase &Error) {
        // Nothing of the batch is committed, so nothing of it is acknowledged;
        // it is kept and written again once the database takes it.
        Log(TLevel::Error, std::string("ingest: cannot commit ") +
                               std::to_string(Batch.size()) + " messages: " + Error.what());
        if (!Db->Usable()) {
          Db = ConnectDatabase(Config, Stop, SchemaFault);
          if (!Db)
            break;
        } else {
          std::this_thread::sleep_for(Pause);
          Pause = std::min(Pause * 2, milliseconds(10000));
        }
      }
    }
    if (TClock::now() >= NextReport) {
      NextReport = TClock::now() + std::chrono::seconds(60);
      if (Batches > 0 || Link.Dropped > 0)
        Log(TLevel::Info,
            "ingest: " + std::to_string(Total.Inserted) + " sales stored, " +
                std::to_string(Total.Duplicates) + " repeats, " +
                std::to_string(Total.Conflicts) + " conflicts, " +
                std::to_string(Total.Malformed) + " malformed, " +
                std::to_string(Total.Alarms) + " alarms, " + std::to_string(Total.Shifts) +
                " shifts in " + std::to_string(Batches) + " transactions; " +
                std::to_string(Link.Dropped.load()) + " messages dropped for want of room");
      Total = {};
      Batches = 0;
      Link.Dropped = 0;
    }
  }
  mosquitto_disconnect(Client);
  mosquitto_loop_stop(Client, false);
  mosquitto_destroy(Client);
  Log(TLevel::Info, "ingest: stopped");
  return SchemaFault ? 1 : 0;
}

} // namespace de30::office
