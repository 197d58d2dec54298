// The head-office uplink against a real Mosquitto broker on loopback: every sale
// reaches the office across a restart of the broker in the middle of a run of
// simulated sales, each marked uploaded only once it is acknowledged (by the
// office once committed, or by the broker where the office does not answer);
// the broker's TLS certificate and the station's credentials checked, and a
// refusal said in the status and the log; the [uplink] table's checks; and
// de30d itself, configured with an uplink, says so to the broker and in its log.
#include "api_server.hpp"
#include "broker_fixture.hpp"
#include "embedded.hpp"
#include "exposition_reader.hpp"
#include "metrics.hpp"
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
  }
  // The broker (with Secure, a TLS listener too), the station, its HTTP server
  // and an uplink as Tweak sets it up.
  void Begin(const std::function<void(station::TUplinkConfig &)> &Tweak,
             const TSecureListener *Secure = nullptr) {
    Broker = std::make_unique<TBroker>(Dir.Path(), Secure);
    ASSERT_TRUE(Broker->Start()) << Broker->Log();
    service::TEmbeddedOptions Pumps;
    Pumps.Customers = false;
    Pumps.AutoAuthorize = false;
    Pumps.FlowRate = 400; // four litres a second
    Pumps.StartDelayMs = 100;
    Embedded = std::make_unique<service::TEmbeddedStation>(Pumps);
    auto Config = Embedded->Config(Dir.Path() / "journal.db");
    Config.StationId = "station-7";
    Config.Uplink = PlainUplink();
    Tweak(*Config.Uplink);
    service::SeedPrices(Config.Journal);
    Station = std::make_unique<station::TStation>(Config, Embedded->StationOptions());
    Link = std::make_unique<service::TUplink>(*Station, *Config.Uplink, Quick());
    service::TServerOptions Options;
    Options.Port = 0;
    Options.Uplink = Link.get();
    Server = std::make_unique<service::TApiServer>(*Station, Options);
    Station->Start();
    Server->Start();
    Link->Start();
  }
  station::TUplinkConfig PlainUplink() const {
    station::TUplinkConfig Config;
    Config.Host = "127.0.0.1";
    Config.Port = static_cast<std::uint16_t>(Broker->Port());
    Config.Topic = Topic;
    Config.ClientId = "de30d-station-7";
    Config.KeepAlive = std::chrono::seconds(5);
    return Config;
  }
  static service::TUplinkOptions Quick() {
    service::TUplinkOptions Options;
    Options.RetryFirst = 200ms;
    Options.RetryMax = 400ms;
    return Options;
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

// An office that does not answer: the broker's PUBACK says delivered.
TEST_F(Uplink, AcknowledgedByTheBrokerEverySaleReachesTheOfficeAcrossABrokerRestart) {
  ASSERT_NO_FATAL_FAILURE(Begin([](station::TUplinkConfig &Config) {
    Config.AcknowledgedBy = station::TUplinkConfig::TAcknowledgedBy::Broker;
  }));
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

// The default: a sale is delivered when the office says it has committed it,
// not when the broker took it. Until then it is due, and goes out again when
// the office stays silent and when the connection comes back.
TEST_F(Uplink, ASaleIsDeliveredOnlyOnceTheOfficeAcknowledgesIt) {
  ASSERT_NO_FATAL_FAILURE(Begin(
      [](station::TUplinkConfig &Config) { Config.AckTimeout = std::chrono::seconds(1); }));
  TOffice Office(Broker->Port(), Topic);
  ASSERT_TRUE(Office.Connect());
  ASSERT_TRUE(WaitFor([&] { return Link->Status().Connected; }, 5s));

  // The broker took them and the office got them, but said nothing: still due.
  const auto First = SellOnEveryPump();
  ASSERT_TRUE(WaitFor([&] { return Office.Sales().size() == 3; }, 5s));
  EXPECT_EQ(Backlog(), 3);
  for (const auto Id : First)
    EXPECT_EQ(Station->Journal().UploadedMs(Id), 0) << Id;

  // Another station's acknowledgement, and messages that are none, mark nothing.
  std::string Others = "{\"station\": \"station-8\", \"sales\": [";
  for (std::size_t I = 0; I < First.size(); ++I)
    Others += (I ? ", " : "") + std::to_string(First[I]);
  Others += "]}";
  Office.PublishAck(Others);
  Office.PublishAck("not json");
  Office.PublishAck("{\"station\": \"station-7\", \"sales\": \"all\"}");
  // Unanswered, each is sent again after the timeout.
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto Arrivals = Office.Arrivals();
        return std::all_of(First.begin(), First.end(), [&](std::int64_t Id) {
          return std::count(Arrivals.begin(), Arrivals.end(), Id) >= 2;
        });
      },
      5s));
  EXPECT_EQ(Backlog(), 3);
  EXPECT_GE(Link->Status().Resent, 3u);
  EXPECT_EQ(Link->Status().Acknowledged, 0u);

  // The office answers: the next resend is acknowledged and marked.
  Office.AcknowledgeSales(true);
  ASSERT_TRUE(WaitFor([&] { return Backlog() == 0; }, 8s));
  for (const auto Id : First)
    EXPECT_GT(Station->Journal().UploadedMs(Id), 0) << Id;
  EXPECT_EQ(Link->Status().Acknowledged, 3u);

  // The broker away: sales wait; back, they go out at once on the new
  // connection and the office's acknowledgements mark them.
  Broker->Stop();
  ASSERT_TRUE(WaitFor([&] { return !Link->Status().Connected; }, 5s));
  EXPECT_EQ(Link->Status().Fault, service::TUplinkFault::Unreachable);
  const auto Waiting = SellOnEveryPump();
  EXPECT_EQ(Backlog(), 3);
  ASSERT_TRUE(Broker->Start()) << Broker->Log();
  ASSERT_TRUE(WaitFor([&] { return Backlog() == 0; }, 10s)) << Broker->Log();
  for (const auto Id : Waiting)
    EXPECT_GT(Station->Journal().UploadedMs(Id), 0) << Id;
  const auto Read = ReadExposition(service::StationMetrics(*Station, Link.get()));
  EXPECT_TRUE(Read.Faults.empty());
  EXPECT_EQ(Read.Value("de30_uplink_delivered_sales_total"), 6.0);
  EXPECT_GE(*Read.Value("de30_uplink_resent_sales_total"), 3.0);
  EXPECT_EQ(Read.Value("de30_uplink_fault", {{"kind", "unreachable"}}), 0.0);
  Office.Disconnect();
}

// A closed shift goes up on TOPIC/shifts as a sale does: sent again until the
// office acknowledges it ({"shifts": [id]}), then marked, and not sent again;
// with acknowledged_by = "broker" the PUBACK marks it.
TEST_F(Uplink, AClosedShiftIsSentUntilTheOfficeAcknowledgesIt) {
  ASSERT_NO_FATAL_FAILURE(Begin(
      [](station::TUplinkConfig &Config) { Config.AckTimeout = std::chrono::seconds(1); }));
  TOffice Office(Broker->Port(), Topic);
  ASSERT_TRUE(Office.Connect());
  ASSERT_TRUE(WaitFor([&] { return Link->Status().Connected; }, 5s));
  const auto Sold = SellOnEveryPump();
  const auto Closed = Station->CloseShift("till");
  ASSERT_TRUE(Closed);
  ASSERT_TRUE(WaitFor([&] { return Office.ShiftArrivals().size() >= 2; }, 8s))
      << "sent again for want of an acknowledgement";
  EXPECT_FALSE(Station->Journal().Shift(Closed->Id)->Uploaded);
  EXPECT_EQ(Metrics().Value("de30_uplink_backlog_shifts"), 1.0);
  const auto Got = Office.Shifts().at(Closed->Id);
  EXPECT_EQ(Got["station"], "station-7");
  EXPECT_EQ(Got["closed_by"], "till");
  std::int64_t Counted = 0;
  for (const auto &Row : Got["nozzles"])
    Counted += Row["sales"]["count"].get<std::int64_t>();
  EXPECT_EQ(Counted, static_cast<std::int64_t>(Sold.size()));

  Office.PublishAck(R"({"station": "station-8", "shifts": [1]})");
  Office.AcknowledgeSales(true);
  ASSERT_TRUE(WaitFor([&] { return Station->Journal().Shift(Closed->Id)->Uploaded; }, 8s));
  EXPECT_TRUE(Station->Journal().ShiftBacklog(0).empty());
  EXPECT_EQ(Metrics().Value("de30_uplink_backlog_shifts"), 0.0);
  const auto Delivered = Office.ShiftArrivals().size();
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Office.ShiftArrivals().size(), Delivered) << "an acknowledged shift stays put";
  Office.Disconnect();
}

TEST_F(Uplink, AShiftAcknowledgedByTheBrokerIsMarkedOnItsPuback) {
  ASSERT_NO_FATAL_FAILURE(Begin([](station::TUplinkConfig &Config) {
    Config.AcknowledgedBy = station::TUplinkConfig::TAcknowledgedBy::Broker;
  }));
  TOffice Office(Broker->Port(), Topic);
  ASSERT_TRUE(Office.Connect());
  ASSERT_TRUE(WaitFor([&] { return Link->Status().Connected; }, 5s));
  const auto Closed = Station->CloseShift("till");
  ASSERT_TRUE(Closed);
  ASSERT_TRUE(WaitFor([&] { return Station->Journal().Shift(Closed->Id)->Uploaded; }, 8s));
  ASSERT_TRUE(WaitFor([&] { return !Office.ShiftArrivals().empty(); }, 5s));
  EXPECT_EQ(Office.ShiftArrivals(), std::vector<std::int64_t>{Closed->Id});
  Office.Disconnect();
}

// Over TLS, the broker's certificate must be signed by the configured CA and
// name the broker, and the broker must accept the station's certificate and
// password: anything else is refused, and the status says which.
TEST_F(Uplink, ABrokerIsUsedOnlyWhenItsCertificateAndTheCredentialsCheckOut) {
  TCertificates Files;
  std::string Why;
  if (!MakeCertificates(Dir.Path() / "tls", Files, Why))
    GTEST_SKIP() << "openssl cannot make the test's certificates: " << Why;
  TSecureListener Secure{Files, Dir.Path() / "passwords"};
  ASSERT_TRUE(MakeBrokerPasswords(Secure.Passwords, "station-7", "right horse battery"));
  // Starts with an uplink that cannot connect (the plain port's broker is
  // there, its TLS not asked for); each case then has an uplink of its own.
  ASSERT_NO_FATAL_FAILURE(Begin([](station::TUplinkConfig &) {}, &Secure));
  Link->Stop();
  TOffice Office(Broker->Port(), Topic);
  Office.AcknowledgeSales(true);
  ASSERT_TRUE(Office.Connect());

  struct TCase {
    const char *Name;
    std::filesystem::path Ca;
    bool ClientCertificate;
    const char *Password;
    service::TUplinkFault Fault; // None: connects
    const char *Said;            // in the fault's text
  };
  const TCase Cases[] = {
      {"trusted broker, right password", Files.Ca, true, "right horse battery",
       service::TUplinkFault::None, ""},
      {"broker signed by another CA", Files.OtherCa, true, "right horse battery",
       service::TUplinkFault::Tls, "certificate verify failed"},
      {"wrong password", Files.Ca, true, "wrong horse", service::TUplinkFault::Credentials,
       "check username and password_file"},
      {"no client certificate", Files.Ca, false, "right horse battery",
       service::TUplinkFault::Tls, "TLS failed"},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    auto Config = PlainUplink();
    Config.Port = static_cast<std::uint16_t>(Broker->SecurePort());
    Config.CaFile = Case.Ca.string();
    if (Case.ClientCertificate) {
      Config.CertFile = Files.ClientCert.string();
      Config.KeyFile = Files.ClientKey.string();
    }
    Config.Username = "station-7";
    Config.PasswordFile = "given";
    Config.Password = Case.Password;
    service::TUplink Secured(*Station, Config, Quick());
    Secured.Start();
    if (Case.Fault == service::TUplinkFault::None) {
      ASSERT_TRUE(WaitFor([&] { return Secured.Status().Connected; }, 5s)) << Broker->Log();
      // Delivered over TLS and acknowledged by the office.
      const auto Sold = SellOnEveryPump();
      ASSERT_TRUE(WaitFor([&] { return Backlog() == 0; }, 5s));
      for (const auto Id : Sold)
        EXPECT_EQ(Office.Sales().count(Id), 1u) << Id;
    } else {
      ASSERT_TRUE(WaitFor([&] { return Secured.Status().Fault == Case.Fault; }, 5s))
          << service::UplinkFaultName(Secured.Status().Fault) << ": "
          << Secured.Status().FaultText;
      const auto Status = Secured.Status();
      EXPECT_FALSE(Status.Connected);
      EXPECT_EQ(Status.Connections, 0u);
      EXPECT_NE(Status.FaultText.find(Case.Said), std::string::npos) << Status.FaultText;
      const auto Read = ReadExposition(service::StationMetrics(*Station, &Secured));
      EXPECT_EQ(Read.Value("de30_uplink_connected"), 0.0);
      EXPECT_EQ(
          Read.Value("de30_uplink_fault", {{"kind", service::UplinkFaultName(Case.Fault)}}),
          1.0);
      EXPECT_EQ(Read.Value("de30_uplink_fault", {{"kind", "unreachable"}}), 0.0);
    }
    Secured.Stop();
  }
  Office.Disconnect();
}

// The [uplink] table's security and delivery keys: files read at load, relative
// ones from the configuration's folder; keys that only go together refused apart.
TEST(UplinkConfig, TheSecurityKeysAreCheckedWhenTheFileIsRead) {
  TTempDir Dir;
  std::filesystem::create_directories(Dir.Path() / "etc");
  for (const char *Name : {"ca.crt", "client.crt", "client.key"})
    std::ofstream(Dir.Path() / "etc" / Name) << "-----BEGIN-----\n";
  std::ofstream(Dir.Path() / "etc" / "password") << "s3cret word\r\nsecond line\n";
  std::ofstream(Dir.Path() / "etc" / "empty-password") << "\n";
  std::filesystem::permissions(Dir.Path() / "etc" / "password",
                               std::filesystem::perms::owner_read |
                                   std::filesystem::perms::owner_write);
  std::filesystem::permissions(Dir.Path() / "etc" / "client.key",
                               std::filesystem::perms::owner_read |
                                   std::filesystem::perms::others_read);
  const auto File = (Dir.Path() / "etc" / "station.toml").string();
  const auto Parse = [&](const std::string &Broker, const std::string &Uplink) {
    return station::ParseConfig("[station]\nid = \"north-7\"\n"
                                "[[grade]]\nnumber = 1\nname = \"95\"\n"
                                "[[line]]\nnumber = 1\nserial = \"/dev/null\"\n"
                                "[[pump]]\nline = 1\naddress = 3\nnozzles = [1]\n"
                                "[uplink]\nbroker = \"" +
                                    Broker + "\"\ntopic = \"de30/north-7\"\n" + Uplink,
                                File);
  };

  // Accepted: TLS with a client certificate and a password, relative paths.
  const auto Config = Parse("office.example:8883", "ca_file = \"ca.crt\"\n"
                                                   "cert_file = \"client.crt\"\n"
                                                   "key_file = \"client.key\"\n"
                                                   "username = \"north-7\"\n"
                                                   "password_file = \"password\"\n"
                                                   "ack_timeout_s = 5\n");
  ASSERT_TRUE(Config.Uplink);
  EXPECT_EQ(Config.Uplink->CaFile, (Dir.Path() / "etc" / "ca.crt").string());
  EXPECT_EQ(Config.Uplink->KeyFile, (Dir.Path() / "etc" / "client.key").string());
  EXPECT_EQ(Config.Uplink->Username, "north-7");
  EXPECT_EQ(Config.Uplink->Password, "s3cret word"); // the first line, without its end
  EXPECT_EQ(Config.Uplink->AckTimeout, std::chrono::seconds(5));
  EXPECT_EQ(Config.Uplink->AcknowledgedBy, station::TUplinkConfig::TAcknowledgedBy::Office);
  // A key every user can read is taken, with a warning.
  ASSERT_EQ(Config.Warnings.size(), 1u);
  EXPECT_NE(Config.Warnings[0].find("uplink.key_file"), std::string::npos)
      << Config.Warnings[0];
  // Plain, without credentials: TLS off, the office acknowledges.
  const auto Plain = Parse("127.0.0.1:1883", "");
  EXPECT_TRUE(Plain.Uplink->CaFile.empty());
  EXPECT_TRUE(Plain.Uplink->Password.empty());
  // A password to a broker on this machine may go without TLS (a local bridge).
  EXPECT_EQ(Parse("127.0.0.1:1883", "username = \"a\"\npassword_file = \"password\"\n")
                .Uplink->Password,
            "s3cret word");
  EXPECT_EQ(Parse("127.0.0.1:1883", "acknowledged_by = \"broker\"\n").Uplink->AcknowledgedBy,
            station::TUplinkConfig::TAcknowledgedBy::Broker);

  const struct {
    std::string Broker, Uplink, Key, Said;
  } Refused[] = {
      {"b:8883", "ca_file = \"missing.crt\"\n", "uplink.ca_file",
       "cannot be read (no such file)"},
      {"b:8883", "ca_file = \".\"\n", "uplink.ca_file", "is a folder"},
      {"b:8883", "ca_file = \"ca.crt\"\ncert_file = \"client.crt\"\n", "uplink.key_file",
       "go together"},
      {"b:8883", "ca_file = \"ca.crt\"\nkey_file = \"client.key\"\n", "uplink.cert_file",
       "go together"},
      {"b:8883", "cert_file = \"client.crt\"\nkey_file = \"client.key\"\n", "uplink.ca_file",
       "required with cert_file"},
      {"b:8883", "ca_file = \"ca.crt\"\npassword_file = \"password\"\n", "uplink.password_file",
       "needs username"},
      {"b:8883", "username = \"a\"\npassword_file = \"password\"\n", "uplink.password_file",
       "would go in clear"},
      {"b:8883", "ca_file = \"ca.crt\"\nusername = \"a\"\npassword_file = \"nope\"\n",
       "uplink.password_file", "cannot be read"},
      {"b:8883", "ca_file = \"ca.crt\"\nusername = \"a\"\npassword_file = \"empty-password\"\n",
       "uplink.password_file", "is empty"},
      {"b:8883", "username = \"\"\n", "uplink.username", "must not be empty"},
      {"b:8883", "acknowledged_by = \"pubsub\"\n", "uplink.acknowledged_by", "\"office\""},
      {"b:8883", "acknowledged_by = \"broker\"\nack_timeout_s = 5\n", "uplink.ack_timeout_s",
       "not with acknowledged_by"},
      {"b:8883", "ack_timeout_s = 0\n", "uplink.ack_timeout_s", "outside 1..3600"},
      {"b:8883", "password = \"inline\"\n", "uplink.password", "unknown key"},
  };
  for (const auto &Case : Refused) {
    SCOPED_TRACE(Case.Uplink);
    try {
      Parse(Case.Broker, Case.Uplink);
      ADD_FAILURE() << "accepted";
    } catch (const station::EConfigError &Error) {
      EXPECT_EQ(Error.Key(), Case.Key) << Error.what();
      EXPECT_NE(std::string(Error.what()).find(Case.Said), std::string::npos) << Error.what();
      EXPECT_GT(Error.Line(), 0) << Error.what();
    }
  }

  // The simulated station's uplink file: [station] id and [uplink] alone.
  const auto UplinkFile = Dir.Path() / "etc" / "uplink.toml";
  std::ofstream(UplinkFile)
      << "[station]\nid = \"sim-3\"\n[uplink]\nbroker = \"127.0.0.1:1883\"\n"
         "topic = \"de30/sim-3\"\nusername = \"sim\"\n"
         "password_file = \"password\"\n";
  const auto Read = station::LoadUplinkFile(UplinkFile);
  EXPECT_EQ(Read.StationId, "sim-3");
  EXPECT_EQ(Read.Uplink.ClientId, "de30d-sim-3");
  EXPECT_EQ(Read.Uplink.Password, "s3cret word");
  std::ofstream(UplinkFile) << "[uplink]\nbroker = \"127.0.0.1:1883\"\ntopic = \"de30/x\"\n";
  EXPECT_THROW(station::LoadUplinkFile(UplinkFile), station::EConfigError);
  std::ofstream(UplinkFile) << "[station]\nid = \"x\"\n[[line]]\nnumber = 1\n";
  EXPECT_THROW(station::LoadUplinkFile(UplinkFile), station::EConfigError);
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

// de30d on its simulated station with an uplink file, to a broker whose
// certificate no configured CA signed: refused, in the log as an error and in
// /metrics; the sales stay due in the journal.
TEST(De30dUplink, ABrokerThatFailsVerificationIsRefusedAndTheLogAndMetricsSaySo) {
  if (BrokerProgram().empty())
    GTEST_SKIP() << "mosquitto is not installed";
  TTempDir Dir;
  TCertificates Files;
  std::string Why;
  if (!MakeCertificates(Dir.Path() / "tls", Files, Why))
    GTEST_SKIP() << "openssl cannot make the test's certificates: " << Why;
  TSecureListener Secure{Files, Dir.Path() / "passwords"};
  ASSERT_TRUE(MakeBrokerPasswords(Secure.Passwords, "sim-1", "pass word"));
  TBroker Broker(Dir.Path(), &Secure);
  ASSERT_TRUE(Broker.Start()) << Broker.Log();
  std::ofstream(Dir.Path() / "password") << "pass word\n";
  const auto UplinkFile = Dir.Path() / "uplink.toml";
  std::ofstream(UplinkFile) << "[station]\nid = \"sim-1\"\n[uplink]\nbroker = \"127.0.0.1:"
                            << Broker.SecurePort() << "\"\ntopic = \"de30/sim-1\"\n"
                            << "ca_file = \"" << Files.OtherCa.string() << "\"\n"
                            << "cert_file = \"" << Files.ClientCert.string() << "\"\n"
                            << "key_file = \"" << Files.ClientKey.string() << "\"\n"
                            << "username = \"sim-1\"\npassword_file = \"password\"\n";
  int Out[2], Err[2];
  ASSERT_EQ(::pipe(Out), 0);
  ASSERT_EQ(::pipe(Err), 0);
  const auto Journal = (Dir.Path() / "journal.db").string();
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::dup2(Out[1], 1);
    ::dup2(Err[1], 2);
    ::close(Out[0]);
    ::close(Err[0]);
    ::execl(DE30D, DE30D, "--uplink", UplinkFile.c_str(), "--journal", Journal.c_str(),
            "--listen", "127.0.0.1:0", "--speed", "50", static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(Out[1]);
  ::close(Err[1]);
  // The first line of its output names the port.
  std::string Greeting;
  char C;
  while (::read(Out[0], &C, 1) == 1 && C != '\n')
    Greeting += C;
  const auto At = Greeting.find("127.0.0.1:");
  ASSERT_NE(At, std::string::npos) << Greeting;
  const int Port = std::stoi(Greeting.substr(At + 10));
  httplib::Client Http("127.0.0.1", Port);
  TExpositionRead Read;
  const bool Refused = WaitFor(
      [&] {
        const auto Answer = Http.Get("/metrics");
        Read = ReadExposition(Answer ? Answer->body : "");
        return Read.Value("de30_uplink_fault", {{"kind", "tls"}}) == 1.0 &&
               Read.Value("de30_uplink_backlog_sales").value_or(0) > 0;
      },
      20s);
  ::kill(Child, SIGTERM);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  std::string Log;
  char Buffer[512];
  ssize_t Got;
  while ((Got = ::read(Err[0], Buffer, sizeof Buffer)) > 0)
    Log.append(Buffer, static_cast<std::size_t>(Got));
  ::close(Err[0]);
  ::close(Out[0]);
  EXPECT_TRUE(Refused) << Log;
  EXPECT_EQ(Read.Value("de30_uplink_connected"), 0.0);
  EXPECT_EQ(Read.Value("de30_uplink_connections_total"), 0.0);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Log;
  EXPECT_NE(Log.find(" error uplink: refused the broker 127.0.0.1:" +
                     std::to_string(Broker.SecurePort()) +
                     ": TLS failed (certificate verify failed)"),
            std::string::npos)
      << Log;
  // Said once, not at every attempt.
  const auto First = Log.find("TLS failed");
  EXPECT_EQ(Log.find("TLS failed", First + 1), std::string::npos) << Log;
  EXPECT_EQ(Log.find("uplink: connected"), std::string::npos) << Log;
}

} // namespace
