// de30-office as it runs: two ingest processes on one shared subscription of a
// real Mosquitto broker, writing into a real PostgreSQL. Every sale a station
// publishes is stored once and acknowledged on the station's acks topic; none
// is acknowledged while the database cannot commit it, and each is once it can;
// over TLS, a broker the configured CA did not sign is refused.
#include "de30d/broker_fixture.hpp"
#include "postgres_fixture.hpp"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <mosquitto.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace de30::test;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()> &Done, std::chrono::milliseconds For) {
  const auto Deadline = std::chrono::steady_clock::now() + For;
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Deadline)
      return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A folder of the test's own, removed at the end.
class TTempDir {
public:
  TTempDir() {
    char Template[] = "/tmp/de30-office-test-XXXXXX";
    if (::mkdtemp(Template))
      Where = Template;
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(Where, Ignored);
  }
  const std::filesystem::path &Path() const { return Where; }

private:
  std::filesystem::path Where;
};

// A program run by the test, its stderr in a file; SIGTERM when destroyed.
class TProcess {
public:
  TProcess(std::vector<std::string> Arguments, std::filesystem::path Log)
      : LogFile(std::move(Log)) {
    Child = ::fork();
    if (Child == 0) {
      const int Out = ::open(LogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(Out, 2);
      ::dup2(Out, 1);
      std::vector<char *> Argv;
      for (auto &Argument : Arguments)
        Argv.push_back(Argument.data());
      Argv.push_back(nullptr);
      ::execv(Argv[0], Argv.data());
      ::_exit(127);
    }
  }
  ~TProcess() { Stop(); }
  int Stop() {
    if (Child <= 0)
      return Status;
    ::kill(Child, SIGTERM);
    ::waitpid(Child, &Status, 0);
    Child = -1;
    return Status;
  }
  int Wait() {
    if (Child > 0) {
      ::waitpid(Child, &Status, 0);
      Child = -1;
    }
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  std::string Log() const {
    std::ifstream In(LogFile);
    std::ostringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }

private:
  std::filesystem::path LogFile;
  pid_t Child = -1;
  int Status = 0;
};

// A station as the office sees it: sales out on its topic, acknowledgements in.
class TStationLink {
public:
  TStationLink(int Port, std::string Topic) : Base(std::move(Topic)) {
    mosquitto_lib_init();
    Client = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(Client, [](mosquitto *C, void *Self, int Code) {
      if (Code == 0) {
        auto &Link = *static_cast<TStationLink *>(Self);
        mosquitto_subscribe(C, nullptr, (Link.Base + "/acks").c_str(), 1);
      }
    });
    mosquitto_subscribe_callback_set(Client,
                                     [](mosquitto *, void *Self, int, int, const int *) {
                                       auto &Link = *static_cast<TStationLink *>(Self);
                                       std::lock_guard Lock(Link.Guard);
                                       Link.Subscribed = true;
                                     });
    mosquitto_message_callback_set(
        Client, [](mosquitto *, void *Self, const mosquitto_message *M) {
          auto &Link = *static_cast<TStationLink *>(Self);
          const auto Ack =
              nlohmann::json::parse(std::string(static_cast<const char *>(M->payload),
                                                static_cast<std::size_t>(M->payloadlen)),
                                    nullptr, false);
          std::lock_guard Lock(Link.Guard);
          if (Ack.is_object() && Ack.value("station", "") == "s1") {
            for (const auto &Id : Ack["sales"])
              Link.Acked.insert(Id.get<std::int64_t>());
            for (const auto &Id : Ack.value("shifts", nlohmann::json::array()))
              Link.ShiftsAcked.push_back(Id.get<std::int64_t>());
          }
        });
    mosquitto_connect(Client, "127.0.0.1", Port, 10);
    mosquitto_loop_start(Client);
  }
  ~TStationLink() {
    mosquitto_disconnect(Client);
    mosquitto_loop_stop(Client, false);
    mosquitto_destroy(Client);
  }
  bool Ready() {
    std::lock_guard Lock(Guard);
    return Subscribed;
  }
  void Sell(std::int64_t Id) {
    const std::string Sale = nlohmann::json{{"id", Id},
                                            {"station", "s1"},
                                            {"pump", "1:1"},
                                            {"nozzle", 1},
                                            {"grade", 1},
                                            {"price", 50.0},
                                            {"preset", nullptr},
                                            {"volume", Id * 1.0},
                                            {"amount", Id * 50.0},
                                            {"start_totals", nullptr},
                                            {"end_totals", nullptr},
                                            {"state", "payable"},
                                            {"locked_by", nullptr},
                                            {"started", "2026-12-08T22:50:09.123Z"},
                                            {"ended", "2026-12-08T22:51:09.000Z"},
                                            {"flags", nlohmann::json::array()}}
                                 .dump();
    mosquitto_publish(Client, nullptr, (Base + "/sales").c_str(), static_cast<int>(Sale.size()),
                      Sale.data(), 1, false);
  }
  std::set<std::int64_t> Acknowledged() {
    std::lock_guard Lock(Guard);
    return Acked;
  }
  // A closed shift of one nozzle whose totals moved by Moved litres with one
  // litre sold (at 2.00), and sale 9 left payable.
  void CloseShift(std::int64_t Id, double Moved) {
    const std::string Shift = nlohmann::json{
        {"id", Id},
        {"station", "s1"},
        {"state", "closed"},
        {"opened", "2026-12-08T06:00:00.000Z"},
        {"closed", "2026-12-08T14:00:00.000Z"},
        {"closed_by", "till"},
        {"nozzles",
         {{{"pump", "1:1"},
           {"nozzle", 1},
           {"grade", 1},
           {"open_totals", {{"volume", 100.0}, {"amount", 200.0}}},
           {"open_missing", nullptr},
           {"close_totals", {{"volume", 100.0 + Moved}, {"amount", 200.0 + 2 * Moved}}},
           {"close_missing", nullptr},
           {"sales", {{"count", 1}, {"volume", 1.0}, {"amount", 2.0}}},
           {"difference", {{"volume", Moved - 1.0}, {"amount", 2 * Moved - 2.0}}}}}},
        {"grades", nlohmann::json::array()},
        {"clients", nlohmann::json::array()},
        {"pending",
         {{"count", 1},
          {"sales",
           {{{"id", 9},
             {"pump", "1:1"},
             {"state", "payable"},
             {"locked_by", nullptr},
             {"volume", 1.0},
             {"amount", 2.0},
             {"started", "2026-12-08T07:00:00.000Z"},
             {"ended", "2026-12-08T07:01:00.000Z"}}}}}},
        {"uploaded", false}}.dump();
    mosquitto_publish(Client, nullptr, (Base + "/shifts").c_str(),
                      static_cast<int>(Shift.size()), Shift.data(), 1, false);
  }
  std::vector<std::int64_t> ShiftsAcknowledged() {
    std::lock_guard Lock(Guard);
    return ShiftsAcked;
  }

private:
  std::string Base;
  mosquitto *Client = nullptr;
  std::mutex Guard;
  bool Subscribed = false;
  std::set<std::int64_t> Acked;
  std::vector<std::int64_t> ShiftsAcked; // every acknowledgement, in order
};

std::string Query(const TPostgres &Server, const std::string &Sql) {
  PGconn *Db = PQconnectdb(Server.ConnInfo().c_str());
  PGresult *Result = PQexec(Db, Sql.c_str());
  std::string Text = PQresultStatus(Result) == PGRES_TUPLES_OK && PQntuples(Result) == 1
                         ? PQgetvalue(Result, 0, 0)
                         : std::string("?") + PQerrorMessage(Db);
  PQclear(Result);
  PQfinish(Db);
  return Text;
}

class OfficeIngest : public ::testing::Test {
protected:
  void SetUp() override {
    if (BrokerProgram().empty())
      GTEST_SKIP() << "mosquitto is not installed";
    std::string Why;
    if (!Server.Start(Why))
      GTEST_SKIP() << "PostgreSQL cannot be started here: " << Why;
    Broker = std::make_unique<TBroker>(Dir.Path());
    ASSERT_TRUE(Broker->Start()) << Broker->Log();
    Config = Dir.Path() / "office.toml";
    std::ofstream(Config) << "[broker]\naddress = \"127.0.0.1:" << Broker->Port()
                          << "\"\ngroup = \"ingest\"\n[database]\nconninfo = \""
                          << Server.ConnInfo() << "\"\n[ingest]\nbatch = 10\n";
  }
  int Run(const std::vector<std::string> &Arguments, const std::string &Name) {
    std::vector<std::string> All{DE30_OFFICE, "--config", Config.string()};
    All.insert(All.end(), Arguments.begin(), Arguments.end());
    TProcess Process(All, Dir.Path() / (Name + ".log"));
    const int Code = Process.Wait();
    LastLog = Process.Log();
    return Code;
  }
  std::unique_ptr<TProcess> Ingest(const std::string &Id) {
    return std::make_unique<TProcess>(
        std::vector<std::string>{DE30_OFFICE, "--config", Config.string(), "--client-id", Id},
        Dir.Path() / (Id + ".log"));
  }

  TTempDir Dir;
  TPostgres Server;
  std::unique_ptr<TBroker> Broker;
  std::filesystem::path Config;
  std::string LastLog;
};

TEST_F(OfficeIngest, AnIngestProcessRefusesADatabaseWithoutTheSchema) {
  EXPECT_EQ(Run({"--client-id", "office-a"}, "no-schema"), 1);
  EXPECT_NE(LastLog.find("run de30-office --init"), std::string::npos) << LastLog;
  // No client id: each process needs its own, told at once.
  EXPECT_EQ(Run({}, "no-client-id"), 2);
  EXPECT_NE(LastLog.find("client_id"), std::string::npos) << LastLog;
}

TEST_F(OfficeIngest, TwoProcessesShareTheSalesAndAcknowledgeOnlyWhatIsCommitted) {
  ASSERT_EQ(Run({"--init"}, "init"), 0) << LastLog;
  EXPECT_NE(LastLog.find("schema version 2, from 0"), std::string::npos) << LastLog;
  auto A = Ingest("office-a");
  auto B = Ingest("office-b");
  TStationLink Station(Broker->Port(), "de30/s1");
  ASSERT_TRUE(WaitFor([&] { return Station.Ready(); }, 5s));
  // Both processes subscribed before the sales go out.
  ASSERT_TRUE(WaitFor(
      [&] {
        return A->Log().find("taking $share/ingest/de30/+/sales") != std::string::npos &&
               B->Log().find("taking $share/ingest/de30/+/sales") != std::string::npos;
      },
      10s))
      << A->Log() << B->Log();
  std::this_thread::sleep_for(200ms);

  for (std::int64_t Id = 1; Id <= 40; ++Id)
    Station.Sell(Id);
  ASSERT_TRUE(WaitFor([&] { return Station.Acknowledged().size() == 40; }, 10s))
      << Station.Acknowledged().size() << "\n"
      << A->Log() << B->Log();
  EXPECT_EQ(Query(Server,
                  "SELECT COUNT(*) || ' ' || COUNT(DISTINCT sale_id) || ' ' || SUM(volume) "
                  "FROM sales WHERE station = 's1'"),
            "40 40 820.00");
  // The shared subscription handed sales to both.
  EXPECT_EQ(Query(Server, "SELECT COUNT(DISTINCT ingested_by) FROM sales"), "2");

  // Sent again, as a station does when an acknowledgement was lost: still once.
  for (std::int64_t Id = 1; Id <= 5; ++Id)
    Station.Sell(Id);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Query(Server, "SELECT COUNT(*) FROM sales"), "40");
  EXPECT_EQ(Query(Server, "SELECT COUNT(*) FROM sale_problems"), "0");

  // The database away: a sale taken is not acknowledged; back, it is.
  Server.Stop();
  Station.Sell(41);
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(Station.Acknowledged().count(41), 0u);
  std::string Why;
  ASSERT_TRUE(Server.Start(Why)) << Why;
  ASSERT_TRUE(WaitFor([&] { return Station.Acknowledged().count(41) == 1; }, 20s))
      << A->Log() << B->Log();
  EXPECT_EQ(Query(Server, "SELECT volume FROM sales WHERE station = 's1' AND sale_id = 41"),
            "41.00");
  EXPECT_NE((A->Log() + B->Log()).find("cannot commit"), std::string::npos);
  EXPECT_EQ(A->Stop(), 0);
  EXPECT_EQ(B->Stop(), 0);
}

// Over TLS with a client certificate and a password, as across the internet:
// a broker whose certificate the configured CA did not sign is refused and the
// log says so; the right one carries the sales and their acknowledgements.
TEST_F(OfficeIngest, OverTlsTheBrokerIsVerifiedAndTheSalesFlow) {
  TCertificates Files;
  std::string Why;
  if (!MakeCertificates(Dir.Path() / "tls", Files, Why))
    GTEST_SKIP() << "openssl cannot make the test's certificates: " << Why;
  TSecureListener Secure{Files, Dir.Path() / "passwords"};
  ASSERT_TRUE(MakeBrokerPasswords(Secure.Passwords, "office", "office pass"));
  Broker->Stop();
  Broker = std::make_unique<TBroker>(Dir.Path() / "secure", &Secure);
  ASSERT_TRUE(Broker->Start()) << Broker->Log();
  ASSERT_EQ(Run({"--init"}, "init"), 0) << LastLog;
  std::ofstream(Dir.Path() / "office.password") << "office pass\n";
  const auto Write = [&](const std::filesystem::path &Ca) {
    std::ofstream(Config) << "[broker]\naddress = \"127.0.0.1:" << Broker->SecurePort()
                          << "\"\nca_file = \"" << Ca.string() << "\"\ncert_file = \""
                          << Files.ClientCert.string() << "\"\nkey_file = \""
                          << Files.ClientKey.string()
                          << "\"\nusername = \"office\"\npassword_file = \"office.password\"\n"
                          << "[database]\nconninfo = \"" << Server.ConnInfo() << "\"\n";
  };

  Write(Files.OtherCa);
  {
    auto Refused = Ingest("office-x");
    ASSERT_TRUE(WaitFor(
        [&] { return Refused->Log().find("certificate verify failed") != std::string::npos; },
        10s))
        << Refused->Log();
    EXPECT_NE(Refused->Log().find("error ingest: TLS with the broker 127.0.0.1:" +
                                  std::to_string(Broker->SecurePort()) + " failed"),
              std::string::npos)
        << Refused->Log();
    EXPECT_EQ(Refused->Log().find("ingest: connected"), std::string::npos) << Refused->Log();
  }

  Write(Files.Ca);
  auto A = Ingest("office-a");
  ASSERT_TRUE(
      WaitFor([&] { return A->Log().find("ingest: connected") != std::string::npos; }, 10s))
      << A->Log();
  // The station on the plain listener; the broker carries both ways.
  TStationLink Station(Broker->Port(), "de30/s1");
  ASSERT_TRUE(WaitFor([&] { return Station.Ready(); }, 5s));
  for (std::int64_t Id = 1; Id <= 3; ++Id)
    Station.Sell(Id);
  ASSERT_TRUE(WaitFor([&] { return Station.Acknowledged().size() == 3; }, 10s)) << A->Log();
  EXPECT_EQ(Query(Server, "SELECT COUNT(*) FROM sales"), "3");
}

// A shift the station sends twice (its acknowledgement lost, say) is stored
// once and acknowledged each time, only after the commit; the reports read it.
TEST_F(OfficeIngest, AShiftIsStoredOnceAndTheReportsReadIt) {
  ::setenv("PGTZ", "UTC", 1); // the reports' times, for the programs run here
  ASSERT_EQ(Run({"--init"}, "init"), 0) << LastLog;
  auto A = Ingest("office-a");
  TStationLink Station(Broker->Port(), "de30/s1");
  ASSERT_TRUE(WaitFor([&] { return Station.Ready(); }, 5s));
  ASSERT_TRUE(
      WaitFor([&] { return A->Log().find("ingest: connected") != std::string::npos; }, 10s))
      << A->Log();
  Station.CloseShift(4, 3.5);
  ASSERT_TRUE(WaitFor([&] { return Station.ShiftsAcknowledged().size() == 1; }, 10s))
      << A->Log();
  Station.CloseShift(4, 3.5);
  ASSERT_TRUE(WaitFor([&] { return Station.ShiftsAcknowledged().size() == 2; }, 10s))
      << A->Log();
  EXPECT_EQ(Station.ShiftsAcknowledged(), (std::vector<std::int64_t>{4, 4}));
  EXPECT_EQ(Query(Server, "SELECT COUNT(*) FROM shifts"), "1");
  EXPECT_EQ(Query(Server, "SELECT COUNT(*) FROM shift_nozzles"), "1");
  EXPECT_EQ(Query(Server, "SELECT difference_volume FROM shift_nozzles"), "2.50");
  EXPECT_EQ(Query(Server, "SELECT COUNT(*) FROM stations WHERE last_message IS NOT NULL"), "1");

  const std::string Head = "station,shift,closed,pump,nozzle,grade,sales,volume,"
                           "difference_volume,difference_amount\r\n";
  EXPECT_EQ(Run({"report", "differences", "--csv", "--tolerance", "2.5"}, "report-a"), 0);
  EXPECT_EQ(LastLog, Head) << "2.50 is not beyond 2.5";
  EXPECT_EQ(Run({"report", "differences", "--csv", "--tolerance", "2.49"}, "report-b"), 0);
  EXPECT_EQ(LastLog.substr(0, Head.size()), Head);
  EXPECT_NE(LastLog.find("s1,4,2026-12-08 14:00:00"), std::string::npos) << LastLog;
  EXPECT_NE(LastLog.find(",1:1,1,1,1,1.00,2.50,5.00\r\n"), std::string::npos) << LastLog;
  EXPECT_EQ(Run({"report", "unsettled"}, "report-c"), 0);
  EXPECT_NE(LastLog.find("(1 row)"), std::string::npos) << LastLog;
  EXPECT_EQ(Run({"report", "nonsense"}, "report-d"), 2);
}

} // namespace
