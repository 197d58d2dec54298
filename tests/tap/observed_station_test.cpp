// An observed station on a shared pair: the simulated station served on a
// pseudo-terminal (its customers lift nozzles on their own), a driving de30d on
// the controller's side of de30_shared_wire, and a second de30d whose line is a
// tap (`tap = true`) on the wire's listening side. Customers are served through
// the driving de30d's interface; the observing de30d must journal the same
// sales (pump, nozzle, volume, amount, flags), refuse every command to its pumps
// with 409 tap_line, and never write a byte to the line.

#include "station/temp_dir.hpp"
#include "support/open_mode.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace de30;
using test::TBackground;
using TJson = nlohmann::json;

std::string Ctl(const std::string &Arguments) { return std::string(DE30CTL) + " " + Arguments; }

// Pump 1 sells grade 1; pump 2 grades 1 and 2, its totals the whole pump's,
// as the simulated station's line 1 has them.
std::string Config(const std::filesystem::path &Dir, const std::string &Name,
                   const std::string &Line) {
  const std::string Text =
      "[station]\nid = \"" + Name +
      "\"\n"
      "listen = \"127.0.0.1:0\"\n"
      "journal = \"" +
      (Dir / (Name + ".db")).string() +
      "\"\n\n"
      "[[grade]]\nnumber = 1\nname = \"95\"\n\n"
      "[[grade]]\nnumber = 2\nname = \"diesel\"\n\n"
      "[[line]]\nnumber = 1\n" +
      Line +
      "\n\n"
      "[[pump]]\nline = 1\naddress = 1\nnozzles = [1]\n\n"
      "[[pump]]\nline = 1\naddress = 2\nnozzles = [1, 2]\ntotals = \"sum\"\n";
  const auto Path = Dir / (Name + ".toml");
  std::ofstream(Path) << Text;
  return Path.string();
}

// A de30d in the background and a client for its interface.
class TService {
public:
  explicit TService(const std::string &ConfigFile)
      : Process(std::string(DE30D) + " --config " + ConfigFile) {
    const std::string Base = Process.After("listening on http://");
    const auto Colon = Base.find(':');
    const auto Slash = Base.find('/');
    if (Colon == std::string::npos || Slash == std::string::npos)
      return;
    Port = std::stoi(Base.substr(Colon + 1, Slash - Colon - 1));
    Http = std::make_unique<httplib::Client>("127.0.0.1", Port);
    Http->set_read_timeout(10, 0);
  }
  bool Up() const { return Http != nullptr; }

  TJson Get(const std::string &Path) {
    const auto R = Http->Get("/api/v1" + Path);
    return R && R->status == 200 ? TJson::parse(R->body) : TJson();
  }
  // The status and the body's error code ("" for none).
  std::pair<int, std::string> Post(const std::string &Path, const TJson &Body = TJson::object(),
                                   std::string *Message = nullptr) {
    const auto R = Http->Post("/api/v1" + Path, Body.dump(), "application/json");
    if (!R)
      return {0, "no answer"};
    const TJson Answer = TJson::parse(R->body, nullptr, false);
    if (Message != nullptr && Answer.is_object() && Answer.contains("message"))
      *Message = Answer["message"].get<std::string>();
    const std::string Code = Answer.is_object() && Answer.contains("error")
                                 ? Answer["error"].get<std::string>()
                                 : std::string();
    return {R->status, Code};
  }
  int Put(const std::string &Path, const TJson &Body) {
    const auto R = Http->Put("/api/v1" + Path, Body.dump(), "application/json");
    return R ? R->status : 0;
  }

  TBackground Process;
  int Port = 0;
  std::unique_ptr<httplib::Client> Http;
};

// Waits up to Seconds for Done.
bool Within(int Seconds, const std::function<bool()> &Done) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  while (std::chrono::steady_clock::now() < Until) {
    if (Done())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return Done();
}

std::string StateOf(TService &S, const std::string &Pump) {
  const TJson P = S.Get("/pumps/" + Pump);
  return P.is_object() ? P.value("state", "") : "";
}

// The closed sales, oldest first, as (pump, nozzle, price, volume, amount, flags).
using TSold = std::tuple<std::string, int, double, double, double, std::vector<std::string>>;
std::vector<TSold> Closed(TService &S, bool Observed) {
  std::vector<TSold> Sold;
  const TJson Sales = S.Get("/sales");
  if (!Sales.is_array())
    return Sold;
  for (const TJson &Sale : Sales) {
    if (Sale["state"] == "open")
      continue;
    EXPECT_EQ(Sale["observed"], Observed) << Sale.dump();
    auto Flags = Sale["flags"].get<std::vector<std::string>>();
    std::sort(Flags.begin(), Flags.end());
    Sold.emplace_back(Sale["pump"], Sale["nozzle"], Sale["price"], Sale["volume"],
                      Sale["amount"], Flags);
  }
  std::reverse(Sold.begin(), Sold.end());
  return Sold;
}

std::string Shown(const std::vector<TSold> &Sold) {
  std::string Text;
  for (const auto &[Pump, Nozzle, Price, Volume, Amount, Flags] : Sold) {
    Text += "\n  " + Pump + " nozzle " + std::to_string(Nozzle) + " at " +
            std::to_string(Price) + ": " + std::to_string(Volume) + " l " +
            std::to_string(Amount);
    for (const auto &Flag : Flags)
      Text += " " + Flag;
  }
  return Text;
}

TEST(ObservedStation, JournalsTheSalesTheDrivingStationMadeAndRefusesEveryCommand) {
  test::TTempDir Dir;
  TBackground Station(Ctl("simulate --pty --duration 300"));
  const std::string StationPath = Station.After("line 1 served on ");
  ASSERT_FALSE(StationPath.empty()) << Station.Output;
  TBackground Wire(std::string(SHARED_WIRE) + " --station " + StationPath);
  const std::string Controller = Wire.After("controller on ");
  const std::string TapPath = Wire.After("tap on ");
  ASSERT_FALSE(TapPath.empty()) << Wire.Output;

  // The observer first, so that it hears everything the driver does.
  TService Observer(
      Config(Dir.Path, "observer", "serial = \"" + TapPath + "\"\ntap = true\ngap_ms = 60"));
  ASSERT_TRUE(Observer.Up()) << Observer.Process.Output;
  TService Driver(Config(Dir.Path, "driver", "serial = \"" + Controller + "\""));
  ASSERT_TRUE(Driver.Up()) << Driver.Process.Output;
  EXPECT_EQ(test::AccessMode(Observer.Process.Id(), TapPath), O_RDONLY);

  ASSERT_EQ(Driver.Put("/prices", {{"1", 1.5}, {"2", 2.1}}), 200);
  // Each customer lifts a nozzle on their own; the driving station serves them
  // with a dose, pump by pump, twice.
  const std::pair<const char *, double> Served[] = {
      {"1:1", 2.0}, {"1:2", 1.5}, {"1:1", 1.0}, {"1:2", 2.5}};
  std::size_t Sales = 0;
  for (const auto &[Pump, Litres] : Served) {
    SCOPED_TRACE(Pump);
    ASSERT_TRUE(Within(40, [&, P = Pump] { return StateOf(Driver, P) == "calling"; }))
        << StateOf(Driver, Pump);
    // The observed pump shows the same lifted nozzle.
    EXPECT_TRUE(Within(5, [&, P = Pump] { return StateOf(Observer, P) == "calling"; }))
        << StateOf(Observer, Pump);
    ASSERT_EQ(Driver.Post(std::string("/pumps/") + Pump + "/authorize", {{"litres", Litres}}),
              (std::pair<int, std::string>{200, ""}));
    ++Sales;
    ASSERT_TRUE(Within(40, [&] { return Closed(Driver, false).size() == Sales; }));
  }
  // A fill the driving station stops half way: the sale carries the flag.
  ASSERT_TRUE(Within(40, [&] { return StateOf(Driver, "1:1") == "calling"; }));
  ASSERT_EQ(Driver.Post("/pumps/1:1/authorize", {{"litres", 20}}),
            (std::pair<int, std::string>{200, ""}));
  ASSERT_TRUE(Within(20, [&] { return StateOf(Driver, "1:1") == "fuelling"; }));
  EXPECT_TRUE(Within(5, [&] { return StateOf(Observer, "1:1") == "fuelling"; }));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(Driver.Post("/pumps/1:1/stop"), (std::pair<int, std::string>{200, ""}));
  ++Sales;
  ASSERT_TRUE(Within(40, [&] { return Closed(Driver, false).size() == Sales; }));
  // The observer has heard the last final reading by the time its pump is idle again.
  ASSERT_TRUE(Within(10, [&] { return Closed(Observer, true).size() == Sales; }))
      << Shown(Closed(Observer, true));

  const std::vector<TSold> Driven = Closed(Driver, false);
  const std::vector<TSold> Heard = Closed(Observer, true);
  EXPECT_EQ(Heard, Driven) << "driven:" << Shown(Driven) << "\nobserved:" << Shown(Heard);
  std::size_t Same = 0;
  for (std::size_t I = 0; I < std::min(Heard.size(), Driven.size()); ++I)
    Same += Heard[I] == Driven[I] ? 1 : 0;
  std::printf("observed station: %zu of %zu driven sales journaled the same:%s\n", Same,
              Driven.size(), Shown(Driven).c_str());
  RecordProperty("sales", std::to_string(Same) + "/" + std::to_string(Driven.size()));
  for (const TSold &Sale : Driven)
    EXPECT_GT(std::get<3>(Sale), 0.0) << Shown(Driven);
  ASSERT_FALSE(Driven.empty());
  EXPECT_EQ(std::get<5>(Driven.back()), std::vector<std::string>{"stopped"}) << Shown(Driven);

  // The observer's pumps and line say what they are.
  const TJson Pump = Observer.Get("/pumps/1:1");
  EXPECT_EQ(Pump["observed"], true) << Pump.dump();
  EXPECT_EQ(Driver.Get("/pumps/1:1")["observed"], false);
  const TJson Lines = Observer.Get("/lines");
  ASSERT_TRUE(Lines.is_array() && Lines.size() == 1) << Lines.dump();
  EXPECT_EQ(Lines[0]["tap"], true);
  EXPECT_GT(Lines[0]["polls"].get<int>(), 0);
  EXPECT_GT(Lines[0]["heard"]["bytes"].get<int>(), 0);
  // A pseudo-terminal keeps no error counts.
  EXPECT_TRUE(Lines[0]["line_errors"].is_null());

  // Every command to an observed pump or sale is refused, and nothing is sent.
  const TJson Sold = Observer.Get("/sales");
  ASSERT_TRUE(Sold.is_array() && !Sold.empty());
  const std::string Sale = "/sales/" + std::to_string(Sold[0]["id"].get<long long>());
  const std::pair<std::string, TJson> Commands[] = {
      {"/pumps/1:1/authorize", {{"litres", 5}}},
      {"/pumps/1:1/authorize", TJson::object()},
      {"/pumps/1:2/stop", TJson::object()},
      {"/pumps/1:1/unblock", {{"code", 5}}},
      {"/pumps/1:2/reserve", {{"client", "pos-1"}, {"seconds", 60}}},
      {"/pumps/1:2/release", {{"client", "pos-1"}}},
      {Sale + "/lock", {{"client", "pos-1"}}},
      {Sale + "/clear", {{"client", "pos-1"}}},
      {Sale + "/unlock", {{"client", "pos-1"}}},
  };
  for (const auto &[Path, Body] : Commands)
    EXPECT_EQ(Observer.Post(Path, Body), (std::pair<int, std::string>{409, "tap_line"}))
        << Path;
  std::string Said;
  EXPECT_EQ(Observer.Post("/stop-all", TJson::object(), &Said),
            (std::pair<int, std::string>{200, ""}));
  EXPECT_NE(Said.find("line 1 is a tap line"), std::string::npos) << Said;
  EXPECT_EQ(Observer.Put("/prices", {{"1", 1.6}}), 200); // the observer's own list only

  // The metrics show the observed pumps like any other.
  const auto Metrics = Observer.Http->Get("/metrics");
  ASSERT_TRUE(Metrics);
  EXPECT_NE(Metrics->body.find("de30_pump_observed{line=\"1\",pump=\"1\"} 1"),
            std::string::npos);
  EXPECT_NE(Metrics->body.find("de30_line_tap{line=\"1\"} 1"), std::string::npos);

  EXPECT_EQ(Driver.Process.Stop(SIGTERM), 0);
  EXPECT_EQ(Observer.Process.Stop(SIGTERM), 0) << Observer.Process.Output;
  Wire.Stop(SIGTERM);
  Station.Stop(SIGTERM);
  EXPECT_NE(Wire.Output.find(", 0 written by the tap"), std::string::npos) << Wire.Output;
}

// A serial device server in monitor mode, played by the test: it sends what a
// line carried, exchange by exchange with a pause between, and counts what it
// is sent (nothing, from a tap).
class TMonitorServer {
public:
  TMonitorServer() {
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Size = sizeof Address;
    if (::bind(Listener, reinterpret_cast<sockaddr *>(&Address), Size) != 0 ||
        ::listen(Listener, 1) != 0 ||
        ::getsockname(Listener, reinterpret_cast<sockaddr *>(&Address), &Size) != 0)
      return;
    Port = ntohs(Address.sin_port);
  }
  ~TMonitorServer() {
    if (Client >= 0)
      ::close(Client);
    ::close(Listener);
  }
  bool Accept() {
    pollfd Wait{Listener, POLLIN, 0};
    if (::poll(&Wait, 1, 10000) <= 0)
      return false;
    Client = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    return Client >= 0;
  }
  // Frame and reply as the line carried them, hex.
  void Send(const std::string &Hex) {
    std::vector<std::uint8_t> Bytes;
    std::istringstream In(Hex);
    unsigned Byte = 0;
    while (In >> std::hex >> Byte)
      Bytes.push_back(static_cast<std::uint8_t>(Byte));
    EXPECT_EQ(::send(Client, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(Bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // What the other end wrote to the socket so far.
  std::size_t Received() {
    std::uint8_t Buffer[256];
    std::size_t Total = 0;
    for (;;) {
      const ssize_t N = ::recv(Client, Buffer, sizeof Buffer, MSG_DONTWAIT);
      if (N <= 0)
        return Total;
      Total += static_cast<std::size_t>(N);
    }
  }

  int Port = 0;

private:
  int Listener = -1;
  int Client = -1;
};

// One sale of pump 1 as a controller made it, recorded: the pump idle, its
// nozzle lifted, the fill and totals read, a start and its execute, the fill
// running and ending, the final fill and totals. The totals moved by the fill.
const char *const RecordedSale[] = {
    "00 09  09 00 FF",
    "00 09  09 08 F7",
    "00 0A B4  0A B4 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 01 FE",
    "00 02 87  02 87 00 FF 00 FF 00 FF 00 FF 10 EF 00 FF 01 FE",
    "00 02 78  02 78 00 FF 00 FF 00 FF 04 FB 55 AA 00 FF 01 FE",
    "00 0C E1  0C E1",
    "00 0D F2  0D",
    "00 0B  0B 0A F5",
    "00 0A B4  0A B4 00 FF 02 FD 28 D7 00 FF 00 FF 05 FA 01 FE",
    "00 0B  0B 0A F5",
    "00 0A B4  0A B4 00 FF 47 B8 78 87 00 FF 01 FE 05 FA 01 FE",
    "00 0B  0B 02 FD",
    "00 09  09 00 FF",
    "00 0A B4  0A B4 00 FF 47 B8 78 87 00 FF 01 FE 05 FA 01 FE",
    "00 02 87  02 87 00 FF 00 FF 00 FF 00 FF 11 EE 05 FA 01 FE",
    "00 02 78  02 78 00 FF 00 FF 00 FF 05 FA 02 FD 78 87 01 FE",
    "00 09  09 00 FF",
};

TEST(ObservedStation, ATapLineOnADeviceServerOnlyReadsAndJournalsTheSaleItHears) {
  test::TTempDir Dir;
  TMonitorServer Server;
  ASSERT_GT(Server.Port, 0);
  TService Observer(Config(Dir.Path, "observer",
                           "tcp = \"127.0.0.1:" + std::to_string(Server.Port) +
                               "\"\ntap = true\ngap_ms = 30"));
  ASSERT_TRUE(Observer.Up()) << Observer.Process.Output;
  ASSERT_TRUE(Server.Accept());
  for (const char *Exchange : RecordedSale)
    Server.Send(Exchange);
  ASSERT_TRUE(Within(5, [&] { return Closed(Observer, true).size() == 1; }))
      << Observer.Get("/pumps/1:1").dump();
  const std::vector<TSold> Heard = Closed(Observer, true);
  EXPECT_EQ(Heard, (std::vector<TSold>{{"1:1", 1, 0.0, 1.05, 47.78, {}}})) << Shown(Heard);
  const TJson Sale = Observer.Get("/sales")[0];
  EXPECT_EQ(Sale["start_totals"], TJson({{"volume", 10.0}, {"amount", 455.0}}));
  EXPECT_EQ(Sale["end_totals"], TJson({{"volume", 11.05}, {"amount", 502.78}}));
  EXPECT_EQ(Observer.Get("/pumps/1:1")["state"], "idle");
  const TJson Line = Observer.Get("/lines")[0];
  EXPECT_EQ(Line["polls"], std::size(RecordedSale));
  EXPECT_EQ(Line["heard"]["garbage_bytes"], 0);
  EXPECT_TRUE(Line["line_errors"].is_null()) << "a TCP line keeps no error counts";
  EXPECT_EQ(Server.Received(), 0u);
  EXPECT_EQ(Observer.Process.Stop(SIGTERM), 0) << Observer.Process.Output;
  EXPECT_NE(Observer.Process.Output.find("line 1 is a tap line: listened to read-only"),
            std::string::npos)
      << Observer.Process.Output;
}

} // namespace
