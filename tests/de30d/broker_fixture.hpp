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

class TBroker {
public:
  // Picks a free loopback port and writes the config file into Dir.
  explicit TBroker(const std::filesystem::path &Dir);
  ~TBroker(); // stops
  TBroker(const TBroker &) = delete;
  TBroker &operator=(const TBroker &) = delete;

  // Starts the broker and waits until it accepts connections (false when it
  // does not within 5 s). The same port and persistence every time.
  bool Start();
  // SIGTERM, as an operator stops it: the broker saves its state and exits.
  void Stop();
  int Port() const { return ListenPort; }
  std::string Log() const; // what the broker logged

private:
  std::filesystem::path Folder;
  int ListenPort = 0;
  pid_t Child = -1;
};

class TOffice {
public:
  // Subscribes to Topic/sales, Topic/pumps/# and Topic/status at QoS 1, under a
  // session the broker keeps while the office is away.
  TOffice(int Port, std::string Topic);
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
  nlohmann::json Status() const;                       // the last status message

private:
  static void OnConnect(mosquitto *, void *Self, int Code);
  static void OnSubscribe(mosquitto *, void *Self, int, int, const int *);
  static void OnMessage(mosquitto *, void *Self, const mosquitto_message *Message);

  int BrokerPort;
  std::string Base;
  mosquitto *Client = nullptr;
  mutable std::mutex Guard;
  int Subscribed = 0;
  std::map<std::int64_t, nlohmann::json> SaleMessages;
  std::vector<std::int64_t> Order;
  std::map<std::string, nlohmann::json> PumpMessages;
  nlohmann::json StatusMessage;
};

} // namespace de30::test
