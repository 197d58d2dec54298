// Kills de30d with SIGKILL at random moments while simulated customers fill, and
// restarts it each time; then lets it settle and checks the journal against the
// pumps: every fill is in the journal exactly once, and each sale's volume equals
// its pump's totals delta.
//
// The simulated station lives in this process, served on loopback TCP, so the
// pumps (and their fills and totals) carry on while de30d is dead, as real pumps
// would.
//
//   de30_kill_restart --de30d PATH [--kills N] [--seed S] [--dir DIR]

#include "sim/clock.hpp"
#include "sim/server.hpp"
#include "sim/station.hpp"
#include "station/journal.hpp"
#include "support/free_port.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using de30::test::FreePort;
using Clock = std::chrono::steady_clock;

struct TOptions {
  std::string De30d;
  int Kills = 20;
  unsigned Seed = 1;
  std::filesystem::path Dir;
};

struct TPlace {
  int Line;
  int Address;
  int Nozzles;
};
const std::vector<TPlace> Places = {{1, 1, 1}, {1, 2, 2}, {2, 3, 1}};

void WriteConfig(const TOptions &Options, int HttpPort, const std::map<int, int> &LinePorts) {
  std::ofstream Out(Options.Dir / "de30d.toml");
  Out << "[station]\nid = \"kill-restart\"\nlisten = \"127.0.0.1:" << HttpPort
      << "\"\njournal = \"" << (Options.Dir / "journal.db").string() << "\"\n\n"
      << "[[grade]]\nnumber = 1\nname = \"A-95\"\n\n[[grade]]\nnumber = 2\nname = "
         "\"Diesel\"\n\n";
  for (const auto &[Line, Port] : LinePorts)
    Out << "[[line]]\nnumber = " << Line << "\ntcp = \"127.0.0.1:" << Port
        << "\"\ntimeout_ms = 300\n\n";
  for (const auto &P : Places) {
    Out << "[[pump]]\nline = " << P.Line << "\naddress = " << P.Address << "\nnozzles = [";
    for (int K = 1; K <= P.Nozzles; ++K)
      Out << (K > 1 ? ", " : "") << K;
    Out << "]\nauto_authorize = true\n\n";
  }
}

pid_t Spawn(const TOptions &Options) {
  const pid_t Child = ::fork();
  if (Child == 0) {
    const std::string Log = (Options.Dir / "de30d.log").string();
    std::FILE *Out = std::fopen(Log.c_str(), "a");
    if (Out != nullptr) {
      ::dup2(::fileno(Out), 1);
      ::dup2(::fileno(Out), 2);
    }
    const std::string Config = (Options.Dir / "de30d.toml").string();
    ::execl(Options.De30d.c_str(), Options.De30d.c_str(), "--config", Config.c_str(),
            static_cast<char *>(nullptr));
    std::_Exit(127);
  }
  return Child;
}

bool WaitHttp(int Port, std::chrono::milliseconds Limit) {
  httplib::Client Client("127.0.0.1", Port);
  Client.set_connection_timeout(0, 200000);
  const auto Until = Clock::now() + Limit;
  while (Clock::now() < Until) {
    auto Reply = Client.Get("/api/v1/pumps");
    if (Reply && Reply->status == 200)
      return true;
    if (std::getenv("DE30_KILL_DEBUG") != nullptr)
      std::fprintf(stderr, "kill-restart: %s\n",
                   Reply ? std::to_string(Reply->status).c_str()
                         : httplib::to_string(Reply.error()).c_str());
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// Customers: each pump's customer lifts a nozzle, waits until the fill has reached a
// few litres (de30d, whenever it runs, authorises the pump), and hangs up.
class TCustomers {
public:
  TCustomers(de30::sim::TSimStation &Served, unsigned Seed) : Station(Served), Random(Seed) {}
  ~TCustomers() { Finish(); }

  void Start() {
    for (const auto &P : Places)
      Threads.emplace_back(
          [this, P, Seed = static_cast<unsigned>(Random())] { Serve(P, Seed); });
  }
  // Lets every customer finish the fill in progress, then stops them.
  void Finish() {
    Stopping = true;
    for (auto &T : Threads)
      if (T.joinable())
        T.join();
    Threads.clear();
  }

private:
  void Serve(const TPlace &P, unsigned Seed) {
    std::mt19937 Own(Seed);
    int Nozzle = 1;
    while (!Stopping) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + Own() % 400));
      if (Stopping)
        break;
      // An authorised pump whose customer walked away is taken by the next one.
      const auto Before = Station.View(P.Line, P.Address).State;
      if (Before != de30::sim::TPumpState::Idle && Before != de30::sim::TPumpState::Authorised)
        continue;
      if (!Station.LiftNozzle(P.Line, P.Address, Nozzle))
        continue;
      const std::int64_t Target = 100 + static_cast<std::int64_t>(Own() % 500); // hundredths
      const auto Lifted = Clock::now();
      while (true) {
        const auto View = Station.View(P.Line, P.Address);
        if (View.State == de30::sim::TPumpState::Fuelling && View.FillVolume >= Target)
          break;
        if (View.State == de30::sim::TPumpState::Finished)
          break;
        // Nobody authorised the pump (a restarted driver waits for the pump to
        // report idle once before it shows a lifted nozzle): walk away, come back.
        if (View.State == de30::sim::TPumpState::Calling && Clock::now() - Lifted > 4s)
          break;
        std::this_thread::sleep_for(20ms);
      }
      Station.HangNozzle(P.Line, P.Address);
      Nozzle = Nozzle % P.Nozzles + 1;
    }
  }

  de30::sim::TSimStation &Station;
  std::mt19937 Random;
  std::atomic<bool> Stopping{false};
  std::vector<std::thread> Threads;
};

int Check(de30::sim::TSimStation &Station, const std::filesystem::path &Journal) {
  de30::station::TJournal Book(Journal);
  de30::station::TSaleFilter All;
  All.Limit = 1000000;
  const auto Sales = Book.Sales(All);
  int Faults = 0;
  auto Fault = [&Faults](const std::string &Text) {
    std::fprintf(stderr, "kill-restart: %s\n", Text.c_str());
    ++Faults;
  };
  std::map<std::pair<int, int>, std::vector<de30::station::TSale>> ByPump;
  for (const auto &Sale : Sales) {
    if (Sale.State == de30::station::TSaleState::Open)
      Fault("sale " + std::to_string(Sale.Id) + " is still open");
    if (Sale.StartTotals.Known && Sale.EndTotals.Known &&
        std::fabs(Sale.EndTotals.Volume - Sale.StartTotals.Volume - Sale.Volume) > 0.005)
      Fault("sale " + std::to_string(Sale.Id) + ": volume " + std::to_string(Sale.Volume) +
            " but totals moved by " +
            std::to_string(Sale.EndTotals.Volume - Sale.StartTotals.Volume));
    if (Sale.Volume > 0.0)
      ByPump[{Sale.Line, Sale.Pump}].push_back(Sale);
  }
  int FillsSeen = 0;
  for (const auto &P : Places) {
    const auto View = Station.View(P.Line, P.Address);
    std::int64_t Dispensed = 0;
    for (int K = 0; K < P.Nozzles; ++K)
      Dispensed += View.TotalVolume[static_cast<std::size_t>(K)];
    auto &Own = ByPump[{P.Line, P.Address}];
    double Journaled = 0.0;
    for (const auto &Sale : Own)
      Journaled += Sale.Volume;
    FillsSeen += View.Fills;
    const std::string Name = std::to_string(P.Line) + ":" + std::to_string(P.Address);
    if (static_cast<int>(Own.size()) != View.Fills)
      Fault("pump " + Name + ": " + std::to_string(View.Fills) + " fills but " +
            std::to_string(Own.size()) + " sales with fuel");
    if (std::llround(Journaled * 100.0) != Dispensed)
      Fault("pump " + Name + ": " + std::to_string(Dispensed / 100.0) +
            " litres dispensed but " + std::to_string(Journaled) + " in the journal");
  }
  std::printf("kill-restart: %zu sales, %d fills, %d fault(s)\n", Sales.size(), FillsSeen,
              Faults);
  if (FillsSeen == 0)
    Fault("no fill happened: the run proves nothing");
  return Faults;
}

int Run(const TOptions &Options) {
  std::filesystem::create_directories(Options.Dir);
  std::filesystem::remove(Options.Dir / "journal.db");
  std::filesystem::remove(Options.Dir / "de30d.log");
  de30::sim::TSteadyClock SimClock;
  de30::sim::TSimStation Station(SimClock);
  std::vector<std::unique_ptr<de30::sim::TStationServer>> Servers;
  std::map<int, int> LinePorts;
  for (const auto &P : Places) {
    de30::sim::TPumpConfig Pump;
    Pump.Address = static_cast<std::uint8_t>(P.Address);
    Pump.Nozzles = P.Nozzles;
    Pump.FlowRate = 400; // 4 litres a second: fills of a second or two
    Pump.StartDelayMs = 150;
    Station.AddPump(P.Line, Pump);
    if (LinePorts.count(P.Line) == 0) {
      std::string Error;
      auto Server = de30::sim::TStationServer::OnTcp(Station, P.Line, 0, Error);
      if (!Server) {
        std::fprintf(stderr, "kill-restart: line %d: %s\n", P.Line, Error.c_str());
        return 2;
      }
      LinePorts[P.Line] = Server->Port();
      Server->Start();
      Servers.push_back(std::move(Server));
    }
  }
  const int HttpPort = FreePort();
  WriteConfig(Options, HttpPort, LinePorts);

  std::mt19937 Random(Options.Seed);
  TCustomers Customers(Station, Options.Seed);
  // The first start sets the prices the pumps sell at; the journal keeps them.
  pid_t Child = Spawn(Options);
  if (!WaitHttp(HttpPort, 10s)) {
    std::fprintf(stderr, "kill-restart: de30d did not come up (see %s)\n",
                 (Options.Dir / "de30d.log").c_str());
    ::kill(Child, SIGKILL);
    ::waitpid(Child, nullptr, 0);
    return 2;
  }
  httplib::Client Client("127.0.0.1", HttpPort);
  auto Set = Client.Put("/api/v1/prices", R"({"1": 1.50, "2": 1.25})", "application/json");
  if (!Set || Set->status != 200) {
    std::fprintf(stderr, "kill-restart: setting prices failed: %s\n",
                 Set ? (std::to_string(Set->status) + " " + Set->body).c_str()
                     : httplib::to_string(Set.error()).c_str());
    ::kill(Child, SIGKILL);
    ::waitpid(Child, nullptr, 0);
    return 2;
  }
  Customers.Start();
  for (int Kill = 1; Kill <= Options.Kills; ++Kill) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + Random() % 1800));
    ::kill(Child, SIGKILL);
    ::waitpid(Child, nullptr, 0);
    std::printf("kill %d of %d\n", Kill, Options.Kills);
    std::fflush(stdout);
    // Sometimes de30d stays dead a while: fills go on without it.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(Random() % 3 == 0 ? Random() % 1500 : 0));
    Child = Spawn(Options);
  }
  // Settle: the customers finish, de30d closes every sale.
  Customers.Finish();
  bool Settled = false;
  const auto Until = Clock::now() + 30s;
  while (!Settled && Clock::now() < Until) {
    std::this_thread::sleep_for(200ms);
    auto Open = Client.Get("/api/v1/sales?state=open");
    bool Idle = true;
    for (const auto &P : Places) {
      const auto State = Station.View(P.Line, P.Address).State;
      // A pump authorised just after its customer walked away: one last customer
      // takes the fill, as the next one at a real pump would.
      if (State == de30::sim::TPumpState::Authorised &&
          Station.LiftNozzle(P.Line, P.Address, 1)) {
        const auto Lifted = Clock::now();
        while (Station.View(P.Line, P.Address).FillVolume < 50 && Clock::now() - Lifted < 5s)
          std::this_thread::sleep_for(20ms);
        Station.HangNozzle(P.Line, P.Address);
      }
      Idle = Idle && State == de30::sim::TPumpState::Idle;
    }
    Settled =
        Idle && Open && Open->status == 200 && Open->body.find("\"id\"") == std::string::npos;
  }
  ::kill(Child, SIGTERM);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  for (auto &Server : Servers)
    Server->Halt();
  if (!Settled)
    std::fprintf(stderr, "kill-restart: open sales remained after 30 s\n");
  return Check(Station, Options.Dir / "journal.db") == 0 && Settled ? 0 : 1;
}

} // namespace

int main(int Argc, char **Argv) {
  TOptions Options;
  Options.Dir =
      std::filesystem::temp_directory_path() / ("de30-kill-" + std::to_string(::getpid()));
  for (int I = 1; I + 1 < Argc; I += 2) {
    const std::string Name = Argv[I];
    const std::string Value = Argv[I + 1];
    if (Name == "--de30d")
      Options.De30d = Value;
    else if (Name == "--kills")
      Options.Kills = std::stoi(Value);
    else if (Name == "--seed")
      Options.Seed = static_cast<unsigned>(std::stoul(Value));
    else if (Name == "--dir")
      Options.Dir = Value;
    else {
      std::fprintf(stderr, "usage: %s --de30d PATH [--kills N] [--seed S] [--dir DIR]\n",
                   Argv[0]);
      return 2;
    }
  }
  if (Options.De30d.empty()) {
    std::fprintf(stderr, "usage: %s --de30d PATH [--kills N] [--seed S] [--dir DIR]\n",
                 Argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return Run(Options);
}
