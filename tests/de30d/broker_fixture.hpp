#pragma once
// A real Mosquitto broker on loopback for the uplink's tests, with a config file
// of its own and persistence in the test's folder, so that what it queued for a
// persistent subscriber survives a restart; and the head office: a libmosquitto
// subscriber with a persistent session (clean_session false, QoS 1) that records
// every message it gets.

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace de30::test {

// The broker program; empty when it is not installed (the tests then skip).
std::string BrokerProgram();

// Certificates made with openssl for a test: a CA, a certificate for the broker
// (127.0.0.1 and localhost) and one for a client, both signed by it; and a
// second CA that signed neither.
struct TCertificates {
  std::filesystem::path Ca, ServerCert, ServerKey, ClientCert, ClientKey, OtherCa;
};
// Makes them in Dir; false (and what openssl said in Why) when it cannot.
bool MakeCertificates(const std::filesystem::path &Dir, TCertificates &Made, std::string &Why);
// A broker password file (mosquitto_passwd) with one user.
bool MakeBrokerPasswords(const std::filesystem::path &File, const std::string &User,
                         const std::string &Password);

// A second listener on the broker: TLS with the given certificates, a client
// certificate required, user names and passwords from the file.
struct TSecureListener {
  TCertificates Certificates;
  std::filesystem::path Passwords;
};

class TBroker {
public:
  // Picks free loopback ports and writes the config file into Dir: a plain
  // listener for anyone, and with Secure a TLS one that checks who connects.
  explicit TBroker(const std::filesystem::path &Dir, const TSecureListener *Secure = nullptr);
  ~TBroker(); // stops
  TBroker(const TBroker &) = delete;
  TBroker &operator=(const TBroker &) = delete;

  // Starts the broker and waits until it accepts connections (false when it
  // does not within 5 s). The same port and persistence every time.
  bool Start();
  // SIGTERM, as an operator stops it: the broker saves its state and exits.
  void Stop();
  int Port() const { return ListenPort; }
  int SecurePort() const { return TlsPort; } // 0 without a secure listener
  std::string Log() const;                   // what the broker logged

private:
  std::filesystem::path Folder;
  int ListenPort = 0;
  int TlsPort = 0;
  pid_t Child = -1;
};

class TOffice {
public:
  // Subscribes to Topic/sales, Topic/shifts, Topic/pumps/# and Topic/status at QoS 1, under a
  // session the broker keeps while the office is away.
  TOffice(int Port, std::string Topic);

  // Answers each sale it gets with an acknowledgement on Topic/acks, as the
  // office does once the sale is committed ({"station": ..., "sales": [id]}).
  void AcknowledgeSales(bool On);
  // Publishes Payload on Topic/acks, as an office would.
  void PublishAck(const std::string &Payload);
  ~TOffice();
  TOffice(const TOffice &) = delete;
  TOffice &operator=(const TOffice &) = delete;

  // Connects and keeps reconnecting on libmosquitto's thread; true once the
  // subscriptions are acknowledged (within 5 s).
  bool Connect();
  // A clean disconnect: the session and its subscriptions stay with the broker.
  void Disconnect();

  // Sale id to the last message for it; every delivery in arrival order.
  std::map<std::int64_t, nlohmann::json> Sales() const;
  std::vector<std::int64_t> Arrivals() const;
  std::map<std::string, nlohmann::json> Pumps() const; // by topic
  // Closed shifts (Topic/shifts) by id, and each delivery's id in arrival order;
  // acknowledged as sales are.
  std::map<std::int64_t, nlohmann::json> Shifts() const;
  std::vector<std::int64_t> ShiftArrivals() const;
  nlohmann::json Status() const; // the last status message

private:
  static void OnConnect(mosquitto *, void *Self, int Code);
  static void OnSubscribe(mosquitto *, void *Self, int, int, const int *);
  static void OnMessage(mosquitto *, void *Self, const mosquitto_message *Message);

  int BrokerPort;
  std::string Base;
  mosquitto *Client = nullptr;
  mutable std::mutex Guard;
  int Subscribed = 0;
  bool Acknowledging = false;
  std::map<std::int64_t, nlohmann::json> SaleMessages;
  std::vector<std::int64_t> Order;
  std::map<std::int64_t, nlohmann::json> ShiftMessages;
  std::vector<std::int64_t> ShiftOrder;
  std::map<std::string, nlohmann::json> PumpMessages;
  nlohmann::json StatusMessage;
};

} // namespace de30::test
