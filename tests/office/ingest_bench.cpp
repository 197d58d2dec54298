// How fast de30-office commits and acknowledges sales, on its own: a
// PostgreSQL and a Mosquitto broker of the bench's own, N ingest processes in
// one group, and one publisher that sends every station's sales as fast as the
// broker takes them and waits for each acknowledgement. Prints the sales
// acknowledged per second and the time from publishing a sale to its
// acknowledgement (median, p99). docs/office.md gives the figures.
//   de30_office_ingest_bench --office BIN [--sales 20000] [--stations 100]
//                            [--processes 2] [--batch 200]
#include "de30d/broker_fixture.hpp"
#include "postgres_fixture.hpp"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace de30::test;
using TClock = std::chrono::steady_clock;

struct TPublisher {
  std::mutex Guard;
  std::map<std::pair<int, std::int64_t>, TClock::time_point> Sent;
  std::vector<double> DelaysMs;
  bool Subscribed = false;
};

pid_t Spawn(const std::vector<std::string> &Arguments, const std::string &Log) {
  const pid_t Child = ::fork();
  if (Child == 0) {
    std::FILE *Out = std::fopen(Log.c_str(), "a");
    ::dup2(::fileno(Out), 2);
    ::dup2(::fileno(Out), 1);
    std::vector<char *> Argv;
    for (const auto &Argument : Arguments)
      Argv.push_back(const_cast<char *>(Argument.c_str()));
    Argv.push_back(nullptr);
    ::execv(Argv[0], Argv.data());
    ::_exit(127);
  }
  return Child;
}

} // namespace

int main(int argc, char **argv) {
  std::string Office;
  int Sales = 20000, Stations = 100, Processes = 2, Batch = 200;
  for (int I = 1; I + 1 < argc; I += 2) {
    const std::string Key = argv[I];
    if (Key == "--office")
      Office = argv[I + 1];
    else if (Key == "--sales")
      Sales = std::atoi(argv[I + 1]);
    else if (Key == "--stations")
      Stations = std::atoi(argv[I + 1]);
    else if (Key == "--processes")
      Processes = std::atoi(argv[I + 1]);
    else if (Key == "--batch")
      Batch = std::atoi(argv[I + 1]);
  }
  if (Office.empty() || Sales < 1 || Stations < 1 || Processes < 1) {
    std::fprintf(stderr,
                 "usage: %s --office BIN [--sales N] [--stations N] [--processes N] "
                 "[--batch N]\n",
                 argv[0]);
    return 2;
  }
  char Template[] = "/tmp/de30-office-bench-XXXXXX";
  const std::filesystem::path Dir = ::mkdtemp(Template);
  TPostgres Server;
  std::string Why;
  if (!Server.Start(Why)) {
    std::fprintf(stderr, "PostgreSQL cannot be started: %s\n", Why.c_str());
    return 1;
  }
  TBroker Broker(Dir);
  if (!Broker.Start()) {
    std::fprintf(stderr, "the broker does not start\n");
    return 1;
  }
  const auto Config = (Dir / "office.toml").string();
  std::ofstream(Config) << "[broker]\naddress = \"127.0.0.1:" << Broker.Port()
                        << "\"\n[database]\nconninfo = \"" << Server.ConnInfo()
                        << "\"\n[ingest]\nbatch = " << Batch << "\n";
  int Status = 0;
  ::waitpid(Spawn({Office, "--config", Config, "--init"}, (Dir / "init.log").string()), &Status,
            0);
  std::vector<pid_t> Ingest;
  for (int P = 1; P <= Processes; ++P)
    Ingest.push_back(
        Spawn({Office, "--config", Config, "--client-id", "bench-" + std::to_string(P)},
              (Dir / ("ingest-" + std::to_string(P) + ".log")).string()));
  std::this_thread::sleep_for(std::chrono::seconds(2));

  mosquitto_lib_init();
  TPublisher State;
  mosquitto *Client = mosquitto_new("bench-publisher", true, &State);
  mosquitto_max_inflight_messages_set(Client, 0);
  mosquitto_subscribe_callback_set(Client, [](mosquitto *, void *Self, int, int, const int *) {
    auto &S = *static_cast<TPublisher *>(Self);
    std::lock_guard Lock(S.Guard);
    S.Subscribed = true;
  });
  mosquitto_message_callback_set(Client, [](mosquitto *, void *Self,
                                            const mosquitto_message *M) {
    auto &S = *static_cast<TPublisher *>(Self);
    const auto Now = TClock::now();
    const auto Ack = nlohmann::json::parse(std::string(static_cast<const char *>(M->payload),
                                                       static_cast<std::size_t>(M->payloadlen)),
                                           nullptr, false);
    if (!Ack.is_object())
      return;
    const int Station = std::atoi(Ack.value("station", "s0").c_str() + 1);
    std::lock_guard Lock(S.Guard);
    for (const auto &Id : Ack["sales"]) {
      const auto Found = S.Sent.find({Station, Id.get<std::int64_t>()});
      if (Found != S.Sent.end()) {
        S.DelaysMs.push_back(
            std::chrono::duration<double, std::milli>(Now - Found->second).count());
        S.Sent.erase(Found);
      }
    }
  });
  mosquitto_connect(Client, "127.0.0.1", Broker.Port(), 30);
  mosquitto_subscribe(Client, nullptr, "de30/+/acks", 1);
  mosquitto_loop_start(Client);
  while (true) {
    std::lock_guard Lock(State.Guard);
    if (State.Subscribed)
      break;
  }

  const auto Start = TClock::now();
  for (int N = 0; N < Sales; ++N) {
    const int Station = N % Stations + 1;
    const std::int64_t Id = N / Stations + 1;
    const std::string Sale = nlohmann::json{
        {"id", Id},
        {"station", "s" + std::to_string(Station)},
        {"pump", "1:1"},
        {"nozzle", 1},
        {"grade", 1},
        {"price", 50.0},
        {"preset", nullptr},
        {"volume", 20.0},
        {"amount", 1000.0},
        {"start_totals", {{"volume", 1000.0}, {"amount", 50000.0}}},
        {"end_totals", {{"volume", 1020.0}, {"amount", 51000.0}}},
        {"state", "payable"},
        {"locked_by", nullptr},
        {"started", "2026-12-08T22:50:09.123Z"},
        {"ended", "2026-12-08T22:51:09.000Z"},
        {"flags", nlohmann::json::array()},
        {"prepaid", 0.0},
        {"refund", 0.0}}.dump();
    {
      std::lock_guard Lock(State.Guard);
      State.Sent[{Station, Id}] = TClock::now();
    }
    const std::string Topic = "de30/s" + std::to_string(Station) + "/sales";
    mosquitto_publish(Client, nullptr, Topic.c_str(), static_cast<int>(Sale.size()),
                      Sale.data(), 1, false);
  }
  const auto Deadline = TClock::now() + std::chrono::seconds(300);
  std::size_t Left = 1;
  while (TClock::now() < Deadline) {
    {
      std::lock_guard Lock(State.Guard);
      Left = State.Sent.size();
    }
    if (Left == 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
  mosquitto_disconnect(Client);
  mosquitto_loop_stop(Client, false);
  mosquitto_destroy(Client);
  for (const pid_t Child : Ingest) {
    ::kill(Child, SIGTERM);
    ::waitpid(Child, &Status, 0);
  }
  auto &Delays = State.DelaysMs;
  std::sort(Delays.begin(), Delays.end());
  const auto At = [&](double Q) {
    return Delays.empty() ? 0.0 : Delays[static_cast<std::size_t>(Q * (Delays.size() - 1))];
  };
  std::printf(
      "%d sales from %d stations, %d ingest processes, batch %d: %zu acknowledged in "
      "%.1f s, %.0f sales/s; publish to acknowledgement median %.1f ms, p99 %.1f ms%s\n",
      Sales, Stations, Processes, Batch, Delays.size(), Seconds,
      static_cast<double>(Delays.size()) / Seconds, At(0.5), At(0.99),
      Left ? " (some never acknowledged)" : "");
  std::error_code Ignored;
  std::filesystem::remove_all(Dir, Ignored);
  return Left ? 1 : 0;
}
