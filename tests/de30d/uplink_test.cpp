// The head-office uplink against a real Mosquitto broker on loopback: every sale
// reaches the office across a restart of the broker in the middle of a run of
// simulated sales, each marked uploaded only once the broker acknowledged it;
// and de30d itself, configured with an uplink, says so to the broker and in its
// log.
#include "api_server.hpp"
#include "broker_fixture.hpp"
#include "embedded.hpp"
#include "exposition_reader.hpp"
#include "service_fixture.hpp"
#include "uplink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace de30;
using namespace de30::test;
using namespace std::chrono_literals;

// Waits up to For for Done; its last answer.
bool WaitFor(const std::function<bool()> &Done, std::chrono::milliseconds For) {
  const auto Deadline = std::chrono::steady_clock::now() + For;
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Deadline)
      return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class Uplink : public ::testing::Test {
protected:
  static constexpr const char *Topic = "de30/station-7";

  void SetUp() override {
    if (BrokerProgram().empty())
      GTEST_SKIP() << "mosquitto is not installed (scripts/install-deps.sh installs it)";
    Broker = std::make_unique<TBroker>(Dir.Path());
    ASSERT_TRUE(Broker->Start()) << Broker->Log();
    service::TEmbeddedOptions Pumps;
    Pumps.Customers = false;
    Pumps.AutoAuthorize = false;
    Pumps.FlowRate = 400; // four litres a second
    Pumps.StartDelayMs = 100;
    Embedded = std::make_unique<service::TEmbeddedStation>(Pumps);
    auto Config = Embedded->Config(Dir.Path() / "journal.db");
    Config.StationId = "station-7";
    Config.Uplink =
        station::TUplinkConfig{"127.0.0.1", static_cast<std::uint16_t>(Broker->Port()), Topic,
                               "de30d-station-7", std::chrono::seconds(5)};
    service::SeedPrices(Config.Journal);
    Station = std::make_unique<station::TStation>(Config, Embedded->StationOptions());
    service::TUplinkOptions Quick;
    Quick.RetryFirst = 200ms;
    Quick.RetryMax = 400ms;
    Link = std::make_unique<service::TUplink>(*Station, *Config.Uplink, Quick);
    service::TServerOptions Options;
    Options.Port = 0;
    Options.Uplink = Link.get();
    Server = std::make_unique<service::TApiServer>(*Station, Options);
    Station->Start();
    Server->Start();
    Link->Start();
  }
  void TearDown() override {
    if (Server)
      Server->Stop();
    if (Station)
      Station->Stop();
    if (Link)
      Link->Stop();
  }

  station::TPointState State(int Line, int Pump) { return Station->Pump(Line, Pump)->State; }

  // One whole sale of a litre on nozzle 1 of each of the three pumps at once,
  // closed in the journal; their ids.
  std::vector<std::int64_t> SellOnEveryPump() {
    std::vector<std::int64_t> Ids(3);
    std::vector<std::thread> Customers;
    const std::pair<int, int> Pumps[] = {{1, 1}, {1, 2}, {2, 3}};
    for (std::size_t I = 0; I < 3; ++I)
      Customers.emplace_back([this, &Ids, I, Where = Pumps[I]] {
        const auto [Line, Pump] = Where;
        using station::TPointState;
        const auto Resting = [&] {
          const auto Now = State(Line, Pump);
          return Now == TPointState::Idle || Now == TPointState::Completed;
        };
        EXPECT_TRUE(WaitFor(Resting, 10s));
        EXPECT_TRUE(Embedded->Sim().LiftNozzle(Line, Pump, 1));
        EXPECT_TRUE(WaitFor([&] { return State(Line, Pump) == TPointState::Calling; }, 10s));
        const auto Result =
            Station->Authorize(Line, Pump, {station::TPreset::TKind::Litres, 1.0}, {});
        EXPECT_TRUE(Result.Ok()) << Result.Message;
        EXPECT_TRUE(WaitFor([&] { return State(Line, Pump) == TPointState::Completed; }, 10s));
        Embedded->Sim().HangNozzle(Line, Pump);
        const auto Id = Station->Pump(Line, Pump)->SaleId;
        // Completed shows before the journal has closed the sale.
        EXPECT_TRUE(WaitFor(
            [&] {
              const auto Sale = Station->Journal().Sale(Id);
              return Sale && Sale->State != station::TSaleState::Open;
            },
            10s));
        Ids[I] = Id;
      });
    for (auto &Customer : Customers)
      Customer.join();
    return Ids;
  }
  std::vector<station::TSale> ClosedSales() {
    std::vector<station::TSale> Closed;
    for (auto &Sale : Station->Journal().Sales({{}, 0, 0, 0}))
      if (Sale.State != station::TSaleState::Open)
        Closed.push_back(Sale);
    return Closed;
  }
  std::int64_t Backlog() { return Station->Journal().UploadBacklogCount(); }
  TExpositionRead Metrics() {
    httplib::Client Client("127.0.0.1", Server->Port());
    const auto Answer = Client.Get("/metrics");
    return ReadExposition(Answer ? Answer->body : "");
  }

  TTempDir Dir;
  std::unique_ptr<TBroker> Broker;
  std::unique_ptr<service::TEmbeddedStation> Embedded;
  std::unique_ptr<station::TStation> Station;
  std::unique_ptr<service::TUplink> Link;
  std::unique_ptr<service::TApiServer> Server;
};

TEST_F(Uplink, EverySaleReachesTheOfficeAcrossABrokerRestart) {
  TOffice Office(Broker->Port(), Topic);
  ASSERT_TRUE(Office.Connect());
  ASSERT_TRUE(WaitFor([&] { return Link->Status().Connected; }, 5s));
  ASSERT_TRUE(WaitFor(
      [&] { return Office.Status() == service::StatusMessage("station-7", true); }, 5s));

  // Live: each sale is at the office moments after it closed.
  for (const auto Id : SellOnEveryPump())
    EXPECT_TRUE(WaitFor([&] { return Office.Sales().count(Id) == 1; }, 5s)) << Id;

  // The office is away: the broker takes the sales and keeps them for its session.
  Office.Disconnect();
  const auto Queued = SellOnEveryPump();
  ASSERT_TRUE(WaitFor([&] { return Backlog() == 0; }, 5s));

  // The broker stops (and saves what it keeps); sales made meanwhile wait in the
  // journal, unmarked, since no broker acknowledged them.
  Broker->Stop();
  ASSERT_TRUE(WaitFor([&] { return !Link->Status().Connected; }, 5s));
  const auto Waiting = SellOnEveryPump();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Backlog(), 3);
  for (const auto Id : Waiting)
    EXPECT_EQ(Station->Journal().UploadedMs(Id), 0) << Id;
  {
    const auto Read = Metrics();
    EXPECT_TRUE(Read.Faults.empty());
    EXPECT_EQ(Read.Value("de30_uplink_backlog_sales"), 3.0);
    EXPECT_EQ(Read.Value("de30_uplink_connected"), 0.0);
  }

  // Back: the uplink reconnects by itself and sends what waited; the office
  // comes back to its session and gets what the broker kept across the restart.
  ASSERT_TRUE(Broker->Start()) << Broker->Log();
  ASSERT_TRUE(WaitFor([&] { return Link->Status().Connected; }, 5s));
  ASSERT_TRUE(Office.Connect());
  const auto Later = SellOnEveryPump();

  const auto Closed = ClosedSales();
  ASSERT_EQ(Closed.size(), 12u);
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto Got = Office.Sales();
        return Backlog() == 0 &&
               std::all_of(Closed.begin(), Closed.end(),
                           [&](const station::TSale &Sale) { return Got.count(Sale.Id) == 1; });
      },
      10s))
      << "backlog " << Backlog() << ", office has " << Office.Sales().size() << "\n"
      << Broker->Log();

  // What the office got is each sale as the journal holds it, under the station's
  // id; duplicates are possible, by design, and told apart by station and id.
  const auto Got = Office.Sales();
  EXPECT_EQ(Got.size(), Closed.size());
  for (const auto &Sale : Closed) {
    SCOPED_TRACE(Sale.Id);
    EXPECT_EQ(Got.at(Sale.Id), service::SaleMessage(Sale, "station-7"));
    EXPECT_GT(Station->Journal().UploadedMs(Sale.Id), 0);
  }
  const auto Arrivals = Office.Arrivals();
  EXPECT_GE(Arrivals.size(), Closed.size());
  // The sales that waited for the broker went out lowest id first.
  std::vector<std::int64_t> Sorted = Waiting;
  std::sort(Sorted.begin(), Sorted.end());
  std::vector<std::int64_t> InArrival = Waiting;
  std::sort(InArrival.begin(), InArrival.end(), [&](std::int64_t A, std::int64_t B) {
    return std::find(Arrivals.begin(), Arrivals.end(), A) <
           std::find(Arrivals.begin(), Arrivals.end(), B);
  });
  EXPECT_EQ(InArrival, Sorted);
  for (const auto Id : Queued)
    EXPECT_EQ(Got.count(Id), 1u) << Id;
  for (const auto Id : Later)
    EXPECT_EQ(Got.count(Id), 1u) << Id;

  // Each pump's state of the moment is kept by the broker under its own topic.
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto Pumps = Office.Pumps();
        const auto Found = Pumps.find(std::string(Topic) + "/pumps/2:3");
        return Pumps.size() == 3 && Found != Pumps.end() &&
               Found->second["state"] == "completed";
      },
      5s));
  for (const auto &[Where, Pump] : Office.Pumps()) {
    EXPECT_EQ(Pump["station"], "station-7");
    EXPECT_EQ(Where, std::string(Topic) + "/pumps/" + Pump["id"].get<std::string>());
    EXPECT_TRUE(Pump["at"].is_string());
  }
  const auto Read = Metrics();
  EXPECT_TRUE(Read.Faults.empty());
  EXPECT_EQ(Read.Value("de30_uplink_backlog_sales"), 0.0);
  EXPECT_EQ(Read.Value("de30_uplink_connected"), 1.0);
  EXPECT_GE(*Read.Value("de30_uplink_delivered_sales_total"), 12.0);
  EXPECT_GE(*Read.Value("de30_uplink_connections_total"), 2.0);
  Office.Disconnect();
}

// de30d as an operator runs it, with an uplink to a broker: it connects, tells
// the office it is online and what its pumps do, and logs it.
TEST(De30dUplink, TheServiceConnectsReportsItsPumpsAndSaysOfflineWhenStopped) {
  if (BrokerProgram().empty())
    GTEST_SKIP() << "mosquitto is not installed";
  TTempDir Dir;
  TBroker Broker(Dir.Path());
  ASSERT_TRUE(Broker.Start());
  TOffice Office(Broker.Port(), "de30/north-7");
  ASSERT_TRUE(Office.Connect());
  const auto Config = Dir.Path() / "station.toml";
  std::ofstream(Config) << "[station]\nid = \"north-7\"\nlisten = \"127.0.0.1:0\"\n"
                        << "journal = \"" << (Dir.Path() / "journal.db").string() << "\"\n"
                        << "[[grade]]\nnumber = 1\nname = \"95\"\n"
                        << "[[line]]\nnumber = 1\nserial = \""
                        << (Dir.Path() / "no-such-device").string() << "\"\n"
                        << "[[pump]]\nline = 1\naddress = 3\nnozzles = [1]\n"
                        << "[uplink]\nbroker = \"127.0.0.1:" << Broker.Port() << "\"\n"
                        << "topic = \"de30/north-7\"\n";
  int Err[2];
  ASSERT_EQ(::pipe(Err), 0);
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::dup2(Err[1], 2);
    ::close(Err[0]);
    const int Null = ::open("/dev/null", O_WRONLY);
    ::dup2(Null, 1);
    ::execl(DE30D, DE30D, "--config", Config.c_str(), static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(Err[1]);
  const bool Online = WaitFor([&] { return Office.Status()["online"] == true; }, 10s);
  // The line cannot be opened: its pump is offline, and the office sees that.
  const bool Offline = WaitFor(
      [&] {
        const auto Pumps = Office.Pumps();
        const auto Found = Pumps.find("de30/north-7/pumps/1:3");
        return Found != Pumps.end() && Found->second["state"] == "offline" &&
               Found->second["station"] == "north-7";
      },
      10s);
  ::kill(Child, SIGTERM);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  std::string Log;
  char Buffer[512];
  ssize_t Got;
  while ((Got = ::read(Err[0], Buffer, sizeof Buffer)) > 0)
    Log.append(Buffer, static_cast<std::size_t>(Got));
  ::close(Err[0]);
  EXPECT_TRUE(Online) << Log;
  EXPECT_TRUE(Offline) << Log;
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Log;
  EXPECT_TRUE(WaitFor([&] { return Office.Status()["online"] == false; }, 5s)) << Log;
  EXPECT_NE(Log.find(" info uplink: connected to 127.0.0.1:" + std::to_string(Broker.Port()) +
                     " as de30d-north-7"),
            std::string::npos)
      << Log;
  EXPECT_NE(Log.find(" info uplink: disconnected from"), std::string::npos) << Log;
  // The line's fault is logged once as a warning, not once a second.
  EXPECT_NE(Log.find(" warn #"), std::string::npos) << Log;
  Office.Disconnect();
}

} // namespace
